// The four query functions through which the framework reads the latest and the recent bars
// and ticks of a security from the bridge's caches. None of them changes any state.
#include "bridge.hpp"
#include "strategy.hpp"

namespace tidewell {

namespace {

ov::name n_market_code{"market_code"};
ov::name n_count{"count"};

// The per-code queue of `cache_name` for `code`, found by a membership test and then a
// subscript. An empty object with no exception set means the code is not a key; a key whose
// value is None gives None, for the caller to use as it would any other queue.
ov::object cached_queue(const ov::name& cache_name, PyObject* code) {
    ov::object cache = global(cache_name);
    if (!cache) return cache;
    // A plain dict and a plain str key run no Python code in either the membership test or the
    // lookup, so one lookup gives the same answer as the two.
    if (PyDict_CheckExact(cache.get()) && PyUnicode_CheckExact(code))
        return ov::borrow(PyDict_GetItemWithError(cache.get(), code));
    int present = PySequence_Contains(cache.get(), code);
    if (present <= 0) return ov::object();
    return ov::steal(PyObject_GetItem(cache.get(), code));
}

// Queues whose item access is the plain sequence protocol with no Python code behind it: the
// interpreter's deque and list. Anything else is read as Python code would read it.
int plain_queue(PyObject* q, bool* plain) {
    if (PyList_CheckExact(q)) {
        *plain = true;
        return 0;
    }
    if (g_bridge.deque_type == nullptr) {
        ov::object mod = ov::steal(PyImport_ImportModule("collections"));
        if (!mod) return -1;
        ov::object t = ov::steal(PyObject_GetAttrString(mod.get(), "deque"));
        if (!t) return -1;
        if (!PyType_Check(t.get())) {
            PyErr_SetString(PyExc_TypeError, "collections.deque is not a type");
            return -1;
        }
        g_bridge.deque_type = reinterpret_cast<PyTypeObject*>(t.release());
    }
    *plain = Py_IS_TYPE(q, g_bridge.deque_type);
    return 0;
}

PyObject* current(const ov::name& cache_name, const char* fname, PyObject* const* args,
                  Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[1];
    if (nargs == 1 && kwnames == nullptr)  // the usual call, by position
        a[0] = args[0];
    else if (ov::parse_args(ov::callable::function, fname, args, nargs, kwnames, {&n_market_code}, 1, a) < 0)
        return nullptr;
    ov::object q = cached_queue(cache_name, a[0]);
    if (!q) return PyErr_Occurred() ? nullptr : Py_NewRef(Py_None);
    // The newest entry: q[-1]. A present code always has at least one entry; an empty queue
    // raises the queue's own IndexError.
    bool plain = false;
    if (plain_queue(q.get(), &plain) < 0) return nullptr;
    if (plain) return PySequence_GetItem(q.get(), -1);
    return PyObject_GetItem(q.get(), g_bridge.minus_one);
}

// Entries of q from position count * -1 to the end, with list slicing's rules for the start
// (negative counts from the end, clamped to the bounds), as a new list in queue order:
// list(q)[count * -1:]. For a deque or list only the tail is visited, so a short history of a
// long queue costs the length of the tail.
PyObject* history(const ov::name& cache_name, const char* fname, PyObject* const* args,
                  Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2];
    if (nargs == 2 && kwnames == nullptr) {  // the usual call, by position
        a[0] = args[0];
        a[1] = args[1];
    } else if (ov::parse_args(ov::callable::function, fname, args, nargs, kwnames, {&n_market_code, &n_count}, 2, a) < 0) {
        return nullptr;
    }
    ov::object q = cached_queue(cache_name, a[0]);
    if (!q) return PyErr_Occurred() ? nullptr : Py_NewRef(Py_None);
    bool plain = false;
    if (plain_queue(q.get(), &plain) < 0) return nullptr;
    // Anything but a deque or list is copied by iteration first, as list(q) does.
    ov::object copied;
    if (!plain) {
        copied = ov::steal(PySequence_List(q.get()));
        if (!copied) return nullptr;
    }
    PyObject* seq = plain ? q.get() : copied.get();
    ov::object start_obj = ov::steal(PyNumber_Multiply(a[1], g_bridge.minus_one));
    if (!start_obj) return nullptr;
    Py_ssize_t start = 0;  // a None start is the beginning
    if (start_obj.get() != Py_None) {
        if (!PyIndex_Check(start_obj.get())) {
            PyErr_SetString(PyExc_TypeError,
                            "slice indices must be integers or None or have an __index__ method");
            return nullptr;
        }
        start = PyNumber_AsSsize_t(start_obj.get(), nullptr);  // clamps huge values
        if (start == -1 && PyErr_Occurred()) return nullptr;
    }
    Py_ssize_t n = PySequence_Size(seq);
    if (n < 0) return nullptr;
    if (start < 0) {
        start += n;
        if (start < 0) start = 0;
    } else if (start > n) {
        start = n;
    }
    ov::object out = ov::steal(PyList_New(n - start));
    if (!out) return nullptr;
    for (Py_ssize_t i = start; i < n; ++i) {
        PyObject* item = PySequence_GetItem(seq, i);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(out.get(), i - start, item);
    }
    return out.release();
}

PyObject* get_current_bar(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return current(globals::history_bar, "get_current_bar", args, nargs, kw);
}
PyObject* get_current_tick(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return current(globals::history_tick, "get_current_tick", args, nargs, kw);
}
PyObject* history_ticks(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return history(globals::history_tick, "history_ticks", args, nargs, kw);
}
PyObject* history_bars(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return history(globals::history_bar, "history_bars", args, nargs, kw);
}

#define QUERY_DEF(fn, doc) ov::fastcall_def(#fn, fn, doc)

}  // namespace

PyMethodDef query_functions[] = {
    QUERY_DEF(get_current_bar,
              "get_current_bar(market_code)\n--\n\nThe most recent bar dictionary of the code, or None."),
    QUERY_DEF(get_current_tick,
              "get_current_tick(market_code)\n--\n\nThe most recent tick dictionary of the code, or None."),
    QUERY_DEF(history_ticks,
              "history_ticks(market_code, count)\n--\n\nThe code's ticks from position -count to the end, as a list, or None."),
    QUERY_DEF(history_bars,
              "history_bars(market_code, count)\n--\n\nThe code's bars from position -count to the end, as a list, or None."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tidewell
