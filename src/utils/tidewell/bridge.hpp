// Shared pieces of the bridge module: how callbacks reach the module, and the few operations
// every callback repeats (global lookup, building and queueing events, market codes, times).
#pragma once

#include "pyhelp.hpp"

namespace tidewell {

// The bridge's C++ state. The module uses single-phase initialisation and this one
// process-wide pointer: every callback (a method of VornStrategy, which receives the strategy
// instance, not the module) reaches the module's namespace through g_bridge.dict.
// Consequence: re-importing the module after `del sys.modules[...]` gives a copy of the
// module dict while the callbacks keep reading the first module's dict; tests that need a
// fresh load run in a child process.
//
// Invariant: module is a strong reference set once by PyInit and never released (the module
// lives as long as the interpreter); dict is its namespace, borrowed from it.
struct Bridge {
    PyObject* module = nullptr;
    PyObject* dict = nullptr;
};
extern Bridge g_bridge;

// A module global as Python code of the module reads it (module dict, then builtins;
// NameError otherwise), cached in the name's slot under both dicts' version tags.
inline ov::object global(const ov::name& key) { return ov::global(g_bridge.dict, key); }

// owner.<name>, with the interpreter's result, for the member look-ups the callbacks repeat
// (EVENT.TICK, OrderStatusType.Sended, ...). When `owner` is a class whose metaclass looks
// attributes up as `type` does, and the name was found to be no data descriptor of the
// metaclass at the metaclass's current version tag, the entry of the class's own __dict__
// is the answer whenever it is not a descriptor; anything else takes PyObject_GetAttr. This
// skips the metaclass's Python __getattr__ hook machinery (enum's) on the common path.
// New reference.
PyObject* class_attr(PyObject* owner, PyObject* name);

// EVENT.<member>, EVENT looked up as a global. New reference.
PyObject* event_member(PyObject* member_name);

// Builds Event(member, **fields) and appends it to event_queue. `values` are the keyword
// fields' values in the order of the names in `kw` (an ov::kwnames tuple). The global Event
// is looked up and called, then the global event_queue is looked up and appended to.
int emit_event(PyObject* member, std::initializer_list<PyObject*> values, PyObject* kw);

// event_queue.append(ev), with a direct path when event_queue is the native ring buffer.
int queue_append(PyObject* ev);

// security_id + "." + get_exchane_from_vorn_mdtype(market_type), evaluated as Python would:
// security_id is read and joined with "." before market_type is read. `record` is the SDK
// record; `market_attr` the name of its market field (market_type, or market_id for positions).
PyObject* market_code(PyObject* record, PyObject* market_attr);

// convert_int_to_datetime(record.<time_attr> / 1000): the converter is looked up first, then
// the SDK time is read and divided by 1000 with true division (the fraction is kept).
PyObject* sdk_time(PyObject* record, PyObject* time_attr);

// system_log.info(text)
int log_info(PyObject* text);

// Reads record.<attr>; thin wrapper that keeps call sites short.
inline PyObject* attr(PyObject* record, PyObject* name) { return PyObject_GetAttr(record, name); }

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

// The integer constants used by several callbacks, created at initialisation.
PyObject* const_int(long v);  // borrowed; v in {-1, 0, 1000, 1000000000}

}  // namespace tidewell
