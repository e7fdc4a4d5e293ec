// Python names of the number format, host conversions and device layer.
#include <cstring>

#include "convert.hpp"
#include "device.hpp"
#include "errors.hpp"
#include "launch.hpp"
#include "tensor.hpp"

namespace zel {

nb::list doubles_to_list(const std::vector<double>& v);

static nb::object value_to_fp_py(nb::handle val) {
    Fp r = value_to_fp(val);
    return host_record_array(&r, 1)[0];
}

static nb::object int_to_limbs(nb::handle val) {
    require_int(val, "val");
    Mpz z;
    pylong_to_mpz(z, val);
    mpz_abs(z, z);
    uint64_t limbs[NLIMB];
    for (int i = 0; i < NLIMB; ++i) limbs[i] = (size_t)i < mpz_size(z) ? (uint64_t)mpz_getlimbn(z, i) : 0;
    nb::object arr = py_refs().numpy.attr("zeros")(NLIMB, "uint64");
    Py_buffer view;
    if (PyObject_GetBuffer(arr.ptr(), &view, PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE) != 0)
        throw nb::python_error();
    std::memcpy(view.buf, limbs, sizeof limbs);
    PyBuffer_Release(&view);
    return arr;
}

static nb::object limbs_to_int(nb::handle limbs) {
    nb::object val = nb::int_(0);
    nb::object sixty_four = nb::int_(64);
    for (int i = NLIMB - 1; i >= 0; --i) {
        nb::object li = to_pyint(limbs[i]);
        nb::object sh = nb::steal(PyNumber_Lshift(val.ptr(), sixty_four.ptr()));
        if (!sh.is_valid()) throw nb::python_error();
        val = nb::steal(PyNumber_Or(sh.ptr(), li.ptr()));
        if (!val.is_valid()) throw nb::python_error();
    }
    return val;
}

static nb::object copy_arr(nb::handle arr) {
    nb::handle np = py_refs().numpy;
    // Indexing a NumPy array yields a scalar, not a 0-d array.
    if (!on_cuda() && py_isinstance(arr.ptr(), np.attr("generic").ptr()))
        return np.attr("array")(arr).attr("reshape")(1);
    if (!is_device_array(arr))
        throw nb::type_error(on_cuda() ? "_copy_arr expects a cupy.ndarray"
                                       : "_copy_arr expects a numpy.ndarray");
    int ndim = nb::cast<int>(arr.attr("ndim"));
    if (ndim > 1) throw nb::value_error("_copy_arr expects an array of at most one dimension");
    if (!on_cuda()) return np.attr("array")(arr, nb::arg("copy").none() = true).attr("reshape")(-1);
    // Counts from the checked view, not from attributes a subclass may override.
    return copy_records(view_array(arr, ElemKind::Record, "arr", true)).obj;
}

static nb::object to_gpu(nb::handle values) {
    require_list(values, "values");
    // Hold a reference: conversions may run Python code.
    nb::object keep = nb::borrow(values);
    Py_ssize_t n = PyList_GET_SIZE(values.ptr());
    std::vector<PyObject*> items(n);
    for (Py_ssize_t i = 0; i < n; ++i) {
        items[i] = PyList_GET_ITEM(values.ptr(), i);
        Py_INCREF(items[i]);
    }
    struct Release {
        std::vector<PyObject*>& v;
        ~Release() {
            for (PyObject* o : v) Py_DECREF(o);
        }
    } release{items};
    return values_to_device(items.data(), items.size()).obj;
}

static nb::object from_gpu(nb::handle gpu_arr, nb::handle as_float_obj) {
    int as_float = PyObject_IsTrue(as_float_obj.ptr());
    if (as_float < 0) throw nb::python_error();
    DevArray a = view_array(gpu_arr, ElemKind::Record, "gpu_arr", true);
    if (as_float) return doubles_to_list(records_to_doubles(a));
    HostRecords h = host_records(a);
    nb::object l = nb::steal(PyList_New((Py_ssize_t)h.n));
    for (size_t i = 0; i < h.n; ++i) {
        nb::object f = fp_to_fraction(h.ptr[i]);
        PyList_SET_ITEM(l.ptr(), i, f.release().ptr());
    }
    return l;
}

void register_core(nb::module_& m) {
    conversions_init();
    m.def("_int_to_limbs", &int_to_limbs, nb::arg("val").none(),
          nb::sig("def _int_to_limbs(val: int) -> numpy.ndarray"), "Convert int to limbs.");
    m.def("_limbs_to_int", &limbs_to_int, nb::arg("limbs").none(),
          nb::sig("def _limbs_to_int(limbs: numpy.ndarray) -> int"), "Convert limbs to int.");
    m.def("_value_to_fp", &value_to_fp_py, nb::arg("val").none(),
          nb::sig("def _value_to_fp(val: object) -> numpy.void"), "Convert Python value to FixedPoint.");
    m.def(
        "_fp_to_value", [](nb::handle arr) { return fp_to_fraction(fp_from_record_like(arr)); },
        nb::arg("arr").none(), nb::sig("def _fp_to_value(arr: object) -> fractions.Fraction"),
        "Convert FixedPoint to Python Fraction.");
    m.def(
        "_get_kernel",
        [](nb::handle name) {
            if (!PyUnicode_Check(name.ptr())) raise_arg_type("name", "str", name);
            return loader_checked_kernel(nb::cast<std::string>(name));
        },
        nb::arg("name").none(), nb::sig("def _get_kernel(name: str) -> typing.Any"), "Get kernel by name.");
    m.def(
        "_grid",
        [](nb::handle n) {
            nb::object a = nb::steal(PyNumber_Add(n.ptr(), nb::int_(BLOCK_SIZE - 1).ptr()));
            if (!a.is_valid()) throw nb::python_error();
            nb::object q = nb::steal(PyNumber_FloorDivide(a.ptr(), nb::int_(BLOCK_SIZE).ptr()));
            if (!q.is_valid()) throw nb::python_error();
            return q;
        },
        nb::arg("n").none(), nb::sig("def _grid(n: int) -> int"), "Grid size.");
    m.def("_copy_arr", &copy_arr, nb::arg("arr").none(),
          nb::sig("def _copy_arr(arr: typing.Any) -> typing.Any"),
          "Copy structured array (CuPy workaround).");
    m.def("to_gpu", &to_gpu, nb::arg("values").none(), nb::sig("def to_gpu(values: list) -> typing.Any"),
          "Convert list to GPU array - uses GPU kernel for fast exact conversion.");
    m.def("from_gpu", &from_gpu, nb::arg("gpu_arr").none(), nb::arg("as_float").none() = nb::bool_(true),
          nb::sig("def from_gpu(gpu_arr: typing.Any, as_float: bool = True)"
                  " -> list[float] | list[fractions.Fraction]"),
          "Convert GPU array to list - uses GPU kernel for fast conversion.");
    register_tensor(m);
}

}  // namespace zel
