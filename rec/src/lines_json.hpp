// tiderec._lines, part 3: the JSON cursor. Its values (null, booleans, numbers, texts without
// escapes, lists of those, {"$enum": name} and {"$const": name} tags), and the steps of a record
// and of a line that the shared building (lines_records.hpp) takes through it.
#pragma once

#include "lines_decoder.hpp"

#include <charconv>

namespace {

// A cursor over the bytes [p, end) of one JSON line. Invariant: the byte at `end` is a newline
// or a NUL (decoder_lines copies a line that `end` cuts short; every bytes object has a NUL past
// its size). No loop here reads past it: it is neither a digit, nor a byte a text may hold, and
// white space is skipped up to `end` only.
struct Json {
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

    // The steps of a record (see record_fields).
    bool open_record(size_t* n) {
        *n = 0;  // (unknown: the fields end at the closing brace)
        return eat('{');
    }
    // 1 when field i follows, 0 after the last one, -1 when neither.
    int next_field(size_t i, size_t /*n*/) {
        if (i == 0)
            return eat('}') ? 0 : 1;
        if (eat(','))
            return 1;
        return eat('}') ? 0 : -1;
    }
    bool key_start() {
        skip_ws();
        return *p == '"';
    }
    // Whether the key at p is the text `expected` (ASCII); if so, moves past it.
    bool key_is(PyObject* expected) {
        Py_ssize_t len = PyUnicode_GET_LENGTH(expected);
        if (end - p >= len + 2 && p[len + 1] == '"' &&
            same_bytes(p + 1, static_cast<const char*>(PyUnicode_DATA(expected)),
                       static_cast<size_t>(len))) {
            p += len + 2;
            return true;
        }
        return false;
    }
    bool key(const char** s, Py_ssize_t* n, bool* ascii) { return string(s, n, ascii); }
    bool colon() { return eat(':'); }
    outcome value(LineDecoder* d, PyObject** out);

    // The steps of a line (see line_entry).
    bool open_line() { return eat('{'); }
    enum class key_of_line { t, cb, args, none };
    key_of_line line_key(int i) {
        if (i > 0 && !eat(','))
            return key_of_line::none;
        skip_ws();
        key_of_line k;
        if (literal("\"t\"", 3))
            k = key_of_line::t;
        else if (literal("\"cb\"", 4))
            k = key_of_line::cb;
        else if (literal("\"args\"", 6))
            k = key_of_line::args;
        else
            return key_of_line::none;
        return eat(':') ? k : key_of_line::none;
    }
    bool time_text(const char** s, Py_ssize_t* n) {
        bool ascii;
        return string(s, n, &ascii);
    }
    outcome text(LineDecoder* d, PyObject** out, bool intern) {
        const char* s;
        Py_ssize_t n;
        bool ascii;
        if (!string(&s, &n, &ascii))
            return outcome::other;
        return text_result(d->tables, s, n, ascii, intern, out);
    }
    bool open_args() { return eat('['); }
    bool close_args() { return eat(']'); }
    bool close_line() {
        if (!eat('}'))
            return false;
        skip_ws();
        return p == end;
    }
};

// Where the first comma, closing bracket or closing brace (what follows a number in compact
// JSON) is among the eight bytes of x, in text order (little-endian words); 8 when none is.
// With the 0x20 bit set in every byte, "]" reads as "}", and no byte of a number reads as
// either of the two. The lowest flag each test raises is exact (a borrow only flags bytes
// after a real match), so the first match is found exactly.
inline int first_delimiter(uint64_t x) {
    constexpr uint64_t ones = 0x0101010101010101ull;
    constexpr uint64_t highs = 0x8080808080808080ull;
    auto zero_byte = [](uint64_t v) { return (v - ones) & ~v & highs; };
    uint64_t y = x | (ones * 0x20);
    uint64_t m = zero_byte(y ^ (ones * ',')) | zero_byte(y ^ (ones * '}'));
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
[[gnu::noinline]] outcome parse_number(Json& ln, PyObject** out, NumberSlot* slot, uint64_t a,
                                       uint64_t b, Py_ssize_t len) {
    const char* s = ln.p;
    const char* q = s;
    bool negative = *q == '-';
    if (negative)
        ++q;
    if (!digit(*q))
        return outcome::other;
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
            return outcome::other;
        count += fraction;
        is_float = true;
    }
    bool exponent = *q == 'e' || *q == 'E';
    if (exponent) {
        ++q;
        if (*q == '+' || *q == '-')
            ++q;
        if (!digit(*q))
            return outcome::other;
        while (digit(*q))
            ++q;
        is_float = true;
    }
    if (!is_float) {
        if (count > 18)
            return outcome::other;
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
                return outcome::other;
        }
        *out = PyFloat_FromDouble(v);
    }
    if (*out == nullptr)
        return outcome::error;
    if (slot != nullptr && q - s == len)
        keep_number(slot, *out, a, b);
    ln.p = q;
    return outcome::ok;
}

// A number: from the table when its text is there (up to the next comma, bracket or brace, at
// most 15 bytes), else parsed.
inline outcome number(LineDecoder* d, Json& ln, PyObject** out) {
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
            // The length in the key's last byte (no text byte is kept there): the zero padding
            // cannot tell NUL bytes in the text from the padding, its length does.
            b |= static_cast<uint64_t>(len) << 56;
            NumberSlot* slot = number_slot(d->tables.numbers, a, b);
            if (slot->value != nullptr && slot->a == a && slot->b == b) {
                *out = Py_NewRef(slot->value);
                ln.p = s + len;
                return outcome::ok;
            }
            return parse_number(ln, out, slot, a, b, len);
        }
    }
    return parse_number(ln, out, nullptr, 0, 0, 0);
}

// null, a boolean, a number or a text.
outcome plain(LineDecoder* d, Json& ln, PyObject** out) {
    ln.skip_ws();
    if (ln.p >= ln.end)
        return outcome::other;
    switch (*ln.p) {
    case '"':
        return ln.text(d, out, false);
    case 'n':
        if (!ln.literal("null", 4))
            return outcome::other;
        *out = Py_NewRef(Py_None);
        return outcome::ok;
    case 't':
        if (!ln.literal("true", 4))
            return outcome::other;
        *out = Py_NewRef(Py_True);
        return outcome::ok;
    case 'f':
        if (!ln.literal("false", 5))
            return outcome::other;
        *out = Py_NewRef(Py_False);
        return outcome::ok;
    default:
        return number(d, ln, out);
    }
}

// [plain, ...], at most max_list of them.
outcome plain_list(LineDecoder* d, Json& ln, PyObject** out) {
    ++ln.p;  // '['
    Held<max_list> items;
    if (!ln.eat(']')) {
        for (;;) {
            if (items.n == max_list)
                return outcome::other;
            ln.skip_ws();
            char c = *ln.p;  // numbers, the usual items, without the dispatch of plain()
            outcome r = digit(c) || c == '-' ? number(d, ln, &items.items[items.n])
                                             : plain(d, ln, &items.items[items.n]);
            if (r != outcome::ok)
                return r;
            ++items.n;
            if (ln.eat(','))
                continue;
            if (ln.eat(']'))
                break;
            return outcome::other;
        }
    }
    return take_list(items, out);
}

// {"$enum": name} or {"$const": name}: its value, resolved once per name.
outcome tag(LineDecoder* d, Json& ln, PyObject** out) {
    ++ln.p;  // '{'
    ln.skip_ws();
    PyObject* which;
    if (ln.literal("\"$enum\"", 7))
        which = n_enum_tag;
    else if (ln.literal("\"$const\"", 8))
        which = n_const_tag;
    else
        return outcome::other;
    if (!ln.eat(':'))
        return outcome::other;
    ov::object name;
    {
        PyObject* s;
        outcome r = ln.text(d, &s, false);
        if (r != outcome::ok)
            return r;
        name = ov::steal(s);
    }
    if (!ln.eat('}'))
        return outcome::other;
    return resolved(d, which, name.get(), out);
}

// A field's value.
inline outcome Json::value(LineDecoder* d, PyObject** out) {
    skip_ws();
    if (p >= end)
        return outcome::other;
    char c = *p;
    if (digit(c) || c == '-')
        return number(d, *this, out);
    if (c == '[')
        return plain_list(d, *this, out);
    if (c == '{')
        return tag(d, *this, out);
    return plain(d, *this, out);
}

}  // namespace
