// The checks every bounds rule is made of, and their messages: the texts
// here are part of the interface (tests and the fuzz harness match them).
#include "kernels/bounds.hpp"

#include <nanobind/nanobind.h>

namespace zel::bounds {
namespace nb = nanobind;

void Launch::ints(size_t count) const {
    if (iv.size() != count)
        throw nb::type_error((std::string(kernel) + ": wrong number of integer arguments").c_str());
}

void Launch::nonneg(std::initializer_list<size_t> ks) const {
    for (size_t k : ks)
        if (iv[k] < 0) refuse("sizes must not be negative");
}

void Launch::steps(std::initializer_list<size_t> ks) const {
    for (size_t k : ks)
        if (iv[k] != 0 && iv[k] != 1) refuse("steps must be 0 or 1");
}

const int32_t* Launch::host_i32(size_t k, int64_t count) const {
    if (!fetch) return static_cast<const int32_t*>(ptr[k]);
    copies_.emplace_back((size_t)count);
    if (count > 0) fetch(*this, k, copies_.back().data(), (size_t)count * sizeof(int32_t));
    return copies_.back().data();
}

void Launch::refuse(const std::string& what) const {
    throw nb::value_error((std::string(kernel) + ": " + what).c_str());
}

namespace {
// Decimal digits of a positive count (the need of a launch can pass 2^63).
std::string decimal_str(I128 n) {
    std::string d;
    do {
        d.insert(d.begin(), (char)('0' + (int)(n % 10)));
        n /= 10;
    } while (n > 0);
    return d;
}
}  // namespace

void Launch::too_small(size_t k, I128 n) const {
    refuse("argument " + std::to_string(pos[k]) + " holds " + std::to_string(sz[k]) +
           " elements but the launch reads or writes " + decimal_str(n));
}

}  // namespace zel::bounds
