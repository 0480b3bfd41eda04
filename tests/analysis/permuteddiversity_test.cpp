#include "analysis/permuteddiversity.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <utility>
#include <vector>

#include "analysis/computegst.h"
#include "analysis/variables.h"
#include "platform/platform.h"
#include "tests/analysis/fixtures.h"
#include "tests/test_support.h"

namespace {

const Genotype miss{127, 127};

class PermutedDiversityTest : public ::testing::Test {
protected:
    void SetUp() override { reset_program_state(); }
    FloatingPointMode fp_mode_;
};

// The arrangement that puts every individual back in its own population
// gives the observed values of "uneven" to the bit, whichever way the kernel
// counts: by byte sums (up to 31 alleles), or in count tables when the
// loci are taken to have 40 alleles (codes that never occur add nothing).
TEST_F(PermutedDiversityTest, UnevenDataToTheBit) {
    struct Case {
        const char* name;
        std::vector<int> alleleobs;
    } cases[] = {{"byte sums", {}}, {"count tables", {40, 40, 40, 40, 1, 40}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        reset_program_state();
        load_genotypes(uneven_populations(), c.alleleobs);
        PermutedDiversity batched;
        // Each population's individuals in reverse order, in its own slots.
        std::vector<std::int32_t> slots;
        for (std::int32_t p = 1; p <= variables.numpop; ++p)
            for (std::int32_t q = variables.locpop(p); q > variables.locpop(p - 1); --q) slots.push_back(q);
        std::vector<float> gst(6), hs(6), ht(6);
        batched.compute(slots.data(), gst.data(), hs.data(), ht.data());
        for (std::size_t l = 0; l < 6; ++l) {
            SCOPED_TRACE(l + 1);
            EXPECT_EQ(bits(ht[l]), uneven_results[l].ht);
            EXPECT_EQ(bits(hs[l]), uneven_results[l].hs);
            EXPECT_EQ(bits(gst[l]), uneven_results[l].gst);
        }
    }
}

// The batched computation of permuted arrangements gives, bit for bit, what
// filling permdata and running computegst gives: random data sets with missing
// genotypes, untyped populations, loci of 0, 1, 2 and up to 255 alleles (both
// ways of counting: byte sums for up to 31 alleles, count tables above),
// small and large populations, and random arrangements of the individuals.
TEST_F(PermutedDiversityTest, MatchesComputegstBitForBit) {
    std::mt19937 gen(2026);
    for (int dataset = 0; dataset < 12; ++dataset) {
        SCOPED_TRACE(dataset);
        reset_program_state();
        std::uniform_int_distribution<int> pop_count(2, 9), pop_size(2, 40), loci_count(1, 11);
        const int numpop = pop_count(gen), numloci = loci_count(gen);
        std::vector<int> alleles(static_cast<std::size_t>(numloci));
        for (auto& a : alleles) {
            const int kind = static_cast<int>(gen() % 6);
            a = kind == 0 ? 1 : kind == 1 ? 2 : kind == 2 ? 255 : 2 + static_cast<int>(gen() % 30);
        }
        std::vector<Population> pops(static_cast<std::size_t>(numpop));
        for (int p = 0; p < numpop; ++p) {
            // Some populations are large enough that byte sums need widening
            // on the way (more than 127 individuals) and that counts are split
            // by slot parity (32 or more).
            const int n = p == 0 && dataset % 3 == 2 ? 300 : p == 1 && dataset % 3 == 1 ? 64 : pop_size(gen);
            const bool untyped_pop = gen() % 7 == 0;
            for (int i = 0; i < n; ++i) {
                Individual ind;
                for (int l = 0; l < numloci; ++l) {
                    const int J = alleles[static_cast<std::size_t>(l)];
                    if ((untyped_pop && l % 2 == 0) || gen() % 10 == 0) {
                        ind.push_back(miss);
                    } else {
                        // Skewed frequencies: low codes common, high codes rare.
                        const auto draw = [&] { return static_cast<unsigned>(gen() % static_cast<unsigned>(J)); };
                        const auto code = [&] { return -128 + static_cast<int>(std::min(draw(), draw())); };
                        ind.push_back({code(), code()});
                    }
                }
                pops[static_cast<std::size_t>(p)].push_back(ind);
            }
        }
        // Every code of a locus occurs, as the input reader guarantees: a code
        // not drawn comes with an individual typed at that locus only.
        for (int l = 0; l < numloci; ++l) {
            for (int c = 0; c < alleles[static_cast<std::size_t>(l)]; ++c) {
                bool seen = false;
                for (const auto& pop : pops)
                    for (const auto& ind : pop)
                        seen = seen || ind[static_cast<std::size_t>(l)].first == -128 + c ||
                               ind[static_cast<std::size_t>(l)].second == -128 + c;
                if (seen) continue;
                Individual carrier(static_cast<std::size_t>(numloci), miss);
                carrier[static_cast<std::size_t>(l)] = {-128 + c, -128 + c};
                pops[static_cast<std::size_t>(c % numpop)].push_back(carrier);
            }
        }
        load_genotypes(pops);
        computegst(1, 1, variables.numloci);

        ASSERT_TRUE(PermutedDiversity::applicable());
        PermutedDiversity batched;
        const auto nindiv = static_cast<std::size_t>(variables.nindiv);
        std::vector<std::int32_t> slots(nindiv);
        for (std::size_t k = 0; k < nindiv; ++k) slots[k] = static_cast<std::int32_t>(k + 1);
        const auto loci = static_cast<std::size_t>(numloci);
        std::vector<float> gst(loci), hs(loci), ht(loci);
        for (int arrangement = 0; arrangement < 20; ++arrangement) {
            if (arrangement > 0) std::shuffle(slots.begin(), slots.end(), gen);
            batched.compute(slots.data(), gst.data(), hs.data(), ht.data());
            // The same arrangement through permdata and computegst.
            std::vector<std::pair<int, std::size_t>> where;  // individual -> (population, index)
            for (int p = 1; p <= numpop; ++p)
                for (std::size_t s = 0; s < pops[static_cast<std::size_t>(p - 1)].size(); ++s) where.push_back({p, s + 1});
            for (std::size_t q = 0; q < nindiv; ++q) {
                const auto [p, s] = where[static_cast<std::size_t>(slots[q] - 1)];
                for (std::size_t l = 1; l <= loci; ++l) {
                    variables.permdata(1, q + 1, l) = variables.gtype(p).allele(1, s, l);
                    variables.permdata(2, q + 1, l) = variables.gtype(p).allele(2, s, l);
                }
            }
            computegst(0, 1, numloci);
            for (int l = 1; l <= numloci; ++l) {
                SCOPED_TRACE(l);
                EXPECT_EQ(bits(gst[static_cast<std::size_t>(l - 1)]), bits(variables.gst(l)));
                EXPECT_EQ(bits(hs[static_cast<std::size_t>(l - 1)]), bits(variables.hs(l)));
                EXPECT_EQ(bits(ht[static_cast<std::size_t>(l - 1)]), bits(variables.ht(l)));
            }
        }
    }
}

// Where the byte counts of each group go, reckoned in 32 bits as the 32-bit
// program reckons them: every case gives what exact arithmetic gives, which
// is what 64 bits give here. At 33,555,432 individuals a group of 32 bytes
// per locus needs 4,295,095,296 bytes, 128,000 once wrapped to 32 bits, and
// at 67,108,864 one of 16 bytes needs 2^32, 0 once wrapped: both far above
// the 1 MiB budget, so neither takes byte counts.
TEST(ByteCountLayout, RefusesWhatDoesNotFitInItsSizeType) {
    constexpr std::uint32_t budget = 1u << 20;
    const struct {
        const char* name;
        std::vector<std::int32_t> codes;
        std::uint32_t individuals;
        std::vector<std::int32_t> width;
        std::vector<std::uint32_t> at;
        std::uint32_t used;
    } cases[] = {
        {"wraps to 128,000", {20}, 33555432, {0}, {0}, 0},
        {"wraps to 0", {10}, 67108864, {0}, {0}, 0},
        {"wraps, the next over the budget", {20, 3}, 33555432, {0, 0}, {0, 0}, 0},
        {"in order, wide groups none", {20, 10, 40, 5}, 2048, {32, 16, 0, 16}, {0, 262144, 0, 393216}, 524288},
        {"exactly the budget", {31, 3}, 8192, {32, 0}, {0, 0}, budget},
        {"one over, a later one fits", {31, 3}, 12000, {0, 16}, {0, 0}, 768000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::int32_t> width(c.codes.size(), -1);
        std::vector<std::uint32_t> at(c.codes.size(), 1);
        EXPECT_EQ(lay_out_byte_counts<std::uint32_t>(c.codes, c.individuals, budget, width, at), c.used);
        EXPECT_EQ(width, c.width);
        EXPECT_EQ(at, c.at);

        std::vector<std::int32_t> width64(c.codes.size(), -1);
        std::vector<std::uint64_t> at64(c.codes.size(), 1);
        EXPECT_EQ(lay_out_byte_counts<std::uint64_t>(c.codes, c.individuals, budget, width64, at64), c.used);
        EXPECT_EQ(width64, c.width);
        EXPECT_EQ(std::vector<std::uint64_t>(c.at.begin(), c.at.end()), at64);
    }
}

}  // namespace
