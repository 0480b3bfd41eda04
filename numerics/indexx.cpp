#include "numerics/indexx.h"

namespace {

// Pending stretches as (first, last) pairs, last on top. Empty at the start
// and at the end of every call. Because the longer part of a partition is the
// one pushed, 25 pending stretches cover far more values than are ever sorted.
constexpr std::int32_t NSTACK = 50;
std::int32_t ISTACK[NSTACK];

// Stretches of at most this many elements are sorted by straight insertion.
constexpr std::int32_t M = 7;

}  // namespace

void indexx(std::int32_t n, const float* values, std::int32_t* index) {
    // 1-based views of the two vectors.
    auto val = [values](std::int32_t pos) { return values[pos - 1]; };
    auto ix = [index](std::int32_t i) -> std::int32_t& { return index[i - 1]; };
    auto swap = [&ix](std::int32_t i, std::int32_t j) {
        std::int32_t tmp = ix(i);
        ix(i) = ix(j);
        ix(j) = tmp;
    };
    // Straight insertion over first..last: an element goes behind the equal
    // values before it. Comparisons with a NaN are false.
    auto insertion = [&](std::int32_t first, std::int32_t last) {
        for (std::int32_t j = first + 1; j <= last; ++j) {
            std::int32_t t = ix(j);
            float a = val(t);
            std::int32_t i = j - 1;
            while (i >= first && !(val(ix(i)) <= a)) {
                ix(i + 1) = ix(i);
                --i;
            }
            ix(i + 1) = t;
        }
    };

    if (n < 1) return;
    for (std::int32_t j = 1; j <= n; ++j) ix(j) = j;

    std::int32_t jstack = 0;
    std::int32_t first = 1;
    std::int32_t last = n;
    for (;;) {
        if (last - first >= M) {
            // Median of three: positions first and last end up holding a
            // value not above and one not below the partitioning value, and
            // stop the scans.
            std::int32_t k = first + (last - first) / 2;
            swap(k, first + 1);
            if (val(ix(first)) > val(ix(last))) swap(first, last);
            if (val(ix(first + 1)) > val(ix(last))) swap(first + 1, last);
            if (val(ix(first)) > val(ix(first + 1))) swap(first, first + 1);
            std::int32_t i = first + 1;
            std::int32_t j = last;
            std::int32_t t = ix(first + 1);
            float a = val(t);
            for (;;) {
                do ++i; while (val(ix(i)) < a);
                do --j; while (val(ix(j)) > a);
                if (j < i) break;
                swap(i, j);
            }
            ix(first + 1) = ix(j);
            ix(j) = t;

            if (jstack + 2 <= NSTACK) {
                // Push the longer part, go on with the shorter; at equal
                // lengths the upper part is pushed.
                jstack += 2;
                if (last - i + 1 >= j - first) {
                    ISTACK[jstack - 1] = last;
                    ISTACK[jstack - 2] = i;
                    last = j - 1;
                } else {
                    ISTACK[jstack - 1] = j - 1;
                    ISTACK[jstack - 2] = first;
                    first = i;
                }
                continue;
            }
            // No room for another pending stretch (far beyond any size the
            // program sorts): finish this partitioned stretch by insertion,
            // slow but correct, rather than overrun the stack.
        }
        insertion(first, last);
        if (jstack == 0) return;
        last = ISTACK[jstack - 1];
        first = ISTACK[jstack - 2];
        jstack -= 2;
    }
}
