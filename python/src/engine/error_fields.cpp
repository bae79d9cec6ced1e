// The kind and values of a core error, read from its message by the core's own
// decoder: the package tells errors apart without matching their text.
#include <string_view>

#include "engine.hpp"

namespace morvanta::py::engine {
namespace {

// A byte count of up to 128 bits as a Python int.
PyObject* byte_count_int(const DecodedError& d) {
    if (d.second == 0) return PyLong_FromSize_t(d.first);
    Ref high(PyLong_FromSize_t(d.second)), low(PyLong_FromSize_t(d.first)), shift(PyLong_FromLong(64));
    if (!high || !low || !shift) return nullptr;
    Ref shifted(PyNumber_Lshift(high.get(), shift.get()));
    return shifted ? PyNumber_Or(shifted.get(), low.get()) : nullptr;
}

PyObject* error_fields(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* a[1];
        if (!bind_args("error_fields()", {"message"}, 1, args, kwargs, a)) return nullptr;
        PyObject* message = a[0];
        if (!PyUnicode_Check(message)) {
            PyErr_SetString(PyExc_TypeError, "argument 'message': expected str");
            return nullptr;
        }
        Py_ssize_t n = 0;
        const char* s = PyUnicode_AsUTF8AndSize(message, &n);
        if (!s) return nullptr;
        const std::optional<DecodedError> d = decode_error(std::string_view(s, static_cast<std::size_t>(n)));
        if (!d) Py_RETURN_NONE;
        Ref expected, got, context;
        switch (d->kind) {
            case ErrorKind::DimensionMismatch:
            case ErrorKind::InsufficientSamples:
                expected = Ref(PyLong_FromSize_t(d->first));
                got = Ref(PyLong_FromSize_t(d->second));
                context =
                    Ref(PyUnicode_FromStringAndSize(d->context.data(), static_cast<Py_ssize_t>(d->context.size())));
                break;
            case ErrorKind::NumericalInstability:
                context =
                    Ref(PyUnicode_FromStringAndSize(d->context.data(), static_cast<Py_ssize_t>(d->context.size())));
                break;
            case ErrorKind::OutOfMemory:
                expected = Ref(byte_count_int(*d));
                context =
                    Ref(PyUnicode_FromStringAndSize(d->context.data(), static_cast<Py_ssize_t>(d->context.size())));
                break;
            case ErrorKind::InvalidConfig:
            case ErrorKind::Io:
            case ErrorKind::Serialization:
            case ErrorKind::Cancelled: break;
        }
        if (PyErr_Occurred()) return nullptr;
        auto or_none = [](Ref& r) { return r ? r.get() : Py_None; };
        return Py_BuildValue("(sOOO)", error_kind_name(d->kind), or_none(expected), or_none(got), or_none(context));
    });
}

const Register reg{
    {"error_fields", cfunc(error_fields), METH_VARARGS | METH_KEYWORDS,
     "error_fields(message)\n--\n\n(kind, expected, got, context) of the core error whose message is `message`, or "
     "None for any other text."},
};

}  // namespace
}  // namespace morvanta::py::engine
