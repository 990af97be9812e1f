// Not yet implemented: each method raises NotImplementedError.
#include "callbacks.hpp"

namespace tidewell {

TIDEWELL_METHOD(on_login) {
    (void)self; (void)args; (void)nargs; (void)kwnames;
    PyErr_SetString(PyExc_NotImplementedError, "on_login");
    return nullptr;
}

TIDEWELL_METHOD(on_query_asset) {
    (void)self; (void)args; (void)nargs; (void)kwnames;
    PyErr_SetString(PyExc_NotImplementedError, "on_query_asset");
    return nullptr;
}

TIDEWELL_METHOD(on_query_position) {
    (void)self; (void)args; (void)nargs; (void)kwnames;
    PyErr_SetString(PyExc_NotImplementedError, "on_query_position");
    return nullptr;
}

}  // namespace tidewell
