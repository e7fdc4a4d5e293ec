// The unary functions: one kernel each, one record in, one record out.  Each
// is named here once; the list generates the kernel bodies and kernel-list
// entries (unary.hpp), the C++ operations op_<fn> (ops/ops.hpp, ops/unary.cpp)
// and their Python definitions, in this order, which is the module's.
//
//   F(E, fn, python name, kernel, value of the body for the record x, docstring)
//
// E is passed through to F untouched (the kernel list's X).  The last four
// are defined by ops/composite.cpp among the composites.
#pragma once

#define ZEL_UNARY_FUNCTIONS(F, E)                                                                           \
    F(E, neg, "neg", fp_neg_kernel, fp_neg(x), "Negate.")                                                   \
    F(E, abs, "abs", fp_abs_kernel, fp_abs(x), "Absolute value.")                                           \
    F(E, relu, "relu", fp_relu_kernel, fp_relu(x), "ReLU activation.")                                      \
    F(E, sigmoid, "sigmoid", fp_sigmoid_kernel, fp_sigmoid(x), "Sigmoid activation.")                       \
    F(E, tanh, "tanh", fp_tanh_kernel, fp_tanh(x), "Tanh activation.")                                      \
    F(E, gelu, "gelu", fp_gelu_kernel, fp_gelu(x), "GELU activation.")                                      \
    F(E, silu, "silu", fp_silu_kernel, fp_silu(x), "SiLU activation.")                                      \
    F(E, exp, "exp", fp_exp_kernel, fp_exp(x), "Exponential.")                                              \
    F(E, log, "log", fp_log_kernel, fp_log(x), "Natural logarithm.")                                        \
    F(E, sin, "sin", fp_sin_kernel, fp_sin(x), "Sine.")                                                     \
    F(E, cos, "cos", fp_cos_kernel, fp_cos(x), "Cosine.")                                                   \
    F(E, sqrt, "sqrt", fp_sqrt_kernel, fp_sqrt(x), "Square root.")                                          \
    F(E, sign, "sign", fp_sign_kernel, fp_signum(x), "Sign function.")                                      \
    F(E, asin, "asin", fp_asin_kernel, fp_asin(x), "Arcsine using exact 512-bit Taylor series.")            \
    F(E, acos, "acos", fp_acos_kernel, fp_acos(x), "Arccosine using exact 512-bit Taylor series.")          \
    F(E, atan_taylor, "_atan_taylor", fp_atan_kernel, fp_atan(x),                                           \
      "Raw atan Taylor series kernel - only accurate for |x| < 0.5.")                                       \
    F(E, ceil, "ceil", fp_ceil_kernel, fp_ceil_int(x), "Ceiling using exact 512-bit integer extraction.")   \
    F(E, floor, "floor", fp_floor_kernel, fp_floor_int(x), "Floor using exact 512-bit integer extraction.") \
    F(E, round, "round", fp_round_kernel, fp_round_int(x),                                                  \
      "Round to nearest integer using exact 512-bit arithmetic.")                                           \
    F(E, trunc, "trunc", fp_trunc_kernel, fp_trunc_int(x),                                                  \
      "Truncate toward zero using exact 512-bit arithmetic.")                                               \
    F(E, frac, "frac", fp_frac_kernel, fp_frac_part(x), "Fractional part using exact 512-bit arithmetic.")  \
    F(E, sinh, "sinh", fp_sinh_kernel, fp_sinh_cosh(x, false), "Hyperbolic sine.")                          \
    F(E, cosh, "cosh", fp_cosh_kernel, fp_sinh_cosh(x, true), "Hyperbolic cosine.")                         \
    F(E, asinh, "asinh", fp_asinh_kernel, fp_asinh(x),                                                      \
      "Inverse hyperbolic sine: asinh(x) = ln(x + sqrt(x^2 + 1)).")                                         \
    F(E, acosh, "acosh", fp_acosh_kernel, fp_acosh(x),                                                      \
      "Inverse hyperbolic cosine: acosh(x) = ln(x + sqrt(x^2 - 1)).")
