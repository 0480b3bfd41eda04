// Permutation of individuals among populations, sample sizes kept.
#pragma once

// Runs numpermut permutations, recomputing ht, hs and gst after each one into
// one column of ht_p, hs_p and gst_p. Prints its progress marks.
void permute();

// The same, with the diversity of each permutation computed by the batched
// routine (`batched`, what permute() takes wherever it applies) or by filling
// permdata and running computegst. Both give the same bits.
void permute_with(bool batched);
