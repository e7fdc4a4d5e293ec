// Kernel loader for both backends.
//
// cuda: the fatbin is loaded once per device with cupy.RawModule(path=...),
// kernels are fetched with get_function and cached.
// cpu: a table generated from the kernel list maps each name to a host
// kernel object with the same call form, kernel(grid, block, args).
#include "cubin_loader.hpp"

#include <cstring>
#include <map>
#include <vector>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "kernel_list.hpp"
#include "../core/launch.hpp"
#include "../core/errors.hpp"

namespace zel {

namespace {

using HostFn = void (*)(const char*, Dim3, Dim3, nb::handle);

struct HostEntry {
    const char* name;
    HostFn fn;
};

// What the converted arguments hold: element counts of the arrays (from the
// views the launch reads, never from Python attributes) and the ints.
struct ArgSizes {
    std::vector<int64_t> sz, iv;
    std::vector<size_t> pos;        // tuple index of each array
    std::vector<const void*> ptr;   // its data, as the launch gets it
};

void check_host_bounds(const std::string& name, const ArgSizes& a);

template <class T>
struct PyArgConv;

template <>
struct PyArgConv<int> {
    static int conv(nb::handle h, size_t idx, ArgSizes& s) {
        nb::object v = nb::borrow(h);
        if (!PyLong_Check(h.ptr())) {
            if (!py_isinstance(h.ptr(), py_refs().np_integer.ptr()))
                throw nb::type_error(("kernel argument " + std::to_string(idx) + " must be an integer").c_str());
            v = nb::steal(PyNumber_Index(h.ptr()));
            if (!v.is_valid()) throw nb::python_error();
        }
        long long x = PyLong_AsLongLong(v.ptr());
        if (x == -1 && PyErr_Occurred()) {
            PyErr_Clear();
            throw nb::value_error(("kernel argument " + std::to_string(idx) + " does not fit a 32-bit kernel argument").c_str());
        }
        int32_t r = checked_i32(x, ("kernel argument " + std::to_string(idx)).c_str());
        s.iv.push_back(r);
        return r;
    }
};

template <class T>
struct PyArgConv<T*> {
    using B = std::remove_const_t<T>;
    static T* conv(nb::handle h, size_t idx, ArgSizes& s) {
        ElemKind k = std::is_same_v<B, Fp>        ? ElemKind::Record
                     : std::is_same_v<B, double>  ? ElemKind::F64
                     : std::is_same_v<B, int32_t> ? ElemKind::I32
                                                  : ElemKind::Bool;
        std::string what = "kernel argument " + std::to_string(idx);
        DevArray a = view_array(h, k, what.c_str());
        s.sz.push_back((int64_t)a.n);
        s.pos.push_back(idx);
        s.ptr.push_back(a.ptr);
        return static_cast<T*>(a.ptr);
    }
};

// Each argument is converted once, left to right (braced initialisation),
// and the launch uses exactly what was checked.
template <auto Body, class... P, size_t... I>
void py_launch_seq(const char* name, Dim3 g, Dim3 b, nb::handle args, std::index_sequence<I...>) {
    ArgSizes s;
    std::tuple<P...> conv{PyArgConv<P>::conv(nb::handle(PyTuple_GET_ITEM(args.ptr(), I)), I, s)...};
    check_host_bounds(name, s);
    host_run<Body, P...>(g, b, std::get<I>(conv)...);
}

template <auto Body, class... P>
void py_launch_typed(void (*)(const ThreadCtx&, P...), const char* name, Dim3 g, Dim3 b, nb::handle args) {
    if (!PyTuple_Check(args.ptr())) throw nb::type_error("kernel arguments must be a tuple");
    size_t n = (size_t)PyTuple_GET_SIZE(args.ptr());
    if (n != sizeof...(P))
        throw nb::type_error(("kernel takes " + std::to_string(sizeof...(P)) + " arguments, got " + std::to_string(n)).c_str());
    py_launch_seq<Body, P...>(name, g, b, args, std::index_sequence_for<P...>{});
}

template <auto Body>
void py_launch(const char* name, Dim3 g, Dim3 b, nb::handle args) {
    py_launch_typed<Body>(Body, name, g, b, args);
}

#define ZEL_HOST_ENTRY(name, params, args) {#name, &py_launch<&zel::name##_body>},
const HostEntry HOST_TABLE[] = {ZEL_KERNEL_LIST(ZEL_HOST_ENTRY)};
#undef ZEL_HOST_ENTRY

struct HostKernel {
    const HostEntry* entry;
};

// Launched from Python, a kernel must not read or write past an array: the
// sizes each kernel derives from its int arguments are checked against the
// arrays first (the operations check their own before launching).
using I128 = __int128;

[[noreturn]] void too_small(const std::string& name, size_t idx, int64_t have, I128 need) {
    throw nb::value_error((name + ": argument " + std::to_string(idx) + " holds " + std::to_string(have) +
                           " elements but the launch reads or writes " + std::to_string((long long)need))
                              .c_str());
}

void check_host_bounds(const std::string& name, const ArgSizes& a) {
    const std::vector<int64_t>& sz = a.sz;
    const std::vector<int64_t>& iv = a.iv;
    const std::vector<size_t>& pos = a.pos;
    auto need = [&](size_t k, I128 n) {
        if (k < sz.size() && (I128)sz[k] < n) too_small(name, pos[k], sz[k], n);
    };
    auto ints = [&](size_t want) {
        if (iv.size() != want) throw nb::type_error((name + ": wrong number of integer arguments").c_str());
    };
    auto nonneg = [&](std::initializer_list<size_t> ks) {
        for (size_t k : ks)
            if (iv[k] < 0) throw nb::value_error((name + ": sizes must not be negative").c_str());
    };
    auto ends = [&](const char* suffix) {
        size_t l = std::strlen(suffix);
        return name.size() >= l && name.compare(name.size() - l, l, suffix) == 0;
    };
    auto step_span = [](int64_t n, int64_t step) -> I128 { return n > 0 ? (I128)(n - 1) * step + 1 : 0; };
    auto steps_ok = [&](std::initializer_list<size_t> ks) {
        for (size_t k : ks)
            if (iv[k] != 0 && iv[k] != 1) throw nb::value_error((name + ": steps must be 0 or 1").c_str());
    };

    if (name == "fp_where_bcast_kernel") {
        ints(2), nonneg({0}), steps_ok({1});
        need(0, iv[0]), need(1, iv[0]), need(2, step_span(iv[0], iv[1])), need(3, iv[0]);
    } else if (ends("_bcast_kernel")) {
        ints(3), nonneg({0}), steps_ok({1, 2});
        need(0, step_span(iv[0], iv[1])), need(1, step_span(iv[0], iv[2])), need(2, iv[0]);
    } else if (name == "fp_pow_int_kernel") {
        ints(2), nonneg({1});
        need(0, iv[1]), need(1, iv[1]);
    } else if (name == "fp_clamp_kernel") {
        ints(1), nonneg({0});
        need(0, iv[0]), need(1, iv[0]), need(2, iv[0] > 0), need(3, iv[0] > 0);
    } else if (name == "fp_leaky_relu_kernel") {
        ints(1), nonneg({0});
        need(0, iv[0]), need(1, iv[0]), need(2, iv[0] > 0);
    } else if (name == "fp_sum_partial_kernel") {
        ints(3), nonneg({0, 1});
        if (iv[2] < 0 || iv[2] > 3) throw nb::value_error((name + ": mode must be 0 to 3").c_str());
        need(0, iv[0]), need(1, iv[2] == 2 ? iv[0] : (iv[2] == 3 ? (iv[0] > 0) : 0)), need(2, (I128)2 * iv[1]);
    } else if (name == "fp_sum_finish_kernel") {
        ints(1), nonneg({0});
        need(0, (I128)2 * iv[0]), need(1, 1);
    } else if (name == "fp_moments_partial_kernel") {
        ints(3), nonneg({0, 1});
        need(0, iv[0]), need(1, (I128)MOMENT_RECORDS * iv[1]);
    } else if (name == "fp_pnorm_partial_kernel") {
        ints(3), nonneg({0, 1});
        need(0, iv[0]), need(1, iv[1] > 0), need(2, (I128)2 * iv[1]);
    } else if (name == "fp_wide_finish_kernel") {
        ints(2), nonneg({0});
        if (iv[1] < 1 || iv[1] > MOMENT_RECORDS)
            throw nb::value_error((name + ": width must be 1 to 4").c_str());
        need(0, (I128)iv[1] * iv[0]), need(1, iv[1]);
    } else if (name == "fp_cumsum_kernel" || name == "fp_cumprod_kernel" || name == "fp_softmax_kernel" ||
               name == "fp_argmax_kernel" || name == "fp_argmin_kernel") {
        ints(2), nonneg({0, 1});
        I128 cells = (I128)iv[0] * iv[1];
        need(0, cells), need(1, (name == "fp_argmax_kernel" || name == "fp_argmin_kernel") ? (I128)iv[0] : cells);
    } else if (name == "fp_cumsum_partial_kernel" || name == "fp_cumsum_chunk_kernel" ||
               name == "fp_arg_extreme_partial_kernel") {
        // (arrays..., rows, cols, chunk[, want]): part holds two records, cand
        // one index, per chunk of ceil(cols / chunk) per row.
        const bool arg = name == "fp_arg_extreme_partial_kernel";
        ints(arg ? 4 : 3), nonneg({0, 1});
        if (iv[2] < 1) throw nb::value_error((name + ": chunk must be at least 1").c_str());
        if (arg && iv[3] != 1 && iv[3] != -1) throw nb::value_error((name + ": want must be 1 or -1").c_str());
        const I128 per_row = ((I128)iv[1] + iv[2] - 1) / iv[2];
        const I128 cells = (I128)iv[0] * iv[1], nch = (I128)iv[0] * per_row;
        if (name == "fp_cumsum_chunk_kernel") {
            need(0, cells), need(1, per_row > 1 ? 2 * nch : 0), need(2, cells);
        } else {
            need(0, cells), need(1, arg ? nch : 2 * nch);
        }
    } else if (name == "fp_softmax_exp_kernel") {
        // (a, best, out, part, rows, cols, chunk): best one index per row, part
        // one record per chunk.
        ints(3), nonneg({0, 1});
        if (iv[2] < 1) throw nb::value_error((name + ": chunk must be at least 1").c_str());
        const I128 cells = (I128)iv[0] * iv[1], nch = (I128)iv[0] * (((I128)iv[1] + iv[2] - 1) / iv[2]);
        need(0, cells), need(1, cells > 0 ? iv[0] : 0), need(2, cells), need(3, nch);
    } else if (name == "fp_softmax_sum_kernel") {
        ints(2), nonneg({0, 1});
        need(0, (I128)iv[0] * iv[1]);
    } else if (name == "fp_softmax_div_kernel") {
        // (part, out, rows, cols, nch): a row's sum in part[row * nch]
        ints(3), nonneg({0, 1, 2});
        const I128 cells = (I128)iv[0] * iv[1];
        need(0, cells > 0 ? (I128)(iv[0] - 1) * iv[2] + 1 : 0), need(1, cells);
    } else if (name == "fp_cumsum_carry_kernel") {
        ints(2), nonneg({0, 1});
        need(0, (I128)2 * iv[0] * iv[1]);
    } else if (name == "fp_arg_extreme_combine_kernel") {
        // (a, cin, cout, rows, cols, n, in_step, out_step, want)
        ints(6), nonneg({0, 1, 2, 3, 4});
        if (iv[5] != 1 && iv[5] != -1) throw nb::value_error((name + ": want must be 1 or -1").c_str());
        const I128 rows = iv[0], n = iv[2], h = (n + 1) / 2;
        const bool any = rows > 0 && n > 0;
        need(0, any ? (I128)rows * iv[1] : 0);
        need(1, any ? (I128)(rows - 1) * iv[3] + n : 0), need(2, any ? (I128)(rows - 1) * iv[4] + h : 0);
    } else if (name == "fp_cat_part_kernel") {
        // (a, out, outer, chunk, out_row, offset)
        ints(4), nonneg({0, 1, 2, 3});
        if ((I128)iv[3] + iv[1] > iv[2]) throw nb::value_error((name + ": offset + chunk exceeds out_row").c_str());
        const bool any = iv[0] > 0 && iv[1] > 0;
        need(0, any ? (I128)iv[0] * iv[1] : 0), need(1, any ? (I128)(iv[0] - 1) * iv[2] + iv[3] + iv[1] : 0);
    } else if (name == "fp_diff_kernel") {
        ints(1), nonneg({0});
        need(0, iv[0] > 0 ? (I128)iv[0] + 1 : 0), need(1, iv[0]);
    } else if (name == "fp_mm_kernel") {
        ints(3), nonneg({0, 1, 2});
        need(0, (I128)iv[0] * iv[2]), need(1, (I128)iv[2] * iv[1]), need(2, (I128)iv[0] * iv[1]);
    } else if (name == "fp_mv_kernel") {
        ints(2), nonneg({0, 1});
        need(0, (I128)iv[0] * iv[1]), need(1, iv[0] > 0 ? iv[1] : 0), need(2, iv[0]);
    } else if (name == "fp_outer_kernel") {
        ints(2), nonneg({0, 1});
        need(0, iv[1] > 0 ? iv[0] : 0), need(1, iv[0] > 0 ? iv[1] : 0), need(2, (I128)iv[0] * iv[1]);
    } else if (name == "fp_kron_kernel") {
        ints(4), nonneg({0, 1, 2, 3});
        I128 ab = (I128)iv[0] * iv[1], pq = (I128)iv[2] * iv[3];
        need(0, pq > 0 ? ab : 0), need(1, ab > 0 ? pq : 0), need(2, ab * pq);
    } else if (name == "fp_trace_kernel") {
        ints(1), nonneg({0});
        need(0, (I128)iv[0] * iv[0]), need(1, 1);
    } else if (name == "fp_diag_kernel") {
        ints(2), nonneg({0, 1});
        if (iv[0] > 0 && iv[1] < iv[0]) throw nb::value_error((name + ": cols must be at least n").c_str());
        need(0, iv[0] > 0 ? (I128)(iv[0] - 1) * iv[1] + iv[0] : 0), need(1, iv[0]);
    } else if (name == "fp_conv2d_kernel") {
        ints(11), nonneg({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
        if (iv[7] < 1) throw nb::value_error((name + ": stride must be at least 1").c_str());
        I128 outs = (I128)iv[0] * iv[4] * iv[9] * iv[10];
        need(0, outs > 0 ? (I128)iv[0] * iv[1] * iv[2] * iv[3] : 0);
        need(1, outs > 0 ? (I128)iv[4] * iv[1] * iv[5] * iv[6] : 0), need(2, outs);
    } else if (name == "fp_dense_to_csr_count_kernel") {
        ints(2), nonneg({0, 1});
        need(0, (I128)iv[0] * iv[1]), need(1, iv[0]);
    } else if (name == "fp_dense_to_csr_extract_kernel" || name == "fp_spmv_kernel") {
        // Where these kernels read and write depends on the row pointers'
        // contents: every pointer must lie within the value and column
        // arrays, and (spmv) every column index used within x.
        const bool spmv = name == "fp_spmv_kernel";
        ints(spmv ? 1 : 2), nonneg(spmv ? std::initializer_list<size_t>{0} : std::initializer_list<size_t>{0, 1});
        const int64_t rows = iv[0];
        const size_t k_vals = spmv ? 0 : 1, k_cols = spmv ? 1 : 2, k_ptrs = spmv ? 2 : 3;
        if (spmv) need(4, rows);
        else need(0, (I128)rows * iv[1]);
        need(k_ptrs, rows > 0 ? (I128)rows + 1 : 0);
        if (rows > 0 && sz.size() == (spmv ? 5u : 4u)) {
            const int32_t* p = static_cast<const int32_t*>(a.ptr[k_ptrs]);
            const int64_t cap = sz[k_vals] < sz[k_cols] ? sz[k_vals] : sz[k_cols];
            int64_t top = 0;
            for (int64_t r = 0; r <= rows; ++r) {
                if (p[r] < 0 || p[r] > cap)
                    throw nb::value_error((name + ": row pointer " + std::to_string(p[r]) + " outside [0, " +
                                           std::to_string(cap) + "]")
                                              .c_str());
                top = p[r] > top ? p[r] : top;
            }
            if (spmv) {
                const int32_t* c = static_cast<const int32_t*>(a.ptr[k_cols]);
                for (int64_t k = 0; k < top; ++k)
                    if (c[k] < 0 || c[k] >= sz[3])
                        throw nb::value_error((name + ": column index " + std::to_string(c[k]) + " outside x of " +
                                               std::to_string(sz[3]) + " elements")
                                                  .c_str());
            }
        }
    } else if (name == "fp_eye_kernel") {
        ints(1), nonneg({0});
        need(0, (I128)iv[0] * iv[0]);
    } else if (name == "fp_transpose_kernel") {
        ints(2), nonneg({0, 1});
        need(0, (I128)iv[0] * iv[1]), need(1, (I128)iv[0] * iv[1]);
    } else {
        // (arrays..., n): every array holds n elements.
        ints(1), nonneg({0});
        for (size_t k = 0; k < sz.size(); ++k) need(k, iv[0]);
    }
}

struct HostModule {};

Dim3 parse_dims(nb::handle h, const char* what) {
    nb::object t = nb::borrow(h);
    if (PyLong_Check(h.ptr())) t = nb::make_tuple(h);
    if (!PyTuple_Check(t.ptr()) || PyTuple_GET_SIZE(t.ptr()) < 1 || PyTuple_GET_SIZE(t.ptr()) > 3)
        throw nb::type_error((std::string(what) + " must be a tuple of 1 to 3 ints").c_str());
    uint32_t v[3] = {1, 1, 1};
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(t.ptr()); ++i) {
        nb::handle e = PyTuple_GET_ITEM(t.ptr(), i);
        long long x = PyLong_Check(e.ptr()) ? PyLong_AsLongLong(e.ptr()) : -1;
        if (x == -1 && PyErr_Occurred()) PyErr_Clear();
        if (x < 0 || x > 0x7fffffffLL)
            throw nb::value_error((std::string(what) + " entries must be ints in [0, 2**31)").c_str());
        v[i] = (uint32_t)x;
    }
    if (v[2] != 1) throw nb::value_error((std::string(what) + ": the kernel set uses 1-D and 2-D launches only").c_str());
    return Dim3{v[0], v[1], v[2]};
}

struct LoaderState {
    bool cuda = false;
    std::string path;
    nb::dict modules;                                  // device id -> RawModule
    std::map<std::pair<int, std::string>, nb::object> kernels;
    std::map<std::string, nb::object> host_kernels;
    nb::object host_module;
};

LoaderState& state() {
    static LoaderState* s = new LoaderState();
    return *s;
}

int current_device() { return nb::cast<int>(device().cp.attr("cuda").attr("Device")().attr("id")); }

nb::object get_module_impl() {
    LoaderState& s = state();
    if (!s.cuda) return s.host_module;
    int dev = current_device();
    nb::object key = nb::int_(dev);
    if (!s.modules.contains(key)) s.modules[key] = device().cp.attr("RawModule")(nb::arg("path") = s.path);
    return s.modules[key];
}

const HostEntry* find_host(const std::string& name) {
    for (const HostEntry& e : HOST_TABLE) {
        if (name == e.name) return &e;
    }
    return nullptr;
}

nb::object host_kernel(const std::string& name) {
    LoaderState& s = state();
    auto it = s.host_kernels.find(name);
    if (it != s.host_kernels.end()) return it->second;
    const HostEntry* e = find_host(name);
    if (!e) throw nb::value_error(("no kernel named '" + name + "' in the kernel set").c_str());
    nb::object k = nb::cast(HostKernel{e});
    s.host_kernels[name] = k;
    return k;
}

}  // namespace

nb::object loader_get_kernel(const std::string& name) {
    LoaderState& s = state();
    if (!s.cuda) return host_kernel(name);
    int dev = current_device();
    auto key = std::make_pair(dev, name);
    auto it = s.kernels.find(key);
    if (it != s.kernels.end()) return it->second;
    nb::object k = get_module_impl().attr("get_function")(name);
    s.kernels[key] = k;
    return k;
}

nb::module_ loader_create(bool cuda, const std::string& fatbin_path) {
    LoaderState& s = state();
    s.cuda = cuda;
    s.path = fatbin_path;

    nb::module_ m = nb::steal<nb::module_>(PyModule_New("korvid.zel.cuda.cubin_loader"));
    m.attr("__doc__") = "Kernel loader: the kernel set by name, for the active backend.";

    nb::class_<HostKernel>(m, "HostKernel", "A kernel of the CPU kernel set, launched like a CuPy RawKernel.")
        .def(
            "__call__",
            [](const HostKernel& k, nb::handle grid, nb::handle block, nb::handle args) {
                Dim3 g = parse_dims(grid, "grid");
                Dim3 b = parse_dims(block, "block");
                k.entry->fn(k.entry->name, g, b, args);
            },
            nb::arg("grid"), nb::arg("block"), nb::arg("args"))
        .def_prop_ro("name", [](const HostKernel& k) { return std::string(k.entry->name); })
        .def("__repr__", [](const HostKernel& k) { return "<HostKernel " + std::string(k.entry->name) + ">"; });

    nb::class_<HostModule>(m, "HostModule", "The CPU kernel set, with the RawModule lookup method.")
        .def("get_function", [](const HostModule&, const std::string& name) { return host_kernel(name); })
        .def_prop_ro("kernel_names", [](const HostModule&) {
            nb::list l;
            for (const HostEntry& e : HOST_TABLE) l.append(e.name);
            return l;
        });
    s.host_module = nb::cast(HostModule{});

    m.def("get_module", []() { return get_module_impl(); },
          "The loaded kernel set: a cupy.RawModule on the GPU, the host kernel table on the CPU.");
    m.def("get_kernel", [](const std::string& name) { return loader_get_kernel(name); }, nb::arg("name"),
          "Kernel by name, launchable as kernel(grid, block, args).");
    m.def("_host_kernel", [](const std::string& name) { return host_kernel(name); }, nb::arg("name"),
          "The CPU build of a kernel, whatever the backend (used to emulate a device in tests).");
    m.attr("KERNEL_SET_PATH") = fatbin_path;

    nb::module_ sys = nb::module_::import_("sys");
    sys.attr("modules")["korvid.zel.cuda.cubin_loader"] = m;
    nb::module_ pkg = nb::module_::import_("korvid.zel.cuda");
    pkg.attr("cubin_loader") = m;
    return m;
}

}  // namespace zel
