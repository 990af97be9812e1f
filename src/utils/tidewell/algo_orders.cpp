// Reports of the algorithmic-trading broker. Action results (login, creation, cancellation,
// pause/resume of a parent order) become one event each, carrying the result's identifiers,
// code and message whatever the code says. Record updates (parent orders, child orders,
// child trades) become framework records that replace the previous record of the same
// sys_quote_id in a module-level cache, and are queued as deep copies.
#include "bridge.hpp"
#include "callbacks.hpp"

namespace tidewell {

namespace {

// Parameter names
ov::name n_algo_login_res{"algo_login_res"};
ov::name n_create_parent_order_res{"create_parent_order_res"};
ov::name n_cancel_parent_order_res{"cancel_parent_order_res"};
ov::name n_control_parent_order_res{"control_parent_order_res"};
ov::name n_parent_order{"parent_order"};
ov::name n_child_order{"child_order"};
ov::name n_child_trade{"child_trade"};

// SDK record fields
ov::name n_client_seq_id{"client_seq_id"};
ov::name n_trader_id{"trader_id"};
ov::name n_error_code{"error_code"};
ov::name n_error_msg{"error_msg"};
ov::name n_sys_quote_id{"sys_quote_id"};
ov::name n_control_type{"control_type"};
ov::name n_algo_control_type{"algo_control_type"};

// Globals and their members
ov::name n_deepcopy{"deepcopy"};
ov::name n_get{"get"};
ov::name n_from_vorn{"from_vorn"};
ov::name n_AlgoControlType{"AlgoControlType"};
ov::name n_Pause{"Pause"};
ov::name n_Resume{"Resume"};

// Events
ov::name n_ALGO_LOGIN{"ALGO_LOGIN"};
ov::name n_PARENT_ORDER_CREATE{"PARENT_ORDER_CREATE"};
ov::name n_PARENT_ORDER_CANCEL{"PARENT_ORDER_CANCEL"};
ov::name n_PARENT_ORDER_PAUSE{"PARENT_ORDER_PAUSE"};
ov::name n_PARENT_ORDER_RESUME{"PARENT_ORDER_RESUME"};
ov::name n_PARENT_ORDER_UPDATE{"PARENT_ORDER_UPDATE"};
ov::name n_CHILD_ORDER_UPDATE{"CHILD_ORDER_UPDATE"};
ov::name n_CHILD_ORDER_TRADE{"CHILD_ORDER_TRADE"};
ov::kwnames kw_login{"req_id", "algo_account", "code", "msg"};
ov::kwnames kw_create{"req_id", "parent_order_id", "code", "msg"};
ov::kwnames kw_parent_result{"parent_order_id", "code", "msg"};
ov::kwnames kw_parent_update{"algo_parent_order"};
ov::kwnames kw_child_update{"algo_child_order"};
ov::kwnames kw_child_trade{"algo_child_trade"};

const char* const enums_module = "pyvorn.enums";

// Event(EVENT.<member>, **{kw[i]: record.<fields[i]>}) appended to the queue; the fields are
// read in keyword order and passed as delivered.
template <size_t N>
int queue_result(PyObject* member, PyObject* record, const ov::name* const (&fields)[N],
                 const ov::kwnames& kw) {
    static_assert(N >= 3 && N <= 4);
    ov::object ev = event_member(member);
    if (!ev) return -1;
    ov::object values[N];
    for (size_t i = 0; i < N; ++i) {
        values[i] = ov::steal(PyObject_GetAttr(record, *fields[i]));
        if (!values[i]) return -1;
    }
    if constexpr (N == 3)
        return emit_event(ev.get(), {values[0].get(), values[1].get(), values[2].get()}, kw);
    else
        return emit_event(ev.get(),
                          {values[0].get(), values[1].get(), values[2].get(), values[3].get()},
                          kw);
}

const ov::name* const parent_result_fields[3] = {&n_sys_quote_id, &n_error_code, &n_error_msg};

// `from pyvorn.enums import AlgoControlType`, at every call.
PyObject* import_control_type() {
    ov::object mod = ov::steal(PyImport_ImportModule(enums_module));
    if (!mod) return nullptr;
    PyObject* v = PyObject_GetAttr(mod.get(), n_AlgoControlType);
    if (v != nullptr || !PyErr_ExceptionMatches(PyExc_AttributeError)) return v;
    PyErr_Clear();
    ov::object msg = ov::steal(PyUnicode_FromFormat("cannot import name '%U' from '%s'",
                                                     n_AlgoControlType.get(), enums_module));
    if (!msg) return nullptr;
    ov::object modname = ov::steal(PyUnicode_FromString(enums_module));
    if (!modname) return nullptr;
    PyErr_SetImportError(msg.get(), modname.get(), nullptr);
    return nullptr;
}

// The control type of a control result, read once: `control_type` when the record has it,
// otherwise `algo_control_type`, read as inside `except AttributeError:` -- the first error is
// the exception being handled meanwhile, so an error of the second read carries it as its
// context, exactly as the interpreter chains an exception raised in an except block.
PyObject* control_type_of(PyObject* record) {
    PyObject* v = PyObject_GetAttr(record, n_control_type);
    if (v != nullptr || !PyErr_ExceptionMatches(PyExc_AttributeError)) return v;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb != nullptr) PyException_SetTraceback(value, tb);
    PyObject *saved_type, *saved_value, *saved_tb;
    PyErr_GetExcInfo(&saved_type, &saved_value, &saved_tb);
    PyErr_SetExcInfo(type, value, tb);  // steals the first error
    v = PyObject_GetAttr(record, n_algo_control_type);
    PyErr_SetExcInfo(saved_type, saved_value, saved_tb);  // drops the first error unless chained
    return v;
}

// value == AlgoControlType.<member>
int control_is(PyObject* value, PyObject* control_types, PyObject* member) {
    ov::object m = class_attr(control_types, member);
    if (!m) return -1;
    ov::object r = ov::steal(PyObject_RichCompare(value, m.get(), Py_EQ));
    if (!r) return -1;
    return PyObject_IsTrue(r.get());
}

// copy.deepcopy(obj), through the module global `copy`.
PyObject* deep_copy(PyObject* obj) {
    ov::object mod = global(globals::copy);
    if (!mod) return nullptr;
    return ov::vcall_method(mod.get(), n_deepcopy, {obj}).release();
}

// cache.get(record.sys_quote_id), the cache looked up as a global and the id read afresh.
// New reference.
PyObject* cache_get(PyObject* record, const ov::name& cache_name) {
    ov::object cache = global(cache_name);
    if (!cache) return nullptr;
    if (PyDict_CheckExact(cache.get())) {
        // dict.get on a plain dict: the item, or None when absent.
        ov::object id = ov::steal(PyObject_GetAttr(record, n_sys_quote_id));
        if (!id) return nullptr;
        PyObject* v = PyDict_GetItemWithError(cache.get(), id.get());
        if (v != nullptr) return Py_NewRef(v);
        return PyErr_Occurred() ? nullptr : Py_NewRef(Py_None);
    }
    ov::object get = ov::steal(PyObject_GetAttr(cache.get(), n_get));
    if (!get) return nullptr;
    ov::object id = ov::steal(PyObject_GetAttr(record, n_sys_quote_id));
    if (!id) return nullptr;
    return ov::vcall(get.get(), {id.get()}).release();
}

// The record updates' four steps: previous record from the cache (membership test, then
// `get`), Class.from_vorn(record, previous), store under the id, then queue a deep copy. The
// id is read afresh for the test, the look-up and the store.
int update_record(PyObject* record, const ov::name& cache_name, const ov::name& class_name, PyObject* member,
                  const ov::kwnames& kw) {
    ov::object previous;
    {
        ov::object id = ov::steal(PyObject_GetAttr(record, n_sys_quote_id));
        if (!id) return -1;
        ov::object cache = global(cache_name);
        if (!cache) return -1;
        int present = PyDict_CheckExact(cache.get()) ? PyDict_Contains(cache.get(), id.get())
                                                     : PySequence_Contains(cache.get(), id.get());
        if (present < 0) return -1;
        if (present) {
            previous = ov::steal(cache_get(record, cache_name));
            if (!previous) return -1;
        } else {
            previous = ov::borrow(Py_None);
        }
    }
    ov::object fresh;
    {
        ov::object cls = global(class_name);
        if (!cls) return -1;
        fresh = ov::vcall_method(cls.get(), n_from_vorn, {record, previous.get()});
        if (!fresh) return -1;
    }
    {
        ov::object cache = global(cache_name);
        if (!cache) return -1;
        ov::object id = ov::steal(PyObject_GetAttr(record, n_sys_quote_id));
        if (!id) return -1;
        if (PyObject_SetItem(cache.get(), id.get(), fresh.get()) < 0) return -1;
    }
    ov::object ev = event_member(member);
    if (!ev) return -1;
    ov::object snapshot = ov::steal(deep_copy(fresh.get()));
    if (!snapshot) return -1;
    return emit_event(ev.get(), {snapshot.get()}, kw);
}

// Binds the callback's one argument under its documented name.
bool bind(const char* fname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          const ov::name& param, PyObject** out) {
    return ov::parse_args(ov::callable::method, fname, args, nargs, kwnames, {&param}, 1, out) == 0;
}

}  // namespace

TIDEWELL_METHOD(on_algo_login) {
    (void)self;
    PyObject* res;
    if (!bind("VornStrategy.on_algo_login", args, nargs, kwnames, n_algo_login_res, &res))
        return nullptr;
    static const ov::name* const fields[4] = {&n_client_seq_id, &n_trader_id, &n_error_code,
                                              &n_error_msg};
    if (queue_result(n_ALGO_LOGIN, res, fields, kw_login) < 0) return nullptr;
    return Py_NewRef(Py_None);
}

TIDEWELL_METHOD(on_create_algo_parent_order_res) {
    (void)self;
    PyObject* res;
    if (!bind("VornStrategy.on_create_algo_parent_order_res", args, nargs, kwnames,
              n_create_parent_order_res, &res))
        return nullptr;
    static const ov::name* const fields[4] = {&n_client_seq_id, &n_sys_quote_id, &n_error_code,
                                              &n_error_msg};
    if (queue_result(n_PARENT_ORDER_CREATE, res, fields, kw_create) < 0) return nullptr;
    return Py_NewRef(Py_None);
}

TIDEWELL_METHOD(on_cancel_algo_parent_order_res) {
    (void)self;
    PyObject* res;
    if (!bind("VornStrategy.on_cancel_algo_parent_order_res", args, nargs, kwnames,
              n_cancel_parent_order_res, &res))
        return nullptr;
    if (queue_result(n_PARENT_ORDER_CANCEL, res, parent_result_fields, kw_parent_result) < 0)
        return nullptr;
    return Py_NewRef(Py_None);
}

// Pause or resume result: PARENT_ORDER_PAUSE or PARENT_ORDER_RESUME by the control type,
// nothing for any other type. The type is read once, from whichever of the two attribute
// names the SDK's record carries, and compared with Pause, then Resume.
TIDEWELL_METHOD(on_control_algo_parent_order_res) {
    (void)self;
    PyObject* res;
    if (!bind("VornStrategy.on_control_algo_parent_order_res", args, nargs, kwnames,
              n_control_parent_order_res, &res))
        return nullptr;
    ov::object control_types = ov::steal(import_control_type());
    if (!control_types) return nullptr;
    ov::object type = ov::steal(control_type_of(res));
    if (!type) return nullptr;
    int r = control_is(type.get(), control_types.get(), n_Pause);
    if (r < 0) return nullptr;
    if (r) {
        if (queue_result(n_PARENT_ORDER_PAUSE, res, parent_result_fields, kw_parent_result) < 0)
            return nullptr;
        return Py_NewRef(Py_None);
    }
    r = control_is(type.get(), control_types.get(), n_Resume);
    if (r < 0) return nullptr;
    if (r && queue_result(n_PARENT_ORDER_RESUME, res, parent_result_fields, kw_parent_result) < 0)
        return nullptr;
    return Py_NewRef(Py_None);
}

TIDEWELL_METHOD(on_algo_parent_order_update) {
    (void)self;
    PyObject* rec;
    if (!bind("VornStrategy.on_algo_parent_order_update", args, nargs, kwnames, n_parent_order,
              &rec))
        return nullptr;
    if (update_record(rec, globals::algo_parent_orders, globals::AlgoParentOrder, n_PARENT_ORDER_UPDATE,
                      kw_parent_update) < 0)
        return nullptr;
    return Py_NewRef(Py_None);
}

TIDEWELL_METHOD(on_algo_child_order_update) {
    (void)self;
    PyObject* rec;
    if (!bind("VornStrategy.on_algo_child_order_update", args, nargs, kwnames, n_child_order,
              &rec))
        return nullptr;
    if (update_record(rec, globals::algo_child_orders, globals::AlgoChildOrder, n_CHILD_ORDER_UPDATE,
                      kw_child_update) < 0)
        return nullptr;
    return Py_NewRef(Py_None);
}

TIDEWELL_METHOD(on_algo_child_order_trade) {
    (void)self;
    PyObject* rec;
    if (!bind("VornStrategy.on_algo_child_order_trade", args, nargs, kwnames, n_child_trade,
              &rec))
        return nullptr;
    if (update_record(rec, globals::algo_child_trades, globals::AlgoChildTrade, n_CHILD_ORDER_TRADE,
                      kw_child_trade) < 0)
        return nullptr;
    return Py_NewRef(Py_None);
}

}  // namespace tidewell
