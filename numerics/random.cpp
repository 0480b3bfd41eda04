#include "numerics/random.h"

float ran1() { return 0.5f; }
std::int32_t ranindex(std::int32_t m) { return m; }
void reset_random_state() {}
