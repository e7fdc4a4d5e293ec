#include "pyrefs.hpp"

namespace zel {

void py_refs_init() {
    PyRefs& r = detail::py_refs_storage();
    r.numpy = nb::module_::import_("numpy");
    r.np_empty = r.numpy.attr("empty");
    r.np_int32 = r.numpy.attr("int32");
    r.np_integer = r.numpy.attr("integer");
    r.np_floating = r.numpy.attr("floating");
    r.np_void = r.numpy.attr("void");
    r.fraction = nb::module_::import_("fractions").attr("Fraction");
    nb::module_ decimal = nb::module_::import_("decimal");
    r.decimal = decimal.attr("Decimal");
    r.invalid_operation = decimal.attr("InvalidOperation");
    r.getcontext = decimal.attr("getcontext");
}

void set_decimal_precision(int digits) { py_refs().getcontext().attr("prec") = digits; }

}  // namespace zel
