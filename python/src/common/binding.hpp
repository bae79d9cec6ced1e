// Binding the positional and keyword arguments of a call to parameter names,
// with CPython's own wording for every mistake.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <span>

#include "ref.hpp"

namespace morvanta::py {

// Binds positional and keyword arguments to `names` (all positional-or-keyword;
// the first `required` are mandatory). out[i] receives a borrowed reference or
// nullptr for an omitted optional parameter. `fname` is e.g. "DataDrift.detect()".
bool bind_args(const char* fname, std::span<const char* const> names, std::size_t required, PyObject* args,
               PyObject* kwargs, PyObject** out);
inline bool bind_args(const char* fname, std::initializer_list<const char*> names, std::size_t required, PyObject* args,
                      PyObject* kwargs, PyObject** out) {
    return bind_args(fname, std::span<const char* const>(names.begin(), names.size()), required, args, kwargs, out);
}

// The receiver check of unbound calls.
bool check_receiver(PyObject* self, PyTypeObject* type, const char* fname);

}  // namespace morvanta::py
