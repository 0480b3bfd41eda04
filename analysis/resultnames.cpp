#include "analysis/resultnames.h"

#include <algorithm>
#include <cerrno>
#include <set>
#include <string_view>
#include <utility>

#include "analysis/variables.h"
#include "platform/platform.h"

PermutationNames permutation_names(const std::string& prefix) {
    const Variables& v = variables;
    const auto loci = static_cast<std::size_t>(v.numloci);

    const auto id_of = [&](std::size_t l) { return trimmed_right(v.locusid(static_cast<std::ptrdiff_t>(l + 1))); };

    // Every name of the run starts with the prefix (without its leading
    // blanks). While no ID holds a folder separator, the part after it tells
    // the names apart as well as the whole name does, at a fraction of the
    // size of a long prefix.
    const std::string stem = prefix.substr(std::min(prefix.find_first_not_of(' '), prefix.size()));
    bool whole = false;
    for (std::size_t l = 0; l < loci && !whole; ++l) whole = id_of(l).find_first_of("/\\") != std::string_view::npos;
    const auto key = [&](const std::string& name) {
        return platform::file_name_key(whole ? std::string_view(name) : std::string_view(name).substr(stem.size()));
    };

    std::set<std::string> taken;
    const auto free = [&](const std::string& base) {
        for (const char* suffix : permutation_suffixes)
            if (taken.count(key(base + suffix)) != 0) return false;
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
        PermutationNames names = permutation_names(prefix);
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
        v.permnames = permutation_names(std::string(trimmed_right(v.outfilename))).bases;
    return v.permnames;
}
