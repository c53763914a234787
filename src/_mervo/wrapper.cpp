// AssetWrapper: forwards calls and introspection to the original, carries the metadata.
#include "wrapper.hpp"

#include "names.hpp"

#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#define Py_T_PYSSIZET T_PYSSIZET
#define Py_READONLY READONLY
#endif

#include <cstddef>
#include <new>
#include <utility>

namespace mervo::declare {

namespace {

// The plain C part of a wrapper comes first, so the vectorcall slot has a well-defined offset.
struct WrapperHead {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* original;  // never null: clearing puts None in its place
};

struct AssetWrapperObject : WrapperHead {
    AssetMetadata metadata;
};

PyTypeObject* g_asset_wrapper_type = nullptr;

inline constexpr char asset_wrapper_name[] = "AssetWrapper";

AssetWrapperObject* as_wrapper(PyObject* self) {
    return static_cast<AssetWrapperObject*>(reinterpret_cast<WrapperHead*>(self));
}

// The hot path: hands the arguments to the original exactly as received (offset flag
// included), and its result or exception back untouched. A Python function is called
// through its own vectorcall slot, as PyObject_Vectorcall would, minus that extra frame;
// its frames are guarded by the interpreter, and the interpreter checks our result when
// its call of the wrapper returns. Anything else (a wrapper of a wrapper of ...) could
// recurse on the C stack alone, so those calls count towards the recursion limit.
Ref asset_wrapper_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    PyObject* original = as_wrapper(self)->original;
    if (PyFunction_Check(original)) [[likely]] {
        if (vectorcallfunc forward = PyVectorcall_Function(original)) [[likely]]
            return Ref::steal(forward(original, args, nargsf, kwnames));
        return Ref::steal(PyObject_Vectorcall(original, args, nargsf, kwnames));
    }
    if (Py_EnterRecursiveCall(" while calling an asset")) [[unlikely]]
        return Ref();
    Ref result = Ref::steal(PyObject_Vectorcall(original, args, nargsf, kwnames));
    Py_LeaveRecursiveCall();
    return result;
}

Ref asset_wrapper_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* original = as_wrapper(self)->original;
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) == 0)
        kwargs = nullptr;  // keywords are passed on only when some were given
    if (PyFunction_Check(original))
        return Ref::steal(PyObject_Call(original, args, kwargs));
    if (Py_EnterRecursiveCall(" while calling an asset")) [[unlikely]]
        return Ref();
    Ref result = Ref::steal(PyObject_Call(original, args, kwargs));
    Py_LeaveRecursiveCall();
    return result;
}

// A wrapper in a class body stays itself: no bound method, no instance argument.
Ref asset_wrapper_descr_get(PyObject* self, PyObject*, PyObject*) { return Ref::borrow(self); }

// The wrapper holds its original, and a function's __globals__ holds the wrapper: the
// module namespace that defines an asset is a cycle, which only the collector can free.
int asset_wrapper_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_wrapper(self)->original);
    return 0;
}

int asset_wrapper_clear(PyObject* self) {
    // None rather than null, so that a call or read reaching a cleared wrapper (from other
    // garbage being torn down) fails like one on a non-function instead of crashing.
    Py_INCREF(Py_None);
    PyObject* original = std::exchange(as_wrapper(self)->original, Py_None);
    Py_DECREF(original);
    return 0;
}

void asset_wrapper_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    PyTypeObject* type = Py_TYPE(self);
    AssetWrapperObject* wrapper = as_wrapper(self);
    PyObject* original = wrapper->original;
    wrapper->metadata.~AssetMetadata();
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

Ref get_metadata(PyObject* self, void*) { return metadata_dict(as_wrapper(self)->metadata); }

Ref get_kind(PyObject*, void*) { return Ref::borrow(names::asset.get()); }

Ref get_original(PyObject* self, void*) { return Ref::borrow(as_wrapper(self)->original); }

// Reads the attribute named by `closure` on the original, live; its result or its error
// is passed on as it is.
Ref get_forwarded(PyObject* self, void* closure) {
    PyObject* name = static_cast<Name*>(closure)->get();
    if (Py_EnterRecursiveCall(" while reading an asset's attribute")) [[unlikely]]
        return Ref();
    Ref value = Ref::steal(PyObject_GetAttr(as_wrapper(self)->original, name));
    Py_LeaveRecursiveCall();
    return value;
}

PyGetSetDef asset_wrapper_getset[] = {
    {"__mervo_metadata__", entry<get_metadata>, nullptr, nullptr, nullptr},
    {"__mervo_kind__", entry<get_kind>, nullptr, nullptr, nullptr},
    {"__mervo_original__", entry<get_original>, nullptr, nullptr, nullptr},
    {"__name__", entry<get_forwarded>, nullptr, nullptr, &names::dunder_name},
    // __doc__ and __module__ are forwarded by asset_wrapper_getattro: a getter here would
    // take the place where the class keeps its own docstring and __module__ ("builtins").
    {"__qualname__", entry<get_forwarded>, nullptr, nullptr, &names::dunder_qualname},
    {"__wrapped__", entry<get_original>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// The name an instance reads from the original through getattro, or null.
Name* forwarded_name(PyObject* name) {
    // Attribute names are nearly always interned: identity answers first.
    if (name == names::dunder_module.get())
        return &names::dunder_module;
    if (name == names::dunder_doc.get())
        return &names::dunder_doc;
    if (!PyUnicode_Check(name) || PyUnicode_GET_LENGTH(name) < 7 || PyUnicode_GET_LENGTH(name) > 10)
        return nullptr;
    if (PyUnicode_CompareWithASCIIString(name, "__module__") == 0)
        return &names::dunder_module;
    if (PyUnicode_CompareWithASCIIString(name, "__doc__") == 0)
        return &names::dunder_doc;
    return nullptr;
}

// Instances read __module__ and __doc__ live from the original; everything else is the
// generic lookup.
Ref asset_wrapper_getattro(PyObject* self, PyObject* name) {
    if (Name* forwarded = forwarded_name(name)) [[unlikely]]
        return get_forwarded(self, forwarded);
    return Ref::steal(PyObject_GenericGetAttr(self, name));
}

PyMemberDef asset_wrapper_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(WrapperHead, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot asset_wrapper_slots[] = {
    {Py_tp_doc, const_cast<char*>("The `@asset()` decorator wrapper. Stores the original function and metadata.")},
    slot<Py_tp_new, no_constructor<asset_wrapper_name>>(),
    slot<Py_tp_dealloc, asset_wrapper_dealloc>(),
    slot<Py_tp_traverse, asset_wrapper_traverse>(),
    slot<Py_tp_clear, asset_wrapper_clear>(),
    slot<Py_tp_call, asset_wrapper_call>(),
    slot<Py_tp_descr_get, asset_wrapper_descr_get>(),
    {Py_tp_getset, asset_wrapper_getset},
    slot<Py_tp_getattro, asset_wrapper_getattro>(),
    {Py_tp_members, asset_wrapper_members},
    {0, nullptr},
};

PyType_Spec asset_wrapper_spec = {
    "builtins.AssetWrapper", sizeof(AssetWrapperObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_HAVE_GC,  // not subclassable
    asset_wrapper_slots,
};

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

Ref new_asset_wrapper(const AssetMetadata& record, PyObject* original) {
    AssetMetadata copy = record;
    PyTypeObject* type = type_for_instances(asset_wrapper_type, asset_wrapper_name);
    AssetWrapperObject* self = as_wrapper(reinterpret_cast<PyObject*>(allocate<WrapperHead>(type)));
    self->vectorcall = entry<asset_wrapper_vectorcall>;
    Py_INCREF(original);
    self->original = original;
    new (&self->metadata) AssetMetadata(std::move(copy));
    return Ref::steal(reinterpret_cast<PyObject*>(static_cast<WrapperHead*>(self)));
}

}  // namespace mervo::declare
