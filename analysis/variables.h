// The shared data model: the one set of process-wide variables through which
// the steps of a run hand data to each other, and the array types it is built
// from. Arrays are indexed from the first index they were allocated with (1,
// 0 or -128); multi-dimensional arrays keep their first index fastest.
#pragma once

#include <algorithm>
#include <array>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "numerics/random.h"
#include "platform/platform.h"

// Allele code of one copy of one genotype: the k-th distinct raw value of a
// locus (k = 1..255) is stored as k - 129, a missing genotype as 127 in both copies.
using allelecode = std::int8_t;
inline constexpr allelecode missing_code = 127;

// Ht, Hs and Gst of a locus with fewer than two distinct alleles.
inline constexpr float misloc = -1.0f;

// A fixed-length text, padded on the right with blanks.
template <std::size_t N>
using FixedText = std::array<char, N>;
using LocusText = FixedText<20>;

// The text without its trailing blanks.
inline std::string_view trimmed_right(std::string_view text) {
    std::size_t n = text.size();
    while (n > 0 && text[n - 1] == ' ') --n;
    return text.substr(0, n);
}
template <std::size_t N>
std::string_view trimmed_right(const FixedText<N>& text) {
    return trimmed_right(std::string_view(text.data(), N));
}

// Moves the leading blanks of `text` to its end.
template <std::size_t N>
void left_adjust(FixedText<N>& text) {
    std::rotate(text.begin(), std::find_if(text.begin(), text.end(), [](char c) { return c != ' '; }),
                text.end());
}

// An owned one-dimensional array indexed first..first+size-1. Its storage is
// obtained once by allocate() and never resized; element values start
// undefined for plain types unless a fill value is given.
template <typename T>
class Vec {
public:
    Vec() = default;
    Vec(Vec&&) noexcept = default;
    Vec& operator=(Vec&&) noexcept = default;

    void allocate(std::ptrdiff_t first, std::size_t count) {
        data_.reset();
        claim_.claim(count, sizeof(T));
        data_.reset(new T[count == 0 ? 1 : count]);
        first_ = first;
        size_ = count;
    }
    void allocate(std::ptrdiff_t first, std::size_t count, const T& fill) {
        allocate(first, count);
        for (std::size_t i = 0; i < count; ++i) data_[i] = fill;
    }
    void release() {
        data_.reset();
        claim_.release();
        size_ = 0;
    }

    bool allocated() const { return data_ != nullptr; }
    std::size_t size() const { return size_; }
    std::ptrdiff_t first() const { return first_; }

    T& operator()(std::ptrdiff_t i) {
        assert(i >= first_ && i - first_ < static_cast<std::ptrdiff_t>(size_));
        return data_[static_cast<std::size_t>(i - first_)];
    }
    const T& operator()(std::ptrdiff_t i) const {
        assert(i >= first_ && i - first_ < static_cast<std::ptrdiff_t>(size_));
        return data_[static_cast<std::size_t>(i - first_)];
    }
    // Storage of element `first`, the others following it.
    T* data() { return data_.get(); }
    const T* data() const { return data_.get(); }

private:
    std::unique_ptr<T[]> data_;
    platform::MemoryClaim claim_;
    std::ptrdiff_t first_ = 1;
    std::size_t size_ = 0;
};

// An owned two-dimensional real table (1:rows, 1:cols), the row index fastest,
// so one column is contiguous.
class Table {
public:
    void allocate(std::size_t rows, std::size_t cols) {
        std::size_t count = cols == 0 ? 0 : platform::checked_bytes(rows, cols);
        data_.reset();
        claim_.claim(count, sizeof(float));
        data_.reset(new float[count == 0 ? 1 : count]);
        rows_ = rows;
        cols_ = cols;
    }
    bool allocated() const { return data_ != nullptr; }
    std::size_t rows() const { return rows_; }
    std::size_t cols() const { return cols_; }
    float& operator()(std::size_t row, std::size_t col) {
        assert(row >= 1 && row <= rows_ && col >= 1 && col <= cols_);
        return data_[(row - 1) + rows_ * (col - 1)];
    }
    float operator()(std::size_t row, std::size_t col) const {
        assert(row >= 1 && row <= rows_ && col >= 1 && col <= cols_);
        return data_[(row - 1) + rows_ * (col - 1)];
    }
    // Column `col` (1-based), rows() contiguous values.
    float* column(std::size_t col) { return data_.get() + rows_ * (col - 1); }
    const float* column(std::size_t col) const { return data_.get() + rows_ * (col - 1); }

private:
    std::unique_ptr<float[]> data_;
    platform::MemoryClaim claim_;
    std::size_t rows_ = 0;
    std::size_t cols_ = 0;
};

// Allele codes indexed (copy 1:2, individual 1:n, locus 1:numloci), the copy
// fastest: the 2n codes of one locus are contiguous, successive loci lie
// `locus_stride` codes apart. Either owns its storage (gtype, permdata) or is a
// view into storage owned elsewhere (crrtdata).
class GenoArray {
public:
    // Allocates owned storage for n individuals at `loci` loci; content undefined.
    void allocate(std::size_t n, std::size_t loci) {
        std::size_t per_locus = platform::checked_bytes(n, 2);
        std::size_t count = platform::checked_bytes(per_locus, loci == 0 ? 1 : loci);
        if (loci == 0) count = 0;
        owned_.reset();
        claim_.claim(count, 1);
        owned_.reset(new allelecode[count == 0 ? 1 : count]);
        base_ = owned_.get();
        nind_ = n;
        loci_ = loci;
        stride_ = static_cast<std::ptrdiff_t>(per_locus);
    }
    // Makes this a view of individuals first_individual..first_individual+n-1 of
    // `whole`, renumbered from 1; it owns nothing.
    void view(const GenoArray& whole, std::size_t first_individual, std::size_t n) {
        owned_.reset();
        claim_.release();
        base_ = whole.base_ + 2 * static_cast<std::ptrdiff_t>(first_individual - 1);
        nind_ = n;
        loci_ = whole.loci_;
        stride_ = whole.stride_;
    }
    bool allocated() const { return base_ != nullptr; }
    std::size_t individuals() const { return nind_; }
    std::size_t loci() const { return loci_; }
    std::ptrdiff_t locus_stride() const { return stride_; }

    allelecode& operator()(int copy, std::size_t individual, std::size_t locus) const {
        assert(copy >= 1 && copy <= 2 && individual >= 1 && individual <= nind_ && locus >= 1 &&
               locus <= loci_);
        return base_[(copy - 1) + 2 * static_cast<std::ptrdiff_t>(individual - 1) +
                     stride_ * static_cast<std::ptrdiff_t>(locus - 1)];
    }
    // The 2n contiguous codes of `locus`: copy 1 and 2 of individual 1, then of 2, ...
    allelecode* locus(std::size_t locus) const {
        assert(locus >= 1 && locus <= loci_);
        return base_ + stride_ * static_cast<std::ptrdiff_t>(locus - 1);
    }

private:
    std::unique_ptr<allelecode[]> owned_;
    platform::MemoryClaim claim_;
    allelecode* base_ = nullptr;
    std::size_t nind_ = 0;
    std::size_t loci_ = 0;
    std::ptrdiff_t stride_ = 0;
};

// Where copy 1 of individual i (counted from 0) lies among the 2n codes of
// a locus: 2i, reckoned in ptrdiff_t so that it holds for every population
// whose codes fit in memory (no array passes PTRDIFF_MAX bytes), as int32
// does not beyond 2^30 individuals.
constexpr std::ptrdiff_t genotype_offset(std::int32_t i) { return 2 * static_cast<std::ptrdiff_t>(i); }

// The genotype record of one population.
struct popgeno {
    GenoArray allele;  // (1:2, 1:n, 1:numloci) allele codes
};

struct Variables {
    // Run parameters, in the order of the input file.
    std::string outfilename;        // prefix of every result file name, whole, as read
    std::int32_t numpermut = 0;     // permutations of individuals, 0..10000000
    std::int32_t outpermresult = 0; // 1: write the per-permutation files
    // Random stream control word, -|seed| after reading: the stream's own word
    // (numerics/random.h), so assigning a Variables leaves it as it is.
    static inline std::int32_t& idum = random_idum;
    std::int32_t individ = 0;       // 1: each individual record begins with an ID
    std::int32_t misdata = 0;       // raw missing value while reading; 127 afterwards

    // Counts.
    std::int32_t numpop = 0;   // populations, >= 2
    std::int32_t numloci = 0;  // loci, >= 1
    std::int32_t nindiv = 0;   // individuals in all, sum of smplsize

    // Per-population and per-locus tables.
    Vec<std::int32_t> smplsize;   // (1:numpop) sample size of population p, >= 2
    Vec<std::int32_t> locpop;     // (0:numpop) cumulative sample sizes, locpop(0) = 0
    Vec<LocusText> locusid;       // (1:numloci) locus IDs, left-adjusted, blank-padded
    Vec<std::int32_t> alleleobs;  // (1:numloci) distinct raw alleles met, 0..255

    // Genotypes.
    Vec<popgeno> gtype;     // (1:numpop) observed genotypes, each owning its codes
    Vec<popgeno> crrtdata;  // (1:numpop) views read by the diversity step
    GenoArray permdata;     // (1:2, 1:nindiv, 1:numloci) genotypes after one permutation

    // Results.
    Vec<float> ht, hs, gst;        // (1:numloci) of the genotypes last computed
    Vec<float> ht_t, hs_t, gst_t;  // (1:numloci) saved observed results
    Table ht_p, hs_p, gst_p;       // (1:numloci, 1:numpermut) one column per permutation

    // Names. (0:numloci-1) base name of each locus's per-permutation files
    // (a base and "GST", "HS" or "HT" make a name), given before the analysis.
    std::vector<std::string> permnames;

    // The memory of ht_p, hs_p and gst_p, held from the reading of the input
    // (once numloci and numpermut are known) until the tables are allocated.
    platform::MemoryClaim tables_claim;
};

extern Variables variables;

// The one way a table grows or shrinks: returns an array of `count` elements
// indexed from `first` holding the first min(size of p, count) values of p
// (the rest undefined for plain types); p is released. Its memory is claimed
// like every array's; a failed allocation ends the run like every memory
// failure (platform::out_of_memory).
template <typename T>
Vec<T> reallocate(Vec<T> p, std::ptrdiff_t first, std::size_t count) {
    Vec<T> result;
    try {
        result.allocate(first, count);
    } catch (const std::bad_alloc&) {
        platform::out_of_memory();
    }
    if (!p.allocated()) return result;
    std::move(p.data(), p.data() + std::min(p.size(), count), result.data());
    p.release();
    return result;
}

// Returns a vector of max(n, 0) elements indexed from 1 holding the first
// min(size of p, n) values of p (the rest undefined); p is released.
inline Vec<std::int32_t> reallocate_iv(Vec<std::int32_t> p, std::int32_t n) {
    return reallocate(std::move(p), 1, n > 0 ? static_cast<std::size_t>(n) : 0);
}
