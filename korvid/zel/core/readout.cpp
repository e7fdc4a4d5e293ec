// Exact read-outs of a Tensor and its protocols: the values as Fractions and
// as decimal text (to_fractions, to_strings, format()), NumPy's array
// protocol, pickling and copies.
//
// Every record has a finite decimal expansion (M / 2^256 = M 5^256 / 10^256),
// so the text is built from the exact digits and rounded on them: no step
// goes through a float or a Decimal context.
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "convert.hpp"
#include "errors.hpp"
#include "tensor.hpp"
#include "../registry.hpp"

namespace zel {

namespace {

constexpr uint64_t P19 = 10000000000000000000ull;  // 10^19: decimal digits per 64-bit word
constexpr int FRAC_DIGITS = FRAC_LIMBS * 64;       // 2^-256 needs exactly 256 decimal places
constexpr int PICKLE_VERSION = 1;
constexpr long long MAX_DIGITS = 100000;  // places after the point a caller may ask for

// "00" .. "99": two digits per division by 100.
const char* digit_pairs() {
    static const struct Pairs {
        char c[200];
        Pairs() {
            for (int i = 0; i < 100; ++i)
                c[2 * i] = (char)('0' + i / 10), c[2 * i + 1] = (char)('0' + i % 10);
        }
    } pairs;
    return pairs.c;
}

// v < 10^9 as exactly 9 digits.
void put9(char* p, uint32_t v) {
    const char* pairs = digit_pairs();
    for (int i = 7; i >= 1; i -= 2) {
        uint32_t q = v / 100;
        std::memcpy(p + i, pairs + 2 * (v - q * 100), 2);
        v = q;
    }
    p[0] = (char)('0' + v);
}

// w < 10^19 as exactly 19 digits: 1 + 9 + 9, in 32-bit pieces.
void put19(std::string& s, uint64_t w) {
    char buf[19];
    uint64_t top = w / 1000000000000000000ull;
    uint64_t rest = w - top * 1000000000000000000ull;
    uint32_t hi = (uint32_t)(rest / 1000000000u);
    buf[0] = (char)('0' + top);
    put9(buf + 1, hi);
    put9(buf + 10, (uint32_t)(rest - (uint64_t)hi * 1000000000u));
    s.append(buf, 19);
}

// The exact digits of |a|: the integer part without leading zeros ("0" when
// it is zero) followed by exactly 256 fraction digits.  Sets int_len.
void exact_digits(const Fp& a, std::string& d, int& int_len) {
    d.clear();
    d.reserve(96 + FRAC_DIGITS + 19);
    uint64_t ip[4] = {a.limb[4], a.limb[5], a.limb[6], a.limb[7]};
    uint64_t chunks[5];  // base 10^19, least significant first (2^256 < 10^95)
    int nc = 0;
    // 10^19 has its top bit set, so each step is one normalised 128/64 division.
    while (ip[0] | ip[1] | ip[2] | ip[3]) {
        uint64_t r = 0;
        for (int i = 3; i >= 0; --i) ip[i] = divlu(r, ip[i], P19, r);
        chunks[nc++] = r;
    }
    if (nc == 0) {
        d += '0';
    } else {
        d += std::to_string(chunks[nc - 1]);
        for (int i = nc - 2; i >= 0; --i) put19(d, chunks[i]);
    }
    int_len = (int)d.size();
    // Fraction: each product by 10^19 pushes the next 19 digits out of the top.
    uint64_t f[4] = {a.limb[0], a.limb[1], a.limb[2], a.limb[3]};
    int written = 0;
    while (written < FRAC_DIGITS && (f[0] | f[1] | f[2] | f[3])) {
        uint64_t carry = 0;
        for (int i = 0; i < 4; ++i) {
            unsigned __int128 p = (unsigned __int128)f[i] * P19 + carry;
            f[i] = (uint64_t)p;
            carry = (uint64_t)(p >> 64);
        }
        put19(d, carry);
        written += 19;
    }
    d.resize((size_t)int_len + FRAC_DIGITS, '0');  // drops the zeros past 256 places
}

// Keeps the first k digits of the exact digit string d, rounded half to even
// on the exact tail (zeros appended when k exceeds it).  Returns true when the
// rounding carried out of the front; d then holds k + 1 digits.
bool round_digits(std::string& d, size_t k) {
    if (k >= d.size()) {
        d.append(k - d.size(), '0');
        return false;
    }
    char c = d[k];
    bool up;
    if (c != '5')
        up = c > '5';
    else
        up = d.find_first_not_of('0', k + 1) != std::string::npos || (k > 0 && ((d[k - 1] - '0') & 1));
    d.resize(k);
    if (!up) return false;
    for (size_t i = k; i-- > 0;) {
        if (d[i] == '9') {
            d[i] = '0';
        } else {
            ++d[i];
            return false;
        }
    }
    d.insert(d.begin(), '1');
    return true;
}

// Fixed notation with prec places (no sign).
std::string fixed_body(const std::string& digits, int int_len, long long prec) {
    std::string d = digits;
    size_t il = (size_t)int_len;
    if (round_digits(d, il + (size_t)prec)) ++il;
    std::string out = d.substr(0, il);
    if (prec > 0) {
        out += '.';
        out.append(d, il, std::string::npos);
    }
    return out;
}

std::string exponent_text(long long x, bool upper) {
    std::string s(1, upper ? 'E' : 'e');
    s += x < 0 ? '-' : '+';
    unsigned long long ax = (unsigned long long)(x < 0 ? -x : x);
    if (ax < 10) s += '0';
    return s + std::to_string(ax);
}

// Scientific notation with prec digits after the point (no sign).
std::string sci_body(const std::string& digits, int int_len, long long prec, bool upper) {
    size_t first = digits.find_first_not_of('0');
    std::string mant;
    long long x = 0;
    if (first == std::string::npos) {
        mant = "0";
        if (prec > 0) mant += '.' + std::string((size_t)prec, '0');
    } else {
        std::string s = digits.substr(first);
        x = (long long)int_len - 1 - (long long)first;
        if (round_digits(s, (size_t)prec + 1)) {
            ++x;
            s.pop_back();
        }
        mant = s.substr(0, 1);
        if (prec > 0) mant += '.' + s.substr(1);
    }
    return mant + exponent_text(x, upper);
}

// General notation as Python's float 'g': prec significant digits, fixed
// notation for exponents -4 <= x < prec, trailing zeros removed.
std::string general_body(const std::string& digits, int int_len, long long prec, bool upper) {
    long long p = prec == 0 ? 1 : prec;
    size_t first = digits.find_first_not_of('0');
    if (first == std::string::npos) return "0";
    std::string s = digits.substr(first);
    long long x = (long long)int_len - 1 - (long long)first;
    if (round_digits(s, (size_t)p)) ++x;
    std::string body =
        (x >= -4 && x < p) ? fixed_body(digits, int_len, p - 1 - x) : sci_body(digits, int_len, p - 1, upper);
    size_t e = body.find_first_of("eE");
    std::string mant = body.substr(0, e == std::string::npos ? body.size() : e);
    std::string rest = e == std::string::npos ? std::string() : body.substr(e);
    if (mant.find('.') != std::string::npos) {
        mant.erase(mant.find_last_not_of('0') + 1);
        if (mant.back() == '.') mant.pop_back();
    }
    return mant + rest;
}

// The exact expansion: integer digits, then the fraction without trailing
// zeros (no point for an integer).
std::string exact_text(const Fp& a) {
    std::string d;
    int il;
    exact_digits(a, d, il);
    size_t end = d.find_last_not_of('0');
    std::string out = (fp_neg_sign(a) && !fp_is_zero(a)) ? "-" : "";
    out.append(d, 0, (size_t)il);
    if (end != std::string::npos && end >= (size_t)il) {
        out += '.';
        out.append(d, (size_t)il, end + 1 - (size_t)il);
    }
    return out;
}

// A format specifier of Python's float mini-language, in the subset that fits
// exact values: [[fill]align][sign][z][0][width][.precision]type with type
// one of f F e E g G.
struct FormatOptions {
    std::string fill = " ";  // one character (UTF-8 bytes kept as they are)
    char align = 0;
    char sign = '-';
    bool z = false;
    long long width = 0;
    long long prec = 6;
    char type = 'f';
};

bool utf8_char_len(const std::string& s, size_t i, size_t& len) {
    unsigned char c = (unsigned char)s[i];
    len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    return len > 0 && i + len <= s.size();
}

[[noreturn]] void bad_spec(const std::string& fmt) {
    throw nb::value_error(("Invalid format specifier '" + fmt + "' for object of type 'Tensor'").c_str());
}

FormatOptions parse_format_options(const std::string& fmt) {
    FormatOptions sp;
    size_t i = 0, n = fmt.size();
    auto is_align = [](char c) { return c == '<' || c == '>' || c == '^' || c == '='; };
    size_t cl = 0;
    if (n > 0 && utf8_char_len(fmt, 0, cl) && cl < n && is_align(fmt[cl])) {
        sp.fill = fmt.substr(0, cl);
        sp.align = fmt[cl];
        i = cl + 1;
    } else if (n > 0 && is_align(fmt[0])) {
        sp.align = fmt[0];
        i = 1;
    }
    if (i < n && (fmt[i] == '+' || fmt[i] == '-' || fmt[i] == ' ')) sp.sign = fmt[i++];
    if (i < n && fmt[i] == 'z') {
        sp.z = true;
        ++i;
    }
    if (i < n && fmt[i] == '0') {
        if (!sp.align) {
            sp.fill = "0";
            sp.align = '=';
        }
        ++i;
    }
    auto number = [&](long long& out) {
        size_t start = i;
        long long v = 0;
        while (i < n && fmt[i] >= '0' && fmt[i] <= '9') {
            v = v * 10 + (fmt[i] - '0');
            if (v > MAX_DIGITS) bad_spec(fmt);
            ++i;
        }
        out = v;
        return i > start;
    };
    number(sp.width);
    if (i < n && fmt[i] == '.') {
        ++i;
        if (!number(sp.prec)) bad_spec(fmt);
    }
    if (i + 1 != n) bad_spec(fmt);
    char t = fmt[i];
    if (t != 'f' && t != 'F' && t != 'e' && t != 'E' && t != 'g' && t != 'G') bad_spec(fmt);
    sp.type = t;
    return sp;
}

std::string format_one(const Fp& a, const FormatOptions& sp) {
    std::string d;
    int il;
    exact_digits(a, d, il);
    std::string body;
    switch (sp.type) {
        case 'f':
        case 'F': body = fixed_body(d, il, sp.prec); break;
        case 'e':
        case 'E': body = sci_body(d, il, sp.prec, sp.type == 'E'); break;
        default: body = general_body(d, il, sp.prec, sp.type == 'G'); break;
    }
    bool neg = fp_neg_sign(a) && !fp_is_zero(a);
    // As with floats: a negative value that rounds to zero keeps its sign
    // unless 'z' asks for a plain zero.
    if (neg && sp.z && body.find_first_not_of("0.") == std::string::npos) neg = false;
    std::string sign = neg ? "-" : sp.sign == '+' ? "+" : sp.sign == ' ' ? " " : "";
    size_t len = sign.size() + body.size();
    if ((long long)len >= sp.width) return sign + body;
    size_t padn = (size_t)sp.width - len;
    std::string pad;
    for (size_t k = 0; k < padn; ++k) pad += sp.fill;
    switch (sp.align) {
        case '<': return sign + body + pad;
        case '^': {
            std::string left, right;
            for (size_t k = 0; k < padn / 2; ++k) left += sp.fill;
            for (size_t k = 0; k < padn - padn / 2; ++k) right += sp.fill;
            return left + sign + body + right;
        }
        case '=': return sign + pad + body;
        default: return pad + sign + body;
    }
}

// Host records of a tensor whose shape matches its record count.
struct Readout {
    ShapedView sv;
    HostRecords h;
};

Readout readout(nb::handle t) {
    Readout r{shaped_view(t), {}};
    r.h = host_records(r.sv.v.a);
    return r;
}

// Text of every record, in parallel once there are enough of them.
template <class F>
std::vector<std::string> texts(const HostRecords& h, F&& one) {
    std::vector<std::string> out(h.n);
    const Fp* p = h.ptr;
    long long n = (long long)h.n;
    bool failed = false;
    {
        nb::gil_scoped_release release;
        // An exception must not leave the parallel region: note it, raise after.
#pragma omp parallel for schedule(dynamic, 64) if (n >= 512)
        for (long long i = 0; i < n; ++i) {
            try {
                out[(size_t)i] = one(p[i]);
            } catch (...) {
#pragma omp atomic write
                failed = true;
            }
        }
    }
    if (failed) throw std::bad_alloc();
    return out;
}

// Nested lists following the shape (a zero-dimensional tensor gives the one
// element itself), as to_list() nests its floats.
nb::object nest(const std::vector<nb::object>& items, const std::vector<int64_t>& s, size_t dim,
                size_t& idx) {
    if (dim == s.size()) return items[idx++];
    nb::object l = nb::steal(PyList_New((Py_ssize_t)s[dim]));
    if (!l.is_valid()) throw nb::python_error();
    for (int64_t i = 0; i < s[dim]; ++i)
        PyList_SET_ITEM(l.ptr(), i, nest(items, s, dim + 1, idx).release().ptr());
    return l;
}

nb::object nest_all(const std::vector<nb::object>& items, const std::vector<int64_t>& s) {
    size_t idx = 0;
    return nest(items, s, 0, idx);
}

void nest_text(std::string& out, const std::vector<std::string>& items, const std::vector<int64_t>& s,
               size_t dim, size_t& idx) {
    if (dim == s.size()) {
        out += items[idx++];
        return;
    }
    out += '[';
    for (int64_t i = 0; i < s[dim]; ++i) {
        if (i) out += ", ";
        nest_text(out, items, s, dim + 1, idx);
    }
    out += ']';
}

std::vector<nb::object> to_pystrs(const std::vector<std::string>& v) {
    std::vector<nb::object> out;
    out.reserve(v.size());
    for (const std::string& s : v) {
        // to_strings' text is ASCII digits, sign and point.
        PyObject* o = PyUnicode_New((Py_ssize_t)s.size(), 127);
        if (o) std::memcpy(PyUnicode_DATA(o), s.data(), s.size());
        if (!o) throw nb::python_error();
        out.push_back(nb::steal(o));
    }
    return out;
}

nb::object to_fractions(nb::handle t) {
    Readout r = readout(t);
    std::vector<nb::object> items;
    items.reserve(r.h.n);
    for (size_t i = 0; i < r.h.n; ++i) items.push_back(fp_to_fraction(r.h.ptr[i]));
    return nest_all(items, r.sv.s);
}

nb::object to_strings(nb::handle t, nb::handle digits) {
    long long places = -1;
    if (!digits.is_none()) {
        if (!is_exact_int(digits)) raise_arg_type("digits", "int", digits);
        int overflow = 0;
        places = PyLong_AsLongLongAndOverflow(digits.ptr(), &overflow);
        if (overflow || places < 0 || places > MAX_DIGITS)
            throw nb::value_error(("to_strings: digits must be None or an int from 0 to " +
                                   std::to_string(MAX_DIGITS) + ", got " +
                                   nb::cast<std::string>(nb::repr(digits)))
                                      .c_str());
    }
    Readout r = readout(t);
    std::vector<std::string> v;
    if (places < 0) {
        v = texts(r.h, [](const Fp& a) { return exact_text(a); });
    } else {
        FormatOptions sp;
        sp.prec = places;
        v = texts(r.h, [&sp](const Fp& a) { return format_one(a, sp); });
    }
    return nest_all(to_pystrs(v), r.sv.s);
}

std::string tensor_format(nb::handle self, const std::string& fmt) {
    if (fmt.empty()) return nb::cast<std::string>(nb::str(self));
    FormatOptions sp = parse_format_options(fmt);
    Readout r = readout(self);
    std::vector<std::string> v = texts(r.h, [&sp](const Fp& a) { return format_one(a, sp); });
    std::string out;
    size_t idx = 0;
    nest_text(out, v, r.sv.s, 0, idx);
    return out;
}

// NumPy's array protocol: doubles correctly rounded (the caller's explicit
// choice, as with to_list), or the exact Fractions for dtype=object.
nb::object tensor_array(nb::handle self, nb::handle dtype, nb::handle copy) {
    if (copy.ptr() == Py_False)
        throw nb::value_error(
            "Unable to avoid copy while creating an array from a Tensor: its records are always converted");
    Device& d = device();
    Readout r = readout(self);
    nb::object shape = shape_tuple(r.sv.s);
    nb::object dt = dtype.is_none() ? d.f64 : py_refs().numpy.attr("dtype")(dtype);
    size_t n = r.h.n;
    if (dt.equal(py_refs().numpy.attr("dtype")("O"))) {
        nb::object arr = py_refs().np_empty(n, dt);
        nb::list fr;
        for (size_t i = 0; i < n; ++i) fr.append(fp_to_fraction(r.h.ptr[i]));
        if (n) arr[nb::slice(nb::none(), nb::none(), nb::none())] = fr;
        return arr.attr("reshape")(shape);
    }
    std::vector<double> v(n);
    {
        const Fp* p = r.h.ptr;
        nb::gil_scoped_release release;
#pragma omp parallel for schedule(static) if (n >= 4096)
        for (long long i = 0; i < (long long)n; ++i) v[(size_t)i] = fp_to_double(p[i]);
    }
    nb::object arr = py_refs().np_empty(n, d.f64);
    Py_buffer view;
    if (PyObject_GetBuffer(arr.ptr(), &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) != 0)
        throw nb::python_error();
    if (n) std::memcpy(view.buf, v.data(), n * sizeof(double));
    PyBuffer_Release(&view);
    arr = arr.attr("reshape")(shape);
    if (!dt.equal(d.f64)) arr = arr.attr("astype")(dt);
    return arr;
}

// Pickled form: copyreg.__newobj__(cls) and the state (version, shape, raw
// records as bytes[, instance dict of a subclass]).  The records are the
// native little-endian layout of FIXEDPOINT_DTYPE; nothing of the backend's
// array type is stored, so either backend loads what the other saved.
nb::object tensor_reduce(nb::handle self) {
    Readout r = readout(self);
    PyObject* b =
        PyBytes_FromStringAndSize(reinterpret_cast<const char*>(r.h.ptr), (Py_ssize_t)(r.h.n * sizeof(Fp)));
    if (!b) throw nb::python_error();
    nb::object records = nb::steal(b);
    nb::object dict = nb::getattr(self, "__dict__", nb::none());
    nb::object state = (!dict.is_none() && nb::len(dict) > 0)
                           ? nb::make_tuple(PICKLE_VERSION, shape_tuple(r.sv.s), records, dict)
                           : nb::make_tuple(PICKLE_VERSION, shape_tuple(r.sv.s), records);
    nb::object newobj = nb::module_::import_("copyreg").attr("__newobj__");
    nb::handle cls = (PyObject*)Py_TYPE(self.ptr());
    return nb::make_tuple(newobj, nb::make_tuple(cls), state);
}

// Runs on the fresh, not yet constructed instance that copyreg.__newobj__
// made; every check comes before the placement construction.
void tensor_setstate(Tensor* self, nb::handle state) {
    if (!PyTuple_Check(state.ptr()) || PyTuple_GET_SIZE(state.ptr()) < 1)
        throw nb::type_error("Tensor pickle: the state must be a tuple starting with the format version");
    nb::handle ver = PyTuple_GET_ITEM(state.ptr(), 0);
    if (!is_exact_int(ver)) throw nb::type_error("Tensor pickle: the format version must be an int");
    if (!ver.equal(nb::int_(PICKLE_VERSION)))
        throw nb::value_error(("Tensor pickle format version " + nb::cast<std::string>(nb::repr(ver)) +
                               " is not supported (this build reads version " +
                               std::to_string(PICKLE_VERSION) + ")")
                                  .c_str());
    Py_ssize_t items = PyTuple_GET_SIZE(state.ptr());
    if (items != 3 && items != 4)
        throw nb::value_error("Tensor pickle: a version 1 state holds (version, shape, records[, dict])");
    nb::handle shape = PyTuple_GET_ITEM(state.ptr(), 1), data = PyTuple_GET_ITEM(state.ptr(), 2);
    std::vector<int64_t> s = shape_vec(shape);
    int64_t n = shape_numel(s);
    if (!PyBytes_Check(data.ptr())) throw nb::type_error("Tensor pickle: the records must be bytes");
    Py_ssize_t len = PyBytes_GET_SIZE(data.ptr());
    if ((__int128)len != (__int128)n * (__int128)sizeof(Fp))
        throw nb::value_error(("Tensor pickle: " + std::to_string(len) + " bytes of records, expected " +
                               std::to_string(n) + " records of " + std::to_string(sizeof(Fp)) +
                               " bytes for shape " + shape_str(shape))
                                  .c_str());
    nb::handle dict = items == 4 ? nb::handle(PyTuple_GET_ITEM(state.ptr(), 3)) : nb::handle();
    if (dict.is_valid() && !PyDict_Check(dict.ptr()))
        throw nb::type_error("Tensor pickle: the instance dict must be a dict");
    std::vector<Fp> recs((size_t)n);
    if (n) std::memcpy(recs.data(), PyBytes_AS_STRING(data.ptr()), (size_t)len);
    DevArray out = records_from_host(recs.data(), recs.size());
    new (self) Tensor{out.obj, shape_tuple(s)};
    if (dict.is_valid() && PyDict_Size(dict.ptr()) > 0) {
        nb::handle inst = nb::find(self);
        nb::object d = nb::getattr(inst, "__dict__", nb::none());
        if (d.is_none()) throw nb::type_error("Tensor pickle: this class keeps no instance dict");
        d.attr("update")(dict);
    }
}

// A tensor of class cls (Tensor or a subclass) over the device array out.
nb::object build(nb::handle cls, const DevArray& out, const std::vector<int64_t>& s) {
    if (cls.ptr() == zel_module().attr("Tensor").ptr()) return nb::cast(Tensor{out.obj, shape_tuple(s)});
    nb::object obj = cls(nb::arg("_raw") = out.obj);
    nb::setattr(obj, "_shape", shape_tuple(s));
    return obj;
}

nb::object tensor_copy(nb::handle self) {
    ShapedView sv = shaped_view(self);
    nb::object out = build((PyObject*)Py_TYPE(self.ptr()), copy_records(sv.v.a), sv.s);
    nb::object dict = nb::getattr(self, "__dict__", nb::none());
    if (!dict.is_none() && nb::len(dict) > 0) out.attr("__dict__").attr("update")(dict);
    return out;
}

nb::object tensor_deepcopy(nb::handle self, nb::handle memo) {
    ShapedView sv = shaped_view(self);
    nb::object out = build((PyObject*)Py_TYPE(self.ptr()), copy_records(sv.v.a), sv.s);
    nb::object dict = nb::getattr(self, "__dict__", nb::none());
    if (!dict.is_none() && nb::len(dict) > 0) {
        nb::object deep = nb::module_::import_("copy").attr("deepcopy");
        out.attr("__dict__").attr("update")(deep(dict, memo));
    }
    return out;
}

}  // namespace

void register_readout(nb::module_& m) {
    m.def("to_fractions", &to_fractions, nb::arg("t").none(),
          nb::sig("def to_fractions(t: Tensor) -> list | fractions.Fraction"),
          "The exact values as Fractions, nested like to_list() (a zero-dimensional tensor gives one "
          "Fraction).");
    m.def(
        "to_strings", &to_strings, nb::arg("t").none(), nb::arg("digits").none() = nb::none(),
        nb::sig("def to_strings(t: Tensor, digits: int | None = None) -> list | str"),
        "Decimal strings nested like to_list(): with digits=None the exact, finite expansion of each value\n"
        "(at most 256 digits after the point), otherwise correctly rounded (half to even) to `digits` "
        "places.");

    nb::handle cls = m.attr("Tensor");
    // sig: the Python signature, "def <name>(self, ...) -> ...", which also names the function.
    auto method = [&](const char* name, auto&& f, const char* sig, const char* doc, auto... extra) {
        nb::setattr(cls, name,
                    nb::cpp_function(f, nb::is_method(), nb::scope(cls), extra..., nb::sig(sig), doc));
    };
    method("__format__", &tensor_format, "def __format__(self, format_spec: str) -> str",
           "format(t, fmt): every element formatted exactly (f, e or g with a precision, rounded half to "
           "even),\n"
           "nested like to_list(); an empty fmt gives str(t).",
           nb::arg("format_spec"));
    method("__array__", &tensor_array,
           "def __array__(self, dtype: object = None, copy: bool | None = None) -> numpy.ndarray",
           "numpy.asarray(t): float64 values correctly rounded, in the tensor's shape; dtype=object gives "
           "the exact\n"
           "Fractions.",
           nb::arg("dtype").none() = nb::none(), nb::arg("copy").none() = nb::none());
    method("__reduce__", &tensor_reduce, "def __reduce__(self) -> tuple",
           "Pickle support: the raw records and the shape, in a versioned format.");
    method("__setstate__", &tensor_setstate, "def __setstate__(self, state: tuple) -> None",
           "Pickle support: rebuild from (version, shape, records).", nb::arg("state").none());
    method("__copy__", &tensor_copy, "def __copy__(self) -> Tensor", "A copy with its own device array.");
    method("__deepcopy__", &tensor_deepcopy, "def __deepcopy__(self, memo: dict) -> Tensor",
           "A copy with its own device array.", nb::arg("memo").none());
    // NumPy arrays and scalars defer to the reflected operators, and NumPy's
    // functions refuse a Tensor instead of building object arrays of them.
    cls.attr("__array_ufunc__") = nb::none();
}

}  // namespace zel
