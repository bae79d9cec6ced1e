// Raising Python exceptions: core failures (DriftError) mapped onto MorvantaError,
// MemoryError or the pending interrupt, and C++ exceptions escaping a call body
// turned into the internal fault or MemoryError.
#pragma once

#include <cxxabi.h>

#include <exception>
#include <new>
#include <stdexcept>
#include <string>

#include "error.hpp"
#include "ref.hpp"

namespace morvanta::py {

// Raises the internal-fault exception (derived from BaseException) and returns nullptr.
PyObject* raise_internal(const std::string& message);
// Raises MorvantaError carrying exactly `message`.
PyObject* raise_morvanta(const std::string& message);
// Raises MorvantaError for a core failure; an interrupted call (Cancelled)
// raises the pending interrupt instead, KeyboardInterrupt if none is pending,
// and a buffer the machine cannot hold (OutOfMemory) raises MemoryError.
PyObject* raise_drift(const DriftError& e);

// True when the pending exception is an interrupt rather than a failure: not an
// Exception (KeyboardInterrupt, SystemExit). A signal handler that runs inside
// Python code the binding calls (a __len__, NumPy's import) raises it there; it
// is never discarded or replaced by another error.
bool interrupt_pending();

// The method running on this thread, e.g. "EmbeddingDrift.detect()": copied in
// by bind_args so that an allocation failure deep in a call can name it;
// `guarded` restores the caller's value when a nested call returns.
struct CallName {
    char text[96];
};
extern thread_local CallName t_call_name;

// Raises MemoryError "out of memory in <method>" (just "out of memory" outside a
// named call) and returns nullptr. A request the machine cannot grant is not an
// internal fault: `except Exception` in a monitoring loop must catch it.
PyObject* raise_out_of_memory();

// Runs a call body and turns any escaping C++ exception into an internal fault,
// so that nothing a caller passes can take the interpreter down; an allocation
// failure (std::bad_alloc, or a container asked for more than it can hold)
// becomes MemoryError instead.
// A thread that the finalizing interpreter ends is unwound by the C library
// (abi::__forced_unwind); that unwind must pass through untouched. It carries no
// C++ exception object, which the undefined-behaviour sanitizer would flag.
#define MORVANTA_PASSES_FORCED_UNWIND __attribute__((no_sanitize_undefined))

template <class F>
MORVANTA_PASSES_FORCED_UNWIND PyObject* guarded(F&& body) {
    struct Restore {
        CallName saved = t_call_name;
        ~Restore() { t_call_name = saved; }
    } restore;
    try {
        return body();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (const std::bad_alloc&) {
        if (PyErr_Occurred()) PyErr_Clear();
        return raise_out_of_memory();
    } catch (const std::length_error&) {
        if (PyErr_Occurred()) PyErr_Clear();
        return raise_out_of_memory();
    } catch (const std::exception& e) {
        if (PyErr_Occurred()) PyErr_Clear();
        return raise_internal(e.what());
    } catch (...) {
        if (PyErr_Occurred()) PyErr_Clear();
        return raise_internal("unknown internal error");
    }
}

}  // namespace morvanta::py
