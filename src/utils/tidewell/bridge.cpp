#include "bridge.hpp"

#include "ring_buffer.hpp"

#include <cstddef>
#include <cstdint>

namespace tidewell {

Bridge g_bridge;

namespace {
ov::name n_EVENT{"EVENT"};
ov::name n_Event{"Event"};
ov::name n_event_queue{"event_queue"};
ov::name n_append{"append"};
ov::name n_security_id{"security_id"};
ov::name n_get_exchane_from_vorn_mdtype{"get_exchane_from_vorn_mdtype"};
ov::name n_convert_int_to_datetime{"convert_int_to_datetime"};
ov::name n_system_log{"system_log"};
ov::name n_info{"info"};
ov::name n_dot{"."};

PyObject* g_ints[4];
}  // namespace

PyObject* const_int(long v) {
    switch (v) {
        case -1: return g_ints[0];
        case 0: return g_ints[1];
        case 1000: return g_ints[2];
        default: return g_ints[3];
    }
}

int init_bridge_constants() {
    const long values[4] = {-1, 0, 1000, 1000000000};
    for (int i = 0; i < 4; ++i) {
        if (g_ints[i] == nullptr && (g_ints[i] = PyLong_FromLong(values[i])) == nullptr) return -1;
    }
    return 0;
}

namespace {

ov::name n_getattribute{"__getattribute__"};

// Names verified for class_attr, by metaclass version tag.
//
// Invariant: an entry {name, tag, ok} (name an interned ov::name, alive for the process; tag
// non-zero) records whether, for the metaclass whose version tag is `tag`, both hold: its
// attribute look-up is type's (its tp_getattro is type's, or its __getattribute__ resolves
// through its MRO to type's own, so that a hook such as enum's __getattr__ runs only when
// that look-up fails), and `name` is no data descriptor in its MRO. Both facts depend only on
// the dicts of the metaclass and its bases; any change to them replaces the tag, and tags are
// never reused, so a stale entry can only miss. A failed check is kept too (ok false), so
// that a class that fails it is not checked again at every look-up.
struct VerifiedName {
    PyObject* name;
    unsigned int meta_tag;
    bool ok;
};
constexpr size_t kVerifiedSlots = 64;
VerifiedName g_verified[kVerifiedSlots];

VerifiedName& verified_slot(PyObject* name) {
    return g_verified[(reinterpret_cast<uintptr_t>(name) / alignof(std::max_align_t)) %
                      kVerifiedSlots];
}

// Checks the facts of VerifiedName for `meta` and `name` and records them on success. Called
// after a generic look-up through the class, which gives the metaclass a version tag.
void verify_name(PyTypeObject* meta, PyObject* name) {
    if (!PyType_HasFeature(meta, Py_TPFLAGS_VALID_VERSION_TAG)) return;
    const unsigned int tag = meta->tp_version_tag;
    bool ok = true;
    if (meta->tp_getattro != PyType_Type.tp_getattro) {
        PyObject* own = PyDict_GetItemWithError(PyType_Type.tp_dict, n_getattribute);
        ok = own != nullptr && ov::type_lookup(meta, n_getattribute) == own;
    }
    if (ok) {
        PyObject* meta_attr = ov::type_lookup(meta, name);
        ok = meta_attr == nullptr ? !PyErr_Occurred() : !PyDescr_IsData(meta_attr);
    }
    if (PyErr_Occurred()) {
        PyErr_Clear();  // a failed check only means "not now"
        return;
    }
    // The checks ran no Python code (exact-str keys in type dicts), so the tag still holds.
    if (tag != 0 && meta->tp_version_tag == tag) verified_slot(name) = {name, tag, ok};
}

}  // namespace

PyObject* class_attr(PyObject* owner, PyObject* name) {
    if (PyType_Check(owner)) {
        auto* cls = reinterpret_cast<PyTypeObject*>(owner);
        PyTypeObject* meta = Py_TYPE(owner);
        const VerifiedName& slot = verified_slot(name);
        const bool known = slot.name == name && slot.meta_tag == meta->tp_version_tag &&
                           PyType_HasFeature(meta, Py_TPFLAGS_VALID_VERSION_TAG);
        if (known && slot.ok && cls->tp_dict != nullptr &&
            cls->tp_mro != nullptr && PyTuple_GET_SIZE(cls->tp_mro) > 0 &&
            PyTuple_GET_ITEM(cls->tp_mro, 0) == owner) {
            // The class's own dict comes first in its MRO; an entry there that is no
            // descriptor is returned as is by type's look-up.
            PyObject* v = PyDict_GetItemWithError(cls->tp_dict, name);
            if (v != nullptr && Py_TYPE(v)->tp_descr_get == nullptr) return Py_NewRef(v);
            if (v == nullptr && PyErr_Occurred()) PyErr_Clear();  // as type's look-up does
        }
        PyObject* v = PyObject_GetAttr(owner, name);
        if (v != nullptr && !known) verify_name(meta, name);
        return v;
    }
    return PyObject_GetAttr(owner, name);
}

PyObject* event_member(PyObject* member_name) {
    ov::object ev = global(n_EVENT);
    if (!ev) return nullptr;
    return class_attr(ev.get(), member_name);
}

int queue_append(PyObject* ev) {
    ov::object q = global(n_event_queue);
    if (!q) return -1;
    if (ring_buffer_check_exact(q.get())) return ring_buffer_append(q.get(), ev);
    ov::object r = ov::steal(ov::vcall_method(q.get(), n_append, {ev}));
    return r ? 0 : -1;
}

int emit_event(PyObject* member, std::initializer_list<PyObject*> values, PyObject* kw) {
    ov::object cls = global(n_Event);
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

PyObject* market_code(PyObject* record, PyObject* market_attr) {
    ov::object sid = ov::steal(PyObject_GetAttr(record, n_security_id));
    if (!sid) return nullptr;
    ov::object head = ov::steal(PyNumber_Add(sid.get(), n_dot));
    if (!head) return nullptr;
    ov::object conv = global(n_get_exchane_from_vorn_mdtype);
    if (!conv) return nullptr;
    ov::object market = ov::steal(PyObject_GetAttr(record, market_attr));
    if (!market) return nullptr;
    ov::object suffix = ov::steal(ov::vcall(conv.get(), {market.get()}));
    if (!suffix) return nullptr;
    return PyNumber_Add(head.get(), suffix.get());
}

PyObject* sdk_time(PyObject* record, PyObject* time_attr) {
    ov::object conv = global(n_convert_int_to_datetime);
    if (!conv) return nullptr;
    ov::object t = ov::steal(PyObject_GetAttr(record, time_attr));
    if (!t) return nullptr;
    ov::object q = ov::steal(PyNumber_TrueDivide(t.get(), const_int(1000)));
    if (!q) return nullptr;
    return ov::vcall(conv.get(), {q.get()});
}

int log_info(PyObject* text) {
    ov::object log = global(n_system_log);
    if (!log) return -1;
    ov::object r = ov::steal(ov::vcall_method(log.get(), n_info, {text}));
    return r ? 0 : -1;
}

}  // namespace tidewell
