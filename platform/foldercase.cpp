// Whether a folder tells apart names that differ only in letter case.
#include "platform/platform.h"

#if defined(_WIN32)

namespace platform {

// The Windows file systems ignore letter case; the program's names are
// compared that way there throughout.
bool folder_ignores_case(const std::string&) { return true; }

}  // namespace platform

#elif defined(__unix__) || defined(__APPLE__)

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

namespace {

// Holds every signal that can be held for the object's life, so that no
// interrupt ends the process while a probe file exists; a held signal is
// delivered at the end, once the probe is gone.
class HoldSignals {
public:
    HoldSignals() {
        sigset_t all;
        sigfillset(&all);
        sigprocmask(SIG_BLOCK, &all, &old_);
    }
    ~HoldSignals() { sigprocmask(SIG_SETMASK, &old_, nullptr); }
    HoldSignals(const HoldSignals&) = delete;
    HoldSignals& operator=(const HoldSignals&) = delete;

private:
    sigset_t old_;
};

// `name` with the case of every ASCII letter turned.
std::string other_spelling(std::string name) {
    for (char& c : name) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
        else if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return name;
}

// Writes all of `text` to `fd`.
bool write_all(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Whether the regular file `name` in the folder `dir` holds exactly `text`
// (of fewer than 64 bytes). Opened without following a link and without
// waiting on a pipe; allocates nothing.
bool holds(int dir, const char* name, const std::string& text) {
    const int fd = ::openat(dir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    bool same = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    char buf[64];
    std::size_t got = 0;
    while (same && got < sizeof(buf)) {
        const ssize_t n = ::read(fd, buf + got, sizeof(buf) - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) same = false;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    return same && got == text.size() && text.compare(0, got, buf, got) == 0;
}

}  // namespace

// A probe file of the run's own (created exclusively, mode 0600, never
// through a link) receives a token that no other file holds; the folder
// ignores case when the token reads back through the other spelling of the
// probe's name. The other spelling is looked up only after the token is in
// place, so no earlier lookup can be remembered by the system. Existence of
// that spelling alone would not do: on a case-sensitive folder it may be a
// file of its own, and some case-blind file systems give the two spellings
// different inode numbers.
bool folder_ignores_case(const std::string& folder) {
    static std::uint32_t counter = 0;
    const int dir = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return false;
    const std::string pid = std::to_string(::getpid());
    const std::string token =
        pid + " " + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) + "\n";
    bool ignores = false;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = ".Tuvamo-" + pid + "-case" + std::to_string(counter++) + ".tmp";
        const std::string other = other_spelling(name);
        int error = 0;
        {
            const HoldSignals held;
            const int fd = ::openat(dir, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
            if (fd < 0) {
                error = errno;
            } else {
                const bool written = write_all(fd, token);
                ::close(fd);
                ignores = written && holds(dir, other.c_str(), token);
                ::unlinkat(dir, name.c_str(), 0);
            }
        }
        if (error != EEXIST) break;  // done, or a folder that takes no new file
    }
    ::close(dir);
    return ignores;
}

}  // namespace platform

#else
#error "folder_ignores_case: no probe of letter case for this system"
#endif
