# Turns a binary file into a C++ source that defines it as a constant byte
# array, 8-byte aligned, with its length:
#   cmake -DINPUT=<file> -DOUTPUT=<file.cc> -DSYMBOL=<name> -DHEADER=<include> -P embed_binary.cmake
foreach(var INPUT OUTPUT SYMBOL HEADER)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "embed_binary.cmake: ${var} is not set")
  endif()
endforeach()
if(NOT EXISTS "${INPUT}")
  message(FATAL_ERROR "embed_binary.cmake: ${INPUT} does not exist")
endif()

file(SIZE "${INPUT}" length)
if(length EQUAL 0)
  message(FATAL_ERROR "embed_binary.cmake: ${INPUT} is empty")
endif()
file(READ "${INPUT}" hex HEX)
# Sixteen bytes per line.
string(REGEX REPLACE "([0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f])" "\\1\n" hex "${hex}")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
get_filename_component(source_name "${INPUT}" NAME)

file(WRITE "${OUTPUT}"
"// Generated at build time from ${source_name}; edit that file, not this one.
#include \"${HEADER}\"

alignas(8) const unsigned char ${SYMBOL}[] = {
${bytes}
};
const unsigned int ${SYMBOL}_len = ${length};
")
