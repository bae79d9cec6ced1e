// morvanta._engine: native entry points beyond the detector classes (permutation
// tests, calibration, fitted baselines and breakdowns, pool control, value
// state for pickling). It shares src/common with morvanta._native and
// works on that module's classes and exception, which it imports at start-up.
//
// Each capability lives in its own file and registers its functions with a
// file-level `Register` object; the module collects them at initialisation.
#pragma once

#include <initializer_list>
#include <vector>

#include "binding.hpp"
#include "boxed.hpp"
#include "convert.hpp"
#include "detectors/detectors.hpp"
#include "errors.hpp"
#include "gil.hpp"
#include "module_state.hpp"
#include "ref.hpp"

namespace morvanta::py::engine {

// The methods every file registered, in registration order.
std::vector<PyMethodDef>& registry();

struct Register {
    Register(std::initializer_list<PyMethodDef> methods) {
        for (const PyMethodDef& m : methods) registry().push_back(m);
    }
};

template <class F>
PyCFunction cfunc(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f));
}

// Helpers for functions that take detector objects of morvanta._native.
template <class Det>
const Det* detector_of(PyObject* obj, PyTypeObject* type) {
    return obj && PyObject_TypeCheck(obj, type) ? &unbox<Det>(obj) : nullptr;
}

}  // namespace morvanta::py::engine
