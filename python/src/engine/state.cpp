// The contents of the native value classes, read out and rebuilt: what the
// package's pickling reducers and the fitted baseline's files need, without
// giving the classes of morvanta._native any new member.
#include <cstring>
#include <string>

#include "engine.hpp"
#include "report.hpp"
#include "snapshot.hpp"

namespace morvanta::py::engine {
namespace {

// ---------------------------------------------------------------- detectors

PyObject* detector_settings(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* a[1];
        if (!bind_args("detector_settings()", {"detector"}, 1, args, kwargs, a)) return nullptr;
        PyObject* d = a[0];
        if (auto* e = detector_of<EmbeddingDriftDetector>(d, g.embedding_drift))
            return Py_BuildValue("(sdKK)", "EmbeddingDrift", e->threshold,
                                 static_cast<unsigned long long>(e->n_projections),
                                 static_cast<unsigned long long>(e->seed));
        if (auto* e = detector_of<DataDriftDetector>(d, g.data_drift))
            return Py_BuildValue("(sdK)", "DataDrift", e->threshold, static_cast<unsigned long long>(e->n_bins));
        if (auto* e = detector_of<ResponseDriftDetector>(d, g.response_drift))
            return Py_BuildValue("(sdK)", "ResponseDrift", e->threshold, static_cast<unsigned long long>(e->seed));
        if (auto* e = detector_of<ConfidenceDriftDetector>(d, g.confidence_drift))
            return Py_BuildValue("(sdK)", "ConfidenceDrift", e->threshold,
                                 static_cast<unsigned long long>(e->n_calib_bins));
        if (auto* e = detector_of<QueryDriftDetector>(d, g.query_drift))
            return Py_BuildValue("(sdKK)", "QueryDrift", e->threshold, static_cast<unsigned long long>(e->k),
                                 static_cast<unsigned long long>(e->seed));
        PyErr_SetString(PyExc_TypeError,
                        "argument 'detector': expected a DataDrift, EmbeddingDrift, ResponseDrift, ConfidenceDrift "
                        "or QueryDrift");
        return nullptr;
    });
}

// ---------------------------------------------------------------- scores and reports

bool parse_dimension(PyObject* obj, Dimension& out) {
    if (!PyUnicode_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "argument 'dimension': expected str");
        return false;
    }
    for (int i = 0; i < 5; ++i) {
        const auto d = static_cast<Dimension>(i);
        if (PyUnicode_CompareWithASCIIString(obj, dimension_text(d)) == 0) {
            out = d;
            return true;
        }
    }
    PyErr_Format(PyExc_ValueError, "argument 'dimension': unknown dimension %R", obj);
    return false;
}

bool parse_text(const char* param, PyObject* obj, std::string& out) {
    if (!PyUnicode_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "argument '%s': expected str", param);
        return false;
    }
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(obj, &n);
    if (!s) return false;
    out.assign(s, static_cast<std::size_t>(n));
    return true;
}

PyObject* drift_score(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* a[5];
        if (!bind_args("drift_score()", {"dimension", "score", "threshold", "exceeded", "method"}, 5, args, kwargs, a))
            return nullptr;
        DriftScore s;
        if (!parse_dimension(a[0], s.dimension) || !arg_float("score", a[1], s.score) ||
            !arg_float("threshold", a[2], s.threshold))
            return nullptr;
        const int ex = PyObject_IsTrue(a[3]);
        if (ex < 0) return nullptr;
        s.exceeded = ex != 0;
        if (!parse_text("method", a[4], s.method)) return nullptr;
        return new_drift_score(std::move(s));
    });
}

PyObject* drift_report(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* a[4];
        if (!bind_args("drift_report()", {"scores", "timestamp", "sample_size_baseline", "sample_size_current"}, 4,
                       args, kwargs, a))
            return nullptr;
        DriftReport r;
        Ref it(PyObject_GetIter(a[0]));
        if (!it) return nullptr;
        while (PyObject* raw = PyIter_Next(it.get())) {
            Ref item(raw);
            if (!PyObject_TypeCheck(item.get(), g.drift_score)) {
                PyErr_SetString(PyExc_TypeError, "argument 'scores': expected DriftScore items");
                return nullptr;
            }
            r.scores.push_back(unbox<DriftScore>(item.get()));
        }
        if (PyErr_Occurred()) return nullptr;
        long long ts = PyLong_AsLongLong(a[1]);
        if (ts == -1 && PyErr_Occurred()) return nullptr;
        r.timestamp = ts;
        if (!arg_u64("sample_size_baseline", a[2], r.sample_size_baseline) ||
            !arg_u64("sample_size_current", a[3], r.sample_size_current))
            return nullptr;
        return box_new(g.drift_report, std::move(r));
    });
}

// ---------------------------------------------------------------- snapshots

// A NumPy array copied from raw values: numpy.frombuffer(bytes, dtype).reshape(shape).copy().
PyObject* to_array(const void* data, std::size_t bytes, const char* dtype, std::size_t rows, std::size_t cols,
                   bool matrix) {
    Ref np(PyImport_ImportModule("numpy"));
    if (!np) return nullptr;
    Ref raw(PyBytes_FromStringAndSize(static_cast<const char*>(data), static_cast<Py_ssize_t>(bytes)));
    if (!raw) return nullptr;
    Ref flat(PyObject_CallMethod(np.get(), "frombuffer", "Os", raw.get(), dtype));
    if (!flat) return nullptr;
    Ref shaped(matrix ? PyObject_CallMethod(flat.get(), "reshape", "nn", static_cast<Py_ssize_t>(rows),
                                            static_cast<Py_ssize_t>(cols))
                      : Ref(Py_NewRef(flat.get())).release());
    if (!shaped) return nullptr;
    return PyObject_CallMethod(shaped.get(), "copy", nullptr);
}

template <class T>
PyObject* list_field(const std::optional<std::vector<T>>& v, const char* dtype) {
    if (!v) return Py_NewRef(Py_None);
    return to_array(v->data(), v->size() * sizeof(T), dtype, v->size(), 1, false);
}

PyObject* matrix_field(const std::optional<MatrixF32>& m) {
    if (!m) return Py_NewRef(Py_None);
    return to_array(m->data.data(), m->data.size() * sizeof(float), "float32", m->rows, m->cols, true);
}

PyObject* snapshot_fields(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* a[1];
        if (!bind_args("snapshot_fields()", {"snapshot"}, 1, args, kwargs, a)) return nullptr;
        if (!PyObject_TypeCheck(a[0], g.baseline_snapshot)) {
            PyErr_SetString(PyExc_TypeError, "argument 'snapshot': expected a BaselineSnapshot");
            return nullptr;
        }
        const BaselineSnapshot& s = unbox<BaselineSnapshot>(a[0]);
        Ref d(PyDict_New());
        if (!d) return nullptr;
        auto put = [&](const char* key, PyObject* value) {
            Ref v(value);
            return v && PyDict_SetItemString(d.get(), key, v.get()) == 0;
        };
        if (!put("embeddings", matrix_field(s.embeddings)) ||
            !put("feature_means", list_field(s.feature_means, "float64")) ||
            !put("feature_stds", list_field(s.feature_stds, "float64")) ||
            !put("confidence_scores", list_field(s.confidence_scores, "float64")) ||
            !put("response_lengths", list_field(s.response_lengths, "uint64")) ||
            !put("query_centroids", matrix_field(s.query_centroids)) ||
            !put("query_cluster_freqs", list_field(s.query_cluster_freqs, "float64")) ||
            !put("captured_at", PyLong_FromLongLong(s.captured_at)))
            return nullptr;
        return d.release();
    });
}

bool u64_seq(const char* param, PyObject* obj, std::vector<std::uint64_t>& out) {
    Ref it(PyObject_GetIter(obj));
    if (!it) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "argument '%s': expected a sequence of non-negative integers", param);
        return false;
    }
    while (PyObject* raw = PyIter_Next(it.get())) {
        Ref item(raw);
        std::uint64_t v = 0;
        if (!arg_u64(param, item.get(), v)) return false;
        out.push_back(v);
    }
    return !PyErr_Occurred();
}

PyObject* make_snapshot(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* a[8];
        if (!bind_args("make_snapshot()",
                       {"captured_at", "embeddings", "feature_means", "feature_stds", "confidence_scores",
                        "response_lengths", "query_centroids", "query_cluster_freqs"},
                       1, args, kwargs, a))
            return nullptr;
        BaselineSnapshot s;
        long long ts = PyLong_AsLongLong(a[0]);
        if (ts == -1 && PyErr_Occurred()) return nullptr;
        s.captured_at = ts;
        auto given = [](PyObject* o) { return o && o != Py_None; };
        if (given(a[1]) && !arg_matrix_f32("embeddings", a[1], s.embeddings.emplace())) return nullptr;
        if (given(a[2]) && !arg_float_seq("feature_means", a[2], s.feature_means.emplace())) return nullptr;
        if (given(a[3]) && !arg_float_seq("feature_stds", a[3], s.feature_stds.emplace())) return nullptr;
        if (given(a[4]) && !arg_float_seq("confidence_scores", a[4], s.confidence_scores.emplace())) return nullptr;
        if (given(a[5]) && !u64_seq("response_lengths", a[5], s.response_lengths.emplace())) return nullptr;
        if (given(a[6]) && !arg_matrix_f32("query_centroids", a[6], s.query_centroids.emplace())) return nullptr;
        if (given(a[7]) && !arg_float_seq("query_cluster_freqs", a[7], s.query_cluster_freqs.emplace())) return nullptr;
        return box_new(g.baseline_snapshot, std::move(s));
    });
}

const Register reg{
    {"detector_settings", cfunc(detector_settings), METH_VARARGS | METH_KEYWORDS,
     "detector_settings(detector)\n--\n\n(class name, *constructor arguments) of a detector."},
    {"drift_score", cfunc(drift_score), METH_VARARGS | METH_KEYWORDS,
     "drift_score(dimension, score, threshold, exceeded, method)\n--\n\nA DriftScore with exactly these fields."},
    {"drift_report", cfunc(drift_report), METH_VARARGS | METH_KEYWORDS,
     "drift_report(scores, timestamp, sample_size_baseline, sample_size_current)\n--\n\n"
     "A DriftReport with exactly these fields (the timestamp is not read from the clock)."},
    {"snapshot_fields", cfunc(snapshot_fields), METH_VARARGS | METH_KEYWORDS,
     "snapshot_fields(snapshot)\n--\n\nThe eight fields of a BaselineSnapshot (arrays as NumPy arrays, absent "
     "fields as None)."},
    {"make_snapshot", cfunc(make_snapshot), METH_VARARGS | METH_KEYWORDS,
     "make_snapshot(captured_at, embeddings=None, feature_means=None, feature_stds=None, confidence_scores=None, "
     "response_lengths=None, query_centroids=None, query_cluster_freqs=None)\n--\n\n"
     "A BaselineSnapshot holding exactly these fields."},
};

}  // namespace
}  // namespace morvanta::py::engine
