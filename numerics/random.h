// The program's single stream of uniform deviates: a 32-bit xorshift generator
// (shifts 13, 17, 5) combined by exclusive or with the Park-Miller minimal
// standard generator, seeded from variables.idum. One step per draw.
//
// The first step of the process initialises the stream from abs(idum) and
// leaves idum positive, so the whole run is one stream. A magnitude above
// 2147483646 (the seeds 2147483647, -2147483647 and -2147483648) is taken as
// 2147483647 and idum is left at 2147483647: those three seeds give one and
// the same stream.
#pragma once

#include <cstdint>

// Advances the stream by one step and returns a deviate strictly between 0 and 1
// (4.6566126e-10 to 0.99999994).
float ran1();

// The index draw: advances the stream by exactly one step (the step ran1 would
// take) and returns j with 1 <= j <= m, formed as floor((m * AM) * n + 1).
// REQUIRES: m >= 1.
std::int32_t ranindex(std::int32_t m);

// Puts the generator back in its process-start state (tests only).
void reset_random_state();
