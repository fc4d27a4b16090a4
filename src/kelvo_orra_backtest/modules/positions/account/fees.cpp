// Fees and trade cost: the fee-settings table and its operations, the
// futures contract value and the cost of one fill.
#include "account.hpp"

namespace kob {

namespace {

using account::equals;
using account::truth;

[[noreturn]] void raise_unsupported(PyObject* type, PyObject* value) {
    raise_with_value(type, KOB_STR("不支援的商品類型: "), value);
}

py::object contract_value(PyObject* code, const py::object& mapping) {
    if (PyDict_CheckExact(mapping.ptr())) {
        PyObject* v = PyDict_GetItemWithError(mapping.ptr(), code);
        if (v) return py::reinterpret_borrow<py::object>(v);
        if (PyErr_Occurred()) throw py::error_already_set();
        return steal(PyLong_FromLongLong(domain::kDefaultContractValue));
    }
    int has = PySequence_Contains(mapping.ptr(), code);
    check(has);
    if (has) return steal(PyObject_GetItem(mapping.ptr(), code));
    return steal(PyLong_FromLongLong(domain::kDefaultContractValue));
}

py::object apply_future_contract_value(Call& c) {
    return contract_value(c[0].ptr(), c.global(KOB_STR("FutureIndexContractValue")));
}

py::object fee_settings(Call& c) {
    py::object table = attr(c.self, KOB_STR("_fee_settings"));
    if (!PyDict_CheckExact(table.ptr()) && !table.is_none()) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "dict", Py_TYPE(table.ptr())->tp_name);
        throw py::error_already_set();
    }
    return table;
}

py::object reset_fee_settings(Call& c) {
    set_attr(c.self, KOB_STR("_fee_settings"), account::make_default_fee_settings(domain::kDefaultPerTradeCost));
    return py::none();
}

py::object update_fee_settings(Call& c) {
    // update_fee_settings' arguments by name, in the order of its table.
    py::handle setting_type = c[0], action = c[1], fee = c[2], tax = c[3], per_trade_cost = c[4], tick_count = c[5],
               direction = c[6];
    auto table = [&] { return attr(c.self, KOB_STR("_fee_settings")); };
    {
        py::object t = table();
        int has = PySequence_Contains(t.ptr(), setting_type.ptr());
        check(has);
        if (!has) raise_unsupported(PyExc_ValueError, setting_type.ptr());
    }
    auto entry = [&] { return item(table(), setting_type); };
    if (!fee.is_none()) set_item(entry(), KOB_STR("fee"), fee);
    if (!tax.is_none()) set_item(entry(), KOB_STR("tax"), tax);
    if (!per_trade_cost.is_none()) set_item(entry(), KOB_STR("per_trade_cost"), per_trade_cost);
    if (equals(action.ptr(), KOB_STR("buy")) || equals(action.ptr(), KOB_STR("sell"))) {
        auto side = [&] { return item(item(entry(), KOB_STR("slippage")), action); };
        if (!tick_count.is_none()) set_item(side(), KOB_STR("tick_count"), tick_count);
        if (equals(direction.ptr(), KOB_STR("up")) || equals(direction.ptr(), KOB_STR("down")))
            set_item(side(), KOB_STR("direction"), direction);
    }
    return py::none();
}

// action.lower(), without a call for the two usual texts.
py::object lowered(PyObject* action) {
    if (PyUnicode_CheckExact(action)) {
        if (PyUnicode_Compare(action, KOB_STR("Buy")) == 0) return py::reinterpret_borrow<py::object>(KOB_STR("buy"));
        if (PyUnicode_Compare(action, KOB_STR("Sell")) == 0) return py::reinterpret_borrow<py::object>(KOB_STR("sell"));
    }
    return steal(PyObject_CallMethodNoArgs(action, KOB_STR("lower")));
}

// The cost of one fill, computed here; `code` is an exact str and
// `quantity` an exact int.
account::Cost compute_cost(account::Ctx& ctx, PyObject* code, PyObject* action, double price, PyObject* quantity,
                           PyObject* product_type, PyObject* ignore_tax, PyObject* need_reverse_direction) {
    using account::Num;
    bool stock;
    if (equals(product_type, KOB_STR(domain::kStock)))
        stock = true;
    else if (equals(product_type, KOB_STR(domain::kFuture)))
        stock = false;
    else
        raise_unsupported(PyExc_Exception, product_type);
    PyObject* key = stock ? KOB_STR("stock") : KOB_STR("future");

    py::object entry = item(attr(ctx.self, KOB_STR("_fee_settings")), key);
    py::object slippage_table = item(entry, KOB_STR("slippage"));
    py::object slippage = item(slippage_table, lowered(action));
    const bool reverse = truth(need_reverse_direction);
    py::object direction = item(slippage, KOB_STR("direction"));
    if (reverse)
        direction = py::reinterpret_borrow<py::object>(equals(direction.ptr(), KOB_STR("down")) ? KOB_STR("up")
                                                                                                : KOB_STR("down"));
    py::object tick_count = item(slippage, KOB_STR("tick_count"));
    const double slipped = account::slippage_price(ctx, code, price, tick_count.ptr(), direction.ptr());

    Num multiplier;
    if (stock) {
        multiplier = Num::integer(domain::kSharesPerLot);
    } else if (ctx.own(account::Private::ContractValue, pos_apply_future_contract_value)) {
        multiplier = Num::from(contract_value(code, global_of(ctx.globals, KOB_STR("FutureIndexContractValue"))));
    } else {
        multiplier = Num::from(call_method(ctx.self, name_on_instance(pos_apply_future_contract_value), code));
    }

    const Num q = Num::from(quantity);
    const Num p = Num::f(slipped);
    account::Cost cost;
    cost.fee = Num::from(item(entry, KOB_STR("fee"))) * q * multiplier * p;
    Num tax = Num::from(item(entry, KOB_STR("tax"))) * q * multiplier * p;
    cost.fixed = Num::from(item(entry, KOB_STR("per_trade_cost")));
    cost.min_qty = q * multiplier;
    cost.tax = truth(ignore_tax) ? Num::integer(0) : tax;
    cost.qty = q;
    cost.price = p;
    cost.origin_price = Num::f(price);
    return cost;
}

// __calculate_trade_cost's arguments by name, in the order of its table
// (pos_calculate_trade_cost).
struct TradeCostArgs {
    py::handle code, action;
    double price;
    py::handle quantity, product_type, ignore_tax, need_reverse_direction;
    explicit TradeCostArgs(const Call& c)
        : code(c[0]),
          action(c[1]),
          price(c.num(2)),
          quantity(c[3]),
          product_type(c[4]),
          ignore_tax(c[5]),
          need_reverse_direction(c[6]) {}
};

py::object calculate_trade_cost(Call& c) {
    account::Ctx ctx(c.globals, c.self);
    const TradeCostArgs a(c);
    return account::cost_dict(compute_cost(ctx, a.code.ptr(), a.action.ptr(), a.price, a.quantity.ptr(),
                                           a.product_type.ptr(), a.ignore_tax.ptr(), a.need_reverse_direction.ptr()));
}

}  // namespace

namespace account {

py::object cost_dict(const Cost& c) {
    py::object d = steal(_PyDict_NewPresized(7));
    auto put = [&](PyObject* key, const Num& v) { check(PyDict_SetItem(d.ptr(), key, v.obj().ptr())); };
    put(KOB_STR("fee"), c.fee);
    put(KOB_STR("tax"), c.tax);
    put(KOB_STR("fixed_cost"), c.fixed);
    put(KOB_STR("qty"), c.qty);
    put(KOB_STR("min_qty"), c.min_qty);
    put(KOB_STR("price"), c.price);
    put(KOB_STR("origin_price"), c.origin_price);
    return d;
}

Cost trade_cost(Ctx& ctx, PyObject* code, PyObject* action, PyObject* price, PyObject* quantity, PyObject* product_type,
                CostOptions options) {
    PyObject* it = options.ignore_tax ? Py_True : Py_False;
    PyObject* nr = options.need_reverse_direction ? Py_True : Py_False;
    if (ctx.own(Private::TradeCost, pos_calculate_trade_cost)) {
        // The argument checks of the method: the price conversion first,
        // then the exact types of code and quantity.
        const double p = float_arg(price);
        if (!PyUnicode_CheckExact(code)) raise_arg_type("code", "str", code);
        if (!PyLong_CheckExact(quantity)) raise_arg_type("quantity", "int", quantity);
        return compute_cost(ctx, code, action, p, quantity, product_type, it, nr);
    }
    static PyObject* const kwnames = [] {
        PyObject* t = PyTuple_Pack(2, KOB_STR("ignore_tax"), KOB_STR("need_reverse_direction"));
        if (!t) throw py::error_already_set();
        return t;  // kept for the life of the process
    }();
    PyObject* args[] = {ctx.self, code, action, price, quantity, product_type, it, nr};
    py::object d = steal(PyObject_VectorcallMethod(name_on_instance(pos_calculate_trade_cost), args, 6, kwnames));
    Cost cost;
    cost.price = Num::from(item(d, KOB_STR("price")));
    cost.min_qty = Num::from(item(d, KOB_STR("min_qty")));
    cost.fee = Num::from(item(d, KOB_STR("fee")));
    cost.tax = Num::from(item(d, KOB_STR("tax")));
    cost.fixed = Num::from(item(d, KOB_STR("fixed_cost")));
    cost.origin_price = Num::from(item(d, KOB_STR("origin_price")));
    if (options.need_qty) cost.qty = Num::from(item(d, KOB_STR("qty")));
    return cost;
}

py::object make_default_fee_settings(long per_trade_cost) {
    auto side = [](const char* direction) {
        py::dict d;
        d[KOB_STR("tick_count")] = py::int_(domain::kDefaultSlippageTicks);
        d[KOB_STR("direction")] = py::str(direction);
        return d;
    };
    auto entry = [&](double fee, double tax) {
        py::dict slippage;
        slippage[KOB_STR("buy")] = side("up");
        slippage[KOB_STR("sell")] = side("down");
        py::dict e;
        e[KOB_STR("fee")] = py::float_(fee);
        e[KOB_STR("tax")] = py::float_(tax);
        e[KOB_STR("per_trade_cost")] = py::int_(per_trade_cost);
        e[KOB_STR("slippage")] = slippage;
        return e;
    };
    py::dict table;
    table[KOB_STR("stock")] = entry(domain::kStockFeeRate, domain::kStockTaxRate);
    table[KOB_STR("future")] = entry(domain::kFutureFeeRate, domain::kFutureTaxRate);
    return table;
}

}  // namespace account

const MethodSpec pos_apply_future_contract_value = {
    .name = "__apply_future_contract_value",
    .params =
        {
            {"code", Kind::Str, "str"},
        },
    .impl = apply_future_contract_value,
    .doc = R"doc(套用期貨合約價值

        Args:
            code (str): 商品代號
            price (float): 價格

        Returns:
            float: 套用合約價值後的價格
        )doc",
    .returns = "float",
};

const MethodSpec pos_fee_settings = {
    .name = "fee_settings",
    .impl = fee_settings,
    .doc = "取得手續費設定",
    .returns = "Dict[str, Any]",
    .property = true,
};

const MethodSpec pos_reset_fee_settings = {
    .name = "reset_fee_settings",
    .impl = reset_fee_settings,
    .doc = "重置手續費設定",
};

const MethodSpec pos_update_fee_settings = {
    .name = "update_fee_settings",
    .params =
        {
            {"setting_type", Kind::Any, "Literal['stock', 'future']"},
            {"action", Kind::Any, "Literal['buy', 'sell']", Def::None},
            {"fee", Kind::FloatOrNone, "float", Def::None},
            {"tax", Kind::FloatOrNone, "float", Def::None},
            {"per_trade_cost", Kind::IntOrNone, "int", Def::None},
            {"tick_count", Kind::IntOrNone, "int", Def::None},
            {"direction", Kind::Any, "Literal['up', 'down']", Def::None},
        },
    .impl = update_fee_settings,
    .doc = R"doc(設定手續費設定

        Args:
            setting_type (Literal["stock", "future"]): 商品類型
            action (Literal["buy", "sell"]): 買賣方向
            fee (float): 手續費率
            tax (float): 交易稅率
            per_trade_cost (int): 每筆交易成本
            tick_count (int): 滑價的 Tick 數量 (僅在 action 為 'buy' 或 'sell' 時有效)
            direction (Literal["up", "down"]): 滑價方向 (僅在 action 為 'buy' 或 'sell' 時有效)
        )doc",
};

const MethodSpec pos_calculate_trade_cost = {
    .name = "__calculate_trade_cost",
    .params =
        {
            {"code", Kind::Str, "str"},
            {"action", Kind::Any, "Literal['Buy', 'Sell']"},
            {"price", Kind::Float, "float"},
            {"quantity", Kind::Int, "int"},
            {"product_type", Kind::Any, "Literal['Stock', 'Future']"},
            {"ignore_tax", Kind::Any, "bool", Def::False},
            {"need_reverse_direction", Kind::Any, "bool", Def::True},
        },
    .impl = calculate_trade_cost,
    .doc = R"doc(計算交易成本

        Args:
            code (str): 商品代號
            price (float): 價格
            quantity (int): 數量
            product_type (Literal["Stock", "Future"]): 商品類型
            ignore_tax (bool, optional): 是否忽略交易稅. Defaults to False.
            need_reverse_direction (bool, optional): 是否需要反轉滑價方向. Defaults to True.

        Returns:
            Dict[str, float]: 交易成本
        )doc",
    .returns = "Dict[str, float]",
};

}  // namespace kob
