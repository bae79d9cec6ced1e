#include "gil.hpp"

#include <pthread.h>

#include <atomic>

namespace morvanta::py {

namespace {

// threading.main_thread().ident, set when the module starts and again in a
// forked child.
std::atomic<unsigned long> g_signal_thread{0};

void forked_child() { g_signal_thread.store(PyThread_get_thread_ident()); }

}  // namespace

bool find_signal_thread() {
    Ref threading(PyImport_ImportModule("threading"));
    if (!threading) return false;
    Ref main(PyObject_CallMethod(threading.get(), "main_thread", nullptr));
    if (!main) return false;
    Ref id(PyObject_GetAttrString(main.get(), "ident"));
    if (!id) return false;
    const unsigned long ident = PyLong_AsUnsignedLong(id.get());
    if (PyErr_Occurred()) return false;
    static const int registered = pthread_atfork(nullptr, nullptr, forked_child);
    (void)registered;
    g_signal_thread.store(ident);
    return true;
}

bool on_signal_thread() { return PyThread_get_thread_ident() == g_signal_thread.load(); }

}  // namespace morvanta::py
