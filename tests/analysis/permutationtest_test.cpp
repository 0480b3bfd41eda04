#include "analysis/permutationtest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "analysis/correlate.h"
#include "analysis/variables.h"
#include "numerics/random.h"
#include "platform/platform.h"
#include "tests/test_support.h"

namespace {

const std::vector<float> ten_hs{0.12f, 0.25f, 0.33f, 0.41f, 0.48f, 0.55f, 0.62f, 0.70f, 0.78f, 0.85f};
const std::vector<float> ten_gst{0.30f, 0.05f, 0.22f, 0.15f, 0.08f, 0.12f, 0.02f, 0.10f, 0.04f, 0.06f};
const float ten_r = -0.68762f;  // close to, not exactly, the observed r of these loci

class PermutationTest : public ::testing::Test {
protected:
    void SetUp() override { platform::set_fp_mode(); }
};

// The observed r of the ten loci, as the correlation step gives it.
float observed_r() {
    set_locus_results(ten_hs, ten_gst, 0);
    float r, probt, a, b;
    correlate(r, probt, a, b);
    return r;
}

TEST_F(PermutationTest, TenLociWithSeed12345) {
    const float r = observed_r();
    EXPECT_NEAR(r, ten_r, 1e-5f);
    set_locus_results(ten_hs, ten_gst, 12345);
    float pperm = -1;
    auto run = run_captured([&] { permutationtest(pperm, r); });
    EXPECT_EQ(bits(pperm), bits(14759.0f / 1000000.0f));

    // Ten rows of nine "-" and one "+", ten times over, then a blank.
    std::string row;
    for (int i = 0; i < 10; ++i) row += "---------+";
    row += " ";
    std::string all;
    for (int i = 0; i < 10; ++i) all += row + std::string(platform::line_end);
    EXPECT_EQ(run.out, all);

    // The stream continues after exactly 9,000,000 draws.
    const float next_after_test = ran1();
    set_locus_results({}, {}, 12345);
    for (int i = 0; i < 9000000; ++i) ranindex(2);
    EXPECT_EQ(bits(ran1()), bits(next_after_test));
}

TEST_F(PermutationTest, LociHoldingTheMarkerChangeNothing) {
    const float r = observed_r();
    std::vector<float> hs = ten_hs, gst = ten_gst;
    hs.insert(hs.begin() + 3, misloc);
    gst.insert(gst.begin() + 3, misloc);
    hs.insert(hs.begin(), misloc);
    gst.insert(gst.begin(), misloc);
    hs.push_back(misloc);
    gst.push_back(misloc);
    set_locus_results(hs, gst, 12345);
    float pperm = -1;
    run_captured([&] { permutationtest(pperm, r); });
    EXPECT_EQ(bits(pperm), bits(0.014759f));
}

TEST_F(PermutationTest, EndsOfTheRange) {
    struct Case {
        const char* name;
        std::vector<float> hs, gst;
        float r;
        float want;
    } cases[] = {
        {"r below every permuted value", ten_hs, ten_gst, -2.0f, 0.0f},
        {"r above every permuted value", ten_hs, ten_gst, 2.0f, 1.0f},
        {"one usable locus: every value 0 equals r", {0.3f, misloc}, {0.2f, misloc}, 0.0f, 0.000001f},
        {"no usable locus: every value NaN", {misloc}, {misloc}, 0.0f, 0.0f},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        set_locus_results(c.hs, c.gst, 7);
        float pperm = -1;
        run_captured([&] { permutationtest(pperm, c.r); });
        EXPECT_EQ(bits(pperm), bits(c.want));
    }
}

}  // namespace


namespace {

// Counting the values at or below r gives the number that the index sort and
// the bisection give, on values with many ties, at both ends, and with NaN.
TEST(PermutationCount, CountingAgreesWithSortAndBisection) {
    std::mt19937 gen(11);
    std::vector<float> values(1000000);
    struct Case {
        const char* name;
        int distinct;      // values drawn from this many levels (0: continuous)
        double nan_share;  // share of NaN values
        int probes;        // how many of the r values below to try
    } cases[] = {{"continuous", 0, 0.0, 3}, {"few levels", 7, 0.0, 5}, {"some NaN", 50, 0.01, 2},
                 {"all NaN", 1, 1.0, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
        std::uniform_int_distribution<int> level(0, std::max(c.distinct - 1, 0));
        std::bernoulli_distribution nan(c.nan_share);
        for (auto& x : values) {
            x = c.distinct == 0 ? unit(gen) : static_cast<float>(level(gen)) / 64.0f - 0.5f;
            if (nan(gen)) x = std::nanf("");
        }
        const float smallest = *std::min_element(values.begin(), values.end());
        const float largest = *std::max_element(values.begin(), values.end());
        const float probes[] = {values[17], smallest, largest, -0.0f, std::nanf("")};
        for (int i = 0; i < c.probes; ++i) {
            const float r = probes[i];
            SCOPED_TRACE(r);
            EXPECT_EQ(ranked_count(values.data(), r), sorted_count(values.data(), r));
        }
        if (c.nan_share == 0) {
            EXPECT_EQ(ranked_count(values.data(), -5.0f), 0);
            EXPECT_EQ(ranked_count(values.data(), 5.0f), 1000000);
        }
    }
}

}  // namespace
