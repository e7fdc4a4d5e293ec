#include "errors.hpp"

namespace zel {

void raise_arg_type(const char* arg, const char* expected, nb::handle got) {
    PyErr_Format(PyExc_TypeError, msg::ARG_TYPE, arg, expected, Py_TYPE(got.ptr())->tp_name);
    throw nb::python_error();
}

void require_exact(nb::handle h, PyTypeObject* type, const char* arg, const char* expected) {
    if (Py_TYPE(h.ptr()) != type) raise_arg_type(arg, expected, h);
}

long long exact_int_value(nb::handle h, const char* arg) {
    require_int(h, arg);
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(h.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw nb::python_error();
    if (overflow) {
        PyErr_Format(PyExc_OverflowError, msg::ARG_INT64, arg, _PyLong_NumBits(h.ptr()));
        throw nb::python_error();
    }
    return v;
}

std::string shape_str(nb::handle shape) {
    // Messages stay short and printable whatever the object (a huge int has
    // no str(), a rank-45000 shape a long one).
    nb::object s = nb::steal(PyObject_Str(shape.ptr()));
    const char* u = s.is_valid() ? PyUnicode_AsUTF8(s.ptr()) : nullptr;
    if (!u) {
        drop_error();
        return std::string("<") + Py_TYPE(shape.ptr())->tp_name + " object>";
    }
    std::string r(u);
    if (r.size() > 200) r = r.substr(0, 180) + "... (" + std::to_string(r.size()) + " characters)";
    return r;
}

}  // namespace zel
