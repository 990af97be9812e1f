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
// form but YYYY-MM-DDTHH:MM:SS[.fff[fff]], a tag not yet resolved without error, a record class
// that object.__new__ cannot make with an instance dict, malformed JSON of any kind. The Python
// decoder then reports a bad line exactly as it always has.
//
// A decoder made with binary=True does the same for the lines of the binary encoding (the
// MessagePack form of the same line, tags as extension values).
//
// The parts, each a header of this one translation unit: the tables of texts and numbers
// (lines_tables.hpp), the decoder's state and tag resolution (lines_decoder.hpp), the JSON
// cursor (lines_json.hpp), the MessagePack cursor (lines_packed.hpp), shapes, records and
// entries built once over either cursor (lines_records.hpp); this file is the type.
//
// No C++ exception crosses into the interpreter; a function that fails returns nullptr with the
// Python exception set.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <datetime.h>
#include <structmember.h>

#include "lines_records.hpp"

namespace {

PyTypeObject* decoder_type = nullptr;

// decoder(line, raw) -> Entry
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
        outcome r = decode_line(d, args[0], PyBytes_AS_STRING(args[1]), PyBytes_GET_SIZE(args[1]),
                              &entry);
        if (r == outcome::ok) {
            ++d->served;
            return entry;
        }
        if (r == outcome::error)
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
    ov::object number = ov::steal(PyLong_FromSsize_t(line_no));
    if (!number)
        return -1;
    PyObject* item = nullptr;
    outcome r = decode_line(d, number.get(), data, size, &item);
    if (r == outcome::error) {
        // (a record factory or a tag's resolution that raised): the caller decodes the line
        // again and reports what fails on its line; an interrupt ends the reading
        if (!ov::clear_if_exception())
            return -1;
        r = outcome::other;
    }
    if (r == outcome::ok)
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
    ov::object out = ov::steal(PyList_New(0));
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
            ov::object raw = ov::borrow(PyList_GET_ITEM(block, i));  // (held: the list may change)
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
                ov::object cut = ov::steal(PyBytes_FromStringAndSize(p, end - p));
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
    ov::object enums = ov::steal(PyDict_New());
    ov::object consts = ov::steal(PyDict_New());
    ov::object shapes = ov::steal(PyDict_New());
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
    d->tables.clear();
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
    if (ov::init_names() < 0)
        return -1;
    if (empty_tuple == nullptr)
        empty_tuple = PyTuple_New(0);
    return empty_tuple != nullptr ? 0 : -1;
}

}  // namespace

PyMODINIT_FUNC PyInit__lines() {
    PyDateTime_IMPORT;
    if (PyDateTimeAPI == nullptr || init_names() < 0)
        return nullptr;
    ov::object module = ov::steal(PyModule_Create(&module_def));
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
