// Argument checks shared by every binding.
#pragma once

#include <string>
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include "messages.hpp"

namespace zel {
namespace nb = nanobind;

// TypeError "Argument '<arg>' has incorrect type (expected <exp>, got <type>)" (msg::ARG_TYPE).
[[noreturn]] void raise_arg_type(const char* arg, const char* expected, nb::handle got);

// Exact built-in type checks (subclasses refused, as the interface states).
inline bool is_exact_int(nb::handle h) { return PyLong_CheckExact(h.ptr()); }
void require_exact(nb::handle h, PyTypeObject* type, const char* arg, const char* expected);
inline void require_int(nb::handle h, const char* arg) { require_exact(h, &PyLong_Type, arg, "int"); }
inline void require_tuple(nb::handle h, const char* arg) { require_exact(h, &PyTuple_Type, arg, "tuple"); }
inline void require_list(nb::handle h, const char* arg) { require_exact(h, &PyList_Type, arg, "list"); }
// An exact int that fits int64; OverflowError otherwise.
long long exact_int_value(nb::handle h, const char* arg);

// int(h) as a new Python int (raises what int() raises).
inline nb::object to_pyint(nb::handle h) {
    PyObject* r = PyNumber_Long(h.ptr());
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

// bool(h) and the comparison a <op> b; a Python error (NumPy arrays refuse
// bool() of several elements) propagates instead of reading as false.
inline bool py_truthy(nb::handle h) {
    int r = PyObject_IsTrue(h.ptr());
    if (r < 0) throw nb::python_error();
    return r == 1;
}
// Drops the pending Python error where a failed probe of a foreign object
// means "no"; an error that is not an Exception (KeyboardInterrupt, SystemExit)
// is the user's and propagates.
inline void drop_error() {
    if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_Exception)) throw nb::python_error();
    PyErr_Clear();
}
inline bool py_isinstance(PyObject* o, PyObject* cls) {
    int r = PyObject_IsInstance(o, cls);
    if (r < 0) throw nb::python_error();
    return r == 1;
}
inline bool py_compare(nb::handle a, nb::handle b, int op) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
    if (r < 0) throw nb::python_error();
    return r == 1;
}

// Printed form of a shape, as Python prints tuples: (2, 3), (3,), ().
std::string shape_str(nb::handle shape);

}  // namespace zel
