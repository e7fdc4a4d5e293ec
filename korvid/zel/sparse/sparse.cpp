// SparseTensor (CSR on the device) and sparse_mv.
//
// from_dense runs two kernel passes with a prefix sum of the row counts
// between them on the device; only the total (nnz) comes back to the host,
// to size the value and column arrays.  sparse_mv checks the CSR arrays
// before launching: the direct constructor adopts whatever it is given.
#include <string>
#include <vector>

#include "../core/errors.hpp"
#include "../core/tensor.hpp"
#include "../cuda/kernel_list.hpp"
#include "../ops/ops.hpp"
#include "../registry.hpp"

namespace zel {

namespace {

struct SparseTensor {
    nb::object values, col_indices, row_ptrs, shape, nnz;
};

nb::object sparse_new(const DevArray& values, const DevArray& cols, const DevArray& row_ptrs, int64_t rows,
                      int64_t ncols) {
    return nb::cast(SparseTensor{values.obj, cols.obj, row_ptrs.obj, nb::make_tuple(rows, ncols),
                                 nb::int_((int64_t)values.n)});
}

// The two entries of a matrix shape as Python ints.
std::pair<int64_t, int64_t> shape_pair(nb::handle shape, const char* what) {
    if (!PyTuple_Check(shape.ptr()) && !PyList_Check(shape.ptr()))
        throw nb::type_error(
            (std::string(what) + " must be a pair (rows, cols), got " + Py_TYPE(shape.ptr())->tp_name)
                .c_str());
    if (nb::len(shape) != 2)
        throw nb::value_error(
            (std::string(what) + " must be a pair (rows, cols), got " + shape_str(shape)).c_str());
    int64_t v[2];
    for (int i = 0; i < 2; ++i) {
        nb::object e = nb::steal(PyNumber_Index(nb::object(shape[i]).ptr()));
        if (!e.is_valid()) throw nb::python_error();
        long long x = PyLong_AsLongLong(e.ptr());
        if (x == -1 && PyErr_Occurred()) throw nb::python_error();
        if (x < 0)
            throw nb::value_error(
                (std::string(what) + " entries must be non-negative, got " + shape_str(shape)).c_str());
        v[i] = x;
    }
    return {v[0], v[1]};
}

// Int32 contents of a device array on the host (cpu: the array itself).
struct HostI32 {
    const int32_t* ptr = nullptr;
    std::vector<int32_t> storage;
};

HostI32 host_i32(const DevArray& a) {
    HostI32 h;
    if (!on_cuda()) {
        h.ptr = static_cast<const int32_t*>(a.ptr);
        return h;
    }
    h.storage.resize(a.n ? a.n : 1);
    copy_to_host(a, h.storage.data(), a.n * sizeof(int32_t));
    h.ptr = h.storage.data();
    return h;
}

// A field of a sparse tensor as a device array of kind k; ValueError when it
// is not one.
DevArray field_array(nb::handle a, const char* field, ElemKind k) {
    nb::object f = a.attr(field);
    try {
        return view_array(f, k, field);
    } catch (const nb::builtin_exception&) {
        throw nb::value_error(("sparse_mv: " + std::string(field) + " must be a one-dimensional " +
                               (on_cuda() ? "cupy" : "numpy") + " array of " + kind_name(k) + ", got " +
                               Py_TYPE(f.ptr())->tp_name)
                                  .c_str());
    }
}

nb::object from_dense(nb::handle dense) {
    if (nb::len(tensor_view(dense).shape) != 2) throw nb::value_error("SparseTensor requires 2D input");
    ShapedView d = shaped_view(dense);
    const int64_t rows = d.s[0], cols = d.s[1];
    const int32_t r32 = checked_i32(rows, "row count"), c32 = checked_i32(cols, "column count");
    checked_i32(rows * cols, "element count");  // nnz and the row pointers are int32

    DevArray counts = new_array((size_t)rows, ElemKind::I32);
    DevArray row_ptrs;
    int64_t nnz = 0;
    if (rows > 0) ZEL_LAUNCH_ITEMS(fp_dense_to_csr_count_kernel, rows, rows * cols, d.v.a, counts, r32, c32);
    if (!on_cuda()) {
        row_ptrs = new_array((size_t)rows + 1, ElemKind::I32);
        const int32_t* c = static_cast<const int32_t*>(counts.ptr);
        int32_t* p = static_cast<int32_t*>(row_ptrs.ptr);
        p[0] = 0;
        for (int64_t r = 0; r < rows; ++r) p[r + 1] = p[r] + c[r];
        nnz = p[rows];
    } else {
        // The running sum stays on the device; only its last entry is read.
        Device& dv = device();
        nb::object zero = dv.cp.attr("zeros")(1, dv.i32);
        nb::object parts = nb::make_tuple(zero, dv.cp.attr("cumsum")(counts.obj).attr("astype")(dv.i32));
        row_ptrs = view_array(dv.cp.attr("concatenate")(parts), ElemKind::I32, "row_ptrs");
        int32_t last = 0;
        nb::object tail =
            nb::steal(PySequence_GetSlice(row_ptrs.obj.ptr(), (Py_ssize_t)rows, (Py_ssize_t)rows + 1));
        if (!tail.is_valid()) throw nb::python_error();
        copy_to_host(view_array(tail, ElemKind::I32, "row_ptrs"), &last, sizeof last);
        nnz = last;
    }
    DevArray values = new_records((size_t)nnz);
    DevArray col_indices = new_array((size_t)nnz, ElemKind::I32);
    if (nnz > 0)
        ZEL_LAUNCH_ITEMS(fp_dense_to_csr_extract_kernel, rows, rows * cols, d.v.a, values, col_indices,
                         row_ptrs, r32, c32);
    return sparse_new(values, col_indices, row_ptrs, rows, cols);
}

// A host array of the given dtype, contiguous and one-dimensional.
nb::object host_flat(nb::handle x, nb::handle dtype) {
    nb::handle np = py_refs().numpy;
    return np.attr("ascontiguousarray")(np.attr("asarray")(x).attr("astype")(dtype).attr("ravel")());
}

DevArray host_to_device(nb::handle flat, ElemKind k) {
    Py_buffer view;
    if (PyObject_GetBuffer(flat.ptr(), &view, PyBUF_C_CONTIGUOUS) != 0) throw nb::python_error();
    const size_t n = (size_t)view.len / kind_size(k);
    DevArray out;
    try {
        out = array_from_host(view.buf, n, k);
    } catch (...) {
        PyBuffer_Release(&view);
        throw;
    }
    PyBuffer_Release(&view);
    return out;
}

nb::object from_scipy(nb::handle csr) {
    auto [rows, cols] = shape_pair(csr.attr("shape"), "scipy_csr.shape");
    Device& d = device();
    nb::object data = host_flat(csr.attr("data"), d.f64);
    nb::object indices = host_flat(csr.attr("indices"), d.i32);
    nb::object indptr = host_flat(csr.attr("indptr"), d.i32);
    const int64_t nnz = (int64_t)nb::len(data);
    const int32_t n32 = checked_i32(nnz, "nnz");
    DevArray dd = host_to_device(data, ElemKind::F64);
    DevArray values = new_records((size_t)nnz);
    if (nnz > 0) ZEL_LAUNCH(fp_from_double_kernel, grid1(nnz), block1(), dd, values, n32);
    return sparse_new(values, host_to_device(indices, ElemKind::I32), host_to_device(indptr, ElemKind::I32),
                      rows, cols);
}

nb::object sparse_mv(nb::handle A, nb::handle x) {
    nb::object shape = A.attr("_shape");
    auto [rows, cols] = shape_pair(shape, "sparse_mv: _shape");
    TensorView xv = tensor_view(x);
    if (cols != (int64_t)xv.n())
        throw nb::value_error(("Dimension mismatch: A is " + nb::cast<std::string>(nb::str(shape)) +
                               ", x has " + std::to_string(xv.n()) + " elements")
                                  .c_str());
    const int32_t r32 = checked_i32(rows, "row count");
    DevArray values = field_array(A, "_values", ElemKind::Record);
    DevArray col_indices = field_array(A, "_col_indices", ElemKind::I32);
    DevArray row_ptrs = field_array(A, "_row_ptrs", ElemKind::I32);
    if (row_ptrs.n != (size_t)rows + 1)
        throw nb::value_error(("sparse_mv: _row_ptrs holds " + std::to_string(row_ptrs.n) +
                               " entries, a matrix of " + std::to_string(rows) + " rows needs " +
                               std::to_string(rows + 1))
                                  .c_str());
    if (col_indices.n != values.n)
        throw nb::value_error(("sparse_mv: _col_indices holds " + std::to_string(col_indices.n) +
                               " entries but _values holds " + std::to_string(values.n))
                                  .c_str());
    {
        HostI32 rp = host_i32(row_ptrs), ci = host_i32(col_indices);
        if (const char* why = csr_arrays_problem(rp.ptr, (int64_t)row_ptrs.n, rows, ci.ptr,
                                                 (int64_t)col_indices.n, (int64_t)values.n, cols))
            throw nb::value_error(("sparse_mv: inconsistent CSR arrays: " + std::string(why)).c_str());
    }
    DevArray out = new_records((size_t)rows);
    if (rows > 0)
        ZEL_LAUNCH_ITEMS(fp_spmv_kernel, rows, (int64_t)values.n + rows, values, col_indices, row_ptrs, xv.a,
                         out, r32);
    return wrap(out, nb::make_tuple(rows));
}

}  // namespace

void register_sparse(nb::module_& m) {
    nb::class_<SparseTensor> cls(m, "SparseTensor", "GPU Fixed-Point Sparse Tensor in CSR format.");
    cls.def(
           "__init__",
           [](SparseTensor* self, nb::handle values, nb::handle col_indices, nb::handle row_ptrs,
              nb::handle shape) {
               nb::object nnz = nb::int_(0);
               if (!values.is_none()) nnz = nb::int_((int64_t)nb::len(values));
               new (self) SparseTensor{nb::borrow(values), nb::borrow(col_indices), nb::borrow(row_ptrs),
                                       nb::borrow(shape), nnz};
           },
           nb::arg("values").none() = nb::none(), nb::arg("col_indices").none() = nb::none(),
           nb::arg("row_ptrs").none() = nb::none(), nb::arg("shape").none() = nb::none(),
           nb::sig("def __init__(self, values: typing.Any = None, col_indices: typing.Any = None, "
                   "row_ptrs: typing.Any = None, shape: tuple[int, int] | None = None) -> None"),
           "Create sparse tensor from CSR components.")
        .def_rw("_values", &SparseTensor::values, nb::for_getter(nb::sig("def _values(self) -> typing.Any")),
                nb::for_setter(nb::sig("def _values(self, value: typing.Any, /) -> None")),
                "Device array of the non-zero records, row by row.")
        .def_rw("_col_indices", &SparseTensor::col_indices,
                nb::for_getter(nb::sig("def _col_indices(self) -> typing.Any")),
                nb::for_setter(nb::sig("def _col_indices(self, value: typing.Any, /) -> None")),
                "Device int32 array: the column of each value.")
        .def_rw("_row_ptrs", &SparseTensor::row_ptrs,
                nb::for_getter(nb::sig("def _row_ptrs(self) -> typing.Any")),
                nb::for_setter(nb::sig("def _row_ptrs(self, value: typing.Any, /) -> None")),
                "Device int32 array of rows + 1 row starts.")
        .def_rw(
            "_shape", &SparseTensor::shape, nb::for_getter(nb::sig("def _shape(self) -> tuple[int, int]")),
            nb::for_setter(nb::sig("def _shape(self, value: tuple[int, int], /) -> None")), "(rows, cols).")
        .def_rw("_nnz", &SparseTensor::nnz, nb::for_getter(nb::sig("def _nnz(self) -> int")),
                nb::for_setter(nb::sig("def _nnz(self, value: int, /) -> None")), "Number of stored values.")
        .def_prop_ro(
            "shape", [](const SparseTensor& s) { return s.shape; },
            nb::sig("def shape(self) -> tuple[int, int]"))
        .def_prop_ro(
            "nnz", [](const SparseTensor& s) { return s.nnz; }, nb::sig("def nnz(self) -> int"),
            "Number of non-zeros.")
        .def_static("from_dense", &from_dense, nb::arg("dense").none(),
                    nb::sig("def from_dense(dense: Tensor) -> SparseTensor"),
                    "Convert dense tensor to sparse CSR.")
        .def_static("from_scipy", &from_scipy, nb::arg("scipy_csr").none(),
                    nb::sig("def from_scipy(scipy_csr: typing.Any) -> SparseTensor"),
                    "Create from scipy.sparse.csr_matrix.")
        .def(
            "__repr__",
            [](const SparseTensor& s) {
                return "SparseTensor(shape=" + nb::cast<std::string>(nb::str(s.shape)) +
                       ", nnz=" + nb::cast<std::string>(nb::str(s.nnz)) + ")";
            },
            nb::sig("def __repr__(self) -> str"));
    m.def("sparse_mv", &sparse_mv, nb::arg("A").none(), nb::arg("x").none(),
          nb::sig("def sparse_mv(A: SparseTensor, x: Tensor) -> Tensor"),
          "Sparse matrix-vector multiply: y = A @ x.");
}

}  // namespace zel
