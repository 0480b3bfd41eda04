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
#include <vector>

#include <sys/resource.h>

#include "analysis/computegst.h"
#include "analysis/correlate.h"
#include "analysis/driver.h"
#include "analysis/output.h"
#include "analysis/permutationtest.h"
#include "analysis/permute.h"
#include "analysis/readdata.h"
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

    const char* args[] = {"Tuvamo", input.c_str()};
    platform::set_command_line(2, args);
    platform::set_fp_mode();
    std::string progress;
    platform::capture_output(&progress);
    float r, probt, a, b, pperm;
    double t0 = now();
    double t_read, t_gst, t_corr, t_test, t_perm = 0, t_files = 0, t_out1;
    try {
        readdata();
        t_read = now() - t0;
        t0 = now();
        computegst(1, 1, variables.numloci);
        t_gst = now() - t0;
        t0 = now();
        correlate(r, probt, a, b);
        t_corr = now() - t0;
        t0 = now();
        permutationtest(pperm, r);
        t_test = now() - t0;
        copyresult();
        if (variables.numpermut > 0) {
            t0 = now();
            permute();
            t_perm = now() - t0;
            if (variables.outpermresult == 1) {
                t0 = now();
                output2();
                t_files = now() - t0;
            }
        }
        t0 = now();
        output1(r, probt, a, b, pperm);
        t_out1 = now() - t0;
    } catch (const platform::RunStop& stop) {
        platform::capture_output(nullptr);
        std::fprintf(stderr, "run stopped with status %d: %s\n", stop.status, progress.c_str());
        return 1;
    }
    platform::capture_output(nullptr);

    long usable = 0;
    for (int l = 1; l <= variables.numloci; ++l) usable += variables.hs(l) >= 0.0f;
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    std::printf("data set %s: %d individuals, %d populations, %d loci (%ld usable), %d permutations\n",
                which.c_str(), variables.nindiv, variables.numpop, variables.numloci, usable, permutations);
    std::printf("  reading                  %9.3f s\n", t_read);
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
    std::printf("  per-locus/summary files  %9.3f s\n", t_out1);
    std::printf("  peak memory              %9.1f MB\n", static_cast<double>(ru.ru_maxrss) / 1024.0);
    return 0;
}
