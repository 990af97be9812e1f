// tiderec._lines: the decoding of the common session line, in C.
//
// Almost every line of a session is one SDK callback with one record:
//
//     {"t":"2026-01-05T09:15:00.015","cb":"on_snapshot","args":[{"security_id":"600001",...}]}
//
// whose record holds null, booleans, numbers, texts, lists of those, and {"$enum": name} or
// {"$const": name} tags. A LineDecoder parses such a line straight into the Entry that the
// Python decoder would make of it: the record's fields go into a new dict that becomes the
// record's instance dict, with no intermediate objects and no Python code per value.
//
// It takes only what it can decode exactly as the Python decoder does, and hands every other
// line, untouched, to the Python decoder (`fallback`): a line of another shape, a callback
// whose common line the Python decoder has not yet learned (no plan for it), escapes in a
// text, an integer beyond 64 bits, a number the parse would round differently, a time in any
// form but YYYY-MM-DDTHH:MM:SS[.fff[fff]], a tag not yet resolved without error, malformed
// JSON of any kind. The Python decoder then reports a bad line exactly as it always has.
//
// A decoder made with binary=True does the same for the lines of the binary encoding (the
// MessagePack form of the same line, tags as extension values).
//
// Records of a callback usually have the same fields in the same order: the decoder keeps
// the last ones (the callback's shape) and makes a record with the same fields as a copy of a
// dict that holds them. Short texts and numbers met again are shared from small tables.
//
// No C++ exception crosses into the interpreter; a function that fails returns nullptr with the
// Python exception set.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <datetime.h>
#include <structmember.h>

#include <charconv>
#include <cstdint>
#include <cstring>

#include "ref.hpp"

namespace {

using tiderec::ref;

// The outcome of parsing a part of a line: done, not a line this parser takes (the Python
// decoder will), or a Python error (memory, or a record factory that raised).
enum class Parse { ok, other, error };

PyObject* cb_kind = nullptr;     // "cb", the kind of every entry decoded here
PyObject* enum_tag = nullptr;    // "$enum"
PyObject* const_tag = nullptr;   // "$const"
PyObject* empty_tuple = nullptr;

// ---------------------------------------------------------------------------------------------
// Short texts met again and again (field names, security codes, callback names, tag names):
// kept by their bytes in a small table that replaces on collision, so a text is made once and
// then shared. Texts are immutable, so sharing one object among records changes nothing they
// can observe. Field names are interned, as attribute names are.

constexpr Py_ssize_t short_text = 24;
constexpr size_t text_slots = 1024;

struct TextSlot {
    PyObject* text;  // strong reference, or nullptr
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
// the same way by their text of up to 16 bytes: the text, zero-padded, as two words. The text
// ends at the first NUL, comma, bracket or brace (first_delimiter), so it holds no zero byte
// and the words also tell its length. Ints and floats are immutable too. Only where words read
// the text's bytes in order (little-endian machines).
constexpr size_t number_slots = 4096;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
constexpr bool number_table = true;
#else
constexpr bool number_table = false;
#endif

struct NumberSlot {
    PyObject* value;  // strong reference, or nullptr
    uint64_t a, b;
};

// ---------------------------------------------------------------------------------------------
// The LineDecoder type

// Invariant: plans, resolve, entry_type and fallback hold strong references for the object's
// whole life (dropped only by clear/dealloc).
struct LineDecoder {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* plans;       // callback name -> the Python decoder's plan of its common line
    PyObject* resolve;     // resolve(tag, name): the value of an "$enum"/"$const" tag
    PyObject* entry_type;  // Entry
    PyObject* fallback;    // fallback(line, raw): the Python decoder, for every other line
    PyObject* enums;       // dict: name -> value of the "$enum" tags resolved so far
    PyObject* consts;      // and of the "$const" tags
    PyObject* shapes;      // callback name -> the fields of its record last time (learn_shape)
    Py_ssize_t served;     // lines decoded here
    int binary;            // lines of the binary encoding (MessagePack), not JSON
    PyObject* last_time_text;  // the last "t" decoded (bytes) and its datetime, reused
    PyObject* last_time;
    TextSlot texts[text_slots];
    NumberSlot numbers[number_slots];
};

PyTypeObject* decoder_type = nullptr;

// Whether the decoder still holds what it decodes with (the collector's clearing of a cycle
// drops it all); raises when not.
bool usable(LineDecoder* d) {
    if (d->fallback != nullptr)
        return true;
    PyErr_SetString(PyExc_RuntimeError, "LineDecoder used after it was cleared");
    return false;
}


// Interns the slot's text: the interned text of those characters, which the slot keeps from
// then on, so that every field name it serves is interned.
[[gnu::noinline]] void intern_slot(TextSlot* slot) {
    PyObject* s = Py_NewRef(slot->text);
    PyUnicode_InternInPlace(&s);
    Py_SETREF(slot->text, s);  // a text: its release runs no Python code
}

// A text of the line (UTF-8, no escapes), made or found in the table when short; interned
// when `intern`.
PyObject* text_of(LineDecoder* d, const char* p, Py_ssize_t n, bool ascii, bool intern) {
    TextSlot* slot = nullptr;
    if (n <= short_text) {
        slot = &d->texts[hash_bytes(p, static_cast<size_t>(n)) & (text_slots - 1)];
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
            return nullptr;  // not UTF-8: the caller hands the line to the Python decoder
    }
    if (intern)
        PyUnicode_InternInPlace(&s);
    if (slot != nullptr) {
        PyObject* old = slot->text;
        slot->text = Py_NewRef(s);
        slot->size = static_cast<uint32_t>(n);
        std::memcpy(slot->bytes, p, static_cast<size_t>(n));
        Py_XDECREF(old);  // a text: its release runs no Python code
    }
    return s;
}

// The parse of one line: a cursor over its bytes. The byte at `end` is a newline or a NUL (the
// one every bytes object has past its size), which no loop here reads past: it is neither a
// digit, nor a byte a text may hold, and white space is skipped up to `end` only.
struct Line {
    const char* p;
    const char* end;

    void skip_ws() {
        if (static_cast<unsigned char>(*p) > ' ')
            return;  // (the usual case: compact JSON)
        while (p < end && (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r'))
            ++p;
    }
    bool eat(char c) {
        if (*p != c) {
            if (static_cast<unsigned char>(*p) > ' ')
                return false;
            skip_ws();
            if (*p != c)
                return false;
        }
        ++p;
        return true;
    }
    bool literal(const char* word, size_t n) {
        if (static_cast<size_t>(end - p) >= n && std::memcmp(p, word, n) == 0) {
            p += n;
            return true;
        }
        return false;
    }
    // A JSON string without escapes: its bytes [*start, *start + *n); whether all are ASCII.
    bool string(const char** start, Py_ssize_t* n, bool* ascii) {
        skip_ws();
        if (*p != '"')
            return false;
        const char* s = ++p;
        unsigned char high = 0;
        for (;;) {
            unsigned char c = static_cast<unsigned char>(*p);
            if (c == '"')
                break;
            if (c == '\\' || c < 0x20)
                return false;  // escapes, control characters JSON does not allow, the end
            high |= c;
            ++p;
        }
        *start = s;
        *n = p - s;
        *ascii = high < 0x80;
        ++p;
        return true;
    }
};

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

// Where the first NUL, comma, closing bracket or closing brace (what follows a number in
// compact JSON) is among the eight bytes of x, in text order (little-endian words); 8 when
// none is. A NUL ends the text because the table's zero padding could not tell it from the
// padding. With the 0x20 bit set in every byte, "]" reads as "}", and no byte of a number
// reads as either of the two. The lowest flag each test raises is exact (a borrow only flags
// bytes after a real match), so the first match is found exactly.
inline int first_delimiter(uint64_t x) {
    constexpr uint64_t ones = 0x0101010101010101ull;
    constexpr uint64_t highs = 0x8080808080808080ull;
    auto zero_byte = [](uint64_t v) { return (v - ones) & ~v & highs; };
    uint64_t y = x | (ones * 0x20);
    uint64_t m = zero_byte(x) | zero_byte(y ^ (ones * ',')) | zero_byte(y ^ (ones * '}'));
    return m != 0 ? __builtin_ctzll(m) >> 3 : 8;
}

// Powers of ten that a double holds exactly.
constexpr double exact_powers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                   1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                   1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// A JSON number: an int when it has no fraction and no exponent and fits in 64 bits; else a
// float, correctly rounded. Anything else (a malformed number, one out of range, 19 or more
// integer digits) is not taken. The parse, for a text not in the table; the text is kept in
// `slot` when it is the whole of the `len` bytes the table looked at.
[[gnu::noinline]] Parse parse_number(Line& ln, PyObject** out, NumberSlot* slot, uint64_t a,
                                     uint64_t b, Py_ssize_t len) {
    const char* s = ln.p;
    const char* q = s;
    bool negative = *q == '-';
    if (negative)
        ++q;
    if (!digit(*q))
        return Parse::other;
    // The digits, integer part and fraction, as one integer; m is exact while count < 20.
    // The counts are pointer differences (a line's length bounds them, no overflow), and
    // only a count of at most 15 digits, fraction at most 22, takes the exact division below.
    uint64_t m = 0;
    Py_ssize_t count = 0;
    if (*q == '0') {
        ++q;
    } else {
        const char* i = q;
        while (digit(*q)) {
            m = m * 10 + static_cast<unsigned>(*q - '0');
            ++q;
        }
        count = q - i;
    }
    Py_ssize_t fraction = 0;
    bool is_float = false;
    if (*q == '.') {
        ++q;
        const char* f = q;
        while (digit(*q)) {
            m = m * 10 + static_cast<unsigned>(*q - '0');
            ++q;
        }
        fraction = q - f;
        if (fraction == 0)
            return Parse::other;
        count += fraction;
        is_float = true;
    }
    bool exponent = *q == 'e' || *q == 'E';
    if (exponent) {
        ++q;
        if (*q == '+' || *q == '-')
            ++q;
        if (!digit(*q))
            return Parse::other;
        while (digit(*q))
            ++q;
        is_float = true;
    }
    if (!is_float) {
        if (count > 18)
            return Parse::other;
        *out = PyLong_FromLongLong(negative ? -static_cast<long long>(m) : static_cast<long long>(m));
    } else {
        double v;
        if (!exponent && count <= 15 && fraction <= 22) {
            // Both operands are exact doubles (m < 10^15 < 2^53), so the one rounding of the
            // division gives the correctly rounded value.
            v = static_cast<double>(m) / exact_powers[fraction];
            if (negative)
                v = -v;
        } else {
            auto res = std::from_chars(s, q, v, std::chars_format::general);
            if (res.ec != std::errc() || res.ptr != q)
                return Parse::other;
        }
        *out = PyFloat_FromDouble(v);
    }
    if (*out == nullptr)
        return Parse::error;
    if (slot != nullptr && q - s == len) {
        PyObject* old = slot->value;
        slot->value = Py_NewRef(*out);
        slot->a = a;
        slot->b = b;
        Py_XDECREF(old);  // a number: its release runs no Python code
    }
    ln.p = q;
    return Parse::ok;
}

// A number: from the table when its text is there (up to the next comma, bracket or brace,
// at most 16 bytes), else parsed.
inline Parse number(LineDecoder* d, Line& ln, PyObject** out) {
    const char* s = ln.p;
    if (number_table && ln.end - s >= 16) {
        uint64_t a, b;
        std::memcpy(&a, s, 8);
        std::memcpy(&b, s + 8, 8);
        Py_ssize_t len = 0;
        int k = first_delimiter(a);
        if (k < 8) {
            a &= (uint64_t{1} << (8 * k)) - 1;
            b = 0;
            len = k;
        } else if ((k = first_delimiter(b)) < 8) {
            b &= (uint64_t{1} << (8 * k)) - 1;
            len = 8 + k;
        }
        if (len > 0) {
            uint64_t h = (a * 0x9E3779B97F4A7C15ull) ^ (b * 0xC2B2AE3D27D4EB4Full);
            NumberSlot* slot = &d->numbers[(h >> 40) & (number_slots - 1)];
            if (slot->value != nullptr && slot->a == a && slot->b == b) {
                *out = Py_NewRef(slot->value);
                ln.p = s + len;
                return Parse::ok;
            }
            return parse_number(ln, out, slot, a, b, len);
        }
    }
    return parse_number(ln, out, nullptr, 0, 0, 0);
}

// The text of bytes s[0, n) into *out: `other` when they are not UTF-8 (the Python decoder
// reports that), `error` for any other failure.
Parse text_result(LineDecoder* d, const char* s, Py_ssize_t n, bool ascii, bool intern,
                  PyObject** out) {
    *out = text_of(d, s, n, ascii, intern);
    if (*out != nullptr)
        return Parse::ok;
    if (!ascii && PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
        PyErr_Clear();
        return Parse::other;
    }
    return Parse::error;
}

Parse text(LineDecoder* d, Line& ln, PyObject** out, bool intern) {
    const char* s;
    Py_ssize_t n;
    bool ascii;
    if (!ln.string(&s, &n, &ascii))
        return Parse::other;
    return text_result(d, s, n, ascii, intern, out);
}

// null, a boolean, a number or a text.
Parse plain(LineDecoder* d, Line& ln, PyObject** out) {
    ln.skip_ws();
    if (ln.p >= ln.end)
        return Parse::other;
    switch (*ln.p) {
    case '"':
        return text(d, ln, out, false);
    case 'n':
        if (!ln.literal("null", 4))
            return Parse::other;
        *out = Py_NewRef(Py_None);
        return Parse::ok;
    case 't':
        if (!ln.literal("true", 4))
            return Parse::other;
        *out = Py_NewRef(Py_True);
        return Parse::ok;
    case 'f':
        if (!ln.literal("false", 5))
            return Parse::other;
        *out = Py_NewRef(Py_False);
        return Parse::ok;
    default:
        return number(d, ln, out);
    }
}

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
Parse take_list(Held<N>& items, PyObject** out) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(items.n));
    if (list == nullptr)
        return Parse::error;
    for (size_t i = 0; i < items.n; ++i)
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), items.items[i]);  // handed over
    items.n = 0;
    *out = list;
    return Parse::ok;
}

// [plain, ...]. Longer lists than a local array holds go to the Python decoder.
Parse plain_list(LineDecoder* d, Line& ln, PyObject** out) {
    ++ln.p;  // '['
    Held<64> items;
    if (!ln.eat(']')) {
        for (;;) {
            if (items.n == 64)
                return Parse::other;
            ln.skip_ws();
            char c = *ln.p;  // numbers, the usual items, without the dispatch of plain()
            Parse r = digit(c) || c == '-' ? number(d, ln, &items.items[items.n])
                                           : plain(d, ln, &items.items[items.n]);
            if (r != Parse::ok)
                return r;
            ++items.n;
            if (ln.eat(','))
                continue;
            if (ln.eat(']'))
                break;
            return Parse::other;
        }
    }
    return take_list(items, out);
}

// The value of tag `which` ("$enum" or "$const") naming `name`, resolved once per name.
Parse resolved(LineDecoder* d, PyObject* which, PyObject* name, PyObject** out) {
    PyObject* cache = which == enum_tag ? d->enums : d->consts;
    PyObject* hit = PyDict_GetItemWithError(cache, name);
    if (hit != nullptr) {
        *out = Py_NewRef(hit);
        return Parse::ok;
    }
    if (PyErr_Occurred())
        return Parse::error;
    // Resolved for the first time: a name that does not resolve is the Python decoder's to
    // report, so any error here hands the line over.
    PyObject* args[] = {which, name};
    ref value = ref::steal(PyObject_Vectorcall(d->resolve, args, 2, nullptr));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_Exception))
            return Parse::error;  // KeyboardInterrupt, SystemExit: not the line's fault
        PyErr_Clear();
        return Parse::other;
    }
    // (read again: the resolver's code may have run the collector, which clears the decoder)
    if (!usable(d))
        return Parse::error;
    cache = which == enum_tag ? d->enums : d->consts;
    if (PyDict_SetItem(cache, name, value.get()) < 0)
        return Parse::error;
    *out = value.release();
    return Parse::ok;
}

// {"$enum": name} or {"$const": name}: its value, resolved once per name.
Parse tag(LineDecoder* d, Line& ln, PyObject** out) {
    ++ln.p;  // '{'
    ln.skip_ws();
    PyObject* which;
    if (ln.literal("\"$enum\"", 7))
        which = enum_tag;
    else if (ln.literal("\"$const\"", 8))
        which = const_tag;
    else
        return Parse::other;
    if (!ln.eat(':'))
        return Parse::other;
    ref name;
    {
        PyObject* s;
        Parse r = text(d, ln, &s, false);
        if (r != Parse::ok)
            return r;
        name = ref::steal(s);
    }
    if (!ln.eat('}'))
        return Parse::other;
    return resolved(d, which, name.get(), out);
}

// The fields of a callback's record, in order, as they were last time: a (keys, dict) pair
// whose dict holds those keys (all None). A record with the same fields is made as a copy of
// that dict, which costs less than inserting its fields one by one into a new one.
constexpr size_t max_fields = 128;

Parse learn_shape(LineDecoder* d, PyObject* cb, PyObject* const* keys, size_t n) {
    ref names = ref::steal(PyTuple_New(static_cast<Py_ssize_t>(n)));
    ref empty = ref::steal(PyDict_New());
    if (!names || !empty)
        return Parse::error;
    for (size_t i = 0; i < n; ++i) {
        if (!PyUnicode_IS_ASCII(keys[i]))
            return Parse::ok;  // names are matched by their bytes: ASCII ones only
        PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), Py_NewRef(keys[i]));
        if (PyDict_SetItem(empty.get(), keys[i], Py_None) < 0)
            return Parse::error;
    }
    ref shape = ref::steal(PyTuple_Pack(2, names.get(), empty.get()));
    if (!shape || PyDict_SetItem(d->shapes, cb, shape.get()) < 0)
        return Parse::error;
    return Parse::ok;
}

// Keys and values parsed so far (strong references).
using Fields = Held<max_fields>;

// The record's dict of the parsed fields: a copy of the shape's dict when the fields are the
// shape's (`same`), else a new one, whose fields become the callback's shape.
Parse fields_dict(LineDecoder* d, PyObject* cb, PyObject* shape, bool same, const Fields& keys,
                  const Fields& values, PyObject** out) {
    ref fields;
    bool learn = false;
    if (same) {
        fields = ref::steal(PyDict_Copy(PyTuple_GET_ITEM(shape, 1)));
    } else {
        fields = ref::steal(PyDict_New());
        learn = cb != nullptr;
    }
    if (!fields)
        return Parse::error;
    for (size_t i = 0; i < keys.n; ++i)
        if (PyDict_SetItem(fields.get(), keys.items[i], values.items[i]) < 0)
            return Parse::error;
    // (a field given twice is in the dict once, the last value winning: no shape of it)
    if (learn && static_cast<size_t>(PyDict_GET_SIZE(fields.get())) == keys.n &&
        learn_shape(d, cb, keys.items, keys.n) == Parse::error)
        return Parse::error;
    *out = fields.release();
    return Parse::ok;
}

// The shape of the callback's record, if one was learned (cb nullptr: none): held while the
// record is parsed, with its field names in order.
struct Shape {
    ref held;
    PyObject* const* names = nullptr;
    size_t n = 0;

    int find(LineDecoder* d, PyObject* cb) {
        if (cb == nullptr)
            return 0;
        held = ref::borrow(PyDict_GetItemWithError(d->shapes, cb));
        if (!held)
            return PyErr_Occurred() ? -1 : 0;
        PyObject* tuple = PyTuple_GET_ITEM(held.get(), 0);
        names = &PyTuple_GET_ITEM(tuple, 0);
        n = static_cast<size_t>(PyTuple_GET_SIZE(tuple));
        return 0;
    }
};

// The record's fields: {"name": value, ...} into a new dict. A field name beginning with "$"
// (a record naming its own type, a lone tag) is not the common line. `cb` is the callback's
// name when the line gave it before the arguments (else nullptr).
Parse record_fields(LineDecoder* d, Line& ln, PyObject* cb, PyObject** out) {
    if (!ln.eat('{'))
        return Parse::other;
    Shape shape;
    if (shape.find(d, cb) < 0)
        return Parse::error;
    PyObject* const* expected = shape.names;
    size_t n_expected = shape.n;
    Fields keys, values;
    bool same = static_cast<bool>(shape.held);  // the fields so far are the expected ones
    if (!ln.eat('}')) {
        for (;;) {
            if (keys.n == max_fields)
                return Parse::other;
            ln.skip_ws();
            if (*ln.p != '"')
                return Parse::other;
            PyObject* k = nullptr;
            if (same && keys.n < n_expected) {
                PyObject* e = expected[keys.n];
                Py_ssize_t len = PyUnicode_GET_LENGTH(e);
                if (ln.end - ln.p >= len + 2 && ln.p[len + 1] == '"' &&
                    same_bytes(ln.p + 1, static_cast<const char*>(PyUnicode_DATA(e)),
                               static_cast<size_t>(len))) {
                    k = Py_NewRef(e);
                    ln.p += len + 2;
                }
            }
            if (k == nullptr) {
                same = false;
                if (ln.p + 1 < ln.end && ln.p[1] == '$')
                    return Parse::other;
                Parse r = text(d, ln, &k, true);
                if (r != Parse::ok)
                    return r;
            }
            keys.items[keys.n++] = k;
            if (!ln.eat(':'))
                return Parse::other;
            ln.skip_ws();
            if (ln.p >= ln.end)
                return Parse::other;
            Parse r;
            PyObject** v = &values.items[values.n];
            char c = *ln.p;
            if (digit(c) || c == '-')
                r = number(d, ln, v);
            else if (c == '[')
                r = plain_list(d, ln, v);
            else if (c == '{')
                r = tag(d, ln, v);
            else
                r = plain(d, ln, v);
            if (r != Parse::ok)
                return r;
            ++values.n;
            if (ln.eat(','))
                continue;
            if (ln.eat('}'))
                break;
            return Parse::other;
        }
    }
    return fields_dict(d, cb, shape.held.get(), same && keys.n == n_expected, keys, values, out);
}

// n decimal digits as a number; -1 when one is not a digit.
inline int digits(const char* p, int n) {
    int v = 0;
    for (int i = 0; i < n; ++i) {
        if (!digit(p[i]))
            return -1;
        v = v * 10 + (p[i] - '0');
    }
    return v;
}

// The entry's local time, YYYY-MM-DDTHH:MM:SS with no fraction, or 3 or 6 digits of one.
// Any other form, and an impossible date or time, go to the Python decoder.
Parse local_time(LineDecoder* d, const char* s, Py_ssize_t n, PyObject** out) {
    if (d->last_time != nullptr && PyBytes_GET_SIZE(d->last_time_text) == n &&
        std::memcmp(PyBytes_AS_STRING(d->last_time_text), s, static_cast<size_t>(n)) == 0) {
        *out = Py_NewRef(d->last_time);
        return Parse::ok;
    }
    if (!(n == 19 || n == 23 || n == 26) || s[4] != '-' || s[7] != '-' || s[10] != 'T' ||
        s[13] != ':' || s[16] != ':' || (n > 19 && s[19] != '.'))
        return Parse::other;
    int year = digits(s, 4), month = digits(s + 5, 2), day = digits(s + 8, 2);
    int hour = digits(s + 11, 2), minute = digits(s + 14, 2), second = digits(s + 17, 2);
    int micro = n == 19 ? 0 : n == 23 ? digits(s + 20, 3) : digits(s + 20, 6);
    if (year < 0 || month < 0 || day < 0 || hour < 0 || minute < 0 || second < 0 || micro < 0)
        return Parse::other;
    if (n == 23)
        micro *= 1000;
    PyObject* t = PyDateTime_FromDateAndTime(year, month, day, hour, minute, second, micro);
    if (t == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError))
            return Parse::error;
        PyErr_Clear();
        return Parse::other;
    }
    PyObject* text_bytes = PyBytes_FromStringAndSize(s, n);
    if (text_bytes == nullptr) {
        Py_DECREF(t);
        return Parse::error;
    }
    Py_XSETREF(d->last_time_text, text_bytes);
    Py_XSETREF(d->last_time, Py_NewRef(t));
    *out = t;
    return Parse::ok;
}

// The Entry of a callback's line: its record made by the callback's plan, (record type
// name, ..., record factory, record class or None), from its fields. `other` when the
// callback has no plan yet.
Parse make_entry(LineDecoder* d, PyObject* line_no, PyObject* time, PyObject* name,
                 PyObject* fields, PyObject** out) {
    PyObject* plan = PyDict_GetItemWithError(d->plans, name);
    if (plan == nullptr)
        return PyErr_Occurred() ? Parse::error : Parse::other;
    if (!PyTuple_Check(plan) || PyTuple_GET_SIZE(plan) < 5)
        return Parse::other;
    Py_INCREF(plan);  // the factory below may run code that changes the plans
    ref plan_ref = ref::steal(plan);
    PyObject* cls = PyTuple_GET_ITEM(plan, 4);
    ref record;
    if (cls != Py_None) {
        if (!PyType_Check(cls))
            return Parse::other;
        auto* type = reinterpret_cast<PyTypeObject*>(cls);
        // object.__new__(cls), then its dict: taken only for a class whose instances object's
        // own allocation makes and that has an instance dict (any other class, e.g. one that
        // cannot be made from Python, is the Python decoder's to make or to report).
        if (type->tp_new != PyBaseObject_Type.tp_new || type->tp_dictoffset == 0)
            return Parse::other;
        record = ref::steal(PyBaseObject_Type.tp_new(type, empty_tuple, nullptr));
        if (!record || PyObject_GenericSetDict(record.get(), fields, nullptr) < 0)
            return Parse::error;
    } else {
        PyObject* args[] = {PyTuple_GET_ITEM(plan, 0), fields};
        record = ref::steal(PyObject_Vectorcall(PyTuple_GET_ITEM(plan, 3), args, 2, nullptr));
        if (!record)
            return Parse::error;
    }
    ref arg_tuple = ref::steal(PyTuple_Pack(1, record.get()));
    ref kwargs = ref::steal(PyDict_New());
    if (!arg_tuple || !kwargs)
        return Parse::error;
    PyObject* entry_args[] = {line_no, time, cb_kind, name, arg_tuple.get(),
                              kwargs.get()};
    if (!usable(d))
        return Parse::error;  // (the factory's code ran the collector, which cleared it)
    *out = PyObject_Vectorcall(d->entry_type, entry_args, 6, nullptr);
    return *out != nullptr ? Parse::ok : Parse::error;
}


// The whole line: {"t": ..., "cb": ..., "args": [record]}, its keys in any order, each once.
// On ok, *out is the Entry.
Parse line_entry(LineDecoder* d, PyObject* line_no, const char* data, Py_ssize_t size,
                 PyObject** out) {
    Line ln{data, data + size};
    ref time, name, fields;
    if (!ln.eat('{'))
        return Parse::other;
    for (int i = 0; i < 3; ++i) {
        if (i > 0 && !ln.eat(','))
            return Parse::other;
        ln.skip_ws();
        Parse r;
        PyObject* v = nullptr;
        if (ln.literal("\"t\"", 3)) {
            if (time || !ln.eat(':'))
                return Parse::other;
            const char* ts;
            Py_ssize_t tn;
            bool ascii;
            r = ln.string(&ts, &tn, &ascii) ? local_time(d, ts, tn, &v) : Parse::other;
            if (r == Parse::ok)
                time = ref::steal(v);
        } else if (ln.literal("\"cb\"", 4)) {
            if (name || !ln.eat(':'))
                return Parse::other;
            r = text(d, ln, &v, true);
            if (r == Parse::ok)
                name = ref::steal(v);
        } else if (ln.literal("\"args\"", 6)) {
            if (fields || !ln.eat(':') || !ln.eat('['))
                return Parse::other;
            r = record_fields(d, ln, name.get(), &v);
            if (r == Parse::ok) {
                fields = ref::steal(v);
                if (!ln.eat(']'))
                    return Parse::other;
            }
        } else {
            return Parse::other;
        }
        if (r != Parse::ok)
            return r;
    }
    if (!ln.eat('}'))
        return Parse::other;
    ln.skip_ws();
    if (ln.p != ln.end)
        return Parse::other;

    return make_entry(d, line_no, time.get(), name.get(), fields.get(), out);
}

// ---------------------------------------------------------------------------------------------
// The common line of the binary encoding: the MessagePack form of the same line, whose
// "$enum" and "$const" tags are extension values (types 1 and 2) holding the name as a
// MessagePack text. What a decoded line holds is exactly what its JSON form gives.

constexpr int ext_enum = 1;
constexpr int ext_const = 2;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
constexpr bool big_endian = true;
#else
constexpr bool big_endian = false;
#endif

// A cursor over MessagePack bytes [p, end).
struct Packed {
    const unsigned char* p;
    const unsigned char* end;

    bool has(size_t n) const { return static_cast<size_t>(end - p) >= n; }
    // The n-byte (1, 2, 4 or 8) big-endian number at p + at.
    uint64_t word(size_t at, int n) const {
        const unsigned char* q = p + at;
        switch (n) {
        case 1:
            return q[0];
        case 2:
            return (uint64_t{q[0]} << 8) | q[1];
        case 4: {
            uint32_t v;
            std::memcpy(&v, q, 4);
            return big_endian ? v : __builtin_bswap32(v);
        }
        default: {
            uint64_t v;
            std::memcpy(&v, q, 8);
            return big_endian ? v : __builtin_bswap64(v);
        }
        }
    }
    // The size of a container whose header is at p (fix: types lo..lo+15, then 16- and 32-bit
    // sizes after the bytes t16 and t16 + 1); false when p holds no such header.
    bool size(unsigned lo, unsigned t16, size_t* n) {
        if (!has(1))
            return false;
        unsigned t = *p;
        if (t >= lo && t <= lo + 15) {
            *n = t - lo;
            ++p;
        } else if (t == t16 && has(3)) {
            *n = word(1, 2);
            p += 3;
        } else if (t == t16 + 1 && has(5)) {
            *n = word(1, 4);
            p += 5;
        } else {
            return false;
        }
        return true;
    }
    bool map(size_t* n) { return size(0x80, 0xde, n); }
    bool array(size_t* n) { return size(0x90, 0xdc, n); }
    // A text's bytes, and whether they are all ASCII.
    bool text(const char** s, Py_ssize_t* n, bool* ascii) {
        if (!has(1))
            return false;
        unsigned t = *p;
        size_t len = 0, head = 0;
        if ((t & 0xe0) == 0xa0) {
            len = t & 31;
            head = 1;
        } else if (t >= 0xd9 && t <= 0xdb) {
            head = size_t{1} + (size_t{1} << (t - 0xd9));  // 8-, 16- and 32-bit sizes
            if (!has(head))
                return false;
            len = word(1, static_cast<int>(head - 1));
        } else {
            return false;
        }
        if (!has(head + len))
            return false;
        const unsigned char* b = p + head;
        unsigned char high = 0;
        for (size_t i = 0; i < len; ++i)
            high |= b[i];
        *s = reinterpret_cast<const char*>(b);
        *n = static_cast<Py_ssize_t>(len);
        *ascii = high < 0x80;
        p += head + len;
        return true;
    }
};

Parse packed_text(LineDecoder* d, Packed& b, PyObject** out, bool intern) {
    const char* s;
    Py_ssize_t n;
    bool ascii;
    if (!b.text(&s, &n, &ascii))
        return Parse::other;
    return text_result(d, s, n, ascii, intern, out);
}

// A float (32, 64 bits) or an int (8 to 64 bits, signed or not) at b.p, whose type byte is in
// 0xca..0xd3. Kept in the table of numbers by its bits and type byte (b.p[0] as the second
// word, which no number's text can be), so that a value met again is shared.
Parse packed_number(LineDecoder* d, Packed& b, PyObject** out) {
    unsigned t = *b.p;
    int n = t <= 0xcb ? 4 << (t - 0xca) : t <= 0xcf ? 1 << (t - 0xcc) : 1 << (t - 0xd0);
    if (!b.has(static_cast<size_t>(n) + 1))
        return Parse::other;
    uint64_t u = b.word(1, n);
    uint64_t h = (u * 0x9E3779B97F4A7C15ull) ^ (t * 0xC2B2AE3D27D4EB4Full);
    NumberSlot* slot = &d->numbers[(h >> 40) & (number_slots - 1)];
    b.p += n + 1;
    if (slot->value != nullptr && slot->a == u && slot->b == t) {
        *out = Py_NewRef(slot->value);
        return Parse::ok;
    }
    if (t == 0xca) {
        auto bits = static_cast<uint32_t>(u);
        float f;
        std::memcpy(&f, &bits, 4);
        *out = PyFloat_FromDouble(static_cast<double>(f));
    } else if (t == 0xcb) {
        double v;
        std::memcpy(&v, &u, 8);
        *out = PyFloat_FromDouble(v);
    } else if (t <= 0xcf) {
        *out = PyLong_FromUnsignedLongLong(u);
    } else {
        int shift = 64 - 8 * n;  // sign-extend from n bytes
        *out = PyLong_FromLongLong(static_cast<long long>(u << shift) >> shift);
    }
    if (*out == nullptr)
        return Parse::error;
    PyObject* old = slot->value;
    slot->value = Py_NewRef(*out);
    slot->a = u;
    slot->b = t;
    Py_XDECREF(old);  // a number: its release runs no Python code
    return Parse::ok;
}

// nil, a boolean, an integer, a float or a text.
Parse packed_plain(LineDecoder* d, Packed& b, PyObject** out) {
    if (!b.has(1))
        return Parse::other;
    unsigned t = *b.p;
    if (t <= 0x7f || t >= 0xe0) {  // fixints
        ++b.p;
        *out = PyLong_FromLong(t <= 0x7f ? static_cast<long>(t) : static_cast<long>(t) - 256);
        return *out != nullptr ? Parse::ok : Parse::error;
    }
    if ((t & 0xe0) == 0xa0 || (t >= 0xd9 && t <= 0xdb))
        return packed_text(d, b, out, false);
    if (t >= 0xca && t <= 0xd3)  // floats and wider ints: from the table when met before
        return packed_number(d, b, out);
    switch (t) {
    case 0xc0:
        ++b.p;
        *out = Py_NewRef(Py_None);
        return Parse::ok;
    case 0xc2:
    case 0xc3:
        ++b.p;
        *out = Py_NewRef(t == 0xc3 ? Py_True : Py_False);
        return Parse::ok;
    default:
        return Parse::other;
    }
}

// [plain, ...]. Longer lists than a local array holds go to the Python decoder.
Parse packed_list(LineDecoder* d, Packed& b, PyObject** out) {
    size_t n;
    if (!b.array(&n) || n > 64)
        return Parse::other;
    Held<64> items;
    for (; items.n < n; ++items.n) {
        Parse r = packed_plain(d, b, &items.items[items.n]);
        if (r != Parse::ok)
            return r;
    }
    return take_list(items, out);
}

// An "$enum" or "$const" extension value: what its name resolves to.
Parse packed_tag(LineDecoder* d, Packed& b, PyObject** out) {
    unsigned t = *b.p;
    size_t len = 0, head = 0;
    if (t >= 0xd4 && t <= 0xd8) {  // fixext 1, 2, 4, 8, 16
        len = size_t{1} << (t - 0xd4);
        head = 2;
    } else if (t >= 0xc7 && t <= 0xc9) {  // ext 8, 16, 32
        size_t width = size_t{1} << (t - 0xc7);
        if (!b.has(width + 2))
            return Parse::other;
        len = b.word(1, static_cast<int>(width));
        head = width + 2;
    } else {
        return Parse::other;
    }
    if (!b.has(head + len))
        return Parse::other;
    int code = static_cast<signed char>(b.p[head - 1]);
    if (code != ext_enum && code != ext_const)
        return Parse::other;
    Packed data{b.p + head, b.p + head + len};
    PyObject* name;
    Parse r = packed_text(d, data, &name, false);
    if (r != Parse::ok)
        return r;
    ref name_ref = ref::steal(name);
    if (data.p != data.end)
        return Parse::other;
    b.p += head + len;
    return resolved(d, code == ext_enum ? enum_tag : const_tag, name, out);
}

// The record's fields: a map of texts to values, as record_fields() makes them of JSON.
Parse packed_fields(LineDecoder* d, Packed& b, PyObject* cb, PyObject** out) {
    size_t n;
    if (!b.map(&n) || n > max_fields)
        return Parse::other;
    Shape shape;
    if (shape.find(d, cb) < 0)
        return Parse::error;
    PyObject* const* expected = shape.names;
    size_t n_expected = shape.n;
    Fields keys, values;
    bool same = static_cast<bool>(shape.held);
    while (keys.n < n) {
        PyObject* k = nullptr;
        if (same && keys.n < n_expected) {
            // the expected name, as MessagePack writes a text of its length (fixstr, str 8)
            PyObject* e = expected[keys.n];
            auto len = static_cast<size_t>(PyUnicode_GET_LENGTH(e));
            size_t head = len < 32 ? 1 : 2;
            if (len < 256 && b.has(head + len) &&
                (head == 1 ? b.p[0] == (0xa0 | len) : b.p[0] == 0xd9 && b.p[1] == len) &&
                same_bytes(reinterpret_cast<const char*>(b.p + head),
                           static_cast<const char*>(PyUnicode_DATA(e)), len)) {
                k = Py_NewRef(e);
                b.p += head + len;
            }
        }
        if (k == nullptr) {
            const char* s;
            Py_ssize_t len;
            bool ascii;
            if (!b.text(&s, &len, &ascii))
                return Parse::other;
            same = false;
            if (len > 0 && s[0] == '$')
                return Parse::other;
            Parse r = text_result(d, s, len, ascii, true, &k);
            if (r != Parse::ok)
                return r;
        }
        keys.items[keys.n++] = k;
        if (!b.has(1))
            return Parse::other;
        unsigned t = *b.p;
        Parse r;
        PyObject** v = &values.items[values.n];
        if ((t >= 0x90 && t <= 0x9f) || t == 0xdc || t == 0xdd)
            r = packed_list(d, b, v);
        else if ((t >= 0xd4 && t <= 0xd8) || (t >= 0xc7 && t <= 0xc9))
            r = packed_tag(d, b, v);
        else
            r = packed_plain(d, b, v);
        if (r != Parse::ok)
            return r;
        ++values.n;
    }
    return fields_dict(d, cb, shape.held.get(), same && keys.n == n_expected, keys, values, out);
}

// The whole binary line: a map of "t", "cb" and "args" ([record]), in any order, each once.
Parse packed_entry(LineDecoder* d, PyObject* line_no, const char* data, Py_ssize_t size,
                   PyObject** out) {
    auto* start = reinterpret_cast<const unsigned char*>(data);
    Packed b{start, start + size};
    size_t n;
    if (!b.map(&n) || n != 3)
        return Parse::other;
    ref time, name, fields;
    for (size_t i = 0; i < 3; ++i) {
        const char* k;
        Py_ssize_t kn;
        bool ascii;
        if (!b.text(&k, &kn, &ascii))
            return Parse::other;
        PyObject* v = nullptr;
        Parse r;
        if (kn == 1 && k[0] == 't') {
            const char* ts;
            Py_ssize_t tn;
            if (time || !b.text(&ts, &tn, &ascii))
                return Parse::other;
            r = local_time(d, ts, tn, &v);
            if (r == Parse::ok)
                time = ref::steal(v);
        } else if (kn == 2 && k[0] == 'c' && k[1] == 'b') {
            if (name)
                return Parse::other;
            r = packed_text(d, b, &v, true);
            if (r == Parse::ok)
                name = ref::steal(v);
        } else if (kn == 4 && std::memcmp(k, "args", 4) == 0) {
            size_t count;
            if (fields || !b.array(&count) || count != 1)
                return Parse::other;
            r = packed_fields(d, b, name.get(), &v);
            if (r == Parse::ok)
                fields = ref::steal(v);
        } else {
            return Parse::other;
        }
        if (r != Parse::ok)
            return r;
    }
    if (b.p != b.end)
        return Parse::other;
    return make_entry(d, line_no, time.get(), name.get(), fields.get(), out);
}

// decoder(line, raw) -> Entry
// One line, as the decoder's encoding gives it.
inline Parse decode_line(LineDecoder* d, PyObject* line_no, const char* data, Py_ssize_t size,
                         PyObject** out) {
    return d->binary ? packed_entry(d, line_no, data, size, out)
                     : line_entry(d, line_no, data, size, out);
}

PyObject* decoder_call(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* d = reinterpret_cast<LineDecoder*>(self);
    if (!usable(d))
        return nullptr;
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs != 2 || (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0)) {
        PyErr_Format(PyExc_TypeError, "LineDecoder() takes 2 positional arguments (line, raw) but %zd were given",
                     nargs);
        return nullptr;
    }
    if (PyBytes_Check(args[1])) {
        PyObject* entry = nullptr;
        Parse r = decode_line(d, args[0], PyBytes_AS_STRING(args[1]), PyBytes_GET_SIZE(args[1]),
                              &entry);
        if (r == Parse::ok) {
            ++d->served;
            return entry;
        }
        if (r == Parse::error)
            return nullptr;
    }
    return PyObject_Vectorcall(d->fallback, args, 2, nullptr);
}

// decoder.lines(block, start, end, first_line) -> (items, next): the items of the next lines
// of a block, at most `batch_lines` of them, and where the line after them starts. Text: the
// block is bytes, its lines those of block[start:end] (each ends in a newline; a last line
// without one ends at `end`). Binary: the block is a list of lines (bytes), and its lines are
// block[start:end]. An item is the line's Entry, or for a line not decoded here its bytes,
// for the caller to decode or report.
// (Batches stay short: the entries of a batch wait for the caller, and the collector walks
// what waits at each of its young collections.)
constexpr Py_ssize_t batch_lines = 32;

// One line of a batch into `out`: its Entry, or else `raw` (or, with raw nullptr, the bytes
// of the line).
int add_item(LineDecoder* d, PyObject* out, Py_ssize_t line_no, const char* data,
             Py_ssize_t size, PyObject* raw) {
    ref number = ref::steal(PyLong_FromSsize_t(line_no));
    if (!number)
        return -1;
    PyObject* item = nullptr;
    Parse r = decode_line(d, number.get(), data, size, &item);
    if (r == Parse::error) {
        // (a record factory or a tag's resolution that raised): the caller decodes the line
        // again and reports what fails on its line; an interrupt ends the reading
        if (!PyErr_ExceptionMatches(PyExc_Exception))
            return -1;
        PyErr_Clear();
        r = Parse::other;
    }
    if (r == Parse::ok)
        ++d->served;
    else if (raw != nullptr)
        item = Py_NewRef(raw);
    else if ((item = PyBytes_FromStringAndSize(data, size)) == nullptr)
        return -1;
    int rc = PyList_Append(out, item);
    Py_DECREF(item);
    return rc;
}

PyObject* decoder_lines(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    auto* d = reinterpret_cast<LineDecoder*>(self);
    if (!usable(d))
        return nullptr;
    PyObject* block = nargs == 4 ? args[0] : nullptr;
    if (block == nullptr || !(d->binary ? PyList_CheckExact(block) : PyBytes_Check(block))) {
        PyErr_Format(PyExc_TypeError, "lines() takes (block: %s, start, end, first_line)",
                     d->binary ? "list" : "bytes");
        return nullptr;
    }
    Py_ssize_t start = PyLong_AsSsize_t(args[1]);
    Py_ssize_t stop = PyLong_AsSsize_t(args[2]);
    Py_ssize_t line_no = PyLong_AsSsize_t(args[3]);
    if ((start == -1 || stop == -1 || line_no == -1) && PyErr_Occurred())
        return nullptr;
    Py_ssize_t size = d->binary ? PyList_GET_SIZE(block) : PyBytes_GET_SIZE(block);
    if (start < 0 || stop > size || start > stop) {
        PyErr_SetString(PyExc_ValueError, "lines(): start and end must lie within the block");
        return nullptr;
    }
    ref out = ref::steal(PyList_New(0));
    if (!out)
        return nullptr;
    Py_ssize_t next;
    if (d->binary) {
        next = stop - start > batch_lines ? start + batch_lines : stop;
        for (Py_ssize_t i = start; i < next; ++i) {
            // A line's decoding runs Python code (a tag's resolution, the record factory,
            // Entry, a finalizer), which may shrink the list: its size is read again each time.
            if (i >= PyList_GET_SIZE(block)) {
                PyErr_SetString(PyExc_RuntimeError, "lines(): the block changed size during the call");
                return nullptr;
            }
            ref raw = ref::borrow(PyList_GET_ITEM(block, i));  // (held: the list may change)
            int rc = PyBytes_Check(raw.get())
                         ? add_item(d, out.get(), line_no++, PyBytes_AS_STRING(raw.get()),
                                    PyBytes_GET_SIZE(raw.get()), raw.get())
                         : PyList_Append(out.get(), raw.get());
            if (rc < 0)
                return nullptr;
        }
    } else {
        const char* data = PyBytes_AS_STRING(block);
        const char* p = data + start;
        const char* end = data + stop;
        for (Py_ssize_t n = 0; n < batch_lines && p < end; ++n) {
            auto* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
            int rc;
            if (nl == nullptr && *end != '\n' && *end != '\0') {
                // `end` cuts a line short: it is decoded from a copy, whose bytes end in the
                // NUL the parse stops at (see Line)
                ref cut = ref::steal(PyBytes_FromStringAndSize(p, end - p));
                if (!cut)
                    return nullptr;
                rc = add_item(d, out.get(), line_no++, PyBytes_AS_STRING(cut.get()),
                              PyBytes_GET_SIZE(cut.get()), cut.get());
            } else {
                rc = add_item(d, out.get(), line_no++, p, (nl != nullptr ? nl : end) - p, nullptr);
            }
            if (rc < 0)
                return nullptr;
            p = nl != nullptr ? nl + 1 : end;
        }
        next = p - data;
    }
    return Py_BuildValue("(On)", out.get(), next);
}

PyMethodDef decoder_methods[] = {
    {"lines", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(decoder_lines)),
     METH_FASTCALL,
     "lines(block, start, end, first_line) -> (items, next): the Entry (decoded here) or the\n"
     "bytes (not) of each of the next lines of the block (text: bytes; binary: a list of\n"
     "lines), and where the line after them starts"},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* decoder_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    static const char* kwlist[] = {"plans", "resolve", "entry_type", "fallback", "binary", nullptr};
    PyObject *plans, *resolve, *entry_type, *fallback;
    int binary = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O!OOO|p:LineDecoder", const_cast<char**>(kwlist),
                                     &PyDict_Type, &plans, &resolve, &entry_type, &fallback,
                                     &binary))
        return nullptr;
    if (!PyCallable_Check(resolve) || !PyCallable_Check(entry_type) || !PyCallable_Check(fallback)) {
        PyErr_SetString(PyExc_TypeError, "resolve, entry_type and fallback must be callable");
        return nullptr;
    }
    ref enums = ref::steal(PyDict_New());
    ref consts = ref::steal(PyDict_New());
    ref shapes = ref::steal(PyDict_New());
    if (!enums || !consts || !shapes)
        return nullptr;
    auto* d = reinterpret_cast<LineDecoder*>(type->tp_alloc(type, 0));
    if (d == nullptr)
        return nullptr;
    d->vectorcall = decoder_call;
    d->binary = binary;
    d->plans = Py_NewRef(plans);
    d->resolve = Py_NewRef(resolve);
    d->entry_type = Py_NewRef(entry_type);
    d->fallback = Py_NewRef(fallback);
    d->enums = enums.release();
    d->consts = consts.release();
    d->shapes = shapes.release();
    return reinterpret_cast<PyObject*>(d);
}

int decoder_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* d = reinterpret_cast<LineDecoder*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(d->plans);
    Py_VISIT(d->resolve);
    Py_VISIT(d->entry_type);
    Py_VISIT(d->fallback);
    Py_VISIT(d->enums);
    Py_VISIT(d->consts);
    Py_VISIT(d->shapes);
    Py_VISIT(d->last_time);
    return 0;
}

int decoder_clear(PyObject* self) {
    auto* d = reinterpret_cast<LineDecoder*>(self);
    Py_CLEAR(d->plans);
    Py_CLEAR(d->resolve);
    Py_CLEAR(d->entry_type);
    Py_CLEAR(d->fallback);
    Py_CLEAR(d->enums);
    Py_CLEAR(d->consts);
    Py_CLEAR(d->shapes);
    Py_CLEAR(d->last_time_text);
    Py_CLEAR(d->last_time);
    for (TextSlot& slot : d->texts)
        Py_CLEAR(slot.text);
    for (NumberSlot& slot : d->numbers)
        Py_CLEAR(slot.value);
    return 0;
}

void decoder_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    decoder_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMemberDef decoder_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(LineDecoder, vectorcall), READONLY, nullptr},
    {"served", T_PYSSIZET, offsetof(LineDecoder, served), READONLY,
     "How many lines were decoded here (the others went to the fallback)."},
    {"fallback", T_OBJECT, offsetof(LineDecoder, fallback), READONLY,
     "The decoder of every line not decoded here."},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot decoder_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(decoder_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(decoder_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(decoder_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(decoder_clear)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_members, decoder_members},
    {Py_tp_methods, decoder_methods},
    {Py_tp_doc, const_cast<char*>(
        "LineDecoder(plans, resolve, entry_type, fallback, binary=False)(line, raw) -> Entry\n\n"
        "Decodes the common session line (JSON, or with binary the MessagePack of the binary\n"
        "encoding) in C; hands every other line to fallback(line, raw).")},
    {0, nullptr},
};

PyType_Spec decoder_spec = {
    "tiderec._lines.LineDecoder",
    sizeof(LineDecoder),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_IMMUTABLETYPE,
    decoder_slots,
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "tiderec._lines",
    "The decoding of the common session line, in C (see tiderec.decoding).",
    -1,  // single-phase: the type and the names live for the process
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

int init_names() {
    if (cb_kind != nullptr)
        return 0;
    cb_kind = PyUnicode_InternFromString("cb");
    enum_tag = PyUnicode_InternFromString("$enum");
    const_tag = PyUnicode_InternFromString("$const");
    empty_tuple = PyTuple_New(0);
    return cb_kind && enum_tag && const_tag && empty_tuple ? 0 : -1;
}

}  // namespace

PyMODINIT_FUNC PyInit__lines() {
    PyDateTime_IMPORT;
    if (PyDateTimeAPI == nullptr || init_names() < 0)
        return nullptr;
    ref module = ref::steal(PyModule_Create(&module_def));
    if (!module)
        return nullptr;
    if (decoder_type == nullptr) {
        decoder_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&decoder_spec));
        if (decoder_type == nullptr)
            return nullptr;
    }
    if (PyModule_AddObjectRef(module.get(), "LineDecoder", reinterpret_cast<PyObject*>(decoder_type)) < 0)
        return nullptr;
    return module.release();
}
