// tiderec._capture.LockGate: the writer's turn at the interpreter's lock (lock_gate.hpp).
#include "lock_gate.hpp"

#include <new>

namespace {

struct LockGate {
    PyObject_HEAD
    tiderec::GateState* state;
};

PyTypeObject* gate_type = nullptr;

PyObject* gate_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    if (PyTuple_GET_SIZE(args) != 0 || (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0)) {
        PyErr_SetString(PyExc_TypeError, "LockGate() takes no arguments");
        return nullptr;
    }
    auto* self = reinterpret_cast<LockGate*>(type->tp_alloc(type, 0));
    if (self == nullptr)
        return nullptr;
    self->state = new (std::nothrow) tiderec::GateState();
    if (self->state == nullptr) {
        Py_DECREF(self);
        return PyErr_NoMemory();
    }
    return reinterpret_cast<PyObject*>(self);
}

void gate_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<LockGate*>(self)->state;
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* gate_want(PyObject* self, PyObject*) {
    reinterpret_cast<LockGate*>(self)->state->want();
    Py_RETURN_NONE;
}

PyObject* gate_taken(PyObject* self, PyObject*) {
    reinterpret_cast<LockGate*>(self)->state->taken();
    Py_RETURN_NONE;
}

PyObject* gate_wanted(PyObject* self, void*) {
    return PyBool_FromLong(
        reinterpret_cast<LockGate*>(self)->state->wanted.load(std::memory_order_acquire));
}

PyMethodDef gate_methods[] = {
    {"want", gate_want, METH_NOARGS,
     "want(): the writer is about to ask for the interpreter's lock (a capture in a burst lets "
     "it have the lock)."},
    {"taken", gate_taken, METH_NOARGS,
     "taken(): the writer holds the lock again; the captures waiting for it go on."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef gate_getset[] = {
    {"wanted", gate_wanted, nullptr, "whether the writer is waiting for the lock", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot gate_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(gate_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(gate_dealloc)},
    {Py_tp_methods, gate_methods},
    {Py_tp_getset, gate_getset},
    {Py_tp_doc, const_cast<char*>(
                    "LockGate(): the recorder's writer thread's turn at the interpreter's lock "
                    "while the SDK's threads call back flat out.")},
    {0, nullptr},
};

PyType_Spec gate_spec = {"tiderec._capture.LockGate", sizeof(LockGate), 0, Py_TPFLAGS_DEFAULT,
                         gate_slots};

}  // namespace

namespace tiderec {

GateState* gate_state(PyObject* o) {
    if (gate_type == nullptr || !PyObject_TypeCheck(o, gate_type))
        return nullptr;
    return reinterpret_cast<LockGate*>(o)->state;
}

GateState* gate_argument(const char* function, PyObject* gate, bool* bad) {
    *bad = false;
    if (gate == nullptr || gate == Py_None)
        return nullptr;
    GateState* state = gate_state(gate);
    if (state == nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() gate must be a LockGate or None, not %.200s",
                     function, Py_TYPE(gate)->tp_name);
        *bad = true;
    }
    return state;
}

int add_lock_gate(PyObject* module) {
    if (gate_type == nullptr) {
        gate_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&gate_spec));
        if (gate_type == nullptr)
            return -1;
    }
    return PyModule_AddObjectRef(module, "LockGate", reinterpret_cast<PyObject*>(gate_type));
}

}  // namespace tiderec
