// partitions(...): a list of values through the host's json.dumps into a Partitions object.
#include "partitions.hpp"

#include "args.hpp"
#include "json_bridge.hpp"

#include <new>
#include <string>
#include <utility>

namespace mervo::declare {

namespace {

struct PartitionsObject {
    PyObject_HEAD
    Values values;
};

PyTypeObject* g_partitions_type = nullptr;

inline constexpr char partitions_name[] = "Partitions";

void partitions_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<PartitionsObject*>(self)->values.~Values();
    type->tp_free(self);
    Py_DECREF(type);
}

Ref partitions_repr(PyObject* self) {
    const size_t n = reinterpret_cast<PartitionsObject*>(self)->values.size();
    return new_str("Partitions(" + std::to_string(n) + " values)");
}

PyType_Slot partitions_slots[] = {
    {Py_tp_doc, const_cast<char*>("Marker type returned by `partitions([...])`. Stores the static values.")},
    slot<Py_tp_new, no_constructor<partitions_name>>(),
    slot<Py_tp_dealloc, partitions_dealloc>(),
    slot<Py_tp_repr, partitions_repr>(),
    {0, nullptr},
};

PyType_Spec partitions_spec = {
    "builtins.Partitions", sizeof(PartitionsObject), 0,
    Py_TPFLAGS_DEFAULT,  // no BASETYPE: not subclassable; no GC: it holds no Python objects
    partitions_slots,
};

Ref new_partitions(Values values) {
    PyTypeObject* type = type_for_instances(partitions_type, partitions_name);
    auto* self = allocate<PartitionsObject>(type);
    new (&self->values) Values(std::move(values));
    return Ref::steal(reinterpret_cast<PyObject*>(self));
}

constexpr Param params[] = {{"values", true}};
constexpr Signature signature{"partitions()", params, 1};

}  // namespace

PyTypeObject* partitions_type() { return create_type(g_partitions_type, partitions_spec); }

const Values* partition_values(PyObject* obj) {
    PyTypeObject* type = type_for_instances(partitions_type, partitions_name);
    if (!PyObject_TypeCheck(obj, type))
        return nullptr;
    return &reinterpret_cast<PartitionsObject*>(obj)->values;
}

Ref partitions(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    PyObject* bound[1];
    bind_args(signature, args, nargsf, kwnames, bound);
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
}

}  // namespace mervo::declare
