// The result set's primitives on Linux.
#if defined(__linux__)

#include <fcntl.h>
#include <limits.h>
#include <linux/magic.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/results_sys.h"

namespace platform::sys {

namespace {

// The run's input file, when one is open or was opened by the run.
bool input_known = false;
dev_t input_device = 0;
ino_t input_inode = 0;

// Whether `number` is a signal that the program itself raises at a fault;
// such a signal is never held back (the system would end the process at
// once) and, when the fault is real, comes back by itself.
bool is_fault(int number) {
    return number == SIGSEGV || number == SIGBUS || number == SIGFPE || number == SIGILL || number == SIGTRAP ||
           number == SIGSYS;
}

// Whether `number` is a signal whose default action ends the process (KILL
// and STOP aside, which cannot be caught): a request to end (INT, TERM, HUP,
// QUIT), a closed output pipe, a file or CPU-time limit, timers, the user's
// signals, aborts and the program's own faults, and the real-time signals.
bool ends_process(int number) {
    switch (number) {
    case SIGHUP: case SIGINT: case SIGQUIT: case SIGILL: case SIGTRAP: case SIGABRT: case SIGBUS:
    case SIGFPE: case SIGUSR1: case SIGSEGV: case SIGUSR2: case SIGPIPE: case SIGALRM: case SIGTERM:
    case SIGSTKFLT: case SIGXCPU: case SIGXFSZ: case SIGVTALRM: case SIGPROF: case SIGIO: case SIGPWR:
    case SIGSYS:
        return true;
    default:
        return number >= SIGRTMIN && number <= SIGRTMAX;
    }
}

// What each signal's action was before install_handlers(), for the handler
// to hand the signal on and for restore_handlers().
struct sigaction earlier[NSIG];
bool installed[NSIG];
sigset_t held_set;     // the signals that hold_interrupts() keeps back
sigset_t mask_before;  // the signal mask before the outermost hold
int holds = 0;

// A stack of the handler's own, so that it also runs when the fault is the
// stack that could not grow (an address-space limit); used only where the
// process has none yet.
alignas(16) char handler_stack[1 << 16];
bool own_stack = false;

extern "C" void on_signal(int number, siginfo_t* info, void*) {
    remove_temporaries();
    // The action from before: the default, which ends the process as the
    // signal would have, or a handler of the runtime (a sanitizer's), which
    // reports the fault.
    sigaction(number, &earlier[number], nullptr);
    // A real fault comes back when the instruction runs again; any other
    // signal is sent again, and arrives once this handler returns.
    if (is_fault(number) && info && info->si_code > 0) return;
    ::raise(number);
}

// The bits a new file gets: 0666 less the umask.
mode_t new_file_mode() {
    static const mode_t mode = [] {
        const mode_t mask = ::umask(077);
        ::umask(mask);
        return static_cast<mode_t>(0666 & ~mask);
    }();
    return mode;
}

// Whether the folder that holds `path` lies on the proc file system, whose
// links (/proc/self/fd/1, what /dev/stdout leads to) only the system can follow.
bool in_proc(const std::string& path) {
    const std::string folder = directory_of(path);
    struct statfs fs {};
    return ::statfs(folder.empty() ? "." : folder.c_str(), &fs) == 0 && fs.f_type == PROC_SUPER_MAGIC;
}

// `path` with every symbolic link along its last component followed, so that
// a link at a result name keeps pointing at the file that receives the
// results. A link that leads nowhere gives the name it leads to. A link that
// the system would refuse to follow for this user (one in a sticky folder
// that anyone may write, owned neither by the user nor by the folder's owner)
// is refused with EACCES; at a link that only the system can follow,
// `by_system` is set and `path` is left there.
bool follow_links(std::string& path, bool& by_system, int& error) {
    for (int depth = 0; depth < 40; ++depth) {
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return true;
        const std::string folder = directory_of(path);
        struct stat dir;
        if (::stat(folder.empty() ? "." : folder.c_str(), &dir) == 0 && (dir.st_mode & S_ISVTX) &&
            (dir.st_mode & S_IWOTH) && st.st_uid != ::geteuid() && st.st_uid != dir.st_uid) {
            error = EACCES;
            return false;
        }
        if (in_proc(path)) {
            by_system = true;
            return true;
        }
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

}  // namespace

int process_id() { return static_cast<int>(::getpid()); }

std::string directory_of(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

int acceptable_name(const std::string&) { return 0; }

int examine(const std::string& name, std::string& target, Existing& found) {
    found = Existing{};
    int error = 0;
    bool by_system = false;
    if (!follow_links(target, by_system, error)) return error;
    struct stat st;
    bool exists = !by_system && ::stat(target.c_str(), &st) == 0;
    if (!exists && (by_system || errno == ENOENT) && target != name && ::stat(name.c_str(), &st) == 0) {
        // The links lead where only the system can follow them (such as
        // "pipe:[...]"): the file is reached through the name itself.
        by_system = true;
        exists = true;
    } else if (!exists && errno != ENOENT) {
        return errno;
    }
    if (by_system) target = name;
    found.exists = exists;
    if (!exists) return 0;
    if (S_ISDIR(st.st_mode)) {
        found.directory = true;
        return 0;
    }
    // A device, a pipe, or a file behind such a link receives the results
    // in place; it is not replaced by a file. A socket cannot be opened.
    found.in_place = by_system || !S_ISREG(st.st_mode);
    if (S_ISSOCK(st.st_mode)) return ENXIO;
    if (found.in_place) {
        if (S_ISFIFO(st.st_mode)) {
            // Opening waits for a reader, which may come only later.
            if (::access(target.c_str(), W_OK) != 0) return errno;
        } else {
            const int fd = ::open(target.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
            if (fd < 0) return errno;
            ::close(fd);
        }
    }
    found.is_input = S_ISREG(st.st_mode) && input_known && st.st_dev == input_device && st.st_ino == input_inode;
    found.mode = static_cast<std::uint32_t>(st.st_mode & 07777);
    found.owner = static_cast<std::int64_t>(st.st_uid);
    found.group = static_cast<std::int64_t>(st.st_gid);
    return 0;
}

// In a folder with the sticky bit only the file's owner, the folder's owner
// and root may replace it.
int replaceable(const std::string& target, const Existing& found) {
    const std::string folder = directory_of(target);
    struct stat dir;
    if (::geteuid() == 0 || ::stat(folder.empty() ? "." : folder.c_str(), &dir) != 0) return 0;
    if ((dir.st_mode & S_ISVTX) && found.owner != static_cast<std::int64_t>(::geteuid()) && dir.st_uid != ::geteuid())
        return EPERM;
    return 0;
}

bool writable_in_place(const std::string& target) {
    const int fd = ::open(target.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

int create_new(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return errno;
    ::close(fd);
    return 0;
}

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

int start_to_disk(std::FILE* file) {
    // The writing starts here and make_durable() waits for it, so that it
    // runs beside the writing of the next files.
    (void)::sync_file_range(fileno(file), 0, 0, SYNC_FILE_RANGE_WRITE);
    return 0;
}

int make_durable(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;  // a device or pipe that cannot be read
    const int error = ::fdatasync(fd) == 0 ? 0 : errno;
    ::close(fd);
    return error == EINVAL || error == EROFS ? 0 : error;
}

void take_final_attributes(const std::string& temp, const Existing& replaced) {
    mode_t mode = new_file_mode();
    if (replaced.exists) {
        // Root keeps the owner and the group, a user the group where they
        // belong to it; elsewhere the call fails and the file stays theirs.
        // Before the bits, which a change of owner may clear.
        const uid_t owner = ::geteuid() == 0 ? static_cast<uid_t>(replaced.owner) : static_cast<uid_t>(-1);
        (void)::chown(temp.c_str(), owner, static_cast<gid_t>(replaced.group));
        mode = static_cast<mode_t>(replaced.mode);
    }
    (void)::chmod(temp.c_str(), mode);
}

bool replace(const std::string& from, const std::string& to, int& error) {
    if (std::rename(from.c_str(), to.c_str()) == 0) return true;
    error = errno;
    return false;
}

void sync_folder(const std::string& folder) {
    const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    (void)::fsync(fd);
    ::close(fd);
}

void remove_file(const char* path) noexcept { ::unlink(path); }

void note_input(std::FILE* file) {
    struct stat st;
    input_known = file && ::fstat(fileno(file), &st) == 0;
    if (input_known) {
        input_device = st.st_dev;
        input_inode = st.st_ino;
    }
}

void hold_interrupts() noexcept {
    if (holds++ > 0) return;
    sigemptyset(&held_set);
    for (int s = 1; s < NSIG; ++s)
        if (ends_process(s) && !is_fault(s)) sigaddset(&held_set, s);
    sigprocmask(SIG_BLOCK, &held_set, &mask_before);
}

void release_interrupts() noexcept {
    if (holds == 0 || --holds > 0) return;
    sigprocmask(SIG_SETMASK, &mask_before, nullptr);
}

void drop_held_interrupts() noexcept {
    sigset_t pending;
    if (sigpending(&pending) != 0) return;
    for (int s = 1; s < NSIG; ++s) {
        if (sigismember(&held_set, s) != 1 || sigismember(&pending, s) != 1) continue;
        // Ignoring a pending signal discards it.
        struct sigaction ignore {}, current {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        sigaction(s, &ignore, &current);
        sigaction(s, &current, nullptr);
    }
}

void install_handlers() {
    stack_t current {};
    if (!own_stack && sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE)) {
        stack_t stack {};
        stack.ss_sp = handler_stack;
        stack.ss_size = sizeof(handler_stack);
        own_stack = sigaltstack(&stack, nullptr) == 0;
    }
    sigset_t mask;
    sigemptyset(&mask);
    for (int s = 1; s < NSIG; ++s)
        if (ends_process(s) && !is_fault(s)) sigaddset(&mask, s);
    for (int s = 1; s < NSIG; ++s) {
        if (!ends_process(s) || installed[s]) continue;
        struct sigaction old {};
        if (sigaction(s, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) continue;  // as the caller wants
        earlier[s] = old;
        struct sigaction action {};
        action.sa_sigaction = on_signal;
        action.sa_mask = mask;
        action.sa_flags = SA_SIGINFO | SA_ONSTACK;
        if (sigaction(s, &action, nullptr) == 0) installed[s] = true;
    }
}

void restore_handlers() noexcept {
    for (int s = 1; s < NSIG; ++s) {
        if (!installed[s]) continue;
        sigaction(s, &earlier[s], nullptr);
        installed[s] = false;
    }
    if (own_stack) {
        stack_t none {};
        none.ss_flags = SS_DISABLE;
        sigaltstack(&none, nullptr);
        own_stack = false;
    }
}

FolderLock::FolderLock(const std::string& folder) {
    // Without read access to the folder there is no lock to take, and the
    // set is put in place without it.
    const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0)
        while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
        }
    handle_ = fd;
}

FolderLock::~FolderLock() {
    if (handle_ >= 0) ::close(static_cast<int>(handle_));
}

}  // namespace platform::sys

#endif  // __linux__
