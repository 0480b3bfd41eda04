// Whole runs on the result files as one set: all or nothing, early failure,
// interruption, concurrent runs, and what the user set up at the result names.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/e2e_support.h"

namespace {

namespace fs = std::filesystem;

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

// Two runs with one prefix started together leave one run's complete set.
TEST(ResultSet, TwoRunsWithOnePrefixLeaveOneRunsSet) {
    const std::string a = input("x", 200, 1, 11, 100), b = input("x", 200, 1, 12, 100);
    const auto set_a = complete_set(a), set_b = complete_set(b);
    ASSERT_NE(set_a, set_b);
    for (int attempt = 0; attempt < 10; ++attempt) {
        SCOPED_TRACE(attempt);
        ScratchDir dir;
        dir.write("a", a);
        dir.write("b", b);
        e2e::Started first(dir.path(), {"a"}), second(dir.path(), {"b"});
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

}  // namespace
