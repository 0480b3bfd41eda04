#include "platform/platform.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <string>
#include <vector>

#include <xmmintrin.h>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <sys/stat.h>
#else
#include <fcntl.h>
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
#endif

std::size_t default_allocation_limit() {
#if defined(_SC_PHYS_PAGES) && defined(_SC_PAGESIZE)
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
    if (!stdout_binary) {
        // Line ends are written by the program itself; the C library must not
        // add a second carriage return.
        _setmode(_fileno(stdout), _O_BINARY);
        stdout_binary = true;
    }
#endif
    std::fwrite(text.data(), 1, text.size(), stdout);
}

}  // namespace

[[noreturn]] void stop(int status) { throw RunStop{status}; }

[[noreturn]] void fatal(std::string_view what, std::string_view file, int errno_value) {
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
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
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
    double s = local.tm_hour * 3600.0 + local.tm_min * 60.0 + local.tm_sec + tv.tv_usec / 1.0e6;
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
    if (!captured) std::fflush(stdout);
}

void capture_output(std::string* sink) { captured = sink; }

std::size_t checked_bytes(std::size_t count, std::size_t size) {
    if (allocation_limit == 0) allocation_limit = default_allocation_limit();
    if (size != 0 && count > allocation_limit / size) out_of_memory();
    return count * size;
}

void set_allocation_limit(std::size_t bytes) { allocation_limit = bytes; }

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

bool InputFile::open(const std::string& name) {
    close();
    if (name.empty()) return false;
#ifndef _WIN32
    struct stat st;
    // Only a regular file: a device or a pipe could feed the reader forever.
    if (stat(name.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
#else
    DWORD attributes = GetFileAttributesA(name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) return false;
#endif
    file_ = std::fopen(name.c_str(), "rb");
    if (!file_) return false;
    name_ = name;
    pos_ = len_ = 0;
    return true;
}

int InputFile::refill() {
    if (!file_) return -1;
    pos_ = 0;
    len_ = std::fread(buf_, 1, sizeof(buf_), file_);
    if (len_ == 0) {
        if (std::ferror(file_)) fatal("cannot read input file", name_, errno);
        return -1;
    }
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

// ---- Result files ------------------------------------------------------------------------

OutputFile::~OutputFile() { discard(); }

void OutputFile::discard() noexcept {
    if (file_) {
        std::fclose(file_);
        file_ = nullptr;
    }
    if (!temp_name_.empty()) {
        std::remove(temp_name_.c_str());
        temp_name_.clear();
    }
    len_ = 0;
}

void OutputFile::open(std::string_view name) {
    discard();
    final_name_ = resolve_file_name(name);
    if (final_name_.find('\0') != std::string::npos) {
        // A name the file system cannot take whole; show the zero bytes.
        std::string shown;
        for (char c : final_name_) shown += c == '\0' ? std::string("\\0") : std::string(1, c);
        fatal("cannot create result file (its name holds a zero byte)", shown);
    }
    // The temporary name stays in the final file's directory, so the rename
    // that puts it in place never crosses a file system. It is created only
    // where nothing of that name exists, not even a dangling link, so the
    // results cannot be led elsewhere.
    for (int attempt = 0; attempt < 10000; ++attempt) {
        std::string candidate = final_name_ + ".tmp" + std::to_string(attempt);
#ifdef _WIN32
        const int fd = _open(candidate.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
#else
        const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
#endif
        if (fd < 0 && errno == EEXIST) continue;
        if (fd < 0) fatal("cannot create result file", final_name_, errno);
#ifdef _WIN32
        file_ = _fdopen(fd, "wb");
#else
        file_ = ::fdopen(fd, "wb");
#endif
        if (!file_) {
            const int err = errno;
#ifdef _WIN32
            _close(fd);
#else
            ::close(fd);
#endif
            std::remove(candidate.c_str());
            fatal("cannot create result file", final_name_, err);
        }
        temp_name_ = candidate;
        len_ = 0;
        return;
    }
    fatal("cannot create result file (temporary names in use)", final_name_);
}

void OutputFile::flush_buffer() {
    if (len_ == 0) return;
    if (std::fwrite(buf_, 1, len_, file_) != len_) {
        int err = errno;
        std::string name = final_name_;
        discard();
        fatal("cannot write result file", name, err);
    }
    len_ = 0;
}

void OutputFile::write_direct(std::string_view text) {
    if (std::fwrite(text.data(), 1, text.size(), file_) != text.size()) {
        int err = errno;
        std::string name = final_name_;
        discard();
        fatal("cannot write result file", name, err);
    }
}

void OutputFile::commit() {
    flush_buffer();
    std::FILE* f = file_;
    file_ = nullptr;
    if (std::fflush(f) != 0 || std::ferror(f)) {
        int err = errno;
        std::fclose(f);
        std::string name = final_name_;
        discard();
        fatal("cannot write result file", name, err);
    }
    if (std::fclose(f) != 0) {
        int err = errno;
        std::string name = final_name_;
        discard();
        fatal("cannot close result file", name, err);
    }
#ifdef _WIN32
    bool moved = MoveFileExA(temp_name_.c_str(), final_name_.c_str(),
                             MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    int err = moved ? 0 : EACCES;
#else
    bool moved = std::rename(temp_name_.c_str(), final_name_.c_str()) == 0;
    int err = moved ? 0 : errno;
#endif
    if (!moved) {
        std::string name = final_name_;
        discard();
        fatal("cannot replace result file", name, err);
    }
    temp_name_.clear();
}

}  // namespace platform
