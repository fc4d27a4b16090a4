// The public signatures of the quote store's methods (name, parameters,
// doc, return annotation), shared by QuoteManager and the columnar quote
// manager so that their argument errors and introspection read the same.
#pragma once

#include "../common.hpp"

namespace kob::kernels::signatures {

inline MethodSpec get_empty_tick_df(Impl impl) {
    return {
        .name = "get_empty_tick_df",
        .impl = impl,
        .doc = "取得空的 Tick DataFrame",
        .returns = "pl.DataFrame",
    };
}

inline MethodSpec clear_ticks(Impl impl) {
    return {
        .name = "clear_ticks",
        .impl = impl,
        .doc = "清空 ticks",
    };
}

inline MethodSpec add_tick(Impl impl) {
    return {
        .name = "add_tick",
        .params =
            {
                {"tick", Kind::Dict, "Dict[str, Any]"},
            },
        .impl = impl,
        .doc = R"doc(將 Tick 資料加入到 ticks 中

        Args:
            tick (Dict[str, Any]): Tick 資料
        )doc",
    };
}

inline MethodSpec aggregate_kbar(Impl impl) {
    return {
        .name = "aggregate_kbar",
        .params =
            {
                {"tick_df", Kind::Any, "pl.DataFrame"},
            },
        .impl = impl,
        .doc = R"doc(將 Tick 資料聚合成 K 棒資料 (tick_df 已包含 kbar_time 欄位)

        Args:
            tick_df (pl.DataFrame): Tick 資料，必須包含 kbar_time 欄

        Returns:
            pl.DataFrame: 聚合後的 K 棒資料
        )doc",
        .returns = "pl.DataFrame",
    };
}

inline MethodSpec poped_tick_to_df(Impl impl) {
    return {
        .name = "poped_tick_to_df",
        .params =
            {
                {"code", Kind::Str, "str"},
            },
        .impl = impl,
        .doc = R"doc(將 ticks 中的資料轉換為 DataFrame 並清空 ticks

        Args:
            code (str): 商品代號

        Returns:
            pl.DataFrame: 轉換後的 DataFrame
        )doc",
        .returns = "pl.DataFrame",
    };
}

inline MethodSpec poped_old_ticks_to_df(Impl impl) {
    return {
        .name = "poped_old_ticks_to_df",
        .params =
            {
                {"code", Kind::Str, "str"},
            },
        .impl = impl,
        .doc = R"doc(將 old_ticks 中的資料轉為 DataFrame
        
        Args:
            code (str): 商品代號
        
        Returns:
            pl.DataFrame: 轉換後的 DataFrame
        )doc",
        .returns = "pl.DataFrame",
    };
}

// The units get_kbar accepts, in the order of its error message.  One list
// per module, kept for the life of the process and never changed.
inline py::handle units_list() {
    static PyObject* const units = [] {
        py::list l;
        for (PyObject* u :
             {KOB_STR("m"), KOB_STR("h"), KOB_STR("d"), KOB_STR("w"), KOB_STR("mo"), KOB_STR("q"), KOB_STR("y")})
            l.append(py::handle(u));
        return l.release().ptr();
    }();
    return units;
}

inline MethodSpec get_kbar(Impl impl) {
    return {
        .name = "get_kbar",
        .params =
            {
                {"code", Kind::Str, "str"},
                {"unit", Kind::Any, "Literal['m', 'h', 'd', 'w', 'mo', 'q', 'y']"},
                {"freq", Kind::Int, "int"},
                {"exprs", Kind::List, "List[pl.Expr]", Def::EmptyList},
                {"to_pandas_df", Kind::Any, "bool", Def::False},
            },
        .impl = impl,
        .doc = R"doc(取得 K 線資料

        Args:
            code (str): 商品代號
            unit (Literal["m", "h", "d", "w", "mo", "q", "y"]): K 線頻率單位
            freq (int): K 線頻率
            exprs (List[pl.Expr]): 給予使用者自定義的運算式
            to_pandas_df (bool): 是否轉換為 pandas DataFrame

        Returns:
            pl.DataFrame: K 線資料
        )doc",
        .returns = "pl.DataFrame",
    };
}

}  // namespace kob::kernels::signatures
