#include "../registry.hpp"

namespace kob {

namespace {

// Placeholder until this subsystem is built.
py::object not_built(Call& c) {
    PyErr_Format(PyExc_NotImplementedError, "%R is not built yet", c.func);
    throw py::error_already_set();
}

}  // namespace

const MethodSpec pos_generate_standard_report = {
    .name = "generate_standard_report",
    .params = {
        {"code", Kind::Str, "str"},
        {"quote_manager", Kind::Any, "QuoteManager"},
    },
    .impl = not_built,
    .doc = "產生標準的 KELVO 回測報告\n        包含 K 線圖、損益報告、交易紀錄\n\n        Args:\n            code (str): 商品代號\n            quote_manager (QuoteManager): QuoteManager 物件\n        ",
};

}  // namespace kob
