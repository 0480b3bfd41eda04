#include "numerics/elementary.h"

#include <bit>
#include <cstdint>
#include <limits>

// Both routines reduce the argument exactly and evaluate a minimax polynomial
// on the reduced range, with the argument reduction and coefficients of fdlibm.

namespace {

constexpr double ln2_hi = 6.93147180369123816490e-01;  // ln 2 to 32 bits
constexpr double ln2_lo = 1.90821492927058770002e-10;  // the rest of ln 2
constexpr double inv_ln2 = 1.44269504088896338700e+00;

constexpr double Lg1 = 6.666666666666735130e-01;
constexpr double Lg2 = 3.999999999940941908e-01;
constexpr double Lg3 = 2.857142874366239149e-01;
constexpr double Lg4 = 2.222219843214978396e-01;
constexpr double Lg5 = 1.818357216161805012e-01;
constexpr double Lg6 = 1.531383769920937332e-01;
constexpr double Lg7 = 1.479819860511658591e-01;

constexpr double P1 = 1.66666666666666019037e-01;
constexpr double P2 = -2.77777777770155933842e-03;
constexpr double P3 = 6.61375632143793436117e-05;
constexpr double P4 = -1.65339022054652515390e-06;
constexpr double P5 = 4.13813679705723846039e-08;

constexpr double overflow_above = 7.09782712893383973096e+02;
constexpr double underflow_below = -7.45133219101941108420e+02;

constexpr std::uint64_t mantissa_bits = 0x000FFFFFFFFFFFFFull;

}  // namespace

double ln(double x) {
    const auto bits = std::bit_cast<std::uint64_t>(x);
    const auto biased = static_cast<int>((bits >> 52) & 0x7FF);
    if (x != x) return x;
    if ((bits & ~(std::uint64_t{1} << 63)) == 0 || biased == 0) return -std::numeric_limits<double>::infinity();
    if (bits >> 63) return std::numeric_limits<double>::quiet_NaN();
    if (biased == 0x7FF) return x;

    // x = 2^k (1 + f) with sqrt(2)/2 <= 1 + f < sqrt(2).
    int k = biased - 1023;
    const std::uint64_t mant = bits & mantissa_bits;
    const bool upper = ((mant + (std::uint64_t{0x95f64} << 32)) & (std::uint64_t{1} << 52)) != 0;
    const double m = std::bit_cast<double>(mant | (upper ? 0x3FE0000000000000ull : 0x3FF0000000000000ull));
    if (upper) ++k;
    const double f = m - 1.0;
    const auto dk = static_cast<double>(k);
    if (f == 0.0) return dk * ln2_hi + dk * ln2_lo;

    // ln(1 + f) = 2s + 2s^3/3 + ... with s = f / (2 + f).
    const double s = f / (2.0 + f);
    const double z = s * s;
    const double w = z * z;
    const double t1 = w * (Lg2 + w * (Lg4 + w * Lg6));
    const double t2 = z * (Lg1 + w * (Lg3 + w * (Lg5 + w * Lg7)));
    const double R = t2 + t1;
    const double hfsq = 0.5 * f * f;
    return dk * ln2_hi - ((hfsq - (s * (hfsq + R) + dk * ln2_lo)) - f);
}

double expo(double x) {
    if (x != x) return x;
    if (x > overflow_above) return std::numeric_limits<double>::infinity();
    if (x < underflow_below) return 0.0;

    // x = k ln2 + r with |r| <= ln2 / 2, r carried as hi - lo.
    const double ax = x < 0 ? -x : x;
    double hi = 0.0, lo = 0.0;
    int k = 0;
    if (ax > 0.5 * 0.6931471805599453) {
        if (ax < 1.5 * 0.6931471805599453) {
            k = x < 0 ? -1 : 1;
            hi = x - static_cast<double>(k) * ln2_hi;
            lo = static_cast<double>(k) * ln2_lo;
        } else {
            k = static_cast<int>(inv_ln2 * x + (x < 0 ? -0.5 : 0.5));
            const auto t = static_cast<double>(k);
            hi = x - t * ln2_hi;
            lo = t * ln2_lo;
        }
        x = hi - lo;
    } else if (ax < 3.725290298461914e-09) {  // 2^-28
        return 1.0 + x;
    }

    const double t = x * x;
    const double c = x - t * (P1 + t * (P2 + t * (P3 + t * (P4 + t * P5))));
    if (k == 0) return 1.0 - ((x * c) / (c - 2.0) - x);
    const double y = 1.0 - ((lo - (x * c) / (2.0 - c)) - hi);

    // y * 2^k by adding k to the exponent; a result below the normal range
    // goes through one more multiplication.
    if (k >= -1021) {
        const auto yb = std::bit_cast<std::uint64_t>(y);
        return std::bit_cast<double>(yb + (static_cast<std::uint64_t>(static_cast<std::int64_t>(k)) << 52));
    }
    const auto yb = std::bit_cast<std::uint64_t>(y);
    const double scaled = std::bit_cast<double>(yb + (static_cast<std::uint64_t>(static_cast<std::int64_t>(k + 1000)) << 52));
    return scaled * 9.33263618503218878990e-302;  // 2^-1000
}

float lnf(float x) { return static_cast<float>(ln(static_cast<double>(x))); }

float expof(float x) { return static_cast<float>(expo(static_cast<double>(x))); }
