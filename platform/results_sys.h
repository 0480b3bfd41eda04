// What the run's set of result files needs from the system: one file of
// primitives per system (results_posix.cpp, results_windows.cpp) behind these
// declarations; the set's policy (resultset.cpp) uses only them.
#pragma once

#if !defined(__linux__) && !defined(_WIN32)
#error "the result files are written on Linux and on Windows only"
#endif

#include <cstdint>
#include <cstdio>
#include <string>

namespace platform::sys {

// What is found at a result name before the run writes it.
struct Existing {
    bool exists = false;
    bool directory = false;
    // A device, a pipe, or a file reached through a link that only the system
    // can follow: it receives the results in place, never replaced.
    bool in_place = false;
    bool is_input = false;  // the run's input file, under this or another name
    std::uint32_t mode = 0;  // permission bits of a regular file
    std::int64_t owner = -1, group = -1;
};

// This process's number, for the temporaries' names.
int process_id();

// The folder part of `path`, ending in its separator; empty for a name in the
// current folder.
std::string directory_of(const std::string& path);

// Whether `name` can stand as a file name at all; an errno value when not.
int acceptable_name(const std::string& name);

// Looks at what `name` holds. `target` (the name on entry) becomes the file
// that receives the results: on Linux the name with its symbolic links
// followed. 0, or the errno value that ends the run.
int examine(const std::string& name, std::string& target, Existing& found);

// Whether the existing regular file `target` may be replaced by a rename; an
// errno value when not.
int replaceable(const std::string& target, const Existing& found);

// Whether the existing regular file `target` may be written in place, as a
// plain open for writing would write it; it is not changed.
bool writable_in_place(const std::string& target);

// Creates the empty file `path`, which must not exist (not even as a link),
// with no access for others than the user; 0 or an errno value.
int create_new(const std::string& path);

// `path` opened for writing from its start, emptied; null with an errno value.
std::FILE* open_emptied(const std::string& path, bool temporary, int& error);

// Completes a written file's way to the disk (on Linux it only starts, and
// make_durable() waits for it); 0 or an errno value. The file stays open.
int start_to_disk(std::FILE* file);

// Waits until the closed file `path` is on the disk; 0 or an errno value.
int make_durable(const std::string& path);

// Gives the temporary `temp` the owner, group and permission bits it takes at
// its name: those of the file it replaces where the system allows, else the
// ones a new file gets.
void take_final_attributes(const std::string& temp, const Existing& replaced);

// Renames `from` to `to`, replacing `to`.
bool replace(const std::string& from, const std::string& to, int& error);

// Makes the renames into `folder` survive a loss of power.
void sync_folder(const std::string& folder);

// Removes `path`; safe inside a signal handler.
void remove_file(const char* path) noexcept;

// Records the run's input file, open as `file`, so that examine() can tell
// when a result name leads to it; null forgets it.
void note_input(std::FILE* file);

// Keeps back the signals that end the run (on Windows, the console's events)
// while the set changes; holds nest.
void hold_interrupts() noexcept;
void release_interrupts() noexcept;

// Installs the handlers that remove the temporaries when a signal ends the
// process, and puts back what was there before.
void install_handlers();
void restore_handlers() noexcept;

// Drops the signals held back since hold_interrupts(): the run is then
// committed and they no longer change its outcome.
void drop_held_interrupts() noexcept;

// Holds the lock that lets one run at a time put results in place in a
// folder; the system releases it when the process ends, however it ends.
class FolderLock {
public:
    explicit FolderLock(const std::string& folder);
    ~FolderLock();
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

private:
    std::intptr_t handle_;
};

// Called by the handlers: removes every temporary of the run that exists.
// Safe inside a signal handler.
void remove_temporaries() noexcept;

// Whether the run's set is being put in place or is in place.
bool committed() noexcept;

}  // namespace platform::sys

namespace platform {

// Hands what standard output still holds to the system at the end of the run
// (platform.cpp); a failure to write it, before the set is committed, is
// reported and turns `status` into the fatal one.
int finish_output(int status) noexcept;

}  // namespace platform
