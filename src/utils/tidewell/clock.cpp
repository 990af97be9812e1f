// Not yet implemented: each method raises NotImplementedError.
#include "callbacks.hpp"

namespace tidewell {

TIDEWELL_METHOD(create_time_listener) {
    (void)self; (void)args; (void)nargs; (void)kwnames;
    PyErr_SetString(PyExc_NotImplementedError, "create_time_listener");
    return nullptr;
}

TIDEWELL_METHOD(send_day_event) {
    (void)self; (void)args; (void)nargs; (void)kwnames;
    PyErr_SetString(PyExc_NotImplementedError, "send_day_event");
    return nullptr;
}

TIDEWELL_METHOD(send_before_trading_event) {
    (void)self; (void)args; (void)nargs; (void)kwnames;
    PyErr_SetString(PyExc_NotImplementedError, "send_before_trading_event");
    return nullptr;
}

TIDEWELL_METHOD(send_after_trading_event) {
    (void)self; (void)args; (void)nargs; (void)kwnames;
    PyErr_SetString(PyExc_NotImplementedError, "send_after_trading_event");
    return nullptr;
}

TIDEWELL_METHOD(send_open_auction_event) {
    (void)self; (void)args; (void)nargs; (void)kwnames;
    PyErr_SetString(PyExc_NotImplementedError, "send_open_auction_event");
    return nullptr;
}

TIDEWELL_METHOD(set_timer) {
    (void)self; (void)args; (void)nargs; (void)kwnames;
    PyErr_SetString(PyExc_NotImplementedError, "set_timer");
    return nullptr;
}

}  // namespace tidewell
