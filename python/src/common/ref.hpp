// References to Python objects. A `Ref` owns one (strong) reference and drops it
// when it goes; a plain `PyObject*` is borrowed: valid only while its owner
// (an argument tuple, a container, the module) keeps it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace morvanta::py {

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

}  // namespace morvanta::py
