#include "analysis/variables.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "analysis/readdata.h"
#include "tests/test_support.h"

namespace {

// Reads an input of `loci` loci without IDs in their records from `populations`
// (sample size lines and records), with the missing value `missing`.
StepResult read_genotypes(int loci, const std::string& populations, const std::string& missing = "0") {
    std::string ids;
    for (int l = 1; l <= loci; ++l) ids.append("L").append(std::to_string(l)).append(" ");
    int numpop = 0;
    // Count the populations: every line that starts a population is its sample size.
    std::istringstream lines(populations);
    for (std::string line; std::getline(lines, line);) {
        int n = std::stoi(line);
        ++numpop;
        for (int i = 0; i < n; ++i) std::getline(lines, line);
    }
    reset_program_state();
    ScratchDir dir;
    set_arguments({dir.write("in.txt", "out\n0\n0\n1\n0\n" + missing + "\n" + std::to_string(numpop) + "\n" +
                                           std::to_string(loci) + "\n" + ids + "\n" + populations)});
    return run_captured(readdata);
}

// The coding invariants of the model at every locus: 127 in both copies or in
// neither, the other codes exactly -128 .. alleleobs - 129 with none left out.
void expect_coding_invariants() {
    for (std::size_t l = 1; l <= static_cast<std::size_t>(variables.numloci); ++l) {
        SCOPED_TRACE("locus " + std::to_string(l));
        const int obs = variables.alleleobs(static_cast<std::ptrdiff_t>(l));
        EXPECT_GE(obs, 0);
        EXPECT_LE(obs, 255);
        std::set<int> seen;
        for (std::ptrdiff_t p = 1; p <= variables.numpop; ++p) {
            const GenoArray& g = variables.gtype(p).allele;
            for (std::size_t i = 1; i <= g.individuals(); ++i) {
                const int a = g(1, i, l), b = g(2, i, l);
                EXPECT_EQ(a == 127, b == 127);
                if (a == 127) continue;
                seen.insert(a);
                seen.insert(b);
            }
        }
        std::set<int> wanted;
        for (int k = 1; k <= obs; ++k) wanted.insert(k - 129);
        EXPECT_EQ(seen, wanted);
    }
}

TEST(AlleleCoding, NumbersValuesInOrderOfFirstAppearance) {
    struct Case {
        const char* name;
        int loci;
        std::string populations;
        std::string missing;
        std::vector<std::vector<std::vector<int>>> codes;  // [population][locus]
        std::vector<int> alleleobs;
    } cases[] = {
        {"values 5 3 5 9", 1, "2\n5 3\n5 9\n2\n3 9\n5 5\n", "0",
         {{{-128, -127, -128, -126}}, {{-127, -126, -128, -128}}}, {3}},
        {"three loci", 3, "2\n1 2 3 4 5 6\n2 2 4 4 6 6\n2\n1 1 3 3 5 5\n2 1 4 3 6 5\n", "0",
         {{{-128, -127, -127, -127}, {-128, -127, -127, -127}, {-128, -127, -127, -127}},
          {{-128, -128, -127, -128}, {-128, -128, -127, -128}, {-128, -128, -127, -128}}},
         {2, 2, 2}},
        {"missing value 0", 1, "2\n0 7\n7 127\n2\n127 0\n8 8\n", "0",
         {{{127, 127, -128, -127}}, {{127, 127, -126, -126}}}, {3}},
        {"negative missing value", 1, "2\n-5 1\n1 -5\n2\n0 0\n-4 -4\n", "-5",
         {{{127, 127, 127, 127}}, {{-128, -128, -127, -127}}}, {2}},
        {"all missing and one value", 2, "2\n0 1 3 3\n1 0 3 3\n2\n0 0 3 3\n0 5 3 0\n", "0",
         {{{127, 127, 127, 127}, {-128, -128, -128, -128}}, {{127, 127, 127, 127}, {-128, -128, 127, 127}}},
         {0, 1}},
        {"extreme raw values", 1, "2\n-2147483648 2147483647\n-1 -2147483648\n2\n2147483647 -1\n1 1\n", "0",
         {{{-128, -127, -126, -128}}, {{-127, -126, -125, -125}}}, {4}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto r = read_genotypes(c.loci, c.populations, c.missing);
        ASSERT_EQ(r.status, -1) << r.out;
        for (std::size_t p = 0; p < c.codes.size(); ++p)
            for (std::size_t l = 0; l < c.codes[p].size(); ++l) {
                SCOPED_TRACE("population " + std::to_string(p + 1) + " locus " + std::to_string(l + 1));
                EXPECT_EQ(codes(static_cast<std::ptrdiff_t>(p + 1), l + 1), c.codes[p][l]);
            }
        for (std::size_t l = 0; l < c.alleleobs.size(); ++l)
            EXPECT_EQ(variables.alleleobs(static_cast<std::ptrdiff_t>(l + 1)), c.alleleobs[l]);
        EXPECT_EQ(variables.misdata, 127);
        expect_coding_invariants();
    }
}

// Records of n individuals at one locus, individual i holding the values a(i), b(i).
template <typename A, typename B>
std::string population(int n, A a, B b) {
    std::string s = std::to_string(n) + "\n";
    for (int i = 0; i < n; ++i) s += std::to_string(a(i)) + " " + std::to_string(b(i)) + "\n";
    return s;
}

TEST(AlleleCoding, HoldsUpTo255ValuesAtALocus) {
    // 255 distinct values spread over two populations, each met twice.
    const auto pop1 = population(200, [](int i) { return 1000 + i; }, [](int i) { return 1000 + i; });
    const auto pop2 = population(55, [](int i) { return 1200 + i; }, [](int i) { return 1000 + i; });
    auto r = read_genotypes(1, pop1 + pop2);
    ASSERT_EQ(r.status, -1) << r.out;
    EXPECT_EQ(variables.alleleobs(1), 255);
    EXPECT_EQ(variables.gtype(1).allele(1, 1, 1), -128);
    EXPECT_EQ(variables.gtype(2).allele(1, 55, 1), 126);
    EXPECT_EQ(variables.gtype(2).allele(2, 55, 1), -128 + 54);
    expect_coding_invariants();
}

TEST(AlleleCoding, StopsAtThe256thValue) {
    struct Case {
        const char* name;
        std::string populations;
    } cases[] = {
        // 255 values in population 1; population 2 brings one more, as copy 2.
        {"copy 2 in a later population",
         population(255, [](int i) { return i + 1; }, [](int i) { return i + 1; }) + "2\n1 1\n7 256\n"},
        {"homozygous new value",
         population(255, [](int i) { return i + 1; }, [](int i) { return i + 1; }) + "2\n-3 -3\n1 1\n"},
        {"within one population", population(130, [](int i) { return 2 * i + 1; }, [](int i) { return 2 * i + 2; })},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto r = read_genotypes(1, c.populations + "2\n1 1\n1 1\n");
        EXPECT_EQ(r.status, platform::status_data_error);
        EXPECT_EQ(r.out, " #Alleles per locus > 255!\n");
    }
    // A missing genotype never counts: the same values again, with missing ones.
    auto r = read_genotypes(1, population(255, [](int i) { return i + 1; }, [](int i) { return i + 1; }) +
                                   "2\n0 500\n500 0\n");
    EXPECT_EQ(r.status, -1) << r.out;
}

TEST(AlleleCoding, CumulativeSampleSizes) {
    auto r = read_genotypes(2, "2\n1 1 1 1\n1 1 1 1\n3\n1 1 1 1\n1 1 1 1\n1 1 1 1\n");
    ASSERT_EQ(r.status, -1) << r.out;
    EXPECT_EQ(variables.nindiv, 5);
    EXPECT_EQ(variables.locpop(0), 0);
    EXPECT_EQ(variables.locpop(1), 2);
    EXPECT_EQ(variables.locpop(2), 5);
    EXPECT_EQ(variables.permdata.individuals(), 5u);
    EXPECT_EQ(variables.permdata.loci(), 2u);
    EXPECT_EQ(variables.permdata.locus_stride(), 10);
    EXPECT_EQ(variables.gtype(2).allele.locus_stride(), 6);
}

Vec<std::int32_t> vec_of(const std::vector<std::int32_t>& values) {
    Vec<std::int32_t> v;
    v.allocate(1, values.size());
    for (std::size_t i = 0; i < values.size(); ++i) v(static_cast<std::ptrdiff_t>(i + 1)) = values[i];
    return v;
}

std::vector<std::int32_t> first_values(const Vec<std::int32_t>& v, std::size_t n) {
    return std::vector<std::int32_t>(v.data(), v.data() + n);
}

TEST(ReallocateIv, GrowsShrinksAndEmpties) {
    Vec<std::int32_t> fresh = reallocate_iv(Vec<std::int32_t>{}, 4);
    EXPECT_TRUE(fresh.allocated());
    EXPECT_EQ(fresh.size(), 4u);
    EXPECT_EQ(fresh.first(), 1);

    Vec<std::int32_t> grown = reallocate_iv(vec_of({5, 6}), 4);
    EXPECT_EQ(grown.size(), 4u);
    EXPECT_EQ(first_values(grown, 2), (std::vector<std::int32_t>{5, 6}));

    Vec<std::int32_t> shrunk = reallocate_iv(vec_of({1, 2, 3, 4}), 2);
    EXPECT_EQ(shrunk.size(), 2u);
    EXPECT_EQ(first_values(shrunk, 2), (std::vector<std::int32_t>{1, 2}));

    for (std::int32_t n : {0, -3}) {
        Vec<std::int32_t> empty = reallocate_iv(vec_of({1, 2}), n);
        EXPECT_EQ(empty.size(), 0u);
    }

    // Memory that cannot be had ends the run as every memory failure does:
    // the fatal status, and nothing on standard output.
    reset_program_state();  // no array holds memory
    AllocationLimit limit(1000);
    auto failed = run_captured([] { reallocate_iv(vec_of({1, 2}), 1000); });
    EXPECT_EQ(failed.status, platform::status_fatal);
    EXPECT_EQ(failed.out, "");
}

// The reader's growing tables go the same way, for any element type and
// first index; the old array's memory is given back.
TEST(Reallocate, KeepsValuesOfAnyTypeAndGivesBackTheOldMemory) {
    reset_program_state();  // no array of the data model holds memory
    Vec<LocusText> ids;
    ids.allocate(0, 2);
    ids(0) = {'A'};
    ids(1) = {'B', 'C'};
    Vec<LocusText> grown = reallocate(std::move(ids), 0, 5);
    EXPECT_FALSE(ids.allocated());
    EXPECT_EQ(grown.first(), 0);
    EXPECT_EQ(grown.size(), 5u);
    EXPECT_EQ(grown(0), (LocusText{'A'}));
    EXPECT_EQ(grown(1), (LocusText{'B', 'C'}));
    grown.release();

    const AllocationLimit limit(1000);
    Vec<allelecode> codes;
    codes.allocate(1, 600, 7);
    Vec<allelecode> shrunk = reallocate(std::move(codes), -128, 300);
    EXPECT_EQ(shrunk(-128), 7);
    EXPECT_EQ(shrunk(171), 7);
    Vec<allelecode> rest;
    const auto r = run_captured([&] { rest.allocate(1, 700); });
    EXPECT_EQ(r.status, -1);  // returned normally
}

// Copy 1 of individual i (from 0) of a population lies at genotype_offset(i)
// among a locus's codes, copy 2 right after, also beyond 2^30 individuals
// where twice the index no longer fits an int32.
TEST(GenotypeOffset, FindsEachIndividualsCopiesAtAnyPopulationSize) {
    GenoArray g;
    g.allocate(3, 2);
    for (std::size_t i = 1; i <= 3; ++i)
        for (std::size_t l = 1; l <= 2; ++l) {
            g(1, i, l) = static_cast<allelecode>(10 * i + l);
            g(2, i, l) = static_cast<allelecode>(-static_cast<int>(10 * i + l));
        }
    for (std::int32_t i = 0; i < 3; ++i) {
        const auto ui = static_cast<std::size_t>(i) + 1;
        EXPECT_EQ(g.locus(2)[genotype_offset(i)], g(1, ui, 2));
        EXPECT_EQ(g.locus(2)[genotype_offset(i) + 1], g(2, ui, 2));
    }
    if constexpr (sizeof(std::ptrdiff_t) >= 8) {
        EXPECT_EQ(genotype_offset(1 << 30), std::ptrdiff_t{1} << 31);
        EXPECT_EQ(genotype_offset(INT32_MAX - 1), std::ptrdiff_t{4294967292});
    }
}

}  // namespace
