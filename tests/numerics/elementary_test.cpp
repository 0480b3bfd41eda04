#include "numerics/elementary.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>

namespace {

// Distance in units in the last place between two finite doubles of one sign.
std::int64_t ulps(double a, double b) {
    auto ia = std::bit_cast<std::int64_t>(a), ib = std::bit_cast<std::int64_t>(b);
    return ia > ib ? ia - ib : ib - ia;
}

TEST(Elementary, SpecialValues) {
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(ln(1.0), 0.0);
    EXPECT_EQ(ln(0.0), -inf);
    EXPECT_EQ(ln(-0.0), -inf);
    EXPECT_TRUE(std::isnan(ln(-1.0)));
    EXPECT_TRUE(std::isnan(ln(std::nan(""))));
    EXPECT_EQ(ln(inf), inf);
    EXPECT_EQ(expo(0.0), 1.0);
    EXPECT_EQ(expo(800.0), inf);
    EXPECT_EQ(expo(-800.0), 0.0);
    EXPECT_EQ(expo(-inf), 0.0);
    EXPECT_TRUE(std::isnan(expo(std::nan(""))));
    EXPECT_EQ(lnf(1.0f), 0.0f);
    EXPECT_EQ(expof(0.0f), 1.0f);
    EXPECT_EQ(expof(100.0f), std::numeric_limits<float>::infinity());
}

// Within one unit in the last place of the C library's functions, over the
// ranges the program uses and far beyond them.
TEST(Elementary, AgreesWithTheLibraryWithinOneUlp) {
    std::mt19937_64 gen(42);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::uniform_real_distribution<double> expo_range(-700.0, 700.0);
    std::uniform_int_distribution<int> exponent(-1000, 1000);
    std::int64_t worst_ln = 0, worst_exp = 0;
    int float_differences = 0;
    for (int i = 0; i < 1000000; ++i) {
        const double x = std::ldexp(0.5 + unit(gen), exponent(gen));
        worst_ln = std::max(worst_ln, ulps(ln(x), std::log(x)));
        const double y = expo_range(gen);
        worst_exp = std::max(worst_exp, ulps(expo(y), std::exp(y)));
        const auto f = static_cast<float>(unit(gen) * 2.0);
        if (lnf(f) != static_cast<float>(std::log(static_cast<double>(f)))) ++float_differences;
    }
    EXPECT_LE(worst_ln, 1);
    EXPECT_LE(worst_exp, 1);
    EXPECT_LE(float_differences, 2);
    // Near 1 the logarithm keeps its relative accuracy.
    for (double x : {1.0 + 1e-12, 1.0 - 1e-12, 1.0000001, 0.9999999, 1.5, 0.75, 2.0, 1e-300, 1e300})
        EXPECT_LE(ulps(ln(x), std::log(x)), 1) << x;
}

}  // namespace
