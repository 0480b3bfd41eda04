#include "numerics/pearsn.h"

#include <cmath>

#include "numerics/elementary.h"
#include "numerics/gammln.h"
#include "numerics/sleepsnd.h"
#include "platform/platform.h"

namespace {

// Iterations of the continued fraction before it is given up.
constexpr int MAXIT = 100;
// The fraction has converged when its last factor is this close to 1.
constexpr float EPS = 3.0e-7f;
// Replaces a divisor whose magnitude is below it.
constexpr float FPMIN = 1.0e-30f;
// Keeps r finite when either vector has no spread.
constexpr float TINY = 1.0e-20f;

float floored(float v) { return std::fabs(v) < FPMIN ? FPMIN : v; }

}  // namespace

void pearsn(const float* x, const float* y, std::int32_t n, float& r, float& prob) {
    float sx = 0.0f;
    float sy = 0.0f;
    for (std::int32_t j = 0; j < n; ++j) {
        sx = sx + x[j];
        sy = sy + y[j];
    }
    float ax = sx / static_cast<float>(n);
    float ay = sy / static_cast<float>(n);

    float sxx = 0.0f;
    float syy = 0.0f;
    float sxy = 0.0f;
    for (std::int32_t j = 0; j < n; ++j) {
        float xt = x[j] - ax;
        float yt = y[j] - ay;
        sxx = sxx + xt * xt;
        syy = syy + yt * yt;
        sxy = sxy + xt * yt;
    }
    r = sxy / (std::sqrt(sxx * syy) + TINY);

    // n - 2 taken in 64 bits so that no count can overflow.
    float df = static_cast<float>(static_cast<std::int64_t>(n) - 2);
    // r = 1 or -1 gives an infinite t and a probability of 0.
    float t = r * std::sqrt(df / ((1.0f - r) * (1.0f + r)));
    prob = betai(0.5f * df, 0.5f, df / (t * t + df));
}

float betai(float a, float b, float x) {
    float bt;
    if (x == 0.0f || x == 1.0f) {
        bt = 0.0f;
    } else {
        bt = expof(gammln(a + b) - gammln(a) + b * lnf(1.0f - x) + a * lnf(x) -
                      gammln(b));
    }
    // The fraction converges fast below (a + 1) / (a + b + 2); above it the
    // symmetry I(x; a, b) = 1 - I(1 - x; b, a) is used. A NaN x goes there too.
    if (x < (a + 1.0f) / (a + b + 2.0f)) return bt * betacf(a, b, x) / a;
    return 1.0f - betacf(b, a, 1.0f - x) * bt / b;
}

float betacf(float a, float b, float x) {
    float qab = a + b;
    float qap = a + 1.0f;
    float qam = a - 1.0f;
    float c = 1.0f;
    float d = floored(1.0f - qab * x / qap);
    d = 1.0f / d;
    float h = d;
    for (int m = 1; m <= MAXIT; ++m) {
        float em = static_cast<float>(m);
        float tem = static_cast<float>(2 * m);
        // Even step of the recurrence.
        float aa = (x * em) * (b - em) / ((qam + tem) * (a + tem));
        d = floored(1.0f + aa * d);
        c = floored(1.0f + aa / c);
        d = 1.0f / d;
        h = (h * d) * c;
        // Odd step.
        aa = -((a + em) * x) * (em + qab) / ((a + tem) * (tem + qap));
        d = floored(1.0f + aa * d);
        c = floored(1.0f + aa / c);
        d = 1.0f / d;
        float del = c * d;
        h = h * del;
        // A NaN del never converges.
        if (std::fabs(del - 1.0f) < EPS) return h;
    }
    platform::out_freeform_line("a or b too big, or MAXIT too small in betacf");
    sleepsnd(1);
    return h;
}
