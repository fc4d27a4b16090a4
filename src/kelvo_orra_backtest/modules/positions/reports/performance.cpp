// The performance report of one code: its realised profits as daily returns
// on the initial capital, compared with the benchmark "0050" in a tear sheet,
// and its profit rows as CSV.
#include "reports.hpp"

#include <cmath>

namespace kob {

namespace {

bool is_number(PyObject* v) { return PyFloat_Check(v) || (PyLong_Check(v) && !PyBool_Check(v)); }

// The "exit_dt" column ready for pd.to_datetime: epoch seconds (rows not yet
// rewritten by the standard report) become local date-times as
// datetime.fromtimestamp gives them; seconds it cannot place become None.
// Every other value is kept.  Returns None when the column holds no number,
// so that the column is then parsed as it is.
py::object exit_times(const Call& c, py::handle column) {
    py::object values = steal(PyObject_CallMethodNoArgs(column.ptr(), KOB_STR("tolist")));
    if (!PyList_CheckExact(values.ptr())) values = steal(PySequence_List(values.ptr()));
    bool any = false;
    py::object dt_cls;
    const Py_ssize_t n = PyList_GET_SIZE(values.ptr());
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (i >= PyList_GET_SIZE(values.ptr())) break;  // shortened by outside code
        py::object held = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(values.ptr(), i));
        PyObject* v = held.ptr();
        if (!is_number(v)) continue;
        if (!any) dt_cls = c.global(KOB_STR("datetime"));
        any = true;
        PyObject* when = PyObject_CallMethodOneArg(dt_cls.ptr(), KOB_STR("fromtimestamp"), v);
        if (!when) {
            if (!PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_OverflowError) &&
                !PyErr_ExceptionMatches(PyExc_OSError))
                throw py::error_already_set();
            PyErr_Clear();  // NaN, infinite or out of range: a missing time
            when = Py_NewRef(Py_None);
        }
        check(PyList_SetItem(values.ptr(), i, when));
    }
    if (!any) return py::none();
    return values;
}

py::object generate_qs_profit_report(Call& c) {
    py::handle code = c[0];
    py::handle quote_manager = c[1];

    py::object profit_rows = call_method(c.self, KOB_STR("get_profit_rows_by_code"), code);
    Py_ssize_t count = PyObject_Length(profit_rows.ptr());
    if (count < 0) throw py::error_already_set();
    if (count == 0) {
        console_print(c, py::handle(KOB_STR("[red]尚未有損益報告資料, 無法產生進階績效報告[/red]")));
        return py::none();
    }

    py::object report_path = reports::profit_report_path(c, code, KOB_STR("-profit_report.html"));
    py::object csv_path = reports::profit_report_path(c, code, KOB_STR("-profit_report.csv"));

    py::object pd = c.global(KOB_STR("pd"));
    py::object df = steal(PyObject_CallOneArg(attr(pd, KOB_STR("DataFrame")).ptr(), profit_rows.ptr()));

    py::object column = item(df, KOB_STR("exit_dt"));
    py::object times = exit_times(c, column);
    if (!times.is_none())
        column = call_kw(attr(pd, KOB_STR("Series")), {times},
                         {{KOB_STR("index"), attr(df, KOB_STR("index"))}, {KOB_STR("dtype"), KOB_STR("object")}});
    py::object to_datetime = attr(pd, KOB_STR("to_datetime"));
    set_item(df, py::handle(KOB_STR("exit_dt")),
             call_kw(to_datetime, {column}, {{KOB_STR("errors"), KOB_STR("coerce")}}));

    reports::write_replacing(c, csv_path, [&](py::handle tmp) {
        call_kw(attr(df, KOB_STR("to_csv")), {tmp},
                {{KOB_STR("index"), Py_False}, {KOB_STR("encoding"), KOB_STR("utf-8-sig")}});
    });

    py::object exit_col = item(df, KOB_STR("exit_dt"));
    py::object normalized = steal(PyObject_CallMethodNoArgs(attr(exit_col, KOB_STR("dt")).ptr(), KOB_STR("normalize")));
    set_item(df, py::handle(KOB_STR("date")), normalized);
    py::object grouped = steal(PyObject_CallMethodOneArg(df.ptr(), KOB_STR("groupby"), KOB_STR("date")));
    py::object daily_profit = steal(PyObject_CallMethodNoArgs(item(grouped, KOB_STR("profit")).ptr(), KOB_STR("sum")));
    py::object returns = steal(PyNumber_TrueDivide(daily_profit.ptr(), attr(c.self, KOB_STR("initial_capital")).ptr()));

    // A single day is widened to two so that the tear sheet has a span.
    Py_ssize_t days = PyObject_Length(returns.ptr());
    if (days < 0) throw py::error_already_set();
    if (days == 1) {
        py::object first = steal(PySequence_GetItem(attr(returns, KOB_STR("index")).ptr(), 0));
        py::object one_day = call_kw(attr(pd, KOB_STR("Timedelta")), {}, {{KOB_STR("days"), py::int_(1)}});
        py::object next = steal(PyNumber_Add(first.ptr(), one_day.ptr()));
        set_item(attr(returns, KOB_STR("loc")), next, py::float_(0.0));
    }
    returns = steal(PyObject_CallMethodNoArgs(returns.ptr(), KOB_STR("sort_index")));

    py::object index = attr(returns, KOB_STR("index"));
    py::object first_day = steal(PySequence_GetItem(index.ptr(), 0));
    py::object last_day = steal(PySequence_GetItem(index.ptr(), -1));

    // Benchmark: the daily closes of "0050" within the return window.
    py::object benchmark = py::none();
    py::object kbar;
    {
        py::object get_kbar = attr(quote_manager, KOB_STR("get_kbar"));
        try {
            kbar =
                call_kw(get_kbar, {KOB_STR("0050")}, {{KOB_STR("unit"), KOB_STR("d")}, {KOB_STR("freq"), py::int_(1)}});
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_KeyError)) throw;  // KeyError: no ticks of the benchmark at all
        }
    }
    if (kbar) {
        py::object pl = c.global(KOB_STR("pl"));
        py::object dt_col = steal(PyObject_CallMethodOneArg(pl.ptr(), KOB_STR("col"), KOB_STR("dt")));
        py::object lo = steal(PyObject_CallMethodNoArgs(first_day.ptr(), KOB_STR("to_pydatetime")));
        py::object hi = steal(PyObject_CallMethodNoArgs(last_day.ptr(), KOB_STR("to_pydatetime")));
        py::object cond = steal(PyNumber_And(steal(PyObject_RichCompare(dt_col.ptr(), lo.ptr(), Py_GE)).ptr(),
                                             steal(PyObject_RichCompare(dt_col.ptr(), hi.ptr(), Py_LE)).ptr()));
        py::object window = steal(PyObject_CallMethodOneArg(kbar.ptr(), KOB_STR("filter"), cond.ptr()));
        // The columns are taken as numpy arrays: the frame's own pandas
        // conversion needs pyarrow, which this package does not depend on.
        py::object dts = steal(PyObject_CallMethodOneArg(window.ptr(), KOB_STR("get_column"), KOB_STR("dt")));
        py::object close = steal(PyObject_CallMethodOneArg(window.ptr(), KOB_STR("get_column"), KOB_STR("Close")));
        Py_ssize_t closes = PyObject_Length(close.ptr());
        if (closes < 0) throw py::error_already_set();
        if (closes >= 2) {
            py::object data = steal(PyObject_CallMethodNoArgs(close.ptr(), KOB_STR("to_numpy")));
            py::object dt_values = steal(PyObject_CallMethodNoArgs(dts.ptr(), KOB_STR("to_numpy")));
            py::object idx = steal(PyObject_CallOneArg(to_datetime.ptr(), dt_values.ptr()));
            py::object prices =
                call_kw(attr(pd, KOB_STR("Series")), {}, {{KOB_STR("data"), data}, {KOB_STR("index"), idx}});
            py::object utils = attr(c.global(KOB_STR("qs")), KOB_STR("utils"));
            benchmark = steal(PyObject_CallMethodOneArg(utils.ptr(), KOB_STR("to_returns"), prices.ptr()));
        }
    }
    if (benchmark.is_none())
        console_print(c, py::handle(KOB_STR("[yellow]沒有 0050 的日 K 資料, 進階損益報告不含基準比較[/yellow]")));

    py::object html = attr(attr(c.global(KOB_STR("qs")), KOB_STR("reports")), KOB_STR("html"));
    // The library writes the final path itself: a failed write (full disk,
    // size limit) leaves the earlier tear sheet, not a partial one.
    reports::write_keeping_previous(c, report_path, [&] {
        call_kw(html, {},
                {{KOB_STR("returns"), returns},
                 {KOB_STR("download_filename"), report_path},
                 {KOB_STR("output"), report_path},
                 {KOB_STR("rf"), py::float_(0.04)},
                 {KOB_STR("title"), KOB_STR("進階損益報告")},
                 {KOB_STR("benchmark"), benchmark},
                 {KOB_STR("benchmark_title"), KOB_STR("0050")}});
    });

    console_print(
        c, reports::concat({KOB_STR("[bold green]進階損益報告已產生: "), report_path, KOB_STR("[/bold green]")}));
    console_print(c,
                  reports::concat({KOB_STR("[bold green]損益報告 CSV 已產生: "), csv_path, KOB_STR("[/bold green]")}));
    return py::none();
}

}  // namespace

const MethodSpec pos_generate_qs_profit_report = {
    .name = "generate_qs_profit_report",
    .params =
        {
            {"code", Kind::Str, "str"},
            {"quote_manager", Kind::Any, "QuoteManager"},
        },
    .impl = generate_qs_profit_report,
    .doc = R"doc(產生 QuantStats 的損益報告

        Args:
            code (str): 商品代號
            quote_manager (QuoteManager): QuoteManager 物件
        )doc",
};

}  // namespace kob
