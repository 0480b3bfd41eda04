#include "analysis/permuteddiversity.h"

#include <emmintrin.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>

#include "analysis/variables.h"
#include "platform/platform.h"

namespace {

constexpr int lanes = 4;
constexpr std::uint8_t missing_bin = 255;      // allele code 127 moved up by 128
constexpr std::size_t per_individual = 2 * lanes;  // bytes of one individual in a group

// Adds the byte counts of the individuals in slots first..first+size-1 (each
// Vectors x 16 bytes in `table`) into the int32 counts `widened`, summing at
// most 127 individuals in bytes so that no byte passes 254.
template <std::size_t Vectors>
void add_onehot(const std::uint8_t* table, const std::int32_t* slots, std::int32_t first, std::int32_t size,
                std::int32_t* widened) {
    const __m128i zero = _mm_setzero_si128();
    const std::int32_t last = first + size;  // at most nindiv
    for (std::int32_t q = first; q < last;) {
        const std::int32_t end = q + std::min(last - q, 127);  // q + 127 may pass INT32_MAX
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

// The kernel's tables and its steps. Local to this file, so that each step,
// called from one place, is inlined into compute(): the steps run once per
// population and group of every permutation.
struct Kernel {
    struct Group {
        std::int32_t locus[lanes];  // 1-based loci of the lanes, 0 for an empty lane
        std::int32_t codes;         // the largest number of alleles among them
        // With 16 or 32: every individual's genotypes are also kept as byte
        // counts per code and lane (16 or 32 codes, the last one counting
        // missing copies), so that a population's counts are sums of vectors.
        std::int32_t onehot_codes;
        std::size_t onehot_at;  // offset of the group's counts in `onehot`
    };

    // One population's allele counts at the four loci of a group, as
    // count_population leaves them: the sums themselves in `bins` (tables 0), or
    // spread over the first `tables` count tables, each bin read once and
    // cleared as it is read.
    struct Counts {
        std::int32_t* bins;
        int tables;
        std::int32_t missing;  // the bin of missing copies
        // The four lanes' counts of the code in bin `code` (allele code + 128).
        __m128i take(std::int32_t code) const {
            if (tables == 0) return _mm_loadu_si128(reinterpret_cast<const __m128i*>(bins + code * lanes));
            __m128i sum = _mm_setzero_si128();
            for (int table = 0; table < tables; ++table) {
                auto* bin = reinterpret_cast<__m128i*>(bins + (table * 256 + code) * lanes);
                sum = _mm_add_epi32(sum, _mm_loadu_si128(bin));
                _mm_storeu_si128(bin, _mm_setzero_si128());
            }
            return sum;
        }
    };

    // A group's running sums over its typed populations, lane by lane.
    struct Sums {
        __m128 D = _mm_setzero_ps();     // diversity sum
        __m128 S = _mm_setzero_ps();     // sum of 2 / nall
        __m128i m = _mm_setzero_si128();  // typed populations
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
    platform::MemoryClaim geno_claim, onehot_claim, arranged_claim;  // of geno, onehot, arranged
    std::int32_t nindiv = 0;

    explicit Kernel(const Variables& v);
    void group_loci(const Variables& v);
    void pack_genotypes(const Variables& v);
    void fill_byte_counts();

    void arrange(std::size_t gi, const std::int32_t* slots);
    Counts count_population(const Group& group, const std::int32_t* slots, std::int32_t first, std::int32_t size);
    static void accumulate_population(Counts counts, std::int32_t size, std::int32_t codes, float* sumfreq,
                                      Sums& sums);
    static void finish_group(const Group& group, const Sums& sums, const float* sumfreq, float* gst, float* hs,
                             float* ht);
    void compute(const std::int32_t* slots, float* gst, float* hs, float* ht);
};

Kernel::Kernel(const Variables& v) : nindiv(v.nindiv) {
    std::memset(count, 0, sizeof count);
    group_loci(v);
    pack_genotypes(v);
    fill_byte_counts();
}

// Loci with at least two alleles, grouped four at a time among loci of
// similar allele numbers so that few codes are padding in a group.
void Kernel::group_loci(const Variables& v) {
    std::vector<std::int32_t> loci;
    for (std::int32_t l = 1; l <= v.numloci; ++l) {
        if (v.alleleobs(l) < 2)
            marker_loci.push_back(l);
        else
            loci.push_back(l);
    }
    std::stable_sort(loci.begin(), loci.end(),
                     [&](std::int32_t a, std::int32_t b) { return v.alleleobs(a) < v.alleleobs(b); });
    std::int32_t widest = 0;
    for (std::size_t i = 0; i < loci.size(); i += lanes) {
        Group g{};
        for (int k = 0; k < lanes && i + static_cast<std::size_t>(k) < loci.size(); ++k) {
            g.locus[k] = loci[i + static_cast<std::size_t>(k)];
            g.codes = std::max(g.codes, v.alleleobs(g.locus[k]));
        }
        widest = std::max(widest, g.codes);
        groups.push_back(g);
    }
    sumfreq.assign(static_cast<std::size_t>(widest) * lanes, 0.0f);
}

// Every individual's codes at each group's four loci, and the populations'
// slot ranges.
void Kernel::pack_genotypes(const Variables& v) {
    const std::size_t per_group = platform::checked_bytes(static_cast<std::size_t>(v.nindiv), per_individual);
    const std::size_t geno_bytes = platform::checked_bytes(per_group, groups.size());
    geno_claim.claim(geno_bytes, 1);
    geno.assign(geno_bytes, missing_bin);
    std::size_t k = 0;  // individual number - 1
    for (std::int32_t p = 1; p <= v.numpop; ++p) {
        const GenoArray& g = v.gtype(p).allele;
        for (std::int32_t s = 1; s <= v.smplsize(p); ++s, ++k) {
            for (std::size_t gi = 0; gi < groups.size(); ++gi) {
                std::uint8_t* out = geno.data() + gi * per_group + k * per_individual;
                for (int lane = 0; lane < lanes; ++lane) {
                    const std::int32_t l = groups[gi].locus[lane];
                    if (l == 0) continue;
                    const auto us = static_cast<std::size_t>(s), ul = static_cast<std::size_t>(l);
                    out[2 * lane] = static_cast<std::uint8_t>(g(1, us, ul) + 128);
                    out[2 * lane + 1] = static_cast<std::uint8_t>(g(2, us, ul) + 128);
                }
            }
        }
    }
    for (std::int32_t p = 1; p <= v.numpop; ++p) {
        pop_first.push_back(v.locpop(p - 1));
        pop_size.push_back(v.smplsize(p));
    }
}

// Byte counts for the groups of few alleles, as long as they stay within a
// size that the cache can hold; room for one group's genotypes in slot order.
void Kernel::fill_byte_counts() {
    const auto individuals = static_cast<std::size_t>(nindiv);
    constexpr std::size_t onehot_budget = std::size_t{1} << 20;
    std::vector<std::int32_t> codes, widths(groups.size());
    std::vector<std::size_t> at(groups.size());
    for (const Group& group : groups) codes.push_back(group.codes);
    const std::size_t used = lay_out_byte_counts<std::size_t>(codes, individuals, onehot_budget, widths, at);
    for (std::size_t gi = 0; gi < groups.size(); ++gi) {
        groups[gi].onehot_codes = widths[gi];
        groups[gi].onehot_at = at[gi];
    }
    onehot_claim.claim(used, 1);
    arranged_claim.claim(individuals, sizeof(std::uint64_t));
    onehot.assign(used, 0);
    arranged.assign(individuals, 0);
    const std::size_t per_group = individuals * per_individual;  // checked in pack_genotypes
    for (std::size_t gi = 0; gi < groups.size(); ++gi) {
        const Group& group = groups[gi];
        if (group.onehot_codes == 0) continue;
        const auto width = static_cast<std::size_t>(group.onehot_codes);
        for (std::size_t x = 0; x < individuals; ++x) {
            const std::uint8_t* g = geno.data() + gi * per_group + x * per_individual;
            std::uint8_t* out = onehot.data() + group.onehot_at + x * width * lanes;
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

// Group gi's genotypes in slot order, so that counting reads them one after
// another.
void Kernel::arrange(std::size_t gi, const std::int32_t* slots) {
    const std::uint8_t* g = geno.data() + gi * static_cast<std::size_t>(nindiv) * per_individual;
    for (std::int32_t q = 0; q < nindiv; ++q)
        std::memcpy(&arranged[static_cast<std::size_t>(q)], g + static_cast<std::size_t>(slots[q] - 1) * per_individual,
                    per_individual);
}

// Allele counts of the population in slots first..first+size-1 at the
// group's four loci; a missing genotype lands twice in the missing bin. The
// count tables start at zero, and every bin counted into is read back (and
// so cleared) by accumulate_population.
Kernel::Counts Kernel::count_population(const Group& group, const std::int32_t* slots, std::int32_t first,
                                        std::int32_t size) {
    if (group.onehot_codes != 0) {
        // Sums of the individuals' byte counts, at most 127 of them at a time
        // so that no byte passes 254, widened into int32.
        const auto width = static_cast<std::size_t>(group.onehot_codes);
        const std::uint8_t* table = onehot.data() + group.onehot_at;
        std::memset(widened, 0, sizeof(std::int32_t) * width * lanes);
        if (width * lanes / 16 == 4)
            add_onehot<4>(table, slots, first, size, widened);
        else
            add_onehot<8>(table, slots, first, size, widened);
        return {widened, 0, group.onehot_codes - 1};
    }
    const auto tally = [&](std::int32_t q, std::int32_t* c1, std::int32_t* c2) {
        const auto* g = reinterpret_cast<const std::uint8_t*>(&arranged[static_cast<std::size_t>(q)]);
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
    const bool split = size >= 32;  // odd slots count apart only where runs are long
    if (split) {
        for (; q + 1 < first + size; q += 2) {
            tally(q, even1, even2);
            tally(q + 1, odd1, odd2);
        }
    }
    for (; q < first + size; ++q) tally(q, even1, even2);
    return {count, split ? 4 : 2, missing_bin};
}

// Adds a population of `size` individuals to its group's sums: the lanes
// where it has a typed copy take nall, 2 / nall, 1 - sum of its squared
// frequencies and its frequencies, in computegst's order. A population
// without a typed copy takes no part at that locus: its lane keeps D, S and
// m, and with every count 0 its frequencies are 0, whose terms change no bit
// of D or sumfreq. Codes above a lane's own alleles count 0 there and add
// nothing. `counts` comes by value, so that clearing its bins cannot be taken
// to change it.
void Kernel::accumulate_population(Counts counts, std::int32_t size, std::int32_t codes, float* sumfreq,
                                   Sums& sums) {
    const __m128 one = _mm_set1_ps(1.0f);
    const __m128 two = _mm_set1_ps(2.0f);
    const __m128i all = _mm_set1_epi32(2 * size);  // size <= 8388608: see applicable()
    const __m128i nall = _mm_sub_epi32(all, counts.take(counts.missing));
    const __m128i typed_i = _mm_cmpgt_epi32(nall, _mm_setzero_si128());
    const __m128 typed = _mm_castsi128_ps(typed_i);
    const __m128 n = _mm_or_ps(_mm_and_ps(typed, _mm_cvtepi32_ps(nall)), _mm_andnot_ps(typed, one));
    sums.m = _mm_sub_epi32(sums.m, typed_i);
    const __m128 S_next = _mm_add_ps(sums.S, _mm_div_ps(two, n));
    sums.S = _mm_or_ps(_mm_and_ps(typed, S_next), _mm_andnot_ps(typed, sums.S));
    const __m128 D_next = _mm_add_ps(sums.D, one);
    __m128 D = _mm_or_ps(_mm_and_ps(typed, D_next), _mm_andnot_ps(typed, sums.D));
    for (std::int32_t c = 0; c < codes; ++c) {
        const __m128 f = _mm_div_ps(_mm_cvtepi32_ps(counts.take(c)), n);
        D = _mm_sub_ps(D, _mm_mul_ps(f, f));
        float* sf = sumfreq + c * lanes;
        _mm_storeu_ps(sf, _mm_add_ps(_mm_loadu_ps(sf), f));
    }
    sums.D = D;
}

// Nh, Hs, the mean frequencies' sum of squares T, Ht and Gst of the group's
// four loci, as computegst closes a locus; stored at the lanes' loci.
void Kernel::finish_group(const Group& group, const Sums& sums, const float* sumfreq, float* gst, float* hs,
                          float* ht) {
    const __m128 one = _mm_set1_ps(1.0f);
    const __m128 two = _mm_set1_ps(2.0f);
    const __m128 M = _mm_cvtepi32_ps(sums.m);
    const __m128 Nh = _mm_div_ps(M, sums.S);
    const __m128 Hs =
        _mm_div_ps(_mm_div_ps(_mm_mul_ps(_mm_mul_ps(sums.D, two), Nh), _mm_add_ps(_mm_sub_ps(Nh, one), Nh)), M);
    __m128 T = _mm_setzero_ps();
    for (std::int32_t c = 0; c < group.codes; ++c) {
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

void Kernel::compute(const std::int32_t* slots, float* gst, float* hs, float* ht) {
    for (std::int32_t l : marker_loci) {
        gst[l - 1] = misloc;
        hs[l - 1] = misloc;
        ht[l - 1] = misloc;
    }
    float* const freq = sumfreq.data();
    for (std::size_t gi = 0; gi < groups.size(); ++gi) {
        const Group& group = groups[gi];
        if (group.onehot_codes == 0) arrange(gi, slots);
        std::fill(freq, freq + group.codes * lanes, 0.0f);
        Sums sums;
        for (std::size_t p = 0; p < pop_size.size(); ++p) {
            const std::int32_t size = pop_size[p];
            const Counts counts = count_population(group, slots, pop_first[p], size);
            accumulate_population(counts, size, group.codes, freq, sums);
        }
        finish_group(group, sums, freq, gst, hs, ht);
    }
}

}  // namespace

struct PermutedDiversity::Impl {
    Kernel kernel;
};

bool PermutedDiversity::applicable() {
    for (std::int32_t p = 1; p <= variables.numpop; ++p)
        if (variables.smplsize(p) > 8388608) return false;
    return true;
}

PermutedDiversity::PermutedDiversity() : impl_(new Impl{Kernel(variables)}) {}

PermutedDiversity::~PermutedDiversity() = default;

void PermutedDiversity::compute(const std::int32_t* slots, float* gst, float* hs, float* ht) {
    impl_->kernel.compute(slots, gst, hs, ht);
}
