// Python objects to JSON value trees (through the host's json.dumps) and trees to str.
#pragma once

#include "capi.hpp"
#include "json_doc.hpp"

#include <optional>

namespace mervo {

// Renders `obj` with the host's json.dumps (default options) and reads the text back.
// Errors of dumps propagate as PythonError; a non-str result is the PyString TypeError.
// A text our reader refuses yields false with `error` filled.
bool python_to_json(PyObject* obj, Json& out, JsonError& error);
// Same, with an already imported `json` module.
bool python_to_json(PyObject* json_module, PyObject* obj, Json& out, JsonError& error);

// The prefixes under which JSON failures reach Python as RuntimeError.
inline constexpr const char* json_serialization_error = "JSON serialization error: ";
inline constexpr const char* json_parse_error = "JSON parse error: ";
inline constexpr const char* json_error = "JSON error: ";

[[noreturn, gnu::cold]] void raise_json_error(const char* prefix, const JsonError& error);

// The compact text of `value` as a new str.
Ref json_to_str(const Json& value);

}  // namespace mervo
