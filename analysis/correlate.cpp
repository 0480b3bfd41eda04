#include "analysis/correlate.h"

void correlate(float& r, float& probt, float& a, float& b) { r = probt = a = b = 0.0f; }
