// tiderec._capture.LineEncoder: the session line of the common captured entry, made in C.
//
// The capture (capture.cpp) has it make the line of a common callback at once, from the
// arguments as delivered (encode_callback, below): records are read where they are. What the
// capture copied instead reaches the writer thread, which hands it the captured callbacks
// waiting in the hand-off (a line the capture made is taken as it is); it
// pops them one after another and writes each one's line into one chunk of text, as long as
// the entry is of the common kind: a callback (not an act) without keyword arguments, its
// time a float of the wall clock, a naive datetime or a text, its arguments records (copied
// instance dicts) and plain values (None, booleans, integers of 64 bits, floats, texts, lists
// of those, enumeration members the recorder's encoder tags). The first entry of any other
// kind stops the chunk and is handed back, popped, to the recorder's Python encoder, which
// writes it as it always has. The two write the same bytes for the same entry; a test compares
// them over whole days and fuzzed records.
//
// A line made here keeps its numbers (floats, and integers of 64 bits with a sign) as holes
// (entry_text.hpp): the number's 8 bytes stand in its place, and its text is written when the
// writer finishes the block, without the interpreter's lock (finish_lines, write_gzip), so the
// lock is not held for the digits. What leaves this file as a line to be read (encode, and
// finish_lines) is finished text.
//
// Nothing here runs Python code while it walks an entry, with one exception: the first time a
// value of a type not yet met is seen, the recorder is asked (member_text) how it is written.
// That call may run any Python code, so after it the entry is begun again from its start
// (`retry`): no borrowed reference is used across it.
//
// No C++ exception crosses into the interpreter; a function that fails returns nullptr (or the
// `error` result) with the Python exception set.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <datetime.h>

#include <cmath>
#include <new>
#include <cstdint>
#include <cstring>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "dict_entries.hpp"
#include "entry_text.hpp"
#include "line_encoder.hpp"
#include "lock_gate.hpp"
#include "ov/core.hpp"

namespace {

namespace text = tiderec::text;
using tiderec::dict_entries::FieldWalk;

// What encoding one part of an entry came to: written; left to the Python encoder (nothing
// set); to be begun again (a new value type was learned); or failed with an exception set.
enum class res { ok, decline, retry, error };

constexpr int max_depth = 32;      // lists in lists deeper than this: the Python encoder
constexpr int max_retries = 64;    // new value types learned in one entry before it is declined
constexpr size_t shape_slots = 64;
constexpr size_t name_slots = 16;

// The key texts of one record shape. Invariant: `keys` holds a strong reference to each key,
// in the dict's order, so that a key compared by pointer is that very key; the i-th key text is
// what precedes the i-th value in the line (`"name":`, with a comma before all but the first
// field written), empty for a private field (a name starting with "_"), which is not written.
// The key texts lie one after another in `text`, the i-th at spans[i] (offset, length), and
// 16 bytes of padding follow them, so that a text is copied in 16-byte moves.
struct Shape {
    std::vector<PyObject*> keys;
    std::vector<std::pair<uint32_t, uint32_t>> spans;
    std::string text;
};

// The encoder's caches. Invariant: every PyObject* key of `members` and of `declined` holds a
// strong reference (taken on insertion, dropped by drop_tables), so no cached pointer can be
// reused by another object.
struct Tables {
    std::unordered_map<PyObject*, std::string> members;  // enumeration member -> its tag text
    std::unordered_set<PyObject*> declined;              // types whose values Python writes
    Shape shapes[shape_slots];                           // direct-mapped by first key and size
    // Callback names (strong references, so that an address is not reused while it is here)
    // with their text as the line has it, direct-mapped by address.
    std::pair<PyObject*, std::string> names[name_slots];
    long long second = -1;  // the wall-clock second of `second_text`
    std::string second_text;  // its text as the line has it: the opening quote, escaped
    text::Buffer chunk;       // drain's lines, reused
    // Whether numbers are written as holes (else as their text at once): the capture says so
    // for each line it makes (see encode_callback); drain's lines always have them. Lines of
    // either kind, or mixed, finish to the same text.
    bool holes = true;
    // A buffer for one line, lent to whoever encodes one (see LentBuffer).
    text::Buffer spare;
};

// The tables' spare buffer for the time one line is made, so that a line costs no allocation:
// taken by swapping it out and given back (or freed, when another was given back meanwhile)
// at the end. Python code the encoder calls can let another thread encode a line meanwhile,
// which then finds no spare and grows a buffer of its own.
class LentBuffer {
public:
    explicit LentBuffer(Tables& t) : t_(t) {
        buf.swap(t.spare);
        buf.clear();
    }
    ~LentBuffer() {
        if (t_.spare.capacity() < buf.capacity() && buf.capacity() <= (size_t{1} << 16))
            buf.swap(t_.spare);
    }
    LentBuffer(const LentBuffer&) = delete;
    LentBuffer& operator=(const LentBuffer&) = delete;
    text::Buffer buf;

private:
    Tables& t_;
};

struct LineEncoder {
    PyObject_HEAD
    PyObject* fields_type;  // the Python capture's type of a record's copied fields
    PyObject* member_text;  // member_text(v) -> bytes (its tag's JSON) or None (Python's)
    PyObject* second_text;  // second_text(int) -> the local ISO text of that second
    Tables* t;
};

PyTypeObject* encoder_type = nullptr;
ov::name popleft_name("popleft");  // made by ov::init_names when the module loads

// An exception raised by Python code the encoder called: an ordinary one means the entry is
// left to the Python encoder (which meets it again and deals with it); an interrupt stays set.
res decline_if_exception() { return ov::clear_if_exception() ? res::decline : res::error; }

res append_text(PyObject* s, text::Buffer& out) {
    if (PyUnicode_IS_COMPACT_ASCII(s)) {  // its bytes are its UTF-8 (no conversion, no call)
        text::append_string(out, static_cast<const char*>(PyUnicode_DATA(s)),
                            static_cast<size_t>(PyUnicode_GET_LENGTH(s)));
        return res::ok;
    }
    Py_ssize_t n = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(s, &n);
    if (utf8 == nullptr)
        return decline_if_exception();  // a lone surrogate
    text::append_string(out, utf8, static_cast<size_t>(n));
    return res::ok;
}

// The value of an int of up to two digits (all of them on 3.11 up to 2^60), read from its
// digits; false for a longer one (or another layout), which the interpreter's conversion reads.
inline bool small_int_value(PyObject* v, long long* x) {
#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000 && PyLong_SHIFT == 30
    // 3.11's int: Py_SIZE is the number of 30-bit digits, negative for a negative value.
    const Py_ssize_t size = Py_SIZE(v);
    const digit* d = reinterpret_cast<PyLongObject*>(v)->ob_digit;
    switch (size) {
    case 0: *x = 0; return true;
    case 1: *x = static_cast<long long>(d[0]); return true;
    case -1: *x = -static_cast<long long>(d[0]); return true;
    case 2: *x = static_cast<long long>(d[0] | static_cast<uint64_t>(d[1]) << PyLong_SHIFT); return true;
    case -2: *x = -static_cast<long long>(d[0] | static_cast<uint64_t>(d[1]) << PyLong_SHIFT); return true;
    default: return false;
    }
#else
    (void)v;
    (void)x;
    return false;
#endif
}

// An exact int as its line has it: a hole for one of 64 bits with a sign, the text of one of
// 64 bits without; declined beyond (the Python encoder writes it).
res append_integer(PyObject* v, bool holes, text::Buffer& out) {
    long long x = 0;
    if (!small_int_value(v, &x)) {
        int overflow = 0;
        x = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (overflow != 0) {
            if (overflow < 0)
                return res::decline;
            const unsigned long long u = PyLong_AsUnsignedLongLong(v);
            if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
                PyErr_Clear();  // beyond 64 bits: the Python encoder writes it
                return res::decline;
            }
            text::append_uint(out, u);
            return res::ok;
        }
        if (x == -1 && PyErr_Occurred())
            return res::error;
    }
    if (!holes) {
        text::append_int(out, x);
        return res::ok;
    }
    char* w = out.room(text::hole_size);
    out.commit(static_cast<size_t>(text::write_int_hole(w, x) - w));
    return res::ok;
}

// A value of a type that is not one of the plain ones: its tag text when it is an enumeration
// member the recorder tags, learned from the recorder the first time.
res append_member(LineEncoder* e, PyObject* v, text::Buffer& out) {
    Tables& t = *e->t;
    const auto hit = t.members.find(v);
    if (hit != t.members.end()) {
        out += hit->second;
        return res::ok;
    }
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(v));
    if (t.declined.count(type) != 0)
        return res::decline;
    ov::object type_held = ov::borrow(type);
    ov::object value_held = ov::borrow(v);
    ov::object tag = ov::steal(PyObject_CallOneArg(e->member_text, v));
    if (!tag)
        return decline_if_exception();
    if (PyBytes_CheckExact(tag.get())) {
        std::string written(PyBytes_AS_STRING(tag.get()),
                            static_cast<size_t>(PyBytes_GET_SIZE(tag.get())));
        if (t.members.emplace(v, std::move(written)).second)
            Py_INCREF(v);
    } else if (t.declined.insert(type).second) {
        Py_INCREF(type);
    }
    return res::retry;  // Python code ran: the entry is begun again
}

// A float, or an integer of 64 bits with a sign, at w (write_slack bytes of room): as a hole,
// or (without `holes`) as its text when it is an integer or a short decimal. Returns the end;
// nullptr for any other value (nothing written).
inline char* write_number(char* w, PyObject* v, bool holes) {
    PyTypeObject* type = Py_TYPE(v);
    if (type == &PyFloat_Type) {
        const double x = PyFloat_AS_DOUBLE(v);
        return holes ? text::write_double_hole(w, x) : text::write_short_decimal(w, x);
    }
    if (type == &PyLong_Type) {
        long long x = 0;
        if (!small_int_value(v, &x)) {
            int overflow = 0;
            x = PyLong_AsLongLongAndOverflow(v, &overflow);
            if (overflow != 0 || (x == -1 && PyErr_Occurred())) {
                PyErr_Clear();  // (an exact int sets nothing here; append_integer sees it again)
                return nullptr;
            }
        }
        return holes ? text::write_int_hole(w, x) : text::write_int(w, x);
    }
    return nullptr;
}

res append_value(LineEncoder* e, PyObject* v, int depth, text::Buffer& out) {
    PyTypeObject* type = Py_TYPE(v);
    if (type == &PyFloat_Type) {
        if (!e->t->holes) {
            text::append_float(out, PyFloat_AS_DOUBLE(v));
            return res::ok;
        }
        char* w = out.room(text::hole_size);
        out.commit(static_cast<size_t>(text::write_double_hole(w, PyFloat_AS_DOUBLE(v)) - w));
        return res::ok;
    }
    if (type == &PyLong_Type)
        return append_integer(v, e->t->holes, out);
    if (type == &PyUnicode_Type)
        return append_text(v, out);
    if (v == Py_None) {
        out += "null";
        return res::ok;
    }
    if (type == &PyBool_Type) {
        out += v == Py_True ? "true" : "false";
        return res::ok;
    }
    if (type == &PyList_Type) {
        if (depth >= max_depth)
            return res::decline;
        const Py_ssize_t n = PyList_GET_SIZE(v);  // (no Python code runs while it is written)
        out.push_back('[');
        Py_ssize_t i = 0;
        while (i < n) {
            // A run of numbers (price and volume lists) at one reservation of room: at most 21
            // bytes and a comma each.
            char* const start = out.room(static_cast<size_t>(n - i) * 24 + text::write_slack);
            char* w = start;
            const bool holes = e->t->holes;
            if (i == 0) {
                char* end = write_number(w, PyList_GET_ITEM(v, 0), holes);
                if (end != nullptr) {
                    w = end;
                    ++i;
                }
            }
            if (i > 0) {  // each further number after its comma
                for (; i < n; ++i) {
                    *w = ',';
                    char* end = write_number(w + 1, PyList_GET_ITEM(v, i), holes);
                    if (end == nullptr)
                        break;
                    w = end;
                }
            }
            out.commit(static_cast<size_t>(w - start));
            if (i == n)
                break;
            if (i > 0)
                out.push_back(',');
            const res r = append_value(e, PyList_GET_ITEM(v, i), depth + 1, out);
            if (r != res::ok)
                return r;
            ++i;
        }
        out.push_back(']');
        return res::ok;
    }
    return append_member(e, v, out);
}

void drop_shape(Shape& s) {
    std::vector<PyObject*> keys = std::move(s.keys);
    s.keys.clear();
    s.spans.clear();
    s.text.clear();
    for (PyObject* k : keys)
        Py_DECREF(k);
}

// Learns the shape of record `d` into `s`: declined when a key is not an exact str.
res learn_shape(PyObject* d, Shape& s) {
    Shape made;
    bool first = true;
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    res r = res::ok;
    while (PyDict_Next(d, &pos, &k, &v)) {
        text::Buffer key_text;
        if (!PyUnicode_CheckExact(k)) {
            r = res::decline;
            break;
        }
        if (PyUnicode_GET_LENGTH(k) == 0 || PyUnicode_READ_CHAR(k, 0) != '_') {
            if (!first)
                key_text.push_back(',');
            first = false;
            r = append_text(k, key_text);
            if (r != res::ok)
                break;
            key_text.push_back(':');
        }
        made.keys.push_back(Py_NewRef(k));
        made.spans.emplace_back(static_cast<uint32_t>(made.text.size()),
                                static_cast<uint32_t>(key_text.size()));
        made.text.append(key_text.data(), key_text.size());
    }
    made.text.append(16, '\0');
    if (r != res::ok) {
        drop_shape(made);
        return r;
    }
    drop_shape(s);
    s = std::move(made);
    return res::ok;
}

// A record: its copied fields, private ones left out, in their order. The key texts come from
// the shape cached for records of this size and first key, checked key by key as the values
// are written; a record of another shape is written again from its start once its shape is
// learned.
res append_record(LineEncoder* e, PyObject* d, text::Buffer& out) {
    const Py_ssize_t n = PyDict_GET_SIZE(d);
    if (n == 0) {
        out += "{}";
        return res::ok;
    }
    FieldWalk walk(d);
    Py_ssize_t pos = 0;
    PyObject *k = nullptr, *v = nullptr;
    walk.next(&pos, &k, &v);
    const size_t slot = ((reinterpret_cast<uintptr_t>(k) >> 4) ^ static_cast<uintptr_t>(n)) % shape_slots;
    Shape& s = e->t->shapes[slot];
    const size_t start = out.size();
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (attempt == 1 || s.keys.size() != static_cast<size_t>(n) || s.keys[0] != k) {
            out.resize(start);
            const res r = learn_shape(d, s);
            if (r != res::ok)
                return r;
            walk.refresh();
            pos = 0;
            walk.next(&pos, &k, &v);
        }
        out.push_back('{');
        bool same = true;
        size_t i = 0;
        do {
            if (k != s.keys[i]) {
                same = false;
                break;
            }
            const auto [offset, length] = s.spans[i++];
            if (length == 0)
                continue;  // a private field
            // The key text and a number written at one reservation of room.
            char* const w = out.room(length + 16 + text::write_slack);
            const char* from = s.text.data() + offset;
            for (uint32_t c = 0; c < length; c += 16)
                std::memcpy(w + c, from + c, 16);
            char* end = write_number(w + length, v, e->t->holes);
            if (end != nullptr) {
                out.commit(static_cast<size_t>(end - w));
                continue;
            }
            out.commit(length);
            const res r = append_value(e, v, 0, out);
            if (r != res::ok)
                return r;
            walk.refresh();  // (a value written by the interpreter's conversion: to be sure)
        } while (i < s.keys.size() && walk.next(&pos, &k, &v));
        if (same && i == s.keys.size()) {
            out.push_back('}');
            return res::ok;
        }
    }
    return res::decline;  // (a learned shape always matches: not reached)
}

// A wall-clock time (seconds since the epoch) as local ISO text to the microsecond.
res append_wall(LineEncoder* e, double x, text::Buffer& out) {
    if (!(x >= 0 && x < 1e11))
        return res::decline;
    Tables& t = *e->t;
    const auto sec = static_cast<long long>(x);
    if (sec != t.second) {
        ov::object number = ov::steal(PyLong_FromLongLong(sec));
        if (!number)
            return res::error;
        ov::object got = ov::steal(PyObject_CallOneArg(e->second_text, number.get()));
        if (!got)
            return decline_if_exception();
        Py_ssize_t n = 0;
        const char* s = PyUnicode_Check(got.get()) ? PyUnicode_AsUTF8AndSize(got.get(), &n) : nullptr;
        if (s == nullptr)
            return PyErr_Occurred() ? decline_if_exception() : res::decline;
        // The whole time is one JSON string; escaping goes byte by byte, so the second's
        // part is escaped once here and the microseconds (digits) follow it as they are.
        text::Buffer quoted;
        text::append_string(quoted, s, static_cast<size_t>(n));
        t.second_text.assign(quoted.data(), quoted.size() - 1);  // without its closing quote
        t.second = sec;
    }
    // round() of Python: to nearest, halves to even (the default rounding mode)
    double micro = std::nearbyint((x - static_cast<double>(sec)) * 1e6);
    if (micro > 999999)
        micro = 999999;
    const size_t n = t.second_text.size();
    char* const start = out.room(n + 8);
    std::memcpy(start, t.second_text.data(), n);
    char* w = start + n;
    *w++ = '.';
    w = text::write_digits(w, static_cast<unsigned>(micro), 6);
    *w++ = '"';
    out.commit(static_cast<size_t>(w - start));
    return res::ok;
}

// The entry's time: a wall-clock float as local ISO text to the microsecond, a naive datetime
// to the millisecond (or the microsecond when it has a part below the millisecond), a text as
// it is.
res append_time(LineEncoder* e, PyObject* now, text::Buffer& out) {
    if (PyFloat_CheckExact(now))
        return append_wall(e, PyFloat_AS_DOUBLE(now), out);
    if (PyDateTime_CheckExact(now)) {
        if (PyDateTime_DATE_GET_TZINFO(now) != Py_None)
            return res::decline;
        char* const start = out.room(32);
        char* w = start;
        *w++ = '"';
        w = text::write_digits(w, static_cast<unsigned>(PyDateTime_GET_YEAR(now)), 4);
        *w++ = '-';
        w = text::write_digits(w, static_cast<unsigned>(PyDateTime_GET_MONTH(now)), 2);
        *w++ = '-';
        w = text::write_digits(w, static_cast<unsigned>(PyDateTime_GET_DAY(now)), 2);
        *w++ = 'T';
        w = text::write_digits(w, static_cast<unsigned>(PyDateTime_DATE_GET_HOUR(now)), 2);
        *w++ = ':';
        w = text::write_digits(w, static_cast<unsigned>(PyDateTime_DATE_GET_MINUTE(now)), 2);
        *w++ = ':';
        w = text::write_digits(w, static_cast<unsigned>(PyDateTime_DATE_GET_SECOND(now)), 2);
        *w++ = '.';
        const auto us = static_cast<unsigned>(PyDateTime_DATE_GET_MICROSECOND(now));
        w = us % 1000 == 0 ? text::write_digits(w, us / 1000, 3) : text::write_digits(w, us, 6);
        *w++ = '"';
        out.commit(static_cast<size_t>(w - start));
        return res::ok;
    }
    if (PyUnicode_CheckExact(now))
        return append_text(now, out);
    return res::decline;
}

// A callback's name (an exact str) as its line has it, from the names' texts kept.
res append_name(LineEncoder* e, PyObject* name, text::Buffer& out) {
    auto& [known, written] = e->t->names[(reinterpret_cast<uintptr_t>(name) >> 4) % name_slots];
    if (known != name) {
        text::Buffer b;
        const res r = append_text(name, b);
        if (r != res::ok)
            return r;
        written.assign(b.data(), b.size());
        PyObject* old = known;
        known = Py_NewRef(name);
        Py_XDECREF(old);  // a str: freeing it runs no Python code
    }
    out.append(written.data(), written.size());
    return res::ok;
}

// A record among the arguments: a dict handed over by the native capture (in a tuple), or the
// Python capture's copied fields (in a list).
bool is_record(const LineEncoder* e, PyObject* a, bool handed_over) {
    return handed_over ? PyDict_CheckExact(a) : Py_TYPE(a) == reinterpret_cast<PyTypeObject*>(e->fields_type);
}

res append_argument(LineEncoder* e, PyObject* a, bool handed_over, text::Buffer& out) {
    if (is_record(e, a, handed_over))
        return append_record(e, a, out);
    if (!PyList_CheckExact(a))
        return append_value(e, a, 0, out);
    out.push_back('[');
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(a); ++i) {
        if (i > 0)
            out.push_back(',');
        PyObject* x = PyList_GET_ITEM(a, i);
        const res r = is_record(e, x, handed_over) ? append_record(e, x, out) : append_value(e, x, 0, out);
        if (r != res::ok)
            return r;
    }
    out.push_back(']');
    return res::ok;
}

// One captured callback (time, name, arguments, keyword arguments) as its line, without the
// newline: {"t":...,"cb":...,"args":[...]}; or a line the capture made already (bytes).
res append_entry_once(LineEncoder* e, PyObject* item, text::Buffer& out) {
    if (PyBytes_CheckExact(item)) {  // its line, made by the capture (encode_callback)
        out.append(PyBytes_AS_STRING(item), static_cast<size_t>(PyBytes_GET_SIZE(item)));
        return res::ok;
    }
    if (!PyTuple_CheckExact(item) || PyTuple_GET_SIZE(item) != 4)
        return res::decline;
    PyObject* name = PyTuple_GET_ITEM(item, 1);
    PyObject* args = PyTuple_GET_ITEM(item, 2);
    if (PyTuple_GET_ITEM(item, 3) != Py_None || !PyUnicode_CheckExact(name))
        return res::decline;  // keyword arguments, or an act
    const bool handed_over = PyTuple_CheckExact(args);
    if (!handed_over && !PyList_CheckExact(args))
        return res::decline;
    out += R"({"t":)";
    res r = append_time(e, PyTuple_GET_ITEM(item, 0), out);
    if (r != res::ok)
        return r;
    out += R"(,"cb":)";
    r = append_name(e, name, out);
    if (r != res::ok)
        return r;
    const Py_ssize_t n = handed_over ? PyTuple_GET_SIZE(args) : PyList_GET_SIZE(args);
    if (n > 0) {
        out += R"(,"args":[)";
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (i > 0)
                out.push_back(',');
            PyObject* a = handed_over ? PyTuple_GET_ITEM(args, i) : PyList_GET_ITEM(args, i);
            r = append_argument(e, a, handed_over, out);
            if (r != res::ok)
                return r;
        }
        out.push_back(']');
    }
    out.push_back('}');
    return res::ok;
}

// The entry's line appended to `out`; on any other result `out` is as it was. The caller holds
// a reference to `item`.
res append_entry(LineEncoder* e, PyObject* item, text::Buffer& out) {
    const size_t start = out.size();
    for (int tries = 0;; ++tries) {
        const res r = append_entry_once(e, item, out);
        if (r == res::ok)
            return r;
        out.resize(start);
        if (r != res::retry)
            return r;
        if (tries == max_retries)
            return res::decline;
    }
}

// ---------------------------------------------------------------------------------------------
// A callback's line made at its capture, from its arguments as they are (records read where
// they are, not copied): what the reader makes of each argument decides how it is written.

using tiderec::argument;

res append_read(LineEncoder* e, PyObject* v, bool in_list, tiderec::ReadArgument read,
                const void* context, text::Buffer& out) {
    ov::object held = ov::borrow(v);  // the reader may run Python code (an allocation's collection)
    PyObject* fields = nullptr;
    switch (read(context, v, in_list, &fields)) {
    case argument::value:
        return append_value(e, v, 0, out);
    case argument::record: {
        ov::object owned = ov::steal(fields);
        return append_record(e, owned.get(), out);
    }
    case argument::list:
        out.push_back('[');
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(v); ++i) {
            if (i > 0)
                out.push_back(',');
            const res r = append_read(e, PyList_GET_ITEM(v, i), true, read, context, out);
            if (r != res::ok)
                return r;
        }
        out.push_back(']');
        return res::ok;
    case argument::other:
        return res::decline;
    case argument::error:
        break;
    }
    return res::error;
}

res append_call_once(LineEncoder* e, PyObject* now, double wall, PyObject* name,
                     PyObject* const* args, Py_ssize_t n, tiderec::ReadArgument read,
                     const void* context, text::Buffer& out) {
    out += R"({"t":)";
    res r = now != nullptr ? append_time(e, now, out) : append_wall(e, wall, out);
    if (r != res::ok)
        return r;
    out += R"(,"cb":)";
    r = append_name(e, name, out);
    if (r != res::ok)
        return r;
    if (n > 0) {
        out += R"(,"args":[)";
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (i > 0)
                out.push_back(',');
            r = append_read(e, args[i], false, read, context, out);
            if (r != res::ok)
                return r;
        }
        out.push_back(']');
    }
    out.push_back('}');
    return res::ok;
}

// Puts the tables' `holes` back to drain's when the line is made (Python code the encoder
// calls may let another thread make a line meanwhile: either form is right).
class HolesFor {
public:
    HolesFor(Tables& t, bool holes) : t_(t) { t.holes = holes; }
    ~HolesFor() { t_.holes = true; }
    HolesFor(const HolesFor&) = delete;
    HolesFor& operator=(const HolesFor&) = delete;

private:
    Tables& t_;
};

PyObject* encode_callback_impl(PyObject* encoder, PyObject* now, double wall, PyObject* name,
                               // (`read` is a function pointer, passed as one)
                               // cppcheck-suppress passedByValue
                               PyObject* const* args, Py_ssize_t n, tiderec::ReadArgument read,
                               const void* context, bool holes) {
    auto* e = reinterpret_cast<LineEncoder*>(encoder);
    if (e->member_text == nullptr || e->t == nullptr || !PyUnicode_CheckExact(name))
        return nullptr;  // cleared by the collector: the capture copies, as without an encoder
    HolesFor mode(*e->t, holes);
    LentBuffer lent(*e->t);
    text::Buffer& line = lent.buf;
    for (int tries = 0; tries <= max_retries; ++tries) {
        line.clear();
        const res r = append_call_once(e, now, wall, name, args, n, read, context, line);
        if (r == res::ok)
            return PyBytes_FromStringAndSize(line.data(), static_cast<Py_ssize_t>(line.size()));
        if (r != res::retry)
            return nullptr;  // declined (nothing set) or failed (set)
    }
    return nullptr;
}

// ---------------------------------------------------------------------------------------------
// The type

// Whether the encoder still has its parts (the collector may have cleared it).
bool usable(const LineEncoder* e) {
    if (e->member_text != nullptr)
        return true;
    PyErr_SetString(PyExc_RuntimeError, "LineEncoder: used after it was cleared");
    return false;
}

// s[0..n) with its holes filled in, as a new bytes object.
PyObject* finished_bytes(const char* s, size_t n) {
    text::Buffer out;
    text::append_finished(out, s, n);
    return PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
}

// encode(item) -> bytes | None: the entry's line (without its newline, its numbers written out),
// or None when the entry is one the Python encoder writes.
PyObject* encode_impl(PyObject* self, PyObject* item) {
    auto* e = reinterpret_cast<LineEncoder*>(self);
    if (!usable(e))
        return nullptr;
    if (PyBytes_CheckExact(item)) {
        const char* s = PyBytes_AS_STRING(item);
        const auto n = static_cast<size_t>(PyBytes_GET_SIZE(item));
        return text::has_holes(s, n) ? finished_bytes(s, n) : Py_NewRef(item);
    }
    LentBuffer lent(*e->t);
    text::Buffer& line = lent.buf;
    switch (append_entry(e, item, line)) {
    case res::ok:
        return finished_bytes(line.data(), line.size());
    case res::error:
        return nullptr;
    default:
        Py_RETURN_NONE;
    }
}

// drain(queue, limit, max_bytes) -> (lines, n, other): pops entries from the front of the
// deque `queue` and writes their lines, each followed by a newline, into `lines`, until `limit`
// entries are written, `lines` holds `max_bytes` or more, the queue is empty, or an entry the
// Python encoder must write is popped: that one is `other` (else None), for the caller to
// write after `lines`. The lines keep their numbers as holes: finish_lines (or the block's
// compression) fills them in, without the interpreter's lock.
PyObject* drain_impl(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    auto* e = reinterpret_cast<LineEncoder*>(self);
    if (!usable(e))
        return nullptr;
    if (nargs != 3) {
        PyErr_Format(PyExc_TypeError, "drain() takes 3 arguments (%zd given)", nargs);
        return nullptr;
    }
    const Py_ssize_t limit = PyLong_AsSsize_t(args[1]);
    if (limit == -1 && PyErr_Occurred())
        return nullptr;
    const Py_ssize_t max_bytes = PyLong_AsSsize_t(args[2]);
    if (max_bytes == -1 && PyErr_Occurred())
        return nullptr;
    ov::object popleft = ov::steal(PyObject_GetAttr(args[0], popleft_name));
    if (!popleft)
        return nullptr;
    // A line the capture made is copied once, from its bytes into the result; the lines of
    // copies are made into `chunk` first. `pieces` says where each line is, in order.
    struct Piece {
        ov::object line;  // the capture's line, or empty: chunk[offset, offset + size)
        size_t offset, size;
    };
    std::vector<Piece> pieces;
    text::Buffer& chunk = e->t->chunk;
    chunk.clear();
    size_t total = 0;  // the result's size: every line and its newline
    Py_ssize_t n = 0;
    ov::object other;
    while (n < limit && total < static_cast<size_t>(max_bytes)) {
        const Py_ssize_t pending = PyObject_Size(args[0]);
        if (pending < 0)
            return nullptr;
        if (pending == 0)
            break;
        ov::object item = ov::steal(PyObject_CallNoArgs(popleft.get()));
        if (!item)
            return nullptr;
        if (PyBytes_CheckExact(item.get())) {
            const auto size = static_cast<size_t>(PyBytes_GET_SIZE(item.get()));
            pieces.push_back(Piece{std::move(item), 0, size});
            total += size + 1;
            ++n;
            continue;
        }
        const size_t start = chunk.size();
        const res r = append_entry(e, item.get(), chunk);
        if (r == res::error)
            return nullptr;
        if (r != res::ok) {
            other = std::move(item);
            break;
        }
        pieces.push_back(Piece{ov::object(), start, chunk.size() - start});
        total += chunk.size() - start + 1;
        ++n;
    }
    ov::object lines = ov::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(total)));
    if (!lines)
        return nullptr;
    char* w = PyBytes_AS_STRING(lines.get());  // (not shared yet: filled in here)
    for (const Piece& piece : pieces) {
        const char* from = piece.line ? PyBytes_AS_STRING(piece.line.get()) : chunk.data() + piece.offset;
        std::memcpy(w, from, piece.size);
        w += piece.size;
        *w++ = '\n';
    }
    chunk.trim(size_t{1} << 22);  // keep no more than a few MB between calls
    return Py_BuildValue("(NnO)", lines.release(), n, other ? other.get() : Py_None);
}

// The methods: the encoding's memory running out (std::bad_alloc from a buffer or a table) is
// MemoryError, and nothing else of C++ leaves them.
PyObject* encoder_encode(PyObject* self, PyObject* item) {
    try {
        return encode_impl(self, item);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyObject* encoder_drain(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    try {
        return drain_impl(self, args, nargs);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyObject* encoder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"fields_type", "member_text", "second_text", nullptr};
    PyObject *fields_type, *member_text, *second_text;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O!OO:LineEncoder", const_cast<char**>(kwlist),
                                     &PyType_Type, &fields_type, &member_text, &second_text))
        return nullptr;
    if (!PyCallable_Check(member_text) || !PyCallable_Check(second_text)) {
        PyErr_SetString(PyExc_TypeError, "LineEncoder: member_text and second_text must be callable");
        return nullptr;
    }
    auto* tables = new (std::nothrow) Tables();
    if (tables == nullptr)
        return PyErr_NoMemory();
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) {
        delete tables;
        return nullptr;
    }
    auto* e = reinterpret_cast<LineEncoder*>(self);
    e->fields_type = Py_NewRef(fields_type);
    e->member_text = Py_NewRef(member_text);
    e->second_text = Py_NewRef(second_text);
    e->t = tables;
    return self;
}

int encoder_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* e = reinterpret_cast<LineEncoder*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(e->fields_type);
    Py_VISIT(e->member_text);
    Py_VISIT(e->second_text);
    if (e->t != nullptr) {
        for (const auto& m : e->t->members)
            Py_VISIT(m.first);
        for (PyObject* type : e->t->declined)
            Py_VISIT(type);
    }
    return 0;
}

// Empties the caches first, then releases what they held (a release may run Python code).
void drop_tables(Tables& t) {
    std::vector<PyObject*> held;
    for (const auto& m : t.members)
        held.push_back(m.first);
    for (PyObject* type : t.declined)
        held.push_back(type);
    t.members.clear();
    t.declined.clear();
    for (Shape& s : t.shapes) {
        held.insert(held.end(), s.keys.begin(), s.keys.end());
        s.keys.clear();
        s.spans.clear();
        s.text.clear();
    }
    for (auto& [name, written] : t.names) {
        if (name != nullptr)
            held.push_back(name);
        name = nullptr;
        written.clear();
    }
    t.second = -1;
    for (PyObject* o : held)
        Py_DECREF(o);
}

int encoder_clear(PyObject* self) {
    auto* e = reinterpret_cast<LineEncoder*>(self);
    Py_CLEAR(e->fields_type);
    Py_CLEAR(e->member_text);
    Py_CLEAR(e->second_text);
    if (e->t != nullptr)
        drop_tables(*e->t);
    return 0;
}

void encoder_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    encoder_clear(self);
    auto* e = reinterpret_cast<LineEncoder*>(self);
    delete e->t;
    e->t = nullptr;
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef encoder_methods[] = {
    {"encode", reinterpret_cast<PyCFunction>(encoder_encode), METH_O,
     "encode(item) -> bytes | None: the captured entry's line, or None when Python writes it."},
    {"drain", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(encoder_drain)),
     METH_FASTCALL,
     "drain(queue, limit, max_bytes) -> (lines, n, other): the lines of the entries at the front "
     "of the queue, up to the first one Python writes (popped, as `other`)."},
    {nullptr, nullptr, 0, nullptr},
};

// Below this size a text is finished with the lock held: releasing and taking it back would
// cost more than the work.
constexpr Py_ssize_t finish_unlocked_from = Py_ssize_t{1} << 14;

// finish_lines(data, gate=None) -> bytes: text with holes (lines made at the capture, drain's
// lines) with each hole replaced by its number's text; `data` itself when it holds none. A
// large text is finished without the lock, taken back through the gate (lock_gate.hpp).
PyObject* finish_lines_impl(PyObject* data, PyObject* gate_arg) {
    if (!PyBytes_CheckExact(data)) {
        PyErr_Format(PyExc_TypeError, "finish_lines() argument must be bytes, not %.200s",
                     Py_TYPE(data)->tp_name);
        return nullptr;
    }
    bool bad;
    tiderec::GateState* gate = tiderec::gate_argument("finish_lines", gate_arg, &bad);
    if (bad)
        return nullptr;
    const char* s = PyBytes_AS_STRING(data);
    const Py_ssize_t n = PyBytes_GET_SIZE(data);
    if (!text::has_holes(s, static_cast<size_t>(n)))
        return Py_NewRef(data);
    if (n < finish_unlocked_from)
        return finished_bytes(s, static_cast<size_t>(n));
    text::Buffer out;
    bool out_of_memory = false;
    // `data` is immutable and held by the caller's argument while the lock is released.
    {
        tiderec::ReleasedWithGate released(gate);
        try {
            text::append_finished(out, s, static_cast<size_t>(n));
        } catch (const std::bad_alloc&) {
            out_of_memory = true;
        }
    }
    if (out_of_memory)
        return PyErr_NoMemory();
    return PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
}

PyObject* finish_lines(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 1 && nargs != 2) {
        PyErr_Format(PyExc_TypeError, "finish_lines() takes 1 or 2 arguments (%zd given)", nargs);
        return nullptr;
    }
    try {
        return finish_lines_impl(args[0], nargs == 2 ? args[1] : Py_None);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyObject* reads_dict_entries(PyObject*, PyObject*) {
    return PyBool_FromLong(tiderec::dict_entries::layout_agreed);
}

PyMethodDef module_functions[] = {
    {"reads_dict_entries", reads_dict_entries, METH_NOARGS,
     "reads_dict_entries() -> bool: whether records' fields are read from their dicts' entry "
     "tables (the check when the module loaded agreed) rather than through PyDict_Next."},
    {"finish_lines", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(finish_lines)),
     METH_FASTCALL,
     "finish_lines(data, gate=None) -> bytes: lines made by the LineEncoder at the capture or by "
     "drain, with their numbers written out (the text of the session file); a large text "
     "without the interpreter's lock (taken back through the LockGate)."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot encoder_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(encoder_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(encoder_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(encoder_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(encoder_clear)},
    {Py_tp_methods, encoder_methods},
    {0, nullptr},
};

PyType_Spec encoder_spec = {
    "tiderec._capture.LineEncoder",
    sizeof(LineEncoder),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    encoder_slots,
};

}  // namespace

namespace tiderec {

bool is_line_encoder(PyObject* o) { return encoder_type != nullptr && Py_IS_TYPE(o, encoder_type); }

PyObject* encode_callback(PyObject* encoder, PyObject* now, double wall, PyObject* name,
                          PyObject* const* args, Py_ssize_t n, ReadArgument read,
                          const void* context, bool holes) {
    try {
        return encode_callback_impl(encoder, now, wall, name, args, n, read, context, holes);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

namespace dict_entries {

#if TIDEREC_DICT_ENTRIES
namespace {

// Whether walking d by its entry table gives what PyDict_Next gives, key for key.
bool walks_agree(PyObject* d) {
    Py_ssize_t n = 0;
    const Entry* entries = entries_of(d, &n);
    if (entries == nullptr)
        return false;
    Py_ssize_t a = 0, b = 0;
    PyObject *ka, *va, *kb, *vb;
    for (;;) {
        const bool more = PyDict_Next(d, &a, &ka, &va) != 0;
        if (more != next(entries, n, &b, &kb, &vb))
            return false;
        if (!more)
            return true;
        if (ka != kb || va != vb || a != b)
            return false;
    }
}

// Sets field `i` of d (key "f<i>") to i.
int set_field(PyObject* d, long i) {
    ov::object key = ov::steal(PyUnicode_FromFormat("f%ld", i));
    ov::object value = ov::steal(PyLong_FromLong(i));
    if (!key || !value)
        return -1;
    return PyDict_SetItem(d, key.get(), value.get());
}

int del_field(PyObject* d, long i) {
    ov::object key = ov::steal(PyUnicode_FromFormat("f%ld", i));
    return key ? PyDict_DelItem(d, key.get()) : -1;
}

}  // namespace
#endif

int check_layout() {
    layout_agreed = false;
#if TIDEREC_DICT_ENTRIES
    bool agreed = true;
    // one field; fields enough for several resizes of the table (all index widths up to two
    // bytes); fields deleted and set again; every field deleted, then one set; a copy.
    for (long form = 0; form < 5 && agreed; ++form) {
        ov::object d = ov::steal(PyDict_New());
        if (!d)
            return -1;
        const long count = form == 0 ? 1 : form == 1 ? 400 : 24;
        for (long i = 0; i < count; ++i)
            if (set_field(d.get(), i) < 0)
                return -1;
        if (form == 2 || form == 4) {
            for (long i = 0; i < count; i += 3)
                if (del_field(d.get(), i) < 0)
                    return -1;
            for (long i = 0; i < count; i += 6)
                if (set_field(d.get(), i) < 0)
                    return -1;
        }
        if (form == 3) {
            for (long i = 0; i < count; ++i)
                if (del_field(d.get(), i) < 0)
                    return -1;
            agreed = walks_agree(d.get());
            if (set_field(d.get(), 7) < 0)
                return -1;
        }
        if (form == 4) {
            d = ov::steal(PyDict_Copy(d.get()));
            if (!d)
                return -1;
        }
        agreed = agreed && walks_agree(d.get());
    }
    // A key of another type makes a table this reading leaves to PyDict_Next.
    ov::object other = ov::steal(PyDict_New());
    ov::object one = ov::steal(PyLong_FromLong(1));
    if (!other || !one || PyDict_SetItem(other.get(), one.get(), one.get()) < 0)
        return -1;
    Py_ssize_t n = 0;
    agreed = agreed && entries_of(other.get(), &n) == nullptr;
    layout_agreed = agreed;
#endif
    return 0;
}

}  // namespace dict_entries

int add_line_encoder(PyObject* module) {
    PyDateTime_IMPORT;
    if (PyDateTimeAPI == nullptr)
        return -1;
    if (dict_entries::check_layout() < 0)
        return -1;
    if (encoder_type == nullptr) {
        encoder_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&encoder_spec));
        if (encoder_type == nullptr)
            return -1;
    }
    if (PyModule_AddFunctions(module, module_functions) < 0)
        return -1;
    return PyModule_AddObjectRef(module, "LineEncoder", reinterpret_cast<PyObject*>(encoder_type));
}

}  // namespace tiderec
