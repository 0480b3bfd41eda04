// Ascending index sort of a float vector.
#pragma once

#include <cstdint>

// Fills index[0..n-1] with the positions 1..n of values[0..n-1] in ascending
// order of value; values is not changed. Equal values keep their input order
// only in stretches of at most seven. Not reentrant: the pending-stretch stack
// is process-wide.
void indexx(std::int32_t n, const float* values, std::int32_t* index);
