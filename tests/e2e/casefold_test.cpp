// Whole runs on a real case-insensitive folder: an exFAT image mounted
// through FUSE, where names that differ only in letter case are one file.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

#include "tests/e2e/e2e_support.h"
#include "tests/exfatmount.h"

namespace {

// Three usable loci whose IDs differ only in case from one another ("abc",
// "ABC") and from the mean files ("mean"); each locus's permuted values
// differ from the others', so every file shows whose values it holds.
const std::string input =
    "cf\n10\n1\n99\n0\n-9\n2\n3\nabc ABC mean\n"
    "3\n1 2  1 1  2 3\n2 2  1 2  3 3\n1 1  2 2  2 2\n"
    "3\n2 2  1 2  2 3\n1 2  2 2  3 3\n2 1  1 1  3 2\n";

std::string note(int locus, const std::string& id, const std::string& base) {
    return "Tuvamo: locus " + std::to_string(locus) + ", ID \"" + id +
           "\": its per-permutation files would take names already used; they are named " + base + "GST, " + base +
           "HS and " + base + "HT\n";
}

// Every locus keeps its own files on the case-insensitive folder: the later
// locus of a pair that the folder holds as one takes the numbered name, with
// its note, and each file holds what the same run writes on a case-sensitive
// folder under the plain name. Nothing else of the run is left there.
TEST(CaseInsensitiveFolder, EveryLocusKeepsItsFiles) {
    ExfatMount fat;
    if (!fat.mounted()) GTEST_SKIP() << fat.why_not();

    ScratchDir plain;
    plain.write("in", input);
    const e2e::Run reference = e2e::run(plain.path(), {"in"});
    ASSERT_EQ(reference.status, 0) << reference.err;
    EXPECT_EQ(reference.err, "");

    write_file(fat.path() / "in", input);
    const e2e::Run run = e2e::run(fat.path(), {"in"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, reference.out);
    EXPECT_EQ(run.err, note(2, "ABC", "cf.Perm-ABC_2-") + note(3, "mean", "cf.Perm-mean_3-"));

    // Name on the exFAT folder -> name of the same content on the plain one.
    std::map<std::string, std::string> same{{"in", "in"}, {"cf.LocusGST", "cf.LocusGST"}, {"cf.MeanGST", "cf.MeanGST"}};
    for (const char* q : {"GST", "HS", "HT"}) {
        same[std::string("cf.Perm-abc-") + q] = std::string("cf.Perm-abc-") + q;
        same[std::string("cf.Perm-ABC_2-") + q] = std::string("cf.Perm-ABC-") + q;
        same[std::string("cf.Perm-mean_3-") + q] = std::string("cf.Perm-mean-") + q;
        same[std::string("cf.Perm-Mean-") + q] = std::string("cf.Perm-Mean-") + q;
    }
    std::set<std::string> expected;
    for (const auto& [name, reference_name] : same) {
        expected.insert(name);
        EXPECT_EQ(read_file(fat.path() / name), plain.read(reference_name)) << name;
    }
    // Every name spelled as written, no temporary or probe file left.
    std::set<std::string> all;
    for (const auto& e : std::filesystem::directory_iterator(fat.path())) all.insert(e.path().filename().string());
    EXPECT_EQ(all, expected);
    EXPECT_EQ(e2e::files_in(plain.path()).size(), 15u);

    // A second run over the first one's files gives the same set again.
    const e2e::Run again = e2e::run(fat.path(), {"in"});
    EXPECT_EQ(again.status, 0);
    EXPECT_EQ(again.err, run.err);
    all.clear();
    for (const auto& e : std::filesystem::directory_iterator(fat.path())) all.insert(e.path().filename().string());
    EXPECT_EQ(all, expected);
    for (const auto& [name, reference_name] : same)
        EXPECT_EQ(read_file(fat.path() / name), plain.read(reference_name)) << name;
}

}  // namespace
