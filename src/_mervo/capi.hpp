// The C-API layer: owned references, Python errors as C++ exceptions, and the boundary guard.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>
#include <string>
#include <string_view>
#include <utility>

namespace mervo {

// An owning reference: the destructor drops it, moves leave the source empty.
class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = std::exchange(p_, std::exchange(other.p_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    // Takes over a reference the caller already owns (may be null).
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    // Adds a reference of our own to a borrowed one (may be null).
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    Ref copy() const noexcept { return borrow(p_); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// A Python exception taken out of the interpreter, to be handed back at the boundary.
class PythonError : public std::exception {
public:
    // Takes the pending exception. A pending PanicException is not an ordinary error:
    // its notice and traceback are printed and the fault resumes as a Panic.
    [[gnu::cold]] static PythonError fetch();
    // Makes a fresh exception of `type` with `message` (UTF-8).
    [[gnu::cold]] static PythonError make(PyObject* type, std::string_view message);

    explicit PythonError(Ref value) noexcept : value_(std::move(value)) {}
    PythonError(PythonError&&) noexcept = default;
    PythonError& operator=(PythonError&&) noexcept = default;

    // Sets this error as the interpreter's pending exception.
    void restore() noexcept;
    PyObject* value() const noexcept { return value_.get(); }
    PyObject* type() const noexcept { return reinterpret_cast<PyObject*>(Py_TYPE(value_.get())); }
    bool matches(PyObject* exc_type) const noexcept {
        return PyErr_GivenExceptionMatches(type(), exc_type) != 0;
    }
    // The same error with `prefix` put in front of its message, of the same type.
    // Falls back to the error itself when its type cannot be built from one text.
    [[gnu::cold]] PythonError with_prefix(std::string_view prefix) &&;

    const char* what() const noexcept override { return "Python exception"; }

private:
    Ref value_;  // always a normalised exception instance
};

// A broken invariant of our own; reaches Python as PanicException.
class Panic : public std::exception {
public:
    explicit Panic(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

[[noreturn, gnu::cold]] void panic(std::string message);
[[noreturn, gnu::cold]] void raise(PyObject* exc_type, std::string_view message);

// The PanicException type, created once per process on first need.
PyObject* panic_exception_type();

// Owns a new reference returned by the C API; a null result means a pending error.
inline Ref owned(PyObject* p) {
    if (p == nullptr) [[unlikely]]
        throw PythonError::fetch();
    return Ref::steal(p);
}

// Throws the pending error when a C API call reports failure (-1).
inline void check(int status) {
    if (status < 0) [[unlikely]]
        throw PythonError::fetch();
}

namespace detail {
[[gnu::cold]] void restore_current_exception() noexcept;
}

// Runs an entry point's body. No C++ exception leaves it: Python errors are restored,
// internal faults become PanicException and exhausted memory MemoryError.
template <class Body>
PyObject* boundary(Body&& body) noexcept {
    try {
        return body().release();
    } catch (...) {
        detail::restore_current_exception();
        return nullptr;
    }
}

template <class Body>
int boundary_int(Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        detail::restore_current_exception();
        return -1;
    }
}

// For slots that cannot report to a caller (deallocation): errors go to the unraisable hook.
template <class Body>
void boundary_unraisable(Body&& body, PyObject* context) noexcept {
    try {
        body();
    } catch (...) {
        detail::restore_current_exception();
        PyErr_WriteUnraisable(context);
    }
}

// --- entry points ------------------------------------------------------------------------
//
// Every function the interpreter calls (module functions, type slots, getters) is written
// as a body that may throw and is handed over only as entry<body>: a noexcept function of
// the same parameters that runs the body through the boundary. A body returns Ref (a new
// reference, or null with the error pending), int (0, or -1 with the error pending) or
// void (deallocation: errors go to the unraisable hook with the object as context).

namespace detail {

template <auto Body, class F = decltype(Body)>
struct Entry;

template <auto Body, class... Args>
struct Entry<Body, Ref (*)(Args...)> {
    static PyObject* call(Args... args) noexcept {
        return boundary([&] { return Body(args...); });
    }
};

template <auto Body, class... Args>
struct Entry<Body, int (*)(Args...)> {
    static int call(Args... args) noexcept {
        return boundary_int([&] { return Body(args...); });
    }
};

template <auto Body, class... Args>
struct Entry<Body, void (*)(PyObject*, Args...)> {
    static void call(PyObject* self, Args... args) noexcept {
        boundary_unraisable([&] { Body(self, args...); }, self);
    }
};

}  // namespace detail

template <auto Body>
inline constexpr auto entry = &detail::Entry<Body>::call;

// A slot of a PyType_Spec that the interpreter calls; data slots (doc, member and getter
// tables) are spelled out where they are listed.
template <int Id, auto Body>
constexpr PyType_Slot slot() {
    return {Id, reinterpret_cast<void*>(entry<Body>)};
}

// A module-level or bound built-in function with the fast calling convention and keywords.
template <auto Body>
constexpr PyCFunction fastcall() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<Body>));
}

// --- the module's types ----------------------------------------------------------------

// A type object made from its spec on first need and kept for the process.
PyTypeObject* create_type(PyTypeObject*& cell, PyType_Spec& spec);

// The type objects were made when the module was imported; needing one later and not
// having it is a broken invariant: the error is printed and the fault raised.
PyTypeObject* type_for_instances(PyTypeObject* (*get)(), const char* name);

// Fresh, zeroed memory for an instance of `type` (holding a reference to the type; tracked
// by the cycle collector when the type takes part in it).
template <class Object>
Object* allocate(PyTypeObject* type) {
    PyObject* obj = type->tp_alloc(type, 0);
    if (obj == nullptr) [[unlikely]]
        throw PythonError::fetch();
    return reinterpret_cast<Object*>(obj);
}

// The tp_new of a type without a constructor: "No constructor defined for {name}".
template <const char* Name>
Ref no_constructor(PyTypeObject*, PyObject*, PyObject*) {
    raise(PyExc_TypeError, std::string("No constructor defined for ") + Name);
}

// --- conversions -------------------------------------------------------------------------

// The qualified or plain name of a type, read from the type object itself, so that a
// metaclass cannot change or break it.
Ref type_name(PyTypeObject* type, bool qualified);

// `__qualname__` of an object's type, as conversion messages name it.
std::string type_qualname(PyObject* obj);

// "{type qualname}: {str(exc)}" with lone surrogates as U+FFFD, or the type's name and
// "<exception str() failed>" when str() itself raises; the one text for a recorded or
// printed exception. Throws only when the type's name cannot be read.
[[gnu::cold]] std::string exception_text(PyObject* exc);

// "'{type}' object cannot be converted to '{expected}'", as TypeError.
[[noreturn, gnu::cold]] void raise_conversion(PyObject* obj, const char* expected);

// A `str` (or subclass) as UTF-8; the view lives as long as the object.
inline std::string_view as_utf8(PyObject* obj) {
    if (!PyUnicode_Check(obj)) [[unlikely]]
        raise_conversion(obj, "PyString");
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
    if (data == nullptr) [[unlikely]]
        throw PythonError::fetch();
    return {data, static_cast<size_t>(size)};
}

inline std::string as_string(PyObject* obj) { return std::string(as_utf8(obj)); }

// Appends a str as UTF-8 with lone surrogates (which UTF-8 cannot hold) as U+FFFD, for
// texts that must be written out whatever they hold (exception messages).
void append_utf8_lossy(PyObject* text, std::string& out);
inline std::string as_utf8_lossy(PyObject* text) {
    std::string out;
    append_utf8_lossy(text, out);
    return out;
}

// An `int` (or subclass) that fits 64 bits; OverflowError otherwise.
long long as_int64(PyObject* obj);
bool as_bool(PyObject* obj);

// An interned str for a fixed attribute or method name, made on first use and kept
// for the life of the process.
class Name {
public:
    constexpr explicit Name(const char* text) noexcept : text_(text) {}
    PyObject* get() {
        if (obj_ == nullptr) [[unlikely]] {  // a failure here throws: callers are bodies
            obj_ = PyUnicode_InternFromString(text_);
            if (obj_ == nullptr)
                throw PythonError::fetch();
        }
        return obj_;
    }

private:
    const char* text_;
    PyObject* obj_ = nullptr;
};

Ref new_str(std::string_view text);
Ref import(const char* module);
Ref getattr(PyObject* obj, const char* name);
inline Ref getattr(PyObject* obj, Name& name) { return owned(PyObject_GetAttr(obj, name.get())); }

// An attribute whose failing read only means "not there": any error is dropped (a
// PanicException coming back still resumes as a fault). Where the interpreter can, a
// missing attribute is answered without an AttributeError ever being made.
Ref optional_attr(PyObject* obj, Name& name);

// Advances an iterator; a null Ref at the end, the iterator's error thrown.
Ref next_item(PyObject* iterator);
// Calls obj.name(*args), through the method vectorcall.
template <class... Args>
Ref call_method(PyObject* obj, Name& name, Args... args) {
    PyObject* argv[] = {obj, args...};
    return owned(PyObject_VectorcallMethod(name.get(), argv, (sizeof...(Args) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                           nullptr));
}
template <class... Args>
Ref call(PyObject* callable, Args... args) {
    PyObject* argv[] = {nullptr, args...};
    return owned(PyObject_Vectorcall(callable, argv + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                     nullptr));
}

}  // namespace mervo
