#include "analysis/correlate.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "analysis/variables.h"
#include "platform/platform.h"
#include "tests/test_support.h"

namespace {

struct Outputs {
    float r, probt, a, b;
    std::string printed;
};

Outputs run_correlate() {
    Outputs o{};
    o.printed = run_captured([&] { correlate(o.r, o.probt, o.a, o.b); }).out;
    return o;
}

class Correlate : public ::testing::Test {
protected:
    void SetUp() override { platform::set_fp_mode(); }
};

TEST_F(Correlate, ThreeLociOnAClearTrend) {
    set_locus_results({0.25f, 0.5f, 0.75f}, {0.1f, 0.2f, 0.4f});
    auto o = run_correlate();
    EXPECT_NEAR(o.r, 0.9819805f, 1e-7f);
    EXPECT_NEAR(o.probt, 0.12104f, 1e-5f);
    EXPECT_EQ(bits(o.b), bits(0.6f));
    EXPECT_EQ(bits(o.a), bits(0.23333335f - 0.5f * 0.6f));
    EXPECT_NEAR(o.a, -0.06666666f, 1e-8f);
    EXPECT_EQ(o.printed, "");
}

// The means take the loci with Hs above 0, the pairs and sums every locus
// whose Hs is not negative; a locus holding the marker takes part in nothing.
TEST_F(Correlate, ZeroHsLocusEntersThePairsButNotTheMeans) {
    set_locus_results({0.5f, 0.25f, 0.0f, misloc}, {0.1f, 0.3f, 1.0f, misloc});
    auto o = run_correlate();
    EXPECT_EQ(bits(o.b), bits(-0.32500002f / 0.171875f));
    EXPECT_NEAR(o.b, -1.8909092f, 1e-7f);
    EXPECT_NEAR(o.a, 0.90909094f, 1e-7f);
    EXPECT_NEAR(o.r, -0.95221657f, 1e-7f);
    EXPECT_NEAR(o.probt, 0.1976f, 1e-4f);

    set_locus_results({misloc, 0.5f, 0.25f, misloc, 0.0f}, {misloc, 0.1f, 0.3f, misloc, 1.0f});
    auto moved = run_correlate();
    EXPECT_EQ(bits(moved.r), bits(o.r));
    EXPECT_EQ(bits(moved.probt), bits(o.probt));
    EXPECT_EQ(bits(moved.a), bits(o.a));
    EXPECT_EQ(bits(moved.b), bits(o.b));
}

TEST_F(Correlate, EqualHsGivesNoSlope) {
    set_locus_results({0.5f, 0.5f, 0.5f}, {0.1f, 0.7f, 0.3f});
    auto o = run_correlate();
    EXPECT_EQ(bits(o.r), bits(0.0f));
    EXPECT_EQ(bits(o.probt), bits(1.0f));
    EXPECT_TRUE(std::isnan(o.a));
    EXPECT_TRUE(std::isnan(o.b));
    EXPECT_EQ(o.printed, "");
}

// No usable locus: r is 0, the t probability goes through the continued
// fraction's warning and pause to NaN, and the regression is NaN.
TEST_F(Correlate, NoUsableLocusWarnsOnceAndGivesNaN) {
    set_locus_results({misloc, misloc}, {misloc, misloc});
    auto o = run_correlate();
    EXPECT_EQ(bits(o.r), bits(0.0f));
    EXPECT_TRUE(std::isnan(o.probt));
    EXPECT_TRUE(std::isnan(o.a));
    EXPECT_TRUE(std::isnan(o.b));
    EXPECT_EQ(o.printed, std::string(" a or b too big, or MAXIT too small in betacf") +
                             std::string(platform::line_end));
}

}  // namespace
