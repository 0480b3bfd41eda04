// Ascending index sort of a float vector.
#pragma once

#include <cstdint>

// Fills index[0..n-1] with the positions 1..n of values[0..n-1] in ascending
// order of value; values is not changed; nothing is written when n < 1.
// Quicksort on the positions (median of three, straight insertion for
// stretches of at most seven, an explicit stack of pending stretches). The sort
// is not stable: equal values keep their input order only in stretches of at
// most seven, and where equal values and NaNs land is part of the result.
// Not reentrant: the pending-stretch stack is process-wide.
void indexx(std::int32_t n, const float* values, std::int32_t* index);
