// The bridge's and the event core's layer over the CPython 3.11 C API, on top of the toolbox
// every native module shares (ov/core.hpp: references, interned names, outcomes).
//
// What it adds:
//   - ov::global  a module-global look-up that behaves like Python's LOAD_GLOBAL, cached in the
//     name under the version tags of the module dict and of the module's builtins;
//   - ov::type_guard  a fact about a type, checked once per version tag of the type;
//   - ov::vcall / ov::vcall_method, ov::compare, ov::unpack2, ov::set_item / ov::set_attr,
//     ov::join_str, ov::format_default: one helper per operation the modules repeat;
//   - ov::make_class / ov::install_methods / ov::fastcall_def  classes made as a class
//     statement makes them, with C methods as real method descriptors;
//   - ov::parse_args  argument binding for METH_FASTCALL | METH_KEYWORDS.
#pragma once

#include "ov/core.hpp"

#include <cstring>
#include <utility>

namespace ov {

// ---------------------------------------------------------------------------------------------
// Module globals

// Cold path of global(): the interpreter's own wording.
[[gnu::cold, gnu::noinline]] inline PyObject* raise_name_error(PyObject* key) {
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", key);
    return nullptr;
}

namespace detail {

inline name n_builtins{"__builtins__"};

// The interpreter's builtins (the dict of the module `builtins`), for a module whose dict has
// no `__builtins__` of its own (an extension module's): found once, the module held for the
// process. nullptr with an error set when sys.modules has lost it.
[[gnu::cold, gnu::noinline]] inline PyObject* find_interpreter_builtins(PyObject** dict) {
    object module_name = steal(PyUnicode_FromString("builtins"));
    if (!module_name) return nullptr;
    PyObject* module = PyImport_GetModule(module_name.get());  // held from now on
    if (module == nullptr) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_ImportError, "the builtins module is gone from sys.modules");
        return nullptr;
    }
    *dict = PyModule_GetDict(module);
    return *dict;
}

inline PyObject* interpreter_builtins() {
    static PyObject* dict = nullptr;
    return dict != nullptr ? dict : find_interpreter_builtins(&dict);
}

// The builtins that code of the module sees (borrowed), as the interpreter finds them for a
// frame on the module's globals: its `__builtins__` (a module: that module's dict), else the
// interpreter's. Never the caller's: an exec() with builtins of its own does not change what
// the module's names resolve to. nullptr with an error set when the look-up failed.
inline PyObject* builtins_of(PyObject* module_dict) {
    PyObject* b = PyDict_GetItemWithError(module_dict, n_builtins.get());
    if (b != nullptr) return PyModule_Check(b) ? PyModule_GetDict(b) : b;
    if (PyErr_Occurred()) return nullptr;
    return interpreter_builtins();
}

// builtins[key] for builtins that are not an exact dict (the interpreter subscripts them): a new
// reference, or nullptr with NameError (KeyError) or the mapping's own error set.
[[gnu::cold, gnu::noinline]] inline PyObject* mapping_builtin(PyObject* builtins, PyObject* key) {
    PyObject* v = PyObject_GetItem(builtins, key);
    if (v == nullptr && PyErr_ExceptionMatches(PyExc_KeyError)) {
        PyErr_Clear();
        return raise_name_error(key);
    }
    return v;
}

// The look-up itself, refilling the name's slot when its result can be kept: `module_dict`
// must be an exact dict (a module's namespace is), so that finding a str key in it runs no
// Python code that could move a tag between the look-up and the recording.
[[gnu::noinline]] inline object global_lookup(PyObject* module_dict, const name& key,
                                              global_slot& s) {
    s.value = nullptr;
    PyObject* v = PyDict_GetItemWithError(module_dict, key.get());
    if (v != nullptr) {
        const bool keep = PyDict_CheckExact(module_dict);
        s = {module_dict, nullptr, dict_version(module_dict), 0, keep ? v : nullptr};
        return borrow(v);
    }
    if (PyErr_Occurred()) return object();
    const uint64_t dict_tag = dict_version(module_dict);
    PyObject* builtins = builtins_of(module_dict);
    if (builtins == nullptr) return object();
    if (!PyDict_CheckExact(builtins)) return steal(mapping_builtin(builtins, key.get()));
    v = PyDict_GetItemWithError(builtins, key.get());
    if (v != nullptr) {
        // Kept only while the module dict is as it was: then its `__builtins__` is the same
        // object, which keeps `builtins` alive.
        const bool keep = PyDict_CheckExact(module_dict) &&
                          dict_version(module_dict) == dict_tag;
        s = {module_dict, builtins, dict_tag, dict_version(builtins), keep ? v : nullptr};
        return borrow(v);
    }
    if (PyErr_Occurred()) return object();
    raise_name_error(key.get());
    return object();
}

}  // namespace detail

// Looks `key` up as Python code of the module would (LOAD_GLOBAL): the module dict, then the
// module's builtins; NameError when neither has it. The result is kept in the name's slot and
// reused while both dicts carry the version tags they had, as the interpreter's specialised
// global look-up does, so a change to either takes effect at the very next use. (An
// unchanged module dict has the same `__builtins__`, so the recorded builtins dict is still
// the module's and still alive.) Returns the value, or an empty object with the exception set.
inline object global(PyObject* module_dict, const name& key) {
    const global_slot& s = key.slot();
    if (s.value != nullptr && s.dict == module_dict && s.dict_tag == dict_version(module_dict) &&
        (s.builtins == nullptr || s.builtins_tag == dict_version(s.builtins)))
        return borrow(s.value);
    return detail::global_lookup(module_dict, key, key.slot());
}

// Looks `key` up as Python code of the module would: the module dict, then the module's
// builtins. Uncached, for a key that is no interned ov::name. Returns a new reference, or
// nullptr with NameError (or the dict's own error) set.
inline PyObject* global(PyObject* module_dict, PyObject* key) {
    PyObject* v = PyDict_GetItemWithError(module_dict, key);
    if (v != nullptr) return Py_NewRef(v);
    if (PyErr_Occurred()) return nullptr;
    PyObject* builtins = detail::builtins_of(module_dict);
    if (builtins == nullptr) return nullptr;
    if (!PyDict_CheckExact(builtins)) return detail::mapping_builtin(builtins, key);
    v = PyDict_GetItemWithError(builtins, key);
    if (v != nullptr) return Py_NewRef(v);
    if (PyErr_Occurred()) return nullptr;
    return raise_name_error(key);
}

// ---------------------------------------------------------------------------------------------
// Facts about types, kept under their version tags

// The first entry named `name` in the dicts of `type`'s MRO, as the interpreter's attribute
// look-up on the type finds it (borrowed), or nullptr (with an error set if a look-up
// failed). With str keys in the type dicts, as class statements make them, no Python code
// runs, so nothing can change the type meanwhile.
inline PyObject* type_lookup(PyTypeObject* type, PyObject* name) {
    PyObject* mro = type->tp_mro;
    if (mro == nullptr || !PyTuple_Check(mro)) return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        PyObject* base = PyTuple_GET_ITEM(mro, i);
        if (!PyType_Check(base)) continue;
        PyObject* dict = reinterpret_cast<PyTypeObject*>(base)->tp_dict;
        if (dict == nullptr) continue;
        PyObject* v = PyDict_GetItemWithError(dict, name);
        if (v != nullptr || PyErr_Occurred()) return v;
    }
    return nullptr;
}

// A fact about a type that depends only on the dicts of the type and its bases (what a name
// resolves to, which descriptors are in the way), checked once per version tag of the type.
//
// Invariant: ok_tag (rejected_tag) is 0 or a tp_version_tag at which the check held (failed).
// The interpreter replaces a type's tag (public field of 3.11's PyTypeObject, kept for its
// method cache) whenever an attribute of the type or of a base changes, and never reuses one,
// for any type; so a tag that still matches proves the dicts, and with them the fact, are as
// they were, and a stale entry can only miss. A type without a valid tag is never trusted.
struct type_guard {
    unsigned int ok_tag = 0;
    unsigned int rejected_tag = 0;

    // Whether check(type) holds for `type` as it is now. The check must run no Python code
    // (plain dict look-ups in type dicts); an error it raises only means "no".
    template <typename Check>
    bool holds(PyTypeObject* type, Check check) {
        if (!PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG)) return false;
        const unsigned int tag = type->tp_version_tag;
        if (tag == ok_tag) return true;
        if (tag == rejected_tag) return false;
        return recheck(type, tag, check);
    }

    void reset() { ok_tag = rejected_tag = 0; }

private:
    template <typename Check>
    [[gnu::noinline]] bool recheck(PyTypeObject* type, unsigned int tag, Check check) {
        const bool ok = check(type);
        if (PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
        if (!PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) || type->tp_version_tag != tag)
            return false;
        (ok ? ok_tag : rejected_tag) = tag;
        return ok;
    }
};

// ---------------------------------------------------------------------------------------------
// Calls

// Calls `callable` with positional `args` followed by the keyword values named by `kw`
// (the last kw.size() entries of args are the keyword values).
inline object vcall(PyObject* callable, std::initializer_list<PyObject*> args,
                    PyObject* kw = nullptr) {
    // One spare slot in front lets the callee prepend `self` without copying.
    PyObject* buf[16];
    size_t n = args.size();
    if (n > 15) {
        PyErr_SetString(PyExc_SystemError, "ov::vcall: too many arguments");
        return object();
    }
    size_t i = 1;
    for (PyObject* a : args) buf[i++] = a;
    size_t nkw = kw != nullptr ? static_cast<size_t>(PyTuple_GET_SIZE(kw)) : 0;
    return steal(PyObject_Vectorcall(callable, buf + 1, (n - nkw) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                     kw));
}

// obj.method(args...) by interned name, positional arguments then the keyword values named
// by `kw` (as vcall).
inline object vcall_method(PyObject* obj, PyObject* method_name,
                           std::initializer_list<PyObject*> args, PyObject* kw = nullptr) {
    PyObject* buf[16];
    size_t n = args.size();
    if (n > 15) {
        PyErr_SetString(PyExc_SystemError, "ov::vcall_method: too many arguments");
        return object();
    }
    buf[0] = obj;
    size_t i = 1;
    for (PyObject* a : args) buf[i++] = a;
    size_t nkw = kw != nullptr ? static_cast<size_t>(PyTuple_GET_SIZE(kw)) : 0;
    return steal(PyObject_VectorcallMethod(
        method_name, buf, (n + 1 - nkw) | PY_VECTORCALL_ARGUMENTS_OFFSET, kw));
}

// ---------------------------------------------------------------------------------------------
// Small operations written once

// `a <op> b` as a Python condition: the comparison's result, then its truth. When neither
// operand's type defines a comparison of its own (object's: enumeration members, plain
// records), == and != are identity, answered without the generic protocol.
inline int compare(PyObject* a, PyObject* b, int op) {
    const richcmpfunc base = PyBaseObject_Type.tp_richcompare;
    if ((op == Py_EQ || op == Py_NE) && Py_TYPE(a)->tp_richcompare == base &&
        Py_TYPE(b)->tp_richcompare == base)
        return op == Py_EQ ? a == b : a != b;
    object r = steal(PyObject_RichCompare(a, b, op));
    if (!r) return -1;
    if (r.get() == Py_True) return 1;
    if (r.get() == Py_False) return 0;
    return PyObject_IsTrue(r.get());
}

// dict[key] = value / obj.<name> = value for a value just made, whose reference the call
// takes: an empty value is the error of making it, passed on.
inline int set_item(PyObject* dict, PyObject* key, const object& value) {
    return value ? PyDict_SetItem(dict, key, value.get()) : -1;
}
inline int set_attr(PyObject* obj, PyObject* attr_name, const object& value) {
    return value ? PyObject_SetAttr(obj, attr_name, value.get()) : -1;
}

namespace detail {
[[gnu::cold, gnu::noinline]] inline int unpack_error(PyObject* seq, Py_ssize_t got) {
    if (got < 0)
        PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                     Py_TYPE(seq)->tp_name);
    else if (got < 2)
        PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", got);
    else
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
    return -1;
}
}  // namespace detail

// `a, b = seq` as the interpreter does it, with its errors: "cannot unpack non-iterable"
// only for a type that has no __iter__ and is no sequence (any other failure of iter() passes
// through as raised), then the counts. Sets *a and *b; returns 0, or -1 with the error set.
inline int unpack2(PyObject* seq, object* a, object* b) {
    if ((PyList_CheckExact(seq) || PyTuple_CheckExact(seq)) && PySequence_Fast_GET_SIZE(seq) == 2) {
        *a = borrow(PySequence_Fast_GET_ITEM(seq, 0));
        *b = borrow(PySequence_Fast_GET_ITEM(seq, 1));
        return 0;
    }
    object it = steal(PyObject_GetIter(seq));
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(seq)->tp_iter == nullptr &&
            !PySequence_Check(seq)) {
            PyErr_Clear();
            return detail::unpack_error(seq, -1);
        }
        return -1;
    }
    object parts[2];
    for (Py_ssize_t i = 0; i < 2; ++i) {
        parts[i] = steal(PyIter_Next(it.get()));
        if (!parts[i]) return PyErr_Occurred() ? -1 : detail::unpack_error(seq, i);
    }
    object extra = steal(PyIter_Next(it.get()));
    if (extra) return detail::unpack_error(seq, 3);
    if (PyErr_Occurred()) return -1;
    *a = std::move(parts[0]);
    *b = std::move(parts[1]);
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Argument binding for METH_FASTCALL | METH_KEYWORDS

namespace detail {

[[gnu::cold, gnu::noinline]] inline int args_error_too_many(const char* fname, Py_ssize_t max,
                                                            Py_ssize_t required,
                                                            Py_ssize_t given) {
    if (max == required)
        PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd %s given",
                     fname, max, max == 1 ? "" : "s", given, given == 1 ? "was" : "were");
    else
        PyErr_Format(PyExc_TypeError,
                     "%s() takes from %zd to %zd positional arguments but %zd %s given", fname,
                     required, max, given, given == 1 ? "was" : "were");
    return -1;
}

[[gnu::cold, gnu::noinline]] inline int args_error_keyword(const char* fname, PyObject* key,
                                                           bool duplicate) {
    if (!PyUnicode_Check(key))
        PyErr_Format(PyExc_TypeError, "keywords must be strings");
    else if (duplicate)
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'", fname, key);
    else
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fname,
                     key);
    return -1;
}

[[gnu::cold, gnu::noinline]] inline int args_error_missing(const char* fname,
                                                           std::initializer_list<const name*> params,
                                                           Py_ssize_t required, PyObject** out) {
    // Same wording as the interpreter: "f() missing 2 required positional arguments: 'a' and 'b'"
    std::vector<const char*> missing;
    Py_ssize_t i = 0;
    for (const name* p : params) {
        if (i >= required) break;
        if (out[i] == nullptr) missing.push_back(p->text());
        ++i;
    }
    object text = steal(PyUnicode_FromString(""));
    if (!text) return -1;
    for (size_t k = 0; k < missing.size(); ++k) {
        const char* sep = k == 0 ? "" : (k + 1 == missing.size() ? (missing.size() > 2 ? ", and " : " and ") : ", ");
        object piece = steal(PyUnicode_FromFormat("%s'%s'", sep, missing[k]));
        if (!piece) return -1;
        object joined = steal(PyUnicode_Concat(text.get(), piece.get()));
        if (!joined) return -1;
        text = std::move(joined);
    }
    PyErr_Format(PyExc_TypeError, "%s() missing %zd required positional argument%s: %U", fname,
                 static_cast<Py_ssize_t>(missing.size()), missing.size() == 1 ? "" : "s",
                 text.get());
    return -1;
}

}  // namespace detail

// What a bound function is to its callers: a method's messages count `self` as the
// interpreter's do for a Python method ("takes 2 positional arguments but 3 were given").
enum class callable { function, method };

// TypeError for too many positional arguments, worded as the interpreter words it. `max`,
// `required` and `given` exclude self. Returns -1.
[[gnu::cold, gnu::noinline]] inline int raise_too_many(callable kind, const char* fname,
                                                       Py_ssize_t max, Py_ssize_t required,
                                                       Py_ssize_t given) {
    const Py_ssize_t self = kind == callable::method ? 1 : 0;
    return detail::args_error_too_many(fname, max + self, required + self, given + self);
}

// Binds (args, nargs, kwnames) to the parameters `params` (interned names, in order), every
// one of them positional-or-keyword. The first `required` parameters must be given; the
// others are left nullptr when absent. out[] receives borrowed references. `fname` is the
// name used in error messages, e.g. "VornStrategy.on_query_asset".
// Returns 0, or -1 with TypeError set worded as the interpreter words it.
inline int parse_args(callable kind, const char* fname, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames, std::initializer_list<const name*> params,
                      Py_ssize_t required, PyObject** out) {
    const Py_ssize_t max = static_cast<Py_ssize_t>(params.size());
    if (nargs > max) return raise_too_many(kind, fname, max, required, nargs);
    Py_ssize_t i = 0;
    for (; i < nargs; ++i) out[i] = args[i];
    for (; i < max; ++i) out[i] = nullptr;
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            Py_ssize_t pos = -1;
            Py_ssize_t j = 0;
            // Interned pointers first: keyword names from Python source are interned.
            for (const name* p : params) {
                if (p->get() == key) {
                    pos = j;
                    break;
                }
                ++j;
            }
            if (pos < 0 && PyUnicode_Check(key)) {
                j = 0;
                for (const name* p : params) {
                    if (PyUnicode_Compare(p->get(), key) == 0) {
                        pos = j;
                        break;
                    }
                    ++j;
                }
            }
            if (pos < 0) return detail::args_error_keyword(fname, key, false);
            if (out[pos] != nullptr) return detail::args_error_keyword(fname, key, true);
            out[pos] = args[nargs + k];
        }
    }
    for (Py_ssize_t r = 0; r < required; ++r)
        if (out[r] == nullptr) return detail::args_error_missing(fname, params, required, out);
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Classes

namespace detail {
inline name n_prepare{"__prepare__"};
inline name n_module{"__module__"};
inline name n_qualname{"__qualname__"};
}  // namespace detail

// Creates a class as a statement `class <name>(<bases>): ...` at the top of module
// `module_name` would: the namespace from the metaclass's __prepare__(name, bases) (a plain
// dict when it has none), then __module__ and __qualname__, then body(ns) adds the members in
// definition order, then metaclass(name, bases, ns). body returns 0, or -1 with an error.
template <typename Body>
object make_class(PyObject* metaclass, PyObject* class_name, PyObject* bases,
                  PyObject* module_name, Body body) {
    object prepare = steal(PyObject_GetAttr(metaclass, detail::n_prepare));
    object ns;
    if (prepare) {
        ns = vcall(prepare.get(), {class_name, bases});
    } else if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        ns = steal(PyDict_New());
    }
    if (!ns) return ns;
    if (PyObject_SetItem(ns.get(), detail::n_module, module_name) < 0) return object();
    if (PyObject_SetItem(ns.get(), detail::n_qualname, class_name) < 0) return object();
    if (body(ns.get()) < 0) return object();
    return vcall(metaclass, {class_name, bases, ns.get()});
}

// Replaces each of `methods` (a table ended by an entry whose ml_name is nullptr, kept alive
// for the process) on the new class `cls` by a real method descriptor, through the type so
// that the interpreter refreshes the slots (tp_init, tp_repr) those names feed. Replacing a
// key keeps its place in the class dict's order. A call through a method descriptor costs
// what a Python method call costs. Returns 0, or -1 with an error.
inline int install_methods(PyObject* cls, PyMethodDef* methods) {
    for (PyMethodDef* m = methods; m->ml_name != nullptr; ++m) {
        object descr = steal(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(cls), m));
        if (!descr) return -1;
        if (PyObject_SetAttrString(cls, m->ml_name, descr.get()) < 0) return -1;
    }
    return 0;
}

// A method table entry for a METH_FASTCALL | METH_KEYWORDS function (the one cast to
// PyCFunction, written once).
using fastcall_fn = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
inline PyMethodDef fastcall_def(const char* method_name, fastcall_fn fn, const char* doc) {
    return {method_name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)),
            METH_FASTCALL | METH_KEYWORDS, doc};
}

// A method table entry for a METH_NOARGS function.
inline PyMethodDef noargs_def(const char* method_name, PyCFunction fn, const char* doc) {
    return {method_name, fn, METH_NOARGS, doc};
}

// ---------------------------------------------------------------------------------------------
// Text

// Concatenates `n` str objects (references are not taken) into one new str: one allocation
// and one copy per part, without the intermediate sequence that PyUnicode_Join needs.
inline object join_str(PyObject* const* parts, Py_ssize_t n) {
    Py_ssize_t length = 0;
    Py_UCS4 max_char = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_ssize_t len = PyUnicode_GET_LENGTH(parts[i]);
        if (len > PY_SSIZE_T_MAX - length) {
            PyErr_NoMemory();
            return object();
        }
        length += len;
        const Py_UCS4 c = PyUnicode_MAX_CHAR_VALUE(parts[i]);
        if (c > max_char) max_char = c;
    }
    object out = steal(PyUnicode_New(length, max_char));
    if (!out) return out;
    const int kind = PyUnicode_KIND(out.get());
    Py_ssize_t at = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_ssize_t len = PyUnicode_GET_LENGTH(parts[i]);
        if (len == 0) continue;
        if (static_cast<int>(PyUnicode_KIND(parts[i])) == kind) {
            std::memcpy(static_cast<char*>(PyUnicode_DATA(out.get())) + at * kind,
                        PyUnicode_DATA(parts[i]), static_cast<size_t>(len) * kind);
        } else if (PyUnicode_CopyCharacters(out.get(), at, parts[i], 0, len) < 0) {
            return object();
        }
        at += len;
    }
    return out;
}

inline object join_str(std::initializer_list<PyObject*> parts) {
    return join_str(parts.begin(), static_cast<Py_ssize_t>(parts.size()));
}

// format(v, ""): a str is returned unchanged; an exact float with an empty format string
// gives exactly its str(), taken directly without binding float.__format__;
// anything else formats itself.
inline object format_default(PyObject* v) {
    if (PyUnicode_CheckExact(v)) return borrow(v);
    if (PyFloat_CheckExact(v)) return steal(PyObject_Str(v));
    return steal(PyObject_Format(v, nullptr));
}

}  // namespace ov
