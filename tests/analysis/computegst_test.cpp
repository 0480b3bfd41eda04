#include "analysis/computegst.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "analysis/variables.h"
#include "platform/platform.h"
#include "tests/analysis/fixtures.h"
#include "tests/test_support.h"

namespace {

constexpr int A = -128;  // first allele
constexpr int B = -127;  // second allele
constexpr int C = -126;
const Genotype miss{127, 127};

struct Expected {
    float ht, hs, gst;
};

void expect_locus(int l, Expected e) {
    EXPECT_EQ(bits(variables.ht(l)), bits(e.ht)) << "Ht " << variables.ht(l);
    EXPECT_EQ(bits(variables.hs(l)), bits(e.hs)) << "Hs " << variables.hs(l);
    EXPECT_EQ(bits(variables.gst(l)), bits(e.gst)) << "Gst " << variables.gst(l);
}

class ComputeGst : public ::testing::Test {
protected:
    void SetUp() override { reset_program_state(); }
    FloatingPointMode fp_mode_;
};

// Small named populations at one locus with two alleles.
TEST_F(ComputeGst, WorkedDiversities) {
    const Population mixed{{{A, A}}, {{A, B}}};       // frequencies 0.75, 0.25
    const Population fixed_b{{{B, B}}, {{B, B}}};     // 0, 1
    const Population fixed_a{{{A, A}}, {{A, A}}};
    const Population all_missing{{miss}, {miss}};
    const Population het_hom{{{A, B}}, {{A, A}}};
    const Population fixed_b_and_missing{{{B, B}}, {{B, B}}, {miss}};
    struct Case {
        const char* name;
        std::vector<Population> pops;
        Expected want;
    } cases[] = {
        {"two populations", {mixed, fixed_b}, {0.5f, 0.25f, 0.5f}},
        {"untyped third population", {mixed, fixed_b, all_missing}, {0.5f, 0.25f, 0.5f}},
        {"missing genotype added", {mixed, fixed_b_and_missing}, {0.5f, 0.25f, 0.5f}},
        {"one population typed", {het_hom, all_missing}, {0.5f, 0.5f, 0.0f}},
        {"each population fixed", {fixed_a, fixed_b}, {0.5f, 0.0f, 1.0f}},
        {"identical populations", {het_hom, het_hom}, {0.4375f, 0.5f, 1.0f - 0.5f / 0.4375f}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        reset_program_state();
        load_genotypes(c.pops);
        computegst(1, 1, 1);
        expect_locus(1, c.want);
    }
    EXPECT_EQ(bits(1.0f - 0.5f / 0.4375f), bits(-0.142857194f));
}

// Unequal populations, five and seven alleles, missing genotypes, untyped
// populations, a locus with Hs exactly 0 and one with a single allele.
TEST_F(ComputeGst, UnevenDataToTheBit) {
    load_genotypes(uneven_populations());
    const std::int32_t alleles[] = {5, 2, 7, 3, 1, 5};
    for (int l = 1; l <= 6; ++l) ASSERT_EQ(variables.alleleobs(l), alleles[l - 1]);
    computegst(1, 1, 6);
    for (int l = 1; l <= 6; ++l) {
        SCOPED_TRACE(l);
        const LocusBits& want = uneven_results[l - 1];
        expect_locus(l, {from_bits(want.ht), from_bits(want.hs), from_bits(want.gst)});
    }
}

TEST_F(ComputeGst, LociWithFewerThanTwoAllelesGetTheMarker) {
    // Locus 1 has one allele, locus 2 none typed, locus 3 two alleles.
    load_genotypes({{{{A, A}, miss, {A, B}}, {{A, A}, miss, {A, A}}},
                    {{{A, A}, miss, {B, B}}, {{A, A}, miss, {B, B}}}});
    ASSERT_EQ(variables.alleleobs(1), 1);
    ASSERT_EQ(variables.alleleobs(2), 0);
    computegst(1, 1, 3);
    expect_locus(1, {misloc, misloc, misloc});
    expect_locus(2, {misloc, misloc, misloc});
    expect_locus(3, {0.5f, 0.25f, 0.5f});
}

TEST_F(ComputeGst, EmptyRangeStillCreatesResultsAndViews) {
    load_genotypes({{{{A, B}}, {{A, A}}}, {{{B, B}}, {{A, B}}}});
    computegst(1, 1, 0);
    EXPECT_EQ(variables.ht.size(), 1u);
    EXPECT_EQ(variables.crrtdata(2).allele.locus(1), variables.gtype(2).allele.locus(1));
}

TEST_F(ComputeGst, PermutedModeReadsPopulationBlocksOfPermdata) {
    const Population p1{{{A, A}}, {{A, B}}};
    const Population p2{{{B, B}}, {{B, B}}, {{A, B}}};
    load_genotypes({p1, p2});
    computegst(1, 1, 1);
    const float observed_hs = variables.hs(1);
    // permdata holding population 2's first two individuals in population 1's
    // slots and the rest after them.
    const Population swapped1{{{B, B}}, {{B, B}}};
    const Population swapped2{{{A, A}}, {{A, B}}, {{A, B}}};
    const Individual order[] = {p2[0], p2[1], p1[0], p1[1], p2[2]};
    for (std::size_t q = 0; q < 5; ++q) {
        variables.permdata(1, q + 1, 1) = static_cast<allelecode>(order[q][0].first);
        variables.permdata(2, q + 1, 1) = static_cast<allelecode>(order[q][0].second);
    }
    computegst(0, 1, 1);
    const Expected permuted{variables.ht(1), variables.hs(1), variables.gst(1)};
    EXPECT_EQ(variables.crrtdata(2).allele.locus(1), variables.permdata.locus(1) + 4);

    reset_program_state();
    load_genotypes({swapped1, swapped2});
    computegst(1, 1, 1);
    expect_locus(1, permuted);
    EXPECT_NE(bits(observed_hs), bits(permuted.hs));
}

// A locus with many alleles grows the frequency vectors; a locus after it must
// not see what the larger locus left in them.
TEST_F(ComputeGst, LocusResultDoesNotDependOnItsNeighbours) {
    Population p1, p2;
    for (int i = 0; i < 12; ++i) {
        p1.push_back({{A, B}, {static_cast<int>(-128 + i), static_cast<int>(-128 + (i + 1) % 12)}, {A, C}});
        p2.push_back({{B, B}, {static_cast<int>(-128 + (i * 5) % 12), static_cast<int>(-128 + (i * 7) % 12)}, {C, C}});
    }
    load_genotypes({p1, p2});
    ASSERT_EQ(variables.alleleobs(2), 12);
    computegst(1, 1, 3);
    const Expected first{variables.ht(1), variables.hs(1), variables.gst(1)};
    const Expected many{variables.ht(2), variables.hs(2), variables.gst(2)};
    const Expected third{variables.ht(3), variables.hs(3), variables.gst(3)};
    computegst(1, 3, 3);
    expect_locus(3, third);
    computegst(1, 1, 1);
    expect_locus(1, first);

    // The many-allele locus against the closed form in double precision.
    double D = 0, S = 0, pbar[12] = {};
    for (const Population* pop : {&p1, &p2}) {
        double f[12] = {};
        for (const auto& ind : *pop) {
            f[ind[1].first + 128] += 1;
            f[ind[1].second + 128] += 1;
        }
        double sq = 0;
        for (int c = 0; c < 12; ++c) {
            f[c] /= 24.0;
            sq += f[c] * f[c];
            pbar[c] += f[c] / 2.0;
        }
        D += 1 - sq;
        S += 2.0 / 24.0;
    }
    const double Nh = 2 / S;
    const double hs = 2 * Nh / (2 * Nh - 1) * D / 2;
    double t = 0;
    for (double q : pbar) t += q * q;
    const double ht = 1 - t + hs / (2 * Nh * 2);
    EXPECT_NEAR(many.hs, hs, 1e-6);
    EXPECT_NEAR(many.ht, ht, 1e-6);
    EXPECT_NEAR(many.gst, 1 - hs / ht, 1e-5);
    // And to the bit, from a single-precision emulation in computegst's order
    // (each operation in double, rounded once to float32): 24 copies in each
    // population, S = 2/24 + 2/24 = 0.166666672, Nh 12, D 1.83333397
    // (0x3FEAAAB0), T 0.0833333433 (0x3DAAAAAC).
    EXPECT_EQ(bits(many.ht), 0x3F6FC4A3u);   // 0.936594188
    EXPECT_EQ(bits(many.hs), 0x3F74DEA1u);   // 0.956522048
    EXPECT_EQ(bits(many.gst), 0xBCAE4D00u);  // -0.0212769508
}

}  // namespace
