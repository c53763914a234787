// The thin bridge between the interpreter's json module and the JSON unit.
#include "json_bridge.hpp"

#include "names.hpp"

namespace mervo {

bool python_to_json(PyObject* json_module, PyObject* obj, Json& out, JsonError& error) {
    Ref text = call_method(json_module, names::dumps, obj);
    return read_json(as_utf8(text.get()), out, error);
}

bool python_to_json(PyObject* obj, Json& out, JsonError& error) {
    Ref json_module = import("json");
    return python_to_json(json_module.get(), obj, out, error);
}

void raise_json_error(const char* prefix, const JsonError& error) {
    raise(PyExc_RuntimeError, prefix + error.text());
}

Ref json_to_str(const Json& value) { return new_str(write_json(value)); }

}  // namespace mervo
