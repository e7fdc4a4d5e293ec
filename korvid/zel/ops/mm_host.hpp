// Host matrix products on raw records (cpu backend only).
#pragma once

#include <cstdint>

#include "../core/fixed_point.hpp"

namespace zel {

// out = a @ b for row-major a (M x K) and b (K x N): each product rounded as
// fp_mul, each sum exact, saturated once (the fp_mm_kernel records).
void mm_host(const Fp* a, const Fp* b, Fp* out, int64_t M, int64_t N, int64_t K);

// re = sat(ar@br) - sat(ai@bi), im = sat(ar@bi) + sat(ai@br), each @ as
// mm_host and each - / + as fp_sub / fp_add: the records of that composition
// in one pass, without the four intermediate matrices.  May release the GIL.
void cmm_host(const Fp* ar, const Fp* ai, const Fp* br, const Fp* bi, Fp* re, Fp* im, int64_t M, int64_t N,
              int64_t K);

}  // namespace zel
