#include "analysis/freeform.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "tests/test_support.h"

namespace {

constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t kUnset = -99;

// A reader over a file holding `content`.
struct Source {
    explicit Source(const std::string& content) {
        int error = 0;
        EXPECT_TRUE(file.open(dir.write("in", content), error));
    }
    ScratchDir dir;
    platform::InputFile file;
    freeform::Reader in{file};
};

// One read of `count` integer items that start as kUnset, and whether it
// succeeded.
struct IntRead {
    bool ok;
    std::vector<std::int32_t> values;
};
IntRead read_integers(freeform::Reader& in, std::size_t count) {
    IntRead r{true, std::vector<std::int32_t>(count, kUnset)};
    in.start_read();
    for (auto& v : r.values)
        if (!in.integer(v)) {
            r.ok = false;
            break;
        }
    return r;
}

// One read of a single text item of 8 characters that starts as "########".
struct TextRead {
    bool ok;
    std::string value;
};
TextRead read_text(freeform::Reader& in, std::size_t length = 8) {
    TextRead r{true, std::string(length, '#')};
    in.start_read();
    r.ok = in.text(r.value.data(), length);
    return r;
}

TEST(FreeformInteger, ValuesAndTheirLimits) {
    struct Case {
        const char* input;
        bool ok;
        std::int32_t value;
    } cases[] = {
        {"5", true, 5},
        {"+5", true, 5},
        {"-5", true, -5},
        {"  \t 5  ", true, 5},
        {"5 and a comment", true, 5},
        {"000000000000000000000000000012", true, 12},
        {"2147483647", true, 2147483647},
        {"-2147483648", true, kMin},
        {"2147483648", false, 0},
        {"-2147483649", false, 0},
        {"99999999999999999999999999999", false, 0},
        // Reals are truncated toward zero.
        {"12.7", true, 12},
        {"-2.9", true, -2},
        {"2.9", true, 2},
        {"1E3", true, 1000},
        {"1e3", true, 1000},
        {"1D2", true, 100},
        {"1q2", true, 100},
        {"1.5E+1", true, 15},
        {"15E-1", true, 1},
        {".5", true, 0},
        {"-.5", true, 0},
        {"5.", true, 5},
        {"0.0005E4", true, 5},
        {"1E0000000000000000000009", true, 1000000000},
        {"0.2147483647E10", true, 2147483647},
        // Exact truncation: these lie within a hair of a limit, where a double
        // would round across it.
        {"2147483647.99999999999", true, 2147483647},
        {"-2147483648.99999999999", true, kMin},
        {"16777217.5", true, 16777217},
        // A truncated value outside the 32-bit range gives the lowest integer.
        {"2147483648.0", true, kMin},
        {"-2147483649.0", true, kMin},
        {"1E10", true, kMin},
        {"-1E10", true, kMin},
        {"1E99999999999999999999999999", true, kMin},
        {"1E-99999999999999999999999999", true, 0},
        // Not integers.
        {"12a", false, 0},
        {"T", false, 0},
        {"F", false, 0},
        {".", false, 0},
        {"+", false, 0},
        {"-", false, 0},
        {"1E", false, 0},
        {"1E+", false, 0},
        {"E5", false, 0},
        {".E5", false, 0},
        {"1.2.3", false, 0},
        {"1+3", false, 0},
        {"--1", false, 0},
        {"'5'", false, 0},
        {"\"5\"", false, 0},
        {"*", false, 0},
        {"5\x01", false, 0},
        {"", false, 0},
        {"\n\n  \n", false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        Source src(c.input);
        auto r = read_integers(src.in, 1);
        ASSERT_EQ(r.ok, c.ok);
        if (c.ok) {
            EXPECT_EQ(r.values[0], c.value);
        }
    }
}

TEST(FreeformInteger, LongDigitStringsAreReadExactly) {
    struct Case {
        std::string input;
        bool ok;
        std::int32_t value;
    } cases[] = {
        {std::string(100000, '0') + "7", true, 7},
        {"0." + std::string(100000, '0') + "1E100001", true, 1},
        {"0." + std::string(100000, '0') + "1E100000", true, 0},
        {"21474836" + std::string(100000, '4') + "E-99998", true, 2147483644},
        {std::string(100000, '9'), false, 0},
        {std::string(100000, '9') + ".0", true, kMin},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input.substr(0, 20));
        Source src(c.input);
        auto r = read_integers(src.in, 1);
        ASSERT_EQ(r.ok, c.ok);
        if (c.ok) {
            EXPECT_EQ(r.values[0], c.value);
        }
    }
}

TEST(FreeformRead, SeparatorsNullsRepeatsAndSlash) {
    const std::int32_t u = kUnset;
    struct Case {
        const char* input;
        bool ok;
        std::vector<std::int32_t> values;
    } cases[] = {
        {"1 2 3", true, {1, 2, 3}},
        {"1,2,3", true, {1, 2, 3}},
        {"1 ,  2 ,3", true, {1, 2, 3}},
        {"1\t2\r\n3", true, {1, 2, 3}},
        {"1\n\n\n2\n3", true, {1, 2, 3}},
        {"1 2\n,3", true, {1, 2, 3}},
        {"1,\n2 3", true, {1, 2, 3}},
        {"1 2 3 4 5", true, {1, 2, 3}},
        // Null values leave their items unchanged.
        {"1,,3", true, {1, u, 3}},
        {"1, ,3", true, {1, u, 3}},
        {"1,\n\n,3", true, {1, u, 3}},
        {",2,3", true, {u, 2, 3}},
        {",,3", true, {u, u, 3}},
        {"1,2,,", true, {1, 2, u}},
        // Repeats.
        {"3*7", true, {7, 7, 7}},
        {"2*7 9", true, {7, 7, 9}},
        {"1 5*7", true, {1, 7, 7}},
        {"2* 9", true, {u, u, 9}},
        {"2*,9", true, {u, u, 9}},
        {"1 2*", true, {1, u, u}},
        {"99999999999999999999999*4", true, {4, 4, 4}},
        {"2*1.9 8", true, {1, 1, 8}},
        // A slash ends the read.
        {"/", true, {u, u, u}},
        {"1/", true, {1, u, u}},
        {"1 2 /3", true, {1, 2, u}},
        {"1,/ 2 3", true, {1, u, u}},
        {"2*/ 5", true, {u, u, u}},
        {"1 'a/b' 3", false, {1, u, u}},
        // The file ends before the read has all its values.
        {"1 2", false, {1, 2, u}},
        {"1 2,", false, {1, 2, u}},
        {"1 2\n\n", false, {1, 2, u}},
        {"2*", false, {u, u, u}},
        // Malformed repeats.
        {"0*7", false, {u, u, u}},
        {"+2*7", false, {u, u, u}},
        {"2*3*4", false, {u, u, u}},
        {"2*'5'", false, {u, u, u}},
        {"1 * 2", false, {1, u, u}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        Source src(c.input);
        auto r = read_integers(src.in, 3);
        EXPECT_EQ(r.ok, c.ok);
        EXPECT_EQ(r.values, c.values);
    }
}

TEST(FreeformRead, EachReadStartsOnANewLine) {
    struct Case {
        const char* input;
        std::vector<std::int32_t> first;  // a read of two items
        std::int32_t second;              // then a read of one
    } cases[] = {
        {"1 2 3\n4\n", {1, 2}, 4},
        {"1\n2 3\n4", {1, 2}, 4},
        {"1 2\n4", {1, 2}, 4},
        {"\n\n1\n\n2\n\n4\n", {1, 2}, 4},
        {"1 / 2\n4", {1, kUnset}, 4},
        {"/\n4", {kUnset, kUnset}, 4},
        {"5*1\n4", {1, 1}, 4},
        {"1,,\n4", {1, kUnset}, 4},
        {"1 2 'open quote\n4", {1, 2}, 4},
        {"1\r\n2\r\n4\r\n", {1, 2}, 4},
        {"1\r\n\r\n2 junk\r\n4", {1, 2}, 4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        Source src(c.input);
        auto r1 = read_integers(src.in, 2);
        EXPECT_TRUE(r1.ok);
        EXPECT_EQ(r1.values, c.first);
        auto r2 = read_integers(src.in, 1);
        EXPECT_TRUE(r2.ok);
        EXPECT_EQ(r2.values[0], c.second);
    }
}

TEST(FreeformText, DelimitedAndUndelimitedValues) {
    struct Case {
        std::string input;
        bool ok;
        std::string value;
    } cases[] = {
        {"abc", true, "abc     "},
        {"abc def", true, "abc     "},
        {"abc,def", true, "abc     "},
        {"results/run1", true, "results "},
        {"ab\tc", true, "ab      "},
        {"a'b\"c", true, "a'b\"c   "},
        {"-5.0", true, "-5.0    "},
        {"abcdefghijkl", true, "abcdefgh"},
        {"'a b,c/d'", true, "a b,c/d "},
        {"\"a b,c/d\"", true, "a b,c/d "},
        {"'it''s'", true, "it's    "},
        {"\"it's\"", true, "it's    "},
        {"\"say \"\"hi\"\"\"", true, "say \"hi\""},
        {"''", true, "        "},
        {"'  x'", true, "  x     "},
        {"'ab\ncd'", true, "abcd    "},
        {"'ab\r\ncd'", true, "abcd    "},
        {"'ab\n\n\ncd'", true, "abcd    "},
        {"'a\rb'", true, "a\rb     "},
        {std::string("'").append(100000, 'x').append("'"), true, "xxxxxxxx"},
        {std::string(100000, 'y'), true, "yyyyyyyy"},
        {"3*ab", true, "ab      "},
        {"2*'a b'", true, "a b     "},
        {",", true, "########"},
        {"3*", true, "########"},
        {"/abc", true, "########"},
        {"'abc'x", false, ""},
        {"'abc", false, ""},
        {"'abc\n", false, ""},
        {"2*3*x", false, ""},
        {"0*x", false, ""},
        {"", false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input.substr(0, 20));
        Source src(c.input);
        auto r = read_text(src.in);
        ASSERT_EQ(r.ok, c.ok);
        if (c.ok) {
            EXPECT_EQ(r.value, c.value);
        }
    }
}

// `text` between apostrophes.
std::string quoted(const std::string& text) {
    std::string q = "'";
    q += text;
    q += '\'';
    return q;
}

// A whole text has no length of its own; a value is bounded by the bytes it
// takes in the file, delimiters and doubled delimiters included.
TEST(FreeformText, WholeTextsUpToTheBoundOfAValue) {
    const std::size_t max = freeform::max_value;
    struct Case {
        const char* name;
        std::string input;
        bool ok;
        std::size_t length;
    } cases[] = {
        {"undelimited at the bound", std::string(max, 'p'), true, max},
        {"undelimited beyond", std::string(max + 1, 'p'), false, 0},
        {"delimited at the bound", quoted(std::string(max - 2, 'p')), true, max - 2},
        {"delimited beyond", quoted(std::string(max - 1, 'p')), false, 0},
        {"doubled delimiters count twice", quoted(std::string(max - 2, '\'')), true, (max - 2) / 2},
        {"zero bytes without end", std::string(max + 10, '\0'), false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Source src(c.input + "\n");
        src.in.start_read();
        std::string text = "unchanged";
        EXPECT_EQ(src.in.text(text), c.ok);
        if (c.ok) {
            EXPECT_EQ(text.size(), c.length);
        }
    }
    // The same bound holds for a value read as an integer.
    Source digits(std::string(max + 1, '0') + "\n");
    digits.in.start_read();
    std::int32_t n = 0;
    EXPECT_FALSE(digits.in.integer(n));
}

// Blanks in a row and the rest of a line that a read leaves have the bound of
// a value too, so that an endless run of either fails the read that meets it.
TEST(FreeformRead, EndlessBlanksAndLinesFailTheRead) {
    const std::size_t max = freeform::max_value;
    struct Case {
        const char* name;
        std::string input;
        bool second_ok;  // the second read of "1 ..." then "2"
    } cases[] = {
        {"blanks up to the bound", "1\n" + std::string(max, ' ') + "2\n", true},
        {"blanks beyond", "1\n" + std::string(max + 1, ' ') + "2\n", false},
        {"empty lines beyond", "1\n" + std::string(max + 1, '\n') + "2\n", false},
        {"a comment up to the bound", "1 " + std::string(max - 2, 'z') + "\n2\n", true},
        {"a comment beyond", "1 " + std::string(max, 'z') + "\n2\n", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Source src(c.input);
        EXPECT_EQ(read_integers(src.in, 1).values, std::vector<std::int32_t>{1});
        const IntRead second = read_integers(src.in, 1);
        EXPECT_EQ(second.ok, c.second_ok);
        if (c.second_ok) {
            EXPECT_EQ(second.values, std::vector<std::int32_t>{2});
        }
    }
}

TEST(FreeformRead, TextsAndIntegersShareARead) {
    Source src("id7 2*5 'x y'\n2*9 3\n");
    src.in.start_read();
    std::string id(8, '#'), name(4, '#');
    std::int32_t a = 0, b = 0;
    EXPECT_TRUE(src.in.text(id.data(), id.size()));
    EXPECT_TRUE(src.in.integer(a));
    EXPECT_TRUE(src.in.integer(b));
    EXPECT_TRUE(src.in.text(name.data(), name.size()));
    EXPECT_EQ(id, "id7     ");
    EXPECT_EQ(a, 5);
    EXPECT_EQ(b, 5);
    EXPECT_EQ(name, "x y ");

    // One repeated value fills items of both kinds.
    src.in.start_read();
    EXPECT_TRUE(src.in.text(id.data(), id.size()));
    EXPECT_TRUE(src.in.integer(a));
    EXPECT_EQ(id, "9       ");
    EXPECT_EQ(a, 9);
}

TEST(FreeformRead, SlashedTellsTheReadIsOver) {
    Source src("1 /\n2\n");
    src.in.start_read();
    std::int32_t a = 0, b = 7;
    EXPECT_TRUE(src.in.integer(a));
    EXPECT_FALSE(src.in.slashed());
    EXPECT_TRUE(src.in.integer(b));
    EXPECT_TRUE(src.in.slashed());
    EXPECT_TRUE(src.in.integer(b));
    EXPECT_EQ(b, 7);
    src.in.start_read();
    EXPECT_FALSE(src.in.slashed());
    EXPECT_TRUE(src.in.integer(b));
    EXPECT_EQ(b, 2);
}

}  // namespace
