#include "../registry.hpp"

namespace kob {

namespace {

// Placeholder until this subsystem is built.
py::object not_built(Call& c) {
    PyErr_Format(PyExc_NotImplementedError, "%R is not built yet", c.func);
    throw py::error_already_set();
}

}  // namespace

const MethodSpec pos_generate_qs_profit_report = {
    .name = "generate_qs_profit_report",
    .params = {
        {"code", Kind::Str, "str"},
        {"quote_manager", Kind::Any, "QuoteManager"},
    },
    .impl = not_built,
    .doc = "產生 QuantStats 的損益報告\n\n        Args:\n            code (str): 商品代號\n            quote_manager (QuoteManager): QuoteManager 物件\n        ",
};

}  // namespace kob
