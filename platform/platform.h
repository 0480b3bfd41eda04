// Everything Tuvamo needs from the operating system, in one place: the line end,
// the floating-point mode, the time-of-day clock, the command line, standard output,
// input and result files, memory limits and the way a run ends.
//
// A run ends early by throwing RunStop, which the entry point catches (and then
// removes the temporaries of the run's result files); so tests can run the
// program's steps inside one process.
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

// Writes one line on standard error: "Tuvamo: <what>", then ": <file>" when a
// file is named and ": <reason>" when errno_value is not 0. Standard output is
// flushed first so the two streams keep their order.
void report(std::string_view what, std::string_view file = {}, int errno_value = 0);

// Ends the run after report()'s line.
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

// The most characters that a file name with its folders may have: a longer one
// can never be opened.
#ifdef _WIN32
inline constexpr std::size_t longest_file_name = 259;
#else
inline constexpr std::size_t longest_file_name = 4095;
#endif

// A text that two file names share exactly when they name one file as far as
// the names tell: taken as resolve_file_name takes them, with "." and ".."
// and repeated separators resolved, and letter case ignored on Windows.
std::string file_name_key(std::string_view name);

// Whether the folder `folder` holds two names that differ only in ASCII letter
// case as one file. Always true on Windows. On Linux it creates a private
// probe file (".Tuvamo-<process>-case<n>.tmp") in the folder, with every
// signal held until the probe is removed, and reads it back under another
// spelling; false where the folder takes no new file.
bool folder_ignores_case(const std::string& folder);

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
// count * size, or the largest size_t when the product does not fit: a bound
// that may stand for "no bound", never a size to allocate.
constexpr std::size_t saturated_product(std::size_t count, std::size_t size) {
    return size != 0 && count > SIZE_MAX / size ? SIZE_MAX : count * size;
}
// The most memory the program's arrays may hold at once (0: the default, 85 %
// of the machine's physical memory, on Windows also no more than the process
// can address), never more than PTRDIFF_MAX bytes. Tests and the fuzzer lower it.
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

    // Opens `name` for reading: any file that can be opened for reading and is
    // not a directory (a regular file, a pipe, a device). A UTF-8 byte-order
    // mark at its very start is skipped. False when that is impossible, with
    // the system's reason (an errno value) in `error`.
    bool open(const std::string& name, int& error);
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
    void fill();
    std::FILE* file_ = nullptr;
    std::string name_;
    char buf_[65536];
    std::size_t pos_ = 0;
    std::size_t len_ = 0;
};

// ---- Result files -------------------------------------------------------------------

// The result files of a run form one set. Each is written to a temporary file
// (".Tuvamo-<process>-<n>.tmp", readable by the user alone until it takes its
// final owner, group and permission bits just before it is put in place)
// beside the file it will replace, and only commit_results() puts them in
// place, all of them, one after another; a run that fails or is interrupted
// before that leaves every earlier file as it was. A name that is a symbolic
// link stands for the file it leads to, where the system would follow that
// link for this user; that file is replaced. Written in place instead: an
// existing device or pipe at a result name, a link that leads to one or that
// only the system can follow (such as /dev/stdout), and an existing file
// that may be written in a folder that refuses new files.

// Makes `name` (used as resolve_file_name gives it) a result file of the run
// and creates its temporary file now, so that a name or a folder that cannot
// be written ends the run with the file diagnostic before the work is done.
// A name given again is the same file.
void add_result(std::string_view name);

// The first result name of the set that leads to the run's input file (the
// same file, under whatever name); empty when none does.
std::string result_that_is_input();

// Puts every written result file of the run in place under a lock on the
// folder that holds `lock_for` (the first result's folder when empty), so
// that two runs never mix their sets; then the set is empty. Ends the run
// with the file diagnostic when a file of the set was not written or cannot
// be put in place. Within a run, from the first rename on the run is
// committed: a signal is held back until end_run(), which drops it, and a
// standard output that fails no longer ends the run.
void commit_results(std::string_view lock_for = {});

// Removes the temporary files of the set and empties it: the run ends
// without its results.
void discard_results() noexcept;

// Starts a run: from here on every signal whose default action ends the
// process (on Windows Ctrl-C, Ctrl-Break and closing the console) removes
// the run's temporary files and then takes its course as it would have; a
// signal the caller ignores stays ignored.
void handle_interrupts();

// Ends the run that ended with `status`: hands standard output's last text to
// the system (a failure there, before the set is committed, is reported and
// gives the fatal status), drops the signals held since the commit and puts
// back the signal handling found at handle_interrupts(). The run's status.
int end_run(int status) noexcept;

// One result file of the run, written through a buffer. Every failure ends
// the run with the fatal file diagnostic.
class OutputFile {
public:
    OutputFile() = default;
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Starts writing the result file `name` (adding it to the run's set when
    // it is not there yet), from its start.
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
    // Completes the file; commit_results() puts it in place.
    void close();

private:
    void flush_buffer();
    void write_direct(std::string_view text);
    std::FILE* file_ = nullptr;
    std::string name_;
    std::size_t index_ = 0;  // in the run's set
    char buf_[room_limit];
    std::size_t len_ = 0;
};

}  // namespace platform
