// The names of the result files: the rule that gives each locus's
// per-permutation files names of their own, and the naming of the run's whole
// set before the analysis.
#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

// What follows a locus's base name in its three per-permutation files, in the
// order they are written.
inline constexpr std::array<const char*, 3> permutation_suffixes = {"GST", "HS", "HT"};
// What follows the prefix in the three mean files.
inline constexpr std::array<const char*, 3> mean_files = {".Perm-Mean-GST", ".Perm-Mean-HS", ".Perm-Mean-HT"};

// Tells whether the folder `folder` (a path; "." is the current folder) holds
// two names that differ only in letter case as one file.
using FolderIgnoresCase = std::function<bool(const std::string& folder)>;

// The base names of the loci's per-permutation files (a base and a suffix
// make a name), and the loci whose plain names were taken.
struct PermutationNames {
    std::vector<std::string> bases;    // (0:numloci-1) of each locus, in locus order
    std::vector<std::size_t> renamed;  // 0-based loci that got numbered names, ascending
};

// The base of a locus's per-permutation files is the prefix, ".Perm-", the ID
// and "-", without the leading blanks of the whole. Where a locus's names
// would be names the run writes already (an earlier locus's, or the mean
// files'), the locus number follows its ID ("<prefix>.Perm-<ID>_<l>-", then
// "_2", "_3", ... while even that is taken). Every other locus keeps its
// plain name. Two names that differ only in ASCII letter case are one name
// where `ignores_case` says so of every folder at which their parts differ;
// it is asked at most once per folder, and only about a folder that holds
// two such names. Reads the IDs and counts of `variables`.
PermutationNames permutation_names(const std::string& prefix, const FolderIgnoresCase& ignores_case);

// Names every result file that the run will write and creates its temporary
// file, so that a name or a folder that cannot be written ends the run now,
// before the analysis. Where a locus's per-permutation files would take names
// already used in the run, they get numbered names, each told in one line on
// standard error. The bases are kept in variables.permnames.
void prepareresults();

// The bases of the loci's per-permutation files: variables.permnames, worked
// out now (with the system's answer on letter case) when prepareresults has
// not named them.
const std::vector<std::string>& permutation_bases();
