// tiderec._lines, part 4: the MessagePack cursor, for the lines of the binary encoding: the
// MessagePack form of the same line, whose "$enum" and "$const" tags are extension values
// (types 1 and 2) holding the name as a MessagePack text. What a decoded line holds is exactly
// what its JSON form gives.
#pragma once

#include "lines_decoder.hpp"

namespace {

constexpr int ext_enum = 1;
constexpr int ext_const = 2;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
constexpr bool big_endian = true;
#else
constexpr bool big_endian = false;
#endif

// A cursor over MessagePack bytes [p, end). Invariant: p <= end; every read checks has() first,
// so nothing past `end` is read.
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
    outcome text(LineDecoder* d, PyObject** out, bool intern) {
        const char* s;
        Py_ssize_t n;
        bool ascii;
        if (!text(&s, &n, &ascii))
            return outcome::other;
        return text_result(d->tables, s, n, ascii, intern, out);
    }

    // The steps of a record (see record_fields).
    bool open_record(size_t* n);
    int next_field(size_t i, size_t n) { return i < n ? 1 : 0; }
    bool key_start() { return true; }
    // Whether the key at p is `expected` (ASCII) as MessagePack writes a text of its length
    // (fixstr, str 8); if so, moves past it.
    bool key_is(PyObject* expected) {
        auto len = static_cast<size_t>(PyUnicode_GET_LENGTH(expected));
        size_t head = len < 32 ? 1 : 2;
        if (len < 256 && has(head + len) &&
            (head == 1 ? p[0] == (0xa0 | len) : p[0] == 0xd9 && p[1] == len) &&
            same_bytes(reinterpret_cast<const char*>(p + head),
                       static_cast<const char*>(PyUnicode_DATA(expected)), len)) {
            p += head + len;
            return true;
        }
        return false;
    }
    bool key(const char** s, Py_ssize_t* n, bool* ascii) { return text(s, n, ascii); }
    bool colon() { return true; }
    outcome value(LineDecoder* d, PyObject** out);

    // The steps of a line (see line_entry).
    bool open_line() {
        size_t n;
        return map(&n) && n == 3;
    }
    enum class key_of_line { t, cb, args, none };
    key_of_line line_key(int /*i*/) {
        const char* k;
        Py_ssize_t kn;
        bool ascii;
        if (!text(&k, &kn, &ascii))
            return key_of_line::none;
        if (kn == 1 && k[0] == 't')
            return key_of_line::t;
        if (kn == 2 && k[0] == 'c' && k[1] == 'b')
            return key_of_line::cb;
        if (kn == 4 && std::memcmp(k, "args", 4) == 0)
            return key_of_line::args;
        return key_of_line::none;
    }
    bool time_text(const char** s, Py_ssize_t* n) {
        bool ascii;
        return text(s, n, &ascii);
    }
    bool open_args() {
        size_t count;
        return array(&count) && count == 1;
    }
    bool close_args() { return true; }
    bool close_line() { return p == end; }
};

// A float (32, 64 bits) or an int (8 to 64 bits, signed or not) at b.p, whose type byte is in
// 0xca..0xd3, from the table of numbers when met before.
[[gnu::always_inline]] inline outcome packed_number(LineDecoder* d, Packed& b, PyObject** out) {
    unsigned t = *b.p;
    int n = t <= 0xcb ? 4 << (t - 0xca) : t <= 0xcf ? 1 << (t - 0xcc) : 1 << (t - 0xd0);
    if (!b.has(static_cast<size_t>(n) + 1))
        return outcome::other;
    uint64_t u = b.word(1, n);
    NumberSlot* slot = number_slot(d->tables.numbers, u, t);
    b.p += n + 1;
    if (slot->value != nullptr && slot->a == u && slot->b == t) {
        *out = Py_NewRef(slot->value);
        return outcome::ok;
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
        return outcome::error;
    keep_number(slot, *out, u, t);
    return outcome::ok;
}

// nil, a boolean, an integer, a float or a text. (It and packed_number are inlined into the
// record's loop, where most values are decoded: as calls of their own they cost a line of the
// binary encoding about 4 % more.)
[[gnu::always_inline]] inline outcome packed_plain(LineDecoder* d, Packed& b, PyObject** out) {
    if (!b.has(1))
        return outcome::other;
    unsigned t = *b.p;
    if (t <= 0x7f || t >= 0xe0) {  // fixints
        ++b.p;
        *out = PyLong_FromLong(t <= 0x7f ? static_cast<long>(t) : static_cast<long>(t) - 256);
        return *out != nullptr ? outcome::ok : outcome::error;
    }
    if ((t & 0xe0) == 0xa0 || (t >= 0xd9 && t <= 0xdb))
        return b.text(d, out, false);
    if (t >= 0xca && t <= 0xd3)
        return packed_number(d, b, out);
    switch (t) {
    case 0xc0:
        ++b.p;
        *out = Py_NewRef(Py_None);
        return outcome::ok;
    case 0xc2:
    case 0xc3:
        ++b.p;
        *out = Py_NewRef(t == 0xc3 ? Py_True : Py_False);
        return outcome::ok;
    default:
        return outcome::other;
    }
}

// [plain, ...], at most max_list of them.
outcome packed_list(LineDecoder* d, Packed& b, PyObject** out) {
    size_t n;
    if (!b.array(&n) || n > max_list)
        return outcome::other;
    Held<max_list> items;
    for (; items.n < n; ++items.n) {
        outcome r = packed_plain(d, b, &items.items[items.n]);
        if (r != outcome::ok)
            return r;
    }
    return take_list(items, out);
}

// An "$enum" or "$const" extension value: what its name resolves to.
outcome packed_tag(LineDecoder* d, Packed& b, PyObject** out) {
    unsigned t = *b.p;
    size_t len = 0, head = 0;
    if (t >= 0xd4 && t <= 0xd8) {  // fixext 1, 2, 4, 8, 16
        len = size_t{1} << (t - 0xd4);
        head = 2;
    } else if (t >= 0xc7 && t <= 0xc9) {  // ext 8, 16, 32
        size_t width = size_t{1} << (t - 0xc7);
        if (!b.has(width + 2))
            return outcome::other;
        len = b.word(1, static_cast<int>(width));
        head = width + 2;
    } else {
        return outcome::other;
    }
    if (!b.has(head + len))
        return outcome::other;
    int code = static_cast<signed char>(b.p[head - 1]);
    if (code != ext_enum && code != ext_const)
        return outcome::other;
    Packed data{b.p + head, b.p + head + len};
    PyObject* name;
    outcome r = data.text(d, &name, false);
    if (r != outcome::ok)
        return r;
    ov::object name_ref = ov::steal(name);
    if (data.p != data.end)
        return outcome::other;
    b.p += head + len;
    return resolved(d, code == ext_enum ? n_enum_tag.get() : n_const_tag.get(), name, out);
}

// A record is a map of at most max_fields fields.
inline bool Packed::open_record(size_t* n) { return map(n) && *n <= max_fields; }

// A field's value.
inline outcome Packed::value(LineDecoder* d, PyObject** out) {
    if (!has(1))
        return outcome::other;
    unsigned t = *p;
    if ((t >= 0x90 && t <= 0x9f) || t == 0xdc || t == 0xdd)
        return packed_list(d, *this, out);
    if ((t >= 0xd4 && t <= 0xd8) || (t >= 0xc7 && t <= 0xc9))
        return packed_tag(d, *this, out);
    return packed_plain(d, *this, out);
}

}  // namespace
