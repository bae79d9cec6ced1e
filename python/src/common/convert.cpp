#include "convert.hpp"

#include <algorithm>

#include "errors.hpp"
#include "numpy_api.hpp"

namespace morvanta::py {

namespace {

// Replaces a pending plain TypeError by "argument '<param>': <text>", keeping
// the original exception's __cause__; anything else stays as raised.
void prefix_type_error(const char* param) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (type != PyExc_TypeError) {
        PyErr_Restore(type, value, tb);
        return;
    }
    PyErr_NormalizeException(&type, &value, &tb);
    Ref t(type), v(value), traceback(tb);
    Ref text(v ? PyObject_Str(v.get()) : PyUnicode_FromString(""));
    if (!text) return;
    Ref msg(PyUnicode_FromFormat("argument '%s': %U", param, text.get()));
    if (!msg) return;
    Ref exc(PyObject_CallFunctionObjArgs(PyExc_TypeError, msg.get(), nullptr));
    if (!exc) return;
    if (v) {
        PyObject* cause = PyException_GetCause(v.get());    // new reference or NULL
        if (cause) PyException_SetCause(exc.get(), cause);  // steals
    }
    PyErr_SetObject(PyExc_TypeError, exc.get());
}

template <class F>
bool converted(const char* param, F&& f) {
    if (f()) return true;
    prefix_type_error(param);
    return false;
}

bool to_double(PyObject* obj, double& out) {
    double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) return false;
    out = v;
    return true;
}

bool to_u64(PyObject* obj, std::uint64_t& out) {
    Ref idx(PyNumber_Index(obj));
    if (!idx) return false;
    unsigned long long v = PyLong_AsUnsignedLongLong(idx.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = static_cast<std::uint64_t>(v);
    return true;
}

bool refuse_text_or_nonsequence(PyObject* obj, const char* what) {
    if (PyUnicode_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "expected a sequence of %s, not str", what);
        return true;
    }
    if (!PySequence_Check(obj)) {
        Ref tname(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__name__"));
        if (tname) PyErr_Format(PyExc_TypeError, "expected a sequence of %s, not %U", what, tname.get());
        return true;
    }
    return false;
}

}  // namespace

bool length_hint(PyObject* obj, std::size_t& out) {
    out = 0;
    Py_ssize_t n = PySequence_Size(obj);
    if (n < 0) {
        if (interrupt_pending()) return false;
        PyErr_Clear();
        return true;
    }
    // Only a hint: a __len__ may claim 2**40 items for a list of three. Past the
    // cap the vector grows as items actually arrive.
    out = std::min(static_cast<std::size_t>(n), kMaxLengthHint);
    return true;
}

namespace {

template <class Item>
bool iterate(PyObject* obj, Item&& item) {
    Ref it(PyObject_GetIter(obj));
    if (!it) return false;
    while (PyObject* raw = PyIter_Next(it.get())) {
        Ref o(raw);
        if (!item(o.get())) return false;
    }
    return !PyErr_Occurred();
}

bool is_numpy_bool_scalar(PyObject* obj) {
    static PyTypeObject* cached = nullptr;  // the NumPy bool type once recognised
    PyTypeObject* tp = Py_TYPE(obj);
    if (cached) return tp == cached;
    PyObject* t = reinterpret_cast<PyObject*>(tp);
    Ref mod(PyObject_GetAttrString(t, "__module__"));
    if (!mod) {
        PyErr_Clear();
        return false;
    }
    Ref name(PyObject_GetAttrString(t, "__name__"));
    if (!name) {
        PyErr_Clear();
        return false;
    }
    if (!PyUnicode_Check(mod.get()) || !PyUnicode_Check(name.get())) return false;
    bool match = PyUnicode_CompareWithASCIIString(mod.get(), "numpy") == 0 &&
                 (PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
                  PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0);
    if (match) {
        Py_INCREF(t);  // kept for the life of the process
        cached = tp;
    }
    return match;
}

}  // namespace

bool arg_float(const char* param, PyObject* obj, double& out) {
    return converted(param, [&] { return to_double(obj, out); });
}

bool arg_u64(const char* param, PyObject* obj, std::uint64_t& out) {
    return converted(param, [&] { return to_u64(obj, out); });
}

bool arg_size(const char* param, PyObject* obj, std::size_t& out) {
    std::uint64_t v = 0;
    if (!arg_u64(param, obj, v)) return false;
    out = static_cast<std::size_t>(v);
    return true;
}

bool arg_float_seq(const char* param, PyObject* obj, std::vector<double>& out) {
    return converted(param, [&] {
        if (refuse_text_or_nonsequence(obj, "numbers")) return false;
        int fast = numpy::copy_1d_as_double(obj, out, param);
        if (fast != 0) return fast > 0;
        out.clear();
        std::size_t hint = 0;
        if (!length_hint(obj, hint)) return false;
        out.reserve(hint);
        return iterate(obj, [&](PyObject* item) {
            double v;
            if (!to_double(item, v)) return false;
            out.push_back(v);
            return true;
        });
    });
}

bool arg_bool_seq(const char* param, PyObject* obj, std::vector<std::uint8_t>& out) {
    return converted(param, [&] {
        if (refuse_text_or_nonsequence(obj, "booleans")) return false;
        int fast = numpy::copy_1d_bool(obj, out, param);
        if (fast != 0) return fast > 0;
        out.clear();
        std::size_t hint = 0;
        if (!length_hint(obj, hint)) return false;
        out.reserve(hint);
        return iterate(obj, [&](PyObject* item) {
            if (PyBool_Check(item)) {
                out.push_back(item == Py_True ? 1 : 0);
                return true;
            }
            if (is_numpy_bool_scalar(item)) {
                int t = PyObject_IsTrue(item);
                if (t < 0) return false;
                out.push_back(t ? 1 : 0);
                return true;
            }
            Ref tname(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(item)), "__name__"));
            if (tname)
                PyErr_Format(PyExc_TypeError, "expected a sequence of booleans, found an item of type %U", tname.get());
            return false;
        });
    });
}

bool arg_matrix_f64(const char* param, PyObject* obj, MatrixF64& out) {
    return converted(param, [&] { return numpy::copy_2d(obj, numpy::kDouble, out, param); });
}

bool arg_matrix_f32(const char* param, PyObject* obj, MatrixF32& out) {
    return converted(param, [&] { return numpy::copy_2d(obj, numpy::kFloat, out, param); });
}

}  // namespace morvanta::py
