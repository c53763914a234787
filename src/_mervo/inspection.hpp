// Module inspection: inspect_modules(...) and the inspection document.
#pragma once

#include "capi.hpp"

namespace mervo::inspection {

Ref inspect_modules(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);

}  // namespace mervo::inspection
