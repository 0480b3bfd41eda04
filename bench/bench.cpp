// Times the phases of whole runs on generated data sets: reading, the
// observed diversities, the permutation test of r, the permutation of
// individuals, the per-permutation files and the per-locus files, with the
// peak memory of the process. Usage:
//   tuvamo_bench [small|wide] [permutations] [files 0|1] [directory]
// small: 700 individuals in 15 populations at 30 loci; wide: 1,350 individuals
// in 80 populations at 680 loci.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <sys/resource.h>

#include "analysis/driver.h"
#include "analysis/variables.h"
#include "platform/platform.h"

namespace {

// A microsatellite-like data set: per locus 4 to 24 alleles of repeat length 2,
// population frequencies drawn around shared ones, about 2 % missing genotypes.
void generate(const std::string& path, int individuals, int populations, int loci, int permutations,
              int files) {
    std::mt19937 gen(20261210);
    std::ofstream out(path);
    out << "'bench'\n" << permutations << "\n" << files << "\n4711\n1\n0\n" << populations << "\n" << loci << "\n";
    for (int l = 1; l <= loci; ++l) out << "Loc" << l << (l % 10 == 0 || l == loci ? "\n" : " ");
    std::vector<int> nalleles(static_cast<std::size_t>(loci));
    std::vector<std::vector<double>> shared(static_cast<std::size_t>(loci));
    for (int l = 0; l < loci; ++l) {
        nalleles[static_cast<std::size_t>(l)] = 4 + static_cast<int>(gen() % 21);
        for (int a = 0; a < nalleles[static_cast<std::size_t>(l)]; ++a)
            shared[static_cast<std::size_t>(l)].push_back(std::gamma_distribution<double>(1.0, 1.0)(gen));
    }
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    int left = individuals;
    for (int p = 0; p < populations; ++p) {
        const int n = p == populations - 1 ? left : individuals / populations;
        left -= n;
        out << n << "\n";
        std::vector<std::discrete_distribution<int>> freq;
        for (int l = 0; l < loci; ++l) {
            std::vector<double> w;
            for (double s : shared[static_cast<std::size_t>(l)]) w.push_back(std::gamma_distribution<double>(4.0 * s + 0.1, 1.0)(gen));
            freq.emplace_back(w.begin(), w.end());
        }
        for (int i = 0; i < n; ++i) {
            out << "P" << p + 1 << "_" << i + 1;
            for (int l = 0; l < loci; ++l) {
                if (unit(gen) < 0.02) {
                    out << " 0 0";
                } else {
                    out << " " << 100 + 2 * freq[static_cast<std::size_t>(l)](gen) << " "
                        << 100 + 2 * freq[static_cast<std::size_t>(l)](gen);
                }
            }
            out << "\n";
        }
    }
}

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// The step lines of the run with the moments they were written.
std::vector<std::pair<std::string, double>> steps;

void on_step(std::string_view line) { steps.emplace_back(std::string(line), now()); }

// The time from step line `line` to the next one (0 when it was not written).
double phase(std::string_view line) {
    for (std::size_t i = 0; i + 1 < steps.size(); ++i)
        if (steps[i].first == line) return steps[i + 1].second - steps[i].second;
    return 0.0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string which = argc > 1 ? argv[1] : "small";
    const int permutations = argc > 2 ? std::atoi(argv[2]) : 1000;
    const int files = argc > 3 ? std::atoi(argv[3]) : 0;
    const std::filesystem::path dir = argc > 4 ? argv[4] : std::filesystem::temp_directory_path() / "tuvamo-bench";
    const bool wide = which == "wide";
    std::filesystem::create_directories(dir);
    std::filesystem::current_path(dir);
    const std::string input = which + ".in";
    generate(input, wide ? 1350 : 700, wide ? 80 : 15, wide ? 680 : 30, permutations, files);

    // The whole run through the driver, its progress kept off the console.
    const char* args[] = {"Tuvamo", input.c_str()};
    std::string progress;
    platform::capture_output(&progress);
    const int status = driver(2, args, on_step);
    on_step("(end)");
    platform::capture_output(nullptr);
    if (status != 0) {
        std::fprintf(stderr, "run ended with status %d: %s\n", status, progress.c_str());
        return 1;
    }

    const double t_read = phase("Reading data/parameters...");
    const double t_gst = phase("Computing Gst, Hs of original data...");
    const double t_corr = phase("Computing correlation between Gst & Hs of original data...");
    const double t_test = phase("Permutating Gst & Hs among loci for correlation significance test...");
    const double t_perm = phase("Permutating individuals among populations for Gst significance test per locus...");
    const double t_files = phase("Outputing individual permutation results...");
    const double t_out1 = phase("Outputing analysis results...");

    long usable = 0;
    for (int l = 1; l <= variables.numloci; ++l) usable += variables.hs_t(l) >= 0.0f;
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    std::printf("data set %s: %d individuals, %d populations, %d loci (%ld usable), %d permutations\n",
                which.c_str(), variables.nindiv, variables.numpop, variables.numloci, usable, permutations);
    std::printf("  reading, naming results  %9.3f s\n", t_read);
    std::printf("  observed diversities     %9.6f s\n", t_gst);
    std::printf("  correlation              %9.6f s\n", t_corr);
    std::printf("  permutation test of r    %9.3f s  (%.2f ns per usable locus and re-pairing)\n", t_test,
                t_test * 1e9 / (1e6 * static_cast<double>(usable)));
    if (permutations > 0)
        std::printf("  permutation of indiv.    %9.3f s  (%.2f us per permutation)\n", t_perm,
                    t_perm * 1e6 / permutations);
    if (files)
        std::printf("  per-permutation files    %9.3f s  (%.1f million values per second)\n", t_files,
                    3.0 * (variables.numloci + 1) * permutations / t_files / 1e6);
    std::printf("  per-locus/summary files  %9.3f s  (and putting every result file in place)\n", t_out1);
    std::printf("  peak memory              %9.1f MB\n", static_cast<double>(ru.ru_maxrss) / 1024.0);
    return 0;
}
