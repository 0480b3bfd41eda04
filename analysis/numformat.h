// The number forms of the result files, written from the exact value of a
// 32-bit float with rounding to nearest, ties to even. Only integer arithmetic
// on the float's bits is used, so the text is the same on every platform.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string>

// Fixed point with 4 decimals, right-justified and blank-filled in a field
// `width` (7 or 9) characters wide. A "0" stands before the point of values
// below 1 in magnitude; a value that rounds to zero has no minus sign; a value
// too wide for the field gives `width` asterisks; NaN gives "NaN"; infinity
// gives "Inf" (width 7) or "Infinity" (width 9), a minus sign before it when
// negative.
std::string format_fixed(float value, int width);

// The same field written into field[0..width-1]; nothing else is written.
void write_fixed(char* field, float value, int width);

// The 7-wide field of write_fixed(field, value, 7), made by a shorter road
// for the values that fit the field; every other value (too wide, infinite,
// NaN) goes to write_fixed itself. The text is the same for every float: the
// same exact value |value| * 10^4 is rounded in integer arithmetic with ties
// to even, and the same characters are placed. Writes field[0..6] and
// nothing else.
inline void write_fixed7(char* field, float value);

// Scientific notation with 4 decimals, d.ddddE+xx, without blanks: a minus
// sign for negative values, zero of either sign as 0.0000E+00, "NaN",
// "Infinity" and "-Infinity".
std::string format_scientific(float value);

// The value right-justified in a 9-character integer field, taken without its
// blanks: the decimal digits with a minus sign when negative; a value that
// does not fit in 9 characters gives nine asterisks.
std::string format_integer(std::int32_t value);

// ---- The 7-wide fast road ------------------------------------------------------

namespace numformat_detail {

// "00", "01", ..., "99": the two decimal digits of 0..99.
inline constexpr std::array<char, 200> digit_pairs = [] {
    std::array<char, 200> pairs{};
    for (int i = 0; i < 100; ++i) {
        pairs[static_cast<std::size_t>(2 * i)] = static_cast<char>('0' + i / 10);
        pairs[static_cast<std::size_t>(2 * i + 1)] = static_cast<char>('0' + i % 10);
    }
    return pairs;
}();

}  // namespace numformat_detail

inline void write_fixed7(char* field, float value) {
    const auto b = std::bit_cast<std::uint32_t>(value);
    const std::uint32_t biased = (b >> 23) & 0xFFu;
    // Biased exponents up to 133 are the magnitudes below 2^7 = 128, zeros and
    // subnormals included; everything from 128 on (and infinity and NaN) is
    // left to the general routine.
    if (biased > 133u) {
        write_fixed(field, value, 7);
        return;
    }
    // |value| * 10^4 = s * 10^4 * 2^-shift exactly, s the significand with its
    // leading bit. For a zero or a subnormal the added leading bit is wrong,
    // but there shift is clamped to 63 and the quotient below is 0 all the
    // same, as the exact value (below 2^-126 * 10^4) rounds to 0 too.
    const std::uint64_t scaled = static_cast<std::uint64_t>((b & 0x7FFFFFu) | 0x800000u) * 10000u;  // < 2^38
    const std::uint32_t raw_shift = 150u - biased;                                                // >= 17
    const std::uint32_t shift = raw_shift < 63u ? raw_shift : 63u;
    // Rounding to nearest with ties to even in one addition: with
    // scaled = t * 2^shift + rest, adding half - 1 and the low bit of t carries
    // into t exactly when rest > half, or rest == half and t is odd. The sum
    // stays below 2^38 + 2^62 < 2^64. Clamping shift at 63 (values below
    // 2^-86) keeps the result 0, as scaled + half - 1 + 1 < 2^63.
    const std::uint64_t half = std::uint64_t{1} << (shift - 1u);
    const auto q = static_cast<std::uint32_t>((scaled + (half - 1u) + ((scaled >> shift) & 1u)) >> shift);
    const bool negative = (b >> 31) != 0;
    // Positive texts hold at most 99.9999, negative ones at most -9.9999.
    if (q >= (negative ? 100000u : 1000000u)) {
        std::memset(field, '*', 7);
        return;
    }
    const std::uint32_t whole = q / 10000u;  // 0..99
    const std::uint32_t decimals = q - whole * 10000u;
    const std::uint32_t hundreds = decimals / 100u;
    const char* const pairs = numformat_detail::digit_pairs.data();
    // Below 10 the tens place holds the minus sign of a negative value that
    // does not round to zero, or the one blank of fill. Chosen without a
    // branch, as signs change from value to value.
    const char lead = static_cast<char>(' ' + ('-' - ' ') * static_cast<int>(negative & (q != 0)));
    const char tens = pairs[2 * whole];
    field[0] = whole < 10u ? lead : tens;
    field[1] = pairs[2 * whole + 1];
    field[2] = '.';
    std::memcpy(field + 3, pairs + 2 * hundreds, 2);
    std::memcpy(field + 5, pairs + 2 * (decimals - hundreds * 100u), 2);
}
