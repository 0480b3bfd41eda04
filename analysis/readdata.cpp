#include "analysis/readdata.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>

#include "analysis/freeform.h"
#include "analysis/variables.h"
#include "platform/platform.h"

namespace {

constexpr std::size_t name_length = 99;

// A population or individual number as the messages show it: the digits of a
// field 6 characters wide, asterisks when the number does not fit.
std::string field6(std::int32_t n) {
    std::string digits = std::to_string(n);
    return digits.size() > 6 ? std::string(6, '*') : digits;
}

// One read of a single integer item, with its failure message.
void read_integer(freeform::Reader& in, std::int32_t& item, std::string_view failure) {
    in.start_read();
    if (!in.integer(item)) stopondataerror(failure);
}

// Leading blanks moved to the end.
void left_adjust(LocusText& id) {
    auto first = std::find_if(id.begin(), id.end(), [](char c) { return c != ' '; });
    std::rotate(id.begin(), first, id.end());
}

// Raw allele values of each locus in order of first appearance; a locus's
// list is created, with room for two values, when its first value comes.
using AlleleLists = Vec<Vec<std::int32_t>>;

// The code of raw value a at locus l, numbering it when it is new.
allelecode code_of(std::int32_t a, std::ptrdiff_t l, AlleleLists& lists) {
    Vec<std::int32_t>& list = lists(l);
    std::int32_t& n = variables.alleleobs(l);
    for (std::int32_t k = 1; k <= n; ++k)
        if (list(k) == a) return static_cast<allelecode>(k - 129);
    n = n + 1;
    if (n > 255) {
        platform::out_freeform_line("#Alleles per locus > 255!");
        platform::stop(platform::status_data_error);
    }
    if (!list.allocated())
        list.allocate(1, 2);
    else if (static_cast<std::size_t>(n) > list.size())
        list = reallocate_iv(std::move(list), 2 * static_cast<std::int32_t>(list.size()));
    list(n) = a;
    return static_cast<allelecode>(n - 129);
}

// Codes the raw values of one record (copy 1 and copy 2 of each locus in turn)
// into individual i of `genotypes`.
void code_record(const Vec<std::int32_t>& raw, GenoArray& genotypes, std::size_t i,
                 AlleleLists& lists) {
    const std::int32_t missing = variables.misdata;
    const auto loci = static_cast<std::size_t>(variables.numloci);
    const std::int32_t* values = raw.data();
    for (std::size_t l = 1; l <= loci; ++l, values += 2) {
        const std::int32_t a1 = values[0], a2 = values[1];
        if (a1 == missing || a2 == missing) {
            genotypes(1, i, l) = missing_code;
            genotypes(2, i, l) = missing_code;
            continue;
        }
        const auto li = static_cast<std::ptrdiff_t>(l);
        genotypes(1, i, l) = code_of(a1, li, lists);
        genotypes(2, i, l) = code_of(a2, li, lists);
    }
}

}  // namespace

void readdata() {
    Variables& v = variables;

    std::string c99 = platform::command_argument(1).substr(0, name_length);
    if (c99.find_first_not_of(' ') == std::string::npos) c99 = "Tuvamo.InFile";
    platform::InputFile file;
    if (!file.open(platform::resolve_file_name(c99))) stopondataerror("The input file does not exist!");
    freeform::Reader in(file);

    // A prefix left unread by a null value or a slash is blank.
    v.outfilename.fill(' ');
    in.start_read();
    if (!in.text(v.outfilename.data(), v.outfilename.size())) stopondataerror("Error reading output file name");

    read_integer(in, v.numpermut, "Error reading number of permutation!");
    if (v.numpermut < 0 || v.numpermut > 10000000)
        stopondataerror("Permutation number should be >=0 (No permutation) and <= 10000000");
    read_integer(in, v.outpermresult, "Error reading indicator of output result / permutation!");
    if (v.outpermresult < 0 || v.outpermresult > 1)
        stopondataerror("Indicator of output result/permutation must be 0/1 (N/Y)!");
    read_integer(in, v.idum, "Error reading seed of random number generator!");
    if (v.idum > 0) v.idum = -v.idum;  // -2147483648 stays as it is
    read_integer(in, v.individ, "Error reading indicator for individual ID!");
    if (v.individ != 0 && v.individ != 1) stopondataerror("Indicator for individual ID must be 0/1!");
    read_integer(in, v.misdata, "Error reading indicator for missing data!");
    read_integer(in, v.numpop, "Error reading number of populations!");
    if (v.numpop < 2) stopondataerror("Number of populations must > 1!");
    read_integer(in, v.numloci, "Error reading number of loci!");
    if (v.numloci < 1) stopondataerror("Number of loci must be > 0!");

    const auto pops = static_cast<std::size_t>(v.numpop);
    const auto loci = static_cast<std::size_t>(v.numloci);
    // Counts whose tables could never fit end the run before any of them is
    // allocated and filled.
    platform::checked_bytes(pops, 2 * sizeof(std::int32_t) + 2 * sizeof(popgeno));
    platform::checked_bytes(loci, 3 * sizeof(std::int32_t) + sizeof(LocusText) + sizeof(Vec<std::int32_t>));

    // Items that a null value or a slash leaves unread start as 0 or blanks.
    v.smplsize.allocate(1, pops, 0);
    v.gtype.allocate(1, pops);
    v.alleleobs.allocate(1, loci, 0);
    LocusText blank_id;
    blank_id.fill(' ');
    v.locusid.allocate(1, loci, blank_id);
    Vec<std::int32_t> raw;  // copy 1 and copy 2 of each locus, of the record just read
    raw.allocate(1, platform::checked_bytes(loci, 2), 0);
    AlleleLists lists;
    lists.allocate(1, loci);

    in.start_read();
    for (std::size_t l = 1; l <= loci && !in.slashed(); ++l)
        if (!in.text(v.locusid(static_cast<std::ptrdiff_t>(l)).data(), LocusText{}.size()))
            stopondataerror("Error reading locus IDs!");
    for (std::size_t l = 1; l <= loci; ++l) left_adjust(v.locusid(static_cast<std::ptrdiff_t>(l)));

    FixedText<99> id;
    id.fill(' ');
    for (std::size_t p = 1; p <= pops; ++p) {
        const auto pi = static_cast<std::ptrdiff_t>(p);
        const std::string ipop = field6(static_cast<std::int32_t>(p));
        std::int32_t& size = v.smplsize(pi);
        read_integer(in, size, "Error in reading sample size for population " + ipop);
        if (size < 2) stopondataerror("Sample size too small for population " + ipop);

        GenoArray& genotypes = v.gtype(pi).allele;
        genotypes.allocate(static_cast<std::size_t>(size), loci);
        for (std::int32_t i = 1; i <= size; ++i) {
            in.start_read();
            bool ok = v.individ != 1 || in.text(id.data(), id.size());
            for (std::size_t k = 1; ok && k <= raw.size() && !in.slashed(); ++k)
                ok = in.integer(raw(static_cast<std::ptrdiff_t>(k)));
            if (!ok)
                stopondataerror("Error in reading data for individual " + field6(i) + " in population " + ipop);
            code_record(raw, genotypes, static_cast<std::size_t>(i), lists);
        }
    }
    file.close();
    v.misdata = missing_code;

    lists.release();
    std::int64_t total = 0;
    for (std::size_t p = 1; p <= pops; ++p) total += v.smplsize(static_cast<std::ptrdiff_t>(p));
    // The permutations address all individuals as one 32-bit numbered block.
    if (total > std::numeric_limits<std::int32_t>::max()) platform::out_of_memory();
    v.nindiv = static_cast<std::int32_t>(total);

    v.crrtdata.allocate(1, pops);
    v.locpop.allocate(0, pops + 1);
    v.permdata.allocate(static_cast<std::size_t>(v.nindiv), loci);
    v.locpop(0) = 0;
    for (std::size_t p = 1; p <= pops; ++p) {
        const auto pi = static_cast<std::ptrdiff_t>(p);
        v.locpop(pi) = v.locpop(pi - 1) + v.smplsize(pi);
    }
}

[[noreturn]] void stopondataerror(std::string_view message) {
    const std::size_t first = message.find_first_not_of(' ');
    if (first == std::string_view::npos) {
        message = {};
    } else {
        message.remove_prefix(first);
        message.remove_suffix(message.size() - 1 - message.find_last_not_of(' '));
    }
    platform::out_freeform_line(message);
    platform::stop(platform::status_data_error);
}
