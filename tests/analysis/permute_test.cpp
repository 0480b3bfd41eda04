#include "analysis/permute.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "analysis/computegst.h"
#include "analysis/variables.h"
#include "numerics/random.h"
#include "platform/platform.h"
#include "tests/test_support.h"

namespace {

constexpr int A = -128;
constexpr int B = -127;

// Individual k (1-based) carries the code -128 + k at locus 1 in both copies,
// so that every slot of permdata tells which individual it holds; locus 2 has
// two alleles, locus 3 only one.
std::vector<Population> numbered(const std::vector<int>& sizes) {
    std::vector<Population> pops;
    int k = 0;
    for (int n : sizes) {
        Population pop;
        for (int s = 0; s < n; ++s) {
            ++k;
            pop.push_back({{-128 + k, -128 + k}, {k % 3 == 0 ? A : B, B}, {A, A}});
        }
        pops.push_back(pop);
    }
    return pops;
}

// Which individual each slot of permdata holds.
std::vector<int> slots() {
    std::vector<int> who;
    for (std::size_t q = 1; q <= static_cast<std::size_t>(variables.nindiv); ++q)
        who.push_back(variables.permdata(1, q, 1) + 128);
    return who;
}

void prepare(const std::vector<int>& sizes, int permutations, int seed) {
    reset_program_state();
    load_genotypes(numbered(sizes));
    variables.numpermut = permutations;
    variables.idum = -seed;
    computegst(1, 1, variables.numloci);
}

// The first seed whose stream starts with the index draws `draws` at the
// bounds nindiv, nindiv - 1, ... (0 when none of the first million does).
int seed_giving(const std::vector<int>& draws) {
    for (int seed = 1; seed <= 1000000; ++seed) {
        reset_random_state();
        variables.idum = -seed;
        bool ok = true;
        for (std::size_t t = 0; t < draws.size() && ok; ++t)
            ok = ranindex(static_cast<std::int32_t>(draws.size() - t)) == draws[t];
        if (ok) return seed;
    }
    return 0;
}

class Permute : public ::testing::Test {
protected:
    FloatingPointMode fp_mode_;
};

// Draws 3, 1, 1, 1 place individuals 3, 1, 4, 2 and leave the pool as
// (2, 4, 1, 3), the arrangement in reverse slot order, for the next permutation.
TEST_F(Permute, PoolExample) {
    const int seed = seed_giving({3, 1, 1, 1});
    ASSERT_NE(seed, 0);
    prepare({2, 2}, 1, seed);
    run_captured(permute);
    EXPECT_EQ(slots(), (std::vector<int>{3, 1, 4, 2}));

    // The second permutation draws from (2, 4, 1, 3) with the next four steps.
    std::vector<int> pool{2, 4, 1, 3}, expected;
    reset_random_state();
    variables.idum = -seed;
    for (int t = 4; t >= 1; --t) ranindex(t);
    for (int m = 4; m >= 1; --m) {
        int j = ranindex(m);
        int x = pool[static_cast<std::size_t>(j - 1)];
        expected.push_back(x);
        std::swap(pool[static_cast<std::size_t>(j - 1)], pool[static_cast<std::size_t>(m - 1)]);
    }
    prepare({2, 2}, 2, seed);
    run_captured(permute);
    EXPECT_EQ(slots(), expected);
}

TEST_F(Permute, EveryPermutationPlacesEveryIndividualOnceAndKeepsSampleSizes) {
    const std::vector<int> sizes{3, 5, 2, 7};
    std::vector<int> previous;
    for (int permutations : {1, 2, 3, 17, 40}) {
        SCOPED_TRACE(permutations);
        prepare(sizes, permutations, 99);
        run_captured(permute);
        auto who = slots();
        auto sorted = who;
        std::sort(sorted.begin(), sorted.end());
        std::vector<int> all(17);
        for (int k = 0; k < 17; ++k) all[static_cast<std::size_t>(k)] = k + 1;
        EXPECT_EQ(sorted, all);
        EXPECT_NE(who, previous);
        previous = who;
        // The population views cover the blocks of the sample sizes.
        for (int p = 1; p <= 4; ++p)
            EXPECT_EQ(variables.crrtdata(p).allele.locus(1),
                      variables.permdata.locus(1) + 2 * variables.locpop(p - 1));
    }
}

TEST_F(Permute, TablesHoldEveryColumnAndTheLastEqualsTheCurrentResults) {
    prepare({4, 6}, 30, 5);
    run_captured(permute);
    ASSERT_EQ(variables.ht_p.cols(), 30u);
    for (int l = 1; l <= 3; ++l) {
        EXPECT_EQ(bits(variables.ht(l)), bits(variables.ht_p(static_cast<std::size_t>(l), 30)));
        EXPECT_EQ(bits(variables.hs(l)), bits(variables.hs_p(static_cast<std::size_t>(l), 30)));
        EXPECT_EQ(bits(variables.gst(l)), bits(variables.gst_p(static_cast<std::size_t>(l), 30)));
    }
    for (std::size_t k = 1; k <= 30; ++k) {
        EXPECT_EQ(variables.ht_p(3, k), misloc);
        EXPECT_EQ(variables.hs_p(3, k), misloc);
        EXPECT_EQ(variables.gst_p(3, k), misloc);
    }
    // Column k is the diversity of permutation k: recompute the middle one.
    // Rerunning with 15 permutations reproduces the first 15 columns.
    std::vector<float> first30(variables.gst_p.column(1), variables.gst_p.column(1) + 3 * 30);
    prepare({4, 6}, 15, 5);
    run_captured(permute);
    EXPECT_EQ(0, std::memcmp(first30.data(), variables.gst_p.column(1), 3 * 15 * sizeof(float)));
    EXPECT_EQ(bits(variables.gst(2)), bits(first30[3 * 14 + 1]));
}

TEST_F(Permute, ProgressMarksAndCounts) {
    const std::string end(platform::line_end);
    std::string hundred;
    for (int i = 0; i < 10; ++i) hundred += "---------+";
    struct Case {
        int permutations;
        std::string want;
    } cases[] = {
        {1, " " + end},
        {9, " " + end},
        {10, "- " + end},
        {250, "---------+---------+----- " + end},
        {1000, hundred + "1000" + end + " " + end},
        {2000, hundred + "1000" + end + hundred + "2000" + end + " " + end},
        {2010, hundred + "1000" + end + hundred + "2000" + end + "- " + end},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.permutations);
        prepare({2, 2}, c.permutations, 3);
        EXPECT_EQ(run_captured(permute).out, c.want);
    }
}

}  // namespace

namespace {

// Both ways of computing the permutations give the same tables, the same
// final state and the same progress output.
TEST_F(Permute, BatchedAndPermdataRoutesAgree) {
    const std::vector<int> sizes{3, 40, 2, 9, 130};
    std::vector<std::vector<float>> tables[2];
    std::string out[2];
    std::vector<int> last_slots[2];
    std::vector<float> last_values[2];
    for (int batched = 0; batched < 2; ++batched) {
        prepare(sizes, 57, 31);
        out[batched] = run_captured([&] { permute_with(batched == 1); }).out;
        for (const Table* t : {&variables.gst_p, &variables.hs_p, &variables.ht_p})
            tables[batched].emplace_back(t->column(1), t->column(1) + 3 * 57);
        last_slots[batched] = slots();
        for (int l = 1; l <= 3; ++l)
            for (float x : {variables.gst(l), variables.hs(l), variables.ht(l)}) last_values[batched].push_back(x);
    }
    for (std::size_t t = 0; t < 3; ++t)
        EXPECT_EQ(0, std::memcmp(tables[0][t].data(), tables[1][t].data(), tables[0][t].size() * sizeof(float)));
    EXPECT_EQ(out[0], out[1]);
    EXPECT_EQ(last_slots[0], last_slots[1]);
    EXPECT_EQ(0, std::memcmp(last_values[0].data(), last_values[1].data(), last_values[0].size() * sizeof(float)));
}

// The three tables are claimed together: when each would fit but the three do
// not, the run ends with the memory diagnostic before the first progress mark.
TEST_F(Permute, TablesThatDoNotFitTogetherEndTheRunBeforeAnyMark) {
    prepare({2, 2}, 1000000, 1);
    const std::size_t table = 3 * 1000000 * sizeof(float);
    AllocationLimit limit(table * 5 / 2 + (std::size_t{1} << 20));
    auto run = run_captured([] { permute(); });
    EXPECT_EQ(run.status, platform::status_fatal);
    EXPECT_EQ(run.out, "");
}

}  // namespace

namespace {

// The memory that the reader holds for the tables passes to them: with the
// three tables' worth held, they are allocated within a limit that has room
// for them once, not twice.
TEST_F(Permute, TablesTakeOverTheMemoryHeldForThem) {
    prepare({2, 2}, 1000000, 1);
    const std::size_t table = 3 * 1000000 * sizeof(float);
    AllocationLimit limit(table * 4 + (std::size_t{1} << 20));
    variables.tables_claim.claim(3 * 1000000, 3 * sizeof(float));
    auto run = run_captured([] { permute(); });
    EXPECT_EQ(run.status, -1);
}

}  // namespace
