// The JSON text of saved baselines, written from and read into Python values:
// floats in shortest round-trip form, float32 matrices in the snapshot's form
// and read back as float32, never through a Python float.
#include <cmath>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "arrays.hpp"
#include "engine.hpp"
#include "json/reader.hpp"
#include "json/writer.hpp"

namespace morvanta::py::engine {
namespace {

// Non-finite numbers have no JSON literal; inside the state they are written
// as these strings, which no finite number can be confused with.
constexpr std::string_view kNaN = "NaN", kInf = "Infinity", kNegInf = "-Infinity";

void put_number(json::TextBuffer& out, double v) {
    if (std::isnan(v)) out.put_string(kNaN);
    else if (std::isinf(v)) out.put_string(v > 0 ? kInf : kNegInf);
    else out.put_double(v);
}

void put_number32(json::TextBuffer& out, float v) {
    if (std::isnan(v)) out.put_string(kNaN);
    else if (std::isinf(v)) out.put_string(v > 0 ? kInf : kNegInf);
    else out.put_float(v);
}

bool dump(json::TextBuffer& out, PyObject* obj, int depth);

// NumPy arrays: float64 (any shape, written flat), float32 2-D (the snapshot's
// matrix form), integer and bool arrays through tolist().
bool dump_array(json::TextBuffer& out, PyObject* obj, int depth) {
    Ref dtype(PyObject_GetAttrString(obj, "dtype"));
    if (!dtype) return false;
    Ref kind(PyObject_GetAttrString(dtype.get(), "char"));
    if (!kind) return false;
    const char* k = PyUnicode_AsUTF8AndSize(kind.get(), nullptr);
    if (!k) return false;
    if (std::strcmp(k, "d") == 0) {
        std::vector<double> v;
        Ref flat(PyObject_CallMethod(obj, "ravel", nullptr));
        if (!flat || !arg_float_seq("array", flat.get(), v)) return false;
        out.put('[');
        for (std::size_t i = 0; i < v.size(); ++i) {
            if (i) out.put(',');
            put_number(out, v[i]);
        }
        out.put(']');
        return true;
    }
    if (std::strcmp(k, "f") == 0) {
        MatrixF32 m;
        if (!arg_matrix_f32("array", obj, m)) return false;
        out.put("{\"v\":1,\"dim\":[");
        out.put_u64(m.rows);
        out.put(',');
        out.put_u64(m.cols);
        out.put("],\"data\":[");
        for (std::size_t i = 0; i < m.data.size(); ++i) {
            if (i) out.put(',');
            put_number32(out, m.data[i]);
        }
        out.put("]}");
        return true;
    }
    Ref list(PyObject_CallMethod(obj, "tolist", nullptr));
    return list && dump(out, list.get(), depth + 1);
}

bool dump(json::TextBuffer& out, PyObject* obj, int depth) {
    if (depth > 64) {
        PyErr_SetString(PyExc_ValueError, "json_dump: nesting too deep");
        return false;
    }
    if (obj == Py_None) {
        out.put("null");
        return true;
    }
    if (PyBool_Check(obj)) {
        out.put_bool(obj == Py_True);
        return true;
    }
    if (PyLong_Check(obj)) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
        if (overflow > 0) {
            const unsigned long long u = PyLong_AsUnsignedLongLong(obj);
            if (PyErr_Occurred()) return false;
            out.put_u64(u);
            return true;
        }
        if (overflow < 0 || (v == -1 && PyErr_Occurred())) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_OverflowError, "json_dump: integer out of range");
            return false;
        }
        out.put_i64(v);
        return true;
    }
    if (PyFloat_Check(obj)) {
        put_number(out, PyFloat_AsDouble(obj));
        return true;
    }
    if (PyUnicode_Check(obj)) {
        Py_ssize_t n = 0;
        const char* s = PyUnicode_AsUTF8AndSize(obj, &n);
        if (!s) return false;
        out.put_string(std::string_view(s, static_cast<std::size_t>(n)));
        return true;
    }
    if (PyDict_Check(obj)) {
        out.put('{');
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        bool first = true;
        while (PyDict_Next(obj, &pos, &key, &value)) {
            if (!PyUnicode_Check(key)) {
                PyErr_SetString(PyExc_TypeError, "json_dump: keys must be str");
                return false;
            }
            if (!first) out.put(',');
            first = false;
            if (!dump(out, key, depth + 1)) return false;
            out.put(':');
            if (!dump(out, value, depth + 1)) return false;
        }
        out.put('}');
        return true;
    }
    if (PyList_Check(obj) || PyTuple_Check(obj)) {
        Ref seq(PySequence_Fast(obj, "json_dump"));
        if (!seq) return false;
        const Py_ssize_t n = PySequence_Size(seq.get());
        out.put('[');
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (i) out.put(',');
            Ref item(PySequence_GetItem(seq.get(), i));
            if (!item || !dump(out, item.get(), depth + 1)) return false;
        }
        out.put(']');
        return true;
    }
    if (PyObject_HasAttrString(obj, "__array_interface__")) return dump_array(out, obj, depth);
    Ref tn(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__name__"));
    PyErr_Format(PyExc_TypeError, "json_dump: cannot write %S", tn ? tn.get() : Py_None);
    return false;
}

PyObject* json_dump(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* a[1];
        if (!bind_args("json_dump()", {"obj"}, 1, args, kwargs, a)) return nullptr;
        json::TextBuffer out(1 << 16);
        if (!dump(out, a[0], 0)) return nullptr;
        const std::string s = std::move(out).take();
        return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
    });
}

// Reading: objects become dicts, except the matrix form {"v":1,"dim":[r,c],
// "data":[...]}, which becomes a float32 array read element by element as
// float32 (never through a double). Arrays of numbers (and the non-finite
// strings among numbers) become float64 arrays; other arrays lists.
struct Loader {
    json::Reader rd;
    PyObject* np = nullptr;

    bool special(const std::string& s, double& v) {
        if (s == kNaN) v = std::nan("");
        else if (s == kInf) v = INFINITY;
        else if (s == kNegInf) v = -INFINITY;
        else return false;
        return true;
    }

    PyObject* fail_py() {
        PyErr_Format(PyExc_ValueError, "%s", rd.error().c_str());
        return nullptr;
    }

    PyObject* number() {
        json::NumberToken tok;
        if (!rd.scan_number(tok)) return fail_py();
        const std::string text(tok.begin, tok.end);
        if (tok.integer) return PyLong_FromString(text.c_str(), nullptr, 10);
        double v = 0.0;
        json::Reader sub(text);
        if (!sub.read_f64(v)) {
            PyErr_Format(PyExc_ValueError, "%s", sub.error().c_str());
            return nullptr;
        }
        return PyFloat_FromDouble(v);
    }

    PyObject* matrix_body(std::size_t rows, std::size_t cols) {
        // After the "data" key's colon.
        if (rd.peek() != '[') {
            rd.type_error("an array");
            return fail_py();
        }
        rd.advance();
        MatrixF32 m(rows, cols);
        std::size_t n = 0;
        for (bool first = true;; first = false) {
            const int e = rd.next_element(first);
            if (e < 0) return fail_py();
            if (e == 0) break;
            if (n >= m.data.size()) {
                rd.fail("matrix data longer than its dimensions");
                return fail_py();
            }
            float v = 0.0f;
            if (rd.peek() == '"') {
                rd.advance();
                std::string s;
                double dv = 0.0;
                if (!rd.read_string_body(&s)) return fail_py();
                if (!special(s, dv)) {
                    rd.fail("invalid matrix element");
                    return fail_py();
                }
                v = static_cast<float>(dv);
            } else if (!rd.read_f32(v)) {
                return fail_py();
            }
            m.data[n++] = v;
        }
        if (n != m.data.size()) {
            rd.fail("matrix data shorter than its dimensions");
            return fail_py();
        }
        return f32_matrix(m);
    }

    PyObject* object(int depth) {
        rd.advance();  // '{'
        Ref d(PyDict_New());
        if (!d) return nullptr;
        std::string key;
        // The matrix form is recognised by its keys, in the order the writers use.
        std::size_t dims[2] = {0, 0};
        int matrix_state = 0;  // 1: saw v, 2: saw dim
        for (bool first = true;; first = false) {
            const int e = rd.next_key(first, key);
            if (e < 0) return fail_py();
            if (e == 0) break;
            if (!rd.expect_colon()) return fail_py();
            if (first && key == "v") matrix_state = 1;
            if (matrix_state == 2 && key == "data") {
                Ref m(matrix_body(dims[0], dims[1]));
                if (!m) return nullptr;
                // Only whitespace and '}' may follow.
                if (rd.next_key(false, key) != 0) {
                    if (!rd.failed()) rd.fail("unexpected key after matrix data");
                    return fail_py();
                }
                return m.release();
            }
            Ref v(value(depth + 1));
            if (!v) return nullptr;
            if (matrix_state == 1 && key == "dim") {
                Ref seq(PySequence_Fast(v.get(), "dim"));
                if (!seq || PySequence_Size(seq.get()) != 2) {
                    PyErr_Clear();
                    rd.fail("invalid matrix dimensions");
                    return fail_py();
                }
                for (int i = 0; i < 2; ++i) {
                    Ref it(PySequence_GetItem(seq.get(), i));
                    double x = it ? PyFloat_AsDouble(it.get()) : -1.0;
                    if (PyErr_Occurred() || !(x >= 0.0) || x > 1e15 || x != std::floor(x)) {
                        PyErr_Clear();
                        rd.fail("invalid matrix dimensions");
                        return fail_py();
                    }
                    dims[i] = static_cast<std::size_t>(x);
                }
                if (dims[0] != 0 && dims[1] > (std::size_t{1} << 40) / dims[0]) {
                    rd.fail("matrix too large");
                    return fail_py();
                }
                matrix_state = 2;
            } else if (!(matrix_state == 1 && key == "v")) {
                matrix_state = 0;
            }
            if (PyDict_SetItemString(d.get(), key.c_str(), v.get()) != 0) return nullptr;
        }
        return d.release();
    }

    PyObject* array(int depth) {
        rd.advance();  // '['
        std::vector<double> nums;
        Ref list;
        bool numeric = true;
        for (bool first = true;; first = false) {
            const int e = rd.next_element(first);
            if (e < 0) return fail_py();
            if (e == 0) break;
            const int c = rd.peek();
            if (numeric && (c == '-' || (c >= '0' && c <= '9'))) {
                double v = 0.0;
                if (!rd.read_f64(v)) return fail_py();
                nums.push_back(v);
                continue;
            }
            Ref v(value(depth + 1));
            if (!v) return nullptr;
            double sv = 0.0;
            if (numeric && !nums.empty() && PyUnicode_Check(v.get())) {
                const char* s = PyUnicode_AsUTF8AndSize(v.get(), nullptr);
                if (s && special(s, sv)) {
                    nums.push_back(sv);
                    continue;
                }
            }
            if (numeric) {
                numeric = false;
                list = Ref(PyList_New(0));
                if (!list) return nullptr;
                for (double x : nums) {
                    Ref f(PyFloat_FromDouble(x));
                    if (!f || PyList_Append(list.get(), f.get()) != 0) return nullptr;
                }
            }
            if (PyList_Append(list.get(), v.get()) != 0) return nullptr;
        }
        if (numeric) {
            if (nums.empty()) return PyList_New(0);
            return f64_array(nums.data(), nums.size());
        }
        return list.release();
    }

    PyObject* value(int depth) {
        if (depth > 64) {
            rd.fail("nesting too deep");
            return fail_py();
        }
        const int c = rd.peek();
        if (c == '{') return object(depth);
        if (c == '[') return array(depth);
        if (c == '"') {
            rd.advance();
            std::string s;
            if (!rd.read_string_body(&s)) return fail_py();
            return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
        }
        if (c == 't' || c == 'f') {
            // The reader validates the literal; its first byte tells which one.
            if (!rd.skip_value()) return fail_py();
            return Py_NewRef(c == 't' ? Py_True : Py_False);
        }
        if (c == 'n') {
            bool is_null = false;
            if (!rd.try_null(is_null)) return fail_py();
            return Py_NewRef(Py_None);
        }
        if (c == '-' || (c >= '0' && c <= '9')) return number();
        rd.type_error("a value");
        return fail_py();
    }
};

PyObject* json_load(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* a[1];
        if (!bind_args("json_load()", {"text"}, 1, args, kwargs, a)) return nullptr;
        if (!PyUnicode_Check(a[0])) {
            PyErr_SetString(PyExc_TypeError, "argument 'text': expected str");
            return nullptr;
        }
        Py_ssize_t n = 0;
        const char* s = PyUnicode_AsUTF8AndSize(a[0], &n);
        if (!s) return nullptr;
        Loader ld{json::Reader(std::string_view(s, static_cast<std::size_t>(n)))};
        Ref v(ld.value(0));
        if (!v) return nullptr;
        if (!ld.rd.finish()) return ld.fail_py();
        return v.release();
    });
}

const Register reg{
    {"json_dump", cfunc(json_dump), METH_VARARGS | METH_KEYWORDS,
     "json_dump(obj)\n--\n\nCompact JSON text, floats in shortest round-trip form."},
    {"json_load", cfunc(json_load), METH_VARARGS | METH_KEYWORDS,
     "json_load(text)\n--\n\nThe value of JSON text written by json_dump, floats exact."},
};

}  // namespace
}  // namespace morvanta::py::engine
