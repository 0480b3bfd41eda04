// Whole runs that stop in the input reader.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/e2e/e2e_support.h"

namespace {

// A valid input, one item per line: output prefix, numpermut, outpermresult,
// seed, individ, missing value, numpop, numloci, locus IDs, then per
// population its sample size and its records.
const std::vector<std::string> kSample = {
    "out",        // 0
    "0",          // 1
    "0",          // 2
    "12345",      // 3
    "0",          // 4
    "0",          // 5
    "2",          // 6
    "2",          // 7
    "A B",        // 8
    "2",          // 9
    "1 1 2 2",    // 10
    "1 2 2 2",    // 11
    "3",          // 12
    "3 3 2 2",    // 13
    "1 3 0 9",    // 14
    "2 2 2 2",    // 15
};

std::string join(const std::vector<std::string>& lines, const std::string& eol = "\n") {
    std::string s;
    for (const auto& l : lines) s += l + eol;
    return s;
}

std::vector<std::string> with(std::size_t line, const std::string& text) {
    auto lines = kSample;
    lines[line] = text;
    return lines;
}

std::vector<std::string> first(std::size_t n) { return {kSample.begin(), kSample.begin() + static_cast<std::ptrdiff_t>(n)}; }

// The sample with one locus whose population 1 brings 256 distinct values.
std::vector<std::string> too_many_alleles() {
    std::vector<std::string> lines = first(9);
    lines[7] = "1";
    lines[8] = "A";
    lines.push_back("128");
    for (int i = 0; i < 128; ++i) lines.push_back(std::to_string(2 * i + 1) + " " + std::to_string(2 * i + 2));
    return lines;
}

// A run that must not hang: `timeout` ends it after two minutes (status 124).
const std::string kBounded = "timeout 120";

// Standard output of a run that stops on `message` in the reader.
std::string stopped(const std::string& message) { return e2e::kReading + " " + message + "\n"; }

void expect_single_stop_line(const e2e::Run& run) {
    EXPECT_EQ(run.status, 1) << run.out << run.err;
    ASSERT_EQ(run.out.rfind(e2e::kReading, 0), 0u) << run.out;
    const std::string rest = run.out.substr(e2e::kReading.size());
    ASSERT_GE(rest.size(), 2u);
    EXPECT_EQ(rest[0], ' ');
    EXPECT_EQ(rest.find('\n'), rest.size() - 1) << rest;
    EXPECT_EQ(run.err, "");
}

TEST(ReaderStops, EachMessageWithLfAndCrlfLineEnds) {
    struct Case {
        const char* name;
        std::vector<std::string> lines;
        std::string message;
    } cases[] = {
        {"empty file", {}, "Error reading output file name"},
        {"empty lines only", {"", "", "  "}, "Error reading output file name"},
        {"no permutation number", first(1), "Error reading number of permutation!"},
        {"permutation number 12a", with(1, "12a"), "Error reading number of permutation!"},
        {"permutation number 10000001", with(1, "10000001"),
         "Permutation number should be >=0 (No permutation) and <= 10000000"},
        {"permutation number -1", with(1, "-1"), "Permutation number should be >=0 (No permutation) and <= 10000000"},
        {"output switch x", with(2, "x"), "Error reading indicator of output result / permutation!"},
        {"output switch 2", with(2, "2"), "Indicator of output result/permutation must be 0/1 (N/Y)!"},
        {"seed 2147483648", with(3, "2147483648"), "Error reading seed of random number generator!"},
        {"ID switch T", with(4, "T"), "Error reading indicator for individual ID!"},
        {"ID switch 2", with(4, "2"), "Indicator for individual ID must be 0/1!"},
        {"no missing value", first(5), "Error reading indicator for missing data!"},
        {"populations two", with(6, "two"), "Error reading number of populations!"},
        {"populations 1", with(6, "1"), "Number of populations must > 1!"},
        {"no loci", first(7), "Error reading number of loci!"},
        {"loci 0", with(7, "0"), "Number of loci must be > 0!"},
        {"no locus IDs", first(8), "Error reading locus IDs!"},
        {"unclosed locus ID", with(8, "A 'B"), "Error reading locus IDs!"},
        {"sample size x", with(9, "x"), "Error in reading sample size for population 1"},
        {"sample size 1", with(12, "1"), "Sample size too small for population 2"},
        {"no third record", first(15), "Error in reading data for individual 3 in population 2"},
        {"short third record", with(15, "2 2 2"), "Error in reading data for individual 3 in population 2"},
        {"allele 2x", with(11, "1 2 2x 2"), "Error in reading data for individual 2 in population 1"},
        {"256th allele", too_many_alleles(), "#Alleles per locus > 255!"},
    };
    for (const auto& c : cases) {
        for (const std::string eol : {"\n", "\r\n"}) {
            SCOPED_TRACE(std::string(c.name) + (eol == "\n" ? " (LF)" : " (CRLF)"));
            ScratchDir dir;
            dir.write("Tuvamo.InFile", join(c.lines, eol));
            auto run = e2e::run(dir.path(), {});
            EXPECT_EQ(run.out, stopped(c.message));
            EXPECT_EQ(run.status, 1);
            EXPECT_EQ(run.err, "");
            EXPECT_EQ(e2e::files_in(dir.path()), std::set<std::string>{"Tuvamo.InFile"});
        }
    }
}

TEST(ReaderStops, InputFileThatDoesNotExist) {
    ScratchDir dir;
    dir.write("other.txt", join(kSample));
    std::filesystem::create_directory(dir.path() / "sub");
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {}, {"   "}, {"absent.txt"}, {"sub"}, {"  absent.txt  "}}) {
        SCOPED_TRACE(args.empty() ? "(none)" : args[0]);
        auto run = e2e::run(dir.path(), args);
        EXPECT_EQ(run.out, stopped("The input file does not exist!"));
        EXPECT_EQ(run.status, 1);
        const std::string name = args.empty() || args[0] == "   " ? "Tuvamo.InFile" : args[0] == "sub" ? "sub" : "absent.txt";
        const std::string reason = name == "sub" ? "Is a directory" : "No such file or directory";
        EXPECT_EQ(run.err, "Tuvamo: cannot open input file: " + name + ": " + reason + "\n");
    }
}

// Any cut before the last value leaves a read short of values. Every cut of
// this sample is read by the reader's own test in one process; here cuts of
// each kind run through the program: nothing, within the first item, between
// a line's last value and its line end, within a line end, within the
// records, and just before the last value.
TEST(ReaderHostile, TruncationsStopWithOneLine) {
    for (const std::string eol : {"\n", "\r\n"}) {
        const std::string whole = join(kSample, eol);
        const std::size_t ids_end = whole.find("A B") + 3;
        const std::size_t last_value = whole.find_last_of("0123456789");
        for (const std::size_t n : {std::size_t{0}, std::size_t{2}, ids_end, ids_end + 1, whole.find("1 3 0") + 3,
                                    last_value}) {
            SCOPED_TRACE(std::to_string(n) + " bytes" + (eol == "\n" ? " (LF)" : " (CRLF)"));
            ScratchDir dir;
            dir.write("Tuvamo.InFile", whole.substr(0, n));
            expect_single_stop_line(e2e::run(dir.path(), {}, kBounded));
        }
    }
}

TEST(ReaderHostile, BinaryBytesStopWithOneLine) {
    std::uint32_t state = 12345;
    auto bytes = [&](std::size_t n) {
        std::string s;
        for (std::size_t i = 0; i < n; ++i) {
            state = state * 1664525u + 1013904223u;
            s += static_cast<char>(state >> 24);
        }
        return s;
    };
    const std::string header = join(first(9));
    const std::vector<std::string> inputs = {
        bytes(4096),
        bytes(4096),
        header + bytes(4096),
        header + "2\n" + bytes(100000),
        std::string("out\n0\0\n", 7) + join(with(0, "x")),
        std::string(5000, '\0'),
        std::string("'") + bytes(4096),
    };
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        SCOPED_TRACE("input " + std::to_string(i));
        ScratchDir dir;
        dir.write("Tuvamo.InFile", inputs[i]);
        expect_single_stop_line(e2e::run(dir.path(), {}, kBounded));
    }
}

TEST(ReaderHostile, HugeNumbersAndEndlessLines) {
    const std::string endless(20'000'000, 'z');
    struct Case {
        const char* name;
        std::string content;
        std::string message;
    } cases[] = {
        {"100000-digit permutation number", join(with(1, std::string(100000, '9'))),
         "Error reading number of permutation!"},
        {"real permutation number beyond range", join(with(1, "1E999999999999")),
         "Permutation number should be >=0 (No permutation) and <= 10000000"},
        {"huge sample size as a real", join(with(9, "-9E99")), "Sample size too small for population 1"},
        {"endless comment", join(with(6, std::string("1 ") + endless)), "Number of populations must > 1!"},
        {"endless prefix", endless + "\nx\n", "Error reading output file name"},
        {"endless unclosed prefix", std::string("'") + endless, "Error reading output file name"},
        {"endless empty lines", std::string(5'000'000, '\n'), "Error reading output file name"},
        {"huge repeat count", [] {
             auto lines = with(8, "99999999999999999999999999*A");
             lines[9] = "1";
             return join(lines);
         }(),
         "Sample size too small for population 1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir dir;
        dir.write("Tuvamo.InFile", c.content);
        auto run = e2e::run(dir.path(), {}, kBounded);
        EXPECT_EQ(run.out, stopped(c.message));
        EXPECT_EQ(run.status, 1);
    }
}

// A count that the file does not back ends with the message of the read that
// runs out of values, and costs no more memory than the values present.
TEST(ReaderHostile, HugeCountsWithoutTheValuesEndWithTheReadersMessage) {
    const std::string example = read_file(TUVAMO_CASES "/../../../examples/example.in");
    ASSERT_NE(example.find("6                    ! loci"), std::string::npos);
    const auto example_with_loci = [&](const std::string& loci) {
        std::string text = example;
        text.replace(text.find("6                    ! loci"), 1, loci);
        return text;
    };
    struct Case {
        const char* name;
        std::string content;
        std::string message;
    } cases[] = {
        {"the example with 100,000,000 loci", example_with_loci("100000000"), "Error reading locus IDs!"},
        {"the example with 2,147,483,647 loci", example_with_loci("2147483647"), "Error reading locus IDs!"},
        {"loci", join(with(7, "2147483647")), "Error reading locus IDs!"},
        {"populations", join(with(6, "2147483647")), "Error in reading sample size for population 3"},
        {"sample size times loci", [] {
             auto lines = with(7, "1000");
             lines[8] = "1000*L";
             lines[9] = "2147483647";
             return join(lines);
         }(),
         "Error in reading data for individual 1 in population 1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir dir;
        dir.write("Tuvamo.InFile", c.content);
        auto run = e2e::run(dir.path(), {}, kBounded);
        EXPECT_EQ(run.out, stopped(c.message));
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.status, 1);
        EXPECT_LT(run.max_rss_kb, 64 * 1024);
        EXPECT_EQ(e2e::files_in(dir.path()), std::set<std::string>{"Tuvamo.InFile"});
    }
}

}  // namespace
