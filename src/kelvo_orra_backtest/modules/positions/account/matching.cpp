#include "../registry.hpp"

namespace kob {

namespace {

// Placeholder until this subsystem is built.
py::object not_built(Call& c) {
    PyErr_Format(PyExc_NotImplementedError, "%R is not built yet", c.func);
    throw py::error_already_set();
}

}  // namespace

const MethodSpec pos_calculate_profit = {
    .name = "__calculate_profit",
    .params = {
        {"cover_position", Kind::Dict, "Dict[str, Any]"},
        {"product_type", Kind::Any, "Literal['Stock', 'Future']"},
    },
    .impl = not_built,
    .doc = "計算損益\n\n        Args:\n            cover_position (Dict[str, Any]): 要平倉的部位\n            product_type (Literal[\"Stock\", \"Future\"]): 商品類型\n\n        Returns:\n            Dict[str, Any]: 損益資訊, 包含損益金額(profit), 是否已全部沖銷(is_covered), 未沖銷數量(un_cover_qty), 交易成本(cost), 原始損益(origin_profit)\n        ",
    .returns = "Dict[str, Any]",
};

const MethodSpec pos_set_positions = {
    .name = "set_positions",
    .params = {
        {"trade", Kind::Dict, "dict"},
        {"product_type", Kind::Any, "Literal['Stock', 'Future']"},
    },
    .impl = not_built,
    .doc = "設定持有部位\n\n        Args:\n            trade (dict): 交易紀錄\n            product_type (Literal[\"Stock\", \"Future\"]): 商品類型\n        ",
};

}  // namespace kob
