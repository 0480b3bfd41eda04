#include "analysis/computegst.h"

#include <cstddef>

#include "analysis/variables.h"

namespace {

// The two frequency work vectors, indexed by allele code from -128 and holding
// the codes -128 .. -128 + size - 1.
struct FrequencyVectors {
    Vec<float> popfreq;  // counts, then frequencies, of the current population
    Vec<float> sumfreq;  // running sum of the typed populations' frequencies
    void create(std::size_t codes) {
        popfreq.allocate(-128, codes);
        sumfreq.allocate(-128, codes);
    }
};

}  // namespace

void computegst(std::int32_t mode, std::int32_t first, std::int32_t last) {
    Variables& v = variables;
    const std::int32_t numpop = v.numpop;

    // Typed copies, up to twice the largest sample size: more than int32 holds.
    Vec<std::int64_t> nall;
    nall.allocate(1, static_cast<std::size_t>(numpop));

    if (mode == 1) {
        const auto loci = static_cast<std::size_t>(v.numloci);
        v.gst.allocate(1, loci);
        v.hs.allocate(1, loci);
        v.ht.allocate(1, loci);
        for (std::int32_t p = 1; p <= numpop; ++p)
            v.crrtdata(p).allele.view(v.gtype(p).allele, 1, static_cast<std::size_t>(v.smplsize(p)));
    } else {
        for (std::int32_t p = 1; p <= numpop; ++p)
            v.crrtdata(p).allele.view(v.permdata, static_cast<std::size_t>(v.locpop(p - 1)) + 1,
                                      static_cast<std::size_t>(v.smplsize(p)));
    }

    FrequencyVectors freq;
    std::size_t held = 9;
    freq.create(held);
    Vec<float>& popfreq = freq.popfreq;
    Vec<float>& sumfreq = freq.sumfreq;

    for (std::int32_t l = first; l <= last; ++l) {
        const std::int32_t J = v.alleleobs(l);
        if (J < 2) {
            v.hs(l) = misloc;
            v.ht(l) = misloc;
            v.gst(l) = misloc;
            continue;
        }
        if (static_cast<std::size_t>(J) > held) {
            held = static_cast<std::size_t>(J);
            freq.create(held);
        }
        const std::int32_t top = J - 129;  // highest code at this locus
        for (std::int32_t c = -128; c <= top; ++c) sumfreq(c) = 0.0f;
        float D = 0.0f;
        float S = 0.0f;
        std::int32_t m = 0;

        for (std::int32_t p = 1; p <= numpop; ++p) {
            for (std::int32_t c = -128; c <= top; ++c) popfreq(c) = 0.0f;
            const allelecode* IGPTR = v.crrtdata(p).allele.locus(static_cast<std::size_t>(l));
            std::int64_t typed = 0;
            const std::int32_t n = v.smplsize(p);
            for (std::int32_t i = 0; i < n; ++i) {
                const std::ptrdiff_t at = genotype_offset(i);
                const allelecode x = IGPTR[at];
                const allelecode y = IGPTR[at + 1];
                if (x != y) {
                    popfreq(x) += 1.0f;
                    popfreq(y) += 1.0f;
                    typed += 2;
                } else if (x != v.misdata) {
                    popfreq(x) += 2.0f;
                    typed += 2;
                }
            }
            nall(p) = typed;
            if (typed == 0) continue;  // no typed copy: the population takes no part here
            ++m;
            const auto count = static_cast<float>(typed);
            for (std::int32_t c = -128; c <= top; ++c) popfreq(c) = popfreq(c) / count;
            S = S + (2.0f / count);
            D = D + 1.0f;
            for (std::int32_t c = -128; c <= top; ++c) D = D - popfreq(c) * popfreq(c);
            for (std::int32_t c = -128; c <= top; ++c) sumfreq(c) = sumfreq(c) + popfreq(c);
        }

        const auto M = static_cast<float>(m);
        const float Nh = M / S;  // harmonic mean of the typed individuals per population
        const float Hs = (((D * 2.0f) * Nh) / ((Nh - 1.0f) + Nh)) / M;
        float T = 0.0f;
        for (std::int32_t c = -128; c <= top; ++c) {
            const float q = sumfreq(c) / M;
            T = T + q * q;
        }
        const float Ht = (1.0f - T) + (Hs / ((2.0f * Nh) * M));
        const float Gst = 1.0f - (Hs / Ht);
        v.hs(l) = Hs;
        v.ht(l) = Ht;
        v.gst(l) = Gst;
    }
}
