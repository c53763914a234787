// The entry point PyInit__mervo, the module definition and its member table.
#include "capi.hpp"
#include "declare.hpp"
#include "names.hpp"
#include "partitions.hpp"
#include "wrapper.hpp"
#include "inspection.hpp"
#include "materialize.hpp"

#include <atomic>
#include <cstdint>

namespace mervo {

namespace {

// Docstrings as stored: the first line and "--" give the interpreter the text signature.
constexpr const char asset_doc[] = R"doc(asset(*, name=None, inputs=None, partitions=None, serializer=None)
--

Decorator that registers a Python function as a mervo asset.

Usage
-----
    from mervo import asset

    @asset()
    def my_data():
        return {"value": 42}

Parameters
----------
name : str, optional
    Override the asset's display name / continuity key.
    Defaults to ``"<file>:<function_name>"``.
inputs : dict[str, asset], optional
    Declare upstream dependencies.  Map parameter names to other
    ``@asset``-decorated functions.  Mervo will materialize upstream
    assets first and pass their values as keyword arguments.

    Example::

        @asset()
        def raw(): return [1, 2, 3]

        @asset(inputs={"data": raw})
        def processed(data): return [x * 2 for x in data]

partitions : dict[str, partitions(...)], optional
    Declare a partitioned asset.  Each dimension maps to a
    ``partitions([...])`` call that enumerates the static partition keys.
    Mervo will create one materialization job per partition combination.

    Example::

        from mervo import asset, partitions

        @asset(partitions={"ticker": partitions(["AAPL", "MSFT", "GOOG"])})
        def prices(ticker: str):
            return fetch_price(ticker)

serializer : str, optional
    Reserved for future use.  Leave unset.)doc";

constexpr const char partitions_doc[] = R"doc(partitions(values)
--

Declare a static partition universe for use with ``@asset(partitions=...)``.

Example::

    from mervo import asset, partitions

    @asset(partitions={"ticker": partitions(["AAPL", "MSFT", "GOOG"])})
    def prices(ticker: str): ...)doc";

constexpr const char inspect_modules_doc[] = R"doc(inspect_modules(modules)
--

Inspect modules for mervo assets. Called by the `python -m mervo.inspect` CLI stub.

Imports each module, finds functions with `__mervo_kind__ == "asset"`,
extracts source and metadata, returns JSON string to stdout.)doc";

constexpr const char materialize_asset_doc[] = R"doc(materialize_asset(module_name, function_name, output_dir, input_kwargs_json=None)
--

Materialize a single asset function. Called by the `python -m mervo.worker` CLI stub.

Imports the module, finds the function, calls the unwrapped original,
serializes the result to JSON, writes value.json and result.json.

If `input_kwargs_json` is provided, it is parsed as a JSON dict and
passed as keyword arguments to the function.)doc";

// Process-global record; the module is never torn down.
std::atomic<int64_t> g_interpreter{-1};
PyObject* g_module = nullptr;

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_mervo",                       // m_name
    "The native `_mervo` module.",  // m_doc
    0,                              // m_size: all state is process-global
    nullptr,                        // m_methods: functions are added by the initialiser
    nullptr,                        // m_slots: single-phase initialisation
    nullptr,
    nullptr,
    nullptr,
};

PyMethodDef functions[] = {
    {"asset", fastcall<declare::asset>(), METH_FASTCALL | METH_KEYWORDS, asset_doc},
    {"partitions", fastcall<declare::partitions>(), METH_FASTCALL | METH_KEYWORDS, partitions_doc},
    {"inspect_modules", fastcall<inspection::inspect_modules>(), METH_FASTCALL | METH_KEYWORDS,
     inspect_modules_doc},
    {"materialize_asset", fastcall<materialize::materialize_asset>(), METH_FASTCALL | METH_KEYWORDS,
     materialize_asset_doc},
};

// Appends `name` to the module's __all__, creating the list when the module has none.
void append_to_all(PyObject* module, const char* name) {
    Ref all = Ref::steal(PyObject_GetAttr(module, names::dunder_all.get()));
    if (!all) {
        PythonError error = PythonError::fetch();
        if (!error.matches(PyExc_AttributeError))
            throw std::move(error);
        all = owned(PyList_New(0));
        check(PyObject_SetAttr(module, names::dunder_all.get(), all.get()));
    }
    if (!PyList_Check(all.get()))
        raise_conversion(all.get(), "PyList");
    Ref text = new_str(name);
    if (PyList_Append(all.get(), text.get()) < 0) {
        PyErr_Clear();
        panic("could not append __name__ to __all__");
    }
}

void add_member(PyObject* module, const char* name, PyObject* value) {
    append_to_all(module, name);
    check(PyObject_SetAttrString(module, name, value));
}

void add_type(PyObject* module, const char* name, PyTypeObject* type) {
    add_member(module, name, reinterpret_cast<PyObject*>(type));
}

void add_function(PyObject* module, PyMethodDef& def) {
    Ref module_name = owned(PyModule_GetNameObject(module));
    Ref function = owned(PyCFunction_NewEx(&def, module, module_name.get()));
    add_member(module, def.ml_name, function.get());
}

Ref create_module() {
    Ref module = owned(PyModule_Create2(&module_def, 1013));
    add_type(module.get(), "AssetWrapper", declare::asset_wrapper_type());
    add_type(module.get(), "Partitions", declare::partitions_type());
    for (PyMethodDef& def : functions)
        add_function(module.get(), def);
    return module;
}

Ref import_module() {
    PyInterpreterState* interpreter = PyInterpreterState_Get();
    const int64_t id = PyInterpreterState_GetID(interpreter);
    if (id == -1)
        throw PythonError::fetch();
    int64_t recorded = -1;
    if (!g_interpreter.compare_exchange_strong(recorded, id) && recorded != id)
        raise(PyExc_ImportError,
              "_mervo does not support sub-interpreters: it is already loaded by another interpreter "
              "of this process");
    if (g_module != nullptr)
        return Ref::borrow(g_module);
    Ref module = create_module();
    g_module = module.copy().release();
    return module;
}

}  // namespace

}  // namespace mervo

PyMODINIT_FUNC PyInit__mervo(void) {
    return mervo::entry<mervo::import_module>();
}
