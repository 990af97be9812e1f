#include "bridge.hpp"

#include "ring_buffer.hpp"

#include <cstddef>
#include <cstdint>

namespace tidewell {

Bridge g_bridge;

namespace globals {
#define TIDEWELL_DEFINE_GLOBAL(id) const ov::name id{#id};
TIDEWELL_GLOBALS(TIDEWELL_DEFINE_GLOBAL)
#undef TIDEWELL_DEFINE_GLOBAL
}  // namespace globals

namespace {
ov::name n_append{"append"};
ov::name n_security_id{"security_id"};
ov::name n_info{"info"};
ov::name n_get_instance{"get_instance"};
ov::name n_dot{"."};

int make_int(PyObject** slot, long v) {
    if (*slot == nullptr) *slot = PyLong_FromLong(v);
    return *slot != nullptr ? 0 : -1;
}
}  // namespace

int init_bridge_state() {
    if (make_int(&g_bridge.minus_one, -1) < 0 || make_int(&g_bridge.zero, 0) < 0 ||
        make_int(&g_bridge.thousand, 1000) < 0 || make_int(&g_bridge.billion, 1000000000) < 0)
        return -1;
    return 0;
}

namespace {

ov::name n_getattribute{"__getattribute__"};

// Member look-up facts for class_attr, one slot per name.
//
// Invariant: a slot {name, guard} (name an interned ov::name, alive for the process) holds
// in its guard the metaclass version tags at which both were found true, or false: the
// metaclass's attribute look-up is type's (its tp_getattro is type's, or its __getattribute__
// resolves through its MRO to type's own, so that a hook such as enum's __getattr__ runs
// only when that look-up fails), and `name` is no data descriptor in its MRO. Both depend
// only on the dicts of the metaclass and its bases (see ov::type_guard).
struct VerifiedName {
    PyObject* name;
    ov::type_guard guard;
};
constexpr size_t kVerifiedSlots = 64;
VerifiedName g_verified[kVerifiedSlots];

VerifiedName& verified_slot(PyObject* name) {
    VerifiedName& slot = g_verified[(reinterpret_cast<uintptr_t>(name) /
                                     alignof(std::max_align_t)) % kVerifiedSlots];
    if (slot.name != name) slot = {name, {}};
    return slot;
}

// The facts of VerifiedName for `meta` and `name`.
bool plain_member_lookup(PyTypeObject* meta, PyObject* name) {
    if (meta->tp_getattro != PyType_Type.tp_getattro) {
        PyObject* own = PyDict_GetItemWithError(PyType_Type.tp_dict, n_getattribute);
        if (own == nullptr || ov::type_lookup(meta, n_getattribute) != own) return false;
    }
    PyObject* meta_attr = ov::type_lookup(meta, name);
    return meta_attr == nullptr ? !PyErr_Occurred() : !PyDescr_IsData(meta_attr);
}

// Record types found plain (see plain_record_type), one slot per type.
//
// Invariant: a slot {type, guard} holds in its guard the version tags of `type` at which it
// was found plain, or not. Tags are unique across all types, so a slot whose type was freed
// and whose address was reused can only miss.
struct RecordType {
    PyTypeObject* type;
    ov::type_guard guard;
};
constexpr size_t kRecordTypeSlots = 16;
RecordType g_record_types[kRecordTypeSlots];

bool is_dunder(PyObject* key) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(key);
    return n >= 4 && PyUnicode_READ_CHAR(key, 0) == '_' && PyUnicode_READ_CHAR(key, 1) == '_' &&
           PyUnicode_READ_CHAR(key, n - 1) == '_' && PyUnicode_READ_CHAR(key, n - 2) == '_';
}

// No data descriptor in the dicts of the MRO except under a dunder name (__dict__,
// __class__, __weakref__ and the like, which no record field is named). Runs no Python code.
bool no_field_descriptors(PyTypeObject* type) {
    PyObject* mro = type->tp_mro;
    if (mro == nullptr || !PyTuple_Check(mro)) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        PyObject* base = PyTuple_GET_ITEM(mro, i);
        if (!PyType_Check(base)) return false;
        PyObject* dict = reinterpret_cast<PyTypeObject*>(base)->tp_dict;
        if (dict == nullptr) continue;
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(dict, &pos, &key, &value)) {
            if (!PyUnicode_Check(key)) return false;
            if (PyDescr_IsData(value) && !is_dunder(key)) return false;
        }
    }
    return true;
}

}  // namespace

bool plain_record_type(PyTypeObject* type) {
    RecordType& slot = g_record_types[(reinterpret_cast<uintptr_t>(type) >> 5) % kRecordTypeSlots];
    if (slot.type != type) slot = {type, {}};
    return slot.guard.holds(type, no_field_descriptors);
}

ov::object class_attr(PyObject* owner, PyObject* name) {
    if (PyType_Check(owner)) {
        auto* cls = reinterpret_cast<PyTypeObject*>(owner);
        PyTypeObject* meta = Py_TYPE(owner);
        const bool plain = verified_slot(name).guard.holds(
            meta, [name](PyTypeObject* m) { return plain_member_lookup(m, name); });
        if (plain && cls->tp_dict != nullptr && cls->tp_mro != nullptr &&
            PyTuple_GET_SIZE(cls->tp_mro) > 0 && PyTuple_GET_ITEM(cls->tp_mro, 0) == owner) {
            // The class's own dict comes first in its MRO; an entry there that is no
            // descriptor is returned as is by type's look-up.
            PyObject* v = PyDict_GetItemWithError(cls->tp_dict, name);
            if (v != nullptr && Py_TYPE(v)->tp_descr_get == nullptr) return ov::borrow(v);
            if (v == nullptr && PyErr_Occurred()) PyErr_Clear();  // as type's look-up does
        }
    }
    return ov::steal(PyObject_GetAttr(owner, name));
}

ov::object event_member(PyObject* member_name) {
    ov::object ev = global(globals::EVENT);
    if (!ev) return ev;
    return class_attr(ev.get(), member_name);
}

int queue_append(PyObject* ev) {
    ov::object q = global(globals::event_queue);
    if (!q) return -1;
    if (ring_buffer_check_exact(q.get())) return ring_buffer_append(q.get(), ev);
    ov::object r = ov::vcall_method(q.get(), n_append, {ev});
    return r ? 0 : -1;
}

int emit_event(PyObject* member, std::initializer_list<PyObject*> values, PyObject* kw) {
    ov::object cls = global(globals::Event);
    if (!cls) return -1;
    PyObject* buf[16];
    size_t n = values.size();
    if (n + 2 > 16 || static_cast<Py_ssize_t>(n) != PyTuple_GET_SIZE(kw)) {
        PyErr_SetString(PyExc_SystemError, "emit_event: field count does not match names");
        return -1;
    }
    buf[1] = member;
    size_t i = 2;
    for (PyObject* v : values) buf[i++] = v;
    ov::object ev = ov::steal(
        PyObject_Vectorcall(cls.get(), buf + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, kw));
    if (!ev) return -1;
    return queue_append(ev.get());
}

ov::object market_code(PyObject* record, PyObject* market_attr, Py_ssize_t* hints) {
    ov::object sid = ov::steal(attr_maybe_at(record, n_security_id, hints));
    if (!sid) return ov::object();
    ov::object head = ov::steal(PyNumber_Add(sid.get(), n_dot));
    if (!head) return ov::object();
    ov::object conv = global(globals::get_exchane_from_vorn_mdtype);
    if (!conv) return ov::object();
    ov::object market =
        ov::steal(attr_maybe_at(record, market_attr, hints != nullptr ? hints + 1 : nullptr));
    if (!market) return ov::object();
    ov::object suffix = ov::vcall(conv.get(), {market.get()});
    if (!suffix) return ov::object();
    return ov::steal(PyNumber_Add(head.get(), suffix.get()));
}

ov::object environment() {
    ov::object env_cls = global(globals::Environment);
    if (!env_cls) return ov::object();
    return ov::vcall_method(env_cls.get(), n_get_instance, {});
}

int call_with_attr(PyObject* obj, PyObject* method, PyObject* record, PyObject* attr) {
    ov::object fn = ov::steal(PyObject_GetAttr(obj, method));
    if (!fn) return -1;
    ov::object v = ov::steal(PyObject_GetAttr(record, attr));
    if (!v) return -1;
    return ov::vcall(fn.get(), {v.get()}) ? 0 : -1;
}

ov::object sdk_time(PyObject* record, PyObject* time_attr, Py_ssize_t* hint) {
    ov::object conv = global(globals::convert_int_to_datetime);
    if (!conv) return ov::object();
    ov::object t = ov::steal(attr_maybe_at(record, time_attr, hint));
    if (!t) return ov::object();
    ov::object q = ov::steal(PyNumber_TrueDivide(t.get(), g_bridge.thousand));
    if (!q) return ov::object();
    return ov::vcall(conv.get(), {q.get()});
}

int log_info(PyObject* text) {
    ov::object log = global(globals::system_log);
    if (!log) return -1;
    ov::object r = ov::vcall_method(log.get(), n_info, {text});
    return r ? 0 : -1;
}

}  // namespace tidewell
