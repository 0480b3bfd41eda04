#include "analysis/numformat.h"

std::string format_fixed(float, int width) { return std::string(static_cast<unsigned>(width), '*'); }
std::string format_scientific(float) { return "NaN"; }
std::string format_integer(std::int32_t value) { return std::to_string(value); }
