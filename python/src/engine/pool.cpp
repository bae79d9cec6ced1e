// Size of the core's worker pool, for tests and benchmarks that compare worker
// counts. Results never depend on it; only speed does.
#include "pool.hpp"
#include "engine.hpp"

namespace morvanta::py::engine {
namespace {

PyObject* set_threads(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* a[1];
        if (!bind_args("set_threads()", {"n"}, 1, args, kwargs, a)) return nullptr;
        std::size_t n = 0;
        if (!arg_size("n", a[0], n)) return nullptr;
        if (n > 1024) {
            PyErr_SetString(PyExc_ValueError, "argument 'n': at most 1024 worker threads");
            return nullptr;
        }
        Py_BEGIN_ALLOW_THREADS pool_set_threads(n);
        Py_END_ALLOW_THREADS Py_RETURN_NONE;
    });
}

PyObject* threads(PyObject*, PyObject* args, PyObject* kwargs) {
    if (!bind_args("threads()", {}, 0, args, kwargs, nullptr)) return nullptr;
    return PyLong_FromSize_t(pool_threads());
}

const Register reg{
    {"set_threads", cfunc(set_threads), METH_VARARGS | METH_KEYWORDS,
     "set_threads(n)\n--\n\nThreads that work on each parallel loop of pools started from now on, the calling\n"
     "thread included (1: everything on the calling thread; 0: one per hardware thread).\nScores never depend on it."},
    {"threads", cfunc(threads), METH_VARARGS | METH_KEYWORDS,
     "threads()\n--\n\nThe thread count (calling thread included) a pool started now would have."},
};

}  // namespace
}  // namespace morvanta::py::engine
