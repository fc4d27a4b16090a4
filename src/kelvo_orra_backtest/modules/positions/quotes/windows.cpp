// The non-trading windows of a market type: read, parsed into time-of-day
// microseconds when they have the usual shape, compared as objects
// otherwise, and the re-stamp of a tick that falls into one.
#include "intake.hpp"

namespace kob::quotes {

// Python's `a <= b` as a bool.
bool le(PyObject* a, PyObject* b) {
    int r = PyObject_RichCompareBool(a, b, Py_LE);
    check(r);
    return r != 0;
}

py::object make_time(py::handle datetime_cls, PyObject* text) {
    py::object parsed =
        steal(PyObject_CallMethodObjArgs(datetime_cls.ptr(), KOB_STR("strptime"), text, KOB_STR("%H:%M:%S"), nullptr));
    return steal(PyObject_CallMethodNoArgs(parsed.ptr(), KOB_STR("time")));
}

py::object windows_of(const Call& c, py::handle market_type) {
    py::object table = attr(c.self, KOB_STR("not_trade_times"));
    if (PyDict_CheckExact(table.ptr())) {
        PyObject* v = PyDict_GetItemWithError(table.ptr(), market_type.ptr());
        if (v) return borrow(v);
        if (PyErr_Occurred()) throw py::error_already_set();
        return py::list();
    }
    py::list empty;
    return steal(PyObject_CallMethodObjArgs(table.ptr(), KOB_STR("get"), market_type.ptr(), empty.ptr(), nullptr));
}

bool parse_windows(py::handle wins, WinList& out) {
    out.clear();
    if (!PyList_CheckExact(wins.ptr())) return false;
    const Py_ssize_t n = PyList_GET_SIZE(wins.ptr());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* w = PyList_GET_ITEM(wins.ptr(), i);
        if (!PyList_CheckExact(w) || PyList_GET_SIZE(w) != 2) return false;
        PyObject* a = PyList_GET_ITEM(w, 0);
        PyObject* b = PyList_GET_ITEM(w, 1);
        if (!is_naive_time(a) || !is_naive_time(b)) return false;
        if (!out.push_back({time_us(a), time_us(b)})) return false;
    }
    return true;
}

// Index of the first window holding the time `t` (a time object), or -1;
// the exact comparison of `start <= t <= end` with arbitrary objects.
Py_ssize_t window_index_generic(py::handle wins, py::handle t) {
    py::object it = steal(PyObject_GetIter(wins.ptr()));
    Py_ssize_t idx = 0;
    while (PyObject* raw = PyIter_Next(it.ptr())) {
        py::object w = steal(raw);
        py::object seq = steal(PySequence_Fast(w.ptr(), "cannot unpack non-iterable object"));
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.ptr());
        if (n != 2) {
            if (n < 2)
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", n);
            else
                PyErr_Format(PyExc_ValueError, "too many values to unpack (expected 2)");
            throw py::error_already_set();
        }
        // Owned: the first comparison may run code that empties the window.
        py::object start = borrow(PySequence_Fast_GET_ITEM(seq.ptr(), 0));
        py::object end = borrow(PySequence_Fast_GET_ITEM(seq.ptr(), 1));
        if (le(start.ptr(), t.ptr()) && le(t.ptr(), end.ptr())) return idx;
        ++idx;
    }
    if (PyErr_Occurred()) throw py::error_already_set();
    return -1;
}

// Step 3, twin of restamp_exact (proved equal by
// tests/test_quotes_intake.py::test_differential_against_rules): a tick
// inside a closed window is moved one second before the window opens.
// Null when the windows are not of the usual shape.
py::object restamp_fast(py::handle wins, py::handle ts, std::int64_t ts_us) {
    WinList parsed;
    if (!parse_windows(wins, parsed)) return {};
    const std::int64_t tod = cal::time_of_day(ts_us);
    const Win* w = parsed.holding(tod);
    if (!w) return py::reinterpret_borrow<py::object>(ts);
    const std::int64_t start_s = w->lo / cal::kUsPerSec;  // hour, minute, second
    const std::int64_t moved = ts_us - tod + start_s * cal::kUsPerSec + tod % cal::kUsPerSec - cal::kUsPerSec;
    if (moved < cal::kMinUs) {
        PyErr_SetString(PyExc_OverflowError, "date value out of range");
        throw py::error_already_set();
    }
    return make_datetime(moved);
}

// Step 3, twin of restamp_fast, with the windows compared as objects.
py::object restamp_exact(const Call& c, py::handle wins, py::handle ts) {
    py::object t = steal(PyObject_CallMethodNoArgs(ts.ptr(), KOB_STR("time")));
    const Py_ssize_t idx = window_index_generic(wins, t);
    if (idx < 0) return py::reinterpret_borrow<py::object>(ts);
    py::object w = steal(PySequence_GetItem(steal(PySequence_List(wins.ptr())).ptr(), idx));
    py::object start = steal(PySequence_GetItem(w.ptr(), 0));
    py::object hour = attr(start, KOB_STR("hour")), minute = attr(start, KOB_STR("minute")),
               second = attr(start, KOB_STR("second"));
    py::object replaced = call_kw(attr(ts, KOB_STR("replace")), {},
                                  {{KOB_STR("hour"), hour}, {KOB_STR("minute"), minute}, {KOB_STR("second"), second}});
    py::object one = call_kw(c.global(KOB_STR("timedelta")), {}, {{KOB_STR("seconds"), py::int_(1)}});
    return steal(PyNumber_Subtract(replaced.ptr(), one.ptr()));
}

}  // namespace kob::quotes
