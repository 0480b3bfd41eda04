#include "platform/platform.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include <xmmintrin.h>

#include "platform/results_sys.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <sys/stat.h>
#else
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>
#endif

namespace platform {

namespace {

std::vector<std::string> command_line;
std::string* captured = nullptr;
std::size_t allocation_limit = 0;  // 0: not yet decided
std::size_t claimed = 0;           // bytes held by MemoryClaims
#ifdef _WIN32
bool stdout_binary = false;
bool stderr_binary = false;

// Line ends are written by the program itself; the C library must not add a
// second carriage return to a stream in text mode.
void set_binary(std::FILE* stream, bool& done) {
    if (done) return;
    _setmode(_fileno(stream), _O_BINARY);
    done = true;
}
#endif
bool stdout_failed = false;  // reported once

// A write to standard output failed with `error`: before the set is
// committed the run ends at once, with the system's reason from that write.
void output_failed(int error) {
    if (stdout_failed || sys::committed()) return;
    stdout_failed = true;
    fatal("cannot write standard output", {}, error);
}

std::size_t default_allocation_limit() {
#ifdef _WIN32
    // 85 % of the physical memory, and no more than the process can address.
    MEMORYSTATUSEX status;
    status.dwLength = sizeof(status);
    if (GlobalMemoryStatusEx(&status)) {
        const unsigned long long limit = std::min(status.ullTotalPhys / 20 * 17, status.ullTotalVirtual);
        if (limit < std::numeric_limits<std::size_t>::max()) return static_cast<std::size_t>(limit);
    }
#elif defined(_SC_PHYS_PAGES) && defined(_SC_PAGESIZE)
    long pages = sysconf(_SC_PHYS_PAGES);
    long page = sysconf(_SC_PAGESIZE);
    if (pages > 0 && page > 0 &&
        static_cast<unsigned long long>(pages) <=
            std::numeric_limits<std::size_t>::max() / static_cast<unsigned long long>(page))
        return static_cast<std::size_t>(pages) / 20 * 17 * static_cast<std::size_t>(page);
#endif
    return std::numeric_limits<std::size_t>::max();
}

void write_stdout(std::string_view text) {
    if (text.empty()) return;
#ifdef _WIN32
    set_binary(stdout, stdout_binary);
#endif
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size()) output_failed(errno);
}

}  // namespace

[[noreturn]] void stop(int status) { throw RunStop{status}; }

void report(std::string_view what, std::string_view file, int errno_value) {
    std::fflush(stdout);
    std::string line = "Tuvamo: ";
    line += what;
    if (!file.empty()) {
        line += ": ";
        line += file;
    }
    if (errno_value != 0) {
        line += ": ";
        line += std::strerror(errno_value);
    }
    line += line_end;
#ifdef _WIN32
    set_binary(stderr, stderr_binary);
#endif
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

[[noreturn]] void fatal(std::string_view what, std::string_view file, int errno_value) {
    report(what, file, errno_value);
    stop(status_fatal);
}

[[noreturn]] void out_of_memory() { fatal("memory exhausted"); }

void set_fp_mode() {
    // Bit 15: flush-to-zero; bit 6: denormals-are-zero. The rounding field and
    // the exception masks are left alone.
    _mm_setcsr(_mm_getcsr() | 0x8040u);
}

float clock_seconds() {
#ifdef _WIN32
    SYSTEMTIME st;
    GetLocalTime(&st);
    double s = st.wHour * 3600.0 + st.wMinute * 60.0 + st.wSecond + st.wMilliseconds / 1000.0;
    return static_cast<float>(s);
#else
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    std::time_t now = tv.tv_sec;
    struct tm local;
    localtime_r(&now, &local);
    double s = local.tm_hour * 3600.0 + local.tm_min * 60.0 + local.tm_sec + static_cast<double>(tv.tv_usec) / 1.0e6;
    return static_cast<float>(s);
#endif
}

void set_command_line(int argc, const char* const* argv) {
    command_line.clear();
    for (int i = 0; i < argc; ++i) command_line.emplace_back(argv[i] ? argv[i] : "");
}

std::string command_argument(int i) {
    if (i < 0 || static_cast<std::size_t>(i) >= command_line.size()) return {};
    return command_line[static_cast<std::size_t>(i)];
}

std::string resolve_file_name(std::string_view name) {
    std::size_t b = 0, e = name.size();
    while (b < e && name[b] == ' ') ++b;
    while (e > b && name[e - 1] == ' ') --e;
    std::string result(name.substr(b, e - b));
#ifndef _WIN32
    if (result.size() >= 2 && result[0] == '~' && result[1] == '/') {
        if (const char* home = std::getenv("HOME")) result = std::string(home) + result.substr(1);
    }
#endif
    return result;
}

std::string file_name_key(std::string_view name) {
    std::string key = std::filesystem::path(resolve_file_name(name)).lexically_normal().generic_string();
#ifdef _WIN32
    for (char& c : key)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
#endif
    return key;
}

void out(std::string_view text) {
    if (captured)
        captured->append(text);
    else
        write_stdout(text);
}

void out_end_line() { out(line_end); }

void out_freeform_line(std::string_view text) {
    out(" ");
    out(text);
    out_end_line();
}

void out_flush() {
    if (!captured && std::fflush(stdout) != 0) output_failed(errno);
}

int finish_output(int status) noexcept {
    const bool failed = stdout_failed;
    stdout_failed = false;
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return status;
    const int error = errno;
    std::clearerr(stdout);
    if (failed || sys::committed()) return status;
    report("cannot write standard output", {}, error);
    return status_fatal;
}

void capture_output(std::string* sink) { captured = sink; }

// No array may be larger than PTRDIFF_MAX bytes: then the distance between
// any two of its elements is a ptrdiff_t, and the sum of two sizes that were
// each checked cannot wrap a size_t.
constexpr std::size_t largest_limit = static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max());

std::size_t checked_bytes(std::size_t count, std::size_t size) {
    if (allocation_limit == 0) allocation_limit = std::min(default_allocation_limit(), largest_limit);
    if (size != 0 && count > allocation_limit / size) out_of_memory();
    return count * size;
}

void set_allocation_limit(std::size_t bytes) { allocation_limit = std::min(bytes, largest_limit); }

void MemoryClaim::claim(std::size_t count, std::size_t size) {
    const std::size_t bytes = checked_bytes(count, size);
    release();
    if (claimed > allocation_limit || bytes > allocation_limit - claimed) out_of_memory();
    claimed += bytes;
    bytes_ = bytes;
}

void MemoryClaim::release() noexcept {
    claimed -= bytes_;
    bytes_ = 0;
}

// ---- Input file ----------------------------------------------------------------------

InputFile::~InputFile() {
    // Only a run that is ending anyway gets here with the file open.
    if (file_) std::fclose(file_);
}

bool InputFile::open(const std::string& name, int& error) {
    close();
    error = 0;
    if (name.empty()) {
        error = ENOENT;
        return false;
    }
#ifdef _WIN32
    const DWORD attributes = GetFileAttributesA(name.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        error = EISDIR;
        return false;
    }
#endif
    file_ = std::fopen(name.c_str(), "rb");
    if (!file_) {
        error = errno != 0 ? errno : ENOENT;
        return false;
    }
#ifndef _WIN32
    // A directory opens for reading on Linux but holds no text.
    struct stat st;
    if (fstat(fileno(file_), &st) == 0 && S_ISDIR(st.st_mode)) {
        std::fclose(file_);
        file_ = nullptr;
        error = EISDIR;
        return false;
    }
#endif
    name_ = name;
    sys::note_input(file_);
    pos_ = len_ = 0;
    // The byte-order mark that editors put before UTF-8 text.
    fill();
    if (len_ >= 3 && std::memcmp(buf_, "\xEF\xBB\xBF", 3) == 0) pos_ = 3;
    return true;
}

void InputFile::fill() {
    pos_ = 0;
    len_ = std::fread(buf_, 1, sizeof(buf_), file_);
    if (len_ == 0 && std::ferror(file_)) fatal("cannot read input file", name_, errno);
}

int InputFile::refill() {
    if (!file_) return -1;
    fill();
    if (len_ == 0) return -1;
    return static_cast<unsigned char>(buf_[pos_++]);
}

void InputFile::close() {
    if (file_) {
        std::FILE* f = file_;
        file_ = nullptr;
        if (std::fclose(f) != 0) fatal("cannot close input file", name_, errno);
    }
    pos_ = len_ = 0;
}

}  // namespace platform
