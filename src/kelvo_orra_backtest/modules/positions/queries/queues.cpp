#include "../registry.hpp"

namespace kob {

namespace {

// Placeholder until this subsystem is built.
py::object not_built(Call& c) {
    PyErr_Format(PyExc_NotImplementedError, "%R is not built yet", c.func);
    throw py::error_already_set();
}

}  // namespace

const MethodSpec pos_fetch_positions = {
    .name = "fetch_positions",
    .params = {
        {"account_type", Kind::Any, "Literal['Stock', 'Future']"},
        {"fetch_detail", Kind::Any, "bool", Def::False},
    },
    .impl = not_built,
    .doc = "取得持有部位\n\n        Args:\n            account_type (Literal[\"Stock\", \"Future\"]): 帳戶類型\n            fetch_detail (bool, optional): 是否取得詳細的持有部位. Defaults to False.\n\n        Returns:\n            Dict[str, Any]: 持有部位\n        ",
    .returns = "Dict[str, Any]",
};

const MethodSpec pos_add_positions_to_queue = {
    .name = "add_positions_to_queue",
    .params = {
        {"positions", Kind::Any, "object"},
    },
    .impl = not_built,
    .doc = "將持有部位加入 Queue\n\n        Args:\n            positions (List[Dict[str, Any]] | Dict[str, Any]): 持有部位\n        ",
};

const MethodSpec pos_pop_positions = {
    .name = "pop_positions",
    .impl = not_built,
    .doc = "取得盤中未實現損益的請求",
};

const MethodSpec pos_add_finish_notify_to_queue = {
    .name = "add_finish_notify_to_queue",
    .impl = not_built,
    .doc = "將盤中未實現損益計算完成的通知加入 Queue",
};

const MethodSpec pos_pop_finish_notify = {
    .name = "pop_finish_notify",
    .impl = not_built,
    .doc = "取得盤中未實現損益計算完成的通知",
};

}  // namespace kob
