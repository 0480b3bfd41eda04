#include "analysis/correlate.h"

#include <cstddef>

#include "analysis/variables.h"
#include "numerics/pearsn.h"

namespace {

// MT(1) mean Hs and MT(2) mean Gst of the loci with Hs above 0; MT(3) Sxy and
// MT(4) Sxx over the loci with Hs not negative. Kept from the last run.
float MT[5];

}  // namespace

void correlate(float& r, float& probt, float& a, float& b) {
    const Variables& v = variables;
    const std::int32_t numloci = v.numloci;

    std::int32_t P = 0;
    float sum_hs = 0.0f;
    float sum_gst = 0.0f;
    for (std::int32_t l = 1; l <= numloci; ++l) {
        if (v.hs(l) > 0.0f) {
            ++P;
            sum_hs = sum_hs + v.hs(l);
            sum_gst = sum_gst + v.gst(l);
        }
    }
    MT[1] = sum_hs / static_cast<float>(P);
    MT[2] = sum_gst / static_cast<float>(P);

    Vec<float> x, y;  // Hs and Gst of the usable loci, packed in locus order
    x.allocate(1, static_cast<std::size_t>(numloci));
    y.allocate(1, static_cast<std::size_t>(numloci));
    std::int32_t k = 0;
    MT[3] = 0.0f;
    MT[4] = 0.0f;
    for (std::int32_t l = 1; l <= numloci; ++l) {
        if (v.hs(l) < 0.0f) continue;
        ++k;
        x(k) = v.hs(l);
        y(k) = v.gst(l);
        const float d = v.hs(l) - MT[1];
        MT[3] = MT[3] + (v.gst(l) - MT[2]) * d;
        MT[4] = MT[4] + d * d;
    }

    pearsn(x.data(), y.data(), k, r, probt);
    b = MT[3] / MT[4];
    a = MT[2] - MT[1] * b;
}
