// Fitted baselines: the state each detector needs from a baseline window, kept in
// an opaque object, checked against current windows with the detector's bits, read
// out for saving and taken apart into the parts of each score. Also the exact
// JSON text of saved baselines (floats in shortest round-trip form, float32
// matrices in the snapshot's form), read back without a detour through Python
// floats.
#include <cmath>
#include <cstring>
#include <string>
#include <string_view>

#include "baseline/baseline.hpp"
#include "engine.hpp"
#include "json/reader.hpp"
#include "json/writer.hpp"

namespace morvanta::py::engine {
namespace {

using baseline::FittedBaseline;

// ---------------------------------------------------------------- the state type

PyObject* state_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "BaselineState objects are made by baseline_fit()");
    return nullptr;
}

PyTypeObject* state_type() {
    static PyTypeObject* type = nullptr;
    if (!type) {
        static char doc[] = "Fitted baseline state (opaque).";
        PyType_Slot slots[] = {
            {Py_tp_doc, doc},
            {Py_tp_new, reinterpret_cast<void*>(state_new)},
            {Py_tp_dealloc, reinterpret_cast<void*>(boxed_dealloc<FittedBaseline>)},
            {0, nullptr},
        };
        type = make_type("morvanta._engine.BaselineState", sizeof(Boxed<FittedBaseline>), slots);
    }
    return type;
}

// ---------------------------------------------------------------- arrays out

PyObject* array_of(const void* data, std::size_t bytes, const char* dtype, std::size_t rows, std::size_t cols,
                   bool matrix) {
    Ref np(PyImport_ImportModule("numpy"));
    if (!np) return nullptr;
    Ref raw(PyBytes_FromStringAndSize(bytes ? static_cast<const char*>(data) : "", static_cast<Py_ssize_t>(bytes)));
    if (!raw) return nullptr;
    Ref flat(PyObject_CallMethod(np.get(), "frombuffer", "Os", raw.get(), dtype));
    if (!flat) return nullptr;
    if (!matrix) return PyObject_CallMethod(flat.get(), "copy", nullptr);
    Ref shaped(PyObject_CallMethod(flat.get(), "reshape", "nn", static_cast<Py_ssize_t>(rows),
                                   static_cast<Py_ssize_t>(cols)));
    if (!shaped) return nullptr;
    return PyObject_CallMethod(shaped.get(), "copy", nullptr);
}

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

PyObject* opt_float(const std::optional<double>& v) {
    return v ? PyFloat_FromDouble(*v) : Py_NewRef(Py_None);
}

// Builds a dict from (key, new reference) pairs; any nullptr fails the whole.
class DictBuilder {
public:
    DictBuilder() : d_(PyDict_New()) { ok_ = static_cast<bool>(d_); }
    DictBuilder& set(const char* key, PyObject* value) {
        Ref v(value);
        if (ok_ && (!v || PyDict_SetItemString(d_.get(), key, v.get()) != 0)) ok_ = false;
        return *this;
    }
    PyObject* done() { return ok_ ? d_.release() : nullptr; }

private:
    Ref d_;
    bool ok_ = false;
};

// ---------------------------------------------------------------- fit

bool is_given(PyObject* o) { return o && o != Py_None; }

template <class Det>
bool detector_arg(const char* param, PyObject* obj, PyTypeObject* type, const char* cls, Det& out) {
    const Det* d = detector_of<Det>(obj, type);
    if (!d) {
        PyErr_Format(PyExc_TypeError, "argument '%s': expected a %s", param, cls);
        return false;
    }
    out = *d;
    return true;
}

PyObject* baseline_fit(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* a[16];
        if (!bind_args("baseline_fit()",
                       {"features", "embeddings", "queries", "response_lengths", "response_embeddings", "confidences",
                        "correct", "data", "embedding", "query", "response", "confidence", "query_centroids",
                        "query_frequencies", "query_rows", "presorted"},
                       0, args, kwargs, a))
            return nullptr;
        for (PyObject*& o : a)
            if (o == Py_None) o = nullptr;
        const bool presorted = a[15] && PyObject_IsTrue(a[15]) == 1;
        MatrixF64 features;
        MatrixF32 embeddings, queries, response_embeddings, centroids;
        std::vector<double> response_lengths, confidences, frequencies;
        std::vector<std::uint8_t> correct;
        std::size_t query_rows = 0;
        DataDriftDetector data_det;
        EmbeddingDriftDetector emb_det;
        QueryDriftDetector query_det;
        ResponseDriftDetector resp_det;
        ConfidenceDriftDetector conf_det;
        if (a[0] && (!arg_matrix_f64("features", a[0], features) ||
                     !detector_arg("data", a[7], g.data_drift, "DataDrift", data_det)))
            return nullptr;
        if (a[1] && (!arg_matrix_f32("embeddings", a[1], embeddings) ||
                     !detector_arg("embedding", a[8], g.embedding_drift, "EmbeddingDrift", emb_det)))
            return nullptr;
        const bool restore_query = a[12] != nullptr;
        if ((a[2] || restore_query) && !detector_arg("query", a[9], g.query_drift, "QueryDrift", query_det))
            return nullptr;
        if (a[2] && !arg_matrix_f32("queries", a[2], queries)) return nullptr;
        if (restore_query) {
            if (!arg_matrix_f32("query_centroids", a[12], centroids) ||
                !arg_float_seq("query_frequencies", a[13], frequencies) || !arg_size("query_rows", a[14], query_rows))
                return nullptr;
            if (centroids.rows != query_det.k || frequencies.size() != query_det.k) {
                PyErr_Format(PyExc_ValueError,
                             "query state: %zu centroids and %zu frequencies for k = %zu clusters", centroids.rows,
                             frequencies.size(), query_det.k);
                return nullptr;
            }
        }
        if (a[3] && (!arg_float_seq("response_lengths", a[3], response_lengths) ||
                     !detector_arg("response", a[10], g.response_drift, "ResponseDrift", resp_det)))
            return nullptr;
        if (a[4] && !arg_matrix_f32("response_embeddings", a[4], response_embeddings)) return nullptr;
        if (a[5] && (!arg_float_seq("confidences", a[5], confidences) ||
                     !detector_arg("confidence", a[11], g.confidence_drift, "ConfidenceDrift", conf_det)))
            return nullptr;
        if (a[6] && !arg_bool_seq("correct", a[6], correct)) return nullptr;

        const bool has[7] = {a[0] != nullptr, a[1] != nullptr, a[2] != nullptr, a[3] != nullptr,
                             a[4] != nullptr, a[5] != nullptr, a[6] != nullptr};
        auto r = without_gil([&]() -> Result<FittedBaseline> {
            FittedBaseline f;
            if (has[0]) {
                auto d = baseline::fit_data(data_det, features.view(), presorted);
                if (!d) return std::move(d).error();
                f.data = std::move(d).value();
            }
            if (has[1]) f.embedding = baseline::fit_embedding(emb_det, std::move(embeddings));
            if (has[3]) {
                if (cancelled()) return DriftError::cancelled();
                f.response = baseline::fit_response(resp_det, response_lengths, has[4] ? &response_embeddings : nullptr);
            }
            if (has[5]) {
                auto c = baseline::fit_confidence(conf_det, confidences, has[6] ? &correct : nullptr);
                if (!c) return std::move(c).error();
                f.confidence = std::move(c).value();
            }
            if (has[2]) {
                auto q = baseline::fit_query(query_det, queries.view());
                if (!q) return std::move(q).error();
                f.query = std::move(q).value();
            } else if (restore_query) {
                baseline::QueryFit q;
                q.det = query_det;
                q.rows = query_rows;
                q.centroids = std::move(centroids);
                q.frequencies = std::move(frequencies);
                f.query = std::move(q);
            }
            return f;
        });
        if (!r) return nullptr;
        if (!r->ok()) return raise_drift(r->error());
        PyTypeObject* type = state_type();
        if (!type) return nullptr;
        return box_new(type, std::move(*r).value());
    });
}

// ---------------------------------------------------------------- check and parts

const FittedBaseline* state_arg(PyObject* obj) {
    PyTypeObject* type = state_type();
    if (!type) return nullptr;
    if (!PyObject_TypeCheck(obj, type)) {
        PyErr_SetString(PyExc_TypeError, "argument 'state': expected a BaselineState");
        return nullptr;
    }
    return &unbox<FittedBaseline>(obj);
}

PyObject* data_parts(const baseline::DataFit& f, const baseline::DataParts& p) {
    Ref cols(PyList_New(static_cast<Py_ssize_t>(p.columns.size())));
    if (!cols) return nullptr;
    const std::size_t nb = f.det.n_bins;
    for (std::size_t c = 0; c < p.columns.size(); ++c) {
        const baseline::ColumnParts& col = p.columns[c];
        const bool bins = f.psi && col.psi.has_value();
        const double* edges = bins ? f.edges.data() + c * (nb - 1) : nullptr;
        const std::uint64_t* cb = bins ? f.counts.data() + c * nb : nullptr;
        PyObject* item = DictBuilder()
                             .set("ks", PyFloat_FromDouble(col.ks))
                             .set("psi", opt_float(col.psi))
                             .set("value", PyFloat_FromDouble(col.value))
                             .set("missing_baseline", PyLong_FromSize_t(f.n_missing[c]))
                             .set("missing_current", PyLong_FromSize_t(col.missing_current))
                             .set("bin_edges", f64_array(edges, bins ? nb - 1 : 0))
                             .set("baseline_counts", i64_array(cb, bins ? nb : 0))
                             .set("current_counts", i64_array(col.current_counts.data(), bins ? nb : 0))
                             .done();
        if (!item) return nullptr;
        PyList_SetItem(cols.get(), static_cast<Py_ssize_t>(c), item);
    }
    return DictBuilder()
        .set("columns", cols.release())
        .set("rows_baseline", PyLong_FromSize_t(f.rows))
        .set("rows_current", PyLong_FromSize_t(p.current_rows))
        .done();
}

// The per-bin table of both windows: (lower, upper, baseline count, current
// count, baseline mean confidence, baseline accuracy, current ..., current ...).
constexpr std::size_t kTableBins = 4096;

PyObject* calibration_table(const baseline::ConfidenceFit& f, std::span<const double> scores,
                            std::span<const std::uint8_t> correct) {
    baseline::CalibrationBins b, c;
    const std::size_t B = f.det.n_calib_bins;
    if (!baseline::calibration_bins(f.scores, f.correct, B, kTableBins, b) ||
        !baseline::calibration_bins(scores, correct, B, kTableBins, c))
        return PyList_New(0);
    Ref list(PyList_New(static_cast<Py_ssize_t>(B)));
    if (!list) return nullptr;
    const double nan = std::nan("");
    auto mean = [&](const baseline::CalibrationBins& t, std::size_t k) {
        return t.count[k] ? t.sum[k] / static_cast<double>(t.count[k]) : nan;
    };
    auto acc = [&](const baseline::CalibrationBins& t, std::size_t k) {
        return t.count[k] ? static_cast<double>(t.correct[k]) / static_cast<double>(t.count[k]) : nan;
    };
    for (std::size_t k = 0; k < B; ++k) {
        const double lo = static_cast<double>(k) / static_cast<double>(B);
        const double hi = static_cast<double>(k + 1) / static_cast<double>(B);
        PyObject* t = Py_BuildValue("(ddKKdddd)", lo, hi, static_cast<unsigned long long>(b.count[k]),
                                    static_cast<unsigned long long>(c.count[k]), mean(b, k), acc(b, k), mean(c, k),
                                    acc(c, k));
        if (!t) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(k), t);
    }
    return list.release();
}

struct CheckInput {
    MatrixF64 features;
    MatrixF32 embeddings, queries, response_embeddings;
    std::vector<double> response_lengths, confidences;
    std::vector<std::uint8_t> correct;
    bool has[7] = {};
};

struct CheckOutput {
    std::optional<Result<baseline::DataParts>> data;
    std::optional<Result<baseline::EmbeddingParts>> embedding;
    std::optional<Result<baseline::ResponseParts>> response;
    std::optional<Result<baseline::ConfidenceParts>> confidence;
    std::optional<Result<baseline::QueryParts>> query;
};

PyObject* baseline_check(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* a[9];
        if (!bind_args("baseline_check()",
                       {"state", "features", "embeddings", "queries", "response_lengths", "response_embeddings",
                        "confidences", "correct", "explain"},
                       1, args, kwargs, a))
            return nullptr;
        const FittedBaseline* fp = state_arg(a[0]);
        if (!fp) return nullptr;
        const FittedBaseline& f = *fp;
        const bool explain = a[8] && PyObject_IsTrue(a[8]) == 1;
        CheckInput in;
        for (int i = 0; i < 7; ++i) in.has[i] = is_given(a[i + 1]);
        if ((in.has[0] && !arg_matrix_f64("features", a[1], in.features)) ||
            (in.has[1] && !arg_matrix_f32("embeddings", a[2], in.embeddings)) ||
            (in.has[2] && !arg_matrix_f32("queries", a[3], in.queries)) ||
            (in.has[3] && !arg_float_seq("response_lengths", a[4], in.response_lengths)) ||
            (in.has[4] && !arg_matrix_f32("response_embeddings", a[5], in.response_embeddings)) ||
            (in.has[5] && !arg_float_seq("confidences", a[6], in.confidences)) ||
            (in.has[6] && !arg_bool_seq("correct", a[7], in.correct)))
            return nullptr;

        auto out = without_gil([&]() -> CheckOutput {
            CheckOutput o;
            // Dimension order of the report; each part stops at its first error.
            if (f.data && in.has[0]) o.data = baseline::check_data(*f.data, in.features.view(), explain);
            if (f.embedding && in.has[1]) o.embedding = baseline::check_embedding(*f.embedding, in.embeddings.view());
            if (f.response && in.has[3]) {
                const ViewF32 v = in.response_embeddings.view();
                o.response = baseline::check_response(*f.response, in.response_lengths, in.has[4] ? &v : nullptr);
            }
            if (f.confidence && in.has[5])
                o.confidence = baseline::check_confidence(*f.confidence, in.confidences,
                                                          in.has[6] ? &in.correct : nullptr);
            if (f.query && in.has[2]) o.query = baseline::check_query(*f.query, in.queries.view());
            return o;
        });
        if (!out) return nullptr;
        Ref list(PyList_New(0));
        if (!list) return nullptr;
        auto add = [&](const char* dim, const DriftScore& s, PyObject* parts) -> bool {
            Ref p(parts);
            if (!p) return false;
            Ref score(new_drift_score(s));
            if (!score) return false;
            Ref t(Py_BuildValue("(sOO)", dim, score.get(), p.get()));
            return t && PyList_Append(list.get(), t.get()) == 0;
        };
        auto none = []() { return Py_NewRef(Py_None); };
        if (out->data) {
            if (!out->data->ok()) return raise_drift(out->data->error());
            const auto& p = out->data->value();
            if (!add("data", p.score, explain ? data_parts(*f.data, p) : none())) return nullptr;
        }
        if (out->embedding) {
            if (!out->embedding->ok()) return raise_drift(out->embedding->error());
            const auto& p = out->embedding->value();
            PyObject* parts = explain ? DictBuilder()
                                            .set("mmd2", PyFloat_FromDouble(p.mmd2))
                                            .set("sliced_wasserstein", PyFloat_FromDouble(p.sliced))
                                            .set("bandwidth", PyFloat_FromDouble(std::sqrt(p.bandwidth_sq)))
                                            .set("bandwidth_sq", PyFloat_FromDouble(p.bandwidth_sq))
                                            .done()
                                      : none();
            if (!add("embedding", p.score, parts)) return nullptr;
        }
        if (out->response) {
            if (!out->response->ok()) return raise_drift(out->response->error());
            const auto& p = out->response->value();
            PyObject* parts = explain ? DictBuilder()
                                            .set("ks", PyFloat_FromDouble(p.ks))
                                            .set("sliced_wasserstein", opt_float(p.sliced))
                                            .done()
                                      : none();
            if (!add("response", p.score, parts)) return nullptr;
        }
        if (out->confidence) {
            if (!out->confidence->ok()) return raise_drift(out->confidence->error());
            const auto& p = out->confidence->value();
            PyObject* parts = none();
            if (explain) {
                Py_DECREF(parts);
                const bool calib = p.ece_baseline.has_value();
                parts = DictBuilder()
                            .set("ks", PyFloat_FromDouble(p.ks))
                            .set("ece_baseline", opt_float(p.ece_baseline))
                            .set("ece_current", opt_float(p.ece_current))
                            .set("n_baseline", PyLong_FromSize_t(f.confidence->scores.size()))
                            .set("n_current", PyLong_FromSize_t(in.confidences.size()))
                            .set("bins", calib ? calibration_table(*f.confidence, in.confidences, in.correct)
                                               : PyList_New(0))
                            .done();
            }
            if (!add("confidence", p.score, parts)) return nullptr;
        }
        if (out->query) {
            if (!out->query->ok()) return raise_drift(out->query->error());
            const auto& p = out->query->value();
            const auto& q = *f.query;
            PyObject* parts = explain ? DictBuilder()
                                            .set("baseline", f64_array(q.frequencies.data(), q.frequencies.size()))
                                            .set("current", f64_array(p.current.data(), p.current.size()))
                                            .set("term_baseline",
                                                 f64_array(p.term_baseline.data(), p.term_baseline.size()))
                                            .set("term_current", f64_array(p.term_current.data(), p.term_current.size()))
                                            .set("centroids", f32_matrix(q.centroids))
                                            .set("epsilon", PyFloat_FromDouble(q.det.epsilon))
                                            .done()
                                      : none();
            if (!add("query", p.score, parts)) return nullptr;
        }
        return list.release();
    });
}

// ---------------------------------------------------------------- export

PyObject* baseline_export(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* a[1];
        if (!bind_args("baseline_export()", {"state"}, 1, args, kwargs, a)) return nullptr;
        const FittedBaseline* fp = state_arg(a[0]);
        if (!fp) return nullptr;
        const FittedBaseline& f = *fp;
        DictBuilder d;
        if (f.data) {
            const auto& x = *f.data;
            d.set("feature_columns", f64_matrix(x.sorted.data(), x.cols, x.rows))
                .set("feature_means", f64_array(x.means.data(), x.means.size()))
                .set("feature_stds", f64_array(x.stds.data(), x.stds.size()))
                .set("data", box_new(g.data_drift, DataDriftDetector(x.det)));
        }
        if (f.embedding) {
            d.set("embeddings", f32_matrix(f.embedding->rows))
                .set("embedding", box_new(g.embedding_drift, EmbeddingDriftDetector(f.embedding->det)));
        }
        if (f.response) {
            const auto& x = *f.response;
            d.set("response_lengths", f64_array(x.sorted_lengths.data(), x.sorted_lengths.size()))
                .set("response", box_new(g.response_drift, ResponseDriftDetector(x.det)));
            if (x.with_embeddings) d.set("response_embeddings", f32_matrix(x.embeddings));
        }
        if (f.confidence) {
            const auto& x = *f.confidence;
            d.set("confidences", f64_array(x.scores.data(), x.scores.size()))
                .set("confidence", box_new(g.confidence_drift, ConfidenceDriftDetector(x.det)));
            if (x.with_correct) d.set("correct", bool_array(x.correct));
        }
        if (f.query) {
            const auto& x = *f.query;
            d.set("query_centroids", f32_matrix(x.centroids))
                .set("query_frequencies", f64_array(x.frequencies.data(), x.frequencies.size()))
                .set("query_rows", PyLong_FromSize_t(x.rows))
                .set("query", box_new(g.query_drift, QueryDriftDetector(x.det)));
        }
        return d.done();
    });
}

// ---------------------------------------------------------------- JSON text

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
    {"baseline_fit", cfunc(baseline_fit), METH_VARARGS | METH_KEYWORDS,
     "baseline_fit(features=None, embeddings=None, queries=None, response_lengths=None, response_embeddings=None, "
     "confidences=None, correct=None, data=None, embedding=None, query=None, response=None, confidence=None, "
     "query_centroids=None, query_frequencies=None, query_rows=None, presorted=False)\n--\n\n"
     "Fits the state of every part given (a saved query part from its centroids and frequencies; saved "
     "feature columns, already sorted, with presorted=True)."},
    {"baseline_check", cfunc(baseline_check), METH_VARARGS | METH_KEYWORDS,
     "baseline_check(state, features=None, embeddings=None, queries=None, response_lengths=None, "
     "response_embeddings=None, confidences=None, correct=None, explain=False)\n--\n\n"
     "(dimension, DriftScore, parts or None) for every fitted part given, in dimension order."},
    {"baseline_export", cfunc(baseline_export), METH_VARARGS | METH_KEYWORDS,
     "baseline_export(state)\n--\n\nThe state's arrays and detectors, from which baseline_fit rebuilds it."},
    {"json_dump", cfunc(json_dump), METH_VARARGS | METH_KEYWORDS,
     "json_dump(obj)\n--\n\nCompact JSON text, floats in shortest round-trip form."},
    {"json_load", cfunc(json_load), METH_VARARGS | METH_KEYWORDS,
     "json_load(text)\n--\n\nThe value of JSON text written by json_dump, floats exact."},
};

}  // namespace
}  // namespace morvanta::py::engine
