// tiderec._capture.LineEncoder: the native encoding of the common session entry (see
// line_encoder.cpp). Added to the _capture module at its initialisation.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tiderec {

// Adds the LineEncoder type to `module`; 0, or -1 with an exception set.
int add_line_encoder(PyObject* module);

}  // namespace tiderec
