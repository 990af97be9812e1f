// Creation of the class VornStrategy, the SDK strategy class's subclass that the SDK calls
// back. The class is made as a `class` statement would make it, so the SDK's metaclass and
// its base's __init_subclass__ see an ordinary class body.
#include "callbacks.hpp"
#include "strategy.hpp"

namespace tidewell {

namespace {

#define TIDEWELL_DEF(pyname, fn) ov::fastcall_def(pyname, fn, nullptr)

// The class's methods, in definition order. This is the one place that order is kept.
PyMethodDef strategy_methods[] = {
    TIDEWELL_DEF("__init__", strategy_init),
    TIDEWELL_DEF("initialize", initialize),
    TIDEWELL_DEF("on_initialize", on_initialize),
    TIDEWELL_DEF("on_switch_day", on_switch_day),
    TIDEWELL_DEF("on_snapshot", on_snapshot),
    TIDEWELL_DEF("on_tick_order", on_tick_order),
    TIDEWELL_DEF("on_tick_trade", on_tick_trade),
    TIDEWELL_DEF("on_bar", on_bar),
    TIDEWELL_DEF("on_login", on_login),
    TIDEWELL_DEF("on_query_asset", on_query_asset),
    TIDEWELL_DEF("on_query_position", on_query_position),
    TIDEWELL_DEF("on_order", on_order),
    TIDEWELL_DEF("on_trade", on_trade),
    TIDEWELL_DEF("on_order_action_error", on_order_action_error),
    TIDEWELL_DEF("on_algo_login", on_algo_login),
    TIDEWELL_DEF("on_create_algo_parent_order_res", on_create_algo_parent_order_res),
    TIDEWELL_DEF("on_cancel_algo_parent_order_res", on_cancel_algo_parent_order_res),
    TIDEWELL_DEF("on_control_algo_parent_order_res", on_control_algo_parent_order_res),
    TIDEWELL_DEF("on_algo_parent_order_update", on_algo_parent_order_update),
    TIDEWELL_DEF("on_algo_child_order_update", on_algo_child_order_update),
    TIDEWELL_DEF("on_algo_child_order_trade", on_algo_child_order_trade),
    TIDEWELL_DEF("create_time_listener", create_time_listener),
    TIDEWELL_DEF("send_day_event", send_day_event),
    TIDEWELL_DEF("send_before_trading_event", send_before_trading_event),
    TIDEWELL_DEF("send_after_trading_event", send_after_trading_event),
    TIDEWELL_DEF("send_open_auction_event", send_open_auction_event),
    TIDEWELL_DEF("set_timer", set_timer),
    {nullptr, nullptr, 0, nullptr},
};
constexpr size_t n_methods = sizeof(strategy_methods) / sizeof(strategy_methods[0]) - 1;
static_assert(n_methods == 27);

// While the class is being created its body holds plain functions (wrapped as
// instancemethod), which receive the instance as their first positional argument. The
// trampoline forwards such a call to the real method, whose C `self` is the instance; the
// function's own `self` is the method's index in strategy_methods.
PyObject* trampoline(PyObject* index, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    size_t i = PyLong_AsSize_t(index);
    if (i >= n_methods) return nullptr;
    if (nargs < 1) {
        PyErr_Format(PyExc_TypeError, "%s() missing 1 required positional argument: 'self'",
                     strategy_methods[i].ml_name);
        return nullptr;
    }
    auto fn = reinterpret_cast<PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)>(
        reinterpret_cast<void (*)()>(strategy_methods[i].ml_meth));
    return fn(args[0], args + 1, nargs - 1, kwnames);
}

PyMethodDef trampoline_defs[n_methods];

ov::name n_VornStrategy{"VornStrategy"};

}  // namespace

// While the class is being created its body holds working callables: plain functions
// (wrapped as instancemethod) that forward to the real methods.
static int fill_body(PyObject* ns, PyObject* module_name) {
    for (size_t i = 0; i < n_methods; ++i) {
        trampoline_defs[i] = ov::fastcall_def(strategy_methods[i].ml_name, trampoline, nullptr);
        ov::object index = ov::steal(PyLong_FromSize_t(i));
        if (!index) return -1;
        ov::object fn = ov::steal(PyCFunction_NewEx(&trampoline_defs[i], index.get(), module_name));
        if (!fn) return -1;
        ov::object meth = ov::steal(PyInstanceMethod_New(fn.get()));
        if (!meth) return -1;
        if (PyMapping_SetItemString(ns, strategy_methods[i].ml_name, meth.get()) < 0) return -1;
    }
    return 0;
}

PyObject* create_strategy_class(PyObject* base, PyObject* module_name) {
    ov::object bases = ov::steal(PyTuple_Pack(1, base));
    if (!bases) return nullptr;
    // The metaclass of a single-base class statement is the base's type.
    auto* meta = reinterpret_cast<PyObject*>(Py_TYPE(base));
    ov::object cls = ov::make_class(meta, n_VornStrategy, bases.get(), module_name,
                                    [module_name](PyObject* ns) { return fill_body(ns, module_name); });
    if (!cls) return nullptr;
    if (!PyType_Check(cls.get())) {
        PyErr_SetString(PyExc_TypeError, "the SDK strategy metaclass did not return a class");
        return nullptr;
    }
    // Now that the class exists, each method becomes a real method descriptor.
    if (ov::install_methods(cls.get(), strategy_methods) < 0) return nullptr;
    return cls.release();
}

}  // namespace tidewell
