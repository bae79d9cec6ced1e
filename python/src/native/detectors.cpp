// The detector classes. Each converts and copies its inputs under the
// interpreter lock, releases the lock for the whole core computation and
// builds the DriftScore (or raises) once it holds the lock again.
#include "detectors/detectors.hpp"
#include "native.hpp"

namespace morvanta::py {

namespace {

template <class F>
PyCFunction cfunc(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f));
}

template <class Det>
PyTypeObject* detector_type(const char* qualname, char* doc, newfunc tp_new, PyMethodDef* methods) {
    PyType_Slot slots[] = {
        {Py_tp_doc, doc},
        {Py_tp_new, reinterpret_cast<void*>(tp_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(boxed_dealloc<Det>)},
        {Py_tp_methods, methods},
        {0, nullptr},
    };
    return make_type(qualname, sizeof(Boxed<Det>), slots);
}

// detect(baseline, current) over two matrices: the shape shared by the
// embedding, data and query detectors.
bool arg_matrix(const char* param, PyObject* obj, MatrixF64& out) { return arg_matrix_f64(param, obj, out); }
bool arg_matrix(const char* param, PyObject* obj, MatrixF32& out) { return arg_matrix_f32(param, obj, out); }

template <class Det, class Mat>
PyObject* matrix_pair_detect(const char* fname, PyTypeObject* type, PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* a[2];
        if (!bind_args(fname, {"baseline", "current"}, 2, args, kwargs, a)) return nullptr;
        if (!check_receiver(self, type, fname)) return nullptr;
        Mat baseline, current;
        if (!arg_matrix("baseline", a[0], baseline) || !arg_matrix("current", a[1], current)) return nullptr;
        const auto& det = unbox<Det>(self);
        return score_or_raise(without_gil([&] { return det.detect(baseline, current); }));
    });
}

// ================================================================ EmbeddingDrift

PyObject* embedding_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* a[3];
        if (!bind_args("EmbeddingDrift.__new__()", {"threshold", "n_projections", "seed"}, 0, args, kwargs, a))
            return nullptr;
        EmbeddingDriftDetector d;
        if (a[0] && !arg_float("threshold", a[0], d.threshold)) return nullptr;
        if (a[1] && !arg_size("n_projections", a[1], d.n_projections)) return nullptr;
        if (a[2] && !arg_u64("seed", a[2], d.seed)) return nullptr;
        return box_new(type, std::move(d));
    });
}

PyObject* embedding_detect(PyObject* self, PyObject* args, PyObject* kwargs) {
    return matrix_pair_detect<EmbeddingDriftDetector, MatrixF32>("EmbeddingDrift.detect()", g.embedding_drift, self,
                                                                 args, kwargs);
}

PyMethodDef embedding_methods[] = {
    {"detect", cfunc(embedding_detect), METH_VARARGS | METH_KEYWORDS, "detect($self, baseline, current)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// ================================================================ DataDrift

PyObject* data_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* a[2];
        if (!bind_args("DataDrift.__new__()", {"threshold", "n_bins"}, 0, args, kwargs, a)) return nullptr;
        DataDriftDetector d;
        if (a[0] && !arg_float("threshold", a[0], d.threshold)) return nullptr;
        if (a[1] && !arg_size("n_bins", a[1], d.n_bins)) return nullptr;
        return box_new(type, std::move(d));
    });
}

PyObject* data_detect(PyObject* self, PyObject* args, PyObject* kwargs) {
    return matrix_pair_detect<DataDriftDetector, MatrixF64>("DataDrift.detect()", g.data_drift, self, args, kwargs);
}

PyMethodDef data_methods[] = {
    {"detect", cfunc(data_detect), METH_VARARGS | METH_KEYWORDS, "detect($self, baseline, current)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// ================================================================ ResponseDrift

PyObject* response_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* a[2];
        if (!bind_args("ResponseDrift.__new__()", {"threshold", "seed"}, 0, args, kwargs, a)) return nullptr;
        ResponseDriftDetector d;
        if (a[0] && !arg_float("threshold", a[0], d.threshold)) return nullptr;
        if (a[1] && !arg_u64("seed", a[1], d.seed)) return nullptr;
        d.n_projections = 32;
        return box_new(type, std::move(d));
    });
}

PyObject* response_detect(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        constexpr const char* fname = "ResponseDrift.detect()";
        PyObject* a[2];
        if (!bind_args(fname, {"baseline_lengths", "current_lengths"}, 2, args, kwargs, a)) return nullptr;
        if (!check_receiver(self, g.response_drift, fname)) return nullptr;
        std::vector<double> baseline, current;
        if (!arg_float_seq("baseline_lengths", a[0], baseline) || !arg_float_seq("current_lengths", a[1], current))
            return nullptr;
        const auto& det = unbox<ResponseDriftDetector>(self);
        return score_or_raise(without_gil([&] { return det.detect(baseline, current); }));
    });
}

PyObject* response_detect_with_embeddings(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        constexpr const char* fname = "ResponseDrift.detect_with_embeddings()";
        PyObject* a[4];
        if (!bind_args(fname, {"baseline_lengths", "current_lengths", "baseline_embeddings", "current_embeddings"}, 4,
                       args, kwargs, a))
            return nullptr;
        if (!check_receiver(self, g.response_drift, fname)) return nullptr;
        std::vector<double> bl, cl;
        MatrixF32 be, ce;
        if (!arg_float_seq("baseline_lengths", a[0], bl) || !arg_float_seq("current_lengths", a[1], cl) ||
            !arg_matrix_f32("baseline_embeddings", a[2], be) || !arg_matrix_f32("current_embeddings", a[3], ce))
            return nullptr;
        const auto& det = unbox<ResponseDriftDetector>(self);
        return score_or_raise(without_gil([&] { return det.detect_with_embeddings(bl, cl, be, ce); }));
    });
}

PyMethodDef response_methods[] = {
    {"detect", cfunc(response_detect), METH_VARARGS | METH_KEYWORDS,
     "detect($self, baseline_lengths, current_lengths)\n--\n\n"},
    {"detect_with_embeddings", cfunc(response_detect_with_embeddings), METH_VARARGS | METH_KEYWORDS,
     "detect_with_embeddings($self, baseline_lengths, current_lengths, baseline_embeddings, "
     "current_embeddings)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// ================================================================ ConfidenceDrift

PyObject* confidence_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* a[2];
        if (!bind_args("ConfidenceDrift.__new__()", {"threshold", "n_calib_bins"}, 0, args, kwargs, a)) return nullptr;
        ConfidenceDriftDetector d;
        if (a[0] && !arg_float("threshold", a[0], d.threshold)) return nullptr;
        if (a[1] && !arg_size("n_calib_bins", a[1], d.n_calib_bins)) return nullptr;
        return box_new(type, std::move(d));
    });
}

PyObject* confidence_detect(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        constexpr const char* fname = "ConfidenceDrift.detect()";
        PyObject* a[2];
        if (!bind_args(fname, {"baseline_confidences", "current_confidences"}, 2, args, kwargs, a)) return nullptr;
        if (!check_receiver(self, g.confidence_drift, fname)) return nullptr;
        std::vector<double> baseline, current;
        if (!arg_float_seq("baseline_confidences", a[0], baseline) ||
            !arg_float_seq("current_confidences", a[1], current))
            return nullptr;
        const auto& det = unbox<ConfidenceDriftDetector>(self);
        return score_or_raise(without_gil([&] { return det.detect(baseline, current); }));
    });
}

PyObject* confidence_detect_with_correctness(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        constexpr const char* fname = "ConfidenceDrift.detect_with_correctness()";
        PyObject* a[4];
        if (!bind_args(fname, {"baseline_confidences", "baseline_correct", "current_confidences", "current_correct"}, 4,
                       args, kwargs, a))
            return nullptr;
        if (!check_receiver(self, g.confidence_drift, fname)) return nullptr;
        std::vector<double> bc, cc;
        std::vector<std::uint8_t> bf, cf;
        if (!arg_float_seq("baseline_confidences", a[0], bc) || !arg_bool_seq("baseline_correct", a[1], bf) ||
            !arg_float_seq("current_confidences", a[2], cc) || !arg_bool_seq("current_correct", a[3], cf))
            return nullptr;
        const auto& det = unbox<ConfidenceDriftDetector>(self);
        return score_or_raise(without_gil([&] { return det.detect_with_correctness(bc, bf, cc, cf); }));
    });
}

PyMethodDef confidence_methods[] = {
    {"detect", cfunc(confidence_detect), METH_VARARGS | METH_KEYWORDS,
     "detect($self, baseline_confidences, current_confidences)\n--\n\n"},
    {"detect_with_correctness", cfunc(confidence_detect_with_correctness), METH_VARARGS | METH_KEYWORDS,
     "detect_with_correctness($self, baseline_confidences, baseline_correct, current_confidences, "
     "current_correct)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// ================================================================ QueryDrift

PyObject* query_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* a[3];
        if (!bind_args("QueryDrift.__new__()", {"threshold", "k", "seed"}, 0, args, kwargs, a)) return nullptr;
        QueryDriftDetector d;
        if (a[0] && !arg_float("threshold", a[0], d.threshold)) return nullptr;
        if (a[1] && !arg_size("k", a[1], d.k)) return nullptr;
        if (a[2] && !arg_u64("seed", a[2], d.seed)) return nullptr;
        return box_new(type, std::move(d));
    });
}

PyObject* query_detect(PyObject* self, PyObject* args, PyObject* kwargs) {
    return matrix_pair_detect<QueryDriftDetector, MatrixF32>("QueryDrift.detect()", g.query_drift, self, args, kwargs);
}

PyMethodDef query_methods[] = {
    {"detect", cfunc(query_detect), METH_VARARGS | METH_KEYWORDS, "detect($self, baseline, current)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* make_embedding_drift_type() {
    static char doc[] = "EmbeddingDrift(threshold=0.05, n_projections=64, seed=0)\n--\n\n";
    return detector_type<EmbeddingDriftDetector>("morvanta._native.EmbeddingDrift", doc, embedding_new,
                                                 embedding_methods);
}

PyTypeObject* make_data_drift_type() {
    static char doc[] = "DataDrift(threshold=0.1, n_bins=10)\n--\n\n";
    return detector_type<DataDriftDetector>("morvanta._native.DataDrift", doc, data_new, data_methods);
}

PyTypeObject* make_response_drift_type() {
    static char doc[] = "ResponseDrift(threshold=0.2, seed=0)\n--\n\n";
    return detector_type<ResponseDriftDetector>("morvanta._native.ResponseDrift", doc, response_new, response_methods);
}

PyTypeObject* make_confidence_drift_type() {
    static char doc[] = "ConfidenceDrift(threshold=0.2, n_calib_bins=10)\n--\n\n";
    return detector_type<ConfidenceDriftDetector>("morvanta._native.ConfidenceDrift", doc, confidence_new,
                                                  confidence_methods);
}

PyTypeObject* make_query_drift_type() {
    static char doc[] = "QueryDrift(threshold=0.1, k=8, seed=0)\n--\n\n";
    return detector_type<QueryDriftDetector>("morvanta._native.QueryDrift", doc, query_new, query_methods);
}

}  // namespace morvanta::py
