// Static partitions: partitions(...) and the Partitions type that carries its values.
#pragma once

#include "capi.hpp"
#include "json_doc.hpp"

#include <type_traits>
#include <vector>

namespace mervo::declare {

// One dimension's values, in the order given.
using Values = std::vector<Json>;
static_assert(std::is_nothrow_move_constructible_v<Values>);

// partitions(values) (fast call with keywords).
Ref partitions(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);

// The class, created on first use and kept for the process; throws PythonError when the
// type object cannot be created.
PyTypeObject* partitions_type();

// The values of a Partitions instance (or of a subtype), or null for anything else.
const Values* partition_values(PyObject* obj);

}  // namespace mervo::declare
