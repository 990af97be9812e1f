// Market-data callbacks: snapshots, level-2 orders and transactions, and bars. Each reads the
// SDK record's fields, converts code, time and sides with the framework's converters, updates
// its cache (snapshots and bars) and appends one event to event_queue. Nothing is caught: a
// failing step leaves the callback with what was done before it left in place (a snapshot is
// cached before its instrument is looked up; a bar is cached and counted before the universe
// is fetched).
#include <climits>

#include "bridge.hpp"
#include "callbacks.hpp"

namespace tidewell {

namespace {

// Module globals and attribute names (interned at module initialisation).
ov::name n_append{"append"};
ov::name n_data_proxy{"data_proxy"};
ov::name n_instruments{"instruments"};
ov::name n_get_universe{"get_universe"};
ov::name n_from_create{"__from_create__"};
ov::name n_BUY{"BUY"};
ov::name n_SELL{"SELL"};
ov::name n_TICK{"TICK"};
ov::name n_L2_ORDER{"L2_ORDER"};
ov::name n_L2_TRANSACTION{"L2_TRANSACTION"};
ov::name n_BAR{"BAR"};
ov::name n_current_trade_dt{"current_trade_dt"};
ov::name n_bar_cnt{"bar_cnt"};

// Parameter names (callers may pass the record by keyword).
ov::name n_snapshot{"snapshot"};
ov::name n_tick_order{"tick_order"};
ov::name n_tick_trade{"tick_trade"};
ov::name n_bar{"bar"};

// SDK record fields.
ov::name n_market_type{"market_type"};
ov::name n_orig_time{"orig_time"};
ov::name n_order_time{"order_time"};
ov::name n_trade_time{"trade_time"};
ov::name n_end_time{"end_time"};
ov::name n_side{"side"};
ov::name n_biz_index{"biz_index"};
ov::name n_order_price{"order_price"};
ov::name n_order_volume{"order_volume"};
ov::name n_order_type{"order_type"};
ov::name n_orig_order_no{"orig_order_no"};
ov::name n_trade_price{"trade_price"};
ov::name n_trade_volume{"trade_volume"};
ov::name n_value_trade{"value_trade"};
ov::name n_trade_type{"trade_type"};
ov::name n_bid_appl_seq_num{"bid_appl_seq_num"};
ov::name n_offer_appl_seq_num{"offer_appl_seq_num"};

// Event shapes: calendar_dt and trading_dt first, then the payload.
ov::kwnames kw_tick{"calendar_dt", "trading_dt", "tick"};
ov::kwnames kw_l2_order{"calendar_dt", "trading_dt", "l2_order"};
ov::kwnames kw_l2_transaction{"calendar_dt", "trading_dt", "l2_transaction"};
ov::kwnames kw_bar{"calendar_dt", "trading_dt"};
ov::kwnames kw_maxlen{"maxlen"};

// One key of a record dictionary and the SDK attribute its value is read from, with the
// position at which the SDK record's dict last held that attribute (see attr_at).
struct Field {
    ov::name key;
    ov::name attr;
    Py_ssize_t hint = 0;
};

// The tick dictionary after "market_code" and "datetime", in insertion order; the
// attributes are read in this order too.
Field tick_fields[] = {
    {ov::name{"open_price"}, ov::name{"open_price"}},
    {ov::name{"close_price"}, ov::name{"close_price"}},
    {ov::name{"high_price"}, ov::name{"high_price"}},
    {ov::name{"low_price"}, ov::name{"low_price"}},
    {ov::name{"total_turnover"}, ov::name{"total_value_trade"}},
    {ov::name{"volume"}, ov::name{"total_volume_trade"}},
    {ov::name{"prev_close"}, ov::name{"pre_close_price"}},
    {ov::name{"ask_vols"}, ov::name{"ask_volume"}},
    {ov::name{"asks"}, ov::name{"ask_price"}},
    {ov::name{"bid_vols"}, ov::name{"bid_volume"}},
    {ov::name{"bids"}, ov::name{"bid_price"}},
    {ov::name{"high_limited"}, ov::name{"high_limited"}},
    {ov::name{"last_price"}, ov::name{"last_price"}},
    {ov::name{"low_limited"}, ov::name{"low_limited"}},
    {ov::name{"open_interest"}, ov::name{"open_interest"}},
    {ov::name{"prev_settlement"}, ov::name{"prev_settlement"}},
    {ov::name{"iopv"}, ov::name{"iopv"}},
    {ov::name{"trading_phase_code"}, ov::name{"trading_phase_code"}},
};

// The bar dictionary after "market_code" and "orig_time".
Field bar_fields[] = {
    {ov::name{"open_price"}, ov::name{"open"}},
    {ov::name{"close_price"}, ov::name{"close"}},
    {ov::name{"high_price"}, ov::name{"high"}},
    {ov::name{"low_price"}, ov::name{"low"}},
    {ov::name{"total_turnover"}, ov::name{"amount"}},
    {ov::name{"volume"}, ov::name{"volume"}},
    {ov::name{"prev_close"}, ov::name{"prev_close"}},
};

ov::name k_market_code{"market_code"};
ov::name k_orig_time{"orig_time"};

// Inserts the keys of a record dictionary, in order: two leading keys, then the fields' keys.
template <size_t N>
auto record_keys(PyObject* first, PyObject* second, Field (&fields)[N]) {
    return [first, second, &fields](PyObject* d) {
        if (PyDict_SetItem(d, first, Py_None) < 0 || PyDict_SetItem(d, second, Py_None) < 0)
            return -1;
        for (Field& f : fields)
            if (PyDict_SetItem(d, f.key, Py_None) < 0) return -1;
        return 0;
    };
}


// Copies record.<attr> into dict[key] for each field, in order. `dict` is a fresh dict that
// already holds every key, so storing a value allocates nothing and runs no Python code; the
// record's own dict, once found, therefore serves every read until one takes the generic
// look-up (attr_in).
template <size_t N>
int fill_fields(PyObject* dict, PyObject* record, Field (&fields)[N]) {
    ov::object source = ov::borrow(record_dict(record));
    for (Field& f : fields) {
        ov::object v;
        if (source) {
            bool generic = false;
            v = ov::steal(attr_in(record, source.get(), f.attr, f.hint, &generic));
            if (generic) source = ov::borrow(record_dict(record));
        } else {
            v = ov::steal(attr_at(record, f.attr, f.hint));
        }
        if (!v) return -1;
        if (PyDict_SetItem(dict, f.key, v.get()) < 0) return -1;
    }
    return 0;
}

[[gnu::cold, gnu::noinline]] PyObject* chr_overflow() {
    PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C int");
    return nullptr;
}

// chr(code) with the builtin's semantics: any object with __index__, a C int range check
// (OverflowError), then the code-point range check (ValueError). The SDK delivers its side
// and type fields as integer character codes.
PyObject* char_of(PyObject* code) {
    ov::object index;
    if (!PyLong_CheckExact(code)) {
        index = ov::steal(PyNumber_Index(code));
        if (!index) return nullptr;
        code = index.get();
    }
    int overflow = 0;
    long v = PyLong_AsLongAndOverflow(code, &overflow);
    if (v == -1 && PyErr_Occurred()) return nullptr;
    if (overflow != 0 || v > INT_MAX || v < INT_MIN) return chr_overflow();
    return PyUnicode_FromOrdinal(static_cast<int>(v));
}

// converter(chr(record.<char_attr>)[, record.<market_attr>]), evaluated left to right as
// Python would: the converter is looked up first. hints: the read positions of the two fields
// at the caller's place (see attr_at).
PyObject* convert_char(PyObject* record, const ov::name& converter_name, PyObject* char_attr,
                       PyObject* market_attr, Py_ssize_t (&hints)[2]) {
    ov::object conv = global(converter_name);
    if (!conv) return nullptr;
    ov::object raw = ov::steal(attr_at(record, char_attr, hints[0]));
    if (!raw) return nullptr;
    ov::object ch = ov::steal(char_of(raw.get()));
    if (!ch) return nullptr;
    if (market_attr == nullptr) return ov::vcall(conv.get(), {ch.get()}).release();
    ov::object market = ov::steal(attr_at(record, market_attr, hints[1]));
    if (!market) return nullptr;
    return ov::vcall(conv.get(), {ch.get(), market.get()}).release();
}

// cache[code].append(entry), first storing make_queue() under code when code is absent.
// Each use of the cache reads the module global again, as the module's Python code would.
template <typename MakeQueue>
int cache_append(const ov::name& cache_name, PyObject* code, PyObject* entry, MakeQueue make_queue) {
    ov::object cache = global(cache_name);
    if (!cache) return -1;
    if (PyDict_CheckExact(cache.get())) {
        // The usual case, a code already seen: one lookup gives what the membership test and
        // the subscript would both find, as nothing can run between them.
        PyObject* queue = PyDict_GetItemWithError(cache.get(), code);  // borrowed
        if (queue != nullptr) {
            ov::object q = ov::borrow(queue);
            ov::object r = ov::vcall_method(q.get(), n_append, {entry});
            return r ? 0 : -1;
        }
        if (PyErr_Occurred()) return -1;
    }
    int present = PySequence_Contains(cache.get(), code);
    if (present < 0) return -1;
    if (present == 0) {
        ov::object queue = ov::steal(make_queue());
        if (!queue) return -1;
        cache = global(cache_name);
        if (!cache) return -1;
        if (PyObject_SetItem(cache.get(), code, queue.get()) < 0) return -1;
    }
    cache = global(cache_name);
    if (!cache) return -1;
    ov::object queue = ov::steal(PyObject_GetItem(cache.get(), code));
    if (!queue) return -1;
    ov::object r = ov::vcall_method(queue.get(), n_append, {entry});
    return r ? 0 : -1;
}

// The bar time of one on_bar call, computed at each place the callback reads it. An exact int
// divided by 1000 gives one float value; so when end_time reads as the very int object of an
// earlier read, that read's quotient (equal, and immutable) is given again instead of dividing
// anew. Holding the int keeps the identity test sound.
struct BarTime {
    ov::object time;
    ov::object quotient;
};

// record.end_time / 1000: the bar time, a float that keeps the milliseconds as a fraction.
// `hint`: the read position of end_time at the caller's place (see attr_at).
PyObject* bar_time(PyObject* bar, Py_ssize_t& hint, BarTime& seen) {
    ov::object t = ov::steal(attr_at(bar, n_end_time, hint));
    if (!t) return nullptr;
    if (t.get() == seen.time.get() && PyLong_CheckExact(t.get()))
        return Py_NewRef(seen.quotient.get());
    PyObject* q = PyNumber_TrueDivide(t.get(), g_bridge.thousand);
    if (q != nullptr && PyLong_CheckExact(t.get()) && PyLong_CheckExact(g_bridge.thousand)) {
        seen.time = std::move(t);
        seen.quotient = ov::borrow(q);
    }
    return q;
}

// Emits Event(EVENT.<member>, calendar_dt=dt, trading_dt=dt, <payload>=record).
int emit_l2_event(PyObject* member_name, PyObject* dt, PyObject* record, PyObject* kw) {
    ov::object member = event_member(member_name);
    if (!member) return -1;
    return emit_event(member.get(), {dt, dt, record}, kw);
}

}  // namespace

TIDEWELL_METHOD(on_snapshot) {
    (void)self;
    PyObject* snapshot;
    if (ov::parse_args(ov::callable::method, "VornStrategy.on_snapshot", args, nargs, kwnames, {&n_snapshot}, 1,
                       &snapshot) < 0)
        return nullptr;

    // Read positions of the fields read here (see attr_at): time, then security and market.
    static Py_ssize_t time_hint, code_hints[2];
    ov::object dt = sdk_time(snapshot, n_orig_time, &time_hint);
    if (!dt) return nullptr;
    ov::object code = market_code(snapshot, n_market_type, code_hints);
    if (!code) return nullptr;

    ov::object tick = ov::steal(g_bridge.tick_shape.make(record_keys(k_market_code, globals::datetime, tick_fields)));
    if (!tick) return nullptr;
    if (PyDict_SetItem(tick.get(), k_market_code, code.get()) < 0) return nullptr;
    if (PyDict_SetItem(tick.get(), globals::datetime, dt.get()) < 0) return nullptr;
    if (fill_fields(tick.get(), snapshot, tick_fields) < 0) return nullptr;

    // A code's queue keeps its 60 latest ticks: deque(maxlen=60).
    auto bounded_queue = [] {
        ov::object deque_cls = global(globals::deque);
        if (!deque_cls) return static_cast<PyObject*>(nullptr);
        ov::object maxlen = ov::steal(PyLong_FromLong(60));
        if (!maxlen) return static_cast<PyObject*>(nullptr);
        return ov::vcall(deque_cls.get(), {maxlen.get()}, kw_maxlen).release();
    };
    if (cache_append(globals::history_tick, code.get(), tick.get(), bounded_queue) < 0) return nullptr;

    // The cached dictionary itself (not a copy) goes into the TickObject.
    ov::object member = event_member(n_TICK);
    if (!member) return nullptr;
    ov::object env = environment();
    if (!env) return nullptr;
    ov::object proxy = ov::steal(PyObject_GetAttr(env.get(), n_data_proxy));
    if (!proxy) return nullptr;
    ov::object instrument = ov::vcall_method(proxy.get(), n_instruments, {code.get()});
    if (!instrument) return nullptr;
    ov::object tick_cls = global(globals::TickObject);
    if (!tick_cls) return nullptr;
    ov::object tick_obj = ov::vcall(tick_cls.get(), {instrument.get(), tick.get()});
    if (!tick_obj) return nullptr;
    if (emit_event(member.get(), {dt.get(), dt.get(), tick_obj.get()}, kw_tick) < 0) return nullptr;
    return Py_NewRef(Py_None);
}

TIDEWELL_METHOD(on_tick_order) {
    (void)self;
    PyObject* order;
    if (ov::parse_args(ov::callable::method, "VornStrategy.on_tick_order", args, nargs, kwnames, {&n_tick_order}, 1,
                       &order) < 0)
        return nullptr;

    // Read positions of the fields read here, one per place (see attr_at).
    static Py_ssize_t time_hint, code_hints[2], side_hints[2], field_hints[3], type_hints[2],
        orig_hint, l2_type_hints[2];
    ov::object dt = sdk_time(order, n_order_time, &time_hint);
    if (!dt) return nullptr;
    ov::object code = market_code(order, n_market_type, code_hints);
    if (!code) return nullptr;
    ov::object side = ov::steal(convert_char(order, globals::get_side_from_vorn_l2_order, n_side,
                                             n_market_type, side_hints));
    if (!side) return nullptr;

    // L2Order.__from_create__(biz_index, code, dt, side, price, volume, order type,
    // original order number, level-2 order type), arguments evaluated in that order.
    ov::object cls = global(globals::L2Order);
    if (!cls) return nullptr;
    ov::object create = ov::steal(PyObject_GetAttr(cls.get(), n_from_create));
    if (!create) return nullptr;
    ov::object f[3];  // biz_index, price, volume
    if (read_attrs(order, {&n_biz_index, &n_order_price, &n_order_volume}, f, field_hints) < 0)
        return nullptr;
    ov::object order_type = ov::steal(convert_char(
        order, globals::get_order_type_from_vorn_l2_order, n_order_type, n_market_type, type_hints));
    if (!order_type) return nullptr;
    ov::object orig_no = ov::steal(attr_at(order, n_orig_order_no, orig_hint));
    if (!orig_no) return nullptr;
    ov::object l2_type = ov::steal(convert_char(order, globals::get_l2order_type_from_vorn,
                                                n_order_type, n_market_type, l2_type_hints));
    if (!l2_type) return nullptr;
    ov::object record = ov::vcall(
        create.get(), {f[0].get(), code.get(), dt.get(), side.get(), f[1].get(), f[2].get(),
                       order_type.get(), orig_no.get(), l2_type.get()});
    if (!record) return nullptr;

    if (emit_l2_event(n_L2_ORDER, dt.get(), record.get(), kw_l2_order) < 0) return nullptr;
    return Py_NewRef(Py_None);
}

TIDEWELL_METHOD(on_tick_trade) {
    (void)self;
    PyObject* trade;
    if (ov::parse_args(ov::callable::method, "VornStrategy.on_tick_trade", args, nargs, kwnames, {&n_tick_trade}, 1,
                       &trade) < 0)
        return nullptr;

    // Read positions of the fields read here, one per place (see attr_at).
    static Py_ssize_t time_hint, code_hints[2], side_hints[2], field_hints[4], type_hints[2],
        seq_hints[2];
    ov::object dt = sdk_time(trade, n_trade_time, &time_hint);
    if (!dt) return nullptr;
    ov::object code = market_code(trade, n_market_type, code_hints);
    if (!code) return nullptr;

    // The buyer's sequence number strictly above the seller's marks a buy; otherwise,
    // equal numbers included, a sell.
    ov::object side;
    {
        ov::object seq[2];  // bid, offer
        if (read_attrs(trade, {&n_bid_appl_seq_num, &n_offer_appl_seq_num}, seq, side_hints) < 0)
            return nullptr;
        const int is_buy = ov::compare(seq[0].get(), seq[1].get(), Py_GT);
        if (is_buy < 0) return nullptr;
        ov::object side_enum = global(globals::SIDE);
        if (!side_enum) return nullptr;
        side = class_attr(side_enum.get(), is_buy ? n_BUY : n_SELL);
        if (!side) return nullptr;
    }

    // L2Transaction.__from_create__(biz_index, code, dt, side, price, volume, value, trade
    // type, bid sequence number, offer sequence number), arguments evaluated in that order.
    ov::object cls = global(globals::L2Transaction);
    if (!cls) return nullptr;
    ov::object create = ov::steal(PyObject_GetAttr(cls.get(), n_from_create));
    if (!create) return nullptr;
    ov::object f[4];  // biz_index, price, volume, value
    if (read_attrs(trade, {&n_biz_index, &n_trade_price, &n_trade_volume, &n_value_trade}, f,
                   field_hints) < 0)
        return nullptr;
    ov::object trade_type = ov::steal(
        convert_char(trade, globals::get_trade_type_from_vorn, n_trade_type, nullptr, type_hints));
    if (!trade_type) return nullptr;
    ov::object seq[2];  // bid, offer
    if (read_attrs(trade, {&n_bid_appl_seq_num, &n_offer_appl_seq_num}, seq, seq_hints) < 0)
        return nullptr;
    ov::object record = ov::vcall(
        create.get(), {f[0].get(), code.get(), dt.get(), side.get(), f[1].get(), f[2].get(),
                       f[3].get(), trade_type.get(), seq[0].get(), seq[1].get()});
    if (!record) return nullptr;

    if (emit_l2_event(n_L2_TRANSACTION, dt.get(), record.get(), kw_l2_transaction) < 0)
        return nullptr;
    return Py_NewRef(Py_None);
}

namespace {

// history_bar[code].append(<bar dictionary>): the code, the bar time (through the time
// converter), then the bar's fields; a code's first bar creates its unbounded deque.
int cache_bar(PyObject* bar, BarTime& seen) {
    static Py_ssize_t code_hints[2], time_hint;  // read positions (see attr_at)
    ov::object code = market_code(bar, n_market_type, code_hints);
    if (!code) return -1;
    ov::object entry = ov::steal(g_bridge.bar_shape.make(record_keys(k_market_code, k_orig_time, bar_fields)));
    if (!entry) return -1;
    if (PyDict_SetItem(entry.get(), k_market_code, code.get()) < 0) return -1;
    // convert_int_to_datetime(bar.end_time / 1000): the converter is looked up first.
    ov::object conv = global(globals::convert_int_to_datetime);
    if (!conv) return -1;
    ov::object t = ov::steal(bar_time(bar, time_hint, seen));
    if (!t) return -1;
    if (ov::set_item(entry.get(), k_orig_time, ov::vcall(conv.get(), {t.get()})) < 0) return -1;
    if (fill_fields(entry.get(), bar, bar_fields) < 0) return -1;
    auto unbounded_queue = [] {
        ov::object deque_cls = global(globals::deque);
        if (!deque_cls) return static_cast<PyObject*>(nullptr);
        return ov::vcall(deque_cls.get(), {}).release();
    };
    return cache_append(globals::history_bar, code.get(), entry.get(), unbounded_queue);
}

// Counts the bars of the current bar time. The first bar after construction (bar time 0)
// counts; a bar of another time restarts the count at 1. Either way its time becomes current.
// The bar time is compared only when the current one is not 0.
int count_bar(PyObject* self, PyObject* bar, BarTime& seen) {
    static Py_ssize_t compared_hint, stored_hint;  // read positions of end_time (see attr_at)
    ov::object current = ov::steal(PyObject_GetAttr(self, n_current_trade_dt));
    if (!current) return -1;
    int same = ov::compare(current.get(), g_bridge.zero, Py_EQ);
    if (same < 0) return -1;
    if (!same) {
        current = ov::steal(PyObject_GetAttr(self, n_current_trade_dt));
        if (!current) return -1;
        ov::object t = ov::steal(bar_time(bar, compared_hint, seen));
        if (!t) return -1;
        same = ov::compare(current.get(), t.get(), Py_EQ);
        if (same < 0) return -1;
    }
    ov::object one = ov::steal(PyLong_FromLong(1));
    if (!one) return -1;
    if (same) {
        ov::object cnt = ov::steal(PyObject_GetAttr(self, n_bar_cnt));
        if (!cnt) return -1;
        if (ov::set_attr(self, n_bar_cnt, ov::steal(PyNumber_InPlaceAdd(cnt.get(), one.get()))) < 0)
            return -1;
    } else if (PyObject_SetAttr(self, n_bar_cnt, one.get()) < 0) {
        return -1;
    }
    return ov::set_attr(self, n_current_trade_dt, ov::steal(bar_time(bar, stored_hint, seen)));
}

// Whether the count has reached the universe's size, fetched anew for every bar.
int universe_complete(PyObject* self) {
    ov::object cnt = ov::steal(PyObject_GetAttr(self, n_bar_cnt));
    if (!cnt) return -1;
    ov::object env = environment();
    if (!env) return -1;
    ov::object universe = ov::vcall_method(env.get(), n_get_universe, {});
    if (!universe) return -1;
    Py_ssize_t n = PyObject_Length(universe.get());
    if (n < 0) return -1;
    ov::object size = ov::steal(PyLong_FromSsize_t(n));
    if (!size) return -1;
    return ov::compare(cnt.get(), size.get(), Py_EQ);
}

// One BAR event for the bar time, dated by its whole date (the time's integer part); the
// count starts again.
int emit_bar(PyObject* self) {
    ov::object conv = global(globals::convert_int_to_whole_date);
    if (!conv) return -1;
    ov::object current = ov::steal(PyObject_GetAttr(self, n_current_trade_dt));
    if (!current) return -1;
    ov::object whole = ov::steal(PyNumber_Long(current.get()));
    if (!whole) return -1;
    ov::object d = ov::vcall(conv.get(), {whole.get()});
    if (!d) return -1;
    ov::object member = event_member(n_BAR);
    if (!member) return -1;
    if (emit_event(member.get(), {d.get(), d.get()}, kw_bar) < 0) return -1;
    return PyObject_SetAttr(self, n_bar_cnt, g_bridge.zero);
}

}  // namespace

TIDEWELL_METHOD(on_bar) {
    PyObject* bar;
    if (ov::parse_args(ov::callable::method, "VornStrategy.on_bar", args, nargs, kwnames,
                       {&n_bar}, 1, &bar) < 0)
        return nullptr;
    BarTime seen;
    if (cache_bar(bar, seen) < 0 || count_bar(self, bar, seen) < 0) return nullptr;
    const int complete = universe_complete(self);
    if (complete < 0) return nullptr;
    if (complete && emit_bar(self) < 0) return nullptr;
    return Py_NewRef(Py_None);
}

}  // namespace tidewell
