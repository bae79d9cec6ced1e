// Fitted baselines: the state each detector needs from a baseline window, kept in
// an opaque object, checked against current windows with the detector's bits, read
// out for saving and taken apart into the parts of each score. (The JSON text
// the package saves them in is json_codec.cpp's.)
#include <cmath>
#include <cstddef>
#include <iterator>
#include <optional>
#include <span>
#include <vector>

#include "arrays.hpp"
#include "baseline/baseline.hpp"
#include "engine.hpp"

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

PyObject* opt_float(const std::optional<double>& v) { return v ? PyFloat_FromDouble(*v) : Py_NewRef(Py_None); }

// ---------------------------------------------------------------- windows

// The samples of a fit or a check: seven optional parameters, named alike and
// in this order in both signatures.
enum Window : std::size_t {
    kFeatures,
    kEmbeddings,
    kQueries,
    kResponseLengths,
    kResponseEmbeddings,
    kConfidences,
    kCorrect,
    kWindowCount
};

constexpr const char* kWindowNames[kWindowCount] = {
    "features", "embeddings", "queries", "response_lengths", "response_embeddings", "confidences", "correct"};

bool is_given(PyObject* o) { return o && o != Py_None; }

// The windows given to a call, converted; `has` tells which were given.
struct Windows {
    MatrixF64 features;
    MatrixF32 embeddings, queries, response_embeddings;
    std::vector<double> response_lengths, confidences;
    std::vector<std::uint8_t> correct;
    bool given[kWindowCount] = {};

    bool has(Window w) const { return given[w]; }

    // Converts `obj` as window `w`; None or an omitted argument leaves it out.
    bool take(Window w, PyObject* obj) {
        given[w] = is_given(obj);
        if (!given[w]) return true;
        const char* param = kWindowNames[w];
        switch (w) {
            case kFeatures: return arg_matrix_f64(param, obj, features);
            case kEmbeddings: return arg_matrix_f32(param, obj, embeddings);
            case kQueries: return arg_matrix_f32(param, obj, queries);
            case kResponseLengths: return arg_float_seq(param, obj, response_lengths);
            case kResponseEmbeddings: return arg_matrix_f32(param, obj, response_embeddings);
            case kConfidences: return arg_float_seq(param, obj, confidences);
            case kCorrect: return arg_bool_seq(param, obj, correct);
            case kWindowCount: break;
        }
        return true;
    }
};

// ---------------------------------------------------------------- fit

// baseline_fit's parameters: the windows, the detector of each part, a saved
// query part, and whether saved feature columns come sorted.
namespace fit {
enum Param : std::size_t {
    kData = kWindowCount,
    kEmbedding,
    kQuery,
    kResponse,
    kConfidence,
    kQueryCentroids,
    kQueryFrequencies,
    kQueryRows,
    kPresorted,
    kCount
};
constexpr const char* kNames[] = {
    "features",
    "embeddings",
    "queries",
    "response_lengths",
    "response_embeddings",
    "confidences",
    "correct",
    "data",
    "embedding",
    "query",
    "response",
    "confidence",
    "query_centroids",
    "query_frequencies",
    "query_rows",
    "presorted",
};
static_assert(std::size(kNames) == kCount);
}  // namespace fit

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

// A query part rebuilt from its saved centroids and cluster frequencies.
struct SavedQuery {
    MatrixF32 centroids;
    std::vector<double> frequencies;
    std::size_t rows = 0;
};

PyObject* baseline_fit(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* a[fit::kCount];
        if (!bind_args("baseline_fit()", fit::kNames, 0, args, kwargs, a)) return nullptr;
        for (PyObject*& o : a)
            if (o == Py_None) o = nullptr;
        const bool presorted = a[fit::kPresorted] && PyObject_IsTrue(a[fit::kPresorted]) == 1;
        Windows in;
        SavedQuery saved;
        DataDriftDetector data_det;
        EmbeddingDriftDetector emb_det;
        QueryDriftDetector query_det;
        ResponseDriftDetector resp_det;
        ConfidenceDriftDetector conf_det;
        // Each window is converted, then its part's detector: the first bad argument in
        // this order is the one reported.
        if (!in.take(kFeatures, a[kFeatures]) ||
            (in.has(kFeatures) && !detector_arg("data", a[fit::kData], g.data_drift, "DataDrift", data_det)))
            return nullptr;
        if (!in.take(kEmbeddings, a[kEmbeddings]) ||
            (in.has(kEmbeddings) &&
             !detector_arg("embedding", a[fit::kEmbedding], g.embedding_drift, "EmbeddingDrift", emb_det)))
            return nullptr;
        const bool restore_query = a[fit::kQueryCentroids] != nullptr;
        if ((a[kQueries] || restore_query) &&
            !detector_arg("query", a[fit::kQuery], g.query_drift, "QueryDrift", query_det))
            return nullptr;
        if (!in.take(kQueries, a[kQueries])) return nullptr;
        if (restore_query) {
            if (!arg_matrix_f32("query_centroids", a[fit::kQueryCentroids], saved.centroids) ||
                !arg_float_seq("query_frequencies", a[fit::kQueryFrequencies], saved.frequencies) ||
                !arg_size("query_rows", a[fit::kQueryRows], saved.rows))
                return nullptr;
            if (saved.centroids.rows != query_det.k || saved.frequencies.size() != query_det.k) {
                PyErr_Format(PyExc_ValueError, "query state: %zu centroids and %zu frequencies for k = %zu clusters",
                             saved.centroids.rows, saved.frequencies.size(), query_det.k);
                return nullptr;
            }
        }
        if (!in.take(kResponseLengths, a[kResponseLengths]) ||
            (in.has(kResponseLengths) &&
             !detector_arg("response", a[fit::kResponse], g.response_drift, "ResponseDrift", resp_det)))
            return nullptr;
        if (!in.take(kResponseEmbeddings, a[kResponseEmbeddings])) return nullptr;
        if (!in.take(kConfidences, a[kConfidences]) ||
            (in.has(kConfidences) &&
             !detector_arg("confidence", a[fit::kConfidence], g.confidence_drift, "ConfidenceDrift", conf_det)))
            return nullptr;
        if (!in.take(kCorrect, a[kCorrect])) return nullptr;

        auto r = without_gil([&]() -> Result<FittedBaseline> {
            FittedBaseline f;
            if (in.has(kFeatures)) {
                auto d = baseline::fit_data(data_det, in.features.view(), presorted);
                if (!d) return std::move(d).error();
                f.data = std::move(d).value();
            }
            if (in.has(kEmbeddings)) f.embedding = baseline::fit_embedding(emb_det, std::move(in.embeddings));
            if (in.has(kResponseLengths)) {
                if (cancelled()) return DriftError::cancelled();
                f.response = baseline::fit_response(resp_det, in.response_lengths,
                                                    in.has(kResponseEmbeddings) ? &in.response_embeddings : nullptr);
            }
            if (in.has(kConfidences)) {
                auto c = baseline::fit_confidence(conf_det, in.confidences, in.has(kCorrect) ? &in.correct : nullptr);
                if (!c) return std::move(c).error();
                f.confidence = std::move(c).value();
            }
            if (in.has(kQueries)) {
                auto q = baseline::fit_query(query_det, in.queries.view());
                if (!q) return std::move(q).error();
                f.query = std::move(q).value();
            } else if (restore_query) {
                baseline::QueryFit q;
                q.det = query_det;
                q.rows = saved.rows;
                q.centroids = std::move(saved.centroids);
                q.frequencies = std::move(saved.frequencies);
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
        PyObject* t =
            Py_BuildValue("(ddKKdddd)", lo, hi, static_cast<unsigned long long>(b.count[k]),
                          static_cast<unsigned long long>(c.count[k]), mean(b, k), acc(b, k), mean(c, k), acc(c, k));
        if (!t) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(k), t);
    }
    return list.release();
}

struct CheckOutput {
    std::optional<Result<baseline::DataParts>> data;
    std::optional<Result<baseline::EmbeddingParts>> embedding;
    std::optional<Result<baseline::ResponseParts>> response;
    std::optional<Result<baseline::ConfidenceParts>> confidence;
    std::optional<Result<baseline::QueryParts>> query;
};

// baseline_check's parameters: the state, the windows, and whether to break
// each score down into its parts.
namespace check {
enum Param : std::size_t { kState, kFirstWindow, kExplain = kFirstWindow + kWindowCount, kCount };
constexpr const char* kNames[] = {"state",       "features",         "embeddings",
                                  "queries",     "response_lengths", "response_embeddings",
                                  "confidences", "correct",          "explain"};
static_assert(std::size(kNames) == kCount);
}  // namespace check

PyObject* baseline_check(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* a[check::kCount];
        if (!bind_args("baseline_check()", check::kNames, 1, args, kwargs, a)) return nullptr;
        const FittedBaseline* fp = state_arg(a[check::kState]);
        if (!fp) return nullptr;
        const FittedBaseline& f = *fp;
        const bool explain = a[check::kExplain] && PyObject_IsTrue(a[check::kExplain]) == 1;
        Windows in;
        for (std::size_t w = 0; w < kWindowCount; ++w)
            if (!in.take(static_cast<Window>(w), a[check::kFirstWindow + w])) return nullptr;

        auto out = without_gil([&]() -> CheckOutput {
            CheckOutput o;
            // Dimension order of the report; each part stops at its first error.
            if (f.data && in.has(kFeatures)) o.data = baseline::check_data(*f.data, in.features.view(), explain);
            if (f.embedding && in.has(kEmbeddings))
                o.embedding = baseline::check_embedding(*f.embedding, in.embeddings.view());
            if (f.response && in.has(kResponseLengths)) {
                const ViewF32 v = in.response_embeddings.view();
                o.response = baseline::check_response(*f.response, in.response_lengths,
                                                      in.has(kResponseEmbeddings) ? &v : nullptr);
            }
            if (f.confidence && in.has(kConfidences))
                o.confidence =
                    baseline::check_confidence(*f.confidence, in.confidences, in.has(kCorrect) ? &in.correct : nullptr);
            if (f.query && in.has(kQueries)) o.query = baseline::check_query(*f.query, in.queries.view());
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
                            .set("bins",
                                 calib ? calibration_table(*f.confidence, in.confidences, in.correct) : PyList_New(0))
                            .done();
            }
            if (!add("confidence", p.score, parts)) return nullptr;
        }
        if (out->query) {
            if (!out->query->ok()) return raise_drift(out->query->error());
            const auto& p = out->query->value();
            const auto& q = *f.query;
            PyObject* parts = explain
                                  ? DictBuilder()
                                        .set("baseline", f64_array(q.frequencies.data(), q.frequencies.size()))
                                        .set("current", f64_array(p.current.data(), p.current.size()))
                                        .set("term_baseline", f64_array(p.term_baseline.data(), p.term_baseline.size()))
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
};

}  // namespace
}  // namespace morvanta::py::engine
