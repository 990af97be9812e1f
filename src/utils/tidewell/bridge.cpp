#include "bridge.hpp"

#include "ring_buffer.hpp"

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

PyObject* event_member(PyObject* member_name) {
    ov::object ev = ov::steal(global(n_EVENT));
    if (!ev) return nullptr;
    return PyObject_GetAttr(ev.get(), member_name);
}

int queue_append(PyObject* ev) {
    ov::object q = ov::steal(global(n_event_queue));
    if (!q) return -1;
    if (ring_buffer_check_exact(q.get())) return ring_buffer_append(q.get(), ev);
    ov::object r = ov::steal(ov::vcall_method(q.get(), n_append, {ev}));
    return r ? 0 : -1;
}

int emit_event(PyObject* member, std::initializer_list<PyObject*> values, PyObject* kw) {
    ov::object cls = ov::steal(global(n_Event));
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
    ov::object conv = ov::steal(global(n_get_exchane_from_vorn_mdtype));
    if (!conv) return nullptr;
    ov::object market = ov::steal(PyObject_GetAttr(record, market_attr));
    if (!market) return nullptr;
    ov::object suffix = ov::steal(ov::vcall(conv.get(), {market.get()}));
    if (!suffix) return nullptr;
    return PyNumber_Add(head.get(), suffix.get());
}

PyObject* sdk_time(PyObject* record, PyObject* time_attr) {
    ov::object conv = ov::steal(global(n_convert_int_to_datetime));
    if (!conv) return nullptr;
    ov::object t = ov::steal(PyObject_GetAttr(record, time_attr));
    if (!t) return nullptr;
    ov::object q = ov::steal(PyNumber_TrueDivide(t.get(), const_int(1000)));
    if (!q) return nullptr;
    return ov::vcall(conv.get(), {q.get()});
}

int log_info(PyObject* text) {
    ov::object log = ov::steal(global(n_system_log));
    if (!log) return -1;
    ov::object r = ov::steal(ov::vcall_method(log.get(), n_info, {text}));
    return r ? 0 : -1;
}

}  // namespace tidewell
