#include "analysis/correlate.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "analysis/variables.h"
#include "platform/platform.h"
#include "tests/analysis/fixtures.h"
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
    FloatingPointMode fp_mode_;
};

// Expected bits below come from an independent single-precision emulation
// (each +, -, *, /, sqrt in double, rounded once to float32) of the step:
// P and the means over Hs > 0, then for Hs >= 0: d = hs - MT(1),
// MT(3) += (gst - MT(2)) * d, MT(4) += d * d; b = MT(3) / MT(4),
// a = MT(2) - MT(1) * b; r = sxy / (sqrt(sxx * syy) + 1e-20) over the pairs,
// each sum taken in locus order.

// MT = (0.5, 0.233333349, 0.075000003, 0.125).
TEST_F(Correlate, ThreeLociOnAClearTrend) {
    set_locus_results({0.25f, 0.5f, 0.75f}, {0.1f, 0.2f, 0.4f});
    auto o = run_correlate();
    EXPECT_EQ(bits(o.r), 0x3F7B6313u);  // 0.981980503
    EXPECT_NEAR(o.probt, 0.12104f, 1e-5f);
    EXPECT_EQ(bits(o.b), 0x3F19999Au);  // 0.600000024
    EXPECT_EQ(bits(o.a), 0xBD888888u);  // -0.0666666627
    EXPECT_EQ(o.printed, "");
}

// The means take the loci with Hs above 0, the pairs and sums every locus
// whose Hs is not negative; a locus holding the marker takes part in nothing.
TEST_F(Correlate, ZeroHsLocusEntersThePairsButNotTheMeans) {
    // MT = (0.375, 0.200000003, -0.325000018, 0.171875).
    set_locus_results({0.5f, 0.25f, 0.0f, misloc}, {0.1f, 0.3f, 1.0f, misloc});
    auto o = run_correlate();
    EXPECT_EQ(bits(o.b), 0xBFF20950u);  // -1.89090919
    EXPECT_EQ(bits(o.a), 0x3F68BA2Fu);  // 0.909090936
    EXPECT_EQ(bits(o.r), 0xBF73C477u);  // -0.952216566
    EXPECT_NEAR(o.probt, 0.1976f, 1e-4f);

    set_locus_results({misloc, 0.5f, 0.25f, misloc, 0.0f}, {misloc, 0.1f, 0.3f, misloc, 1.0f});
    auto moved = run_correlate();
    EXPECT_EQ(bits(moved.r), bits(o.r));
    EXPECT_EQ(bits(moved.probt), bits(o.probt));
    EXPECT_EQ(bits(moved.a), bits(o.a));
    EXPECT_EQ(bits(moved.b), bits(o.b));
}

// The diversities of "uneven" (tests/analysis/fixtures.h): five usable loci,
// one of them with Hs exactly 0, so four counted loci, and the marker.
// MT = (0.734901309 0x3F3C227E, 0.0495388657 0x3D4AE944,
// -0.760558724 0xBF42B3FA, 0.685822308 0x3F2F920D).
TEST_F(Correlate, UnevenDataToTheBit) {
    std::vector<float> hs, gst;
    for (const LocusBits& l : uneven_results) {
        hs.push_back(from_bits(l.hs));
        gst.push_back(from_bits(l.gst));
    }
    set_locus_results(hs, gst);
    auto o = run_correlate();
    EXPECT_EQ(bits(o.r), 0xBF71780Au);  // -0.943237901
    EXPECT_EQ(bits(o.b), 0xBF8DF2D7u);  // -1.10897338
    EXPECT_EQ(bits(o.a), 0x3F5D5180u);  // 0.864524841
    EXPECT_EQ(o.printed, "");
}

// Seven loci of four-decimal values, a weak negative trend, Gst of both
// signs. MT = (0.489571422 0x3EFAA91B, 0.0954999998 0x3DC39581,
// -0.01351404 0xBC5D69FE, 0.538372219 0x3F09D2C3).
TEST_F(Correlate, SevenLociToTheBit) {
    set_locus_results({0.8604f, 0.1267f, 0.1585f, 0.4364f, 0.6551f, 0.8264f, 0.3635f},
                      {0.1761f, 0.1832f, 0.1613f, -0.0129f, 0.1837f, 0.0153f, -0.0382f});
    auto o = run_correlate();
    EXPECT_EQ(bits(o.r), 0xBD970E69u);  // -0.0737579539
    EXPECT_EQ(bits(o.b), 0xBCCDA203u);  // -0.0251016673
    EXPECT_EQ(bits(o.a), 0x3DDCC083u);  // 0.107789062
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
