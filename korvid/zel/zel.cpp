// Module start-up: constants, record type, backend, kernel loader, every
// subsystem's names from one table in definition order, Tensor operators, __all__.
#include <stdexcept>
#include <string>
#include <nanobind/nanobind.h>

#include "core/device.hpp"
#include "core/tensor.hpp"
#include "cuda/cubin_loader.hpp"
#include "registry.hpp"

namespace nb = nanobind;

namespace {

const char* const MODULE_DOC =
    "\nKorvid ZEL - GPU Fixed-Point Operations\n"
    "========================================\n"
    "\n"
    "GPU-accelerated exact arithmetic. All operations on CUDA.\n";

// The public names, in their documented order.
// clang-format off
const char* const ALL_NAMES[] = {
    "Tensor", "tensor", "zeros", "ones", "eye", "arange", "linspace", "rand", "randn", "add", "sub", "mul",
    "div", "neg", "abs", "sign", "pow", "mod", "reciprocal", "eq", "lt", "gt", "le", "ge", "ne", "sum",
    "prod", "max", "min", "mean", "std", "var", "norm", "dot", "mm", "mv", "bmm", "matmul", "outer", "trace",
    "diag", "det", "inv", "lu", "solve", "rref", "rank", "null_space", "kron", "cross", "hilbert_matrix",
    "relu", "leaky_relu", "sigmoid", "tanh", "gelu", "silu", "softmax", "exp", "log", "log2", "log10", "sqrt",
    "sin", "cos", "tan", "sinh", "cosh", "asin", "acos", "atan", "atan2", "asinh", "acosh", "atanh", "ceil",
    "floor", "round", "trunc", "frac", "conv2d", "cumsum", "cumprod", "diff", "argmax", "argmin", "reshape",
    "squeeze", "unsqueeze", "transpose", "cat", "stack", "clamp", "where", "lerp", "logical_and",
    "logical_or", "logical_not", "logical_xor", "checksum", "checksums_match", "verify", "ComplexTensor",
    "complex_tensor", "cmm", "cmv", "csum", "cabs", "conj", "complex_eye", "complex_zeros", "complex_ones",
    "pi", "pi_over", "pi_half", "pi_quarter", "rotation_x", "rotation_y", "rotation_z", "phase_gate",
    "pauli_x", "pauli_y", "pauli_z", "hadamard_gate", "t_gate", "s_gate", "cnot", "SCALE_BITS", "NUM_LIMBS",
    "SCALE", "patch_numpy", "unpatch_numpy"};
// clang-format on
static_assert(sizeof(ALL_NAMES) / sizeof(ALL_NAMES[0]) == 132, "the public namespace has 132 names");

void define_struct(nb::module_& m) { m.attr("struct") = nb::module_::import_("struct"); }

// The module's definition order, as data: each row names the first Python
// name its registrar defines, and start-up checks that it does.  A subsystem
// whose names go between another's splits its registrar and takes one row
// for each run of names.
struct Row {
    const char* first;
    void (*define)(nb::module_&);
};
const Row DEFINITION_ORDER[] = {
    {"_int_to_limbs", zel::register_core},  // conversions, device layer, Tensor
    {"to_fractions", zel::register_readout},
    {"SparseTensor", zel::register_sparse},
    {"tensor", zel::register_creation},
    {"_broadcast_shapes", zel::register_broadcast},
    {"add", zel::register_elementwise},
    {"neg", zel::register_unary},
    {"sum", zel::register_reductions},
    {"dot", zel::register_products},
    {"tan", zel::register_composite},
    {"_MAX_DENOMINATOR", zel::register_exact},
    {"_pow_half", zel::register_decomp},
    {"struct", define_struct},
    {"_LCG_A", zel::register_repro},
    {"ComplexTensor", zel::register_complex},
    {"PI_STR", zel::register_constants},
    {"rotation_x", zel::register_gates},
    {"_numpy_originals", zel::register_numpy_bridge},
};

PyInterpreterState* g_interp = nullptr;
bool g_initialised = false;

}  // namespace

NB_MODULE(zel, m) {
    PyInterpreterState* cur = PyInterpreterState_Get();
    if (g_interp && g_interp != cur) {
        PyErr_SetString(
            PyExc_ImportError,
            "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        throw nb::python_error();
    }
    if (g_initialised) {
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'zel' has already been imported. Re-initialisation is not supported.");
        throw nb::python_error();
    }
    g_interp = cur;
    // Loader and device state live until the process ends, by design.
    nb::set_leak_warnings(false);
    m.doc() = MODULE_DOC;

    zel::py_refs_init();
    const zel::PyRefs& py = zel::py_refs();
    nb::handle np = py.numpy;
    m.attr("np") = np;
    m.attr("Fraction") = py.fraction;
    m.attr("Decimal") = py.decimal;
    m.attr("getcontext") = py.getcontext;
    nb::module_ typing = nb::module_::import_("typing");
    for (const char* n : {"Union", "List", "Tuple", "Optional"}) m.attr(n) = typing.attr(n);
    nb::module_ builtins = nb::module_::import_("builtins");
    m.attr("_builtins") = builtins;
    for (const char* n : {"abs", "min", "max", "sum", "pow", "round"})
        m.attr((std::string("_") + n).c_str()) = builtins.attr(n);
    zel::set_decimal_precision(100);
    m.attr("hashlib") = nb::module_::import_("hashlib");

    m.attr("SCALE_BITS") = 256;
    m.attr("NUM_LIMBS") = zel::NLIMB;
    m.attr("SCALE") = nb::steal(PyNumber_Lshift(nb::int_(1).ptr(), nb::int_(256).ptr()));
    m.attr("BLOCK_SIZE") = zel::BLOCK_SIZE;

    // Record type: sign, pad, limb0..limb7, packed (72 bytes).
    nb::list fields;
    fields.append(nb::make_tuple("sign", np.attr("int32")));
    fields.append(nb::make_tuple("pad", np.attr("int32")));
    for (int i = 0; i < zel::NLIMB; ++i)
        fields.append(nb::make_tuple("limb" + std::to_string(i), np.attr("uint64")));
    nb::object dtype = np.attr("dtype")(fields);
    m.attr("FIXEDPOINT_DTYPE") = dtype;
    zel::device().fp_dtype = dtype;

    nb::module_ cuda_pkg = nb::module_::import_("korvid.zel.cuda");
    std::string pkg_file = nb::cast<std::string>(cuda_pkg.attr("__file__"));
    std::string fatbin = pkg_file.substr(0, pkg_file.find_last_of('/') + 1) + "zel_kernels.fatbin";
    zel::device_init(m, fatbin);
    nb::module_ loader = zel::loader_create(zel::on_cuda(), fatbin);
    m.attr("_get_cubin_module") = loader.attr("get_module");
    m.attr("_get_cubin_kernel") = loader.attr("get_kernel");
    zel::set_zel_module(m);

    // Every row adds its names after those of the rows above it.
    nb::dict ns = nb::borrow<nb::dict>(PyModule_GetDict(m.ptr()));
    for (const Row& row : DEFINITION_ORDER) {
        size_t before = nb::len(ns);
        row.define(m);
        nb::list names = ns.keys();
        if (nb::len(names) <= before || !names[before].equal(nb::str(row.first)))
            throw std::logic_error(std::string("registration table: the row of '") + row.first +
                                   "' does not define that name first");
    }
    // Operators look their functions up at call time; they add Tensor members only.
    zel::attach_tensor_operators(m);

    nb::list all;
    for (const char* n : ALL_NAMES) {
        if (nb::hasattr(m, n)) all.append(n);
    }
    m.attr("__all__") = nb::tuple(all);
    g_initialised = true;
}
