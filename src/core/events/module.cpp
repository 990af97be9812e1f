// Module orvane.tamsel.core.events: the event types (EVENT), the event record (Event), the
// lookup of an event type by name (parse_event) and the two-tier EventBus.
#include "events.hpp"

namespace events {

module_state state;

namespace {

ov::name n_enum_module("enum");
ov::name n_enum_base("Enum");
ov::name n_collections("collections");
ov::name n_defaultdict("defaultdict");
ov::name n_event_class("Event");
ov::name n_event_bus("EventBus");
ov::name n_event_enum("EVENT");
ov::name n_parse_event("parse_event");

// `from <module> import <attr>` into the module namespace.
int import_into(PyObject* module_dict, PyObject* module, PyObject* attr) {
    ov::object source = ov::steal(PyImport_Import(module));
    if (!source) return -1;
    ov::object value = ov::steal(PyObject_GetAttr(source.get(), attr));
    if (!value) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_ImportError, "cannot import name '%U' from '%U'", attr, module);
        }
        return -1;
    }
    return PyDict_SetItem(module_dict, attr, value.get());
}

int add_new(PyObject* module_dict, PyObject* key, PyObject* value) {
    if (value == nullptr) return -1;
    const int rc = PyDict_SetItem(module_dict, key, value);
    Py_DECREF(value);
    return rc;
}

// Releases the state when the module that owns it goes away. Copies made by a re-import
// share the def (and so this hook) but not the dict; they leave the state alone.
void module_free(void* m) {
    PyObject* dict = PyModule_GetDict(static_cast<PyObject*>(m));
    if (dict != nullptr && dict == state.module_dict) {
        state.event_guard.reset();
        state.event_store_guard.reset();
        Py_CLEAR(state.empty_tuple);
        state.inline_stores = false;
        for (call_shape& shape : state.shapes) {
            Py_CLEAR(shape.kwnames);
            shape = call_shape{};
        }
        Py_CLEAR(state.event_init);
        Py_CLEAR(state.event_class);
        state.event_hash_guard.reset();
        Py_CLEAR(state.event_hash);
        Py_CLEAR(state.event_enum);
        state.enum_meta_guard.reset();
        Py_CLEAR(state.enum_getitem);
        Py_CLEAR(state.enum_meta);
        Py_CLEAR(state.module_dict);
    }
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    kModuleName,
    nullptr,  // no docstring
    -1,       // single-phase: one state per process (see module_state)
    nullptr,  // parse_event is added at its place in the initialisation order
    nullptr,
    nullptr,
    nullptr,
    module_free,
};

// The module's namespace is filled in this order: Enum, defaultdict, Event, EventBus,
// EVENT, parse_event.
PyObject* create_module() {
    if (state.module_dict != nullptr) {
        PyErr_SetString(PyExc_ImportError,
                        "orvane.tamsel.core.events cannot be initialized twice in one process");
        return nullptr;
    }
    if (ov::init_names() < 0) return nullptr;
    ov::object module = ov::steal(PyModule_Create(&module_def));
    if (!module) return nullptr;
    PyObject* dict = PyModule_GetDict(module.get());
    ov::object module_name = ov::steal(PyUnicode_FromString(kModuleName));
    if (!module_name) return nullptr;

    if (import_into(dict, n_enum_module, n_enum_base) < 0) return nullptr;
    if (import_into(dict, n_collections, n_defaultdict) < 0) return nullptr;

    ov::object event_class = ov::steal(create_event_class(module_name.get()));
    if (!event_class) return nullptr;
    if (PyDict_SetItem(dict, n_event_class, event_class.get()) < 0) return nullptr;
    if (add_new(dict, n_event_bus, create_event_bus_class(module_name.get())) < 0) return nullptr;
    ov::object event_enum = ov::steal(create_event_enum(dict, module_name.get()));
    if (!event_enum) return nullptr;
    if (PyDict_SetItem(dict, n_event_enum, event_enum.get()) < 0) return nullptr;
    if (add_new(dict, n_parse_event, create_parse_event(module.get(), module_name.get())) < 0)
        return nullptr;

    if (arm_event_fast_path(event_class.get()) < 0) return nullptr;
    if (arm_name_lookup_fast_path(event_enum.get()) < 0) return nullptr;
    if (arm_dispatch_fast_path(event_enum.get()) < 0) return nullptr;
    state.module_dict = Py_NewRef(dict);
    return module.release();
}

}  // namespace

}  // namespace events

PyMODINIT_FUNC PyInit_events() { return events::create_module(); }
