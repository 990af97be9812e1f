#pragma once

#include "pyhelp.hpp"

namespace tidewell {

// Creates VornStrategy as a subclass of `base` with __module__ `module_name`. New reference.
PyObject* create_strategy_class(PyObject* base, PyObject* module_name);

// Module-level query functions (queries.cpp), in the order the module binds them.
extern PyMethodDef query_functions[];

// Constants shared by the callbacks (bridge.cpp).

}  // namespace tidewell
