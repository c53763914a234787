// Asset materialisation: runs one asset and writes value.json and result.json.
#include "materialize.hpp"

#include "args.hpp"

namespace mervo::materialize {

namespace {

constexpr Param params[] = {
    {"module_name", true}, {"function_name", true}, {"output_dir", true}, {"input_kwargs_json"}};
constexpr Signature signature{"materialize_asset()", params, 4};

}  // namespace

PyObject* materialize_asset(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return boundary([&]() -> Ref {
        PyObject* bound[4];
        bind_args(signature, args, nargsf, kwnames, bound);
        raise(PyExc_NotImplementedError, "materialize_asset() is not implemented yet");
    });
}

}  // namespace mervo::materialize
