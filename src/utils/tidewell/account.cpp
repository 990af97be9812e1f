// Login and account-query callbacks. Each writes one line to the system log, then appends one
// event to event_queue (a position answer that is not a non-empty list gives none). A
// successful login marks the strategy logged in and sends the asset and position queries.
// Only the building of one position is guarded: its failure costs that position alone.
#include "bridge.hpp"
#include "callbacks.hpp"

namespace tidewell {

namespace {

// Module globals, event members and attribute names.
ov::name n_LONG{"LONG"};
ov::name n_warning{"warning"};
ov::name n_set_state{"set_state"};
ov::name n_LOGIN{"LOGIN"};
ov::name n_QUERY_ACCOUNT{"QUERY_ACCOUNT"};
ov::name n_QUERY_POSITION{"QUERY_POSITION"};
ov::name n_logged_in{"logged_in"};
ov::name n_context{"context"};
ov::name n_query_asset{"query_asset"};
ov::name n_query_position{"query_position"};

// Parameter names.
ov::name n_login_res{"login_res"};
ov::name n_asset_res{"asset_res"};
ov::name n_query_position_res{"query_position_res"};
ov::name n_request_id{"request_id"};
ov::name n_code{"code"};
ov::name n_msg{"msg"};

// SDK record fields.
ov::name n_fund_account_id{"fund_account_id"};
ov::name n_error_code{"error_code"};
ov::name n_client_seq_id{"client_seq_id"};
ov::name n_error_msg{"error_msg"};
ov::name n_leaves_value{"leaves_value"};
ov::name n_available_t1{"available_t1"};
ov::name n_frozen_all{"frozen_all"};
ov::name n_market_value{"market_value"};
ov::name n_total_asset{"total_asset"};
ov::name n_init_leaves_value{"init_leaves_value"};
ov::name n_security_id{"security_id"};
ov::name n_market_id{"market_id"};
ov::name n_init_qty{"init_qty"};

// Log-line literals.
ov::name t_login_account{"on_login fund_account_id:"};
ov::name t_login_code{", error_code:"};
ov::name t_asset_head{"on_query_asset, "};
ov::name t_asset_leaves{", leaves_value:"};
ov::name t_asset_code{" code "};
ov::name t_asset_msg{"  ms "};
ov::name t_position_code{"on_query_position: code:"};
ov::name t_position_msg{", msg:"};
ov::name t_position_skip{"on_query_position position do not add: "};
ov::name t_position_error{"  exception: "};

// Event shapes: rid first.
ov::kwnames kw_rid_account_code_msg{"rid", "account_id", "code", "msg"};
ov::kwnames kw_rid_account_asset{"rid", "account_id", "asset"};
ov::kwnames kw_rid_code_msg{"rid", "code", "msg"};
ov::kwnames kw_rid_positions{"rid", "positions"};

// One key of the position state and the SDK position attribute its value is read from.
struct Field {
    ov::name key;
    ov::name attr;
};
Field position_state_fields[] = {
    {ov::name{"quantity"}, ov::name{"leaves_qty"}},
    {ov::name{"available_qty"}, ov::name{"available_qty"}},
    {ov::name{"avg_price"}, ov::name{"cost_price"}},
    {ov::name{"last_price"}, ov::name{"last_price"}},
    {ov::name{"market_value"}, ov::name{"market_value"}},
    {ov::name{"daily_pnl"}, ov::name{"profit_loss"}},
};

// str(record.<attr>)
PyObject* attr_str(PyObject* record, PyObject* name) {
    ov::object v = ov::steal(PyObject_GetAttr(record, name));
    if (!v) return nullptr;
    return PyObject_Str(v.get());
}

// `a != 0` as a Python condition.
int nonzero_code(PyObject* code) {
    ov::object r = ov::steal(PyObject_RichCompare(code, g_bridge.zero, Py_NE));
    if (!r) return -1;
    return PyObject_IsTrue(r.get());
}

// Builds the Position of one SDK position and gives it its state:
//   p = Position(security_id + "." + exchange(market_id), POSITION_DIRECTION.LONG, init_qty)
//   p.set_state({quantity, available_qty, avg_price, last_price, market_value, daily_pnl})
// Returns the position, or nullptr with the error set (the position is then dropped).
PyObject* make_position(PyObject* pos) {
    ov::object cls = global(globals::Position);
    if (!cls) return nullptr;
    ov::object code = market_code(pos, n_market_id);
    if (!code) return nullptr;
    ov::object direction_enum = global(globals::POSITION_DIRECTION);
    if (!direction_enum) return nullptr;
    ov::object direction = class_attr(direction_enum.get(), n_LONG);
    if (!direction) return nullptr;
    ov::object init_qty = ov::steal(PyObject_GetAttr(pos, n_init_qty));
    if (!init_qty) return nullptr;
    ov::object position =
        ov::vcall(cls.get(), {code.get(), direction.get(), init_qty.get()});
    if (!position) return nullptr;

    ov::object set_state = ov::steal(PyObject_GetAttr(position.get(), n_set_state));
    if (!set_state) return nullptr;
    ov::object state = ov::steal(g_bridge.position_state_shape.make([](PyObject* d) {
        for (Field& f : position_state_fields)
            if (PyDict_SetItem(d, f.key, Py_None) < 0) return -1;
        return 0;
    }));
    if (!state) return nullptr;
    for (Field& f : position_state_fields) {
        ov::object v = ov::steal(PyObject_GetAttr(pos, f.attr));
        if (!v) return nullptr;
        if (PyDict_SetItem(state.get(), f.key, v.get()) < 0) return nullptr;
    }
    ov::object r = ov::vcall(set_state.get(), {state.get()});
    if (!r) return nullptr;
    return position.release();
}

// The except branch of one position: with the error set (an Exception), logs
//   user_system_log.warning("on_query_position position do not add: " + str(pos.security_id)
//                           + "  exception: " + str(err))
// while the error is the exception being handled (so an error raised here chains to it), and
// clears it. Returns 0, or -1 with the warning's own error set.
int warn_position_skipped(PyObject* pos) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    ov::object err_type = ov::steal(type);
    ov::object err = ov::steal(value);
    ov::object err_tb = ov::steal(tb);
    if (err_tb) PyException_SetTraceback(err.get(), err_tb.get());

    ov::object outer = ov::steal(PyErr_GetHandledException());
    PyErr_SetHandledException(err.get());
    int rc = -1;
    do {
        ov::object logger = global(globals::user_system_log);
        if (!logger) break;
        ov::object warning = ov::steal(PyObject_GetAttr(logger.get(), n_warning));
        if (!warning) break;
        ov::object sid = ov::steal(attr_str(pos, n_security_id));
        if (!sid) break;
        ov::object err_text = ov::steal(PyObject_Str(err.get()));
        if (!err_text) break;
        ov::object line = ov::join_str({t_position_skip, sid.get(), t_position_error, err_text.get()});
        if (!line) break;
        ov::object r = ov::vcall(warning.get(), {line.get()});
        if (!r) break;
        rc = 0;
    } while (false);
    PyErr_SetHandledException(outer.get());
    return rc;
}

}  // namespace

TIDEWELL_METHOD(on_login) {
    PyObject* login;
    if (ov::parse_args(ov::callable::method, "VornStrategy.on_login", args, nargs, kwnames, {&n_login_res}, 1, &login) < 0)
        return nullptr;

    {
        ov::object account = ov::steal(attr_str(login, n_fund_account_id));
        if (!account) return nullptr;
        ov::object error_code = ov::steal(attr_str(login, n_error_code));
        if (!error_code) return nullptr;
        ov::object line = ov::join_str({t_login_account, account.get(), t_login_code, error_code.get()});
        if (!line || log_info(line.get()) < 0) return nullptr;
    }

    // The LOGIN event goes out whatever the result.
    {
        ov::object member = event_member(n_LOGIN);
        if (!member) return nullptr;
        ov::object rid = ov::steal(PyObject_GetAttr(login, n_client_seq_id));
        if (!rid) return nullptr;
        ov::object account = ov::steal(PyObject_GetAttr(login, n_fund_account_id));
        if (!account) return nullptr;
        ov::object code = ov::steal(PyObject_GetAttr(login, n_error_code));
        if (!code) return nullptr;
        ov::object msg = ov::steal(PyObject_GetAttr(login, n_error_msg));
        if (!msg) return nullptr;
        if (emit_event(member.get(), {rid.get(), account.get(), code.get(), msg.get()},
                       kw_rid_account_code_msg) < 0)
            return nullptr;
    }

    // On success: logged in, then ask for the account's assets and positions.
    ov::object code = ov::steal(PyObject_GetAttr(login, n_error_code));
    if (!code) return nullptr;
    ov::object ok = ov::steal(PyObject_RichCompare(code.get(), g_bridge.zero, Py_EQ));
    if (!ok) return nullptr;
    int success = PyObject_IsTrue(ok.get());
    if (success < 0) return nullptr;
    if (!success) return Py_NewRef(Py_None);
    if (PyObject_SetAttr(self, n_logged_in, Py_True) < 0) return nullptr;
    {
        ov::object context = ov::steal(PyObject_GetAttr(self, n_context));
        if (!context) return nullptr;
        if (call_with_attr(context.get(), n_query_asset, login, n_fund_account_id) < 0)
            return nullptr;
    }
    {
        ov::object context = ov::steal(PyObject_GetAttr(self, n_context));
        if (!context) return nullptr;
        if (call_with_attr(context.get(), n_query_position, login, n_fund_account_id) < 0)
            return nullptr;
    }
    return Py_NewRef(Py_None);
}

TIDEWELL_METHOD(on_query_asset) {
    (void)self;
    PyObject* a[4];
    if (ov::parse_args(ov::callable::method, "VornStrategy.on_query_asset", args, nargs, kwnames,
                       {&n_asset_res, &n_request_id, &n_code, &n_msg}, 4, a) < 0)
        return nullptr;
    PyObject* asset_res = a[0];
    PyObject* request_id = a[1];
    PyObject* code = a[2];
    PyObject* msg = a[3];

    {
        ov::object account = ov::steal(attr_str(asset_res, n_fund_account_id));
        if (!account) return nullptr;
        ov::object leaves = ov::steal(attr_str(asset_res, n_leaves_value));
        if (!leaves) return nullptr;
        ov::object code_text = ov::steal(PyObject_Str(code));
        if (!code_text) return nullptr;
        ov::object msg_text = ov::steal(PyObject_Str(msg));
        if (!msg_text) return nullptr;
        ov::object line = ov::join_str({t_asset_head, account.get(), t_asset_leaves,
                                                  leaves.get(), t_asset_code, code_text.get(),
                                                  t_asset_msg, msg_text.get()});
        if (!line || log_info(line.get()) < 0) return nullptr;
    }

    int failed = nonzero_code(code);
    if (failed < 0) return nullptr;
    ov::object member = event_member(n_QUERY_ACCOUNT);
    if (!member) return nullptr;
    ov::object account = ov::steal(PyObject_GetAttr(asset_res, n_fund_account_id));
    if (!account) return nullptr;
    if (failed) {
        if (emit_event(member.get(), {request_id, account.get(), code, msg},
                       kw_rid_account_code_msg) < 0)
            return nullptr;
        return Py_NewRef(Py_None);
    }

    // Asset(fund_account_id, available_t1, frozen_all, market_value, total_asset,
    //       leaves_value, init_leaves_value)
    ov::object cls = global(globals::Asset);
    if (!cls) return nullptr;
    PyObject* const fields[] = {n_fund_account_id, n_available_t1, n_frozen_all, n_market_value,
                                n_total_asset,     n_leaves_value, n_init_leaves_value};
    ov::object values[7];
    for (int i = 0; i < 7; ++i) {
        values[i] = ov::steal(PyObject_GetAttr(asset_res, fields[i]));
        if (!values[i]) return nullptr;
    }
    ov::object asset = ov::vcall(
        cls.get(), {values[0].get(), values[1].get(), values[2].get(), values[3].get(),
                    values[4].get(), values[5].get(), values[6].get()});
    if (!asset) return nullptr;
    if (emit_event(member.get(), {request_id, account.get(), asset.get()}, kw_rid_account_asset) < 0)
        return nullptr;
    return Py_NewRef(Py_None);
}

TIDEWELL_METHOD(on_query_position) {
    (void)self;
    PyObject* a[4];
    if (ov::parse_args(ov::callable::method, "VornStrategy.on_query_position", args, nargs, kwnames,
                       {&n_query_position_res, &n_request_id, &n_code, &n_msg}, 4, a) < 0)
        return nullptr;
    PyObject* answer = a[0];
    PyObject* request_id = a[1];
    PyObject* code = a[2];
    PyObject* msg = a[3];

    {
        ov::object code_text = ov::steal(PyObject_Str(code));
        if (!code_text) return nullptr;
        ov::object msg_text = ov::steal(PyObject_Str(msg));
        if (!msg_text) return nullptr;
        ov::object line = ov::join_str({t_position_code, code_text.get(), t_position_msg, msg_text.get()});
        if (!line || log_info(line.get()) < 0) return nullptr;
    }

    int failed = nonzero_code(code);
    if (failed < 0) return nullptr;
    if (failed) {
        // A failed position query is reported as an account-query event, without account.
        ov::object member = event_member(n_QUERY_ACCOUNT);
        if (!member) return nullptr;
        if (emit_event(member.get(), {request_id, code, msg}, kw_rid_code_msg) < 0) return nullptr;
        return Py_NewRef(Py_None);
    }

    // Only an exact list with entries yields an event; anything else (a tuple, None, an empty
    // list) is dropped silently.
    if (!PyList_CheckExact(answer) || PyList_GET_SIZE(answer) <= 0) return Py_NewRef(Py_None);

    ov::object positions = ov::steal(PyList_New(0));
    if (!positions) return nullptr;
    // Index loop with the length re-read at each step, as a for loop over a list does: the
    // callbacks run Python code that could change the list.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(answer); ++i) {
        ov::object pos = ov::borrow(PyList_GET_ITEM(answer, i));
        ov::object position = ov::steal(make_position(pos.get()));
        if (!position) {
            // Only the ordinary exception family is absorbed; KeyboardInterrupt, SystemExit
            // and the like leave the callback.
            if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
            if (warn_position_skipped(pos.get()) < 0) return nullptr;
            continue;
        }
        if (PyList_Append(positions.get(), position.get()) < 0) return nullptr;
    }

    ov::object member = event_member(n_QUERY_POSITION);
    if (!member) return nullptr;
    if (emit_event(member.get(), {request_id, positions.get()}, kw_rid_positions) < 0) return nullptr;
    return Py_NewRef(Py_None);
}

}  // namespace tidewell
