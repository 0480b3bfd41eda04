// Batched gene diversity of permuted arrangements: the Ht, Hs and Gst that the
// permutation of individuals needs, four loci at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

// Ht, Hs and Gst of every locus for arrangements of the observed individuals
// among the populations (sample sizes kept), giving for each arrangement the
// bits that filling permdata and running computegst(0, 1, numloci) gives.
// Four loci are computed side by side in the lanes of SSE2 vectors; each lane
// makes exactly the single-precision operations of computegst, in its order.
// Built from the shared data model once the input has been read.
class PermutedDiversity {
public:
    // Whether the batched computation gives computegst's bits for this input:
    // it counts alleles in integers, which equal computegst's float counts
    // while every count stays below 2^24, so no population may have more than
    // 8388608 individuals.
    static bool applicable();

    PermutedDiversity();
    ~PermutedDiversity();

    // slots[q] is the individual number (1..nindiv, in input order) placed in
    // slot q + 1; writes the loci's values to gst[0..numloci-1], hs[..], ht[..].
    void compute(const std::int32_t* slots, float* gst, float* hs, float* ht);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Where the batched computation keeps byte counts (for each group of four
// loci and each individual, 16 or 32 bytes per locus counting the copies of
// each code) and how large their table is. A group whose largest number of
// alleles codes[g] is at most 15 takes 16 bytes per locus, one of at most 31
// takes 32, any other none; groups take byte counts in order as long as the
// table stays within `budget` bytes, and one that does not fit is passed
// over. Sets width[g] (16, 32, or 0 for none) and at[g] (its counts' offset
// in the table), and returns the table's bytes. Sizes are reckoned in `Size`
// (size_t in the program; any unsigned type, so that the arithmetic of a
// 32-bit program can be checked anywhere): a group's bytes are compared
// with the room left before they are multiplied out, so a product that
// `Size` cannot hold is refused rather than wrapped.
template <typename Size>
Size lay_out_byte_counts(std::span<const std::int32_t> codes, Size individuals, Size budget,
                         std::span<std::int32_t> width, std::span<Size> at) {
    constexpr Size lanes = 4;
    Size used = 0;
    for (std::size_t g = 0; g < codes.size(); ++g) {
        width[g] = 0;
        at[g] = 0;
        const std::int32_t w = codes[g] <= 15 ? 16 : codes[g] <= 31 ? 32 : 0;
        if (w == 0) continue;
        const Size per_individual = static_cast<Size>(w) * lanes;
        if (individuals > (budget - used) / per_individual) continue;
        width[g] = w;
        at[g] = used;
        used += per_individual * individuals;
    }
    return used;
}
