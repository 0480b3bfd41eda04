// The result set's primitives on Windows.
#if defined(_WIN32)

#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <windows.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/results_sys.h"

namespace platform::sys {

namespace {

constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

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

// Held by the run while it creates, puts in place or removes temporary files,
// and by the console handler, which runs in a thread of its own.
struct Guard {
    Guard() { InitializeCriticalSection(&section); }
    CRITICAL_SECTION section;
};
Guard guard;

// Set once the run is committed: an event that comes then changes nothing.
std::atomic<bool> dropped{false};

BOOL WINAPI on_console_event(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) return FALSE;
    EnterCriticalSection(&guard.section);
    if (dropped.load()) {
        LeaveCriticalSection(&guard.section);
        return TRUE;
    }
    // Never left: the process ends here. The temporaries are opened with
    // deletion shared, so one being written goes as well, once the process's
    // handles are closed.
    remove_temporaries();
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(STATUS_CONTROL_C_EXIT));
    return TRUE;
}

// The identity of the run's input file: its volume and its number there.
bool input_known = false;
DWORD input_volume = 0, input_high = 0, input_low = 0;

bool identity(HANDLE h, DWORD& volume, DWORD& high, DWORD& low) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info)) return false;
    volume = info.dwVolumeSerialNumber;
    high = info.nFileIndexHigh;
    low = info.nFileIndexLow;
    return true;
}

}  // namespace

int process_id() { return _getpid(); }

// A drive alone ("D:") for a name relative to that drive's folder.
std::string directory_of(const std::string& path) {
    const std::size_t slash = path.find_last_of("/\\");
    if (slash != std::string::npos) return path.substr(0, slash + 1);
    if (path.size() >= 2 && path[1] == ':') return path.substr(0, 2);
    return {};
}

// A file name that Windows takes as another name (a colon names a stream
// of a file) or refuses.
int acceptable_name(const std::string& name) {
    const std::size_t slash = name.find_last_of("/\\");
    std::size_t first = slash == std::string::npos ? 0 : slash + 1;
    if (slash == std::string::npos && name.size() >= 2 && name[1] == ':') first = 2;  // "D:name"
    for (std::size_t i = first; i < name.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(name[i]);
        if (c < 32 || std::strchr("<>:\"|?*", c) != nullptr) return EINVAL;
    }
    return 0;
}

int examine(const std::string&, std::string& target, Existing& found) {
    found = Existing{};
    const DWORD attributes = GetFileAttributesA(target.c_str());
    found.exists = attributes != INVALID_FILE_ATTRIBUTES;
    if (!found.exists) {
        const int why = errno_of(GetLastError());
        return why == ENOENT ? 0 : why;
    }
    found.directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (found.directory || !input_known) return 0;
    HANDLE h = CreateFileA(target.c_str(), 0, share_all, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return 0;
    DWORD volume = 0, high = 0, low = 0;
    found.is_input = identity(h, volume, high, low) && volume == input_volume && high == input_high && low == input_low;
    CloseHandle(h);
    return 0;
}

// Whether `target`, which exists, may be replaced (it is not held open by
// another program, nor read-only); an errno value when not.
int replaceable(const std::string& target, const Existing&) {
    HANDLE h = CreateFileA(target.c_str(), DELETE, share_all, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return errno_of(GetLastError());
    CloseHandle(h);
    const DWORD attributes = GetFileAttributesA(target.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) ? EACCES : 0;
}

bool writable_in_place(const std::string& target) {
    const int fd = _open(target.c_str(), _O_WRONLY | _O_BINARY);
    if (fd < 0) return false;
    _close(fd);
    return true;
}

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

int start_to_disk(std::FILE* file) {
    if (_commit(_fileno(file)) != 0 && errno != EBADF) return errno;
    return 0;
}

int make_durable(const std::string&) { return 0; }

void take_final_attributes(const std::string&, const Existing&) {}

void sync_folder(const std::string&) {}

void remove_file(const char* path) noexcept { DeleteFileA(path); }

void note_input(std::FILE* file) {
    input_known = false;
    if (!file) return;
    const intptr_t h = _get_osfhandle(_fileno(file));
    if (h != -1) input_known = identity(reinterpret_cast<HANDLE>(h), input_volume, input_high, input_low);
}

void hold_interrupts() noexcept { EnterCriticalSection(&guard.section); }
void release_interrupts() noexcept { LeaveCriticalSection(&guard.section); }
void drop_held_interrupts() noexcept { dropped.store(true); }

void install_handlers() {
    dropped.store(false);
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

void restore_handlers() noexcept { SetConsoleCtrlHandler(on_console_event, FALSE); }

FolderLock::FolderLock(const std::string& folder) {
    HANDLE mutex_ = nullptr;
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
    handle_ = reinterpret_cast<std::intptr_t>(mutex_);
}

FolderLock::~FolderLock() {
    if (HANDLE mutex = reinterpret_cast<HANDLE>(handle_)) {
        ReleaseMutex(mutex);
        CloseHandle(mutex);
    }
}

}  // namespace platform::sys

#endif  // _WIN32
