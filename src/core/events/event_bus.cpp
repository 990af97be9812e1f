// EventBus: the two-tier registry of listeners and its dispatcher.
//
// An ordinary class whose instances hold `_listeners` (system tier) and `_user_listeners`
// (user tier), each a defaultdict(list) keyed by event type. Everything is read through the
// instance's attributes at each call, so code that replaces or edits them is honoured.
#include "events.hpp"

namespace events {

namespace {

ov::name n_listeners("_listeners");
ov::name n_user_listeners("_user_listeners");
ov::name n_defaultdict("defaultdict");
ov::name n_list("list");
ov::name n_event_type("event_type");
ov::name n_listener("listener");
ov::name n_user("user");
ov::name n_event("event");
ov::name n_append("append");
ov::name n_insert("insert");

constexpr const char kInit[] = "EventBus.__init__";
constexpr const char kAdd[] = "EventBus.add_listener";
constexpr const char kPrepend[] = "EventBus.prepend_listener";
constexpr const char kPublish[] = "EventBus.publish_event";

ov::name n_hash("__hash__");

// Whether `mapping` subscripts as dict does (dict, defaultdict and subclasses that keep
// dict's __getitem__): a hit is then the entry of its hash table.
bool subscripts_as_dict(PyObject* mapping) {
    return PyDict_Check(mapping) &&
           Py_TYPE(mapping)->tp_as_mapping->mp_subscript == PyDict_Type.tp_as_mapping->mp_subscript;
}

// Whether `key`'s hash is known without calling it: a member of EVENT itself (no subclass)
// while EVENT's __hash__ is still the one it was created with, a function of the member's
// name. Such a key hashes as it did at any earlier look-up.
bool hash_is_fixed(PyObject* key) {
    PyTypeObject* tp = Py_TYPE(key);
    if (reinterpret_cast<PyObject*>(tp) != state.event_enum) return false;
    return state.event_hash_guard.holds(tp, [](PyTypeObject* t) {
        return ov::type_lookup(t, n_hash) == state.event_hash;
    });
}

// Tier look-ups already made: mapping[key] found `listeners`.
//
// Invariant: an entry with listeners not nullptr records that subscripting `mapping` (which
// subscripts as dict does) with `key` (a key for which hash_is_fixed held) found `listeners`
// while the mapping carried the version tag `tag`. Every insertion, deletion or replacement
// in a dict gives it a new tag, never reused by any dict, and `key` hashes as it did; so
// while the tag matches the same look-up finds the same entry, and `listeners` (borrowed) is
// alive because the mapping holds it. This saves the member's Python-level __hash__ on both
// tiers of every publish.
struct TierSlot {
    PyObject* mapping;
    PyObject* key;
    uint64_t tag;
    PyObject* listeners;
};
// Eight slots per set: the look-ups a program makes again and again (each event type it
// publishes, in both tiers) keep their entries even when several fall in the same set.
constexpr size_t kTierSets = 32;
constexpr size_t kTierWays = 8;
TierSlot g_tier_slots[kTierSets][kTierWays];

TierSlot* tier_set(PyObject* mapping, PyObject* key) {
    uint64_t h = (static_cast<uint64_t>(reinterpret_cast<uintptr_t>(mapping)) >> 4) * 0x9E3779B97F4A7C15ull;
    h = (h ^ (static_cast<uint64_t>(reinterpret_cast<uintptr_t>(key)) >> 4)) * 0xC2B2AE3D27D4EB4Full;
    return g_tier_slots[(h >> 32) % kTierSets];
}

const TierSlot* tier_hit(PyObject* mapping, PyObject* key) {
    const TierSlot* set = tier_set(mapping, key);
    for (size_t i = 0; i < kTierWays; ++i) {
        const TierSlot& slot = set[i];
        if (slot.mapping == mapping && slot.key == key)
            return slot.listeners != nullptr && slot.tag == ov::dict_version(mapping) ? &slot : nullptr;
    }
    return nullptr;
}

// Keeps an entry: in place of the set's entry for the same look-up, else first in the set,
// the others moving down one (the last one dropped).
void tier_keep(const TierSlot& entry) {
    TierSlot* set = tier_set(entry.mapping, entry.key);
    size_t i = 0;
    while (i + 1 < kTierWays && !(set[i].mapping == entry.mapping && set[i].key == entry.key)) ++i;
    for (; i > 0; --i) set[i] = set[i - 1];
    set[0] = entry;
}

// `mapping[key]` with the mapping's own semantics. When the mapping subscripts as dict
// does, a hit is read from the hash table directly (or from the tier cache above); a miss
// takes the full protocol, so that defaultdict.__missing__ creates and stores the empty list.
// Returns a new reference.
PyObject* get_entry(PyObject* mapping, PyObject* key) {
    if (subscripts_as_dict(mapping)) {
        const bool fixed = hash_is_fixed(key);
        if (fixed) {
            if (const TierSlot* slot = tier_hit(mapping, key)) return Py_NewRef(slot->listeners);
        }
        PyObject* found = PyDict_GetItemWithError(mapping, key);
        if (found != nullptr) {
            // A key's __eq__ run by the look-up may have changed the mapping; the look-up
            // then starts again, so the entry found belongs to the state read now.
            if (fixed) tier_keep({mapping, key, ov::dict_version(mapping), found});
            return Py_NewRef(found);
        }
        if (PyErr_Occurred()) return nullptr;
    }
    return PyObject_GetItem(mapping, key);
}

// The list of listeners of `event_type` in the tier held by attribute `tier` of the bus.
PyObject* get_listeners(PyObject* bus, PyObject* tier, PyObject* event_type) {
    ov::object mapping = ov::steal(PyObject_GetAttr(bus, tier));
    if (!mapping) return nullptr;
    return get_entry(mapping.get(), event_type);
}

// `bus.<tier>[event.event_type]`, evaluated in that order, as the dispatch reads it.
PyObject* listeners_of(PyObject* bus, PyObject* tier, PyObject* event) {
    ov::object mapping = ov::steal(PyObject_GetAttr(bus, tier));
    if (!mapping) return nullptr;
    ov::object event_type = ov::steal(PyObject_GetAttr(event, n_event_type));
    if (!event_type) return nullptr;
    return get_entry(mapping.get(), event_type.get());
}

// Truth of a listener's result; the common results are answered without a call.
inline int is_true(PyObject* result) {
    if (result == Py_None || result == Py_False) return 0;
    if (result == Py_True) return 1;
    return PyObject_IsTrue(result);
}

// Calls each listener of `listeners` with `event`, in order. A list is walked by position
// with its length read again before every step, so a listener appended during the walk is
// called in the same walk; each listener is held while it runs, whatever it does to the
// list. With `stop_on_true`, the walk ends after the first result that is true.
// Returns 0, or -1 with the exception that ended the walk.
int call_listeners(PyObject* listeners, PyObject* event, bool stop_on_true) {
    // Slot 0 is spare so that a callee may prepend `self` in place.
    PyObject* argv[2] = {nullptr, event};
    constexpr size_t nargsf = 1 | PY_VECTORCALL_ARGUMENTS_OFFSET;
    if (PyList_CheckExact(listeners)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(listeners); ++i) {
            ov::object listener = ov::borrow(PyList_GET_ITEM(listeners, i));
            ov::object result =
                ov::steal(PyObject_Vectorcall(listener.get(), argv + 1, nargsf, nullptr));
            if (!result) return -1;
            if (stop_on_true) {
                const int truth = is_true(result.get());
                if (truth != 0) return truth < 0 ? -1 : 0;
            }
        }
        return 0;
    }
    // Anything else that was put in place of a list is iterated as a for loop would.
    ov::object it = ov::steal(PyObject_GetIter(listeners));
    if (!it) return -1;
    for (;;) {
        ov::object listener = ov::steal(PyIter_Next(it.get()));
        if (!listener) return PyErr_Occurred() ? -1 : 0;
        ov::object result =
            ov::steal(PyObject_Vectorcall(listener.get(), argv + 1, nargsf, nullptr));
        if (!result) return -1;
        if (stop_on_true) {
            const int truth = is_true(result.get());
            if (truth != 0) return truth < 0 ? -1 : 0;
        }
    }
}

PyObject* bus_init(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (ov::parse_args(ov::callable::method, kInit, args, nargs, kwnames, {}, 0, nullptr) < 0) return nullptr;
    PyObject* globals = state.module_dict;
    if (globals == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "orvane.tamsel.core.events has been finalized");
        return nullptr;
    }
    // self._listeners = defaultdict(list); self._user_listeners = defaultdict(list)
    for (PyObject* tier : {n_listeners.get(), n_user_listeners.get()}) {
        ov::object factory = ov::global(globals, n_defaultdict);
        if (!factory) return nullptr;
        ov::object list_type = ov::global(globals, n_list);
        if (!list_type) return nullptr;
        ov::object mapping = ov::vcall(factory.get(), {list_type.get()});
        if (!mapping) return nullptr;
        if (PyObject_SetAttr(self, tier, mapping.get()) < 0) return nullptr;
    }
    Py_RETURN_NONE;
}

// Binds (event_type, listener, user=False) and returns the list to register in.
PyObject* bind_registration(const char* fname, PyObject* self, PyObject* const* args,
                            Py_ssize_t nargs, PyObject* kwnames, PyObject** listener) {
    PyObject* bound[3];
    if (ov::parse_args(ov::callable::method, fname, args, nargs, kwnames, {&n_event_type, &n_listener, &n_user}, 2,
                       bound) < 0)
        return nullptr;
    int user = 0;
    if (bound[2] != nullptr) {
        user = PyObject_IsTrue(bound[2]);
        if (user < 0) return nullptr;
    }
    *listener = bound[1];
    return get_listeners(self, user ? n_user_listeners : n_listeners, bound[0]);
}

PyObject* bus_add_listener(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    PyObject* listener;
    ov::object listeners =
        ov::steal(bind_registration(kAdd, self, args, nargs, kwnames, &listener));
    if (!listeners) return nullptr;
    if (PyList_CheckExact(listeners.get())) {
        if (PyList_Append(listeners.get(), listener) < 0) return nullptr;
    } else {
        ov::object r = ov::vcall_method(listeners.get(), n_append, {listener});
        if (!r) return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* bus_prepend_listener(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    PyObject* listener;
    ov::object listeners =
        ov::steal(bind_registration(kPrepend, self, args, nargs, kwnames, &listener));
    if (!listeners) return nullptr;
    if (PyList_CheckExact(listeners.get())) {
        if (PyList_Insert(listeners.get(), 0, listener) < 0) return nullptr;
    } else {
        ov::object zero = ov::steal(PyLong_FromLong(0));
        if (!zero) return nullptr;
        ov::object r =
            ov::vcall_method(listeners.get(), n_insert, {zero.get(), listener});
        if (!r) return nullptr;
    }
    Py_RETURN_NONE;
}

// System listeners of the event's type until one returns a true value, then every user
// listener of the event's type as it is then (a system listener may have re-typed the
// event). Nothing is caught: an exception ends the dispatch.
PyObject* bus_publish_event(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    PyObject* event;
    if (nargs == 1 && kwnames == nullptr) {
        event = args[0];
    } else {
        if (ov::parse_args(ov::callable::method, kPublish, args, nargs, kwnames, {&n_event}, 1, &event) < 0)
            return nullptr;
    }
    ov::object system = ov::steal(listeners_of(self, n_listeners, event));
    if (!system) return nullptr;
    if (call_listeners(system.get(), event, true) < 0) return nullptr;

    // The event's type is read again: a system listener may have changed it.
    ov::object user = ov::steal(listeners_of(self, n_user_listeners, event));
    if (!user) return nullptr;
    if (call_listeners(user.get(), event, false) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef bus_methods[] = {
    ov::fastcall_def("__init__", bus_init, "__init__($self, /)\n--\n\n"),
    ov::fastcall_def("add_listener", bus_add_listener, "add_listener($self, event_type, listener, user=False)\n--\n\n"
     "Register a handler function for the given event type.\n\n"
     "Bound methods of objects that may be reclaimed at any time, such as\n"
     "orders, trades and positions, must not be registered as event handlers."),
    ov::fastcall_def("prepend_listener", bus_prepend_listener, "prepend_listener($self, event_type, listener, user=False)\n--\n\n"),
    ov::fastcall_def("publish_event", bus_publish_event, "publish_event($self, event)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int arm_dispatch_fast_path(PyObject* event_enum) {
    auto* tp = reinterpret_cast<PyTypeObject*>(event_enum);
    PyObject* hash = ov::type_lookup(tp, n_hash);
    if (hash == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "EVENT has no __hash__");
        return -1;
    }
    Py_XSETREF(state.event_hash, Py_NewRef(hash));
    Py_XSETREF(state.event_enum, Py_NewRef(event_enum));
    state.event_hash_guard.reset();
    return 0;
}

PyObject* create_event_bus_class(PyObject* module_name) {
    return new_plain_class("EventBus", module_name, bus_methods);
}

}  // namespace events
