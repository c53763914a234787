// Module inspection: imports modules, finds their assets and writes the document.
#include "inspection.hpp"

#include "args.hpp"
#include "declare.hpp"
#include "json_bridge.hpp"
#include "names.hpp"

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

// --- the modules argument ------------------------------------------------------------------

std::vector<std::string> module_names(PyObject* modules) {
    return convert_arg("modules", [&] {
        // A str is a sequence too, but never of module names.
        if (PyUnicode_Check(modules)) [[unlikely]]
            raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
        if (!PySequence_Check(modules)) [[unlikely]]
            raise_conversion(modules, "Sequence");
        std::vector<std::string> result;
        const Py_ssize_t size = PySequence_Size(modules);
        if (size < 0)
            (void)PythonError::fetch();  // only a size hint
        else
            result.reserve(static_cast<size_t>(std::min<Py_ssize_t>(size, 4096)));  // a hint, not a promise
        Ref iterator = owned(PyObject_GetIter(modules));
        while (Ref item = next_item(iterator.get()))
            result.push_back(as_string(item.get()));
        return result;
    });
}

// --- the skip line -------------------------------------------------------------------------

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
    try {
        line += exception_text(error.value());
    } catch (PythonError&) {
        panic("could not read the qualified name of an exception's type");
    }
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
    Ref source = call_method(ctx.inspect.get(), names::getsource, obj);
    Ref dedented = call_method(ctx.textwrap.get(), names::dedent, source.get());
    Ref stripped = call_method(dedented.get(), names::strip);
    std::string text = text_of(stripped);
    text += '\n';
    return text;
}

// The return annotation's text: a class by its bare name, anything else by str().
Json return_type(const Context& ctx, PyObject* function) {
    Ref sig = call_method(ctx.inspect.get(), names::signature, function);
    Ref annotation = getattr(sig.get(), names::return_annotation);
    Ref signature_class = getattr(ctx.inspect.get(), names::Signature);
    Ref empty = getattr(signature_class.get(), names::empty);
    if (annotation.get() == empty.get())
        return nullptr;
    Ref builtins = import("builtins");
    Ref is_class = call_method(builtins.get(), names::isinstance, annotation.get(),
                               reinterpret_cast<PyObject*>(&PyType_Type));
    if (as_bool(is_class.get()))
        return text_of(getattr(annotation.get(), names::dunder_name));
    return text_of(owned(PyObject_Str(annotation.get())));
}

Json asset_record(const Context& ctx, PyObject* value, PyObject* module, const std::string& module_source) {
    Ref metadata_obj = getattr(value, names::mervo_metadata);
    Json metadata;
    JsonError error;
    if (!python_to_json(metadata_obj.get(), metadata, error)) [[unlikely]]
        raise_json_error(json_parse_error, error);

    Ref original = optional_attr(value, names::mervo_original);
    PyObject* function = original ? original.get() : value;

    std::string function_source = source_text(ctx, function);
    std::string function_name = text_of(getattr(function, names::dunder_name));
    std::string file = declare::resolved_source_file(ctx.inspect.get(), ctx.pathlib.get(), function, true);
    Json returns = return_type(ctx, function);
    std::string module_path = text_of(getattr(module, names::dunder_name));

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

std::string version_text(PyObject* sys) {
    Ref info = getattr(sys, names::version_info);
    const long long major = as_int64(getattr(info.get(), names::version_major).get());
    const long long minor = as_int64(getattr(info.get(), names::version_minor).get());
    const long long micro = as_int64(getattr(info.get(), names::version_micro).get());
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
    Ref members = call_method(ctx.inspect.get(), names::getmembers, module);
    Ref iterator = owned(PyObject_GetIter(members.get()));
    while (Ref item = next_item(iterator.get())) {
        if (!PyTuple_Check(item.get())) [[unlikely]]
            raise_conversion(item.get(), "PyTuple");
        Ref value = Ref::borrow(PyTuple_GetItem(item.get(), 1));
        if (!value) [[unlikely]]
            throw PythonError::fetch();
        if (declare::is_asset(value.get()))
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
            module = call_method(ctx.importlib.get(), names::import_module, name_obj.get());
        } catch (PythonError& error) {
            report_skip(name, error);
            continue;
        }
        inspect_module(ctx, module.get(), document);
    }
    return std::move(document).finish();
}

}  // namespace

Ref inspect_modules(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    PyObject* bound[1];
    bind_args(signature, args, nargsf, kwnames, bound);
    return inspect_all(module_names(bound[0]));
}

}  // namespace mervo::inspection
