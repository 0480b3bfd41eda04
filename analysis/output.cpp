#include "analysis/output.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/numformat.h"
#include "analysis/quantiles.h"
#include "analysis/resultnames.h"
#include "analysis/variables.h"
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

    const std::vector<std::string>& bases = permutation_bases();
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
