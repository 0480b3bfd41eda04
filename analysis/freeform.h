// Free-form (list-directed) reading of the input file.
//
// A read is a list of items, each an integer or a fixed-length text, filled
// from the file value by value. Every read begins at the start of a new line
// and ignores whatever is left of the last line it used. Within a read:
// - values are separated by a comma or by blanks (space, tab, carriage return,
//   line end); a run of blanks, with or without one comma in it, is one
//   separator, and empty lines are skipped;
// - two commas with only blanks between them, a comma before the first value,
//   and r* stand for null values, which leave their items unchanged; r*v stands
//   for r copies of v (r a positive decimal integer without sign);
// - a slash ends the read: the items not yet read keep their values;
// - a text is delimited by apostrophes or quotation marks (a doubled delimiter
//   stands for one, a line end inside adds nothing) or undelimited, ending at a
//   blank, comma, slash or line end;
// - an integer is an optional sign and decimal digits within the 32-bit range;
//   a real with a decimal point or an E, D or Q exponent is truncated toward
//   zero, and gives -2147483648 when the truncated value does not fit.
// The file is read as a stream: memory use does not depend on the length of a
// line. A single value longer than max_value bytes fails its read, and so do
// more than max_value blanks in a row and the rest of a line beyond
// max_value bytes, so that an endless input (a device, a pipe) ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace freeform {

// The most bytes that one value may take in the file, its delimiters and
// doubled delimiters included; a longer value fails its read.
inline constexpr std::size_t max_value = std::size_t{1} << 20;

class Reader {
public:
    explicit Reader(platform::InputFile& file) : file_(file) {}

    // Starts a read: skips what the previous read left of its last line.
    void start_read();

    // Gives the next item of the read its value. False when the read fails:
    // the file ends before a value, or the value is not of the item's kind.
    // A null value, or any item after a slash, leaves the item unchanged.
    bool integer(std::int32_t& item);
    // The text is padded with blanks or keeps its first `length` characters.
    bool text(char* item, std::size_t length);
    // The whole text, with no padding and no cut.
    bool text(std::string& item);

    // True once a slash has ended the current read.
    bool slashed() const { return slashed_; }

private:
    enum class Kind { value, null, slash, end, bad };
    enum class State { start, after_value, after_separator };

    // One value as read, in both of its possible interpretations.
    struct Value {
        std::string text;
        bool text_ok = false;
        bool integer_ok = false;
        std::int32_t integer = 0;
    };

    Kind next();
    // What the next value of the read does to an item: gives it a value,
    // leaves it as it is (a null value, or the read is over after a slash),
    // or fails the read.
    enum class Item { value, keep, fail };
    Item next_item();
    Kind scan(bool after_repeat);
    Kind scan_delimited();
    Kind scan_undelimited(bool after_repeat);

    int get() {
        int c = file_.get();
        if (c >= 0) at_line_start_ = (c == '\n');
        return c;
    }
    // get() for a byte of the current value; false once the value has grown
    // beyond max_value bytes.
    bool take(int& c) {
        c = get();
        return ++value_bytes_ <= max_value;
    }
    int peek() { return file_.peek(); }
    // Skips blanks; false after max_value of them in a row (an endless run
    // of blanks or of empty lines).
    bool skip_blanks();

    platform::InputFile& file_;
    bool at_line_start_ = true;
    State state_ = State::start;
    bool slashed_ = false;
    bool overlong_ = false;  // the last line of the previous read went on beyond max_value
    std::uint64_t repeat_ = 0;  // further copies of repeat_kind_ still to give
    Kind repeat_kind_ = Kind::null;
    Value value_;
    std::size_t value_bytes_ = 0;  // bytes taken by the value being scanned
};

}  // namespace freeform
