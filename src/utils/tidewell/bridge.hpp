// Shared pieces of the bridge module: how callbacks reach the module, and the few operations
// every callback repeats (global lookup, building and queueing events, market codes, times).
#pragma once

#include "pyhelp.hpp"

namespace tidewell {

// Every module global the callbacks read, each declared once: its interned name (created at
// initialisation) carries the cache of its look-up (see ov::global).
#define TIDEWELL_GLOBALS(X)                                                                    \
    X(Environment) X(EVENT) X(Event) X(TickObject) X(Trade) X(L2Order) X(L2Transaction)         \
    X(convert_int_to_whole_date) X(convert_int_to_datetime) X(get_exchane_from_vorn_mdtype)     \
    X(get_vorn_tdtype) X(get_side_from_vorn_l2_order) X(get_order_type_from_vorn_l2_order)      \
    X(get_trade_type_from_vorn) X(get_l2order_type_from_vorn) X(system_log) X(user_system_log)  \
    X(AlgoParentOrder) X(AlgoChildOrder) X(AlgoChildTrade) X(ORDER_STATUS)                      \
    X(POSITION_DIRECTION) X(SIDE) X(Asset) X(Position) X(RB) X(np) X(deque) X(copy) X(datetime) \
    X(time) X(timedelta) X(strategy) X(OrderStatusType) X(vorn_params) X(event_queue)           \
    X(history_bar) X(history_tick) X(orders_dict) X(algo_parent_orders) X(algo_child_orders)    \
    X(algo_child_trades)

namespace globals {
#define TIDEWELL_DECLARE_GLOBAL(id) extern const ov::name id;
TIDEWELL_GLOBALS(TIDEWELL_DECLARE_GLOBAL)
#undef TIDEWELL_DECLARE_GLOBAL
}  // namespace globals

// A record dictionary's shape: make() gives a fresh dictionary holding the shape's keys in
// order, each with the value None, for the caller to fill by replacing values. It is a copy of
// a template built at first use by fill(template) (which inserts the keys): copying a compact
// dictionary is one block copy, where growing a fresh one key by key resizes it on the way.
// The template is private to its shape and never handed out.
struct DictShape {
    PyObject* tmpl = nullptr;

    template <typename Fill>
    PyObject* make(Fill fill) {
        if (tmpl == nullptr) {
            ov::object t = ov::steal(PyDict_New());
            if (!t || fill(t.get()) < 0) return nullptr;
            tmpl = t.release();
        }
        return PyDict_Copy(tmpl);
    }
};

// The bridge's C++ state, in one place. The module uses single-phase initialisation and
// this one process-wide instance: every callback (a method of VornStrategy, which receives
// the strategy instance, not the module) reaches the module's namespace through
// g_bridge.dict. Consequence: re-importing the module after `del sys.modules[...]` gives a
// copy of the module dict while the callbacks keep reading the first module's dict; tests
// that need a fresh load run in a child process.
//
// Invariants: module is a strong reference set once by PyInit and never released (the module
// lives as long as the interpreter); dict is its namespace, borrowed from it. The integer
// constants are strong references made before the module (init_bridge_state) and kept for
// the process. deque_type is nullptr until the first query needs it, then a strong reference
// to collections.deque kept for the process. The record dictionaries' shapes keep their
// templates for the process. The per-global caches live in the names of `globals`, the
// member look-up and record-type facts in their tables (bridge.cpp); each says what guards it.
struct Bridge {
    PyObject* module = nullptr;
    PyObject* dict = nullptr;
    PyObject* minus_one = nullptr;  // q[-1], count * -1
    PyObject* zero = nullptr;       // counters' start, "== 0" tests
    PyObject* thousand = nullptr;   // SDK times are in milliseconds
    PyObject* billion = nullptr;    // nanoseconds per second
    PyTypeObject* deque_type = nullptr;
    DictShape tick_shape;            // on_snapshot's tick dictionary
    DictShape bar_shape;             // on_bar's bar dictionary
    DictShape position_state_shape;  // a position's set_state argument
};
extern Bridge g_bridge;

// Creates the integer constants of g_bridge. Idempotent.
int init_bridge_state();

// A module global as Python code of the module reads it (module dict, then builtins;
// NameError otherwise), cached in the name's slot under both dicts' version tags.
inline ov::object global(const ov::name& key) { return ov::global(g_bridge.dict, key); }

// owner.<name>, with the interpreter's result, for the member look-ups the callbacks repeat
// (EVENT.TICK, OrderStatusType.Sended, ...). When `owner` is a class whose metaclass looks
// attributes up as `type` does, and the name was found to be no data descriptor of the
// metaclass at the metaclass's current version tag, the entry of the class's own __dict__
// is the answer whenever it is not a descriptor; anything else takes PyObject_GetAttr. This
// skips the metaclass's Python __getattr__ hook machinery (enum's) on the common path.
ov::object class_attr(PyObject* owner, PyObject* name);

// EVENT.<member>, EVENT looked up as a global.
ov::object event_member(PyObject* member_name);

// Builds Event(member, **fields) and appends it to event_queue. `values` are the keyword
// fields' values in the order of the names in `kw` (an ov::kwnames tuple). The global Event
// is looked up and called, then the global event_queue is looked up and appended to.
int emit_event(PyObject* member, std::initializer_list<PyObject*> values, PyObject* kw);

// event_queue.append(ev), with a direct path when event_queue is the native ring buffer.
int queue_append(PyObject* ev);

// security_id + "." + get_exchane_from_vorn_mdtype(market_type), evaluated as Python would:
// security_id is read and joined with "." before market_type is read. `record` is the SDK
// record; `market_attr` the name of its market field (market_type, or market_id for positions).
// With `hints` (two read positions, see attr_at) the two fields are read through them.
ov::object market_code(PyObject* record, PyObject* market_attr, Py_ssize_t* hints = nullptr);

// convert_int_to_datetime(record.<time_attr> / 1000): the converter is looked up first, then
// the SDK time is read and divided by 1000 with true division (the fraction is kept).
// With `hint` (a read position, see attr_at) the time is read through it.
ov::object sdk_time(PyObject* record, PyObject* time_attr, Py_ssize_t* hint = nullptr);

// system_log.info(text)
int log_info(PyObject* text);

// Whether `type`'s instances read attributes as a plain record: the generic attribute look-up,
// the instance dict at a fixed positive offset, and no data descriptor in the MRO except under
// dunder names. Checked once per version tag of the type (bridge.cpp).
bool plain_record_type(PyTypeObject* type);

// record.<name> for an SDK record, with the interpreter's result. For a plain record type and
// a name that is no dunder, the generic look-up would find no data descriptor on the type and
// answer from the instance dict when the name is there: that entry is read directly, as the
// interpreter's specialised attribute read does. Anything else (a miss, properties of
// compiled records, a custom __getattribute__) takes PyObject_GetAttr. New reference.
inline PyObject* attr(PyObject* record, PyObject* name) {
    PyTypeObject* tp = Py_TYPE(record);
    if (tp->tp_getattro == PyObject_GenericGetAttr && tp->tp_dictoffset > 0 &&
        PyUnicode_READ_CHAR(name, 0) != '_' && plain_record_type(tp)) {
        PyObject* dict =
            *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(record) + tp->tp_dictoffset);
        if (dict != nullptr && PyDict_CheckExact(dict)) {
            PyObject* v = PyDict_GetItemWithError(dict, name);
            if (v != nullptr) return Py_NewRef(v);
            if (PyErr_Occurred()) return nullptr;  // as the generic look-up passes it on
        }
    }
    return PyObject_GetAttr(record, name);
}

// Where a record's dict holds `name`, as a position for PyDict_Next (hint_at checks it), or
// `hint` unchanged when the dict does not hold that very key object. Small dicts only: the
// search is linear.
inline void learn_position(PyObject* dict, PyObject* name, Py_ssize_t& hint) {
    if (PyDict_GET_SIZE(dict) > 64) return;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        if (key == name) {
            hint = pos - 1;
            return;
        }
    }
}

// The dict a plain SDK record answers its attribute reads of non-dunder names from (borrowed,
// see attr), or nullptr when reads must take the generic look-up.
inline PyObject* record_dict(PyObject* record) {
    PyTypeObject* tp = Py_TYPE(record);
    if (tp->tp_getattro != PyObject_GenericGetAttr || tp->tp_dictoffset <= 0 ||
        !plain_record_type(tp))
        return nullptr;
    PyObject* dict =
        *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(record) + tp->tp_dictoffset);
    return dict != nullptr && PyDict_CheckExact(dict) ? dict : nullptr;
}

// attr_at for a record whose record_dict() is `dict` (not nullptr) and a name that is no
// dunder, as long as no Python code has run since `dict` was obtained. *generic is set when
// the read took the generic look-up, which may run Python code: `dict` must then be obtained
// again before the next read. New reference.
inline PyObject* attr_in(PyObject* record, PyObject* dict, PyObject* name, Py_ssize_t& hint,
                         bool* generic) {
    Py_ssize_t pos = hint;
    PyObject *key, *value;
    if (PyDict_Next(dict, &pos, &key, &value) && key == name) return Py_NewRef(value);
    PyObject* v = PyDict_GetItemWithError(dict, name);
    if (v != nullptr) {
        learn_position(dict, name, hint);
        return Py_NewRef(v);
    }
    if (PyErr_Occurred()) return nullptr;
    *generic = true;
    return PyObject_GetAttr(record, name);
}

// record.<name>, with attr()'s result, for a read made at one place of a callback. `hint` is
// where that place last found the name in its record's dict: the entry PyDict_Next gives from
// there is the name's own entry when its key is `name` itself (a dict holds one entry per
// key), and its value is what the look-up would give, without hashing or probing (the
// interpreter's specialised attribute read keeps such an index too). Any other entry, or none,
// and the read is attr()'s, after which the hint moves to where the name was found. SDK
// records of one callback share their layout, so the hint holds from one record to the next.
inline PyObject* attr_at(PyObject* record, PyObject* name, Py_ssize_t& hint) {
    PyObject* dict = PyUnicode_READ_CHAR(name, 0) != '_' ? record_dict(record) : nullptr;
    if (dict == nullptr) return PyObject_GetAttr(record, name);
    bool generic = false;
    return attr_in(record, dict, name, hint, &generic);
}

// attr_at when `hint` is given, else attr.
inline PyObject* attr_maybe_at(PyObject* record, PyObject* name, Py_ssize_t* hint) {
    return hint != nullptr ? attr_at(record, name, *hint) : attr(record, name);
}

// Reads record.<name> for each of `names` into out[0], out[1], ... in that order, as a run of
// attribute reads in Python evaluates, stopping at the first that fails.
// Returns 0, or -1 with the error set.
inline int read_attrs(PyObject* record, std::initializer_list<const ov::name*> names,
                      ov::object* out) {
    for (const ov::name* n : names) {
        *out = ov::steal(attr(record, *n));
        if (!*out++) return -1;
    }
    return 0;
}

// read_attrs with one read position (attr_at) per name, hints[0], hints[1], ..., for names
// that are no dunder. Nothing runs between two reads, so the record's dict found for the
// first serves the others until a read takes the generic look-up (attr_in).
inline int read_attrs(PyObject* record, std::initializer_list<const ov::name*> names,
                      ov::object* out, Py_ssize_t* hints) {
    ov::object source = ov::borrow(record_dict(record));
    for (const ov::name* n : names) {
        if (source) {
            bool generic = false;
            *out = ov::steal(attr_in(record, source.get(), *n, *hints++, &generic));
            if (generic) source = ov::borrow(record_dict(record));
        } else {
            *out = ov::steal(attr_at(record, *n, *hints++));
        }
        if (!*out++) return -1;
    }
    return 0;
}


// Environment.get_instance(), Environment read as a global.
ov::object environment();

// obj.<method>(record.<attr>): the method is looked up before the field is read, as Python
// evaluates the call. Returns 0, or -1 with the error set.
int call_with_attr(PyObject* obj, PyObject* method, PyObject* record, PyObject* attr);

}  // namespace tidewell
