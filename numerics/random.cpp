#include "numerics/random.h"

#include <cmath>
#include <utility>

std::int32_t random_idum = 0;

namespace {

// Xorshift state, used as an unsigned word; all bits set at process start.
std::uint32_t IX = 0xFFFFFFFFu;
// Park-Miller state; negative until the first step initialises the stream.
std::int32_t IY = -1;
// Scale from the 31-bit combination to (0, 1): the float just below 2^-31,
// set at initialisation.
float AM = 0.0f;
// Quotient of the latest Schrage step.
std::int32_t K = 0;

constexpr std::int32_t largest = 2147483647;  // 2^31 - 1: modulus and 31-bit mask

// One step of the stream; returns the odd combination n in 1..2147483647.
std::int32_t step() {
    std::int32_t& idum = random_idum;
    if (idum <= 0 || IY < 0) {
        AM = 4.6566126e-10f;
        // abs(idum), taken in unsigned arithmetic so that -2147483648 is safe,
        // and capped at 2147483647 so that IY stays non-negative.
        std::uint32_t s = idum < 0 ? 0u - static_cast<std::uint32_t>(idum)
                                   : static_cast<std::uint32_t>(idum);
        if (s > static_cast<std::uint32_t>(largest)) s = static_cast<std::uint32_t>(largest);
        IY = static_cast<std::int32_t>((s ^ 888889999u) | 1u);
        IX = s ^ 777755555u;
        // idum must end up positive so that no later step initialises again;
        // at the cap it stays at 2147483647 instead of overflowing.
        idum = s == static_cast<std::uint32_t>(largest) ? largest
                                                        : static_cast<std::int32_t>(s) + 1;
    }

    IX ^= IX << 13;
    IX ^= IX >> 17;
    IX ^= IX << 5;

    // 16807 * IY mod (2^31 - 1) by Schrage's decomposition; no intermediate
    // leaves the 32-bit range for IY in 0..2^31 - 1.
    K = IY / 127773;
    IY = 16807 * (IY - K * 127773) - 2836 * K;
    if (IY < 0) IY += largest;

    return static_cast<std::int32_t>(((IX ^ static_cast<std::uint32_t>(IY)) & 0x7FFFFFFFu) | 1u);
}

}  // namespace

float ran1() {
    std::int32_t n = step();
    return AM * static_cast<float>(n);
}

std::int32_t ranindex(std::int32_t m) {
    std::int32_t n = step();
    // (m * AM) * n, in this order: the other grouping differs in the last bit
    // for some n and then gives a different index.
    float p = static_cast<float>(m) * AM;
    float q = p * static_cast<float>(n);
    float t = q + 1.0f;
    // t < 2^31 for every m, so the conversion is exact and in range.
    std::int32_t j = static_cast<std::int32_t>(std::floor(t));
    // q + 1 rounds up to m + 1 when m is a power of two and n is near 2^31.
    if (j > m) j = m;
    return j;
}

RandomBatch::RandomBatch() : ix_(IX), iy_(static_cast<std::uint32_t>(IY)), am_(AM) {}

RandomBatch::~RandomBatch() {
    IX = ix_;
    IY = static_cast<std::int32_t>(iy_);
}

namespace {

template <typename T>
void shuffle(T* v, std::int32_t n, std::int32_t lowest) {
    std::int32_t t = n;
    if (t < lowest) return;
    // The first step may initialise the stream; after any step idum is positive
    // and IY lies in 0..2^31 - 2, so no later step of the batch initialises.
    std::swap(v[t - 1], v[ranindex(t) - 1]);
    RandomBatch batch;
    for (--t; t >= lowest; --t) std::swap(v[t - 1], v[batch.draw(t) - 1]);
}

}  // namespace

void ranshuffle(float* v, std::int32_t n, std::int32_t lowest) { shuffle(v, n, lowest); }
void ranshuffle(std::int32_t* v, std::int32_t n, std::int32_t lowest) { shuffle(v, n, lowest); }

void reset_random_state() {
    random_idum = 0;
    IX = 0xFFFFFFFFu;
    IY = -1;
    AM = 0.0f;
    K = 0;
}
