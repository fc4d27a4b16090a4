// The standard report of one code: its one-minute K-bars, its profit rows and
// their trade points, the fee settings and the account figures, rendered from
// the report template.
#include "../account/account.hpp"
#include "reports.hpp"

namespace kob {

namespace {

constexpr const char* kTimeFormat = "%Y-%m-%d %H:%M:%S";

// The time of a profit row's "entry_dt"/"exit_dt": epoch seconds as the local
// time, or a text already written by an earlier report read back as that time.
py::object row_time(const Call& c, py::handle value) {
    py::object dt_cls = c.global(KOB_STR("datetime"));
    if (PyUnicode_Check(value.ptr()))
        return steal(
            PyObject_CallMethodObjArgs(dt_cls.ptr(), KOB_STR("strptime"), value.ptr(), KOB_STR(kTimeFormat), nullptr));
    return steal(PyObject_CallMethodOneArg(dt_cls.ptr(), KOB_STR("fromtimestamp"), value.ptr()));
}

py::object format_time(py::handle when) {
    return steal(PyObject_CallMethodOneArg(when.ptr(), KOB_STR("strftime"), KOB_STR(kTimeFormat)));
}

// `when` with second and microsecond set to 0, as text.
py::object minute_text(py::handle when) {
    py::object replace = attr(when, KOB_STR("replace"));
    py::int_ zero(0);
    py::object minute = call_kw(replace, {}, {{KOB_STR("second"), zero}, {KOB_STR("microsecond"), zero}});
    return format_time(minute);
}

py::dict trade_point(py::handle row, PyObject* type, py::handle minute, PyObject* price_key, PyObject* origin_key) {
    py::dict point;
    point[KOB_STR("code")] = item(row, KOB_STR("code"));
    point[KOB_STR("type")] = type;
    point[KOB_STR("dt")] = minute;
    point[KOB_STR("qty")] = item(row, KOB_STR("qty"));
    point[KOB_STR("price")] = item(row, price_key);
    point[KOB_STR("origin_price")] = item(row, origin_key);
    return point;
}

// The K-bars with "dt" as text and the columns renamed for the chart, as a
// list of row dicts.
py::object chart_rows(const Call& c, py::handle kbar) {
    py::object pl = c.global(KOB_STR("pl"));
    py::object dt_col = steal(PyObject_CallMethodOneArg(pl.ptr(), KOB_STR("col"), KOB_STR("dt")));
    py::object as_text =
        steal(PyObject_CallMethodOneArg(attr(dt_col, KOB_STR("dt")).ptr(), KOB_STR("strftime"), KOB_STR(kTimeFormat)));
    py::object frame = steal(PyObject_CallMethodOneArg(kbar.ptr(), KOB_STR("with_columns"), as_text.ptr()));
    py::dict names;
    names[KOB_STR("dt")] = KOB_STR("time");
    names[KOB_STR("Open")] = KOB_STR("open");
    names[KOB_STR("High")] = KOB_STR("high");
    names[KOB_STR("Low")] = KOB_STR("low");
    names[KOB_STR("Close")] = KOB_STR("close");
    names[KOB_STR("Volume")] = KOB_STR("volume");
    frame = steal(PyObject_CallMethodOneArg(frame.ptr(), KOB_STR("rename"), names.ptr()));
    return steal(PyObject_CallMethodNoArgs(frame.ptr(), KOB_STR("to_dicts")));
}

py::object dumps(const Call& c, py::handle value) {
    py::object json = c.global(KOB_STR("json"));
    return steal(PyObject_CallMethodOneArg(json.ptr(), KOB_STR("dumps"), value.ptr()));
}

// Writes `text` to `path` in UTF-8 through a temporary file.
void write_text(const Call& c, py::handle path, py::handle text) {
    reports::write_replacing(c, path, [&](py::handle tmp) {
        py::object io = steal(PyImport_Import(KOB_STR("io")));
        py::object open = attr(io, KOB_STR("open"));
        py::object f = call_kw(open, {tmp, py::handle(KOB_STR("w+"))}, {{KOB_STR("encoding"), KOB_STR("utf-8")}});
        try {
            steal(PyObject_CallMethodOneArg(f.ptr(), KOB_STR("write"), text.ptr()));
        } catch (...) {
            PyObject* r = PyObject_CallMethodNoArgs(f.ptr(), KOB_STR("close"));
            if (r)
                Py_DECREF(r);
            else
                PyErr_Clear();
            throw;
        }
        steal(PyObject_CallMethodNoArgs(f.ptr(), KOB_STR("close")));
    });
}

py::object generate_standard_report(Call& c) {
    py::handle code = c[0];
    py::handle quote_manager = c[1];
    reports::check_code(code);
    console_print(c, reports::concat({KOB_STR("[bold green]產生 "), code, KOB_STR(" 的回測報告...[/bold green]")}));

    py::object result_path =
        reports::save_path(c, reports::concat({code, KOB_STR("-report.html")}), py::handle(KOB_STR("report")));

    py::object get_kbar = attr(quote_manager, KOB_STR("get_kbar"));
    py::object kbar = call_kw(get_kbar, {code}, {{KOB_STR("unit"), KOB_STR("m")}, {KOB_STR("freq"), py::int_(1)}});

    py::object profit_rows = call_method(c.self, KOB_STR("get_profit_rows_by_code"), code);
    py::list points;
    py::object it = steal(PyObject_GetIter(profit_rows.ptr()));
    while (PyObject* raw = PyIter_Next(it.ptr())) {
        py::object row = py::reinterpret_steal<py::object>(raw);
        py::object entry = row_time(c, item(row, KOB_STR("entry_dt")));
        py::object exit = row_time(c, item(row, KOB_STR("exit_dt")));
        set_item(row, py::handle(KOB_STR("entry_dt")), format_time(entry));
        set_item(row, py::handle(KOB_STR("exit_dt")), format_time(exit));
        py::object entry_minute = minute_text(entry);
        py::object exit_minute = minute_text(exit);
        check(PyList_Append(points.ptr(), trade_point(row, KOB_STR("entry"), entry_minute, KOB_STR("entry_price"),
                                                      KOB_STR("entry_origin_price"))
                                              .ptr()));
        check(PyList_Append(
            points.ptr(),
            trade_point(row, KOB_STR("exit"), exit_minute, KOB_STR("exit_price"), KOB_STR("exit_origin_price")).ptr()));
    }
    if (PyErr_Occurred()) throw py::error_already_set();

    py::object bars = chart_rows(c, kbar);

    py::object infos = attr(c.self, KOB_STR("_account_infos"));
    int has = PySequence_Contains(infos.ptr(), code.ptr());
    check(has);
    py::object account_info = has ? item(infos, code) : call_method(c.self, name_on_instance(pos_init_account_info));

    py::dict vars;
    vars[KOB_STR("kbar_df")] = dumps(c, bars);
    vars[KOB_STR("profit_rows")] = profit_rows;
    vars[KOB_STR("profit_rows_json")] = dumps(c, profit_rows);
    vars[KOB_STR("include_profit_rows")] = dumps(c, points);
    vars[KOB_STR("fee_settings")] = attr(c.self, KOB_STR("_fee_settings"));
    vars[KOB_STR("account_info")] = account_info;
    vars[KOB_STR("initial_capital")] = attr(c.self, KOB_STR("initial_capital"));
    vars[KOB_STR("current_capital")] = attr(c.self, KOB_STR("current_capital"));
    py::object qs_path = reports::profit_report_path(c, code, KOB_STR("-profit_report.html"));
    vars[KOB_STR("qs_report_path")] = steal(PyUnicode_Replace(qs_path.ptr(), KOB_STR("\\"), KOB_STR("/"), -1));

    // Rendered before anything is written, so a failing template leaves the
    // file of an earlier report as it was.
    py::object tmpl = c.global(KOB_STR("template"));
    py::object text = steal(PyObject_CallMethodOneArg(tmpl.ptr(), KOB_STR("render"), vars.ptr()));
    write_text(c, result_path, text);

    console_print(
        c, reports::concat({KOB_STR("[bold green]回測基本報告已產生: "), result_path, KOB_STR("[/bold green]")}));
    return py::none();
}

}  // namespace

const MethodSpec pos_generate_standard_report = {
    .name = "generate_standard_report",
    .params =
        {
            {"code", Kind::Str, "str"},
            {"quote_manager", Kind::Any, "QuoteManager"},
        },
    .impl = generate_standard_report,
    .doc = R"doc(產生標準的 KELVO 回測報告
        包含 K 線圖、損益報告、交易紀錄

        Args:
            code (str): 商品代號
            quote_manager (QuoteManager): QuoteManager 物件
        )doc",
};

}  // namespace kob
