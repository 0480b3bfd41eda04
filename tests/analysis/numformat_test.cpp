#include "analysis/numformat.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <string>

#include <xmmintrin.h>

#include "platform/platform.h"
#include "tests/test_support.h"

namespace {

const float nan_value = std::numeric_limits<float>::quiet_NaN();
const float inf = std::numeric_limits<float>::infinity();
const float largest = std::numeric_limits<float>::max();
const float smallest_normal = std::numeric_limits<float>::min();
const float smallest_subnormal = std::numeric_limits<float>::denorm_min();
const float largest_subnormal = from_bits(0x007FFFFFu);

// The 7-wide field of the fast road.
std::string fast_fixed7(float value) {
    char field[7];
    write_fixed7(field, value);
    return std::string(field, sizeof(field));
}

// format_fixed(value, width); a 7-wide field must come out the same from the
// fast road, so every listed case checks both.
std::string fixed(float value, int width) {
    const std::string text = format_fixed(value, width);
    if (width == 7) {
        EXPECT_EQ(fast_fixed7(value), text) << "fast 7-wide field of bits 0x" << std::hex << bits(value);
    }
    return text;
}

TEST(FormatFixed, Width7) {
    EXPECT_EQ(fixed(0.5f, 7), " 0.5000");
    EXPECT_EQ(fixed(-0.25f, 7), "-0.2500");
    EXPECT_EQ(fixed(-1.0f, 7), "-1.0000");
    EXPECT_EQ(fixed(1.0f, 7), " 1.0000");
    EXPECT_EQ(fixed(12.34567f, 7), "12.3457");
    EXPECT_EQ(fixed(10.0f, 7), "10.0000");
    EXPECT_EQ(fixed(99.9999f, 7), "99.9999");
    EXPECT_EQ(fixed(-9.9999f, 7), "-9.9999");
    EXPECT_EQ(fixed(0.1f, 7), " 0.1000");
    EXPECT_EQ(fixed(0.45f, 7), " 0.4500");
    EXPECT_EQ(fixed(0.999999f, 7), " 1.0000");
    EXPECT_EQ(fixed(0.99995f, 7), " 0.9999");  // 0.99994999...
    EXPECT_EQ(fixed(0.00015f, 7), " 0.0002");  // 0.000150000007...
    EXPECT_EQ(fixed(1.0f / 3.0f, 7), " 0.3333");
    EXPECT_EQ(fixed(-2.0f / 3.0f, 7), "-0.6667");
}

TEST(FormatFixed, Width9) {
    EXPECT_EQ(fixed(0.5f, 9), "   0.5000");
    EXPECT_EQ(fixed(-0.8f, 9), "  -0.8000");
    EXPECT_EQ(fixed(9999.9990234375f, 9), "9999.9990");
    EXPECT_EQ(fixed(-999.9999f, 9), "-999.9999");  // 999.99987792...
    EXPECT_EQ(fixed(from_bits(0xC479FFFFu), 9), "-999.9999");  // largest magnitude below 1000
    EXPECT_EQ(fixed(123.0f, 9), " 123.0000");
    EXPECT_EQ(fixed(100.0f, 9), " 100.0000");
    EXPECT_EQ(fixed(-10.0f, 9), " -10.0000");
}

TEST(FormatFixed, TiesGoToEven) {
    EXPECT_EQ(fixed(0.03125f, 7), " 0.0312");
    EXPECT_EQ(fixed(0.09375f, 7), " 0.0938");
    EXPECT_EQ(fixed(-0.03125f, 7), "-0.0312");
    EXPECT_EQ(fixed(-0.09375f, 7), "-0.0938");
    EXPECT_EQ(fixed(0.15625f, 7), " 0.1562");
    EXPECT_EQ(fixed(0.21875f, 7), " 0.2188");
    EXPECT_EQ(fixed(12.96875f, 7), "12.9688");
    EXPECT_EQ(fixed(0.03125f, 9), "   0.0312");
    EXPECT_EQ(fixed(9999.96875f, 9), "9999.9688");
    EXPECT_EQ(fixed(-999.90625f, 9), "-999.9062");
    // Just beside a tie the exact value decides.
    EXPECT_EQ(fixed(from_bits(0x3D000001u), 7), " 0.0313");  // just above 0.03125
    EXPECT_EQ(fixed(from_bits(0x3CFFFFFFu), 7), " 0.0312");  // just below
    EXPECT_EQ(fixed(from_bits(0x3DC00001u), 7), " 0.0938");  // just above 0.09375
    EXPECT_EQ(fixed(from_bits(0x3DBFFFFFu), 7), " 0.0937");  // just below
}

TEST(FormatFixed, ZeroAndValuesThatRoundToZero) {
    EXPECT_EQ(fixed(0.0f, 7), " 0.0000");
    EXPECT_EQ(fixed(-0.0f, 7), " 0.0000");
    EXPECT_EQ(fixed(-0.0f, 9), "   0.0000");
    EXPECT_EQ(fixed(-0.00003f, 7), " 0.0000");
    EXPECT_EQ(fixed(0.00003f, 7), " 0.0000");
    EXPECT_EQ(fixed(0.00005f, 7), " 0.0000");   // 0.0000499999987...
    EXPECT_EQ(fixed(-0.00005f, 7), " 0.0000");
    EXPECT_EQ(fixed(-0.00005f, 9), "   0.0000");
    EXPECT_EQ(fixed(0.00006f, 7), " 0.0001");
    EXPECT_EQ(fixed(-0.00006f, 7), "-0.0001");
    EXPECT_EQ(fixed(smallest_subnormal, 7), " 0.0000");
    EXPECT_EQ(fixed(-smallest_subnormal, 7), " 0.0000");
    EXPECT_EQ(fixed(largest_subnormal, 9), "   0.0000");
    EXPECT_EQ(fixed(-smallest_normal, 9), "   0.0000");
}

TEST(FormatFixed, Overflow) {
    EXPECT_EQ(fixed(100.0f, 7), "*******");
    EXPECT_EQ(fixed(-10.0f, 7), "*******");
    EXPECT_EQ(fixed(9.99995f, 7), "10.0000");  // 9.99995040... rounds up, still fits
    EXPECT_EQ(fixed(-9.99995f, 7), "*******");  // -10.0000 is 8 characters
    EXPECT_EQ(fixed(-9.99994f, 7), "-9.9999");
    // 99.99995 as a float is 99.9999465...: it stays below the tie; the next
    // float up, 99.9999542..., rounds to 100.0000 and no longer fits.
    EXPECT_EQ(fixed(99.99995f, 7), "99.9999");
    EXPECT_EQ(fixed(std::nextafter(99.99995f, 1000.0f), 7), "*******");
    EXPECT_EQ(fixed(10000.0f, 9), "*********");
    EXPECT_EQ(fixed(-1000.0f, 9), "*********");
    EXPECT_EQ(fixed(from_bits(0x447A0000u | 0x80000000u), 9), "*********");  // -1000
    EXPECT_EQ(fixed(131071.9921875f, 9), "*********");  // largest below 2^17
    EXPECT_EQ(fixed(131072.0f, 7), "*******");
    EXPECT_EQ(fixed(largest, 7), "*******");
    EXPECT_EQ(fixed(-largest, 7), "*******");
    EXPECT_EQ(fixed(largest, 9), "*********");
    EXPECT_EQ(fixed(-largest, 9), "*********");
}

TEST(FormatFixed, NotANumberAndInfinity) {
    EXPECT_EQ(fixed(nan_value, 7), "    NaN");
    EXPECT_EQ(fixed(-nan_value, 7), "    NaN");
    EXPECT_EQ(fixed(from_bits(0x7F800001u), 7), "    NaN");  // signalling pattern
    EXPECT_EQ(fixed(nan_value, 9), "      NaN");
    EXPECT_EQ(fixed(-nan_value, 9), "      NaN");
    EXPECT_EQ(fixed(inf, 7), "    Inf");
    EXPECT_EQ(fixed(-inf, 7), "   -Inf");
    EXPECT_EQ(fixed(inf, 9), " Infinity");
    EXPECT_EQ(fixed(-inf, 9), "-Infinity");
}

TEST(FormatFixed, WriteFixedFillsExactlyTheField) {
    char buffer[11];
    for (char& c : buffer) c = '#';
    write_fixed(buffer + 1, -0.03125f, 7);
    EXPECT_EQ(std::string(buffer, 11), "#-0.0312###");
    write_fixed(buffer + 1, 1.0e6f, 9);
    EXPECT_EQ(std::string(buffer, 11), "#*********#");
    // The fast 7-wide road writes its 7 characters and nothing beside them,
    // on its own digits and where it hands over to write_fixed.
    struct Case {
        float value;
        const char* text;
    };
    const Case cases[] = {{-0.03125f, "#-0.0312###"},  {12.34567f, "#12.3457###"}, {0.0f, "# 0.0000###"},
                          {1000.0f, "#*******###"},    {-10.0f, "#*******###"},   {nan_value, "#    NaN###"},
                          {-inf, "#   -Inf###"}};
    for (const Case& c : cases) {
        for (char& ch : buffer) ch = '#';
        write_fixed7(buffer + 1, c.value);
        EXPECT_EQ(std::string(buffer, 11), c.text);
    }
}

TEST(FormatScientific, Examples) {
    EXPECT_EQ(format_scientific(0.0012345f), "1.2345E-03");  // 0.00123449997...
    EXPECT_EQ(format_scientific(1.0f), "1.0000E+00");
    EXPECT_EQ(format_scientific(0.03125f), "3.1250E-02");
    EXPECT_EQ(format_scientific(-1.0f), "-1.0000E+00");
    EXPECT_EQ(format_scientific(0.0f), "0.0000E+00");
    EXPECT_EQ(format_scientific(-0.0f), "0.0000E+00");
    EXPECT_EQ(format_scientific(0.5f), "5.0000E-01");
    EXPECT_EQ(format_scientific(123.456f), "1.2346E+02");
    EXPECT_EQ(format_scientific(-0.000123f), "-1.2300E-04");
    EXPECT_EQ(format_scientific(1.0e10f), "1.0000E+10");
    EXPECT_EQ(format_scientific(16777216.0f), "1.6777E+07");
}

TEST(FormatScientific, TiesGoToEven) {
    EXPECT_EQ(format_scientific(123455.0f), "1.2346E+05");
    EXPECT_EQ(format_scientific(123445.0f), "1.2344E+05");
    EXPECT_EQ(format_scientific(-123445.0f), "-1.2344E+05");
    EXPECT_EQ(format_scientific(1.03125f), "1.0312E+00");
    EXPECT_EQ(format_scientific(1.09375f), "1.0938E+00");
    EXPECT_EQ(format_scientific(0.00390625f), "3.9062E-03");  // 2^-8
    EXPECT_EQ(format_scientific(0.001953125f), "1.9531E-03");  // 2^-9, not a tie
    EXPECT_EQ(format_scientific(from_bits(0x3B800001u)), "3.9063E-03");  // just above 2^-8
}

TEST(FormatScientific, RoundingUpToTheNextExponent) {
    EXPECT_EQ(format_scientific(9.99995e-3f), "1.0000E-02");  // 0.00999995041...
    EXPECT_EQ(format_scientific(9.99995f), "1.0000E+01");
    EXPECT_EQ(format_scientific(-9.99995f), "-1.0000E+01");
    EXPECT_EQ(format_scientific(9.99994f), "9.9999E+00");
    EXPECT_EQ(format_scientific(99999.5f), "1.0000E+05");  // tie, 9 odd: up
    EXPECT_EQ(format_scientific(99998.5f), "9.9998E+04");  // tie, 8 even: stays
    EXPECT_EQ(format_scientific(0.99999994f), "1.0000E+00");
    EXPECT_EQ(format_scientific(9.999999e-10f), "1.0000E-09");
}

TEST(FormatScientific, ExtremesNotANumberAndInfinity) {
    EXPECT_EQ(format_scientific(largest), "3.4028E+38");
    EXPECT_EQ(format_scientific(-largest), "-3.4028E+38");
    EXPECT_EQ(format_scientific(smallest_normal), "1.1755E-38");
    EXPECT_EQ(format_scientific(largest_subnormal), "1.1755E-38");
    EXPECT_EQ(format_scientific(smallest_subnormal), "1.4013E-45");
    EXPECT_EQ(format_scientific(-smallest_subnormal), "-1.4013E-45");
    EXPECT_EQ(format_scientific(from_bits(0x00000007u)), "9.8091E-45");
    EXPECT_EQ(format_scientific(nan_value), "NaN");
    EXPECT_EQ(format_scientific(-nan_value), "NaN");
    EXPECT_EQ(format_scientific(inf), "Infinity");
    EXPECT_EQ(format_scientific(-inf), "-Infinity");
}

TEST(FormatInteger, Values) {
    EXPECT_EQ(format_integer(3), "3");
    EXPECT_EQ(format_integer(0), "0");
    EXPECT_EQ(format_integer(255), "255");
    EXPECT_EQ(format_integer(-7), "-7");
    EXPECT_EQ(format_integer(999999999), "999999999");
    EXPECT_EQ(format_integer(-99999999), "-99999999");
    // Beyond its 9-character field.
    EXPECT_EQ(format_integer(1000000000), "*********");
    EXPECT_EQ(format_integer(-100000000), "*********");
    EXPECT_EQ(format_integer(std::numeric_limits<std::int32_t>::min()), "*********");
    EXPECT_EQ(format_integer(std::numeric_limits<std::int32_t>::max()), "*********");
}

TEST(FormatFixed, SubnormalsUnderFlushToZero) {
    // The program runs with flush-to-zero and denormals-are-zero; the forms
    // work on the bits and do not see that mode.
    std::optional<FloatingPointMode> fp_mode;
    fp_mode.emplace();
    const std::string fixed7 = format_fixed(-largest_subnormal, 7);
    const std::string fast7 = fast_fixed7(-largest_subnormal);
    const std::string fast7_tiny = fast_fixed7(smallest_subnormal);
    const std::string scientific = format_scientific(-largest_subnormal);
    const std::string tiny = format_scientific(smallest_subnormal);
    fp_mode.reset();
    EXPECT_EQ(fixed7, " 0.0000");
    EXPECT_EQ(fast7, " 0.0000");
    EXPECT_EQ(fast7_tiny, " 0.0000");
    EXPECT_EQ(scientific, "-1.1755E-38");
    EXPECT_EQ(tiny, "1.4013E-45");
}

// The exact value of a float as a double, built from its bits so that a
// denormals-are-zero mode left on by another test cannot change it.
double exact_double(float value) {
    const std::uint32_t b = bits(value);
    const auto biased = static_cast<int>((b >> 23) & 0xFFu);
    const std::uint32_t fraction = b & 0x7FFFFFu;
    const double magnitude = biased == 0 ? std::ldexp(static_cast<double>(fraction), -149)
                                         : std::ldexp(static_cast<double>(fraction | 0x800000u), biased - 150);
    return (b >> 31) != 0 ? -magnitude : magnitude;
}

// The fixed-point field computed another way: |value| * 10^4 is exact in a
// long double (24 + 14 significant bits) and nearbyintl rounds it to even.
std::string reference_fixed(float value, int width) {
    const long double scaled = std::fabs(static_cast<long double>(exact_double(value))) * 10000.0L;
    std::string text;
    if (scaled >= 1.0e12L) {
        text = std::string(static_cast<std::size_t>(width) + 1, '9');
    } else {
        const auto q = static_cast<long long>(std::nearbyintl(scaled));
        const std::string decimals = std::to_string(10000 + q % 10000).substr(1);
        text = std::to_string(q / 10000) + "." + decimals;
        if (std::signbit(value) && q != 0) text = "-" + text;
    }
    if (text.size() > static_cast<std::size_t>(width)) return std::string(static_cast<std::size_t>(width), '*');
    return std::string(static_cast<std::size_t>(width) - text.size(), ' ') + text;
}

// A float with random bits, finite.
float random_finite(std::mt19937& gen) {
    for (;;) {
        const float v = from_bits(static_cast<std::uint32_t>(gen()));
        if (std::isfinite(v)) return v;
    }
}

// A float with random significand and sign, of magnitude 2^-20 to 2^18, or
// an odd multiple of 1/32 (a decimal tie) below 10^4.
float random_result_value(std::mt19937& gen) {
    std::uniform_int_distribution<int> kind(0, 3);
    if (kind(gen) == 0) {
        std::uniform_int_distribution<int> k(0, 160000);
        const float v = static_cast<float>(2 * k(gen) + 1) / 32.0f;
        return (gen() & 1u) ? -v : v;
    }
    std::uniform_int_distribution<std::uint32_t> exponent(127 - 20, 127 + 17);
    const auto b = static_cast<std::uint32_t>(((gen() & 1u) << 31) | (exponent(gen) << 23) | (gen() & 0x7FFFFFu));
    return from_bits(b);
}

TEST(FormatFixed, MatchesExactReferenceOnRandomFloats) {
    std::mt19937 gen(20240611u);
    int mismatches = 0;
    for (int i = 0; i < 1000000 && mismatches < 10; ++i) {
        const float v = (i % 4 == 0) ? random_finite(gen) : random_result_value(gen);
        for (int width : {7, 9}) {
            const std::string got = format_fixed(v, width);
            const std::string want = reference_fixed(v, width);
            if (got != want) {
                ++mismatches;
                ADD_FAILURE() << "bits 0x" << std::hex << bits(v) << std::dec << " width " << width
                              << ": got '" << got << "', want '" << want << "'";
            }
        }
    }
}

// Compares the fast 7-wide road with write_fixed on the given values; reports
// at most ten differences.
class Fast7Check {
public:
    void operator()(float value) {
        ++checked_;
        char fast[7];
        char exact[7];
        write_fixed7(fast, value);
        write_fixed(exact, value, 7);
        if (std::memcmp(fast, exact, 7) != 0 && ++mismatches_ <= 10)
            ADD_FAILURE() << "bits 0x" << std::hex << bits(value) << std::dec << ": fast '"
                          << std::string(fast, 7) << "', exact '" << std::string(exact, 7) << "'";
    }
    // The value and its neighbours up to `ulps` steps away, with both signs.
    void around(float value, int ulps) {
        const std::uint32_t b = bits(value) & 0x7FFFFFFFu;
        for (int d = -ulps; d <= ulps; ++d) {
            const auto n = static_cast<std::uint32_t>(static_cast<std::int64_t>(b) + d);
            (*this)(from_bits(n));
            (*this)(from_bits(n ^ 0x80000000u));
        }
    }
    long checked() const { return checked_; }

private:
    long checked_ = 0;
    int mismatches_ = 0;
};

TEST(FormatFixed, FastSevenWideMatchesExactOnRandomFloats) {
    std::mt19937 gen(20250307u);
    Fast7Check check;
    // Any bit pattern (NaN and infinity included), and values in the range of
    // the results.
    for (int i = 0; i < 2000000; ++i) check(from_bits(static_cast<std::uint32_t>(gen())));
    for (int i = 0; i < 2000000; ++i) check(random_result_value(gen));
    // Beside the rounding boundaries: the floats nearest the midpoints between
    // two 4-decimal texts from 0.0000 to 100.0000, a few steps either way.
    std::uniform_int_distribution<int> tenthousandths(0, 1000000);
    for (int i = 0; i < 100000; ++i) {
        const double midpoint = (static_cast<double>(tenthousandths(gen)) + 0.5) / 10000.0;
        check.around(static_cast<float>(midpoint), 2);
    }
    // Every decimal tie below 128: the odd multiples of 1/32, both signs.
    for (int k = 1; k < 128 * 32; k += 2) check.around(static_cast<float>(k) / 32.0f, 0);
    // Every float near the points where the text changes its form: the
    // smallest magnitudes, the first value that rounds away from zero, 1, 10
    // and 100 (width and sign), the end of the fast road at 128.
    const float points[] = {0.0f,         1.0e-30f,      std::ldexp(1.0f, -86), 0.00005f, 0.5f,   0.99995f, 1.0f,
                            9.99995f,     10.0f,         99.99995f,             100.0f,   127.0f, 128.0f,   65536.0f,
                            131072.0f};
    for (float point : points) check.around(point, 3000);
    EXPECT_GT(check.checked(), 5000000);
}

TEST(FormatFixed, FastSevenWideIgnoresFlushToZero) {
    // The program runs with flush-to-zero and denormals-are-zero; the fast
    // road works on the bits like the exact one.
    FloatingPointMode fp_mode;
    std::mt19937 gen(99u);
    Fast7Check check;
    for (int i = 0; i < 200000; ++i) check(random_result_value(gen));
    check.around(smallest_normal, 3000);
    check.around(smallest_subnormal, 3000);
}

// Every one of the 2^32 bit patterns, in 16 slices of 2^28 (one per value of
// the top four bits) that the test runner can spread over the processors:
// about a minute of one processor in an optimised build, so it runs there only
// (elsewhere it is disabled; run it with --gtest_also_run_disabled_tests).
#ifdef TUVAMO_EXHAUSTIVE_TESTS
#define TUVAMO_EXHAUSTIVE(name) name
#else
#define TUVAMO_EXHAUSTIVE(name) DISABLED_##name
#endif
class FastSevenWideSlice : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(FastSevenWideSlice, TUVAMO_EXHAUSTIVE(MatchesExactOnEveryFloat)) {
    Fast7Check check;
    const std::uint32_t first = GetParam() << 28;
    const std::uint32_t last = first | 0x0FFFFFFFu;
    std::uint32_t b = first;
    do check(from_bits(b)); while (b++ != last);
    EXPECT_EQ(check.checked(), 1L << 28);
}

INSTANTIATE_TEST_SUITE_P(FormatFixed, FastSevenWideSlice, ::testing::Range(0u, 16u));

#ifdef __GLIBC__
// The C library of glibc converts doubles exactly, rounding ties to even; a
// float widens to double without change.
std::string reference_scientific(float value) {
    char buffer[64];
    std::snprintf(buffer, sizeof(buffer), "%.4E", exact_double(value));
    std::string text = buffer;
    if (text == "-0.0000E+00") text = "0.0000E+00";
    return text;
}

TEST(FormatScientific, MatchesExactReferenceOnRandomFloats) {
    std::mt19937 gen(7u);
    int mismatches = 0;
    for (int i = 0; i < 200000 && mismatches < 10; ++i) {
        const float v = (i % 2 == 0) ? random_finite(gen) : random_result_value(gen);
        const std::string got = format_scientific(v);
        const std::string want = reference_scientific(v);
        if (got != want) {
            ++mismatches;
            ADD_FAILURE() << "bits 0x" << std::hex << bits(v) << std::dec << ": got '" << got
                          << "', want '" << want << "'";
        }
    }
}
#endif

}  // namespace
