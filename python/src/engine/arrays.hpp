// NumPy arrays built from core buffers (copies, owned by the array), for the
// values _engine hands back: fitted state, breakdowns, decoded JSON.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "matrix.hpp"
#include "ref.hpp"

namespace morvanta::py::engine {

PyObject* f64_array(const double* v, std::size_t n);
PyObject* f64_matrix(const double* v, std::size_t rows, std::size_t cols);
PyObject* i64_array(const std::uint64_t* v, std::size_t n);
PyObject* f32_matrix(const MatrixF32& m);
PyObject* bool_array(const std::vector<std::uint8_t>& v);

}  // namespace morvanta::py::engine
