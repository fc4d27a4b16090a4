#include "../registry.hpp"

namespace kob {

namespace {

// Placeholder until this subsystem is built.
py::object not_built(Call& c) {
    PyErr_Format(PyExc_NotImplementedError, "%R is not built yet", c.func);
    throw py::error_already_set();
}

}  // namespace

const MethodSpec pos_generate_save_path = {
    .name = "__generate_save_path",
    .params = {
        {"file_name", Kind::StrOrNone, "str", Def::None},
    },
    .impl = not_built,
    .doc = "產生檔案儲存路徑\n\n        Args:\n            file_name (str): 檔案名稱, 預設為 None, 為 None 時不會產生檔案名稱\n\n        Returns:\n            str: 檔案路徑\n        ",
    .returns = "str",
    .star = "sub_folder",
};

const MethodSpec pos_export_trade_records = {
    .name = "export_trade_records",
    .impl = not_built,
    .doc = "匯出交易紀錄",
};

const MethodSpec pos_get_profit_rows_by_code = {
    .name = "get_profit_rows_by_code",
    .params = {
        {"code", Kind::Str, "str"},
    },
    .impl = not_built,
    .doc = "回傳指定標的的損益報告\n\n        Args:\n            code (str): 商品代號\n\n        Returns:\n            List[Dict[str, Any]]: 損益報告\n        ",
    .returns = "List[Dict[str, Any]]",
};

}  // namespace kob
