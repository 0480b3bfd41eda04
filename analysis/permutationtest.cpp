#include "analysis/permutationtest.h"

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

void permutationtest(float& pperm, float r) {
    const Variables& v = variables;

    Vec<float> rperm;
    Vec<std::int32_t> ridx;
    rperm.allocate(1, repairings);
    ridx.allocate(1, repairings);

    std::int32_t n = 0;
    float sum_hs = 0.0f, sum_hs2 = 0.0f, sum_gst = 0.0f, sum_gst2 = 0.0f;
    for (std::int32_t l = 1; l <= v.numloci; ++l) {
        if (!(v.hs(l) >= 0.0f)) continue;
        ++n;
        sum_hs = sum_hs + v.hs(l);
        sum_hs2 = sum_hs2 + v.hs(l) * v.hs(l);
        sum_gst = sum_gst + v.gst(l);
        sum_gst2 = sum_gst2 + v.gst(l) * v.gst(l);
    }
    const auto fn = static_cast<float>(n);
    AX[1] = sum_hs / fn;
    AX[2] = sum_hs2;
    AY[1] = sum_gst / fn;
    AY[2] = sum_gst2;
    const float Sx = AX[2] - (AX[1] * AX[1]) * fn;
    const float Sy = AY[2] - (AY[1] * AY[1]) * fn;
    const float F = 1.0f / (std::sqrt(Sx * Sy) + 1.0e-20f);

    // The columns of locperm hold positions 1..n in the list of usable loci; the
    // deviations from the means are the same in every re-pairing, so they are
    // formed once (the same rounded values the sum would form each time).
    const auto un = static_cast<std::size_t>(n);
    Vec<std::int32_t> col1, col2;
    Vec<float> dx, dy;
    col1.allocate(1, un);
    col2.allocate(1, un);
    dx.allocate(1, un);
    dy.allocate(1, un);
    for (std::int32_t l = 1, i = 0; l <= v.numloci; ++l) {
        if (!(v.hs(l) >= 0.0f)) continue;
        ++i;
        col1(i) = i;
        col2(i) = i;
        dx(i) = v.hs(l) - AX[1];
        dy(i) = v.gst(l) - AY[1];
    }

    for (std::int32_t m = 1; m <= repairings; ++m) {
        progress(m);
        Vec<std::int32_t>& column = (m % 2 == 1) ? col1 : col2;
        for (std::int32_t t = n; t >= 2; --t) {
            const std::int32_t j = ranindex(t);
            std::swap(column(t), column(j));
        }
        float S = 0.0f;
        for (std::int32_t i = 1; i <= n; ++i) S = S + dx(col1(i)) * dy(col2(i));
        rperm(m) = S * F;
    }

    indexx(repairings, rperm.data(), ridx.data());

    std::int32_t lo = 0, hi = repairings + 1;
    while (hi - lo > 1) {
        const std::int32_t mid = (lo + hi) / 2;
        if (rperm(ridx(mid)) <= r)
            lo = mid;
        else
            hi = mid;
    }
    std::int32_t h;
    if (r == rperm(ridx(1)))
        h = 1;
    else if (r == rperm(ridx(repairings)))
        h = repairings - 1;
    else
        h = lo;
    pperm = static_cast<float>(h) / 1000000.0f;
}
