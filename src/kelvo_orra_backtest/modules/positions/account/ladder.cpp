#include "../registry.hpp"

namespace kob {

namespace {

// Placeholder until this subsystem is built.
py::object not_built(Call& c) {
    PyErr_Format(PyExc_NotImplementedError, "%R is not built yet", c.func);
    throw py::error_already_set();
}

}  // namespace

const MethodSpec pos_ceil_price_by_tick = {
    .name = "__ceil_price_by_tick",
    .params = {
        {"code", Kind::Str, "str"},
        {"price", Kind::Float, "float"},
    },
    .impl = not_built,
    .doc = "依照股票的價格區間, 將價格向上取整\n\n        Args:\n            price (float): 價格\n\n        Returns:\n            tuple(float, float): 取整後的價格, Tick 間隔\n        ",
    .returns = "tuple",
};

const MethodSpec pos_calculate_slippage_price = {
    .name = "__calculate_slippage_price",
    .params = {
        {"code", Kind::Str, "str"},
        {"price", Kind::Float, "float"},
        {"tick_count", Kind::Int, "int"},
        {"direction", Kind::Any, "Literal['up', 'down']"},
    },
    .impl = not_built,
    .doc = "計算滑價後的價格\n\n        Args:\n            price (float): 價格\n            tick_count (int): 要滑價多少個 Tick\n            direction (Literal[\"up\", \"down\"]): 滑價方向\n\n        Returns:\n            float: 滑價後的價格\n        ",
    .returns = "float",
};

}  // namespace kob
