// Permutation tests of the detectors' statistics: each function takes a detector
// of morvanta._native (or none, for the plain KS statistic), both windows and the
// permutation count and seed, and returns (observed statistic, the permuted
// statistics as the bytes of float64 values in permutation order).
#include <cstring>

#include "engine.hpp"
#include "permutation/permutation.hpp"

namespace morvanta::py::engine {
namespace {

using permutation::PermutationStats;

PyObject* stats_or_raise(std::optional<Result<PermutationStats>>&& r) {
    if (!r) return nullptr;
    if (!r->ok()) return raise_drift(r->error());
    const PermutationStats& s = r->value();
    Ref bytes(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(s.permuted.data()),
                                        static_cast<Py_ssize_t>(s.permuted.size() * sizeof(double))));
    if (!bytes) return nullptr;
    return Py_BuildValue("(dO)", s.observed, bytes.get());
}

template <class Det>
bool detector_arg(PyObject* obj, PyTypeObject* type, const char* expected, Det& out) {
    const Det* d = detector_of<Det>(obj, type);
    if (!d) {
        Ref name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__name__"));
        if (!name) return false;
        PyErr_Format(PyExc_TypeError, "argument 'detector': expected %s, got %S", expected, name.get());
        return false;
    }
    out = *d;
    return true;
}

bool count_and_seed(PyObject* count, PyObject* seed, std::size_t& n, std::uint64_t& s) {
    return arg_size("n_permutations", count, n) && arg_u64("seed", seed, s);
}

PyObject* ks_permutations(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* a[4];
        if (!bind_args("ks_permutations()", {"baseline", "current", "n_permutations", "seed"}, 4, args, kwargs, a))
            return nullptr;
        std::vector<double> b, c;
        std::size_t n = 0;
        std::uint64_t seed = 0;
        if (!arg_float_seq("baseline", a[0], b) || !arg_float_seq("current", a[1], c) ||
            !count_and_seed(a[2], a[3], n, seed))
            return nullptr;
        return stats_or_raise(without_gil([&] { return permutation::ks_test(b, c, n, seed); }));
    });
}

PyObject* confidence_permutations(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* a[7];
        if (!bind_args(
                "confidence_permutations()",
                {"detector", "baseline", "baseline_correct", "current", "current_correct", "n_permutations", "seed"}, 7,
                args, kwargs, a))
            return nullptr;
        ConfidenceDriftDetector det;
        std::vector<double> b, c;
        std::vector<std::uint8_t> bc, cc;
        std::size_t n = 0;
        std::uint64_t seed = 0;
        if (!detector_arg(a[0], g.confidence_drift, "ConfidenceDrift", det) || !arg_float_seq("baseline", a[1], b) ||
            !arg_bool_seq("baseline_correct", a[2], bc) || !arg_float_seq("current", a[3], c) ||
            !arg_bool_seq("current_correct", a[4], cc) || !count_and_seed(a[5], a[6], n, seed))
            return nullptr;
        return stats_or_raise(
            without_gil([&] { return permutation::confidence_correctness_test(det, b, bc, c, cc, n, seed); }));
    });
}

PyObject* data_permutations(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* a[5];
        if (!bind_args("data_permutations()", {"detector", "baseline", "current", "n_permutations", "seed"}, 5, args,
                       kwargs, a))
            return nullptr;
        DataDriftDetector det;
        MatrixF64 b, c;
        std::size_t n = 0;
        std::uint64_t seed = 0;
        if (!detector_arg(a[0], g.data_drift, "DataDrift", det) || !arg_matrix_f64("baseline", a[1], b) ||
            !arg_matrix_f64("current", a[2], c) || !count_and_seed(a[3], a[4], n, seed))
            return nullptr;
        return stats_or_raise(without_gil([&] { return permutation::data_test(det, b, c, n, seed); }));
    });
}

template <class Det, Result<PermutationStats> (*Test)(const Det&, ViewF32, ViewF32, std::size_t, std::uint64_t)>
PyObject* matrix_permutations(const char* fname, PyTypeObject* type, const char* expected, PyObject* args,
                              PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* a[5];
        if (!bind_args(fname, {"detector", "baseline", "current", "n_permutations", "seed"}, 5, args, kwargs, a))
            return nullptr;
        Det det;
        MatrixF32 b, c;
        std::size_t n = 0;
        std::uint64_t seed = 0;
        if (!detector_arg(a[0], type, expected, det) || !arg_matrix_f32("baseline", a[1], b) ||
            !arg_matrix_f32("current", a[2], c) || !count_and_seed(a[3], a[4], n, seed))
            return nullptr;
        return stats_or_raise(without_gil([&] { return Test(det, b, c, n, seed); }));
    });
}

PyObject* embedding_permutations(PyObject*, PyObject* args, PyObject* kwargs) {
    return matrix_permutations<EmbeddingDriftDetector, permutation::embedding_test>(
        "embedding_permutations()", g.embedding_drift, "EmbeddingDrift", args, kwargs);
}

PyObject* query_permutations(PyObject*, PyObject* args, PyObject* kwargs) {
    return matrix_permutations<QueryDriftDetector, permutation::query_test>("query_permutations()", g.query_drift,
                                                                            "QueryDrift", args, kwargs);
}

PyObject* response_permutations(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* a[7];
        if (!bind_args("response_permutations()",
                       {"detector", "baseline_lengths", "current_lengths", "baseline_embeddings", "current_embeddings",
                        "n_permutations", "seed"},
                       7, args, kwargs, a))
            return nullptr;
        ResponseDriftDetector det;
        std::vector<double> bl, cl;
        MatrixF32 be, ce;
        std::size_t n = 0;
        std::uint64_t seed = 0;
        if (!detector_arg(a[0], g.response_drift, "ResponseDrift", det) ||
            !arg_float_seq("baseline_lengths", a[1], bl) || !arg_float_seq("current_lengths", a[2], cl) ||
            !arg_matrix_f32("baseline_embeddings", a[3], be) || !arg_matrix_f32("current_embeddings", a[4], ce) ||
            !count_and_seed(a[5], a[6], n, seed))
            return nullptr;
        return stats_or_raise(
            without_gil([&] { return permutation::response_embeddings_test(det, bl, cl, be, ce, n, seed); }));
    });
}

PyObject* split_labels(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* a[4];
        if (!bind_args("split_labels()", {"n_total", "n_baseline", "seed", "index"}, 4, args, kwargs, a))
            return nullptr;
        std::size_t total = 0, m = 0;
        std::uint64_t seed = 0, index = 0;
        if (!arg_size("n_total", a[0], total) || !arg_size("n_baseline", a[1], m) || !arg_u64("seed", a[2], seed) ||
            !arg_u64("index", a[3], index))
            return nullptr;
        if (m > total) {
            PyErr_SetString(PyExc_ValueError, "argument 'n_baseline': must not exceed n_total");
            return nullptr;
        }
        const std::vector<std::uint8_t> labels = permutation::split_labels(total, m, seed, index);
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(labels.data()),
                                         static_cast<Py_ssize_t>(labels.size()));
    });
}

constexpr int kFlags = METH_VARARGS | METH_KEYWORDS;

const Register reg{
    {"ks_permutations", cfunc(ks_permutations), kFlags,
     "ks_permutations(baseline, current, n_permutations, seed)\n--\n\n"
     "KS statistic of the split and of every permutation: (observed, float64 bytes)."},
    {"confidence_permutations", cfunc(confidence_permutations), kFlags,
     "confidence_permutations(detector, baseline, baseline_correct, current, current_correct, n_permutations, "
     "seed)\n--\n\nKS + |ECE delta| of the split and of every permutation (pairs move together)."},
    {"data_permutations", cfunc(data_permutations), kFlags,
     "data_permutations(detector, baseline, current, n_permutations, seed)\n--\n\n"
     "Data drift statistic (max over columns of max(KS, PSI)) of the split and of every permutation of rows."},
    {"embedding_permutations", cfunc(embedding_permutations), kFlags,
     "embedding_permutations(detector, baseline, current, n_permutations, seed)\n--\n\n"
     "max(MMD^2 with the pooled bandwidth, 0) + sliced W1 of the split and of every permutation."},
    {"query_permutations", cfunc(query_permutations), kFlags,
     "query_permutations(detector, baseline, current, n_permutations, seed)\n--\n\n"
     "Symmetric KL over clusters fitted on the pooled rows, of the split and of every permutation."},
    {"response_permutations", cfunc(response_permutations), kFlags,
     "response_permutations(detector, baseline_lengths, current_lengths, baseline_embeddings, current_embeddings, "
     "n_permutations, seed)\n--\n\nKS(lengths) + sliced W1(embeddings), lengths and rows dealt each on their own."},
    {"split_labels", cfunc(split_labels), kFlags,
     "split_labels(n_total, n_baseline, seed, index)\n--\n\n"
     "The deal of permutation `index`: one byte per pooled row, 1 for the baseline side."},
};

}  // namespace
}  // namespace morvanta::py::engine
