// The dense Tensor and the helpers every operation uses to read operands and
// wrap results.
#pragma once

#include <cstdint>
#include <vector>
#include <nanobind/nanobind.h>

#include "device.hpp"
#include "launch.hpp"
#include "pyrefs.hpp"

namespace zel {
namespace nb = nanobind;

struct Tensor {
    nb::object data;   // 1-D device record array
    nb::object shape;  // tuple
};

// The extension module (for delegation to module-level functions).
nb::module_& zel_module();
void set_zel_module(nb::module_ m);

// A tensor operand as read: its device array and its shape tuple, not yet
// checked against each other (tensor_view).
struct TensorView {
    DevArray a;
    nb::object shape;
    size_t n() const { return a.n; }
    Fp* rec() const { return a.rec(); }
};

// A TensorView whose shape has been decoded (s) and checked against its
// record count (shaped_view): what every operation that derives sizes from
// the shape must use.
struct ShapedView {
    TensorView v;
    std::vector<int64_t> s;
};
ShapedView shaped_view(nb::handle t);

bool is_tensor(nb::handle h);
// Reads _data and _shape (AttributeError for objects without them, as any
// attribute access would raise); validates _data.
TensorView tensor_view(nb::handle t);
// Tensor(_raw=out, shape=S): S falsy gives (len(out),).
nb::object wrap(const DevArray& out, nb::handle shape);
nb::object wrap_1d(const DevArray& out);
// tensor(v) == Tensor(v)
nb::object make_tensor(nb::handle data);

// Shapes: validated non-negative int entries, at most MAX_DIMS of them, whose
// non-zero extents multiply within int64 (ValueError naming the shape).
constexpr int MAX_DIMS = 64;
std::vector<int64_t> shape_vec(nb::handle shape, const char* what = "shape");
// a * b for sizes derived from shapes; ValueError naming `what` on overflow.
int64_t checked_dim_mul(int64_t a, int64_t b, const char* what);
nb::object shape_tuple(const std::vector<int64_t>& s);
int64_t shape_numel(const std::vector<int64_t>& s);
// Raises ValueError unless the shape's element count equals n.
void check_shape_count(const std::vector<int64_t>& s, size_t n, nb::handle shape);

// Host conversion of a list's elements into device records (the to_gpu rule).
DevArray values_to_device(PyObject* const* items, size_t n);

// Host doubles of every record (cpu: computed in parallel).
std::vector<double> records_to_doubles(const DevArray& a);

void register_tensor(nb::module_& m);

}  // namespace zel
