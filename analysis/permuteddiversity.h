// Batched gene diversity of permuted arrangements: the Ht, Hs and Gst that the
// permutation of individuals needs, four loci at a time.
#pragma once

#include <cstdint>
#include <memory>

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
