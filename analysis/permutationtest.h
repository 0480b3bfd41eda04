// Permutation test of the Hs-Gst correlation by 1,000,000 re-pairings.
#pragma once

#include <cstdint>

// pperm: the share of 1,000,000 re-paired correlations at or below the
// observed r. Draws from the random stream and prints its progress marks.
void permutationtest(float& pperm, float r);

// The sum of squares about the mean of one column of n values (Hs or Gst of
// the usable loci) for the normalising factor: the one-pass sum2 - (mean *
// mean) * n, with sum2 the sum of the squares and mean the sum / n, where its
// rounding error stays below a hundredth of it; else the sum of the squared
// deviations[0..n-1], each the value minus mean, in locus order. exact_sum
// and exact_sum2 are the sum and the sum of the squares taken in double
// precision, which tell how far the one-pass value is off.
float sum_of_squares(float sum2, float mean, std::int32_t n, const float* deviations, double exact_sum,
                     double exact_sum2);

// The number of the 1,000,000 permuted correlations rperm[0..999999] at or
// below r, with the end corrections of the test: 1 when r equals the smallest
// value, 999999 when it equals the largest. sorted_count ranks the values with
// the index sort and bisects; ranked_count counts in one pass and gives the
// same number (it falls back to sorted_count when a value is NaN).
std::int32_t sorted_count(const float* rperm, float r);
std::int32_t ranked_count(const float* rperm, float r);
