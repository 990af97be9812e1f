// Not yet implemented: each method raises NotImplementedError.
#include "callbacks.hpp"

namespace tidewell {

TIDEWELL_METHOD(on_algo_login) {
    (void)self; (void)args; (void)nargs; (void)kwnames;
    PyErr_SetString(PyExc_NotImplementedError, "on_algo_login");
    return nullptr;
}

TIDEWELL_METHOD(on_create_algo_parent_order_res) {
    (void)self; (void)args; (void)nargs; (void)kwnames;
    PyErr_SetString(PyExc_NotImplementedError, "on_create_algo_parent_order_res");
    return nullptr;
}

TIDEWELL_METHOD(on_cancel_algo_parent_order_res) {
    (void)self; (void)args; (void)nargs; (void)kwnames;
    PyErr_SetString(PyExc_NotImplementedError, "on_cancel_algo_parent_order_res");
    return nullptr;
}

TIDEWELL_METHOD(on_control_algo_parent_order_res) {
    (void)self; (void)args; (void)nargs; (void)kwnames;
    PyErr_SetString(PyExc_NotImplementedError, "on_control_algo_parent_order_res");
    return nullptr;
}

TIDEWELL_METHOD(on_algo_parent_order_update) {
    (void)self; (void)args; (void)nargs; (void)kwnames;
    PyErr_SetString(PyExc_NotImplementedError, "on_algo_parent_order_update");
    return nullptr;
}

TIDEWELL_METHOD(on_algo_child_order_update) {
    (void)self; (void)args; (void)nargs; (void)kwnames;
    PyErr_SetString(PyExc_NotImplementedError, "on_algo_child_order_update");
    return nullptr;
}

TIDEWELL_METHOD(on_algo_child_order_trade) {
    (void)self; (void)args; (void)nargs; (void)kwnames;
    PyErr_SetString(PyExc_NotImplementedError, "on_algo_child_order_trade");
    return nullptr;
}

}  // namespace tidewell
