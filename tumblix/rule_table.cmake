# Generates tumblix/rule_table.h from tumblix/rule_table.json: the record of
# rule values (TumblixRules, one struct per group) and TUMBLIX_RULE_TABLE, the
# list of every value with its default, which the detector's defaults and
# the rule-file reader expand. The JSON file is checked here, so a table the
# code cannot take stops the build with the entry named.
#
# Usage: cmake -DTABLE=rule_table.json -DOUTPUT=rule_table.h -P rule_table.cmake
cmake_minimum_required(VERSION 3.19)  # string(JSON)

file(READ "${TABLE}" table)
get_filename_component(table_name "${TABLE}" NAME)

function(fail message)
  message(FATAL_ERROR "${table_name}: ${message}")
endfunction()

string(JSON entry_count ERROR_VARIABLE json_error LENGTH "${table}" constants)
if(json_error)
  fail("no list \"constants\": ${json_error}")
endif()
if(entry_count EQUAL 0)
  fail("the list \"constants\" is empty")
endif()

# Units a value may have; samples and evaluations are the lengths.
set(known_units "hundredths of g" "deg/s" "degrees" "vv" "score" "samples" "evaluations")

set(groups "")
set(seen "")
set(macro_lines "")
math(EXPR last "${entry_count} - 1")
foreach(i RANGE ${last})
  foreach(field group name type value unit reason)
    string(JSON ${field} ERROR_VARIABLE json_error GET "${table}" constants ${i} ${field})
    if(json_error)
      fail("entry ${i}: no \"${field}\"")
    endif()
  endforeach()
  set(where "entry ${i} (${group}.${name})")
  foreach(identifier group name)
    if(NOT "${${identifier}}" MATCHES "^[a-z][a-z0-9_]*$")
      fail("${where}: the ${identifier} must be a lower-case identifier")
    endif()
  endforeach()
  if("${group}.${name}" IN_LIST seen)
    fail("${where}: named twice")
  endif()
  list(APPEND seen "${group}.${name}")
  if(NOT unit IN_LIST known_units)
    fail("${where}: unknown unit \"${unit}\" (known: ${known_units})")
  endif()
  if(reason STREQUAL "")
    fail("${where}: no reason given")
  endif()
  string(JSON value_kind TYPE "${table}" constants ${i} value)
  if(NOT value_kind STREQUAL "NUMBER")
    fail("${where}: the value must be a number")
  endif()
  set(is_length false)
  if(unit STREQUAL "samples" OR unit STREQUAL "evaluations")
    set(is_length true)
  endif()

  if(type STREQUAL "int32")
    set(c_type int32_t)
    # CMake gives integers back as written and every other number with a
    # decimal point or an exponent.
    if(NOT value MATCHES "^-?[0-9]+$")
      fail("${where}: an int32 value must be an integer, not ${value}")
    endif()
    if(value LESS -2147483648 OR value GREATER 2147483647)
      fail("${where}: ${value} lies outside the int32 range")
    endif()
    if(is_length AND value LESS 0)
      fail("${where}: a length cannot be negative")
    endif()
    set(literal "${value}")
    if(value EQUAL -2147483648)
      set(literal "(-2147483647 - 1)")
    endif()
  elseif(type STREQUAL "float32")
    set(c_type float)
    if(is_length)
      fail("${where}: a length must be an int32")
    endif()
    # CMake gives a real back with up to 17 significant digits, enough to
    # name its double; the compiler rounds that to single precision. For the
    # short decimals a threshold is written in this is the float nearest to
    # the written value, which tests/rule_table_test.cc checks against the
    # file read as a rule file is read.
    if(value MATCHES "^-?[0-9]+$")
      set(literal "${value}.0f")
    else()
      set(literal "${value}f")
    endif()
  else()
    fail("${where}: type must be int32 or float32, not \"${type}\"")
  endif()

  if(NOT group IN_LIST groups)
    list(APPEND groups ${group})
    set(fields_${group} "")
  elseif(NOT group STREQUAL previous_group)
    fail("${where}: the entries of a group must stand together")
  endif()
  set(previous_group ${group})
  string(APPEND fields_${group} "    ${c_type} ${name};  // ${unit}\n")
  string(APPEND macro_lines " \\\n  ENTRY(${group}, ${name}, ${c_type}, ${is_length}, ${literal})")
endforeach()

set(structs "")
foreach(group ${groups})
  string(APPEND structs "  struct {\n${fields_${group}}  } ${group};\n")
endforeach()

set(header "// Generated from ${table_name} by rule_table.cmake when the detector is
// built. Edit the JSON file, not this one.
#ifndef TUMBLIX_RULE_TABLE_H
#define TUMBLIX_RULE_TABLE_H

#include <cstdint>

// The values of the decision rules and of the detection window's gate, one
// struct per group of the table.
struct TumblixRules {
${structs}};

// Every value of the table in its order, as
// ENTRY(group, name, type, is_length, default value).
#define TUMBLIX_RULE_TABLE(ENTRY)${macro_lines}

#endif
")

# Written only when it changes, so that touching the table without changing
# it rebuilds nothing.
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" previous)
  if(previous STREQUAL header)
    return()
  endif()
endif()
file(WRITE "${OUTPUT}" "${header}")
