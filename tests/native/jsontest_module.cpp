// Test-only extension exposing the JSON unit (writer and reader) to pytest.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "json_doc.hpp"

#include <string>

using mervo::Json;

namespace {

PyObject* str_of(const std::string& s) { return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())); }

// Python value -> tree, built natively so the writer is tested apart from the reader.
bool to_tree(PyObject* obj, Json& out) {
    if (obj == Py_None) {
        out = nullptr;
    } else if (PyBool_Check(obj)) {
        out = obj == Py_True;
    } else if (PyLong_Check(obj)) {
        int overflow = 0;
        long long value = PyLong_AsLongLongAndOverflow(obj, &overflow);
        if (overflow == 0 && value < 0) {
            out = static_cast<Json::number_integer_t>(value);
        } else {
            unsigned long long u = PyLong_AsUnsignedLongLong(obj);
            if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred())
                return false;
            out = static_cast<Json::number_unsigned_t>(u);
        }
    } else if (PyFloat_Check(obj)) {
        out = PyFloat_AS_DOUBLE(obj);
    } else if (PyUnicode_Check(obj)) {
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
        if (data == nullptr)
            return false;
        out = std::string(data, static_cast<size_t>(size));
    } else if (PyList_Check(obj) || PyTuple_Check(obj)) {
        out = Json::array();
        PyObject* seq = PySequence_Fast(obj, "");
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq); ++i) {
            Json item;
            if (!to_tree(PySequence_Fast_GET_ITEM(seq, i), item)) {
                Py_DECREF(seq);
                return false;
            }
            out.push_back(std::move(item));
        }
        Py_DECREF(seq);
    } else if (PyDict_Check(obj)) {
        out = Json::object();
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(obj, &pos, &key, &value)) {
            Py_ssize_t size = 0;
            const char* k = PyUnicode_AsUTF8AndSize(key, &size);
            Json item;
            if (k == nullptr || !to_tree(value, item))
                return false;
            out[std::string(k, static_cast<size_t>(size))] = std::move(item);
        }
    } else {
        PyErr_Format(PyExc_TypeError, "unsupported type %s", Py_TYPE(obj)->tp_name);
        return false;
    }
    return true;
}

PyObject* from_tree(const Json& value) {
    switch (value.type()) {
        case Json::value_t::null:
            Py_RETURN_NONE;
        case Json::value_t::boolean:
            return PyBool_FromLong(value.get<bool>());
        case Json::value_t::number_unsigned:
            return PyLong_FromUnsignedLongLong(value.get<Json::number_unsigned_t>());
        case Json::value_t::number_integer:
            return PyLong_FromLongLong(value.get<Json::number_integer_t>());
        case Json::value_t::number_float:
            return PyFloat_FromDouble(value.get<double>());
        case Json::value_t::string: {
            const auto& s = value.get_ref<const std::string&>();
            return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
        }
        case Json::value_t::array: {
            PyObject* list = PyList_New(0);
            for (const Json& item : value) {
                PyObject* x = from_tree(item);
                if (x == nullptr || PyList_Append(list, x) < 0) {
                    Py_XDECREF(x);
                    Py_DECREF(list);
                    return nullptr;
                }
                Py_DECREF(x);
            }
            return list;
        }
        case Json::value_t::object: {
            PyObject* dict = PyDict_New();
            for (const auto& [k, item] : value.items()) {
                PyObject* x = from_tree(item);
                PyObject* key = str_of(k);
                if (x == nullptr || key == nullptr || PyDict_SetItem(dict, key, x) < 0) {
                    Py_XDECREF(key);
                    Py_XDECREF(x);
                    Py_DECREF(dict);
                    return nullptr;
                }
                Py_DECREF(key);
                Py_DECREF(x);
            }
            return dict;
        }
        default:
            PyErr_SetString(PyExc_ValueError, "unexpected tree node");
            return nullptr;
    }
}


// dump(obj) -> compact text of the natively built tree
PyObject* dump(PyObject*, PyObject* obj) {
    Json tree;
    if (!to_tree(obj, tree))
        return nullptr;
    return str_of(mervo::write_json(tree));
}

bool read(PyObject* arg, Json& tree) {
    Py_ssize_t size = 0;
    const char* data = nullptr;
    if (PyBytes_Check(arg)) {
        data = PyBytes_AS_STRING(arg);
        size = PyBytes_GET_SIZE(arg);
    } else if ((data = PyUnicode_AsUTF8AndSize(arg, &size)) == nullptr) {
        return false;
    }
    mervo::JsonError error;
    if (!mervo::read_json(std::string_view(data, static_cast<size_t>(size)), tree, error)) {
        PyObject* text = str_of(error.text());
        PyObject* exc = Py_BuildValue("(Onn)", text, static_cast<Py_ssize_t>(error.line),
                                      static_cast<Py_ssize_t>(error.column));
        PyErr_SetObject(PyExc_ValueError, exc);
        Py_XDECREF(text);
        Py_XDECREF(exc);
        return false;
    }
    return true;
}

// load(text or bytes) -> Python value; ValueError((text, line, column)) when refused
PyObject* load(PyObject*, PyObject* arg) {
    Json tree;
    return read(arg, tree) ? from_tree(tree) : nullptr;
}

// rewrite(text or bytes) -> compact text of what the reader built
PyObject* rewrite(PyObject*, PyObject* arg) {
    Json tree;
    return read(arg, tree) ? str_of(mervo::write_json(tree)) : nullptr;
}

PyObject* format_double(PyObject*, PyObject* arg) {
    double value = PyFloat_AsDouble(arg);
    if (value == -1.0 && PyErr_Occurred())
        return nullptr;
    std::string out;
    mervo::write_double(value, out);
    return str_of(out);
}

PyMethodDef methods[] = {
    {"dump", dump, METH_O, nullptr},
    {"load", load, METH_O, nullptr},
    {"rewrite", rewrite, METH_O, nullptr},
    {"format_double", format_double, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_mervo_jsontest", nullptr, -1, methods,
                          nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__mervo_jsontest(void) { return PyModule_Create(&module_def); }
