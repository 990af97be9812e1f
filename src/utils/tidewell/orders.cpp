// Not yet implemented: each method raises NotImplementedError.
#include "callbacks.hpp"

namespace tidewell {

TIDEWELL_METHOD(on_order) {
    (void)self; (void)args; (void)nargs; (void)kwnames;
    PyErr_SetString(PyExc_NotImplementedError, "on_order");
    return nullptr;
}

TIDEWELL_METHOD(on_trade) {
    (void)self; (void)args; (void)nargs; (void)kwnames;
    PyErr_SetString(PyExc_NotImplementedError, "on_trade");
    return nullptr;
}

TIDEWELL_METHOD(on_order_action_error) {
    (void)self; (void)args; (void)nargs; (void)kwnames;
    PyErr_SetString(PyExc_NotImplementedError, "on_order_action_error");
    return nullptr;
}

}  // namespace tidewell
