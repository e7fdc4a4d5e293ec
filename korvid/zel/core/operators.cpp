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

// sig: the Python signature, which also names the function.
template <class F>
void method(nb::handle cls, const char* name, const char* sig, F&& f) {
    nb::setattr(cls, name,
                nb::cpp_function(std::forward<F>(f), nb::is_method(), nb::scope(cls), nb::sig(sig)));
}

// Binary members take any right-hand operand, None included.
template <class F>
void binary(nb::handle cls, const char* name, const char* sig, F&& f) {
    nb::setattr(cls, name,
                nb::cpp_function(std::forward<F>(f), nb::is_method(), nb::scope(cls), nb::arg("other").none(),
                                 nb::sig(sig)));
}

}  // namespace

void attach_tensor_operators(nb::module_& m) {
    nb::handle cls = m.attr("Tensor");
    binary(cls, "__add__", "def __add__(self, other: object) -> Tensor",
           [](nb::handle s, nb::handle o) { return fn("add")(s, as_tensor(o)); });
    binary(cls, "__radd__", "def __radd__(self, other: object) -> Tensor",
           [](nb::handle s, nb::handle o) { return fn("add")(fn("tensor")(o), s); });
    binary(cls, "__sub__", "def __sub__(self, other: object) -> Tensor",
           [](nb::handle s, nb::handle o) { return fn("sub")(s, as_tensor(o)); });
    binary(cls, "__rsub__", "def __rsub__(self, other: object) -> Tensor",
           [](nb::handle s, nb::handle o) { return fn("sub")(fn("tensor")(o), s); });
    binary(cls, "__mul__", "def __mul__(self, other: object) -> Tensor",
           [](nb::handle s, nb::handle o) { return fn("mul")(s, as_tensor(o)); });
    binary(cls, "__rmul__", "def __rmul__(self, other: object) -> Tensor",
           [](nb::handle s, nb::handle o) { return fn("mul")(fn("tensor")(o), s); });
    binary(cls, "__truediv__", "def __truediv__(self, other: object) -> Tensor",
           [](nb::handle s, nb::handle o) { return fn("div")(s, as_tensor(o)); });
    binary(cls, "__rtruediv__", "def __rtruediv__(self, other: object) -> Tensor",
           [](nb::handle s, nb::handle o) { return fn("div")(fn("tensor")(o), s); });
    method(cls, "__neg__", "def __neg__(self) -> Tensor", [](nb::handle s) { return fn("neg")(s); });
    binary(cls, "__matmul__", "def __matmul__(self, other: Tensor) -> Tensor",
           [](nb::handle s, nb::handle o) { return fn("matmul")(s, o); });
    binary(cls, "__pow__", "def __pow__(self, other: int) -> Tensor",
           [](nb::handle s, nb::handle e) { return fn("pow")(s, e); });
    method(cls, "sum", "def sum(self) -> Tensor", [](nb::handle s) { return fn("sum")(s); });
    method(cls, "mean", "def mean(self) -> Tensor", [](nb::handle s) { return fn("mean")(s); });
    method(cls, "max", "def max(self) -> Tensor", [](nb::handle s) { return fn("max")(s); });
    method(cls, "min", "def min(self) -> Tensor", [](nb::handle s) { return fn("min")(s); });
}

}  // namespace zel
