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
    FloatingPointMode fp_mode_;
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

// The sums of squares of the normalising factor, against an independent
// single-precision emulation (each operation in double, rounded once to
// float32): the one-pass value sum2 - (mean * mean) * n is kept, to the bit,
// where its rounding error is below a hundredth of it, and the sum of the
// squared deviations is taken where it is not. The error is measured against
// the same sums in double precision, not taken as its worst case: on 5,000
// ordinary loci that worst case, (3n + 4) 2^-24 sum2, is about 1.7 % of the
// value, the real error some 1e-5 of it.
TEST(PermutationSums, OnePassWhereAccurateDeviationsWhereItCancels) {
    struct Case {
        const char* name;
        std::vector<float> values;
        std::uint32_t want;
    } cases[] = {
        // sum2 3.0921001, mean 0.509 (AX of the worked loci): the value
        // 0.50129008 is off by 1.5e-8; the deviations would give 0x3F00548A.
        {"worked Hs", ten_hs, 0x3F00548Cu},
        // sum2 0.19980001, mean 0.113999985 (AY): the deviations, 0x3D8F0847.
        {"worked Gst", ten_gst, 0x3D8F084Cu},
        // sum2 4.5128803, mean 0.95003998: one pass 4.7683716e-7 (0x35000000),
        // nine times the exact value 5.2017259e-8; the deviations give
        // 5.2017260e-8.
        {"Hs barely varying", {0.95f, 0.9501f, 0.9499f, 0.9502f, 0.95f}, 0x335F6995u},
        {"one value", {0.3f}, 0x00000000u},
    };
    struct Sums {
        float sum = 0.0f, sum2 = 0.0f, mean = 0.0f;
        double exact_sum = 0.0, exact_sum2 = 0.0;
        std::vector<float> deviations;
    };
    const auto sums_of = [](const std::vector<float>& values) {
        Sums s;
        for (float x : values) {
            s.sum = s.sum + x;
            s.sum2 = s.sum2 + x * x;
            s.exact_sum += static_cast<double>(x);
            s.exact_sum2 += static_cast<double>(x) * static_cast<double>(x);
        }
        s.mean = s.sum / static_cast<float>(values.size());
        for (float x : values) s.deviations.push_back(x - s.mean);
        return s;
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto n = static_cast<std::int32_t>(c.values.size());
        const Sums s = sums_of(c.values);
        EXPECT_EQ(bits(sum_of_squares(s.sum2, s.mean, n, s.deviations.data(), s.exact_sum, s.exact_sum2)), c.want);
    }
    // 5,000 loci of Hs 0.7 give or take 0.25: the one-pass value, to the bit.
    std::mt19937 gen(5);
    std::vector<float> ordinary;
    for (int i = 0; i < 5000; ++i) ordinary.push_back(0.45f + 0.5f * std::generate_canonical<float, 24>(gen));
    const Sums s = sums_of(ordinary);
    const float one_pass = s.sum2 - (s.mean * s.mean) * 5000.0f;
    EXPECT_EQ(bits(sum_of_squares(s.sum2, s.mean, 5000, s.deviations.data(), s.exact_sum, s.exact_sum2)),
              bits(one_pass));
    EXPECT_GT((3.0 * 5000 + 4) * 0x1p-24 * static_cast<double>(s.sum2), 0.01 * static_cast<double>(one_pass));
    float from_deviations = 0.0f;
    for (float d : s.deviations) from_deviations = from_deviations + d * d;
    EXPECT_NE(bits(from_deviations), bits(one_pass));  // so the choice shows
    // No value: the NaN mean stays in the one-pass value.
    EXPECT_TRUE(std::isnan(sum_of_squares(0.0f, std::nanf(""), 0, nullptr, 0.0, 0.0)));
}

// 100 loci whose Hs barely varies (0.95 give or take 1.7e-4, so a spread of
// about 1e-4), with a weak negative trend of Gst on Hs: r = -0.1256, t-test
// probability 0.2132. The one-pass sum of squares of Hs is rounding noise
// there (6.1e-5, the sum itself being 1.0e-6); taken as it was, it shrank
// every permuted r towards 0, by a factor of about 8, and the probability came
// out as 0. The probability must agree with an independent estimate: a
// double-precision Monte Carlo of the same re-pairings, 20,000 of them with
// their own random numbers, r of each about the pairs' means in double
// (0.1057, standard error 0.0022; the program gives 0.1063), and the lower
// tail of the t test (0.1066).
TEST_F(PermutationTest, HsThatBarelyVariesAgreesWithAnIndependentEstimate) {
    std::mt19937 gen(20261210);
    const auto unit = [&] { return (static_cast<double>(gen()) + 0.5) / 4294967296.0; };
    const int n = 100;
    std::vector<float> hs, gst;
    for (int l = 0; l < n; ++l) {
        const double h = 1.7e-4 * (2.0 * unit() - 1.0);
        hs.push_back(static_cast<float>(0.95 + h));
        gst.push_back(static_cast<float>(0.05 + 0.017 * (2.0 * unit() - 1.0) - 4.0 * h));
    }
    // The one-pass sum of squares is far off here, so that taking it shows.
    float sum = 0.0f, sum2 = 0.0f;
    for (float x : hs) {
        sum = sum + x;
        sum2 = sum2 + x * x;
    }
    const float mean = sum / static_cast<float>(n);
    float from_deviations = 0.0f;
    for (float x : hs) from_deviations = from_deviations + (x - mean) * (x - mean);
    EXPECT_GT(sum2 - (mean * mean) * static_cast<float>(n), 10.0f * from_deviations);

    set_locus_results(hs, gst, 4711);
    float r, probt, a, b;
    run_captured([&] { correlate(r, probt, a, b); });
    set_locus_results(hs, gst, 4711);
    float pperm = -1;
    run_captured([&] { permutationtest(pperm, r); });

    // The independent estimate.
    const auto correlation = [](const std::vector<double>& x, const std::vector<double>& y) {
        double mx = 0, my = 0;
        for (int i = 0; i < n; ++i) {
            mx += x[static_cast<std::size_t>(i)];
            my += y[static_cast<std::size_t>(i)];
        }
        mx /= n;
        my /= n;
        double sxx = 0, syy = 0, sxy = 0;
        for (int i = 0; i < n; ++i) {
            const double dx = x[static_cast<std::size_t>(i)] - mx, dy = y[static_cast<std::size_t>(i)] - my;
            sxx += dx * dx;
            syy += dy * dy;
            sxy += dx * dy;
        }
        return sxy / std::sqrt(sxx * syy);
    };
    const std::vector<double> x(hs.begin(), hs.end());
    std::vector<double> y(gst.begin(), gst.end());
    const int draws = 20000;
    int at_or_below = 0;
    std::mt19937_64 shuffler(99);
    for (int m = 0; m < draws; ++m) {
        std::shuffle(y.begin(), y.end(), shuffler);
        at_or_below += correlation(x, y) <= static_cast<double>(r);
    }
    const double estimate = static_cast<double>(at_or_below) / draws;
    // Four standard errors of the difference of the two Monte Carlo shares.
    const double allowed = 4.0 * std::sqrt(estimate * (1.0 - estimate) * (1.0 / draws + 1.0 / 1000000.0));
    EXPECT_NEAR(static_cast<double>(pperm), estimate, allowed) << "r " << r << ", t-test probability " << probt;
    // The t test's lower tail tells the same.
    const double half = static_cast<double>(probt) / 2.0;
    const double lower_tail = r < 0.0f ? half : 1.0 - half;
    EXPECT_NEAR(static_cast<double>(pperm), lower_tail, 0.005);
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
