#include "analysis/permutationtest.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <utility>

#include "analysis/variables.h"
#include "numerics/indexx.h"
#include "numerics/random.h"
#include "platform/platform.h"

namespace {

constexpr std::int32_t repairings = 1000000;

// Mean and sum of squares of the usable loci's Hs (AX) and Gst (AY), kept from
// the last run.
float AX[3];
float AY[3];

// One progress mark per 1000 re-pairings, "+" at every 10,000th; every
// 100,000th ends its row with a blank.
void progress(std::int32_t m) {
    if (m % 1000 != 0) return;
    platform::out(m % 10000 == 0 ? "+" : "-");
    if (m % 100000 == 0) {
        platform::out(" ");
        platform::out_end_line();
    }
    platform::out_flush();
}

}  // namespace

float sum_of_squares(float sum2, float mean, std::int32_t n, const float* deviations, double exact_sum,
                     double exact_sum2) {
    const auto fn = static_cast<float>(n);
    const float one_pass = sum2 - (mean * mean) * fn;
    // How far the one-pass value is off: against the same value from sums in
    // double precision, which are off by at most n 2^-53 A (A = the sum of the
    // squares; every square of a float is exact in double), so that the
    // double value is within (3n + 4) 2^-53 A of the exact one. Its distance
    // from the float value plus that is a bound on the float value's error.
    // (The worst case of the float value itself, (3n + 4) 2^-24 A, would be
    // far above its real error on large sets of ordinary loci.)
    const double dn = static_cast<double>(n);
    const double exact = exact_sum2 - exact_sum * exact_sum / dn;
    const double error = std::fabs(static_cast<double>(one_pass) - exact) + (3.0 * dn + 4.0) * 0x1p-53 * exact_sum2;
    // Kept, to the bit, while that is below a hundredth of the value, so that
    // the normalising factor, which goes with the inverse square root of the
    // product of two such sums, is off by well under 1 %. Beyond, the sum of
    // the squared deviations, whose error is of the order of n 2^-24 times
    // itself. No usable locus gives NaN, which stays as it is.
    if (100.0 * error > exact) {
        float sum = 0.0f;
        for (std::int32_t i = 0; i < n; ++i) sum = sum + deviations[i] * deviations[i];
        return sum;
    }
    return one_pass;
}

std::int32_t sorted_count(const float* rperm_values, float r) {
    const auto rperm = [rperm_values](std::int32_t i) { return rperm_values[i - 1]; };
    Vec<std::int32_t> ridx;
    ridx.allocate(1, repairings);
    indexx(repairings, rperm_values, ridx.data());
    std::int32_t lo = 0, hi = repairings + 1;
    while (hi - lo > 1) {
        const std::int32_t mid = (lo + hi) / 2;
        if (rperm(ridx(mid)) <= r)
            lo = mid;
        else
            hi = mid;
    }
    if (r == rperm(ridx(1))) return 1;
    if (r == rperm(ridx(repairings))) return repairings - 1;
    return lo;
}

// Without a NaN value the index sort orders the values fully, so its first and
// last ranks hold the smallest and the largest value and the bisection over the
// ranks stops at the number of values <= r: one counting pass gives the same h.
// NaN values (all of them are NaN when the normalising factor is) take the
// sort itself, which leaves them where its steps put them.
std::int32_t ranked_count(const float* v, float r) {
    std::int32_t at_or_below = 0;
    bool nan = false;
    float smallest = v[0], largest = v[0];
    for (std::int32_t i = 0; i < repairings; ++i) {
        const float x = v[i];
        at_or_below += x <= r;
        nan |= x != x;
        smallest = x < smallest ? x : smallest;
        largest = x > largest ? x : largest;
    }
    if (nan) return sorted_count(v, r);
    if (r == smallest) return 1;
    if (r == largest) return repairings - 1;
    return at_or_below;
}

void permutationtest(float& pperm, float r) {
    const Variables& v = variables;

    Vec<float> rperm;
    rperm.allocate(1, repairings);

    std::int32_t n = 0;
    float sum_hs = 0.0f, sum_hs2 = 0.0f, sum_gst = 0.0f, sum_gst2 = 0.0f;
    // The same sums in double precision, only to tell how far the one-pass
    // sums of squares are off.
    double exact_hs = 0.0, exact_hs2 = 0.0, exact_gst = 0.0, exact_gst2 = 0.0;
    for (std::int32_t l = 1; l <= v.numloci; ++l) {
        if (!(v.hs(l) >= 0.0f)) continue;
        ++n;
        sum_hs = sum_hs + v.hs(l);
        sum_hs2 = sum_hs2 + v.hs(l) * v.hs(l);
        sum_gst = sum_gst + v.gst(l);
        sum_gst2 = sum_gst2 + v.gst(l) * v.gst(l);
        const auto h = static_cast<double>(v.hs(l)), g = static_cast<double>(v.gst(l));
        exact_hs += h;
        exact_hs2 += h * h;
        exact_gst += g;
        exact_gst2 += g * g;
    }
    const auto fn = static_cast<float>(n);
    AX[1] = sum_hs / fn;
    AX[2] = sum_hs2;
    AY[1] = sum_gst / fn;
    AY[2] = sum_gst2;

    // locperm's two columns select the Hs and the Gst of each pair. Only the
    // deviations from the means enter the sum, and they are the same in every
    // re-pairing, so each column carries the deviations of its loci in the
    // column's current order: reshuffling them is reshuffling the locus numbers,
    // and each product takes the same rounded deviations it would form anew.
    const auto un = static_cast<std::size_t>(n);
    Vec<float> dx, dy;
    dx.allocate(1, un);
    dy.allocate(1, un);
    for (std::int32_t l = 1, i = 0; l <= v.numloci; ++l) {
        if (!(v.hs(l) >= 0.0f)) continue;
        ++i;
        dx(i) = v.hs(l) - AX[1];
        dy(i) = v.gst(l) - AY[1];
    }

    const float Sx = sum_of_squares(AX[2], AX[1], n, dx.data(), exact_hs, exact_hs2);
    const float Sy = sum_of_squares(AY[2], AY[1], n, dy.data(), exact_gst, exact_gst2);
    const float F = 1.0f / (std::sqrt(Sx * Sy) + 1.0e-20f);

    float* const hs_column = dx.data();
    float* const gst_column = dy.data();

    // Odd re-pairings reshuffle the Hs column, even ones the Gst column;
    // neither is ever reset. The sum of re-pairing m - 1 is taken while
    // re-pairing m reshuffles, from a copy of the column as it stood before:
    // the same products added in the same order, with the stream's chain and
    // the sum's chain running side by side.
    Vec<float> before;
    before.allocate(1, un);
    float* const frozen = before.data();
    progress(1);
    ranshuffle(hs_column, n, 2);  // its first draw may initialise the stream
    {
        RandomBatch batch;
        for (std::int32_t m = 2; m <= repairings; ++m) {
            progress(m);
            float* const column = m % 2 == 1 ? hs_column : gst_column;
            const float* const xs = m % 2 == 1 ? frozen : hs_column;
            const float* const ys = m % 2 == 1 ? gst_column : frozen;
            std::copy(column, column + n, frozen);
            float S = 0.0f;
            std::int32_t i = 0;
            for (std::int32_t t = n; t >= 2; --t, ++i) {
                S = S + xs[i] * ys[i];
                std::swap(column[t - 1], column[batch.draw(t) - 1]);
            }
            for (; i < n; ++i) S = S + xs[i] * ys[i];
            rperm(m - 1) = S * F;
        }
    }
    float S = 0.0f;
    for (std::int32_t i = 0; i < n; ++i) S = S + hs_column[i] * gst_column[i];
    rperm(repairings) = S * F;

    // The share of re-pairings at or below r, with the two end corrections.
    const std::int32_t h = ranked_count(rperm.data(), r);
    pperm = static_cast<float>(h) / 1000000.0f;
}
