#include "arrays.hpp"

namespace morvanta::py::engine {
namespace {

PyObject* array_of(const void* data, std::size_t bytes, const char* dtype, std::size_t rows, std::size_t cols,
                   bool matrix) {
    Ref np(PyImport_ImportModule("numpy"));
    if (!np) return nullptr;
    Ref raw(PyBytes_FromStringAndSize(bytes ? static_cast<const char*>(data) : "", static_cast<Py_ssize_t>(bytes)));
    if (!raw) return nullptr;
    Ref flat(PyObject_CallMethod(np.get(), "frombuffer", "Os", raw.get(), dtype));
    if (!flat) return nullptr;
    if (!matrix) return PyObject_CallMethod(flat.get(), "copy", nullptr);
    Ref shaped(
        PyObject_CallMethod(flat.get(), "reshape", "nn", static_cast<Py_ssize_t>(rows), static_cast<Py_ssize_t>(cols)));
    if (!shaped) return nullptr;
    return PyObject_CallMethod(shaped.get(), "copy", nullptr);
}

}  // namespace

PyObject* f64_array(const double* v, std::size_t n) { return array_of(v, n * sizeof(double), "float64", n, 1, false); }
PyObject* f64_matrix(const double* v, std::size_t r, std::size_t c) {
    return array_of(v, r * c * sizeof(double), "float64", r, c, true);
}
PyObject* i64_array(const std::uint64_t* v, std::size_t n) {
    return array_of(v, n * sizeof(std::uint64_t), "int64", n, 1, false);
}
PyObject* f32_matrix(const MatrixF32& m) {
    return array_of(m.data.data(), m.data.size() * sizeof(float), "float32", m.rows, m.cols, true);
}
PyObject* bool_array(const std::vector<std::uint8_t>& v) { return array_of(v.data(), v.size(), "bool", 0, 0, false); }

}  // namespace morvanta::py::engine
