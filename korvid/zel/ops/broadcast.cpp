// NumPy broadcasting of two shapes, and the expansion of a tensor's data.
#include <string>

#include "../core/errors.hpp"
#include "../registry.hpp"
#include "ops.hpp"

namespace zel {

std::vector<int64_t> broadcast_shapes(const std::vector<int64_t>& a, const std::vector<int64_t>& b,
                                      nb::handle sa, nb::handle sb) {
    size_t nd = a.size() > b.size() ? a.size() : b.size();
    std::vector<int64_t> s1(nd - a.size(), 1), s2(nd - b.size(), 1), out;
    s1.insert(s1.end(), a.begin(), a.end());
    s2.insert(s2.end(), b.begin(), b.end());
    for (size_t i = 0; i < nd; ++i) {
        int64_t d1 = s1[i], d2 = s2[i];
        if (d1 == d2)
            out.push_back(d1);
        else if (d1 == 1)
            out.push_back(d2);
        else if (d2 == 1)
            out.push_back(d1);
        else
            throw nb::value_error(
                ("Cannot broadcast shapes " + shape_str(sa) + " and " + shape_str(sb)).c_str());
    }
    return out;
}

DevArray broadcast_data(const TensorView& t, const std::vector<int64_t>& target) {
    std::vector<int64_t> src = shape_vec(t.shape);
    check_shape_count(src, t.n(), t.shape);
    size_t nd = target.size();
    std::vector<int64_t> padded(nd - src.size(), 1);
    padded.insert(padded.end(), src.begin(), src.end());
    int64_t total = shape_numel(target);
    // Source strides, 0 along broadcast axes.
    std::vector<int64_t> stride(nd, 0);
    int64_t acc = 1;
    for (size_t i = nd; i-- > 0;) {
        stride[i] = padded[i] == 1 ? 0 : acc;
        acc *= padded[i];
    }
    check_host_alloc((size_t)total, sizeof(Fp));
    HostRecords h = host_records(t.a);
    std::vector<Fp> out((size_t)total);
    std::vector<int64_t> idx(nd, 0);
    int64_t off = 0;
    for (int64_t k = 0; k < total; ++k) {
        out[(size_t)k] = h.ptr[off];
        for (size_t i = nd; i-- > 0;) {
            if (++idx[i] < target[i]) {
                off += stride[i];
                break;
            }
            off -= stride[i] * (target[i] - 1);
            idx[i] = 0;
        }
    }
    return records_from_host(out.data(), out.size());
}

nb::object op_broadcast_to(nb::handle t, nb::handle target_shape) {
    require_tuple(target_shape, "target_shape");
    TensorView v = tensor_view(t);
    if (py_compare(v.shape, target_shape, Py_EQ)) return nb::borrow(t);
    std::vector<int64_t> target = shape_vec(target_shape);
    // Refuse targets the tensor does not broadcast to.
    std::vector<int64_t> src = shape_vec(v.shape);
    if (broadcast_shapes(src, target, v.shape, target_shape) != target)
        throw nb::value_error(
            ("Cannot broadcast shapes " + shape_str(v.shape) + " and " + shape_str(target_shape)).c_str());
    return wrap(broadcast_data(v, target), target_shape);
}

nb::object op_broadcast_tensors(nb::handle a, nb::handle b) {
    TensorView va = tensor_view(a), vb = tensor_view(b);
    std::vector<int64_t> s = broadcast_shapes(shape_vec(va.shape), shape_vec(vb.shape), va.shape, vb.shape);
    nb::object st = shape_tuple(s);
    auto one = [&](nb::handle t, const TensorView& v) -> nb::object {
        if (py_compare(v.shape, st, Py_EQ)) return nb::borrow(t);
        return wrap(broadcast_data(v, s), st);
    };
    return nb::make_tuple(one(a, va), one(b, vb));
}

void register_broadcast(nb::module_& m) {
    m.def(
        "_broadcast_shapes",
        [](nb::handle shape1, nb::handle shape2) {
            require_tuple(shape1, "shape1");
            require_tuple(shape2, "shape2");
            return shape_tuple(broadcast_shapes(shape_vec(shape1), shape_vec(shape2), shape1, shape2));
        },
        nb::arg("shape1").none(), nb::arg("shape2").none(),
        nb::sig("def _broadcast_shapes(shape1: tuple[int, ...], shape2: tuple[int, ...]) -> tuple[int, ...]"),
        "Compute broadcast shape following NumPy rules.");
    m.def("_broadcast_to", &op_broadcast_to, nb::arg("t").none(), nb::arg("target_shape").none(),
          nb::sig("def _broadcast_to(t: Tensor, target_shape: tuple[int, ...]) -> Tensor"),
          "Expand tensor to target shape via broadcasting.");
    m.def("broadcast_tensors", &op_broadcast_tensors, nb::arg("a").none(), nb::arg("b").none(),
          nb::sig("def broadcast_tensors(a: Tensor, b: Tensor) -> tuple[Tensor, Tensor]"),
          "Broadcast two tensors to compatible shapes.");
}

}  // namespace zel
