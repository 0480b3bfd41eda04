#include "analysis/computegst.h"

void computegst(std::int32_t, std::int32_t, std::int32_t) {}
