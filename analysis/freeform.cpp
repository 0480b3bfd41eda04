#include "analysis/freeform.h"

#include <algorithm>
#include <array>
#include <limits>

namespace freeform {

namespace {

bool is_blank(int c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool ends_value(int c) { return c < 0 || is_blank(c) || c == ',' || c == '/'; }
bool is_digit(int c) { return c >= '0' && c <= '9'; }
bool is_exponent_letter(int c) {
    return c == 'E' || c == 'e' || c == 'D' || c == 'd' || c == 'Q' || c == 'q';
}

// Counters that a value of any length could push past any bound stop here:
// far beyond every count that matters, far below overflow.
constexpr std::int64_t count_cap = std::int64_t{1} << 50;
constexpr std::int64_t exponent_cap = 1000000000;

void count_up(std::int64_t& n) {
    if (n < count_cap) ++n;
}

// The integer that an undelimited value stands for, built one character at a
// time. Only the first significant digits are kept: a value with more than ten
// significant digits before its point can never fit in 32 bits.
class NumberScan {
public:
    void add(int c) {
        switch (phase_) {
        case Phase::start:
            if (c == '+' || c == '-') {
                negative_ = (c == '-');
                phase_ = Phase::after_sign;
                return;
            }
            [[fallthrough]];
        case Phase::after_sign:
        case Phase::integer_part:
            if (is_digit(c)) {
                digit(c);
                count_up(integer_digits_);
                phase_ = Phase::integer_part;
            } else if (c == '.') {
                real_ = true;
                phase_ = Phase::fraction;
            } else if (phase_ == Phase::integer_part && is_exponent_letter(c)) {
                real_ = true;
                phase_ = Phase::exponent_start;
            } else {
                phase_ = Phase::invalid;
            }
            return;
        case Phase::fraction:
            if (is_digit(c))
                digit(c);
            else if (is_exponent_letter(c) && mantissa_digits_ > 0)
                phase_ = Phase::exponent_start;
            else
                phase_ = Phase::invalid;
            return;
        case Phase::exponent_start:
            if (c == '+' || c == '-') {
                exponent_negative_ = (c == '-');
                phase_ = Phase::exponent_sign;
                return;
            }
            [[fallthrough]];
        case Phase::exponent_sign:
        case Phase::exponent_digits:
            if (is_digit(c)) {
                exponent_ = std::min(exponent_ * 10 + (c - '0'), exponent_cap);
                phase_ = Phase::exponent_digits;
            } else {
                phase_ = Phase::invalid;
            }
            return;
        case Phase::invalid:
            return;
        }
    }

    // The value, or false when the characters are no integer or a plain
    // integer lies outside the 32-bit range.
    bool result(std::int32_t& out) const {
        const bool complete = phase_ == Phase::integer_part ||
                              (phase_ == Phase::fraction && mantissa_digits_ > 0) ||
                              phase_ == Phase::exponent_digits;
        if (!complete) return false;
        constexpr std::uint64_t max_magnitude = std::uint64_t{1} << 31;  // of -2147483648
        if (!real_) {
            if (significant_ > 10) return false;
            std::uint64_t m = magnitude(significant_);
            if (m > max_magnitude - (negative_ ? 0 : 1)) return false;
            out = to_int32(m);
            return true;
        }
        // Truncation toward zero keeps the significant digits that stand
        // before the decimal point: `before` of them.
        const std::int64_t exponent = exponent_negative_ ? -exponent_ : exponent_;
        const std::int64_t before = integer_digits_ - leading_zeros_ + exponent;
        if (significant_ == 0 || before <= 0) {
            out = 0;
            return true;
        }
        if (before > 10) {
            out = std::numeric_limits<std::int32_t>::min();
            return true;
        }
        std::uint64_t m = magnitude(before);
        out = m > max_magnitude - (negative_ ? 0 : 1) ? std::numeric_limits<std::int32_t>::min()
                                                       : to_int32(m);
        return true;
    }

private:
    enum class Phase {
        start,
        after_sign,
        integer_part,
        fraction,
        exponent_start,
        exponent_sign,
        exponent_digits,
        invalid
    };

    void digit(int c) {
        count_up(mantissa_digits_);
        if (significant_ == 0 && c == '0') {
            count_up(leading_zeros_);
            return;
        }
        if (significant_ < static_cast<std::int64_t>(digits_.size()))
            digits_[static_cast<std::size_t>(significant_)] = static_cast<char>(c - '0');
        count_up(significant_);
    }

    // The first n significant digits as a number, zeros standing for those
    // not written. REQUIRES: n <= 10.
    std::uint64_t magnitude(std::int64_t n) const {
        std::uint64_t m = 0;
        for (std::int64_t i = 0; i < n; ++i)
            m = m * 10 + (i < significant_ ? static_cast<std::uint64_t>(digits_[static_cast<std::size_t>(i)]) : 0);
        return m;
    }

    std::int32_t to_int32(std::uint64_t m) const {
        const std::int64_t v = negative_ ? -static_cast<std::int64_t>(m) : static_cast<std::int64_t>(m);
        return static_cast<std::int32_t>(v);
    }

    Phase phase_ = Phase::start;
    bool negative_ = false;
    bool real_ = false;
    bool exponent_negative_ = false;
    std::int64_t exponent_ = 0;
    std::int64_t mantissa_digits_ = 0;  // digits before and after the point
    std::int64_t integer_digits_ = 0;   // digits before the point, leading zeros included
    std::int64_t leading_zeros_ = 0;    // zeros before the first nonzero digit
    std::int64_t significant_ = 0;      // digits from the first nonzero one on
    std::array<char, 11> digits_{};     // the first significant digits
};

}  // namespace

void Reader::start_read() {
    // What the previous read left of its last line, up to the bound of a
    // value: an endless line fails this read.
    overlong_ = false;
    for (std::size_t skipped = 0; !at_line_start_; ++skipped) {
        if (skipped == max_value) {
            overlong_ = true;
            break;
        }
        if (get() < 0) break;
    }
    state_ = State::start;
    slashed_ = false;
    repeat_ = 0;
}

Reader::Item Reader::next_item() {
    switch (next()) {
    case Kind::value:
        return Item::value;
    case Kind::null:
    case Kind::slash:
        return Item::keep;
    case Kind::end:
    case Kind::bad:
        break;
    }
    return Item::fail;
}

bool Reader::integer(std::int32_t& item) {
    const Item next = next_item();
    if (next == Item::value) {
        if (!value_.integer_ok) return false;
        item = value_.integer;
    }
    return next != Item::fail;
}

bool Reader::text(char* item, std::size_t length) {
    const Item next = next_item();
    if (next == Item::value) {
        if (!value_.text_ok) return false;
        const std::size_t kept = std::min(length, value_.text.size());
        std::copy_n(value_.text.begin(), kept, item);
        std::fill(item + kept, item + length, ' ');
    }
    return next != Item::fail;
}

bool Reader::text(std::string& item) {
    const Item next = next_item();
    if (next == Item::value) {
        if (!value_.text_ok) return false;
        item = value_.text;
    }
    return next != Item::fail;
}

bool Reader::skip_blanks() {
    for (std::size_t skipped = 0; is_blank(peek()); ++skipped) {
        if (skipped == max_value) return false;
        get();
    }
    return true;
}

Reader::Kind Reader::next() {
    if (slashed_) return Kind::slash;
    if (repeat_ > 0) {
        --repeat_;
        return repeat_kind_;
    }
    if (overlong_ || !skip_blanks()) return Kind::bad;
    if (state_ == State::after_value) {
        // The separator after a value: blanks, or one comma with blanks around it.
        if (peek() == ',') {
            get();
            if (!skip_blanks()) return Kind::bad;
        }
        state_ = State::after_separator;
    }
    const int c = peek();
    if (c == ',') {
        // A comma right after a separator, or before the first value of the read.
        get();
        state_ = State::after_separator;
        return Kind::null;
    }
    if (c < 0) return Kind::end;
    if (c == '/') {
        get();
        slashed_ = true;
        return Kind::slash;
    }
    state_ = State::after_value;
    return scan(false);
}

// Reads one value into value_ and tells what it was: a value, r* (null), a
// malformed value (bad) or the end of the file inside a text (end). An r*v or
// r* leaves the count of further copies in repeat_ and their kind in
// repeat_kind_.
Reader::Kind Reader::scan(bool after_repeat) {
    if (!after_repeat) value_bytes_ = 0;
    value_.text.clear();
    value_.text_ok = true;
    value_.integer_ok = false;
    const int c = peek();
    if (c == '\'' || c == '"') return scan_delimited();
    return scan_undelimited(after_repeat);
}

Reader::Kind Reader::scan_delimited() {
    int delimiter;
    take(delimiter);
    for (;;) {
        int c;
        if (!take(c)) return Kind::bad;
        if (c < 0) return Kind::end;
        if (c == delimiter) {
            if (peek() != delimiter) break;
            if (!take(c)) return Kind::bad;
        } else if (c == '\n' || (c == '\r' && peek() == '\n')) {
            continue;  // a line end inside the text adds nothing
        }
        value_.text += static_cast<char>(c);
    }
    return ends_value(peek()) ? Kind::value : Kind::bad;
}

Reader::Kind Reader::scan_undelimited(bool after_repeat) {
    NumberScan number;
    std::uint64_t count = 0;  // the value of the leading digits, while all are digits
    bool digits_only = true;
    bool any = false;
    for (int c = peek(); !ends_value(c); c = peek()) {
        if (!take(c)) return Kind::bad;
        if (c == '*' && digits_only && any) {
            if (!after_repeat) {
                // r*v or r*: a repeat count.
                if (count == 0) return Kind::bad;
                Kind kind = Kind::null;
                if (!ends_value(peek())) {
                    kind = scan(true);
                    if (kind != Kind::value) return kind;
                }
                repeat_ = count - 1;
                repeat_kind_ = kind;
                return kind;
            }
            value_.text_ok = false;  // a text must not begin with digits and an asterisk
        }
        if (is_digit(c)) {
            if (digits_only)
                count = std::min<std::uint64_t>(count * 10 + static_cast<unsigned>(c - '0'), count_cap);
        } else {
            digits_only = false;
        }
        any = true;
        number.add(c);
        value_.text += static_cast<char>(c);
    }
    value_.integer_ok = number.result(value_.integer);
    return Kind::value;
}

}  // namespace freeform
