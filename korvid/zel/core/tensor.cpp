#include "tensor.hpp"

#include <string>

#include "convert.hpp"
#include "errors.hpp"

namespace zel {

namespace {
nb::module_* g_module = nullptr;
nb::handle g_tensor_type;

bool is_scalar_leaf(PyObject* o) {
    if (PyLong_Check(o) || PyFloat_Check(o) || PyUnicode_Check(o)) return true;
    return py_isinstance(o, py_refs().fraction.ptr()) || py_isinstance(o, py_refs().decimal.ptr());
}

bool is_seq(PyObject* o) { return PyList_Check(o) || PyTuple_Check(o); }

// The items of a list or tuple, held for as long as `keep` lives: a list is
// copied to a tuple first, so that Python code run while the items are read
// (conversions, isinstance hooks) cannot free them by changing the list.
PyObject* const* held_items(PyObject* o, Py_ssize_t& n, std::vector<nb::object>& keep) {
    if (PyList_Check(o)) {
        PyObject* t = PyList_AsTuple(o);
        if (!t) throw nb::python_error();
        keep.push_back(nb::steal(t));
        o = t;
    }
    n = PyTuple_GET_SIZE(o);
    return ((PyTupleObject*)o)->ob_item;
}

[[noreturn]] void ragged(size_t depth, Py_ssize_t want, Py_ssize_t got) {
    std::string msg = "ragged nested list: at depth " + std::to_string(depth) + " expected " +
                      (want < 0 ? std::string("a scalar") : "a sequence of length " + std::to_string(want)) +
                      ", got " +
                      (got < 0 ? std::string("a scalar") : "a sequence of length " + std::to_string(got));
    throw nb::value_error(msg.c_str());
}

// Flattens data into out, checking that every branch has the shape read along
// the first elements (NumPy refuses ragged lists too).  The depth is bounded
// by shape.size() <= MAX_DIMS.
void flatten_rec(PyObject* o, std::vector<PyObject*>& out, std::vector<int64_t>& shape, size_t depth,
                 std::vector<nb::object>& keep) {
    bool leaf = is_scalar_leaf(o) || !is_seq(o);
    // A later branch must match the shape found along the first elements.
    if (depth == shape.size()) {
        if (!leaf) ragged(depth, -1, PySequence_Fast_GET_SIZE(o));
        out.push_back(o);
        return;
    }
    if (leaf) ragged(depth, shape[depth], -1);
    Py_ssize_t n;
    PyObject* const* items = held_items(o, n, keep);
    if (n != shape[depth]) ragged(depth, shape[depth], n);
    for (Py_ssize_t i = 0; i < n; ++i) flatten_rec(items[i], out, shape, depth + 1, keep);
}

// Flatten; the shape follows the first element at every level (an empty
// sequence contributes a 0 and ends the shape).  Pointers in out stay valid
// while keep lives.
void flatten(PyObject* o, std::vector<PyObject*>& out, std::vector<int64_t>& shape,
             std::vector<nb::object>& keep) {
    // First pass: shape along first elements.
    PyObject* cur = o;
    while (!(is_scalar_leaf(cur) || !is_seq(cur))) {
        if (shape.size() == (size_t)MAX_DIMS)
            throw nb::value_error(
                ("nested sequences deeper than " + std::to_string(MAX_DIMS) + " levels are not supported")
                    .c_str());
        Py_ssize_t n;
        PyObject* const* items = held_items(cur, n, keep);
        shape.push_back(n);
        if (n == 0) break;
        cur = items[0];
    }
    if (shape.empty()) {
        out.push_back(o);
        return;
    }
    flatten_rec(o, out, shape, 0, keep);
}

nb::object tuple_of(const std::vector<int64_t>& s) { return shape_tuple(s); }

}  // namespace

nb::module_& zel_module() { return *g_module; }
void set_zel_module(nb::module_ m) { g_module = new nb::module_(m); }

bool is_tensor(nb::handle h) { return py_isinstance(h.ptr(), g_tensor_type.ptr()); }

TensorView tensor_view(nb::handle t) {
    TensorView v;
    nb::object data, shape;
    if (is_tensor(t)) {
        if (!nb::inst_ready(t))
            throw nb::type_error(
                "Tensor was created with Tensor.__new__ and never initialised: it has no data");
        Tensor& tt = nb::cast<Tensor&>(t);
        data = tt.data;
        shape = tt.shape;
    } else {
        data = t.attr("_data");
        shape = t.attr("_shape");
    }
    v.a = view_array(data, ElemKind::Record, "_data");
    v.shape = shape;
    return v;
}

ShapedView shaped_view(nb::handle t) {
    ShapedView r{tensor_view(t), {}};
    r.s = shape_vec(r.v.shape);
    check_shape_count(r.s, r.v.n(), r.v.shape);
    return r;
}

nb::object wrap(const DevArray& out, nb::handle shape) {
    nb::object s;
    if (shape.is_valid() && py_truthy(shape))
        s = nb::borrow(shape);
    else
        s = nb::make_tuple((int64_t)out.n);
    return nb::cast(Tensor{out.obj, s});
}

nb::object wrap_1d(const DevArray& out) { return wrap(out, nb::handle()); }

std::vector<int64_t> shape_vec(nb::handle shape, const char* what) {
    if (!is_seq(shape.ptr())) throw nb::type_error((std::string(what) + " must be a tuple of ints").c_str());
    // Held copy: converting an entry may run Python code that changes a list.
    std::vector<nb::object> keep;
    Py_ssize_t n;
    PyObject* const* items = held_items(shape.ptr(), n, keep);
    if (n > MAX_DIMS)
        throw nb::value_error((std::string(what) + " has " + std::to_string(n) + " dimensions; at most " +
                               std::to_string(MAX_DIMS) + " are supported")
                                  .c_str());
    std::vector<int64_t> s;
    nb::handle np_integer = py_refs().np_integer;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* e = items[i];
        if (!PyLong_Check(e) && !py_isinstance(e, np_integer.ptr()))
            throw nb::type_error(
                (std::string(what) + " entries must be ints, got " + Py_TYPE(e)->tp_name).c_str());
        nb::object iv = nb::steal(PyNumber_Index(e));
        if (!iv.is_valid()) throw nb::python_error();
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(iv.ptr(), &overflow);
        if (v == -1 && PyErr_Occurred()) throw nb::python_error();
        if (overflow > 0) {
            size_t bits = _PyLong_NumBits(iv.ptr());
            std::string entry = bits < 1000 ? shape_str(iv) : "of " + std::to_string(bits) + " bits";
            PyErr_SetString(PyExc_OverflowError,
                            (std::string(what) + " entry " + entry + " does not fit 64 bits" +
                             (bits < 1000 ? ": " + shape_str(shape) : ""))
                                .c_str());
            throw nb::python_error();
        }
        if (overflow < 0 || v < 0)
            throw nb::value_error(
                (std::string(what) + " entries must be non-negative, got " + shape_str(shape)).c_str());
        s.push_back(v);
    }
    shape_numel(s);  // refuses shapes whose element count does not fit
    return s;
}

nb::object shape_tuple(const std::vector<int64_t>& s) {
    nb::object t = nb::steal(PyTuple_New((Py_ssize_t)s.size()));
    for (size_t i = 0; i < s.size(); ++i) PyTuple_SET_ITEM(t.ptr(), i, PyLong_FromLongLong(s[i]));
    return t;
}

int64_t shape_numel(const std::vector<int64_t>& s) {
    // The non-zero extents must multiply within int64 even where another is
    // 0 (as NumPy requires), so that every stride and partial product fits.
    int64_t n = 1;
    bool zero = false;
    for (int64_t v : s) {
        if (v == 0) {
            zero = true;
            continue;
        }
        if (v < 0 || __builtin_mul_overflow(n, v, &n))
            throw nb::value_error(("shape " + shape_str(shape_tuple(s)) +
                                   " is too large: its element count does not fit 64 bits")
                                      .c_str());
    }
    return zero ? 0 : n;
}

int64_t checked_dim_mul(int64_t a, int64_t b, const char* what) {
    int64_t r;
    if (a < 0 || b < 0 || __builtin_mul_overflow(a, b, &r))
        throw nb::value_error((std::string(what) + ": size " + std::to_string(a) + " * " + std::to_string(b) +
                               " does not fit 64 bits")
                                  .c_str());
    return r;
}

void check_shape_count(const std::vector<int64_t>& s, size_t n, nb::handle shape) {
    if ((uint64_t)shape_numel(s) != n)
        throw nb::value_error(("shape " + shape_str(shape) + " holds " + std::to_string(shape_numel(s)) +
                               " elements but the data has " + std::to_string(n))
                                  .c_str());
}

DevArray values_to_device(PyObject* const* items, size_t n) {
    // cpu: convert straight into the result; cuda: stage on the host and
    // copy once.
    DevArray out;
    std::vector<Fp> staging;
    Fp* dst;
    if (!on_cuda()) {
        out = new_records(n);
        dst = out.rec();
    } else {
        staging.resize(n);
        dst = staging.data();
    }
    bool bulk = false;
    if (n > 0) {
        PyObject* f = items[0];
        bulk = PyLong_Check(f) || PyFloat_Check(f) || py_isinstance(f, py_refs().np_floating.ptr()) ||
               py_isinstance(f, py_refs().np_integer.ptr());
    }
    if (bulk) {
        for (size_t i = 0; i < n; ++i) dst[i] = bulk_element_to_fp(items[i]);
    } else {
        // Lists of Fractions are the common exact input: skip the dispatch.
        PyTypeObject* frac = (PyTypeObject*)py_refs().fraction.ptr();
        for (size_t i = 0; i < n; ++i)
            dst[i] = Py_TYPE(items[i]) == frac ? fraction_like_to_fp(items[i]) : value_to_fp(items[i]);
    }
    if (on_cuda()) out = records_from_host(staging.data(), n);
    return out;
}

namespace {
ZEL_HD void to_double_host_body(const ThreadCtx& t, const Fp* in, double* out, int64_t n) {
    if ((int64_t)t.x < n) out[t.x] = fp_to_double(in[t.x]);
}
}  // namespace

std::vector<double> records_to_doubles(const DevArray& a) {
    std::vector<double> out(a.n);
    if (a.n == 0) return out;
    if (!on_cuda()) {
        host_run<&to_double_host_body>(Dim3{(uint32_t)a.n, 1, 1}, Dim3{1, 1, 1}, (const Fp*)a.rec(),
                                       out.data(), (int64_t)a.n);
        return out;
    }
    DevArray d = new_array(a.n, ElemKind::F64);
    int32_t n = checked_i32((int64_t)a.n, "element count");
    launch_fp_to_double(a, d, n);
    copy_to_host(d, out.data(), a.n * sizeof(double));
    return out;
}

// NumPy input: integers and booleans exactly, everything else through doubles.
// Subclasses are read as plain ndarrays and every count comes from the
// buffer that is read: their Python attributes (size, ravel, ...) may lie.
static DevArray numpy_to_device(nb::handle base) {
    Device& d = device();
    nb::object dt = base.attr("dtype");
    std::string kind = nb::cast<std::string>(dt.attr("kind"));
    if (kind == "i" || kind == "u" || kind == "b") {
        bool is_unsigned = kind == "u";
        nb::object flat =
            py_refs().numpy.attr("ascontiguousarray")(base.attr("ravel")(), is_unsigned ? "uint64" : "int64");
        Py_buffer view;
        if (PyObject_GetBuffer(flat.ptr(), &view, PyBUF_C_CONTIGUOUS) != 0) throw nb::python_error();
        size_t n = view.itemsize == 8 ? (size_t)view.len / 8 : 0;
        std::vector<Fp> host;
        try {
            host.resize(n);
        } catch (...) {
            PyBuffer_Release(&view);
            throw;
        }
        if (is_unsigned) {
            const uint64_t* p = (const uint64_t*)view.buf;
            for (size_t i = 0; i < n; ++i) host[i] = fp_from_u64(p[i], false);
        } else {
            const int64_t* p = (const int64_t*)view.buf;
            for (size_t i = 0; i < n; ++i) host[i] = fp_from_int(p[i]);
        }
        PyBuffer_Release(&view);
        return records_from_host(host.data(), n);
    }
    nb::object flat = py_refs().numpy.attr("ascontiguousarray")(base.attr("astype")(d.f64).attr("ravel")());
    if (on_cuda()) flat = d.cp.attr("asarray")(flat);
    DevArray in = view_array(flat, ElemKind::F64, "array", true);
    size_t n = in.n;
    if (n == 0) return new_records(0);
    int32_t n32 = checked_i32((int64_t)n, "element count");
    DevArray out = new_records(n);
    launch_fp_from_double(in, out, n32);
    return out;
}

static void tensor_init(Tensor* self, nb::handle data, nb::handle shape, nb::handle raw) {
    bool shape_given = !shape.is_none() && py_truthy(shape);
    std::vector<int64_t> sv;
    if (shape_given) sv = shape_vec(shape);
    auto final_shape = [&](nb::object inferred, size_t n) -> nb::object {
        if (!shape_given) return inferred;
        check_shape_count(sv, n, shape);
        return shape_tuple(sv);
    };
    if (!raw.is_none()) {
        DevArray a = view_array(raw, ElemKind::Record, "_raw");
        nb::object s = final_shape(nb::make_tuple((int64_t)a.n), a.n);
        new (self) Tensor{a.obj, s};
        return;
    }
    if (data.is_none()) {
        Device& d = device();
        nb::object z = d.xp.attr("zeros")(1, d.fp_dtype);
        new (self) Tensor{z, nb::make_tuple()};
        return;
    }
    if (py_isinstance(data.ptr(), py_refs().numpy.attr("ndarray").ptr())) {
        nb::object base = py_refs().numpy.attr("asarray")(data);
        DevArray out = numpy_to_device(base);
        nb::object orig = nb::tuple(base.attr("shape"));
        check_shape_count(shape_vec(orig), out.n, orig);
        nb::object s = final_shape(orig, out.n);
        new (self) Tensor{out.obj, s};
        return;
    }
    // A flat sequence of scalars (the common case) converts from a held copy.
    PyObject* o = data.ptr();
    std::vector<nb::object> keep;
    Py_ssize_t n = 0;
    PyObject* const* items = is_seq(o) ? held_items(o, n, keep) : nullptr;
    if (n > 0 && is_scalar_leaf(items[0])) {
        for (Py_ssize_t i = 1; i < n; ++i) {
            if (is_seq(items[i]) && !is_scalar_leaf(items[i]))
                ragged(1, -1, PySequence_Fast_GET_SIZE(items[i]));
        }
        DevArray out = values_to_device(items, (size_t)n);
        nb::object s = final_shape(nb::make_tuple((int64_t)n), out.n);
        new (self) Tensor{out.obj, s};
        return;
    }
    std::vector<PyObject*> flat;
    std::vector<int64_t> inferred;
    flatten(data.ptr(), flat, inferred, keep);
    DevArray out = values_to_device(flat.data(), flat.size());
    nb::object s = final_shape(tuple_of(inferred), out.n);
    new (self) Tensor{out.obj, s};
}

nb::object make_tensor(nb::handle data) { return g_tensor_type(data); }

// Nested lists of flat[lo:hi] in shape s[d:] (shorter where flat runs out).
static nb::object unflatten_rec(nb::handle flat, const std::vector<int64_t>& s, size_t d, Py_ssize_t lo,
                                Py_ssize_t hi) {
    Py_ssize_t avail = hi > lo ? hi - lo : 0;
    if (d == s.size()) {
        if (avail > 0) return nb::steal(PySequence_GetItem(flat.ptr(), lo));
        return nb::float_(0.0);
    }
    auto slice = [&](int64_t a, int64_t b) {  // flat[lo + a : lo + b], clipped
        Py_ssize_t x = lo + (a < avail ? (Py_ssize_t)a : avail), y = lo + (b < avail ? (Py_ssize_t)b : avail);
        nb::object r = nb::steal(PySequence_GetSlice(flat.ptr(), x, y));
        if (!r.is_valid()) throw nb::python_error();
        return r;
    };
    if (d + 1 == s.size()) return slice(0, s[d]);
    int64_t stride = 1;
    for (size_t i = d + 1; i < s.size(); ++i) stride *= s[i];  // fits: shape_vec checked the product
    nb::list out;
    for (int64_t i = 0; i < s[d]; ++i) {
        int64_t a = i * stride < avail ? i * stride : avail;
        int64_t b = stride < avail - a ? a + stride : avail;
        out.append(unflatten_rec(flat, s, d + 1, lo + (Py_ssize_t)a, lo + (Py_ssize_t)b));
    }
    return out;
}

// How many lists unflatten builds for shape s (saturating).
static uint64_t list_count(const std::vector<int64_t>& s) {
    uint64_t total = 0, level = 1;
    for (size_t d = 0; d + 1 <= s.size(); ++d) {
        total += level;
        if (total > (uint64_t)1 << 62) return total;
        if (d + 1 < s.size() && __builtin_mul_overflow(level, (uint64_t)s[d], &level)) return UINT64_MAX;
    }
    return total;
}

static nb::object unflatten(nb::handle flat, nb::handle shape) {
    std::vector<int64_t> s = shape_vec(shape);
    uint64_t lists = list_count(s);
    // An empty list takes 56 bytes: past the machine's memory, to_list of an
    // empty tensor of many rows would run for minutes and then fail.
    const uint64_t max_lists = physical_bytes() ? physical_bytes() / 56 : uint64_t(1) << 31;
    if (lists > max_lists) {
        PyErr_SetString(PyExc_MemoryError, ("nested lists of shape " + shape_str(shape) + " need " +
                                            std::to_string(lists) + " list objects")
                                               .c_str());
        throw nb::python_error();
    }
    Py_ssize_t n = PyObject_Size(flat.ptr());
    if (n < 0) throw nb::python_error();
    return unflatten_rec(flat, s, 0, 0, n);
}

nb::list doubles_to_list(const std::vector<double>& v) {
    nb::object l = nb::steal(PyList_New((Py_ssize_t)v.size()));
    for (size_t i = 0; i < v.size(); ++i) PyList_SET_ITEM(l.ptr(), i, PyFloat_FromDouble(v[i]));
    return nb::borrow<nb::list>(l);
}

static nb::object tensor_to_list(const Tensor& t) {
    DevArray a = view_array(t.data, ElemKind::Record, "_data");
    nb::list flat = doubles_to_list(records_to_doubles(a));
    // A full 1-D read needs no slicing copy.
    if (PyTuple_Check(t.shape.ptr()) && PyTuple_GET_SIZE(t.shape.ptr()) == 1) {
        PyObject* s0 = PyTuple_GET_ITEM(t.shape.ptr(), 0);
        if (PyLong_Check(s0) && PyLong_AsSsize_t(s0) == (Py_ssize_t)a.n) return flat;
        PyErr_Clear();
    }
    return unflatten(flat, t.shape);
}

void register_tensor(nb::module_& m) {
    nb::class_<Tensor> cls(m, "Tensor", "GPU Fixed-Point Tensor.");
    g_tensor_type = cls;
    cls.def(
           "__init__",
           [](Tensor* self, nb::handle data, nb::handle shape, nb::handle raw) {
               tensor_init(self, data, shape, raw);
           },
           nb::arg("data").none() = nb::none(), nb::arg("shape").none() = nb::none(),
           nb::arg("_raw").none() = nb::none(),
           nb::sig("def __init__(self, data: object = None, shape: tuple[int, ...] | None = None, "
                   "_raw: typing.Any = None) -> None"))
        .def_prop_rw(
            "_data", [](const Tensor& t) { return t.data; },
            [](Tensor& t, nb::handle v) {
                if (v.is_none())
                    throw nb::type_error(
                        "Tensor._data cannot be None: it holds the tensor's device record array");
                t.data = nb::borrow(v);
            },
            nb::arg("value").none(), nb::for_getter(nb::sig("def _data(self) -> typing.Any")),
            nb::for_setter(nb::sig("def _data(self, value: typing.Any, /) -> None")),
            "Device record array (row-major).")
        .def_prop_rw(
            "_shape", [](const Tensor& t) { return t.shape; },
            [](Tensor& t, nb::handle v) {
                if (v.is_none())
                    throw nb::type_error("Tensor._shape cannot be None: it holds the tensor's shape tuple");
                t.shape = nb::borrow(v);
            },
            nb::arg("value").none(), nb::for_getter(nb::sig("def _shape(self) -> tuple[int, ...]")),
            nb::for_setter(nb::sig("def _shape(self, value: tuple[int, ...], /) -> None")), "Logical shape.")
        .def_prop_ro(
            "shape", [](const Tensor& t) { return t.shape; }, nb::sig("def shape(self) -> tuple[int, ...]"))
        .def_prop_ro(
            "numel", [](const Tensor& t) { return nb::len(t.data); }, nb::sig("def numel(self) -> int"))
        .def(
            "clone",
            [](const Tensor& t) {
                DevArray a = view_array(t.data, ElemKind::Record, "_data", true);
                return wrap(copy_records(a), t.shape);
            },
            nb::sig("def clone(self) -> Tensor"), "Copy with its own device array.")
        .def("to_list", &tensor_to_list, nb::sig("def to_list(self) -> list | float"),
             "Convert to Python list.")
        .def_static(
            "_flatten",
            [](nb::handle data) {
                std::vector<PyObject*> flat;
                std::vector<int64_t> shape;
                std::vector<nb::object> keep;
                flatten(data.ptr(), flat, shape, keep);
                nb::object l = nb::steal(PyList_New((Py_ssize_t)flat.size()));
                for (size_t i = 0; i < flat.size(); ++i) {
                    Py_INCREF(flat[i]);
                    PyList_SET_ITEM(l.ptr(), i, flat[i]);
                }
                return nb::make_tuple(l, shape_tuple(shape));
            },
            nb::arg("data").none(), nb::sig("def _flatten(data: object) -> tuple[list, tuple[int, ...]]"),
            "Flatten nested list.")
        .def_static("_unflatten", &unflatten, nb::arg("flat").none(), nb::arg("shape").none(),
                    nb::sig("def _unflatten(flat: list, shape: tuple[int, ...]) -> list | float"))
        .def(
            "item",
            [](const Tensor& t) {
                DevArray a = view_array(t.data, ElemKind::Record, "_data");
                if (a.n != 1) throw nb::value_error("item() requires single element");
                return records_to_doubles(a)[0];
            },
            nb::sig("def item(self) -> float"), "Get scalar value.")
        .def(
            "__repr__",
            [](const Tensor& t) -> std::string {
                size_t n = nb::len(t.data);
                // An empty tensor of many rows prints its shape, not a list per row.
                bool small = true;
                if (n <= 10) {
                    try {
                        small = list_count(shape_vec(t.shape)) <= 1024;
                    } catch (const std::exception&) {
                        small = true;  // to_list reports the bad shape
                    }
                }
                if (n <= 10 && small)
                    return "Tensor(" + nb::cast<std::string>(nb::str(tensor_to_list(t))) + ")";
                return "Tensor(shape=" + shape_str(t.shape) + ")";
            },
            nb::sig("def __repr__(self) -> str"));
    cls.attr("__slots__") = nb::make_tuple("_data", "_shape");
    cls.def_prop_ro(
        "T",
        [](nb::handle self) -> nb::object {
            if (!nb::inst_ready(self))
                throw nb::type_error(
                    "Tensor was created with Tensor.__new__ and never initialised: it has no data");
            Tensor& t = nb::cast<Tensor&>(self);
            if (nb::len(t.shape) < 2) return nb::borrow(self);
            return zel_module().attr("transpose")(self, -2, -1);
        },
        nb::sig("def T(self) -> Tensor"), "Transpose (swap last two dimensions).");
}

}  // namespace zel
