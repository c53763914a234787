// Asset materialisation: materialize_asset(...), value.json and result.json.
#pragma once

#include "capi.hpp"

namespace mervo::materialize {

Ref materialize_asset(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);

}  // namespace mervo::materialize
