#include "device.hpp"

#include <cstdlib>
#include <cstring>
#include <map>
#include <stdexcept>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "errors.hpp"
#include "launch.hpp"
#include "pyrefs.hpp"

namespace zel {

Device& device() {
    static Device* d = new Device();  // lives until process exit, like the module
    return *d;
}

const char* kind_name(ElemKind k) {
    switch (k) {
        case ElemKind::Record: return "FIXEDPOINT_DTYPE";
        case ElemKind::F64: return "float64";
        case ElemKind::I32: return "int32";
        case ElemKind::Bool: return "bool";
    }
    return "?";
}

size_t kind_size(ElemKind k) {
    switch (k) {
        case ElemKind::Record: return sizeof(Fp);
        case ElemKind::F64: return 8;
        case ElemKind::I32: return 4;
        case ElemKind::Bool: return 1;
    }
    return 0;
}

static nb::handle kind_dtype(ElemKind k) {
    Device& d = device();
    switch (k) {
        case ElemKind::Record: return d.fp_dtype;
        case ElemKind::F64: return d.f64;
        case ElemKind::I32: return d.i32;
        case ElemKind::Bool: return d.boolean;
    }
    return d.fp_dtype;
}

// --- Host block cache (cpu backend) ---
//
// A fresh large allocation is a fresh mapping: every 4 KiB page faults and is
// zeroed on first write, which costs more than an add pass over the block.
// Blocks of large arrays are therefore kept for reuse once their last array
// goes, as CuPy's memory pool does on the device; the cache is bounded.

namespace {

constexpr size_t POOL_MIN_BYTES = size_t(1) << 20;
constexpr size_t POOL_MAX_CACHED = size_t(512) << 20;
constexpr size_t POOL_ALIGN = size_t(2) << 20;

struct HostPool {
    std::multimap<size_t, void*> free;  // capacity -> block
    size_t cached = 0;
};

HostPool& host_pool() {
    static HostPool* p = new HostPool();  // lives until process exit, like the module
    return *p;
}

void* pool_take(size_t cap) {
    HostPool& p = host_pool();
    auto it = p.free.lower_bound(cap);
    if (it != p.free.end() && it->first == cap) {
        void* b = it->second;
        p.cached -= cap;
        p.free.erase(it);
        return b;
    }
    void* b = std::aligned_alloc(POOL_ALIGN, cap);
    if (!b) {
        PyErr_SetString(PyExc_MemoryError,
                        ("cannot allocate " + std::to_string(cap) + " bytes of host memory").c_str());
        throw nb::python_error();
    }
#ifdef MADV_HUGEPAGE
    madvise(b, cap, MADV_HUGEPAGE);
#endif
    return b;
}

void pool_give(void* b, size_t cap) {
    HostPool& p = host_pool();
    if (cap > POOL_MAX_CACHED) {
        std::free(b);
        return;
    }
    while (p.cached + cap > POOL_MAX_CACHED && !p.free.empty()) {
        auto it = p.free.begin();
        p.cached -= it->first;
        std::free(it->second);
        p.free.erase(it);
    }
    p.free.emplace(cap, b);
    p.cached += cap;
}

// Owner of one block; exports it through the buffer protocol so that NumPy
// arrays made with frombuffer keep it alive.
struct HostBlock {
    void* ptr = nullptr;
    size_t cap = 0, bytes = 0;
    HostBlock(size_t bytes_) : cap((bytes_ + POOL_ALIGN - 1) / POOL_ALIGN * POOL_ALIGN), bytes(bytes_) {
        ptr = pool_take(cap);
    }
    HostBlock(HostBlock&& o) noexcept : ptr(o.ptr), cap(o.cap), bytes(o.bytes) { o.ptr = nullptr; }
    HostBlock(const HostBlock&) = delete;
    HostBlock& operator=(const HostBlock&) = delete;
    HostBlock& operator=(HostBlock&&) = delete;
    ~HostBlock() {
        if (ptr) pool_give(ptr, cap);
    }
};

int host_block_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    HostBlock* b = nb::inst_ptr<HostBlock>(self);
    return PyBuffer_FillInfo(view, self, b->ptr, (Py_ssize_t)b->bytes, 0, flags);
}

PyType_Slot host_block_slots[] = {{Py_bf_getbuffer, (void*)host_block_getbuffer}, {0, nullptr}};

}  // namespace

static bool file_exists(const std::string& p) {
    struct stat st;
    return !p.empty() && stat(p.c_str(), &st) == 0;
}

namespace {

// Start-up errors are raised as Python exceptions so that the import reports
// their own class.
[[noreturn]] void init_fail(PyObject* cls, const std::string& msg) {
    PyErr_SetString(cls, msg.c_str());
    throw nb::python_error();
}

// ZEL_BACKEND: auto (also when unset or empty), cpu or cuda.
std::string wanted_backend() {
    const char* env = std::getenv("ZEL_BACKEND");
    std::string want = env ? env : "";
    if (want.empty()) want = "auto";
    if (want != "auto" && want != "cpu" && want != "cuda")
        init_fail(PyExc_ValueError, "ZEL_BACKEND must be 'auto', 'cpu' or 'cuda', got '" + want + "'");
    return want;
}

// cupy and cupy.RawModule, or None for both when CuPy cannot be imported.
bool import_cupy(nb::object& cp, nb::object& raw_module) {
    cp = nb::none();
    raw_module = nb::none();
    try {
        cp = nb::module_::import_("cupy");
        raw_module = cp.attr("RawModule");
        return true;
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_ImportError)) throw;
        cp = nb::none();
        raw_module = nb::none();
        return false;
    }
}

int cuda_device_count(nb::handle cp) {
    try {
        return nb::cast<int>(cp.attr("cuda").attr("runtime").attr("getDeviceCount")());
    } catch (nb::python_error&) {
        return 0;
    }
}

// cuda when asked for (CuPy and the kernel set required), or on auto when
// both are there and CuPy sees a device; cpu otherwise.
Backend pick_backend(const std::string& want, bool has_cupy, nb::handle cp, const std::string& fatbin_path) {
    if (want == "cuda") {
        if (!has_cupy) init_fail(PyExc_RuntimeError, "CuPy required. Install: pip install cupy-cuda12x");
        if (!file_exists(fatbin_path))
            init_fail(PyExc_RuntimeError, "CUDA kernel set not found at " + fatbin_path +
                                              "; rebuild with the CUDA toolkit or use ZEL_BACKEND=cpu");
        return Backend::Cuda;
    }
    if (want == "auto" && has_cupy && file_exists(fatbin_path) && cuda_device_count(cp) > 0)
        return Backend::Cuda;
    return Backend::Cpu;
}

}  // namespace

void device_init(nb::module_& m, const std::string& fatbin_path) {
    Device& d = device();
    nb::handle np = py_refs().numpy;
    d.f64 = np.attr("dtype")("float64");
    d.i32 = np.attr("dtype")("int32");
    d.boolean = np.attr("dtype")("bool");

    const std::string want = wanted_backend();
    nb::object cp = nb::none(), raw_module = nb::none();
    const bool has_cupy = want != "cpu" && import_cupy(cp, raw_module);
    m.attr("HAS_CUPY") = nb::bool_(has_cupy);
    m.attr("cp") = cp;
    m.attr("RawModule") = raw_module;

    const Backend b = pick_backend(want, has_cupy, cp, fatbin_path);
    d.backend = b;
    d.cp = cp;
    d.xp = b == Backend::Cuda ? cp : nb::object(py_refs().numpy);
    m.attr("BACKEND") = b == Backend::Cuda ? "cuda" : "cpu";
    nb::class_<HostBlock>(m, "_HostBlock", nb::type_slots(host_block_slots),
                          "A cached host memory block backing large cpu arrays.");
}

int32_t checked_i32(int64_t v, const char* what) {
    if (v < INT32_MIN || v > INT32_MAX)
        throw nb::value_error((std::string(what) + " does not fit a 32-bit kernel argument").c_str());
    return (int32_t)v;
}

// --- NumPy arrays through the buffer protocol (cpu backend and staging) ---

// obj.name as the array class cls defines it: a subclass may override the
// attribute with one that lies about the memory behind it.
static nb::object base_attr(nb::handle cls, nb::handle obj, const char* name) {
    nb::object desc = nb::steal(PyObject_GetAttrString(cls.ptr(), name));
    if (!desc.is_valid()) throw nb::python_error();
    descrgetfunc get = Py_TYPE(desc.ptr())->tp_descr_get;
    if (!get) return obj.attr(name);
    PyObject* r = get(desc.ptr(), obj.ptr(), cls.ptr());
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

static bool dtype_equals(nb::handle cls, nb::handle obj, nb::handle dtype) {
    nb::object dt;
    try {
        dt = base_attr(cls, obj, "dtype");
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        return false;
    }
    int r = PyObject_RichCompareBool(dt.ptr(), dtype.ptr(), Py_EQ);
    if (r < 0) {
        drop_error();
        return false;
    }
    return r == 1;
}

[[noreturn]] static void bad_array(const char* what, ElemKind k) {
    std::string mod = on_cuda() ? "cupy" : "numpy";
    throw nb::type_error(
        (std::string(what) + " must be a one-dimensional contiguous " + mod + ".ndarray of " + kind_name(k))
            .c_str());
}

// obj must be an instance of the array class cls with the dtype of kind k.
static void require_array_of(nb::handle cls, nb::handle obj, ElemKind k, const char* what) {
    if (PyObject_IsInstance(obj.ptr(), cls.ptr()) != 1) {
        drop_error();
        bad_array(what, k);
    }
    if (!dtype_equals(cls, obj, kind_dtype(k))) bad_array(what, k);
}

// Kernels load whole 8-byte words (and fault on a GPU otherwise).
static size_t word_alignment(ElemKind k) { return kind_size(k) < 8 ? kind_size(k) : 8; }

[[noreturn]] static void not_aligned(const char* what, ElemKind k) {
    throw nb::value_error((std::string(what) + " is not " + std::to_string(word_alignment(k)) +
                           "-byte aligned in memory; pass a copy")
                              .c_str());
}

static DevArray numpy_view(nb::handle obj, ElemKind k, const char* what, bool allow_0d) {
    nb::handle cls = py_refs().numpy.attr("ndarray");
    require_array_of(cls, obj, k, what);
    Py_buffer view;
    if (PyObject_GetBuffer(obj.ptr(), &view, PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE) != 0) {
        drop_error();
        // Say why when the array is only read-only.
        if (PyObject_GetBuffer(obj.ptr(), &view, PyBUF_C_CONTIGUOUS) == 0) {
            PyBuffer_Release(&view);
            throw nb::type_error((std::string(what) + " is a read-only array; the module needs writable " +
                                  kind_name(k) + " arrays (pass a copy)")
                                     .c_str());
        }
        drop_error();
        bad_array(what, k);
    }
    if (view.len > 0 && (uintptr_t)view.buf % word_alignment(k) != 0) {
        PyBuffer_Release(&view);
        not_aligned(what, k);
    }
    DevArray a;
    a.ptr = view.buf;
    int ndim = view.ndim;
    size_t itemsize = (size_t)view.itemsize;
    size_t nbytes = (size_t)view.len;
    PyBuffer_Release(&view);
    if (ndim > 1 || (ndim == 0 && !allow_0d) || itemsize != kind_size(k)) bad_array(what, k);
    a.n = nbytes / itemsize;
    a.obj = nb::borrow(obj);
    return a;
}

static DevArray cupy_view(nb::handle obj, ElemKind k, const char* what, bool allow_0d) {
    nb::handle cls = device().cp.attr("ndarray");
    require_array_of(cls, obj, k, what);
    int ndim = nb::cast<int>(base_attr(cls, obj, "ndim"));
    if (ndim > 1 || (ndim == 0 && !allow_0d)) bad_array(what, k);
    if (!nb::cast<bool>(base_attr(cls, obj, "flags").attr("c_contiguous"))) bad_array(what, k);
    DevArray a;
    a.obj = nb::borrow(obj);
    a.n = nb::cast<size_t>(base_attr(cls, obj, "size"));
    a.ptr = (void*)nb::cast<uintptr_t>(base_attr(cls, obj, "data").attr("ptr"));
    if (a.n > 0 && (uintptr_t)a.ptr % word_alignment(k) != 0) not_aligned(what, k);
    return a;
}

DevArray view_array(nb::handle obj, ElemKind k, const char* what, bool allow_0d) {
    return on_cuda() ? cupy_view(obj, k, what, allow_0d) : numpy_view(obj, k, what, allow_0d);
}

bool is_device_array(nb::handle obj) {
    Device& d = device();
    nb::handle cls = on_cuda() ? d.cp.attr("ndarray") : py_refs().numpy.attr("ndarray");
    return py_isinstance(obj.ptr(), cls.ptr());
}

size_t physical_bytes() {
    static size_t b = [] {
        long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGESIZE);
        return pages > 0 && page > 0 ? (size_t)pages * (size_t)page : (size_t)0;
    }();
    return b;
}

void check_host_alloc(size_t n, size_t elem) {
    size_t bytes;
    bool over = __builtin_mul_overflow(n, elem, &bytes) || bytes > (size_t)PY_SSIZE_T_MAX;
    if (!over && !(physical_bytes() && bytes > physical_bytes())) return;
    std::string asked = std::to_string(n) + " x " + std::to_string(elem) + " bytes";
    PyErr_SetString(PyExc_MemoryError,
                    (over ? "cannot allocate " + asked + ": more than the address space"
                          : "cannot allocate " + std::to_string(bytes) + " bytes (" + asked +
                                "): the machine has " + std::to_string(physical_bytes()))
                        .c_str());
    throw nb::python_error();
}

static DevArray numpy_new(size_t n, ElemKind k) {
    check_host_alloc(n, kind_size(k));
    size_t bytes = n * kind_size(k);
    if (bytes < POOL_MIN_BYTES) {
        nb::object o = py_refs().np_empty(n, kind_dtype(k));
        return numpy_view(o, k, "array", false);
    }
    nb::object block = nb::cast(HostBlock(bytes), nb::rv_policy::move);
    nb::object o = py_refs().numpy.attr("frombuffer")(block, kind_dtype(k));
    return numpy_view(o, k, "array", false);
}

DevArray new_array(size_t n, ElemKind k) {
    size_t bytes;
    if (__builtin_mul_overflow(n, kind_size(k), &bytes) || bytes > (size_t)PY_SSIZE_T_MAX)
        check_host_alloc(n, kind_size(k));
    if (!on_cuda()) return numpy_new(n, k);
    Device& d = device();
    nb::object o = d.cp.attr("empty")(n, kind_dtype(k));
    return cupy_view(o, k, "array", false);
}

void copy_to_host(const DevArray& a, void* dst, size_t bytes) {
    if (bytes == 0) return;
    if (!on_cuda()) {
        std::memcpy(dst, a.ptr, bytes);
        return;
    }
    a.obj.attr("data").attr("copy_to_host")(nb::int_((uintptr_t)dst), bytes);
}

DevArray array_from_host(const void* src, size_t n, ElemKind k) {
    DevArray out = new_array(n, k);
    size_t bytes = n * kind_size(k);
    if (bytes == 0) return out;
    if (!on_cuda()) {
        std::memcpy(out.ptr, src, bytes);
    } else {
        out.obj.attr("data").attr("copy_from_host")(nb::int_((uintptr_t)src), bytes);
    }
    return out;
}

DevArray records_from_host(const Fp* src, size_t n) { return array_from_host(src, n, ElemKind::Record); }

HostRecords host_records(const DevArray& a) {
    HostRecords h;
    h.n = a.n;
    if (!on_cuda()) {
        h.ptr = a.rec();
        return h;
    }
    h.storage.resize(a.n);
    copy_to_host(a, h.storage.data(), a.n * sizeof(Fp));
    h.ptr = h.storage.data();
    return h;
}

DevArray copy_records(const DevArray& a) {
    DevArray out = new_records(a.n);
    size_t bytes = a.n * sizeof(Fp);
    if (bytes == 0) return out;
    if (!on_cuda()) {
        std::memcpy(out.ptr, a.ptr, bytes);
    } else {
        out.obj.attr("data").attr("copy_from_device")(a.obj.attr("data"), bytes);
    }
    return out;
}

DevArray concat_records(const std::vector<DevArray>& parts) {
    size_t n = 0;
    for (auto& p : parts) n += p.n;
    DevArray out = new_records(n);
    size_t off = 0;
    for (auto& p : parts) {
        size_t bytes = p.n * sizeof(Fp);
        if (bytes) {
            if (!on_cuda()) {
                std::memcpy(static_cast<char*>(out.ptr) + off, p.ptr, bytes);
            } else {
                nb::object dst = out.obj.attr("data").attr("__add__")(off);
                dst.attr("copy_from_device")(p.obj.attr("data"), bytes);
            }
        }
        off += bytes;
    }
    return out;
}

void synchronize() {
    if (on_cuda()) device().cp.attr("cuda").attr("Device")().attr("synchronize")();
}

void cuda_launch(nb::handle kernel, Dim3 grid, Dim3 block, nb::handle args) {
    auto dims = [](Dim3 d) -> nb::object {
        if (d.z != 1) return nb::make_tuple(d.x, d.y, d.z);
        if (d.y != 1) return nb::make_tuple(d.x, d.y);
        return nb::make_tuple(d.x);
    };
    kernel(dims(grid), dims(block), args);
}

}  // namespace zel
