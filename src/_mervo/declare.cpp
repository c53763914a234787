// Asset declaration: the asset(...) factory, AssetWrapper, partitions(...) and Partitions.
#include "declare.hpp"

#include "args.hpp"
#include "json_bridge.hpp"
#include "json_doc.hpp"

#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#define Py_T_PYSSIZET T_PYSSIZET
#define Py_READONLY READONLY
#endif

#include <cstddef>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

namespace mervo::declare {

namespace {

using Values = std::vector<Json>;

// What asset(...) was told. Every holder owns its own deep copy.
struct AssetMetadata {
    std::optional<std::string> name;
    std::optional<std::string> serializer;
    std::optional<std::unordered_map<std::string, std::string>> inputs;  // parameter -> asset reference
    std::optional<std::unordered_map<std::string, Values>> partitions;   // dimension -> values
};
// Instances are built in Python memory by moving a finished record in: that step must not throw.
static_assert(std::is_nothrow_move_constructible_v<AssetMetadata>);
static_assert(std::is_nothrow_move_constructible_v<Values>);

// Interned texts used as attribute names and dict keys.
Name s_asset("asset");
Name s_kind("kind");
Name s_name("name");
Name s_serializer("serializer");
Name s_inputs("inputs");
Name s_partitions("partitions");
Name s_inline("inline");
Name s_values_json("values_json");
Name s_mervo_kind("__mervo_kind__");
Name s_mervo_original("__mervo_original__");
Name s_dunder_name("__name__");
Name s_dunder_doc("__doc__");
Name s_dunder_module("__module__");
Name s_dunder_qualname("__qualname__");
Name s_getsourcefile("getsourcefile");
Name s_path("Path");
Name s_resolve("resolve");

// Drops a pending error that only means "not there". A PanicException is not ordinary:
// fetching it resumes the fault.
void discard_pending_error() { (void)PythonError::fetch(); }

// The type objects were made when the module was imported; needing them later and not
// having them is a broken invariant.
PyTypeObject* type_for_instances(PyTypeObject* (*get)(), const char* name) {
    try {
        return get();
    } catch (PythonError& error) {
        error.restore();
        PyErr_PrintEx(0);
        panic(std::string("failed to create type object for ") + name);
    }
}

// Fresh, zeroed memory for an instance of `type` (holding a reference to the type).
template <class Object>
Object* allocate(PyTypeObject* type) {
    PyObject* obj = type->tp_alloc(type, 0);
    if (obj == nullptr) [[unlikely]]
        throw PythonError::fetch();
    return reinterpret_cast<Object*>(obj);
}

// --- Partitions --------------------------------------------------------------------------

struct PartitionsObject {
    PyObject_HEAD
    Values values;
};

PyTypeObject* g_partitions_type = nullptr;

PyObject* partitions_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "No constructor defined for Partitions");
    return nullptr;
}

void partitions_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    boundary_unraisable([&] { reinterpret_cast<PartitionsObject*>(self)->values.~Values(); }, self);
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

Ref new_partitions(Values values) {
    PyTypeObject* type = type_for_instances(partitions_type, "Partitions");
    auto* self = allocate<PartitionsObject>(type);
    new (&self->values) Values(std::move(values));
    return Ref::steal(reinterpret_cast<PyObject*>(self));
}

// The values of a Partitions instance (or of a subtype), or null for anything else.
const Values* partition_values(PyObject* obj) {
    PyTypeObject* type = type_for_instances(partitions_type, "Partitions");
    if (!PyObject_TypeCheck(obj, type))
        return nullptr;
    return &reinterpret_cast<PartitionsObject*>(obj)->values;
}

// --- AssetMetadata -----------------------------------------------------------------------

// Walks a dict's own entries in order, holding references to each key and value while
// `visit` runs (it may run user code). A dict changed by that code is a fault: the walk
// stops rather than reading entries it no longer knows to be valid.
template <class Visit>
void walk_dict(PyObject* dict, Visit&& visit) {
    const Py_ssize_t size = PyDict_GET_SIZE(dict);
    Py_ssize_t remaining = size;
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    for (;;) {
        if (PyDict_GET_SIZE(dict) != size) [[unlikely]]
            panic("dictionary changed size during iteration");
        if (!PyDict_Next(dict, &pos, &key, &value))
            break;
        if (remaining-- == 0) [[unlikely]]
            panic("dictionary keys changed during iteration");
        Ref held_key = Ref::borrow(key);
        Ref held_value = Ref::borrow(value);
        visit(held_key.get(), held_value.get());
    }
}

// Whether `value` carries the marker __mervo_kind__ == "asset". A failing lookup, or a
// marker that cannot be read as text, only means that it does not.
bool is_marked_asset(PyObject* value) {
    if (PyUnicode_CheckExact(value))  // a plain str cannot carry attributes of its own
        return false;
    Ref marker = Ref::steal(PyObject_GetAttr(value, s_mervo_kind.get()));
    if (!marker) {
        discard_pending_error();
        return false;
    }
    if (!PyUnicode_Check(marker.get()))
        return false;
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(marker.get(), &size);
    if (text == nullptr) {
        discard_pending_error();
        return false;
    }
    return std::string_view(text, static_cast<size_t>(size)) == "asset";
}

// "<resolved source file>:<__name__>" of the function behind a marked value. Every error
// here is the user's to see, unchanged.
std::string resolved_reference(PyObject* value) {
    Ref original = Ref::steal(PyObject_GetAttr(value, s_mervo_original.get()));
    if (!original) {
        discard_pending_error();
        original = Ref::borrow(value);
    }
    Ref inspect = import("inspect");
    Ref pathlib = import("pathlib");
    Ref source_file = call_method(inspect.get(), s_getsourcefile.get(), original.get());
    Ref path = call_method(pathlib.get(), s_path.get(), source_file.get());
    Ref resolved = call_method(path.get(), s_resolve.get());
    Ref file_text = owned(PyObject_Str(resolved.get()));
    std::string reference = as_string(file_text.get());
    Ref name = owned(PyObject_GetAttr(original.get(), s_dunder_name.get()));
    std::string_view name_text = as_utf8(name.get());
    reference += ':';
    reference += name_text;
    return reference;
}

std::string asset_reference(PyObject* value) {
    if (is_marked_asset(value))
        return resolved_reference(value);
    if (!PyUnicode_Check(value)) [[unlikely]]
        raise(PyExc_TypeError, "inputs values must be @asset-decorated functions or asset ref strings");
    return as_string(value);
}

void require_dict(PyObject* obj) {
    if (!PyDict_Check(obj)) [[unlikely]]
        raise_conversion(obj, "PyDict");
}

std::unordered_map<std::string, std::string> read_inputs(PyObject* inputs) {
    require_dict(inputs);
    std::unordered_map<std::string, std::string> map;
    walk_dict(inputs, [&](PyObject* key, PyObject* value) {
        std::string parameter = as_string(key);
        map.insert_or_assign(std::move(parameter), asset_reference(value));
    });
    return map;
}

std::unordered_map<std::string, Values> read_partitions(PyObject* partitions) {
    require_dict(partitions);
    std::unordered_map<std::string, Values> map;
    walk_dict(partitions, [&](PyObject* key, PyObject* value) {
        std::string dimension = as_string(key);
        const Values* values = partition_values(value);
        if (values == nullptr) [[unlikely]]
            raise(PyExc_TypeError, "partition values must be partitions([...]) instances");
        map.insert_or_assign(std::move(dimension), *values);
    });
    return map;
}

void set_item(PyObject* dict, PyObject* key, PyObject* value) { check(PyDict_SetItem(dict, key, value)); }

Ref optional_str(const std::optional<std::string>& text) {
    return text ? new_str(*text) : Ref::borrow(Py_None);
}

// One dimension's values as a compact JSON array text.
Ref values_json(const Values& values) {
    std::string text;
    text.reserve(128);
    text += '[';
    for (size_t i = 0; i < values.size(); ++i) {
        if (i != 0)
            text += ',';
        write_json(values[i], text);
    }
    text += ']';
    return new_str(text);
}

// The dictionary form read as __mervo_metadata__: a new dict each time.
Ref metadata_dict(const AssetMetadata& record) {
    Ref dict = owned(PyDict_New());
    set_item(dict.get(), s_kind.get(), s_asset.get());
    set_item(dict.get(), s_name.get(), optional_str(record.name).get());
    set_item(dict.get(), s_serializer.get(), optional_str(record.serializer).get());

    Ref inputs = Ref::borrow(Py_None);
    if (record.inputs) {
        inputs = owned(PyDict_New());
        for (const auto& [parameter, reference] : *record.inputs)
            set_item(inputs.get(), new_str(parameter).get(), new_str(reference).get());
    }
    Ref partitions = Ref::borrow(Py_None);
    if (record.partitions) {
        partitions = owned(PyDict_New());
        for (const auto& [dimension, values] : *record.partitions) {
            Ref spec = owned(PyDict_New());
            set_item(spec.get(), s_kind.get(), s_inline.get());
            set_item(spec.get(), s_values_json.get(), values_json(values).get());
            set_item(partitions.get(), new_str(dimension).get(), spec.get());
        }
    }
    set_item(dict.get(), s_inputs.get(), inputs.get());
    set_item(dict.get(), s_partitions.get(), partitions.get());
    return dict;
}

// --- AssetWrapper ------------------------------------------------------------------------

// The plain C part of a wrapper comes first, so the vectorcall slot has a well-defined offset.
struct WrapperHead {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* original;
};

struct AssetWrapperObject : WrapperHead {
    AssetMetadata metadata;
};

PyTypeObject* g_asset_wrapper_type = nullptr;

AssetWrapperObject* as_wrapper(PyObject* self) {
    return static_cast<AssetWrapperObject*>(reinterpret_cast<WrapperHead*>(self));
}

PyObject* asset_wrapper_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "No constructor defined for AssetWrapper");
    return nullptr;
}

// The hot path: hands the arguments to the original exactly as received (offset flag
// included), and its result or exception back untouched. A Python function is called
// through its own vectorcall slot, as PyObject_Vectorcall would, minus that extra frame;
// its frames are guarded by the interpreter, and the interpreter checks our result when
// its call of the wrapper returns. Anything else (a wrapper of a wrapper of ...) could
// recurse on the C stack alone, so those calls count towards the recursion limit.
PyObject* asset_wrapper_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    PyObject* original = as_wrapper(self)->original;
    if (PyFunction_Check(original)) [[likely]] {
        if (vectorcallfunc forward = PyVectorcall_Function(original)) [[likely]]
            return forward(original, args, nargsf, kwnames);
        return PyObject_Vectorcall(original, args, nargsf, kwnames);
    }
    if (Py_EnterRecursiveCall(" while calling an asset")) [[unlikely]]
        return nullptr;
    PyObject* result = PyObject_Vectorcall(original, args, nargsf, kwnames);
    Py_LeaveRecursiveCall();
    return result;
}

PyObject* asset_wrapper_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* original = as_wrapper(self)->original;
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) == 0)
        kwargs = nullptr;  // keywords are passed on only when some were given
    if (PyFunction_Check(original))
        return PyObject_Call(original, args, kwargs);
    if (Py_EnterRecursiveCall(" while calling an asset")) [[unlikely]]
        return nullptr;
    PyObject* result = PyObject_Call(original, args, kwargs);
    Py_LeaveRecursiveCall();
    return result;
}

// A wrapper in a class body stays itself: no bound method, no instance argument.
PyObject* asset_wrapper_descr_get(PyObject* self, PyObject*, PyObject*) {
    Py_INCREF(self);
    return self;
}

void asset_wrapper_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    AssetWrapperObject* wrapper = as_wrapper(self);
    PyObject* original = wrapper->original;
    boundary_unraisable([&] { wrapper->metadata.~AssetMetadata(); }, self);
    type->tp_free(self);
    Py_DECREF(type);
    // A wrapper of a wrapper of ... would release recursively, one C frame per level.
    // Unlink such a chain here instead, as long as we hold its last reference.
    while (original != nullptr && Py_TYPE(original) == type && Py_REFCNT(original) == 1) {
        PyObject* inner = std::exchange(as_wrapper(original)->original, nullptr);
        Py_DECREF(original);
        original = inner;
    }
    Py_XDECREF(original);
}

PyObject* get_metadata(PyObject* self, void*) {
    return boundary([&] { return metadata_dict(as_wrapper(self)->metadata); });
}

PyObject* get_kind(PyObject*, void*) {
    return boundary([&] { return Ref::borrow(s_asset.get()); });
}

PyObject* get_original(PyObject* self, void*) {
    PyObject* original = as_wrapper(self)->original;
    Py_INCREF(original);
    return original;
}

// Reads the attribute named by `closure` on the original, live; its result or its error
// is passed on as it is.
PyObject* get_forwarded(PyObject* self, void* closure) {
    return boundary([&] {
        PyObject* name = static_cast<Name*>(closure)->get();
        if (Py_EnterRecursiveCall(" while reading an asset's attribute")) [[unlikely]]
            return Ref();
        Ref value = Ref::steal(PyObject_GetAttr(as_wrapper(self)->original, name));
        Py_LeaveRecursiveCall();
        return value;
    });
}

PyGetSetDef asset_wrapper_getset[] = {
    {"__mervo_metadata__", get_metadata, nullptr, nullptr, nullptr},
    {"__mervo_kind__", get_kind, nullptr, nullptr, nullptr},
    {"__mervo_original__", get_original, nullptr, nullptr, nullptr},
    {"__name__", get_forwarded, nullptr, nullptr, &s_dunder_name},
    {"__doc__", get_forwarded, nullptr, nullptr, &s_dunder_doc},
    // __module__ is forwarded by asset_wrapper_getattro: a getter here would take the place
    // where the class keeps its own __module__ ("builtins").
    {"__qualname__", get_forwarded, nullptr, nullptr, &s_dunder_qualname},
    {"__wrapped__", get_original, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

bool is_module_name(PyObject* name) {
    if (name == s_dunder_module.get())  // attribute names are nearly always interned
        return true;
    return PyUnicode_Check(name) && PyUnicode_GET_LENGTH(name) == 10 &&
           PyUnicode_CompareWithASCIIString(name, "__module__") == 0;
}

// Instances read __module__ live from the original; everything else is the generic lookup.
PyObject* asset_wrapper_getattro(PyObject* self, PyObject* name) {
    if (is_module_name(name)) [[unlikely]]
        return get_forwarded(self, &s_dunder_module);
    return PyObject_GenericGetAttr(self, name);
}

PyMemberDef asset_wrapper_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(WrapperHead, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot asset_wrapper_slots[] = {
    {Py_tp_doc, const_cast<char*>("The `@asset()` decorator wrapper. Stores the original function and metadata.")},
    {Py_tp_new, reinterpret_cast<void*>(asset_wrapper_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(asset_wrapper_dealloc)},
    {Py_tp_call, reinterpret_cast<void*>(asset_wrapper_call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(asset_wrapper_descr_get)},
    {Py_tp_getset, asset_wrapper_getset},
    {Py_tp_getattro, reinterpret_cast<void*>(asset_wrapper_getattro)},
    {Py_tp_members, asset_wrapper_members},
    {0, nullptr},
};

PyType_Spec asset_wrapper_spec = {
    "builtins.AssetWrapper", sizeof(AssetWrapperObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL,  // not subclassable, not tracked by the GC
    asset_wrapper_slots,
};

Ref new_asset_wrapper(const AssetMetadata& record, PyObject* original) {
    AssetMetadata copy = record;
    PyTypeObject* type = type_for_instances(asset_wrapper_type, "AssetWrapper");
    AssetWrapperObject* self = as_wrapper(reinterpret_cast<PyObject*>(allocate<WrapperHead>(type)));
    self->vectorcall = asset_wrapper_vectorcall;
    Py_INCREF(original);
    self->original = original;
    new (&self->metadata) AssetMetadata(std::move(copy));
    return Ref::steal(reinterpret_cast<PyObject*>(static_cast<WrapperHead*>(self)));
}

// --- asset_decorator ---------------------------------------------------------------------

// The decorator's record lives in a capsule that is the built-in function's `self`.
constexpr const char* record_capsule_name = "mervo.AssetMetadata";

void release_record(PyObject* capsule) {
    delete static_cast<AssetMetadata*>(PyCapsule_GetPointer(capsule, record_capsule_name));
}

PyObject* asset_decorator(PyObject* capsule, PyObject* const* args, Py_ssize_t nargs, PyObject*) {
    return boundary([&] {
        if (PyVectorcall_NARGS(nargs) != 1) [[unlikely]]
            raise(PyExc_TypeError, "asset() decorator expects exactly one argument (the function)");
        auto* record = static_cast<const AssetMetadata*>(PyCapsule_GetPointer(capsule, record_capsule_name));
        if (record == nullptr) [[unlikely]]
            throw PythonError::fetch();
        return new_asset_wrapper(*record, args[0]);
    });
}

PyMethodDef asset_decorator_def = {
    "asset_decorator",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(asset_decorator)),
    METH_FASTCALL | METH_KEYWORDS,
    nullptr,
};

Ref new_asset_decorator(std::unique_ptr<AssetMetadata> record) {
    Ref capsule = owned(PyCapsule_New(record.get(), record_capsule_name, release_record));
    record.release();  // the capsule owns it now
    return owned(PyCFunction_NewEx(&asset_decorator_def, capsule.get(), nullptr));
}

// --- binding -----------------------------------------------------------------------------

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

PyTypeObject* asset_wrapper_type() {
    if (g_asset_wrapper_type == nullptr) {
        Ref type = owned(PyType_FromSpec(&asset_wrapper_spec));
        // Some interpreters also publish the vectorcall offset as a readable member; it is
        // plumbing (an instance would show a code address through it), not an attribute.
        PyObject* dict = reinterpret_cast<PyTypeObject*>(type.get())->tp_dict;
        Ref offset_name = new_str("__vectorcalloffset__");
        const int present = PyDict_Contains(dict, offset_name.get());
        check(present);
        if (present) {
            check(PyDict_DelItem(dict, offset_name.get()));
            PyType_Modified(reinterpret_cast<PyTypeObject*>(type.get()));
        }
        g_asset_wrapper_type = reinterpret_cast<PyTypeObject*>(type.release());
    }
    return g_asset_wrapper_type;
}
PyTypeObject* partitions_type() { return create_type(g_partitions_type, partitions_spec); }

PyObject* asset(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return boundary([&] {
        PyObject* bound[4];
        bind_args(asset_signature, args, nargsf, kwnames, bound);
        PyObject* name = bound[0];
        PyObject* inputs = bound[1];
        PyObject* partitions = bound[2];
        PyObject* serializer = bound[3];

        // Checked in this order, so the first bad option is the one reported.
        auto record = std::make_unique<AssetMetadata>();
        if (!is_absent(name))
            record->name = convert_arg("name", [&] { return as_string(name); });
        if (!is_absent(serializer))
            record->serializer = convert_arg("serializer", [&] { return as_string(serializer); });
        if (!is_absent(inputs))
            record->inputs = read_inputs(inputs);
        if (!is_absent(partitions))
            record->partitions = read_partitions(partitions);
        return new_asset_decorator(std::move(record));
    });
}

PyObject* partitions(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return boundary([&] {
        PyObject* bound[1];
        bind_args(partitions_signature, args, nargsf, kwnames, bound);
        PyObject* list = bound[0];
        if (!PyList_Check(list)) [[unlikely]]
            convert_arg("values", [&] { raise_conversion(list, "PyList"); });

        Ref json_module = import("json");
        // dumps may run user code that changes the list: re-read its length at every step,
        // and never go past the length it had when we started.
        const Py_ssize_t start_length = PyList_GET_SIZE(list);
        Values values;
        values.reserve(static_cast<size_t>(start_length));
        for (Py_ssize_t i = 0; i < start_length && i < PyList_GET_SIZE(list); ++i) {
            Ref item = Ref::borrow(PyList_GET_ITEM(list, i));
            Json value;
            JsonError error;
            if (!python_to_json(json_module.get(), item.get(), value, error)) [[unlikely]]
                raise(PyExc_ValueError, "invalid partition value: " + error.text());
            values.push_back(std::move(value));
        }
        return new_partitions(std::move(values));
    });
}

}  // namespace mervo::declare
