// tiderec._capture: the part of session recording that runs on the SDK's thread, in C.
//
// A Capture is installed by recording_strategy() as the recording class's method for one SDK
// callback. Called as strategy.on_x(...), it captures what a replay needs (the time, and each
// record's instance dict: written into the callback's line at once, or copied one level),
// hands the captured callback to the recorder's writer thread through its queue, then calls
// the base class's method with the same arguments. It is a method descriptor with vectorcall, so a call through an instance
// makes no bound-method object.
//
// Only the common case is handled here. Whatever is unusual (keyword arguments, a recorder
// not started or closed, orders the recorder has not seen yet, an order report naming an order
// other than the one the recorder knows under its key, an argument type whose capture has not
// been learned, a record type whose __dict__ attribute is not its instance dict, a list in a
// list argument, a type captured by a Python function that could be mistaken for a copied
// record) goes to the recorder's Python method for this callback, which captures and delivers
// exactly as it always has. That decision is made from the arguments' types before any record
// is read or any captor runs (a read may have side effects, and the Python capture would read
// again), so a callback is recorded once, by one path or the other, and each record is read
// as often as the Python capture reads it. What only turns up while reading (a captor that
// changed the list being captured, a record whose instance dict is a dict subclass) is
// captured by the recorder's Python capture of that one value; a read that raises an ordinary
// exception makes the capture mark each argument (SessionRecorder._capture_or_mark), as the
// Python capture does.
//
// What is handed over: for the common callback, its session line (bytes, without the newline),
// made here by the recorder's LineEncoder from the records as they are, read in place under
// the interpreter's lock (nothing is copied, and a list the SDK refills after the callback is
// written as delivered); the writer thread then only compresses and writes it. Otherwise
// (a value the encoder leaves to Python, a recorder without a LineEncoder) a copy:
// (time, name, captured, None), where `captured` is a tuple, or, after a read raised, the list
// of marked arguments in the Python capture's form. In that tuple, every dict, at the top level
// or as an element of a top-level list, is the copied instance dict of a record; everything
// else is what the recorder's Python captors would have made of the argument. The writer thread
// turns it into its session line (LineEncoder, line_encoder.cpp).
//
// No C++ exception crosses into the interpreter; a function that fails returns nullptr (or
// the `error` outcome) with the Python exception set.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <structmember.h>

#include <cstdint>
#include <ctime>

#include "line_encoder.hpp"
#include "lock_gate.hpp"
#include "ov/core.hpp"

namespace {


// Interned names, made once when the module is first imported and kept for the process.
namespace names {
ov::name started("_started");                // SessionRecorder._started
ov::name orders_dict("_orders_dict");        // SessionRecorder._orders_dict (the bridge's, once found)
ov::name known_count("_known_count");        // SessionRecorder._known_count
ov::name known_orders("_known_orders");      // SessionRecorder._known_orders
ov::name full("_full");                      // SessionRecorder._full(name)
ov::name late("_late");                      // SessionRecorder._late(name)
ov::name append("append");                   // deque.append
ov::name client_order_id("client_order_id");
ov::name capture_or_mark("_capture_or_mark");  // SessionRecorder._capture_or_mark(value)
ov::name dunder_dict("__dict__");
ov::name bridge_module("orvane.tamsel.utils.tidewell");  // the bridge's name in sys.modules
}  // namespace names

// ---------------------------------------------------------------------------------------------
// The Capture type

// Invariant: every PyObject* field but `clock` holds a strong reference from capture_new until
// the collector clears the object (a cleared one refuses to run: `name` is then nullptr);
// `clock` is nullptr for the wall clock (time.time, read here directly) or a strong reference
// to the recorder's clock.
// `state` is the recorder's instance dict: the recorder keeps its flags and counts there as
// ordinary attributes, and reading them from the dict is what reading the attributes is.
constexpr int dict_cache_size = 4;

// A dict's value for one key, remembered with the dict's version (its ma_version_tag, which
// the interpreter moves on every change of the dict, in 3.11 to 3.13): while the version is
// the same, the dict holds the very same value for that key, so that a look-up costs a
// comparison instead of a hash and a probe. Only values found are remembered, with the key
// they were found under (a key the dict holds, so alive). The value is borrowed: the dict,
// unchanged, holds it.
struct DictMemo {
    uint64_t version;
    PyObject* key;
    PyObject* value;
};

struct Capture {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* name;          // the callback's name (str), also its __name__ and __qualname__
    PyObject* doc;
    PyObject* base;          // the base class's method, called after the capture
    PyObject* careful;       // the Python method: captures with every care, then calls base
    PyObject* recorder;
    PyObject* state;         // vars(recorder)
    PyObject* queue;         // the hand-off to the writer thread (a deque)
    PyObject* append;        // queue.append
    // queue.append's C function and its self (the queue) when it is a builtin taking one
    // argument, as a deque's is: called directly (nullptr: append is called as any callable).
    PyCFunction append_fn;
    PyObject* append_self;
    PyObject* captors;       // {type: how to capture an argument of that type}
    PyObject* keep;          // the captor that keeps a value as it is
    PyObject* copy_fields;   // the captor that copies a record's instance dict
    PyObject* capture_list;  // the captor of lists
    PyObject* capture;       // the Python capture of one value (learns its type's captor)
    PyObject* clock;
    PyObject* wake;          // wakes the writer thread (its event's set)
    PyObject* lines;         // the recorder's LineEncoder, or nullptr: the line made here
    Py_ssize_t limit;        // how many captured callbacks the queue may hold
    Py_ssize_t wake_at;      // the queue's length at which the writer is woken
    // Below this length of the queue the line's numbers are left for the writer to write out
    // without the lock; from it on (the writer is behind: a burst) the capture writes them
    // itself, so that the writer has only its compression left and catches up.
    Py_ssize_t holes_below;
    // The writer's turn at the lock (lock_gate.hpp), or nullptr: from gate_from callbacks
    // pending on, a capture that finds the writer waiting for the lock lets it have the lock.
    PyObject* gate;
    Py_ssize_t gate_from;
    tiderec::GateState* gate_state;
    int order_report;        // an order report: the recorder looks at the order it names
    // The record types (strong references, so that an address is not reused while it is
    // here) last found to give their instance dict as their __dict__ attribute, or not:
    // decided once per type, the first time the native capture meets it with copy_fields.
    mutable PyObject* dict_types[dict_cache_size];
    mutable bool dict_is_vars[dict_cache_size];
    // Each type's tp_version_tag when it was decided: the interpreter moves a type's tag when
    // an attribute of it or of a base is set or deleted (a __dict__ defined later, say), and
    // then the type is decided again.
    mutable unsigned int dict_tags[dict_cache_size];
    mutable int dict_next;
    // The look-ups each callback makes in the recorder's instance dict and in the captors.
    mutable DictMemo started_memo, orders_dict_memo, known_count_memo, known_orders_memo;
    mutable DictMemo captor_memo;
};

PyTypeObject* capture_type = nullptr;

// Arguments whose captors the plan keeps for the capture (the rest are looked up again).
constexpr Py_ssize_t planned_max = 8;

// The containers the capture makes (the copies, the tuples handed over) are referred to by the
// queue, and then by the writer thread while it writes them, only: the recorder never keeps
// one after it is written, and on a failure it drops the frames that held one (see
// SessionRecorder._run). They are untracked so that the thousands waiting in the queue are not
// walked by every collection the SDK's threads trigger (those collections would set the
// callbacks' worst latencies); a cycle through one would therefore never be collected, which
// is why nothing may keep them.
void untrack(PyObject* o) {
    if (PyObject_GC_IsTracked(o))
        PyObject_GC_UnTrack(o);
}

// What capturing a callback came to: ok (captured and handed over), other (left to the
// Python capture, which calls the strategy), or error (an exception set for the caller).
using ov::outcome;

// d[key] (borrowed), or nullptr when absent or on an error, as PyDict_GetItemWithError;
// answered from `memo` while d is unchanged since the value was found. The look-up may run
// Python code (a key's __eq__), which may change d: the value found is remembered only when
// d's version did not move meanwhile.
PyObject* memo_get(PyObject* d, PyObject* key, DictMemo& memo) {
#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030E0000
    const uint64_t version = reinterpret_cast<PyDictObject*>(d)->ma_version_tag;
    if (memo.value != nullptr && memo.version == version && memo.key == key)
        return memo.value;
    PyObject* value = PyDict_GetItemWithError(d, key);
    if (value != nullptr && reinterpret_cast<PyDictObject*>(d)->ma_version_tag == version)
        memo = DictMemo{version, key, value};
    return value;
#else
    (void)memo;
    return PyDict_GetItemWithError(d, key);
#endif
}

// The recorder's attribute `key` from its instance dict, borrowed (nullptr when absent; the
// look-up of a str key in an exact dict runs no Python code and cannot fail but for memory).
PyObject* attr(const Capture* c, PyObject* key, DictMemo& memo) {
    return memo_get(c->state, key, memo);
}

// How the recorder captures a value of type t, borrowed (nullptr when it has not learned t,
// or with an error set when t's hash raised).
PyObject* captor_of(const Capture* c, PyTypeObject* t) {
    return memo_get(c->captors, reinterpret_cast<PyObject*>(t), c->captor_memo);
}

outcome careful_unless_error() { return PyErr_Occurred() ? outcome::error : outcome::other; }

// Python code run by the capture (a record's property, a hash, a comparison) raised: an
// ordinary exception leaves the callback to the Python capture, which meets it again and
// records the argument as not recorded; an interrupt (KeyboardInterrupt, SystemExit) is left
// set and reaches the caller, as it would from the Python capture.
outcome careful_unless_interrupt() {
    return ov::clear_if_exception() ? outcome::other : outcome::error;
}

// The wall clock as time.time() gives it: seconds since the epoch, from the nanoseconds the
// system clock reports; false with an exception set when the clock cannot be read.
bool wall_seconds(double* x) {
    timespec ts{};
    if (clock_gettime(CLOCK_REALTIME, &ts) != 0) {
        PyErr_SetFromErrno(PyExc_OSError);
        return false;
    }
    const int64_t ns = static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
    *x = ns % 1000000000 == 0 ? static_cast<double>(ns / 1000000000) : static_cast<double>(ns) / 1e9;
    return true;
}

// The order report's order under the key it names is the one the recorder knows: a new order
// may reuse a key. The dicts are held while the key is read and hashed (Python code).
outcome reported_order_known(PyObject* od, PyObject* known, PyObject* report) {
    ov::object key = ov::steal(PyObject_GetAttr(report, names::client_order_id));
    if (!key)
        return careful_unless_interrupt();
    if (key.get() == Py_None)
        return outcome::other;
    PyObject* now = PyDict_GetItemWithError(od, key.get());
    if (now == nullptr && PyErr_Occurred())
        return careful_unless_interrupt();
    ov::object held = ov::borrow(now);
    PyObject* seen = PyDict_GetItemWithError(known, key.get());
    if (seen == nullptr && PyErr_Occurred())
        return careful_unless_interrupt();
    return now == seen ? outcome::ok : outcome::other;
}

// Whether the orders the bridge holds are all known to the recorder, so that nothing has to
// be written before this callback: the check of the recorder's Python capture, made without
// its lock (a "no" or any doubt sends the callback to the Python capture, which looks again
// under the lock).
outcome orders_known(const Capture* c, PyObject* const* args, Py_ssize_t n) {
    ov::object od = ov::borrow(attr(c, names::orders_dict, c->orders_dict_memo));
    if (!od || od.get() == Py_None) {
        if (PyErr_Occurred())
            return outcome::error;
        // Not found yet: while the bridge is not loaded there are no orders to look at; once
        // it is, the Python capture finds its orders_dict and keeps it for the next calls.
        PyObject* loaded = PyDict_GetItemWithError(PyImport_GetModuleDict(), names::bridge_module);
        if (loaded != nullptr)
            return outcome::other;
        return PyErr_Occurred() ? outcome::error : outcome::ok;
    }
    if (!PyDict_CheckExact(od.get()))
        return outcome::other;
    const Py_ssize_t size = PyDict_GET_SIZE(od.get());
    if (!c->order_report) {
        PyObject* count = attr(c, names::known_count, c->known_count_memo);
        if (count == nullptr || !PyLong_CheckExact(count))
            return careful_unless_error();
        const Py_ssize_t known = PyLong_AsSsize_t(count);
        if (known == -1 && PyErr_Occurred())
            return careful_unless_interrupt();
        return known == size ? outcome::ok : outcome::other;
    }
    ov::object known = ov::borrow(attr(c, names::known_orders, c->known_orders_memo));
    if (!known || !PyDict_CheckExact(known.get()) || PyDict_GET_SIZE(known.get()) != size || n < 1)
        return careful_unless_error();
    return reported_order_known(od.get(), known.get(), args[0]);
}

outcome keep(PyObject* v, ov::object* out) {
    *out = ov::borrow(v);
    return outcome::ok;
}

// The values kept as they are without a look at the captors: they cannot change.
bool is_plain(PyObject* v) {
    PyTypeObject* t = Py_TYPE(v);
    return t == &PyUnicode_Type || t == &PyLong_Type || t == &PyFloat_Type || v == Py_None ||
           t == &PyBool_Type;
}

// Whether vars() of an instance of t is the instance dict the interpreter keeps for it: t's
// attribute look-up is the generic one (no __getattribute__ or __getattr__ of its own), and
// the first `__dict__` along its method resolution order is the instance dict's descriptor,
// not a property or another value a class defines under that name. Runs no Python code (str
// keys looked up in the types' own dicts). -1 with an error set on failure.
int dict_is_vars(PyTypeObject* t) {
    if (t->tp_getattro != PyObject_GenericGetAttr)
        return 0;
    PyObject* mro = t->tp_mro;
    if (mro == nullptr || !PyTuple_Check(mro))
        return 0;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        PyObject* d = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))->tp_dict;
        if (d == nullptr || !PyDict_Check(d))
            continue;
        PyObject* found = PyDict_GetItemWithError(d, names::dunder_dict);
        if (found == nullptr) {
            if (PyErr_Occurred())
                return -1;
            continue;
        }
        if (Py_IS_TYPE(found, &PyGetSetDescr_Type))  // a class's, made with its instance dict
            return PyType_IsSubtype(t, PyDescr_TYPE(found));
        // A type in C giving its dict as a member (a namespace): the one at its dict offset.
        return Py_IS_TYPE(found, &PyMemberDescr_Type) && PyType_IsSubtype(t, PyDescr_TYPE(found)) &&
               reinterpret_cast<PyMemberDescrObject*>(found)->d_member->offset ==
                   t->tp_dictoffset;
    }
    return 0;
}

// dict_is_vars(t), from the capture's cache of the types it has decided.
int copies_as_vars(const Capture* c, PyTypeObject* t) {
    PyObject* key = reinterpret_cast<PyObject*>(t);
    const unsigned int tag = t->tp_version_tag;  // 0: not valid since the type changed
    int slot = -1;
    for (int i = 0; i < dict_cache_size; ++i) {
        if (c->dict_types[i] != key)
            continue;
        if (tag != 0 && c->dict_tags[i] == tag)
            return c->dict_is_vars[i];
        slot = i;  // decided before the type changed: decided again, in the same place
        break;
    }
    const int yes = dict_is_vars(t);
    if (yes < 0)
        return -1;
    PyObject* old = nullptr;
    if (slot < 0) {
        slot = c->dict_next;
        c->dict_next = (slot + 1) % dict_cache_size;
        old = c->dict_types[slot];
        c->dict_types[slot] = Py_NewRef(key);
    }
    c->dict_is_vars[slot] = yes != 0;
    c->dict_tags[slot] = tag;
    Py_XDECREF(old);  // last: freeing a type can run Python code
    return yes;
}

// copies_as_vars(c, t) as the cache has it, without deciding anything: -1 when t is not there
// (or changed since), so that nothing is released and no Python code can run.
int cached_as_vars(const Capture* c, PyTypeObject* t) {
    const unsigned int tag = t->tp_version_tag;
    for (int i = 0; i < dict_cache_size; ++i)
        if (c->dict_types[i] == reinterpret_cast<PyObject*>(t))
            return tag != 0 && c->dict_tags[i] == tag ? c->dict_is_vars[i] : -1;
    return -1;
}

// How the recorder captures a value of type t (borrowed into *captor); `careful` for a type
// not seen yet (the Python capture learns it), `error` when its hash raised.
outcome find_captor(const Capture* c, PyTypeObject* t, ov::object* captor) {
    *captor = ov::borrow(captor_of(c, t));
    if (*captor)
        return outcome::ok;
    return PyErr_Occurred() ? outcome::error : outcome::other;
}

// The plan: whether the native capture takes value v (an argument, or with `in_list` an
// element of a list argument), decided from its type and the captors alone, before any
// record is read or any captor runs; its captor (none for a plain value) into *captor.
// `careful`: the callback goes to the Python capture. A list argument is planned element by
// element.
outcome plan_value(const Capture* c, PyObject* v, bool in_list, ov::object* captor) {
    if (is_plain(v))
        return outcome::ok;
    outcome o = find_captor(c, Py_TYPE(v), captor);
    if (o == outcome::error)
        return careful_unless_interrupt();
    if (o != outcome::ok)
        return o;
    PyObject* how = captor->get();
    if (how == c->copy_fields) {
        const int yes = copies_as_vars(c, Py_TYPE(v));
        if (yes < 0)
            return careful_unless_interrupt();
        return yes ? outcome::ok : outcome::other;
    }
    if (how == c->capture_list) {  // lists in lists: the Python capture
        if (in_list || !PyList_CheckExact(v))
            return outcome::other;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(v); ++i) {
            ov::object element;
            o = plan_value(c, PyList_GET_ITEM(v, i), true, &element);
            if (o != outcome::ok)
                return o;
        }
        return outcome::ok;
    }
    if (how == reinterpret_cast<PyObject*>(&PyDict_Type))
        return outcome::other;  // a dict argument would read as a copied record
    return outcome::ok;
}

// From here on records are read and captors run: a value that turns out not to be the
// native capture's is captured by the Python capture of that value, and an exception (an
// ordinary one or an interrupt) is `error`, left set. `careful` now means only that the
// result could not be handed over in the native form (it would read as a copied record).

// The Python capture of one value, for what only turned up while capturing.
outcome capture_in_python(const Capture* c, PyObject* v, ov::object* out) {
    ov::object captured = ov::steal(PyObject_CallOneArg(c->capture, v));
    if (!captured)
        return outcome::error;
    if (PyDict_CheckExact(captured.get()))
        return outcome::other;
    *out = std::move(captured);
    return outcome::ok;
}

// A record's instance dict, copied one level (a dict subclass there: the Python capture).
outcome copy_record(const Capture* c, PyObject* v, ov::object* out) {
    ov::object fields = ov::steal(PyObject_GenericGetDict(v, nullptr));
    if (!fields)
        return outcome::error;
    if (!PyDict_CheckExact(fields.get()))
        return capture_in_python(c, v, out);
    // The copy compares keys (their __eq__ may raise) and the dict may change meanwhile.
    *out = ov::steal(PyDict_Copy(fields.get()));
    if (!*out)
        return outcome::error;
    untrack(out->get());
    return outcome::ok;
}

outcome capture_element(const Capture* c, PyObject* v, ov::object* out);

// A list argument, each element captured. The list may change while a captor runs Python
// code: the copy is taken of the elements present at each step, as the Python capture's
// iteration does.
outcome capture_list(const Capture* c, PyObject* v, ov::object* out) {
    ov::object copy = ov::steal(PyList_New(0));
    if (!copy)
        return outcome::error;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(v); ++i) {
        ov::object item = ov::borrow(PyList_GET_ITEM(v, i));
        ov::object captured;
        const outcome o = capture_element(c, item.get(), &captured);
        if (o != outcome::ok)
            return o;
        if (PyList_Append(copy.get(), captured.get()) < 0)
            return outcome::error;
    }
    untrack(copy.get());
    *out = std::move(copy);
    return outcome::ok;
}

// A record read by the recorder's Python captor for its type (slots, properties). A dict from
// it would read as a copied record.
outcome call_captor(PyObject* captor, PyObject* v, ov::object* out) {
    ov::object captured = ov::steal(PyObject_CallOneArg(captor, v));
    if (!captured)
        return outcome::error;
    if (PyDict_CheckExact(captured.get()))
        return outcome::other;
    *out = std::move(captured);
    return outcome::ok;
}

// The capture of value v by the captor its plan found, into *out (a new reference).
outcome capture_value(const Capture* c, PyObject* v, PyObject* captor, ov::object* out) {
    if (captor == nullptr || captor == c->keep)
        return keep(v, out);
    if (captor == c->copy_fields)
        return copy_record(c, v, out);
    if (captor == c->capture_list)
        return capture_list(c, v, out);
    return call_captor(captor, v, out);
}

// One element of a list argument (or an argument past the planned ones): planned again where
// it is met, since a captor run before may have changed the list; what the plan would leave
// to Python is captured by the Python capture of that element alone.
outcome capture_element(const Capture* c, PyObject* v, ov::object* out) {
    if (is_plain(v))
        return keep(v, out);
    ov::object captor;
    const outcome found = find_captor(c, Py_TYPE(v), &captor);
    if (found == outcome::error)
        return found;
    PyObject* how = captor.get();
    if (found == outcome::other || how == c->capture_list ||
        how == reinterpret_cast<PyObject*>(&PyDict_Type))
        return capture_in_python(c, v, out);
    if (how == c->copy_fields) {
        const int yes = copies_as_vars(c, Py_TYPE(v));
        if (yes < 0)
            return outcome::error;
        if (!yes)
            return capture_in_python(c, v, out);
    }
    return capture_value(c, v, how, out);
}

// After a read raised an ordinary exception: every argument captured again, or marked as not
// recorded where its reading fails, by the recorder (as its Python capture does then), into
// a list in the Python capture's form.
outcome mark_each(const Capture* c, PyObject* const* args, Py_ssize_t n, ov::object* out) {
    ov::object marked = ov::steal(PyList_New(n));
    if (!marked)
        return outcome::error;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* one = PyObject_CallMethodOneArg(c->recorder, names::capture_or_mark, args[i]);
        if (one == nullptr)
            return outcome::error;
        PyList_SET_ITEM(marked.get(), i, one);
    }
    untrack(marked.get());
    *out = std::move(marked);
    return outcome::ok;
}

// How the line made at the capture writes argument v (tiderec::ReadArgument): as the plan and
// the capture would take it, decided again where it is met (Python code may have run since the
// plan, the clock's say). Only what the capture would copy or keep as it is qualifies: a
// record whose vars() is its instance dict (known from the cache), a value kept as it is, a
// list argument of those; anything else (a captor in Python, a type not learned or not
// decided yet) is left to the capture, which copies. The type's look-up in the captors runs no
// Python code: its hash is the identity's when its metaclass is `type`.
tiderec::argument read_argument(const void* context, PyObject* v, bool in_list,
                                PyObject** fields) {
    using tiderec::argument;
    const auto* c = static_cast<const Capture*>(context);
    if (is_plain(v))
        return argument::value;
    PyTypeObject* t = Py_TYPE(v);
    if (!Py_IS_TYPE(reinterpret_cast<PyObject*>(t), &PyType_Type))
        return argument::other;
    PyObject* how = captor_of(c, t);
    if (how == nullptr)
        return PyErr_Occurred() ? argument::error : argument::other;
    if (how == c->keep)
        return argument::value;
    if (how == c->copy_fields) {
        if (cached_as_vars(c, t) != 1)
            return argument::other;
        PyObject* d = PyObject_GenericGetDict(v, nullptr);
        if (d == nullptr)
            return ov::clear_if_exception() ? argument::other : argument::error;
        if (!PyDict_CheckExact(d)) {
            Py_DECREF(d);
            return argument::other;
        }
        *fields = d;
        return argument::record;
    }
    if (how == c->capture_list && !in_list && PyList_CheckExact(v))
        return argument::list;
    return argument::other;
}

// Appends the captured callback to the queue, or, when it is full, waits for room or counts
// the drop (the recorder's _full says which). Wakes the writer when the queue reaches its
// wake mark. A callback whose capture outlasted a close of the recorder (it waited for room,
// or a captor ran Python code meanwhile) is handed to the recorder's _late, which counts it
// when the writer has finished.
outcome hand_over(const Capture* c, PyObject* item) {
    const Py_ssize_t pending = PyObject_Size(c->queue);
    if (pending < 0)
        return outcome::error;
    if (pending >= c->limit) {
        ov::object room = ov::steal(PyObject_CallMethodOneArg(c->recorder, names::full, c->name));
        if (!room)
            return outcome::error;
        const int yes = PyObject_IsTrue(room.get());
        if (yes < 0)
            return outcome::error;
        if (!yes)
            return outcome::ok;  // dropped and counted
    }
    ov::object done = ov::steal(c->append_fn != nullptr ? c->append_fn(c->append_self, item)
                                                         : PyObject_CallOneArg(c->append, item));
    if (!done)
        return outcome::error;
    if (attr(c, names::started, c->started_memo) != Py_True) {
        if (PyErr_Occurred())
            return outcome::error;
        ov::object late = ov::steal(PyObject_CallMethodOneArg(c->recorder, names::late, c->name));
        return late ? outcome::ok : outcome::error;
    }
    if (pending + 1 == c->wake_at) {
        ov::object woken = ov::steal(PyObject_CallNoArgs(c->wake));
        if (!woken)
            return outcome::error;
    }
    tiderec::GateState* gate = c->gate_state;
    if (gate != nullptr && pending >= c->gate_from &&
        gate->wanted.load(std::memory_order_acquire)) {
        Py_BEGIN_ALLOW_THREADS
        gate->wait();
        Py_END_ALLOW_THREADS
    }
    return outcome::ok;
}

// Captures one callback (its arguments after self: args[0..n)) and hands it over, or says
// why the Python capture must do it.
outcome capture_call(const Capture* c, PyObject* const* args, Py_ssize_t n) {
    PyObject* started = attr(c, names::started, c->started_memo);
    if (started != Py_True)
        return careful_unless_error();  // not started (the Python capture starts it) or closed
    // The plan first: a callback left to the Python capture is left before anything is read.
    ov::object planned[planned_max];
    outcome o;
    for (Py_ssize_t i = 0; i < n; ++i) {
        ov::object captor;
        o = plan_value(c, args[i], false, &captor);
        if (o != outcome::ok)
            return o;
        if (i < planned_max)
            planned[i] = std::move(captor);
    }
    o = orders_known(c, args, n);
    if (o != outcome::ok)
        return o;
    // The time: the recorder's clock's, or the wall clock's (as a float only when the capture
    // below needs one: a line made here reads the seconds themselves).
    ov::object now;
    double wall = 0;
    if (c->clock != nullptr) {
        now = ov::steal(PyObject_CallNoArgs(c->clock));
        if (!now)
            return outcome::error;
    } else if (!wall_seconds(&wall)) {
        return outcome::error;
    }
    if (c->lines != nullptr) {
        // The common callback's line, made here from the records as they are: the writer then
        // only compresses and writes it. What the encoder leaves to Python is copied as below.
        const Py_ssize_t pending = PyObject_Size(c->queue);
        if (pending < 0)
            return outcome::error;
        ov::object line = ov::steal(tiderec::encode_callback(
            c->lines, now.get(), wall, c->name, args, n, read_argument, c,
            pending < c->holes_below));
        if (line)
            return hand_over(c, line.get());
        if (PyErr_Occurred())
            return outcome::error;  // out of memory, or an interrupt: it reaches the caller
    }
    if (!now) {
        now = ov::steal(PyFloat_FromDouble(wall));
        if (!now)
            return outcome::error;
    }
    ov::object captured = ov::steal(PyTuple_New(n));
    if (!captured)
        return outcome::error;
    for (Py_ssize_t i = 0; i < n; ++i) {
        ov::object one;
        o = i < planned_max ? capture_value(c, args[i], planned[i].get(), &one)
                            : capture_element(c, args[i], &one);
        if (o == outcome::error) {
            if (!ov::clear_if_exception())
                return o;  // an interrupt reaches the caller, as from the Python capture
            o = mark_each(c, args, n, &captured);
            if (o != outcome::ok)
                return o;
            break;
        }
        if (o != outcome::ok)
            return o;
        PyTuple_SET_ITEM(captured.get(), i, one.release());
    }
    untrack(captured.get());
    ov::object item = ov::steal(PyTuple_Pack(4, now.get(), c->name, captured.get(), Py_None));
    if (!item)
        return outcome::error;
    untrack(item.get());
    return hand_over(c, item.get());
}

PyObject* capture_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                             PyObject* kwnames) {
    const auto* c = reinterpret_cast<Capture*>(self);
    if (c->name == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "recording method used after it was cleared");
        return nullptr;
    }
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs >= 1 && (kwnames == nullptr || PyTuple_GET_SIZE(kwnames) == 0)) {
        switch (capture_call(c, args + 1, nargs - 1)) {
        case outcome::ok:
            return PyObject_Vectorcall(c->base, args, nargsf, kwnames);
        case outcome::error:
            return nullptr;
        case outcome::other:
            break;
        }
    }
    return PyObject_Vectorcall(c->careful, args, nargsf, kwnames);
}

// Capture(name, base, careful, recorder, queue, limit, captors, keep, copy_fields,
//         capture_list, capture, clock, order_report, doc, wake, wake_at, lines=None,
//         holes_below=sys.maxsize, gate=None, gate_from=0)
PyObject* capture_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"name", "base", "careful", "recorder", "queue", "limit",
                                   "captors", "keep", "copy_fields", "capture_list", "capture",
                                   "clock", "order_report", "doc", "wake", "wake_at", "lines",
                                   "holes_below", "gate", "gate_from", nullptr};
    PyObject *name, *base, *careful, *recorder, *queue, *captors, *keep, *copy_fields,
        *capture_list, *capture, *clock, *doc, *wake, *lines = Py_None, *gate = Py_None;
    Py_ssize_t limit, wake_at, holes_below = PY_SSIZE_T_MAX, gate_from = 0;
    int order_report;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "UOOOOnO!OOOOOpOOn|OnOn:Capture",
                                     const_cast<char**>(kwlist), &name, &base, &careful, &recorder,
                                     &queue, &limit, &PyDict_Type, &captors, &keep, &copy_fields,
                                     &capture_list, &capture, &clock, &order_report, &doc, &wake,
                                     &wake_at, &lines, &holes_below, &gate, &gate_from))
        return nullptr;
    bool bad;
    tiderec::GateState* gate_state = tiderec::gate_argument("Capture", gate, &bad);
    if (bad)
        return nullptr;
    if (lines != Py_None && !tiderec::is_line_encoder(lines)) {
        PyErr_SetString(PyExc_TypeError, "Capture: lines must be a LineEncoder or None");
        return nullptr;
    }
    if (!PyCallable_Check(base) || !PyCallable_Check(careful) || !PyCallable_Check(wake)) {
        PyErr_SetString(PyExc_TypeError, "Capture: base, careful and wake must be callable");
        return nullptr;
    }
    if (limit < 1) {
        PyErr_SetString(PyExc_ValueError, "Capture: limit must be at least 1");
        return nullptr;
    }
    ov::object state = ov::steal(PyObject_GenericGetDict(recorder, nullptr));
    if (!state)
        return nullptr;
    if (!PyDict_CheckExact(state.get())) {
        PyErr_SetString(PyExc_TypeError, "Capture: the recorder's __dict__ must be a dict");
        return nullptr;
    }
    ov::object append = ov::steal(PyObject_GetAttr(queue, names::append));
    if (!append)
        return nullptr;
    ov::object self = ov::steal(type->tp_alloc(type, 0));
    if (!self)
        return nullptr;
    auto* c = reinterpret_cast<Capture*>(self.get());
    c->vectorcall = capture_vectorcall;
    c->name = Py_NewRef(name);
    c->doc = Py_NewRef(doc);
    c->base = Py_NewRef(base);
    c->careful = Py_NewRef(careful);
    c->recorder = Py_NewRef(recorder);
    c->state = state.release();
    c->queue = Py_NewRef(queue);
    c->append = append.release();
    if (PyCFunction_Check(c->append) &&
        (PyCFunction_GET_FLAGS(c->append) &
         (METH_VARARGS | METH_FASTCALL | METH_NOARGS | METH_O | METH_KEYWORDS | METH_METHOD)) ==
            METH_O) {
        c->append_fn = PyCFunction_GET_FUNCTION(c->append);
        c->append_self = PyCFunction_GET_SELF(c->append);  // held by the bound method
    }
    c->captors = Py_NewRef(captors);
    c->keep = Py_NewRef(keep);
    c->copy_fields = Py_NewRef(copy_fields);
    c->capture_list = Py_NewRef(capture_list);
    c->capture = Py_NewRef(capture);
    c->clock = clock == Py_None ? nullptr : Py_NewRef(clock);
    c->wake = Py_NewRef(wake);
    c->lines = lines == Py_None ? nullptr : Py_NewRef(lines);
    c->limit = limit;
    c->wake_at = wake_at;
    c->holes_below = holes_below;
    c->gate = gate == Py_None ? nullptr : Py_NewRef(gate);
    c->gate_state = gate_state;
    c->gate_from = gate_from;
    c->order_report = order_report;
    return self.release();
}

// As a function in a class: through an instance, a bound method; through the class, itself.
// (The interpreter calls a method descriptor with the instance first, without binding.)
PyObject* capture_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None)
        return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

int capture_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* c = reinterpret_cast<Capture*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(c->name);
    Py_VISIT(c->doc);
    Py_VISIT(c->base);
    Py_VISIT(c->careful);
    Py_VISIT(c->recorder);
    Py_VISIT(c->state);
    Py_VISIT(c->queue);
    Py_VISIT(c->append);
    Py_VISIT(c->captors);
    Py_VISIT(c->keep);
    Py_VISIT(c->copy_fields);
    Py_VISIT(c->capture_list);
    Py_VISIT(c->capture);
    for (PyObject* t : c->dict_types)
        Py_VISIT(t);
    Py_VISIT(c->clock);
    Py_VISIT(c->wake);
    Py_VISIT(c->lines);
    return 0;
}

int capture_clear(PyObject* self) {
    auto* c = reinterpret_cast<Capture*>(self);
    Py_CLEAR(c->name);
    Py_CLEAR(c->doc);
    Py_CLEAR(c->base);
    Py_CLEAR(c->careful);
    Py_CLEAR(c->recorder);
    Py_CLEAR(c->state);
    Py_CLEAR(c->queue);
    c->append_fn = nullptr;  // (its self is held by append)
    c->append_self = nullptr;
    Py_CLEAR(c->append);
    Py_CLEAR(c->captors);
    Py_CLEAR(c->keep);
    Py_CLEAR(c->copy_fields);
    Py_CLEAR(c->capture_list);
    Py_CLEAR(c->capture);
    for (PyObject*& t : c->dict_types)
        Py_CLEAR(t);
    Py_CLEAR(c->clock);
    Py_CLEAR(c->wake);
    Py_CLEAR(c->lines);
    c->gate_state = nullptr;
    Py_CLEAR(c->gate);
    return 0;
}

void capture_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    capture_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* capture_repr(PyObject* self) {
    PyObject* name = reinterpret_cast<Capture*>(self)->name;
    if (name == nullptr)
        return PyUnicode_FromString("<recording method (cleared)>");
    return PyUnicode_FromFormat("<recording method %U>", name);
}

PyMemberDef capture_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(Capture, vectorcall), READONLY, nullptr},
    {"__name__", T_OBJECT, offsetof(Capture, name), READONLY, nullptr},
    {"__qualname__", T_OBJECT, offsetof(Capture, name), READONLY, nullptr},
    {"__doc__", T_OBJECT, offsetof(Capture, doc), READONLY, nullptr},
    {"careful", T_OBJECT, offsetof(Capture, careful), READONLY,
     "The same recording in Python, with every care (what unusual calls go to)."},
    {"base", T_OBJECT, offsetof(Capture, base), READONLY,
     "The base class's method, called after the capture."},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot capture_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(capture_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(capture_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(capture_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(capture_clear)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(capture_get)},
    {Py_tp_repr, reinterpret_cast<void*>(capture_repr)},
    {Py_tp_members, capture_members},
    {0, nullptr},
};

PyType_Spec capture_spec = {
    "tiderec._capture.Capture",
    sizeof(Capture),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE,
    capture_slots,
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "tiderec._capture",
    "The recorder's capture on the SDK's thread, in C (see tiderec.recorder).",
    -1,  // single-phase: the type and the names live for the process
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__capture() {
    if (ov::init_names() < 0)
        return nullptr;
    ov::object module = ov::steal(PyModule_Create(&module_def));
    if (!module)
        return nullptr;
    if (capture_type == nullptr) {
        capture_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&capture_spec));
        if (capture_type == nullptr)
            return nullptr;
    }
    if (PyModule_AddObjectRef(module.get(), "Capture", reinterpret_cast<PyObject*>(capture_type)) < 0)
        return nullptr;
    if (tiderec::add_line_encoder(module.get()) < 0 || tiderec::add_lock_gate(module.get()) < 0)
        return nullptr;
#ifdef TIDEREC_HAVE_ZLIB
    if (tiderec::add_gzip_block(module.get()) < 0)
        return nullptr;
#endif
    return module.release();
}
