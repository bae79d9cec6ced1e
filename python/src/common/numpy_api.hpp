// NumPy's C API, loaded lazily from the `_ARRAY_API` capsule of its multiarray
// module at the first array conversion; importing this module never imports NumPy.
#pragma once

#include <cstdint>
#include <vector>

#include "matrix.hpp"
#include "ref.hpp"

namespace morvanta::py::numpy {

enum TypeNum : int { kBool = 0, kDouble = 12, kFloat = 11 };

// Loads the API table once per process. False with the internal fault raised.
bool ensure_loaded();

// Bulk copy of an exact (non-subclass) one-dimensional ndarray of a native real
// numeric dtype, giving the same doubles as converting item by item. Boolean
// elements are read as bytes, any non-zero byte giving 1.
// Returns 0 when the object does not qualify (nothing set), 1 when copied, -1 on
// error: MemoryError, naming `param` when given, for an array whose copy the
// machine cannot hold (a zero-stride view can claim any length).
int copy_1d_as_double(PyObject* obj, std::vector<double>& out, const char* param = nullptr);
// The same for a one-dimensional boolean ndarray.
int copy_1d_bool(PyObject* obj, std::vector<std::uint8_t>& out, const char* param = nullptr);

// Two-dimensional ndarray (subclasses allowed) whose dtype is equivalent to
// `type_num`, any strides; copied in logical order into a row-major matrix.
// MemoryError, naming `param` when given, when the copy cannot be held, e.g.
// "argument 'baseline': cannot allocate 4000000000000 bytes for a 1000000 x
// 1000000 float32 array".
bool copy_2d(PyObject* obj, int type_num, MatrixF64& out, const char* param = nullptr);
bool copy_2d(PyObject* obj, int type_num, MatrixF32& out, const char* param = nullptr);

}  // namespace morvanta::py::numpy
