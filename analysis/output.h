// The result files.
#pragma once

// Writes the per-locus file (prefix + ".LocusGST") and the summary file
// (prefix + ".MeanGST").
void output1(float r, float probt, float a, float b, float pperm);

// Writes the per-permutation files: three per locus and the three mean files.
void output2();
