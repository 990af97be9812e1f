#include "ring_buffer.hpp"

#include <structmember.h>

#include <cstddef>

namespace tidewell {
namespace {

// A fixed-capacity ring of object references.
//
// Invariants (true whenever Python code can run):
//   - `slots` has `capacity` entries (capacity >= 1), allocated once by the constructor and
//     freed by dealloc; it is never reallocated, so a full buffer's append costs no allocation.
//   - 0 <= head < capacity and 0 <= len <= capacity.
//   - The live entries, oldest first, are slots[(head + i) % capacity] for 0 <= i < len, each
//     holding a strong reference; every other slot is nullptr.
//   - `state` changes whenever the contents change, so an iterator can tell it went stale.
//   - `dropped` counts the entries discarded by overflow since construction.
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

// ---------------------------------------------------------------------------------------------
// Core operations on a live buffer

int push_back(RingBuffer* rb, PyObject* item) {
    if (rb->len < rb->capacity) {
        rb->slots[wrap(rb, rb->head, rb->len)] = Py_NewRef(item);
        ++rb->len;
        ++rb->state;
        return 0;
    }
    if (!rb->allow_overwrite) return raise_full("append");
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
    if (dtype != nullptr && dtype != reinterpret_cast<PyObject*>(&PyBaseObject_Type)) {
        PyErr_Format(PyExc_TypeError,
                     "RingBuffer holds object references only: dtype must be object, not %R", dtype);
        return nullptr;
    }
    // Python's own integer conversion: TypeError for anything that is not an integer, and
    // OverflowError beyond the platform's index range.
    Py_ssize_t capacity = PyNumber_AsSsize_t(capacity_obj, PyExc_OverflowError);
    if (capacity == -1 && PyErr_Occurred()) return nullptr;
    if (capacity < 1) {
        PyErr_Format(PyExc_ValueError, "RingBuffer capacity must be at least 1, not %zd", capacity);
        return nullptr;
    }
    if (static_cast<size_t>(capacity) > static_cast<size_t>(PY_SSIZE_T_MAX) / sizeof(PyObject*))
        return PyErr_NoMemory();

    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    RingBuffer* rb = as_rb(self);
    rb->slots = static_cast<PyObject**>(PyMem_Calloc(static_cast<size_t>(capacity), sizeof(PyObject*)));
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

PyObject* rb_subscript(PyObject* self, PyObject* key) {
    RingBuffer* rb = as_rb(self);
    if (PyIndex_Check(key)) {
        Py_ssize_t i = PyNumber_AsSsize_t(key, PyExc_IndexError);
        if (i == -1 && PyErr_Occurred()) return nullptr;
        if (i < 0) i += rb->len;
        return rb_item(self, i);
    }
    if (PySlice_Check(key)) return rb_slice(rb, key);
    PyErr_Format(PyExc_TypeError, "RingBuffer indices must be integers or slices, not %.200s",
                 Py_TYPE(key)->tp_name);
    return nullptr;
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

PyMethodDef rb_methods[] = {
    {"append", rb_append, METH_O,
     "append(item)\n--\n\nAdd item at the tail. When the buffer is full the oldest entry is "
     "discarded, or IndexError is raised if the buffer does not overwrite."},
    {"appendleft", rb_appendleft, METH_O,
     "appendleft(item)\n--\n\nAdd item at the head. When the buffer is full the newest entry is "
     "discarded, or IndexError is raised if the buffer does not overwrite."},
    {"extend", rb_extend, METH_O, "extend(iterable)\n--\n\nAppend every item of iterable, in order."},
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
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef rb_getset[] = {
    {"dropped", rb_get_dropped, nullptr, "Number of entries discarded by overflow since construction.",
     nullptr},
    {"is_full", rb_get_is_full, nullptr, "True when the buffer holds maxlen entries.", nullptr},
    {"maxlen", rb_get_maxlen, nullptr, "The capacity of the buffer.", nullptr},
    {"allow_overwrite", rb_get_allow_overwrite, nullptr,
     "Whether appending to a full buffer discards an entry (else it raises IndexError).", nullptr},
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
