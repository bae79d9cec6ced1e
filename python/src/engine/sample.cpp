// Row priorities of the bottom-k baseline sample (see core/src/sample/priority.hpp):
// one seeded 64-bit hash per row of a C-contiguous buffer of fixed-width rows.
#include "engine.hpp"
#include "sample/priority.hpp"

namespace morvanta::py::engine {
namespace {

PyObject* row_priorities(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* a[4];
        if (!bind_args("row_priorities()", {"rows", "row_bytes", "n_rows", "seed"}, 4, args, kwargs, a)) return nullptr;
        std::size_t row_bytes = 0, n_rows = 0;
        std::uint64_t seed = 0;
        if (!arg_size("row_bytes", a[1], row_bytes) || !arg_size("n_rows", a[2], n_rows) ||
            !arg_u64("seed", a[3], seed))
            return nullptr;
        // bytes, not any buffer: the limited API of the oldest supported Python has no buffer protocol.
        if (!PyBytes_Check(a[0])) {
            PyErr_SetString(PyExc_TypeError, "argument 'rows': expected bytes (the rows back to back)");
            return nullptr;
        }
        char* buf = nullptr;
        Py_ssize_t len = 0;
        if (PyBytes_AsStringAndSize(a[0], &buf, &len) < 0) return nullptr;
        const std::span<const std::uint8_t> data(reinterpret_cast<const std::uint8_t*>(buf),
                                                 static_cast<std::size_t>(len));
        if (row_bytes != 0 && (n_rows > data.size() / row_bytes || data.size() != n_rows * row_bytes)) {
            PyErr_Format(PyExc_ValueError, "argument 'rows': %zd bytes, expected n_rows * row_bytes = %zu * %zu", len,
                         n_rows, row_bytes);
            return nullptr;
        }
        auto r = without_gil([&] { return sample::row_priorities(data, row_bytes, n_rows, seed); });
        if (!r) return nullptr;
        if (!r->ok()) return raise_drift(r->error());
        const std::vector<std::uint64_t>& p = r->value();
        // Little-endian bytes on every platform, so the values read back alike.
        std::vector<std::uint8_t> bytes(p.size() * 8);
        for (std::size_t i = 0; i < p.size(); ++i)
            for (int k = 0; k < 8; ++k) bytes[i * 8 + k] = static_cast<std::uint8_t>(p[i] >> (8 * k));
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                         static_cast<Py_ssize_t>(bytes.size()));
    });
}

constexpr int kFlags = METH_VARARGS | METH_KEYWORDS;

const Register reg{
    {"row_priorities", cfunc(row_priorities), kFlags,
     "row_priorities(rows, row_bytes, n_rows, seed)\n--\n\n"
     "The bottom-k priority of each of n_rows rows of row_bytes bytes (bytes, rows back to back): "
     "little-endian uint64 bytes."},
};

}  // namespace
}  // namespace morvanta::py::engine
