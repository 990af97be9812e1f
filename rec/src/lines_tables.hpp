// tiderec._lines, part 1: the tables of short texts and numbers met again and again, and the
// byte-level helpers the two cursors share. (The parts of lines.cpp are headers of its one
// translation unit, so that the parse compiles and inlines as one file.)
#pragma once

#include "ov/core.hpp"

#include <cstdint>
#include <cstring>

namespace {

using ov::outcome;

// ---------------------------------------------------------------------------------------------
// Short texts met again and again (field names, security codes, callback names, tag names):
// kept by their bytes in a small table that replaces on collision, so a text is made once and
// then shared. Texts are immutable, so sharing one object among records changes nothing they
// can observe. A text served as a field name is interned (intern_slot), as attribute names are.

constexpr Py_ssize_t short_text = 24;
constexpr size_t text_slots = 1024;

// Invariant: `text` is nullptr or a strong reference to an exact str whose UTF-8 form is the
// `size` bytes of `bytes`.
struct TextSlot {
    PyObject* text;
    uint32_t size;
    char bytes[short_text];
};

// The table's hash of a short text: its length, and its first and last eight bytes (which, for
// the texts met here, tell them apart as well as all their bytes do).
inline uint32_t hash_bytes(const char* p, size_t n) {
    uint64_t a = 0, b = 0;
    if (n >= 8) {
        std::memcpy(&a, p, 8);
        std::memcpy(&b, p + n - 8, 8);
    } else {
        std::memcpy(&a, p, n);
    }
    uint64_t h = (a * 0x9E3779B97F4A7C15ull) ^ (b * 0xC2B2AE3D27D4EB4Full) ^ n;
    return static_cast<uint32_t>(h ^ (h >> 29) ^ (h >> 47));
}

// Numbers met again and again (prices and volumes repeat from one record to the next), kept
// the same way. A JSON number by its text of up to 15 bytes, zero-padded, as two words, with
// the text's length in the last byte (the number() step); only where words read the text's
// bytes in order (little-endian machines). A MessagePack number by its bits and its type byte.
// A table belongs to one decoder, of one encoding. Ints and floats are immutable too.
constexpr size_t number_slots = 4096;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
constexpr bool number_table = true;
#else
constexpr bool number_table = false;
#endif

// Invariant: `value` is nullptr or a strong reference to an exact int or float, the value of the
// number whose key is (a, b).
struct NumberSlot {
    PyObject* value;
    uint64_t a, b;
};

inline NumberSlot* number_slot(NumberSlot* numbers, uint64_t a, uint64_t b) {
    uint64_t h = (a * 0x9E3779B97F4A7C15ull) ^ (b * 0xC2B2AE3D27D4EB4Full);
    return &numbers[(h >> 40) & (number_slots - 1)];
}

// Keeps `value` in `slot` under the key (a, b).
inline void keep_number(NumberSlot* slot, PyObject* value, uint64_t a, uint64_t b) {
    PyObject* old = slot->value;
    slot->value = Py_NewRef(value);
    slot->a = a;
    slot->b = b;
    Py_XDECREF(old);  // an int or a float: its release runs no Python code
}

struct Tables {
    TextSlot texts[text_slots];
    NumberSlot numbers[number_slots];

    void clear() {
        for (TextSlot& slot : texts)
            Py_CLEAR(slot.text);
        for (NumberSlot& slot : numbers)
            Py_CLEAR(slot.value);
    }
};

// Interns the slot's text: the interned text of those characters, which the slot keeps from
// then on, so that every field name it serves is interned.
[[gnu::noinline]] void intern_slot(TextSlot* slot) {
    PyObject* s = Py_NewRef(slot->text);
    PyUnicode_InternInPlace(&s);
    Py_SETREF(slot->text, s);  // a str: its release runs no Python code
}

// A text of the line (UTF-8, no escapes), made or found in the table when short; interned
// when `intern`. nullptr with the error set (UnicodeDecodeError for bytes that are not UTF-8).
PyObject* text_of(Tables& t, const char* p, Py_ssize_t n, bool ascii, bool intern) {
    TextSlot* slot = nullptr;
    if (n <= short_text) {
        slot = &t.texts[hash_bytes(p, static_cast<size_t>(n)) & (text_slots - 1)];
        if (slot->text != nullptr && slot->size == static_cast<uint32_t>(n) &&
            std::memcmp(slot->bytes, p, static_cast<size_t>(n)) == 0) {
            if (intern && !PyUnicode_CHECK_INTERNED(slot->text))
                intern_slot(slot);  // first met as a value, now a field name
            return Py_NewRef(slot->text);
        }
    }
    PyObject* s;
    if (ascii) {
        s = PyUnicode_New(n, 127);
        if (s == nullptr)
            return nullptr;
        std::memcpy(PyUnicode_DATA(s), p, static_cast<size_t>(n));
    } else {
        s = PyUnicode_DecodeUTF8(p, n, "strict");
        if (s == nullptr)
            return nullptr;
    }
    if (intern)
        PyUnicode_InternInPlace(&s);
    if (slot != nullptr) {
        PyObject* old = slot->text;
        slot->text = Py_NewRef(s);
        slot->size = static_cast<uint32_t>(n);
        std::memcpy(slot->bytes, p, static_cast<size_t>(n));
        Py_XDECREF(old);  // a str: its release runs no Python code
    }
    return s;
}

// The text of bytes s[0, n) into *out: `other` when they are not UTF-8 (the Python decoder
// reports that), `error` for any other failure.
outcome text_result(Tables& t, const char* s, Py_ssize_t n, bool ascii, bool intern,
                    PyObject** out) {
    *out = text_of(t, s, n, ascii, intern);
    if (*out != nullptr)
        return outcome::ok;
    if (!ascii && PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
        PyErr_Clear();
        return outcome::other;
    }
    return outcome::error;
}

// Whether n bytes at a and b are the same (short runs: eight at a time, no library call).
inline bool same_bytes(const char* a, const char* b, size_t n) {
    while (n >= 8) {
        uint64_t x, y;
        std::memcpy(&x, a, 8);
        std::memcpy(&y, b, 8);
        if (x != y)
            return false;
        a += 8;
        b += 8;
        n -= 8;
    }
    while (n > 0) {
        if (*a++ != *b++)
            return false;
        --n;
    }
    return true;
}

inline bool digit(char c) { return c >= '0' && c <= '9'; }

// Strong references held while a list or a record is parsed; released unless handed over.
template <size_t N>
struct Held {
    PyObject* items[N];  // only items[0, n) are ever read: the rest is left as it is
    size_t n = 0;
    // cppcheck-suppress uninitMemberVar
    Held() = default;
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    ~Held() {
        for (size_t i = 0; i < n; ++i)
            Py_DECREF(items[i]);
    }
};

// A list of the held items, which it takes over.
template <size_t N>
outcome take_list(Held<N>& items, PyObject** out) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(items.n));
    if (list == nullptr)
        return outcome::error;
    for (size_t i = 0; i < items.n; ++i)
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), items.items[i]);  // handed over
    items.n = 0;
    *out = list;
    return outcome::ok;
}

// The longest list of plain values, and the most fields of a record, decoded here (longer ones
// go to the Python decoder).
constexpr size_t max_list = 64;
constexpr size_t max_fields = 128;

}  // namespace
