// The program's single stream of uniform deviates: a 32-bit xorshift generator
// (shifts 13, 17, 5) combined by exclusive or with the Park-Miller minimal
// standard generator, seeded from its control word idum. One step per draw.
//
// The first step of the process initialises the stream from abs(idum) and
// leaves idum positive, so the whole run is one stream. A magnitude above
// 2147483646 (the seeds 2147483647, -2147483647 and -2147483648) is taken as
// 2147483647 and idum is left at 2147483647: those three seeds give one and
// the same stream.
#pragma once

#include <cstdint>

// The stream's seed and control word idum, which the shared data model names
// variables.idum: 0 at process start, -|seed| once the input has been read. A
// value <= 0 makes the next step initialise the stream from its magnitude, and
// initialisation leaves it positive.
extern std::int32_t random_idum;

// Advances the stream by one step and returns a deviate strictly between 0 and 1
// (4.6566126e-10 to 0.99999994).
float ran1();

// The index draw: advances the stream by exactly one step (the step ran1 would
// take) and returns j with 1 <= j <= m, formed as floor((m * AM) * n + 1).
// REQUIRES: m >= 1.
std::int32_t ranindex(std::int32_t m);

// Reshuffles v[0..n-1], holding positions 1..n, in place: for t = n down to
// `lowest`, j = ranindex(t) and positions t and j are exchanged. Takes exactly
// the steps of the stream, and makes exactly the exchanges, of that loop of
// ranindex calls; it is that loop with the generator kept in registers.
// REQUIRES: lowest >= 1.
void ranshuffle(float* v, std::int32_t n, std::int32_t lowest);
void ranshuffle(std::int32_t* v, std::int32_t n, std::int32_t lowest);

// A run of index draws with the generator held in registers: draw(m) takes
// the step, and gives the index, that ranindex(m) would. The stream must have
// taken its first step (the one that may initialise it); the batch takes the
// state on construction and puts it back on destruction, and no other draw
// may be made while it lives.
class RandomBatch {
public:
    RandomBatch();
    ~RandomBatch();
    RandomBatch(const RandomBatch&) = delete;
    RandomBatch& operator=(const RandomBatch&) = delete;

    std::int32_t draw(std::int32_t m) {
        ix_ ^= ix_ << 13;
        ix_ ^= ix_ >> 17;
        ix_ ^= ix_ << 5;
        // 16807 * IY mod (2^31 - 1) by folding the 45-bit product at bit 31
        // (2^31 is 1 modulo 2^31 - 1): the same residue, in 0..2^31 - 2, that
        // the Schrage step gives for every IY in 0..2^31 - 1, without its
        // division on the stream's dependency chain.
        const std::uint64_t product = static_cast<std::uint64_t>(iy_) * 16807u;
        const std::uint32_t folded = static_cast<std::uint32_t>(product & 0x7FFFFFFFu) +
                                     static_cast<std::uint32_t>(product >> 31);
        iy_ = folded >= 0x7FFFFFFFu ? folded - 0x7FFFFFFFu : folded;
        const auto n = static_cast<std::int32_t>(((ix_ ^ iy_) & 0x7FFFFFFFu) | 1u);
        const float q = (static_cast<float>(m) * am_) * static_cast<float>(n);
        // q + 1 is at least 1, so truncation is the floor.
        const auto j = static_cast<std::int32_t>(q + 1.0f);
        return j > m ? m : j;
    }

private:
    std::uint32_t ix_;
    std::uint32_t iy_;
    float am_;
};

// Puts the generator and its control word back in their process-start state
// (tests only).
void reset_random_state();
