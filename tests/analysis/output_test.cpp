#include "analysis/output.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <xmmintrin.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <limits>
#include <numeric>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "analysis/numformat.h"
#include "analysis/resultnames.h"
#include "analysis/variables.h"
#include "numerics/indexx.h"
#include "platform/platform.h"
#include "tests/test_support.h"

namespace {

const float nan_value = std::numeric_limits<float>::quiet_NaN();
const float inf = std::numeric_limits<float>::infinity();

struct Locus {
    std::string id;
    int alleles;
    float ht, hs, gst;
};

// The given lines, each ended with the platform's line end.
std::string lines(std::initializer_list<std::string> text) {
    std::string all;
    for (const auto& line : text) {
        all += line;
        all += platform::line_end;
    }
    return all;
}

void set_prefix(const std::string& prefix) { variables.outfilename = prefix; }

// The observed per-locus results as the save step leaves them.
void set_loci(const std::vector<Locus>& loci) {
    Variables& v = variables;
    const auto n = loci.size();
    v.numloci = static_cast<std::int32_t>(n);
    v.locusid.allocate(1, n);
    v.alleleobs.allocate(1, n);
    v.ht_t.allocate(1, n);
    v.hs_t.allocate(1, n);
    v.gst_t.allocate(1, n);
    for (std::size_t i = 0; i < n; ++i) {
        const auto l = static_cast<std::ptrdiff_t>(i + 1);
        LocusText id;
        id.fill(' ');
        std::copy(loci[i].id.begin(), loci[i].id.end(), id.begin());
        v.locusid(l) = id;
        v.alleleobs(l) = loci[i].alleles;
        v.ht_t(l) = loci[i].ht;
        v.hs_t(l) = loci[i].hs;
        v.gst_t(l) = loci[i].gst;
    }
}

// The permuted values: value(l, k) gives (ht, hs, gst) of locus l after
// permutation k.
void set_permutations(std::int32_t n, const std::function<std::array<float, 3>(std::size_t, std::size_t)>& value) {
    Variables& v = variables;
    v.numpermut = n;
    const auto loci = static_cast<std::size_t>(v.numloci);
    const auto cols = static_cast<std::size_t>(n);
    v.ht_p.allocate(loci, cols);
    v.hs_p.allocate(loci, cols);
    v.gst_p.allocate(loci, cols);
    for (std::size_t l = 1; l <= loci; ++l) {
        for (std::size_t k = 1; k <= cols; ++k) {
            const auto x = value(l, k);
            v.ht_p(l, k) = x[0];
            v.hs_p(l, k) = x[1];
            v.gst_p(l, k) = x[2];
        }
    }
}

class OutputTest : public ::testing::Test {
protected:
    OutputTest() { reset_program_state(); }
    ~OutputTest() override { reset_program_state(); }

    // The names in the scratch directory, sorted.
    std::vector<std::string> files() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    // Removes everything in the scratch directory.
    void clear() const {
        for (const auto& name : files()) std::filesystem::remove_all(dir.path() / name);
    }

    // Runs `step`, which must end the run with the fatal diagnostic; returns
    // what it wrote on standard error.
    std::string expect_fatal(const std::function<void()>& step) {
        testing::internal::CaptureStderr();
        const StepResult result = run_captured(step);
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(result.status, platform::status_fatal);
        EXPECT_EQ(result.out, "");
        return err;
    }

    ScratchDir dir;
    ChangeDir cd{dir.path()};
};

// ---- Per-locus and summary files -------------------------------------------------

TEST_F(OutputTest, Output1WithoutPermutations) {
    set_prefix("run");
    set_loci({
        {"L1", 3, 0.5f, 0.4f, 0.2f},
        {"L2", 1, -1.0f, -1.0f, -1.0f},
        {"ABCDEFGHIJKLMNOPQRST", 2, 12.34567f, 9.99995f, -0.00003f},
        {"a b", 255, 0.03125f, -0.03125f, 100.0f},
        {"", 0, -1.0f, -1.0f, -1.0f},
        {"x", 2, 0.09375f, 0.0f, -10.0f},
    });
    const StepResult result = run_captured([] { output1(0.25f, 0.5f, -0.5f, 2.0f, 0.125f); });
    EXPECT_EQ(result.status, -1);
    EXPECT_EQ(result.out, "");  // nothing on the console

    EXPECT_EQ(dir.read("run.LocusGST"), lines({
                                            "Locus,#Allele,Ht,Hs,Gst",
                                            "L1,3, 0.5000, 0.4000, 0.2000",
                                            "L2,1,-1.0000,-1.0000,-1.0000",
                                            "ABCDEFGHIJKLMNOPQRST,2,12.3457,10.0000, 0.0000",
                                            "a b,255, 0.0312,-0.0312,*******",
                                            ",0,-1.0000,-1.0000,-1.0000",
                                            "x,2, 0.0938, 0.0000,*******",
                                        }));
    // Means over L1 and ABC..., the loci with Hs above 0: 6.42283, 5.19998,
    // and 1 - 5.19998 / 6.42283 = 0.19039.
    EXPECT_EQ(dir.read("run.MeanGST"),
              lines({"Mean-Ht,Mean-Hs,Mean-Gst,Corr(Hs-Gst),Corr(P-T-Test),Corr(P-Permu-Test),"
                     "Regression(a),Regression(b)",
                     "6.4228,5.2000,0.1904,0.2500,5.0000E-01,0.1250,-0.5000,2.0000"}));
    EXPECT_EQ(files(), (std::vector<std::string>{"run.LocusGST", "run.MeanGST"}));
}

TEST_F(OutputTest, SummaryColumnOrder) {
    set_prefix("run");
    set_loci({{"L1", 2, 0.35f, 0.28f, 0.2f}});
    // Arguments in the order r, probt, a, b, pperm; columns r, probt, pperm, a, b.
    run_captured([] { output1(-0.4321f, 0.0012345f, 0.1f, -0.8f, 0.45f); });
    EXPECT_EQ(dir.read("run.MeanGST"),
              lines({"Mean-Ht,Mean-Hs,Mean-Gst,Corr(Hs-Gst),Corr(P-T-Test),Corr(P-Permu-Test),"
                     "Regression(a),Regression(b)",
                     "0.3500,0.2800,0.2000,-0.4321,1.2345E-03,0.4500,0.1000,-0.8000"}));
}

TEST_F(OutputTest, SummaryMeansCountOnlyLociWithHsAboveZero) {
    set_prefix("run");
    set_loci({
        {"L1", 2, 0.25f, 0.125f, 0.5f},
        {"L2", 3, 0.9f, 0.0f, 1.0f},  // Ht above 0 but Hs exactly 0: not counted
        {"L3", 1, -1.0f, -1.0f, -1.0f},
        {"L4", 4, 0.75f, 0.375f, 0.5f},
    });
    run_captured([] { output1(1.0f, 0.0f, 0.999999f, 10000.0f, 0.03125f); });
    EXPECT_EQ(dir.read("run.MeanGST"),
              lines({"Mean-Ht,Mean-Hs,Mean-Gst,Corr(Hs-Gst),Corr(P-T-Test),Corr(P-Permu-Test),"
                     "Regression(a),Regression(b)",
                     "0.5000,0.2500,0.5000,1.0000,0.0000E+00,0.0312,1.0000,*********"}));
}

TEST_F(OutputTest, SummaryWithoutCountedLociIsNaN) {
    set_prefix("run");
    set_loci({{"L1", 1, -1.0f, -1.0f, -1.0f}, {"L2", 0, -1.0f, -1.0f, -1.0f}});
    const StepResult result = run_captured([] { output1(nan_value, nan_value, -1000.0f, inf, 0.999999f); });
    EXPECT_EQ(result.status, -1);
    EXPECT_EQ(dir.read("run.MeanGST"),
              lines({"Mean-Ht,Mean-Hs,Mean-Gst,Corr(Hs-Gst),Corr(P-T-Test),Corr(P-Permu-Test),"
                     "Regression(a),Regression(b)",
                     "NaN,NaN,NaN,NaN,NaN,1.0000,*********,Infinity"}));
    run_captured([] { output1(0.0f, 1.0f, -inf, -0.00004f, 1.0f); });
    EXPECT_EQ(dir.read("run.MeanGST").substr(99 + platform::line_end.size()),
              lines({"NaN,NaN,NaN,0.0000,1.0000E+00,1.0000,-Infinity,0.0000"}));
}

TEST_F(OutputTest, Output1QuantilesOfTenPermutations) {
    set_prefix("run");
    set_loci({{"L1", 4, 0.6f, 0.3f, 0.5f}, {"L2", 1, -1.0f, -1.0f, -1.0f}});
    const std::array<float, 10> ht{0.30f, 0.10f, 0.50f, 0.90f, 0.70f, 0.20f, 0.80f, 0.40f, 1.00f, 0.60f};
    const std::array<float, 10> hs{0.25f, 0.05f, 0.15f, 0.35f, 0.45f, 0.40f, 0.30f, 0.20f, 0.10f, 0.125f};
    const std::array<float, 10> gst{0.01f, -0.03125f, 0.02f, 0.0f, 12.34567f, 0.03f, -0.00003f, 0.04f, 0.05f, 0.06f};
    set_permutations(10, [&](std::size_t l, std::size_t k) -> std::array<float, 3> {
        if (l == 2) return {-1.0f, -1.0f, -1.0f};
        return {ht[k - 1], hs[k - 1], gst[k - 1]};
    });
    run_captured([] { output1(0.0f, 0.0f, 0.0f, 0.0f, 0.0f); });
    // Ranks 1 and 10: the smallest and the largest of each quantity.
    EXPECT_EQ(dir.read("run.LocusGST"),
              lines({
                  "Locus,#Allele,Ht,Hs,Gst,Ht(.025),Ht(.975),Hs(.025),Hs(.975),Gst(.025),Gst(.975)",
                  "L1,4, 0.6000, 0.3000, 0.5000, 0.1000, 1.0000, 0.0500, 0.4500,-0.0312,12.3457",
                  "L2,1,-1.0000,-1.0000,-1.0000,-1.0000,-1.0000,-1.0000,-1.0000,-1.0000,-1.0000",
              }));
    // The sorts leave the permuted values where they were.
    for (std::size_t k = 1; k <= 10; ++k) {
        EXPECT_EQ(bits(variables.ht_p(1, k)), bits(ht[k - 1]));
        EXPECT_EQ(bits(variables.hs_p(1, k)), bits(hs[k - 1]));
        EXPECT_EQ(bits(variables.gst_p(1, k)), bits(gst[k - 1]));
    }
}

TEST_F(OutputTest, Output1QuantileRanks) {
    // N, then the values of ranks JDX(1) and JDX(2) when the value of rank j is j / 10000.
    struct Case {
        std::int32_t n;
        const char* lower;
        const char* upper;
    };
    const Case cases[] = {
        {1, " 0.0001", " 0.0001"},      // ranks 1, 1
        {10, " 0.0001", " 0.0010"},     // 1, 10
        {20, " 0.0001", " 0.0020"},     // 0.5 -> 1, 19.5 -> 20
        {21, " 0.0001", " 0.0020"},     // 0.525 -> 1, 20.475 -> 20
        {40, " 0.0001", " 0.0039"},     // 1, 39
        {60, " 0.0002", " 0.0059"},     // 1.5 -> 2, 58.5 -> 59
        {100, " 0.0003", " 0.0098"},    // 2.5 -> 3, 97.5 -> 98
        {999, " 0.0025", " 0.0974"},    // 24.975 -> 25, 974.025 -> 974
        {1000, " 0.0025", " 0.0975"},   // 25, 975
        {10000, " 0.0250", " 0.9750"},  // 250, 9750
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.n);
        reset_program_state();
        set_prefix("q");
        set_loci({{"L1", 2, 0.5f, 0.4f, 0.2f}});
        // The ranks 1..N in a shuffled permutation order.
        std::vector<int> rank(static_cast<std::size_t>(c.n));
        std::iota(rank.begin(), rank.end(), 1);
        std::mt19937 gen(static_cast<std::uint32_t>(c.n));
        std::shuffle(rank.begin(), rank.end(), gen);
        set_permutations(c.n, [&](std::size_t, std::size_t k) -> std::array<float, 3> {
            const float x = static_cast<float>(rank[k - 1]) / 10000.0f;
            return {x, x, x};
        });
        run_captured([] { output1(0.0f, 0.0f, 0.0f, 0.0f, 0.0f); });
        const std::string q = std::string(",") + c.lower + "," + c.upper;
        EXPECT_EQ(dir.read("q.LocusGST"),
                  lines({"Locus,#Allele,Ht,Hs,Gst,Ht(.025),Ht(.975),Hs(.025),Hs(.975),Gst(.025),Gst(.975)",
                         "L1,2, 0.5000, 0.4000, 0.2000" + q + q + q}));
    }
}

TEST_F(OutputTest, Output1FileNamesFromThePrefix) {
    set_loci({{"L1", 3, 0.5f, 0.4f, 0.2f}});
    const std::string locus_file = lines({"Locus,#Allele,Ht,Hs,Gst", "L1,3, 0.5000, 0.4000, 0.2000"});

    set_prefix("");  // a blank prefix
    run_captured([] { output1(0.0f, 0.0f, 0.0f, 0.0f, 0.0f); });
    EXPECT_EQ(files(), (std::vector<std::string>{".LocusGST", ".MeanGST"}));
    EXPECT_EQ(dir.read(".LocusGST"), locus_file);

    set_prefix("   lead");  // leading blanks are dropped on opening
    run_captured([] { output1(0.0f, 0.0f, 0.0f, 0.0f, 0.0f); });
    EXPECT_EQ(files(), (std::vector<std::string>{".LocusGST", ".MeanGST", "lead.LocusGST", "lead.MeanGST"}));
    EXPECT_EQ(dir.read("lead.LocusGST"), locus_file);
}

TEST_F(OutputTest, Output1ReplacesALongerFile) {
    dir.write("run.LocusGST", std::string(5000, 'x') + "\n");
    dir.write("run.MeanGST", std::string(5000, 'y') + "\n");
    set_prefix("run");
    set_loci({{"L1", 3, 0.5f, 0.4f, 0.2f}});
    run_captured([] { output1(0.0f, 0.0f, 0.0f, 0.0f, 0.0f); });
    EXPECT_EQ(dir.read("run.LocusGST"), lines({"Locus,#Allele,Ht,Hs,Gst", "L1,3, 0.5000, 0.4000, 0.2000"}));
    EXPECT_EQ(dir.read("run.MeanGST"),
              lines({"Mean-Ht,Mean-Hs,Mean-Gst,Corr(Hs-Gst),Corr(P-T-Test),Corr(P-Permu-Test),"
                     "Regression(a),Regression(b)",
                     "0.5000,0.4000,0.2000,0.0000,0.0000E+00,0.0000,0.0000,0.0000"}));
    EXPECT_EQ(files(), (std::vector<std::string>{"run.LocusGST", "run.MeanGST"}));
}

TEST_F(OutputTest, Output1IntoAMissingDirectoryStops) {
    set_prefix("missing/run");
    set_loci({{"L1", 3, 0.5f, 0.4f, 0.2f}});
    const std::string err = expect_fatal([] { output1(0.0f, 0.0f, 0.0f, 0.0f, 0.0f); });
    EXPECT_NE(err.find("missing/run.LocusGST"), std::string::npos) << err;
    EXPECT_TRUE(files().empty());
}

TEST_F(OutputTest, Output1FailureOnTheSummaryLeavesTheEarlierLocusFile) {
    std::filesystem::create_directory(dir.path() / "run.MeanGST");  // cannot be replaced by a file
    dir.write("run.LocusGST", "earlier\n");
    set_prefix("run");
    set_loci({{"L1", 3, 0.5f, 0.4f, 0.2f}});
    const std::string err = expect_fatal([] { output1(0.0f, 0.0f, 0.0f, 0.0f, 0.0f); });
    EXPECT_EQ(err, "Tuvamo: cannot create result file: run.MeanGST: Is a directory\n");
    EXPECT_EQ(dir.read("run.LocusGST"), "earlier\n");
    EXPECT_EQ(files(), (std::vector<std::string>{"run.LocusGST", "run.MeanGST"}));
    EXPECT_TRUE(std::filesystem::is_empty(dir.path() / "run.MeanGST"));
}

TEST_F(OutputTest, Output1FailureOnTheLocusFileWritesNoSummary) {
    std::filesystem::create_directory(dir.path() / "run.LocusGST");
    set_prefix("run");
    set_loci({{"L1", 3, 0.5f, 0.4f, 0.2f}});
    const std::string err = expect_fatal([] { output1(0.0f, 0.0f, 0.0f, 0.0f, 0.0f); });
    EXPECT_NE(err.find("run.LocusGST"), std::string::npos) << err;
    EXPECT_EQ(files(), (std::vector<std::string>{"run.LocusGST"}));
    EXPECT_TRUE(std::filesystem::is_empty(dir.path() / "run.LocusGST"));
}

// Lowers the process's file size limit for its lifetime, so that writes
// beyond `bytes` fail (also for root) instead of raising a signal.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &old_);
        old_handler_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit lowered = old_;
        lowered.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &lowered);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &old_);
        std::signal(SIGXFSZ, old_handler_);
    }

private:
    rlimit old_{};
    void (*old_handler_)(int) = nullptr;
};

TEST_F(OutputTest, Output1WriteFailureKeepsTheEarlierFile) {
    const std::string earlier = "Locus,#Allele,Ht,Hs,Gst\nold,2, 0.1000, 0.1000, 0.1000\n";
    dir.write("run.LocusGST", earlier);
    set_prefix("run");
    std::vector<Locus> loci;
    for (int i = 1; i <= 3000; ++i) {
        std::string id = "L";
        id += std::to_string(i);
        loci.push_back({id, 3, 0.5f, 0.4f, 0.2f});
    }
    set_loci(loci);
    std::string err;
    {
        FileSizeLimit limit(4096);
        err = expect_fatal([] { output1(0.0f, 0.0f, 0.0f, 0.0f, 0.0f); });
    }
    EXPECT_NE(err.find("run.LocusGST"), std::string::npos) << err;
    EXPECT_EQ(dir.read("run.LocusGST"), earlier);
    EXPECT_EQ(files(), (std::vector<std::string>{"run.LocusGST"}));
}

// ---- Per-permutation files ----------------------------------------------------------

// One locus L1 with Ht = k/100, Hs = k/200 and Gst = -k/1000 after permutation k.
void one_locus_permutations(std::int32_t n) {
    set_prefix("run");
    set_loci({{"L1", 2, 0.5f, 0.25f, 0.5f}});
    set_permutations(n, [](std::size_t, std::size_t k) -> std::array<float, 3> {
        const auto x = static_cast<float>(k);
        return {x / 100.0f, x / 200.0f, -x / 1000.0f};
    });
}

TEST_F(OutputTest, Output2OnePermutation) {
    one_locus_permutations(1);
    variables.gst_p(1, 1) = -0.00003f;  // rounds to zero: no minus sign
    const StepResult result = run_captured([] { output2(); });
    EXPECT_EQ(result.status, -1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(dir.read("run.Perm-L1-GST"), lines({" 0.0000"}));
    EXPECT_EQ(dir.read("run.Perm-L1-HS"), lines({" 0.0050"}));
    EXPECT_EQ(dir.read("run.Perm-L1-HT"), lines({" 0.0100"}));
    EXPECT_EQ(dir.read("run.Perm-Mean-GST"), lines({" 0.5000"}));
    EXPECT_EQ(dir.read("run.Perm-Mean-HS"), lines({" 0.0050"}));
    EXPECT_EQ(dir.read("run.Perm-Mean-HT"), lines({" 0.0100"}));
    EXPECT_EQ(files(), (std::vector<std::string>{"run.Perm-L1-GST", "run.Perm-L1-HS", "run.Perm-L1-HT",
                                                 "run.Perm-Mean-GST", "run.Perm-Mean-HS", "run.Perm-Mean-HT"}));
}

TEST_F(OutputTest, Output2TenPermutations) {
    one_locus_permutations(10);
    run_captured([] { output2(); });
    EXPECT_EQ(dir.read("run.Perm-L1-HT"),
              lines({" 0.0100, 0.0200, 0.0300, 0.0400, 0.0500, 0.0600, 0.0700, 0.0800, 0.0900, 0.1000"}));
    EXPECT_EQ(dir.read("run.Perm-L1-GST"),
              lines({"-0.0010,-0.0020,-0.0030,-0.0040,-0.0050,-0.0060,-0.0070,-0.0080,-0.0090,-0.0100"}));
    EXPECT_EQ(dir.read("run.Perm-Mean-GST"),
              lines({" 0.5000, 0.5000, 0.5000, 0.5000, 0.5000, 0.5000, 0.5000, 0.5000, 0.5000, 0.5000"}));
}

TEST_F(OutputTest, Output2ElevenPermutations) {
    one_locus_permutations(11);
    run_captured([] { output2(); });
    EXPECT_EQ(dir.read("run.Perm-L1-HS"),
              lines({" 0.0050, 0.0100, 0.0150, 0.0200, 0.0250, 0.0300, 0.0350, 0.0400, 0.0450, 0.0500,",
                     " 0.0550"}));
    EXPECT_EQ(dir.read("run.Perm-Mean-HS"), dir.read("run.Perm-L1-HS"));
}

TEST_F(OutputTest, Output2TwentyFivePermutations) {
    one_locus_permutations(25);
    run_captured([] { output2(); });
    const std::string ht =
        lines({" 0.0100, 0.0200, 0.0300, 0.0400, 0.0500, 0.0600, 0.0700, 0.0800, 0.0900, 0.1000,",
               " 0.1100, 0.1200, 0.1300, 0.1400, 0.1500, 0.1600, 0.1700, 0.1800, 0.1900, 0.2000,",
               " 0.2100, 0.2200, 0.2300, 0.2400, 0.2500"});
    const std::string hs =
        lines({" 0.0050, 0.0100, 0.0150, 0.0200, 0.0250, 0.0300, 0.0350, 0.0400, 0.0450, 0.0500,",
               " 0.0550, 0.0600, 0.0650, 0.0700, 0.0750, 0.0800, 0.0850, 0.0900, 0.0950, 0.1000,",
               " 0.1050, 0.1100, 0.1150, 0.1200, 0.1250"});
    const std::string gst =
        lines({"-0.0010,-0.0020,-0.0030,-0.0040,-0.0050,-0.0060,-0.0070,-0.0080,-0.0090,-0.0100,",
               "-0.0110,-0.0120,-0.0130,-0.0140,-0.0150,-0.0160,-0.0170,-0.0180,-0.0190,-0.0200,",
               "-0.0210,-0.0220,-0.0230,-0.0240,-0.0250"});
    const std::string mean_gst =
        lines({" 0.5000, 0.5000, 0.5000, 0.5000, 0.5000, 0.5000, 0.5000, 0.5000, 0.5000, 0.5000,",
               " 0.5000, 0.5000, 0.5000, 0.5000, 0.5000, 0.5000, 0.5000, 0.5000, 0.5000, 0.5000,",
               " 0.5000, 0.5000, 0.5000, 0.5000, 0.5000"});
    EXPECT_EQ(dir.read("run.Perm-L1-HT"), ht);
    EXPECT_EQ(dir.read("run.Perm-L1-HS"), hs);
    EXPECT_EQ(dir.read("run.Perm-L1-GST"), gst);
    EXPECT_EQ(dir.read("run.Perm-Mean-HT"), ht);
    EXPECT_EQ(dir.read("run.Perm-Mean-HS"), hs);
    EXPECT_EQ(dir.read("run.Perm-Mean-GST"), mean_gst);
}

TEST_F(OutputTest, Output2MeansTestHtAndHsSeparately) {
    set_prefix("run");
    set_loci({{"L1", 2, 0.5f, 0.25f, 0.5f}, {"L2", 3, 0.5f, 0.25f, 0.5f}, {"L3", 1, -1.0f, -1.0f, -1.0f}});
    // Permutation 1: L1 counts in the mean Ht only. Permutation 2: no locus
    // has Hs above 0. Permutation 3: L1 counts in the mean Hs only.
    const float ht[3][2] = {{0.5f, 0.25f}, {0.5f, 0.3f}, {0.0f, 0.6f}};
    const float hs[3][2] = {{0.0f, 0.125f}, {0.0f, 0.0f}, {0.2f, 0.3f}};
    set_permutations(3, [&](std::size_t l, std::size_t k) -> std::array<float, 3> {
        if (l == 3) return {-1.0f, -1.0f, -1.0f};
        return {ht[k - 1][l - 1], hs[k - 1][l - 1], 0.75f};
    });
    run_captured([] { output2(); });
    EXPECT_EQ(dir.read("run.Perm-Mean-HT"), lines({" 0.3750, 0.4000, 0.6000"}));
    EXPECT_EQ(dir.read("run.Perm-Mean-HS"), lines({" 0.1250,    NaN, 0.2500"}));
    EXPECT_EQ(dir.read("run.Perm-Mean-GST"), lines({" 0.6667,    NaN, 0.5833"}));
    EXPECT_EQ(dir.read("run.Perm-L3-HT"), lines({"-1.0000,-1.0000,-1.0000"}));
    EXPECT_EQ(dir.read("run.Perm-L1-HT"), lines({" 0.5000, 0.5000, 0.0000"}));
    EXPECT_EQ(dir.read("run.Perm-L2-GST"), lines({" 0.7500, 0.7500, 0.7500"}));
}

TEST_F(OutputTest, Output2WithoutUsableLociWritesNaNMeans) {
    set_prefix("run");
    set_loci({{"L1", 1, -1.0f, -1.0f, -1.0f}, {"L2", 0, -1.0f, -1.0f, -1.0f}});
    set_permutations(3, [](std::size_t, std::size_t) -> std::array<float, 3> { return {-1.0f, -1.0f, -1.0f}; });
    run_captured([] { output2(); });
    for (const char* name : {"run.Perm-Mean-GST", "run.Perm-Mean-HS", "run.Perm-Mean-HT"})
        EXPECT_EQ(dir.read(name), lines({"    NaN,    NaN,    NaN"})) << name;
    for (const char* name : {"run.Perm-L1-GST", "run.Perm-L1-HS", "run.Perm-L2-HT"})
        EXPECT_EQ(dir.read(name), lines({"-1.0000,-1.0000,-1.0000"})) << name;
}

// Two loci with Ht = 0.1 * locus number and Hs, Gst = Ht / 2 in every permutation.
void two_loci(const std::string& prefix, const std::string& id1, const std::string& id2) {
    set_prefix(prefix);
    set_loci({{id1, 2, 0.5f, 0.25f, 0.5f}, {id2, 2, 0.5f, 0.25f, 0.5f}});
    set_permutations(2, [](std::size_t l, std::size_t) -> std::array<float, 3> {
        const float x = 0.1f * static_cast<float>(l);
        return {x, x / 2.0f, x / 2.0f};
    });
}

TEST_F(OutputTest, Output2NamesBlankIdAndBlankPrefix) {
    two_loci("", "", "B");
    run_captured([] { output2(); });
    EXPECT_EQ(files(), (std::vector<std::string>{".Perm--GST", ".Perm--HS", ".Perm--HT", ".Perm-B-GST",
                                                 ".Perm-B-HS", ".Perm-B-HT", ".Perm-Mean-GST", ".Perm-Mean-HS",
                                                 ".Perm-Mean-HT"}));
    EXPECT_EQ(dir.read(".Perm--HT"), lines({" 0.1000, 0.1000"}));
    EXPECT_EQ(dir.read(".Perm-B-HT"), lines({" 0.2000, 0.2000"}));
}

// Names that would repeat a name of the run take the locus number; every
// other name stays as it is, and each renamed locus has its line on standard
// error.
TEST_F(OutputTest, Output2GivesEveryFileItsOwnName) {
    struct Case {
        const char* name;
        std::string prefix;
        std::vector<std::string> ids;
        std::vector<std::string> bases;  // of the loci in order, after the prefix's ".Perm-"
        std::string err;
    } cases[] = {
        {"two loci with one ID", "  run", {"dup", "dup"}, {"dup-", "dup_2-"},
         "Tuvamo: locus 2, ID \"dup\": its per-permutation files would take names already used; they are "
         "named run.Perm-dup_2-GST, run.Perm-dup_2-HS and run.Perm-dup_2-HT\n"},
        {"an ID Mean", "run", {"Mean", "L2"}, {"Mean_1-", "L2-"},
         "Tuvamo: locus 1, ID \"Mean\": its per-permutation files would take names already used; they are "
         "named run.Perm-Mean_1-GST, run.Perm-Mean_1-HS and run.Perm-Mean_1-HT\n"},
        {"two blank IDs", "", {"", ""}, {"-", "_2-"},
         "Tuvamo: locus 2, ID \"\": its per-permutation files would take names already used; they are "
         "named .Perm-_2-GST, .Perm-_2-HS and .Perm-_2-HT\n"},
        // Locus 3 keeps its plain name, which locus 2's numbered name would take.
        {"a numbered name in use", "run", {"a", "a", "a_2"}, {"a-", "a_2_2-", "a_2-"},
         "Tuvamo: locus 2, ID \"a\": its per-permutation files would take names already used; they are "
         "named run.Perm-a_2_2-GST, run.Perm-a_2_2-HS and run.Perm-a_2_2-HT\n"},
        {"a name written another way", "run", {"x/y", "x//y", "x/./y"}, {"x/y-", "x//y_2-", "x/./y_3-"},
         "Tuvamo: locus 2, ID \"x//y\": its per-permutation files would take names already used; they are "
         "named run.Perm-x//y_2-GST, run.Perm-x//y_2-HS and run.Perm-x//y_2-HT\n"
         "Tuvamo: locus 3, ID \"x/./y\": its per-permutation files would take names already used; they are "
         "named run.Perm-x/./y_3-GST, run.Perm-x/./y_3-HS and run.Perm-x/./y_3-HT\n"},
        {"IDs that differ", "run", {"Mean-", "mean", "MEAN"}, {"Mean--", "mean-", "MEAN-"}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        reset_program_state();
        clear();
        set_prefix(c.prefix);
        std::vector<Locus> loci;
        for (const auto& id : c.ids) loci.push_back({id, 2, 0.5f, 0.25f, 0.5f});
        set_loci(loci);
        // Ht of locus l is 0.1 * l, so each file shows whose values it holds.
        set_permutations(2, [](std::size_t l, std::size_t) -> std::array<float, 3> {
            const float x = 0.1f * static_cast<float>(l);
            return {x, x / 2.0f, x / 2.0f};
        });
        variables.outpermresult = 1;
        std::filesystem::create_directories(dir.path() / "run.Perm-x");
        testing::internal::CaptureStderr();
        const StepResult result = run_captured([] {
            prepareresults();
            output2();
            output1(0.0f, 0.0f, 0.0f, 0.0f, 0.0f);
        });
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(result.status, -1);
        EXPECT_EQ(err, c.err);
        const std::string stem = std::string(c.prefix == "  run" ? "run" : c.prefix) + ".Perm-";
        for (std::size_t l = 0; l < c.ids.size(); ++l) {
            const std::string expected = l == 0 ? " 0.1000, 0.1000" : l == 1 ? " 0.2000, 0.2000" : " 0.3000, 0.3000";
            EXPECT_EQ(dir.read(stem + c.bases[l] + "HT"), lines({expected})) << c.bases[l];
        }
        // The mean files hold the means, whatever the IDs.
        const std::string mean = c.ids.size() == 2 ? " 0.1500, 0.1500" : " 0.2000, 0.2000";
        EXPECT_EQ(dir.read(stem + "Mean-HT"), lines({mean}));
    }
}

TEST_F(OutputTest, Output2NamesFromALongPrefixAreWhole) {
    // No part of a name is cut: the prefix and the ID stand whole in every
    // locus's names, and the prefix's leading blanks are dropped.
    for (std::size_t length : {90u, 93u, 150u}) {
        SCOPED_TRACE(length);
        reset_program_state();
        clear();
        const std::string p(length, 'p');
        two_loci("  " + p, "ABCDEF", "XYZ");
        testing::internal::CaptureStderr();
        run_captured([] { output2(); });
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        const std::string base = p + ".Perm-";
        EXPECT_EQ(files(), (std::vector<std::string>{base + "ABCDEF-GST", base + "ABCDEF-HS", base + "ABCDEF-HT",
                                                     base + "Mean-GST", base + "Mean-HS", base + "Mean-HT",
                                                     base + "XYZ-GST", base + "XYZ-HS", base + "XYZ-HT"}));
        EXPECT_EQ(dir.read(base + "ABCDEF-HT"), lines({" 0.1000, 0.1000"}));
        EXPECT_EQ(dir.read(base + "XYZ-HT"), lines({" 0.2000, 0.2000"}));
    }
}

TEST_F(OutputTest, Output2ReplacesALongerFile) {
    dir.write("run.Perm-L1-HT", std::string(5000, 'x'));
    dir.write("run.Perm-Mean-GST", std::string(5000, 'x'));
    one_locus_permutations(2);
    run_captured([] { output2(); });
    EXPECT_EQ(dir.read("run.Perm-L1-HT"), lines({" 0.0100, 0.0200"}));
    EXPECT_EQ(dir.read("run.Perm-Mean-GST"), lines({" 0.5000, 0.5000"}));
    EXPECT_EQ(files().size(), 6u);
}

TEST_F(OutputTest, Output2IntoAMissingDirectoryStops) {
    one_locus_permutations(2);
    set_prefix("missing/run");
    const std::string err = expect_fatal([] { output2(); });
    EXPECT_NE(err.find("missing/run.Perm-L1-GST"), std::string::npos) << err;
    EXPECT_TRUE(files().empty());
}

TEST_F(OutputTest, Output2FailureOnAMeanFileLeavesNoFileOfTheRun) {
    std::filesystem::create_directory(dir.path() / "run.Perm-Mean-HS");
    one_locus_permutations(2);
    const std::string err = expect_fatal([] { output2(); });
    EXPECT_EQ(err, "Tuvamo: cannot create result file: run.Perm-Mean-HS: Is a directory\n");
    // The files finished before the failure are not put in place either.
    EXPECT_EQ(files(), (std::vector<std::string>{"run.Perm-Mean-HS"}));
    EXPECT_TRUE(std::filesystem::is_empty(dir.path() / "run.Perm-Mean-HS"));
}

TEST_F(OutputTest, Output2WriteFailureLeavesNoPartialFile) {
    one_locus_permutations(10000);  // 80,000 bytes per file
    std::string err;
    {
        FileSizeLimit limit(4096);
        err = expect_fatal([] { output2(); });
    }
    EXPECT_NE(err.find("run.Perm-L1-GST"), std::string::npos) << err;
    EXPECT_TRUE(files().empty());
}

// ---- Against the straightforward road on random data ------------------------------

// Kinds of permuted values, one per locus: value k (0-based) of n. They bring
// ties, zeros of both signs, subnormals, infinities, NaNs, the marker, values
// too wide for the field, and orders that a regular sample of the values
// would misjudge.
using ValueKind = float (*)(std::mt19937& gen, std::size_t k, std::size_t n);

float unit(std::mt19937& gen) { return std::uniform_real_distribution<float>(0.0f, 1.0f)(gen); }

template <std::size_t N>
float one_of(std::mt19937& gen, const std::array<float, N>& values) {
    return values[std::uniform_int_distribution<std::size_t>(0, N - 1)(gen)];
}

const ValueKind value_kinds[] = {
    // Few distinct values, many ties, both signs.
    [](std::mt19937& gen, std::size_t, std::size_t) { return static_cast<float>(gen() % 8u) / 8.0f - 0.25f; },
    [](std::mt19937& gen, std::size_t, std::size_t) { return unit(gen); },
    [](std::mt19937&, std::size_t k, std::size_t n) { return static_cast<float>(k) / static_cast<float>(n); },
    [](std::mt19937&, std::size_t k, std::size_t n) { return static_cast<float>(n - k) / static_cast<float>(n); },
    [](std::mt19937&, std::size_t, std::size_t) { return misloc; },
    [](std::mt19937&, std::size_t k, std::size_t) { return static_cast<float>(k % 37u) / 37.0f; },
    // Zeros of both signs and subnormals, which compare equal to zero when
    // denormals are taken as zero.
    [](std::mt19937& gen, std::size_t, std::size_t) {
        return one_of(gen, std::array<float, 8>{0.0f, -0.0f, from_bits(1u), from_bits(0x80000001u), from_bits(0x007FFFFFu),
                                                from_bits(0x807FFFFFu), 0.001f, -0.001f});
    },
    [](std::mt19937& gen, std::size_t, std::size_t) {
        return one_of(gen, std::array<float, 6>{-inf, inf, misloc, 0.25f, 150.0f, -0.03125f});
    },
    // The values at regular places from another range than the others.
    [](std::mt19937& gen, std::size_t k, std::size_t n) {
        return k % std::max<std::size_t>(1, n / 1024) == 0 ? unit(gen) : 0.5f + unit(gen) / 2.0f;
    },
    [](std::mt19937& gen, std::size_t k, std::size_t n) {
        return k % std::max<std::size_t>(1, n / 1000) == 0 ? 2.0f * unit(gen) : unit(gen) / 4.0f;
    },
    // The same, misjudging only the lower or only the upper end.
    [](std::mt19937& gen, std::size_t k, std::size_t n) {
        return k % std::max<std::size_t>(1, n / 1024) == 0 ? 0.4f + 0.6f * unit(gen) : unit(gen);
    },
    [](std::mt19937& gen, std::size_t k, std::size_t n) {
        return k % std::max<std::size_t>(1, n / 1024) == 0 ? 0.6f * unit(gen) : unit(gen);
    },
    // One value in most places, a few others on either side of it.
    [](std::mt19937& gen, std::size_t, std::size_t) {
        const float r = unit(gen);
        return r < 0.03f ? r : r > 0.97f ? r + 1.0f : 0.5f;
    },
    // Long runs of equal values around both quantile ranks.
    [](std::mt19937& gen, std::size_t, std::size_t) {
        const float r = unit(gen);
        if (r < 0.015f) return r;
        if (r < 0.1f) return 0.3f;
        if (r < 0.9f) return 0.3f + r;
        if (r < 0.985f) return 2.0f;
        return 2.0f + r;
    },
    [](std::mt19937& gen, std::size_t, std::size_t) { return gen() % 200u == 0 ? nan_value : unit(gen); },
    [](std::mt19937& gen, std::size_t k, std::size_t n) { return k == n / 3 ? nan_value : unit(gen); },
};
constexpr std::size_t kind_count = std::size(value_kinds);

// One locus per kind, with permuted values of every kind drawn afresh for Ht,
// Hs and Gst.
void random_kinds(const std::string& prefix, std::int32_t n, std::uint32_t seed) {
    set_prefix(prefix);
    std::vector<Locus> loci;
    for (std::size_t i = 0; i < kind_count; ++i) {
        std::string id = "P";
        id += std::to_string(i + 1);
        loci.push_back({id, static_cast<int>(i), 0.5f, 0.25f, -0.03125f});
    }
    set_loci(loci);
    std::mt19937 gen(seed);
    const auto count = static_cast<std::size_t>(n);
    set_permutations(n, [&](std::size_t l, std::size_t k) -> std::array<float, 3> {
        const ValueKind kind = value_kinds[l - 1];
        const float ht = kind(gen, k - 1, count);
        const float hs = kind(gen, k - 1, count);
        return {ht, hs, kind(gen, k - 1, count)};
    });
}

// The per-locus file as the index sort gives it: each locus's values of one
// quantity gathered, sorted by indexx, and the values of ranks
// max(1, round(0.025 N)) and round(0.975 N) written in the exact form.
std::string reference_locus_file() {
    const Variables& v = variables;
    const std::int32_t n = v.numpermut;
    const auto lower = std::max<std::int32_t>(1, static_cast<std::int32_t>(std::lround(static_cast<float>(n) * 0.025f)));
    const auto upper = static_cast<std::int32_t>(std::lround(static_cast<float>(n) * 0.975f));
    std::string all = "Locus,#Allele,Ht,Hs,Gst,Ht(.025),Ht(.975),Hs(.025),Hs(.975),Gst(.025),Gst(.975)";
    all += platform::line_end;
    std::vector<float> values(static_cast<std::size_t>(n));
    std::vector<std::int32_t> order(static_cast<std::size_t>(n));
    for (std::ptrdiff_t l = 1; l <= v.numloci; ++l) {
        all += std::string(trimmed_right(v.locusid(l))) + "," + std::to_string(v.alleleobs(l)) + "," +
               format_fixed(v.ht_t(l), 7) + "," + format_fixed(v.hs_t(l), 7) + "," + format_fixed(v.gst_t(l), 7);
        for (const Table* x : {&v.ht_p, &v.hs_p, &v.gst_p}) {
            for (std::size_t k = 0; k < values.size(); ++k) values[k] = (*x)(static_cast<std::size_t>(l), k + 1);
            indexx(n, values.data(), order.data());
            for (const std::int32_t rank : {lower, upper}) {
                all += ",";
                all += format_fixed(values[static_cast<std::size_t>(order[static_cast<std::size_t>(rank - 1)] - 1)], 7);
            }
        }
        all += platform::line_end;
    }
    return all;
}

// The bits of a permuted table, to see that nothing moved.
std::vector<std::uint32_t> table_bits(const Table& t) {
    std::vector<std::uint32_t> b;
    for (std::size_t k = 1; k <= t.cols(); ++k)
        for (std::size_t l = 1; l <= t.rows(); ++l) b.push_back(bits(t(l, k)));
    return b;
}

TEST_F(OutputTest, Output1QuantilesMatchTheIndexSortOnRandomData) {
    // Small counts, the quantile ranks' table, and counts on both sides of
    // where a sample first narrows the search.
    const std::int32_t counts[] = {1, 2, 3, 7, 8, 10, 20, 21, 40, 60, 100, 999, 1000, 16383, 16384, 20000, 32768};
    for (const bool flush_to_zero : {false, true}) {
        for (const std::int32_t n : counts) {
            SCOPED_TRACE(testing::Message() << "N = " << n << (flush_to_zero ? ", flush to zero" : ""));
            reset_program_state();
            random_kinds("rq", n, static_cast<std::uint32_t>(n) + (flush_to_zero ? 1000u : 0u));
            const auto ht = table_bits(variables.ht_p);
            const auto hs = table_bits(variables.hs_p);
            const auto gst = table_bits(variables.gst_p);
            // The program runs with flush-to-zero and denormals-are-zero,
            // under which subnormals compare equal to zero, in the sort too.
            std::optional<FloatingPointMode> fp_mode;
            fp_mode.emplace(flush_to_zero);
            const StepResult result = run_captured([] { output1(0.0f, 0.0f, 0.0f, 0.0f, 0.0f); });
            const std::string want = reference_locus_file();
            fp_mode.reset();
            EXPECT_EQ(result.status, -1);
            EXPECT_EQ(dir.read("rq.LocusGST"), want);
            EXPECT_TRUE(table_bits(variables.ht_p) == ht && table_bits(variables.hs_p) == hs &&
                        table_bits(variables.gst_p) == gst);
        }
    }
}

// The values of one per-permutation file in the exact fixed-point form, each
// followed by a comma except the last, a line end after every tenth and
// after the last.
std::string reference_value_file(const std::vector<float>& values) {
    std::string all;
    for (std::size_t k = 0; k < values.size(); ++k) {
        all += format_fixed(values[k], 7);
        if (k + 1 < values.size()) all += ",";
        if (k + 1 == values.size() || (k + 1) % 10 == 0) all += platform::line_end;
    }
    return all;
}

TEST_F(OutputTest, Output2FilesMatchTheExactFormOnRandomData) {
    for (const std::int32_t n : {1, 9, 10, 11, 19, 20, 21, 25, 1001}) {
        SCOPED_TRACE(testing::Message() << "N = " << n);
        reset_program_state();
        clear();
        random_kinds("rp", n, 77u + static_cast<std::uint32_t>(n));
        const StepResult result = run_captured([] { output2(); });
        EXPECT_EQ(result.status, -1);
        const Variables& v = variables;
        const auto count = static_cast<std::size_t>(n);
        std::array<std::vector<float>, 3> means;  // Gst, Hs, Ht
        for (std::size_t k = 1; k <= count; ++k) {
            float sum_ht = 0.0f, sum_hs = 0.0f;
            std::int32_t count_ht = 0, count_hs = 0;
            for (std::size_t l = 1; l <= kind_count; ++l) {
                if (v.ht_p(l, k) > 0.0f) {
                    sum_ht += v.ht_p(l, k);
                    ++count_ht;
                }
                if (v.hs_p(l, k) > 0.0f) {
                    sum_hs += v.hs_p(l, k);
                    ++count_hs;
                }
            }
            const float mean_ht = sum_ht / static_cast<float>(count_ht);
            const float mean_hs = sum_hs / static_cast<float>(count_hs);
            means[0].push_back(1.0f - mean_hs / mean_ht);
            means[1].push_back(mean_hs);
            means[2].push_back(mean_ht);
        }
        for (std::size_t l = 1; l <= kind_count; ++l) {
            std::string base = "rp.Perm-P";
            base += std::to_string(l);
            base += "-";
            const std::pair<const char*, const Table*> quantities[] = {{"GST", &v.gst_p}, {"HS", &v.hs_p}, {"HT", &v.ht_p}};
            for (const auto& [suffix, table] : quantities) {
                std::vector<float> values;
                for (std::size_t k = 1; k <= count; ++k) values.push_back((*table)(l, k));
                EXPECT_EQ(dir.read(base + suffix), reference_value_file(values)) << base + suffix;
            }
        }
        EXPECT_EQ(dir.read("rp.Perm-Mean-GST"), reference_value_file(means[0]));
        EXPECT_EQ(dir.read("rp.Perm-Mean-HS"), reference_value_file(means[1]));
        EXPECT_EQ(dir.read("rp.Perm-Mean-HT"), reference_value_file(means[2]));
        EXPECT_EQ(files().size(), 3 * kind_count + 3);
    }
}

}  // namespace
