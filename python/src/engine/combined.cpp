// The combined (maxT) permutation test of one detector method: the windows come
// as a tuple of the method's arguments per side, and the result is a dict of the
// parts, their standardisation and p-values (see permutation/combined.hpp).
#include <cmath>
#include <cstring>
#include <string>

#include "engine.hpp"
#include "permutation/combined.hpp"
#include "permutation/permutation.hpp"

namespace morvanta::py::engine {
namespace {

using permutation::CombinedOptions;
using permutation::CombinedTest;

// ---------------------------------------------------------------- result

template <class T, class Make>
PyObject* list_of(const std::vector<T>& v, Make make) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(v.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < v.size(); ++i) {
        PyObject* item = make(v[i]);
        if (!item) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals
    }
    return list.release();
}

PyObject* floats(const std::vector<double>& v) {
    return list_of(v, [](double x) { return PyFloat_FromDouble(x); });
}

// The values behind the detector's score, or None where the test did not form it.
PyObject* score_detail(const CombinedTest& t) {
    if (!t.score) return Py_NewRef(Py_None);
    DictBuilder d;
    for (const auto& [name, value] : t.score_detail) d.set(name.c_str(), PyFloat_FromDouble(value));
    return d.done();
}

PyObject* result_dict(const CombinedTest& t) {
    return DictBuilder()
        .set("parts", list_of(t.parts, [](const std::string& s) { return PyUnicode_FromString(s.c_str()); }))
        .set("columns", list_of(t.columns,
                                [](std::ptrdiff_t c) {
                                    return c < 0 ? Py_NewRef(Py_None) : PyLong_FromSsize_t(static_cast<Py_ssize_t>(c));
                                }))
        .set("observed", floats(t.observed))
        .set("mean", floats(t.mean))
        .set("sd", floats(t.sd))
        .set("excluded", list_of(t.excluded, [](std::size_t j) { return PyLong_FromSize_t(j); }))
        .set("statistic", PyFloat_FromDouble(t.statistic))
        .set("p_value", PyFloat_FromDouble(t.p_value))
        .set("p_raw", floats(t.p_raw))
        .set("p_adjusted", floats(t.p_adjusted))
        .set("permutations_run", PyLong_FromSize_t(t.permutations_run))
        .set("stopped", PyBool_FromLong(t.stopped ? 1 : 0))
        .set("n_permutations", PyLong_FromSize_t(t.n_permutations))
        .set("seed", PyLong_FromUnsignedLongLong(t.seed))
        .set("score", t.score ? new_drift_score(*t.score) : Py_NewRef(Py_None))
        .set("score_detail", score_detail(t))
        .done();
}

PyObject* test_or_raise(std::optional<Result<CombinedTest>>&& r) {
    if (!r) return nullptr;
    if (!r->ok()) return raise_drift(r->error());
    return result_dict(r->value());
}

// ---------------------------------------------------------------- arguments

// The method's arguments of one side: a tuple of exactly `n` items, named in
// messages as e.g. "a (lengths, embeddings) tuple".
bool side_tuple(const char* param, PyObject* obj, const char* owner, const char* method, std::size_t n,
                const char* shape, PyObject** items) {
    if (!PyTuple_Check(obj) || static_cast<std::size_t>(PyTuple_Size(obj)) != n) {
        if (PyTuple_Check(obj)) {
            PyErr_Format(PyExc_TypeError, "argument '%s': %s.%s takes a %s tuple per side; got a tuple of %zd", param,
                         owner, method, shape, PyTuple_Size(obj));
            return false;
        }
        Ref name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__name__"));
        if (name)
            PyErr_Format(PyExc_TypeError, "argument '%s': %s.%s takes a %s tuple per side; got %S", param, owner,
                         method, shape, name.get());
        return false;
    }
    for (std::size_t i = 0; i < n; ++i) items[i] = PyTuple_GetItem(obj, static_cast<Py_ssize_t>(i));
    return true;
}

// "baseline[1]": the parameter and the position inside its tuple.
std::string item_name(const char* param, std::size_t i) { return std::string(param) + "[" + std::to_string(i) + "]"; }

bool positive(const char* param, std::size_t v, std::size_t least) {
    if (v >= least) return true;
    PyErr_Format(PyExc_ValueError, "argument '%s': must be >= %zu, got %zu", param, least, v);
    return false;
}

PyObject* unknown_method(PyObject* method, const char* owner, const char* expected) {
    PyErr_Format(PyExc_ValueError, "argument 'method': %s has no permutation form %R; expected %s", owner, method,
                 expected);
    return nullptr;
}

bool is(PyObject* method, const char* name) { return PyUnicode_CompareWithASCIIString(method, name) == 0; }

struct Sides {
    PyObject* b[2] = {nullptr, nullptr};
    PyObject* c[2] = {nullptr, nullptr};
};

bool sides(PyObject* base, PyObject* cur, const char* owner, const char* method, std::size_t n, const char* shape,
           Sides& s) {
    return side_tuple("baseline", base, owner, method, n, shape, s.b) &&
           side_tuple("current", cur, owner, method, n, shape, s.c);
}

// A matrix of category codes: whole numbers in [-1, 2^31), -1 for a missing cell.
bool arg_codes(const char* param, PyObject* obj, Matrix<std::int32_t>& out) {
    MatrixF64 m;
    if (!arg_matrix_f64(param, obj, m)) return false;
    out = Matrix<std::int32_t>(m.rows, m.cols);
    for (std::size_t i = 0; i < m.data.size(); ++i) {
        const double v = m.data[i];
        if (!(v >= -1.0 && v < 2147483648.0) || v != std::floor(v)) {
            PyErr_Format(PyExc_ValueError,
                         "argument '%s': row %zu column %zu holds %R; category codes are whole numbers >= 0, or -1 "
                         "for missing",
                         param, m.cols ? i / m.cols : 0, m.cols ? i % m.cols : 0, Ref(PyFloat_FromDouble(v)).get());
            return false;
        }
        out.data[i] = static_cast<std::int32_t>(v);
    }
    return true;
}

PyObject* data_call(PyObject* method, PyObject* base, PyObject* cur, const DataDriftDetector& det,
                    const CombinedOptions& opt) {
    if (is(method, "detect_with_categories")) {
        Sides s;
        MatrixF64 b, c;
        Matrix<std::int32_t> bk, ck;
        if (!sides(base, cur, "DataDrift", "detect_with_categories", 2, "(features, codes)", s) ||
            !arg_matrix_f64(item_name("baseline", 0).c_str(), s.b[0], b) ||
            !arg_codes(item_name("baseline", 1).c_str(), s.b[1], bk) ||
            !arg_matrix_f64(item_name("current", 0).c_str(), s.c[0], c) ||
            !arg_codes(item_name("current", 1).c_str(), s.c[1], ck))
            return nullptr;
        return test_or_raise(without_gil(
            [&] { return permutation::combined_data_categorical_test(det, b, c, bk.view(), ck.view(), opt); }));
    }
    if (!is(method, "detect")) return unknown_method(method, "DataDrift", "'detect' or 'detect_with_categories'");
    Sides s;
    MatrixF64 b, c;
    if (!sides(base, cur, "DataDrift", "detect", 1, "(features,)", s) ||
        !arg_matrix_f64(item_name("baseline", 0).c_str(), s.b[0], b) ||
        !arg_matrix_f64(item_name("current", 0).c_str(), s.c[0], c))
        return nullptr;
    return test_or_raise(without_gil([&] { return permutation::combined_data_test(det, b, c, opt); }));
}

template <class Det, Result<CombinedTest> (*Test)(const Det&, ViewF32, ViewF32, const CombinedOptions&)>
PyObject* matrix_call(PyObject* method, PyObject* base, PyObject* cur, const char* owner, const char* shape,
                      const Det& det, const CombinedOptions& opt) {
    if (!is(method, "detect")) return unknown_method(method, owner, "'detect'");
    Sides s;
    MatrixF32 b, c;
    if (!sides(base, cur, owner, "detect", 1, shape, s) ||
        !arg_matrix_f32(item_name("baseline", 0).c_str(), s.b[0], b) ||
        !arg_matrix_f32(item_name("current", 0).c_str(), s.c[0], c))
        return nullptr;
    return test_or_raise(without_gil([&] { return Test(det, b, c, opt); }));
}

PyObject* response_call(PyObject* method, PyObject* base, PyObject* cur, const ResponseDriftDetector& det,
                        const CombinedOptions& opt) {
    Sides s;
    std::vector<double> bl, cl;
    if (is(method, "detect")) {
        if (!sides(base, cur, "ResponseDrift", "detect", 1, "(lengths,)", s) ||
            !arg_float_seq(item_name("baseline", 0).c_str(), s.b[0], bl) ||
            !arg_float_seq(item_name("current", 0).c_str(), s.c[0], cl))
            return nullptr;
        return test_or_raise(without_gil([&] { return permutation::combined_response_test(det, bl, cl, opt); }));
    }
    if (!is(method, "detect_with_embeddings"))
        return unknown_method(method, "ResponseDrift", "'detect' or 'detect_with_embeddings'");
    MatrixF32 be, ce;
    if (!sides(base, cur, "ResponseDrift", "detect_with_embeddings", 2, "(lengths, embeddings)", s) ||
        !arg_float_seq(item_name("baseline", 0).c_str(), s.b[0], bl) ||
        !arg_matrix_f32(item_name("baseline", 1).c_str(), s.b[1], be) ||
        !arg_float_seq(item_name("current", 0).c_str(), s.c[0], cl) ||
        !arg_matrix_f32(item_name("current", 1).c_str(), s.c[1], ce))
        return nullptr;
    return test_or_raise(
        without_gil([&] { return permutation::combined_response_embeddings_test(det, bl, cl, be, ce, opt); }));
}

PyObject* confidence_call(PyObject* method, PyObject* base, PyObject* cur, const ConfidenceDriftDetector& det,
                          const CombinedOptions& opt) {
    Sides s;
    std::vector<double> b, c;
    if (is(method, "detect")) {
        if (!sides(base, cur, "ConfidenceDrift", "detect", 1, "(confidences,)", s) ||
            !arg_float_seq(item_name("baseline", 0).c_str(), s.b[0], b) ||
            !arg_float_seq(item_name("current", 0).c_str(), s.c[0], c))
            return nullptr;
        return test_or_raise(without_gil([&] { return permutation::combined_confidence_test(det, b, c, opt); }));
    }
    if (!is(method, "detect_with_correctness"))
        return unknown_method(method, "ConfidenceDrift", "'detect' or 'detect_with_correctness'");
    std::vector<std::uint8_t> bc, cc;
    if (!sides(base, cur, "ConfidenceDrift", "detect_with_correctness", 2, "(confidences, correct)", s) ||
        !arg_float_seq(item_name("baseline", 0).c_str(), s.b[0], b) ||
        !arg_bool_seq(item_name("baseline", 1).c_str(), s.b[1], bc) ||
        !arg_float_seq(item_name("current", 0).c_str(), s.c[0], c) ||
        !arg_bool_seq(item_name("current", 1).c_str(), s.c[1], cc))
        return nullptr;
    return test_or_raise(
        without_gil([&] { return permutation::combined_confidence_correctness_test(det, b, bc, c, cc, opt); }));
}

constexpr const char* kFname = "combined_test()";

PyObject* combined_test(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        // pilot and stop_after are keyword-only.
        if (args && PyTuple_Size(args) > 6) {
            PyErr_Format(PyExc_TypeError, "%s takes 6 positional arguments but %zd were given", kFname,
                         PyTuple_Size(args));
            return nullptr;
        }
        PyObject* a[8];
        if (!bind_args(kFname,
                       {"detector", "method", "baseline", "current", "n_permutations", "seed", "pilot", "stop_after"},
                       6, args, kwargs, a))
            return nullptr;
        if (!PyUnicode_Check(a[1])) {
            Ref name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(a[1])), "__name__"));
            if (name) PyErr_Format(PyExc_TypeError, "argument 'method': expected str, got %S", name.get());
            return nullptr;
        }
        CombinedOptions opt;
        if (!arg_size("n_permutations", a[4], opt.n_permutations) || !arg_u64("seed", a[5], opt.seed) ||
            (a[6] && !arg_size("pilot", a[6], opt.pilot)) || (a[7] && !arg_size("stop_after", a[7], opt.stop_after)))
            return nullptr;
        if (!positive("n_permutations", opt.n_permutations, 1) || !positive("pilot", opt.pilot, 2)) return nullptr;

        PyObject *det = a[0], *method = a[1], *base = a[2], *cur = a[3];
        if (const auto* d = detector_of<DataDriftDetector>(det, g.data_drift))
            return data_call(method, base, cur, *d, opt);
        if (const auto* d = detector_of<EmbeddingDriftDetector>(det, g.embedding_drift))
            return matrix_call<EmbeddingDriftDetector, permutation::combined_embedding_test>(
                method, base, cur, "EmbeddingDrift", "(embeddings,)", *d, opt);
        if (const auto* d = detector_of<QueryDriftDetector>(det, g.query_drift))
            return matrix_call<QueryDriftDetector, permutation::combined_query_test>(method, base, cur, "QueryDrift",
                                                                                     "(queries,)", *d, opt);
        if (const auto* d = detector_of<ResponseDriftDetector>(det, g.response_drift))
            return response_call(method, base, cur, *d, opt);
        if (const auto* d = detector_of<ConfidenceDriftDetector>(det, g.confidence_drift))
            return confidence_call(method, base, cur, *d, opt);
        Ref name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(det)), "__name__"));
        if (name)
            PyErr_Format(PyExc_TypeError,
                         "argument 'detector': expected DataDrift, EmbeddingDrift, QueryDrift, ResponseDrift or "
                         "ConfidenceDrift, got %S",
                         name.get());
        return nullptr;
    });
}

PyObject* pilot_seed(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* a[1];
        if (!bind_args("pilot_seed()", {"seed"}, 1, args, kwargs, a)) return nullptr;
        std::uint64_t seed = 0;
        if (!arg_u64("seed", a[0], seed)) return nullptr;
        return PyLong_FromUnsignedLongLong(permutation::pilot_seed(seed));
    });
}

constexpr int kFlags = METH_VARARGS | METH_KEYWORDS;

const Register reg{
    {"combined_test", cfunc(combined_test), kFlags,
     "combined_test(detector, method, baseline, current, n_permutations, seed, *, pilot=200, stop_after=20)\n--\n\n"
     "Combined (maxT) permutation test of the method's parts, standardised by a pilot run; sequential stop at "
     "the stop_after-th exceedance (0 runs all). 'score' is the detector's own score where the test's "
     "preparation holds it (embeddings, answer embeddings), else None."},
    {"pilot_seed", cfunc(pilot_seed), kFlags,
     "pilot_seed(seed)\n--\n\nSeed of the combined test's pilot stream: pilot permutation p is the deal "
     "split_labels(n_total, n_baseline, pilot_seed(seed), p)."},
};

}  // namespace
}  // namespace morvanta::py::engine
