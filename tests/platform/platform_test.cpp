#include "platform/platform.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>

#include "tests/test_support.h"

namespace {

namespace fs = std::filesystem;

std::set<std::string> names_in(const fs::path& dir) {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
    return names;
}

TEST(ResolveFileName, DropsOuterBlanksAndTakesHomeForTilde) {
    const char* old_home = std::getenv("HOME");
    const std::string saved = old_home ? old_home : "";
    setenv("HOME", "/home/someone", 1);
    EXPECT_EQ(platform::resolve_file_name("  a b.txt  "), "a b.txt");
    EXPECT_EQ(platform::resolve_file_name(" ~/data/in"), "/home/someone/data/in");
    EXPECT_EQ(platform::resolve_file_name("~data"), "~data");
    EXPECT_EQ(platform::resolve_file_name("x/~/y"), "x/~/y");
    unsetenv("HOME");
    EXPECT_EQ(platform::resolve_file_name("~/in"), "~/in");
    if (old_home)
        setenv("HOME", saved.c_str(), 1);
}

// A result file appears under its name only when complete; a temporary name
// in use, even by a dangling link, is passed over; an abandoned file leaves
// nothing behind and an earlier file as it was.
TEST(OutputFile, WritesUnderATemporaryNameAndRenamesWhenComplete) {
    ScratchDir dir;
    ChangeDir here(dir.path());
    dir.write("r.txt", "earlier content, longer than the new one\n");
    dir.write("r.txt.tmp0", "somebody's file\n");
    fs::create_symlink(dir.path() / "elsewhere", dir.path() / "r.txt.tmp1");
    {
        platform::OutputFile out;
        out.open("  r.txt");
        out.write("new");
        out.end_line();
        EXPECT_EQ(dir.read("r.txt"), "earlier content, longer than the new one\n");
        EXPECT_EQ(names_in(dir.path()), (std::set<std::string>{"r.txt", "r.txt.tmp0", "r.txt.tmp1", "r.txt.tmp2"}));
        out.commit();
    }
    EXPECT_EQ(dir.read("r.txt"), "new" + std::string(platform::line_end));
    EXPECT_EQ(dir.read("r.txt.tmp0"), "somebody's file\n");
    EXPECT_FALSE(fs::exists(dir.path() / "elsewhere"));
    EXPECT_TRUE(fs::is_symlink(dir.path() / "r.txt.tmp1"));
    {
        platform::OutputFile out;
        out.open("r.txt");
        out.write(std::string(200000, 'x'));  // more than one buffer
    }
    EXPECT_EQ(dir.read("r.txt"), "new" + std::string(platform::line_end));
    EXPECT_EQ(names_in(dir.path()), (std::set<std::string>{"r.txt", "r.txt.tmp0", "r.txt.tmp1"}));
}

TEST(MemoryClaim, ClaimsAddUpAndAreGivenBack) {
    platform::set_allocation_limit(1000);
    {
        platform::MemoryClaim a, b;
        a.claim(600, 1);
        auto over = run_captured([&] { b.claim(300, 2); });
        EXPECT_EQ(over.status, platform::status_fatal);
        b.claim(100, 4);
        a.release();
        b.claim(900, 1);
        platform::MemoryClaim moved = std::move(b);
        auto full = run_captured([&] { a.claim(101, 1); });
        EXPECT_EQ(full.status, platform::status_fatal);
    }
    platform::MemoryClaim c;
    c.claim(1000, 1);
    c.release();
    auto wrapped = run_captured([&] { c.claim(std::size_t{1} << 62, 8); });
    EXPECT_EQ(wrapped.status, platform::status_fatal);
    platform::set_allocation_limit(0);
}

}  // namespace
