#include "analysis/readdata.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "analysis/freeform.h"
#include "analysis/variables.h"
#include "platform/platform.h"

namespace {

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

// Values kept as they arrive, so that a count in the input costs memory only
// as far as values back it: the storage doubles as needed, and each step is
// claimed against the memory limit like every array.
template <typename T>
class Growing {
public:
    std::size_t size() const { return size_; }
    T* data() { return store_.data(); }
    T& operator[](std::size_t i) { return store_.data()[i]; }

    // Grows to n values; those after the old size are `fill`. The storage
    // grows beyond n up to `most` values at most (the count the values are
    // known not to pass).
    void resize(std::size_t n, const T& fill, std::size_t most = std::numeric_limits<std::size_t>::max()) {
        if (n <= size_) return;
        // 2 * store_.size() cannot wrap: no array holds more than PTRDIFF_MAX bytes.
        if (n > store_.size())
            store_ = reallocate(std::move(store_), 0,
                                std::min(std::max({n, 2 * store_.size(), std::size_t{16}}), std::max(n, most)));
        std::fill(store_.data() + size_, store_.data() + n, fill);
        size_ = n;
    }
    // No values, the storage kept for the next ones.
    void clear() { size_ = 0; }

    // The values as an array of exactly n elements indexed from `first`, those
    // after size() being `fill`; this store is emptied.
    Vec<T> finish(std::ptrdiff_t first, std::size_t n, const T& fill) {
        const std::size_t kept = std::min(n, size_);
        Vec<T> result = reallocate(std::move(store_), first, n);
        std::fill(result.data() + kept, result.data() + n, fill);
        store_ = Vec<T>{};
        size_ = 0;
        return result;
    }

private:
    Vec<T> store_;
    std::size_t size_ = 0;
};

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
    if (n > 255) stopondataerror("#Alleles per locus > 255!");
    if (!list.allocated())
        list.allocate(1, 2);
    else if (static_cast<std::size_t>(n) > list.size())
        list = reallocate_iv(std::move(list), 2 * static_cast<std::int32_t>(list.size()));
    list(n) = a;
    return static_cast<allelecode>(n - 129);
}

// Codes the raw values of one record (copy 1 and copy 2 of each locus in turn)
// into `codes`, the record's 2 * numloci codes in the same order.
void code_record(const std::int32_t* raw, allelecode* codes, AlleleLists& lists) {
    const std::int32_t missing = variables.misdata;
    const auto loci = static_cast<std::ptrdiff_t>(variables.numloci);
    for (std::ptrdiff_t l = 1; l <= loci; ++l, raw += 2, codes += 2) {
        const std::int32_t a1 = raw[0], a2 = raw[1];
        if (a1 == missing || a2 == missing) {
            codes[0] = missing_code;
            codes[1] = missing_code;
            continue;
        }
        codes[0] = code_of(a1, l, lists);
        codes[1] = code_of(a2, l, lists);
    }
}

}  // namespace

void readdata() {
    Variables& v = variables;

    std::string c99 = platform::command_argument(1);
    if (c99.find_first_not_of(' ') == std::string::npos) c99 = "Tuvamo.InFile";
    platform::InputFile file;
    const std::string name = platform::resolve_file_name(c99);
    if (int error; !file.open(name, error)) {
        platform::report("cannot open input file", name, error);
        stopondataerror("The input file does not exist!");
    }
    freeform::Reader in(file);

    // A prefix left unread by a null value or a slash is blank.
    v.outfilename.clear();
    in.start_read();
    if (!in.text(v.outfilename)) stopondataerror("Error reading output file name");

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

    // Nothing is sized by the two counts alone: every table grows with the
    // values that back it, so a count that the file does not back ends with
    // the message of the read that runs out of values. Items that a null
    // value or a slash leaves unread start as 0 or blanks.
    const auto pops = static_cast<std::size_t>(v.numpop);
    const auto loci = static_cast<std::size_t>(v.numloci);
    LocusText blank_id;
    blank_id.fill(' ');

    // Blank IDs (nulls, blank values, those a slash leaves) are stored only
    // once a later ID needs their places.
    Growing<LocusText> ids;
    std::size_t id_count = 0;
    in.start_read();
    for (; id_count < loci && !in.slashed(); ++id_count) {
        LocusText id = blank_id;
        if (!in.text(id.data(), id.size())) stopondataerror("Error reading locus IDs!");
        if (id == blank_id) continue;
        left_adjust(id);
        ids.resize(id_count, blank_id);
        ids.resize(id_count + 1, id);
    }

    // The tables of the permutation of individuals are the largest arrays of
    // a run; their memory is held from here, before any genotype is read.
    if (v.numpermut > 0) {
        const auto permutations = static_cast<std::size_t>(v.numpermut);
        v.tables_claim.claim(platform::checked_bytes(loci, permutations), 3 * sizeof(float));
    }

    // Each population read takes at least a sample size and two records in
    // the file, so these two follow the file's length.
    std::vector<std::int32_t> sizes;
    std::vector<popgeno> genotypes;
    Growing<std::int32_t> raw;       // copy 1 and copy 2 of each locus, of the record just read
    Growing<allelecode> population;  // the current population's codes, record after record
    AlleleLists lists;
    std::int64_t total = 0;          // individuals of the populations read so far
    FixedText<99> individual_id;
    individual_id.fill(' ');
    const std::size_t record = 2 * loci;  // codes of one individual; below 2^32, as loci < 2^31
    for (std::size_t p = 1; p <= pops; ++p) {
        const std::string ipop = field6(static_cast<std::int32_t>(p));
        std::int32_t size = 0;
        read_integer(in, size, "Error in reading sample size for population " + ipop);
        if (size < 2) stopondataerror("Sample size too small for population " + ipop);
        // The individuals of a run are numbered in 32 bits.
        if (total + size > std::numeric_limits<std::int32_t>::max())
            stopondataerror("Error in reading sample size for population " + ipop);
        total += size;
        sizes.push_back(size);

        for (std::int32_t i = 1; i <= size; ++i) {
            in.start_read();
            bool ok = v.individ != 1 || in.text(individual_id.data(), individual_id.size());
            for (std::size_t k = 0; ok && k < 2 * loci && !in.slashed(); ++k) {
                raw.resize(k + 1, 0);
                ok = in.integer(raw[k]);
            }
            if (!ok)
                stopondataerror("Error in reading data for individual " + field6(i) + " in population " + ipop);
            if (!lists.allocated()) {
                // The first complete record backs the per-locus tables.
                raw.resize(2 * loci, 0);
                v.alleleobs.allocate(1, loci, 0);
                lists.allocate(1, loci);
            }
            population.resize(platform::checked_bytes(record, static_cast<std::size_t>(i)), 0,
                              platform::saturated_product(record, static_cast<std::size_t>(size)));
            code_record(raw.data(), population.data() + record * static_cast<std::size_t>(i - 1), lists);
        }

        // The population's codes in their place: copy fastest, then the
        // individual, then the locus.
        GenoArray& g = genotypes.emplace_back().allele;
        g.allocate(static_cast<std::size_t>(size), loci);
        const allelecode* codes = population.data();
        for (std::size_t i = 1; i <= static_cast<std::size_t>(size); ++i)
            for (std::size_t l = 1; l <= loci; ++l, codes += 2) {
                g(1, i, l) = codes[0];
                g(2, i, l) = codes[1];
            }
        population.clear();
    }
    file.close();
    v.misdata = missing_code;

    lists.release();
    raw = Growing<std::int32_t>{};
    population = Growing<allelecode>{};
    v.smplsize.allocate(1, pops);
    v.gtype.allocate(1, pops);
    for (std::size_t p = 1; p <= pops; ++p) {
        const auto pi = static_cast<std::ptrdiff_t>(p);
        v.smplsize(pi) = sizes[p - 1];
        v.gtype(pi) = std::move(genotypes[p - 1]);
    }
    v.locusid = ids.finish(1, loci, blank_id);
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
