// Permutation test of the Hs-Gst correlation by 1,000,000 re-pairings.
#pragma once

// pperm: the share of 1,000,000 re-paired correlations at or below the
// observed r. Draws from the random stream and prints its progress marks.
void permutationtest(float& pperm, float r);
