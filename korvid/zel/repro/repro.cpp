// Deterministic random numbers and checksums.
//
// The generator is the Lehmer generator s <- 48271 s mod (2^31 - 1).  Its
// state lives in the module's namespace as _lcg_state, read at the start of
// every draw and written back at the end, so that Python code reading or
// assigning it sees a plain module attribute.
//
// Draws are converted without fractions: for 0 <= s < M = 2^31 - 1,
// s/M = sum over k >= 1 of s * 2^(-31k), whose terms occupy disjoint bits, so
// the binary expansion of s/M is the 31 bits of s repeated.  The record of
// s/M rounded toward -inf at 2^-256 is therefore the first 256 bits of that
// pattern, and a normal draw (T - 6M)/M with T the sum of twelve states is
// (q - 6) + r/M with T = qM + r.  These are the records the exact host
// conversion of the same Fractions gives.
//
// Large batches are drawn in parallel: the state k steps ahead is s * A^k
// mod M, so each chunk of draws starts from its own jumped-ahead state.
#include <cstring>
#include <string>
#include <vector>

#include "../core/errors.hpp"
#include "../core/tensor.hpp"
#include "../ops/ops.hpp"
#include "../registry.hpp"

namespace zel {

namespace {

constexpr uint64_t LCG_A = 48271;
constexpr uint64_t LCG_M = 0x7FFFFFFF;

// x mod M for x < 2^62 (2^31 = 1 mod M).
inline uint64_t mod_m(uint64_t x) {
    x = (x & LCG_M) + (x >> 31);
    x = (x & LCG_M) + (x >> 31);
    return x >= LCG_M ? x - LCG_M : x;
}

// One step: A * s < 2^47 needs one fold.
inline uint64_t lcg_step(uint64_t s) {
    uint64_t x = LCG_A * s;
    x = (x & LCG_M) + (x >> 31);
    return x >= LCG_M ? x - LCG_M : x;
}

// A^k mod M.
uint64_t lcg_jump(uint64_t k) {
    uint64_t r = 1, b = LCG_A;
    while (k) {
        if (k & 1) r = mod_m(r * b);
        b = mod_m(b * b);
        k >>= 1;
    }
    return r;
}

// floor(r * 2^256 / M) for 0 <= r < M, as four limbs (least significant first).
inline void frac_of(uint64_t r, uint64_t* f) {
    f[0] = f[1] = f[2] = f[3] = 0;
    // r * 2^(256 - 31k) for k = 1..8, then the truncated ninth term.
    for (int e = 225; e >= 8; e -= 31) {
        const int li = e >> 6, off = e & 63;
        f[li] |= r << off;
        if (off > 33 && li < 3) f[li + 1] |= r >> (64 - off);
    }
    f[0] |= r >> 23;
}

inline Fp uniform_record(uint64_t s) {
    Fp x = fp_zero();
    frac_of(s, x.limb);
    return x;
}

inline Fp normal_record(uint64_t total) {
    const uint64_t q = total / LCG_M, r = total % LCG_M;
    Fp x = fp_zero();
    frac_of(r, x.limb);
    if (q >= 6) {
        x.limb[FRAC_LIMBS] = q - 6;
        return x;
    }
    // Negative: the magnitude is (6 - q) - r/M rounded up at 2^-256.
    x.sign = -1;
    if (r == 0) {
        x.limb[FRAC_LIMBS] = 6 - q;
        return x;
    }
    uint64_t borrow = 0;
    for (int i = 0; i < FRAC_LIMBS; ++i) x.limb[i] = subb(0, x.limb[i], borrow);
    x.limb[FRAC_LIMBS] = 5 - q;
    return x;
}

nb::object fraction(uint64_t num_abs, bool neg, uint64_t den) {
    nb::object n = nb::int_((int64_t)num_abs);
    if (neg) n = nb::int_(-(int64_t)num_abs);
    return py_refs().fraction(n, nb::int_((int64_t)den));
}

// --- the state, as a module attribute

uint64_t read_state() {
    nb::object s = zel_module().attr("_lcg_state");
    if (!PyLong_Check(s.ptr()))
        throw nb::type_error(
            ("_lcg_state must be an int, got " + std::string(Py_TYPE(s.ptr())->tp_name)).c_str());
    // Any int steps as its remainder modulo M would.
    nb::object r = nb::steal(PyNumber_Remainder(s.ptr(), nb::int_((int64_t)LCG_M).ptr()));
    if (!r.is_valid()) throw nb::python_error();
    return (uint64_t)PyLong_AsLongLong(r.ptr());
}

void write_state(uint64_t s) { zel_module().attr("_lcg_state") = nb::int_((int64_t)s); }

nb::object manual_seed(nb::handle seed) {
    require_int(seed, "seed");
    nb::object r = nb::steal(PyNumber_Remainder(seed.ptr(), nb::int_((int64_t)LCG_M - 1).ptr()));
    if (!r.is_valid()) throw nb::python_error();
    write_state((uint64_t)PyLong_AsLongLong(r.ptr()) + 1);
    return nb::none();
}

nb::object lcg_next() {
    uint64_t s = lcg_step(read_state());
    write_state(s);
    return nb::int_((int64_t)s);
}

nb::object lcg_uniform() {
    uint64_t s = lcg_step(read_state());
    write_state(s);
    return fraction(s, false, LCG_M);
}

nb::object lcg_normal() {
    uint64_t s = read_state(), total = 0;
    for (int i = 0; i < 12; ++i) {
        s = lcg_step(s);
        total += s;
    }
    write_state(s);
    const uint64_t six = 6 * LCG_M;
    return total >= six ? fraction(total - six, false, LCG_M) : fraction(six - total, true, LCG_M);
}

// --- rand / randn

std::vector<int64_t> draw_shape(nb::args args, nb::kwargs kwargs, const char* fn) {
    if (nb::len(kwargs) > 0) {
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        PyDict_Next(kwargs.ptr(), &pos, &key, &value);
        throw nb::type_error((std::string(fn) + "() got an unexpected keyword argument '" +
                              nb::cast<std::string>(nb::str(key)) + "'")
                                 .c_str());
    }
    if (nb::len(args) == 1 && (PyTuple_Check(args[0].ptr()) || PyList_Check(args[0].ptr())))
        return shape_vec(args[0]);
    return shape_vec(args);
}

// Draw i is the record after (i + 1) * steps generator steps from s0.
template <bool Normal>
inline Fp draw_one(uint64_t& s) {
    if (!Normal) {
        s = lcg_step(s);
        return uniform_record(s);
    }
    uint64_t total = 0;
    for (int k = 0; k < 12; ++k) {
        s = lcg_step(s);
        total += s;
    }
    return normal_record(total);
}

// Records of draws [0, n) into dst; returns the state after them.  Chunks
// run in parallel; inside a chunk, STREAMS interleaved sub-ranges advance
// side by side so that their step chains overlap in the pipeline.
template <bool Normal>
uint64_t draw_into(Fp* dst, int64_t n, uint64_t s0) {
    constexpr uint64_t steps = Normal ? 12 : 1;
    constexpr int64_t CHUNK = 1 << 14;
    constexpr int STREAMS = 4;
    const int64_t chunks = (n + CHUNK - 1) / CHUNK;
    const uint64_t jump_quarter = lcg_jump((uint64_t)(CHUNK / STREAMS) * steps);
    auto run = [&](int64_t c) {
        const int64_t b = c * CHUNK, e = b + CHUNK < n ? b + CHUNK : n;
        uint64_t s = mod_m(s0 * lcg_jump((uint64_t)b * steps));
        if (e - b < CHUNK) {
            for (int64_t i = b; i < e; ++i) dst[i] = draw_one<Normal>(s);
            return;
        }
        constexpr int64_t Q = CHUNK / STREAMS;
        uint64_t st[STREAMS];
        st[0] = s;
        for (int j = 1; j < STREAMS; ++j) st[j] = mod_m(st[j - 1] * jump_quarter);
        for (int64_t i = 0; i < Q; ++i)
            for (int j = 0; j < STREAMS; ++j) dst[b + j * Q + i] = draw_one<Normal>(st[j]);
    };
    cpu_for(chunks, chunks > 1, run);
    return mod_m(s0 * lcg_jump((uint64_t)n * steps));
}

template <bool Normal>
nb::object draw(nb::args args, nb::kwargs kwargs) {
    std::vector<int64_t> shape = draw_shape(args, kwargs, Normal ? "randn" : "rand");
    const int64_t n = shape_numel(shape);
    checked_i32(n, "element count");  // as every creation function
    const uint64_t s0 = read_state();
    DevArray out;
    std::vector<Fp> staging;
    Fp* dst;
    if (!on_cuda()) {
        out = new_records((size_t)n);
        dst = out.rec();
    } else {
        staging.resize((size_t)n);
        dst = staging.data();
    }
    const uint64_t s1 = draw_into<Normal>(dst, n, s0);
    if (on_cuda()) out = records_from_host(staging.data(), (size_t)n);
    write_state(s1);
    if (shape.size() >= 2) return wrap(out, shape_tuple(shape));
    return wrap(out, nb::make_tuple(n));
}

// --- checksums

nb::object& sha256() {
    static nb::object* f = new nb::object(nb::module_::import_("hashlib").attr("sha256"));
    return *f;
}

// sign as int32, then limb0..limb7 as uint64, native byte order: 68 bytes a record.
constexpr size_t PACKED = 4 + 8 * NLIMB;
// Records packed and hashed per update: the packed chunk stays in cache
// while the hash reads it, and no buffer of the whole input is allocated.
constexpr size_t CHUNK_RECORDS = 4096;

std::string checksum(nb::handle a) {
    TensorView v = tensor_view(a);
    const size_t n = v.n();
    nb::object h = sha256()();
    nb::object update = h.attr("update");
    std::vector<char> buf(CHUNK_RECORDS * PACKED);
    std::vector<Fp> staging(on_cuda() ? (n < CHUNK_RECORDS ? n : CHUNK_RECORDS) : 0);
    for (size_t off = 0; off < n; off += CHUNK_RECORDS) {
        const size_t m = n - off < CHUNK_RECORDS ? n - off : CHUNK_RECORDS;
        const Fp* src = v.rec() + off;
        if (on_cuda()) {
            v.a.obj.attr("data")
                .attr("__add__")(off * sizeof(Fp))
                .attr("copy_to_host")(nb::int_((uintptr_t)staging.data()), m * sizeof(Fp));
            src = staging.data();
        }
        char* p = buf.data();
        for (size_t i = 0; i < m; ++i, p += PACKED) {
            std::memcpy(p, &src[i].sign, 4);
            std::memcpy(p + 4, src[i].limb, 8 * NLIMB);
        }
        nb::object view =
            nb::steal(PyMemoryView_FromMemory(buf.data(), (Py_ssize_t)(m * PACKED), PyBUF_READ));
        if (!view.is_valid()) throw nb::python_error();
        update(view);
    }
    return nb::cast<std::string>(h.attr("hexdigest")());
}

bool verify(nb::handle a, nb::handle expected) {
    require_exact(expected, &PyUnicode_Type, "expected", "str");
    nb::str actual(checksum(a).c_str());
    nb::object have = actual;
    if (PyUnicode_GET_LENGTH(expected.ptr()) == 16) {
        have = nb::steal(PyUnicode_Substring(actual.ptr(), 0, 16));
        if (!have.is_valid()) throw nb::python_error();
    }
    int r = PyObject_RichCompareBool(have.ptr(), expected.ptr(), Py_EQ);
    if (r < 0) throw nb::python_error();
    return r == 1;
}

}  // namespace

void register_repro(nb::module_& m) {
    m.attr("_LCG_A") = (int64_t)LCG_A;
    m.attr("_LCG_M") = (int64_t)LCG_M;
    m.attr("_lcg_state") = 1;
    m.def("manual_seed", &manual_seed, nb::arg("seed").none(), nb::sig("def manual_seed(seed: int) -> None"),
          "Set random seed for reproducible results across ALL GPUs.\n\n"
          "Uses pure integer LCG - identical results on ANY platform.");
    m.def("_lcg_next", &lcg_next, nb::sig("def _lcg_next() -> int"),
          "Generate next LCG value. Pure integer arithmetic.");
    m.def("_lcg_uniform", &lcg_uniform, nb::sig("def _lcg_uniform() -> fractions.Fraction"),
          "Generate uniform [0, 1) using LCG. Returns exact Fraction.");
    m.def("_lcg_normal", &lcg_normal, nb::sig("def _lcg_normal() -> fractions.Fraction"),
          "Generate normal(0,1) using sum of 12 uniforms (CLT).");
    m.def("rand", &draw<false>, nb::sig("def rand(*args: int | tuple[int, ...] | list[int]) -> Tensor"),
          "Random uniform [0,1) - deterministic across GPUs.");
    m.def("randn", &draw<true>, nb::sig("def randn(*args: int | tuple[int, ...] | list[int]) -> Tensor"),
          "Random normal - deterministic across GPUs.");
    m.def("checksum", &checksum, nb::arg("a").none(), nb::sig("def checksum(a: Tensor) -> str"),
          "SHA256 checksum for reproducibility.");
    m.def(
        "checksums_match", [](nb::handle a, nb::handle b) { return checksum(a) == checksum(b); },
        nb::arg("a").none(), nb::arg("b").none(),
        nb::sig("def checksums_match(a: Tensor, b: Tensor) -> bool"),
        "Check if two tensors have identical checksums.");
    m.def("verify", &verify, nb::arg("a").none(), nb::arg("expected").none(),
          nb::sig("def verify(a: Tensor, expected: str) -> bool"),
          "Verify tensor matches expected checksum.");
}

}  // namespace zel
