// morvanta._native: the detector and result classes, each built by its own
// function from its slots, called in module order when the module starts.
#pragma once

#include "binding.hpp"
#include "boxed.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "gil.hpp"
#include "module_state.hpp"
#include "ref.hpp"

namespace morvanta::py {

PyTypeObject* make_drift_score_type();
PyTypeObject* make_drift_report_type();
PyTypeObject* make_baseline_snapshot_type();
PyTypeObject* make_embedding_drift_type();
PyTypeObject* make_data_drift_type();
PyTypeObject* make_response_drift_type();
PyTypeObject* make_confidence_drift_type();
PyTypeObject* make_query_drift_type();

}  // namespace morvanta::py
