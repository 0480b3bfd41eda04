// Named data sets of the analysis tests, with their results to the bit.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/test_support.h"

// Genotypes written as two letters per locus, "A" being code -128, "B" -127,
// ...; "--" is a missing genotype. One string of blank-separated genotypes
// per individual.
inline Population population_of(const std::vector<std::string>& individuals) {
    Population pop;
    for (const std::string& text : individuals) {
        Individual ind;
        for (std::size_t i = 0; i + 1 < text.size(); i += 3) {
            if (text[i] == '-')
                ind.push_back({127, 127});
            else
                ind.push_back({text[i] - 'A' - 128, text[i + 1] - 'A' - 128});
        }
        pop.push_back(ind);
    }
    return pop;
}

// "uneven": four populations of 7, 4, 5 and 3 individuals at six loci, with
// missing genotypes. Locus 1: five alleles, population 4 untyped; locus 2: two
// alleles, every population typed; locus 3: seven alleles, population 2
// untyped; locus 4: every typed population fixed (Hs exactly 0); locus 5: one
// allele (the marker); locus 6: five alleles, half the genotypes missing,
// population 4 untyped.
inline std::vector<Population> uneven_populations() {
    return {
        population_of({"AB AA AC AA AA --", "CD AB BD AA AA BC", "-- BB CE AA AA --", "AE AA -- AA AA DD",
                       "BB AB AF -- AA AA", "DE BB DD AA -- --", "AC AA BG AA AA DA"}),
        population_of({"AA BB -- BB AA CE", "AB AB -- BB AA CE", "CC BB -- BB AA --", "-- AB -- BB AA DB"}),
        population_of({"EE AA AB CC AA BD", "DE AB CG CC AA DA", "-- AA FG -- AA CB", "BD AA EE CC AA BA",
                       "CE AB AG CC AA ED"}),
        population_of({"-- BB AD AA AA --", "-- AB BB AA AA --", "-- BB CF -- -- --"}),
    };
}

struct LocusBits {
    std::uint32_t ht, hs, gst;
};

// Ht, Hs and Gst of "uneven", from the allele counts below by an independent
// single-precision emulation: each +, -, *, / taken in double and rounded once
// to float32 (which is the correctly rounded float result), in the order of
// the diversity formulas: frequencies count / nall; S += 2 / nall; D += 1,
// D -= p * p per code; sumfreq += p; then Nh = M / S,
// Hs = (((D * 2) * Nh) / ((Nh - 1) + Nh)) / M, T += (sumfreq / M)^2,
// Ht = (1 - T) + Hs / ((2 * Nh) * M), Gst = 1 - Hs / Ht.
//   locus 1, counts A/B/C/D/E of nall: 3/3/2/2/2 of 12; 3/1/2/0/0 of 6;
//     0/1/1/2/4 of 8; untyped. M 3, S 0.75, Nh 4, D 2.05902767 (0x4003C71C),
//     T 0.207175925 (0x3E5425ED).
//   locus 2, counts A/B: 8/6 of 14; 2/6 of 8; 8/2 of 10; 1/5 of 6. M 4,
//     S 0.926190495 (0x3F6D1AD2), Nh 4.31876612 (0x408A3355),
//     D 1.46257377 (0x3FBB359E), T 0.505612969 (0x3F016FDA).
//   locus 3, counts A..G: 2/2/2/3/1/1/1 of 12; untyped; 2/1/1/0/2/1/3 of 10;
//     1/2/1/1/0/1/0 of 6. M 3, S 0.700000048 (0x3F333334),
//     Nh 4.28571415 (0x40892492), D 2.41111159 (0x401A4FA7),
//     T 0.150617287 (0x3E1A3B6B); Gst comes out negative.
//   locus 4, counts A/B/C: 12/0/0, 0/8/0, 0/0/8, 4/0/0: D 0, so Hs 0; M 4,
//     mean frequencies 0.5, 0.25, 0.25, T 0.375, Ht 0.625, Gst 1.
//   locus 5: one allele, the marker -1 in all three.
//   locus 6, counts A..E: 3/1/1/3/0 of 8; 0/1/2/1/2 of 6; 2/3/1/3/1 of 10;
//     untyped. M 3, S 0.783333361 (0x3F488889), Nh 3.82978702 (0x40751B3B),
//     D 2.16972232 (0x400ADCBB), T 0.209845707 (0x3E56E1CB).
inline const LocusBits uneven_results[6] = {
    {0x3F53546E, 0x3F48CDE1, 0x3D4C01E0},  // 0.825507045, 0.784391463, 0.0498064756
    {0x3F01A086, 0x3ED3B8A1, 0x3E3BBEBC},  // 0.506355643, 0.413517982, 0.183344781
    {0x3F628004, 0x3F68EC28, 0xBCE84900},  // 0.884765863, 0.909853458, -0.0283551216
    {0x3F200000, 0x00000000, 0x3F800000},  // 0.625, 0, 1
    {0xBF800000, 0xBF800000, 0xBF800000},  // -1 (misloc)
    {0x3F538BFE, 0x3F54F3A0, 0xBBD99A00},  // 0.826354861, 0.831842422, -0.00664067268
};
