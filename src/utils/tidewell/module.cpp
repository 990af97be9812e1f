// Initialisation of the bridge module: its imports, in order, then its state, its query
// functions and the strategy class. A failure of any step aborts the load with that error.
#include "bridge.hpp"
#include "ring_buffer.hpp"
#include "strategy.hpp"

namespace tidewell {
namespace {

constexpr const char* module_name = "orvane.tamsel.utils.tidewell";

ov::name n_all{"__all__"};
ov::name n_VornStrategy{"VornStrategy"};
ov::kwnames kw_ring_buffer{"capacity", "dtype"};



// `from <module> import <names...>`: binds each name in the module's namespace.
int import_from(PyObject* dict, const char* source, std::initializer_list<const ov::name*> names) {
    ov::object mod = ov::steal(PyImport_ImportModule(source));
    if (!mod) return -1;
    for (const ov::name* n : names) {
        ov::object v = ov::steal(PyObject_GetAttr(mod.get(), *n));
        if (!v) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
            PyErr_Clear();
            PyErr_Format(PyExc_ImportError, "cannot import name '%U' from '%s'", n->get(), source);
            return -1;
        }
        if (PyDict_SetItem(dict, *n, v.get()) < 0) return -1;
    }
    return 0;
}

// `import <source> as <as_name>` for a module bound under a name of its own.
int import_as(PyObject* dict, const char* source, const ov::name& as_name) {
    return ov::set_item(dict, as_name, ov::steal(PyImport_ImportModule(source)));
}

// `from <source> import *`: the names of the source's __all__ when it defines one, otherwise
// every name of its namespace not beginning with an underscore.
int import_star(PyObject* dict, const char* source) {
    ov::object mod = ov::steal(PyImport_ImportModule(source));
    if (!mod) return -1;
    ov::object all = ov::steal(PyObject_GetAttr(mod.get(), n_all));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        PyObject* src = PyModule_GetDict(mod.get());  // borrowed
        if (src == nullptr) return -1;
        ov::object items = ov::steal(PyDict_Items(src));
        if (!items) return -1;
        for (Py_ssize_t i = 0, n = PyList_GET_SIZE(items.get()); i < n; ++i) {
            PyObject* kv = PyList_GET_ITEM(items.get(), i);
            PyObject* key = PyTuple_GET_ITEM(kv, 0);
            if (!PyUnicode_Check(key)) continue;
            if (PyUnicode_GET_LENGTH(key) > 0 && PyUnicode_READ_CHAR(key, 0) == '_') continue;
            if (PyDict_SetItem(dict, key, PyTuple_GET_ITEM(kv, 1)) < 0) return -1;
        }
        return 0;
    }
    // Item by item until the sequence ends, as the interpreter's own `import *` does: reading
    // a name can run the module's __getattr__, which may change __all__ under the loop, so its
    // length is never fixed in advance and each name is held while it is used.
    for (Py_ssize_t i = 0;; ++i) {
        ov::object key = ov::steal(PySequence_GetItem(all.get(), i));
        if (!key) {
            if (!PyErr_ExceptionMatches(PyExc_IndexError)) return -1;
            PyErr_Clear();
            return 0;
        }
        if (!PyUnicode_Check(key.get())) {
            PyErr_Format(PyExc_TypeError, "Item in %s.__all__ must be str, not %.100s", source,
                         Py_TYPE(key.get())->tp_name);
            return -1;
        }
        ov::object v = ov::steal(PyObject_GetAttr(mod.get(), key.get()));
        if (!v) return -1;
        if (PyDict_SetItem(dict, key.get(), v.get()) < 0) return -1;
    }
}

// system_log; and user_system_log, which the position answer's warning writes to, when the
// logger module has it (its absence must not fail the load).
int import_loggers(PyObject* dict) {
    if (import_from(dict, "orvane.tamsel.utils.logger", {&globals::system_log}) < 0) return -1;
    ov::object logger = ov::steal(PyImport_ImportModule("orvane.tamsel.utils.logger"));
    if (!logger) return -1;
    ov::object user_log = ov::steal(PyObject_GetAttr(logger.get(), globals::user_system_log));
    if (user_log) return PyDict_SetItem(dict, globals::user_system_log, user_log.get());
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
}

using namespace globals;

// Steps 1 to 15: the framework's modules and the event core.
int import_framework(PyObject* d) {
    if (import_from(d, "orvane.tamsel.environment", {&Environment}) < 0) return -1;
    if (import_from(d, "orvane.tamsel.core.events", {&EVENT, &Event}) < 0) return -1;
    if (import_from(d, "orvane.tamsel.model.tick", {&TickObject}) < 0) return -1;
    if (import_from(d, "orvane.tamsel.model.trade", {&Trade}) < 0) return -1;
    if (import_from(d, "orvane.tamsel.model.l2_order", {&L2Order}) < 0) return -1;
    if (import_from(d, "orvane.tamsel.model.l2_transaction", {&L2Transaction}) < 0) return -1;
    if (import_from(d, "orvane.tamsel.utils.datetime_func",
                    {&convert_int_to_whole_date, &convert_int_to_datetime}) < 0)
        return -1;
    if (import_from(d, "orvane.tamsel.utils.trade_func",
                    {&get_exchane_from_vorn_mdtype, &get_vorn_tdtype, &get_side_from_vorn_l2_order,
                     &get_order_type_from_vorn_l2_order, &get_trade_type_from_vorn,
                     &get_l2order_type_from_vorn}) < 0)
        return -1;
    if (import_loggers(d) < 0) return -1;
    if (import_from(d, "orvane.tamsel.model.algo_parent_order", {&AlgoParentOrder}) < 0) return -1;
    if (import_from(d, "orvane.tamsel.model.algo_child_order", {&AlgoChildOrder}) < 0) return -1;
    if (import_from(d, "orvane.tamsel.model.algo_child_trade", {&AlgoChildTrade}) < 0) return -1;
    if (import_from(d, "orvane.tamsel.const", {&ORDER_STATUS, &POSITION_DIRECTION, &SIDE}) < 0)
        return -1;
    if (import_from(d, "orvane.tamsel.portfolio.account", {&Asset}) < 0) return -1;
    return import_from(d, "orvane.tamsel.portfolio.position", {&Position});
}

// Steps 17 to 22: numpy, standard modules, the SDK.
int import_libraries(PyObject* d) {
    if (import_as(d, "numpy", np) < 0) return -1;
    if (import_from(d, "collections", {&deque}) < 0) return -1;
    if (import_as(d, "copy", copy) < 0) return -1;
    if (import_from(d, "datetime", {&datetime, &time, &timedelta}) < 0) return -1;
    if (import_as(d, "pyvorn.strategy", strategy) < 0) return -1;
    return import_star(d, "pyvorn.enums");
}

// The module-level state, in order: vorn_params, event_queue (RB(capacity=1000000,
// dtype=object), RB read as a global), then the caches.
int init_state(PyObject* d) {
    if (ov::set_item(d, vorn_params, ov::steal(PyDict_New())) < 0) return -1;
    ov::object rb_type = ov::global(d, RB);
    if (!rb_type) return -1;
    ov::object capacity = ov::steal(PyLong_FromLong(1000000));
    if (!capacity) return -1;
    PyObject* object_type = reinterpret_cast<PyObject*>(&PyBaseObject_Type);
    if (ov::set_item(d, event_queue,
                     ov::vcall(rb_type.get(), {capacity.get(), object_type}, kw_ring_buffer)) < 0)
        return -1;
    for (const ov::name* n : {&history_bar, &history_tick, &orders_dict, &algo_parent_orders,
                              &algo_child_orders, &algo_child_trades}) {
        if (ov::set_item(d, *n, ov::steal(PyDict_New())) < 0) return -1;
    }
    return 0;
}

// The query functions, then VornStrategy, made from pyvorn.strategy.VornStrategy (read
// through the module global `strategy`).
int init_functions_and_class(PyObject* module, PyObject* d) {
    ov::object modname = ov::steal(PyUnicode_FromString(module_name));
    if (!modname) return -1;
    for (PyMethodDef* def = query_functions; def->ml_name != nullptr; ++def) {
        ov::object key = ov::steal(PyUnicode_InternFromString(def->ml_name));
        if (!key) return -1;
        if (ov::set_item(d, key.get(), ov::steal(PyCFunction_NewEx(def, module, modname.get()))) < 0)
            return -1;
    }
    ov::object strategy_mod = ov::borrow(PyDict_GetItemWithError(d, strategy));
    if (!strategy_mod) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "pyvorn.strategy is not bound");
        return -1;
    }
    ov::object base = ov::steal(PyObject_GetAttr(strategy_mod.get(), n_VornStrategy));
    if (!base) return -1;
    return ov::set_item(d, n_VornStrategy,
                        ov::steal(create_strategy_class(base.get(), modname.get())));
}

int init_module(PyObject* module) {
    PyObject* d = PyModule_GetDict(module);  // borrowed
    if (import_framework(d) < 0) return -1;
    // Step 16: the event queue's type, our native ring buffer.
    if (ov::set_item(d, RB, ov::steal(reinterpret_cast<PyObject*>(ring_buffer_create_type(module)))) < 0)
        return -1;
    if (import_libraries(d) < 0) return -1;
    if (init_state(d) < 0) return -1;
    return init_functions_and_class(module, d);
}

PyModuleDef tidewell_module = {PyModuleDef_HEAD_INIT, module_name, nullptr, -1, nullptr};

}  // namespace
}  // namespace tidewell

PyMODINIT_FUNC PyInit_tidewell() {
    using namespace tidewell;
    if (g_bridge.module != nullptr) {
        PyErr_SetString(PyExc_ImportError,
                        "orvane.tamsel.utils.tidewell can be loaded only once per process");
        return nullptr;
    }
    if (ov::init_names() < 0 || init_bridge_state() < 0) return nullptr;
    ov::object module = ov::steal(PyModule_Create(&tidewell_module));
    if (!module) return nullptr;
    // Callbacks reach the namespace through g_bridge; set it before anything can call them.
    g_bridge.module = module.get();
    g_bridge.dict = PyModule_GetDict(module.get());
    if (init_module(module.get()) < 0) {
        g_bridge.module = nullptr;
        g_bridge.dict = nullptr;
        return nullptr;
    }
    Py_INCREF(module.get());  // g_bridge's own reference, kept for the life of the process
    return module.release();
}
