// The methods of VornStrategy. Each is a METH_FASTCALL | METH_KEYWORDS function whose first
// argument is the strategy instance; strategy.cpp lists them, in definition order, in the
// class's method table.
#pragma once

#include "pyhelp.hpp"

#define TIDEWELL_METHOD(fn) \
    PyObject* fn(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)

namespace tidewell {

// Start-up and day switch (startup.cpp)
TIDEWELL_METHOD(strategy_init);
TIDEWELL_METHOD(initialize);
TIDEWELL_METHOD(on_initialize);
TIDEWELL_METHOD(on_switch_day);
// Market data (market_data.cpp)
TIDEWELL_METHOD(on_snapshot);
TIDEWELL_METHOD(on_tick_order);
TIDEWELL_METHOD(on_tick_trade);
TIDEWELL_METHOD(on_bar);
// Login and account queries (account.cpp)
TIDEWELL_METHOD(on_login);
TIDEWELL_METHOD(on_query_asset);
TIDEWELL_METHOD(on_query_position);
// Order and trade reports (orders.cpp)
TIDEWELL_METHOD(on_order);
TIDEWELL_METHOD(on_trade);
TIDEWELL_METHOD(on_order_action_error);
// Algorithmic orders (algo_orders.cpp)
TIDEWELL_METHOD(on_algo_login);
TIDEWELL_METHOD(on_create_algo_parent_order_res);
TIDEWELL_METHOD(on_cancel_algo_parent_order_res);
TIDEWELL_METHOD(on_control_algo_parent_order_res);
TIDEWELL_METHOD(on_algo_parent_order_update);
TIDEWELL_METHOD(on_algo_child_order_update);
TIDEWELL_METHOD(on_algo_child_order_trade);
// Trading-day clock (clock.cpp)
TIDEWELL_METHOD(create_time_listener);
TIDEWELL_METHOD(send_day_event);
TIDEWELL_METHOD(send_before_trading_event);
TIDEWELL_METHOD(send_after_trading_event);
TIDEWELL_METHOD(send_open_auction_event);
TIDEWELL_METHOD(set_timer);

}  // namespace tidewell
