// Running core work with the interpreter lock released, interruptible by the
// signals Python handles (Ctrl-C) through the core's cancellation points.
#pragma once

#include <optional>
#include <string>

#include "cancel.hpp"
#include "errors.hpp"

namespace morvanta::py {

// Looks up the thread that runs Python's signal handlers (threading's main
// thread) for on_signal_thread. Called by each module's initialisation: looking
// it up at a call instead would run Python code there, and a Ctrl-C arriving
// just before (while the arguments were copied) would have its handler run and
// its KeyboardInterrupt discarded inside the lookup. A forked child takes the
// thread that forked, which Python makes its main thread. False with the
// exception set.
bool find_signal_thread();

// True on the thread that runs Python's signal handlers (the main thread).
// Called with the lock held; runs no Python code. Only there does polling for signals do anything, so
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

}  // namespace morvanta::py
