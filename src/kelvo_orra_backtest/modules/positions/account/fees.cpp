#include "../registry.hpp"
#include "account.hpp"

namespace kob {

namespace {

// Placeholder until this subsystem is built.
py::object not_built(Call& c) {
    PyErr_Format(PyExc_NotImplementedError, "%R is not built yet", c.func);
    throw py::error_already_set();
}

}  // namespace

const MethodSpec pos_apply_future_contract_value = {
    .name = "__apply_future_contract_value",
    .params = {
        {"code", Kind::Str, "str"},
    },
    .impl = not_built,
    .doc = "套用期貨合約價值\n\n        Args:\n            code (str): 商品代號\n            price (float): 價格\n\n        Returns:\n            float: 套用合約價值後的價格\n        ",
    .returns = "float",
};

const MethodSpec pos_fee_settings = {
    .name = "fee_settings",
    .impl = not_built,
    .doc = "取得手續費設定",
    .returns = "Dict[str, Any]",
    .property = true,
};

const MethodSpec pos_reset_fee_settings = {
    .name = "reset_fee_settings",
    .impl = not_built,
    .doc = "重置手續費設定",
};

const MethodSpec pos_update_fee_settings = {
    .name = "update_fee_settings",
    .params = {
        {"setting_type", Kind::Any, "Literal['stock', 'future']"},
        {"action", Kind::Any, "Literal['buy', 'sell']", Def::None},
        {"fee", Kind::FloatOrNone, "float", Def::None},
        {"tax", Kind::FloatOrNone, "float", Def::None},
        {"per_trade_cost", Kind::IntOrNone, "int", Def::None},
        {"tick_count", Kind::IntOrNone, "int", Def::None},
        {"direction", Kind::Any, "Literal['up', 'down']", Def::None},
    },
    .impl = not_built,
    .doc = "設定手續費設定\n\n        Args:\n            setting_type (Literal[\"stock\", \"future\"]): 商品類型\n            action (Literal[\"buy\", \"sell\"]): 買賣方向\n            fee (float): 手續費率\n            tax (float): 交易稅率\n            per_trade_cost (int): 每筆交易成本\n            tick_count (int): 滑價的 Tick 數量 (僅在 action 為 'buy' 或 'sell' 時有效)\n            direction (Literal[\"up\", \"down\"]): 滑價方向 (僅在 action 為 'buy' 或 'sell' 時有效)\n        ",
};

const MethodSpec pos_calculate_trade_cost = {
    .name = "__calculate_trade_cost",
    .params = {
        {"code", Kind::Str, "str"},
        {"action", Kind::Any, "Literal['Buy', 'Sell']"},
        {"price", Kind::Float, "float"},
        {"quantity", Kind::Int, "int"},
        {"product_type", Kind::Any, "Literal['Stock', 'Future']"},
        {"ignore_tax", Kind::Any, "bool", Def::False},
        {"need_reverse_direction", Kind::Any, "bool", Def::True},
    },
    .impl = not_built,
    .doc = "計算交易成本\n\n        Args:\n            code (str): 商品代號\n            price (float): 價格\n            quantity (int): 數量\n            product_type (Literal[\"Stock\", \"Future\"]): 商品類型\n            ignore_tax (bool, optional): 是否忽略交易稅. Defaults to False.\n            need_reverse_direction (bool, optional): 是否需要反轉滑價方向. Defaults to True.\n\n        Returns:\n            Dict[str, float]: 交易成本\n        ",
    .returns = "Dict[str, float]",
};

namespace account {

py::object make_default_fee_settings(long per_trade_cost) {
    auto side = [](const char* direction) {
        py::dict d;
        d[KOB_STR("tick_count")] = py::int_(3);
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
    table[KOB_STR("stock")] = entry(0.001425, 0.003);
    table[KOB_STR("future")] = entry(2e-05, 2e-05);
    return table;
}

}  // namespace account

}  // namespace kob
