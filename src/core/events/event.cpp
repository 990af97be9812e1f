// Event: the record of one event, an ordinary class whose whole state is the instance
// __dict__ (keyword fields in call order, then `event_type`).
//
// Construction has two routes with the same result:
//   - the fast constructor, installed as Event's tp_vectorcall. It runs only for Event
//     itself and only while the class constructs as it was made to (version tag guard, see
//     rearm_fast_path), because assigning Event.__init__ or __new__ does not reset
//     tp_vectorcall on 3.11. It stores the fields in the interpreter's own per-instance
//     attribute storage, straight into the values array for a shape whose placement it has
//     read (store_inline, 3.11 only) or else by the generic attribute assignment
//     (store_fields), or, for names that storage could treat otherwise, builds the instance
//     dict and installs it (install_fields);
//   - the ordinary type call (object.__new__, then __init__), used by subclasses (they do
//     not inherit tp_vectorcall) and by Event once the class was modified. __init__ is
//     therefore complete on its own.
#include "events.hpp"
#include "instance_values.hpp"

namespace events {

namespace {

ov::name n_event_type("event_type");
ov::name n_self("self");
ov::name n_dict("__dict__");
ov::name n_items("items");
ov::name n_colon(":");
ov::name n_blank(" ");
ov::name n_init("__init__");
ov::name n_reduce_ex("__reduce_ex__");
ov::name n_slotnames("__slotnames__");
ov::name n_calendar_dt("calendar_dt");
ov::name n_trading_dt("trading_dt");
ov::name n_tick("tick");
ov::name n_order("order");

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

// Whether Event's attributes are as they were when the caller read `tag` (its guards had
// found it valid). Making an instance may run a collection, and a finalizer Python code
// that changes the class; a builder that finds it changed drops what it made and returns
// nullptr with no error set, and the call is made through the type instead (event_vectorcall).
inline bool class_unchanged(PyTypeObject* tp, unsigned int tag) {
    return tp->tp_version_tag == tag && PyType_HasFeature(tp, Py_TPFLAGS_VALID_VERSION_TAG);
}

// Stores the fields into `self_ref` (a new Event from object.__new__ with no attribute set
// yet; the reference is taken) in call order by the generic attribute assignment,
// `event_type` last. Returns it.
PyObject* set_fields(PyObject* self_ref, PyObject* const* kwvalues, PyObject* kwnames,
                     Py_ssize_t skip, PyObject* event_type) {
    ov::object self = ov::steal(self_ref);
    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        if (k == skip) continue;
        if (PyObject_GenericSetAttr(self.get(), PyTuple_GET_ITEM(kwnames, k), kwvalues[k]) < 0)
            return nullptr;
    }
    if (PyObject_GenericSetAttr(self.get(), n_event_type, event_type) < 0) return nullptr;
    return self.release();
}

// A new instance as object.__new__ makes it, or nullptr: with an error set if that failed,
// without one if the class changed meanwhile (a finalizer the allocation ran; class_unchanged).
inline PyObject* new_instance(PyTypeObject* tp) {
    const unsigned int tag = tp->tp_version_tag;
    PyObject* self = PyBaseObject_Type.tp_new(tp, state.empty_tuple, nullptr);
    if (self != nullptr && !class_unchanged(tp, tag)) [[unlikely]] {
        Py_DECREF(self);
        return nullptr;
    }
    return self;
}

// A new Event as object.__new__ makes it (attribute storage in the object, no dict yet), its
// fields then stored by set_fields. The interpreter keeps each instance's insertion order,
// so e.__dict__, when asked for, is the dict install_fields would have made. Returns a new
// reference, or nullptr with no error set if the class changed meanwhile (class_unchanged).
PyObject* store_fields(PyTypeObject* tp, PyObject* const* kwvalues, PyObject* kwnames,
                       Py_ssize_t skip, PyObject* event_type) {
    PyObject* self = new_instance(tp);
    if (self == nullptr) return nullptr;
    return set_fields(self, kwvalues, kwnames, skip, event_type);
}

#if EVENTS_HAVE_INLINE_VALUES
namespace iv = inline_values;

// What store_fields does, for a shape whose placement was read (read_slots): the same values
// in the same array entries with the same insertion order, written directly instead of name
// by name. The array of a new instance holds at least as many entries as Event's shared keys
// had when the placement was read (they only grow), so every index of the shape is inside it
// while Event keeps those keys (checked by the caller). A new instance that has no array, or
// a prefix too short for the shape's insertion order, takes the generic assignment. Returns
// a new reference, or nullptr with no error set if the class changed meanwhile.
PyObject* store_inline(PyTypeObject* tp, PyObject* const* kwvalues, PyObject* kwnames,
                       const call_shape& shape, PyObject* event_type) {
    PyObject* self = new_instance(tp);
    if (self == nullptr) return nullptr;
    PyObject** values = iv::values_of(self);
    const int count = shape.nslots;
    if (values == nullptr || iv::dict_of(self) != nullptr ||
        iv::prefix_of(values)[-2] != 0 || count + 2 > iv::prefix_of(values)[-1]) [[unlikely]]
        return set_fields(self, kwvalues, kwnames, shape.skip, event_type);
    std::uint8_t* order = iv::prefix_of(values) - 3;  // order[-j]: the j-th attribute set
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    int j = 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        if (k == shape.skip) continue;
        values[shape.slots[j]] = Py_NewRef(kwvalues[k]);
        order[-j] = shape.slots[j];
        ++j;
    }
    values[shape.slots[j]] = Py_NewRef(event_type);
    order[-j] = shape.slots[j];
    iv::prefix_of(values)[-2] = static_cast<std::uint8_t>(count);
    return self;
}

// Reads where the interpreter put the `count` fields of `event`, just built by store_fields
// with its attributes in the object: the indices of the values array in store order, from
// the array's insertion order. False when the event does not look so.
bool read_slots(PyObject* event, Py_ssize_t count, call_shape* shape) {
    PyTypeObject* tp = Py_TYPE(event);
    if (count < 1 || count > kMaxSlots || count > iv::kMaxEntries || !iv::has_layout(tp) ||
        iv::shared_keys_of(tp) == nullptr || iv::dict_of(event) != nullptr)
        return false;
    PyObject** values = iv::values_of(event);
    if (values == nullptr) return false;
    const std::uint8_t* prefix = iv::prefix_of(values);
    if (prefix[-2] != count) return false;
    for (Py_ssize_t j = 0; j < count; ++j) {
        const std::uint8_t slot = prefix[-3 - j];
        if (slot >= iv::kMaxEntries) return false;
        shape->slots[j] = slot;
    }
    shape->nslots = static_cast<unsigned char>(count);
    shape->keys = iv::shared_keys_of(tp);
    return true;
}
#endif

// A new Event whose dict, built here, holds the fields in call order and `event_type` last.
// Returns a new reference, or nullptr with no error set if the class changed meanwhile.
PyObject* install_fields(PyTypeObject* tp, PyObject* const* kwvalues, PyObject* kwnames,
                         Py_ssize_t skip, PyObject* event_type) {
    const unsigned int tag = tp->tp_version_tag;
    ov::object fields = ov::steal(build_fields(kwvalues, kwnames, skip, event_type));
    if (!fields) return nullptr;
    ov::object self = ov::steal(tp->tp_alloc(tp, 0));
    if (!self) return nullptr;
    if (!class_unchanged(tp, tag)) [[unlikely]] return nullptr;
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
// `event` is the event just built from it.
void learn_shape(PyObject* kwnames, Py_ssize_t skip, bool inline_storage, PyObject* event) {
    call_shape& shape = shape_of(kwnames);
    Py_XSETREF(shape.kwnames, Py_NewRef(kwnames));
    shape.skip = skip;
    shape.stored_inline = inline_storage;
    shape.direct = false;
#if EVENTS_HAVE_INLINE_VALUES
    if (inline_storage && state.inline_stores) {
        const Py_ssize_t count = PyTuple_GET_SIZE(kwnames) + (skip < 0 ? 1 : 0);
        shape.direct = read_slots(event, count, &shape);
    }
#else
    (void)event;
#endif
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

// The fast constructor once its guard holds. nullptr with no error set: the class changed
// while the event was made, and the call is to be made through the type.
PyObject* construct(PyTypeObject* tp, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) {

    const bool store =
        kwnames != nullptr && state.event_store_guard.holds(tp, fields_store_plainly);
    if (store) [[likely]] {
        // A call of a known shape with its event type where the shape expects it binds
        // without looking at the names again.
        const call_shape& shape = shape_of(kwnames);
        if (shape.kwnames == kwnames && nargs == (shape.skip < 0 ? 1 : 0)) [[likely]] {
            PyObject* event_type = shape.skip < 0 ? args[0] : args[nargs + shape.skip];
#if EVENTS_HAVE_INLINE_VALUES
            if (shape.direct && shape.keys == iv::shared_keys_of(tp)) [[likely]]
                return store_inline(tp, args + nargs, kwnames, shape, event_type);
#endif
            if (shape.stored_inline)
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
            learn_shape(kwnames, skip, stored_inline(event, args + nargs, kwnames, event_type),
                        event);
        return event;
    }
    return install_fields(tp, args + nargs, kwnames, skip, event_type);
}

// tp_vectorcall of Event.
PyObject* event_vectorcall(PyObject* cls, PyObject* const* args, size_t nargsf,
                           PyObject* kwnames) {
    auto* tp = reinterpret_cast<PyTypeObject*>(cls);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (!state.event_guard.holds(tp, constructs_plainly)) [[unlikely]] {
        if (!rearm_fast_path(tp)) return call_through_type(cls, args, nargs, kwnames);
    }
    PyObject* event = construct(tp, args, nargs, kwnames);
    if (event == nullptr && !PyErr_Occurred()) [[unlikely]]
        return call_through_type(cls, args, nargs, kwnames);
    return event;
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

#if EVENTS_HAVE_INLINE_VALUES
// The steps of check_inline_stores each return 1 (same), 0 (different) or -1 (an error set).

// Reading `attr` of both gives the same object, or fails the same way on both.
int same_attribute(PyObject* a, PyObject* b, PyObject* attr) {
    ov::object va = ov::steal(PyObject_GetAttr(a, attr));
    if (!va) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
    }
    ov::object vb = ov::steal(PyObject_GetAttr(b, attr));
    if (!vb) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
    }
    return va.get() == vb.get() ? 1 : 0;
}

// Both dicts of attributes are the objects the instances keep, hold the same keys and values
// (the very objects) in the same order, and are what the interpreter stores as their dict.
int same_dicts(PyObject* a, PyObject* b) {
    ov::object da = ov::steal(PyObject_GetAttr(a, n_dict));
    ov::object db = ov::steal(PyObject_GetAttr(b, n_dict));
    if (!da || !db) return -1;
    ov::object again = ov::steal(PyObject_GetAttr(b, n_dict));
    if (!again) return -1;
    if (again.get() != db.get() || iv::dict_of(b) != db.get() || iv::values_of(b) != nullptr ||
        iv::dict_of(a) != da.get() || !PyDict_CheckExact(da.get()) ||
        !PyDict_CheckExact(db.get()) || PyDict_GET_SIZE(da.get()) != PyDict_GET_SIZE(db.get()))
        return 0;
    Py_ssize_t pa = 0, pb = 0;
    PyObject *ka, *va, *kb, *vb;
    while (PyDict_Next(da.get(), &pa, &ka, &va)) {
        if (!PyDict_Next(db.get(), &pb, &kb, &vb) || ka != kb || va != vb) return 0;
    }
    return 1;
}

// Both reduce alike for pickling and copying under every protocol.
int same_reductions(PyObject* a, PyObject* b) {
    for (long protocol = 0; protocol <= 5; ++protocol) {
        ov::object p = ov::steal(PyLong_FromLong(protocol));
        if (!p) return -1;
        ov::object ra = ov::steal(PyObject_CallMethodOneArg(a, n_reduce_ex, p.get()));
        if (!ra) return -1;
        ov::object rb = ov::steal(PyObject_CallMethodOneArg(b, n_reduce_ex, p.get()));
        if (!rb) return -1;
        const int equal = PyObject_RichCompareBool(ra.get(), rb.get(), Py_EQ);
        if (equal <= 0) return equal;
    }
    return 1;
}

// Builds one event of the shape (calendar_dt, trading_dt, tick) through the generic attribute
// assignment and one through store_inline, then does to both what a user can do: read every
// field while the values are in the object, delete one, read it again, add an attribute that
// was not passed, reduce them as pickle and copy do, and compare their dicts (the very objects
// in the same order, the same dict at every read). 1 when nothing differs.
int check_inline_stores(PyTypeObject* tp) {
    PyObject* fields[] = {n_calendar_dt, n_trading_dt, n_tick};
    ov::object kwnames = ov::steal(PyTuple_Pack(3, fields[0], fields[1], fields[2]));
    if (!kwnames) return -1;
    ov::object values[5];
    PyObject* raw[5];
    for (int i = 0; i < 5; ++i) {
        values[i] = ov::steal(PyLong_FromLong(100001 + i));  // distinct objects
        if (!values[i]) return -1;
        raw[i] = values[i].get();
    }
    PyObject* event_type = raw[3];
    ov::object a = ov::steal(store_fields(tp, raw, kwnames.get(), -1, event_type));
    if (!a) return PyErr_Occurred() ? -1 : 0;
    call_shape shape;
    shape.kwnames = kwnames.get();  // borrowed for the check only
    if (!stored_inline(a.get(), raw, kwnames.get(), event_type) || !read_slots(a.get(), 4, &shape))
        return 0;
    ov::object b = ov::steal(store_inline(tp, raw, kwnames.get(), shape, event_type));
    if (!b) return PyErr_Occurred() ? -1 : 0;
    int same = 1;
    PyObject* attrs[] = {n_calendar_dt, n_trading_dt, n_tick, n_event_type, n_order};
    for (PyObject* attr : attrs)
        if ((same = same_attribute(a.get(), b.get(), attr)) != 1) return same;
    if (PyObject_DelAttr(a.get(), n_trading_dt) < 0 || PyObject_DelAttr(b.get(), n_trading_dt) < 0)
        return -1;
    if ((same = same_attribute(a.get(), b.get(), n_trading_dt)) != 1 ||
        (same = same_attribute(a.get(), b.get(), n_tick)) != 1)
        return same;
    if (PyObject_SetAttr(a.get(), n_order, raw[4]) < 0 ||
        PyObject_SetAttr(b.get(), n_order, raw[4]) < 0)
        return -1;
    if ((same = same_attribute(a.get(), b.get(), n_order)) != 1) return same;
    if ((same = same_reductions(a.get(), b.get())) != 1) return same;
    return same_dicts(a.get(), b.get());
}

// Whether store_inline may be used for Event: the check above, leaving the class as it found
// it (reducing an instance makes copyreg cache `__slotnames__` on the class). Errors of the
// comparison itself only mean "no"; an interrupt ends the import.
int inline_stores_agree(PyTypeObject* tp) {
    if (!iv::has_layout(tp) || iv::shared_keys_of(tp) == nullptr) return 0;
    // The builders compare the class's version tag before and after making an instance.
    if (version_tag_of(reinterpret_cast<PyObject*>(tp)) == 0) {
        if (PyErr_Occurred()) return -1;
        return 0;
    }
    const int had_slotnames = PyDict_Contains(tp->tp_dict, n_slotnames);
    if (had_slotnames < 0) return -1;
    int same = check_inline_stores(tp);
    if (same < 0) {
        if (!ov::clear_if_exception()) return -1;
        same = 0;
    }
    if (!had_slotnames) {
        const int has = PyDict_Contains(tp->tp_dict, n_slotnames);
        if (has < 0 || (has && PyObject_DelAttr(reinterpret_cast<PyObject*>(tp), n_slotnames) < 0))
            return -1;
    }
    return same;
}
#endif

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
    state.inline_stores = false;
    if (seed_shared_keys(tp) < 0) return -1;
#if EVENTS_HAVE_INLINE_VALUES
    const int agree = inline_stores_agree(tp);
    if (agree < 0) return -1;
    state.inline_stores = agree == 1;
#endif
    version_tag_of(event_class);
    if (PyErr_Occurred()) return -1;
    state.event_guard.holds(tp, constructs_plainly);  // armed now if it can be
    return 0;
}

}  // namespace events
