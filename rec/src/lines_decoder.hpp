// tiderec._lines, part 2: the decoder's state, and the resolution of tags, which both cursors
// call.
#pragma once

#include "lines_tables.hpp"

namespace {

ov::name n_cb("cb");          // the kind of every entry decoded here
ov::name n_enum_tag("$enum");
ov::name n_const_tag("$const");

// Invariant: plans, resolve, entry_type, fallback, enums, consts and shapes are strong
// references from the decoder's creation until clear/dealloc drops them all (fallback nullptr
// then: see usable()); last_time_text and last_time are both nullptr or both set, the bytes of
// a "t" and the datetime it gives.
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
    PyObject* last_time_text;
    PyObject* last_time;
    Tables tables;
};

// Whether the decoder still holds what it decodes with (the collector's clearing of a cycle
// drops it all, and Python code run in the middle of a line may let it run); raises when not.
bool usable(LineDecoder* d) {
    if (d->fallback != nullptr)
        return true;
    PyErr_SetString(PyExc_RuntimeError, "LineDecoder used after it was cleared");
    return false;
}

// The value of tag `which` (n_enum_tag or n_const_tag) naming `name`, resolved once per name.
outcome resolved(LineDecoder* d, PyObject* which, PyObject* name, PyObject** out) {
    PyObject* cache = which == n_enum_tag.get() ? d->enums : d->consts;
    PyObject* hit = PyDict_GetItemWithError(cache, name);
    if (hit != nullptr) {
        *out = Py_NewRef(hit);
        return outcome::ok;
    }
    if (PyErr_Occurred())
        return outcome::error;
    // Resolved for the first time: a name that does not resolve is the Python decoder's to
    // report, so an ordinary error here hands the line over.
    PyObject* args[] = {which, name};
    ov::object value = ov::steal(PyObject_Vectorcall(d->resolve, args, 2, nullptr));
    if (!value)
        return ov::clear_if_exception() ? outcome::other : outcome::error;
    // (read again: the resolver's code may have run the collector, which clears the decoder)
    if (!usable(d))
        return outcome::error;
    cache = which == n_enum_tag.get() ? d->enums : d->consts;
    if (PyDict_SetItem(cache, name, value.get()) < 0)
        return outcome::error;
    *out = value.release();
    return outcome::ok;
}

}  // namespace
