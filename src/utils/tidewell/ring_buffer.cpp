#include "ring_buffer.hpp"

#include <structmember.h>

#include <cstddef>

namespace tidewell {
namespace {

// A fixed-capacity ring of object references.
//
// Invariants (true whenever Python code can run):
//   - `slots` has max(capacity, 1) entries (capacity >= 0), allocated once by the constructor
//     and freed by dealloc; it is never reallocated, so a full buffer's append costs no
//     allocation.
//   - 0 <= head < max(capacity, 1) and 0 <= len <= capacity. A zero-capacity buffer is always
//     empty and full at once: an append that may overwrite discards its item at once (as
//     deque(maxlen=0) does), one that may not raises.
//   - The live entries, oldest first, are slots[(head + i) % capacity] for 0 <= i < len, each
//     holding a strong reference; every other slot is nullptr.
//   - `state` changes whenever the contents change, so an iterator can tell it went stale.
//   - `dropped` counts the entries discarded by overflow since construction (on a zero-capacity
//     buffer, every item appended).
//
// Releasing a reference may run a destructor, and a destructor may run Python code that uses
// this very buffer (or lets another thread in that does). So every operation re-establishes
// the invariants first and releases references last, and never touches its own state after a
// release. The interpreter lock is never released here: each operation is atomic with respect
// to every other thread's operations on the buffer.
struct RingBuffer {
    PyObject_HEAD
    PyObject** slots;
    Py_ssize_t capacity;
    Py_ssize_t head;
    Py_ssize_t len;
    unsigned long long dropped;
    size_t state;
    bool allow_overwrite;
    PyObject* weakreflist;
};

// An iterator over a RingBuffer in arrival order. `rb` is nullptr once exhausted. `state` is
// the buffer's state when the iterator was made: any change since makes the iterator raise.
struct RingBufferIter {
    PyObject_HEAD
    RingBuffer* rb;
    Py_ssize_t index;
    size_t state;
};

// Both types live for the life of the process once created (the bridge module is initialised
// once per process); the owning references are kept here so the C++ fast path can recognise the
// type without a module lookup.
PyTypeObject* ring_buffer_type = nullptr;
PyTypeObject* ring_buffer_iter_type = nullptr;

inline RingBuffer* as_rb(PyObject* o) { return reinterpret_cast<RingBuffer*>(o); }

// Index of the slot `i` places after `start`, for 0 <= start, i < capacity (their sum stays
// below 2 * capacity, which cannot overflow: capacity is bounded by the allocation size).
inline Py_ssize_t wrap(const RingBuffer* rb, Py_ssize_t start, Py_ssize_t i) {
    Py_ssize_t j = start + i;
    return j >= rb->capacity ? j - rb->capacity : j;
}

inline PyObject* entry(const RingBuffer* rb, Py_ssize_t i) { return rb->slots[wrap(rb, rb->head, i)]; }

// ---------------------------------------------------------------------------------------------
// Errors, out of line so the hot paths stay small.

[[gnu::cold, gnu::noinline]] PyObject* raise_empty(const char* op) {
    PyErr_Format(PyExc_IndexError, "%s from an empty RingBuffer", op);
    return nullptr;
}

[[gnu::cold, gnu::noinline]] int raise_full(const char* op) {
    PyErr_Format(PyExc_IndexError, "%s to a full RingBuffer that does not overwrite", op);
    return -1;
}

[[gnu::cold, gnu::noinline]] PyObject* raise_mutated(const char* during) {
    PyErr_Format(PyExc_RuntimeError, "RingBuffer mutated during %s", during);
    return nullptr;
}

[[gnu::cold, gnu::noinline]] PyObject* raise_index_range() {
    PyErr_SetString(PyExc_IndexError, "RingBuffer index out of range");
    return nullptr;
}

[[gnu::cold, gnu::noinline]] PyObject* raise_bad_index(PyObject* key) {
    PyErr_Format(PyExc_TypeError,
                 "RingBuffer indices must be integers or slices, or a list or array of integers, "
                 "not %.200s",
                 Py_TYPE(key)->tp_name);
    return nullptr;
}

// ---------------------------------------------------------------------------------------------
// numpy, for the array-facing part of the interface (dtype, __array__, arrays of positions).
// It is imported on first use, never at module load: appending and reading need none of it.

ov::object numpy_attr(const char* attr) {
    ov::object np = ov::steal(PyImport_ImportModule("numpy"));
    if (!np) return np;
    return ov::steal(PyObject_GetAttrString(np.get(), attr));
}

// 1 when `dtype` names the element type object: the type itself, numpy's object_ scalar type or
// a numpy dtype of kind "O"; 0 for anything else; -1 with an exception set. numpy is consulted
// only when it is already loaded (without it, no numpy dtype can have been made).
int dtype_is_object(PyObject* dtype) {
    if (dtype == reinterpret_cast<PyObject*>(&PyBaseObject_Type)) return 1;
    ov::object numpy_name = ov::steal(PyUnicode_FromString("numpy"));
    if (!numpy_name) return -1;
    ov::object np = ov::steal(PyImport_GetModule(numpy_name.get()));
    if (!np) return PyErr_Occurred() ? -1 : 0;
    ov::object object_type = ov::steal(PyObject_GetAttrString(np.get(), "object_"));
    if (!object_type) return -1;
    if (dtype == object_type.get()) return 1;
    ov::object dtype_type = ov::steal(PyObject_GetAttrString(np.get(), "dtype"));
    if (!dtype_type) return -1;
    int is_dtype = PyObject_IsInstance(dtype, dtype_type.get());
    if (is_dtype <= 0) return is_dtype;
    return PyObject_RichCompareBool(dtype, reinterpret_cast<PyObject*>(&PyBaseObject_Type), Py_EQ);
}

// ---------------------------------------------------------------------------------------------
// Core operations on a live buffer

// An item appended to a zero-capacity buffer that overwrites: it is overflow the moment it
// arrives, so only the count changes (the contents, and with them `state`, do not).
[[gnu::cold, gnu::noinline]] int discard(RingBuffer* rb) {
    ++rb->dropped;
    return 0;
}

int push_back(RingBuffer* rb, PyObject* item) {
    if (rb->len < rb->capacity) {
        rb->slots[wrap(rb, rb->head, rb->len)] = Py_NewRef(item);
        ++rb->len;
        ++rb->state;
        return 0;
    }
    if (!rb->allow_overwrite) return raise_full("append");
    if (rb->capacity == 0) return discard(rb);
    // Full: the tail slot is the head slot. The new item takes it, the head moves on, and the
    // displaced oldest entry is released only once the buffer is whole again.
    PyObject* oldest = rb->slots[rb->head];
    rb->slots[rb->head] = Py_NewRef(item);
    rb->head = wrap(rb, rb->head, 1);
    ++rb->dropped;
    ++rb->state;
    Py_DECREF(oldest);
    return 0;
}

int push_front(RingBuffer* rb, PyObject* item) {
    if (rb->capacity == 0) return rb->allow_overwrite ? discard(rb) : raise_full("appendleft");
    Py_ssize_t before = rb->head == 0 ? rb->capacity - 1 : rb->head - 1;
    if (rb->len < rb->capacity) {
        rb->slots[before] = Py_NewRef(item);
        rb->head = before;
        ++rb->len;
        ++rb->state;
        return 0;
    }
    if (!rb->allow_overwrite) return raise_full("appendleft");
    // Full: the slot before the head holds the newest entry. The new item replaces it and
    // becomes the head; the newest entry is released last.
    PyObject* newest = rb->slots[before];
    rb->slots[before] = Py_NewRef(item);
    rb->head = before;
    ++rb->dropped;
    ++rb->state;
    Py_DECREF(newest);
    return 0;
}

// Removes the oldest entry and hands its reference to the caller. The buffer must not be empty.
PyObject* take_front(RingBuffer* rb) {
    PyObject* item = rb->slots[rb->head];
    rb->slots[rb->head] = nullptr;
    rb->head = wrap(rb, rb->head, 1);
    --rb->len;
    ++rb->state;
    return item;
}

// Releases up to `n` entries from the head, one at a time, each removal complete before its
// release. Needs no memory.
void release_from_front(RingBuffer* rb, Py_ssize_t n) {
    for (Py_ssize_t i = 0; i < n && rb->len > 0; ++i) Py_DECREF(take_front(rb));
}

// Empties the buffer. All entries are detached first (the buffer is empty, and stays usable,
// before any of them is released), so destructors that append during the release add to an
// empty buffer and their items stay. Detaching needs a scratch array; if that cannot be had the
// entries are released from the head one at a time instead, which is just as safe.
void clear_entries(RingBuffer* rb) {
    const Py_ssize_t n = rb->len;
    if (n == 0) return;
    auto* detached = static_cast<PyObject**>(PyMem_Malloc(static_cast<size_t>(n) * sizeof(PyObject*)));
    if (detached == nullptr) {
        release_from_front(rb, n);
        return;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_ssize_t s = wrap(rb, rb->head, i);
        detached[i] = rb->slots[s];
        rb->slots[s] = nullptr;
    }
    rb->head = 0;
    rb->len = 0;
    ++rb->state;
    for (Py_ssize_t i = 0; i < n; ++i) Py_DECREF(detached[i]);
    PyMem_Free(detached);
}

// A new list of `n` slots, allocated while the buffer is in state `*state`. Allocating a list
// may start a garbage collection, which may run finalizers that change the buffer: the caller
// gets nullptr with `*retry` set in that case and must recompute its bounds.
PyObject* new_list_for(RingBuffer* rb, Py_ssize_t n, bool* retry) {
    const size_t before = rb->state;
    PyObject* list = PyList_New(n);
    *retry = false;
    if (list != nullptr && rb->state != before) {
        Py_DECREF(list);  // its slots are all empty: releasing it runs no Python code
        *retry = true;
        return nullptr;
    }
    return list;
}

// ---------------------------------------------------------------------------------------------
// Type slots and methods

PyObject* rb_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    static const char* kwlist[] = {"capacity", "dtype", "allow_overwrite", nullptr};
    PyObject* capacity_obj = nullptr;
    PyObject* dtype = nullptr;
    int allow_overwrite = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|Op:RingBuffer", const_cast<char**>(kwlist),
                                     &capacity_obj, &dtype, &allow_overwrite))
        return nullptr;
    if (dtype != nullptr) {
        int ok = dtype_is_object(dtype);
        if (ok < 0) return nullptr;
        if (ok == 0) {
            PyErr_Format(PyExc_TypeError,
                         "RingBuffer holds object references only: dtype must be object, not %R", dtype);
            return nullptr;
        }
    }
    // Python's own integer conversion: TypeError for anything that is not an integer, and
    // OverflowError beyond the platform's index range.
    Py_ssize_t capacity = PyNumber_AsSsize_t(capacity_obj, PyExc_OverflowError);
    if (capacity == -1 && PyErr_Occurred()) return nullptr;
    if (capacity < 0) {
        PyErr_Format(PyExc_ValueError, "RingBuffer capacity must not be negative, not %zd", capacity);
        return nullptr;
    }
    if (static_cast<size_t>(capacity) > static_cast<size_t>(PY_SSIZE_T_MAX) / sizeof(PyObject*))
        return PyErr_NoMemory();

    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    RingBuffer* rb = as_rb(self);
    // At least one slot, so that the slot arithmetic never needs a special case for capacity 0.
    const size_t n_slots = capacity > 0 ? static_cast<size_t>(capacity) : 1;
    rb->slots = static_cast<PyObject**>(PyMem_Calloc(n_slots, sizeof(PyObject*)));
    if (rb->slots == nullptr) {
        Py_DECREF(self);
        return PyErr_NoMemory();
    }
    rb->capacity = capacity;
    rb->allow_overwrite = allow_overwrite != 0;
    return self;
}

int rb_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    RingBuffer* rb = as_rb(self);
    for (Py_ssize_t i = 0; i < rb->len; ++i) Py_VISIT(entry(rb, i));
    return 0;
}

int rb_clear(PyObject* self) {
    clear_entries(as_rb(self));
    return 0;
}

void rb_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, rb_dealloc)
    RingBuffer* rb = as_rb(self);
    if (rb->weakreflist != nullptr) PyObject_ClearWeakRefs(self);
    // Nothing can reach the buffer any more, so no destructor can use it: release in place.
    release_from_front(rb, rb->len);
    PyMem_Free(rb->slots);
    rb->slots = nullptr;
    tp->tp_free(self);
    Py_DECREF(tp);
    Py_TRASHCAN_END
}

PyObject* rb_repr(PyObject* self) {
    RingBuffer* rb = as_rb(self);
    ov::object name = ov::steal(PyType_GetName(Py_TYPE(self)));
    if (!name) return nullptr;
    return PyUnicode_FromFormat("%U(len=%zd, capacity=%zd)", name.get(), rb->len, rb->capacity);
}

Py_ssize_t rb_length(PyObject* self) { return as_rb(self)->len; }

// Sequence item: `i` is already adjusted for negative indices by the caller.
PyObject* rb_item(PyObject* self, Py_ssize_t i) {
    RingBuffer* rb = as_rb(self);
    if (i < 0 || i >= rb->len) return raise_index_range();
    return Py_NewRef(entry(rb, i));
}

PyObject* rb_slice(RingBuffer* rb, PyObject* key) {
    Py_ssize_t start0, stop0, step;
    // Unpacking may call __index__ (Python code); the length is read only afterwards.
    if (PySlice_Unpack(key, &start0, &stop0, &step) < 0) return nullptr;
    for (;;) {
        Py_ssize_t start = start0, stop = stop0;
        Py_ssize_t n = PySlice_AdjustIndices(rb->len, &start, &stop, step);
        bool retry;
        PyObject* list = new_list_for(rb, n, &retry);
        if (retry) continue;
        if (list == nullptr) return nullptr;
        for (Py_ssize_t k = 0; k < n; ++k) PyList_SET_ITEM(list, k, Py_NewRef(entry(rb, start + k * step)));
        return list;
    }
}

// The entries at the positions listed in `positions` (a list; negative positions count from the
// tail, as for a single index), as a new list in the order listed. Every position is converted
// first (which may run __index__), then the result list is allocated (which may collect
// garbage), and only then are the positions checked against the length and the entries read, so
// that the length used is the one the entries are read under.
PyObject* rb_take(RingBuffer* rb, PyObject* positions) {
    // A copy of the list: __index__ of one position may change the caller's list.
    ov::object keys = ov::steal(PySequence_Tuple(positions));
    if (!keys) return nullptr;
    const Py_ssize_t n = PyTuple_GET_SIZE(keys.get());
    auto* at = static_cast<Py_ssize_t*>(PyMem_Malloc(static_cast<size_t>(n > 0 ? n : 1) * sizeof(Py_ssize_t)));
    if (at == nullptr) return PyErr_NoMemory();
    struct Free {
        Py_ssize_t* p;
        ~Free() { PyMem_Free(p); }
    } release_at{at};
    for (Py_ssize_t k = 0; k < n; ++k) {
        PyObject* key = PyTuple_GET_ITEM(keys.get(), k);
        // A bool would be read as a mask by array libraries and as a position by Python's own
        // sequences: too ambiguous to guess.
        if (PyBool_Check(key) || !PyIndex_Check(key)) return raise_bad_index(key);
        at[k] = PyNumber_AsSsize_t(key, PyExc_IndexError);
        if (at[k] == -1 && PyErr_Occurred()) return nullptr;
    }
    for (;;) {
        bool retry;
        PyObject* list = new_list_for(rb, n, &retry);
        if (retry) continue;
        if (list == nullptr) return nullptr;
        for (Py_ssize_t k = 0; k < n; ++k) {
            Py_ssize_t i = at[k] < 0 ? at[k] + rb->len : at[k];
            if (i < 0 || i >= rb->len) {
                Py_DECREF(list);  // the items set so far are owned by other references too
                return raise_index_range();
            }
            PyList_SET_ITEM(list, k, Py_NewRef(entry(rb, i)));
        }
        return list;
    }
}

// The positions held by a numpy array, as a list: the array must be one-dimensional and of an
// integer type (a boolean mask or an array of floats is refused as an index).
ov::object array_positions(PyObject* key) {
    ov::object kind;
    ov::object dtype = ov::steal(PyObject_GetAttrString(key, "dtype"));
    if (dtype) kind = ov::steal(PyObject_GetAttrString(dtype.get(), "kind"));
    ov::object ndim = ov::steal(PyObject_GetAttrString(key, "ndim"));
    if (!kind || !ndim) {
        PyErr_Clear();
        raise_bad_index(key);
        return ov::object();
    }
    const bool integers = PyUnicode_Check(kind.get()) &&
                          (PyUnicode_CompareWithASCIIString(kind.get(), "i") == 0 ||
                           PyUnicode_CompareWithASCIIString(kind.get(), "u") == 0);
    long dims = PyLong_Check(ndim.get()) ? PyLong_AsLong(ndim.get()) : -1;
    if (dims == -1 && PyErr_Occurred()) return ov::object();
    if (dims == 0) {
        // A scalar that is no integer (a float, a bool): refused as any non-index key is.
        raise_bad_index(key);
        return ov::object();
    }
    if (!integers || dims != 1) {
        PyErr_Format(PyExc_IndexError,
                     "RingBuffer positions must be a one-dimensional array of integers, not a "
                     "%ld-dimensional array of kind %R",
                     dims, kind.get());
        return ov::object();
    }
    return ov::steal(PyObject_CallMethod(key, "tolist", nullptr));
}

// Whether `key` presents itself as a numpy-style array (strings and tuples never do).
bool is_array(PyObject* key) {
    if (PyUnicode_Check(key) || PyBytes_Check(key) || PyTuple_Check(key)) return false;
    return PyObject_HasAttrString(key, "__array_interface__");
}

PyObject* rb_take_array(RingBuffer* rb, PyObject* key) {
    ov::object positions = array_positions(key);
    if (!positions) return nullptr;
    return rb_take(rb, positions.get());
}

PyObject* rb_subscript(PyObject* self, PyObject* key) {
    RingBuffer* rb = as_rb(self);
    if (PyIndex_Check(key)) {
        Py_ssize_t i = PyNumber_AsSsize_t(key, PyExc_IndexError);
        if (i == -1 && PyErr_Occurred()) {
            // numpy arrays have __index__, which refuses any array of one or more dimensions:
            // those are read as arrays of positions instead.
            if (!PyErr_ExceptionMatches(PyExc_TypeError) || !is_array(key)) return nullptr;
            PyErr_Clear();
            return rb_take_array(rb, key);
        }
        if (i < 0) i += rb->len;
        return rb_item(self, i);
    }
    if (PySlice_Check(key)) return rb_slice(rb, key);
    if (PyList_Check(key)) return rb_take(rb, key);
    if (is_array(key)) return rb_take_array(rb, key);
    return raise_bad_index(key);
}

PyObject* rb_iter(PyObject* self) {
    auto* it = PyObject_GC_New(RingBufferIter, ring_buffer_iter_type);
    if (it == nullptr) return nullptr;
    it->rb = reinterpret_cast<RingBuffer*>(Py_NewRef(self));
    it->index = 0;
    it->state = as_rb(self)->state;
    PyObject_GC_Track(it);
    return reinterpret_cast<PyObject*>(it);
}

PyObject* rb_append(PyObject* self, PyObject* item) {
    if (push_back(as_rb(self), item) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* rb_appendleft(PyObject* self, PyObject* item) {
    if (push_front(as_rb(self), item) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* rb_extend(PyObject* self, PyObject* iterable) {
    RingBuffer* rb = as_rb(self);
    ov::object source;
    if (iterable == self) {
        // Extending with itself: take the entries first, since every append changes the buffer.
        source = ov::steal(PySequence_List(self));
        if (!source) return nullptr;
        iterable = source.get();
    }
    ov::object it = ov::steal(PyObject_GetIter(iterable));
    if (!it) return nullptr;
    while (PyObject* item = PyIter_Next(it.get())) {
        int rc = push_back(rb, item);
        Py_DECREF(item);
        if (rc < 0) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    Py_RETURN_NONE;
}

// extendleft(iterable): the items go in front of the buffer in their own order, the first item
// becoming the head (so extendleft([a, b]) then reads a, b, old entries...). On a full buffer
// each item pushes the newest entry out, as appendleft does; the items are taken from the
// iterable before any of them is placed, so a buffer that does not overwrite is left unchanged
// when they do not all fit.
PyObject* rb_extendleft(PyObject* self, PyObject* iterable) {
    RingBuffer* rb = as_rb(self);
    ov::object items = ov::steal(PySequence_List(iterable));
    if (!items) return nullptr;
    const Py_ssize_t n = PyList_GET_SIZE(items.get());
    if (!rb->allow_overwrite && n > rb->capacity - rb->len) {
        PyErr_SetString(PyExc_IndexError,
                        "extendleft would overflow a RingBuffer that does not overwrite");
        return nullptr;
    }
    // From the last item to the first, each one placed before the head. `items` holds every
    // item, so a release done by push_front (on a full buffer) never frees one still to place.
    for (Py_ssize_t k = n - 1; k >= 0; --k) {
        if (push_front(rb, PyList_GET_ITEM(items.get(), k)) < 0) return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* rb_pop(PyObject* self, PyObject*) {
    RingBuffer* rb = as_rb(self);
    if (rb->len == 0) return raise_empty("pop");
    Py_ssize_t s = wrap(rb, rb->head, rb->len - 1);
    PyObject* item = rb->slots[s];
    rb->slots[s] = nullptr;
    --rb->len;
    ++rb->state;
    return item;
}

PyObject* rb_popleft(PyObject* self, PyObject*) {
    RingBuffer* rb = as_rb(self);
    if (rb->len == 0) return raise_empty("pop");
    return take_front(rb);
}

// popleft_many(n): up to n entries from the head, oldest first, as a list (empty when the buffer
// is). A negative n is a caller's mistake and raises ValueError.
PyObject* rb_popleft_many(PyObject* self, PyObject* arg) {
    RingBuffer* rb = as_rb(self);
    // A count beyond the index range means "everything": clamp rather than fail.
    Py_ssize_t n = PyNumber_AsSsize_t(arg, nullptr);
    if (n == -1 && PyErr_Occurred()) return nullptr;
    if (n < 0) {
        PyErr_Format(PyExc_ValueError, "popleft_many() count must be non-negative, not %zd", n);
        return nullptr;
    }
    for (;;) {
        Py_ssize_t k = n < rb->len ? n : rb->len;
        bool retry;
        PyObject* list = new_list_for(rb, k, &retry);
        if (retry) continue;
        if (list == nullptr) return nullptr;
        // The references move from the slots into the list: nothing is released.
        for (Py_ssize_t i = 0; i < k; ++i) {
            Py_ssize_t s = wrap(rb, rb->head, i);
            PyList_SET_ITEM(list, i, rb->slots[s]);
            rb->slots[s] = nullptr;
        }
        if (k > 0) {
            rb->head = wrap(rb, rb->head, k);
            rb->len -= k;
            ++rb->state;
        }
        return list;
    }
}

PyObject* rb_clear_method(PyObject* self, PyObject*) {
    clear_entries(as_rb(self));
    Py_RETURN_NONE;
}

PyObject* rb_count(PyObject* self, PyObject* value) {
    RingBuffer* rb = as_rb(self);
    const size_t state = rb->state;
    Py_ssize_t found = 0;
    for (Py_ssize_t i = 0; i < rb->len; ++i) {
        // The comparison may run Python code that changes the buffer: hold the entry meanwhile.
        ov::object item = ov::borrow(entry(rb, i));
        int eq = PyObject_RichCompareBool(item.get(), value, Py_EQ);
        if (eq < 0) return nullptr;
        if (rb->state != state) return raise_mutated("iteration");
        found += eq;
    }
    return PyLong_FromSsize_t(found);
}

// Reads an optional start/stop bound of index(): an integer, clamped like a slice bound.
int bound_arg(PyObject* o, Py_ssize_t len, Py_ssize_t* out) {
    Py_ssize_t v = PyNumber_AsSsize_t(o, nullptr);
    if (v == -1 && PyErr_Occurred()) return -1;
    if (v < 0) {
        v += len;
        if (v < 0) v = 0;
    }
    *out = v;
    return 0;
}

PyObject* rb_index(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    RingBuffer* rb = as_rb(self);
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(PyExc_TypeError, nargs < 1 ? "index expected at least 1 argument, got %zd"
                                                : "index expected at most 3 arguments, got %zd",
                     nargs);
        return nullptr;
    }
    Py_ssize_t start = 0, stop = PY_SSIZE_T_MAX;
    if (nargs > 1 && bound_arg(args[1], rb->len, &start) < 0) return nullptr;
    if (nargs > 2 && bound_arg(args[2], rb->len, &stop) < 0) return nullptr;
    if (stop > rb->len) stop = rb->len;
    const size_t state = rb->state;
    for (Py_ssize_t i = start; i < stop; ++i) {
        ov::object item = ov::borrow(entry(rb, i));
        int eq = PyObject_RichCompareBool(item.get(), args[0], Py_EQ);
        if (eq < 0) return nullptr;
        if (rb->state != state) return raise_mutated("iteration");
        if (eq) return PyLong_FromSsize_t(i);
    }
    PyErr_Format(PyExc_ValueError, "%R is not in RingBuffer", args[0]);
    return nullptr;
}

// __array__(dtype=None, copy=None): the entries, oldest first, as a new one-dimensional numpy
// array of objects (each entry one element, whatever its own type), converted to `dtype` when
// one is asked for. The array never shares memory with the buffer, so copy=False is refused as
// numpy's protocol asks.
PyObject* rb_array(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* kwlist[] = {"dtype", "copy", nullptr};
    PyObject* dtype = Py_None;
    PyObject* copy = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|OO:__array__", const_cast<char**>(kwlist), &dtype,
                                     &copy))
        return nullptr;
    if (copy == Py_False) {
        PyErr_SetString(PyExc_ValueError,
                        "a RingBuffer cannot be read as an array without copying its entries");
        return nullptr;
    }
    ov::object fromiter = numpy_attr("fromiter");
    if (!fromiter) return nullptr;
    // The importing and attribute reads above may have run Python code: take the entries now.
    ov::object entries = ov::steal(PySequence_List(self));
    if (!entries) return nullptr;
    ov::object count = ov::steal(PyLong_FromSsize_t(PyList_GET_SIZE(entries.get())));
    if (!count) return nullptr;
    ov::object array = ov::steal(PyObject_CallFunctionObjArgs(
        fromiter.get(), entries.get(), reinterpret_cast<PyObject*>(&PyBaseObject_Type), count.get(),
        nullptr));
    if (!array || dtype == Py_None) return array.release();
    int same = dtype_is_object(dtype);
    if (same < 0) return nullptr;
    if (same) return array.release();
    return PyObject_CallMethod(array.get(), "astype", "O", dtype);
}

PyObject* rb_sizeof(PyObject* self, PyObject*) {
    RingBuffer* rb = as_rb(self);
    size_t size = static_cast<size_t>(Py_TYPE(self)->tp_basicsize) +
                  static_cast<size_t>(rb->capacity) * sizeof(PyObject*);
    return PyLong_FromSize_t(size);
}

PyObject* rb_get_dropped(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(as_rb(self)->dropped); }
PyObject* rb_get_is_full(PyObject* self, void*) {
    RingBuffer* rb = as_rb(self);
    return PyBool_FromLong(rb->len == rb->capacity);
}
PyObject* rb_get_maxlen(PyObject* self, void*) { return PyLong_FromSsize_t(as_rb(self)->capacity); }
PyObject* rb_get_allow_overwrite(PyObject* self, void*) {
    return PyBool_FromLong(as_rb(self)->allow_overwrite);
}
// numpy's dtype of object, as array code compares it (== object holds too).
PyObject* rb_get_dtype(PyObject*, void*) {
    ov::object dtype_type = numpy_attr("dtype");
    if (!dtype_type) return nullptr;
    return PyObject_CallOneArg(dtype_type.get(), reinterpret_cast<PyObject*>(&PyBaseObject_Type));
}
PyObject* rb_get_shape(PyObject* self, void*) { return Py_BuildValue("(n)", as_rb(self)->len); }

PyMethodDef rb_methods[] = {
    {"append", rb_append, METH_O,
     "append(item)\n--\n\nAdd item at the tail. When the buffer is full the oldest entry is "
     "discarded, or IndexError is raised if the buffer does not overwrite."},
    {"appendleft", rb_appendleft, METH_O,
     "appendleft(item)\n--\n\nAdd item at the head. When the buffer is full the newest entry is "
     "discarded, or IndexError is raised if the buffer does not overwrite."},
    {"extend", rb_extend, METH_O, "extend(iterable)\n--\n\nAppend every item of iterable, in order."},
    {"extendleft", rb_extendleft, METH_O,
     "extendleft(iterable)\n--\n\nPut the items of iterable in front, in their order: the first "
     "item becomes the head. On a full buffer each item discards the newest entry, or, if the "
     "buffer does not overwrite, IndexError is raised and nothing is added."},
    {"pop", rb_pop, METH_NOARGS, "pop()\n--\n\nRemove and return the newest entry."},
    {"popleft", rb_popleft, METH_NOARGS, "popleft()\n--\n\nRemove and return the oldest entry."},
    {"popleft_many", rb_popleft_many, METH_O,
     "popleft_many(n)\n--\n\nRemove up to n entries from the head and return them, oldest first, "
     "as a list. n must not be negative."},
    {"clear", rb_clear_method, METH_NOARGS, "clear()\n--\n\nRemove every entry."},
    {"count", rb_count, METH_O, "count(value)\n--\n\nNumber of entries equal to value."},
    {"index", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(rb_index)), METH_FASTCALL,
     "index(value, start=0, stop=sys.maxsize)\n--\n\nPosition of the first entry equal to value."},
    {"__sizeof__", rb_sizeof, METH_NOARGS, "Size of the buffer in memory, in bytes."},
    {"__array__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(rb_array)),
     METH_VARARGS | METH_KEYWORDS,
     "__array__(dtype=None, copy=None)\n--\n\nThe entries, oldest first, as a new numpy array "
     "of objects."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef rb_getset[] = {
    {"dropped", rb_get_dropped, nullptr, "Number of entries discarded by overflow since construction.",
     nullptr},
    {"is_full", rb_get_is_full, nullptr, "True when the buffer holds maxlen entries.", nullptr},
    {"maxlen", rb_get_maxlen, nullptr, "The capacity of the buffer.", nullptr},
    {"allow_overwrite", rb_get_allow_overwrite, nullptr,
     "Whether appending to a full buffer discards an entry (else it raises IndexError).", nullptr},
    {"dtype", rb_get_dtype, nullptr, "The element type: numpy's dtype of object.", nullptr},
    {"shape", rb_get_shape, nullptr, "(len(self),), as for a one-dimensional array.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef rb_members[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(RingBuffer, weakreflist), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot rb_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "RingBuffer(capacity, dtype=object, allow_overwrite=True)\n--\n\n"
                    "A fixed-capacity ring of object references. Storage for every slot is "
                    "reserved at construction; append never allocates.")},
    {Py_tp_new, reinterpret_cast<void*>(rb_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(rb_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(rb_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(rb_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(rb_repr)},
    {Py_tp_iter, reinterpret_cast<void*>(rb_iter)},
    {Py_tp_methods, rb_methods},
    {Py_tp_getset, rb_getset},
    {Py_tp_members, rb_members},
    {Py_sq_length, reinterpret_cast<void*>(rb_length)},
    {Py_sq_item, reinterpret_cast<void*>(rb_item)},
    {Py_mp_length, reinterpret_cast<void*>(rb_length)},
    {Py_mp_subscript, reinterpret_cast<void*>(rb_subscript)},
    {0, nullptr},
};

PyType_Spec rb_spec = {
    "orvane.tamsel.utils.tidewell.RingBuffer",
    sizeof(RingBuffer),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_SEQUENCE,
    rb_slots,
};

// ---------------------------------------------------------------------------------------------
// Iterator

int it_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<RingBufferIter*>(self)->rb);
    return 0;
}

int it_clear(PyObject* self) {
    auto* it = reinterpret_cast<RingBufferIter*>(self);
    RingBuffer* rb = it->rb;
    it->rb = nullptr;
    Py_XDECREF(rb);
    return 0;
}

void it_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    it_clear(self);
    PyObject_GC_Del(self);
    Py_DECREF(tp);
}

PyObject* it_next(PyObject* self) {
    auto* it = reinterpret_cast<RingBufferIter*>(self);
    RingBuffer* rb = it->rb;
    if (rb == nullptr) return nullptr;
    if (rb->state != it->state) return raise_mutated("iteration");
    if (it->index >= rb->len) {
        it_clear(self);  // exhausted: let go of the buffer
        return nullptr;
    }
    return Py_NewRef(entry(rb, it->index++));
}

PyObject* it_length_hint(PyObject* self, PyObject*) {
    auto* it = reinterpret_cast<RingBufferIter*>(self);
    Py_ssize_t n = 0;
    if (it->rb != nullptr && it->rb->state == it->state) n = it->rb->len - it->index;
    return PyLong_FromSsize_t(n);
}

PyMethodDef it_methods[] = {
    {"__length_hint__", it_length_hint, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot it_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(it_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(it_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(it_clear)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(it_next)},
    {Py_tp_methods, it_methods},
    {0, nullptr},
};

PyType_Spec it_spec = {
    "orvane.tamsel.utils.tidewell.ring_buffer_iterator",
    sizeof(RingBufferIter),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    it_slots,
};

int register_as_sequence(PyObject* type) {
    ov::object abc = ov::steal(PyImport_ImportModule("collections.abc"));
    if (!abc) return -1;
    ov::object sequence = ov::steal(PyObject_GetAttrString(abc.get(), "Sequence"));
    if (!sequence) return -1;
    ov::object res = ov::steal(PyObject_CallMethod(sequence.get(), "register", "O", type));
    return res ? 0 : -1;
}

}  // namespace

PyTypeObject* ring_buffer_create_type(PyObject* module) {
    ov::object iter_type = ov::steal(PyType_FromModuleAndSpec(module, &it_spec, nullptr));
    if (!iter_type) return nullptr;
    ov::object type = ov::steal(PyType_FromModuleAndSpec(module, &rb_spec, nullptr));
    if (!type) return nullptr;
    if (register_as_sequence(type.get()) < 0) return nullptr;
    // Kept for the life of the process (see the declarations above).
    PyTypeObject* old_type = ring_buffer_type;
    PyTypeObject* old_iter = ring_buffer_iter_type;
    ring_buffer_type = reinterpret_cast<PyTypeObject*>(Py_NewRef(type.get()));
    ring_buffer_iter_type = reinterpret_cast<PyTypeObject*>(iter_type.release());
    Py_XDECREF(old_type);
    Py_XDECREF(old_iter);
    return reinterpret_cast<PyTypeObject*>(type.release());
}

int ring_buffer_append(PyObject* rb, PyObject* item) { return push_back(as_rb(rb), item); }

bool ring_buffer_check_exact(PyObject* o) {
    return ring_buffer_type != nullptr && Py_TYPE(o) == ring_buffer_type;
}

}  // namespace tidewell
