#include "convert.hpp"

#include <structmember.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <vector>

#include "device.hpp"
#include "errors.hpp"
#include "pyrefs.hpp"

namespace zel {

namespace {

struct ConvState {
    nb::object bad_literal;  // its subclass that is also a ValueError
    nb::object scale;        // 2**256 as a Python int
    bool fraction_normalize_kw = false;
    nb::object from_coprime;                // Fraction._from_coprime_ints where present
    Py_ssize_t num_off = -1, den_off = -1;  // slot offsets of an exact Fraction
    std::vector<nb::object> pow2;           // 2**k for k = 0..256: the denominators read back
};

ConvState& cs() {
    static ConvState* s = new ConvState();
    return *s;
}

// The 512-bit magnitude, limb 0 first, saturated when z does not fit.
bool mpz_to_mag(mpz_srcptr z, uint64_t* mag) {
    size_t limbs = mpz_size(z);
    if (limbs > (size_t)NLIMB) return false;
    for (int i = 0; i < NLIMB; ++i) mag[i] = (size_t)i < limbs ? (uint64_t)mpz_getlimbn(z, i) : 0;
    return true;
}

}  // namespace

void conversions_init() {
    ConvState& s = cs();
    const PyRefs& py = py_refs();
    // A text that is not a number: still the decimal module's error, and a
    // ValueError like float('abc').
    s.bad_literal = nb::steal(PyErr_NewExceptionWithDoc(
        "korvid.zel.LiteralError", "A string that is not a decimal number.",
        nb::make_tuple(py.invalid_operation, nb::handle(PyExc_ValueError)).ptr(), nullptr));
    if (!s.bad_literal.is_valid()) throw nb::python_error();
    s.scale = nb::steal(PyNumber_Lshift(nb::int_(1).ptr(), nb::int_(256).ptr()));
    if (nb::hasattr(py.fraction, "_from_coprime_ints"))
        s.from_coprime = py.fraction.attr("_from_coprime_ints");
    // Fraction keeps its parts in __slots__: read them at their offsets.
    auto slot_offset = [&](const char* name) -> Py_ssize_t {
        PyObject* d = PyDict_GetItemString(((PyTypeObject*)py.fraction.ptr())->tp_dict, name);
        if (!d || !PyObject_TypeCheck(d, &PyMemberDescr_Type)) return -1;
        PyMemberDef* mdef = ((PyMemberDescrObject*)d)->d_member;
        return mdef->type == T_OBJECT_EX ? mdef->offset : -1;
    };
    s.num_off = slot_offset("_numerator");
    s.den_off = slot_offset("_denominator");
    for (int k = 0; k <= FRAC_LIMBS * 64; ++k)
        s.pow2.push_back(nb::steal(PyNumber_Lshift(nb::int_(1).ptr(), nb::int_(k).ptr())));
}

Fp fp_from_integer(mpz_srcptr z) {
    bool neg = mpz_sgn(z) < 0;
    // integer part occupies limbs 4..7: |z| must stay below 2^256
    if (mpz_sizeinbase(z, 2) > 256 && mpz_sgn(z) != 0) return fp_max_mag(neg);
    Fp r = fp_zero();
    size_t limbs = mpz_size(z);
    for (size_t i = 0; i < limbs && i < (size_t)FRAC_LIMBS; ++i) r.limb[FRAC_LIMBS + i] = mpz_getlimbn(z, i);
    r.sign = (neg && !fp_is_zero(r)) ? -1 : 1;
    return r;
}

Fp fp_from_pylong(nb::handle o) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(o.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw nb::python_error();
    if (!overflow) return fp_from_int(v);
    Mpz z;
    pylong_to_mpz(z, o);
    return fp_from_integer(z);
}

Fp fp_from_ratio(mpz_srcptr num, mpz_srcptr den) {
    Mpz t;
    mpz_mul_2exp(t, num, 256);
    mpz_fdiv_q(t, t, den);  // floor: toward -inf at 2^-256
    bool neg = mpz_sgn(t) < 0;
    mpz_abs(t, t);
    uint64_t mag[NLIMB];
    if (!mpz_to_mag(t, mag)) return fp_max_mag(neg);
    return fp_make(mag, neg);
}

// Fraction(d).limit_denominator(10**15) as num/den, exactly as the standard
// library computes it.
static void limit_denominator_double(double d, mpz_ptr num, mpz_ptr den) {
    int e;
    double m = std::frexp(d, &e);  // d = m * 2^e, 0.5 <= |m| < 1
    // exact integer mantissa
    double mi = std::ldexp(m, 53);
    e -= 53;
    mpz_set_d(num, mi);
    mpz_set_ui(den, 1);
    if (e > 0) {
        mpz_mul_2exp(num, num, e);
    } else if (e < 0) {
        mpz_mul_2exp(den, den, -e);
        // lowest terms: strip common factors of two
        mp_bitcnt_t tz = mpz_sgn(num) ? mpz_scan1(num, 0) : 0;
        mp_bitcnt_t k = tz < (mp_bitcnt_t)(-e) ? tz : (mp_bitcnt_t)(-e);
        mpz_fdiv_q_2exp(num, num, k);
        mpz_fdiv_q_2exp(den, den, k);
        if (mpz_sgn(num) == 0) mpz_set_ui(den, 1);
    }
    limit_denominator(num, den, 1000000000000000ull);
}

// Magnitude digits of an int, read in place where the layout is known
// (saves a byte-array round trip per value).
#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030E0000
#define ZEL_PYLONG_DIGITS 1
static inline const digit* pylong_digits(PyObject* o, Py_ssize_t& ndigits, bool& neg) {
    PyLongObject* l = (PyLongObject*)o;
#if PY_VERSION_HEX >= 0x030C0000
    uintptr_t tag = l->long_value.lv_tag;
    ndigits = (Py_ssize_t)(tag >> 3);
    neg = (tag & 3) == 2;
    return l->long_value.ob_digit;
#else
    Py_ssize_t sz = Py_SIZE(l);
    ndigits = sz < 0 ? -sz : sz;
    neg = sz < 0;
    return l->ob_digit;
#endif
}
#endif

#ifdef ZEL_PYLONG_DIGITS
// The nd digits dg as little-endian limbs; false when they need more than
// cap limbs.  Ints below 2^60 (and 2^120) take the short ways.
static inline __attribute__((always_inline)) bool digits_to_limbs(const digit* dg, Py_ssize_t nd,
                                                                  uint64_t* out, int cap, int& len,
                                                                  bool& neg) {
    if (nd <= 2) {  // below 2^60: the common case
        out[0] = nd == 0 ? 0 : (uint64_t)dg[0] | (nd == 2 ? (uint64_t)dg[1] << PyLong_SHIFT : 0);
        len = out[0] ? 1 : 0;
        if (len == 0) neg = false;
        return true;
    }
#if PyLong_SHIFT == 30
    if (nd <= 4 && cap >= 2) {  // below 2^120: two limbs
        uint64_t d2 = dg[2], d3 = nd == 4 ? dg[3] : 0;
        out[0] = (uint64_t)dg[0] | (uint64_t)dg[1] << 30 | d2 << 60;
        out[1] = d2 >> 4 | d3 << 26;
        len = out[1] ? 2 : 1;
        return true;
    }
#endif
    if ((size_t)nd * PyLong_SHIFT > (size_t)cap * 64 + PyLong_SHIFT) return false;
    for (int i = 0; i < cap; ++i) out[i] = 0;
    size_t bit = 0;
    for (Py_ssize_t i = 0; i < nd; ++i, bit += PyLong_SHIFT) {
        uint64_t d = dg[i];
        size_t w = bit >> 6, sh = bit & 63;
        if (w < (size_t)cap) out[w] |= d << sh;
        if (sh + PyLong_SHIFT > 64 && w + 1 < (size_t)cap)
            out[w + 1] |= d >> (64 - sh);
        else if (sh + PyLong_SHIFT > 64 && (d >> (64 - sh)) != 0)
            return false;
        if (w >= (size_t)cap && d) return false;
    }
    len = cap;
    while (len > 0 && out[len - 1] == 0) --len;
    if (len == 0) neg = false;
    return true;
}
#endif

// The same through the public C API: a long long when it fits, else the
// two's-complement bytes of o turned into a magnitude.
static inline bool pylong_api_to_limbs(PyObject* o, uint64_t* out, int cap, int& len, bool& neg) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (v == -1 && PyErr_Occurred()) throw nb::python_error();
    if (!overflow) {
        neg = v < 0;
        out[0] = neg ? 0ull - (uint64_t)v : (uint64_t)v;
        len = out[0] ? 1 : 0;
        return true;
    }
    neg = overflow < 0;
    size_t bits = _PyLong_NumBits(o);     // of |o|
    int limbs = (int)((bits + 64) / 64);  // room for the sign bit
    if (limbs > cap + 1) return false;
    uint64_t buf[NLIMB + 2] = {0};
#if PY_VERSION_HEX >= 0x030D0000
    if (_PyLong_AsByteArray((PyLongObject*)o, (unsigned char*)buf, limbs * 8, 1, 1, 1) < 0)
        throw nb::python_error();
#else
    if (_PyLong_AsByteArray((PyLongObject*)o, (unsigned char*)buf, limbs * 8, 1, 1) < 0)
        throw nb::python_error();
#endif
    if (neg) {  // two's complement -> magnitude
        uint64_t carry = 1;
        for (int i = 0; i < limbs; ++i) {
            buf[i] = ~buf[i] + carry;
            carry = carry && buf[i] == 0;
        }
    }
    len = limbs;
    while (len > 0 && buf[len - 1] == 0) --len;
    if (len > cap) return false;
    for (int i = 0; i < len; ++i) out[i] = buf[i];
    return true;
}

// |o| as little-endian limbs; false when it needs more than cap limbs.
// Inlined (with its parts) into the per-value conversions, where a call per
// int showed in the cost of converting Fractions.
static inline __attribute__((always_inline)) bool pylong_mag_limbs(PyObject* o, uint64_t* out, int cap,
                                                                   int& len, bool& neg) {
#ifdef ZEL_PYLONG_DIGITS
    Py_ssize_t nd;
    const digit* dg = pylong_digits(o, nd, neg);
    return digits_to_limbs(dg, nd, out, cap, len, neg);
#else
    return pylong_api_to_limbs(o, out, cap, len, neg);
#endif
}

// floor(num * 2^256 / den) for Python ints, den > 0: fixed-size limb
// arithmetic for operands below 2^512, GMP beyond.
static Fp fp_from_pyratio(PyObject* num, PyObject* den) {
    uint64_t n[NLIMB], d[NLIMB];
    int nl = 0, dl = 0;
    bool nneg = false, dneg = false;
    if (pylong_mag_limbs(num, n, NLIMB, nl, nneg) && pylong_mag_limbs(den, d, NLIMB, dl, dneg)) {
        if (dl == 0) {
            PyErr_SetString(PyExc_ZeroDivisionError, msg::DIVISION_BY_ZERO);
            throw nb::python_error();
        }
        bool neg = nneg != dneg;
        if (nl == 0) return fp_zero();
        // Fixed trip counts: the compiler unrolls them into a few stores,
        // where a copy of nl limbs became a string instruction whose start-up
        // cost showed per value.
        uint64_t u[NLIMB + FRAC_LIMBS];
        for (int i = 0; i < FRAC_LIMBS; ++i) u[i] = 0;
        for (int i = 0; i < NLIMB; ++i) u[FRAC_LIMBS + i] = i < nl ? n[i] : 0;
        int m = FRAC_LIMBS + nl;
        uint64_t q[NLIMB + FRAC_LIMBS + 1], r[NLIMB];
        uint64_t mag[NLIMB] = {0};
        bool inexact;
        if (m < dl) {
            inexact = true;  // quotient 0, remainder is the whole dividend
        } else {
            mag_divmod<NLIMB + FRAC_LIMBS>(u, m, d, dl, q, r);
            for (int i = NLIMB; i < m - dl + 1; ++i) {
                if (q[i]) return fp_max_mag(neg);
            }
            for (int i = 0; i < NLIMB && i < m - dl + 1; ++i) mag[i] = q[i];
            uint64_t any = 0;
            for (int i = 0; i < dl; ++i) any |= r[i];
            inexact = any != 0;
        }
        // Toward -inf: a negative quotient's magnitude rounds up.
        if (neg && inexact && mag_inc<NLIMB>(mag)) return fp_max_mag(true);
        return fp_make(mag, neg);
    }
    Mpz a, b;
    pylong_to_mpz(a, num);
    pylong_to_mpz(b, den);
    if (mpz_sgn(b) == 0) {
        PyErr_SetString(PyExc_ZeroDivisionError, msg::DIVISION_BY_ZERO);
        throw nb::python_error();
    }
    if (mpz_sgn(b) < 0) {
        mpz_neg(a, a);
        mpz_neg(b, b);
    }
    return fp_from_ratio(a, b);
}

Fp fraction_like_to_fp(nb::handle q) {
    // Exact Fractions keep their parts in plain slots; the public names are
    // properties (much slower to call).
    ConvState& st = cs();
    if (Py_TYPE(q.ptr()) == (PyTypeObject*)py_refs().fraction.ptr() && st.num_off > 0 && st.den_off > 0) {
        PyObject* num = *(PyObject**)((char*)q.ptr() + st.num_off);
        PyObject* den = *(PyObject**)((char*)q.ptr() + st.den_off);
        if (num && den && PyLong_Check(num) && PyLong_Check(den)) return fp_from_pyratio(num, den);
    }
    if (Py_TYPE(q.ptr()) == (PyTypeObject*)py_refs().fraction.ptr()) {
        static PyObject* k_num = PyUnicode_InternFromString("_numerator");
        static PyObject* k_den = PyUnicode_InternFromString("_denominator");
        nb::object num = nb::steal(PyObject_GetAttr(q.ptr(), k_num));
        nb::object den = nb::steal(PyObject_GetAttr(q.ptr(), k_den));
        if (num.is_valid() && den.is_valid() && PyLong_Check(num.ptr()) && PyLong_Check(den.ptr()))
            return fp_from_pyratio(num.ptr(), den.ptr());
        drop_error();
    }
    nb::object num = q.attr("numerator"), den = q.attr("denominator");
    if (!PyLong_Check(num.ptr()) || !PyLong_Check(den.ptr())) {
        num = to_pyint(num);
        den = to_pyint(den);
    }
    return fp_from_pyratio(num.ptr(), den.ptr());
}

static Fp ratio_tuple_to_fp(nb::handle tup) {
    return fp_from_pyratio(PyTuple_GET_ITEM(tup.ptr(), 0), PyTuple_GET_ITEM(tup.ptr(), 1));
}

// Decimal exponents past these put |x| at or above 10^78 > 2^256 (saturates)
// or below 10^-78 < 2^-256 (floors to 0, or to -2^-256 when negative): decided
// at once, without expanding the digits.
constexpr long long DEC_ADJ_MAX = 77, DEC_ADJ_MIN = -79;

// The record of a finite Decimal whose exponent is far outside the format;
// false when the value needs the exact path.
long long decimal_adjusted(nb::handle dec) {
    int overflow = 0;
    nb::object adj = dec.attr("adjusted")();
    long long e = PyLong_AsLongLongAndOverflow(adj.ptr(), &overflow);
    if (e == -1 && PyErr_Occurred()) throw nb::python_error();
    return overflow > 0 ? LLONG_MAX : overflow < 0 ? LLONG_MIN : e;
}

static bool decimal_far_out(nb::handle dec, Fp& r) {
    const long long e = decimal_adjusted(dec);
    if (e <= DEC_ADJ_MAX && e >= DEC_ADJ_MIN + 1) return false;
    if (nb::cast<bool>(dec.attr("is_zero")())) {
        r = fp_zero();
        return true;
    }
    bool neg = nb::cast<bool>(dec.attr("is_signed")());
    if (e > DEC_ADJ_MAX) {
        r = fp_max_mag(neg);
        return true;
    }
    uint64_t mag[NLIMB] = {neg ? 1u : 0u};
    r = neg ? fp_make(mag, true) : fp_zero();
    return true;
}

[[noreturn]] static void bad_literal(nb::handle text) {
    nb::object rep = nb::steal(PyObject_Repr(text.ptr()));
    std::string t = rep.is_valid() ? nb::cast<std::string>(rep) : std::string("?");
    drop_error();
    if (t.size() > 120) t = t.substr(0, 100) + "...' (" + std::to_string(nb::len(text)) + " characters)";
    PyErr_SetString(cs().bad_literal.ptr(), ("could not convert string to a number: " + t).c_str());
    throw nb::python_error();
}

// A decimal literal whose exponent is too large for Decimal itself
// ("1e99999999999999999999"): its sign and whether it is zero, too large or
// too small decide the record.  False when the text is not such a literal.
static bool huge_exponent_literal(const std::string& t, Fp& r) {
    size_t i = 0, n = t.size();
    auto skip_ws = [&] {
        while (i < n && (t[i] == ' ' || (t[i] >= '\t' && t[i] <= '\r'))) ++i;
    };
    skip_ws();
    bool neg = false;
    if (i < n && (t[i] == '+' || t[i] == '-')) neg = t[i++] == '-';
    bool digits = false, nonzero = false, dot = false;
    for (; i < n; ++i) {
        char c = t[i];
        if (c >= '0' && c <= '9') {
            digits = true;
            nonzero |= c != '0';
        } else if (c == '.' && !dot) {
            dot = true;
        } else if (c != '_') {
            break;
        }
    }
    if (!digits || i >= n || (t[i] != 'e' && t[i] != 'E')) return false;
    ++i;
    bool eneg = false;
    if (i < n && (t[i] == '+' || t[i] == '-')) eneg = t[i++] == '-';
    size_t e0 = i, edigits = 0;
    for (; i < n && ((t[i] >= '0' && t[i] <= '9') || t[i] == '_'); ++i) {
        if (t[i] != '_' && (edigits > 0 || t[i] != '0')) ++edigits;
    }
    if (i == e0) return false;
    skip_ws();
    // Decimal refuses exponents of 19 digits and more, all far outside.
    if (i != n || edigits < 19) return false;
    if (!nonzero) {
        r = fp_zero();
    } else if (!eneg) {
        r = fp_max_mag(neg);
    } else {
        uint64_t mag[NLIMB] = {neg ? 1u : 0u};
        r = neg ? fp_make(mag, true) : fp_zero();
    }
    return true;
}

static Fp string_to_fp(nb::handle val) {
    nb::object dec = nb::steal(PyObject_CallOneArg(py_refs().decimal.ptr(), val.ptr()));
    if (!dec.is_valid()) {
        if (!PyErr_ExceptionMatches(py_refs().invalid_operation.ptr())) throw nb::python_error();
        PyErr_Clear();
        Fp r;
        Py_ssize_t len = 0;
        const char* u = PyUnicode_AsUTF8AndSize(val.ptr(), &len);
        if (!u) {
            PyErr_Clear();
            bad_literal(val);
        }
        if (huge_exponent_literal(std::string(u, (size_t)len), r)) return r;
        bad_literal(val);
    }
    Fp r;
    if (decimal_far_out(dec, r)) return r;
    nb::object q = dec.attr("as_integer_ratio")();
    return ratio_tuple_to_fp(q);
}

static Fp decimal_to_fp(nb::handle val) {
    if (nb::cast<bool>(val.attr("is_nan")()))
        throw nb::value_error("invalid literal for int() with base 10: ''");
    if (nb::cast<bool>(val.attr("is_infinite")()))
        throw nb::type_error("'>=' not supported between instances of 'str' and 'int'");
    Fp far;
    if (decimal_far_out(val, far)) return far;
    nb::object r = val.attr("as_integer_ratio")();
    return ratio_tuple_to_fp(r);
}

Fp value_to_fp(nb::handle val) {
    PyObject* o = val.ptr();
    if (PyLong_Check(o)) return fp_from_pylong(val);
    if (PyFloat_Check(o)) {
        double d = PyFloat_AsDouble(o);
        if (std::isnan(d)) throw nb::value_error("cannot convert NaN to integer ratio");
        if (std::isinf(d)) {
            PyErr_SetString(PyExc_OverflowError, "cannot convert Infinity to integer ratio");
            throw nb::python_error();
        }
        if (d == 0.0) return fp_zero();
        Mpz n, dd;
        limit_denominator_double(d, n, dd);
        return fp_from_ratio(n, dd);
    }
    if (Py_TYPE(o) == (PyTypeObject*)py_refs().fraction.ptr()) return fraction_like_to_fp(val);
    if (py_isinstance(o, py_refs().decimal.ptr())) return decimal_to_fp(val);
    if (PyUnicode_Check(o)) return string_to_fp(val);
    if (py_isinstance(o, py_refs().fraction.ptr())) return fraction_like_to_fp(val);
    nb::object q = py_refs().fraction(val);
    return fraction_like_to_fp(q);
}

Fp bulk_element_to_fp(nb::handle v) {
    PyObject* o = v.ptr();
    if (PyFloat_CheckExact(o)) return fp_from_double(PyFloat_AS_DOUBLE(o));
    if (PyLong_Check(o)) return fp_from_pylong(v);
    if (PyFloat_Check(o) || py_isinstance(o, py_refs().np_floating.ptr())) {
        double d = PyFloat_AsDouble(o);
        if (d == -1.0 && PyErr_Occurred()) throw nb::python_error();
        return fp_from_double(d);
    }
    if (py_isinstance(o, py_refs().np_integer.ptr())) {
        nb::object i = nb::steal(PyNumber_Index(o));
        if (!i.is_valid()) throw nb::python_error();
        return fp_from_pylong(i);
    }
    if (PyUnicode_Check(o) || py_isinstance(o, py_refs().fraction.ptr()) ||
        py_isinstance(o, py_refs().decimal.ptr()))
        return value_to_fp(v);
    // Anything else goes through a double, as an array conversion would.
    double d = PyFloat_AsDouble(o);
    if (d == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return fp_from_double(d);
}

nb::object mag_to_pylong(const Fp& a) {
    nb::object r =
        nb::steal(_PyLong_FromByteArray(reinterpret_cast<const unsigned char*>(a.limb), sizeof a.limb, 1, 0));
    if (!r.is_valid()) throw nb::python_error();
    return r;
}

nb::object fp_to_fraction(const Fp& a) {
    ConvState& s = cs();
    if (fp_is_zero(a)) return py_refs().fraction(0);
    // lowest terms: the denominator is a power of two
    int tz = 0;
    for (int i = 0; i < NLIMB; ++i) {
        if (a.limb[i]) {
            tz = 64 * i + ctz64(a.limb[i]);
            break;
        }
    }
    if (tz > 256) tz = 256;
    uint64_t m[NLIMB];
    mag_shr<NLIMB>(m, a.limb, tz);
    Fp t = a;
    for (int i = 0; i < NLIMB; ++i) t.limb[i] = m[i];
    nb::object num = mag_to_pylong(t);
    if (a.sign < 0) num = nb::steal(PyNumber_Negative(num.ptr()));
    return fraction_from_coprime(num, s.pow2[256 - tz]);
}

nb::object fraction_from_coprime(nb::handle num, nb::handle den) {
    ConvState& s = cs();
    // num and den are coprime already: fill the two slots as Fraction.__new__
    // would, without its gcd (the bulk of the cost of a read-back).
    if (s.num_off > 0 && s.den_off > 0) {
        PyTypeObject* tp = (PyTypeObject*)py_refs().fraction.ptr();
        PyObject* f = tp->tp_alloc(tp, 0);
        if (!f) throw nb::python_error();
        *(PyObject**)((char*)f + s.num_off) = nb::borrow(num).release().ptr();
        *(PyObject**)((char*)f + s.den_off) = nb::borrow(den).release().ptr();
        return nb::steal(f);
    }
    if (s.from_coprime.is_valid()) return s.from_coprime(num, den);
    return py_refs().fraction(num, den);
}

Fp fp_from_record_like(nb::handle arr) {
    if (py_isinstance(arr.ptr(), py_refs().np_void.ptr())) {
        Py_buffer view;
        if (PyObject_GetBuffer(arr.ptr(), &view, PyBUF_SIMPLE) == 0) {
            bool ok = view.len == (Py_ssize_t)sizeof(Fp);
            Fp r;
            if (ok) std::memcpy(&r, view.buf, sizeof r);
            PyBuffer_Release(&view);
            if (ok) return r;
        } else {
            PyErr_Clear();
        }
    }
    Fp r;
    r.pad = 0;
    nb::object sg = arr[nb::str("sign")];
    long long sv = PyLong_AsLongLong(to_pyint(sg).ptr());
    if (sv == -1 && PyErr_Occurred()) throw nb::python_error();
    r.sign = sv < 0 ? -1 : 1;
    for (int i = 0; i < NLIMB; ++i) {
        std::string key = "limb" + std::to_string(i);
        nb::object li = to_pyint(arr[nb::str(key.c_str())]);
        unsigned long long v = PyLong_AsUnsignedLongLongMask(li.ptr());
        if (v == (unsigned long long)-1 && PyErr_Occurred()) throw nb::python_error();
        r.limb[i] = v;
    }
    return r;
}

nb::object host_record_array(const Fp* src, size_t n) {
    Device& d = device();
    nb::object arr = py_refs().np_empty(n, d.fp_dtype);
    if (n) {
        Py_buffer view;
        if (PyObject_GetBuffer(arr.ptr(), &view, PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE) != 0)
            throw nb::python_error();
        std::memcpy(view.buf, src, n * sizeof(Fp));
        PyBuffer_Release(&view);
    }
    return arr;
}

}  // namespace zel
