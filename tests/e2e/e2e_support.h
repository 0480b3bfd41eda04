// Runs the built Tuvamo program as a separate process.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <sys/wait.h>

namespace e2e {

struct Run {
    int status = -1;
    std::string out;
    std::string err;
};

inline std::string read_file(const std::filesystem::path& p) {
    std::ifstream f(p, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

inline void write_file(const std::filesystem::path& p, const std::string& content) {
    std::ofstream f(p, std::ios::binary);
    f << content;
}

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

// Runs the program in `dir` with `args`; `env` is a prefix of VAR=value words.
inline Run run(const std::filesystem::path& dir, const std::vector<std::string>& args,
               const std::string& env = {}) {
    auto out = std::filesystem::temp_directory_path() / ("tuvamo-e2e-out-" + std::to_string(::getpid()));
    auto err = std::filesystem::temp_directory_path() / ("tuvamo-e2e-err-" + std::to_string(::getpid()));
    std::string cmd = "cd " + shell_quote(dir.string()) + " && " + env + " " + shell_quote(TUVAMO_EXE);
    for (const auto& a : args) cmd.append(" ").append(shell_quote(a));
    cmd += " > " + shell_quote(out.string()) + " 2> " + shell_quote(err.string()) + " < /dev/null";
    int raw = std::system(cmd.c_str());
    Run r;
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    r.out = read_file(out);
    r.err = read_file(err);
    std::filesystem::remove(out);
    std::filesystem::remove(err);
    return r;
}

// The names of the regular files in `dir`.
inline std::set<std::string> files_in(const std::filesystem::path& dir) {
    std::set<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir))
        if (e.is_regular_file()) names.insert(e.path().filename().string());
    return names;
}

// A fresh empty directory, removed with its contents at destruction.
class Scratch {
public:
    Scratch() {
        static int counter = 0;
        auto base = std::filesystem::temp_directory_path();
        for (;;) {
            path_ = base / ("tuvamo-e2e-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
            if (std::filesystem::create_directory(path_)) break;
        }
    }
    ~Scratch() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    const std::filesystem::path& path() const { return path_; }
    void write(const std::string& name, const std::string& content) const { write_file(path_ / name, content); }
    std::string read(const std::string& name) const { return read_file(path_ / name); }

private:
    std::filesystem::path path_;
};

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
