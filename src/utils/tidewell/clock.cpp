// The trading-day clock: turns the local wall clock into the before-trading (09:00),
// open-auction (09:24) and after-trading (15:30) events through one-off SDK timers, and
// re-arms itself every day at 08:00 of the next calendar day.
//
// The clock owns no state: its state is the set of timers registered with the SDK. Time is
// read through the module globals datetime, time, timedelta and np at each use, so a
// replaced global (a frozen clock in tests, the replay tool's virtual clock) drives it.
// Intervals are computed exactly as int(td.total_seconds() * 1000000000) would compute them,
// on Python objects, so they match the interpreter's result bit for bit.
#include "bridge.hpp"
#include "callbacks.hpp"

namespace tidewell {

namespace {

ov::name n_datetime64{"datetime64"};
ov::name n_now{"now"};
ov::name n_date{"date"};
ov::name n_combine{"combine"};
ov::name n_replace{"replace"};
ov::name n_total_seconds{"total_seconds"};
ov::name n_text_today{"today"};
ov::name n_text_D{"D"};
ov::name n_text_not_trade_day{" not trade day... "};

ov::name n_config{"config"};
ov::name n_base{"base"};
ov::name n_trading_calendar{"trading_calendar"};
ov::name n_context{"context"};
ov::name n_add_timer_interval{"add_timer_interval"};
ov::name n_create_time_listener{"create_time_listener"};
ov::name n_set_timer{"set_timer"};
ov::name n_send_day_event{"send_day_event"};
ov::name n_send_before_trading_event{"send_before_trading_event"};
ov::name n_send_open_auction_event{"send_open_auction_event"};
ov::name n_send_after_trading_event{"send_after_trading_event"};
ov::name n_BEFORE_TRADING{"BEFORE_TRADING"};
ov::name n_OPEN_AUCTION{"OPEN_AUCTION"};
ov::name n_AFTER_TRADING{"AFTER_TRADING"};
ov::name n_clear{"clear"};
ov::name n_event_type{"event_type"};
ov::name n_dt{"dt"};

ov::kwnames kw_day_event{"calendar_dt", "trading_dt"};
ov::kwnames kw_replace_8am{"hour", "minute", "second", "microsecond"};
ov::kwnames kw_days{"days"};

// Fixed intervals, in nanoseconds, for a threshold that has already passed.
constexpr long long before_trading_late_ns = 3000000000LL;  // 3 s
constexpr long long after_trading_late_ns = 20000000000LL;  // 20 s

// datetime.now(), the global looked up now.
PyObject* wall_clock_now() {
    ov::object cls = global(globals::datetime);
    if (!cls) return nullptr;
    return ov::vcall_method(cls.get(), n_now, {}).release();
}

// time(hour, minute, 0), a fresh value of the global time class.
PyObject* time_of_day(long hour, long minute) {
    ov::object cls = global(globals::time);
    if (!cls) return nullptr;
    ov::object h = ov::steal(PyLong_FromLong(hour));
    if (!h) return nullptr;
    ov::object m = ov::steal(PyLong_FromLong(minute));
    if (!m) return nullptr;
    return ov::vcall(cls.get(), {h.get(), m.get(), g_bridge.zero}).release();
}

// int(td.total_seconds() * 1000000000): float seconds times an int, truncated toward zero.
PyObject* interval_ns(PyObject* td) {
    ov::object secs = ov::vcall_method(td, n_total_seconds, {});
    if (!secs) return nullptr;
    ov::object ns = ov::steal(PyNumber_Multiply(secs.get(), g_bridge.billion));
    if (!ns) return nullptr;
    return PyNumber_Long(ns.get());
}

// self.context.add_timer_interval(<interval>, self.<callback>): the callee first, then the
// interval (made by `make_interval`), then the bound method, as the call expression would.
template <class MakeInterval>
int add_timer(PyObject* self, MakeInterval make_interval, PyObject* callback_name) {
    ov::object ctx = ov::steal(PyObject_GetAttr(self, n_context));
    if (!ctx) return -1;
    ov::object add = ov::steal(PyObject_GetAttr(ctx.get(), n_add_timer_interval));
    if (!add) return -1;
    ov::object interval = ov::steal(make_interval());
    if (!interval) return -1;
    ov::object callback = ov::steal(PyObject_GetAttr(self, callback_name));
    if (!callback) return -1;
    ov::object r = ov::vcall(add.get(), {interval.get(), callback.get()});
    return r ? 0 : -1;
}

// One timer of the day: when now's time of day is earlier than `threshold` (hour:minute),
// fire at today's `fire_hour`:`fire_minute` (the interval may be zero or negative and is
// passed unchanged); otherwise fire after `late_ns`, or not at all when late_ns is 0.
int arm_day_timer(PyObject* self, PyObject* now, PyObject* current_time, long threshold_hour,
                  long threshold_minute, long fire_hour, long fire_minute, long long late_ns,
                  PyObject* callback_name) {
    ov::object threshold = ov::steal(time_of_day(threshold_hour, threshold_minute));
    if (!threshold) return -1;
    int early = PyObject_RichCompareBool(current_time, threshold.get(), Py_LT);
    if (early < 0) return -1;
    if (early) {
        // dt = datetime.combine(now.date(), time(fire_hour, fire_minute, 0))
        ov::object cls = global(globals::datetime);
        if (!cls) return -1;
        ov::object combine = ov::steal(PyObject_GetAttr(cls.get(), n_combine));
        if (!combine) return -1;
        ov::object day = ov::vcall_method(now, n_date, {});
        if (!day) return -1;
        ov::object fire_time = ov::steal(time_of_day(fire_hour, fire_minute));
        if (!fire_time) return -1;
        ov::object dt = ov::vcall(combine.get(), {day.get(), fire_time.get()});
        if (!dt) return -1;
        return add_timer(
            self,
            [&]() -> PyObject* {
                ov::object td = ov::steal(PyNumber_Subtract(dt.get(), now));
                if (!td) return nullptr;
                return interval_ns(td.get());
            },
            callback_name);
    }
    if (late_ns == 0) return 0;
    return add_timer(self, [&]() { return PyLong_FromLongLong(late_ns); }, callback_name);
}

// self.send_day_event(EVENT.<member>, datetime.now())
int send_now(PyObject* self, PyObject* member_name) {
    ov::object send = ov::steal(PyObject_GetAttr(self, n_send_day_event));
    if (!send) return -1;
    ov::object member = event_member(member_name);
    if (!member) return -1;
    ov::object now = ov::steal(wall_clock_now());
    if (!now) return -1;
    ov::object r = ov::vcall(send.get(), {member.get(), now.get()});
    return r ? 0 : -1;
}

int no_arguments(const char* fname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* none[1];
    return ov::parse_args(ov::callable::method, fname, args, nargs, kwnames, {}, 0, none);
}

}  // namespace

TIDEWELL_METHOD(create_time_listener) {
    if (no_arguments("VornStrategy.create_time_listener", args, nargs, kwnames) < 0)
        return nullptr;

    // Today as a day-resolution numpy date, looked up in the configured calendar.
    ov::object current_date;
    {
        ov::object np = global(globals::np);
        if (!np) return nullptr;
        ov::object dt64 = ov::steal(PyObject_GetAttr(np.get(), n_datetime64));
        if (!dt64) return nullptr;
        current_date = ov::vcall(dt64.get(), {n_text_today.get(), n_text_D.get()});
        if (!current_date) return nullptr;
    }
    {
        ov::object config = ov::steal(PyObject_GetAttr(self, n_config));
        if (!config) return nullptr;
        ov::object base = ov::steal(PyObject_GetAttr(config.get(), n_base));
        if (!base) return nullptr;
        ov::object calendar = ov::steal(PyObject_GetAttr(base.get(), n_trading_calendar));
        if (!calendar) return nullptr;
        int trading_day = PySequence_Contains(calendar.get(), current_date.get());
        if (trading_day < 0) return nullptr;
        if (!trading_day) {
            ov::object day_text = ov::steal(PyObject_Str(current_date.get()));
            if (!day_text) return nullptr;
            ov::object calendar_text = ov::steal(PyObject_Str(calendar.get()));
            if (!calendar_text) return nullptr;
            ov::object line = ov::join_str({day_text.get(), n_text_not_trade_day.get(), calendar_text.get()});
            if (!line) return nullptr;
            if (log_info(line.get()) < 0) return nullptr;
            return Py_NewRef(Py_None);
        }
    }

    // One reading of the clock serves all three timers.
    ov::object now = ov::steal(wall_clock_now());
    if (!now) return nullptr;
    ov::object current_time = ov::vcall_method(now.get(), globals::time, {});
    if (!current_time) return nullptr;

    if (arm_day_timer(self, now.get(), current_time.get(), 9, 0, 9, 0, before_trading_late_ns,
                      n_send_before_trading_event) < 0)
        return nullptr;
    // No open-auction timer once 09:27 has passed.
    if (arm_day_timer(self, now.get(), current_time.get(), 9, 27, 9, 24, 0,
                      n_send_open_auction_event) < 0)
        return nullptr;
    if (arm_day_timer(self, now.get(), current_time.get(), 15, 30, 15, 30, after_trading_late_ns,
                      n_send_after_trading_event) < 0)
        return nullptr;
    return Py_NewRef(Py_None);
}

TIDEWELL_METHOD(send_day_event) {
    PyObject* a[2];
    if (ov::parse_args(ov::callable::method, "VornStrategy.send_day_event", args, nargs, kwnames,
                       {&n_event_type, &n_dt}, 2, a) < 0)
        return nullptr;
    (void)self;
    // calendar_dt and trading_dt are the same object.
    if (emit_event(a[0], {a[1], a[1]}, kw_day_event) < 0) return nullptr;
    return Py_NewRef(Py_None);
}

TIDEWELL_METHOD(send_before_trading_event) {
    if (no_arguments("VornStrategy.send_before_trading_event", args, nargs, kwnames) < 0)
        return nullptr;
    if (send_now(self, n_BEFORE_TRADING) < 0) return nullptr;
    return Py_NewRef(Py_None);
}

TIDEWELL_METHOD(send_after_trading_event) {
    if (no_arguments("VornStrategy.send_after_trading_event", args, nargs, kwnames) < 0)
        return nullptr;
    if (send_now(self, n_AFTER_TRADING) < 0) return nullptr;
    // The day's open orders are done with once the after-trading event is queued.
    ov::object orders = global(globals::orders_dict);
    if (!orders) return nullptr;
    ov::object r = ov::vcall_method(orders.get(), n_clear, {});
    if (!r) return nullptr;
    return Py_NewRef(Py_None);
}

TIDEWELL_METHOD(send_open_auction_event) {
    if (no_arguments("VornStrategy.send_open_auction_event", args, nargs, kwnames) < 0)
        return nullptr;
    if (send_now(self, n_OPEN_AUCTION) < 0) return nullptr;
    return Py_NewRef(Py_None);
}

TIDEWELL_METHOD(set_timer) {
    if (no_arguments("VornStrategy.set_timer", args, nargs, kwnames) < 0) return nullptr;
    {
        ov::object r = ov::vcall_method(self, n_create_time_listener, {});
        if (!r) return nullptr;
    }
    // tomorrow_8am = datetime.now().replace(hour=8, minute=0, second=0, microsecond=0)
    //                + timedelta(days=1): 08:00 of the next calendar day, whatever the time now.
    ov::object tomorrow_8am;
    {
        ov::object now = ov::steal(wall_clock_now());
        if (!now) return nullptr;
        ov::object replace = ov::steal(PyObject_GetAttr(now.get(), n_replace));
        if (!replace) return nullptr;
        ov::object eight = ov::steal(PyLong_FromLong(8));
        if (!eight) return nullptr;
        ov::object today_8am = ov::vcall(
            replace.get(), {eight.get(), g_bridge.zero, g_bridge.zero, g_bridge.zero}, kw_replace_8am);
        if (!today_8am) return nullptr;
        ov::object td_cls = global(globals::timedelta);
        if (!td_cls) return nullptr;
        ov::object one = ov::steal(PyLong_FromLong(1));
        if (!one) return nullptr;
        ov::object one_day = ov::vcall(td_cls.get(), {one.get()}, kw_days);
        if (!one_day) return nullptr;
        tomorrow_8am = ov::steal(PyNumber_Add(today_8am.get(), one_day.get()));
        if (!tomorrow_8am) return nullptr;
    }
    // time_diff = tomorrow_8am - datetime.now(), the clock read again.
    ov::object time_diff;
    {
        ov::object now = ov::steal(wall_clock_now());
        if (!now) return nullptr;
        time_diff = ov::steal(PyNumber_Subtract(tomorrow_8am.get(), now.get()));
        if (!time_diff) return nullptr;
    }
    if (add_timer(self, [&]() { return interval_ns(time_diff.get()); }, n_set_timer) < 0)
        return nullptr;
    return Py_NewRef(Py_None);
}

}  // namespace tidewell
