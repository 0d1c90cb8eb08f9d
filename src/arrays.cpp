#include "arrays.h"

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/ndarraytypes.h>

#include <cstdint>
#include <cstdlib>
#if defined(__linux__)
#include <sys/mman.h>
#endif
#include <limits>
#include <new>
#include <numeric>
#include <unordered_map>
#include <utility>
#include <vector>

namespace ondulix {

// ---------------------------------------------------------------------------
// NumPy's function table
//
// The table is taken from the `_ARRAY_API` capsule of numpy.core.multiarray
// rather than through import_array(), so that importing ondulix touches
// nothing of NumPy. The slots are fixed by NumPy's C API.

namespace {

constexpr int slot_array_type = 2;
constexpr int slot_descr_from_type = 45;
constexpr int slot_new_from_descr = 94;
constexpr int slot_equiv_types = 182;
constexpr int slot_feature_version = 211;

// NumPy 2 moved the descriptor's element size; the feature version of the
// running NumPy tells which layout its descriptors have.
constexpr unsigned numpy2_feature_version = 0x12;

struct NumpyApi {
    void **table = nullptr;
    bool numpy2_descriptors = false;
};

NumpyApi numpy_api_cache;

const NumpyApi &numpy_api() {
    if (numpy_api_cache.table != nullptr)
        return numpy_api_cache;
    // Both references are kept for the life of the process: the table lives
    // inside the capsule.
    PyObject *module = PyImport_ImportModule("numpy.core.multiarray");
    if (module == nullptr) {
        PyErr_Clear();
        fail_internal("Failed to import NumPy module");
    }
    PyObject *capsule = PyObject_GetAttrString(module, "_ARRAY_API");
    if (capsule == nullptr) {
        PyErr_Clear();
        fail_internal("Failed to get NumPy API capsule");
    }
    void **table = static_cast<void **>(PyCapsule_GetPointer(capsule, nullptr));
    if (table == nullptr) {
        PyErr_Clear();
        fail_internal("NumPy API capsule holds no function table");
    }
    auto feature_version = reinterpret_cast<unsigned (*)()>(table[slot_feature_version]);
    numpy_api_cache.numpy2_descriptors = feature_version() >= numpy2_feature_version;
    numpy_api_cache.table = table;
    return numpy_api_cache;
}

PyTypeObject *array_type(const NumpyApi &api) {
    return static_cast<PyTypeObject *>(api.table[slot_array_type]);
}

[[noreturn]] void fail_api_call() {
    PyErr_Print();
    fail_internal("Python API call failed");
}

// The native float64 descriptor, a new reference.
Object float64_descriptor(const NumpyApi &api) {
    auto descr_from_type =
        reinterpret_cast<PyArray_Descr *(*)(int)>(api.table[slot_descr_from_type]);
    PyArray_Descr *descr = descr_from_type(NPY_DOUBLE);
    if (descr == nullptr)
        fail_api_call();
    return Object::steal(reinterpret_cast<PyObject *>(descr));
}

npy_intp element_size(const PyArray_Descr *descr, bool numpy2) {
    if (numpy2)
        return reinterpret_cast<const _PyArray_DescrNumPy2 *>(descr)->elsize;
    return reinterpret_cast<const PyArray_DescrProto *>(descr)->elsize;
}

PyArrayObject *as_array(PyObject *object) {
    return reinterpret_cast<PyArrayObject *>(object);
}

[[noreturn]] void fail_dimensionality(int ndim) {
    std::string message =
        "dimensionality mismatch:\n from=" + std::to_string(ndim) + ", to=1";
    throw PythonError(PyExc_TypeError, message.c_str());
}

[[noreturn]] void fail_element_type(Handle descr, Handle float64) {
    std::string message = "type mismatch:\n from=" + str_utf8(descr) +
                          ", to=" + str_utf8(float64);
    throw PythonError(PyExc_TypeError, message.c_str());
}

} // namespace

TimeArray extract_time_array(Handle object) {
    const NumpyApi &api = numpy_api();
    PyTypeObject *type = Py_TYPE(object.ptr());
    if (type != array_type(api) && !PyType_IsSubtype(type, array_type(api)))
        fail_conversion(object, "numpy.ndarray");

    PyArrayObject *array = as_array(object.ptr());
    if (PyArray_NDIM(array) != 1)
        fail_dimensionality(PyArray_NDIM(array));

    Object float64 = float64_descriptor(api);
    PyArray_Descr *descr = PyArray_DESCR(array);
    auto equiv_types = reinterpret_cast<unsigned char (*)(PyArray_Descr *, PyArray_Descr *)>(
        api.table[slot_equiv_types]);
    if (reinterpret_cast<PyObject *>(descr) != float64.ptr() &&
        !equiv_types(descr, reinterpret_cast<PyArray_Descr *>(float64.ptr())))
        fail_element_type(reinterpret_cast<PyObject *>(descr), float64);
    return TimeArray{object.ptr()};
}

// ---------------------------------------------------------------------------
// The shared borrow registry
//
// NumPy-using extension modules in one process coordinate direct access to
// array memory through one record published on numpy.core.multiarray: any
// number of read borrows of the same memory may coexist, a write borrow
// excludes every other borrow of overlapping memory. The first module that
// needs the registry creates it; everyone else calls the operations of the
// record found there. All of it runs under the GIL, which serialises it.

// The layout shared with every cooperating module.
struct BorrowRecord {
    std::uint64_t version;
    void *state;
    std::int32_t (*acquire_read)(void *state, PyObject *array);
    std::int32_t (*acquire_write)(void *state, PyObject *array);
    void (*release_read)(void *state, PyObject *array);
    void (*release_write)(void *state, PyObject *array);
};
static_assert(sizeof(BorrowRecord) == 48);

namespace {

constexpr const char registry_attribute[] = "_array_borrow_registry";
constexpr std::uint64_t registry_version = 1;

constexpr std::int32_t borrow_granted = 0;
constexpr std::int32_t borrow_conflict = -1;
constexpr std::int32_t borrow_not_writeable = -2;

// The memory an array can reach: [start, end) in bytes, its data address,
// and the gcd of its strides, which tells which addresses inside the range
// it actually touches. Arithmetic wraps like addresses do, so arbitrary
// strides cannot overflow.
struct Extent {
    std::uintptr_t start, end, data, divisor;
    bool operator==(const Extent &other) const {
        return start == other.start && end == other.end && data == other.data &&
               divisor == other.divisor;
    }
};

// A count k > 0 is k read borrows, -1 is one write borrow.
struct Borrow {
    Extent extent;
    std::int64_t count;
};
constexpr std::int64_t write_count = -1;

using Owners = std::unordered_map<const PyObject *, std::vector<Borrow>>;

struct RegistryState {
    PyTypeObject *array_type;
    bool numpy2_descriptors;
    // Borrows by memory owner; an owner appears only while it has one.
    Owners owners;
    // The entry of the last owner to lose its last borrow, kept out of the
    // table so that the next new owner reuses its node and vector: a borrow
    // of an array nobody else borrows then allocates nothing.
    Owners::node_type spare;
};

// One allocation holds what the capsule owns: the record (first, as the
// capsule's pointer), the state and the capsule's name.
struct Registry {
    BorrowRecord record;
    RegistryState state;
    char name[sizeof(registry_attribute)];
};

std::uintptr_t magnitude(npy_intp value) {
    const auto bits = static_cast<std::uintptr_t>(value);
    return value < 0 ? std::uintptr_t(0) - bits : bits;
}

// Follow base arrays down to the object that owns the memory.
const PyObject *memory_owner(PyObject *array, PyTypeObject *array_type) {
    PyObject *current = array;
    for (;;) {
        PyObject *base = PyArray_BASE(as_array(current));
        if (base == nullptr)
            return current;
        if (!PyObject_TypeCheck(base, array_type))
            return base;
        current = base;
    }
}

Extent borrow_extent(PyObject *object, const RegistryState &state) {
    PyArrayObject *array = as_array(object);
    const auto data = reinterpret_cast<std::uintptr_t>(PyArray_DATA(array));
    const int ndim = PyArray_NDIM(array);
    const auto size = static_cast<std::uintptr_t>(
        element_size(PyArray_DESCR(array), state.numpy2_descriptors));
    // A zero-dimensional array is the one element at its data address, like
    // an array whose strides are all zero. (Taken as an empty range, it would
    // let a write borrow of a[3, ...] coexist with any borrow of a[3:].)
    if (ndim == 0)
        return Extent{data, data + size, data, 0};

    const npy_intp *dims = PyArray_DIMS(array);
    const npy_intp *strides = PyArray_STRIDES(array);
    std::uintptr_t below = 0, above = 0, divisor = 0;
    bool empty = false;
    for (int k = 0; k < ndim; ++k) {
        divisor = std::gcd(divisor, magnitude(strides[k]));
        if (dims[k] == 0) {
            empty = true;
            continue;
        }
        const std::uintptr_t span =
            static_cast<std::uintptr_t>(dims[k] - 1) * magnitude(strides[k]);
        (strides[k] < 0 ? below : above) += span;
    }
    if (empty)
        return Extent{data, data, data, divisor};
    return Extent{data - below, data + above + size, data, divisor};
}

bool conflict(const Extent &a, const Extent &b) {
    if (!(a.start < b.end && b.start < a.end))
        return false;
    const std::uintptr_t divisor = std::gcd(a.divisor, b.divisor);
    const std::uintptr_t distance = a.data > b.data ? a.data - b.data : b.data - a.data;
    // Extents whose strides are all zero touch only their data address.
    return divisor == 0 ? distance == 0 : distance % divisor == 0;
}

Borrow *find_identical(std::vector<Borrow> &borrows, const Extent &extent) {
    for (Borrow &borrow : borrows)
        if (borrow.extent == extent)
            return &borrow;
    return nullptr;
}

bool conflicts_with_write(const std::vector<Borrow> &borrows, const Extent &extent) {
    for (const Borrow &borrow : borrows)
        if (borrow.count == write_count && conflict(borrow.extent, extent))
            return true;
    return false;
}

bool conflicts_with_any(const std::vector<Borrow> &borrows, const Extent &extent) {
    for (const Borrow &borrow : borrows)
        if (conflict(borrow.extent, extent))
            return true;
    return false;
}

// The entry of owner, created (from the spare, if there is one) when the
// owner has no borrow yet.
Owners::iterator owner_entry(RegistryState &state, const PyObject *owner) {
    if (auto found = state.owners.find(owner); found != state.owners.end())
        return found;
    if (state.spare.empty())
        return state.owners.emplace(owner, std::vector<Borrow>()).first;
    state.spare.key() = owner;
    return state.owners.insert(std::move(state.spare)).position;
}

// A spare keeps at most this many borrows' worth of capacity.
constexpr std::size_t spare_capacity = 4;

// Take the entry out of the table if it holds no borrow any more.
void drop_if_empty(RegistryState &state, Owners::iterator entry) {
    if (!entry->second.empty())
        return;
    state.spare = state.owners.extract(entry);
    if (state.spare.mapped().capacity() > spare_capacity)
        state.spare.mapped() = std::vector<Borrow>();
}

// After a failed allocation: the owner's entry may have been created empty.
void drop_if_empty(RegistryState &state, const PyObject *owner) {
    if (auto found = state.owners.find(owner); found != state.owners.end())
        drop_if_empty(state, found);
}

std::int32_t acquire_read(void *state_ptr, PyObject *array) {
    auto &state = *static_cast<RegistryState *>(state_ptr);
    const PyObject *owner = memory_owner(array, state.array_type);
    const Extent extent = borrow_extent(array, state);
    try {
        std::vector<Borrow> &borrows = owner_entry(state, owner)->second;
        if (Borrow *same = find_identical(borrows, extent)) {
            if (same->count == write_count ||
                same->count == std::numeric_limits<std::int64_t>::max())
                return borrow_conflict;
            ++same->count;
            return borrow_granted;
        }
        // A conflict needs another borrow, so the entry is not empty.
        if (conflicts_with_write(borrows, extent))
            return borrow_conflict;
        borrows.push_back(Borrow{extent, 1});
        return borrow_granted;
    } catch (const std::bad_alloc &) {
        // Without memory to record the borrow it cannot be granted.
        drop_if_empty(state, owner);
        return borrow_conflict;
    }
}

std::int32_t acquire_write(void *state_ptr, PyObject *array) {
    auto &state = *static_cast<RegistryState *>(state_ptr);
    if (!(PyArray_FLAGS(as_array(array)) & NPY_ARRAY_WRITEABLE))
        return borrow_not_writeable;
    const PyObject *owner = memory_owner(array, state.array_type);
    const Extent extent = borrow_extent(array, state);
    try {
        std::vector<Borrow> &borrows = owner_entry(state, owner)->second;
        if (conflicts_with_any(borrows, extent) || find_identical(borrows, extent))
            return borrow_conflict;
        borrows.push_back(Borrow{extent, write_count});
        return borrow_granted;
    } catch (const std::bad_alloc &) {
        drop_if_empty(state, owner);
        return borrow_conflict;
    }
}

// Give back one borrow of the given kind. A release that matches no such
// borrow is ignored, so a peer's mistake cannot drop borrows of others.
void release(void *state_ptr, PyObject *array, bool write) {
    auto &state = *static_cast<RegistryState *>(state_ptr);
    auto owner = state.owners.find(memory_owner(array, state.array_type));
    if (owner == state.owners.end())
        return;
    std::vector<Borrow> &borrows = owner->second;
    Borrow *borrow = find_identical(borrows, borrow_extent(array, state));
    if (borrow == nullptr || (borrow->count == write_count) != write)
        return;
    if (!write && --borrow->count > 0)
        return;
    *borrow = borrows.back();
    borrows.pop_back();
    drop_if_empty(state, owner);
}

void release_read(void *state, PyObject *array) { release(state, array, false); }
void release_write(void *state, PyObject *array) { release(state, array, true); }

void destroy_registry(PyObject *capsule) {
    delete static_cast<Registry *>(PyCapsule_GetPointer(capsule, registry_attribute));
}

// Publish a new, empty registry on the module; returns the capsule.
Object create_registry(Handle module, Handle attribute, const NumpyApi &api) {
    auto *registry = new Registry{
        BorrowRecord{registry_version, nullptr, acquire_read, acquire_write,
                     release_read, release_write},
        RegistryState{array_type(api), api.numpy2_descriptors, {}, {}},
        {}};
    registry->record.state = &registry->state;
    std::copy(std::begin(registry_attribute), std::end(registry_attribute),
              registry->name);
    PyObject *capsule = PyCapsule_New(registry, registry->name, destroy_registry);
    if (capsule == nullptr) {
        delete registry;
        raise_pending();
    }
    Object owned = Object::steal(capsule);
    if (PyObject_SetAttr(module.ptr(), attribute.ptr(), owned.ptr()) < 0)
        raise_pending();
    return owned;
}

[[noreturn]] void fail_registry_version(std::uint64_t version) {
    std::string message = "version " + std::to_string(version) +
                          " of the shared borrow registry is not supported";
    throw PythonError(PyExc_TypeError, message.c_str());
}

// The record in use; the capsule that holds it is kept alive with it, so the
// record outlives a later change of the attribute.
const BorrowRecord *registry_record_cache = nullptr;

const BorrowRecord *find_registry_record() {
    const NumpyApi &api = numpy_api();
    Object name = check(PyUnicode_FromString("numpy.core.multiarray"));
    Object module = check(PyImport_Import(name.ptr()));
    Object attribute = check(PyUnicode_FromString(registry_attribute));
    Object capsule = Object::steal(PyObject_GetAttr(module.ptr(), attribute.ptr()));
    // The import and the lookup can run Python code and let another thread
    // finish a lookup of its own: then that registry is the one in use.
    if (registry_record_cache != nullptr) {
        PyErr_Clear();
        return registry_record_cache;
    }
    if (!capsule) {
        PyErr_Clear();
        capsule = create_registry(module, attribute, api);
    } else if (Py_TYPE(capsule.ptr()) != &PyCapsule_Type) {
        fail_conversion(capsule, "PyCapsule");
    }
    const char *capsule_name = PyCapsule_GetName(capsule.ptr());
    auto *record =
        static_cast<const BorrowRecord *>(PyCapsule_GetPointer(capsule.ptr(), capsule_name));
    PyErr_Clear();
    if (record == nullptr)
        throw PythonError(PyExc_TypeError, "the shared borrow registry capsule holds no record");
    if (record->version == 0)
        fail_registry_version(record->version);
    capsule.release();
    return record;
}

const BorrowRecord &registry_record() {
    if (registry_record_cache != nullptr)
        return *registry_record_cache;
    try {
        registry_record_cache = find_registry_record();
    } catch (PythonError &error) {
        fail_internal("Interal borrow checking API error: " + describe_error(error));
    }
    return *registry_record_cache;
}

} // namespace

ReadBorrow::ReadBorrow(PyObject *array) : array_(array), record_(&registry_record()) {
    const std::int32_t rc = record_->acquire_read(record_->state, array);
    if (rc == borrow_granted)
        return;
    if (rc == borrow_conflict)
        fail_internal("forced an error result: the time array is already borrowed");
    fail_internal("Unexpected return code " + std::to_string(rc) +
                  " from borrow checking API");
}

ReadBorrow::~ReadBorrow() { record_->release_read(record_->state, array_); }

// ---------------------------------------------------------------------------
// The per-call frame

ReadOnlyView::ReadOnlyView(TimeArray time) : borrow_(time.array) {
    PyArrayObject *array = as_array(time.array);
    if (!(PyArray_FLAGS(array) & (NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_F_CONTIGUOUS)))
        fail_internal("forced an error result: the time array is not contiguous");
    std::uint64_t size = 1;
    for (int k = 0; k < PyArray_NDIM(array); ++k)
        size *= static_cast<std::uint64_t>(PyArray_DIMS(array)[k]);
    data_ = static_cast<const unsigned char *>(PyArray_DATA(array));
    size_ = size;
}

// Result buffers come from a block kept between calls. A block handed back
// to the C library and allocated again has its pages faulted in afresh on
// every call, which made large calls about a third slower. One block of at
// most retained_limit bytes is kept. It serves one call at a time: a call
// that finds it taken or too small allocates its own (taken, for instance,
// when the hook that prints a failed array creation calls back into us).
namespace {

// As much as the C library itself keeps in its heap before it maps large
// blocks separately (its largest dynamic mmap threshold).
constexpr std::size_t retained_limit = std::size_t(32) << 20;

struct Block {
    void *data = nullptr;
    std::size_t capacity = 0;
};

Block spare_block;

// Ask the kernel to back the whole 2 MiB pages inside a large block with huge
// pages, as NumPy does for its own large arrays: the kept block then costs
// far fewer TLB misses while the samples are written and copied (2-3 % of a
// call at n = 10^6 for the cheapest waveforms).
void advise_huge_pages(const Block &block) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::uintptr_t huge_page = std::uintptr_t(2) << 20;
    const auto begin = reinterpret_cast<std::uintptr_t>(block.data);
    const std::uintptr_t first = (begin + huge_page - 1) & ~(huge_page - 1);
    const std::uintptr_t last = (begin + block.capacity) & ~(huge_page - 1);
    if (last > first)
        madvise(reinterpret_cast<void *>(first), last - first, MADV_HUGEPAGE);
#else
    (void)block;
#endif
}

Block take_block(std::size_t bytes) {
    if (spare_block.capacity >= bytes)
        return std::exchange(spare_block, Block{});
    // Too small to serve: give it up before allocating, not after.
    std::free(std::exchange(spare_block, Block{}).data);
    const Block block{std::malloc(bytes), bytes};
    if (block.data != nullptr)
        advise_huge_pages(block);
    return block;
}

// Keep the larger of the block and the spare, within the limit.
void give_back(Block block) {
    if (block.capacity > retained_limit || block.capacity <= spare_block.capacity) {
        std::free(block.data);
        return;
    }
    std::free(std::exchange(spare_block, block).data);
}

} // namespace

ResultBuffer::ResultBuffer(std::uint64_t size) {
    if (size == 0)
        return;
    if (size <= std::numeric_limits<std::size_t>::max() / sizeof(double)) {
        const Block block = take_block(std::size_t(size) * sizeof(double));
        data_ = static_cast<double *>(block.data);
        capacity_ = block.capacity;
    }
    if (data_ == nullptr) {
        // Reported as an ordinary MemoryError: the interpreter and the
        // caller's session survive a request that is merely too large.
        std::string message = "memory allocation of " +
                              std::to_string(size * sizeof(double)) + " bytes failed";
        throw PythonError(PyExc_MemoryError, message.c_str());
    }
}

ResultBuffer::~ResultBuffer() {
    if (data_ != nullptr)
        give_back(Block{data_, capacity_});
}

Object new_waveform_array(const ResultBuffer &buffer, std::uint64_t size) {
    const NumpyApi &api = numpy_api();
    Object descr = float64_descriptor(api);
    auto new_from_descr = reinterpret_cast<PyObject *(*)(PyTypeObject *, PyArray_Descr *, int,
                                                          const npy_intp *, const npy_intp *,
                                                          void *, int, PyObject *)>(
        api.table[slot_new_from_descr]);
    const npy_intp dims[1] = {static_cast<npy_intp>(size)};
    // NewFromDescr takes over the descriptor reference, also when it fails.
    PyObject *result = new_from_descr(array_type(api),
                                      reinterpret_cast<PyArray_Descr *>(descr.release()),
                                      1, dims, nullptr, nullptr, 0, nullptr);
    if (result == nullptr)
        fail_api_call();
    if (size > 0)
        std::memcpy(PyArray_DATA(as_array(result)), buffer.data(), size * sizeof(double));
    return Object::steal(result);
}

} // namespace ondulix
