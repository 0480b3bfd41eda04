#include "analysis/output.h"

#include <algorithm>
#include <cerrno>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/numformat.h"
#include "analysis/variables.h"
#include "numerics/indexx.h"
#include "platform/platform.h"

namespace {

// Saved work items of output1 (element 0 holds item (1), element 1 item (2)).
namespace out1 {
std::array<std::int32_t, 2> JDX{};  // ranks of the 2.5 % and 97.5 % points among N values
std::array<float, 2> H{};           // mean Ht and mean Hs of the loci with Hs above 0
FixedText<9> C9{};                  // number of alleles of the current locus
FixedText<99> C99{};                // text of the current summary value
}  // namespace out1

// Saved work items of output2 (element 0 holds item (1), and so on).
namespace out2 {
std::array<float, 3> H{};  // means of the current permutation: Gst, Hs, Ht
}  // namespace out2

// Stores `text` at the start of `field`, blanks after it; a longer text is cut.
template <std::size_t N>
void store(FixedText<N>& field, std::string_view text) {
    field.fill(' ');
    std::copy_n(text.begin(), std::min(text.size(), N), field.begin());
}

// x rounded to the nearest integer, halves away from zero; x >= 0 and below 2^31.
std::int32_t round_half_up(float x) {
    const auto whole = static_cast<std::int32_t>(x);
    const float fraction = x - static_cast<float>(whole);  // exact
    return fraction >= 0.5f ? whole + 1 : whole;
}

// Ranks of the 2.5 % and 97.5 % points among n values, from the single-
// precision products n * 0.025 and n * 0.975.
void quantile_ranks(std::int32_t n) {
    const auto count = static_cast<float>(n);
    out1::JDX[0] = std::max(1, round_half_up(count * 0.025f));
    out1::JDX[1] = round_half_up(count * 0.975f);
}

// One line of a per-permutation file: the m values (1 <= m <= 10) v[0],
// v[stride], ..., v[(m - 1) * stride], each in 7 characters and followed by a
// comma, except the last value of the file (`ends_file`), then the line end.
// The line is built in place in the file's buffer; the bytes are those of
// writing every field, comma and line end one after another.
void value_line(platform::OutputFile& file, const float* v, std::size_t stride, std::size_t m, bool ends_file) {
    constexpr std::size_t max_line = 10 * 8 + platform::line_end.size();
    static_assert(max_line <= platform::OutputFile::room_limit);
    char* const line = file.room(max_line);
    char* p = line;
    for (std::size_t i = 0; i < m; ++i) {
        write_fixed7(p, v[i * stride]);
        p[7] = ',';
        p += 8;
    }
    if (ends_file) --p;  // the line end takes the place of the last comma
    std::memcpy(p, platform::line_end.data(), platform::line_end.size());
    file.added(static_cast<std::size_t>(p - line) + platform::line_end.size());
}

// All lines of a per-permutation file holding v[0], v[stride], ...,
// v[(n - 1) * stride] (n >= 1), ten to a line.
void value_lines(platform::OutputFile& file, const float* v, std::size_t stride, std::size_t n) {
    std::size_t k = 0;
    for (; n - k > 10; k += 10) value_line(file, v + k * stride, stride, 10, false);
    value_line(file, v + k * stride, stride, n - k, true);
}

// The quantile fields of one locus and one quantity: the values of ranks
// `lower` and `upper` (1 <= lower <= upper <= n) among the locus's n values
// from[0], from[stride], ..., from[(n - 1) * stride], in permutation order.
//
// The index sort puts the values in ascending order, and its value of rank j
// is the j-th smallest. When no value is NaN, the routines below find the j-th
// smallest too, up to the order among values that compare equal; and values
// that compare equal write the same text: they have the same bits, or they
// are zeros of either sign (and, with denormals taken as zero, subnormals),
// all written as 0.0000 without a sign. So the fields are the same as through
// the sort. With a NaN present the sort's own placement decides, and the sort
// itself is run.
class QuantilePicker {
public:
    // `work` and `order` hold n values each, as the sort needs them.
    QuantilePicker(std::int32_t n, std::int32_t lower, std::int32_t upper, float* work, std::int32_t* order)
        : n_(n), lower_(lower), upper_(upper), work_(work), order_(order) {}

    std::array<float, 2> pick(const float* from, std::size_t stride) {
        std::array<float, 2> result;
        if (n_ >= sampled_from && bracketed(from, stride, result)) return result;
        // Every value in permutation order; the selection below moves them.
        bool has_nan = false;
        for (std::int32_t k = 0; k < n_; ++k) {
            const float value = from[static_cast<std::size_t>(k) * stride];
            work_[k] = value;
            has_nan |= value != value;
        }
        if (has_nan) {
            indexx(n_, work_, order_);
            return {work_[order_[lower_ - 1] - 1], work_[order_[upper_ - 1] - 1]};
        }
        float* const end = work_ + n_;
        std::nth_element(work_, work_ + (lower_ - 1), end);
        result[0] = work_[lower_ - 1];
        // Everything after position lower - 1 now compares at or above it, so
        // the value of rank upper lies among those.
        if (upper_ > lower_) std::nth_element(work_ + lower_, work_ + (upper_ - 1), end);
        result[1] = work_[upper_ - 1];
        return result;
    }

private:
    // From this many values on, a sample narrows the search first.
    static constexpr std::int32_t sampled_from = 16384;
    static constexpr std::int32_t sample_size = 1024;

    // The value range [low, high] expected to hold the value of rank j: the
    // sorted sample's values a margin of about four standard deviations of
    // the sample rank around the rank's expected place; an open end where the
    // margin runs past the sample. Only speed depends on it; a range that
    // misses the rank is detected and the caller takes the full road.
    void range(const std::array<float, sample_size>& sample, std::int32_t j, float& low, float& high) const {
        const double share = static_cast<double>(j) / static_cast<double>(n_);
        const double place = share * sample_size - 0.5;
        const double margin = 4.0 * std::sqrt(sample_size * share * (1.0 - share)) + 2.0;
        const double first = std::floor(place - margin);
        const double last = std::ceil(place + margin);
        low = first < 0.0 ? -std::numeric_limits<float>::infinity() : sample[static_cast<std::size_t>(first)];
        high = last >= sample_size ? std::numeric_limits<float>::infinity() : sample[static_cast<std::size_t>(last)];
    }

    // The two values from one pass over the locus's values, when the sample's
    // ranges catch both ranks; false otherwise (a NaN among the values, two
    // ranges that meet, a range that misses its rank).
    //
    // With b values below `low` and the m values from `low` to `high` kept,
    // the kept values take ranks b + 1 .. b + m in ascending order, so the
    // value of rank j with b < j <= b + m is the (j - b)-th smallest kept.
    bool bracketed(const float* from, std::size_t stride, std::array<float, 2>& result) {
        std::array<float, sample_size> sample;
        for (std::int32_t i = 0; i < sample_size; ++i) {
            const auto k = static_cast<std::int64_t>(i) * n_ / sample_size;
            sample[static_cast<std::size_t>(i)] = from[static_cast<std::size_t>(k) * stride];
            if (sample[static_cast<std::size_t>(i)] != sample[static_cast<std::size_t>(i)]) return false;
        }
        std::sort(sample.begin(), sample.end());
        float low1, high1, low2, high2;
        range(sample, lower_, low1, high1);
        range(sample, upper_, low2, high2);
        if (!(high1 < low2)) return false;

        // The values of the lower range are kept from the front of work_, those
        // of the upper range from its back. The two ranges are disjoint, so
        // before value k (0-based) at most k values are kept, and each store
        // lands on a free place or on the other end's next place, which is
        // free as well; every store writes the value itself.
        std::int32_t below1 = 0, kept1 = 0, below2 = 0, kept2 = 0;
        bool has_nan = false;
        float* const back = work_ + (n_ - 1);
        for (std::int32_t k = 0; k < n_; ++k) {
            const float value = from[static_cast<std::size_t>(k) * stride];
            has_nan |= value != value;
            below1 += value < low1;
            below2 += value < low2;
            work_[kept1] = value;
            kept1 += (value >= low1) & (value <= high1);
            back[-kept2] = value;
            kept2 += (value >= low2) & (value <= high2);
        }
        if (has_nan) return false;
        if (!(below1 < lower_ && lower_ <= below1 + kept1 && below2 < upper_ && upper_ <= below2 + kept2))
            return false;
        float* const first2 = work_ + (n_ - kept2);
        std::nth_element(work_, work_ + (lower_ - below1 - 1), work_ + kept1);
        std::nth_element(first2, first2 + (upper_ - below2 - 1), work_ + n_);
        result = {work_[lower_ - below1 - 1], first2[upper_ - below2 - 1]};
        return true;
    }

    std::int32_t n_, lower_, upper_;
    float* work_;
    std::int32_t* order_;
};

// Writes one summary value: its text at the start of C99, left-adjusted and
// cut after its last non-blank character, then a comma unless it is the last.
void summary_field(platform::OutputFile& file, const std::string& text, bool last) {
    store(out1::C99, text);
    left_adjust(out1::C99);
    file.write(trimmed_right(out1::C99));
    if (!last) file.write(",");
}

}  // namespace

void output1(float r, float probt, float a, float b, float pperm) {
    const Variables& v = variables;
    const std::int32_t numpermut = v.numpermut;
    const auto loci = static_cast<std::ptrdiff_t>(v.numloci);
    const std::string prefix(trimmed_right(v.outfilename));

    // The order that sorts one locus's permuted values of one quantity, and
    // those values gathered in permutation order for the sort (or the work
    // space of the selection that stands in for it).
    Vec<std::int32_t> sortidx;
    Vec<float> permuted;

    {
        platform::OutputFile file;
        file.open(prefix + ".LocusGST");
        if (numpermut == 0) {
            file.write("Locus,#Allele,Ht,Hs,Gst");
            file.end_line();
        } else {
            file.write(
                "Locus,#Allele,Ht,Hs,Gst,Ht(.025),Ht(.975),Hs(.025),Hs(.975),Gst(.025),Gst(.975)");
            file.end_line();
            sortidx.allocate(1, static_cast<std::size_t>(numpermut));
            permuted.allocate(1, static_cast<std::size_t>(numpermut));
            quantile_ranks(numpermut);
        }

        char field[7];
        const auto write_value = [&](float value) {
            write_fixed7(field, value);
            file.write(std::string_view(field, sizeof(field)));
        };
        const Table* permuted_tables[3] = {&v.ht_p, &v.hs_p, &v.gst_p};
        QuantilePicker picker(numpermut, out1::JDX[0], out1::JDX[1], permuted.data(), sortidx.data());

        for (std::ptrdiff_t l = 1; l <= loci; ++l) {
            file.write(trimmed_right(v.locusid(l)));
            file.write(",");
            store(out1::C9, format_integer(v.alleleobs(l)));
            file.write(trimmed_right(out1::C9));
            file.write(",");
            write_value(v.ht_t(l));
            file.write(",");
            write_value(v.hs_t(l));
            file.write(",");
            write_value(v.gst_t(l));
            if (numpermut >= 1) {
                const auto row = static_cast<std::size_t>(l - 1);
                for (const Table* x : permuted_tables) {
                    const std::array<float, 2> quantiles = picker.pick(x->column(1) + row, x->rows());
                    file.write(",");
                    write_value(quantiles[0]);
                    file.write(",");
                    write_value(quantiles[1]);
                }
            }
            file.end_line();
        }
        file.close();
    }

    // Means over the loci whose Hs is above 0; no such locus gives 0/0.
    std::int32_t counted = 0;
    float sum_ht = 0.0f;
    float sum_hs = 0.0f;
    for (std::ptrdiff_t l = 1; l <= loci; ++l) {
        if (v.hs_t(l) > 0.0f) {
            sum_ht += v.ht_t(l);
            sum_hs += v.hs_t(l);
            ++counted;
        }
    }

    platform::OutputFile file;
    file.open(prefix + ".MeanGST");
    file.write(
        "Mean-Ht,Mean-Hs,Mean-Gst,Corr(Hs-Gst),Corr(P-T-Test),Corr(P-Permu-Test),"
        "Regression(a),Regression(b)");
    file.end_line();
    out1::H[0] = sum_ht / static_cast<float>(counted);
    summary_field(file, format_fixed(out1::H[0], 9), false);
    out1::H[1] = sum_hs / static_cast<float>(counted);
    summary_field(file, format_fixed(out1::H[1], 9), false);
    summary_field(file, format_fixed(1.0f - out1::H[1] / out1::H[0], 9), false);
    summary_field(file, format_fixed(r, 9), false);
    summary_field(file, format_scientific(probt), false);
    summary_field(file, format_fixed(pperm, 9), false);
    summary_field(file, format_fixed(a, 9), false);
    summary_field(file, format_fixed(b, 9), true);
    file.end_line();
    file.close();
}

namespace {

constexpr std::array<const char*, 3> permutation_suffixes = {"GST", "HS", "HT"};
constexpr std::array<const char*, 3> mean_files = {".Perm-Mean-GST", ".Perm-Mean-HS", ".Perm-Mean-HT"};

// The base names of the loci's per-permutation files, and the loci whose
// plain names were taken (0-based).
struct PermutationNames {
    std::vector<std::string> bases;
    std::vector<std::size_t> renamed;
};

// The base of a locus's per-permutation files is the prefix, ".Perm-", the ID
// and "-", without the leading blanks of the whole. Every file of a run keeps
// a name of its own: where a locus's names would repeat names the run writes
// already (an earlier locus's, or the mean files'), the locus number follows
// its ID ("<prefix>.Perm-<ID>_<l>-", then "_2", "_3", ... while even that is
// taken). Every other locus keeps its plain name, so each plain name stays
// the one it always was.
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

}  // namespace

void prepareresults() {
    const Variables& v = variables;
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
        const PermutationNames names = permutation_names(prefix);
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
        // In the order they are written, so that the first name that cannot
        // be written is the one reported.
        for (const std::string& base : names.bases)
            for (const char* suffix : permutation_suffixes) platform::add_result(base + suffix);
        for (const char* mean : mean_files) platform::add_result(prefix + mean);
    }
    platform::add_result(prefix + ".LocusGST");
    platform::add_result(prefix + ".MeanGST");
}

void commitresults() {
    platform::commit_results(std::string(trimmed_right(variables.outfilename)) + ".LocusGST");
}

void output2() {
    const Variables& v = variables;
    const std::int32_t numpermut = v.numpermut;
    const auto loci = static_cast<std::size_t>(v.numloci);
    const std::string prefix(trimmed_right(v.outfilename));

    // In the order of permutation_suffixes.
    const Table* const tables[3] = {&v.gst_p, &v.hs_p, &v.ht_p};

    const std::vector<std::string> bases = permutation_names(prefix).bases;
    for (std::size_t l = 1; l <= loci; ++l) {
        for (std::size_t q = 0; q < 3; ++q) {
            platform::OutputFile file;
            file.open(bases[l - 1] + permutation_suffixes[q]);
            value_lines(file, tables[q]->column(1) + (l - 1), tables[q]->rows(), static_cast<std::size_t>(numpermut));
            file.close();
        }
    }

    // Each file object carries its own write buffer: keep them off the stack.
    auto files = std::make_unique<platform::OutputFile[]>(3);
    for (std::size_t j = 0; j < 3; ++j) files[j].open(prefix + mean_files[j]);

    // The means of up to ten permutations at a time, then one line of each
    // mean file; each file receives its values in permutation order.
    const auto n = static_cast<std::size_t>(numpermut);
    std::array<std::array<float, 10>, 3> means;
    for (std::size_t first = 1; first <= n; first += 10) {
        const std::size_t m = std::min<std::size_t>(10, n - first + 1);
        for (std::size_t i = 0; i < m; ++i) {
            const float* ht = v.ht_p.column(first + i);
            const float* hs = v.hs_p.column(first + i);

            // Mean Ht over the loci whose permuted Ht is above 0, and mean Hs
            // over those whose permuted Hs is above 0: two separate tests.
            float sum = 0.0f;
            std::int32_t counted = 0;
            for (std::size_t l = 0; l < loci; ++l) {
                if (ht[l] > 0.0f) {
                    sum += ht[l];
                    ++counted;
                }
            }
            out2::H[2] = sum / static_cast<float>(counted);

            sum = 0.0f;
            counted = 0;
            for (std::size_t l = 0; l < loci; ++l) {
                if (hs[l] > 0.0f) {
                    sum += hs[l];
                    ++counted;
                }
            }
            out2::H[1] = sum / static_cast<float>(counted);

            out2::H[0] = 1.0f - out2::H[1] / out2::H[2];
            for (std::size_t j = 0; j < 3; ++j) means[j][i] = out2::H[j];
        }
        const bool ends_file = first + m > n;
        for (std::size_t j = 0; j < 3; ++j) value_line(files[j], means[j].data(), 1, m, ends_file);
    }

    files[0].close();
    files[1].close();
    files[2].close();
}
