#include "boxed.hpp"

#include "errors.hpp"
#include "module_state.hpp"

namespace morvanta::py {

PyTypeObject* make_type(const char* qualname, int basicsize, PyType_Slot* slots) {
    PyType_Spec type_spec{qualname, basicsize, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
}

PyObject* new_drift_score(DriftScore score) { return box_new(g.drift_score, std::move(score)); }

PyObject* score_or_raise(std::optional<Result<DriftScore>>&& r) {
    if (!r) return nullptr;  // internal fault already raised
    if (!r->ok()) return raise_drift(r->error());
    return new_drift_score(std::move(*r).value());
}

}  // namespace morvanta::py
