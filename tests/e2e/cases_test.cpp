// Every folder under tests/e2e/cases is one whole run: the files beside its
// "expected" folder are copied into a scratch directory, the program runs there
// with the arguments listed one per line in "args" (none when absent), and its
// standard output, standard error, exit status and result files must equal
// expected/stdout, expected/stderr (empty when absent), expected/status (0 when
// absent) and the other files of expected/, byte for byte; no other file may
// be left behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "tests/e2e/e2e_support.h"

namespace {

namespace fs = std::filesystem;

std::vector<std::string> case_names() {
    std::vector<std::string> names;
    if (fs::exists(TUVAMO_CASES))
        for (const auto& e : fs::directory_iterator(TUVAMO_CASES))
            if (e.is_directory()) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// The cases are found: a wrong cases folder would otherwise run none of them
// and pass.
TEST(WholeRunCases, AreFound) {
    EXPECT_TRUE(fs::is_directory(TUVAMO_CASES)) << TUVAMO_CASES;
    EXPECT_FALSE(case_names().empty()) << TUVAMO_CASES;
}

class WholeRun : public ::testing::TestWithParam<std::string> {};

TEST_P(WholeRun, MatchesExpectedOutputAndFiles) {
    const fs::path dir = fs::path(TUVAMO_CASES) / GetParam();
    ScratchDir scratch;
    std::set<std::string> inputs;
    for (const auto& e : fs::directory_iterator(dir)) {
        auto name = e.path().filename().string();
        if (e.is_regular_file() && name != "args") {
            fs::copy_file(e.path(), scratch.path() / name);
            inputs.insert(name);
        }
    }
    std::vector<std::string> args;
    if (fs::exists(dir / "args")) {
        std::istringstream lines(read_file(dir / "args"));
        for (std::string line; std::getline(lines, line);) args.push_back(line);
    }
    const auto run = e2e::run(scratch.path(), args);

    const fs::path expected = dir / "expected";
    int status = 0;
    if (fs::exists(expected / "status")) status = std::stoi(read_file(expected / "status"));
    EXPECT_EQ(run.status, status);
    EXPECT_EQ(run.out, read_file(expected / "stdout"));
    if (fs::exists(expected / "stderr")) {
        EXPECT_EQ(run.err, read_file(expected / "stderr"));
    } else if (status == 0) {
        EXPECT_EQ(run.err, "");
    }

    std::set<std::string> wanted = inputs;
    for (const auto& e : fs::directory_iterator(expected)) {
        auto name = e.path().filename().string();
        if (name == "stdout" || name == "stderr" || name == "status") continue;
        wanted.insert(name);
        EXPECT_EQ(scratch.read(name), read_file(e.path())) << "file " << name;
    }
    EXPECT_EQ(e2e::files_in(scratch.path()), wanted);
}

std::string test_name(const ::testing::TestParamInfo<std::string>& param) {
    std::string n = param.param;
    std::replace_if(n.begin(), n.end(), [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); }, '_');
    return n;
}

INSTANTIATE_TEST_SUITE_P(Cases, WholeRun, ::testing::ValuesIn(case_names()), test_name);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(WholeRun);

}  // namespace
