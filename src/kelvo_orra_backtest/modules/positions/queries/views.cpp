#include "../registry.hpp"

namespace kob {

namespace {

// Placeholder until this subsystem is built.
py::object not_built(Call& c) {
    PyErr_Format(PyExc_NotImplementedError, "%R is not built yet", c.func);
    throw py::error_already_set();
}

}  // namespace

const MethodSpec pos_format_position_summary = {
    .name = "__format_position_summary",
    .params = {
        {"product_type", Kind::Str, "str"},
    },
    .impl = not_built,
    .doc = "格式化庫存資訊(總計)：股票或期貨\n\n        Args:\n            product_type (str): 商品類型\n\n        Returns:\n            List[Dict[str, Any]]: 庫存資訊\n        ",
    .returns = "List[Dict[str, Any]]",
};

const MethodSpec pos_format_position_detail = {
    .name = "__format_position_detail",
    .params = {
        {"product_type", Kind::Str, "str"},
    },
    .impl = not_built,
    .doc = "格式化庫存資訊(明細)：股票或期貨\n\n        Args:\n            product_type (str): 商品類型\n\n        Returns:\n            List[Dict[str, Any]]: 庫存資訊\n        ",
    .returns = "List[Dict[str, Any]]",
};

}  // namespace kob
