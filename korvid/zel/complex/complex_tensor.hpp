// Complex tensors: a pair of real Tensors of one shape.  Every complex
// operation is a short composition of the real operations, so its records
// are exactly those of that composition.
#pragma once

#include <nanobind/nanobind.h>

namespace zel {
namespace nb = nanobind;

struct ComplexTensor {
    nb::object real;  // Tensor of the real parts
    nb::object imag;  // Tensor of the imaginary parts, same shape
};

bool is_complex_tensor(nb::handle h);

// ComplexTensor(real, imag): parts that are not Tensors go through tensor();
// imag None gives zeros of exactly the real part's shape; parts of different
// shapes raise ValueError "Real shape ... != imag shape ...".
nb::object make_complex(nb::handle real, nb::handle imag);

}  // namespace zel
