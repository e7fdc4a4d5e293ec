#include "errors.hpp"

namespace zel {

void raise_arg_type(const char* arg, const char* expected, nb::handle got) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", arg,
                 expected, Py_TYPE(got.ptr())->tp_name);
    throw nb::python_error();
}

void require_exact(nb::handle h, PyTypeObject* type, const char* arg, const char* expected) {
    if (Py_TYPE(h.ptr()) != type) raise_arg_type(arg, expected, h);
}

long long exact_int_value(nb::handle h, const char* arg) {
    require_int(h, arg);
    long long v = PyLong_AsLongLong(h.ptr());
    if (v == -1 && PyErr_Occurred()) throw nb::python_error();
    return v;
}

std::string shape_str(nb::handle shape) { return nb::cast<std::string>(nb::str(shape)); }

}  // namespace zel
