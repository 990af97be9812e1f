// Start-up and day switch of the strategy: the constructor, which gives the object the state
// the callbacks rely on; initialize, which registers the market-data source, the order way and
// the brokers with the SDK context, fills vorn_params, subscribes to one-minute bars and starts
// the trading-day clock; on_initialize; and on_switch_day, which empties the caches.
//
// Evaluation follows the order a Python method body would use (attribute of the callee first,
// then its arguments, then the call), because it decides which effects remain when a step
// fails. Configuration is read afresh from self.config for every path.
#include "bridge.hpp"
#include "callbacks.hpp"

namespace tidewell {

namespace {

ov::name n_init{"__init__"};
ov::name n_config{"config"};
ov::name n_base{"base"};
ov::name n_context{"context"};
ov::name n_logged_in{"logged_in"};
ov::name n_order_num{"order_num"};
ov::name n_bar_cnt{"bar_cnt"};
ov::name n_current_trade_dt{"current_trade_dt"};
ov::name n_first_dt{"first_dt"};
ov::name n_now{"now"};
ov::name n_date{"date"};

ov::name n_md_type{"md_type"};
ov::name n_order_way{"order_way"};
ov::name n_accounts{"accounts"};
ov::name n_algo_account{"algo_account"};
ov::name n_items{"items"};
ov::name n_split{"split"};
ov::name n_upper{"upper"};
ov::name n_underscore{"_"};
ov::name n_text_1m{"1m"};
ov::name n_log_initialize{"VornStrategy initialize..."};

ov::name n_MDType{"MDType"};
// Member names; "VoMD" and "ATX" double as the texts the configuration is compared with.
ov::name n_VoMD{"VoMD"};
ov::name n_AMD{"AMD"};
ov::name n_AlgoType{"AlgoType"};
ov::name n_ATX{"ATX"};
ov::name n_MarketType{"MarketType"};
ov::name n_SZSE{"SZSE"};
ov::name n_SubscribeDataType{"SubscribeDataType"};
ov::name n_Bar{"Bar"};
ov::name n_vorn_md{"vorn_md"};
ov::name n_vorn_td{"vorn_td"};
ov::name n_vorn_context{"vorn_context"};

ov::name n_add_md_broker{"add_md_broker"};
ov::name n_set_order_way{"set_order_way"};
ov::name n_add_td_broker{"add_td_broker"};
ov::name n_add_algo_broker{"add_algo_broker"};
ov::name n_subscribe{"subscribe"};
ov::name n_set_timer{"set_timer"};
ov::name n_clear{"clear"};


// ---------------------------------------------------------------------------------------------
// Helpers

// True when `descr` is this module's own constructor, as installed in the class's __dict__.
bool is_own_init(PyObject* descr) {
    if (!Py_IS_TYPE(descr, &PyMethodDescr_Type)) return false;
    PyMethodDef* def = reinterpret_cast<PyMethodDescrObject*>(descr)->d_method;
    return def != nullptr && def->ml_meth == ov::fastcall_def("__init__", strategy_init, nullptr).ml_meth;
}

// super().__init__() as written in VornStrategy's own body: the first __init__ found in the
// MRO of type(self) after VornStrategy, bound to self and called without arguments. The
// defining class is the last class of the MRO whose __dict__ holds this very constructor (a
// subclass may have copied it into its own body; super() would still start after ours).
int call_base_init(PyObject* self) {
    PyObject* mro = Py_TYPE(self)->tp_mro;  // borrowed
    if (mro == nullptr || !PyTuple_Check(mro)) {
        PyErr_SetString(PyExc_SystemError, "VornStrategy.__init__(): type has no MRO");
        return -1;
    }
    // Keep the MRO alive while walking it: a lookup or a call may run Python code.
    ov::object hold = ov::borrow(mro);
    const Py_ssize_t n = PyTuple_GET_SIZE(mro);
    Py_ssize_t ours = -1;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* dict = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))->tp_dict;
        if (dict == nullptr) continue;
        PyObject* d = PyDict_GetItemWithError(dict, n_init);
        if (d == nullptr && PyErr_Occurred()) return -1;
        if (d != nullptr && is_own_init(d)) ours = i;
    }
    if (ours < 0) {
        PyErr_SetString(PyExc_RuntimeError, "super(): __class__ cell not found");
        return -1;
    }
    for (Py_ssize_t i = ours + 1; i < n; ++i) {
        PyObject* dict = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))->tp_dict;
        if (dict == nullptr) continue;
        PyObject* found = PyDict_GetItemWithError(dict, n_init);
        if (found == nullptr) {
            if (PyErr_Occurred()) return -1;
            continue;
        }
        ov::object init = ov::borrow(found);
        descrgetfunc get = Py_TYPE(init.get())->tp_descr_get;
        ov::object bound;
        if (get != nullptr) {
            bound = ov::steal(get(init.get(), self, reinterpret_cast<PyObject*>(Py_TYPE(self))));
            if (!bound) return -1;
        } else {
            bound = std::move(init);
        }
        ov::object r = ov::steal(PyObject_CallNoArgs(bound.get()));
        return r ? 0 : -1;
    }
    // object is always in the MRO, so this is reached only for a corrupted class.
    PyErr_SetString(PyExc_AttributeError, "'super' object has no attribute '__init__'");
    return -1;
}

// self.config.base, read afresh.
PyObject* config_base(PyObject* self) {
    ov::object config = ov::steal(PyObject_GetAttr(self, n_config));
    if (!config) return nullptr;
    return PyObject_GetAttr(config.get(), n_base);
}

// An optional attribute of self.config.base: the lookup's failure, whatever it is, is
// discarded and the attribute counts as absent (*out stays null). self.config.base itself
// is not optional: its failure propagates. Returns 0 or -1.
int optional_base_attr(PyObject* self, PyObject* attr_name, ov::object* out) {
    ov::object base = ov::steal(config_base(self));
    if (!base) return -1;
    *out = ov::steal(PyObject_GetAttr(base.get(), attr_name));
    if (!*out) PyErr_Clear();
    return 0;
}

// self.context.<method>, the callee looked up before its arguments are evaluated.
PyObject* context_method(PyObject* self, PyObject* method_name) {
    ov::object ctx = ov::steal(PyObject_GetAttr(self, n_context));
    if (!ctx) return nullptr;
    return PyObject_GetAttr(ctx.get(), method_name);
}

// <global>.<member>, e.g. MDType.VoMD.
PyObject* global_member(const ov::name& global_name, PyObject* member_name) {
    ov::object g = global(global_name);
    if (!g) return nullptr;
    return PyObject_GetAttr(g.get(), member_name);
}

// vorn_params[key] = value
int set_vorn_param(PyObject* key, PyObject* value) {
    ov::object params = global(globals::vorn_params);
    if (!params) return -1;
    return PyObject_SetItem(params.get(), key, value);
}

// `ac, dest = value.split("_")`; only dest is kept.
PyObject* split_destination(PyObject* value) {
    ov::object split = ov::steal(PyObject_GetAttr(value, n_split));
    if (!split) return nullptr;
    ov::object parts = ov::vcall(split.get(), {n_underscore.get()});
    if (!parts) return nullptr;
    ov::object ac, dest;
    if (ov::unpack2(parts.get(), &ac, &dest) < 0) return nullptr;
    return dest.release();
}

// get_vorn_tdtype(dest.upper())
PyObject* trading_broker_type(PyObject* dest) {
    ov::object conv = global(globals::get_vorn_tdtype);
    if (!conv) return nullptr;
    ov::object upper = ov::vcall_method(dest, n_upper, {});
    if (!upper) return nullptr;
    return ov::vcall(conv.get(), {upper.get()}).release();
}

// ---------------------------------------------------------------------------------------------
// initialize, step by step

// The market-data source: MDType.VoMD when config.base.md_type == "VoMD", else MDType.AMD.
int register_md_broker(PyObject* self) {
    ov::object md_type;
    if (optional_base_attr(self, n_md_type, &md_type) < 0) return -1;
    int vomd = 0;
    if (md_type) {
        vomd = PyObject_RichCompareBool(md_type.get(), n_VoMD, Py_EQ);
        if (vomd < 0) return -1;
    }
    PyObject* member = vomd ? n_VoMD.get() : n_AMD.get();
    ov::object add = ov::steal(context_method(self, n_add_md_broker));
    if (!add) return -1;
    ov::object md = ov::steal(global_member(n_MDType, member));
    if (!md) return -1;
    ov::object r = ov::vcall(add.get(), {md.get()});
    if (!r) return -1;
    ov::object md_again = ov::steal(global_member(n_MDType, member));
    if (!md_again) return -1;
    return set_vorn_param(n_vorn_md, md_again.get());
}

// set_order_way(config.base.order_way) when the attribute is there, whatever its value.
int register_order_way(PyObject* self) {
    ov::object way;
    if (optional_base_attr(self, n_order_way, &way) < 0) return -1;
    if (!way) return 0;
    ov::object set = ov::steal(context_method(self, n_set_order_way));
    if (!set) return -1;
    ov::object r = ov::vcall(set.get(), {way.get()});
    return r ? 0 : -1;
}

// One trading broker per entry of config.base.accounts, in the mapping's order; vorn_td
// ends up holding the last entry's broker type.
int register_td_brokers(PyObject* self) {
    ov::object base = ov::steal(config_base(self));
    if (!base) return -1;
    ov::object accounts = ov::steal(PyObject_GetAttr(base.get(), n_accounts));
    if (!accounts) return -1;
    ov::object items = ov::vcall_method(accounts.get(), n_items, {});
    if (!items) return -1;
    ov::object it = ov::steal(PyObject_GetIter(items.get()));
    if (!it) return -1;
    while (true) {
        ov::object entry = ov::steal(PyIter_Next(it.get()));
        if (!entry) {
            if (PyErr_Occurred()) return -1;
            break;
        }
        ov::object account_type, cash;
        if (ov::unpack2(entry.get(), &account_type, &cash) < 0) return -1;
        ov::object dest = ov::steal(split_destination(cash.get()));
        if (!dest) return -1;

        ov::object add = ov::steal(context_method(self, n_add_td_broker));
        if (!add) return -1;
        ov::object td = ov::steal(trading_broker_type(dest.get()));
        if (!td) return -1;
        ov::object r = ov::vcall(add.get(), {td.get()});
        if (!r) return -1;

        ov::object td_again = ov::steal(trading_broker_type(dest.get()));
        if (!td_again) return -1;
        if (set_vorn_param(n_vorn_td, td_again.get()) < 0) return -1;
    }
    return 0;
}

// The algorithmic broker, when config.base.algo_account is set (not None) and its
// destination is ATX in any case.
int register_algo_broker(PyObject* self) {
    ov::object account;
    if (optional_base_attr(self, n_algo_account, &account) < 0) return -1;
    if (!account || account.get() == Py_None) return 0;
    ov::object dest = ov::steal(split_destination(account.get()));
    if (!dest) return -1;
    ov::object upper = ov::vcall_method(dest.get(), n_upper, {});
    if (!upper) return -1;
    int atx = PyObject_RichCompareBool(upper.get(), n_ATX, Py_EQ);
    if (atx <= 0) return atx;
    ov::object add = ov::steal(context_method(self, n_add_algo_broker));
    if (!add) return -1;
    ov::object member = ov::steal(global_member(n_AlgoType, n_ATX));
    if (!member) return -1;
    ov::object r = ov::vcall(add.get(), {member.get()});
    return r ? 0 : -1;
}

// subscribe(vorn_params["vorn_md"], MarketType.SZSE, SubscribeDataType.Bar, [], "1m")
int subscribe_bars(PyObject* self) {
    ov::object sub = ov::steal(context_method(self, n_subscribe));
    if (!sub) return -1;
    ov::object params = global(globals::vorn_params);
    if (!params) return -1;
    ov::object md = ov::steal(PyObject_GetItem(params.get(), n_vorn_md));
    if (!md) return -1;
    ov::object market = ov::steal(global_member(n_MarketType, n_SZSE));
    if (!market) return -1;
    ov::object data_type = ov::steal(global_member(n_SubscribeDataType, n_Bar));
    if (!data_type) return -1;
    ov::object codes = ov::steal(PyList_New(0));
    if (!codes) return -1;
    ov::object r = ov::vcall(
        sub.get(), {md.get(), market.get(), data_type.get(), codes.get(), n_text_1m.get()});
    return r ? 0 : -1;
}


}  // namespace

// ---------------------------------------------------------------------------------------------
// Methods

TIDEWELL_METHOD(strategy_init) {
    PyObject* a[1];
    if (ov::parse_args(ov::callable::method, "VornStrategy.__init__", args, nargs, kwnames, {&n_config}, 1, a) < 0)
        return nullptr;
    PyObject* config = a[0];
    if (call_base_init(self) < 0) return nullptr;
    if (PyObject_SetAttr(self, n_logged_in, Py_False) < 0) return nullptr;
    if (PyObject_SetAttr(self, n_order_num, g_bridge.zero) < 0) return nullptr;
    if (PyObject_SetAttr(self, n_bar_cnt, g_bridge.zero) < 0) return nullptr;
    if (PyObject_SetAttr(self, n_current_trade_dt, g_bridge.zero) < 0) return nullptr;
    {
        // first_dt: the date part of datetime.now(), read once.
        ov::object dt_cls = global(globals::datetime);
        if (!dt_cls) return nullptr;
        ov::object now = ov::vcall_method(dt_cls.get(), n_now, {});
        if (!now) return nullptr;
        if (ov::set_attr(self, n_first_dt, ov::vcall_method(now.get(), n_date, {})) < 0)
            return nullptr;
    }
    if (PyObject_SetAttr(self, n_config, config) < 0) return nullptr;
    return Py_NewRef(Py_None);
}

TIDEWELL_METHOD(initialize) {
    // The argument is accepted for the SDK's calling convention and never read: the
    // configuration is the one given to the constructor.
    PyObject* a[1];
    if (ov::parse_args(ov::callable::method, "VornStrategy.initialize", args, nargs, kwnames, {&n_config}, 1, a) < 0)
        return nullptr;
    if (log_info(n_log_initialize) < 0) return nullptr;
    if (register_md_broker(self) < 0) return nullptr;
    if (register_order_way(self) < 0) return nullptr;
    if (register_td_brokers(self) < 0) return nullptr;
    if (register_algo_broker(self) < 0) return nullptr;
    {
        ov::object ctx = ov::steal(PyObject_GetAttr(self, n_context));
        if (!ctx) return nullptr;
        if (set_vorn_param(n_vorn_context, ctx.get()) < 0) return nullptr;
    }
    if (subscribe_bars(self) < 0) return nullptr;
    ov::object r = ov::vcall_method(self, n_set_timer, {});
    if (!r) return nullptr;
    return Py_NewRef(Py_None);
}

TIDEWELL_METHOD(on_initialize) {
    PyObject* none[1];
    if (ov::parse_args(ov::callable::method, "VornStrategy.on_initialize", args, nargs, kwnames, {}, 0, none) < 0)
        return nullptr;
    (void)self;
    return Py_NewRef(Py_None);
}

TIDEWELL_METHOD(on_switch_day) {
    PyObject* none[1];
    if (ov::parse_args(ov::callable::method, "VornStrategy.on_switch_day", args, nargs, kwnames, {}, 0, none) < 0)
        return nullptr;
    (void)self;
    // Emptied in place, in this order; the names keep naming the same objects.
    for (const ov::name* cache : {&globals::orders_dict, &globals::history_bar, &globals::history_tick,
                                  &globals::algo_parent_orders, &globals::algo_child_orders,
                                  &globals::algo_child_trades}) {
        ov::object c = global(*cache);
        if (!c) return nullptr;
        ov::object r = ov::vcall_method(c.get(), n_clear, {});
        if (!r) return nullptr;
    }
    return Py_NewRef(Py_None);
}

}  // namespace tidewell
