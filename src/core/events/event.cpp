// Event: the record of one event, an ordinary class whose whole state is the instance
// __dict__ (keyword fields in call order, then `event_type`).
//
// Construction has two routes with the same result:
//   - the fast constructor, installed as Event's tp_vectorcall. It runs only for Event
//     itself and only while the class constructs as it was made to (version tag guard, see
//     rearm_fast_path), because assigning Event.__init__ or __new__ does not reset
//     tp_vectorcall on 3.11. It stores the fields in the interpreter's own per-instance
//     attribute storage (store_fields), or, for names that storage could treat otherwise,
//     builds the instance dict and installs it (install_fields);
//   - the ordinary type call (object.__new__, then __init__), used by subclasses (they do
//     not inherit tp_vectorcall) and by Event once the class was modified. __init__ is
//     therefore complete on its own.
#include "events.hpp"

namespace events {

namespace {

ov::name n_event_type("event_type");
ov::name n_self("self");
ov::name n_dict("__dict__");
ov::name n_items("items");
ov::name n_colon(":");
ov::name n_blank(" ");
ov::name n_init("__init__");

// The fields of the events a trading day is made of (market data, orders, trades), and
// `event_type`. Event's instances keep their attributes in the interpreter's shared-key
// storage of the class (values in the object, no dict until one is asked for), which takes
// a name in only while the class has few instances; seed_shared_keys puts these in at
// creation, so that these events are stored that way whichever events come first.
const char* const kSeededFields[] = {"calendar_dt", "trading_dt", "tick", "l2_order",
                                     "l2_transaction", "order", "trade", "event_type"};

constexpr const char kInit[] = "Event.__init__";

// Whether keyword `key` is the parameter name `param`.
bool is_keyword(PyObject* key, const ov::name& param) {
    if (key == param.get()) return true;
    // An interned key other than our interned name is another string. Keywords from source
    // code are interned; only those built at run time (e.g. **mapping) need comparing.
    return PyUnicode_Check(key) && !PyUnicode_CHECK_INTERNED(key) &&
           PyUnicode_Compare(key, param) == 0;
}

[[gnu::cold, gnu::noinline]] int raise_multiple_values(const ov::name& param) {
    PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'", kInit,
                 param.get());
    return -1;
}

[[gnu::cold, gnu::noinline]] int raise_missing_event_type() {
    PyErr_Format(PyExc_TypeError,
                 "%s() missing 1 required positional argument: 'event_type'", kInit);
    return -1;
}

// Binds the arguments of `Event(event_type, **fields)` (self excluded). On success sets
// *event_type (borrowed) and *skip, the index of `event_type` among the keywords or -1.
// The checks come in the interpreter's order for a Python __init__: the first positional
// argument binds `event_type`, then the keywords are bound one by one (a clash is reported
// for the first keyword that clashes), then a surplus of positional arguments, then a missing
// event type.
int bind_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** event_type, Py_ssize_t* skip) {
    *event_type = nargs >= 1 ? args[0] : nullptr;
    *skip = -1;
    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        // `self` is always bound already: __init__ is (self, event_type, **kwargs).
        if (is_keyword(key, n_self)) return raise_multiple_values(n_self);
        if (!is_keyword(key, n_event_type)) continue;
        if (*event_type != nullptr) return raise_multiple_values(n_event_type);
        *event_type = args[nargs + k];
        *skip = k;
    }
    if (nargs > 1) return ov::raise_too_many(ov::callable::method, kInit, 1, 1, nargs);
    if (*event_type == nullptr) return raise_missing_event_type();
    return 0;
}

// A fresh dict of the keyword fields in call order, leaving out keyword `skip`, followed by
// `event_type` when it is given. Returns a new reference.
PyObject* build_fields(PyObject* const* kwvalues, PyObject* kwnames, Py_ssize_t skip,
                       PyObject* event_type) {
    ov::object fields = ov::steal(PyDict_New());
    if (!fields) return nullptr;
    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        if (k == skip) continue;
        if (PyDict_SetItem(fields.get(), PyTuple_GET_ITEM(kwnames, k), kwvalues[k]) < 0)
            return nullptr;
    }
    if (event_type != nullptr && PyDict_SetItem(fields.get(), n_event_type, event_type) < 0)
        return nullptr;
    return fields.release();
}

// The ordinary type call, `type.__call__(cls, *args, **kwargs)`: object.__new__ then
// whatever __init__ the class has now. Calling the metatype's tp_call directly (not
// PyObject_Call) keeps it from coming back to the fast constructor.
[[gnu::noinline]] PyObject* call_through_type(PyObject* cls, PyObject* const* args,
                                              Py_ssize_t nargs, PyObject* kwnames) {
    ov::object posargs = ov::steal(PyTuple_New(nargs));
    if (!posargs) return nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(posargs.get(), i, Py_NewRef(args[i]));
    ov::object kwargs;
    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw > 0) {
        kwargs = ov::steal(PyDict_New());
        if (!kwargs) return nullptr;
        for (Py_ssize_t k = 0; k < nkw; ++k)
            if (PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(kwnames, k), args[nargs + k]) < 0)
                return nullptr;
    }
    ternaryfunc call = Py_TYPE(cls)->tp_call;
    if (call == nullptr) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object is not callable", Py_TYPE(cls)->tp_name);
        return nullptr;
    }
    return call(cls, posargs.get(), kwargs.get());
}

// Whether `Event(...)` still means exactly what the fast constructor does: object.__new__,
// then our __init__ storing through the generic attribute protocol with no class attribute
// named `event_type` in the way. Changes that keep this true are common and harmless:
// pickling or copying an event makes copyreg cache `__slotnames__` on the class, and user
// code may add class constants. Each replaces the version tag, so the class is checked once
// per new tag, and the fast constructor re-armed when it passes. Runs no Python code.
bool constructs_plainly(PyTypeObject* tp) {
    if (reinterpret_cast<PyObject*>(tp) != state.event_class) return false;
    // MRO (Event, object): a base with descriptors of its own would change the rules.
    if (tp->tp_new != PyBaseObject_Type.tp_new || tp->tp_setattro != PyObject_GenericSetAttr ||
        tp->tp_mro == nullptr || PyTuple_GET_SIZE(tp->tp_mro) != 2)
        return false;
    PyObject* init = PyDict_GetItemWithError(tp->tp_dict, n_init);
    if (init != state.event_init) return false;
    return PyDict_GetItemWithError(tp->tp_dict, n_event_type) == nullptr && !PyErr_Occurred();
}

// Whether storing a field through the generic attribute assignment stores it in the instance
// as a dict entry would: no data descriptor in Event's dict other than under a dunder name
// (`__dict__` and `__weakref__`, the class's own), and none in object's but `__class__`.
// Names that start with an underscore never take this route (plain_field_name), so the
// dunder descriptors of both are out of the way. Runs no Python code.
bool fields_store_plainly(PyTypeObject* tp) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(tp->tp_dict, &pos, &key, &value)) {
        if (!PyDescr_IsData(value)) continue;
        if (!PyUnicode_Check(key) || PyUnicode_GET_LENGTH(key) < 1 ||
            PyUnicode_READ_CHAR(key, 0) != '_')
            return false;
    }
    return true;
}

// A keyword that the attribute storage keeps exactly as a dict entry: an exact str that does
// not start with an underscore (so no descriptor of Event or object is named by it).
inline bool plain_field_name(PyObject* key) {
    return PyUnicode_CheckExact(key) && PyUnicode_GET_LENGTH(key) > 0 &&
           PyUnicode_READ_CHAR(key, 0) != '_';
}

// Whether the fast constructor may run for `tp` now. A class whose tag was dropped by a
// change gets a new one first (the interpreter assigns tags lazily).
[[gnu::noinline]] bool rearm_fast_path(PyTypeObject* tp) {
    if (!PyType_HasFeature(tp, Py_TPFLAGS_VALID_VERSION_TAG)) {
        version_tag_of(reinterpret_cast<PyObject*>(tp));
        if (PyErr_Occurred()) PyErr_Clear();  // only means "not now"
    }
    return state.event_guard.holds(tp, constructs_plainly);
}

bool all_plain_names(PyObject* kwnames) {
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k)
        if (!plain_field_name(PyTuple_GET_ITEM(kwnames, k))) return false;
    return true;
}

// A new Event as object.__new__ makes it (attribute storage in the object, no dict yet), its
// fields then stored in call order by the generic attribute assignment, `event_type` last.
// The interpreter keeps each instance's insertion order, so e.__dict__, when asked for, is
// the dict install_fields would have made. Returns a new reference.
PyObject* store_fields(PyTypeObject* tp, PyObject* const* kwvalues, PyObject* kwnames,
                       Py_ssize_t skip, PyObject* event_type) {
    ov::object self = ov::steal(PyBaseObject_Type.tp_new(tp, state.empty_tuple, nullptr));
    if (!self) return nullptr;
    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        if (k == skip) continue;
        if (PyObject_GenericSetAttr(self.get(), PyTuple_GET_ITEM(kwnames, k), kwvalues[k]) < 0)
            return nullptr;
    }
    if (PyObject_GenericSetAttr(self.get(), n_event_type, event_type) < 0) return nullptr;
    return self.release();
}

// A new Event whose dict, built here, holds the fields in call order and `event_type` last.
// Returns a new reference.
PyObject* install_fields(PyTypeObject* tp, PyObject* const* kwvalues, PyObject* kwnames,
                         Py_ssize_t skip, PyObject* event_type) {
    ov::object fields = ov::steal(build_fields(kwvalues, kwnames, skip, event_type));
    if (!fields) return nullptr;
    ov::object self = ov::steal(tp->tp_alloc(tp, 0));
    if (!self) return nullptr;
    if (PyObject_GenericSetDict(self.get(), fields.get(), nullptr) < 0) return nullptr;
    return self.release();
}

// The slot of the shape table for a keyword-names tuple.
inline call_shape& shape_of(PyObject* kwnames) {
    const auto bits = reinterpret_cast<uintptr_t>(kwnames);
    return state.shapes[((bits >> 4) ^ (bits >> 10)) % kShapeSlots];
}

// Records a keyword-names tuple that bind_arguments has just bound without error and whose
// names are all plain field names; `skip` is where it names `event_type`, or -1.
void learn_shape(PyObject* kwnames, Py_ssize_t skip, bool inline_storage) {
    call_shape& shape = shape_of(kwnames);
    Py_XSETREF(shape.kwnames, Py_NewRef(kwnames));
    shape.skip = skip;
    shape.stored_inline = inline_storage;
}

// What the collector's traversal of a new event met: the values that were stored, the class,
// and, if the interpreter had to give the instance a dict (a name its shared keys could not
// take), that dict, which is none of the values.
struct traversal {
    PyObject* const* kwvalues;
    Py_ssize_t nkw;
    PyObject* event_type;
    bool met_dict = false;
};

int visit_for_dict(PyObject* obj, void* arg) {
    auto* t = static_cast<traversal*>(arg);
    if (!PyDict_Check(obj) || obj == t->event_type) return 0;
    for (Py_ssize_t k = 0; k < t->nkw; ++k)
        if (obj == t->kwvalues[k]) return 0;
    t->met_dict = true;
    return 1;  // stops the traversal
}

// Whether a new event built by store_fields keeps its attributes in the object (its class's
// shared keys took every name), so that building events of this shape that way is the
// cheaper route. The shared keys only ever gain names, so a shape found so stays so. The
// traversal (what gc.get_referents does) runs no Python code.
bool stored_inline(PyObject* event, PyObject* const* kwvalues, PyObject* kwnames,
                   PyObject* event_type) {
    traverseproc traverse = Py_TYPE(event)->tp_traverse;
    if (traverse == nullptr) return false;
    traversal t{kwvalues, PyTuple_GET_SIZE(kwnames), event_type};
    traverse(event, visit_for_dict, &t);
    return !t.met_dict;
}

// tp_vectorcall of Event.
PyObject* event_vectorcall(PyObject* cls, PyObject* const* args, size_t nargsf,
                           PyObject* kwnames) {
    auto* tp = reinterpret_cast<PyTypeObject*>(cls);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (!state.event_guard.holds(tp, constructs_plainly)) [[unlikely]] {
        if (!rearm_fast_path(tp)) return call_through_type(cls, args, nargs, kwnames);
    }

    const bool store =
        kwnames != nullptr && state.event_store_guard.holds(tp, fields_store_plainly);
    if (store) [[likely]] {
        // A call of a known shape with its event type where the shape expects it binds
        // without looking at the names again.
        const call_shape& shape = shape_of(kwnames);
        if (shape.kwnames == kwnames && nargs == (shape.skip < 0 ? 1 : 0)) [[likely]] {
            PyObject* event_type = shape.skip < 0 ? args[0] : args[nargs + shape.skip];
            if (shape.stored_inline) [[likely]]
                return store_fields(tp, args + nargs, kwnames, shape.skip, event_type);
            return install_fields(tp, args + nargs, kwnames, shape.skip, event_type);
        }
    }
    // Without keyword fields a dict of one entry is cheaper than the attribute storage.
    if (kwnames == nullptr && nargs == 1) return install_fields(tp, args + 1, nullptr, -1, args[0]);
    PyObject* event_type;
    Py_ssize_t skip;
    if (bind_arguments(args, nargs, kwnames, &event_type, &skip) < 0) return nullptr;
    if (store && all_plain_names(kwnames)) {
        PyObject* event = store_fields(tp, args + nargs, kwnames, skip, event_type);
        if (event != nullptr)
            learn_shape(kwnames, skip, stored_inline(event, args + nargs, kwnames, event_type));
        return event;
    }
    return install_fields(tp, args + nargs, kwnames, skip, event_type);
}

// Event.__init__(self, event_type, **kwargs): the instance dict becomes a fresh dict of the
// keyword fields, then `event_type` is set. Both go through attribute assignment, so a
// subclass's __setattr__ or descriptors see them as in Python code.
PyObject* event_init(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
    PyObject* event_type;
    Py_ssize_t skip;
    if (bind_arguments(args, nargs, kwnames, &event_type, &skip) < 0) return nullptr;
    ov::object fields = ov::steal(build_fields(args + nargs, kwnames, skip, nullptr));
    if (!fields) return nullptr;
    if (PyObject_SetAttr(self, n_dict, fields.get()) < 0) return nullptr;
    if (PyObject_SetAttr(self, n_event_type, event_type) < 0) return nullptr;
    Py_RETURN_NONE;
}

// Event.__repr__: " ".join("{}:{}".format(k, v) for k, v in self.__dict__.items()).
// Errors raised while formatting a value pass to the caller.
PyObject* event_repr(PyObject* self, PyObject* /*unused*/) {
    ov::object dict = ov::steal(PyObject_GetAttr(self, n_dict));
    if (!dict) return nullptr;
    ov::object items = ov::steal(PyObject_CallMethodNoArgs(dict.get(), n_items));
    if (!items) return nullptr;
    ov::object it = ov::steal(PyObject_GetIter(items.get()));
    if (!it) return nullptr;
    ov::object pieces = ov::steal(PyList_New(0));
    if (!pieces) return nullptr;
    for (;;) {
        ov::object item = ov::steal(PyIter_Next(it.get()));
        if (!item) {
            if (PyErr_Occurred()) return nullptr;
            break;
        }
        ov::object key, value;
        if (ov::unpack2(item.get(), &key, &value) < 0) return nullptr;
        ov::object key_text = ov::format_default(key.get());
        if (!key_text) return nullptr;
        ov::object value_text = ov::format_default(value.get());
        if (!value_text) return nullptr;
        ov::object piece = ov::join_str({key_text.get(), n_colon, value_text.get()});
        if (!piece || PyList_Append(pieces.get(), piece.get()) < 0) return nullptr;
    }
    return PyUnicode_Join(n_blank, pieces.get());
}

PyMethodDef event_methods[] = {
    ov::fastcall_def("__init__", event_init, "__init__($self, event_type, **kwargs)\n--\n\n"),
    ov::noargs_def("__repr__", event_repr, "__repr__($self, /)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

// One instance of the new class with every seeded field set, then dropped: the names stay in
// the class's shared keys. Nothing else can see the instance, and Event has no finalizer.
int seed_shared_keys(PyTypeObject* tp) {
    ov::object probe = ov::steal(PyBaseObject_Type.tp_new(tp, state.empty_tuple, nullptr));
    if (!probe) return -1;
    for (const char* field : kSeededFields) {
        ov::object key = ov::steal(PyUnicode_InternFromString(field));
        if (!key || PyObject_GenericSetAttr(probe.get(), key.get(), Py_None) < 0) return -1;
    }
    return 0;
}

}  // namespace

PyObject* create_event_class(PyObject* module_name) {
    return new_plain_class("Event", module_name, event_methods);
}

int arm_event_fast_path(PyObject* event_class) {
    auto* tp = reinterpret_cast<PyTypeObject*>(event_class);
    // 3.11 has no type slot for tp_vectorcall; the field is set once the class exists.
    tp->tp_vectorcall = event_vectorcall;
    PyObject* init = PyDict_GetItemWithError(tp->tp_dict, n_init);
    if (init == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "Event has no __init__");
        return -1;
    }
    Py_XSETREF(state.event_init, Py_NewRef(init));
    Py_XSETREF(state.event_class, Py_NewRef(event_class));
    if (state.empty_tuple == nullptr) {
        state.empty_tuple = PyTuple_New(0);
        if (state.empty_tuple == nullptr) return -1;
    }
    state.event_guard.reset();
    state.event_store_guard.reset();
    version_tag_of(event_class);
    if (PyErr_Occurred()) return -1;
    state.event_guard.holds(tp, constructs_plainly);  // armed now if it can be
    return seed_shared_keys(tp);
}

}  // namespace events
