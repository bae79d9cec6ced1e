#include "errors.hpp"

#include "module_state.hpp"

namespace morvanta::py {

PyObject* raise_internal(const std::string& message) {
    PyObject* type = g.internal_error ? g.internal_error : PyExc_SystemError;
    PyErr_SetString(type, message.c_str());
    return nullptr;
}

PyObject* raise_morvanta(const std::string& message) {
    PyErr_SetString(g.morvanta_error, message.c_str());
    return nullptr;
}

PyObject* raise_drift(const DriftError& e) {
    if (e.kind == ErrorKind::Cancelled) {
        if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
        return nullptr;
    }
    if (e.kind == ErrorKind::OutOfMemory) {
        PyErr_SetString(PyExc_MemoryError, e.message().c_str());
        return nullptr;
    }
    return raise_morvanta(e.message());
}

bool interrupt_pending() { return PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_Exception); }

thread_local CallName t_call_name = {};

PyObject* raise_out_of_memory() {
    // Built without allocating much: the heap may be what just ran out.
    if (t_call_name.text[0]) PyErr_Format(PyExc_MemoryError, "out of memory in %s", t_call_name.text);
    else PyErr_SetString(PyExc_MemoryError, "out of memory");
    return nullptr;
}

}  // namespace morvanta::py
