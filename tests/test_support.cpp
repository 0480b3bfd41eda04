#include "tests/test_support.h"

#include <atomic>
#include <unistd.h>
#include <fstream>
#include <sstream>

#include "analysis/variables.h"
#include "numerics/random.h"
#include "platform/platform.h"

void reset_program_state() {
    variables = Variables{};
    reset_random_state();
}

StepResult run_captured(const std::function<void()>& step) {
    StepResult result;
    platform::capture_output(&result.out);
    try {
        step();
    } catch (const platform::RunStop& stop) {
        result.status = stop.status;
    } catch (...) {
        platform::capture_output(nullptr);
        throw;
    }
    platform::capture_output(nullptr);
    return result;
}

void set_arguments(const std::vector<std::string>& args) {
    std::vector<const char*> argv{"Tuvamo"};
    for (const auto& a : args) argv.push_back(a.c_str());
    platform::set_command_line(static_cast<int>(argv.size()), argv.data());
}

ScratchDir::ScratchDir() {
    static std::atomic<int> counter{0};
    auto base = std::filesystem::temp_directory_path();
    for (;;) {
        auto candidate = base / ("tuvamo-test-" + std::to_string(::getpid()) + "-" +
                                 std::to_string(counter++));
        if (std::filesystem::create_directory(candidate)) {
            path_ = candidate;
            return;
        }
    }
}

ScratchDir::~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string ScratchDir::write(const std::string& name, const std::string& content) const {
    auto p = path_ / name;
    std::ofstream f(p, std::ios::binary);
    f << content;
    return p.string();
}

std::string ScratchDir::read(const std::string& name) const {
    std::ifstream f(path_ / name, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

ChangeDir::ChangeDir(const std::filesystem::path& dir) : old_(std::filesystem::current_path()) {
    std::filesystem::current_path(dir);
}

ChangeDir::~ChangeDir() {
    std::error_code ec;
    std::filesystem::current_path(old_, ec);
}
