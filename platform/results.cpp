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
    bool keep_mode = false;
    unsigned mode = 0;   // the permission bits of the file it replaces, when keep_mode
    bool special = false;  // a device or a pipe, written in place
    bool written = false;
};

std::vector<Result> results;
std::unordered_map<std::string, std::size_t> result_index;  // name -> position in results
unsigned long temp_serial = 0;

// The temporary files of the run, for the interrupt handler: a list that only
// grows at its head, each node complete before it is linked in, so that the
// handler may walk it at any moment. A node whose name turned out to be taken
// by another file has its path cleared.
struct TempNode {
    std::atomic<const char*> path;
    char* owned;
    TempNode* next;
};
std::atomic<TempNode*> temp_list{nullptr};
static_assert(std::atomic<TempNode*>::is_always_lock_free);
static_assert(std::atomic<const char*>::is_always_lock_free);

TempNode* publish_temp(const std::string& path) {
    char* copy = new char[path.size() + 1];
    std::memcpy(copy, path.c_str(), path.size() + 1);
    TempNode* node = new TempNode{{copy}, copy, temp_list.load()};
    temp_list.store(node);
    return node;
}

// Forgets the published names (their files are gone or put in place).
void forget_temps() {
    TempNode* node = temp_list.exchange(nullptr);
    while (node) {
        TempNode* next = node->next;
        delete[] node->owned;
        delete node;
        node = next;
    }
}

int process_id() {
#ifdef _WIN32
    return _getpid();
#else
    return static_cast<int>(::getpid());
#endif
}

#ifdef _WIN32

// ---- Windows -----------------------------------------------------------------------------

int errno_of(DWORD error) {
    switch (error) {
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return EEXIST;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        return EACCES;
    case ERROR_FILENAME_EXCED_RANGE:
        return ENAMETOOLONG;
    case ERROR_INVALID_NAME:
    case ERROR_DIRECTORY:
        return EINVAL;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return ENOSPC;
    case ERROR_WRITE_PROTECT:
        return EROFS;
    case ERROR_NOT_SAME_DEVICE:
        return EXDEV;
    default:
        return EIO;
    }
}

// The folder part of `path`, ending in its separator; a drive alone ("D:")
// for a name relative to that drive's folder.
std::string directory_of(const std::string& path) {
    const std::size_t slash = path.find_last_of("/\\");
    if (slash != std::string::npos) return path.substr(0, slash + 1);
    if (path.size() >= 2 && path[1] == ':') return path.substr(0, 2);
    return {};
}

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
    // The temporaries are opened with deletion shared, so one being written
    // goes as well, once the process's handles are closed.
    for (TempNode* node = temp_list.load(); node; node = node->next)
        if (const char* path = node->path.load()) DeleteFileA(path);
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(STATUS_CONTROL_C_EXIT));
    return TRUE;
}

constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Creates the empty file `path`, which must not exist; 0 or an errno value.
int create_new(const std::string& path) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, share_all, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return errno_of(GetLastError());
    CloseHandle(h);
    return 0;
}

// `path` opened for writing from its start, emptied; null with an errno value.
std::FILE* open_emptied(const std::string& path, bool temporary, int& error) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, temporary ? share_all : FILE_SHARE_READ, nullptr,
                           TRUNCATE_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        error = errno_of(GetLastError());
        return nullptr;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_WRONLY | _O_BINARY);
    if (fd < 0) {
        error = errno;
        CloseHandle(h);
        return nullptr;
    }
    std::FILE* f = _fdopen(fd, "wb");
    if (!f) {
        error = errno;
        _close(fd);
    }
    return f;
}

bool replace(const std::string& from, const std::string& to, int& error) {
    if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
    error = errno_of(GetLastError());
    return false;
}

// Whether `target`, which exists, may be replaced (it is not held open by
// another program, nor read-only); an errno value when not.
int replaceable(const std::string& target) {
    HANDLE h = CreateFileA(target.c_str(), DELETE, share_all, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return errno_of(GetLastError());
    CloseHandle(h);
    const DWORD attributes = GetFileAttributesA(target.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) ? EACCES : 0;
}

// A file name that Windows takes as another name (a colon names a stream
// of a file) or refuses.
bool acceptable_name(const std::string& name) {
    const std::size_t slash = name.find_last_of("/\\");
    std::size_t first = slash == std::string::npos ? 0 : slash + 1;
    if (slash == std::string::npos && name.size() >= 2 && name[1] == ':') first = 2;  // "D:name"
    for (std::size_t i = first; i < name.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(name[i]);
        if (c < 32 || std::strchr("<>:\"|?*", c) != nullptr) return false;
    }
    return true;
}

// Holds the lock that lets one run at a time put results in place in a
// folder; the system releases it when the process ends, however it ends.
class FolderLock {
public:
    explicit FolderLock(const std::string& folder) {
        char full[MAX_PATH * 4];
        const DWORD n = GetFullPathNameA(folder.empty() ? "." : folder.c_str(), sizeof(full), full, nullptr);
        const std::string key = n > 0 && n < sizeof(full) ? std::string(full, n) : folder;
        std::uint64_t hash = 1469598103934665603ull;
        for (char c : key) {
            const char lower = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c == '\\' ? '/' : c;
            hash = (hash ^ static_cast<unsigned char>(lower)) * 1099511628211ull;
        }
        // One lock for every session of the machine where that is allowed.
        for (const char* space : {"Global", "Local"}) {
            char mutex_name[80];
            std::snprintf(mutex_name, sizeof(mutex_name), "%s\\Tuvamo-results-%016llx", space,
                          static_cast<unsigned long long>(hash));
            mutex_ = CreateMutexA(nullptr, FALSE, mutex_name);
            if (mutex_) break;
        }
        if (mutex_) WaitForSingleObject(mutex_, INFINITE);  // an abandoned lock is taken over
    }
    ~FolderLock() {
        if (mutex_) {
            ReleaseMutex(mutex_);
            CloseHandle(mutex_);
        }
    }
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

private:
    HANDLE mutex_ = nullptr;
};

#else

// ---- Linux -------------------------------------------------------------------------------

std::string directory_of(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// The signals that end a run cleanly: an interrupt, a request to end, a lost
// terminal, a closed output pipe, a file beyond the size limit.
constexpr int interrupt_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGXFSZ};

extern "C" void on_interrupt(int signal_number) {
    for (TempNode* node = temp_list.load(); node; node = node->next)
        if (const char* path = node->path.load()) ::unlink(path);
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
    HoldInterrupts(const HoldInterrupts&) = delete;
    HoldInterrupts& operator=(const HoldInterrupts&) = delete;

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

// Creates the empty file `path`, which must not exist (not even as a link);
// 0 or an errno value.
int create_new(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) return errno;
    ::close(fd);
    return 0;
}

// `path` opened for writing from its start, emptied; null with an errno value.
std::FILE* open_emptied(const std::string& path, bool temporary, int& error) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | (temporary ? O_NOFOLLOW : 0));
    if (fd < 0) {
        error = errno;
        return nullptr;
    }
    std::FILE* f = ::fdopen(fd, "wb");
    if (!f) {
        error = errno;
        ::close(fd);
    }
    return f;
}

bool replace(const std::string& from, const std::string& to, int& error) {
    if (std::rename(from.c_str(), to.c_str()) == 0) return true;
    error = errno;
    return false;
}

// Whether the existing `target` (stat `st`) may be replaced: in a folder with
// the sticky bit only its owner, the folder's owner and root may; an errno
// value when not.
int replaceable(const std::string& target, const struct stat& st) {
    const std::string folder = directory_of(target);
    struct stat dir;
    if (::geteuid() == 0 || ::stat(folder.empty() ? "." : folder.c_str(), &dir) != 0) return 0;
    if ((dir.st_mode & S_ISVTX) && st.st_uid != ::geteuid() && dir.st_uid != ::geteuid()) return EPERM;
    return 0;
}

// Holds the lock that lets one run at a time put results in place in a
// folder; the system releases it when the process ends, however it ends.
class FolderLock {
public:
    explicit FolderLock(const std::string& folder) {
        // Without read access to the folder there is no lock to take, and the
        // set is put in place without it.
        fd_ = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd_ >= 0)
            while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
            }
    }
    ~FolderLock() {
        if (fd_ >= 0) ::close(fd_);
    }
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

    // Makes the renames in the folder survive a loss of power.
    void sync() const {
        if (fd_ >= 0) (void)::fsync(fd_);
    }

private:
    int fd_ = -1;
};

#endif

// ---- Both --------------------------------------------------------------------------------

// Creates the empty temporary file of `r` beside its target; false with the
// system's reason when the folder refuses it.
bool create_temp(Result& r, int& error) {
    const std::string stem = directory_of(r.target) + ".Tuvamo-" + std::to_string(process_id()) + "-";
    for (int attempt = 0; attempt < 100000; ++attempt) {
        const std::string candidate = stem + std::to_string(temp_serial++) + ".tmp";
        // Named for the handler before it exists, so that it can never be left
        // behind; a name that another file holds is taken back.
#ifdef _WIN32
        enter();
#endif
        TempNode* node = publish_temp(candidate);
        error = create_new(candidate);
        if (error != 0) node->path.store(nullptr);
#ifdef _WIN32
        leave();
#endif
        if (error == EEXIST) continue;  // left by a run that was killed
        if (error != 0) return false;
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
    // Whatever would make the file impossible to put in place is found now,
    // before the analysis: a name that cannot stand (too long, a file where a
    // folder should be), a folder in the way, a file that may not be replaced.
    int refused = 0;  // why the target may not be replaced, when it may not
    bool special = false;
    bool exists = false;
#ifdef _WIN32
    if (!acceptable_name(name)) fatal("cannot create result file", name, EINVAL);
    const DWORD attributes = GetFileAttributesA(r.target.c_str());
    exists = attributes != INVALID_FILE_ATTRIBUTES;
    if (!exists) {
        const int why = errno_of(GetLastError());
        if (why != ENOENT) fatal("cannot create result file", name, why);
    }
    if (exists && (attributes & FILE_ATTRIBUTE_DIRECTORY)) fatal("cannot create result file", name, EISDIR);
    if (exists) refused = replaceable(r.target);
#else
    int error = 0;
    if (!follow_links(r.target, error)) fatal("cannot create result file", name, error);
    struct stat st;
    exists = ::stat(r.target.c_str(), &st) == 0;
    if (!exists && errno != ENOENT) fatal("cannot create result file", name, errno);
    if (exists && S_ISDIR(st.st_mode)) fatal("cannot create result file", name, EISDIR);
    // A device or a pipe at a result name receives the results; it is not
    // replaced by a file.
    special = exists && !S_ISREG(st.st_mode);
    if (special && ::access(r.target.c_str(), W_OK) != 0) fatal("cannot create result file", name, errno);
    if (exists && !special) {
        refused = replaceable(r.target, st);
        r.keep_mode = true;  // the new file takes the permission bits of the one it replaces
        r.mode = st.st_mode & 07777;
    }
#endif
    r.special = special;
    int created = 0;
    if (!special && refused == 0 && !create_temp(r, created)) refused = created;
    if (!special && refused != 0) {
        // Where the folder refuses the temporary, or refuses to let it replace
        // the file, but the existing file may be written, it is written in place.
        const bool permission = refused == EACCES || refused == EPERM;
        if (!(permission && exists && writable_in_place(r.target))) fatal("cannot create result file", name, refused);
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
#ifndef _WIN32
    // Every file on the disk before the first rename; a failure there still
    // leaves every earlier file as it was.
    for (const Result& r : results) {
        if (r.special) continue;
        const int fd = ::open((r.temp.empty() ? r.target : r.temp).c_str(), O_RDONLY | O_CLOEXEC);
        const bool synced = fd < 0 || ::fdatasync(fd) == 0;
        const int err = errno;
        if (fd >= 0) ::close(fd);
        if (!synced) {
            const std::string name = r.name;
            clear_results(true);
            fatal("cannot write result file", name, err);
        }
    }
#endif
#ifdef _WIN32
    enter();
#else
    HoldInterrupts hold;
#endif
    for (Result& r : results) {
        if (r.temp.empty()) continue;
#ifndef _WIN32
        if (r.keep_mode) (void)::chmod(r.temp.c_str(), r.mode);
#endif
        int error = 0;
        if (!replace(r.temp, r.target, error)) {
            const std::string name = r.name;
#ifdef _WIN32
            leave();
#endif
            clear_results(true);
            fatal("cannot replace result file", name, error);
        }
        r.temp.clear();
    }
#ifndef _WIN32
    lock.sync();
#endif
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
    int error = 0;
    file_ = r.temp.empty() ? open_emptied(r.target, false, error) : open_emptied(r.temp, true, error);
    if (!file_) fatal("cannot create result file", name_, error);
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
    // The content goes to the disk before the file is put in place, so that
    // a loss of power cannot leave an empty file under a result name. On
    // Linux the writing starts here, and commit_results() waits for it, so
    // that it runs beside the writing of the next files.
#ifdef _WIN32
    if (_commit(_fileno(f)) != 0 && errno != EBADF) {
        const int err = errno;
        std::fclose(f);
        fatal("cannot write result file", name_, err);
    }
#else
    (void)::sync_file_range(fileno(f), 0, 0, SYNC_FILE_RANGE_WRITE);
#endif
    if (std::fclose(f) != 0) fatal("cannot close result file", name_, errno);
    results[index_].written = true;
}

}  // namespace platform
