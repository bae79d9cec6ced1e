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

// Builds a dict from (key, new reference) pairs; any nullptr fails the whole.
class DictBuilder {
public:
    DictBuilder() : d_(PyDict_New()) { ok_ = static_cast<bool>(d_); }
    DictBuilder& set(const char* key, PyObject* value) {
        Ref v(value);
        if (ok_ && (!v || PyDict_SetItemString(d_.get(), key, v.get()) != 0)) ok_ = false;
        return *this;
    }
    PyObject* done() { return ok_ ? d_.release() : nullptr; }

private:
    Ref d_;
    bool ok_ = false;
};

}  // namespace morvanta::py
