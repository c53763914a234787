// Argument binding shared by the module functions (fast call with keywords).
#pragma once

#include "capi.hpp"

#include <cstddef>

namespace mervo {

struct Param {
    const char* name;
    bool required = false;
    bool keyword_only = false;
};

// A function's parameters in declaration order: positional-only first, keyword-only last.
struct Signature {
    const char* function;  // e.g. "asset()"
    const Param* params;
    size_t count;
    size_t positional_only = 0;
};

// Binds a fast-call-with-keywords invocation. `out[i]` receives a borrowed reference
// for parameter i, or nullptr when it was not given (every default here is None).
void bind_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
               PyObject** out);

// Runs a conversion of argument `name`; its error gets the "argument '{name}': " prefix.
template <class Convert>
decltype(auto) convert_arg(const char* name, Convert&& convert) {
    try {
        return convert();
    } catch (PythonError& e) {
        throw std::move(e).with_prefix(std::string("argument '") + name + "': ");
    }
}

// `None` and an omitted argument both mean "absent".
inline bool is_absent(PyObject* arg) noexcept { return arg == nullptr || arg == Py_None; }

}  // namespace mervo
