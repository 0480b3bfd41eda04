// Everything Tuvamo needs from the operating system, in one place: the line end,
// the floating-point mode, the time-of-day clock, the command line, standard output,
// input and result files, memory limits and the way a run ends.
//
// A run ends early by throwing RunStop, which the entry point catches; so a stop
// unwinds through every open result file (which then removes its temporary file)
// and tests can run the program's steps inside one process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

namespace platform {

#ifdef _WIN32
inline constexpr std::string_view line_end = "\r\n";
#else
inline constexpr std::string_view line_end = "\n";
#endif

// Exit statuses: a completed run, a stop on an error the program reports on
// standard output, and a failure of the environment (memory, files).
inline constexpr int status_ok = 0;
inline constexpr int status_data_error = 1;
inline constexpr int status_fatal = 2;

// Thrown to end the run; caught only by the entry point, which returns `status`.
struct RunStop {
    int status;
};

// Ends the run with `status`, unwinding to the entry point.
[[noreturn]] void stop(int status);

// Ends the run after one line on standard error: "Tuvamo: <what>", then
// ": <file>" when a file is named and ": <reason>" when errno_value is not 0.
// Standard output is flushed first so the two streams keep their order.
[[noreturn]] void fatal(std::string_view what, std::string_view file = {}, int errno_value = 0);

// Ends the run with the diagnostic for exhausted memory.
[[noreturn]] void out_of_memory();

// Switches the processor to flush-to-zero and denormals-are-zero; rounding and
// exception masks stay as they are (nearest, all masked).
void set_fp_mode();

// Seconds since local midnight, as a single-precision number.
float clock_seconds();

// The command line as the program received it. Argument 0 is the program.
void set_command_line(int argc, const char* const* argv);
// Argument i, or an empty text when there is none.
std::string command_argument(int i);

// A file name as the program uses it: blanks at its start and end dropped; on
// Linux a leading "~/" is taken relative to $HOME.
std::string resolve_file_name(std::string_view name);

// ---- Standard output ------------------------------------------------------------

// Writes text without a line end.
void out(std::string_view text);
// Ends the current line.
void out_end_line();
// Writes one free-form line: a blank, the text, the line end.
void out_freeform_line(std::string_view text);
// Hands buffered output to the system (used after progress marks).
void out_flush();
// While `sink` is not null, standard output is appended to *sink instead
// (tests only).
void capture_output(std::string* sink);

// ---- Memory ---------------------------------------------------------------------

// count * size in bytes; ends the run with the memory diagnostic when the product
// does not fit or exceeds the memory the program allows.
std::size_t checked_bytes(std::size_t count, std::size_t size);
// The most memory the program's arrays may hold at once (0: the default, 85 %
// of the machine's physical memory on Linux, no limit of our own elsewhere).
// Tests and the fuzzer lower it.
void set_allocation_limit(std::size_t bytes);

// A share of that memory, held by an array for as long as it lives. Claiming
// more than is left ends the run with the memory diagnostic before anything is
// allocated or written, so that huge counts from a small input file end with
// the diagnostic rather than with the system running out of memory.
class MemoryClaim {
public:
    MemoryClaim() = default;
    MemoryClaim(MemoryClaim&& other) noexcept : bytes_(other.bytes_) { other.bytes_ = 0; }
    MemoryClaim& operator=(MemoryClaim&& other) noexcept {
        if (this != &other) {
            release();
            bytes_ = other.bytes_;
            other.bytes_ = 0;
        }
        return *this;
    }
    ~MemoryClaim() { release(); }
    // Replaces this claim by one of count * size bytes.
    void claim(std::size_t count, std::size_t size);
    void release() noexcept;

private:
    std::size_t bytes_ = 0;
};

// ---- Input file -------------------------------------------------------------------

// A text file read byte by byte through a buffer.
class InputFile {
public:
    InputFile() = default;
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    // Opens an existing regular file for reading; false when that is impossible.
    bool open(const std::string& name);
    // The next byte (0..255), or -1 at the end of the file. A read error ends
    // the run with the fatal file diagnostic.
    int get() {
        if (pos_ < len_) return static_cast<unsigned char>(buf_[pos_++]);
        return refill();
    }
    // Looks at the next byte without taking it.
    int peek() {
        if (pos_ < len_) return static_cast<unsigned char>(buf_[pos_]);
        int c = refill();
        if (c >= 0) --pos_;
        return c;
    }
    void close();

private:
    int refill();
    std::FILE* file_ = nullptr;
    std::string name_;
    char buf_[65536];
    std::size_t pos_ = 0;
    std::size_t len_ = 0;
};

// ---- Result files -------------------------------------------------------------------

// A result file written under a temporary name in its own directory and renamed
// over its final name by commit(), so that no reader ever sees a half-written
// file and a failed run leaves an earlier file of that name as it was. Every
// failure ends the run with the fatal file diagnostic; a file not committed is
// removed when the object goes away.
class OutputFile {
public:
    OutputFile() = default;
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Creates the temporary file for the result file `name` (used as
    // resolve_file_name gives it).
    void open(std::string_view name);
    void write(std::string_view text) {
        if (text.empty()) return;
        if (text.size() > sizeof(buf_) - len_) flush_buffer();
        if (text.size() > sizeof(buf_)) {
            write_direct(text);
            return;
        }
        std::memcpy(buf_ + len_, text.data(), text.size());
        len_ += text.size();
    }
    void end_line() { write(line_end); }
    // Room for `size` bytes (at most room_limit) at the end of the buffered
    // text; the caller fills the first n of them and then calls added(n),
    // which has the same effect as write() of those n bytes.
    static constexpr std::size_t room_limit = std::size_t{1} << 16;
    char* room(std::size_t size) {
        if (size > sizeof(buf_) - len_) flush_buffer();
        return buf_ + len_;
    }
    void added(std::size_t n) { len_ += n; }
    // Closes the file and puts it in place under its final name.
    void commit();

private:
    void flush_buffer();
    void write_direct(std::string_view text);
    void discard() noexcept;
    std::FILE* file_ = nullptr;
    std::string final_name_;
    std::string temp_name_;
    char buf_[room_limit];
    std::size_t len_ = 0;
};

}  // namespace platform
