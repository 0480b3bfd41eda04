#include "numerics/indexx.h"

#include <gtest/gtest.h>

#include <cstring>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

namespace {

std::vector<std::int32_t> sorted_positions(const std::vector<float>& values) {
    std::vector<std::int32_t> index(values.size(), -7);
    indexx(static_cast<std::int32_t>(values.size()), values.data(), index.data());
    return index;
}

using Ix = std::vector<std::int32_t>;
constexpr float nan = std::numeric_limits<float>::quiet_NaN();

// The positions of equal values and NaNs are part of the result: these orders
// follow from the exact exchange sequence of the sort.
TEST(Indexx, KnownOrders) {
    struct Case {
        const char* name;
        std::vector<float> values;
        Ix index;
    };
    const std::vector<Case> cases = {
        {"one value", {4.0f}, {1}},
        {"duplicates", {3, 1, 2, 1, 5, 4, 1, 2, 0, 9}, {9, 4, 2, 7, 8, 3, 1, 6, 5, 10}},
        {"seven, insertion only", {3, 1, 2, 1, 5, 4, 1}, {2, 4, 7, 3, 1, 6, 5}},
        {"seven equal", std::vector<float>(7, 1.0f), {1, 2, 3, 4, 5, 6, 7}},
        {"eight equal", std::vector<float>(8, 1.0f), {1, 6, 7, 4, 5, 2, 3, 8}},
        {"ten equal", std::vector<float>(10, 1.0f), {1, 7, 9, 8, 5, 6, 2, 4, 3, 10}},
        {"alternating", {2, 1, 2, 1, 2, 1, 2, 1, 2, 1}, {10, 8, 4, 2, 6, 9, 5, 7, 3, 1}},
        {"ascending", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}},
        {"descending", {10, 9, 8, 7, 6, 5, 4, 3, 2, 1}, {10, 9, 8, 7, 6, 5, 4, 3, 2, 1}},
        {"NaNs, insertion", {3, nan, 1, 2, nan, 0, 5}, {6, 5, 3, 4, 2, 1, 7}},
        {"NaNs, partitioned", {3, nan, 1, 2, nan, 0, 5, 4, 1, nan, 2},
         {10, 6, 9, 3, 11, 2, 4, 1, 5, 8, 7}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<float> copy = c.values;
        EXPECT_EQ(sorted_positions(copy), c.index);
        EXPECT_EQ(std::memcmp(copy.data(), c.values.data(), copy.size() * sizeof(float)), 0)
            << "values changed";
    }
}

TEST(Indexx, NoValuesWritesNothing) {
    Ix index = {-7, -7};
    const float values[] = {1.0f, 2.0f};
    indexx(0, values, index.data());
    indexx(-3, values, index.data());
    EXPECT_EQ(index, (Ix{-7, -7}));
}

// Many partition levels over heavy duplicates pin the exchange order of long
// inputs: the positions are folded into one checksum.
TEST(Indexx, ExchangeOrderOverManyLevels) {
    std::vector<float> values;
    for (std::int32_t i = 0; i < 1000; ++i) values.push_back(static_cast<float>((i * 7919) % 13));
    Ix index = sorted_positions(values);
    EXPECT_EQ(Ix(index.begin(), index.begin() + 12),
              (Ix{1, 313, 261, 274, 287, 885, 300, 326, 872, 248, 339, 352}));
    std::uint32_t h = 0;
    for (std::int32_t p : index) h = h * 31u + static_cast<std::uint32_t>(p);
    EXPECT_EQ(h, 1933958826u);
}

// Whatever the input, the result is a permutation of 1..n that reads the
// values in ascending order.
TEST(Indexx, OrdersArbitraryInputs) {
    enum class Kind { uniform, few_values, ascending, descending, equal };
    struct Case {
        Kind kind;
        std::int32_t n;
    };
    std::vector<Case> cases;
    for (std::int32_t n = 2; n <= 20; ++n) {
        cases.push_back({Kind::uniform, n});
        cases.push_back({Kind::few_values, n});
    }
    for (std::int32_t n : {100, 1001, 100000}) {
        for (Kind kind : {Kind::uniform, Kind::few_values, Kind::ascending, Kind::descending,
                          Kind::equal}) {
            cases.push_back({kind, n});
        }
    }
    cases.push_back({Kind::uniform, 1000000});  // the size of the correlation's permutation test
    std::mt19937 gen(20240611u);
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "kind " << static_cast<int>(c.kind) << " n " << c.n);
        std::vector<float> values(static_cast<std::size_t>(c.n));
        for (std::int32_t i = 0; i < c.n; ++i) {
            float& v = values[static_cast<std::size_t>(i)];
            switch (c.kind) {
                case Kind::uniform: v = std::uniform_real_distribution<float>(-1.0f, 1.0f)(gen); break;
                case Kind::few_values: v = static_cast<float>(gen() % 5u); break;
                case Kind::ascending: v = static_cast<float>(i); break;
                case Kind::descending: v = static_cast<float>(c.n - i); break;
                case Kind::equal: v = 0.25f; break;
            }
        }
        Ix index = sorted_positions(values);
        std::vector<bool> seen(values.size(), false);
        std::size_t bad_position = 0;  // first rank holding a repeated or foreign position
        std::size_t bad_order = 0;     // first rank whose value is below the one before
        for (std::size_t i = 0; i < index.size(); ++i) {
            std::int32_t p = index[i];
            if (p < 1 || p > c.n || seen[static_cast<std::size_t>(p - 1)]) {
                bad_position = i + 1;
                break;
            }
            seen[static_cast<std::size_t>(p - 1)] = true;
            if (i > 0 && values[static_cast<std::size_t>(index[i - 1] - 1)] >
                             values[static_cast<std::size_t>(p - 1)] && bad_order == 0) {
                bad_order = i + 1;
            }
        }
        EXPECT_EQ(bad_position, 0u);
        EXPECT_EQ(bad_order, 0u);
    }
}

}  // namespace
