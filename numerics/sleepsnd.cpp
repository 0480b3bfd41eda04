#include "numerics/sleepsnd.h"

#include "platform/platform.h"

float sleepsnd_elapsed(float start, float now) {
    float e = now - start;
    if (e <= -0.1f) {
        e = e + 86400.0f;
    } else if (e < 1.0e-7f) {
        e = 0.0f;
    }
    return e;
}

void sleepsnd(std::int32_t n) {
    float w = static_cast<float>(n);
    float t0 = platform::clock_seconds();
    float e;
    do {
        e = sleepsnd_elapsed(t0, platform::clock_seconds());
    } while (!(e > w));
}
