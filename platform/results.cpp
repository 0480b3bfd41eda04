// The result files of a run as one set: temporary files beside the files they
// will replace, put in place together under a lock, and removed when the run
// fails or is interrupted.
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/platform.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace platform {

namespace {

// One result file of the run.
struct Result {
    std::string name;    // as the run names it, for the diagnostics
    std::string target;  // the file that receives the results: the name with its links followed
    std::string temp;    // the temporary beside the target; empty when the target is written in place
    bool written = false;
};

std::vector<Result> results;
std::unordered_map<std::string, std::size_t> result_index;  // name -> position in results
unsigned long temp_serial = 0;

// Every temporary file name the run has used, for the interrupt handler: a
// list that only grows at its head, each node complete before it is linked
// in, so that the handler may walk it at any moment.
struct TempNode {
    const char* path;
    TempNode* next;
};
std::atomic<TempNode*> temp_list{nullptr};
static_assert(std::atomic<TempNode*>::is_always_lock_free);

void publish_temp(const std::string& path) {
    char* copy = new char[path.size() + 1];
    std::memcpy(copy, path.c_str(), path.size() + 1);
    temp_list.store(new TempNode{copy, temp_list.load()});
}

// Forgets the published names (their files are gone or put in place).
void forget_temps() {
    TempNode* node = temp_list.exchange(nullptr);
    while (node) {
        TempNode* next = node->next;
        delete[] node->path;
        delete node;
        node = next;
    }
}

std::string directory_of(const std::string& path) {
    const std::size_t slash = path.find_last_of(
#ifdef _WIN32
        "/\\"
#else
        "/"
#endif
    );
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

int process_id() {
#ifdef _WIN32
    return _getpid();
#else
    return static_cast<int>(::getpid());
#endif
}

#ifdef _WIN32

// Held by the run while it creates, puts in place or removes temporary files,
// and by the console handler, which runs in a thread of its own.
struct Guard {
    Guard() { InitializeCriticalSection(&section); }
    CRITICAL_SECTION section;
};
Guard guard;
void enter() { EnterCriticalSection(&guard.section); }
void leave() { LeaveCriticalSection(&guard.section); }

BOOL WINAPI on_console_event(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) return FALSE;
    enter();  // never left: the process ends here
    for (TempNode* node = temp_list.load(); node; node = node->next) DeleteFileA(node->path);
    ExitProcess(static_cast<UINT>(STATUS_CONTROL_C_EXIT));
}

#else

// The signals that end a run cleanly: an interrupt, a request to end, a lost
// terminal, a closed output pipe, a file beyond the size limit.
constexpr int interrupt_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGXFSZ};

extern "C" void on_interrupt(int signal_number) {
    for (TempNode* node = temp_list.load(); node; node = node->next) ::unlink(node->path);
    // The handler was reset to the default, so the signal ends the process
    // as it would have without the handler, once this returns.
    ::raise(signal_number);
}

// Keeps the interrupt signals back while the set is put in place.
class HoldInterrupts {
public:
    HoldInterrupts() {
        sigset_t held;
        sigemptyset(&held);
        for (int s : interrupt_signals) sigaddset(&held, s);
        sigprocmask(SIG_BLOCK, &held, &old_);
    }
    ~HoldInterrupts() { sigprocmask(SIG_SETMASK, &old_, nullptr); }

private:
    sigset_t old_;
};

// `path` with every symbolic link along its last component followed, so that
// a link at a result name keeps pointing at the file that receives the
// results. A link that leads nowhere gives the name it leads to.
bool follow_links(std::string& path, int& error) {
    for (int depth = 0; depth < 40; ++depth) {
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return true;
        std::vector<char> buffer(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : PATH_MAX) + 1);
        const ssize_t n = ::readlink(path.c_str(), buffer.data(), buffer.size());
        if (n < 0 || static_cast<std::size_t>(n) >= buffer.size()) {
            error = n < 0 ? errno : ENAMETOOLONG;
            return false;
        }
        const std::string link(buffer.data(), static_cast<std::size_t>(n));
        path = link[0] == '/' ? link : directory_of(path) + link;
    }
    error = ELOOP;
    return false;
}

#endif

// Creates the empty temporary file of `r` beside its target; false with the
// system's reason when the folder refuses it.
bool create_temp(Result& r, int& error) {
    const std::string stem = directory_of(r.target) + ".Tuvamo-" + std::to_string(process_id()) + "-";
    for (int attempt = 0; attempt < 100000; ++attempt) {
        std::string candidate = stem + std::to_string(temp_serial++) + ".tmp";
#ifdef _WIN32
        enter();
        publish_temp(candidate);
        const int fd = _open(candidate.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
        error = errno;
        leave();
#else
        // Named for the handler before it exists, so it can never be left behind.
        publish_temp(candidate);
        const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        error = errno;
#endif
        if (fd < 0 && error == EEXIST) continue;  // left by a run that was killed
        if (fd < 0) return false;
#ifndef _WIN32
        // The new file takes the permission bits of the one it replaces.
        struct stat st;
        if (::stat(r.target.c_str(), &st) == 0 && S_ISREG(st.st_mode)) (void)::fchmod(fd, st.st_mode & 07777);
        ::close(fd);
#else
        _close(fd);
#endif
        r.temp = candidate;
        return true;
    }
    error = EEXIST;
    return false;
}

// Whether the existing regular file `target` may be written, as a plain open
// for writing would write it; it is not changed.
bool writable_in_place(const std::string& target) {
#ifdef _WIN32
    const int fd = _open(target.c_str(), _O_WRONLY | _O_BINARY);
    if (fd < 0) return false;
    _close(fd);
#else
    const int fd = ::open(target.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    ::close(fd);
#endif
    return true;
}

Result& add(std::string_view given) {
    const std::string name = resolve_file_name(given);
    if (const auto found = result_index.find(name); found != result_index.end()) return results[found->second];
    if (name.find('\0') != std::string::npos) {
        // A name the file system cannot take whole; show the zero bytes.
        std::string shown;
        for (char c : name) shown += c == '\0' ? std::string("\\0") : std::string(1, c);
        fatal("cannot create result file (its name holds a zero byte)", shown);
    }
    Result r;
    r.name = name;
    r.target = name;
    int error = 0;
#ifndef _WIN32
    if (!follow_links(r.target, error)) fatal("cannot create result file", name, error);
    struct stat st;
    const bool exists = ::stat(r.target.c_str(), &st) == 0;
    // A name that cannot stand (too long, a file where a folder should be)
    // is refused now, not when the set is put in place.
    if (!exists && errno != ENOENT) fatal("cannot create result file", name, errno);
    if (exists && S_ISDIR(st.st_mode)) fatal("cannot create result file", name, EISDIR);
    // A device or a pipe at a result name receives the results; it is not
    // replaced by a file.
    const bool special = exists && !S_ISREG(st.st_mode);
#else
    const DWORD attributes = GetFileAttributesA(r.target.c_str());
    const bool exists = attributes != INVALID_FILE_ATTRIBUTES;
    if (!exists) {
        const DWORD why = GetLastError();
        if (why == ERROR_FILENAME_EXCED_RANGE) fatal("cannot create result file", name, ENAMETOOLONG);
        if (why == ERROR_INVALID_NAME) fatal("cannot create result file", name, EINVAL);
    }
    if (exists && (attributes & FILE_ATTRIBUTE_DIRECTORY)) fatal("cannot create result file", name, EISDIR);
#endif
#ifndef _WIN32
    if (special) {
        if (::access(r.target.c_str(), W_OK) != 0) fatal("cannot create result file", name, errno);
    } else
#endif
    if (!create_temp(r, error)) {
        // Where the folder refuses new files but the existing file may be
        // written, it is written in place.
        if (!((error == EACCES || error == EPERM) && exists && writable_in_place(r.target)))
            fatal("cannot create result file", name, error);
        r.temp.clear();
    }
    result_index.emplace(name, results.size());
    results.push_back(std::move(r));
    return results.back();
}

// Removes every temporary file of the set and empties it.
void clear_results(bool remove_temps) noexcept {
#ifdef _WIN32
    enter();
#endif
    if (remove_temps)
        for (const Result& r : results)
            if (!r.temp.empty()) std::remove(r.temp.c_str());
    results.clear();
    result_index.clear();
    forget_temps();
#ifdef _WIN32
    leave();
#endif
}

// Holds the lock that lets one run at a time put results in place in a
// folder; the system releases it when the process ends, however it ends.
class FolderLock {
public:
    explicit FolderLock(const std::string& folder) {
#ifdef _WIN32
        char full[MAX_PATH * 4];
        const DWORD n = GetFullPathNameA(folder.empty() ? "." : folder.c_str(), sizeof(full), full, nullptr);
        std::string key = n > 0 && n < sizeof(full) ? std::string(full, n) : folder;
        std::uint64_t hash = 1469598103934665603ull;
        for (char c : key) {
            const char lower = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c == '\\' ? '/' : c;
            hash = (hash ^ static_cast<unsigned char>(lower)) * 1099511628211ull;
        }
        char mutex_name[64];
        std::snprintf(mutex_name, sizeof(mutex_name), "Local\\Tuvamo-results-%016llx",
                      static_cast<unsigned long long>(hash));
        mutex_ = CreateMutexA(nullptr, FALSE, mutex_name);
        if (mutex_) WaitForSingleObject(mutex_, INFINITE);  // an abandoned lock is taken over
#else
        // Without read access to the folder there is no lock to take, and the
        // set is put in place without it.
        fd_ = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd_ >= 0)
            while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
            }
#endif
    }
    ~FolderLock() {
#ifdef _WIN32
        if (mutex_) {
            ReleaseMutex(mutex_);
            CloseHandle(mutex_);
        }
#else
        if (fd_ >= 0) ::close(fd_);
#endif
    }
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

private:
#ifdef _WIN32
    HANDLE mutex_ = nullptr;
#else
    int fd_ = -1;
#endif
};

}  // namespace

void handle_interrupts() {
#ifdef _WIN32
    SetConsoleCtrlHandler(on_console_event, TRUE);
#else
    for (int s : interrupt_signals) {
        struct sigaction old {};
        if (sigaction(s, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;  // as the caller wants
        struct sigaction action {};
        action.sa_handler = on_interrupt;
        sigemptyset(&action.sa_mask);
        for (int t : interrupt_signals) sigaddset(&action.sa_mask, t);
        action.sa_flags = SA_RESETHAND;
        sigaction(s, &action, nullptr);
    }
#endif
}

void add_result(std::string_view name) { add(name); }

void commit_results(std::string_view lock_for) {
    if (results.empty()) return;
    for (const Result& r : results)
        if (!r.written) fatal("result file not written", r.name);
    const std::string lock_name = lock_for.empty() ? results.front().name : resolve_file_name(lock_for);
    FolderLock lock(directory_of(lock_name));
#ifdef _WIN32
    enter();
#else
    HoldInterrupts hold;
#endif
    for (std::size_t i = 0; i < results.size(); ++i) {
        Result& r = results[i];
        if (r.temp.empty()) continue;
#ifdef _WIN32
        const bool moved = MoveFileExA(r.temp.c_str(), r.target.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
        const int err = moved ? 0 : EACCES;
#else
        const bool moved = std::rename(r.temp.c_str(), r.target.c_str()) == 0;
        const int err = moved ? 0 : errno;
#endif
        if (!moved) {
            const std::string name = r.name;
#ifdef _WIN32
            leave();
#endif
            clear_results(true);
            fatal("cannot replace result file", name, err);
        }
        r.temp.clear();
    }
    clear_results(false);
#ifdef _WIN32
    leave();
#endif
}

void discard_results() noexcept { clear_results(true); }

// ---- Writing one result file -----------------------------------------------------------

OutputFile::~OutputFile() {
    // Only a run that is ending anyway gets here with the file open; its
    // temporary goes with the rest of the set.
    if (file_) std::fclose(file_);
}

void OutputFile::open(std::string_view name) {
    if (file_) std::fclose(file_);
    file_ = nullptr;
    len_ = 0;
    Result& r = add(name);
    name_ = r.name;
    index_ = result_index.at(r.name);
    const std::string& path = r.temp.empty() ? r.target : r.temp;
#ifdef _WIN32
    const int fd = _open(path.c_str(), _O_WRONLY | _O_TRUNC | _O_BINARY);
#else
    const int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | (r.temp.empty() ? 0 : O_NOFOLLOW));
#endif
    if (fd < 0) fatal("cannot create result file", name_, errno);
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
        fatal("cannot create result file", name_, err);
    }
    results[index_].written = false;
}

void OutputFile::flush_buffer() {
    if (len_ == 0) return;
    if (std::fwrite(buf_, 1, len_, file_) != len_) fatal("cannot write result file", name_, errno);
    len_ = 0;
}

void OutputFile::write_direct(std::string_view text) {
    if (std::fwrite(text.data(), 1, text.size(), file_) != text.size())
        fatal("cannot write result file", name_, errno);
}

void OutputFile::close() {
    flush_buffer();
    std::FILE* f = file_;
    file_ = nullptr;
    if (std::fflush(f) != 0 || std::ferror(f)) {
        const int err = errno;
        std::fclose(f);
        fatal("cannot write result file", name_, err);
    }
    if (std::fclose(f) != 0) fatal("cannot close result file", name_, errno);
    results[index_].written = true;
}

}  // namespace platform
