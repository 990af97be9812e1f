// RingBuffer: a fixed-capacity ring of object references, the type of the bridge's event queue.
//
// Python interface: RingBuffer(capacity, dtype=object, allow_overwrite=True) with append,
// appendleft, extend, extendleft, pop, popleft, popleft_many, clear, count, index, len(),
// indexing by a position, a slice or a list or array of positions, iteration, __array__ (numpy
// reads it as a one-dimensional object array), and the properties dropped, is_full, maxlen,
// allow_overwrite, dtype and shape. Storage for every slot is reserved by the constructor; append
// never allocates and, when the buffer is full, discards the oldest entry (or raises IndexError
// when allow_overwrite is false). A capacity of 0 is allowed: such a buffer stays empty.
#pragma once

#include "pyhelp.hpp"

namespace tidewell {

// Creates the RingBuffer heap type (its __module__ is the bridge module's name, `module` is the
// type's defining module) and registers it as a collections.abc.Sequence. Returns a new
// reference, or nullptr with the exception set. Meant to be called once, from the module's
// initialisation.
PyTypeObject* ring_buffer_create_type(PyObject* module);

// The append fast path for callers in C++: `rb` must be an instance of the RingBuffer type
// (check with ring_buffer_check_exact). Returns 0, or -1 with the exception set (IndexError
// when the buffer is full and does not overwrite).
int ring_buffer_append(PyObject* rb, PyObject* item);

// True when `o` is exactly a RingBuffer (not a subclass, which may override append).
bool ring_buffer_check_exact(PyObject* o);

}  // namespace tidewell
