// Asset declaration: asset(...), asset_decorator, AssetWrapper, partitions(...), Partitions.
#pragma once

#include "capi.hpp"

namespace mervo::declare {

// Module functions (fast call with keywords).
PyObject* asset(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* partitions(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);

// The two classes, created on first use and kept for the process. Throw PythonError
// when the type object cannot be created.
PyTypeObject* asset_wrapper_type();
PyTypeObject* partitions_type();

}  // namespace mervo::declare
