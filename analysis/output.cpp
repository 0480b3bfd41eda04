#include "analysis/output.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

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
FixedText<99> C99{};       // base name of the current locus's files
std::array<float, 3> H{};  // means of the current permutation: Gst, Hs, Ht
}  // namespace out2

// Stores `text` at the start of `field`, blanks after it; a longer text is cut.
template <std::size_t N>
void store(FixedText<N>& field, std::string_view text) {
    field.fill(' ');
    std::copy_n(text.begin(), std::min(text.size(), N), field.begin());
}

// Moves the leading blanks of `field` to its end.
template <std::size_t N>
void left_adjust(FixedText<N>& field) {
    std::size_t lead = 0;
    while (lead < N && field[lead] == ' ') ++lead;
    std::copy(field.begin() + static_cast<std::ptrdiff_t>(lead), field.end(), field.begin());
    std::fill(field.end() - static_cast<std::ptrdiff_t>(lead), field.end(), ' ');
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

// Appends the values of one per-permutation file, ten to a line, each in 7
// characters and followed by a comma unless it is the last of the file.
class ValueLines {
public:
    ValueLines(platform::OutputFile& file, std::int32_t count) : file_(file), count_(count) {}

    // Writes the value of permutation k (1..count, in order).
    void add(std::int32_t k, float value) {
        write_fixed(line_ + used_, value, 7);
        used_ += 7;
        if (k < count_) line_[used_++] = ',';
        if (k == count_ || k % 10 == 0) {
            file_.write(std::string_view(line_, used_));
            file_.end_line();
            used_ = 0;
        }
    }

private:
    platform::OutputFile& file_;
    std::int32_t count_;
    char line_[80];
    std::size_t used_ = 0;
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
    // those values gathered in permutation order for the sort.
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
            write_fixed(field, value, 7);
            file.write(std::string_view(field, sizeof(field)));
        };
        const Table* permuted_tables[3] = {&v.ht_p, &v.hs_p, &v.gst_p};

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
                const auto row = static_cast<std::size_t>(l);
                for (const Table* x : permuted_tables) {
                    for (std::int32_t k = 1; k <= numpermut; ++k)
                        permuted(k) = (*x)(row, static_cast<std::size_t>(k));
                    indexx(numpermut, permuted.data(), sortidx.data());
                    file.write(",");
                    write_value(permuted(sortidx(out1::JDX[0])));
                    file.write(",");
                    write_value(permuted(sortidx(out1::JDX[1])));
                }
            }
            file.end_line();
        }
        file.commit();
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
    file.commit();
}

void output2() {
    const Variables& v = variables;
    const std::int32_t numpermut = v.numpermut;
    const auto loci = static_cast<std::size_t>(v.numloci);
    const std::string prefix(trimmed_right(v.outfilename));

    struct Quantity {
        const char* suffix;
        const Table* values;
    };
    const Quantity quantities[3] = {{"GST", &v.gst_p}, {"HS", &v.hs_p}, {"HT", &v.ht_p}};

    for (std::size_t l = 1; l <= loci; ++l) {
        std::string joined = prefix;
        joined += ".Perm-";
        joined += trimmed_right(v.locusid(static_cast<std::ptrdiff_t>(l)));
        joined += "-";
        store(out2::C99, joined);
        left_adjust(out2::C99);
        const std::string base(trimmed_right(out2::C99));

        for (const Quantity& q : quantities) {
            platform::OutputFile file;
            file.open(base + q.suffix);
            ValueLines lines(file, numpermut);
            for (std::int32_t k = 1; k <= numpermut; ++k)
                lines.add(k, (*q.values)(l, static_cast<std::size_t>(k)));
            file.commit();
        }
    }

    // Each file object carries its own write buffer: keep them off the stack.
    auto files = std::make_unique<platform::OutputFile[]>(3);
    files[0].open(prefix + ".Perm-Mean-GST");
    files[1].open(prefix + ".Perm-Mean-HS");
    files[2].open(prefix + ".Perm-Mean-HT");
    ValueLines gst_lines(files[0], numpermut);
    ValueLines hs_lines(files[1], numpermut);
    ValueLines ht_lines(files[2], numpermut);

    for (std::int32_t k = 1; k <= numpermut; ++k) {
        const float* ht = v.ht_p.column(static_cast<std::size_t>(k));
        const float* hs = v.hs_p.column(static_cast<std::size_t>(k));

        // Mean Ht over the loci whose permuted Ht is above 0, and mean Hs over
        // those whose permuted Hs is above 0: two separate tests.
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

        gst_lines.add(k, out2::H[0]);
        hs_lines.add(k, out2::H[1]);
        ht_lines.add(k, out2::H[2]);
    }

    files[0].commit();
    files[1].commit();
    files[2].commit();
}
