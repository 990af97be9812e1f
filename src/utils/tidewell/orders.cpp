// Order and trade reports of the trading broker: on_order keeps the framework's order objects
// (the values of orders_dict) up to date from the SDK's status reports, builds the trade
// records from their fills and queues one event per state change; on_order_action_error
// reports a refused cancellation; on_trade ignores the separate trade report, since fills are
// taken from the status reports alone.
//
// Every step is evaluated in the order the equivalent Python code would evaluate it: a method
// is looked up before its arguments, SDK fields are read afresh at each use, module globals
// are looked up at each use. It matters for which changes remain when a step fails: nothing
// is caught, and an event is appended only after the changes that precede it.
#include "bridge.hpp"
#include "callbacks.hpp"


namespace tidewell {

namespace {

// SDK order report fields
ov::name n_order{"order"};
ov::name n_trade{"trade"};
ov::name n_order_action_error{"order_action_error"};
ov::name n_client_order_id{"client_order_id"};
ov::name n_security_id{"security_id"};
ov::name n_order_price{"order_price"};
ov::name n_order_status{"order_status"};
ov::name n_order_qty{"order_qty"};
ov::name n_trade_qty{"trade_qty"};
ov::name n_total_trade_value{"total_trade_value"};
ov::name n_error_code{"error_code"};
ov::name n_error_msg{"error_msg"};
ov::name n_last_match_qty{"last_match_qty"};
ov::name n_last_match_price{"last_match_price"};
ov::name n_counter_order_id{"counter_order_id"};
ov::name n_frozen_trade_value{"frozen_trade_value"};

// Framework order members
ov::name n_market_code{"market_code"};
ov::name n_order_id{"order_id"};
ov::name n_side{"side"};
ov::name n_position_effect{"position_effect"};
ov::name n_price{"price"};
ov::name n_status{"status"};
ov::name n_filled_quantity{"filled_quantity"};
ov::name n_unfilled_quantity{"unfilled_quantity"};
ov::name n_avg_price{"avg_price"};
ov::name n_secondary_order_id{"secondary_order_id"};
ov::name n_set_frozen_cash{"set_frozen_cash"};
ov::name n_mark_rejected{"mark_rejected"};

// Module globals and their members
ov::name n_get_account{"get_account"};
ov::name n_info{"info"};
ov::name n_deepcopy{"deepcopy"};
ov::name n_from_create{"__from_create__"};
ov::name n_ACTIVE{"ACTIVE"};
ov::name n_PARTIALLY_FILLED{"PARTIALLY_FILLED"};
ov::name n_FILLED{"FILLED"};
ov::name n_CANCELLED{"CANCELLED"};

// SDK order states, in the order the branches test them
ov::name n_UnSend{"UnSend"};
ov::name n_Sended{"Sended"};
ov::name n_PartiallyFilled{"PartiallyFilled"};
ov::name n_Filled{"Filled"};
ov::name n_PartiallyFilledPartiallyCancelled{"PartiallyFilledPartiallyCancelled"};
ov::name n_WaitCancelled{"WaitCancelled"};
ov::name n_PartiallyFilledWaitCancelled{"PartiallyFilledWaitCancelled"};
ov::name n_Cancelled{"Cancelled"};
ov::name n_Reject{"Reject"};

// Events
ov::name n_ORDER_CREATION_PASS{"ORDER_CREATION_PASS"};
ov::name n_TRADE{"TRADE"};
ov::name n_ORDER_CANCELLATION_PASS{"ORDER_CANCELLATION_PASS"};
ov::name n_ORDER_PENDING_CANCEL{"ORDER_PENDING_CANCEL"};
ov::name n_ORDER_UNSOLICITED_UPDATE{"ORDER_UNSOLICITED_UPDATE"};
ov::name n_ORDER_CANCELLATION_REJECT{"ORDER_CANCELLATION_REJECT"};
ov::kwnames kw_order_event{"account", "order"};
ov::kwnames kw_trade_event{"account", "trade", "order"};
ov::kwnames kw_trade_record{"order_id",        "price",       "amount",      "side",
                            "position_effect", "market_code", "frozen_price"};

// Literals of the log line
ov::name l_on_order{"on_order:"};
ov::name l_symbol{", symbol: "};
ov::name l_price{", price:"};
ov::name l_status{", status:"};
ov::name l_order_qty{", order_qty:"};
ov::name l_trade_qty{", trade_qty:"};
ov::name l_total_trade_value{", total_trade_value: "};
ov::name l_error_msg{", error_msg:"};
ov::name l_last_match_qty{", last_match_qty: "};
ov::name l_underscore{"_"};

// record.<attr> > 0
int attr_positive(PyObject* record, PyObject* attr) {
    ov::object v = ov::steal(PyObject_GetAttr(record, attr));
    if (!v) return -1;
    ov::object r = ov::steal(PyObject_RichCompare(v.get(), g_bridge.zero, Py_GT));
    if (!r) return -1;
    return PyObject_IsTrue(r.get());
}

// order.order_status == OrderStatusType.<member>: the report's status and the global are
// both read at the time of the test.
int status_is(PyObject* order, PyObject* member) {
    ov::object st = ov::steal(PyObject_GetAttr(order, n_order_status));
    if (!st) return -1;
    ov::object types = global(globals::OrderStatusType);
    if (!types) return -1;
    ov::object m = class_attr(types.get(), member);
    if (!m) return -1;
    return ov::compare(st.get(), m.get(), Py_EQ);
}

// The first of `members` the report's status equals, tested left to right and stopping at
// the first match (an `or` chain): 1 when one matched, 0 when none, -1 on error.
int status_in(PyObject* order, std::initializer_list<const ov::name*> members) {
    for (const ov::name* m : members) {
        int r = status_is(order, *m);
        if (r != 0) return r;
    }
    return 0;
}

// ORDER_STATUS.<member>
PyObject* order_status_member(PyObject* member) {
    ov::object cls = global(globals::ORDER_STATUS);
    if (!cls) return nullptr;
    return class_attr(cls.get(), member).release();
}

// ov_order.status = ORDER_STATUS.<member>
int set_status(PyObject* ov_order, PyObject* member) {
    ov::object v = ov::steal(order_status_member(member));
    if (!v) return -1;
    return PyObject_SetAttr(ov_order, n_status, v.get());
}

// dst.<dst_attr> = src.<src_attr>
int copy_attr(PyObject* dst, PyObject* dst_attr, PyObject* src, PyObject* src_attr) {
    ov::object v = ov::steal(PyObject_GetAttr(src, src_attr));
    if (!v) return -1;
    return PyObject_SetAttr(dst, dst_attr, v.get());
}

// copy.deepcopy(obj), through the module global `copy`.
PyObject* deep_copy(PyObject* obj) {
    ov::object mod = global(globals::copy);
    if (!mod) return nullptr;
    return ov::vcall_method(mod.get(), n_deepcopy, {obj}).release();
}

// Event(EVENT.<member>, account=account, order=copy.deepcopy(ov_order)) appended to the queue.
int queue_order_event(PyObject* member, PyObject* account, PyObject* ov_order) {
    ov::object ev = event_member(member);
    if (!ev) return -1;
    ov::object snapshot = ov::steal(deep_copy(ov_order));
    if (!snapshot) return -1;
    return emit_event(ev.get(), {account, snapshot.get()}, kw_order_event);
}

// Looks the record's client_order_id up in orders_dict: a membership test, then the item,
// the id read afresh for each. Returns 1 with *out set (new reference), 0 when the id is not
// a key, -1 on error.
int find_order(PyObject* record, PyObject** out) {
    {
        ov::object cid = ov::steal(PyObject_GetAttr(record, n_client_order_id));
        if (!cid) return -1;
        ov::object orders = global(globals::orders_dict);
        if (!orders) return -1;
        int found = PyDict_CheckExact(orders.get()) ? PyDict_Contains(orders.get(), cid.get())
                                                    : PySequence_Contains(orders.get(), cid.get());
        if (found <= 0) return found;
    }
    ov::object orders = global(globals::orders_dict);
    if (!orders) return -1;
    ov::object cid = ov::steal(PyObject_GetAttr(record, n_client_order_id));
    if (!cid) return -1;
    *out = PyObject_GetItem(orders.get(), cid.get());
    return *out != nullptr ? 1 : -1;
}

// Environment.get_instance().get_account(ov_order.market_code)
PyObject* order_account(PyObject* ov_order) {
    ov::object env = environment();
    if (!env) return nullptr;
    ov::object get_account = ov::steal(PyObject_GetAttr(env.get(), n_get_account));
    if (!get_account) return nullptr;
    ov::object code = ov::steal(PyObject_GetAttr(ov_order, n_market_code));
    if (!code) return nullptr;
    return ov::vcall(get_account.get(), {code.get()}).release();
}

// system_log.info(<the report's log line>). Each value in its default text form, read and
// formatted in line order.
int log_report(PyObject* order) {
    ov::object log = global(globals::system_log);
    if (!log) return -1;
    ov::object info = ov::steal(PyObject_GetAttr(log.get(), n_info));
    if (!info) return -1;
    static const ov::name* const literals[9] = {
        &l_on_order,  &l_symbol,    &l_price,             &l_status,        &l_order_qty,
        &l_trade_qty, &l_total_trade_value, &l_error_msg, &l_last_match_qty};
    static const ov::name* const fields[9] = {
        &n_client_order_id, &n_security_id, &n_order_price,       &n_order_status,  &n_order_qty,
        &n_trade_qty,       &n_total_trade_value, &n_error_msg,   &n_last_match_qty};
    ov::object text[9];
    PyObject* parts[18];
    for (int i = 0; i < 9; ++i) {
        ov::object v = ov::steal(PyObject_GetAttr(order, *fields[i]));
        if (!v) return -1;
        text[i] = ov::format_default(v.get());
        if (!text[i]) return -1;
        parts[2 * i] = literals[i]->get();
        parts[2 * i + 1] = text[i].get();
    }
    ov::object line = ov::join_str(parts, 18);
    if (!line) return -1;
    ov::object r = ov::vcall(info.get(), {line.get()});
    return r ? 0 : -1;
}

// A value in text form: a string unchanged, anything else through str().
PyObject* text_form(PyObject* v) {
    if (PyUnicode_Check(v)) return Py_NewRef(v);
    return PyObject_Str(v);
}

// Acceptance report (UnSend, Sended): record the counter's order id and the frozen cash; the
// first report with a positive counter order id while the order is not yet ACTIVE makes it
// ACTIVE and queues ORDER_CREATION_PASS.
int on_accepted(PyObject* order, PyObject* ov_order, PyObject* account) {
    if (copy_attr(ov_order, n_secondary_order_id, order, n_counter_order_id) < 0) return -1;
    if (call_with_attr(ov_order, n_set_frozen_cash, order, n_frozen_trade_value) < 0) return -1;
    {
        ov::object counter = ov::steal(PyObject_GetAttr(order, n_counter_order_id));
        if (!counter) return -1;
        int t = PyObject_IsTrue(counter.get());
        if (t <= 0) return t;
    }
    int positive = attr_positive(order, n_counter_order_id);
    if (positive <= 0) return positive;
    {
        ov::object status = ov::steal(PyObject_GetAttr(ov_order, n_status));
        if (!status) return -1;
        ov::object active = ov::steal(order_status_member(n_ACTIVE));
        if (!active) return -1;
        int changed = ov::compare(status.get(), active.get(), Py_NE);
        if (changed <= 0) return changed;
    }
    if (set_status(ov_order, n_ACTIVE) < 0) return -1;
    return queue_order_event(n_ORDER_CREATION_PASS, account, ov_order);
}

// Trade.__from_create__(order_id=, price=, amount=, side=, position_effect=, market_code=,
// frozen_price=): the price and amount from the report's last match, the rest from the
// framework order, read in call order. New reference.
PyObject* make_trade(PyObject* order, PyObject* ov_order) {
    ov::object cls = global(globals::Trade);
    if (!cls) return nullptr;
    ov::object make = ov::steal(PyObject_GetAttr(cls.get(), n_from_create));
    if (!make) return nullptr;
    struct Source {
        bool from_report;
        const ov::name* attr;
    };
    const Source sources[7] = {{false, &n_order_id},      {true, &n_last_match_price},
                               {true, &n_last_match_qty}, {false, &n_side},
                               {false, &n_position_effect}, {false, &n_market_code},
                               {false, &n_price}};
    ov::object values[7];
    PyObject* argv[8];
    for (int i = 0; i < 7; ++i) {
        values[i] = ov::steal(
            PyObject_GetAttr(sources[i].from_report ? order : ov_order, *sources[i].attr));
        if (!values[i]) return nullptr;
        argv[i + 1] = values[i].get();
    }
    return PyObject_Vectorcall(make.get(), argv + 1, PY_VECTORCALL_ARGUMENTS_OFFSET,
                               kw_trade_record);
}

// The cumulative fill fields of the framework order: avg_price = total_trade_value /
// trade_qty, filled_quantity = trade_qty, unfilled_quantity = order_qty - trade_qty.
int update_fill_fields(PyObject* order, PyObject* ov_order) {
    {
        ov::object value = ov::steal(PyObject_GetAttr(order, n_total_trade_value));
        if (!value) return -1;
        ov::object qty = ov::steal(PyObject_GetAttr(order, n_trade_qty));
        if (!qty) return -1;
        if (ov::set_attr(ov_order, n_avg_price,
                         ov::steal(PyNumber_TrueDivide(value.get(), qty.get()))) < 0)
            return -1;
    }
    if (copy_attr(ov_order, n_filled_quantity, order, n_trade_qty) < 0) return -1;
    ov::object ordered = ov::steal(PyObject_GetAttr(order, n_order_qty));
    if (!ordered) return -1;
    ov::object filled = ov::steal(PyObject_GetAttr(order, n_trade_qty));
    if (!filled) return -1;
    return ov::set_attr(ov_order, n_unfilled_quantity,
                        ov::steal(PyNumber_Subtract(ordered.get(), filled.get())));
}

// FILLED for a Filled report, PARTIALLY_FILLED for a PartiallyFilled one, else unchanged.
int update_fill_status(PyObject* order, PyObject* ov_order) {
    int r = status_is(order, n_Filled);
    if (r != 0) return r < 0 ? -1 : set_status(ov_order, n_FILLED);
    r = status_is(order, n_PartiallyFilled);
    if (r != 0) return r < 0 ? -1 : set_status(ov_order, n_PARTIALLY_FILLED);
    return 0;
}

// Fill step of a fill-branch report with a positive last match: the trade record, the
// cumulative fill fields, the status for PartiallyFilled and Filled, then TRADE.
int on_fill(PyObject* order, PyObject* ov_order, PyObject* account) {
    ov::object trade = ov::steal(make_trade(order, ov_order));
    if (!trade) return -1;
    if (update_fill_fields(order, ov_order) < 0 || update_fill_status(order, ov_order) < 0)
        return -1;
    ov::object ev = event_member(n_TRADE);
    if (!ev) return -1;
    ov::object snapshot = ov::steal(deep_copy(ov_order));
    if (!snapshot) return -1;
    return emit_event(ev.get(), {account, trade.get(), snapshot.get()}, kw_trade_event);
}

// Fill-branch report: the fill step when the last match is positive, then the cancellation
// or pending-cancellation handling of the cancel states.
int on_filled_or_cancelled(PyObject* order, PyObject* ov_order, PyObject* account) {
    int r = attr_positive(order, n_last_match_qty);
    if (r < 0) return -1;
    if (r && on_fill(order, ov_order, account) < 0) return -1;

    r = status_in(order, {&n_PartiallyFilledPartiallyCancelled, &n_Cancelled});
    if (r < 0) return -1;
    if (r) {
        if (set_status(ov_order, n_CANCELLED) < 0) return -1;
        return queue_order_event(n_ORDER_CANCELLATION_PASS, account, ov_order);
    }
    r = status_in(order, {&n_PartiallyFilledWaitCancelled, &n_WaitCancelled});
    if (r <= 0) return r;
    r = attr_positive(ov_order, n_filled_quantity);
    if (r < 0) return -1;
    if (r && set_status(ov_order, n_PARTIALLY_FILLED) < 0) return -1;
    return queue_order_event(n_ORDER_PENDING_CANCEL, account, ov_order);
}

// Reject report: mark_rejected("<error_code>_<error_msg>"), release the frozen cash, then
// ORDER_UNSOLICITED_UPDATE. Both parts of the text go through str() when they are not
// strings already, so a report without a message (None) still marks the order rejected and
// releases its cash instead of failing half-way.
int on_rejected(PyObject* order, PyObject* ov_order, PyObject* account) {
    {
        ov::object mark = ov::steal(PyObject_GetAttr(ov_order, n_mark_rejected));
        if (!mark) return -1;
        ov::object code = ov::steal(PyObject_GetAttr(order, n_error_code));
        if (!code) return -1;
        ov::object code_text = ov::steal(text_form(code.get()));
        if (!code_text) return -1;
        ov::object head = ov::steal(PyNumber_Add(code_text.get(), l_underscore));
        if (!head) return -1;
        ov::object msg = ov::steal(PyObject_GetAttr(order, n_error_msg));
        if (!msg) return -1;
        ov::object msg_text = ov::steal(text_form(msg.get()));
        if (!msg_text) return -1;
        ov::object text = ov::steal(PyNumber_Add(head.get(), msg_text.get()));
        if (!text) return -1;
        ov::object r = ov::vcall(mark.get(), {text.get()});
        if (!r) return -1;
    }
    if (call_with_attr(ov_order, n_set_frozen_cash, order, n_frozen_trade_value) < 0) return -1;
    return queue_order_event(n_ORDER_UNSOLICITED_UPDATE, account, ov_order);
}

int handle_order(PyObject* order) {
    if (log_report(order) < 0) return -1;
    ov::object ov_order;
    {
        PyObject* found = nullptr;
        int r = find_order(order, &found);
        if (r <= 0) return r;
        ov_order = ov::steal(found);
    }
    ov::object account = ov::steal(order_account(ov_order.get()));
    if (!account) return -1;

    int r = status_in(order, {&n_UnSend, &n_Sended});
    if (r < 0) return -1;
    if (r) return on_accepted(order, ov_order.get(), account.get());

    r = status_in(order, {&n_PartiallyFilled, &n_Filled, &n_PartiallyFilledPartiallyCancelled,
                          &n_WaitCancelled, &n_PartiallyFilledWaitCancelled, &n_Cancelled});
    if (r < 0) return -1;
    if (r) return on_filled_or_cancelled(order, ov_order.get(), account.get());

    r = status_is(order, n_Reject);
    if (r <= 0) return r;
    return on_rejected(order, ov_order.get(), account.get());
}

}  // namespace

TIDEWELL_METHOD(on_order) {
    (void)self;
    PyObject* order;
    if (ov::parse_args(ov::callable::method, "VornStrategy.on_order", args, nargs, kwnames, {&n_order}, 1, &order) < 0)
        return nullptr;
    if (handle_order(order) < 0) return nullptr;
    return Py_NewRef(Py_None);
}

// The separate trade report carries nothing the bridge uses: fills come from on_order.
TIDEWELL_METHOD(on_trade) {
    (void)self;
    PyObject* trade;
    if (ov::parse_args(ov::callable::method, "VornStrategy.on_trade", args, nargs, kwnames, {&n_trade}, 1, &trade) < 0)
        return nullptr;
    return Py_NewRef(Py_None);
}

// A refused order action, reported as a refused cancellation of a known order; the order
// itself is left as it is.
TIDEWELL_METHOD(on_order_action_error) {
    (void)self;
    PyObject* error;
    if (ov::parse_args(ov::callable::method, "VornStrategy.on_order_action_error", args, nargs, kwnames,
                       {&n_order_action_error}, 1, &error) < 0)
        return nullptr;
    PyObject* found = nullptr;
    int r = find_order(error, &found);
    if (r < 0) return nullptr;
    if (r == 0) return Py_NewRef(Py_None);
    ov::object ov_order = ov::steal(found);
    ov::object account = ov::steal(order_account(ov_order.get()));
    if (!account) return nullptr;
    if (queue_order_event(n_ORDER_CANCELLATION_REJECT, account.get(), ov_order.get()) < 0)
        return nullptr;
    return Py_NewRef(Py_None);
}

}  // namespace tidewell
