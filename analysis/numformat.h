// The number forms of the result files, written from the exact value of a
// 32-bit float with rounding to nearest, ties to even. Only integer arithmetic
// on the float's bits is used, so the text is the same on every platform.
#pragma once

#include <cstdint>
#include <string>

// Fixed point with 4 decimals, right-justified and blank-filled in a field
// `width` (7 or 9) characters wide. A "0" stands before the point of values
// below 1 in magnitude; a value that rounds to zero has no minus sign; a value
// too wide for the field gives `width` asterisks; NaN gives "NaN"; infinity
// gives "Inf" (width 7) or "Infinity" (width 9), a minus sign before it when
// negative.
std::string format_fixed(float value, int width);

// The same field written into field[0..width-1]; nothing else is written.
void write_fixed(char* field, float value, int width);

// Scientific notation with 4 decimals, d.ddddE+xx, without blanks: a minus
// sign for negative values, zero of either sign as 0.0000E+00, "NaN",
// "Infinity" and "-Infinity".
std::string format_scientific(float value);

// The value right-justified in a 9-character integer field, taken without its
// blanks: the decimal digits with a minus sign when negative; a value that
// does not fit in 9 characters gives nine asterisks.
std::string format_integer(std::int32_t value);
