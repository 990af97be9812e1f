// tiderec._lines, part 5: shapes, records and entries, built once for both encodings through
// a template over the cursor (Json or Packed), which gives the steps of a record and of a line.
#pragma once

#include "lines_json.hpp"
#include "lines_packed.hpp"

#include <datetime.h>

namespace {

PyObject* empty_tuple = nullptr;

// The fields of a callback's record, in order, as they were last time: a (keys, dict) pair
// whose dict holds those keys (all None). A record with the same fields is made as a copy of
// that dict, which costs less than inserting its fields one by one into a new one. Only
// records whose field names are all ASCII get a shape (the cursors match names by their bytes).
outcome learn_shape(LineDecoder* d, PyObject* cb, PyObject* const* keys, size_t n) {
    ov::object names = ov::steal(PyTuple_New(static_cast<Py_ssize_t>(n)));
    ov::object empty = ov::steal(PyDict_New());
    if (!names || !empty)
        return outcome::error;
    for (size_t i = 0; i < n; ++i) {
        if (!PyUnicode_IS_ASCII(keys[i]))
            return outcome::ok;
        PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), Py_NewRef(keys[i]));
        if (PyDict_SetItem(empty.get(), keys[i], Py_None) < 0)
            return outcome::error;
    }
    ov::object shape = ov::steal(PyTuple_Pack(2, names.get(), empty.get()));
    if (!shape || PyDict_SetItem(d->shapes, cb, shape.get()) < 0)
        return outcome::error;
    return outcome::ok;
}

// Keys and values parsed so far (strong references).
using Fields = Held<max_fields>;

// The record's dict of the parsed fields: a copy of the shape's dict when the fields are the
// shape's (`same`), else a new one, whose fields become the callback's shape.
outcome fields_dict(LineDecoder* d, PyObject* cb, PyObject* shape, bool same, const Fields& keys,
                    const Fields& values, PyObject** out) {
    ov::object fields;
    bool learn = false;
    if (same) {
        fields = ov::steal(PyDict_Copy(PyTuple_GET_ITEM(shape, 1)));
    } else {
        fields = ov::steal(PyDict_New());
        learn = cb != nullptr;
    }
    if (!fields)
        return outcome::error;
    for (size_t i = 0; i < keys.n; ++i)
        if (PyDict_SetItem(fields.get(), keys.items[i], values.items[i]) < 0)
            return outcome::error;
    // (a field given twice is in the dict once, the last value winning: no shape of it)
    if (learn && static_cast<size_t>(PyDict_GET_SIZE(fields.get())) == keys.n &&
        learn_shape(d, cb, keys.items, keys.n) == outcome::error)
        return outcome::error;
    *out = fields.release();
    return outcome::ok;
}

// The shape of the callback's record, if one was learned (cb nullptr: none): held while the
// record is parsed, with its field names in order.
struct Shape {
    ov::object held;
    PyObject* const* names = nullptr;
    size_t n = 0;

    int find(LineDecoder* d, PyObject* cb) {
        if (cb == nullptr)
            return 0;
        held = ov::borrow(PyDict_GetItemWithError(d->shapes, cb));
        if (!held)
            return PyErr_Occurred() ? -1 : 0;
        PyObject* tuple = PyTuple_GET_ITEM(held.get(), 0);
        names = &PyTuple_GET_ITEM(tuple, 0);
        n = static_cast<size_t>(PyTuple_GET_SIZE(tuple));
        return 0;
    }
};

// The record's fields, name and value, into a new dict. A field name beginning with "$" (a
// record naming its own type, a lone tag) is not the common line. `cb` is the callback's name
// when the line gave it before the arguments (else nullptr).
template <typename Cursor>
outcome record_fields(LineDecoder* d, Cursor& c, PyObject* cb, PyObject** out) {
    size_t n;
    if (!c.open_record(&n))
        return outcome::other;
    Shape shape;
    if (shape.find(d, cb) < 0)
        return outcome::error;
    Fields keys, values;
    bool same = static_cast<bool>(shape.held);  // the fields so far are the shape's
    for (size_t i = 0;; ++i) {
        int more = c.next_field(i, n);
        if (more == 0)
            break;
        if (more < 0 || keys.n == max_fields || !c.key_start())
            return outcome::other;
        PyObject* k = nullptr;
        if (same && keys.n < shape.n && c.key_is(shape.names[keys.n])) {
            k = Py_NewRef(shape.names[keys.n]);
        } else {
            same = false;
            const char* s;
            Py_ssize_t len;
            bool ascii;
            if (!c.key(&s, &len, &ascii) || (len > 0 && s[0] == '$'))
                return outcome::other;
            outcome r = text_result(d->tables, s, len, ascii, true, &k);
            if (r != outcome::ok)
                return r;
        }
        keys.items[keys.n++] = k;
        if (!c.colon())
            return outcome::other;
        outcome r = c.value(d, &values.items[values.n]);
        if (r != outcome::ok)
            return r;
        ++values.n;
    }
    return fields_dict(d, cb, shape.held.get(), same && keys.n == shape.n, keys, values, out);
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
outcome local_time(LineDecoder* d, const char* s, Py_ssize_t n, PyObject** out) {
    if (d->last_time != nullptr && PyBytes_GET_SIZE(d->last_time_text) == n &&
        std::memcmp(PyBytes_AS_STRING(d->last_time_text), s, static_cast<size_t>(n)) == 0) {
        *out = Py_NewRef(d->last_time);
        return outcome::ok;
    }
    if (!(n == 19 || n == 23 || n == 26) || s[4] != '-' || s[7] != '-' || s[10] != 'T' ||
        s[13] != ':' || s[16] != ':' || (n > 19 && s[19] != '.'))
        return outcome::other;
    int year = digits(s, 4), month = digits(s + 5, 2), day = digits(s + 8, 2);
    int hour = digits(s + 11, 2), minute = digits(s + 14, 2), second = digits(s + 17, 2);
    int micro = n == 19 ? 0 : n == 23 ? digits(s + 20, 3) : digits(s + 20, 6);
    if (year < 0 || month < 0 || day < 0 || hour < 0 || minute < 0 || second < 0 || micro < 0)
        return outcome::other;
    if (n == 23)
        micro *= 1000;
    PyObject* t = PyDateTime_FromDateAndTime(year, month, day, hour, minute, second, micro);
    if (t == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError))
            return outcome::error;
        PyErr_Clear();
        return outcome::other;
    }
    PyObject* text_bytes = PyBytes_FromStringAndSize(s, n);
    if (text_bytes == nullptr) {
        Py_DECREF(t);
        return outcome::error;
    }
    Py_XSETREF(d->last_time_text, text_bytes);
    Py_XSETREF(d->last_time, Py_NewRef(t));
    *out = t;
    return outcome::ok;
}

// The Entry of a callback's line: its record made by the callback's plan, (record type
// name, ..., record factory, record class or None), from its fields. `other` when the
// callback has no plan yet.
outcome make_entry(LineDecoder* d, PyObject* line_no, PyObject* time, PyObject* name,
                   PyObject* fields, PyObject** out) {
    ov::object plan = ov::borrow(PyDict_GetItemWithError(d->plans, name));
    if (!plan)
        return PyErr_Occurred() ? outcome::error : outcome::other;
    // (held: the factory below may run code that changes the plans)
    if (!PyTuple_Check(plan.get()) || PyTuple_GET_SIZE(plan.get()) < 5)
        return outcome::other;
    PyObject* cls = PyTuple_GET_ITEM(plan.get(), 4);
    ov::object record;
    if (cls != Py_None) {
        if (!PyType_Check(cls))
            return outcome::other;
        auto* type = reinterpret_cast<PyTypeObject*>(cls);
        // object.__new__(cls), then its dict: taken only for a class whose instances object's
        // own allocation makes and that has an instance dict (any other class, e.g. one that
        // cannot be made from Python, is the Python decoder's to make or to report).
        if (type->tp_new != PyBaseObject_Type.tp_new || type->tp_dictoffset == 0)
            return outcome::other;
        record = ov::steal(PyBaseObject_Type.tp_new(type, empty_tuple, nullptr));
        if (!record || PyObject_GenericSetDict(record.get(), fields, nullptr) < 0)
            return outcome::error;
    } else {
        PyObject* args[] = {PyTuple_GET_ITEM(plan.get(), 0), fields};
        record = ov::steal(PyObject_Vectorcall(PyTuple_GET_ITEM(plan.get(), 3), args, 2, nullptr));
        if (!record)
            return outcome::error;
    }
    ov::object arg_tuple = ov::steal(PyTuple_Pack(1, record.get()));
    ov::object kwargs = ov::steal(PyDict_New());
    if (!arg_tuple || !kwargs)
        return outcome::error;
    PyObject* entry_args[] = {line_no, time, n_cb, name, arg_tuple.get(), kwargs.get()};
    if (!usable(d))
        return outcome::error;  // (the factory's code ran the collector, which cleared it)
    *out = PyObject_Vectorcall(d->entry_type, entry_args, 6, nullptr);
    return *out != nullptr ? outcome::ok : outcome::error;
}

// The whole line: "t", "cb" and "args" ([record]), in any order, each once. On ok, *out is
// the Entry.
template <typename Cursor>
outcome line_entry(LineDecoder* d, Cursor& c, PyObject* line_no, PyObject** out) {
    using key = typename Cursor::key_of_line;
    ov::object time, name, fields;
    if (!c.open_line())
        return outcome::other;
    for (int i = 0; i < 3; ++i) {
        PyObject* v = nullptr;
        outcome r;
        switch (c.line_key(i)) {
        case key::t: {
            const char* s;
            Py_ssize_t n;
            if (time || !c.time_text(&s, &n))
                return outcome::other;
            r = local_time(d, s, n, &v);
            if (r == outcome::ok)
                time = ov::steal(v);
            break;
        }
        case key::cb:
            if (name)
                return outcome::other;
            r = c.text(d, &v, true);
            if (r == outcome::ok)
                name = ov::steal(v);
            break;
        case key::args:
            if (fields || !c.open_args())
                return outcome::other;
            r = record_fields(d, c, name.get(), &v);
            if (r == outcome::ok) {
                fields = ov::steal(v);
                if (!c.close_args())
                    return outcome::other;
            }
            break;
        default:
            return outcome::other;
        }
        if (r != outcome::ok)
            return r;
    }
    if (!c.close_line())
        return outcome::other;
    return make_entry(d, line_no, time.get(), name.get(), fields.get(), out);
}

// One line, as the decoder's encoding gives it.
inline outcome decode_line(LineDecoder* d, PyObject* line_no, const char* data, Py_ssize_t size,
                           PyObject** out) {
    if (d->binary) {
        auto* start = reinterpret_cast<const unsigned char*>(data);
        Packed c{start, start + size};
        return line_entry(d, c, line_no, out);
    }
    Json c{data, data + size};
    return line_entry(d, c, line_no, out);
}

}  // namespace
