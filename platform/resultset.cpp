// The result files of a run as one set: temporary files beside the files they
// will replace, put in place together under a lock, and removed when the run
// fails or is interrupted. What each system does is in results_sys.h.
#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/platform.h"
#include "platform/results_sys.h"

namespace platform {

namespace {

// One result file of the run.
struct Result {
    std::string name;    // as the run names it, for the diagnostics
    std::string target;  // the file that receives the results: the name with its links followed
    std::string temp;    // the temporary beside the target; empty when the target is written in place
    sys::Existing found;  // what was at the target when the run named it
    bool special = false;  // written in place, through the name
    bool written = false;
};

std::vector<Result> results;
std::unordered_map<std::string, std::size_t> result_index;  // name -> position in results
unsigned long temp_serial = 0;
std::string input_name;  // the first result name that is the input file
bool run_active = false;  // between handle_interrupts() and end_run()
std::atomic<bool> set_committed{false};

// The temporary files of the run, for the handlers: a list that only grows at
// its head, each node complete before it is linked in, so that a handler may
// walk it at any moment. A node whose name turned out to be taken by another
// file has its path cleared.
struct TempNode {
    std::atomic<const char*> path;
    char* owned;
    TempNode* next;
};
std::atomic<TempNode*> temp_list{nullptr};
static_assert(std::atomic<TempNode*>::is_always_lock_free);
static_assert(std::atomic<const char*>::is_always_lock_free);

// Keeps the signals back for as long as it lives.
class Held {
public:
    Held() noexcept { sys::hold_interrupts(); }
    ~Held() { sys::release_interrupts(); }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
};

// A node for `path`, not yet in the list: everything that may fail for want
// of memory happens before the file exists.
TempNode* new_node(const std::string& path) {
    char* copy = new char[path.size() + 1];
    std::memcpy(copy, path.c_str(), path.size() + 1);
    try {
        return new TempNode{{copy}, copy, nullptr};
    } catch (...) {
        delete[] copy;
        throw;
    }
}

// Forgets the published names; with `remove`, their files go first.
void forget_temps(bool remove) noexcept {
    TempNode* node = temp_list.exchange(nullptr);
    while (node) {
        TempNode* next = node->next;
        if (const char* path = node->path.load(); remove && path) sys::remove_file(path);
        delete[] node->owned;
        delete node;
        node = next;
    }
}

// Creates the empty temporary file of `r` beside its target; false with the
// system's reason when the folder refuses it.
bool create_temp(Result& r, int& error) {
    const std::string stem = sys::directory_of(r.target) + ".Tuvamo-" + std::to_string(sys::process_id()) + "-";
    for (int attempt = 0; attempt < 100000; ++attempt) {
        const std::string candidate = stem + std::to_string(temp_serial++) + ".tmp";
        TempNode* node = new_node(candidate);
        {
            // Named for the handlers before it exists, so that it can never be
            // left behind; a name that another file holds is taken back
            // before a handler can remove that file.
            Held held;
            node->next = temp_list.load();
            temp_list.store(node);
            error = sys::create_new(candidate);
            if (error != 0) node->path.store(nullptr);
        }
        if (error == EEXIST) continue;  // left by a run that was killed
        if (error != 0) return false;
        r.temp = candidate;
        return true;
    }
    error = EEXIST;
    return false;
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
    // Room for the new entry before its temporary exists (doubling, so that
    // many names cost little).
    if (results.size() == results.capacity()) results.reserve(2 * results.size() + 16);
    if (static_cast<float>(result_index.size() + 1) >
        static_cast<float>(result_index.bucket_count()) * result_index.max_load_factor())
        result_index.reserve(2 * result_index.size() + 16);
    Result r;
    r.name = name;
    r.target = name;
    // Whatever would make the file impossible to put in place is found now,
    // before the analysis: a name that cannot stand (too long, a file where a
    // folder should be), a folder in the way, a file that may not be replaced.
    if (const int why = sys::acceptable_name(name); why != 0) fatal("cannot create result file", name, why);
    if (const int why = sys::examine(name, r.target, r.found); why != 0) fatal("cannot create result file", name, why);
    if (r.found.directory) fatal("cannot create result file", name, EISDIR);
    if (r.found.is_input && input_name.empty()) input_name = name;
    r.special = r.found.in_place;
    int refused = 0;  // why the target may not be replaced, when it may not
    if (!r.special && r.found.exists) refused = sys::replaceable(r.target, r.found);
    int created = 0;
    if (!r.special && refused == 0 && !create_temp(r, created)) refused = created;
    if (!r.special && refused != 0) {
        // Where the folder refuses the temporary, or refuses to let it replace
        // the file, but the existing file may be written, it is written in place.
        const bool permission = refused == EACCES || refused == EPERM;
        if (!(permission && r.found.exists && sys::writable_in_place(r.target)))
            fatal("cannot create result file", name, refused);
        r.temp.clear();
    }
    result_index.emplace(name, results.size());
    results.push_back(std::move(r));
    return results.back();
}

// Removes every temporary file of the set and empties it.
void clear_results(bool remove_temps) noexcept {
    {
        Held held;
        forget_temps(remove_temps);
    }
    results.clear();
    result_index.clear();
}

}  // namespace

namespace sys {

void remove_temporaries() noexcept {
    for (TempNode* node = temp_list.load(); node; node = node->next)
        if (const char* path = node->path.load()) remove_file(path);
}

bool committed() noexcept { return set_committed.load(); }

}  // namespace sys

void handle_interrupts() {
    sys::install_handlers();
    run_active = true;
}

void add_result(std::string_view name) { add(name); }

std::string result_that_is_input() { return input_name; }

void commit_results(std::string_view lock_for) {
    if (results.empty()) return;
    for (const Result& r : results)
        if (!r.written) fatal("result file not written", r.name);
    const std::string lock_name = lock_for.empty() ? results.front().name : resolve_file_name(lock_for);
    sys::FolderLock lock(sys::directory_of(lock_name));
    // Every file on the disk before the first rename; a failure there still
    // leaves every earlier file as it was.
    for (const Result& r : results) {
        if (r.special) continue;
        if (const int err = sys::make_durable(r.temp.empty() ? r.target : r.temp); err != 0) {
            const std::string name = r.name;
            clear_results(true);
            fatal("cannot write result file", name, err);
        }
    }
    // From the first rename on the run is committed: a signal is held back
    // until the run ends and then dropped, within a run; in a test that
    // calls this alone, only while the set is put in place.
    sys::hold_interrupts();
    if (run_active) set_committed.store(true);
    std::vector<std::string> folders;
    for (Result& r : results) {
        if (r.temp.empty()) continue;
        sys::take_final_attributes(r.temp, r.found);
        int error = 0;
        if (!sys::replace(r.temp, r.target, error)) {
            const std::string name = r.name;
            clear_results(true);
            if (!run_active) sys::release_interrupts();
            fatal("cannot replace result file", name, error);
        }
        r.temp.clear();
        const std::string folder = sys::directory_of(r.target);
        bool seen = false;
        for (const std::string& f : folders) seen = seen || f == folder;
        if (!seen) folders.push_back(folder);
    }
    for (const std::string& folder : folders) sys::sync_folder(folder);
    clear_results(false);
    if (!run_active) sys::release_interrupts();
}

void discard_results() noexcept { clear_results(true); }

int end_run(int status) noexcept {
    status = finish_output(status);
    if (run_active) {
        if (set_committed.load()) {
            sys::drop_held_interrupts();
            sys::release_interrupts();
        }
        sys::restore_handlers();
    }
    run_active = false;
    set_committed.store(false);
    input_name.clear();
    sys::note_input(nullptr);
    return status;
}

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
    file_ = r.temp.empty() ? sys::open_emptied(r.target, false, error) : sys::open_emptied(r.temp, true, error);
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
    // a loss of power cannot leave an empty file under a result name.
    if (const int err = sys::start_to_disk(f); err != 0) {
        std::fclose(f);
        fatal("cannot write result file", name_, err);
    }
    if (std::fclose(f) != 0) fatal("cannot close result file", name_, errno);
    results[index_].written = true;
}

}  // namespace platform
