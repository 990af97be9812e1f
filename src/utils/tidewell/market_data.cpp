// Not yet implemented: each method raises NotImplementedError.
#include "callbacks.hpp"

namespace tidewell {

TIDEWELL_METHOD(on_snapshot) {
    (void)self; (void)args; (void)nargs; (void)kwnames;
    PyErr_SetString(PyExc_NotImplementedError, "on_snapshot");
    return nullptr;
}

TIDEWELL_METHOD(on_tick_order) {
    (void)self; (void)args; (void)nargs; (void)kwnames;
    PyErr_SetString(PyExc_NotImplementedError, "on_tick_order");
    return nullptr;
}

TIDEWELL_METHOD(on_tick_trade) {
    (void)self; (void)args; (void)nargs; (void)kwnames;
    PyErr_SetString(PyExc_NotImplementedError, "on_tick_trade");
    return nullptr;
}

TIDEWELL_METHOD(on_bar) {
    (void)self; (void)args; (void)nargs; (void)kwnames;
    PyErr_SetString(PyExc_NotImplementedError, "on_bar");
    return nullptr;
}

}  // namespace tidewell
