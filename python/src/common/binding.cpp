#include "binding.hpp"

#include <cstring>
#include <string>
#include <vector>

#include "errors.hpp"

namespace morvanta::py {

namespace {

std::string quoted_list(const std::vector<const char*>& names) {
    // CPython: 'a' / 'a' and 'b' / 'a', 'b', and 'c'
    std::string s;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() == 2) s += " and ";
            else if (i + 1 == names.size()) s += ", and ";
            else s += ", ";
        }
        s += "'";
        s += names[i];
        s += "'";
    }
    return s;
}

}  // namespace

bool bind_args(const char* fname, std::span<const char* const> names, std::size_t required, PyObject* args,
               PyObject* kwargs, PyObject** out) {
    std::strncpy(t_call_name.text, fname, sizeof t_call_name.text - 1);
    t_call_name.text[sizeof t_call_name.text - 1] = '\0';
    const std::size_t n = names.size();
    const char* const* name = names.data();
    for (std::size_t i = 0; i < n; ++i) out[i] = nullptr;

    Py_ssize_t nargs = args ? PyTuple_Size(args) : 0;
    if (nargs < 0) return false;
    if (static_cast<std::size_t>(nargs) > n) {
        std::string takes;
        if (required == n) takes = std::to_string(n) + (n == 1 ? " positional argument" : " positional arguments");
        else takes = "from " + std::to_string(required) + " to " + std::to_string(n) + " positional arguments";
        std::string msg = std::string(fname) + " takes " + takes + " but " + std::to_string(nargs) +
                          (nargs == 1 ? " was given" : " were given");
        PyErr_SetString(PyExc_TypeError, msg.c_str());
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GetItem(args, i);

    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, "%s keywords must be strings", fname);
                return false;
            }
            std::size_t idx = n;
            for (std::size_t i = 0; i < n; ++i) {
                if (PyUnicode_CompareWithASCIIString(key, name[i]) == 0) {
                    idx = i;
                    break;
                }
            }
            if (idx == n) {
                PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", fname, key);
                return false;
            }
            if (out[idx]) {
                PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", fname, name[idx]);
                return false;
            }
            out[idx] = value;
        }
    }

    std::vector<const char*> missing;
    for (std::size_t i = 0; i < required; ++i)
        if (!out[i]) missing.push_back(name[i]);
    if (!missing.empty()) {
        std::string msg = std::string(fname) + " missing " + std::to_string(missing.size()) + " required positional " +
                          (missing.size() == 1 ? "argument: " : "arguments: ") + quoted_list(missing);
        PyErr_SetString(PyExc_TypeError, msg.c_str());
        return false;
    }
    return true;
}

bool check_receiver(PyObject* self, PyTypeObject* type, const char* fname) {
    if (self && PyObject_TypeCheck(self, type)) return true;
    PyErr_Format(PyExc_TypeError, "%s needs a receiver of its own class", fname);
    return false;
}

}  // namespace morvanta::py
