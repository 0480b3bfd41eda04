// The timed pause after a numerical warning.
#pragma once

#include <cstdint>

// Busy-waits until more than n seconds have passed on the time-of-day clock,
// allowing for a pause that crosses midnight. Never yields the processor.
void sleepsnd(std::int32_t n);

// Seconds from the clock reading `start` to the reading `now` (both seconds
// since local midnight): a difference of -0.1 s or less crossed midnight and
// has 86400 added; one above -0.1 s and below 1.0e-7 s counts as 0.
float sleepsnd_elapsed(float start, float now);
