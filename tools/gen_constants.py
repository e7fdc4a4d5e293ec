"""Writes korvid/zel/cuda/kernels/elementary_tables.hpp: the constants and
tables of the elementary-function kernels, computed with mpmath at 2400 bits
and rounded to nearest at the stated number of fractional bits.

Run from the repository root:  python tools/gen_constants.py
The header is committed; rerun only when a table changes.
"""
import math
import os

import mpmath as mp

mp.mp.prec = 2400
OUT = os.path.join(os.path.dirname(__file__), "..", "korvid", "zel", "cuda", "kernels", "elementary_tables.hpp")

W5, W9 = 6, 10  # limbs of the Q63.320 and Q63.576 working formats


def fixed(v, frac_bits, limbs):
    """v rounded to nearest at 2^-frac_bits, two's complement in `limbs` limbs."""
    m = int(mp.nint(mp.mpf(v) * mp.mpf(2) ** frac_bits))
    assert -(2 ** (64 * limbs - 1)) <= m < 2 ** (64 * limbs - 1), v
    m %= 2 ** (64 * limbs)
    return [(m >> (64 * i)) & (2**64 - 1) for i in range(limbs)]


def floor_fixed(v, frac_bits, limbs):
    m = int(mp.floor(mp.mpf(v) * mp.mpf(2) ** frac_bits))
    assert 0 <= m < 2 ** (64 * limbs)
    return [(m >> (64 * i)) & (2**64 - 1) for i in range(limbs)]


def wtab(values, limbs):
    return [w for v in values for w in fixed(v, 64 * (limbs - 1), limbs)]


out = []


def emit(name, words, comment):
    out.append(f"// {comment}")
    body = ",".join(f"0x{w:016x}ull" for w in words)
    out.append(f"ZEL_TABLE({name}, {len(words)}, {body})")
    out.append("")


def emit_int(name, value, comment):
    if comment:
        out.append(f"// {comment}")
    out.append(f"constexpr int {name} = {value};")
    out.append("")


# ---------------------------------------------------------------- exp
# exp(r), |r| <= ln2/2: r = j1/128 + j2/2^14 + t, |t| <= 2^-15.
EXP1_LO, EXP1_HI = -46, 46
EXP2_LO, EXP2_HI = -65, 65


def degree_for(bits_of_x, prec_bits, term):
    n = 1
    while term(n, mp.mpf(2) ** -bits_of_x) >= mp.mpf(2) ** -prec_bits:
        n += 1
    return n - 1  # last power kept


exp_deg5 = degree_for(15, 64 * 5 + 12, lambda n, x: x**n / mp.factorial(n))
exp_deg9 = degree_for(15, 64 * 9 + 12, lambda n, x: x**n / mp.factorial(n))
emit_int("ZT_EXP1_LO", EXP1_LO, "first exp table: exp(j/128) for j in [ZT_EXP1_LO, ZT_EXP1_HI]")
emit_int("ZT_EXP1_HI", EXP1_HI, "")
emit_int("ZT_EXP2_LO", EXP2_LO, "second exp table: exp(j/2^14)")
emit_int("ZT_EXP2_HI", EXP2_HI, "")
emit_int("ZT_EXP_DEG5", exp_deg5, "Taylor degree of exp(t), |t| <= 2^-15, at 320 fractional bits")
emit_int("ZT_EXP_DEG9", exp_deg9, "... and at 576 fractional bits")
emit("ZT_EXP1", wtab([mp.exp(mp.mpf(j) / 128) for j in range(EXP1_LO, EXP1_HI + 1)], W9), "exp(j/128), Q63.576")
emit("ZT_EXP2", wtab([mp.exp(mp.mpf(j) / 2**14) for j in range(EXP2_LO, EXP2_HI + 1)], W9), "exp(j/2^14), Q63.576")
emit("ZT_EXPC", wtab([1 / mp.factorial(n) for n in range(exp_deg9 + 1)], W9), "1/n!, Q63.576")
emit("ZT_LN2_9", fixed(mp.log(2), 576, W9), "ln 2, Q63.576")

# ---------------------------------------------------------------- sin, cos
SC_HI = 52
sin_deg = degree_for(14, 64 * 5 + 12 - 7, lambda n, u: u**n / mp.factorial(2 * n + 1))
cos_deg = degree_for(14, 64 * 5 + 12, lambda n, u: u**n / mp.factorial(2 * n))
emit_int("ZT_SC_HI", SC_HI, "sin/cos table: j/64 for j in [0, ZT_SC_HI]")
emit_int("ZT_SIN_DEG", sin_deg, "degree in u = t^2 (|t| <= 2^-7) of sin(t)/t")
emit_int("ZT_COS_DEG", cos_deg, "degree in u of cos(t)")
emit("ZT_SIN_TAB", wtab([mp.sin(mp.mpf(j) / 64) for j in range(SC_HI + 1)], W5), "sin(j/64), Q63.320")
emit("ZT_COS_TAB", wtab([mp.cos(mp.mpf(j) / 64) for j in range(SC_HI + 1)], W5), "cos(j/64), Q63.320")
emit("ZT_SINC", wtab([(-1) ** i / mp.factorial(2 * i + 1) for i in range(sin_deg + 1)], W5), "(-1)^i/(2i+1)!")
emit("ZT_COSC", wtab([(-1) ** i / mp.factorial(2 * i) for i in range(cos_deg + 1)], W5), "(-1)^i/(2i)!")
# 2/pi at 2^-320 (truncated) picks the quadrant; pi/2 at 2^-640 reduces.
emit("ZT_TWO_OVER_PI", floor_fixed(2 / mp.pi, 320, 5), "2/pi, 320 fractional bits, unsigned")
emit("ZT_PIO2_BIG", floor_fixed(mp.pi / 2, 640, 11), "pi/2, 640 fractional bits, unsigned")
emit("ZT_PIO2_5", fixed(mp.pi / 2, 320, W5), "pi/2, Q63.320")
emit("ZT_PI_5", fixed(mp.pi, 320, W5), "pi, Q63.320")

# ---------------------------------------------------------------- log
# m in [1, 2): m1 = m*c1[j]/256 with j the top 7 fraction bits, then
# m2 = m1*(1 - j2/2^14), then log1p of the rest.
c1 = [int(mp.nint(256 * 128 / (128 + j + mp.mpf(1) / 2))) for j in range(128)]
t1max = mp.mpf(0)
for j in range(128):
    for m in (1 + mp.mpf(j) / 128, 1 + mp.mpf(j + 1) / 128):
        t1max = max(t1max, abs(m * c1[j] / 256 - 1))
j2max = int(mp.ceil(t1max * 2**14)) + 2
# |t2| bound over the whole range: t1 in [-t1max, t1max], j2 = round(t1*2^14)
t2max = mp.mpf(2) ** -15 + t1max * (t1max + mp.mpf(2) ** -15) + mp.mpf(2) ** -300
LOG2_LO, LOG2_HI = -j2max, j2max
tb = -int(mp.floor(mp.log(t2max, 2)))  # |t2| <= 2^-tb
log_deg = degree_for(tb, 64 * 5 + 12, lambda n, t: t ** (n + 1) / (n + 1))
out.append(f"// |m1 - 1| <= {mp.nstr(t1max, 6)}, |t2| <= {mp.nstr(t2max, 6)} < 2^-{tb}")
emit_int("ZT_LOG_TBITS", tb, "leading zero bits of the log1p argument")
emit_int("ZT_LOG2_LO", LOG2_LO, "second log table index range")
emit_int("ZT_LOG2_HI", LOG2_HI, "")
emit_int("ZT_LOG_DEG", log_deg, "degree of log1p(t)/t")
emit("ZT_LOG_C1", c1, "c1[j] = round(2^15/(128 + j + 1/2)) ~ 256/m")
emit("ZT_LOG1", wtab([mp.log(mp.mpf(256) / c) for c in c1], W5), "log(256/c1[j]), Q63.320")
emit("ZT_LOG2", wtab([-mp.log(1 - mp.mpf(j) / 2**14) for j in range(LOG2_LO, LOG2_HI + 1)], W5), "-log(1 - j/2^14), Q63.320")
emit("ZT_LOGC", wtab([mp.mpf(-1) ** n / (n + 1) for n in range(log_deg + 1)], W5), "(-1)^n/(n+1)")
emit("ZT_LN2_5", fixed(mp.log(2), 320, W5), "ln 2, Q63.320")

# ---------------------------------------------------------------- atan
AT_N = 256
atan_deg = degree_for(18, 64 * 5 + 12 - 9, lambda n, u: u**n / (2 * n + 1))
emit_int("ZT_ATAN_N", AT_N, "atan table: atan(j/256), j in [0, 256]")
emit_int("ZT_ATAN_DEG", atan_deg, "degree in u = t^2 (|t| <= 2^-9) of atan(t)/t")
emit("ZT_ATAN_TAB", wtab([mp.atan(mp.mpf(j) / AT_N) for j in range(AT_N + 1)], W5), "atan(j/256), Q63.320")
emit("ZT_ATANC", wtab([mp.mpf(-1) ** i / (2 * i + 1) for i in range(atan_deg + 1)], W5), "(-1)^i/(2i+1)")

# ---------------------------------------------------------------- erf
ERF_HI = 228
emit_int("ZT_ERF_HI", ERF_HI, "erf grid: z0 = j/16, j in [0, ZT_ERF_HI]")
emit("ZT_ERF_TAB", wtab([mp.erf(mp.mpf(j) / 16) for j in range(ERF_HI + 1)], W5), "erf(j/16)")
emit("ZT_ERF_E", wtab([2 / mp.sqrt(mp.pi) * mp.exp(-(mp.mpf(j) / 16) ** 2) for j in range(ERF_HI + 1)], W5),
     "2/sqrt(pi) * exp(-(j/16)^2)")
emit("ZT_RSQRT2_5", fixed(1 / mp.sqrt(2), 320, W5), "1/sqrt(2), Q63.320")

# ---------------------------------------------------------------- records
# Values as records: magnitude rounded to nearest at 2^-256 (8 limbs).
emit("ZT_FP_LN2", fixed(mp.log(2), 256, 8), "ln 2 as a record magnitude")
emit("ZT_FP_LN10", fixed(mp.log(10), 256, 8), "ln 10 as a record magnitude")
emit("ZT_FP_PI", fixed(mp.pi, 256, 8), "pi as a record magnitude")
# exp(x) < 2^-256 exactly when x < -256 ln 2, i.e. |x|*2^256 > floor(256 ln2 2^256).
emit("ZT_FP_EXP_FLUSH", floor_fixed(256 * mp.log(2), 256, 8), "floor(256 ln2 * 2^256)")
out.append("// pi * 2^2048, rounded down, as hexadecimal: pi/n for any int n is rounded from it")
out.append(f'constexpr const char* ZT_PI_HEX_2048 = "{int(mp.floor(mp.pi * mp.mpf(2) ** 2048)):x}";')
out.append("")

header = '''// Generated by tools/gen_constants.py (mpmath at 2400 bits); do not edit.
// Tables are little-endian 64-bit limbs; Q63.F values are two's complement
// with one integer limb on top.
#pragma once
#include <cstdint>

#if defined(__CUDACC__)
// One copy for the device, one for the host; zt_<name>() picks the right one.
#include <nv/target>
#define ZEL_TABLE(name, count, ...)                                          \\
    __device__ const uint64_t name##_dev[count] = {__VA_ARGS__};              \\
    inline constexpr uint64_t name##_host[count] = {__VA_ARGS__};             \\
    __host__ __device__ __forceinline__ const uint64_t* name() {              \\
        NV_IF_ELSE_TARGET(NV_IS_DEVICE, (return name##_dev;), (return name##_host;)) \\
    }
#else
#define ZEL_TABLE(name, count, ...)                                          \\
    inline constexpr uint64_t name##_host[count] = {__VA_ARGS__};             \\
    inline const uint64_t* name() { return name##_host; }
#endif

namespace zel {

'''
with open(OUT, "w") as f:
    f.write(header)
    f.write("\n".join(out))
    f.write("\n}  // namespace zel\n")
print(f"wrote {os.path.normpath(OUT)}: exp deg {exp_deg5}/{exp_deg9}, sin {sin_deg}, cos {cos_deg}, "
      f"log deg {log_deg} (t2 < 2^-{tb}, j2 in [{LOG2_LO}, {LOG2_HI}]), atan {atan_deg}")
