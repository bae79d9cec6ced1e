// Module entry point: builds morvanta._native once per process and hands the
// same module object back on every later initialisation in that interpreter.
#include "native.hpp"
#include "version.hpp"

namespace morvanta::py {
namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_native",
    nullptr,  // no docstring
    0,        // re-initialisation calls the entry point again, which returns the cached module
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

bool add(PyObject* module, PyObject* all, const char* name, PyObject* value) {
    if (!value) return false;
    Ref v(value);
    if (PyModule_AddObjectRef(module, name, v.get()) < 0) return false;
    Ref n(PyUnicode_FromString(name));
    return n && PyList_Append(all, n.get()) == 0;
}

PyObject* build() {
    if (!find_signal_thread()) return nullptr;
    Ref module(PyModule_Create(&module_def));
    if (!module) return nullptr;

    g.morvanta_error = PyErr_NewException("morvanta._native.MorvantaError", PyExc_Exception, nullptr);
    g.internal_error = PyErr_NewException("morvanta._native.InternalError", PyExc_BaseException, nullptr);
    if (!g.morvanta_error || !g.internal_error) {
        PyErr_Clear();
        PyErr_SetString(g.internal_error ? g.internal_error : PyExc_SystemError,
                        "Failed to initialize new exception type.");
        return nullptr;
    }

    Ref all(PyList_New(0));
    if (!all || PyModule_AddObjectRef(module.get(), "__all__", all.get()) < 0) return nullptr;

    struct Entry {
        const char* name;
        PyTypeObject* (*make)();
        PyTypeObject** slot;
    };
    const Entry classes[] = {
        {"DriftScore", make_drift_score_type, &g.drift_score},
        {"DriftReport", make_drift_report_type, &g.drift_report},
        {"BaselineSnapshot", make_baseline_snapshot_type, &g.baseline_snapshot},
        {"EmbeddingDrift", make_embedding_drift_type, &g.embedding_drift},
        {"DataDrift", make_data_drift_type, &g.data_drift},
        {"ResponseDrift", make_response_drift_type, &g.response_drift},
        {"ConfidenceDrift", make_confidence_drift_type, &g.confidence_drift},
        {"QueryDrift", make_query_drift_type, &g.query_drift},
    };

    if (!add(module.get(), all.get(), "__version__", PyUnicode_FromString(kVersion))) return nullptr;
    Py_INCREF(g.morvanta_error);
    if (!add(module.get(), all.get(), "MorvantaError", g.morvanta_error)) return nullptr;
    for (const Entry& e : classes) {
        PyTypeObject* type = e.make();
        if (!type) return nullptr;
        *e.slot = type;  // the module's own reference keeps the class for the process
        Py_INCREF(type);
        if (!add(module.get(), all.get(), e.name, reinterpret_cast<PyObject*>(type))) return nullptr;
    }
    // The internal-fault type is reachable but not exported.
    Py_INCREF(g.internal_error);
    if (PyModule_AddObject(module.get(), "InternalError", g.internal_error) < 0) {
        Py_DECREF(g.internal_error);
        return nullptr;
    }
    return module.release();
}

}  // namespace
}  // namespace morvanta::py

PyMODINIT_FUNC PyInit__native(void) {
    using namespace morvanta::py;
    // The classes, exceptions and NumPy's API table are process-wide; only the
    // main interpreter may build them. A subinterpreter is refused before
    // anything is touched, so that the main interpreter can still import the
    // module later.
    const std::int64_t interp = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interp != 0) {
        PyErr_SetString(PyExc_ImportError, "morvanta._native can only be imported by the main interpreter");
        return nullptr;
    }
    if (g.module) {
        Py_INCREF(g.module);
        return g.module;
    }
    PyObject* m = build();
    if (!m) return nullptr;
    g.module = m;
    Py_INCREF(m);  // held for the life of the process
    return m;
}
