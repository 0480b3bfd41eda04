// Runs the built Tuvamo program as a separate process.
#pragma once

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/files.h"

namespace e2e {

struct Run {
    int status = -1;       // exit status, or 128 + the signal that ended it
    std::string out;
    std::string err;
    long max_rss_kb = 0;   // the largest resident set of the command's processes
};

inline std::string shell_quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) {
        if (c == '\'')
            q += "'\\''";
        else
            q += c;
    }
    return q + "'";
}

inline std::string exe() { return TUVAMO_EXE; }

// A process started in `dir` beside the test, its standard input from
// /dev/null and its standard output and error going to files that can be read
// while it runs.
class Started {
public:
    // The words of a command line: the file to run, then its arguments.
    struct Command {
        std::vector<std::string> words;
    };

    // The program with `args`.
    Started(const std::filesystem::path& dir, const std::vector<std::string>& args)
        : Started(dir, Command{with_program(args)}) {}

    Started(const std::filesystem::path& dir, Command command) {
        static int counter = 0;
        const auto tag = std::to_string(::getpid()) + "-" + std::to_string(counter++);
        out_ = std::filesystem::temp_directory_path() / ("tuvamo-e2e-out-" + tag);
        err_ = std::filesystem::temp_directory_path() / ("tuvamo-e2e-err-" + tag);
        pid_ = ::fork();
        if (pid_ == 0) {
            const int in_fd = ::open("/dev/null", O_RDONLY);
            const int out_fd = ::open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int err_fd = ::open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (in_fd < 0 || out_fd < 0 || err_fd < 0 || ::chdir(dir.c_str()) != 0) ::_exit(127);
            ::dup2(in_fd, 0);
            ::dup2(out_fd, 1);
            ::dup2(err_fd, 2);
            std::vector<char*> argv;
            for (auto& w : command.words) argv.push_back(w.data());
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
    }
    ~Started() {
        if (pid_ > 0 && !waited_) {
            ::kill(pid_, SIGKILL);
            wait();
        }
    }
    Started(const Started&) = delete;
    Started& operator=(const Started&) = delete;

    // What the process has written on standard output so far.
    std::string out() const { return read_file(out_); }
    // Waits (up to about a minute) until standard output holds `text`.
    bool wait_for_output(const std::string& text) const {
        for (int i = 0; i < 60000; ++i) {
            if (out().find(text) != std::string::npos) return true;
            ::usleep(1000);
        }
        return false;
    }
    void send(int signal_number) const { ::kill(pid_, signal_number); }
    // Waits for the process's end.
    Run wait() {
        Run r;
        int raw = 0;
        struct rusage usage {};
        if (pid_ <= 0 || ::wait4(pid_, &raw, 0, &usage) != pid_) return r;
        waited_ = true;
        r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        r.max_rss_kb = usage.ru_maxrss;
        r.out = read_file(out_);
        r.err = read_file(err_);
        std::filesystem::remove(out_);
        std::filesystem::remove(err_);
        return r;
    }

private:
    static std::vector<std::string> with_program(const std::vector<std::string>& args) {
        std::vector<std::string> words{exe()};
        words.insert(words.end(), args.begin(), args.end());
        return words;
    }

    pid_t pid_ = -1;
    bool waited_ = false;
    std::filesystem::path out_, err_;
};

// Runs the shell command line `command` in `dir`; its standard input is
// /dev/null unless the command says otherwise.
inline Run run_command(const std::filesystem::path& dir, const std::string& command) {
    return Started(dir, Started::Command{{"/bin/sh", "-c", command}}).wait();
}

// Runs the program in `dir` with `args`; `env` is a prefix of VAR=value words
// (or a command such as "timeout 20" that runs the program).
inline Run run(const std::filesystem::path& dir, const std::vector<std::string>& args,
               const std::string& env = {}) {
    std::string cmd = env + " " + shell_quote(exe());
    for (const auto& a : args) cmd.append(" ").append(shell_quote(a));
    return run_command(dir, cmd);
}

// The names of the regular files in `dir`.
inline std::set<std::string> files_in(const std::filesystem::path& dir) {
    std::set<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir))
        if (e.is_regular_file()) names.insert(e.path().filename().string());
    return names;
}

// The driver's step lines.
inline const std::string kReading = "Reading data/parameters...\n";
inline const std::string kComputing = "Computing Gst, Hs of original data...\n";
inline const std::string kCorrelating = "Computing correlation between Gst & Hs of original data...\n";
inline const std::string kTesting = "Permutating Gst & Hs among loci for correlation significance test...\n";
inline const std::string kPermuting = "Permutating individuals among populations for Gst significance test per locus...\n";
inline const std::string kOutputPerm = "Outputing individual permutation results...\n";
inline const std::string kOutput = "Outputing analysis results...\n";
inline const std::string kCompleted = "Analysis completed!\n";

}  // namespace e2e
