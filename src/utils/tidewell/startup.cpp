// Not yet implemented: each method raises NotImplementedError.
#include "callbacks.hpp"

namespace tidewell {

TIDEWELL_METHOD(strategy_init) {
    (void)self; (void)args; (void)nargs; (void)kwnames;
    PyErr_SetString(PyExc_NotImplementedError, "strategy_init");
    return nullptr;
}

TIDEWELL_METHOD(initialize) {
    (void)self; (void)args; (void)nargs; (void)kwnames;
    PyErr_SetString(PyExc_NotImplementedError, "initialize");
    return nullptr;
}

TIDEWELL_METHOD(on_initialize) {
    (void)self; (void)args; (void)nargs; (void)kwnames;
    PyErr_SetString(PyExc_NotImplementedError, "on_initialize");
    return nullptr;
}

TIDEWELL_METHOD(on_switch_day) {
    (void)self; (void)args; (void)nargs; (void)kwnames;
    PyErr_SetString(PyExc_NotImplementedError, "on_switch_day");
    return nullptr;
}

}  // namespace tidewell
