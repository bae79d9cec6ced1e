// Shared machinery of the extension module: owned references, the calling
// frame (argument binding, conversions, error mapping) and boxed core values.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cxxabi.h>

#include <cstdint>
#include <exception>
#include <initializer_list>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "cancel.hpp"
#include "error.hpp"
#include "matrix.hpp"
#include "types.hpp"

namespace morvanta::py {

// ---------------------------------------------------------------- references

class Ref {
public:
    Ref() = default;
    explicit Ref(PyObject* o) noexcept : o_(o) {}  // steals
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& r) noexcept : o_(r.o_) { r.o_ = nullptr; }
    Ref& operator=(Ref&& r) noexcept {
        if (this != &r) {
            Py_XDECREF(o_);
            o_ = r.o_;
            r.o_ = nullptr;
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(o_); }
    PyObject* get() const noexcept { return o_; }
    PyObject* release() noexcept {
        PyObject* o = o_;
        o_ = nullptr;
        return o;
    }
    explicit operator bool() const noexcept { return o_ != nullptr; }

private:
    PyObject* o_ = nullptr;
};

// ---------------------------------------------------------------- module state

struct State {
    PyObject* module = nullptr;
    PyObject* morvanta_error = nullptr;  // MorvantaError(Exception)
    PyObject* internal_error = nullptr;  // InternalError(BaseException)
    PyTypeObject* drift_score = nullptr;
    PyTypeObject* drift_report = nullptr;
    PyTypeObject* baseline_snapshot = nullptr;
    PyTypeObject* embedding_drift = nullptr;
    PyTypeObject* data_drift = nullptr;
    PyTypeObject* response_drift = nullptr;
    PyTypeObject* confidence_drift = nullptr;
    PyTypeObject* query_drift = nullptr;
};
extern State g;

// ---------------------------------------------------------------- errors

// Raises the internal-fault exception (derived from BaseException) and returns nullptr.
PyObject* raise_internal(const std::string& message);
// Raises MorvantaError carrying exactly `message`.
PyObject* raise_morvanta(const std::string& message);
// Raises MorvantaError for a core failure; an interrupted call (Cancelled)
// raises the pending interrupt instead, KeyboardInterrupt if none is pending,
// and a buffer the machine cannot hold (OutOfMemory) raises MemoryError.
PyObject* raise_drift(const DriftError& e);

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

// True on the thread that runs Python's signal handlers (the main thread).
// Called with the lock held. Only there does polling for signals do anything, so
// calls on other threads never take the lock back in the middle of their work:
// no contention with the threads running Python meanwhile, and a daemon thread
// that the interpreter ends at exit is ended where the call returns, not deep
// inside the core.
bool on_signal_thread();

// Signal polling while the lock is released: the core's cancellation points
// call this on the calling thread (at most every 20 ms); it takes the lock
// briefly, lets Python run its signal handlers and cancels the call when one
// raised (KeyboardInterrupt for Ctrl-C), leaving that exception pending.
struct SignalPoll {
    PyThreadState* ts = nullptr;
    bool raised = false;
    // Not noexcept: at interpreter shutdown PyEval_RestoreThread ends a daemon
    // thread by a forced unwind, which has to travel up through the core.
    static bool poll(void* ctx) {
        auto* p = static_cast<SignalPoll*>(ctx);
        PyEval_RestoreThread(p->ts);
        const int r = PyErr_CheckSignals();
        p->ts = PyEval_SaveThread();
        if (r < 0) p->raised = true;
        return p->raised;
    }
};

// Runs `f` with the interpreter lock released, interruptible through the core's
// cancellation points. A C++ exception from the core is caught, the lock
// re-acquired, and the internal fault raised (empty optional); an allocation
// failure raises MemoryError instead. An interrupt also gives an empty
// optional, with its exception pending.
template <class F>
MORVANTA_PASSES_FORCED_UNWIND auto without_gil(F&& f) -> std::optional<decltype(f())> {
    std::optional<decltype(f())> out;
    std::string fault;
    bool out_of_memory = false;
    SignalPoll signals;
    CancelSource source;
    if (on_signal_thread()) {
        source.poll = &SignalPoll::poll;
        source.ctx = &signals;
    }
    signals.ts = PyEval_SaveThread();
    try {
        const CancelScope scope(&source);
        out.emplace(f());
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (const std::bad_alloc&) {
        out_of_memory = true;
    } catch (const std::length_error&) {
        out_of_memory = true;
    } catch (const std::exception& e) {
        fault = e.what();
        if (fault.empty()) fault = "internal error";
    } catch (...) {
        fault = "unknown internal error";
    }
    PyEval_RestoreThread(signals.ts);
    if (signals.raised) {
        // The handler's exception (KeyboardInterrupt) wins over whatever the
        // interrupted call produced.
        out.reset();
        return out;
    }
    if (out_of_memory) raise_out_of_memory();
    else if (!out) raise_internal(fault);
    return out;
}

// ---------------------------------------------------------------- binding

// Binds positional and keyword arguments to `names` (all positional-or-keyword;
// the first `required` are mandatory). out[i] receives a borrowed reference or
// nullptr for an omitted optional parameter. `fname` is e.g. "DataDrift.detect()".
bool bind_args(const char* fname, std::initializer_list<const char*> names, std::size_t required, PyObject* args,
               PyObject* kwargs, PyObject** out);

// The receiver check of unbound calls.
bool check_receiver(PyObject* self, PyTypeObject* type, const char* fname);

// ---------------------------------------------------------------- conversions
// Each returns false with a Python exception set. A plain TypeError is re-raised
// as "argument '<param>': <message>" (keeping the original's __cause__); any other
// failure, e.g. the OverflowError of a negative integer, passes unchanged.

// The reservation for a sequence's items: its __len__ when that works, capped at
// kMaxLengthHint items (the length is a hint, never trusted for memory).
inline constexpr std::size_t kMaxLengthHint = std::size_t{1} << 20;
std::size_t length_hint(PyObject* obj);

bool arg_float(const char* param, PyObject* obj, double& out);
bool arg_u64(const char* param, PyObject* obj, std::uint64_t& out);
bool arg_size(const char* param, PyObject* obj, std::size_t& out);
bool arg_float_seq(const char* param, PyObject* obj, std::vector<double>& out);
bool arg_bool_seq(const char* param, PyObject* obj, std::vector<std::uint8_t>& out);
bool arg_matrix_f64(const char* param, PyObject* obj, MatrixF64& out);
bool arg_matrix_f32(const char* param, PyObject* obj, MatrixF32& out);

// ---------------------------------------------------------------- boxed values

template <class T>
struct Boxed {
    PyObject_HEAD
    T value;
};

template <class T>
T& unbox(PyObject* o) noexcept {
    return reinterpret_cast<Boxed<T>*>(o)->value;
}

// New instance of `type` owning `value`; nullptr with MemoryError raised when
// allocation fails.
template <class T>
PyObject* box_new(PyTypeObject* type, T&& value) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* o = alloc ? alloc(type, 0) : nullptr;
    if (!o) {
        if (PyErr_Occurred()) PyErr_Clear();
        PyErr_SetString(PyExc_MemoryError, "failed to allocate a result object");
        return nullptr;
    }
    new (&reinterpret_cast<Boxed<std::decay_t<T>>*>(o)->value) std::decay_t<T>(std::forward<T>(value));
    return o;
}

template <class T>
void boxed_dealloc(PyObject* self) noexcept {
    PyTypeObject* tp = Py_TYPE(self);
    reinterpret_cast<Boxed<T>*>(self)->value.~T();
    auto tp_free = reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free));
    tp_free(self);
    Py_DECREF(tp);
}

// A Python DriftScore from a core record.
PyObject* new_drift_score(DriftScore score);
// DriftScore, or MorvantaError for a core failure; empty optional means a fault is set.
PyObject* score_or_raise(std::optional<Result<DriftScore>>&& r);

// Builds the heap type "morvanta._native.<name>" from its slots. Final,
// immutable, without instance dictionary.
PyTypeObject* make_type(const char* qualname, int basicsize, PyType_Slot* slots);

// Class builders, one per class, called in module order.
PyTypeObject* make_drift_score_type();
PyTypeObject* make_drift_report_type();
PyTypeObject* make_baseline_snapshot_type();
PyTypeObject* make_embedding_drift_type();
PyTypeObject* make_data_drift_type();
PyTypeObject* make_response_drift_type();
PyTypeObject* make_confidence_drift_type();
PyTypeObject* make_query_drift_type();

}  // namespace morvanta::py
