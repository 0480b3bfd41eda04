// Whole runs on the result files as one set: all or nothing, early failure,
// interruption, concurrent runs, and what the user set up at the result names.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/e2e_support.h"

namespace {

namespace fs = std::filesystem;

// The lock that runs take on a folder before they put their set in place,
// held by the test for as long as the object lives.
class HeldLock {
public:
    explicit HeldLock(const fs::path& dir) : fd_(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
        EXPECT_GE(fd_, 0);
        EXPECT_EQ(::flock(fd_, LOCK_EX), 0);
    }
    ~HeldLock() {
        if (fd_ >= 0) ::close(fd_);
    }
    HeldLock(const HeldLock&) = delete;
    HeldLock& operator=(const HeldLock&) = delete;

    // Waits (up to about a minute) until `count` processes wait for the lock,
    // as the system's table of locks shows them.
    static bool wait_for_waiters(const fs::path& dir, std::size_t count) {
        struct stat st {};
        if (::stat(dir.c_str(), &st) != 0) return false;
        const std::string inode = ":" + std::to_string(st.st_ino) + " ";
        for (int i = 0; i < 60000; ++i) {
            std::istringstream locks(read_file("/proc/locks"));
            std::size_t waiting = 0;
            for (std::string line; std::getline(locks, line);)
                waiting += line.find("-> FLOCK") != std::string::npos && line.find(inode) != std::string::npos;
            if (waiting >= count) return true;
            ::usleep(1000);
        }
        return false;
    }

private:
    int fd_;
};

// Two populations of four at three loci with several alleles, then `fixed`
// loci with a single allele (they take no part in the correlation test but
// have their per-permutation files). IDs are given one per locus; blank ones
// become L<n>.
std::string input(const std::string& prefix, int permutations, int files, int seed, int fixed = 0,
                  std::vector<std::string> ids = {}) {
    const int loci = 3 + fixed;
    ids.resize(static_cast<std::size_t>(loci));
    std::ostringstream in;
    in << prefix << "\n" << permutations << "\n" << files << "\n" << seed << "\n0\n0\n2\n" << loci << "\n";
    for (int l = 0; l < loci; ++l) {
        const std::string& id = ids[static_cast<std::size_t>(l)];
        in << (id.empty() ? std::string("L") + std::to_string(l + 1) : id) << (l + 1 == loci ? "\n" : " ");
    }
    const char* records[2][4] = {{"101 103 7 9 21 21", "103 103 7 7 21 23", "101 105 9 9 23 25", "105 105 7 11 21 21"},
                                 {"103 107 9 11 25 25", "107 107 11 11 23 25", "101 107 7 11 25 27", "103 105 9 9 21 27"}};
    for (const auto& pop : records) {
        in << "4\n";
        for (const char* r : pop) {
            in << r;
            for (int l = 0; l < fixed; ++l) in << " 5 5";
            in << "\n";
        }
    }
    return in.str();
}

// The regular files of `dir` (and of its folder "sub", prefixed "sub/") with
// their contents.
std::map<std::string, std::string> contents(const fs::path& dir) {
    std::map<std::string, std::string> all;
    for (const auto& name : e2e::files_in(dir)) all[name] = read_file(dir / name);
    if (fs::is_directory(dir / "sub"))
        for (const auto& name : e2e::files_in(dir / "sub")) all["sub/" + name] = read_file(dir / "sub" / name);
    return all;
}

bool has_temporaries(const std::map<std::string, std::string>& files) {
    for (const auto& [name, text] : files)
        if (name.find(".Tuvamo-") != std::string::npos) return true;
    return false;
}

// The files that a complete run of `text` leaves, apart from its input.
std::map<std::string, std::string> complete_set(const std::string& text) {
    ScratchDir dir;
    dir.write("in", text);
    const auto run = e2e::run(dir.path(), {"in"});
    EXPECT_EQ(run.status, 0) << run.err;
    auto files = contents(dir.path());
    files.erase("in");
    return files;
}

// A run that fails leaves every file of an earlier complete run as it was and
// none of its own, and it fails right after reading its input when a name
// cannot be written, or when a write fails (a full disk, here a file size
// limit) after the analysis.
TEST(ResultSet, AFailedRunLeavesTheEarlierSetAsItWas) {
    ScratchDir dir;
    dir.write("in", input("x", 30, 1, 7));
    ASSERT_EQ(e2e::run(dir.path(), {"in"}).status, 0);
    const auto earlier = contents(dir.path());
    ASSERT_EQ(earlier.size(), 1u + 2u + 3u * 3u + 3u);

    // The third locus's name leads into a folder that does not exist.
    dir.write("in", input("x", 30, 1, 8, 0, {"", "", "'a/b'"}));
    auto run = e2e::run(dir.path(), {"in"});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, e2e::kReading);
    EXPECT_EQ(run.err, "Tuvamo: cannot create result file: x.Perm-a/b-GST: No such file or directory\n");
    auto after = contents(dir.path());
    after["in"] = earlier.at("in");
    EXPECT_EQ(after, earlier);

    // Writes that fail once the analysis is done: a file size limit stands
    // for a full disk, with its signal ignored and with it taking its
    // default course, which ends the process.
    dir.write("in", input("x", 3000, 1, 8));
    for (const std::string signal_disposition : {"trap '' XFSZ; ", ""}) {
        SCOPED_TRACE(signal_disposition);
        run = e2e::run_command(dir.path(),
                               signal_disposition + "ulimit -f 40; exec " + e2e::shell_quote(e2e::exe()) + " in");
        if (signal_disposition.empty()) {
            EXPECT_EQ(run.status, 128 + SIGXFSZ);
        } else {
            EXPECT_EQ(run.status, 2);
            EXPECT_EQ(run.err, "Tuvamo: cannot write result file: x.Perm-L1-GST: File too large\n");
        }
        EXPECT_NE(run.out.find(e2e::kOutputPerm), std::string::npos);
        after = contents(dir.path());
        after["in"] = earlier.at("in");
        EXPECT_EQ(after, earlier);
    }
}

// SIGINT, SIGTERM and SIGHUP remove the run's temporaries and end it as the
// signal does, during the analysis and while the files are written; the
// earlier set stays.
TEST(ResultSet, AnInterruptedRunLeavesNoTemporary) {
    struct Case {
        int signal_number;
        const char* after;  // the step line after which the signal comes
    } cases[] = {
        {SIGINT, "Outputing individual permutation results...\n"},
        {SIGTERM, "Outputing individual permutation results...\n"},
        {SIGHUP, "Permutating individuals among populations"},
        {SIGINT, "Permutating Gst & Hs among loci"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.signal_number) + " after " + c.after);
        ScratchDir dir;
        dir.write("in", input("x", 2000, 1, 7, 1500));
        dir.write("x.LocusGST", "earlier\n");
        dir.write("x.Perm-L1-GST", "earlier\n");
        e2e::Started program(dir.path(), {"in"});
        ASSERT_TRUE(program.wait_for_output(c.after));
        program.send(c.signal_number);
        const auto run = program.wait();
        EXPECT_EQ(run.status, 128 + c.signal_number) << run.err;
        EXPECT_EQ(run.out.find(e2e::kCompleted), std::string::npos);
        EXPECT_EQ(e2e::files_in(dir.path()), (std::set<std::string>{"in", "x.LocusGST", "x.Perm-L1-GST"}));
        EXPECT_EQ(dir.read("x.LocusGST"), "earlier\n");
        EXPECT_EQ(dir.read("x.Perm-L1-GST"), "earlier\n");
    }
}

// A closed output pipe ends the run as it ends any program, and its
// temporaries go with it.
TEST(ResultSet, AClosedOutputPipeLeavesNoTemporary) {
    ScratchDir dir;
    dir.write("in", input("x", 2000, 1, 7, 300));
    dir.write("x.LocusGST", "earlier\n");
    const auto run = e2e::run_command(
        dir.path(), std::string("{ ") + e2e::shell_quote(e2e::exe()) + " in; echo $? > status; } | head -c 10 > /dev/null");
    EXPECT_EQ(dir.read("status"), std::to_string(128 + SIGPIPE) + "\n");
    EXPECT_EQ(e2e::files_in(dir.path()), (std::set<std::string>{"in", "status", "x.LocusGST"}));
    EXPECT_EQ(dir.read("x.LocusGST"), "earlier\n");
}

// Temporaries that a run killed outright leaves are named as such and do not
// stop a later run, which leaves its own set complete.
TEST(ResultSet, LeftoversOfAKilledRunDoNotBlockALaterOne) {
    ScratchDir dir;
    dir.write("in", input("x", 2000, 1, 7, 300));
    {
        e2e::Started program(dir.path(), {"in"});
        ASSERT_TRUE(program.wait_for_output("Permutating individuals"));
        program.send(SIGKILL);
        EXPECT_EQ(program.wait().status, 128 + SIGKILL);
    }
    const auto leftovers = contents(dir.path());
    ASSERT_TRUE(has_temporaries(leftovers));
    for (const auto& [name, text] : leftovers) {
        if (name == "in") continue;
        EXPECT_EQ(name.rfind(".Tuvamo-", 0), 0u) << name;
    }

    dir.write("in", input("x", 20, 1, 7, 300));
    const auto run = e2e::run(dir.path(), {"in"});
    EXPECT_EQ(run.status, 0) << run.err;
    auto files = contents(dir.path());
    for (const auto& [name, text] : leftovers) files.erase(name);
    EXPECT_EQ(files.size(), 2u + 3u * 303u + 3u);
}

// A temporary name that another file holds (here one planted under the very
// process number the run gets) is passed over, and neither the run nor its
// interruption touches that file.
TEST(ResultSet, ATemporaryNameInUseIsPassedOverAndLeftAlone) {
    ScratchDir dir;
    dir.write("in", input("x", 2000, 1, 7, 300));
    const std::string plant = "echo foreign > .Tuvamo-$$-0.tmp; echo foreign > .Tuvamo-$$-1.tmp; exec " +
                              e2e::shell_quote(e2e::exe()) + " in";
    {
        e2e::Started program(dir.path(), e2e::Started::Command{{"/bin/sh", "-c", plant}});
        ASSERT_TRUE(program.wait_for_output("Permutating individuals"));
        program.send(SIGTERM);
        EXPECT_EQ(program.wait().status, 128 + SIGTERM);
    }
    auto files = contents(dir.path());
    ASSERT_EQ(files.size(), 3u);
    for (const auto& [name, text] : files) {
        if (name == "in") continue;
        EXPECT_EQ(text, "foreign\n") << name;
    }
    for (const auto& [name, text] : files) fs::remove(dir.path() / name);

    dir.write("in", input("x", 20, 1, 7, 300));
    const auto run = e2e::run_command(dir.path(), plant);
    EXPECT_EQ(run.status, 0) << run.err;
    files = contents(dir.path());
    std::size_t foreign = 0;
    for (const auto& [name, text] : files) foreign += text == "foreign\n";
    EXPECT_EQ(foreign, 2u);
    EXPECT_EQ(files.size(), 1u + 2u + 2u + 3u * 303u + 3u);
}

// A run puts its set in place under a lock on the prefix's folder, which the
// system releases when the holder ends: while another holds it, the run waits
// with its results complete beside their names.
TEST(ResultSet, TheSetIsPutInPlaceUnderALock) {
    ScratchDir dir;
    dir.write("in", input("x", 20, 1, 11));
    const int folder = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(folder, 0);
    ASSERT_EQ(::flock(folder, LOCK_EX), 0);
    e2e::Started program(dir.path(), {"in"});
    ASSERT_TRUE(program.wait_for_output(e2e::kOutput));
    ::usleep(300000);
    EXPECT_EQ(program.out().find(e2e::kCompleted), std::string::npos);
    const auto waiting = e2e::files_in(dir.path());
    for (const auto& name : waiting) {
        if (name == "in") continue;
        EXPECT_EQ(name.rfind(".Tuvamo-", 0), 0u) << name;
    }
    EXPECT_EQ(waiting.size(), 1u + 2u + 3u * 3u + 3u);
    ::close(folder);
    const auto run = program.wait();
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.out.find(e2e::kCompleted), std::string::npos);
    EXPECT_EQ(e2e::files_in(dir.path()).count("x.LocusGST"), 1u);
    EXPECT_EQ(e2e::files_in(dir.path()).size(), 1u + 2u + 3u * 3u + 3u);
}

// Two runs with one prefix that reach the commit together leave one run's
// complete set: both wait at the lock with their files written, and the
// second to take it replaces the whole set of the first.
TEST(ResultSet, TwoRunsWithOnePrefixLeaveOneRunsSet) {
    const std::string a = input("x", 200, 1, 11, 100), b = input("x", 200, 1, 12, 100);
    const auto set_a = complete_set(a), set_b = complete_set(b);
    ASSERT_NE(set_a, set_b);
    ScratchDir dir;
    dir.write("a", a);
    dir.write("b", b);
    std::optional<HeldLock> lock(std::in_place, dir.path());
    e2e::Started first(dir.path(), {"a"}), second(dir.path(), {"b"});
    ASSERT_TRUE(HeldLock::wait_for_waiters(dir.path(), 2));
    // Both sets complete as temporaries, nothing in place yet.
    EXPECT_EQ(e2e::files_in(dir.path()).size(), 2u + 2u * set_a.size());
    lock.reset();
    EXPECT_EQ(first.wait().status, 0);
    EXPECT_EQ(second.wait().status, 0);
    auto files = contents(dir.path());
    files.erase("a");
    files.erase("b");
    std::size_t from_a = 0, from_b = 0;
    for (const auto& [name, text] : files) {
        from_a += set_a.count(name) != 0 && set_a.at(name) == text;
        from_b += set_b.count(name) != 0 && set_b.at(name) == text;
    }
    EXPECT_TRUE(files == set_a || files == set_b)
        << files.size() << " files, " << from_a << " as the first run's, " << from_b << " as the second's";
}

// A link at a result name stays a link, and the file it leads to receives the
// results; a result file keeps its permission bits.
TEST(ResultSet, LinksAndPermissionBitsAreKept) {
    const std::string text = input("x", 10, 0, 7);
    const auto reference = complete_set(text);
    ScratchDir dir;
    dir.write("in", text);
    fs::create_directory(dir.path() / "sub");
    dir.write("sub/summary.csv", "old\n");
    fs::create_symlink("sub/summary.csv", dir.path() / "x.MeanGST");
    dir.write("x.LocusGST", "old\n");
    ::chmod((dir.path() / "x.LocusGST").c_str(), 0640);
    const auto run = e2e::run(dir.path(), {"in"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(fs::is_symlink(dir.path() / "x.MeanGST"));
    EXPECT_EQ(dir.read("sub/summary.csv"), reference.at("x.MeanGST"));
    EXPECT_EQ(dir.read("x.LocusGST"), reference.at("x.LocusGST"));
    struct stat st {};
    ASSERT_EQ(::stat((dir.path() / "x.LocusGST").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

// The command prefix that runs the program as a user without root's rights
// (root passes every permission check): "" when the tests do not run as root,
// the user nobody otherwise; false when that is not possible here.
bool unprivileged(std::string& as_user) {
    as_user.clear();
    if (::geteuid() != 0) return true;
    if (std::system("command -v setpriv >/dev/null 2>&1") != 0) return false;
    as_user = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
    return true;
}

// In a folder where the user may not create files but may write the existing
// result files, the run writes them in place; a result file that does not
// exist there ends the run before the analysis.
TEST(ResultSet, ALockedFolderWithWritableResultFiles) {
    std::string as_user;
    if (!unprivileged(as_user)) GTEST_SKIP() << "setpriv is not available to run as an unprivileged user";
    const std::string text = input("x", 10, 0, 7);
    const auto reference = complete_set(text);
    ScratchDir dir;
    dir.write("in", text);
    dir.write("x.LocusGST", "old\n");
    dir.write("x.MeanGST", "old\n");
    for (const char* name : {"x.LocusGST", "x.MeanGST"}) ::chmod((dir.path() / name).c_str(), 0666);
    ::chmod(dir.path().c_str(), 0555);
    auto run = e2e::run_command(dir.path(), as_user + e2e::shell_quote(e2e::exe()) + " in");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(dir.read("x.LocusGST"), reference.at("x.LocusGST"));
    EXPECT_EQ(dir.read("x.MeanGST"), reference.at("x.MeanGST"));

    ::chmod(dir.path().c_str(), 0755);
    fs::remove(dir.path() / "x.MeanGST");
    ::chmod(dir.path().c_str(), 0555);
    run = e2e::run_command(dir.path(), as_user + e2e::shell_quote(e2e::exe()) + " in");
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, e2e::kReading);
    EXPECT_EQ(run.err, "Tuvamo: cannot create result file: x.MeanGST: Permission denied\n");
    ::chmod(dir.path().c_str(), 0755);
}

// A read-only result file is replaced like any other and keeps its bits; in
// a folder with the sticky bit, where only its owner may replace it, a
// writable one is written in place, and one that is neither ends the run
// before the analysis.
TEST(ResultSet, ReadOnlyFilesAndFoldersWithTheStickyBit) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to hand the files to another user";
    std::string as_user;
    if (!unprivileged(as_user)) GTEST_SKIP() << "setpriv is not available to run as an unprivileged user";
    const std::string text = input("x", 10, 0, 7);
    const auto reference = complete_set(text);
    const std::string command = as_user + e2e::shell_quote(e2e::exe()) + " in";

    ScratchDir dir;
    dir.write("in", text);
    ::chmod(dir.path().c_str(), 0777);
    dir.write("x.LocusGST", "old\n");
    ::chmod((dir.path() / "x.LocusGST").c_str(), 0444);
    auto run = e2e::run_command(dir.path(), command);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(dir.read("x.LocusGST"), reference.at("x.LocusGST"));
    struct stat st {};
    ASSERT_EQ(::stat((dir.path() / "x.LocusGST").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0444u);

    // Root's files, writable by all, in a folder with the sticky bit.
    for (const char* name : {"x.LocusGST", "x.MeanGST"}) {
        fs::remove(dir.path() / name);
        dir.write(name, "old\n");
        ::chmod((dir.path() / name).c_str(), 0666);
    }
    ::chmod(dir.path().c_str(), 01777);
    run = e2e::run_command(dir.path(), command);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(dir.read("x.LocusGST"), reference.at("x.LocusGST"));
    EXPECT_EQ(dir.read("x.MeanGST"), reference.at("x.MeanGST"));
    EXPECT_EQ(e2e::files_in(dir.path()), (std::set<std::string>{"in", "x.LocusGST", "x.MeanGST"}));

    ::chmod((dir.path() / "x.MeanGST").c_str(), 0644);
    dir.write("x.LocusGST", "old\n");
    run = e2e::run_command(dir.path(), command);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, e2e::kReading);
    EXPECT_EQ(run.err, "Tuvamo: cannot create result file: x.MeanGST: Operation not permitted\n");
    EXPECT_EQ(dir.read("x.LocusGST"), "old\n");
    EXPECT_EQ(e2e::files_in(dir.path()), (std::set<std::string>{"in", "x.LocusGST", "x.MeanGST"}));
    ::chmod(dir.path().c_str(), 0755);
}

// Two populations of 400 (the records of input() a hundred times over) at
// three loci, with `permutations` permutations and no per-permutation files:
// seconds of work for the processor on little memory.
std::string long_input(int permutations) {
    const std::string small = input("x", permutations, 0, 7);
    std::istringstream lines(small);
    std::ostringstream in;
    std::string line;
    for (int i = 0; i < 9 && std::getline(lines, line); ++i) in << line << "\n";
    for (int pop = 0; pop < 2; ++pop) {
        std::getline(lines, line);  // the sample size
        std::vector<std::string> records(4);
        for (auto& r : records) std::getline(lines, r);
        in << "400\n";
        for (int copy = 0; copy < 100; ++copy)
            for (const auto& r : records) in << r << "\n";
    }
    return in.str();
}

// Binds a socket of the local domain at `path`; it stays after the descriptor closes.
bool make_socket(const fs::path& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0) return false;
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    const std::string name = path.string();
    if (name.size() >= sizeof(address.sun_path)) return false;
    std::memcpy(address.sun_path, name.c_str(), name.size() + 1);
    const bool bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
    ::close(fd);
    return bound;
}

struct stat stat_of(const fs::path& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st;
}

// Whole runs where what the user or another user set up at the result names,
// or what happens to the run, would make it lose data, write where it may not,
// show results early or report an outcome the files do not have. Each row
// failed before the run checked for it. In every row the earlier files stay
// as they were unless the run completes.
TEST(ResultSet, WholeRunsThatMustNotLoseOrMisreport) {
    const std::string text = input("x", 10, 0, 7), with_files = input("x", 10, 1, 7);
    const auto reference = complete_set(text);
    const bool root = ::geteuid() == 0;
    std::string as_user;
    const bool can_drop = unprivileged(as_user);
    const std::string exe = e2e::shell_quote(e2e::exe());

    struct Case {
        std::string what;
        bool needs_root;
        std::function<void(const ScratchDir&)> set_up;  // the input is "in" unless set up otherwise
        std::string command;                             // run in the folder by the shell
        int status;
        std::string out, err;                            // "*": not compared
        std::function<void(const ScratchDir&, const e2e::Run&)> check;
    };
    const std::string reading_only = e2e::kReading;
    const auto unchanged = [](const std::set<std::string>& names) {
        return [names](const ScratchDir& dir, const e2e::Run&) {
            EXPECT_EQ(e2e::files_in(dir.path()), names);
            for (const auto& name : names) {
                if (name != "in") {
                    EXPECT_EQ(dir.read(name), "earlier\n") << name;
                }
            }
        };
    };
    const std::vector<Case> cases = {
        {"the input at the per-locus name", false,
         [&](const ScratchDir& dir) { dir.write("x.LocusGST", text); }, exe + " x.LocusGST", 1,
         reading_only + "The result file x.LocusGST is the input file!\n", "",
         [&](const ScratchDir& dir, const e2e::Run&) {
             EXPECT_EQ(e2e::files_in(dir.path()), (std::set<std::string>{"x.LocusGST"}));
             EXPECT_EQ(dir.read("x.LocusGST"), text);
         }},
        {"a link to the input at the summary name", false,
         [&](const ScratchDir& dir) {
             dir.write("in", text);
             fs::create_symlink("in", dir.path() / "x.MeanGST");
         },
         exe + " in", 1, reading_only + "The result file x.MeanGST is the input file!\n", "",
         [&](const ScratchDir& dir, const e2e::Run&) {
             EXPECT_EQ(e2e::files_in(dir.path()), (std::set<std::string>{"in", "x.MeanGST"}));
             EXPECT_TRUE(fs::is_symlink(dir.path() / "x.MeanGST"));
             EXPECT_EQ(dir.read("in"), text);
         }},
        {"a hard link to the input at a per-permutation name", false,
         [&](const ScratchDir& dir) {
             dir.write("in", with_files);
             fs::create_hard_link(dir.path() / "in", dir.path() / "x.Perm-L2-HS");
         },
         exe + " in", 1, reading_only + "The result file x.Perm-L2-HS is the input file!\n", "",
         [&](const ScratchDir& dir, const e2e::Run&) {
             EXPECT_EQ(e2e::files_in(dir.path()), (std::set<std::string>{"in", "x.Perm-L2-HS"}));
             EXPECT_EQ(dir.read("in"), with_files);
         }},
        {"a link planted by another user in a sticky folder", true,
         [&](const ScratchDir& dir) {
             dir.write("in", text);
             dir.write("precious", "precious\n");
             ::chown((dir.path() / "precious").c_str(), 65534, 65534);
             fs::create_symlink(dir.path() / "precious", dir.path() / "x.MeanGST");
             ::lchown((dir.path() / "x.MeanGST").c_str(), 1, 1);  // the user daemon's link
             ::chmod(dir.path().c_str(), 01777);
         },
         as_user + exe + " in", 2, reading_only, "Tuvamo: cannot create result file: x.MeanGST: Permission denied\n",
         [&](const ScratchDir& dir, const e2e::Run&) {
             EXPECT_EQ(dir.read("precious"), "precious\n");
             EXPECT_EQ(e2e::files_in(dir.path()), (std::set<std::string>{"in", "precious", "x.MeanGST"}));
             EXPECT_TRUE(fs::is_symlink(dir.path() / "x.MeanGST"));
             ::chmod(dir.path().c_str(), 0755);
         }},
        {"root replaces a user's private file", true,
         [&](const ScratchDir& dir) {
             dir.write("in", text);
             dir.write("x.LocusGST", "earlier\n");
             ::chown((dir.path() / "x.LocusGST").c_str(), 65534, 65534);
             ::chmod((dir.path() / "x.LocusGST").c_str(), 0600);
         },
         exe + " in", 0, "*", "",
         [&](const ScratchDir& dir, const e2e::Run&) {
             EXPECT_EQ(dir.read("x.LocusGST"), reference.at("x.LocusGST"));
             const struct stat st = stat_of(dir.path() / "x.LocusGST");
             EXPECT_EQ(st.st_uid, 65534u);
             EXPECT_EQ(st.st_gid, 65534u);
             EXPECT_EQ(st.st_mode & 07777, 0600u);
         }},
        {"a user replaces a file of a group they belong to", true,
         [&](const ScratchDir& dir) {
             dir.write("in", text);
             dir.write("x.MeanGST", "earlier\n");
             ::chown((dir.path() / "x.MeanGST").c_str(), 65534, 100);
             ::chmod((dir.path() / "x.MeanGST").c_str(), 0640);
             ::chmod(dir.path().c_str(), 0777);
         },
         "setpriv --reuid=65534 --regid=65534 --groups=100 " + exe + " in", 0, "*", "",
         [&](const ScratchDir& dir, const e2e::Run&) {
             EXPECT_EQ(dir.read("x.MeanGST"), reference.at("x.MeanGST"));
             const struct stat st = stat_of(dir.path() / "x.MeanGST");
             EXPECT_EQ(st.st_uid, 65534u);
             EXPECT_EQ(st.st_gid, 100u);
             EXPECT_EQ(st.st_mode & 07777, 0640u);
             ::chmod(dir.path().c_str(), 0755);
         }},
        {"a standard output that cannot be written", false,
         [&](const ScratchDir& dir) {
             dir.write("in", text);
             dir.write("x.LocusGST", "earlier\n");
         },
         exe + " in > /dev/full", 2, "", "Tuvamo: cannot write standard output: No space left on device\n",
         unchanged({"in", "x.LocusGST"})},
        {"a closed standard output", false,
         [&](const ScratchDir& dir) {
             dir.write("in", text);
             dir.write("x.LocusGST", "earlier\n");
         },
         exe + " in >&-", 2, "", "Tuvamo: cannot write standard output: Bad file descriptor\n",
         unchanged({"in", "x.LocusGST"})},
        {"a closed output pipe whose signal is ignored", false,
         [&](const ScratchDir& dir) {
             dir.write("in", text);
             dir.write("x.LocusGST", "earlier\n");
         },
         "trap '' PIPE; { " + exe + " in; echo $? > status; } | true; sleep 0.1", 0, "",
         "Tuvamo: cannot write standard output: Broken pipe\n",
         [&](const ScratchDir& dir, const e2e::Run&) {
             EXPECT_EQ(dir.read("status"), "2\n");
             EXPECT_EQ(e2e::files_in(dir.path()), (std::set<std::string>{"in", "status", "x.LocusGST"}));
             EXPECT_EQ(dir.read("x.LocusGST"), "earlier\n");
         }},
        {"a CPU-time limit", false,
         [&](const ScratchDir& dir) {
             dir.write("in", long_input(1000000));
             dir.write("x.LocusGST", "earlier\n");
         },
         "ulimit -c 0; ulimit -S -t 1; exec " + exe + " in", 128 + SIGXCPU, "*", "", unchanged({"in", "x.LocusGST"})},
        {"a socket at a result name", false,
         [&](const ScratchDir& dir) {
             dir.write("in", text);
             ASSERT_TRUE(make_socket(dir.path() / "x.MeanGST"));
         },
         exe + " in", 2, reading_only, "Tuvamo: cannot create result file: x.MeanGST: No such device or address\n",
         [&](const ScratchDir& dir, const e2e::Run&) {
             EXPECT_EQ(e2e::files_in(dir.path()), (std::set<std::string>{"in"}));
         }},
        {"a link to standard output, a pipe", false,
         [&](const ScratchDir& dir) {
             dir.write("in", text);
             fs::create_symlink("/dev/stdout", dir.path() / "x.MeanGST");
         },
         exe + " in | cat > piped", 0, "", "",
         [&](const ScratchDir& dir, const e2e::Run&) {
             const std::string piped = dir.read("piped");
             EXPECT_NE(piped.find(e2e::kOutput + reference.at("x.MeanGST") + e2e::kCompleted), std::string::npos)
                 << piped;
             EXPECT_TRUE(fs::is_symlink(dir.path() / "x.MeanGST"));
             // Seen from here the link leads to this test's own standard
             // output, which may be a regular file: leave it out.
             auto files = e2e::files_in(dir.path());
             files.erase("x.MeanGST");
             EXPECT_EQ(files, (std::set<std::string>{"in", "piped", "x.LocusGST"}));
             EXPECT_EQ(dir.read("x.LocusGST"), reference.at("x.LocusGST"));
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.needs_root && (!root || !can_drop)) {
            std::printf("skipped: %s (needs root and setpriv)\n", c.what.c_str());
            continue;
        }
        ScratchDir dir;
        c.set_up(dir);
        const auto run = e2e::run_command(dir.path(), c.command);
        EXPECT_EQ(run.status, c.status) << run.err;
        if (c.out != "*") {
            EXPECT_EQ(run.out, c.out);
        }
        if (c.err != "*") {
            EXPECT_EQ(run.err, c.err);
        }
        c.check(dir, run);
    }
}

// While the run waits for the lock, its temporaries are the user's alone;
// each takes its final bits (the replaced file's, else the umask's) only when
// it is put in place.
TEST(ResultSet, TemporariesArePrivateUntilPutInPlace) {
    ScratchDir dir;
    dir.write("in", input("x", 20, 1, 11));
    dir.write("x.LocusGST", "earlier\n");
    ::chmod((dir.path() / "x.LocusGST").c_str(), 0604);
    std::optional<HeldLock> lock(std::in_place, dir.path());
    e2e::Started program(dir.path(), e2e::Started::Command{{"/bin/sh", "-c", "umask 022; exec " +
                                                                                 e2e::shell_quote(e2e::exe()) + " in"}});
    ASSERT_TRUE(HeldLock::wait_for_waiters(dir.path(), 1));
    std::size_t temporaries = 0;
    for (const auto& name : e2e::files_in(dir.path())) {
        if (name.rfind(".Tuvamo-", 0) != 0) continue;
        ++temporaries;
        EXPECT_EQ(stat_of(dir.path() / name).st_mode & 077, 0u) << name;
    }
    EXPECT_EQ(temporaries, 2u + 3u * 3u + 3u);
    lock.reset();
    EXPECT_EQ(program.wait().status, 0);
    EXPECT_EQ(stat_of(dir.path() / "x.LocusGST").st_mode & 07777, 0604u);
    EXPECT_EQ(stat_of(dir.path() / "x.MeanGST").st_mode & 07777, 0644u);
    EXPECT_EQ(stat_of(dir.path() / "x.Perm-L1-GST").st_mode & 07777, 0644u);
}

// From the first rename on the run is committed: a signal that arrives then
// (here the closed output pipe's, which the last step line raises while the
// run holds it) is dropped, and the run ends as completed.
TEST(ResultSet, ASignalDuringTheRenamesDoesNotChangeTheOutcome) {
    const std::string text = input("x", 20, 1, 11);
    const auto reference = complete_set(text);
    ScratchDir dir;
    dir.write("in", text);
    dir.write("x.LocusGST", "earlier\n");
    std::optional<HeldLock> lock(std::in_place, dir.path());
    const std::string command = "{ " + e2e::shell_quote(e2e::exe()) +
                                " in; echo $? > status; } | { grep -m1 -q 'Outputing analysis'; touch closed; }";
    e2e::Started program(dir.path(), e2e::Started::Command{{"/bin/sh", "-c", command}});
    ASSERT_TRUE(HeldLock::wait_for_waiters(dir.path(), 1));
    for (int i = 0; i < 60000 && !fs::exists(dir.path() / "closed"); ++i) ::usleep(1000);
    ASSERT_TRUE(fs::exists(dir.path() / "closed"));
    lock.reset();
    program.wait();
    EXPECT_EQ(dir.read("status"), "0\n");
    auto files = contents(dir.path());
    for (const char* name : {"in", "status", "closed"}) files.erase(name);
    EXPECT_EQ(files, reference);
}

// Every signal whose default action ends the process removes the run's
// temporaries and then ends it as the signal would (a core dump included,
// here not written for the limit of 0), or as the handler found before the
// run's (the sanitizers') ends it.
TEST(ResultSet, EveryEndingSignalLeavesNoTemporary) {
    for (int signal_number : {SIGQUIT, SIGUSR1, SIGALRM, SIGABRT, SIGSEGV}) {
        SCOPED_TRACE(signal_number);
        ScratchDir dir;
        dir.write("in", input("x", 2000, 1, 7, 1500));
        dir.write("x.LocusGST", "earlier\n");
        e2e::Started program(dir.path(), e2e::Started::Command{{"/bin/sh", "-c", "ulimit -c 0; exec " +
                                                                                     e2e::shell_quote(e2e::exe()) + " in"}});
        ASSERT_TRUE(program.wait_for_output("Permutating individuals"));
        program.send(signal_number);
        const auto run = program.wait();
        if (signal_number == SIGSEGV && run.err.find("AddressSanitizer") != std::string::npos) {
            // The sanitizers' own handler, handed the signal on, reports it and ends the run its way.
            EXPECT_NE(run.status, 0);
        } else {
            EXPECT_EQ(run.status, 128 + signal_number) << run.err;
        }
        EXPECT_EQ(e2e::files_in(dir.path()), (std::set<std::string>{"in", "x.LocusGST"}));
        EXPECT_EQ(dir.read("x.LocusGST"), "earlier\n");
    }
}

// Memory that runs out while the temporaries are made ends the run with the
// memory diagnostic and leaves none of them: each limit of the address space
// from one that stops the reading to one the run fits in.
TEST(ResultSet, MemoryExhaustedWhileTheTemporariesAreMadeLeavesNone) {
    const std::string text = input("x", 20, 1, 7, 10000);
    std::size_t stopped_while_naming = 0;
    // Limits rise until a run gets past the naming: the ones below stop while
    // its 30,000 temporaries are made, at a different one each time.
    for (int limit_kb = 8000; limit_kb <= 80000; limit_kb += 1000) {
        SCOPED_TRACE(limit_kb);
        ScratchDir dir;
        dir.write("in", text);
        const auto run = e2e::run_command(dir.path(), "ulimit -v " + std::to_string(limit_kb) + "; exec " +
                                                          e2e::shell_quote(e2e::exe()) + " in");
        if (run.err.find("Sanitizer") != std::string::npos || run.err.find("libasan") != std::string::npos)
            GTEST_SKIP() << "the sanitizers' runtime cannot start under a limit of the address space";
        EXPECT_EQ(e2e::files_in(dir.path()).count("in"), 1u);
        for (const auto& name : e2e::files_in(dir.path())) EXPECT_EQ(name.find(".Tuvamo-"), std::string::npos) << name;
        if (run.status == 0) break;
        EXPECT_EQ(run.status, 2) << run.err;
        EXPECT_EQ(run.err, "Tuvamo: memory exhausted\n");
        if (run.out != e2e::kReading) break;
        ++stopped_while_naming;
    }
    EXPECT_GT(stopped_while_naming, 0u);
}

}  // namespace
