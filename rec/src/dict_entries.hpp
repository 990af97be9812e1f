// A record's fields read straight from its instance dict's entry table, on CPython 3.11, for
// the line encoder's walk over a record (line_encoder.cpp): the step PyDict_Next takes, without
// its call and its general checks, for the one kind of dict records have.
//
// The table's layout is the interpreter's private business: it is declared here for 3.11
// exactly, and used only after a check when the module loads (entries_agree below), which walks
// dicts of every form a record's dict takes (grown, with fields deleted and set again, emptied)
// both ways and compares them. Any other version, or any difference, leaves the encoder on
// PyDict_Next.
//
// CPython 3.11 (Include/internal/pycore_dict.h): a dict whose values live in its keys object
// (a "combined" table, ma_values NULL) holds its entries in insertion order after the hash
// index, which is 2^dk_log2_index_bytes bytes long:
//
//     [dk_refcnt][dk_log2_size, dk_log2_index_bytes, dk_kind, dk_version][dk_usable]
//     [dk_nentries][index: 2^dk_log2_index_bytes bytes][entries ...]
//
// When every key is an exact str (dk_kind 1, "unicode"), an entry is {key, value}; a deleted
// entry has both NULL, and entries [0, dk_nentries) are the ones ever used. Other kinds (a key
// of another type; a split table sharing a class's keys) are left to PyDict_Next.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000
#define TIDEREC_DICT_ENTRIES 1
#else
#define TIDEREC_DICT_ENTRIES 0
#endif

namespace tiderec::dict_entries {

#if TIDEREC_DICT_ENTRIES

struct Keys {  // the head of 3.11's PyDictKeysObject
    Py_ssize_t dk_refcnt;
    uint8_t dk_log2_size;
    uint8_t dk_log2_index_bytes;
    uint8_t dk_kind;
    uint32_t dk_version;
    Py_ssize_t dk_usable;
    Py_ssize_t dk_nentries;
    char dk_indices[1];
};

struct Entry {  // 3.11's PyDictUnicodeEntry
    PyObject* key;
    PyObject* value;
};

constexpr uint8_t kind_unicode = 1;

// Whether the module's check found the layout above to be the interpreter's (set once, when
// the module loads, before any line is made).
inline bool layout_agreed = false;

// The entries of d, when it is a combined table of str keys; nullptr (any other table) with *n
// untouched. Valid until Python code runs (a change of the dict may move them).
inline const Entry* entries_of(PyObject* d, Py_ssize_t* n) {
    auto* mp = reinterpret_cast<PyDictObject*>(d);
    if (mp->ma_values != nullptr)
        return nullptr;
    const auto* keys = reinterpret_cast<const Keys*>(mp->ma_keys);
    if (keys->dk_kind != kind_unicode)
        return nullptr;
    *n = keys->dk_nentries;
    return reinterpret_cast<const Entry*>(keys->dk_indices + (size_t{1} << keys->dk_log2_index_bytes));
}

// The next entry at or after *pos with a value, as PyDict_Next gives it: false at the end.
inline bool next(const Entry* entries, Py_ssize_t n, Py_ssize_t* pos, PyObject** key,
                 PyObject** value) {
    Py_ssize_t i = *pos;
    while (i < n && entries[i].value == nullptr)
        ++i;
    if (i >= n)
        return false;
    *key = entries[i].key;
    *value = entries[i].value;
    *pos = i + 1;
    return true;
}

#endif

// A walk over record d's fields, as PyDict_Next gives them: from the entry table where the
// layout check agreed and d is of the kind read so, else by PyDict_Next. The table is found
// when the walk begins and again at refresh(), which its user calls after anything that may
// have run Python code (a change of the dict may move the table). Positions are the same
// either way.
class FieldWalk {
public:
    explicit FieldWalk(PyObject* d) : d_(d) { refresh(); }
    void refresh() {
#if TIDEREC_DICT_ENTRIES
        entries_ = layout_agreed ? entries_of(d_, &n_) : nullptr;
#endif
    }
    bool next(Py_ssize_t* pos, PyObject** key, PyObject** value) const {
#if TIDEREC_DICT_ENTRIES
        if (entries_ != nullptr)
            return dict_entries::next(entries_, n_, pos, key, value);
#endif
        return PyDict_Next(d_, pos, key, value);
    }

private:
    PyObject* d_;
#if TIDEREC_DICT_ENTRIES
    const Entry* entries_ = nullptr;
    Py_ssize_t n_ = 0;
#endif
};

// Compares the two walks over dicts of the forms records take, and sets layout_agreed when
// they agree. Returns -1 with an exception set only when making the dicts failed.
int check_layout();

}  // namespace tiderec::dict_entries
