// tiderec._capture.write_gzip: one block of a session file finished (its numbers' holes
// written out), compressed as a gzip member and written to the file, all without the
// interpreter's lock and in one release of it.
//
// The recorder's writer thread would otherwise release the lock twice a block (zlib.compress,
// then the file's write), and while the SDK's threads run flat out each release costs it up to
// the interpreter's switch interval to get the lock back: at the market open that, not the
// work, decided how far the writer fell behind.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cerrno>
#include <new>
#include <cstdlib>
#include <unistd.h>
#include <zlib.h>

#include "entry_text.hpp"
#include "line_encoder.hpp"
#include "lock_gate.hpp"

namespace {

// What compressing and writing came to, for the message once the lock is held again.
struct Outcome {
    int zlib_error = Z_OK;  // a zlib failure (Z_MEM_ERROR: out of memory)
    int write_errno = 0;    // a failed write(2)
};

// Writes data[0..n) to fd, retrying short and interrupted writes: 0, or the failing errno.
int write_all(int fd, const unsigned char* data, size_t n) {
    for (size_t written = 0; written < n;) {
        const ssize_t w = ::write(fd, data + written, n - written);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        written += static_cast<size_t>(w);
    }
    return 0;
}

// Compresses data[0..n) into one gzip member (as zlib.compress(data, level, 31) makes it) and
// writes the member to fd, retrying short and interrupted writes. Runs without the lock. Lines
// with holes (numbers the line encoder left to be written, entry_text.hpp) are finished first.
Outcome compress_and_write(int fd, const unsigned char* data, size_t n, int level) {
    Outcome result;
    tiderec::text::Buffer finished;
    if (tiderec::text::has_holes(reinterpret_cast<const char*>(data), n)) {
        try {
            tiderec::text::append_finished(finished, reinterpret_cast<const char*>(data), n);
        } catch (const std::bad_alloc&) {
            result.zlib_error = Z_MEM_ERROR;
            return result;
        }
        data = reinterpret_cast<const unsigned char*>(finished.data());
        n = finished.size();
        if (n > 0xFFFFFFFFull) {
            result.zlib_error = Z_BUF_ERROR;
            return result;
        }
    }
    z_stream z{};
    result.zlib_error = deflateInit2(&z, level, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
    if (result.zlib_error != Z_OK)
        return result;
    const uLong bound = deflateBound(&z, static_cast<uLong>(n));
    auto* out = static_cast<unsigned char*>(std::malloc(bound));
    if (out == nullptr) {
        deflateEnd(&z);
        result.zlib_error = Z_MEM_ERROR;
        return result;
    }
    z.next_in = const_cast<unsigned char*>(data);
    z.avail_in = static_cast<uInt>(n);
    z.next_out = out;
    z.avail_out = static_cast<uInt>(bound);
    const int done = deflate(&z, Z_FINISH);  // the bound holds the whole member in one call
    const size_t size = bound - z.avail_out;
    deflateEnd(&z);
    if (done != Z_STREAM_END) {
        std::free(out);
        result.zlib_error = done == Z_OK ? Z_BUF_ERROR : done;
        return result;
    }
    result.write_errno = write_all(fd, out, size);
    std::free(out);
    return result;
}

// The arguments write_gzip and write_fd begin with, (fd, data, ...), `least` of them or one more
// (the gate last): the file descriptor, or -1 with an exception set.
int fd_and_data(const char* function, PyObject* const* args, Py_ssize_t nargs, Py_ssize_t least) {
    if (nargs != least && nargs != least + 1) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zd or %zd arguments (%zd given)", function,
                     least, least + 1, nargs);
        return -1;
    }
    const int fd = PyObject_AsFileDescriptor(args[0]);
    if (fd < 0)
        return -1;
    if (!PyBytes_CheckExact(args[1])) {
        PyErr_Format(PyExc_TypeError, "%s() data must be bytes, not %.200s", function,
                     Py_TYPE(args[1])->tp_name);
        return -1;
    }
    return fd;
}

// write_gzip(fd, data, level, gate=None) -> None
PyObject* write_gzip(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    const int fd = fd_and_data("write_gzip", args, nargs, 3);
    if (fd < 0)
        return nullptr;
    const long level = PyLong_AsLong(args[2]);
    if (level == -1 && PyErr_Occurred())
        return nullptr;
    if (level < -1 || level > 9) {
        PyErr_SetString(PyExc_ValueError, "write_gzip() level must be -1 to 9");
        return nullptr;
    }
    bool bad;
    tiderec::GateState* gate =
        tiderec::gate_argument("write_gzip", nargs == 4 ? args[3] : nullptr, &bad);
    if (bad)
        return nullptr;
    const Py_ssize_t n = PyBytes_GET_SIZE(args[1]);
    if (static_cast<unsigned long long>(n) > 0xFFFFFFFFull) {
        PyErr_SetString(PyExc_OverflowError, "write_gzip() data is larger than a block can be");
        return nullptr;
    }
    // The bytes object is immutable and held by the caller's argument while the lock is free.
    const auto* data = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(args[1]));
    Outcome result;
    {
        tiderec::ReleasedWithGate released(gate);
        result = compress_and_write(fd, data, static_cast<size_t>(n), static_cast<int>(level));
    }
    if (result.zlib_error == Z_MEM_ERROR)
        return PyErr_NoMemory();
    if (result.zlib_error != Z_OK) {
        PyErr_Format(PyExc_RuntimeError, "compressing a block failed (zlib error %d)", result.zlib_error);
        return nullptr;
    }
    if (result.write_errno != 0) {
        errno = result.write_errno;
        return PyErr_SetFromErrno(PyExc_OSError);
    }
    Py_RETURN_NONE;
}

// write_fd(fd, data, gate=None) -> None
PyObject* write_fd(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    const int fd = fd_and_data("write_fd", args, nargs, 2);
    if (fd < 0)
        return nullptr;
    bool bad;
    tiderec::GateState* gate =
        tiderec::gate_argument("write_fd", nargs == 3 ? args[2] : nullptr, &bad);
    if (bad)
        return nullptr;
    const auto* data = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(args[1]));
    const auto n = static_cast<size_t>(PyBytes_GET_SIZE(args[1]));
    int error;
    {
        tiderec::ReleasedWithGate released(gate);
        error = write_all(fd, data, n);
    }
    if (error != 0) {
        errno = error;
        return PyErr_SetFromErrno(PyExc_OSError);
    }
    Py_RETURN_NONE;
}

PyMethodDef gzip_methods[] = {
    {"write_gzip", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(write_gzip)),
     METH_FASTCALL,
     "write_gzip(fd, data, level, gate=None): data compressed as one gzip member and written to "
     "the file descriptor, without the interpreter's lock (taken back through the LockGate)."},
    {"write_fd", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(write_fd)),
     METH_FASTCALL,
     "write_fd(fd, data, gate=None): data written to the file descriptor, without the "
     "interpreter's lock (taken back through the LockGate)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

namespace tiderec {

int add_gzip_block(PyObject* module) { return PyModule_AddFunctions(module, gzip_methods); }

}  // namespace tiderec
