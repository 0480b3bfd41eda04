// The result files.
#pragma once

// Puts every result file written by output2 and output1 in place, as one set.
void commitresults();

// Writes the per-locus file (prefix + ".LocusGST") and the summary file
// (prefix + ".MeanGST").
void output1(float r, float probt, float a, float b, float pperm);

// Writes the per-permutation files: three per locus, under the names that
// prepareresults gave them, and the three mean files. Like output1, it writes
// to the temporaries; commitresults() puts them in place.
void output2();
