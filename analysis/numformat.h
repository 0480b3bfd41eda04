// The number forms of the result files, written from the exact value of a
// 32-bit float with rounding to nearest, ties to even.
#pragma once

#include <cstdint>
#include <string>

// Fixed point with 4 decimals, right-justified in a field `width` (7 or 9)
// characters wide; asterisks when too wide, "NaN", "Inf"/"Infinity".
std::string format_fixed(float value, int width);

// Scientific notation with 4 decimals: d.ddddE+xx, without blanks.
std::string format_scientific(float value);

// Decimal digits of the value, with a minus sign when negative.
std::string format_integer(std::int32_t value);
