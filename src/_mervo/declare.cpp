// Asset declaration: the asset(...) factory, AssetWrapper, partitions(...) and Partitions.
#include "declare.hpp"

#include "args.hpp"
#include "json_doc.hpp"

#include <new>
#include <vector>

namespace mervo::declare {

namespace {

// --- Partitions --------------------------------------------------------------------------

struct PartitionsObject {
    PyObject_HEAD
    std::vector<Json> values;
};

PyObject* partitions_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "No constructor defined for Partitions");
    return nullptr;
}

void partitions_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    boundary_unraisable([&] { reinterpret_cast<PartitionsObject*>(self)->values.~vector(); }, self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* partitions_repr(PyObject* self) {
    return boundary([&] {
        const size_t n = reinterpret_cast<PartitionsObject*>(self)->values.size();
        return new_str("Partitions(" + std::to_string(n) + " values)");
    });
}

PyType_Slot partitions_slots[] = {
    {Py_tp_doc, const_cast<char*>("Marker type returned by `partitions([...])`. Stores the static values.")},
    {Py_tp_new, reinterpret_cast<void*>(partitions_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(partitions_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(partitions_repr)},
    {0, nullptr},
};

PyType_Spec partitions_spec = {
    "builtins.Partitions", sizeof(PartitionsObject), 0,
    Py_TPFLAGS_DEFAULT,  // no BASETYPE: not subclassable; no GC: nothing to traverse
    partitions_slots,
};

// --- AssetWrapper ------------------------------------------------------------------------

struct AssetWrapperObject {
    PyObject_HEAD
    PyObject* original;
};

PyObject* asset_wrapper_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "No constructor defined for AssetWrapper");
    return nullptr;
}

void asset_wrapper_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    Py_CLEAR(reinterpret_cast<AssetWrapperObject*>(self)->original);
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot asset_wrapper_slots[] = {
    {Py_tp_doc, const_cast<char*>("The `@asset()` decorator wrapper. Stores the original function and metadata.")},
    {Py_tp_new, reinterpret_cast<void*>(asset_wrapper_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(asset_wrapper_dealloc)},
    {0, nullptr},
};

PyType_Spec asset_wrapper_spec = {
    "builtins.AssetWrapper", sizeof(AssetWrapperObject), 0, Py_TPFLAGS_DEFAULT, asset_wrapper_slots,
};

PyTypeObject* g_asset_wrapper_type = nullptr;
PyTypeObject* g_partitions_type = nullptr;

PyTypeObject* create_type(PyTypeObject*& cell, PyType_Spec& spec) {
    if (cell == nullptr)
        cell = reinterpret_cast<PyTypeObject*>(owned(PyType_FromSpec(&spec)).release());
    return cell;
}

constexpr Param asset_params[] = {
    {"name", false, true}, {"inputs", false, true}, {"partitions", false, true}, {"serializer", false, true}};
constexpr Signature asset_signature{"asset()", asset_params, 4};

constexpr Param partitions_params[] = {{"values", true}};
constexpr Signature partitions_signature{"partitions()", partitions_params, 1};

}  // namespace

PyTypeObject* asset_wrapper_type() { return create_type(g_asset_wrapper_type, asset_wrapper_spec); }
PyTypeObject* partitions_type() { return create_type(g_partitions_type, partitions_spec); }

PyObject* asset(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return boundary([&]() -> Ref {
        PyObject* bound[4];
        bind_args(asset_signature, args, nargsf, kwnames, bound);
        raise(PyExc_NotImplementedError, "asset() is not implemented yet");
    });
}

PyObject* partitions(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return boundary([&]() -> Ref {
        PyObject* bound[1];
        bind_args(partitions_signature, args, nargsf, kwnames, bound);
        raise(PyExc_NotImplementedError, "partitions() is not implemented yet");
    });
}

}  // namespace mervo::declare
