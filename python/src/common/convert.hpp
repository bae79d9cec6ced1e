// Conversions of bound arguments into core values (numbers, sequences,
// matrices). Each returns false with a Python exception set. A plain TypeError
// is re-raised as "argument '<param>': <message>" (keeping the original's
// __cause__); any other failure, e.g. the OverflowError of a negative integer,
// passes unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "matrix.hpp"
#include "ref.hpp"

namespace morvanta::py {

// The reservation for a sequence's items: its __len__ when that works (0 when it
// fails), capped at kMaxLengthHint items (the length is a hint, never trusted
// for memory). False only when an interrupt was raised meanwhile, left pending.
inline constexpr std::size_t kMaxLengthHint = std::size_t{1} << 20;
bool length_hint(PyObject* obj, std::size_t& out);

bool arg_float(const char* param, PyObject* obj, double& out);
bool arg_u64(const char* param, PyObject* obj, std::uint64_t& out);
bool arg_size(const char* param, PyObject* obj, std::size_t& out);
bool arg_float_seq(const char* param, PyObject* obj, std::vector<double>& out);
bool arg_bool_seq(const char* param, PyObject* obj, std::vector<std::uint8_t>& out);
bool arg_matrix_f64(const char* param, PyObject* obj, MatrixF64& out);
bool arg_matrix_f32(const char* param, PyObject* obj, MatrixF32& out);

}  // namespace morvanta::py
