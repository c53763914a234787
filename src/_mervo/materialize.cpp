// Asset materialisation: runs one asset and writes value.json and result.json.
#include "materialize.hpp"

#include "args.hpp"
#include "json_bridge.hpp"
#include "json_doc.hpp"
#include "names.hpp"

#include <optional>
#include <string>
#include <utility>

namespace mervo::materialize {

namespace {

constexpr Param params[] = {
    {"module_name", true}, {"function_name", true}, {"output_dir", true}, {"input_kwargs_json"}};
constexpr Signature signature{"materialize_asset()", params, 4};

// What preparation hands to the run stage; it owns every reference for the whole call.
struct MaterializeContext {
    Ref importlib;
    std::string module_name;
    std::string function_name;
    std::optional<std::string> kwargs_text;
    Ref json;
    Ref output_dir;
    Ref inspect;
    Ref result_file;
};

// The texts of a failure record.
struct Failure {
    std::string error;
    std::string error_type;
};

// "{type qualname}: {str(E)}" and the type's plain name.
[[gnu::cold]] Failure describe(const PythonError& error) {
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(error.type());
    Ref plain = type_name(type, false);
    if (!PyUnicode_Check(plain.get())) [[unlikely]]
        raise_conversion(plain.get(), "PyString");
    return {exception_text(error.value()), as_utf8_lossy(plain.get())};
}

// Hands `text` to path.write_text(text, "utf-8").
void write_text(PyObject* path, PyObject* text) {
    Ref encoding = new_str("utf-8");
    call_method(path, names::write_text, text, encoding.get());
}

void write_record(const MaterializeContext& ctx, const Json& record) {
    Ref text = json_to_str(record);
    write_text(ctx.result_file.get(), text.get());
}

// The run itself: import, call, value.json, success record. Any error here is recorded.
void run(const MaterializeContext& ctx) {
    Ref module_name = new_str(ctx.module_name);
    Ref module = call_method(ctx.importlib.get(), names::import_module, module_name.get());
    Ref function_name = new_str(ctx.function_name);
    Ref target = owned(PyObject_GetAttr(module.get(), function_name.get()));

    // The undecorated function; anything whose lookup fails is called as it is.
    Ref callable = Ref::steal(PyObject_GetAttr(target.get(), names::mervo_original.get()));
    if (!callable) {
        PythonError::fetch();
        callable = target.copy();
    }

    Ref result;
    if (!ctx.kwargs_text) {
        result = owned(PyObject_CallNoArgs(callable.get()));
    } else {
        Ref text = new_str(*ctx.kwargs_text);
        Ref kwargs = call_method(ctx.json.get(), names::loads, text.get());
        if (!PyDict_Check(kwargs.get()))
            raise_conversion(kwargs.get(), "PyDict");
        Ref no_args = owned(PyTuple_New(0));
        result = owned(PyObject_Call(callable.get(), no_args.get(), kwargs.get()));
    }

    Ref value_name = new_str("value.json");
    Ref value_file = call_method(ctx.output_dir.get(), names::truediv, value_name.get());
    Ref value_text = call_method(ctx.json.get(), names::dumps, result.get());
    write_text(value_file.get(), value_text.get());

    Ref value_path = owned(PyObject_Str(value_file.get()));
    Ref sig = call_method(ctx.inspect.get(), names::signature, callable.get());
    Ref sig_text = owned(PyObject_Str(sig.get()));
    Ref result_type = getattr(reinterpret_cast<PyObject*>(Py_TYPE(result.get())), names::dunder_name);

    Json record = Json::object();
    record["ok"] = true;
    record["artifact_format"] = "json";
    record["value_path"] = as_string(value_path.get());
    record["result_type"] = as_string(result_type.get());
    record["module_path"] = ctx.module_name;
    record["function_name"] = ctx.function_name;
    record["signature"] = as_string(sig_text.get());
    write_record(ctx, record);
}

// Records a failed run and leaves through sys.exit(1). An error while writing the record
// reaches the caller in place of the run's.
Ref record_failure(const MaterializeContext& ctx, const Failure& failure) {
    Json record = Json::object();
    record["ok"] = false;
    record["error"] = failure.error;
    record["error_type"] = failure.error_type;
    write_record(ctx, record);

    Ref sys = import("sys");
    Ref code = owned(PyLong_FromLong(1));
    call_method(sys.get(), names::exit, code.get());
    return Ref::borrow(Py_None);  // sys.exit was replaced and returned
}

Ref materialize(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    PyObject* bound[4];
    bind_args(signature, args, nargsf, kwnames, bound);

    MaterializeContext ctx;
    ctx.module_name = convert_arg("module_name", [&] { return as_string(bound[0]); });
    ctx.function_name = convert_arg("function_name", [&] { return as_string(bound[1]); });
    std::string output_dir = convert_arg("output_dir", [&] { return as_string(bound[2]); });
    if (!is_absent(bound[3]))
        ctx.kwargs_text = convert_arg("input_kwargs_json", [&] { return as_string(bound[3]); });

    ctx.importlib = import("importlib");
    ctx.inspect = import("inspect");
    ctx.json = import("json");
    Ref pathlib = import("pathlib");

    Ref output_text = new_str(output_dir);
    ctx.output_dir = call_method(pathlib.get(), names::Path, output_text.get());
    {
        Ref mkdir = getattr(ctx.output_dir.get(), names::mkdir);
        Ref options = owned(PyDict_New());
        check(PyDict_SetItemString(options.get(), "parents", Py_True));
        check(PyDict_SetItemString(options.get(), "exist_ok", Py_True));
        Ref no_args = owned(PyTuple_New(0));
        owned(PyObject_Call(mkdir.get(), no_args.get(), options.get()));
    }
    Ref result_name = new_str("result.json");
    ctx.result_file = call_method(ctx.output_dir.get(), names::truediv, result_name.get());

    std::optional<Failure> failure;
    try {
        run(ctx);
    } catch (PythonError& error) {
        // Only the texts survive: the exception itself, and its traceback, are dropped here.
        failure = describe(error);
    }
    if (!failure)
        return Ref::borrow(Py_None);
    return record_failure(ctx, *failure);
}

}  // namespace

Ref materialize_asset(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return materialize(args, nargsf, kwnames);
}

}  // namespace mervo::materialize
