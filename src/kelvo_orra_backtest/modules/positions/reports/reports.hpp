// Helpers shared by the path, export and report methods.
#pragma once

#include "../common.hpp"

#include <initializer_list>
#include <utility>
#include <vector>

namespace kob {

// The report methods (defined in this folder).
extern const MethodSpec pos_generate_save_path;
extern const MethodSpec pos_export_trade_records;
extern const MethodSpec pos_get_profit_rows_by_code;
extern const MethodSpec pos_generate_standard_report;
extern const MethodSpec pos_generate_qs_profit_report;

}  // namespace kob

namespace kob::reports {

// Concatenation of texts (all exactly str).
inline py::object concat(std::initializer_list<py::handle> parts) {
    py::object out = steal(PyUnicode_New(0, 0));
    for (py::handle p : parts) out = steal(PyUnicode_Concat(out.ptr(), p.ptr()));
    return out;
}

// The temporary name used by write_replacing for `path`.
py::object temp_path_for(const Call& c, py::handle path);

// Removes `tmp` if it exists; errors of the removal are dropped.
void discard_file(const Call& c, py::handle tmp) noexcept;

// Refuses (ValueError) a product code that would lead a report path out of
// its folder: a path separator, a NUL, "." or "..".
void check_code(py::handle code);

// For a writer that must be given the final path itself: an earlier file
// there is moved aside first; if `write()` fails, the partial file is
// removed and the earlier one put back, and the error goes on.
template <typename F>
void write_keeping_previous(const Call& c, py::handle path, F&& write) {
    py::object os = c.global(KOB_STR("os"));
    py::object exists =
        steal(PyObject_CallMethodOneArg(attr(os, KOB_STR("path")).ptr(), KOB_STR("exists"), path.ptr()));
    py::object aside;
    if (truth(exists)) {
        aside = temp_path_for(c, path);
        try {
            steal(PyObject_CallMethodObjArgs(os.ptr(), KOB_STR("replace"), path.ptr(), aside.ptr(), nullptr));
        } catch (...) {
            discard_file(c, aside);
            throw;
        }
    }
    try {
        write();
    } catch (...) {
        if (aside) {
            PyObject* r = PyObject_CallMethodObjArgs(os.ptr(), KOB_STR("replace"), aside.ptr(), path.ptr(), nullptr);
            if (r)
                Py_DECREF(r);
            else
                PyErr_Clear();  // the earlier file stays under its aside name
        } else {
            discard_file(c, path);
        }
        throw;
    }
    if (aside) discard_file(c, aside);
}

// Writes a file completely under a temporary name in the directory of
// `path`, then moves it over `path` with os.replace.  `write_to(tmp)` does the
// writing.  On any failure the temporary file is removed and the error goes on
// to the caller, so an earlier file at `path` stays as it was.
template <typename F>
void write_replacing(const Call& c, py::handle path, F&& write_to) {
    py::object tmp = temp_path_for(c, path);
    try {
        write_to(py::handle(tmp));
        py::object os = c.global(KOB_STR("os"));
        steal(PyObject_CallMethodObjArgs(os.ptr(), KOB_STR("replace"), tmp.ptr(), path.ptr(), nullptr));
    } catch (...) {
        discard_file(c, tmp);
        throw;
    }
}

// The `__generate_save_path` of the instance, called with a file name and
// sub-folders.
template <typename... S>
py::object save_path(const Call& c, py::handle file_name, S... sub_folders) {
    return call_method(c.self, name_on_instance(pos_generate_save_path), file_name, sub_folders...);
}

// The path of the code's performance report: "<code>-profit_report<suffix>"
// under orra/profit_report.
inline py::object profit_report_path(const Call& c, py::handle code, PyObject* suffix) {
    check_code(code);
    return save_path(c, concat({code, suffix}), py::handle(KOB_STR("orra")), py::handle(KOB_STR("profit_report")));
}

}  // namespace kob::reports
