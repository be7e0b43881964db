#ifndef HARNESS_DECIMAL_TEXT_H
#define HARNESS_DECIMAL_TEXT_H

// Text to double for the recording readers: the same value and the same end
// of the number as std::strtod gives, for every input.
//
// Plain decimals as recordings write them ("-0.991699", "12", "1534.6",
// "-0.057295800000000015") are converted directly: at most 19 digits make an
// exact integer; when it is at most 2^53 and has at most 22 decimals, one
// division by an exact power of ten is the correctly rounded value, as
// strtod's is, and a wider integer is divided exactly in 128-bit integers and
// rounded once, to nearest with ties to even (in the default rounding mode
// only).
// Everything else -- exponents, hexadecimal, inf and nan, leading space or
// plus sign, a leading point, longer digit strings -- goes to strtod itself.
// Like the readers, this assumes the "C" locale's decimal point.
double ReadDecimal(const char* text, char** end);

#endif
