// EVENT, the closed set of event types, and parse_event, the lookup of a type by its name.
#include "events.hpp"

namespace events {

namespace {

ov::name n_enum_base("Enum");
ov::name n_event_enum("EVENT");
ov::name n_upper("upper");
ov::name n_event_str("event_str");
ov::name n_member_map("_member_map_");
ov::name n_getitem("__getitem__");

struct member {
    const char* name;
    const char* value;
};

// In definition order, which is the enumeration's iteration order. A value is the member's
// name in lower case, except for PRE_OPEN_AUCTION, OPEN_AUCTION and STRATEGY_HOLD_CANCELLED:
// their values are spelled differently and are part of the contract (lookup by value uses
// them), so they must not be "corrected".
constexpr member kMembers[] = {
    {"POST_SYSTEM_INIT", "post_system_init"},
    {"BEFORE_SYSTEM_RESTORED", "before_system_restored"},
    {"POST_SYSTEM_RESTORED", "post_system_restored"},
    {"POST_USER_INIT", "post_user_init"},
    {"POST_UNIVERSE_CHANGED", "post_universe_changed"},
    {"PRE_BEFORE_TRADING", "pre_before_trading"},
    {"BEFORE_TRADING", "before_trading"},
    {"POST_BEFORE_TRADING", "post_before_trading"},
    {"PRE_OPEN_AUCTION", "pre_open_oction"},
    {"OPEN_AUCTION", "auction"},
    {"POST_OPEN_AUCTION", "post_open_auction"},
    {"PRE_BAR", "pre_bar"},
    {"BAR", "bar"},
    {"POST_BAR", "post_bar"},
    {"PRE_TICK", "pre_tick"},
    {"TICK", "tick"},
    {"POST_TICK", "post_tick"},
    {"L2_ORDER", "l2_order"},
    {"L2_TRANSACTION", "l2_transaction"},
    {"PRE_SCHEDULED", "pre_scheduled"},
    {"POST_SCHEDULED", "post_scheduled"},
    {"PRE_AFTER_TRADING", "pre_after_trading"},
    {"AFTER_TRADING", "after_trading"},
    {"POST_AFTER_TRADING", "post_after_trading"},
    {"PRE_SETTLEMENT", "pre_settlement"},
    {"SETTLEMENT", "settlement"},
    {"POST_SETTLEMENT", "post_settlement"},
    {"ORDER_PENDING_NEW", "order_pending_new"},
    {"ORDER_CREATION_PASS", "order_creation_pass"},
    {"ORDER_CREATION_REJECT", "order_creation_reject"},
    {"ORDER_PENDING_CANCEL", "order_pending_cancel"},
    {"ORDER_CANCELLATION_PASS", "order_cancellation_pass"},
    {"ORDER_CANCELLATION_REJECT", "order_cancellation_reject"},
    {"ORDER_UNSOLICITED_UPDATE", "order_unsolicited_update"},
    {"TRADE", "trade"},
    {"ALGO_LOGIN", "algo_login"},
    {"PARENT_ORDER_CREATE", "parent_order_create"},
    {"PARENT_ORDER_CANCEL", "parent_order_cancel"},
    {"PARENT_ORDER_PAUSE", "parent_order_pause"},
    {"PARENT_ORDER_RESUME", "parent_order_resume"},
    {"PARENT_ORDER_UPDATE", "parent_order_update"},
    {"CHILD_ORDER_UPDATE", "child_order_update"},
    {"CHILD_ORDER_TRADE", "child_order_trade"},
    {"ON_LINE_PROFILER_RESULT", "on_line_profiler_result"},
    {"DO_PERSIST", "do_persist"},
    {"DO_RESTORE", "do_restore"},
    {"STRATEGY_HOLD_SET", "strategy_hold_set"},
    {"STRATEGY_HOLD_CANCELLED", "strategy_hold_canceled"},
    {"HEARTBEAT", "heartbeat"},
    {"BEFORE_STRATEGY_RUN", "before_strategy_run"},
    {"POST_STRATEGY_RUN", "post_strategy_run"},
    {"LOGIN", "login"},
    {"QUERY_ACCOUNT", "query_account"},
    {"QUERY_POSITION", "query_position"},
    {"USER", "user"},
};
static_assert(sizeof(kMembers) / sizeof(kMembers[0]) == 55);

// Whether `meta`'s subscript is still the __getitem__ it had when EVENT was made, and
// `_member_map_` no attribute of the metaclass (so the class's own entry is what it reads).
bool subscript_is_member_map(PyTypeObject* meta) {
    return ov::type_lookup(meta, n_getitem) == state.enum_getitem &&
           ov::type_lookup(meta, n_member_map) == nullptr && !PyErr_Occurred();
}

// `enumeration[name]`. For an enumeration whose metaclass is still the one EVENT was made
// with, unchanged since, the subscript is EnumType.__getitem__, i.e. `cls._member_map_[name]`:
// for an exact str name the member is read from that dict without running the Python method.
// Anything else (a str subclass, whose hash or comparison is Python code that may rebind or
// free the map), and a name that is not found, takes the full protocol (which raises
// KeyError(name)).
PyObject* member_by_name(PyObject* enumeration, PyObject* name) {
    PyTypeObject* meta = Py_TYPE(enumeration);
    if (PyUnicode_CheckExact(name) && reinterpret_cast<PyObject*>(meta) == state.enum_meta &&
        state.enum_meta_guard.holds(meta, subscript_is_member_map)) {
        // `cls._member_map_` is found in the class's own dict: the metaclass defines no
        // descriptor of that name, and an enumeration class always has one of its own. The map
        // is held while it is searched, whatever its keys' comparisons do.
        PyObject* class_dict = reinterpret_cast<PyTypeObject*>(enumeration)->tp_dict;
        ov::object members = ov::borrow(PyDict_GetItemWithError(class_dict, n_member_map));
        if (members && PyDict_CheckExact(members.get())) {
            PyObject* member = PyDict_GetItemWithError(members.get(), name);
            if (member != nullptr) return Py_NewRef(member);
        }
        if (PyErr_Occurred()) return nullptr;
    }
    return PyObject_GetItem(enumeration, name);
}

// parse_event(event_str): EVENT[event_str.upper()], by name only. `EVENT` is read from the
// module globals first, as the expression evaluates it; nothing is caught.
PyObject* parse_event(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
    PyObject* event_str;
    if (nargs == 1 && kwnames == nullptr) {
        event_str = args[0];
    } else if (ov::parse_args(ov::callable::function, "parse_event", args, nargs, kwnames, {&n_event_str}, 1,
                              &event_str) < 0) {
        return nullptr;
    }
    ov::object enumeration = ov::global(PyModule_GetDict(module), n_event_enum);
    if (!enumeration) return nullptr;
    ov::object name = ov::vcall_method(event_str, n_upper, {});
    if (!name) return nullptr;
    return member_by_name(enumeration.get(), name.get());
}

PyMethodDef parse_event_def =
    ov::fastcall_def("parse_event", parse_event, "parse_event(event_str)\n--\n\n");

}  // namespace

// Created as a class statement `class EVENT(Enum): ...` would create it: the namespace
// from the metaclass's __prepare__, filled with __module__, __qualname__ and the members in
// order, then the metaclass called with (name, bases, namespace).
PyObject* create_event_enum(PyObject* module_dict, PyObject* module_name) {
    ov::object base = ov::global(module_dict, n_enum_base);
    if (!base) return nullptr;
    auto* metaclass = reinterpret_cast<PyObject*>(Py_TYPE(base.get()));
    ov::object bases = ov::steal(PyTuple_Pack(1, base.get()));
    if (!bases) return nullptr;
    return ov::make_class(metaclass, n_event_enum, bases.get(), module_name, [](PyObject* ns) {
               for (const member& m : kMembers) {
                   ov::object key = ov::steal(PyUnicode_InternFromString(m.name));
                   if (!key) return -1;
                   ov::object value = ov::steal(PyUnicode_FromString(m.value));
                   if (!value) return -1;
                   if (PyObject_SetItem(ns, key.get(), value.get()) < 0) return -1;
               }
               return 0;
           }).release();
}

int arm_name_lookup_fast_path(PyObject* event_enum) {
    PyTypeObject* meta = Py_TYPE(event_enum);
    version_tag_of(reinterpret_cast<PyObject*>(meta));
    if (PyErr_Occurred()) return -1;
    PyObject* getitem = ov::type_lookup(meta, n_getitem);
    if (getitem == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "EVENT's metaclass has no __getitem__");
        return -1;
    }
    Py_XSETREF(state.enum_getitem, Py_NewRef(getitem));
    Py_XSETREF(state.enum_meta, Py_NewRef(reinterpret_cast<PyObject*>(meta)));
    state.enum_meta_guard.reset();
    return 0;
}

PyObject* create_parse_event(PyObject* module, PyObject* module_name) {
    return PyCFunction_NewEx(&parse_event_def, module, module_name);
}

}  // namespace events
