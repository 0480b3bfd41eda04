#include "analysis/variables.h"

#include <algorithm>
#include <new>

Variables variables;

Vec<std::int32_t> reallocate_iv(Vec<std::int32_t> p, std::int32_t n) {
    Vec<std::int32_t> result;
    std::size_t count = n > 0 ? static_cast<std::size_t>(n) : 0;
    try {
        result.allocate(1, count);
    } catch (const std::bad_alloc&) {
        platform::out_of_memory();
    }
    if (!p.allocated()) return result;
    std::size_t keep = std::min(p.size(), count);
    std::copy(p.data(), p.data() + keep, result.data());
    p.release();
    return result;
}
