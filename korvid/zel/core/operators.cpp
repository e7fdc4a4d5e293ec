// The Tensor members that delegate to module functions: arithmetic operators,
// @, ** and the four whole-tensor reductions.  Each looks its function up in
// the module at call time, as a module-level name would be.
#include "tensor.hpp"
#include "../registry.hpp"

namespace zel {

namespace {

nb::object fn(const char* name) { return zel_module().attr(name); }

// A non-Tensor operand becomes a tensor first (a Python number gives shape ()).
nb::object as_tensor(nb::handle x) { return is_tensor(x) ? nb::borrow(x) : fn("tensor")(x); }

template <class F>
void method(nb::handle cls, const char* name, F&& f) {
    nb::setattr(cls, name, nb::cpp_function(std::forward<F>(f), nb::is_method(), nb::name(name), nb::scope(cls)));
}

// Binary members take any right-hand operand, None included.
template <class F>
void binary(nb::handle cls, const char* name, F&& f) {
    nb::setattr(cls, name,
                nb::cpp_function(std::forward<F>(f), nb::is_method(), nb::name(name), nb::scope(cls),
                                 nb::arg("other").none()));
}

}  // namespace

void attach_tensor_operators(nb::module_& m) {
    nb::handle cls = m.attr("Tensor");
    binary(cls, "__add__", [](nb::handle s, nb::handle o) { return fn("add")(s, as_tensor(o)); });
    binary(cls, "__radd__", [](nb::handle s, nb::handle o) { return fn("add")(fn("tensor")(o), s); });
    binary(cls, "__sub__", [](nb::handle s, nb::handle o) { return fn("sub")(s, as_tensor(o)); });
    binary(cls, "__rsub__", [](nb::handle s, nb::handle o) { return fn("sub")(fn("tensor")(o), s); });
    binary(cls, "__mul__", [](nb::handle s, nb::handle o) { return fn("mul")(s, as_tensor(o)); });
    binary(cls, "__rmul__", [](nb::handle s, nb::handle o) { return fn("mul")(fn("tensor")(o), s); });
    binary(cls, "__truediv__", [](nb::handle s, nb::handle o) { return fn("div")(s, as_tensor(o)); });
    binary(cls, "__rtruediv__", [](nb::handle s, nb::handle o) { return fn("div")(fn("tensor")(o), s); });
    method(cls, "__neg__", [](nb::handle s) { return fn("neg")(s); });
    binary(cls, "__matmul__", [](nb::handle s, nb::handle o) { return fn("matmul")(s, o); });
    binary(cls, "__pow__", [](nb::handle s, nb::handle e) { return fn("pow")(s, e); });
    method(cls, "sum", [](nb::handle s) { return fn("sum")(s); });
    method(cls, "mean", [](nb::handle s) { return fn("mean")(s); });
    method(cls, "max", [](nb::handle s) { return fn("max")(s); });
    method(cls, "min", [](nb::handle s) { return fn("min")(s); });
}

}  // namespace zel
