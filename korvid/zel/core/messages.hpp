// Texts of the interface: messages that callers and tests match, named here
// where more than one place raises them or many messages share their form.
// Their bytes are part of the interface; change none without its callers.
// (A subsystem's own messages stay beside the check that raises them; the raw
// launcher's live in cuda/bounds.cpp.)
#pragma once

namespace zel::msg {

// TypeError of every exact-type argument check (errors.cpp): argument name,
// expected type, the type given.
inline constexpr char ARG_TYPE[] = "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)";
// OverflowError of an int argument past 64 bits (errors.cpp): name, bit count.
inline constexpr char ARG_INT64[] =
    "Argument '%.200s' does not fit a signed 64-bit integer (it has %zu bits)";
// ZeroDivisionError of a ratio whose denominator is 0, as Fraction raises it
// (conversions, the exact bridge).
inline constexpr char DIVISION_BY_ZERO[] = "division by zero";
// ValueError of an inverse that does not exist (inv, solve, expm).
inline constexpr char MATRIX_SINGULAR[] = "Matrix is singular";

}  // namespace zel::msg
