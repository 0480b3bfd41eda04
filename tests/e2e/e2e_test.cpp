// Whole runs of the program built from fixtures written inline.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <sstream>

#include "tests/e2e/e2e_support.h"

namespace {

// Three populations of six at three loci with several alleles each, and one
// locus with a single allele.
std::string input(const std::string& prefix, int permutations, int files) {
    std::ostringstream in;
    in << prefix << "\n" << permutations << "\n" << files << "\n2024\n1\n0\n3\n4\nL1 L2 L3 One\n";
    const char* records[3][6] = {
        {"a1 102 104 201 201 9 13 5 5", "a2 102 102 203 205 11 13 5 5", "a3 104 106 201 203 9 9 5 5",
         "a4 106 106 0 0 13 15 5 5", "a5 102 104 205 205 11 15 5 5", "a6 104 104 201 207 9 11 5 5"},
        {"b1 106 108 203 203 13 13 5 5", "b2 108 108 205 207 15 15 5 5", "b3 102 108 203 205 11 13 5 5",
         "b4 106 106 207 207 13 15 5 5", "b5 108 110 201 205 9 15 5 5", "b6 106 108 205 205 0 0 5 5"},
        {"c1 110 110 201 201 9 9 5 5", "c2 104 110 201 203 9 11 5 5", "c3 110 112 203 203 11 11 5 5",
         "c4 102 110 201 207 9 13 5 5", "c5 112 112 201 201 9 11 5 5", "c6 110 110 203 205 11 11 5 5"},
    };
    for (auto& pop : records) {
        in << "6\n";
        for (const char* r : pop) in << r << "\n";
    }
    return in.str();
}

std::vector<std::string> split(const std::string& text, char sep) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream s(text);
    while (std::getline(s, part, sep)) parts.push_back(part);
    return parts;
}

// The values of a per-permutation file, in permutation order.
std::vector<double> perm_values(const std::string& text) {
    std::vector<double> v;
    for (const auto& line : split(text, '\n'))
        for (const auto& field : split(line, ','))
            if (!field.empty()) v.push_back(std::atof(field.c_str()));
    return v;
}

std::string fixed7(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%7.4f", v);
    return buf;
}

std::string progress_rows(int permutations) {
    std::string out;
    for (int i = 1; i <= permutations; ++i) {
        if (i % 10 == 0) out += i % 100 == 0 ? "+" : "-";
        if (i % 1000 == 0) out += std::to_string(i) + "\n";
    }
    return out + " \n";
}

TEST(Run, MissingInputFileStopsAfterTheFirstStepLine) {
    ScratchDir dir;
    auto run = e2e::run(dir.path(), {});
    EXPECT_EQ(run.out, e2e::kReading + " The input file does not exist!\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "Tuvamo: cannot open input file: Tuvamo.InFile: No such file or directory\n");
}

// The 2.5 % and 97.5 % points of the per-locus file are the values of ranks
// JDX(1) and JDX(2) among the permuted values written to the per-permutation
// files, and the progress rows follow the number of permutations.
TEST(Run, QuantilesAreTheRanksOfThePermutedValues) {
    const std::map<int, std::pair<int, int>> ranks{{1, {1, 1}},   {10, {1, 10}},  {20, {1, 20}},
                                                   {60, {2, 59}}, {100, {3, 98}}, {1000, {25, 975}}};
    for (auto [n, rank] : ranks) {
        SCOPED_TRACE(n);
        ScratchDir dir;
        dir.write("in", input("q", n, 1));
        auto run = e2e::run(dir.path(), {"in"});
        ASSERT_EQ(run.status, 0) << run.err;
        const auto tail = e2e::kPermuting + progress_rows(n) + e2e::kOutputPerm + e2e::kOutput + e2e::kCompleted;
        ASSERT_GE(run.out.size(), tail.size());
        EXPECT_EQ(run.out.substr(run.out.size() - tail.size()), tail);

        auto lines = split(dir.read("q.LocusGST"), '\n');
        ASSERT_EQ(lines.size(), 5u);
        for (int l = 1; l <= 4; ++l) {
            auto fields = split(lines[static_cast<std::size_t>(l)], ',');
            ASSERT_EQ(fields.size(), 11u);
            const std::string id = fields[0];
            const char* quantity[] = {"HT", "HS", "GST"};
            for (int q = 0; q < 3; ++q) {
                auto values = perm_values(dir.read("q.Perm-" + id + "-" + quantity[q]));
                ASSERT_EQ(values.size(), static_cast<std::size_t>(n));
                std::sort(values.begin(), values.end());
                EXPECT_EQ(fields[static_cast<std::size_t>(5 + 2 * q)], fixed7(values[static_cast<std::size_t>(rank.first - 1)]))
                    << id << " " << quantity[q];
                EXPECT_EQ(fields[static_cast<std::size_t>(6 + 2 * q)], fixed7(values[static_cast<std::size_t>(rank.second - 1)]))
                    << id << " " << quantity[q];
            }
        }
        EXPECT_EQ(lines[4], "One,1"
                            ",-1.0000,-1.0000,-1.0000,-1.0000,-1.0000,-1.0000,-1.0000,-1.0000,-1.0000");
    }
}

TEST(Run, ProgressRowsOfLongerRuns) {
    for (int n : {250, 2000}) {
        SCOPED_TRACE(n);
        ScratchDir dir;
        dir.write("in", input("p", n, 0));
        auto run = e2e::run(dir.path(), {"in"});
        ASSERT_EQ(run.status, 0);
        const auto tail = e2e::kPermuting + progress_rows(n) + e2e::kOutput + e2e::kCompleted;
        EXPECT_EQ(run.out.substr(run.out.size() - tail.size()), tail);
    }
}

TEST(Run, SameInputTwiceGivesIdenticalOutput) {
    ScratchDir one, two;
    one.write("in", input("same", 300, 1));
    two.write("in", input("same", 300, 1));
    auto first = e2e::run(one.path(), {"in"});
    auto second = e2e::run(two.path(), {"in"});
    ASSERT_EQ(first.status, 0);
    EXPECT_EQ(first.out, second.out);
    auto names = e2e::files_in(one.path());
    EXPECT_EQ(names, e2e::files_in(two.path()));
    EXPECT_EQ(names.size(), 1u + 2u + 3u * 4u + 3u);
    for (const auto& name : names) EXPECT_EQ(one.read(name), two.read(name)) << name;
}

// A result file that cannot be written ends the run right after the input is
// read, with one line on standard error naming it and status 2; no file of
// the run is left, and every earlier result file stays as it was.
TEST(Run, UnwritableResultFileIsAFatalFailure) {
    {
        ScratchDir dir;
        dir.write("in", input("'missing/dir/x'", 0, 0));
        auto run = e2e::run(dir.path(), {"in"});
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(run.err, "Tuvamo: cannot create result file: missing/dir/x.LocusGST: No such file or directory\n");
        EXPECT_EQ(run.out, e2e::kReading);
        EXPECT_EQ(e2e::files_in(dir.path()), (std::set<std::string>{"in"}));
    }
    {
        ScratchDir dir;
        dir.write("in", input("x", 20, 0));
        dir.write("x.LocusGST", "an earlier result\n");
        std::filesystem::create_directory(dir.path() / "x.MeanGST");
        auto run = e2e::run(dir.path(), {"in"});
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(run.err, "Tuvamo: cannot create result file: x.MeanGST: Is a directory\n");
        EXPECT_EQ(run.out, e2e::kReading);
        EXPECT_EQ(e2e::files_in(dir.path()), (std::set<std::string>{"in", "x.LocusGST"}));
        EXPECT_EQ(dir.read("x.LocusGST"), "an earlier result\n");
    }
}

}  // namespace

namespace {

// Whatever can be opened for reading and is no directory is read: a pipe,
// a named pipe, a device. An endless device ends with the first read's own
// message once its first value passes the bound of a value.
TEST(Run, InputsAsUsersGiveThem) {
    ScratchDir plain;
    plain.write("in", input("x", 20, 1));
    const auto reference = e2e::run(plain.path(), {"in"});
    ASSERT_EQ(reference.status, 0) << reference.err;
    const auto results = e2e::files_in(plain.path());

    struct Case {
        const char* name;
        std::string command;  // with `exe` standing for the program
    } cases[] = {
        {"a pipe as /dev/stdin", "cat in.txt | exe /dev/stdin"},
        {"a named pipe", "mkfifo fifo && { cat in.txt > fifo & } && exe fifo; s=$?; rm -f fifo; exit $s"},
        {"a file with a byte-order mark", "printf '\\357\\273\\277' > bom && cat in.txt >> bom && exe bom; s=$?; rm -f bom; exit $s"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir dir;
        dir.write("in.txt", plain.read("in"));
        std::string command = c.command;
        for (std::size_t at; (at = command.find("exe ")) != std::string::npos;)
            command.replace(at, 3, std::string("timeout 60 ") + e2e::shell_quote(e2e::exe()));
        const auto run = e2e::run_command(dir.path(), command);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.out, reference.out);
        EXPECT_EQ(run.err, "");
        auto names = e2e::files_in(dir.path());
        names.erase("in.txt");
        names.insert("in");
        EXPECT_EQ(names, results);
        for (const auto& name : results) {
            if (name == "in") continue;
            EXPECT_EQ(dir.read(name), plain.read(name)) << name;
        }
    }

    ScratchDir dir;
    std::filesystem::create_directory(dir.path() / "adir");
    auto run = e2e::run(dir.path(), {"/dev/zero"}, "timeout 20");
    EXPECT_EQ(run.out, e2e::kReading + " Error reading output file name\n");
    EXPECT_EQ(run.status, 1);
    // Endless pipes: empty lines, blanks, zero bytes after a value.
    struct Endless {
        const char* source;
        const char* message;
    } endless[] = {
        {"yes ''", "Error reading output file name"},
        {"{ printf 'x\\n'; yes ' ' | tr -d '\\n'; }", "Error reading number of permutation!"},
        {"{ printf 'x\\n1 '; cat /dev/zero; }", "Error reading indicator of output result / permutation!"},
    };
    for (const auto& e : endless) {
        SCOPED_TRACE(e.source);
        run = e2e::run_command(dir.path(), std::string(e.source) + " | timeout 20 " + e2e::shell_quote(e2e::exe()) +
                                               " /dev/stdin");
        EXPECT_EQ(run.out, e2e::kReading + " " + e.message + "\n");
        EXPECT_EQ(run.status, 1);
    }
    run = e2e::run(dir.path(), {"adir"});
    EXPECT_EQ(run.out, e2e::kReading + " The input file does not exist!\n");
    EXPECT_EQ(run.err, "Tuvamo: cannot open input file: adir: Is a directory\n");
    EXPECT_EQ(run.status, 1);
}

// A prefix holding a zero byte cannot name a file: the run ends with the
// diagnostic before any result file is written under a shortened name.
TEST(Run, PrefixWithAZeroByteIsAFatalFailure) {
    ScratchDir dir;
    std::string text = input("'o", 0, 0);
    text.insert(2, std::string(1, '\0') + "x'");
    dir.write("in", text);
    auto run = e2e::run(dir.path(), {"in"});
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("o\\0x.LocusGST"), std::string::npos) << run.err;
    EXPECT_EQ(e2e::files_in(dir.path()), (std::set<std::string>{"in"}));
}

}  // namespace

namespace {

// The bundled example with its prefix, number of permutations and
// per-permutation switch replaced.
std::string example(const std::string& prefix, int permutations, int files) {
    std::string text = read_file(TUVAMO_CASES "/../../../examples/example.in");
    std::istringstream lines(text);
    std::string out, line;
    for (int n = 0; std::getline(lines, line); ++n) {
        if (n == 0) line = prefix;
        if (n == 1) line = std::to_string(permutations);
        if (n == 2) line = std::to_string(files);
        out += line + "\n";
    }
    return out;
}

// The names of the files of a run of the example under `base`: the two
// result files, and with per-permutation files those of its six loci and
// the three mean files.
std::set<std::string> example_names(const std::string& base, bool files) {
    std::set<std::string> names{base + ".LocusGST", base + ".MeanGST"};
    if (!files) return names;
    for (const char* id : {"Mic01", "Mic02", "Mic03", "Mic04", "Mic05", "Mic06", "Mean"})
        for (const char* q : {"GST", "HS", "HT"}) names.insert(base + ".Perm-" + id + "-" + q);
    return names;
}

// Prefixes and input names are used whole: no name is cut and no two files
// of a run share one. A name that the file system refuses ends the run with
// the file diagnostic before the analysis.
TEST(Run, NamesAreUsedWhole) {
    ScratchDir reference;
    reference.write("in", example("'ref'", 10, 1));
    ASSERT_EQ(e2e::run(reference.path(), {"in"}).status, 0);

    const std::string p95(95, 'p'), p150 = std::string("sub/") + std::string(146, 'q');
    for (const std::string& prefix : {p95, p150}) {
        SCOPED_TRACE(prefix.size());
        ScratchDir dir;
        std::filesystem::create_directory(dir.path() / "sub");
        dir.write("in", example("'" + prefix + "'", 10, 1));
        const auto run = e2e::run(dir.path(), {"in"});
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.err, "");
        const bool in_sub = prefix.rfind("sub/", 0) == 0;
        const std::string base = in_sub ? prefix.substr(4) : prefix;
        auto expected = example_names(base, true);
        if (!in_sub) expected.insert("in");
        EXPECT_EQ(e2e::files_in(in_sub ? dir.path() / "sub" : dir.path()), expected);
        for (const auto& name : example_names("ref", true))
            EXPECT_EQ(read_file(dir.path() / (prefix + name.substr(3))), reference.read(name)) << name;
    }

    // An input path of 150 characters.
    {
        ScratchDir dir;
        const std::string folders = std::string(60, 'a') + "/" + std::string(60, 'b');
        std::filesystem::create_directories(dir.path() / folders);
        const std::string input = folders + "/" + std::string(28, 'c');
        ASSERT_EQ(input.size(), 150u);
        dir.write(input, example("'ref'", 10, 1));
        const auto run = e2e::run(dir.path(), {input});
        ASSERT_EQ(run.status, 0) << run.err;
        for (const auto& name : example_names("ref", true)) EXPECT_EQ(dir.read(name), reference.read(name)) << name;
    }

    // A prefix of a megabyte and 2,000 loci of one ID: refused as too long,
    // at once, without a table of names as large as the prefix times the loci.
    {
        ScratchDir dir;
        const std::string prefix(1000000, 'y');
        dir.write("in", "'" + prefix + "'\n10\n1\n7\n0\n0\n2\n2000\n2000*L\n2\n4000*1\n4000*1\n2\n4000*1\n4000*1\n");
        const auto run = e2e::run(dir.path(), {"in"}, "timeout 60");
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(run.out, e2e::kReading);
        EXPECT_NE(run.err.find("File name too long"), std::string::npos);
        EXPECT_LT(run.max_rss_kb, 128 * 1024);
    }

    // Names longer than a file name may be.
    {
        ScratchDir dir;
        const std::string prefix(300, 'x');
        dir.write("in", example(prefix, 10, 1));
        const auto run = e2e::run(dir.path(), {"in"});
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(run.out, e2e::kReading);
        EXPECT_EQ(run.err, "Tuvamo: cannot create result file: " + prefix + ".Perm-Mic01-GST: File name too long\n");
        EXPECT_EQ(e2e::files_in(dir.path()), (std::set<std::string>{"in"}));
    }
}

}  // namespace
