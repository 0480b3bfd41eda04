#include "analysis/readdata.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "analysis/variables.h"
#include "platform/platform.h"
#include "tests/test_support.h"

namespace {

constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();

// An input file, item by item in the order the reader takes them.
struct Input {
    std::string prefix = "out";
    std::string numpermut = "0";
    std::string outpermresult = "0";
    std::string seed = "17";
    std::string individ = "0";
    std::string missing = "0";
    std::string numpop = "2";
    std::string numloci = "2";
    std::string ids = "A B";
    std::string populations =
        "2\n"
        "1 1 2 2\n"
        "1 2 2 2\n"
        "2\n"
        "3 3 2 2\n"
        "1 3 0 9\n";

    std::string text() const {
        return prefix + "\n" + numpermut + "\n" + outpermresult + "\n" + seed + "\n" + individ + "\n" +
               missing + "\n" + numpop + "\n" + numloci + "\n" + ids + "\n" + populations;
    }
};

// Runs the reader from the start state on a file holding `content`.
StepResult read_input(const std::string& content) {
    reset_program_state();
    ScratchDir dir;
    set_arguments({dir.write("in.txt", content)});
    return run_captured(readdata);
}

std::string id(std::ptrdiff_t l) {
    const LocusText& t = variables.locusid(l);
    return std::string(t.begin(), t.end());
}

std::string padded(const std::string& s, std::size_t n) { return s + std::string(n - s.size(), ' '); }

std::string stop_line(const std::string& message) { return " " + message + "\n"; }

TEST(ReadData, FillsTheDataModel) {
    auto r = read_input(Input{}.text());
    ASSERT_EQ(r.status, -1) << r.out;
    EXPECT_EQ(r.out, "");
    const Variables& v = variables;
    EXPECT_EQ(v.outfilename, "out");
    EXPECT_EQ(v.numpermut, 0);
    EXPECT_EQ(v.outpermresult, 0);
    EXPECT_EQ(v.idum, -17);
    EXPECT_EQ(v.individ, 0);
    EXPECT_EQ(v.misdata, 127);
    EXPECT_EQ(v.numpop, 2);
    EXPECT_EQ(v.numloci, 2);
    EXPECT_EQ(id(1), padded("A", 20));
    EXPECT_EQ(id(2), padded("B", 20));
    EXPECT_EQ(v.smplsize(1), 2);
    EXPECT_EQ(v.smplsize(2), 2);
    EXPECT_EQ(v.alleleobs(1), 3);
    EXPECT_EQ(v.alleleobs(2), 1);  // 9 stands in a missing genotype
    EXPECT_EQ(codes(1, 1), (std::vector<int>{-128, -128, -128, -127}));
    EXPECT_EQ(codes(1, 2), (std::vector<int>{-128, -128, -128, -128}));
    EXPECT_EQ(codes(2, 1), (std::vector<int>{-126, -126, -128, -126}));
    EXPECT_EQ(codes(2, 2), (std::vector<int>{-128, -128, 127, 127}));
    EXPECT_EQ(v.nindiv, 4);
    EXPECT_EQ(v.locpop.first(), 0);
    EXPECT_EQ(v.locpop(0), 0);
    EXPECT_EQ(v.locpop(1), 2);
    EXPECT_EQ(v.locpop(2), 4);
    EXPECT_EQ(v.crrtdata.size(), 2u);
    EXPECT_EQ(v.permdata.individuals(), 4u);
    EXPECT_EQ(v.permdata.loci(), 2u);
}

TEST(ReadData, CrlfLineEndsReadLikeLineFeeds) {
    Input in;
    in.prefix = "'a\nb'";  // a delimited prefix continued over a line end
    in.ids = "A\n'B  \n'";
    std::string lf = in.text(), crlf;
    for (char c : lf) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);

    auto r = read_input(crlf);
    ASSERT_EQ(r.status, -1) << r.out;
    const std::string prefix = variables.outfilename;
    const std::string ids = id(1) + id(2);
    const auto c11 = codes(1, 1), c22 = codes(2, 2);

    ASSERT_EQ(read_input(lf).status, -1);
    EXPECT_EQ(prefix, "ab");
    EXPECT_EQ(prefix, variables.outfilename);
    EXPECT_EQ(ids, padded("A", 20) + padded("B", 20));
    EXPECT_EQ(ids, id(1) + id(2));
    EXPECT_EQ(c11, codes(1, 1));
    EXPECT_EQ(c22, codes(2, 2));
}

// Any cut of an input before its last value stops the reader with one line on
// standard output and nothing on standard error, with either line end. (The
// whole-run tests run a few of these cuts through the program.)
TEST(ReadData, EveryTruncationStopsWithOneLine) {
    Input in;
    in.seed = "12345";
    in.populations = "2\n1 1 2 2\n1 2 2 2\n3\n3 3 2 2\n1 3 0 9\n2 2 2 2\n";
    for (const std::string eol : {"\n", "\r\n"}) {
        std::string whole;
        for (char c : in.text()) whole += c == '\n' ? eol : std::string(1, c);
        const std::size_t last_value = whole.find_last_of("0123456789");
        for (std::size_t n = 0; n <= last_value; ++n) {
            SCOPED_TRACE(std::to_string(n) + " bytes" + (eol == "\n" ? " (LF)" : " (CRLF)"));
            testing::internal::CaptureStderr();
            const auto r = read_input(whole.substr(0, n));
            EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
            EXPECT_EQ(r.status, platform::status_data_error);
            ASSERT_GE(r.out.size(), 2u);
            EXPECT_EQ(r.out[0], ' ');
            EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << r.out;
        }
    }
}

TEST(ReadData, IntegerParameters) {
    struct Case {
        std::string Input::*field;
        const char* text;
        std::int32_t* member;  // in the data model
        std::int32_t value;
    } cases[] = {
        {&Input::numpermut, "10000000", &variables.numpermut, 10000000},
        {&Input::numpermut, "12.7", &variables.numpermut, 12},
        {&Input::numpermut, "1E2", &variables.numpermut, 100},
        {&Input::numpermut, "  5   and a comment, with / in it", &variables.numpermut, 5},
        {&Input::numpermut, "\n\n5", &variables.numpermut, 5},
        {&Input::numpermut, ",5", &variables.numpermut, 0},  // a null value: the start value stays
        {&Input::numpermut, "/", &variables.numpermut, 0},
        {&Input::outpermresult, "1", &variables.outpermresult, 1},
        {&Input::outpermresult, "1.9", &variables.outpermresult, 1},
        {&Input::seed, "17", &variables.idum, -17},
        {&Input::seed, "-17", &variables.idum, -17},
        {&Input::seed, "0", &variables.idum, 0},
        {&Input::seed, "2147483647", &variables.idum, -2147483647},
        {&Input::seed, "-2147483648", &variables.idum, kMin},
        {&Input::seed, "1E10", &variables.idum, kMin},
        {&Input::seed, "3*4", &variables.idum, -4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        Input in;
        in.*c.field = c.text;
        auto r = read_input(in.text());
        ASSERT_EQ(r.status, -1) << r.out;
        EXPECT_EQ(*c.member, c.value);
    }
}

TEST(ReadData, OutputPrefix) {
    struct Case {
        std::string text;
        std::string prefix;
    } cases[] = {
        {"results/run1", "results"},
        {"'results/run1'", "results/run1"},
        {"\"my dir/out, one\"", "my dir/out, one"},
        {"'  lead'", "  lead"},
        {"'it''s'", "it's"},
        {std::string(120, 'x'), std::string(120, 'x')},
        {"'" + std::string(150, 'y') + "'", std::string(150, 'y')},
        {"\xEF\xBB\xBF'example'", "example"},  // the byte-order mark of a UTF-8 file is skipped
        {"\xEF\xBB\xBF\xEF\xBB\xBFx", "\xEF\xBB\xBFx"},  // only one, at the very start
        {",", ""},
        {"/", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        Input in;
        in.prefix = c.text;
        auto r = read_input(in.text());
        ASSERT_EQ(r.status, -1) << r.out;
        EXPECT_EQ(variables.outfilename, c.prefix);
    }
}

TEST(ReadData, LocusIds) {
    struct Case {
        std::string text;
        std::vector<std::string> ids;
    } cases[] = {
        {"A B C", {"A", "B", "C"}},
        {"A\nB\n\nC and whatever follows", {"A", "B", "C"}},
        {"A,B\n,C", {"A", "B", "C"}},
        {"'  x' 'B  y' C", {"x", "B  y", "C"}},
        {"abcdefghijklmnopqrstuvwxyz B C", {"abcdefghijklmnopqrst", "B", "C"}},
        {"A /C", {"A", "", ""}},
        {"A,,C", {"A", "", "C"}},
        {"3*L", {"L", "L", "L"}},
        {"\xEF\xBB\xBF B C", {"\xEF\xBB\xBF", "B", "C"}},  // away from the start, an ordinary text
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        Input in;
        in.numloci = "3";
        in.ids = c.text;
        in.populations = "2\n1 1 1 1 1 1\n1 1 1 1 1 1\n2\n1 1 1 1 1 1\n1 1 1 1 1 1\n";
        auto r = read_input(in.text());
        ASSERT_EQ(r.status, -1) << r.out;
        for (std::size_t l = 0; l < 3; ++l) EXPECT_EQ(id(static_cast<std::ptrdiff_t>(l + 1)), padded(c.ids[l], 20));
    }
}

TEST(ReadData, IndividualRecords) {
    struct Case {
        const char* name;
        std::string individ;
        std::string population1;  // two individuals at two loci
        std::vector<int> locus1, locus2;
    } cases[] = {
        {"one line each", "0", "1 2 3 4\n2 1 4 3\n", {-128, -127, -127, -128}, {-128, -127, -127, -128}},
        {"continued over lines", "0", "1\n\n2 3\n4 junk\n2 1 4 3\n", {-128, -127, -127, -128}, {-128, -127, -127, -128}},
        {"values beyond the record ignored", "0", "1 2 3 4 5 6\n7 7 7 7\n", {-128, -127, -126, -126}, {-128, -127, -126, -126}},
        {"real values truncated", "0", "1.5 2.9 3 4\n-0.5 1 1 1\n", {-128, -127, -126, -128}, {-128, -127, -126, -126}},
        {"with IDs", "1", "ind1 1 2 3 4\n'ind 2' 2 1 4 3\n", {-128, -127, -127, -128}, {-128, -127, -127, -128}},
        {"IDs are not alleles", "1", "7 1 2 3 4\n7 1 2 3 4\n", {-128, -127, -128, -127}, {-128, -127, -128, -127}},
        // A null value or a slash keeps what the previous record left; the
        // first record starts from zeros (here the missing value is -1).
        {"slash keeps the previous values", "0", "1 2 3 4\n5 /\n", {-128, -127, -126, -127}, {-128, -127, -128, -127}},
        {"nulls keep the previous values", "0", "1 2 3 4\n,,,8\n", {-128, -127, -128, -127}, {-128, -127, -128, -126}},
        {"first record from zeros", "0", "1/\n2*,5 6\n", {-128, -127, -128, -127}, {-128, -128, -127, -126}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Input in;
        in.individ = c.individ;
        in.missing = "-1";
        in.populations = "2\n" + c.population1 + "2\n1 1 1 1 1\n1 1 1 1 1\n";
        auto r = read_input(in.text());
        ASSERT_EQ(r.status, -1) << r.out;
        EXPECT_EQ(codes(1, 1), c.locus1);
        EXPECT_EQ(codes(1, 2), c.locus2);
    }
}

TEST(ReadData, FirstBadItemInTheFileIsReported) {
    struct Case {
        const char* name;
        std::string populations;
        std::string message;
    } cases[] = {
        {"sample size after the records before it", "2\n1 1 1 1\n2 2 2 2\n1\n",
         "Sample size too small for population 2"},
        {"null sample size", "2\n1 1 1 1\n2 2 2 2\n,5\n", "Sample size too small for population 2"},
        {"missing sample size", "2\n1 1 1 1\n2 2 2 2\n", "Error in reading sample size for population 2"},
        {"bad sample size", "2\n1 1 1 1\n2 2 2 2\n2x\n", "Error in reading sample size for population 2"},
        {"end inside a record", "2\n1 1 1 1\n2 2 2 2\n3\n1 1 1 1\n1 1 1 1\n1 1\n",
         "Error in reading data for individual 3 in population 2"},
        {"bad allele", "2\n1 1 1 1\n2 2 2 x\n", "Error in reading data for individual 2 in population 1"},
        {"allele out of range", "2\n1 1 1 1\n2 2 2 2147483648\n",
         "Error in reading data for individual 2 in population 1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Input in;
        in.populations = c.populations;
        auto r = read_input(in.text());
        EXPECT_EQ(r.status, platform::status_data_error);
        EXPECT_EQ(r.out, stop_line(c.message));
    }
}

TEST(ReadData, AlleleLimitComesBeforeALaterBadSampleSize) {
    Input in;
    in.numloci = "1";
    in.ids = "A";
    in.missing = "-1";
    std::string pop1 = "128\n";
    for (int i = 0; i < 128; ++i) pop1 += std::to_string(2 * i) + " " + std::to_string(2 * i + 1) + "\n";
    in.populations = pop1 + "1\n";
    auto r = read_input(in.text());
    EXPECT_EQ(r.status, platform::status_data_error);
    EXPECT_EQ(r.out, stop_line("#Alleles per locus > 255!"));
}

TEST(ReadData, NumbersAboveSixDigitsShowAsAsterisks) {
    Input in;
    in.numloci = "1";
    in.ids = "A";
    std::string pop1 = "1000001\n";
    for (int i = 0; i < 1000000; ++i) pop1 += "1 1\n";
    in.populations = pop1;
    auto r = read_input(in.text());
    EXPECT_EQ(r.out, stop_line("Error in reading data for individual ****** in population 1"));
}

TEST(ReadData, InputFileName) {
    ScratchDir dir;
    const std::string content = Input{}.text();
    dir.write("Tuvamo.InFile", content);
    dir.write("in.txt", content);
    const std::string long_name(150, 'n');
    dir.write(long_name, content);
    dir.write(std::string(99, 'n'), "not an input\n");
    std::filesystem::create_directory(dir.path() / "sub");
    ChangeDir cd(dir.path());
    EnvironmentVariable home("HOME");
    home.set(dir.path().string());

    struct Case {
        std::vector<std::string> args;
        bool found;
        std::string err;  // the line on standard error when the file is not found
    } cases[] = {
        {{}, true, ""},
        {{""}, true, ""},
        {{"    "}, true, ""},
        {{"in.txt"}, true, ""},
        {{"  in.txt  "}, true, ""},
        {{"in.txt", "ignored.txt"}, true, ""},
        {{"~/in.txt"}, true, ""},
        {{long_name}, true, ""},  // used whole, not cut to the 99-character file beside it
        {{long_name + "x"}, false, "Tuvamo: cannot open input file: " + long_name + "x: No such file or directory\n"},
        {{"absent.txt"}, false, "Tuvamo: cannot open input file: absent.txt: No such file or directory\n"},
        {{"sub"}, false, "Tuvamo: cannot open input file: sub: Is a directory\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.empty() ? "(none)" : c.args[0]);
        reset_program_state();
        set_arguments(c.args);
        testing::internal::CaptureStderr();
        auto r = run_captured(readdata);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err);
        if (c.found) {
            EXPECT_EQ(r.status, -1) << r.out;
            EXPECT_EQ(variables.outfilename, "out");
        } else {
            EXPECT_EQ(r.status, platform::status_data_error);
            EXPECT_EQ(r.out, stop_line("The input file does not exist!"));
        }
    }

    std::filesystem::remove(dir.path() / "Tuvamo.InFile");
    reset_program_state();
    set_arguments({});
    testing::internal::CaptureStderr();
    EXPECT_EQ(run_captured(readdata).out, stop_line("The input file does not exist!"));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Tuvamo: cannot open input file: Tuvamo.InFile: No such file or directory\n");
}

// Tables grow with the values that back them: a count that the file does not
// back ends with the message of the read that runs out of values, within a
// memory limit far below what the count alone would ask for.
TEST(ReadData, HugeCountsWithoutTheValuesEndWithTheReadersMessage) {
    struct Case {
        const char* name;
        std::string Input::*field;
        std::string text;
        std::string message;
    } cases[] = {
        {"loci", &Input::numloci, "2147483647", "Error reading locus IDs!"},
        {"loci within the 32-bit range", &Input::numloci, "100000000", "Error reading locus IDs!"},
        {"populations", &Input::numpop, "2147483647", "Error in reading sample size for population 3"},
        {"sample size", &Input::populations, "2147483647\n1 1 2 2\n",
         "Error in reading data for individual 2 in population 1"},
    };
    AllocationLimit limit(std::size_t{1} << 24);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Input in;
        in.*c.field = c.text;
        auto r = read_input(in.text());
        EXPECT_EQ(r.status, platform::status_data_error);
        EXPECT_EQ(r.out, stop_line(c.message));
    }
}

// The total of the sample sizes must fit the 32-bit numbering of the
// individuals; the sample size that passes it is refused with its read's
// message, after every record before it.
TEST(ReadData, IndividualsBeyondThirtyTwoBitsAreAnInputError) {
    Input in;
    in.numpop = "3";
    in.populations = "2\n1 1 2 2\n1 2 2 2\n2147483646\n";
    auto r = read_input(in.text());
    EXPECT_EQ(r.status, platform::status_data_error);
    EXPECT_EQ(r.out, stop_line("Error in reading sample size for population 2"));
}

// The memory of the permutation tables is held once the locus IDs are read,
// so a run that cannot hold them ends before any genotype is read.
TEST(ReadData, PermutationTablesBeyondTheMemoryLimitEndTheRunEarly) {
    Input in;
    in.numpermut = "10000000";
    in.populations = "2\n1 1 2 2\nnot a record\n";
    AllocationLimit limit(std::size_t{1} << 26);
    testing::internal::CaptureStderr();
    auto r = read_input(in.text());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Tuvamo: memory exhausted\n");
    EXPECT_EQ(r.status, platform::status_fatal);
    EXPECT_EQ(r.out, "");

    in.numpermut = "100000";  // 2.4 MB of tables: the records are read
    r = read_input(in.text());
    EXPECT_EQ(r.out, stop_line("Error in reading data for individual 2 in population 1"));
}

TEST(StopOnDataError, WritesTheTrimmedMessageAndStops) {
    struct Case {
        const char* message;
        const char* line;
    } cases[] = {
        {"Error reading locus IDs!", " Error reading locus IDs!\n"},
        {"   padded both ends   ", " padded both ends\n"},
        {"", " \n"},
        {"     ", " \n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        auto r = run_captured([&] { stopondataerror(c.message); });
        EXPECT_EQ(r.status, platform::status_data_error);
        EXPECT_EQ(r.out, c.line);
    }
}

}  // namespace
