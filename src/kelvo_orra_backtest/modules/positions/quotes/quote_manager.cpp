#include "../registry.hpp"

namespace kob {

namespace {

// Placeholder until this subsystem is built.
py::object not_built(Call& c) {
    PyErr_Format(PyExc_NotImplementedError, "%R is not built yet", c.func);
    throw py::error_already_set();
}

}  // namespace

const MethodSpec qm_init = {
    .name = "__init__",
    .impl = not_built,
};

const MethodSpec qm_get_init_ticks_info = {
    .name = "get_init_ticks_info",
    .impl = not_built,
    .doc = "取得 ticks 的初始資訊",
};

const MethodSpec qm_get_empty_tick_df = {
    .name = "get_empty_tick_df",
    .impl = not_built,
    .doc = "取得空的 Tick DataFrame",
    .returns = "pl.DataFrame",
};

const MethodSpec qm_clear_ticks = {
    .name = "clear_ticks",
    .impl = not_built,
    .doc = "清空 ticks",
};

const MethodSpec qm_add_tick = {
    .name = "add_tick",
    .params = {
        {"tick", Kind::Dict, "Dict[str, Any]"},
    },
    .impl = not_built,
    .doc = "將 Tick 資料加入到 ticks 中\n\n        Args:\n            tick (Dict[str, Any]): Tick 資料\n        ",
};

const MethodSpec qm_aggregate_kbar = {
    .name = "aggregate_kbar",
    .params = {
        {"tick_df", Kind::Any, "pl.DataFrame"},
    },
    .impl = not_built,
    .doc = "將 Tick 資料聚合成 K 棒資料 (tick_df 已包含 kbar_time 欄位)\n\n        Args:\n            tick_df (pl.DataFrame): Tick 資料，必須包含 kbar_time 欄\n\n        Returns:\n            pl.DataFrame: 聚合後的 K 棒資料\n        ",
    .returns = "pl.DataFrame",
};

const MethodSpec qm_poped_tick_to_df = {
    .name = "poped_tick_to_df",
    .params = {
        {"code", Kind::Str, "str"},
    },
    .impl = not_built,
    .doc = "將 ticks 中的資料轉換為 DataFrame 並清空 ticks\n\n        Args:\n            code (str): 商品代號\n\n        Returns:\n            pl.DataFrame: 轉換後的 DataFrame\n        ",
    .returns = "pl.DataFrame",
};

const MethodSpec qm_poped_old_ticks_to_df = {
    .name = "poped_old_ticks_to_df",
    .params = {
        {"code", Kind::Str, "str"},
    },
    .impl = not_built,
    .doc = "將 old_ticks 中的資料轉為 DataFrame\n        \n        Args:\n            code (str): 商品代號\n        \n        Returns:\n            pl.DataFrame: 轉換後的 DataFrame\n        ",
    .returns = "pl.DataFrame",
};

const MethodSpec qm_get_kbar = {
    .name = "get_kbar",
    .params = {
        {"code", Kind::Str, "str"},
        {"unit", Kind::Any, "Literal['m', 'h', 'd', 'w', 'mo', 'q', 'y']"},
        {"freq", Kind::Int, "int"},
        {"exprs", Kind::List, "List[pl.Expr]", Def::EmptyList},
        {"to_pandas_df", Kind::Any, "bool", Def::False},
    },
    .impl = not_built,
    .doc = "取得 K 線資料\n\n        Args:\n            code (str): 商品代號\n            unit (Literal[\"m\", \"h\", \"d\", \"w\", \"mo\", \"q\", \"y\"]): K 線頻率單位\n            freq (int): K 線頻率\n            exprs (List[pl.Expr]): 給予使用者自定義的運算式\n            to_pandas_df (bool): 是否轉換為 pandas DataFrame\n\n        Returns:\n            pl.DataFrame: K 線資料\n        ",
    .returns = "pl.DataFrame",
};

}  // namespace kob
