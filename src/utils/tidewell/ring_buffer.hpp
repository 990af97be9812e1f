#pragma once
#include "pyhelp.hpp"
namespace tidewell {
PyTypeObject* ring_buffer_create_type(PyObject* module);
int ring_buffer_append(PyObject* rb, PyObject* item);
bool ring_buffer_check_exact(PyObject* o);
}
