// Compact JSON writer and strict SAX-driven reader over the value tree.
#include "json_doc.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <utility>
#include <vector>

namespace mervo {

std::string JsonError::text() const {
    return message + " at line " + std::to_string(line) + " column " + std::to_string(column);
}

// --- writer ------------------------------------------------------------------------------

namespace {

// For each byte: 0 to copy it as is, else the letter after the backslash ('u' for \u00XX).
constexpr std::array<char, 256> escape_table = [] {
    std::array<char, 256> table{};
    for (int c = 0; c < 0x20; ++c)
        table[c] = 'u';
    table['\b'] = 'b';
    table['\t'] = 't';
    table['\n'] = 'n';
    table['\f'] = 'f';
    table['\r'] = 'r';
    table['"'] = '"';
    table['\\'] = '\\';
    return table;
}();

// Whether any of the 8 bytes at `p` is below 0x20, a double quote or a backslash
// (exact, not a heuristic: each test is the classic "some byte is zero/less" bit trick).
inline bool word_needs_escape(const char* p) {
    constexpr uint64_t ones = 0x0101010101010101ULL;
    constexpr uint64_t highs = 0x8080808080808080ULL;
    uint64_t w;
    std::memcpy(&w, p, sizeof w);
    const uint64_t control = (w - ones * 0x20) & ~w & highs;
    const uint64_t quote = ((w ^ (ones * '"')) - ones) & ~(w ^ (ones * '"')) & highs;
    const uint64_t backslash = ((w ^ (ones * '\\')) - ones) & ~(w ^ (ones * '\\')) & highs;
    return (control | quote | backslash) != 0;
}

void write_string(std::string_view text, std::string& out) {
    static constexpr char hex[] = "0123456789abcdef";
    out += '"';
    const char* p = text.data();
    const char* const end = p + text.size();
    const char* run = p;
    for (; p != end; ++p) {
        // Long runs without anything to escape (source texts) are skipped a word at a time.
        while (end - p >= 8 && !word_needs_escape(p))
            p += 8;
        if (p == end)
            break;
        const auto byte = static_cast<unsigned char>(*p);
        const char letter = escape_table[byte];
        if (letter == 0) [[likely]]
            continue;
        out.append(run, static_cast<size_t>(p - run));
        if (letter == 'u') {
            const char escaped[6] = {'\\', 'u', '0', '0', hex[byte >> 4], hex[byte & 0xF]};
            out.append(escaped, 6);
        } else {
            const char escaped[2] = {'\\', letter};
            out.append(escaped, 2);
        }
        run = p + 1;
    }
    out.append(run, static_cast<size_t>(end - run));
    out += '"';
}

template <class Int>
void write_integer(Int value, std::string& out) {
    char buffer[24];  // 20 digits and a sign
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, static_cast<size_t>(result.ptr - buffer));
}

void write_value(const Json& value, std::string& out) {
    switch (value.type()) {
        case Json::value_t::null:
        case Json::value_t::discarded:
            out += "null";
            return;
        case Json::value_t::boolean:
            out += value.get_ref<const Json::boolean_t&>() ? "true" : "false";
            return;
        case Json::value_t::number_unsigned:
            write_integer(value.get_ref<const Json::number_unsigned_t&>(), out);
            return;
        case Json::value_t::number_integer:
            write_integer(value.get_ref<const Json::number_integer_t&>(), out);
            return;
        case Json::value_t::number_float:
            write_double(value.get_ref<const Json::number_float_t&>(), out);
            return;
        case Json::value_t::string:
            write_string(value.get_ref<const Json::string_t&>(), out);
            return;
        case Json::value_t::array: {
            out += '[';
            bool first = true;
            for (const Json& item : value.get_ref<const Json::array_t&>()) {
                if (!first)
                    out += ',';
                first = false;
                write_value(item, out);
            }
            out += ']';
            return;
        }
        case Json::value_t::object: {
            out += '{';
            bool first = true;
            for (const auto& [key, item] : value.get_ref<const Json::object_t&>()) {
                if (!first)
                    out += ',';
                first = false;
                write_string(key, out);
                out += ':';
                write_value(item, out);
            }
            out += '}';
            return;
        }
        case Json::value_t::binary:
            out += "null";  // never built by this module
            return;
    }
}

}  // namespace

void write_double(double value, std::string& out) {
    if (!std::isfinite(value)) [[unlikely]] {
        out += "null";
        return;
    }
    if (value == 0) {
        out += std::signbit(value) ? "-0.0" : "0.0";
        return;
    }
    // to_chars gives the shortest round-trip digits; only digits and exponent are used.
    char sci[32];
    const char* const sci_end = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific).ptr;
    const char* p = sci;
    if (*p == '-') {
        out += '-';
        ++p;
    }
    char digits[24];
    int n = 0;
    digits[n++] = *p++;
    if (*p == '.')
        for (++p; *p != 'e'; ++p)
            digits[n++] = *p;
    ++p;  // 'e'
    const bool negative_exponent = *p++ == '-';
    int exponent = 0;
    for (; p != sci_end; ++p)
        exponent = exponent * 10 + (*p - '0');
    if (negative_exponent)
        exponent = -exponent;

    if (exponent >= -5 && exponent <= 15) {
        if (exponent < 0) {
            out += "0.";
            out.append(static_cast<size_t>(-exponent - 1), '0');
            out.append(digits, static_cast<size_t>(n));
        } else if (n <= exponent + 1) {
            out.append(digits, static_cast<size_t>(n));
            out.append(static_cast<size_t>(exponent + 1 - n), '0');
            out += ".0";
        } else {
            out.append(digits, static_cast<size_t>(exponent + 1));
            out += '.';
            out.append(digits + exponent + 1, static_cast<size_t>(n - exponent - 1));
        }
        return;
    }
    out += digits[0];
    if (n > 1) {
        out += '.';
        out.append(digits + 1, static_cast<size_t>(n - 1));
    }
    out += 'e';
    out += exponent < 0 ? '-' : '+';
    write_integer(exponent < 0 ? -exponent : exponent, out);
}

void write_json(const Json& value, std::string& out) { write_value(value, out); }

std::string write_json(const Json& value) {
    std::string out;
    out.reserve(128);
    write_value(value, out);
    return out;
}

// --- reader ------------------------------------------------------------------------------

// The reader relies on what the library's SAX interface hands over on an error (the byte
// count read so far, the token string, the exception id) and on its lexer reading nothing
// past a structural token before reporting it; both were checked against this series.
static_assert(NLOHMANN_JSON_VERSION_MAJOR == 3 && NLOHMANN_JSON_VERSION_MINOR == 11,
              "the JSON reader's error positions were checked against nlohmann/json 3.11 only");

namespace {

// The library's ids: 101 for a syntax error (lexer or parser), 406 for a number too large.
constexpr int number_out_of_range_id = 406;

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Line and column of the byte at `offset`; at the end of the text, the column counts
// the bytes already on the last line.
JsonError located(std::string message, std::string_view t, size_t offset) {
    const bool at_end = offset >= t.size();
    offset = std::min(offset, t.size());
    size_t line = 1;
    size_t line_start = 0;
    for (size_t i = 0; i < offset; ++i)
        if (t[i] == '\n') {
            ++line;
            line_start = i + 1;
        }
    return {std::move(message), line, offset - line_start + (at_end ? 0 : 1)};
}

// A pointer into the text that remembers the last byte the library read (or the end, once
// it found the text ended): where each token the parser reported ends, which the SAX
// interface does not hand over.
class TrackedInput {
public:
    using iterator_category = std::input_iterator_tag;
    using value_type = char;
    using difference_type = std::ptrdiff_t;
    using pointer = const char*;
    using reference = const char&;

    TrackedInput(const char* p, const char** seen) : p_(p), seen_(seen) {}
    reference operator*() const {
        *seen_ = p_;
        return *p_;
    }
    TrackedInput& operator++() {
        ++p_;
        return *this;
    }
    TrackedInput operator++(int) {
        TrackedInput old = *this;
        ++p_;
        return old;
    }
    // The library asks whether it is at the end before every byte it reads.
    bool operator==(const TrackedInput& other) const {
        if (p_ != other.p_)
            return false;
        *seen_ = p_;
        return true;
    }
    bool operator!=(const TrackedInput& other) const { return !(*this == other); }

private:
    const char* p_;
    const char** seen_;
};

// What the parser was waiting for when it failed, from the events it had reported.
enum class Expected { value, key, separator, array_rest, object_rest };

class TreeBuilder {
public:
    using number_integer_t = Json::number_integer_t;
    using number_unsigned_t = Json::number_unsigned_t;
    using number_float_t = Json::number_float_t;
    using string_t = Json::string_t;
    using binary_t = Json::binary_t;

    TreeBuilder(Json& root, std::string_view text) : root_(root), text_(text), seen_(text.data()) {}

    const char** seen() { return &seen_; }

    bool null() { return put(Json(nullptr)); }
    bool boolean(bool value) { return put(Json(value)); }
    // Only texts with a leading '-' arrive here, so a 0 was written "-0".
    bool number_integer(number_integer_t value) {
        return value == 0 ? put(Json(-0.0), looked_ahead) : put(Json(value), looked_ahead);
    }
    bool number_unsigned(number_unsigned_t value) { return put(Json(value), looked_ahead); }
    bool number_float(number_float_t value, const string_t&) { return put(Json(value), looked_ahead); }
    bool string(string_t& value) { return put(Json(std::move(value))); }
    bool binary(binary_t&) { return false; }

    bool start_object(size_t) { return open(Json::value_t::object); }
    bool key(string_t& key) {
        key_ = std::move(key);
        event(Event::key);
        return true;
    }
    bool end_object() { return close(); }
    bool start_array(size_t) { return open(Json::value_t::array); }
    bool end_array() { return close(); }

    // The token string is not used: the library's lexer keeps in it whatever it read since
    // the last string or number began, so it says nothing reliable about where a token starts.
    bool parse_error(size_t position, const std::string&, const nlohmann::detail::exception& ex) {
        position_ = position;
        id_ = ex.id;
        return false;
    }

    JsonError describe() const;

private:
    enum class Event { none, opened, key, value };
    // A number is known to have ended only once the next byte (or the end) was read.
    static constexpr size_t looked_ahead = 1;

    // Notes what the parser reported and where its token ended.
    void event(Event kind, size_t lookahead = 0) {
        last_ = kind;
        next_ = static_cast<size_t>(seen_ - text_.data()) + 1 - lookahead;
    }

    bool put(Json&& value, size_t lookahead = 0) {
        event(Event::value, lookahead);
        if (stack_.empty()) {
            root_ = std::move(value);
            done_ = true;
        } else if (stack_.back()->is_array()) {
            stack_.back()->get_ref<Json::array_t&>().push_back(std::move(value));
        } else {
            // operator[] replaces an existing key in place: the last duplicate wins.
            stack_.back()->get_ref<Json::object_t&>()[key_] = std::move(value);
        }
        return true;
    }

    bool open(Json::value_t kind) {
        if (stack_.size() >= max_json_depth) [[unlikely]] {
            too_deep_at_ = static_cast<size_t>(seen_ - text_.data());  // the bracket just read
            too_deep_ = true;
            return false;
        }
        event(Event::opened);
        Json* slot;
        if (stack_.empty()) {
            root_ = Json(kind);
            slot = &root_;
        } else if (stack_.back()->is_array()) {
            auto& items = stack_.back()->get_ref<Json::array_t&>();
            items.emplace_back(kind);
            slot = &items.back();
        } else {
            slot = &(stack_.back()->get_ref<Json::object_t&>()[key_] = Json(kind));
        }
        stack_.push_back(slot);
        return true;
    }

    bool close() {
        stack_.pop_back();
        done_ = stack_.empty();
        event(Event::value);
        return true;
    }

    size_t skip_space(size_t i) const {
        while (i < text_.size() && is_space(text_[i]))
            ++i;
        return i;
    }
    // What the parser was waiting for, and where the token it failed at starts: after the
    // last token it reported, past whitespace and past the one separator it must have read.
    std::pair<Expected, size_t> expected() const;

    Json& root_;
    std::string_view text_;
    const char* seen_;
    std::vector<Json*> stack_;
    string_t key_;
    Event last_ = Event::none;
    size_t next_ = 0;  // the byte after the last token reported
    bool done_ = false;
    bool too_deep_ = false;
    size_t too_deep_at_ = 0;
    size_t position_ = 0;  // bytes the library had read, one more than the text at its end
    int id_ = 0;
};

std::pair<Expected, size_t> TreeBuilder::expected() const {
    size_t at = skip_space(next_);
    if (stack_.empty())
        return {Expected::value, at};
    const bool in_array = stack_.back()->is_array();
    const char next = at < text_.size() ? text_[at] : '\0';
    Expected what;
    char separator = ',';
    switch (last_) {
        case Event::opened:
            return {in_array ? Expected::value : Expected::key, at};
        case Event::key:
            what = Expected::value;
            separator = ':';
            break;
        default:
            what = in_array ? Expected::value : Expected::key;
            break;
    }
    // A separator the parser accepts here was read, and the failure lies after it.
    if (next == separator)
        return {what, skip_space(at + 1)};
    if (last_ == Event::key)
        return {Expected::separator, at};
    return {in_array ? Expected::array_rest : Expected::object_rest, at};
}

// A malformed string: what the byte that broke it is.
std::string string_fault(unsigned char byte) {
    if (byte < 0x20)
        return "control character in string";
    if (byte >= 0x80)
        return "invalid UTF-8 in string";
    return "invalid escape in string";
}

// Our message and the offending position, from the parser's state, the error id and the
// byte count it had read.
JsonError TreeBuilder::describe() const {
    if (too_deep_)
        return located("recursion limit exceeded", text_, too_deep_at_);
    const auto [what, start] = expected();
    if (done_)  // a whole value was read and something other than whitespace follows
        return located("trailing characters", text_, start);
    if (id_ == number_out_of_range_id)
        return located("number out of range", text_, start);

    const char first = start < text_.size() ? text_[start] : '\0';
    if (position_ > text_.size()) {  // the input ran out
        if (start < text_.size())    // inside a token
            return located(first == '"' ? "EOF while parsing a string" : "EOF while parsing a value", text_,
                           text_.size());
        switch (what) {
            case Expected::value:
                return located("EOF while parsing a value", text_, text_.size());
            case Expected::array_rest:
                return located("EOF while parsing a list", text_, text_.size());
            default:
                return located("EOF while parsing an object", text_, text_.size());
        }
    }
    // The byte that broke a token the lexer refused is the last one it read.
    const size_t broken = position_ - 1;
    const auto broken_byte = static_cast<unsigned char>(text_[broken]);
    switch (what) {
        case Expected::value:
            // A well-formed string, number or literal is always a value here: one that starts
            // so and was refused is malformed at its last byte.
            if (first == '"')
                return located(string_fault(broken_byte), text_, broken);
            if (first == '-' && broken == start + 1 && !is_digit(text_[broken]))
                return located("expected value", text_, broken);
            if (first == '-' || is_digit(first))
                return located("invalid number", text_, broken);
            if (first == 't' || first == 'f' || first == 'n')
                return located("invalid literal", text_, broken);
            return located("expected value", text_, start);
        case Expected::key:
            if (first == '"')
                return located(string_fault(broken_byte), text_, broken);
            return located("key must be a string", text_, start);
        case Expected::separator:
            return located("expected ':'", text_, start);
        case Expected::array_rest:
            return located("expected ',' or ']'", text_, start);
        case Expected::object_rest:
            break;
    }
    return located("expected ',' or '}'", text_, start);
}

}  // namespace

bool read_json(std::string_view text, Json& out, JsonError& error) {
    out = nullptr;
    // The library would skip a byte-order mark; strict JSON text has none.
    if (!text.empty() && static_cast<unsigned char>(text[0]) == 0xEF) [[unlikely]] {
        error = located("expected value", text, 0);
        return false;
    }
    TreeBuilder builder(out, text);
    const char* begin = text.data();
    const bool ok = Json::sax_parse(TrackedInput(begin, builder.seen()),
                                    TrackedInput(begin + text.size(), builder.seen()), &builder);
    // The library stops at a NUL byte as if the text ended there: after a whole value, only
    // whitespace can have come before it.
    const void* nul = ok ? std::memchr(begin, 0, text.size()) : nullptr;
    if (ok && nul == nullptr) [[likely]]
        return true;
    if (ok)
        error = located("trailing characters", text, static_cast<size_t>(static_cast<const char*>(nul) - begin));
    else
        error = builder.describe();
    out = nullptr;
    return false;
}

}  // namespace mervo
