// Helpers shared by the in-process tests.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tests/files.h"

// Puts the shared data model and the random stream back in their process-start
// state.
void reset_program_state();

// What a step printed on standard output, and the status it stopped with
// (-1 when it returned normally). The result files a step writes are put in
// place when it returns normally and removed when it stops.
struct StepResult {
    int status = -1;
    std::string out;
};

// Runs `step` with standard output captured, catching a stop of the run.
StepResult run_captured(const std::function<void()>& step);

// Sets the command line to the program name and `args`.
void set_arguments(const std::vector<std::string>& args);

inline std::uint32_t bits(float v) { return std::bit_cast<std::uint32_t>(v); }
inline float from_bits(std::uint32_t b) { return std::bit_cast<float>(b); }

// Genotypes given as codes: populations, each a list of individuals, each a
// list of (copy 1, copy 2) codes per locus.
using Genotype = std::pair<int, int>;
using Individual = std::vector<Genotype>;
using Population = std::vector<Individual>;

// Fills the shared data model as the input reader leaves it for these
// genotypes: counts, sample sizes, gtype, locpop, crrtdata, permdata, misdata
// 127 and alleleobs (the highest code in use + 129 at each locus, unless
// `alleleobs` gives the counts). Locus IDs are "L1", "L2", ...
void load_genotypes(const std::vector<Population>& pops, std::vector<int> alleleobs = {});

// The 2n codes of population p at locus l of gtype: copy 1 and 2 of each individual.
std::vector<int> codes(std::ptrdiff_t p, std::size_t l);

// Resets the program state and sets numloci, hs and gst to these per-locus
// results, with the random seed `seed` (stored as the input reader stores it).
void set_locus_results(const std::vector<float>& hs, const std::vector<float>& gst, int seed = 0);

// ---- Process-wide state, set for one test and put back after it -----------------
//
// Each guard sets one piece of the process's state when it is made and puts
// back what was there when it goes, whether the test passes or not, so that
// every test passes alone and in any order. (The current directory: ChangeDir.)

// The most memory the program's arrays may hold (platform::set_allocation_limit)
// for the guard's lifetime; afterwards the default again. The memory already
// claimed counts against it: a test that needs none claimed resets the program
// state first.
class AllocationLimit {
public:
    explicit AllocationLimit(std::size_t bytes);
    ~AllocationLimit();
    AllocationLimit(const AllocationLimit&) = delete;
    AllocationLimit& operator=(const AllocationLimit&) = delete;
};

// An environment variable changed for the guard's lifetime, then put back as
// it was (set to its old value, or unset).
class EnvironmentVariable {
public:
    explicit EnvironmentVariable(std::string name);
    ~EnvironmentVariable();
    EnvironmentVariable(const EnvironmentVariable&) = delete;
    EnvironmentVariable& operator=(const EnvironmentVariable&) = delete;

    void set(const std::string& value);
    void unset();

private:
    std::string name_;
    std::optional<std::string> old_;
};

// The processor's floating-point mode for the guard's lifetime: with
// flush-to-zero and denormals-are-zero as the program runs (platform::set_fp_mode)
// or without them, as a process starts; the old mode is put back afterwards.
class FloatingPointMode {
public:
    explicit FloatingPointMode(bool flush_to_zero = true);
    ~FloatingPointMode();
    FloatingPointMode(const FloatingPointMode&) = delete;
    FloatingPointMode& operator=(const FloatingPointMode&) = delete;

private:
    unsigned saved_;
};
