#include "numerics/pearsn.h"

void pearsn(const float*, const float*, std::int32_t, float& r, float& prob) { r = 0.0f; prob = 1.0f; }
float betai(float, float, float x) { return x; }
float betacf(float, float, float) { return 1.0f; }
