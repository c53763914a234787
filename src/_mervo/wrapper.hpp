// AssetWrapper: the object @asset() leaves in place of a function.
#pragma once

#include "declare.hpp"

namespace mervo::declare {

// The class, created on first use and kept for the process; throws PythonError when the
// type object cannot be created.
PyTypeObject* asset_wrapper_type();

// A new wrapper of `original` with its own copy of `record`.
Ref new_asset_wrapper(const AssetMetadata& record, PyObject* original);

}  // namespace mervo::declare
