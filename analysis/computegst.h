// Gene diversity per locus: Ht, Hs (both corrected for sample size through the
// harmonic mean of the typed individuals) and Gst = 1 - Hs/Ht.
#pragma once

#include <cstdint>

// Computes ht, hs and gst of the loci first..last. mode 1: the observed
// genotypes (gtype), and creates the three result vectors; any other mode: the
// permuted genotypes (permdata). A locus with fewer than two alleles gets misloc.
void computegst(std::int32_t mode, std::int32_t first, std::int32_t last);
