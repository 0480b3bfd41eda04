#include "analysis/permute.h"

#include <algorithm>
#include <cstddef>
#include <string>

#include "analysis/computegst.h"
#include "analysis/permuteddiversity.h"
#include "analysis/variables.h"
#include "numerics/random.h"
#include "platform/platform.h"

namespace {

// One mark per 10 permutations, "+" at every 100th; every 1000th ends its row
// with the count of permutations begun so far.
void progress(std::int32_t i) {
    if (i % 10 != 0) return;
    platform::out(i % 100 == 0 ? "+" : "-");
    if (i % 1000 == 0) {
        platform::out(std::to_string(i));
        platform::out_end_line();
    }
    if (i % 100 == 0) platform::out_flush();
}

// Copies individual X's codes into slot q of permdata, locus by locus.
void place(const allelecode* individual, std::size_t loci, std::int32_t q) {
    allelecode* dst = variables.permdata.locus(1) + 2 * static_cast<std::ptrdiff_t>(q - 1);
    const std::ptrdiff_t stride = variables.permdata.locus_stride();
    for (std::size_t l = 0; l < loci; ++l, dst += stride) {
        dst[0] = individual[2 * l];
        dst[1] = individual[2 * l + 1];
    }
}

}  // namespace

void permute() { permute_with(PermutedDiversity::applicable()); }

void permute_with(bool batched) {
    Variables& v = variables;
    const std::int32_t nindiv = v.nindiv;
    const auto loci = static_cast<std::size_t>(v.numloci);
    const auto permutations = static_cast<std::size_t>(v.numpermut);

    Vec<std::int32_t> poolidx;
    poolidx.allocate(1, static_cast<std::size_t>(nindiv));

    // Every individual's codes, contiguous: locus 1 copy 1, locus 1 copy 2, ...
    const std::size_t per_individual = platform::checked_bytes(loci, 2);
    Vec<allelecode> poolgeno;
    poolgeno.allocate(0, platform::checked_bytes(per_individual, static_cast<std::size_t>(nindiv)));
    {
        std::size_t k = 0;
        for (std::int32_t p = 1; p <= v.numpop; ++p) {
            const GenoArray& g = v.gtype(p).allele;
            for (std::int32_t s = 1; s <= v.smplsize(p); ++s, ++k) {
                allelecode* dst = poolgeno.data() + k * per_individual;
                for (std::size_t l = 1; l <= loci; ++l) {
                    dst[2 * (l - 1)] = g(1, static_cast<std::size_t>(s), l);
                    dst[2 * (l - 1) + 1] = g(2, static_cast<std::size_t>(s), l);
                }
            }
        }
    }
    const auto genotypes_of = [&](std::int32_t X) {
        return poolgeno.data() + static_cast<std::size_t>(X - 1) * per_individual;
    };

    // The reader held the tables' memory since it knew their size.
    v.tables_claim.release();
    v.gst_p.allocate(loci, permutations);
    v.hs_p.allocate(loci, permutations);
    v.ht_p.allocate(loci, permutations);

    for (std::int32_t k = 1; k <= nindiv; ++k) poolidx(k) = k;

    // Slot q takes the individual drawn from the live pool, which then moves
    // to the pool's end: a reshuffle of the pool from its end, after which
    // slot q holds poolidx(nindiv - q + 1).
    if (batched) {
        PermutedDiversity diversity;
        Vec<std::int32_t> slots;
        slots.allocate(1, static_cast<std::size_t>(nindiv));
        for (std::int32_t i = 1; i <= v.numpermut; ++i) {
            progress(i);
            ranshuffle(poolidx.data(), nindiv, 1);
            for (std::int32_t q = 1; q <= nindiv; ++q) slots(q) = poolidx(nindiv - q + 1);
            const auto col = static_cast<std::size_t>(i);
            diversity.compute(slots.data(), v.gst_p.column(col), v.hs_p.column(col), v.ht_p.column(col));
        }
        // Leave permdata, the population views and ht, hs, gst as the last
        // permutation leaves them.
        for (std::int32_t q = 1; q <= nindiv; ++q) place(genotypes_of(slots(q)), loci, q);
        computegst(0, 1, v.numloci);
    } else {
        for (std::int32_t i = 1; i <= v.numpermut; ++i) {
            progress(i);
            std::int32_t m = nindiv;
            // Slots 1..nindiv in order: population 1's, then population 2's, ...
            for (std::int32_t q = 1; q <= nindiv; ++q) {
                const std::int32_t j = ranindex(m);
                const std::int32_t X = poolidx(j);
                place(genotypes_of(X), loci, q);
                poolidx(j) = poolidx(m);
                poolidx(m) = X;
                --m;
            }
            computegst(0, 1, v.numloci);
            const auto col = static_cast<std::size_t>(i);
            std::copy_n(v.gst.data(), loci, v.gst_p.column(col));
            std::copy_n(v.hs.data(), loci, v.hs_p.column(col));
            std::copy_n(v.ht.data(), loci, v.ht_p.column(col));
        }
    }

    // The closing free-form write: ends an open row of marks with a blank, or
    // makes a line holding one blank.
    platform::out(" ");
    platform::out_end_line();
    platform::out_flush();
}
