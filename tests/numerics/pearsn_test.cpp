#include "numerics/pearsn.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <vector>

#include "numerics/gammln.h"
#include "numerics/sleepsnd.h"
#include "platform/platform.h"
#include "tests/test_support.h"

// Golden bit patterns of the routines that call exp and log hold on every
// platform: they use the program's own lnf and expof (numerics/elementary),
// not the C library's, whose last bits differ between Linux and Windows.

namespace {

constexpr float nan = std::numeric_limits<float>::quiet_NaN();

// The pause reads a single-precision time of day, which steps by 1/256 s
// after about 9 hours past midnight and by 1/128 s after about 18; a pause of
// more than one second on that clock can last one step less in real time.
constexpr double pause_clock_step = 1.0 / 128.0;

double seconds_taken(const std::function<void()>& step) {
    auto start = std::chrono::steady_clock::now();
    step();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST(Gammln, KnownValues) {
    struct Case {
        float xx;
        std::uint32_t result;
    };
    const Case cases[] = {
        {0.5f, 0x3F128682u},   // ln sqrt(pi) = 0.5723649
        {10.0f, 0x414CD449u},  // ln 9! = 12.80183
        {3.5f, 0x3F99B981u},   // 1.200974
        {1.0f, 0x00000000u},   // ln 0! = 0, exactly after rounding
        {2.0f, 0xA6000000u},   // -4.4e-16: the double result, rounded
        {0.1f, 0x40102C72u},
        {100.0f, 0x43B3912Eu},
    };
    FloatingPointMode fp_mode;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.xx);
        EXPECT_EQ(bits(gammln(c.xx)), c.result);
    }
}

TEST(Betacf, ConvergesWithoutWarning) {
    FloatingPointMode fp_mode;
    float cf = 0.0f;
    StepResult run = run_captured([&] { cf = betacf(2.0f, 3.0f, 0.4f); });
    EXPECT_EQ(bits(cf), 0x4021F9AFu);  // 2.5308645
    EXPECT_EQ(run.out, "");
}

TEST(Betai, KnownValues) {
    struct Case {
        float a, b, x;
        std::uint32_t result;
    };
    // The two-sided 5 % point of t with 10 degrees of freedom.
    const float t5 = 2.228139f;
    const Case cases[] = {
        {2.0f, 3.0f, 0.4f, 0x3F06594Eu},  // 0.5248
        {1.0f, 1.0f, 0.3f, 0x3E999999u},  // I(x; 1, 1) = x, to the last bits
        {1.0f, 1.0f, 0.7f, 0x3F333334u},  // the other branch of the symmetry
        {5.0f, 0.5f, 10.0f / (10.0f + t5 * t5), 0x3D4CCCD2u},  // 0.0500
        // Cases where (bt x fraction) / a, and (fraction x bt) / b on the
        // symmetric side, differ in the last bit from other groupings.
        {2.5f, 0.5f, from_bits(0x3F11B758u), 0x3DDFE640u},
        {1.5f, 3.0f, from_bits(0x3EF1924Bu), 0x3F4018C5u},
        {2.0f, 0.5f, 0.0f, 0x00000000u},
        {2.0f, 0.5f, 1.0f, 0x3F800000u},
        {0.5f, 0.5f, 0.0f, 0x00000000u},
        {7.0f, 3.0f, 1.0f, 0x3F800000u},
    };
    FloatingPointMode fp_mode;
    StepResult run = run_captured([&] {
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << c.a << " " << c.b << " " << c.x);
            EXPECT_EQ(bits(betai(c.a, c.b, c.x)), c.result);
        }
    });
    EXPECT_EQ(run.out, "");
}

TEST(Pearsn, CorrelationAndProbability) {
    struct Case {
        const char* name;
        std::vector<float> x, y;
        std::uint32_t r, prob;
    };
    const std::vector<Case> cases = {
        // r = 29/35, t = 2.9598 with 4 degrees of freedom, prob = 0.04156.
        {"textbook", {1, 2, 3, 4, 5, 6}, {2, 1, 4, 3, 6, 5}, 0x3F541D42u, 0x3D2A3D9Fu},
        {"fractions",
         {1.5f, 2.25f, 3.1f, 4.7f, 5.2f, 6.9f, 7.3f},
         {0.3f, 0.1f, 0.7f, 0.5f, 0.9f, 0.6f, 1.1f},
         0x3F41C628u, 0x3D4809F5u},
        // No spread in x: r = 0 instead of 0/0, t = 0, prob = 1.
        {"constant x", {0.5f, 0.5f, 0.5f, 0.5f}, {1, 2, 3, 5}, 0x00000000u, 0x3F800000u},
        // |r| = 1: t is infinite and prob is 0.
        {"perfect", {1, 2, 3, 4, 5}, {2, 4, 6, 8, 10}, 0x3F800000u, 0x00000000u},
        {"perfect inverse", {1, 2, 3, 4, 5}, {10, 8, 6, 4, 2}, 0xBF800000u, 0x00000000u},
    };
    FloatingPointMode fp_mode;
    StepResult run = run_captured([&] {
        for (const Case& c : cases) {
            SCOPED_TRACE(c.name);
            float r = nan, prob = nan;
            pearsn(c.x.data(), c.y.data(), static_cast<std::int32_t>(c.x.size()), r, prob);
            EXPECT_EQ(bits(r), c.r);
            EXPECT_EQ(bits(prob), c.prob);
        }
    });
    EXPECT_EQ(run.out, "");
}

// Two pairs leave no degree of freedom: the argument of the incomplete beta
// function is NaN, the continued fraction runs out, warns and pauses, and the
// probability is NaN.
TEST(Pearsn, TwoPairsWarnPauseAndGiveNaN) {
    const float x[] = {1.0f, 2.0f};
    const float y[] = {3.0f, 1.0f};
    float r = 0.0f, prob = 0.0f;
    StepResult run;
    double taken = seconds_taken([&] { run = run_captured([&] { pearsn(x, y, 2, r, prob); }); });
    EXPECT_EQ(run.out, " a or b too big, or MAXIT too small in betacf" + std::string(platform::line_end));
    EXPECT_EQ(bits(r), 0xBF800000u);
    EXPECT_TRUE(std::isnan(prob));
    EXPECT_GT(taken, 1.0 - pause_clock_step);
    EXPECT_LT(taken, 2.5);
}

TEST(Sleepsnd, PausesALittleOverTheSecondsAsked) {
    EXPECT_LT(seconds_taken([] { sleepsnd(0); }), 0.5);
    double taken = seconds_taken([] { sleepsnd(1); });
    EXPECT_GT(taken, 1.0 - pause_clock_step);
    EXPECT_LT(taken, 2.0);
}

TEST(Sleepsnd, ElapsedTimeAcrossMidnightAndClockJitter) {
    struct Case {
        float start, now, elapsed;
    };
    const Case cases[] = {
        {100.0f, 100.5f, 0.5f},
        {100.0f, 100.0f, 0.0f},
        // Started 0.5 s before midnight: one second later the pause has not
        // yet ended (it needs more than 1), the next reading ends it.
        {86399.5f, 0.4f, 0.8984375f},
        {86399.5f, 0.5f, 1.0f},
        {86399.5f, 0.6f, 1.1015625f},
        // A clock that steps back by less than 0.1 s counts as no time.
        {100.0f, 99.9f, 0.0f},
        // Exactly -0.1 s already counts as crossing midnight.
        {0.1f, 0.0f, 86399.8984375f},
        // Differences below 1.0e-7 s count as 0.
        {0.0f, 5.0e-8f, 0.0f},
        {0.0f, 2.0e-7f, 2.0e-7f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.start << " -> " << c.now);
        EXPECT_EQ(bits(sleepsnd_elapsed(c.start, c.now)), bits(c.elapsed));
    }
}

}  // namespace
