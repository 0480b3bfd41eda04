// The result files.
#pragma once

// Names every result file that the run will write and creates its temporary
// file, so that a name or a folder that cannot be written ends the run now,
// before the analysis. Where a locus's per-permutation files would take names
// already used in the run, they get numbered names, each told in one line on
// standard error.
void prepareresults();

// Puts every result file written by output2 and output1 in place, as one set.
void commitresults();

// Writes the per-locus file (prefix + ".LocusGST") and the summary file
// (prefix + ".MeanGST").
void output1(float r, float probt, float a, float b, float pperm);

// Writes the per-permutation files: three per locus and the three mean files.
// Like output1, it writes to the temporaries; commitresults() puts them in place.
void output2();
