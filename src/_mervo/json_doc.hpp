// The JSON value tree, its compact writer and its strict reader (no Python here).
#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <string>
#include <string_view>

namespace mervo {

// Objects are std::map: keys come out in byte-wise order. Unsigned, negative signed
// and double numbers stay apart.
using Json = nlohmann::json;

struct JsonError {
    std::string message;
    size_t line = 0;
    size_t column = 0;

    // "{message} at line {line} column {column}"
    std::string text() const;
};

// Appends the compact text of `value` to `out`.
void write_json(const Json& value, std::string& out);
// The compact text of `value`, in a buffer that starts with room for 128 bytes.
std::string write_json(const Json& value);
// Shortest round-trip layout of one double (NaN and infinities as "null").
void write_double(double value, std::string& out);

// Reads one JSON text. On failure returns false, fills `error` and leaves `out` null.
bool read_json(std::string_view text, Json& out, JsonError& error);

// Levels of arrays and objects the reader accepts; one more is refused.
inline constexpr size_t max_json_depth = 127;

}  // namespace mervo
