// The native parts of the recorder's writer thread, added to the _capture module at its
// initialisation: LineEncoder (line_encoder.cpp), the encoding of the common session entry, and
// write_gzip (gzip_block.cpp), when zlib's headers were found at the build.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tiderec {

// Adds the LineEncoder type to `module`; 0, or -1 with an exception set.
int add_line_encoder(PyObject* module);

#ifdef TIDEREC_HAVE_ZLIB
// Adds write_gzip (gzip_block.cpp) to `module`; 0, or -1 with an exception set.
int add_gzip_block(PyObject* module);
#endif

}  // namespace tiderec
