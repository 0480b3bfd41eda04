#include "analysis/resultnames.h"

#include <algorithm>
#include <cerrno>
#include <map>
#include <set>
#include <string_view>
#include <utility>

#include "analysis/variables.h"
#include "platform/platform.h"

namespace {

unsigned char folded(char c) {
    const auto u = static_cast<unsigned char>(c);
    return u >= 'A' && u <= 'Z' ? static_cast<unsigned char>(u - 'A' + 'a') : u;
}

// <0, 0 or >0 as `a` orders before, with or after `b` when ASCII letter case
// is ignored.
int compare_folded(std::string_view a, std::string_view b) {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char x = folded(a[i]);
        const unsigned char y = folded(b[i]);
        if (x != y) return x < y ? -1 : 1;
    }
    return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

// A name looked up with letter case ignored.
struct AnyCase {
    std::string_view name;
};

// Orders names with letter case ignored, then by their bytes, so that the
// names that differ only in letter case stand together and an AnyCase finds
// them all.
struct FoldedOrder {
    using is_transparent = void;
    bool operator()(const std::string& a, const std::string& b) const {
        const int c = compare_folded(a, b);
        return c != 0 ? c < 0 : a < b;
    }
    bool operator()(const std::string& a, AnyCase b) const { return compare_folded(a, b.name) < 0; }
    bool operator()(AnyCase a, const std::string& b) const { return compare_folded(a.name, b) < 0; }
};

// The folder that holds the part of the name `key` that starts at `start`
// (0, or just after a separator).
std::string folder_before(const std::string& key, std::size_t start) {
    if (start == 0) return ".";
    if (start == 1) return "/";
    return key.substr(0, start - 1);
}

}  // namespace

PermutationNames permutation_names(const std::string& prefix, const FolderIgnoresCase& ignores_case) {
    const Variables& v = variables;
    const auto loci = static_cast<std::size_t>(v.numloci);

    const auto id_of = [&](std::size_t l) { return trimmed_right(v.locusid(static_cast<std::ptrdiff_t>(l + 1))); };

    // Every name of the run starts with the prefix (without its leading
    // blanks). While no ID holds a folder separator, the part after it tells
    // the names apart as well as the whole name does, at a fraction of the
    // size of a long prefix; and every name then lies in the prefix's folder.
    const std::string stem = prefix.substr(std::min(prefix.find_first_not_of(' '), prefix.size()));
    bool whole = false;
    for (std::size_t l = 0; l < loci && !whole; ++l) whole = id_of(l).find_first_of("/\\") != std::string_view::npos;
    const auto key = [&](const std::string& name) {
        return platform::file_name_key(whole ? std::string_view(name) : std::string_view(name).substr(stem.size()));
    };

    // The system's answer for each folder, asked once.
    std::map<std::string, bool> answers;
    const auto folder_ignores_case = [&](const std::string& folder) {
        const auto known = answers.find(folder);
        if (known != answers.end()) return known->second;
        const bool answer = ignores_case(folder);
        answers.emplace(folder, answer);
        return answer;
    };
    // Whether two different keys that differ only in letter case name one
    // file: every folder where their parts differ ignores case. Both have the
    // separators in the same places.
    const std::string stem_key = platform::file_name_key(stem + ".Perm-");
    const std::string stem_folder = folder_before(stem_key, stem_key.rfind('/') + 1);
    const auto one_file = [&](const std::string& a, const std::string& b) {
        if (!whole) return folder_ignores_case(stem_folder);
        std::size_t start = 0;
        for (std::size_t i = 0; i <= a.size(); ++i) {
            if (i < a.size() && a[i] != '/') continue;
            if (a.compare(start, i - start, b, start, i - start) != 0 && !folder_ignores_case(folder_before(a, start)))
                return false;
            start = i + 1;
        }
        return true;
    };

    std::set<std::string, FoldedOrder> taken;
    const auto free = [&](const std::string& base) {
        for (const char* suffix : permutation_suffixes) {
            const std::string k = key(base + suffix);
            const auto [first, last] = taken.equal_range(AnyCase{k});
            for (auto it = first; it != last; ++it)
                if (*it == k || one_file(*it, k)) return false;
        }
        return true;
    };
    const auto take = [&](const std::string& base) {
        for (const char* suffix : permutation_suffixes) taken.insert(key(base + suffix));
    };
    const auto base_of = [&](std::string_view id, const std::string& tag) {
        std::string joined = prefix + ".Perm-";
        joined += id;
        joined += tag;
        joined += "-";
        return joined.substr(joined.find_first_not_of(' '));
    };
    take(base_of("Mean", ""));
    PermutationNames names;
    names.bases.resize(loci);
    for (std::size_t l = 0; l < loci; ++l) {
        names.bases[l] = base_of(id_of(l), "");
        if (free(names.bases[l]))
            take(names.bases[l]);
        else
            names.renamed.push_back(l);
    }
    for (std::size_t l : names.renamed) {
        std::string number = "_";
        number += std::to_string(l + 1);
        std::string base = base_of(id_of(l), number);
        for (int k = 2; !free(base); ++k) {
            std::string tag = number;
            tag += '_';
            tag += std::to_string(k);
            base = base_of(id_of(l), tag);
        }
        take(base);
        names.bases[l] = base;
    }
    return names;
}

void prepareresults() {
    Variables& v = variables;
    const std::string prefix(trimmed_right(v.outfilename));
    const bool permutation_files = v.numpermut > 0 && v.outpermresult == 1;
    // A prefix too long for any name ends the run before a name is built on
    // it for every locus.
    if (platform::resolve_file_name(prefix).size() > platform::longest_file_name) {
        const std::string first = permutation_files
                                      ? prefix + ".Perm-" + std::string(trimmed_right(v.locusid(1))) + "-GST"
                                      : prefix + ".LocusGST";
        platform::fatal("cannot create result file", platform::resolve_file_name(first), ENAMETOOLONG);
    }
    if (permutation_files) {
        PermutationNames names = permutation_names(prefix, platform::folder_ignores_case);
        for (std::size_t l : names.renamed) {
            std::string note = "locus " + std::to_string(l + 1) + ", ID \"" +
                               std::string(trimmed_right(v.locusid(static_cast<std::ptrdiff_t>(l + 1)))) +
                               "\": its per-permutation files would take names already used; they are named ";
            const std::string& base = names.bases[l];
            note += platform::resolve_file_name(base + permutation_suffixes[0]) + ", ";
            note += platform::resolve_file_name(base + permutation_suffixes[1]) + " and ";
            note += platform::resolve_file_name(base + permutation_suffixes[2]);
            platform::report(note);
        }
        v.permnames = std::move(names.bases);
        // In the order they are written, so that the first name that cannot
        // be written is the one reported.
        for (const std::string& base : v.permnames)
            for (const char* suffix : permutation_suffixes) platform::add_result(base + suffix);
        for (const char* mean : mean_files) platform::add_result(prefix + mean);
    }
    platform::add_result(prefix + ".LocusGST");
    platform::add_result(prefix + ".MeanGST");
}

const std::vector<std::string>& permutation_bases() {
    Variables& v = variables;
    if (v.permnames.size() != static_cast<std::size_t>(v.numloci))
        v.permnames = permutation_names(std::string(trimmed_right(v.outfilename)), platform::folder_ignores_case).bases;
    return v.permnames;
}
