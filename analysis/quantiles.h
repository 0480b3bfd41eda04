// The quantile fields of the per-locus file: the values of two ranks among a
// locus's permuted values of one quantity, as the index sort would place them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// The quantile fields of one locus and one quantity: the values of ranks
// `lower` and `upper` (1 <= lower <= upper <= n) among the locus's n values
// from[0], from[stride], ..., from[(n - 1) * stride], in permutation order.
//
// The index sort puts the values in ascending order, and its value of rank j
// is the j-th smallest. When no value is NaN, the routines below find the j-th
// smallest too, up to the order among values that compare equal; and values
// that compare equal write the same text: they have the same bits, or they
// are zeros of either sign (and, with denormals taken as zero, subnormals),
// all written as 0.0000 without a sign. So the fields are the same as through
// the sort. With a NaN present the sort's own placement decides, and the sort
// itself is run.
class QuantilePicker {
public:
    // `work` and `order` hold n values each, as the sort needs them.
    QuantilePicker(std::int32_t n, std::int32_t lower, std::int32_t upper, float* work, std::int32_t* order)
        : n_(n), lower_(lower), upper_(upper), work_(work), order_(order) {}

    // The values of ranks lower and upper, in that order.
    std::array<float, 2> pick(const float* from, std::size_t stride);

private:
    // From this many values on, a sample narrows the search first.
    static constexpr std::int32_t sampled_from = 16384;
    static constexpr std::int32_t sample_size = 1024;

    void range(const std::array<float, sample_size>& sample, std::int32_t j, float& low, float& high) const;
    bool bracketed(const float* from, std::size_t stride, std::array<float, 2>& result);

    std::int32_t n_, lower_, upper_;
    float* work_;
    std::int32_t* order_;
};
