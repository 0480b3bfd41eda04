// Files and scratch directories for the tests: shared by the in-process
// tests and the whole runs, and depending on nothing of the program.
#pragma once

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

// The content of the file at `p` ("" if absent).
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

// A fresh empty directory, removed with its contents at destruction.
class ScratchDir {
public:
    ScratchDir() {
        static std::atomic<int> counter{0};
        const auto base = std::filesystem::temp_directory_path();
        do path_ = base / ("tuvamo-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
        while (!std::filesystem::create_directory(path_));
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    // Writes `content` to the file `name` in the directory; returns its path.
    std::string write(const std::string& name, const std::string& content) const {
        write_file(path_ / name, content);
        return (path_ / name).string();
    }
    // The content of the file `name` in the directory ("" if absent).
    std::string read(const std::string& name) const { return read_file(path_ / name); }

private:
    std::filesystem::path path_;
};

// The current directory changed for the lifetime of the object.
class ChangeDir {
public:
    explicit ChangeDir(const std::filesystem::path& dir) : old_(std::filesystem::current_path()) {
        std::filesystem::current_path(dir);
    }
    ~ChangeDir() {
        std::error_code ec;
        std::filesystem::current_path(old_, ec);
    }
    ChangeDir(const ChangeDir&) = delete;
    ChangeDir& operator=(const ChangeDir&) = delete;

private:
    std::filesystem::path old_;
};
