// Pearson's correlation with its two-sided t probability, and the regularized
// incomplete beta function it is computed through.
#pragma once

#include <cstdint>

// Pearson's r of the n pairs (x[i], y[i]), i = 0..n-1, and the two-sided
// probability of |r| at least as large under no correlation (Student's t with
// n - 2 degrees of freedom). Degenerate input flows through as NaN or infinity.
void pearsn(const float* x, const float* y, std::int32_t n, float& r, float& prob);

// The regularized incomplete beta function I(x; a, b). Expects a, b > 0 and
// 0 <= x <= 1, or a NaN x.
float betai(float a, float b, float x);

// The continued fraction of I(x; a, b) by the modified Lentz method. When it
// does not converge in 100 iterations it writes its warning line, pauses a
// little over one second and returns the value after iteration 100.
float betacf(float a, float b, float x);
