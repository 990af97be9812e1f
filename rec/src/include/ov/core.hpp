// The toolbox every native module of the repository shares (the event core, the bridge and
// tiderec's own): owning references for locals, interned names created once at module
// initialisation, the three-way outcome of a step that may decline its input, and the rule for
// clearing errors. Header-only, and kept inside tiderec's tree so that its distribution builds
// alone; the main build adds this directory to its include path.
//
// What it gives:
//   - ov::object  an owning reference (built only through steal/borrow), ov::handle a
//     non-owning one;
//   - ov::name    an interned string declared as a static next to the code that uses it and
//     created once at module initialisation (ov::init_names);
//   - ov::kwnames a keyword-names tuple for vectorcall, also created at initialisation;
//   - ov::outcome what a step that handles only some inputs did: done, declined (another path
//     takes the input), or failed with the Python exception set;
//   - ov::clear_if_exception  drops an error only when it is an Exception subclass.
//
// Conventions: no C++ exception crosses into the interpreter; a failing function returns
// nullptr or -1 with the Python exception set, and RAII releases what it held.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace ov {

// ---------------------------------------------------------------------------------------------
// References

// A non-owning reference: what a borrowed pointer is, with a name that says so.
class handle {
public:
    handle() = default;
    handle(PyObject* p) : p_(p) {}  // NOLINT(google-explicit-constructor)
    PyObject* ptr() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }

protected:
    PyObject* p_ = nullptr;
};

// An owning reference. Never built from a raw pointer implicitly: say steal() for a new
// reference handed over, borrow() for one that must be incremented.
class object {
public:
    object() = default;
    object(const object&) = delete;
    object& operator=(const object&) = delete;
    object(object&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    object& operator=(object&& o) noexcept {
        // Take the new value before dropping the old: the drop may run Python code.
        PyObject* old = p_;
        p_ = o.p_;
        o.p_ = nullptr;
        Py_XDECREF(old);
        return *this;
    }
    ~object() { Py_XDECREF(p_); }

    static object steal(PyObject* p) { return object(p); }
    static object borrow(PyObject* p) {
        Py_XINCREF(p);
        return object(p);
    }

    PyObject* get() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    operator handle() const { return handle(p_); }  // NOLINT(google-explicit-constructor)

    // Hands the reference back to the caller (usually the interpreter).
    PyObject* release() {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    void reset() {
        PyObject* old = p_;
        p_ = nullptr;
        Py_XDECREF(old);
    }

private:
    explicit object(PyObject* p) : p_(p) {}
    PyObject* p_ = nullptr;
};

inline object steal(PyObject* p) { return object::steal(p); }
inline object borrow(PyObject* p) { return object::borrow(p); }

// ---------------------------------------------------------------------------------------------
// Interned names and keyword-name tuples

class name;
class kwnames;

// The last successful look-up of one name as a module global, with what proves it current
// (filled and read by ov::global of the bridge's layer, pyhelp.hpp).
//
// Invariant: when value is not nullptr, looking the name up in `dict` found it there (builtins
// is nullptr) or found it absent there and present in the module's builtins dict `builtins`,
// at the moment each dict carried the recorded ma_version_tag; while `dict` carries its tag its
// `__builtins__` is unchanged, so `builtins` is still the module's and alive. CPython 3.11 gives every dict a
// version, drawn from one process-wide counter, at creation and at each insertion, deletion
// or replacement of a value; tags are never reused, so while the dicts still carry them they
// hold what they held, and `value` (borrowed) is alive because the dict it came from holds
// it. A replaced, deleted or newly shadowing global moves a tag and the next use looks again.
struct global_slot {
    PyObject* dict = nullptr;
    PyObject* builtins = nullptr;
    uint64_t dict_tag = 0;
    uint64_t builtins_tag = 0;
    PyObject* value = nullptr;
};

// A dict's version tag: the public ma_version_tag field of CPython 3.11's PyDictObject, kept
// by the interpreter for exactly this use (its own global look-up caches under it).
inline uint64_t dict_version(PyObject* dict) {
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}

namespace detail {
// Registries filled by the constructors of static ov::name / ov::kwnames objects of one
// shared library (each extension module has its own copy: symbols are hidden).
inline std::vector<name*>& name_registry() {
    static std::vector<name*> r;
    return r;
}
inline std::vector<kwnames*>& kwnames_registry() {
    static std::vector<kwnames*> r;
    return r;
}
}  // namespace detail

// An interned str created once at module initialisation and kept for the life of the
// process. Declare as a namespace-scope static; read with .get() or implicit conversion.
class name {
public:
    explicit name(const char* text) : text_(text) { detail::name_registry().push_back(this); }
    name(const name&) = delete;
    name& operator=(const name&) = delete;

    PyObject* get() const { return obj_; }
    operator PyObject*() const { return obj_; }  // NOLINT(google-explicit-constructor)
    const char* text() const { return text_; }

    int init() {
        if (obj_ != nullptr) return 0;
        obj_ = PyUnicode_InternFromString(text_);
        return obj_ != nullptr ? 0 : -1;
    }

    // The last look-up of this name as a module global (see ov::global).
    global_slot& slot() const { return slot_; }

private:
    const char* text_;
    PyObject* obj_ = nullptr;
    mutable global_slot slot_;
};

// A tuple of interned keyword names for vectorcall, in the order the fields are passed.
class kwnames {
public:
    kwnames(std::initializer_list<const char*> names) : names_(names) {
        detail::kwnames_registry().push_back(this);
    }
    kwnames(const kwnames&) = delete;
    kwnames& operator=(const kwnames&) = delete;

    PyObject* get() const { return tuple_; }
    operator PyObject*() const { return tuple_; }  // NOLINT(google-explicit-constructor)
    Py_ssize_t size() const { return static_cast<Py_ssize_t>(names_.size()); }

    int init() {
        if (tuple_ != nullptr) return 0;
        PyObject* t = PyTuple_New(size());
        if (t == nullptr) return -1;
        for (Py_ssize_t i = 0; i < size(); ++i) {
            PyObject* s = PyUnicode_InternFromString(names_[static_cast<size_t>(i)]);
            if (s == nullptr) {
                Py_DECREF(t);
                return -1;
            }
            PyTuple_SET_ITEM(t, i, s);
        }
        tuple_ = t;
        return 0;
    }

private:
    std::vector<const char*> names_;
    PyObject* tuple_ = nullptr;
};

// Creates every registered name and keyword tuple of this shared library. Idempotent.
inline int init_names() {
    for (name* n : detail::name_registry())
        if (n->init() < 0) return -1;
    for (kwnames* k : detail::kwnames_registry())
        if (k->init() < 0) return -1;
    return 0;
}


// ---------------------------------------------------------------------------------------------
// Outcomes and errors

// What a step that takes only the inputs it handles exactly did with one: `ok` (done, its
// result made), `other` (not an input it takes: nothing made, no error set, and the caller hands
// the input to the general path, which handles or reports it), or `error` (a Python exception is
// set: memory, or Python code called on the way raised).
enum class outcome { ok, other, error };

// Whether the error set now is an ordinary failure (an Exception subclass), which is then
// cleared; an interrupt or an exit (KeyboardInterrupt, SystemExit, GeneratorExit) stays set
// and false is returned, so that it ends the caller's work as it would in Python code.
inline bool clear_if_exception() {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    PyErr_Clear();
    return true;
}

}  // namespace ov
