// Boxing of core values into Python objects: heap types whose instances hold a
// C++ value, and the DriftScore result (whose class belongs to morvanta._native).
#pragma once

#include <new>
#include <optional>
#include <type_traits>
#include <utility>

#include "error.hpp"
#include "ref.hpp"
#include "types.hpp"

namespace morvanta::py {

template <class T>
struct Boxed {
    PyObject_HEAD T value;
};

template <class T>
T& unbox(PyObject* o) noexcept {
    return reinterpret_cast<Boxed<T>*>(o)->value;
}

// New instance of `type` owning `value`; nullptr with MemoryError raised when
// allocation fails.
template <class T>
PyObject* box_new(PyTypeObject* type, T&& value) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* o = alloc ? alloc(type, 0) : nullptr;
    if (!o) {
        if (PyErr_Occurred()) PyErr_Clear();
        PyErr_SetString(PyExc_MemoryError, "failed to allocate a result object");
        return nullptr;
    }
    new (&reinterpret_cast<Boxed<std::decay_t<T>>*>(o)->value) std::decay_t<T>(std::forward<T>(value));
    return o;
}

template <class T>
void boxed_dealloc(PyObject* self) noexcept {
    PyTypeObject* tp = Py_TYPE(self);
    reinterpret_cast<Boxed<T>*>(self)->value.~T();
    auto tp_free = reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free));
    tp_free(self);
    Py_DECREF(tp);
}

// Builds the heap type "morvanta._native.<name>" from its slots. Final,
// immutable, without instance dictionary.
PyTypeObject* make_type(const char* qualname, int basicsize, PyType_Slot* slots);

// A Python DriftScore from a core record.
PyObject* new_drift_score(DriftScore score);
// DriftScore, or MorvantaError for a core failure; empty optional means a fault is set.
PyObject* score_or_raise(std::optional<Result<DriftScore>>&& r);

}  // namespace morvanta::py
