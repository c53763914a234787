// Module inspection: imports modules, finds their assets and writes the document.
#include "inspection.hpp"

#include "args.hpp"

namespace mervo::inspection {

namespace {

constexpr Param params[] = {{"modules", true}};
constexpr Signature signature{"inspect_modules()", params, 1};

}  // namespace

PyObject* inspect_modules(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return boundary([&]() -> Ref {
        PyObject* bound[1];
        bind_args(signature, args, nargsf, kwnames, bound);
        raise(PyExc_NotImplementedError, "inspect_modules() is not implemented yet");
    });
}

}  // namespace mervo::inspection
