#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "tests/exfatmount.h"
#include "tests/files.h"

namespace {

// Every name in `dir`, links and hidden files included.
std::vector<std::string> names_in(const std::filesystem::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename().string());
    return names;
}

TEST(FolderIgnoresCase, CaseSensitiveFolderSaysNoAndKeepsNothing) {
    ScratchDir dir;
    // Files at the names the probe tries (an earlier probe of this process
    // advanced its count by a few): the first names are taken, and every
    // other spelling is a file of its own or a pipe that nobody writes.
    // None may be taken for the probe, block it or be changed.
    const std::string pid = std::to_string(::getpid());
    for (int n = 0; n < 200; ++n) {
        const std::string tag = pid + "-CASE" + std::to_string(n) + ".TMP";
        if (n < 5) dir.write(".Tuvamo-" + pid + "-case" + std::to_string(n) + ".tmp", "taken");
        if (n % 2 == 0)
            dir.write(".tUVAMO-" + tag, "other");
        else
            ASSERT_EQ(::mkfifo((dir.path() / (".tUVAMO-" + tag)).c_str(), 0600), 0);
    }
    const std::vector<std::string> before = names_in(dir.path());
    EXPECT_FALSE(platform::folder_ignores_case(dir.path().string()));
    EXPECT_FALSE(platform::folder_ignores_case(dir.path().string()));
    {
        ChangeDir cd(dir.path());
        EXPECT_FALSE(platform::folder_ignores_case("."));
    }
    EXPECT_EQ(names_in(dir.path()).size(), before.size());
    for (int n = 0; n < 5; ++n) EXPECT_EQ(dir.read(".Tuvamo-" + pid + "-case" + std::to_string(n) + ".tmp"), "taken");
    EXPECT_EQ(dir.read(".tUVAMO-" + pid + "-CASE0.TMP"), "other");
}

TEST(FolderIgnoresCase, FolderThatTakesNoFileSaysNo) {
    EXPECT_FALSE(platform::folder_ignores_case("/nonexistent-folder-of-tuvamo"));
    ScratchDir dir;
    EXPECT_FALSE(platform::folder_ignores_case((dir.path() / "missing").string()));
}

TEST(FolderIgnoresCase, ExfatFolderSaysYesAndKeepsNothing) {
    ExfatMount fat;
    if (!fat.mounted()) GTEST_SKIP() << fat.why_not();
    std::filesystem::create_directory(fat.path() / "sub");
    EXPECT_TRUE(platform::folder_ignores_case(fat.path().string()));
    EXPECT_TRUE(platform::folder_ignores_case((fat.path() / "sub").string()));
    EXPECT_EQ(names_in(fat.path()), std::vector<std::string>{"sub"});
    EXPECT_TRUE(names_in(fat.path() / "sub").empty());
}

}  // namespace
