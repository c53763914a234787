// Compact JSON writer and strict SAX-driven reader over the value tree.
#include "json_doc.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
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

namespace {

// Scanners over text already known to be valid up to the point they reach; they only
// locate error positions, on the cold path.
bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

size_t skip_space(std::string_view t, size_t i) {
    while (i < t.size() && is_space(t[i]))
        ++i;
    return i;
}

size_t skip_string(std::string_view t, size_t i) {
    for (++i; i < t.size() && t[i] != '"'; ++i)
        if (t[i] == '\\')
            ++i;
    return i + 1;
}

size_t skip_value(std::string_view t, size_t i) {
    i = skip_space(t, i);
    if (i >= t.size())
        return i;
    const char c = t[i];
    if (c == '"')
        return skip_string(t, i);
    if (c == '[' || c == '{') {
        size_t depth = 0;
        while (i < t.size()) {
            const char d = t[i];
            if (d == '"') {
                i = skip_string(t, i);
                continue;
            }
            ++i;
            if (d == '[' || d == '{')
                ++depth;
            else if ((d == ']' || d == '}') && --depth == 0)
                break;
        }
        return i;
    }
    if (c == '-' || is_digit(c)) {
        if (t[i] == '-')
            ++i;
        if (i < t.size() && t[i] == '0')
            ++i;
        else
            while (i < t.size() && is_digit(t[i]))
                ++i;
        if (i + 1 < t.size() && t[i] == '.' && is_digit(t[i + 1]))
            for (++i; i < t.size() && is_digit(t[i]);)
                ++i;
        if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
            ++i;
            if (i < t.size() && (t[i] == '+' || t[i] == '-'))
                ++i;
            while (i < t.size() && is_digit(t[i]))
                ++i;
        }
        return i;
    }
    return i + (c == 'f' ? 5 : 4);  // true, false, null
}

// Offset of the bracket that opens one level more than the reader accepts.
size_t find_too_deep(std::string_view t) {
    size_t depth = 0;
    for (size_t i = 0; i < t.size(); ++i) {
        const char c = t[i];
        if (c == '"') {
            i = skip_string(t, i) - 1;
        } else if (c == '[' || c == '{') {
            if (++depth > max_json_depth)
                return i;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return t.size();
}

// Whether the bytes before `at` are a proper prefix of true, false or null, i.e. the
// byte at `at` broke a literal rather than failing to start a value.
bool continues_literal(std::string_view t, size_t at) {
    for (std::string_view literal : {"true", "false", "null"})
        for (size_t k = 1; k < literal.size() && k <= at; ++k)
            if (t.substr(at - k, k) == literal.substr(0, k))
                return true;
    return false;
}

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

class TreeBuilder {
public:
    using number_integer_t = Json::number_integer_t;
    using number_unsigned_t = Json::number_unsigned_t;
    using number_float_t = Json::number_float_t;
    using string_t = Json::string_t;
    using binary_t = Json::binary_t;

    explicit TreeBuilder(Json& root) : root_(root) {}

    bool null() { return put(Json(nullptr)); }
    bool boolean(bool value) { return put(Json(value)); }
    // Only texts with a leading '-' arrive here, so a 0 was written "-0".
    bool number_integer(number_integer_t value) { return value == 0 ? put(Json(-0.0)) : put(Json(value)); }
    bool number_unsigned(number_unsigned_t value) { return put(Json(value)); }
    bool number_float(number_float_t value, const string_t&) { return put(Json(value)); }
    bool string(string_t& value) { return put(Json(std::move(value))); }
    bool binary(binary_t&) { return false; }

    bool start_object(size_t) { return open(Json::value_t::object); }
    bool key(string_t& key) {
        key_ = std::move(key);
        return true;
    }
    bool end_object() { return close(); }
    bool start_array(size_t) { return open(Json::value_t::array); }
    bool end_array() { return close(); }

    bool parse_error(size_t position, const std::string& last_token, const nlohmann::detail::exception& ex) {
        failed_ = true;
        position_ = position;
        token_ = last_token;
        id_ = ex.id;
        what_ = ex.what();
        return false;
    }

    bool too_deep() const { return too_deep_; }
    bool failed() const { return failed_; }
    bool value_complete() const { return done_; }
    JsonError describe(std::string_view text) const;

private:
    bool put(Json&& value) {
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
            too_deep_ = true;
            return false;
        }
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
        return true;
    }

    Json& root_;
    std::vector<Json*> stack_;
    string_t key_;
    bool done_ = false;
    bool too_deep_ = false;
    bool failed_ = false;
    size_t position_ = 0;
    std::string token_;
    int id_ = 0;
    std::string what_;
};

// Turns the library's report into our message and the offending position.
JsonError TreeBuilder::describe(std::string_view text) const {
    if (too_deep_)
        return located("recursion limit exceeded", text, find_too_deep(text));
    if (done_)  // a whole value was read and something other than whitespace follows
        return located("trailing characters", text, skip_space(text, skip_value(text, 0)));

    const std::string_view what = what_;
    if (id_ == 406)
        return located("number out of range", text, position_ - token_.size());

    // "... syntax error while parsing {context} - {rest}"
    std::string_view context;
    std::string_view rest = what;
    if (size_t at = what.find("while parsing "); at != std::string_view::npos) {
        const size_t from = at + 14;
        const size_t dash = what.find(" - ", from);
        if (dash != std::string_view::npos) {
            context = what.substr(from, dash - from);
            rest = what.substr(dash + 3);
        }
    }
    const bool value_context = context == "value";
    const std::string last_read = "; last read: '" + token_ + "'";
    const size_t lexer_at = rest.rfind(last_read);
    const bool lexer_error = lexer_at != std::string_view::npos;
    std::string message;
    if (lexer_error)
        message = std::string(rest.substr(0, lexer_at)) + std::string(rest.substr(lexer_at + last_read.size()));
    else
        message = std::string(rest);

    if (position_ > text.size()) {  // the input ran out
        if (lexer_error)
            message = message.rfind("invalid string", 0) == 0 ? "EOF while parsing a string"
                                                              : "EOF while parsing a value";
        else if (value_context)
            message = "EOF while parsing a value";
        else if (context == "array")
            message = "EOF while parsing a list";
        else
            message = "EOF while parsing an object";
        return located(std::move(message), text, text.size());
    }
    if (lexer_error) {
        const std::string_view lexed = rest.substr(0, lexer_at);
        if (value_context && ((lexed == "invalid literal" && !continues_literal(text, position_ - 1)) ||
                              lexed == "invalid number; expected digit after '-'"))
            message = "expected value";
        return located(std::move(message), text, position_ - 1);
    }
    // An unexpected but well-formed token: point at its first byte.
    const char last = text[position_ - 1];
    const bool single = std::strchr("[]{}:,", last) != nullptr || last == '\0';
    const size_t start = single ? position_ - 1 : position_ - token_.size();
    if (value_context)
        message = "expected value";
    return located(std::move(message), text, start);
}

}  // namespace

bool read_json(std::string_view text, Json& out, JsonError& error) {
    out = nullptr;
    // The library would skip a byte-order mark; strict JSON text has none.
    if (!text.empty() && static_cast<unsigned char>(text[0]) == 0xEF) [[unlikely]] {
        error = located("expected value", text, 0);
        return false;
    }
    TreeBuilder builder(out);
    const char* begin = text.data();
    const bool ok = Json::sax_parse(begin, begin + text.size(), &builder);
    // The library stops at a NUL byte as if the text ended there.
    if (ok && std::memchr(begin, 0, text.size()) == nullptr) [[likely]]
        return true;
    if (ok) {
        error = located("trailing characters", text, skip_space(text, skip_value(text, 0)));
    } else {
        error = builder.describe(text);
    }
    out = nullptr;
    return false;
}

}  // namespace mervo
