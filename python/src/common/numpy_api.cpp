#include "numpy_api.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "error.hpp"
#include "errors.hpp"

namespace morvanta::py::numpy {

namespace {

// The array and descriptor object headers; these leading fields have kept their
// layout across NumPy 1.x and 2.x.
struct ArrayFields {
    PyObject_HEAD char* data;
    int nd;
    Py_ssize_t* dimensions;
    Py_ssize_t* strides;
    PyObject* base;
    PyObject* descr;
    int flags;
};

struct DescrFields {
    PyObject_HEAD PyTypeObject* typeobj;
    char kind;
    char type;
    char byteorder;
    char former_flags;
    int type_num;
};

void** api = nullptr;

PyTypeObject* array_type() { return static_cast<PyTypeObject*>(api[2]); }
using DescrFromType = PyObject* (*)(int);
using EquivTypes = unsigned char (*)(PyObject*, PyObject*);

bool load() {
    Ref np(PyImport_ImportModule("numpy"));
    if (!np) return false;
    Ref version(PyObject_GetAttrString(np.get(), "__version__"));
    if (!version) return false;
    const char* v = PyUnicode_Check(version.get()) ? PyUnicode_AsUTF8AndSize(version.get(), nullptr) : nullptr;
    if (!v) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "numpy.__version__ is not a string");
        return false;
    }
    long major = std::strtol(v, nullptr, 10);
    Ref mod(PyImport_ImportModule(major >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray"));
    if (!mod) return false;
    Ref capsule(PyObject_GetAttrString(mod.get(), "_ARRAY_API"));
    if (!capsule) return false;
    void* table = PyCapsule_GetPointer(capsule.get(), nullptr);
    if (!table) return false;
    api = static_cast<void**>(table);  // the capsule lives as long as NumPy does: for the process
    return true;
}

bool native_order(const DescrFields* d) {
    const std::uint16_t probe = 1;
    const bool little = *reinterpret_cast<const unsigned char*>(&probe) == 1;
    return d->byteorder == '=' || d->byteorder == '|' || (little ? d->byteorder == '<' : d->byteorder == '>');
}

bool numpy_in_sys_modules() {
    PyObject* modules = PySys_GetObject("modules");  // borrowed
    return modules && PyDict_Check(modules) && PyDict_GetItemString(modules, "numpy") != nullptr;
}

// The exact-ndarray, one-dimensional precondition of the bulk paths.
const ArrayFields* plain_1d_array(PyObject* obj) {
    if (!api) {
        if (!numpy_in_sys_modules()) return nullptr;  // cannot be an array: NumPy was never imported
        if (!load()) {
            if (!interrupt_pending()) PyErr_Clear();
            return nullptr;
        }
    }
    if (Py_TYPE(obj) != array_type()) return nullptr;
    auto* a = reinterpret_cast<const ArrayFields*>(obj);
    if (a->nd != 1) return nullptr;
    return a;
}

// MemoryError for a copy of `bytes` bytes that exceeds what one request may be
// granted; `what` describes the array ("a 10 x 10 float32 array").
bool refuse_copy(const char* param, ByteCount bytes, const std::string& what) {
    const std::string text = "cannot allocate " + to_decimal(bytes) + " bytes for " + what;
    if (param) PyErr_Format(PyExc_MemoryError, "argument '%s': %s", param, text.c_str());
    else PyErr_SetString(PyExc_MemoryError, text.c_str());
    return false;
}

bool fits(const char* param, std::size_t n, std::size_t elem_size, const char* noun) {
    const ByteCount bytes = byte_count({n}, elem_size);
    if (bytes <= alloc_limit()) return true;
    return refuse_copy(param, bytes, std::to_string(n) + " " + noun);
}

template <class Src>
void widen(const ArrayFields* a, std::vector<double>& out) {
    const Py_ssize_t n = a->dimensions[0];
    const Py_ssize_t step = a->strides[0];
    const char* p = a->data;
    if constexpr (std::is_same_v<Src, double>) {
        if (step == static_cast<Py_ssize_t>(sizeof(double)) &&
            reinterpret_cast<std::uintptr_t>(p) % alignof(double) == 0) {
            const double* d = reinterpret_cast<const double*>(p);
            out.assign(d, d + n);  // one pass, no zero-fill first
            return;
        }
    }
    out.resize(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i, p += step) {
        if constexpr (std::is_same_v<Src, bool>) {
            // Read as a byte: a bool array viewed from other bytes may hold any
            // value, and loading 2 as a C++ bool is undefined.
            unsigned char v;
            std::memcpy(&v, p, 1);
            out[static_cast<std::size_t>(i)] = v != 0 ? 1.0 : 0.0;
        } else {
            Src v;
            std::memcpy(&v, p, sizeof v);
            out[static_cast<std::size_t>(i)] = static_cast<double>(v);
        }
    }
}

std::string type_name(PyObject* obj) {
    Ref n(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__name__"));
    if (!n) {
        PyErr_Clear();
        return "object";
    }
    const char* s = PyUnicode_AsUTF8AndSize(n.get(), nullptr);
    if (!s) {
        PyErr_Clear();
        return "object";
    }
    return s;
}

// Copies element (i, j) at data + i*s0 + j*s1 into row-major `dst`, in tiles so
// that Fortran-ordered and transposed inputs stay cache friendly.
template <class T>
void gather(const char* data, Py_ssize_t rows, Py_ssize_t cols, Py_ssize_t s0, Py_ssize_t s1, T* dst) {
    const Py_ssize_t size = static_cast<Py_ssize_t>(sizeof(T));
    if (s1 == size) {
        if (s0 == cols * size) {
            std::memcpy(dst, data, static_cast<std::size_t>(rows * cols) * sizeof(T));
            return;
        }
        for (Py_ssize_t i = 0; i < rows; ++i)
            std::memcpy(dst + i * cols, data + i * s0, static_cast<std::size_t>(cols) * sizeof(T));
        return;
    }
    constexpr Py_ssize_t tile = 32;
    for (Py_ssize_t i0 = 0; i0 < rows; i0 += tile) {
        const Py_ssize_t i1 = std::min(rows, i0 + tile);
        for (Py_ssize_t j0 = 0; j0 < cols; j0 += tile) {
            const Py_ssize_t j1 = std::min(cols, j0 + tile);
            for (Py_ssize_t j = j0; j < j1; ++j)
                for (Py_ssize_t i = i0; i < i1; ++i) std::memcpy(dst + i * cols + j, data + i * s0 + j * s1, sizeof(T));
        }
    }
}

// A large copy spends much of its time faulting in fresh 4 KiB pages; asking
// for transparent huge pages on the reserved (not yet touched) buffer lets the
// copy fault in 2 MiB at a time. Only advice: results never depend on it.
void prefer_huge_pages(void* p, std::size_t bytes) noexcept {
#if defined(MADV_HUGEPAGE)
    constexpr std::uintptr_t kHuge = std::uintptr_t{2} << 20;
    if (bytes < 8 * kHuge) return;
    const auto begin = (reinterpret_cast<std::uintptr_t>(p) + kHuge - 1) & ~(kHuge - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(p) + bytes) & ~(kHuge - 1);
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)p;
    (void)bytes;
#endif
}

// Bytes copied between two looks at pending signals.
constexpr std::size_t kSliceBytes = std::size_t{32} << 20;

template <class T>
bool copy_2d_impl(PyObject* obj, int type_num, Matrix<T>& out, const char* param) {
    if (!ensure_loaded()) return false;
    const char* want = type_num == kDouble ? "float64" : "float32";
    if (!PyObject_TypeCheck(obj, array_type())) {
        std::string got = type_name(obj);
        PyErr_Format(PyExc_TypeError, "expected a two-dimensional NumPy array of %s, got %s", want, got.c_str());
        return false;
    }
    auto* a = reinterpret_cast<const ArrayFields*>(obj);
    if (a->nd != 2) {
        PyErr_Format(PyExc_TypeError, "expected a two-dimensional NumPy array of %s, got %d dimension(s)", want, a->nd);
        return false;
    }
    Ref wanted(reinterpret_cast<DescrFromType>(api[45])(type_num));
    if (!wanted) return false;
    if (!reinterpret_cast<EquivTypes>(api[182])(a->descr, wanted.get())) {
        Ref dt(PyObject_Str(a->descr));
        if (dt)
            PyErr_Format(PyExc_TypeError, "expected a two-dimensional NumPy array of %s, got dtype %U", want, dt.get());
        return false;
    }
    const Py_ssize_t rows = a->dimensions[0], cols = a->dimensions[1];
    // A view can claim far more elements than it stores (zero strides); the copy
    // is refused before anything is allocated.
    const ByteCount bytes = byte_count({static_cast<std::size_t>(rows), static_cast<std::size_t>(cols)}, sizeof(T));
    if (bytes > alloc_limit())
        return refuse_copy(param, bytes,
                           "a " + std::to_string(rows) + " x " + std::to_string(cols) + " " + want + " array");
    out.rows = static_cast<std::size_t>(rows);
    out.cols = static_cast<std::size_t>(cols);
    out.data.clear();
    if (rows == 0 || cols == 0) return true;
    // Copied in slices of whole rows, between which pending signals are handled:
    // the lock is held throughout, and the copy of a large input would otherwise
    // keep Ctrl-C waiting until it ends.
    const Py_ssize_t slice = std::max<Py_ssize_t>(1, static_cast<Py_ssize_t>(kSliceBytes / sizeof(T)) / cols);
    const Py_ssize_t size = static_cast<Py_ssize_t>(sizeof(T));
    if (a->strides[1] == size && a->strides[0] == cols * size &&
        reinterpret_cast<std::uintptr_t>(a->data) % alignof(T) == 0) {
        // Contiguous: straight from the array into reserved space, no zero-fill first.
        const T* p = reinterpret_cast<const T*>(a->data);
        const std::size_t n = static_cast<std::size_t>(rows * cols);
        out.data.reserve(n);
        prefer_huge_pages(out.data.data(), n * sizeof(T));
        for (Py_ssize_t r = 0; r < rows; r += slice) {
            if (r > 0 && PyErr_CheckSignals() < 0) return false;
            const Py_ssize_t end = std::min(rows, r + slice);
            out.data.insert(out.data.end(), p + r * cols, p + end * cols);
        }
        return true;
    }
    out.data.resize(out.rows * out.cols);
    for (Py_ssize_t r = 0; r < rows; r += slice) {
        if (r > 0 && PyErr_CheckSignals() < 0) return false;
        const Py_ssize_t n = std::min(rows - r, slice);
        gather<T>(a->data + r * a->strides[0], n, cols, a->strides[0], a->strides[1], out.data.data() + r * cols);
    }
    return true;
}

}  // namespace

bool ensure_loaded() {
    if (api) return true;
    if (load()) return true;
    // Ctrl-C during NumPy's import is the interrupt, not a fault of the loader.
    if (interrupt_pending()) return false;
    // Surface the loader's own failure text through the internal-fault type.
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    Ref t(type), v(value), traceback(tb);
    std::string msg = "failed to load NumPy's C API";
    if (v) {
        Ref s(PyObject_Str(v.get()));
        const char* c = s ? PyUnicode_AsUTF8AndSize(s.get(), nullptr) : nullptr;
        if (c) msg += std::string(": ") + c;
        PyErr_Clear();
    }
    raise_internal(msg);
    return false;
}

int copy_1d_as_double(PyObject* obj, std::vector<double>& out, const char* param) {
    const ArrayFields* a = plain_1d_array(obj);
    if (!a) return PyErr_Occurred() ? -1 : 0;
    auto* d = reinterpret_cast<const DescrFields*>(a->descr);
    if (!native_order(d)) return 0;
    if (d->type_num >= 0 && d->type_num <= 12 &&
        !fits(param, static_cast<std::size_t>(a->dimensions[0]), sizeof(double), "numbers"))
        return -1;
    switch (d->type_num) {
        case 0: widen<bool>(a, out); return 1;
        case 1: widen<signed char>(a, out); return 1;
        case 2: widen<unsigned char>(a, out); return 1;
        case 3: widen<short>(a, out); return 1;
        case 4: widen<unsigned short>(a, out); return 1;
        case 5: widen<int>(a, out); return 1;
        case 6: widen<unsigned int>(a, out); return 1;
        case 7: widen<long>(a, out); return 1;
        case 8: widen<unsigned long>(a, out); return 1;
        case 9: widen<long long>(a, out); return 1;
        case 10: widen<unsigned long long>(a, out); return 1;
        case 11: widen<float>(a, out); return 1;
        case 12: widen<double>(a, out); return 1;
        default: return 0;  // half, long double, complex, object, ...: item by item
    }
}

int copy_1d_bool(PyObject* obj, std::vector<std::uint8_t>& out, const char* param) {
    const ArrayFields* a = plain_1d_array(obj);
    if (!a) return PyErr_Occurred() ? -1 : 0;
    auto* d = reinterpret_cast<const DescrFields*>(a->descr);
    if (d->type_num != kBool) return 0;
    const Py_ssize_t n = a->dimensions[0], step = a->strides[0];
    if (!fits(param, static_cast<std::size_t>(n), 1, "booleans")) return -1;
    out.resize(static_cast<std::size_t>(n));
    // Bytes, not C++ bools: any non-zero byte is true.
    const unsigned char* p = reinterpret_cast<const unsigned char*>(a->data);
    for (Py_ssize_t i = 0; i < n; ++i, p += step) out[static_cast<std::size_t>(i)] = *p != 0 ? 1 : 0;
    return 1;
}

bool copy_2d(PyObject* obj, int type_num, MatrixF64& out, const char* param) {
    return copy_2d_impl(obj, type_num, out, param);
}
bool copy_2d(PyObject* obj, int type_num, MatrixF32& out, const char* param) {
    return copy_2d_impl(obj, type_num, out, param);
}

}  // namespace morvanta::py::numpy
