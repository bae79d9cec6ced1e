// Result classes: DriftScore, DriftReport and BaselineSnapshot.
#include <string>

#include "format.hpp"
#include "native.hpp"
#include "report.hpp"
#include "snapshot.hpp"

namespace morvanta::py {

namespace {

PyObject* str_from(const std::string& s) {
    return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

const char* word(bool b) { return b ? "true" : "false"; }

// ================================================================ DriftScore

PyObject* score_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "No constructor defined for DriftScore");
    return nullptr;
}

const DriftScore& score_of(PyObject* self) { return unbox<DriftScore>(self); }

PyObject* score_get_dimension(PyObject* self, void*) {
    return PyUnicode_FromString(dimension_text(score_of(self).dimension));
}
PyObject* score_get_score(PyObject* self, void*) { return PyFloat_FromDouble(score_of(self).score); }
PyObject* score_get_threshold(PyObject* self, void*) { return PyFloat_FromDouble(score_of(self).threshold); }
PyObject* score_get_exceeded(PyObject* self, void*) { return PyBool_FromLong(score_of(self).exceeded); }
PyObject* score_get_method(PyObject* self, void*) { return str_from(score_of(self).method); }

PyObject* score_to_dict(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        if (!bind_args("DriftScore.to_dict()", {}, 0, args, kwargs, nullptr)) return nullptr;
        if (!check_receiver(self, g.drift_score, "DriftScore.to_dict()")) return nullptr;
        const DriftScore& s = score_of(self);
        Ref d(PyDict_New());
        if (!d) return nullptr;
        auto put = [&](const char* key, PyObject* value) {
            Ref v(value);
            return v && PyDict_SetItemString(d.get(), key, v.get()) == 0;
        };
        if (!put("dimension", PyUnicode_FromString(dimension_text(s.dimension))) ||
            !put("score", PyFloat_FromDouble(s.score)) || !put("threshold", PyFloat_FromDouble(s.threshold)) ||
            !put("exceeded", PyBool_FromLong(s.exceeded)) || !put("method", str_from(s.method)))
            return nullptr;
        return d.release();
    });
}

PyObject* score_repr(PyObject* self) {
    return guarded([&]() -> PyObject* {
        const DriftScore& s = score_of(self);
        std::string r = "DriftScore(dimension='";
        r += dimension_text(s.dimension);
        r += "', score=" + format_fixed6(s.score) + ", threshold=" + format_fixed6(s.threshold) + ", exceeded=";
        r += word(s.exceeded);
        r += ", method='" + s.method + "')";
        return str_from(r);
    });
}

PyGetSetDef score_getset[] = {
    {"dimension", score_get_dimension, nullptr, nullptr, nullptr},
    {"score", score_get_score, nullptr, nullptr, nullptr},
    {"threshold", score_get_threshold, nullptr, nullptr, nullptr},
    {"exceeded", score_get_exceeded, nullptr, nullptr, nullptr},
    {"method", score_get_method, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef score_methods[] = {
    {"to_dict", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(score_to_dict)),
     METH_VARARGS | METH_KEYWORDS, "to_dict($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// ================================================================ DriftReport

const DriftReport& report_of(PyObject* self) { return unbox<DriftReport>(self); }

bool arg_scores(const char* param, PyObject* obj, std::vector<DriftScore>& out) {
    auto fail_type = [&](const char* fmt, PyObject* o) {
        Ref n(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(o)), "__name__"));
        if (n) PyErr_Format(PyExc_TypeError, fmt, param, n.get());
        return false;
    };
    if (PyUnicode_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "argument '%s': expected a sequence of DriftScore, not str", param);
        return false;
    }
    if (!PySequence_Check(obj)) return fail_type("argument '%s': expected a sequence of DriftScore, not %U", obj);
    std::size_t hint = 0;
    if (!length_hint(obj, hint)) return false;
    out.reserve(hint);
    Ref it(PyObject_GetIter(obj));
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && PyErr_Occurred()) {
            PyErr_Clear();
            return fail_type("argument '%s': expected a sequence of DriftScore, not %U", obj);
        }
        return false;
    }
    while (PyObject* raw = PyIter_Next(it.get())) {
        Ref item(raw);
        if (!PyObject_TypeCheck(item.get(), g.drift_score))
            return fail_type("argument '%s': expected DriftScore items, found %U", item.get());
        out.push_back(unbox<DriftScore>(item.get()));
    }
    return !PyErr_Occurred();
}

PyObject* report_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* a[3];
        if (!bind_args("DriftReport.__new__()", {"scores", "sample_size_baseline", "sample_size_current"}, 3, args,
                       kwargs, a))
            return nullptr;
        DriftReport r;
        if (!arg_scores("scores", a[0], r.scores)) return nullptr;
        if (!arg_u64("sample_size_baseline", a[1], r.sample_size_baseline)) return nullptr;
        if (!arg_u64("sample_size_current", a[2], r.sample_size_current)) return nullptr;
        r.timestamp = wall_clock_seconds();
        return box_new(type, std::move(r));
    });
}

PyObject* report_get_scores(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        const auto& scores = report_of(self).scores;
        Ref list(PyList_New(static_cast<Py_ssize_t>(scores.size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < scores.size(); ++i) {
            PyObject* s = new_drift_score(scores[i]);
            if (!s) return nullptr;
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), s);  // steals
        }
        return list.release();
    });
}
PyObject* report_get_timestamp(PyObject* self, void*) { return PyLong_FromLongLong(report_of(self).timestamp); }
PyObject* report_get_size_baseline(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(report_of(self).sample_size_baseline);
}
PyObject* report_get_size_current(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(report_of(self).sample_size_current);
}

PyObject* report_any_exceeded(PyObject* self, PyObject* args, PyObject* kwargs) {
    if (!bind_args("DriftReport.any_exceeded()", {}, 0, args, kwargs, nullptr)) return nullptr;
    if (!check_receiver(self, g.drift_report, "DriftReport.any_exceeded()")) return nullptr;
    return PyBool_FromLong(report_of(self).any_exceeded());
}

PyObject* report_max_score(PyObject* self, PyObject* args, PyObject* kwargs) {
    if (!bind_args("DriftReport.max_score()", {}, 0, args, kwargs, nullptr)) return nullptr;
    if (!check_receiver(self, g.drift_report, "DriftReport.max_score()")) return nullptr;
    return PyFloat_FromDouble(report_of(self).max_score());
}

PyObject* report_to_json(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        if (!bind_args("DriftReport.to_json()", {}, 0, args, kwargs, nullptr)) return nullptr;
        if (!check_receiver(self, g.drift_report, "DriftReport.to_json()")) return nullptr;
        return str_from(report_of(self).to_json());
    });
}

PyObject* report_repr(PyObject* self) {
    return guarded([&]() -> PyObject* {
        const DriftReport& r = report_of(self);
        std::string s = "DriftReport(scores=" + std::to_string(r.scores.size()) +
                        ", max_score=" + format_fixed6(r.max_score()) + ", any_exceeded=" + word(r.any_exceeded()) +
                        ")";
        return str_from(s);
    });
}

PyGetSetDef report_getset[] = {
    {"scores", report_get_scores, nullptr, nullptr, nullptr},
    {"timestamp", report_get_timestamp, nullptr, nullptr, nullptr},
    {"sample_size_baseline", report_get_size_baseline, nullptr, nullptr, nullptr},
    {"sample_size_current", report_get_size_current, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

template <class F>
PyCFunction cfunc(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f));
}

PyMethodDef report_methods[] = {
    {"any_exceeded", cfunc(report_any_exceeded), METH_VARARGS | METH_KEYWORDS, "any_exceeded($self)\n--\n\n"},
    {"max_score", cfunc(report_max_score), METH_VARARGS | METH_KEYWORDS, "max_score($self)\n--\n\n"},
    {"to_json", cfunc(report_to_json), METH_VARARGS | METH_KEYWORDS, "to_json($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// ================================================================ BaselineSnapshot

PyObject* snapshot_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        if (!bind_args("BaselineSnapshot.__new__()", {}, 0, args, kwargs, nullptr)) return nullptr;
        BaselineSnapshot s;
        s.captured_at = wall_clock_seconds();
        return box_new(type, std::move(s));
    });
}

PyObject* snapshot_get_captured_at(PyObject* self, void*) {
    return PyLong_FromLongLong(unbox<BaselineSnapshot>(self).captured_at);
}

PyObject* snapshot_to_json(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        if (!bind_args("BaselineSnapshot.to_json()", {}, 0, args, kwargs, nullptr)) return nullptr;
        if (!check_receiver(self, g.baseline_snapshot, "BaselineSnapshot.to_json()")) return nullptr;
        return str_from(unbox<BaselineSnapshot>(self).to_json());
    });
}

PyObject* snapshot_from_json(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* a[1];
        if (!bind_args("BaselineSnapshot.from_json()", {"s"}, 1, args, kwargs, a)) return nullptr;
        if (!PyUnicode_Check(a[0])) {
            Ref n(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(a[0])), "__name__"));
            if (n) PyErr_Format(PyExc_TypeError, "argument 's': expected str, not %U", n.get());
            return nullptr;
        }
        Py_ssize_t len = 0;
        const char* text = PyUnicode_AsUTF8AndSize(a[0], &len);  // a lone surrogate raises its encoding error
        if (!text) return nullptr;
        auto parsed = BaselineSnapshot::from_json(std::string_view(text, static_cast<std::size_t>(len)));
        if (auto* err = std::get_if<std::string>(&parsed)) return raise_morvanta("deserialize: " + *err);
        return box_new(g.baseline_snapshot, std::move(std::get<BaselineSnapshot>(parsed)));
    });
}

PyGetSetDef snapshot_getset[] = {
    {"captured_at", snapshot_get_captured_at, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef snapshot_methods[] = {
    {"to_json", cfunc(snapshot_to_json), METH_VARARGS | METH_KEYWORDS, "to_json($self)\n--\n\n"},
    {"from_json", cfunc(snapshot_from_json), METH_VARARGS | METH_KEYWORDS | METH_STATIC, "from_json(s)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* make_drift_score_type() {
    PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(score_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(boxed_dealloc<DriftScore>)},
        {Py_tp_repr, reinterpret_cast<void*>(score_repr)},
        {Py_tp_getset, score_getset},
        {Py_tp_methods, score_methods},
        {0, nullptr},
    };
    return make_type("morvanta._native.DriftScore", sizeof(Boxed<DriftScore>), slots);
}

PyTypeObject* make_drift_report_type() {
    static char doc[] = "DriftReport(scores, sample_size_baseline, sample_size_current)\n--\n\n";
    PyType_Slot slots[] = {
        {Py_tp_doc, doc},
        {Py_tp_new, reinterpret_cast<void*>(report_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(boxed_dealloc<DriftReport>)},
        {Py_tp_repr, reinterpret_cast<void*>(report_repr)},
        {Py_tp_getset, report_getset},
        {Py_tp_methods, report_methods},
        {0, nullptr},
    };
    return make_type("morvanta._native.DriftReport", sizeof(Boxed<DriftReport>), slots);
}

PyTypeObject* make_baseline_snapshot_type() {
    static char doc[] = "BaselineSnapshot()\n--\n\n";
    PyType_Slot slots[] = {
        {Py_tp_doc, doc},
        {Py_tp_new, reinterpret_cast<void*>(snapshot_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(boxed_dealloc<BaselineSnapshot>)},
        {Py_tp_getset, snapshot_getset},
        {Py_tp_methods, snapshot_methods},
        {0, nullptr},
    };
    return make_type("morvanta._native.BaselineSnapshot", sizeof(Boxed<BaselineSnapshot>), slots);
}

}  // namespace morvanta::py
