// Errors, the PanicException type and the conversions of the C-API layer.
#include "capi.hpp"

#include <climits>
#include <cstring>

namespace mervo {

namespace {

PyObject* g_panic_type = nullptr;  // set once, under the interpreter lock

constexpr const char* panic_doc =
    "Raised when native code called from Python fails internally.\n\n"
    "Like SystemExit, it derives from BaseException so that ordinary exception\n"
    "handlers do not catch it and it propagates through the stack.";

// Takes the pending exception as one normalised instance with its traceback attached.
Ref take_pending() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return Ref::steal(PyErr_GetRaisedException());
#else
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    if (type == nullptr)
        return Ref();
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb != nullptr && value != nullptr)
        PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return Ref::steal(value);
#endif
}

void set_pending(Ref value) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(value.release());
#else
    PyObject* exc = value.release();
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc));
    Py_INCREF(type);
    PyErr_Restore(type, exc, PyException_GetTraceback(exc));
#endif
}

void set_panic(const char* message) noexcept {
    PyObject* type = nullptr;
    try {
        type = panic_exception_type();
    } catch (...) {
        // Creating the type failed and left its error pending; report that instead.
        return;
    }
    PyErr_SetString(type, message);
}

// Prints the notice and the traceback of a PanicException that came back through Python.
[[noreturn]] void resume_panic(Ref exc) {
    std::string message = "panic";
    if (Ref text = Ref::steal(PyObject_Str(exc.get()))) {
        Py_ssize_t size = 0;
        if (const char* data = PyUnicode_AsUTF8AndSize(text.get(), &size))
            message.assign(data, static_cast<size_t>(size));
    }
    PyErr_Clear();
    PySys_WriteStderr("--- PanicException from Python code, resuming the native fault ---\n");
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_DisplayException(exc.get());
#else
    Ref tb = Ref::steal(PyException_GetTraceback(exc.get()));
    PyErr_Display(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get(), tb.get());
#endif
    PyErr_Clear();
    throw Panic(std::move(message));
}

}  // namespace

PyObject* panic_exception_type() {
    if (g_panic_type == nullptr) [[unlikely]] {
        g_panic_type = PyErr_NewExceptionWithDoc("_mervo.PanicException", panic_doc, PyExc_BaseException,
                                                 nullptr);
        if (g_panic_type == nullptr)
            throw PythonError(take_pending());
    }
    return g_panic_type;
}

PythonError PythonError::fetch() {
    Ref value = take_pending();
    if (!value) [[unlikely]] {
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        value = take_pending();
    }
    if (g_panic_type != nullptr && PyObject_TypeCheck(value.get(), reinterpret_cast<PyTypeObject*>(g_panic_type)))
        resume_panic(std::move(value));
    return PythonError(std::move(value));
}

PythonError PythonError::make(PyObject* exc_type, std::string_view message) {
    PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
    if (text != nullptr) {
        PyErr_SetObject(exc_type, text);
        Py_DECREF(text);
    }
    return fetch();
}

void PythonError::restore() noexcept { set_pending(std::move(value_)); }

PythonError PythonError::with_prefix(std::string_view prefix) && {
    Ref text = Ref::steal(PyObject_Str(value_.get()));
    if (!text) {
        PyErr_Clear();
        return std::move(*this);
    }
    Ref head = Ref::steal(PyUnicode_FromStringAndSize(prefix.data(), static_cast<Py_ssize_t>(prefix.size())));
    Ref full = head ? Ref::steal(PyUnicode_Concat(head.get(), text.get())) : Ref();
    Ref renamed = full ? Ref::steal(PyObject_CallOneArg(type(), full.get())) : Ref();
    if (!renamed || !PyExceptionInstance_Check(renamed.get())) {
        PyErr_Clear();
        return std::move(*this);
    }
    // Keep the chain and where it was raised.
    PyException_SetCause(renamed.get(), PyException_GetCause(value_.get()));
    if (Ref tb = Ref::steal(PyException_GetTraceback(value_.get())))
        PyException_SetTraceback(renamed.get(), tb.get());
    return PythonError(std::move(renamed));
}

void panic(std::string message) { throw Panic(std::move(message)); }

void raise(PyObject* exc_type, std::string_view message) { throw PythonError::make(exc_type, message); }

namespace detail {

void restore_current_exception() noexcept {
    try {
        throw;
    } catch (PythonError& e) {
        e.restore();
    } catch (Panic& p) {
        set_panic(p.what());
    } catch (std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (std::exception& e) {
        set_panic(e.what());
    } catch (...) {
        set_panic("unknown C++ exception");
    }
}

}  // namespace detail

Ref type_name(PyTypeObject* type, bool qualified) {
#if PY_VERSION_HEX >= 0x030B0000
    return owned(qualified ? PyType_GetQualName(type) : PyType_GetName(type));
#else
    // What the two functions of 3.11 read, without the attribute lookup a metaclass can take over.
    if (type->tp_flags & Py_TPFLAGS_HEAPTYPE) {
        auto* heap = reinterpret_cast<PyHeapTypeObject*>(type);
        return Ref::borrow(qualified ? heap->ht_qualname : heap->ht_name);
    }
    const char* dot = std::strrchr(type->tp_name, '.');
    return owned(PyUnicode_FromString(dot != nullptr ? dot + 1 : type->tp_name));
#endif
}

std::string type_qualname(PyObject* obj) { return as_string(type_name(Py_TYPE(obj), true).get()); }

std::string exception_text(PyObject* exc) {
    Ref name = type_name(Py_TYPE(exc), true);
    if (!PyUnicode_Check(name.get())) [[unlikely]]
        raise_conversion(name.get(), "PyString");
    std::string text = as_utf8_lossy(name.get());
    text += ": ";
    if (Ref str = Ref::steal(PyObject_Str(exc))) {
        append_utf8_lossy(str.get(), text);
    } else {
        (void)PythonError::fetch();  // discarded like a failed lookup; a PanicException resumes
        text += "<exception str() failed>";
    }
    return text;
}

void raise_conversion(PyObject* obj, const char* expected) {
    std::string message = "'";
    message += type_qualname(obj);
    message += "' object cannot be converted to '";
    message += expected;
    message += '\'';
    raise(PyExc_TypeError, message);
}

namespace {

void append_code_point(Py_UCS4 c, std::string& out) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

}  // namespace

void append_utf8_lossy(PyObject* text, std::string& out) {
    Py_ssize_t size = 0;
    if (const char* data = PyUnicode_AsUTF8AndSize(text, &size)) [[likely]] {
        out.append(data, static_cast<size_t>(size));
        return;
    }
    PythonError error = PythonError::fetch();
    if (!error.matches(PyExc_UnicodeEncodeError))
        throw std::move(error);
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(text) < 0)
        throw PythonError::fetch();
#endif
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    for (Py_ssize_t i = 0; i < length; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        append_code_point(c >= 0xD800 && c <= 0xDFFF ? 0xFFFD : c, out);
    }
}

long long as_int64(PyObject* obj) {
    if (!PyLong_Check(obj)) [[unlikely]]
        raise_conversion(obj, "PyLong");
    long long value = PyLong_AsLongLong(obj);
    if (value == -1 && PyErr_Occurred()) [[unlikely]]
        throw PythonError::fetch();
    return value;
}

bool as_bool(PyObject* obj) {
    if (!PyBool_Check(obj)) [[unlikely]]
        raise_conversion(obj, "PyBool");
    return obj == Py_True;
}

Ref new_str(std::string_view text) {
    return owned(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

Ref import(const char* module) { return owned(PyImport_ImportModule(module)); }

Ref getattr(PyObject* obj, const char* name) { return owned(PyObject_GetAttrString(obj, name)); }

PyTypeObject* create_type(PyTypeObject*& cell, PyType_Spec& spec) {
    if (cell == nullptr)
        cell = reinterpret_cast<PyTypeObject*>(owned(PyType_FromSpec(&spec)).release());
    return cell;
}

PyTypeObject* type_for_instances(PyTypeObject* (*get)(), const char* name) {
    try {
        return get();
    } catch (PythonError& error) {
        error.restore();
        PyErr_PrintEx(0);
        panic(std::string("failed to create type object for ") + name);
    }
}

Ref optional_attr(PyObject* obj, Name& name) {
    PyObject* result = nullptr;
#if PY_VERSION_HEX >= 0x030D0000
    const int found = PyObject_GetOptionalAttr(obj, name.get(), &result);
#else
    const int found = _PyObject_LookupAttr(obj, name.get(), &result);
#endif
    if (found < 0) [[unlikely]]
        (void)PythonError::fetch();
    return Ref::steal(result);
}

Ref next_item(PyObject* iterator) {
    PyObject* item = PyIter_Next(iterator);
    if (item == nullptr && PyErr_Occurred()) [[unlikely]]
        throw PythonError::fetch();
    return Ref::steal(item);
}

}  // namespace mervo
