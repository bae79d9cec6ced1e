#include "gil.hpp"

#include <pthread.h>

#include <atomic>

namespace morvanta::py {

namespace {

// threading.main_thread().ident, looked up once (and again in a forked child,
// whose main thread is the one that forked).
std::atomic<bool> g_main_known{false};
unsigned long g_main_ident = 0;

void forget_main_thread() { g_main_known.store(false); }

}  // namespace

bool on_signal_thread() {
    if (!g_main_known.load()) {
        static const int registered = pthread_atfork(nullptr, nullptr, forget_main_thread);
        (void)registered;
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        unsigned long ident = 0;
        Ref threading(PyImport_ImportModule("threading"));
        Ref main(threading ? PyObject_CallMethod(threading.get(), "main_thread", nullptr) : nullptr);
        Ref id(main ? PyObject_GetAttrString(main.get(), "ident") : nullptr);
        if (id && id.get() != Py_None) ident = PyLong_AsUnsignedLong(id.get());
        const bool ok = id && id.get() != Py_None && !PyErr_Occurred();
        PyErr_Clear();
        PyErr_Restore(type, value, tb);
        // Unknown (e.g. at shutdown): poll, as a main thread would.
        if (!ok) return true;
        g_main_ident = ident;
        g_main_known.store(true);
    }
    return PyThread_get_thread_ident() == g_main_ident;
}

}  // namespace morvanta::py
