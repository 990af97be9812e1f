// The per-instance attribute storage of a class with a managed __dict__, as CPython 3.11 lays
// it out, for the event constructor's direct stores (event.cpp).
//
// This layout is the interpreter's private business: it is declared here for 3.11 exactly and
// nowhere else, and the constructor uses it only after a check at import, which builds one
// event through the generic attribute assignment and one through these stores and compares
// everything a user can observe (see inline_stores_agree in event.cpp). Any other version, or
// any difference, leaves the constructor on the generic route.
//
// CPython 3.11 (Include/internal/pycore_object.h, pycore_dict.h): an instance of a heap type
// with Py_TPFLAGS_MANAGED_DICT is preceded by two pointers in front of its GC header,
//
//     [values pointer][dict pointer][PyGC_Head: 2 pointers][PyObject ...]
//
// While the instance has no dict of its own (dict pointer NULL), its attributes live in the
// values array: values[i] is the attribute whose name is entry i of the class's shared keys
// (ht_cached_keys), NULL if unset. object.__new__ allocates the array with every value NULL,
// as many values as the shared keys can hold at that moment; the shared keys only ever gain
// entries and never move one, so an index the interpreter used once stays valid for every
// later instance while the class keeps the same keys object. In front of the array lies a
// byte prefix:
//
//     ((uint8_t*)values)[-1]        the prefix's size in bytes (a multiple of a pointer)
//     ((uint8_t*)values)[-2]        how many attributes were set
//     ((uint8_t*)values)[-3 - j]    the index of the j-th attribute set (insertion order)
//
// Insertion order is what the instance's __dict__ shows when it is made from the array.
#pragma once

#include <Python.h>

#include <cstdint>

#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000
#define EVENTS_HAVE_INLINE_VALUES 1
#else
#define EVENTS_HAVE_INLINE_VALUES 0
#endif

#if EVENTS_HAVE_INLINE_VALUES

namespace events::inline_values {

// The most attributes a class's shared keys hold on 3.11 (SHARED_KEYS_MAX_SIZE); an index
// into the array always fits one byte of the prefix.
inline constexpr int kMaxEntries = 30;

// The GC header is two pointers and the managed-dict pair two more: the values pointer is the
// fourth pointer-sized word before the object, the dict pointer the third.
inline constexpr int kValuesWord = 4;
inline constexpr int kDictWord = 3;
static_assert(sizeof(PyObject*) == sizeof(void*) && sizeof(void*) >= 4,
              "the pre-header is counted in pointer-sized words");
static_assert(kMaxEntries < 256, "indices are kept in single bytes");
static_assert((Py_TPFLAGS_MANAGED_DICT) == (1UL << 4), "3.11's flag for a managed dict");

// Whether instances of `tp` carry the pre-header above (a GC type with a managed dict).
inline bool has_layout(PyTypeObject* tp) {
    return PyType_HasFeature(tp, Py_TPFLAGS_MANAGED_DICT) && PyType_IS_GC(tp) &&
           PyType_HasFeature(tp, Py_TPFLAGS_HEAPTYPE);
}

inline PyObject** values_of(PyObject* obj) {
    return *(reinterpret_cast<PyObject***>(obj) - kValuesWord);
}

inline PyObject* dict_of(PyObject* obj) {
    return *(reinterpret_cast<PyObject**>(obj) - kDictWord);
}

inline std::uint8_t* prefix_of(PyObject** values) {
    return reinterpret_cast<std::uint8_t*>(values);
}

// The shared keys of a heap type, compared by address only (their layout stays private).
inline const void* shared_keys_of(PyTypeObject* tp) {
    return reinterpret_cast<PyHeapTypeObject*>(tp)->ht_cached_keys;
}

}  // namespace events::inline_values

#endif
