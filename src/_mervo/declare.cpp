// asset(...): reading the options into a record, the asset_decorator callable, and the
// asset attribute protocol that the other subsystems test values with.
#include "declare.hpp"

#include "args.hpp"
#include "json_doc.hpp"
#include "names.hpp"
#include "wrapper.hpp"

#include <memory>
#include <string>
#include <string_view>
#include <utility>

namespace mervo::declare {

namespace {

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

// "<resolved source file>:<__name__>" of the function behind a marked value. Every error
// here is the user's to see, unchanged.
std::string resolved_reference(PyObject* value) {
    Ref original = optional_attr(value, names::mervo_original);
    if (!original)
        original = Ref::borrow(value);
    Ref inspect = import("inspect");
    Ref pathlib = import("pathlib");
    std::string reference = resolved_source_file(inspect.get(), pathlib.get(), original.get(), false);
    Ref name = getattr(original.get(), names::dunder_name);
    reference += ':';
    reference += as_utf8(name.get());
    return reference;
}

std::string asset_reference(PyObject* value) {
    if (is_asset(value))
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

void set_item(PyObject* dict, Name& key, PyObject* value) { check(PyDict_SetItem(dict, key.get(), value)); }

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

// --- asset_decorator ---------------------------------------------------------------------

// The decorator's record lives in a capsule that is the built-in function's `self`.
constexpr const char* record_capsule_name = "mervo.AssetMetadata";

void release_record(PyObject* capsule) {
    delete static_cast<AssetMetadata*>(PyCapsule_GetPointer(capsule, record_capsule_name));
}

Ref asset_decorator(PyObject* capsule, PyObject* const* args, Py_ssize_t nargs, PyObject*) {
    if (PyVectorcall_NARGS(nargs) != 1) [[unlikely]]
        raise(PyExc_TypeError, "asset() decorator expects exactly one argument (the function)");
    auto* record = static_cast<const AssetMetadata*>(PyCapsule_GetPointer(capsule, record_capsule_name));
    if (record == nullptr) [[unlikely]]
        throw PythonError::fetch();
    return new_asset_wrapper(*record, args[0]);
}

PyMethodDef asset_decorator_def = {
    "asset_decorator", fastcall<asset_decorator>(), METH_FASTCALL | METH_KEYWORDS, nullptr,
};

Ref new_asset_decorator(std::unique_ptr<AssetMetadata> record) {
    Ref capsule = owned(PyCapsule_New(record.get(), record_capsule_name, entry<release_record>));
    record.release();  // the capsule owns it now
    return owned(PyCFunction_NewEx(&asset_decorator_def, capsule.get(), nullptr));
}

constexpr Param params[] = {
    {"name", false, true}, {"inputs", false, true}, {"partitions", false, true}, {"serializer", false, true}};
constexpr Signature signature{"asset()", params, 4};

}  // namespace

bool is_asset(PyObject* value) {
    if (PyUnicode_CheckExact(value))  // a plain str cannot carry attributes of its own
        return false;
    Ref kind = optional_attr(value, names::mervo_kind);
    if (!kind || !PyUnicode_Check(kind.get()))
        return false;
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(kind.get(), &size);
    if (data == nullptr) [[unlikely]] {
        (void)PythonError::fetch();
        return false;
    }
    return std::string_view(data, static_cast<size_t>(size)) == "asset";
}

std::string resolved_source_file(PyObject* inspect, PyObject* pathlib, PyObject* function, bool absorb_missing) {
    Ref file;
    try {
        file = call_method(inspect, names::getsourcefile, function);
    } catch (PythonError&) {
        if (!absorb_missing)
            throw;
        return {};
    }
    Ref path = call_method(pathlib, names::Path, file.get());
    Ref resolved = call_method(path.get(), names::resolve);
    return as_string(owned(PyObject_Str(resolved.get())).get());
}

Ref metadata_dict(const AssetMetadata& record) {
    Ref dict = owned(PyDict_New());
    set_item(dict.get(), names::kind, names::asset.get());
    set_item(dict.get(), names::name, optional_str(record.name).get());
    set_item(dict.get(), names::serializer, optional_str(record.serializer).get());

    Ref inputs = Ref::borrow(Py_None);
    if (record.inputs) {
        inputs = owned(PyDict_New());
        for (const auto& [parameter, reference] : *record.inputs)
            check(PyDict_SetItem(inputs.get(), new_str(parameter).get(), new_str(reference).get()));
    }
    Ref partitions = Ref::borrow(Py_None);
    if (record.partitions) {
        partitions = owned(PyDict_New());
        for (const auto& [dimension, values] : *record.partitions) {
            Ref spec = owned(PyDict_New());
            set_item(spec.get(), names::kind, names::inline_.get());
            set_item(spec.get(), names::values_json, values_json(values).get());
            check(PyDict_SetItem(partitions.get(), new_str(dimension).get(), spec.get()));
        }
    }
    set_item(dict.get(), names::inputs, inputs.get());
    set_item(dict.get(), names::partitions, partitions.get());
    return dict;
}

Ref asset(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    PyObject* bound[4];
    bind_args(signature, args, nargsf, kwnames, bound);
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
}

}  // namespace mervo::declare
