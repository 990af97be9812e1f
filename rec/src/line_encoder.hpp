// The native parts of the recorder's encoding, added to the _capture module at its
// initialisation: LineEncoder (line_encoder.cpp), the encoding of the common session entry (by
// the capture, or by the writer thread from what was captured), and
// write_gzip (gzip_block.cpp), when zlib's headers were found at the build.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tiderec {

// Adds the LineEncoder type to `module`; 0, or -1 with an exception set.
int add_line_encoder(PyObject* module);

// Whether o is a LineEncoder.
bool is_line_encoder(PyObject* o);

// How a callback's argument, or an element of a list argument (`in_list`), is written when its
// line is made at its capture: a value as it is; a record, from its instance dict (a new
// reference into *fields); a list argument, element by element; `other` when the callback is to
// be captured the other way (nothing set); `error` with an exception set. The reader may run
// Python code only as any allocation may (a collection); the encoder holds what it reads.
enum class argument { value, record, list, other, error };
using ReadArgument = argument (*)(const void* context, PyObject* v, bool in_list,
                                  PyObject** fields);

// The line of callback `name` (without its newline) at time `now` (or, when it is nullptr, at
// the wall-clock time `wall`, seconds since the epoch as time.time() gives them) with arguments
// args[0..n), the same bytes the writer makes of its capture, as a new bytes object; nullptr
// with nothing set when the writer is to make it from the capture (a kind the encoder leaves to
// Python, or a cleared encoder), or with an exception set (out of memory, an interrupt).
// `encoder` is a LineEncoder. May call the recorder's Python functions the encoder learns from
// (then the line is begun again from its start). With `holes`, the line's numbers are left as
// holes for the writer to write out without the lock (entry_text.hpp); without, they are
// written at once.
PyObject* encode_callback(PyObject* encoder, PyObject* now, double wall, PyObject* name,
                          PyObject* const* args, Py_ssize_t n, ReadArgument read,
                          const void* context, bool holes);

#ifdef TIDEREC_HAVE_ZLIB
// Adds write_gzip (gzip_block.cpp) to `module`; 0, or -1 with an exception set.
int add_gzip_block(PyObject* module);
#endif

}  // namespace tiderec
