// The Python objects every folder uses, imported once at start-up: NumPy and
// its scalar types, fractions.Fraction, decimal.Decimal and the decimal
// context.  Kept here only, so no file imports them again.
#pragma once

#include <nanobind/nanobind.h>

namespace zel {
namespace nb = nanobind;

struct PyRefs {
    nb::object numpy;                             // the numpy module
    nb::object np_empty, np_int32;                // numpy.empty, numpy.int32
    nb::object np_integer, np_floating, np_void;  // NumPy's scalar classes
    nb::object fraction;                          // fractions.Fraction
    nb::object decimal;                           // decimal.Decimal
    nb::object invalid_operation;                 // decimal.InvalidOperation
    nb::object getcontext;                        // decimal.getcontext
};

namespace detail {
inline PyRefs& py_refs_storage() {
    static PyRefs* r = new PyRefs();  // lives until process exit, like the module
    return *r;
}
}  // namespace detail

// Filled by py_refs_init, which module start-up calls before anything else.
inline const PyRefs& py_refs() { return detail::py_refs_storage(); }
void py_refs_init();

// Sets the precision (in digits) of the calling thread's decimal context.
void set_decimal_precision(int digits);

}  // namespace zel
