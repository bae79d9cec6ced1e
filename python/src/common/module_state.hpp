// The process-wide objects of an extension module: its module object, the
// exception types and the classes of morvanta._native. _native creates them;
// _engine takes the same objects from _native when it starts.
#pragma once

#include "ref.hpp"

namespace morvanta::py {

struct State {
    PyObject* module = nullptr;
    PyObject* morvanta_error = nullptr;  // MorvantaError(Exception)
    PyObject* internal_error = nullptr;  // InternalError(BaseException)
    PyTypeObject* drift_score = nullptr;
    PyTypeObject* drift_report = nullptr;
    PyTypeObject* baseline_snapshot = nullptr;
    PyTypeObject* embedding_drift = nullptr;
    PyTypeObject* data_drift = nullptr;
    PyTypeObject* response_drift = nullptr;
    PyTypeObject* confidence_drift = nullptr;
    PyTypeObject* query_drift = nullptr;
};
extern State g;

}  // namespace morvanta::py
