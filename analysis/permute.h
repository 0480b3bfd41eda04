// Permutation of individuals among populations, sample sizes kept.
#pragma once

// Runs numpermut permutations, recomputing ht, hs and gst after each one into
// one column of ht_p, hs_p and gst_p. Prints its progress marks.
void permute();
