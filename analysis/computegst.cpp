#include "analysis/computegst.h"

#include <emmintrin.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>

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

    Vec<std::int32_t> nall;
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
            std::int32_t typed = 0;
            const std::int32_t n = v.smplsize(p);
            for (std::int32_t i = 0; i < n; ++i) {
                const allelecode x = IGPTR[2 * i];
                const allelecode y = IGPTR[2 * i + 1];
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

// ---- Batched diversity of permuted arrangements ----------------------------------

namespace {

constexpr int lanes = 4;
constexpr std::uint8_t missing_bin = 255;  // allele code 127 moved up by 128

// Adds the byte counts of the individuals in slots first..first+size-1 (each
// Vectors x 16 bytes in `table`) into the int32 counts `widened`, summing at
// most 127 individuals in bytes so that no byte passes 254.
template <std::size_t Vectors>
void add_onehot(const std::uint8_t* table, const std::int32_t* slots, std::int32_t first, std::int32_t size,
                std::int32_t* widened) {
    const __m128i zero = _mm_setzero_si128();
    for (std::int32_t q = first; q < first + size;) {
        const std::int32_t end = std::min(first + size, q + 127);
        __m128i bytes[Vectors];
        for (std::size_t k = 0; k < Vectors; ++k) bytes[k] = zero;
        for (; q < end; ++q) {
            const auto* ind = reinterpret_cast<const __m128i*>(table + static_cast<std::size_t>(slots[q] - 1) * Vectors * 16);
            for (std::size_t k = 0; k < Vectors; ++k) bytes[k] = _mm_add_epi8(bytes[k], _mm_loadu_si128(ind + k));
        }
        for (std::size_t k = 0; k < Vectors; ++k) {
            const __m128i low = _mm_unpacklo_epi8(bytes[k], zero);
            const __m128i high = _mm_unpackhi_epi8(bytes[k], zero);
            const __m128i parts[4] = {_mm_unpacklo_epi16(low, zero), _mm_unpackhi_epi16(low, zero),
                                      _mm_unpacklo_epi16(high, zero), _mm_unpackhi_epi16(high, zero)};
            for (std::size_t j = 0; j < 4; ++j) {
                auto* w = reinterpret_cast<__m128i*>(widened + (4 * k + j) * lanes);
                _mm_storeu_si128(w, _mm_add_epi32(_mm_loadu_si128(w), parts[j]));
            }
        }
    }
}

}  // namespace

struct PermutedDiversity::Impl {
    struct Group {
        std::int32_t locus[lanes];  // 1-based loci of the lanes, 0 for an empty lane
        std::int32_t codes;         // the largest number of alleles among them
        // With 16 or 32: every individual's genotypes are also kept as byte
        // counts per code and lane (16 or 32 codes, the last one counting
        // missing copies), so that a population's counts are sums of vectors.
        std::int32_t onehot_codes;
        std::size_t onehot_at;  // offset of the group's counts in `onehot`
    };
    std::vector<Group> groups;
    // Per group and individual number: copy 1 and copy 2 of each lane's
    // locus, as allele code + 128 (0..254, 255 missing); 8 bytes each.
    std::vector<std::uint8_t> geno;
    std::vector<std::int32_t> pop_first;  // first slot (0-based) of each population
    std::vector<std::int32_t> pop_size;
    std::vector<std::int32_t> marker_loci;  // loci with fewer than two alleles
    // Counts of the current population, lane-interleaved, in four partial
    // tables (copy 1 and copy 2 of even and of odd slots) so that successive
    // increments rarely wait on each other: count[(table * 256 + code) * 4 + lane].
    std::int32_t count[4 * 256 * lanes];
    std::vector<float> sumfreq;  // sumfreq[code * 4 + lane]
    std::vector<std::uint8_t> onehot;  // per group, individual: bytes [code * 4 + lane]
    std::vector<std::uint64_t> arranged;  // a group's genotypes in slot order
    std::int32_t widened[32 * lanes];   // a population's one-hot sums, [code * 4 + lane]
    platform::MemoryClaim claim;        // for geno, onehot and arranged
    std::int32_t nindiv = 0;
    Impl() { std::memset(count, 0, sizeof count); }
};

bool PermutedDiversity::applicable() {
    for (std::int32_t p = 1; p <= variables.numpop; ++p)
        if (variables.smplsize(p) > 8388608) return false;
    return true;
}

PermutedDiversity::PermutedDiversity() : impl_(std::make_unique<Impl>()) {
    Impl& im = *impl_;
    const Variables& v = variables;
    im.nindiv = v.nindiv;

    // Loci with at least two alleles, grouped four at a time among loci of
    // similar allele numbers so that few codes are padding in a group.
    std::vector<std::int32_t> loci;
    for (std::int32_t l = 1; l <= v.numloci; ++l) {
        if (v.alleleobs(l) < 2)
            im.marker_loci.push_back(l);
        else
            loci.push_back(l);
    }
    std::stable_sort(loci.begin(), loci.end(),
                     [&](std::int32_t a, std::int32_t b) { return v.alleleobs(a) < v.alleleobs(b); });
    std::int32_t widest = 0;
    for (std::size_t i = 0; i < loci.size(); i += lanes) {
        Impl::Group g{};
        for (int k = 0; k < lanes && i + static_cast<std::size_t>(k) < loci.size(); ++k) {
            g.locus[k] = loci[i + static_cast<std::size_t>(k)];
            g.codes = std::max(g.codes, v.alleleobs(g.locus[k]));
        }
        widest = std::max(widest, g.codes);
        im.groups.push_back(g);
    }
    im.sumfreq.assign(static_cast<std::size_t>(widest) * lanes, 0.0f);

    const std::size_t per_individual = 2 * lanes;
    const std::size_t per_group = platform::checked_bytes(static_cast<std::size_t>(v.nindiv), per_individual);
    const std::size_t geno_bytes = platform::checked_bytes(per_group, im.groups.size());
    im.claim.claim(geno_bytes, 1);
    im.geno.assign(geno_bytes, missing_bin);
    std::size_t k = 0;  // individual number - 1
    for (std::int32_t p = 1; p <= v.numpop; ++p) {
        const GenoArray& g = v.gtype(p).allele;
        for (std::int32_t s = 1; s <= v.smplsize(p); ++s, ++k) {
            for (std::size_t gi = 0; gi < im.groups.size(); ++gi) {
                std::uint8_t* out = im.geno.data() + gi * per_group + k * per_individual;
                for (int lane = 0; lane < lanes; ++lane) {
                    const std::int32_t l = im.groups[gi].locus[lane];
                    if (l == 0) continue;
                    const auto us = static_cast<std::size_t>(s), ul = static_cast<std::size_t>(l);
                    out[2 * lane] = static_cast<std::uint8_t>(g(1, us, ul) + 128);
                    out[2 * lane + 1] = static_cast<std::uint8_t>(g(2, us, ul) + 128);
                }
            }
        }
    }
    for (std::int32_t p = 1; p <= v.numpop; ++p) {
        im.pop_first.push_back(v.locpop(p - 1));
        im.pop_size.push_back(v.smplsize(p));
    }

    // Byte counts for the groups of few alleles, as long as they stay within
    // a size that the cache can hold.
    constexpr std::size_t onehot_budget = std::size_t{1} << 20;
    std::size_t used = 0;
    for (auto& group : im.groups) {
        const std::int32_t width = group.codes <= 15 ? 16 : group.codes <= 31 ? 32 : 0;
        const std::size_t bytes = static_cast<std::size_t>(width) * lanes * static_cast<std::size_t>(v.nindiv);
        if (width == 0 || used + bytes > onehot_budget) continue;
        group.onehot_codes = width;
        group.onehot_at = used;
        used += bytes;
    }
    im.claim.claim(geno_bytes + used + per_individual * static_cast<std::size_t>(v.nindiv), 1);
    im.onehot.assign(used, 0);
    im.arranged.assign(static_cast<std::size_t>(v.nindiv), 0);
    for (std::size_t gi = 0; gi < im.groups.size(); ++gi) {
        const Impl::Group& group = im.groups[gi];
        if (group.onehot_codes == 0) continue;
        const auto width = static_cast<std::size_t>(group.onehot_codes);
        for (std::size_t x = 0; x < static_cast<std::size_t>(v.nindiv); ++x) {
            const std::uint8_t* g = im.geno.data() + gi * per_group + x * per_individual;
            std::uint8_t* out = im.onehot.data() + group.onehot_at + x * width * lanes;
            for (std::size_t lane = 0; lane < lanes; ++lane) {
                for (int copy = 0; copy < 2; ++copy) {
                    const std::uint8_t code = g[2 * lane + static_cast<std::size_t>(copy)];
                    const std::size_t slot = code == missing_bin ? width - 1 : code;
                    ++out[slot * lanes + lane];
                }
            }
        }
    }
}

PermutedDiversity::~PermutedDiversity() = default;

void PermutedDiversity::compute(const std::int32_t* slots, float* gst, float* hs, float* ht) {
    Impl& im = *impl_;
    for (std::int32_t l : im.marker_loci) {
        gst[l - 1] = misloc;
        hs[l - 1] = misloc;
        ht[l - 1] = misloc;
    }
    const std::size_t per_group = static_cast<std::size_t>(im.nindiv) * 2 * lanes;
    std::int32_t* const count = im.count;
    float* const sumfreq = im.sumfreq.data();
    const __m128 one = _mm_set1_ps(1.0f);
    const __m128 two = _mm_set1_ps(2.0f);

    for (std::size_t gi = 0; gi < im.groups.size(); ++gi) {
        const Impl::Group& group = im.groups[gi];
        const std::int32_t codes = group.codes;
        const std::uint8_t* geno = im.geno.data() + gi * per_group;
        if (group.onehot_codes == 0) {
            // The group's genotypes in slot order, so that counting reads them
            // one after another.
            for (std::int32_t q = 0; q < im.nindiv; ++q)
                std::memcpy(&im.arranged[static_cast<std::size_t>(q)], geno + static_cast<std::size_t>(slots[q] - 1) * 2 * lanes, 8);
        }
        std::fill(sumfreq, sumfreq + codes * lanes, 0.0f);
        __m128 D = _mm_setzero_ps();
        __m128 S = _mm_setzero_ps();
        __m128i m = _mm_setzero_si128();

        for (std::size_t p = 0; p < im.pop_size.size(); ++p) {
            // Allele counts of the population at the four loci; a missing
            // genotype lands twice in the missing bin and is left out. The
            // tables start at zero and every bin that is counted into is read
            // back below and cleared as it is read.
            const std::int32_t first = im.pop_first[p];
            const std::int32_t size = im.pop_size[p];
            std::int32_t missing_slot = missing_bin;
            const std::int32_t* counts = count;
            if (group.onehot_codes != 0) {
                // Sums of the individuals' byte counts, at most 127 of them
                // at a time so that no byte passes 254, widened into int32.
                const auto width = static_cast<std::size_t>(group.onehot_codes);
                const std::size_t vectors = width * lanes / 16;
                const std::uint8_t* table = im.onehot.data() + group.onehot_at;
                std::memset(im.widened, 0, sizeof(std::int32_t) * width * lanes);
                if (vectors == 4)
                    add_onehot<4>(table, slots, first, size, im.widened);
                else
                    add_onehot<8>(table, slots, first, size, im.widened);
                missing_slot = group.onehot_codes - 1;
                counts = im.widened;
            } else {
                const auto tally = [&](std::int32_t q, std::int32_t* c1, std::int32_t* c2) {
                    const auto* g = reinterpret_cast<const std::uint8_t*>(&im.arranged[static_cast<std::size_t>(q)]);
                    ++c1[g[0] * lanes + 0];
                    ++c2[g[1] * lanes + 0];
                    ++c1[g[2] * lanes + 1];
                    ++c2[g[3] * lanes + 1];
                    ++c1[g[4] * lanes + 2];
                    ++c2[g[5] * lanes + 2];
                    ++c1[g[6] * lanes + 3];
                    ++c2[g[7] * lanes + 3];
                };
                std::int32_t* const even1 = count;
                std::int32_t* const even2 = count + 256 * lanes;
                std::int32_t* const odd1 = count + 2 * 256 * lanes;
                std::int32_t* const odd2 = count + 3 * 256 * lanes;
                std::int32_t q = first;
                if (size >= 32) {  // odd slots count apart only where runs are long
                    for (; q + 1 < first + size; q += 2) {
                        tally(q, even1, even2);
                        tally(q + 1, odd1, odd2);
                    }
                }
                for (; q < first + size; ++q) tally(q, even1, even2);
            }
            const int tables = group.onehot_codes != 0 ? 0 : size >= 32 ? 4 : 2;
            const auto counted = [&](std::int32_t code) {
                if (tables == 0) return _mm_loadu_si128(reinterpret_cast<const __m128i*>(counts + code * lanes));
                __m128i sum = _mm_setzero_si128();
                for (int table = 0; table < tables; ++table) {
                    auto* bin = reinterpret_cast<__m128i*>(count + (table * 256 + code) * lanes);
                    sum = _mm_add_epi32(sum, _mm_loadu_si128(bin));
                    _mm_storeu_si128(bin, _mm_setzero_si128());
                }
                return sum;
            };
            // nall: the typed copies. A population without one takes no part
            // at that locus: its lane keeps D, S and m, and with every count 0
            // its frequencies are 0, whose terms change no bit of D or sumfreq.
            const __m128i all = _mm_set1_epi32(2 * size);
            const __m128i nall = _mm_sub_epi32(all, counted(missing_slot));
            const __m128i typed_i = _mm_cmpgt_epi32(nall, _mm_setzero_si128());
            const __m128 typed = _mm_castsi128_ps(typed_i);
            const __m128 n = _mm_or_ps(_mm_and_ps(typed, _mm_cvtepi32_ps(nall)), _mm_andnot_ps(typed, one));
            m = _mm_sub_epi32(m, typed_i);
            const __m128 S_next = _mm_add_ps(S, _mm_div_ps(two, n));
            S = _mm_or_ps(_mm_and_ps(typed, S_next), _mm_andnot_ps(typed, S));
            const __m128 D_next = _mm_add_ps(D, one);
            D = _mm_or_ps(_mm_and_ps(typed, D_next), _mm_andnot_ps(typed, D));
            // Codes above a lane's own alleles count 0 there and add nothing.
            for (std::int32_t c = 0; c < codes; ++c) {
                const __m128 f = _mm_div_ps(_mm_cvtepi32_ps(counted(c)), n);
                D = _mm_sub_ps(D, _mm_mul_ps(f, f));
                float* sf = sumfreq + c * lanes;
                _mm_storeu_ps(sf, _mm_add_ps(_mm_loadu_ps(sf), f));
            }
        }

        const __m128 M = _mm_cvtepi32_ps(m);
        const __m128 Nh = _mm_div_ps(M, S);
        const __m128 Hs = _mm_div_ps(_mm_div_ps(_mm_mul_ps(_mm_mul_ps(D, two), Nh), _mm_add_ps(_mm_sub_ps(Nh, one), Nh)), M);
        __m128 T = _mm_setzero_ps();
        for (std::int32_t c = 0; c < codes; ++c) {
            const __m128 q = _mm_div_ps(_mm_loadu_ps(sumfreq + c * lanes), M);
            T = _mm_add_ps(T, _mm_mul_ps(q, q));
        }
        const __m128 Ht = _mm_add_ps(_mm_sub_ps(one, T), _mm_div_ps(Hs, _mm_mul_ps(_mm_mul_ps(two, Nh), M)));
        const __m128 Gst = _mm_sub_ps(one, _mm_div_ps(Hs, Ht));
        float hs4[lanes], ht4[lanes], gst4[lanes];
        _mm_storeu_ps(hs4, Hs);
        _mm_storeu_ps(ht4, Ht);
        _mm_storeu_ps(gst4, Gst);
        for (int lane = 0; lane < lanes; ++lane) {
            const std::int32_t l = group.locus[lane];
            if (l == 0) continue;
            gst[l - 1] = gst4[lane];
            hs[l - 1] = hs4[lane];
            ht[l - 1] = ht4[lane];
        }
    }
}
