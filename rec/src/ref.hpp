// An owning reference for the native parts of tiderec: the small RAII layer their C API code
// shares.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tiderec {

// An owning reference for locals: built from a new reference (steal) or by taking one
// (borrow); released at the end of its scope.
class ref {
public:
    ref() = default;
    ref(const ref&) = delete;
    ref& operator=(const ref&) = delete;
    ref(ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    ref& operator=(ref&& o) noexcept {
        // Take the new value before dropping the old: the drop may run Python code.
        PyObject* old = p_;
        p_ = o.p_;
        o.p_ = nullptr;
        Py_XDECREF(old);
        return *this;
    }
    ~ref() { Py_XDECREF(p_); }

    static ref steal(PyObject* p) { return ref(p); }
    static ref borrow(PyObject* p) {
        Py_XINCREF(p);
        return ref(p);
    }
    PyObject* get() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    PyObject* release() {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }

private:
    explicit ref(PyObject* p) : p_(p) {}
    PyObject* p_ = nullptr;
};

}  // namespace tiderec
