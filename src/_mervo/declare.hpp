// Asset declaration: asset(...), its metadata record, and the asset attribute protocol.
#pragma once

#include "capi.hpp"
#include "partitions.hpp"

#include <optional>
#include <string>
#include <type_traits>
#include <unordered_map>

namespace mervo::declare {

// What asset(...) was told. Every holder owns its own deep copy.
struct AssetMetadata {
    std::optional<std::string> name;
    std::optional<std::string> serializer;
    std::optional<std::unordered_map<std::string, std::string>> inputs;  // parameter -> asset reference
    std::optional<std::unordered_map<std::string, Values>> partitions;   // dimension -> values
};
// Instances are built in Python memory by moving a finished record in: that step must not throw.
static_assert(std::is_nothrow_move_constructible_v<AssetMetadata>);

// asset(...) (fast call with keywords): the asset_decorator callable owning the record.
Ref asset(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);

// The dictionary form read as __mervo_metadata__: a new dict each time.
Ref metadata_dict(const AssetMetadata& record);

// Whether `value` is an asset: a `str` __mervo_kind__ that reads exactly "asset". A
// failing lookup, or a marker that cannot be read as text, only means that it is not.
bool is_asset(PyObject* value);

// The absolute, resolved source file of `function` (inspect.getsourcefile, pathlib.Path,
// resolve, str). With `absorb_missing`, a failing getsourcefile gives "" instead of its
// error; every other error is the caller's.
std::string resolved_source_file(PyObject* inspect, PyObject* pathlib, PyObject* function, bool absorb_missing);

}  // namespace mervo::declare
