// NumPy patching: 24 numpy functions replaced by wrappers that run this
// module's operations, and restored.
//
// The patch state (_numpy_originals, _numpy_patched) and the table
// (_NUMPY_TO_ZEL) live in the module's namespace and are looked up at call
// time, as module globals would be.  The wrappers and the rest of the module
// reach NumPy only through functions the patch never replaces (numpy.array,
// the ndarray type, array methods), so the module keeps working while the
// patch is in force.
#include <string>

#include "../core/tensor.hpp"
#include "../registry.hpp"

namespace zel {

namespace {

const char* const TABLE[][2] = {
    {"add", "add"},      {"subtract", "sub"}, {"multiply", "mul"},  {"divide", "div"}, {"negative", "neg"},
    {"absolute", "abs"}, {"sign", "sign"},    {"power", "pow"},     {"mod", "mod"},    {"sum", "sum"},
    {"prod", "prod"},    {"max", "max"},      {"min", "min"},       {"mean", "mean"},  {"std", "std"},
    {"var", "var"},      {"dot", "dot"},      {"matmul", "matmul"}, {"exp", "exp"},    {"log", "log"},
    {"sqrt", "sqrt"},    {"sin", "sin"},      {"cos", "cos"},       {"tan", "tan"}};

const char* const SCALAR_NAMES[] = {"sum", "prod", "max", "min", "mean", "std", "var"};

struct BridgeState {
    nb::object numpy, np_array, np_ndarray, print;
};

BridgeState& bridge() {
    static BridgeState* s = new BridgeState();  // lives until process exit, like the module
    return *s;
}

bool truthy(nb::handle h) {
    int r = PyObject_IsTrue(h.ptr());
    if (r < 0) throw nb::python_error();
    return r == 1;
}

nb::object call_wrapper(nb::handle zel_func, nb::handle returns_scalar, nb::args args) {
    BridgeState& b = bridge();
    const size_t n = nb::len(args);
    nb::object converted = nb::steal(PyTuple_New((Py_ssize_t)n));
    for (size_t i = 0; i < n; ++i) {
        nb::handle a = args[i];
        nb::object c;
        if (PyObject_IsInstance(a.ptr(), b.np_ndarray.ptr()) == 1)
            c = make_tensor(a.attr("tolist")());
        else if (PyList_Check(a.ptr()) || PyTuple_Check(a.ptr()))
            c = make_tensor(a);
        else
            c = nb::borrow(a);
        PyTuple_SET_ITEM(converted.ptr(), (Py_ssize_t)i, c.release().ptr());
    }
    // Keyword arguments (axis and the rest) are not passed on.
    nb::object result = nb::steal(PyObject_Call(zel_func.ptr(), converted.ptr(), nullptr));
    if (!result.is_valid()) throw nb::python_error();
    if (!is_tensor(result)) return result;
    if (truthy(returns_scalar) || nb::len(nb::cast<Tensor&>(result).data) == 1) return result.attr("item")();
    return b.np_array(result.attr("to_list")());
}

nb::object make_numpy_wrapper(nb::handle zel_func, nb::handle returns_scalar) {
    nb::object f = nb::borrow(zel_func), rs = nb::borrow(returns_scalar);
    return nb::cpp_function([f, rs](nb::args args, nb::kwargs) { return call_wrapper(f, rs, args); },
                            nb::sig("def wrapper(*args, **kwargs) -> typing.Any"));
}

void say(const std::string& line) { bridge().print(line); }

void patch_numpy() {
    nb::module_& m = zel_module();
    if (truthy(m.attr("_numpy_patched"))) return;
    BridgeState& b = bridge();
    nb::object table = m.attr("_NUMPY_TO_ZEL");
    nb::object originals = m.attr("_numpy_originals");
    nb::object items = nb::steal(PyObject_CallMethod(table.ptr(), "items", nullptr));
    if (!items.is_valid()) throw nb::python_error();
    for (nb::handle item : items) {
        nb::object name = item[0], fn = item[1];
        if (!nb::hasattr(b.numpy, name)) continue;
        bool scalar = false;
        for (const char* s : SCALAR_NAMES) {
            int r = PyObject_RichCompareBool(name.ptr(), nb::str(s).ptr(), Py_EQ);
            if (r < 0) throw nb::python_error();
            scalar = scalar || r == 1;
        }
        originals[name] = nb::getattr(b.numpy, name);
        nb::setattr(b.numpy, name, make_numpy_wrapper(fn, nb::bool_(scalar)));
    }
    m.attr("_numpy_patched") = true;
    say("ZEL: Patched " + std::to_string(nb::len(table)) + " numpy functions with exact arithmetic");
}

void unpatch_numpy() {
    nb::module_& m = zel_module();
    if (!truthy(m.attr("_numpy_patched"))) return;
    BridgeState& b = bridge();
    nb::object originals = m.attr("_numpy_originals");
    nb::object items = nb::steal(PyObject_CallMethod(originals.ptr(), "items", nullptr));
    if (!items.is_valid()) throw nb::python_error();
    for (nb::handle item : nb::list(items)) nb::setattr(b.numpy, nb::object(item[0]), item[1]);
    originals.attr("clear")();
    m.attr("_numpy_patched") = false;
    say("ZEL: Restored original numpy functions");
}

}  // namespace

void register_numpy_bridge(nb::module_& m) {
    BridgeState& b = bridge();
    b.numpy = py_refs().numpy;
    b.np_array = b.numpy.attr("array");
    b.np_ndarray = b.numpy.attr("ndarray");
    b.print = nb::module_::import_("builtins").attr("print");

    m.attr("_numpy_originals") = nb::dict();
    m.attr("_numpy_patched") = false;
    nb::dict table;
    for (const auto& row : TABLE) {
        if (nb::hasattr(m, row[1])) table[row[0]] = m.attr(row[1]);
    }
    m.attr("_NUMPY_TO_ZEL") = table;
    m.def("_make_numpy_wrapper", &make_numpy_wrapper, nb::arg("zel_func").none(),
          nb::arg("returns_scalar").none() = nb::bool_(false),
          nb::sig("def _make_numpy_wrapper(zel_func: collections.abc.Callable, returns_scalar: bool = False)"
                  " -> collections.abc.Callable"),
          "Create wrapper that converts numpy arrays to ZEL and back.");
    m.def("patch_numpy", &patch_numpy, nb::sig("def patch_numpy() -> None"),
          "Replace numpy functions with ZEL exact arithmetic.\n\n"
          "After calling this, np.sum(), np.matmul(), etc. use ZEL's exact\n"
          "arithmetic instead of floating point.");
    m.def("unpatch_numpy", &unpatch_numpy, nb::sig("def unpatch_numpy() -> None"),
          "Restore original numpy functions.");
}

}  // namespace zel
