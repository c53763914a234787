// Module inspection: imports modules, finds their assets and writes the document.
#include "inspection.hpp"

#include "args.hpp"
#include "json_bridge.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <poll.h>
#include <unistd.h>

namespace mervo::inspection {

namespace {

constexpr Param params[] = {{"modules", true}};
constexpr Signature signature{"inspect_modules()", params, 1};

// Attribute and method names, interned once per process.
Name n_import_module("import_module");
Name n_getsource("getsource");
Name n_getsourcefile("getsourcefile");
Name n_getmembers("getmembers");
Name n_signature("signature");
Name n_return_annotation("return_annotation");
Name n_Signature("Signature");
Name n_empty("empty");
Name n_dedent("dedent");
Name n_strip("strip");
Name n_Path("Path");
Name n_resolve("resolve");
Name n_isinstance("isinstance");
Name n_name("__name__");
Name n_version_info("version_info");
Name n_major("major");
Name n_minor("minor");
Name n_micro("micro");
Name n_kind("__mervo_kind__");
Name n_metadata("__mervo_metadata__");
Name n_original("__mervo_original__");

Ref attr(PyObject* obj, Name& name) { return owned(PyObject_GetAttr(obj, name.get())); }

// An attribute whose failing read only means "not there": any error is dropped (a
// PanicException coming back still resumes as a fault). Where the interpreter can, a
// missing attribute is answered without an AttributeError ever being made, which
// matters for the many plain members of a module.
Ref attr_or_null(PyObject* obj, Name& name) {
    PyObject* result = nullptr;
#if PY_VERSION_HEX >= 0x030D0000
    const int found = PyObject_GetOptionalAttr(obj, name.get(), &result);
#else
    const int found = _PyObject_LookupAttr(obj, name.get(), &result);
#endif
    if (found < 0) [[unlikely]]
        (void)PythonError::fetch();
    return Ref::steal(result);
}

// Advances an iterator; a null Ref at the end, the iterator's error thrown.
Ref next_item(PyObject* iterator) {
    PyObject* item = PyIter_Next(iterator);
    if (item == nullptr && PyErr_Occurred()) [[unlikely]]
        throw PythonError::fetch();
    return Ref::steal(item);
}

// --- the modules argument ------------------------------------------------------------------

std::vector<std::string> module_names(PyObject* modules) {
    return convert_arg("modules", [&] {
        // A str is a sequence too, but never of module names.
        if (PyUnicode_Check(modules)) [[unlikely]]
            raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
        if (!PySequence_Check(modules)) [[unlikely]]
            raise_conversion(modules, "Sequence");
        std::vector<std::string> names;
        const Py_ssize_t size = PySequence_Size(modules);
        if (size < 0)
            (void)PythonError::fetch();  // only a size hint
        else
            names.reserve(static_cast<size_t>(std::min<Py_ssize_t>(size, 4096)));  // a hint, not a promise
        Ref iterator = owned(PyObject_GetIter(modules));
        while (Ref item = next_item(iterator.get()))
            names.push_back(as_string(item.get()));
        return names;
    });
}

// --- the skip line -------------------------------------------------------------------------

// "{type qualname}: {str(exc)}", or the stand-in when str() itself fails.
[[gnu::cold]] std::string exception_text(PyObject* exc) {
    std::string text;
    try {
        text = type_qualname(exc);
    } catch (PythonError&) {
        panic("could not read the qualified name of an exception's type");
    }
    text += ": ";
    if (Ref str = Ref::steal(PyObject_Str(exc))) {
        append_utf8_lossy(str.get(), text);
    } else {
        (void)PythonError::fetch();
        text += "<exception str() failed>";
    }
    return text;
}

// Straight to file descriptor 2, past any Python-level redirection of sys.stderr.
[[gnu::cold]] void write_stderr(std::string_view line) {
    const char* p = line.data();
    size_t left = line.size();
    while (left > 0) {
        const ssize_t written = ::write(STDERR_FILENO, p, left);
        if (written > 0) {
            p += written;
            left -= static_cast<size_t>(written);
        } else if (written < 0 && errno == EINTR) {
            continue;
        } else if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // A non-blocking stderr that is full: wait until it drains.
            pollfd waiting{STDERR_FILENO, POLLOUT, 0};
            (void)::poll(&waiting, 1, -1);
        } else {
            panic(std::string("could not write to standard error: ") +
                  (written < 0 ? std::strerror(errno) : "nothing was written"));
        }
    }
}

[[gnu::cold]] void report_skip(const std::string& name, const PythonError& error) {
    std::string line = "mervo: skipping module '";
    line += name;
    line += "': ";
    line += exception_text(error.value());
    line += '\n';
    write_stderr(line);
}

// --- asset records -------------------------------------------------------------------------

// The library modules and per-call values every record is built from.
struct Context {
    Ref importlib, inspect, textwrap, sys, pathlib;
    std::string python_version;
};

std::string text_of(const Ref& obj) { return as_string(obj.get()); }

// Source of `obj`, dedented, stripped and ending in one "\n".
std::string source_text(const Context& ctx, PyObject* obj) {
    Ref source = call_method(ctx.inspect.get(), n_getsource.get(), obj);
    Ref dedented = call_method(ctx.textwrap.get(), n_dedent.get(), source.get());
    Ref stripped = call_method(dedented.get(), n_strip.get());
    std::string text = text_of(stripped);
    text += '\n';
    return text;
}

// Absolute, resolved source file of `function`, or "" when it has none to tell.
std::string file_path(const Context& ctx, PyObject* function) {
    Ref file;
    try {
        file = call_method(ctx.inspect.get(), n_getsourcefile.get(), function);
    } catch (PythonError&) {
        return {};
    }
    Ref path = call_method(ctx.pathlib.get(), n_Path.get(), file.get());
    Ref resolved = call_method(path.get(), n_resolve.get());
    return text_of(owned(PyObject_Str(resolved.get())));
}

// The return annotation's text: a class by its bare name, anything else by str().
Json return_type(const Context& ctx, PyObject* function) {
    Ref sig = call_method(ctx.inspect.get(), n_signature.get(), function);
    Ref annotation = attr(sig.get(), n_return_annotation);
    Ref signature_class = attr(ctx.inspect.get(), n_Signature);
    Ref empty = attr(signature_class.get(), n_empty);
    if (annotation.get() == empty.get())
        return nullptr;
    Ref builtins = import("builtins");
    Ref is_class = call_method(builtins.get(), n_isinstance.get(), annotation.get(),
                               reinterpret_cast<PyObject*>(&PyType_Type));
    if (as_bool(is_class.get()))
        return text_of(attr(annotation.get(), n_name));
    return text_of(owned(PyObject_Str(annotation.get())));
}

Json asset_record(const Context& ctx, PyObject* value, PyObject* module, const std::string& module_source) {
    Ref metadata_obj = attr(value, n_metadata);
    Json metadata;
    JsonError error;
    if (!python_to_json(metadata_obj.get(), metadata, error)) [[unlikely]]
        raise_json_error(json_parse_error, error);

    Ref original = attr_or_null(value, n_original);
    PyObject* function = original ? original.get() : value;

    std::string function_source = source_text(ctx, function);
    std::string function_name = text_of(attr(function, n_name));
    std::string file = file_path(ctx, function);
    Json returns = return_type(ctx, function);
    std::string module_path = text_of(attr(module, n_name));

    Json record = Json::object();
    auto& members = record.get_ref<Json::object_t&>();
    members.emplace("kind", "asset");
    members.emplace("module_path", std::move(module_path));
    members.emplace("file_path", std::move(file));
    members.emplace("function_name", std::move(function_name));
    members.emplace("function_source", std::move(function_source));
    members.emplace("module_source", module_source);
    members.emplace("decorator_metadata", std::move(metadata));
    members.emplace("return_type", std::move(returns));
    members.emplace("python_version", ctx.python_version);
    return record;
}

// --- the driver ----------------------------------------------------------------------------

// An asset is whatever says so: a `str` __mervo_kind__ that reads exactly "asset".
bool is_asset(PyObject* value) {
    Ref kind = attr_or_null(value, n_kind);
    if (!kind || !PyUnicode_Check(kind.get()))
        return false;
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(kind.get(), &size);
    if (data == nullptr) [[unlikely]] {
        (void)PythonError::fetch();
        return false;
    }
    return std::string_view(data, static_cast<size_t>(size)) == "asset";
}

std::string version_text(PyObject* sys) {
    Ref info = attr(sys, n_version_info);
    const long long major = as_int64(attr(info.get(), n_major).get());
    const long long minor = as_int64(attr(info.get(), n_minor).get());
    const long long micro = as_int64(attr(info.get(), n_micro).get());
    return std::to_string(major) + '.' + std::to_string(minor) + '.' + std::to_string(micro);
}

// The document {"assets":[...]}, written record by record: each record's text goes out
// as soon as the record is built, so the records (each with a copy of its module's source)
// never all live at once. The texts are kept as str chunks and joined once at the end:
// one allocation of the final size, where one growing buffer would be copied and
// faulted in again at every doubling and then decoded into the str. "assets" being the
// only key, the result is the very text the writer gives for the whole tree.
class Document {
public:
    Document() : chunks_(owned(PyList_New(0))) {}

    void add(const Json& record) {
        scratch_.assign(PyList_GET_SIZE(chunks_.get()) == 0 ? "{\"assets\":[" : ",");
        write_json(record, scratch_);
        Ref chunk = new_str(scratch_);
        check(PyList_Append(chunks_.get(), chunk.get()));
    }

    // The writer works in memory on text that is UTF-8 by construction: it cannot fail.
    Ref finish() && {
        if (PyList_GET_SIZE(chunks_.get()) == 0)
            return new_str("{\"assets\":[]}");
        Ref tail = new_str("]}");
        check(PyList_Append(chunks_.get(), tail.get()));
        Ref separator = new_str("");
        return owned(PyUnicode_Join(separator.get(), chunks_.get()));
    }

private:
    Ref chunks_;
    std::string scratch_;  // reused: after the first records it no longer grows
};

void inspect_module(const Context& ctx, PyObject* module, Document& document) {
    const std::string module_source = source_text(ctx, module);
    Ref members = call_method(ctx.inspect.get(), n_getmembers.get(), module);
    Ref iterator = owned(PyObject_GetIter(members.get()));
    while (Ref item = next_item(iterator.get())) {
        if (!PyTuple_Check(item.get())) [[unlikely]]
            raise_conversion(item.get(), "PyTuple");
        Ref value = Ref::borrow(PyTuple_GetItem(item.get(), 1));
        if (!value) [[unlikely]]
            throw PythonError::fetch();
        if (is_asset(value.get()))
            document.add(asset_record(ctx, value.get(), module, module_source));
    }
}

Ref inspect_all(const std::vector<std::string>& names) {
    Context ctx;
    ctx.importlib = import("importlib");
    ctx.inspect = import("inspect");
    ctx.textwrap = import("textwrap");
    ctx.sys = import("sys");
    ctx.pathlib = import("pathlib");
    ctx.python_version = version_text(ctx.sys.get());

    Document document;
    for (const std::string& name : names) {
        Ref name_obj = new_str(name);
        Ref module;
        try {
            module = call_method(ctx.importlib.get(), n_import_module.get(), name_obj.get());
        } catch (PythonError& error) {
            report_skip(name, error);
            continue;
        }
        inspect_module(ctx, module.get(), document);
    }
    return std::move(document).finish();
}

}  // namespace

PyObject* inspect_modules(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return boundary([&]() -> Ref {
        PyObject* bound[1];
        bind_args(signature, args, nargsf, kwnames, bound);
        return inspect_all(module_names(bound[0]));
    });
}

}  // namespace mervo::inspection
