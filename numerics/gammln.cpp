#include "numerics/gammln.h"

#include "numerics/elementary.h"

namespace {

// Lanczos coefficients and sqrt(2 pi).
constexpr double COF[6] = {76.18009172947146,     -86.50532032941677,    24.01409824083091,
                           -1.231739572450155,    0.1208650973866179e-2, -0.5395239384953e-5};
constexpr double STP = 2.5066282746310005;

}  // namespace

float gammln(float xx) {
    const double x = static_cast<double>(xx);
    double tmp = x + 5.5;
    tmp = (x + 0.5) * ln(tmp) - tmp;
    double ser = 1.000000000190015;
    for (int j = 0; j < 6; ++j) ser = ser + COF[j] / (x + static_cast<double>(j + 1));
    return static_cast<float>(tmp + ln(STP * ser / x));
}
