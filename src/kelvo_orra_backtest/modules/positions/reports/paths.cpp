// Save paths under the data directory, the trade-record export and the
// selection of one code's profit rows.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "reports.hpp"

namespace kob {

namespace reports {

py::object temp_path_for(const Call& c, py::handle path) {
    py::object os = c.global(KOB_STR("os"));
    py::object ospath = attr(os, KOB_STR("path"));
    py::object dir = steal(PyObject_CallMethodOneArg(ospath.ptr(), KOB_STR("dirname"), path.ptr()));
    py::object base = steal(PyObject_CallMethodOneArg(ospath.ptr(), KOB_STR("basename"), path.ptr()));
    // Unique per write, not per process: two writers of the same file, in
    // two threads or two processes, never share a temporary file.  The name
    // is taken by creating the file exclusively (mode 0666 less the umask,
    // as the final file would get); a name left by a crashed run is skipped.
    static std::atomic<unsigned long long> serial{0};
    for (int attempt = 0;; ++attempt) {
        const unsigned long long n = serial.fetch_add(1, std::memory_order_relaxed);
        // A hidden name ending in ".tmp": no writer infers a compression from it.
        py::object name = steal(PyUnicode_FromFormat(".%S.%ld-%llu.tmp", base.ptr(), static_cast<long>(getpid()), n));
        py::object full =
            steal(PyObject_CallMethodObjArgs(ospath.ptr(), KOB_STR("join"), dir.ptr(), name.ptr(), nullptr));
        py::object encoded = steal(PyUnicode_EncodeFSDefault(full.ptr()));
        const int fd = ::open(PyBytes_AS_STRING(encoded.ptr()), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            ::close(fd);
            return full;
        }
        if (errno != EEXIST || attempt >= 100) {
            PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, full.ptr());
            throw py::error_already_set();
        }
    }
}

void discard_file(const Call& c, py::handle tmp) noexcept {
    PyObject* os = PyDict_GetItemWithError(c.globals, KOB_STR("os"));  // borrowed
    PyObject* r = os ? PyObject_CallMethodOneArg(os, KOB_STR("remove"), tmp.ptr()) : nullptr;
    if (r)
        Py_DECREF(r);
    else
        PyErr_Clear();  // already gone, or never created
}

void check_code(py::handle code) {
    if (!PyUnicode_Check(code.ptr())) return;  // the methods' own type checks speak for other values
    Py_ssize_t len = 0;
    const char* text = PyUnicode_AsUTF8AndSize(code.ptr(), &len);
    if (!text) {  // lone surrogates: not a name, but no separator either
        PyErr_Clear();
        return;
    }
    const std::string_view s(text, static_cast<std::size_t>(len));
    if (s == "." || s == ".." || s.find_first_of(std::string_view("/\\\0", 3)) != std::string_view::npos) {
        PyErr_Format(PyExc_ValueError,
                     "product code %R cannot name a report file: it holds a path separator or NUL, or is '.' or '..'",
                     code.ptr());
        throw py::error_already_set();
    }
}

}  // namespace reports

namespace {

py::object generate_save_path(Call& c) {
    py::object info = c.global(KOB_STR("BASIC_INFO"));
    py::object root = attr(info, KOB_STR("data_dir"));
    py::object ospath = attr(c.global(KOB_STR("os")), KOB_STR("path"));
    py::object join = attr(ospath, KOB_STR("join"));

    py::object dir_path = root;
    const Py_ssize_t n = PyTuple_GET_SIZE(c.star);
    if (n > 0) {
        std::vector<PyObject*> parts;
        parts.reserve(n + 1);
        parts.push_back(root.ptr());
        for (Py_ssize_t i = 0; i < n; ++i) parts.push_back(PyTuple_GET_ITEM(c.star, i));
        dir_path = steal(PyObject_Vectorcall(join.ptr(), parts.data(), parts.size(), nullptr));
    }
    py::object make_dir = c.global(KOB_STR("make_dir"));
    steal(PyObject_CallOneArg(make_dir.ptr(), dir_path.ptr()));

    py::object result = dir_path;
    if (!c[0].is_none()) {
        PyObject* args[] = {dir_path.ptr(), c[0].ptr()};
        result = steal(PyObject_Vectorcall(join.ptr(), args, 2, nullptr));
    }
    if (!PyUnicode_CheckExact(result.ptr())) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "str", Py_TYPE(result.ptr())->tp_name);
        throw py::error_already_set();
    }
    return result;
}

py::object export_trade_records(Call& c) {
    py::object now = steal(PyObject_CallMethodNoArgs(c.global(KOB_STR("datetime")).ptr(), KOB_STR("now")));
    py::object stamp = steal(PyObject_CallMethodOneArg(now.ptr(), KOB_STR("strftime"), KOB_STR("%Y-%m-%d %H%M%S")));
    py::object file_name = steal(PyUnicode_Concat(stamp.ptr(), KOB_STR("_trade_records.csv")));
    py::object path = reports::save_path(c, file_name, py::handle(KOB_STR("trade_records")));

    py::object frame_cls = attr(c.global(KOB_STR("pl")), KOB_STR("DataFrame"));
    py::object records = attr(c.self, KOB_STR("trade_records"));
    // Typed from every record: a float price after a hundred int ones is
    // kept, not cut to an integer.
    py::object df = call_kw(frame_cls, {records}, {{KOB_STR("infer_schema_length"), py::none()}});
    reports::write_replacing(
        c, path, [&](py::handle tmp) { steal(PyObject_CallMethodOneArg(df.ptr(), KOB_STR("write_csv"), tmp.ptr())); });

    console_print(c, reports::concat({KOB_STR("[bold green]交易紀錄已匯出至: "), path, KOB_STR("[/bold green]")}));
    return py::none();
}

py::object get_profit_rows_by_code(Call& c) {
    py::object report = attr(c.self, KOB_STR("_profit_report"));
    py::object rows = item(report, KOB_STR("rows"));
    py::list out;
    py::object it = steal(PyObject_GetIter(rows.ptr()));
    while (PyObject* raw = PyIter_Next(it.ptr())) {
        py::object row = py::reinterpret_steal<py::object>(raw);
        py::object code = item(row, KOB_STR("code"));
        int eq = PyObject_RichCompareBool(code.ptr(), c[0].ptr(), Py_EQ);
        check(eq);
        if (eq) check(PyList_Append(out.ptr(), row.ptr()));
    }
    if (PyErr_Occurred()) throw py::error_already_set();
    return out;
}

}  // namespace

const MethodSpec pos_generate_save_path = {
    .name = "__generate_save_path",
    .params =
        {
            {"file_name", Kind::StrOrNone, "str", Def::None},
        },
    .impl = generate_save_path,
    .doc = R"doc(產生檔案儲存路徑

        Args:
            file_name (str): 檔案名稱, 預設為 None, 為 None 時不會產生檔案名稱

        Returns:
            str: 檔案路徑
        )doc",
    .returns = "str",
    .star = "sub_folder",
};

const MethodSpec pos_export_trade_records = {
    .name = "export_trade_records",
    .impl = export_trade_records,
    .doc = "匯出交易紀錄",
};

const MethodSpec pos_get_profit_rows_by_code = {
    .name = "get_profit_rows_by_code",
    .params =
        {
            {"code", Kind::Str, "str"},
        },
    .impl = get_profit_rows_by_code,
    .doc = R"doc(回傳指定標的的損益報告

        Args:
            code (str): 商品代號

        Returns:
            List[Dict[str, Any]]: 損益報告
        )doc",
    .returns = "List[Dict[str, Any]]",
};

}  // namespace kob
