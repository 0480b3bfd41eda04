#include "analysis/quantiles.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "numerics/indexx.h"

std::array<float, 2> QuantilePicker::pick(const float* from, std::size_t stride) {
    std::array<float, 2> result;
    if (n_ >= sampled_from && bracketed(from, stride, result)) return result;
    // Every value in permutation order; the selection below moves them.
    bool has_nan = false;
    for (std::int32_t k = 0; k < n_; ++k) {
        const float value = from[static_cast<std::size_t>(k) * stride];
        work_[k] = value;
        has_nan |= value != value;
    }
    if (has_nan) {
        indexx(n_, work_, order_);
        return {work_[order_[lower_ - 1] - 1], work_[order_[upper_ - 1] - 1]};
    }
    float* const end = work_ + n_;
    std::nth_element(work_, work_ + (lower_ - 1), end);
    result[0] = work_[lower_ - 1];
    // Everything after position lower - 1 now compares at or above it, so
    // the value of rank upper lies among those.
    if (upper_ > lower_) std::nth_element(work_ + lower_, work_ + (upper_ - 1), end);
    result[1] = work_[upper_ - 1];
    return result;
}

// The value range [low, high] expected to hold the value of rank j: the
// sorted sample's values a margin of about four standard deviations of
// the sample rank around the rank's expected place; an open end where the
// margin runs past the sample. Only speed depends on it; a range that
// misses the rank is detected and the caller takes the full road.
void QuantilePicker::range(const std::array<float, sample_size>& sample, std::int32_t j, float& low,
                           float& high) const {
    const double share = static_cast<double>(j) / static_cast<double>(n_);
    const double place = share * sample_size - 0.5;
    const double margin = 4.0 * std::sqrt(sample_size * share * (1.0 - share)) + 2.0;
    const double first = std::floor(place - margin);
    const double last = std::ceil(place + margin);
    low = first < 0.0 ? -std::numeric_limits<float>::infinity() : sample[static_cast<std::size_t>(first)];
    high = last >= sample_size ? std::numeric_limits<float>::infinity() : sample[static_cast<std::size_t>(last)];
}

// The two values from one pass over the locus's values, when the sample's
// ranges catch both ranks; false otherwise (a NaN among the values, two
// ranges that meet, a range that misses its rank).
//
// With b values below `low` and the m values from `low` to `high` kept,
// the kept values take ranks b + 1 .. b + m in ascending order, so the
// value of rank j with b < j <= b + m is the (j - b)-th smallest kept.
bool QuantilePicker::bracketed(const float* from, std::size_t stride, std::array<float, 2>& result) {
    std::array<float, sample_size> sample;
    for (std::int32_t i = 0; i < sample_size; ++i) {
        const auto k = static_cast<std::int64_t>(i) * n_ / sample_size;
        sample[static_cast<std::size_t>(i)] = from[static_cast<std::size_t>(k) * stride];
        if (sample[static_cast<std::size_t>(i)] != sample[static_cast<std::size_t>(i)]) return false;
    }
    std::sort(sample.begin(), sample.end());
    float low1, high1, low2, high2;
    range(sample, lower_, low1, high1);
    range(sample, upper_, low2, high2);
    if (!(high1 < low2)) return false;

    // The values of the lower range are kept from the front of work_, those
    // of the upper range from its back. The two ranges are disjoint, so
    // before value k (0-based) at most k values are kept, and each store
    // lands on a free place or on the other end's next place, which is
    // free as well; every store writes the value itself.
    std::int32_t below1 = 0, kept1 = 0, below2 = 0, kept2 = 0;
    bool has_nan = false;
    float* const back = work_ + (n_ - 1);
    for (std::int32_t k = 0; k < n_; ++k) {
        const float value = from[static_cast<std::size_t>(k) * stride];
        has_nan |= value != value;
        below1 += value < low1;
        below2 += value < low2;
        work_[kept1] = value;
        kept1 += (value >= low1) & (value <= high1);
        back[-kept2] = value;
        kept2 += (value >= low2) & (value <= high2);
    }
    if (has_nan) return false;
    if (!(below1 < lower_ && lower_ <= below1 + kept1 && below2 < upper_ && upper_ <= below2 + kept2))
        return false;
    float* const first2 = work_ + (n_ - kept2);
    std::nth_element(work_, work_ + (lower_ - below1 - 1), work_ + kept1);
    std::nth_element(first2, first2 + (upper_ - below2 - 1), work_ + n_);
    result = {work_[lower_ - below1 - 1], first2[upper_ - below2 - 1]};
    return true;
}
