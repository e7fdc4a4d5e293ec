// Quantum gate matrices as ComplexTensors.
//
// Cosines, sines and 1/sqrt(2) enter as the records cos, sin, sqrt and div
// produce (negated exactly where a gate has -s), not read back through
// doubles: the gates keep all 256 fractional bits.  Integer entries are exact.
#include <vector>

#include "complex_tensor.hpp"
#include "../core/tensor.hpp"
#include "../ops/ops.hpp"
#include "../registry.hpp"

namespace zel {

namespace {

// The first record of a tensor, on the host.
Fp first_record(nb::handle t) {
    TensorView v = tensor_view(t);
    if (v.n() == 0) throw nb::index_error("list index out of range");
    Fp r;
    copy_to_host(v.n() == 1 ? v.a : slice_records(v.a, 0, 1), &r, sizeof(Fp));
    return r;
}

nb::object as_tensor(nb::handle x) { return is_tensor(x) ? nb::borrow(x) : make_tensor(x); }

// A rows x cols tensor of the given records (row-major).
nb::object matrix(const std::vector<Fp>& e, int64_t rows, int64_t cols) {
    return wrap(records_from_host(e.data(), e.size()), nb::make_tuple(rows, cols));
}

nb::object matrix2(const Fp& a, const Fp& b, const Fp& c, const Fp& d) { return matrix({a, b, c, d}, 2, 2); }

const Fp Z = fp_zero();
const Fp ONE = fp_from_int(1);
const Fp MINUS_ONE = fp_from_int(-1);

struct CosSin {
    Fp c, s;
};

// cos and sin of the first element of angle (a Tensor, or anything tensor()
// takes), halved first for the rotations.
CosSin cos_sin(nb::handle angle, bool halve) {
    nb::object a = as_tensor(angle);
    if (halve) a = op_mul(a, make_tensor(nb::float_(0.5)));
    return {first_record(op_cos(a)), first_record(op_sin(a))};
}

nb::object rotation_x(nb::handle theta) {
    CosSin t = cos_sin(theta, true);
    const Fp ms = fp_neg(t.s);
    return make_complex(matrix2(t.c, Z, Z, t.c), matrix2(Z, ms, ms, Z));
}

nb::object rotation_y(nb::handle theta) {
    CosSin t = cos_sin(theta, true);
    return make_complex(matrix2(t.c, fp_neg(t.s), t.s, t.c), nb::none());
}

nb::object rotation_z(nb::handle theta) {
    CosSin t = cos_sin(theta, true);
    return make_complex(matrix2(t.c, Z, Z, t.c), matrix2(fp_neg(t.s), Z, Z, t.s));
}

nb::object phase_gate(nb::handle phi) {
    CosSin p = cos_sin(phi, false);
    return make_complex(matrix2(ONE, Z, Z, p.c), matrix2(Z, Z, Z, p.s));
}

nb::object hadamard_gate() {
    nb::object sqrt2 = op_sqrt(make_tensor(nb::float_(2.0)));
    Fp h = first_record(op_div(make_tensor(nb::float_(1.0)), sqrt2));
    return make_complex(matrix2(h, h, h, fp_neg(h)), nb::none());
}

}  // namespace

void register_gates(nb::module_& m) {
    m.def("rotation_x", &rotation_x, nb::arg("theta").none(),
          nb::sig("def rotation_x(theta: Tensor | float) -> ComplexTensor"),
          "Rotation gate Rx(theta) using EXACT ZEL trig.\n\n"
          "Args:\n    theta: Rotation angle as ZEL Tensor (use pi_over() for exact angles)");
    m.def("rotation_y", &rotation_y, nb::arg("theta").none(),
          nb::sig("def rotation_y(theta: Tensor | float) -> ComplexTensor"),
          "Rotation gate Ry(theta) using EXACT ZEL trig.");
    m.def("rotation_z", &rotation_z, nb::arg("theta").none(),
          nb::sig("def rotation_z(theta: Tensor | float) -> ComplexTensor"),
          "Rotation gate Rz(theta) using EXACT ZEL trig.");
    m.def("phase_gate", &phase_gate, nb::arg("phi").none(),
          nb::sig("def phase_gate(phi: Tensor | float) -> ComplexTensor"),
          "Phase gate P(\u03c6) = [[1, 0], [0, e^(i\u03c6)]].");
    m.def(
        "pauli_x", []() { return make_complex(matrix2(Z, ONE, ONE, Z), nb::none()); },
        nb::sig("def pauli_x() -> ComplexTensor"),
        "Pauli-X gate (NOT gate): [[0,1],[1,0]]. EXACT integer matrix.");
    m.def(
        "pauli_y", []() { return make_complex(matrix2(Z, Z, Z, Z), matrix2(Z, MINUS_ONE, ONE, Z)); },
        nb::sig("def pauli_y() -> ComplexTensor"), "Pauli-Y gate: [[0,-i],[i,0]]. EXACT integer matrix.");
    m.def(
        "pauli_z", []() { return make_complex(matrix2(ONE, Z, Z, MINUS_ONE), nb::none()); },
        nb::sig("def pauli_z() -> ComplexTensor"), "Pauli-Z gate: [[1,0],[0,-1]]. EXACT integer matrix.");
    m.def("hadamard_gate", &hadamard_gate, nb::sig("def hadamard_gate() -> ComplexTensor"),
          "Hadamard gate using EXACT ZEL sqrt.");
    m.def(
        "t_gate", []() { return phase_gate(op_pi_over(nb::int_(4))); },
        nb::sig("def t_gate() -> ComplexTensor"),
        "T gate (pi/8 gate): [[1, 0], [0, e^(i*pi/4)]]. Uses exact trig.");
    m.def(
        "s_gate", []() { return make_complex(matrix2(ONE, Z, Z, Z), matrix2(Z, Z, Z, ONE)); },
        nb::sig("def s_gate() -> ComplexTensor"), "S gate (phase gate): [[1, 0], [0, i]]. EXACT.");
    m.def(
        "cnot",
        []() {
            std::vector<Fp> e(16, Z);
            e[0] = e[5] = e[11] = e[14] = ONE;
            return make_complex(matrix(e, 4, 4), nb::none());
        },
        nb::sig("def cnot() -> ComplexTensor"), "CNOT (controlled-X) gate. 4x4 EXACT integer matrix.");
}

}  // namespace zel
