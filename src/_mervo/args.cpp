// The binding rules and their exact messages.
#include "args.hpp"

#include <string>
#include <vector>

namespace mervo {

namespace {

[[noreturn, gnu::cold]] void fail(const Signature& sig, const std::string& rest) {
    raise(PyExc_TypeError, std::string(sig.function) + " " + rest);
}

// 'a' / 'a' and 'b' / 'a', 'b', and 'c'
std::string name_list(const std::vector<const char*>& names) {
    std::string out;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i != 0) {
            if (names.size() > 2)
                out += ',';
            out += i == names.size() - 1 ? " and " : " ";
        }
        out += '\'';
        out += names[i];
        out += '\'';
    }
    return out;
}

[[noreturn, gnu::cold]] void fail_missing(const Signature& sig, const std::vector<const char*>& names,
                                          const char* kind) {
    fail(sig, "missing " + std::to_string(names.size()) + " required " + kind + " argument" +
                  (names.size() == 1 ? "" : "s") + ": " + name_list(names));
}

[[noreturn, gnu::cold]] void fail_too_many(const Signature& sig, size_t max_positional, Py_ssize_t given) {
    size_t min_positional = 0;
    for (size_t i = 0; i < max_positional; ++i)
        if (sig.params[i].required)
            min_positional = i + 1;
    std::string takes = min_positional == max_positional
                            ? std::to_string(max_positional)
                            : "from " + std::to_string(min_positional) + " to " + std::to_string(max_positional);
    fail(sig, "takes " + takes + " positional arguments but " + std::to_string(given) +
                  (given == 1 ? " was" : " were") + " given");
}

}  // namespace

void bind_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
               PyObject** out) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    size_t max_positional = 0;
    while (max_positional < sig.count && !sig.params[max_positional].keyword_only)
        ++max_positional;

    if (static_cast<size_t>(nargs) > max_positional) [[unlikely]]
        fail_too_many(sig, max_positional, nargs);
    for (size_t i = 0; i < sig.count; ++i)
        out[i] = static_cast<Py_ssize_t>(i) < nargs ? args[i] : nullptr;

    if (kwnames != nullptr) {
        std::vector<const char*> positional_only_given;
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            std::string_view key_text = as_utf8(key);
            size_t i = 0;
            while (i < sig.count && key_text != sig.params[i].name)
                ++i;
            if (i < sig.positional_only) {
                positional_only_given.push_back(sig.params[i].name);
                continue;
            }
            if (i == sig.count) [[unlikely]]
                fail(sig, "got an unexpected keyword argument '" + std::string(key_text) + "'");
            if (out[i] != nullptr) [[unlikely]]
                fail(sig, "got multiple values for argument '" + std::string(key_text) + "'");
            out[i] = args[nargs + k];
        }
        if (!positional_only_given.empty()) [[unlikely]]
            fail(sig, "got some positional-only arguments passed as keyword arguments: " +
                          name_list(positional_only_given));
    }

    std::vector<const char*> missing;
    for (size_t i = 0; i < max_positional; ++i)
        if (sig.params[i].required && out[i] == nullptr)
            missing.push_back(sig.params[i].name);
    if (!missing.empty()) [[unlikely]]
        fail_missing(sig, missing, "positional");
    for (size_t i = max_positional; i < sig.count; ++i)
        if (sig.params[i].required && out[i] == nullptr)
            missing.push_back(sig.params[i].name);
    if (!missing.empty()) [[unlikely]]
        fail_missing(sig, missing, "keyword");
}

}  // namespace mervo
