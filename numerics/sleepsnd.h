// The timed pause after a numerical warning.
#pragma once

#include <cstdint>

// Busy-waits until more than n seconds have passed on the time-of-day clock,
// allowing for a pause that crosses midnight.
void sleepsnd(std::int32_t n);
