#include "analysis/numformat.h"

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace {

// A 32-bit float taken apart: |value| = significand * 2^exponent.
struct FloatParts {
    bool negative;
    bool nan;
    bool infinite;
    std::uint32_t significand;  // 0 for zero, below 2^24
    int exponent;
};

FloatParts decompose(float value) {
    const auto b = std::bit_cast<std::uint32_t>(value);
    const bool negative = (b >> 31) != 0;
    const auto biased = static_cast<int>((b >> 23) & 0xFFu);
    const std::uint32_t fraction = b & 0x7FFFFFu;
    if (biased == 0xFF) return {negative, fraction != 0, fraction == 0, 0, 0};
    if (biased == 0) return {negative, false, false, fraction, -149};  // zero or subnormal
    return {negative, false, false, fraction | 0x800000u, biased - 150};
}

// Right-justifies `text` in field[0..width-1], or fills the field with
// asterisks when the text is longer.
void place(char* field, int width, std::string_view text) {
    const auto w = static_cast<std::size_t>(width);
    if (text.size() > w) {
        std::memset(field, '*', w);
        return;
    }
    const std::size_t fill = w - text.size();
    std::memset(field, ' ', fill);
    std::memcpy(field + fill, text.data(), text.size());
}

// The float rounded to a whole number of ten-thousandths, ties to even. Only
// called with |value| < 2^17, where the result stays below 2^31.
std::uint32_t ten_thousandths(const FloatParts& p) {
    // |value| * 10^4 = significand * 10^4 * 2^exponent, with exponent <= -7 here.
    const std::uint64_t scaled = static_cast<std::uint64_t>(p.significand) * 10000u;  // < 2^38
    const int shift = -p.exponent;
    if (shift >= 40) return 0;  // scaled * 2^-shift < 2^-2: below one half
    std::uint64_t q = scaled >> shift;
    const std::uint64_t rest = scaled & ((std::uint64_t{1} << shift) - 1);
    const std::uint64_t half = std::uint64_t{1} << (shift - 1);
    if (rest > half || (rest == half && (q & 1u) != 0)) ++q;
    return static_cast<std::uint32_t>(q);
}

}  // namespace

void write_fixed(char* field, float value, int width) {
    const FloatParts p = decompose(value);
    if (p.nan) {
        place(field, width, "NaN");
        return;
    }
    if (p.infinite) {
        std::string_view word = width >= 9 ? "-Infinity" : "-Inf";
        if (!p.negative) word.remove_prefix(1);
        place(field, width, word);
        return;
    }
    // From 2^17 on no value fits a field of 9 (at most 9999.9999).
    if (p.significand >= 0x800000u && p.exponent >= 17 - 23) {
        std::memset(field, '*', static_cast<std::size_t>(width));
        return;
    }
    const std::uint32_t q = ten_thousandths(p);
    char text[16];
    char* end = text + sizeof(text);
    char* t = end;
    std::uint32_t decimals = q % 10000u;
    for (int i = 0; i < 4; ++i) {
        *--t = static_cast<char>('0' + decimals % 10u);
        decimals /= 10u;
    }
    *--t = '.';
    std::uint32_t whole = q / 10000u;
    do {
        *--t = static_cast<char>('0' + whole % 10u);
        whole /= 10u;
    } while (whole != 0);
    if (p.negative && q != 0) *--t = '-';
    place(field, width, std::string_view(t, static_cast<std::size_t>(end - t)));
}

std::string format_fixed(float value, int width) {
    std::string field(static_cast<std::size_t>(width), ' ');
    write_fixed(field.data(), value, width);
    return field;
}

std::string format_scientific(float value) {
    const FloatParts p = decompose(value);
    if (p.nan) return "NaN";
    if (p.infinite) return p.negative ? "-Infinity" : "Infinity";
    if (p.significand == 0) return "0.0000E+00";

    // The exact decimal expansion: |value| = digits * 10^power, digits held
    // least significant first. A float has at most 112 significant digits
    // (the smallest subnormals) and at most 39 integer digits.
    std::array<std::uint8_t, 128> digits{};
    int count = 0;
    for (std::uint32_t s = p.significand; s != 0; s /= 10u)
        digits[static_cast<std::size_t>(count++)] = static_cast<std::uint8_t>(s % 10u);
    const auto multiply = [&](std::uint64_t factor) {
        std::uint64_t carry = 0;
        for (int i = 0; i < count; ++i) {
            const std::uint64_t d = digits[static_cast<std::size_t>(i)] * factor + carry;
            digits[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(d % 10u);
            carry = d / 10u;
        }
        while (carry != 0) {
            digits[static_cast<std::size_t>(count++)] = static_cast<std::uint8_t>(carry % 10u);
            carry /= 10u;
        }
    };
    int power = 0;
    if (p.exponent >= 0) {
        // significand * 2^k, in steps of at most 2^30
        for (int k = p.exponent; k > 0; k -= 30) multiply(std::uint64_t{1} << (k < 30 ? k : 30));
    } else {
        // significand * 2^-k = significand * 5^k / 10^k, in steps of at most 5^13
        for (int k = -p.exponent; k > 0; k -= 13) {
            std::uint64_t factor = 1;
            for (int i = 0; i < (k < 13 ? k : 13); ++i) factor *= 5u;
            multiply(factor);
        }
        power = p.exponent;
    }

    // The five leading digits, rounded on everything after them.
    int decimal_exponent = count - 1 + power;
    std::uint32_t q = 0;
    for (int i = count - 1; i >= count - 5; --i)
        q = q * 10u + (i >= 0 ? digits[static_cast<std::size_t>(i)] : 0u);
    if (count > 5) {
        const unsigned next = digits[static_cast<std::size_t>(count - 6)];
        bool beyond = false;
        for (int i = count - 7; i >= 0 && !beyond; --i) beyond = digits[static_cast<std::size_t>(i)] != 0;
        if (next > 5 || (next == 5 && (beyond || (q & 1u) != 0))) ++q;
        if (q == 100000u) {
            q = 10000u;
            ++decimal_exponent;
        }
    }

    std::string text;
    if (p.negative) text += '-';
    text += static_cast<char>('0' + q / 10000u);
    text += '.';
    for (std::uint32_t scale = 1000u; scale != 0; scale /= 10u)
        text += static_cast<char>('0' + (q / scale) % 10u);
    text += 'E';
    text += decimal_exponent < 0 ? '-' : '+';
    const int magnitude = decimal_exponent < 0 ? -decimal_exponent : decimal_exponent;
    text += static_cast<char>('0' + magnitude / 10);
    text += static_cast<char>('0' + magnitude % 10);
    return text;
}

std::string format_integer(std::int32_t value) {
    if (value > 999999999 || value < -99999999) return "*********";
    const bool negative = value < 0;
    auto magnitude = static_cast<std::uint32_t>(negative ? -value : value);
    std::string text;
    do {
        text.insert(text.begin(), static_cast<char>('0' + magnitude % 10u));
        magnitude /= 10u;
    } while (magnitude != 0);
    if (negative) text.insert(text.begin(), '-');
    return text;
}
