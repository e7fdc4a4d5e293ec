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
using DeviceArgsFn = nb::object (*)(const char*, nb::handle);

struct HostEntry {
    const char* name;
    HostFn fn;             // the host launch, arguments checked
    DeviceArgsFn checked;  // the checked arguments of a GPU launch
};

// What the converted arguments hold: element counts of the arrays (from the
// views the launch reads, never from Python attributes) and the ints, as the
// kernel's bounds rule reads them (kernels/bounds.hpp), and the views.
struct ArgSizes : bounds::Launch {
    using bounds::Launch::Launch;
    std::vector<DevArray> arrays;  // each array argument's view, in order
};

template <class T>
struct PyArgConv;

template <>
struct PyArgConv<int> {
    static int conv(nb::handle h, size_t idx, ArgSizes& s) {
        nb::object v = nb::borrow(h);
        if (!PyLong_Check(h.ptr())) {
            if (!py_isinstance(h.ptr(), py_refs().np_integer.ptr()))
                throw nb::type_error(
                    ("kernel argument " + std::to_string(idx) + " must be an integer").c_str());
            v = nb::steal(PyNumber_Index(h.ptr()));
            if (!v.is_valid()) throw nb::python_error();
        }
        long long x = PyLong_AsLongLong(v.ptr());
        if (x == -1 && PyErr_Occurred()) {
            PyErr_Clear();
            throw nb::value_error(
                ("kernel argument " + std::to_string(idx) + " does not fit a 32-bit kernel argument")
                    .c_str());
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
        s.arrays.push_back(a);
        return static_cast<T*>(a.ptr);
    }
};

// Each argument is converted once, left to right (braced initialisation),
// and the kernel's bounds rule checks the result: both launches use exactly
// what was checked.
template <bounds::Rule Check, class... P, size_t... I>
std::tuple<P...> checked_args(ArgSizes& s, nb::handle args, std::index_sequence<I...>) {
    std::tuple<P...> conv{PyArgConv<P>::conv(nb::handle(PyTuple_GET_ITEM(args.ptr(), I)), I, s)...};
    Check(s);
    return conv;
}

template <auto Body, bounds::Rule Check, class... P, size_t... I>
void py_launch_seq(const char* name, Dim3 g, Dim3 b, nb::handle args, std::index_sequence<I...> seq) {
    ArgSizes s(name);
    std::tuple<P...> conv = checked_args<Check, P...>(s, args, seq);
    host_run<Body, P...>(g, b, std::get<I>(conv)...);
}

void check_arity(nb::handle args, size_t want) {
    if (!PyTuple_Check(args.ptr())) throw nb::type_error("kernel arguments must be a tuple");
    size_t n = (size_t)PyTuple_GET_SIZE(args.ptr());
    if (n != want)
        throw nb::type_error(
            ("kernel takes " + std::to_string(want) + " arguments, got " + std::to_string(n)).c_str());
}

template <auto Body, bounds::Rule Check, class... P>
void py_launch_typed(void (*)(const ThreadCtx&, P...), const char* name, Dim3 g, Dim3 b, nb::handle args) {
    check_arity(args, sizeof...(P));
    py_launch_seq<Body, Check, P...>(name, g, b, args, std::index_sequence_for<P...>{});
}

template <auto Body, bounds::Rule Check>
void py_launch(const char* name, Dim3 g, Dim3 b, nb::handle args) {
    py_launch_typed<Body, Check>(Body, name, g, b, args);
}

// What CuPy's kernel is handed for a checked argument: the array object the
// view was taken of, and each int as the int32 the kernel's parameter is.
nb::object device_arg(nb::handle, int v) { return py_refs().numpy.attr("int32")(v); }
template <class T>
nb::object device_arg(nb::handle h, T*) {
    return nb::borrow(h);
}

// A raw launch on the GPU passes the same conversion and bounds rule as on
// the host; the checked arguments are what the GPU kernel gets.
template <bounds::Rule Check, class... P, size_t... I>
nb::object py_device_args_seq(const char* name, nb::handle args, std::index_sequence<I...> seq) {
    ArgSizes s(name);
    // Rules that read an array's contents (the CSR pointers) read a host copy.
    s.fetch = [](const bounds::Launch& L, size_t k, void* host, size_t bytes) {
        copy_to_host(static_cast<const ArgSizes&>(L).arrays[k], host, bytes);
    };
    std::tuple<P...> conv = checked_args<Check, P...>(s, args, seq);
    return nb::make_tuple(device_arg(nb::handle(PyTuple_GET_ITEM(args.ptr(), I)), std::get<I>(conv))...);
}

template <bounds::Rule Check, class... P>
nb::object py_device_args_typed(void (*)(const ThreadCtx&, P...), const char* name, nb::handle args) {
    check_arity(args, sizeof...(P));
    return py_device_args_seq<Check, P...>(name, args, std::index_sequence_for<P...>{});
}

template <auto Body, bounds::Rule Check>
nb::object py_device_args(const char* name, nb::handle args) {
    return py_device_args_typed<Check>(Body, name, args);
}

// Every kernel of the list launches with its own bounds rule, stated beside
// it in kernels/*.hpp: a kernel without one does not compile.
#define ZEL_HOST_ENTRY(name, params, args)                             \
    {#name, &py_launch<&zel::name##_body, zel::bounds::name##_bounds>, \
     &py_device_args<&zel::name##_body, zel::bounds::name##_bounds>},
const HostEntry HOST_TABLE[] = {ZEL_KERNEL_LIST(ZEL_HOST_ENTRY)};
#undef ZEL_HOST_ENTRY

struct HostKernel {
    const HostEntry* entry;
};

// A GPU kernel as Python gets it: CuPy's kernel behind the checks of its
// host twin, so that no raw launch reads or writes past an array there either.
struct DeviceKernel {
    const HostEntry* entry;
    nb::object fn;
};

struct HostModule {};
struct DeviceModule {};

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
    if (v[2] != 1)
        throw nb::value_error(
            (std::string(what) + ": the kernel set uses 1-D and 2-D launches only").c_str());
    return Dim3{v[0], v[1], v[2]};
}

struct LoaderState {
    bool cuda = false;
    std::string path;
    nb::dict modules;  // device id -> RawModule
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

nb::list kernel_names() {
    nb::list l;
    for (const HostEntry& e : HOST_TABLE) l.append(e.name);
    return l;
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

// The kernel that Python's get_kernel/_get_kernel hand out: checked on both backends.
nb::object loader_checked_kernel(const std::string& name) {
    LoaderState& s = state();
    nb::object k = host_kernel(name);
    if (!s.cuda) return k;
    return nb::cast(DeviceKernel{find_host(name), loader_get_kernel(name)});
}

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
        .def("__repr__",
             [](const HostKernel& k) { return "<HostKernel " + std::string(k.entry->name) + ">"; });

    nb::class_<HostModule>(m, "HostModule", "The CPU kernel set, with the RawModule lookup method.")
        .def("get_function", [](const HostModule&, const std::string& name) { return host_kernel(name); })
        .def_prop_ro("kernel_names", [](const HostModule&) { return kernel_names(); });
    nb::class_<DeviceKernel>(m, "DeviceKernel",
                             "A kernel of the GPU kernel set, its arguments checked as on the CPU.")
        .def(
            "__call__",
            [](const DeviceKernel& k, nb::handle grid, nb::handle block, nb::handle args) {
                Dim3 g = parse_dims(grid, "grid");
                Dim3 b = parse_dims(block, "block");
                nb::object checked = k.entry->checked(k.entry->name, args);
                // No threads: nothing runs, as on the host (CUDA would refuse the shape).
                if ((uint64_t)g.x * g.y * b.x * b.y == 0) return;
                k.fn(nb::make_tuple(g.x, g.y), nb::make_tuple(b.x, b.y), checked);
            },
            nb::arg("grid"), nb::arg("block"), nb::arg("args"))
        .def_prop_ro("name", [](const DeviceKernel& k) { return std::string(k.entry->name); })
        .def("__repr__",
             [](const DeviceKernel& k) { return "<DeviceKernel " + std::string(k.entry->name) + ">"; });

    nb::class_<DeviceModule>(m, "DeviceModule", "The GPU kernel set, its kernels checked as on the CPU.")
        .def("get_function",
             [](const DeviceModule&, const std::string& name) { return loader_checked_kernel(name); })
        .def_prop_ro("kernel_names", [](const DeviceModule&) { return kernel_names(); });
    s.host_module = nb::cast(HostModule{});

    m.def(
        "get_module", []() { return state().cuda ? nb::cast(DeviceModule{}) : get_module_impl(); },
        "The loaded kernel set, its kernels' arguments checked: the GPU's or the host kernel table.");
    m.def(
        "get_kernel", [](const std::string& name) { return loader_checked_kernel(name); }, nb::arg("name"),
        "Kernel by name, launchable as kernel(grid, block, args).");
    m.def(
        "_host_kernel", [](const std::string& name) { return host_kernel(name); }, nb::arg("name"),
        "The CPU build of a kernel, whatever the backend (used to emulate a device in tests).");
    m.attr("KERNEL_SET_PATH") = fatbin_path;

    nb::module_ sys = nb::module_::import_("sys");
    sys.attr("modules")["korvid.zel.cuda.cubin_loader"] = m;
    nb::module_ pkg = nb::module_::import_("korvid.zel.cuda");
    pkg.attr("cubin_loader") = m;
    return m;
}

}  // namespace zel
