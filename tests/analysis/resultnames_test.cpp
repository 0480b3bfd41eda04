#include "analysis/resultnames.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "analysis/variables.h"
#include "tests/test_support.h"

namespace {

void set_ids(const std::vector<std::string>& ids) {
    Variables& v = variables;
    v.numloci = static_cast<std::int32_t>(ids.size());
    v.locusid.allocate(1, ids.size());
    for (std::size_t i = 0; i < ids.size(); ++i) {
        LocusText id;
        id.fill(' ');
        std::copy(ids[i].begin(), ids[i].end(), id.begin());
        v.locusid(static_cast<std::ptrdiff_t>(i + 1)) = id;
    }
}

// A stand-in for the system: the folders it names ignore letter case, and
// every question is counted.
struct Folders {
    std::set<std::string> case_blind;
    std::map<std::string, int> asked;
    FolderIgnoresCase predicate() {
        return [this](const std::string& folder) {
            ++asked[folder];
            return case_blind.count(folder) != 0;
        };
    }
};

class ResultNamesTest : public ::testing::Test {
protected:
    ResultNamesTest() { reset_program_state(); }
    ~ResultNamesTest() override { reset_program_state(); }
};

// Names that differ only in letter case: the later locus takes the numbered
// name where the folder holds the two as one, and keeps its plain name where
// it does not. Each folder is asked about once.
TEST_F(ResultNamesTest, NamesThatDifferInCaseOnlyShareAFolderThatIgnoresCase) {
    struct Case {
        const char* name;
        std::string prefix;
        std::vector<std::string> ids;
        std::set<std::string> case_blind;
        std::vector<std::string> bases;  // after the prefix's ".Perm-"
        std::vector<std::size_t> renamed;
        std::map<std::string, int> asked;
    } cases[] = {
        {"abc and ABC, case-blind", "run", {"abc", "ABC", "x"}, {"."}, {"abc-", "ABC_2-", "x-"}, {1}, {{".", 1}}},
        {"abc and ABC, case-sensitive", "run", {"abc", "ABC", "x"}, {}, {"abc-", "ABC-", "x-"}, {}, {{".", 1}}},
        {"an ID mean beside the mean files", "run", {"mean", "MEAN"}, {"."}, {"mean_1-", "MEAN_2-"}, {0, 1},
         {{".", 1}}},
        {"an ID mean, case-sensitive", "run", {"mean", "MEAN"}, {}, {"mean-", "MEAN-"}, {}, {{".", 1}}},
        // The numbered name of locus 2 differs only in case from locus 3's.
        {"a numbered name taken in another case", "run", {"a", "A", "A_2"}, {"."}, {"a-", "A_2_2-", "A_2-"}, {1},
         {{".", 1}}},
        {"the prefix's folder is asked", "out/run", {"Q", "q"}, {"out"}, {"Q-", "q_2-"}, {1}, {{"out", 1}}},
        {"an absolute prefix", "/data/run", {"Q", "q"}, {}, {"Q-", "q-"}, {}, {{"/data", 1}}},
        {"no two names alike in any case", "run", {"a", "b", "Mean-"}, {"."}, {"a-", "b-", "Mean--"}, {}, {}},
        // IDs with a folder in them: each folder at which the names differ
        // must ignore case for the names to be one.
        {"folders of another case, both case-blind", "run", {"X/a", "x/A"}, {".", "run.Perm-X"},
         {"X/a-", "x/A_2-"}, {1}, {{".", 1}, {"run.Perm-X", 1}}},
        {"folders of another case, inner one case-sensitive", "run", {"X/a", "x/A"}, {"."}, {"X/a-", "x/A-"}, {},
         {{".", 1}, {"run.Perm-X", 1}}},
        {"folders of another case, outer one case-sensitive", "run", {"X/a", "x/a"}, {"run.Perm-X"},
         {"X/a-", "x/a-"}, {}, {{".", 1}}},
        {"one folder, names of another case", "run", {"d/a", "d/A"}, {"run.Perm-d"}, {"d/a-", "d/A_2-"}, {1},
         {{"run.Perm-d", 1}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        reset_program_state();
        set_ids(c.ids);
        Folders folders;
        folders.case_blind = c.case_blind;
        const PermutationNames names = permutation_names(c.prefix, folders.predicate());
        std::vector<std::string> expected;
        for (const auto& base : c.bases) expected.push_back(c.prefix + ".Perm-" + base);
        EXPECT_EQ(names.bases, expected);
        EXPECT_EQ(names.renamed, c.renamed);
        EXPECT_EQ(folders.asked, c.asked);
    }
}

// Many loci in one folder that differ only in case: the folder is asked once
// for the whole run, and every locus ends with a name of its own in any case.
TEST_F(ResultNamesTest, AFolderIsAskedOnceAndEveryNameIsItsOwn) {
    std::vector<std::string> ids;
    for (const char* id : {"ab", "aB", "Ab", "AB", "mean", "Mean", "MEAN", "ab_2", "AB_4"}) ids.push_back(id);
    for (bool blind : {true, false}) {
        SCOPED_TRACE(blind);
        reset_program_state();
        set_ids(ids);
        Folders folders;
        if (blind) folders.case_blind = {"."};
        const PermutationNames names = permutation_names("run", folders.predicate());
        EXPECT_EQ(folders.asked, (std::map<std::string, int>{{".", 1}}));
        std::set<std::string> seen{"run.perm-mean-"};
        for (const auto& base : names.bases) {
            std::string folded = base;
            if (blind)
                for (char& ch : folded)
                    if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
            EXPECT_TRUE(seen.insert(folded).second) << base;
        }
        if (blind)
            EXPECT_EQ(names.bases, (std::vector<std::string>{"run.Perm-ab-", "run.Perm-aB_2_2-", "run.Perm-Ab_3-",
                                                             "run.Perm-AB_4_2-", "run.Perm-mean_5-",
                                                             "run.Perm-Mean_6-", "run.Perm-MEAN_7-",
                                                             "run.Perm-ab_2-", "run.Perm-AB_4-"}));
        else
            EXPECT_EQ(names.renamed, (std::vector<std::size_t>{5}));  // only "Mean" itself
    }
}

}  // namespace
