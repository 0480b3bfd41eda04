#include "platform/platform.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <utility>

#include "analysis/driver.h"
#include "tests/test_support.h"

namespace {

namespace fs = std::filesystem;

std::set<std::string> names_in(const fs::path& dir) {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
    return names;
}

TEST(ResolveFileName, DropsOuterBlanksAndTakesHomeForTilde) {
    EnvironmentVariable home("HOME");
    home.set("/home/someone");
    EXPECT_EQ(platform::resolve_file_name("  a b.txt  "), "a b.txt");
    EXPECT_EQ(platform::resolve_file_name(" ~/data/in"), "/home/someone/data/in");
    EXPECT_EQ(platform::resolve_file_name("~data"), "~data");
    EXPECT_EQ(platform::resolve_file_name("x/~/y"), "x/~/y");
    home.unset();
    EXPECT_EQ(platform::resolve_file_name("~/in"), "~/in");
}

// Writes one result file of the run holding `text`.
void write_result(const std::string& name, const std::string& text) {
    platform::OutputFile out;
    out.open(name);
    out.write(text);
    out.close();
}

// The temporary files of the run in `dir`.
std::set<std::string> temporaries_in(const fs::path& dir) {
    std::set<std::string> names;
    for (const auto& name : names_in(dir))
        if (name.rfind(".Tuvamo-", 0) == 0) names.insert(name);
    return names;
}

// The files of a set appear under their names only when the whole set is
// put in place; until then each is a temporary beside it and the earlier
// files are as they were. A set that is given up leaves nothing behind.
TEST(ResultSet, PutInPlaceTogetherOrNotAtAll) {
    ScratchDir dir;
    ChangeDir here(dir.path());
    dir.write("a.txt", "earlier a, longer than the new one\n");
    dir.write("b.txt", "earlier b\n");
    platform::add_result("a.txt");
    platform::add_result("  b.txt");
    EXPECT_EQ(temporaries_in(dir.path()).size(), 2u);  // created at once, empty
    write_result("a.txt", "new a");
    write_result("b.txt", std::string(200000, 'b'));  // more than one buffer
    EXPECT_EQ(dir.read("a.txt"), "earlier a, longer than the new one\n");
    EXPECT_EQ(dir.read("b.txt"), "earlier b\n");
    platform::commit_results();
    EXPECT_EQ(dir.read("a.txt"), "new a");
    EXPECT_EQ(dir.read("b.txt"), std::string(200000, 'b'));
    EXPECT_EQ(names_in(dir.path()), (std::set<std::string>{"a.txt", "b.txt"}));

    write_result("a.txt", "abandoned");
    platform::add_result("c.txt");
    platform::discard_results();
    EXPECT_EQ(dir.read("a.txt"), "new a");
    EXPECT_EQ(names_in(dir.path()), (std::set<std::string>{"a.txt", "b.txt"}));

    // A file of the set that was never written is a failure, and the set goes.
    platform::add_result("a.txt");
    write_result("b.txt", "written");
    EXPECT_EQ(run_captured([] { platform::commit_results(); }).status, platform::status_fatal);
    EXPECT_EQ(dir.read("b.txt"), std::string(200000, 'b'));
    EXPECT_EQ(names_in(dir.path()), (std::set<std::string>{"a.txt", "b.txt"}));
}

// A link at a result name leads to the file that is replaced: the link stays
// and its target receives the results, a dangling link's target is created.
// The new file takes the permission bits of the one it replaces. A device at
// a result name is written, never replaced.
TEST(ResultSet, KeepsLinksPermissionBitsAndDevices) {
    ScratchDir dir;
    ChangeDir here(dir.path());
    fs::create_directory("data");
    dir.write("data/target.txt", "old\n");
    fs::create_symlink("data/target.txt", "link.txt");
    fs::create_symlink("link.txt", "chain.txt");
    fs::create_symlink("data/new.txt", "dangling.txt");
    dir.write("mode.txt", "old\n");
    fs::permissions("mode.txt", fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    fs::create_symlink("/dev/null", "null.txt");

    write_result("link.txt", "through the link");
    write_result("dangling.txt", "a new target");
    write_result("mode.txt", "new");
    write_result("null.txt", "nothing");
    platform::commit_results();

    EXPECT_TRUE(fs::is_symlink("link.txt"));
    EXPECT_TRUE(fs::is_symlink("chain.txt"));
    EXPECT_EQ(dir.read("data/target.txt"), "through the link");
    EXPECT_TRUE(fs::is_symlink("dangling.txt"));
    EXPECT_EQ(dir.read("data/new.txt"), "a new target");
    EXPECT_EQ(dir.read("mode.txt"), "new");
    EXPECT_EQ(fs::status("mode.txt").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_TRUE(fs::is_character_file("/dev/null"));
    EXPECT_TRUE(temporaries_in(dir.path()).empty());
    EXPECT_TRUE(temporaries_in(dir.path() / "data").empty());

    write_result("chain.txt", "through two links");
    platform::commit_results();
    EXPECT_EQ(dir.read("data/target.txt"), "through two links");
}

// A name that cannot be written ends the run as soon as it is named, with
// one line on standard error, and leaves nothing behind.
TEST(ResultSet, UnwritableNamesFailWhenNamed) {
    ScratchDir dir;
    ChangeDir here(dir.path());
    fs::create_directory("adir");
    fs::create_symlink("loop2", "loop1");
    fs::create_symlink("loop1", "loop2");
    struct Case {
        std::string name;
        std::string err;
    } cases[] = {
        {"adir", "Tuvamo: cannot create result file: adir: Is a directory\n"},
        {"missing/x", "Tuvamo: cannot create result file: missing/x: No such file or directory\n"},
        {"loop1", "Tuvamo: cannot create result file: loop1: Too many levels of symbolic links\n"},
        {std::string(300, 'n'), "Tuvamo: cannot create result file: " + std::string(300, 'n') + ": File name too long\n"},
        {std::string("z\0z", 3), "Tuvamo: cannot create result file (its name holds a zero byte): z\\0z\n"},
    };
    platform::add_result("first.txt");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testing::internal::CaptureStderr();
        const auto r = run_captured([&] { platform::add_result(c.name); });
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err);
        EXPECT_EQ(r.status, platform::status_fatal);
        EXPECT_EQ(names_in(dir.path()), (std::set<std::string>{"adir", "loop1", "loop2"}));
    }
}

extern "C" void test_handler(int) {}

// The signal actions and mask of the process, for every signal.
struct SignalState {
    struct sigaction actions[NSIG];
    sigset_t mask;
};

SignalState signal_state() {
    SignalState state;
    for (int s = 1; s < NSIG; ++s) {
        std::memset(&state.actions[s], 0, sizeof(state.actions[s]));
        sigaction(s, nullptr, &state.actions[s]);
    }
    sigprocmask(SIG_SETMASK, nullptr, &state.mask);
    return state;
}

// A whole run inside the process, one that completes (with its commit, after
// which signals are held) and one that stops on its input, leaves every
// signal's action and the signal mask as it found them: an ignored signal, a
// caller's handler, a blocked signal, and whatever the runtime installed.
TEST(ResultSet, ARunInTheProcessLeavesSignalHandlingAsFound) {
    ScratchDir dir;
    ChangeDir here(dir.path());
    dir.write("in", "x\n10\n1\n7\n0\n0\n2\n3\nA B C\n2\n1 1 2 2 3 3\n1 2 2 2 3 4\n2\n2 2 1 1 4 4\n1 2 2 1 3 3\n");
    dir.write("bad", "x\n-1\n");
    struct sigaction mine {}, ignore {}, old_usr1 {}, old_hup {};
    mine.sa_handler = test_handler;
    sigemptyset(&mine.sa_mask);
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGUSR1, &mine, &old_usr1);
    sigaction(SIGHUP, &ignore, &old_hup);
    sigset_t block, old_mask;
    sigemptyset(&block);
    sigaddset(&block, SIGUSR2);
    sigprocmask(SIG_BLOCK, &block, &old_mask);
    const SignalState before = signal_state();
    for (const char* input : {"in", "bad"}) {
        SCOPED_TRACE(input);
        reset_program_state();
        const char* argv[] = {"Tuvamo", input};
        std::string out;
        platform::capture_output(&out);
        const int status = driver(2, argv);
        platform::capture_output(nullptr);
        EXPECT_EQ(status, std::string(input) == "in" ? platform::status_ok : platform::status_data_error) << out;
        const SignalState after = signal_state();
        for (int s = 1; s < NSIG; ++s) {
            EXPECT_EQ(after.actions[s].sa_handler, before.actions[s].sa_handler) << s;
            // The C library adds its return trampoline's flag to every action it sets.
            constexpr int restorer = 0x04000000;
            EXPECT_EQ(after.actions[s].sa_flags & ~restorer, before.actions[s].sa_flags & ~restorer) << s;
            EXPECT_EQ(sigismember(&after.mask, s), sigismember(&before.mask, s)) << s;
        }
    }
    EXPECT_EQ(dir.read("x.LocusGST").empty(), false);
    sigprocmask(SIG_SETMASK, &old_mask, nullptr);
    sigaction(SIGUSR1, &old_usr1, nullptr);
    sigaction(SIGHUP, &old_hup, nullptr);
}

TEST(MemoryClaim, ClaimsAddUpAndAreGivenBack) {
    reset_program_state();  // no array holds memory
    AllocationLimit limit(1000);
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
}

// No limit, however high it is set, lets an array pass PTRDIFF_MAX bytes, so
// that offsets within an array and sums of two checked sizes never wrap.
TEST(MemoryClaim, NoLimitPassesPtrdiffMax) {
    constexpr auto largest = static_cast<std::size_t>(PTRDIFF_MAX);
    for (std::size_t limit : {SIZE_MAX, largest + 1, std::size_t{0}}) {
        SCOPED_TRACE(limit);
        const AllocationLimit guard(limit);
        for (const auto& [count, size] : {std::pair{largest + 1, std::size_t{1}},
                                          std::pair{largest / 2 + 1, std::size_t{2}},
                                          std::pair{std::size_t{2}, largest / 2 + 1}}) {
            auto r = run_captured([&] { platform::checked_bytes(count, size); });
            EXPECT_EQ(r.status, platform::status_fatal);
        }
    }
    const AllocationLimit guard(SIZE_MAX);
    EXPECT_EQ(platform::checked_bytes(largest / 2, 2), largest - 1);
}

TEST(SaturatedProduct, IsTheProductOrTheLargestSize) {
    const struct {
        std::size_t count, size, product;
    } cases[] = {
        {0, SIZE_MAX, 0},
        {SIZE_MAX, 0, 0},
        {SIZE_MAX, 1, SIZE_MAX},
        {SIZE_MAX / 3, 3, SIZE_MAX / 3 * 3},
        {SIZE_MAX / 2 + 1, 2, SIZE_MAX},
        {SIZE_MAX / 3 + 1, 3, SIZE_MAX},
        // The codes of the largest population at the most loci the reader takes.
        {std::size_t{4294967294u}, std::size_t{2147483647},
         sizeof(std::size_t) >= 8 ? static_cast<std::size_t>(4294967294ull * 2147483647ull) : SIZE_MAX},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.count << " * " << c.size);
        EXPECT_EQ(platform::saturated_product(c.count, c.size), c.product);
    }
}

}  // namespace
