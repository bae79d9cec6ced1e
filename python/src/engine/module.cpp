// Entry point of morvanta._engine. It imports morvanta._native first and takes
// its exception and class objects, so that both modules raise the same
// MorvantaError and build the same DriftScore.
#include "engine.hpp"
#include "version.hpp"

namespace morvanta::py::engine {

std::vector<PyMethodDef>& registry() {
    static std::vector<PyMethodDef> methods;
    return methods;
}

namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_engine",
    "Native engines behind morvanta's package API (not a public interface).",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

bool take(PyObject* native, const char* name, PyObject** slot) {
    PyObject* o = PyObject_GetAttrString(native, name);
    if (!o) return false;
    *slot = o;  // kept for the life of the process, as _native keeps its own
    return true;
}

template <class T>
bool take_type(PyObject* native, const char* name, T** slot) {
    PyObject* o = nullptr;
    if (!take(native, name, &o)) return false;
    if (!PyType_Check(o)) {
        PyErr_Format(PyExc_ImportError, "morvanta._native.%s is not a class", name);
        return false;
    }
    *slot = reinterpret_cast<T*>(o);
    return true;
}

// Both modules are built from one tree: a _native of another version (a stale
// file left beside this one) would hand over classes of another layout.
bool same_version(PyObject* native) {
    Ref version(PyObject_GetAttrString(native, "__version__"));
    if (!version) return false;
    if (PyUnicode_Check(version.get()) && PyUnicode_CompareWithASCIIString(version.get(), kVersion) == 0) return true;
    PyErr_Format(PyExc_ImportError, "morvanta._engine %s cannot work with morvanta._native %R", kVersion,
                 version.get());
    return false;
}

PyObject* build() {
    Ref native(PyImport_ImportModule("morvanta._native"));
    if (!native) return nullptr;
    if (!same_version(native.get())) return nullptr;
    if (!find_signal_thread()) return nullptr;
    if (!take(native.get(), "MorvantaError", &g.morvanta_error) ||
        !take(native.get(), "InternalError", &g.internal_error) ||
        !take_type(native.get(), "DriftScore", &g.drift_score) ||
        !take_type(native.get(), "DriftReport", &g.drift_report) ||
        !take_type(native.get(), "BaselineSnapshot", &g.baseline_snapshot) ||
        !take_type(native.get(), "EmbeddingDrift", &g.embedding_drift) ||
        !take_type(native.get(), "DataDrift", &g.data_drift) ||
        !take_type(native.get(), "ResponseDrift", &g.response_drift) ||
        !take_type(native.get(), "ConfidenceDrift", &g.confidence_drift) ||
        !take_type(native.get(), "QueryDrift", &g.query_drift))
        return nullptr;

    // The table lives for the process: CPython keeps pointers into it.
    static std::vector<PyMethodDef> table;
    table = registry();
    table.push_back({nullptr, nullptr, 0, nullptr});
    module_def.m_methods = table.data();
    Ref m(PyModule_Create(&module_def));
    if (!m || PyModule_AddStringConstant(m.get(), "__version__", kVersion) < 0) return nullptr;
    return m.release();
}

}  // namespace
}  // namespace morvanta::py::engine

PyMODINIT_FUNC PyInit__engine(void) {
    using namespace morvanta::py;
    // Like morvanta._native: process-wide state, built by the main interpreter only.
    const std::int64_t interp = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interp != 0) {
        PyErr_SetString(PyExc_ImportError, "morvanta._engine can only be imported by the main interpreter");
        return nullptr;
    }
    if (g.module) {
        Py_INCREF(g.module);
        return g.module;
    }
    PyObject* m = engine::build();
    if (!m) return nullptr;
    g.module = m;
    Py_INCREF(m);
    return m;
}
