// Filling the trading minutes without a tick: virtual ticks that repeat the
// previous close, minute by minute, skipping weekends, the non-trading
// windows and the closed dates of the calendar.
#include "intake.hpp"

namespace kob::quotes {

// The record template: the eight keys in order, each mapped to None.
PyObject* record_template() {
    static PyObject* const tpl = [] {
        PyObject* d = PyDict_New();
        if (!d) throw py::error_already_set();
        for (PyObject* k : {KOB_STR("dt"), KOB_STR("market_type"), KOB_STR("code"), KOB_STR("close"), KOB_STR("qty"),
                            KOB_STR("tick_type"), KOB_STR("is_simulate"), KOB_STR("is_virtual")})
            check(PyDict_SetItem(d, k, Py_None));
        return d;  // kept for the life of the process
    }();
    return tpl;
}

py::object make_record(PyObject* dt, PyObject* market_type, PyObject* code, PyObject* close, PyObject* qty,
                       PyObject* tick_type, PyObject* is_simulate, PyObject* is_virtual) {
    py::object rec = steal(PyDict_Copy(record_template()));
    check(PyDict_SetItem(rec.ptr(), KOB_STR("dt"), dt));
    check(PyDict_SetItem(rec.ptr(), KOB_STR("market_type"), market_type));
    check(PyDict_SetItem(rec.ptr(), KOB_STR("code"), code));
    check(PyDict_SetItem(rec.ptr(), KOB_STR("close"), close));
    check(PyDict_SetItem(rec.ptr(), KOB_STR("qty"), qty));
    check(PyDict_SetItem(rec.ptr(), KOB_STR("tick_type"), tick_type));
    check(PyDict_SetItem(rec.ptr(), KOB_STR("is_simulate"), is_simulate));
    check(PyDict_SetItem(rec.ptr(), KOB_STR("is_virtual"), is_virtual));
    return rec;
}

namespace {

constexpr std::int64_t kFiveHours = 5 * 3600 * cal::kUsPerSec;

// "%Y-%m-%d" of a day number (years 1000-9999; others use strftime).
py::object date_text(std::int64_t day) {
    const cal::Civil cv = cal::civil_from_days(day);
    if (cv.y < 1000 || cv.y > 9999) {
        py::object d = make_datetime(day * cal::kUsPerDay);
        return steal(PyObject_CallMethodOneArg(d.ptr(), KOB_STR("strftime"), KOB_STR("%Y-%m-%d")));
    }
    char buf[11];
    const int y = static_cast<int>(cv.y);
    buf[0] = static_cast<char>('0' + y / 1000);
    buf[1] = static_cast<char>('0' + y / 100 % 10);
    buf[2] = static_cast<char>('0' + y / 10 % 10);
    buf[3] = static_cast<char>('0' + y % 10);
    buf[4] = '-';
    buf[5] = static_cast<char>('0' + cv.m / 10);
    buf[6] = static_cast<char>('0' + cv.m % 10);
    buf[7] = '-';
    buf[8] = static_cast<char>('0' + cv.d / 10);
    buf[9] = static_cast<char>('0' + cv.d % 10);
    return steal(PyUnicode_FromStringAndSize(buf, 10));
}

// A gap of years is millions of candidate minutes: Ctrl-C is seen every few
// thousand.  The virtual ticks gathered so far are only in the call's own
// list, so an interrupted call stores nothing.
inline void poll_signals(std::int64_t i) {
    if ((i & 4095) == 4095 && PyErr_CheckSignals() < 0) throw py::error_already_set();
}

// Candidate-minute loop on integer microseconds.
void fill_fast(Intake& in, std::int64_t last_us, std::int64_t ts_us, std::int64_t count) {
    WinList wins;
    // Parsed once; unusual windows are compared as objects, read live.
    enum class Wins { Unknown, Native, Objects } mode = Wins::Unknown;
    int future = -1;
    std::int64_t cached_day = INT64_MIN;
    bool cached_holiday = false;
    const std::int64_t base = last_us - cal::floor_mod(last_us, cal::kUsPerMin);
    for (std::int64_t i = 0; i < count; ++i) {
        poll_signals(i);
        const std::int64_t nd = base + (i + 1) * cal::kUsPerMin;
        if (nd > ts_us) break;  // a virtual tick never lies after the tick itself
        const std::int64_t day = cal::day_of(nd);
        const std::int64_t tod = nd - day * cal::kUsPerDay;
        in.tick_market_type();
        if (cal::weekday(day) >= 5) {
            if (future < 0) future = in.is_future() ? 1 : 0;
            if (!(future && tod <= kFiveHours)) continue;
        }
        if (mode == Wins::Unknown) mode = parse_windows(in.wins(), wins) ? Wins::Native : Wins::Objects;
        if (mode == Wins::Native) {
            if (wins.holding(tod)) continue;
        } else {
            py::object t = make_datetime(nd);
            py::object tm = steal(PyObject_CallMethodNoArgs(t.ptr(), KOB_STR("time")));
            if (window_index_generic(in.wins(), tm) >= 0) continue;
        }
        {
            const std::int64_t date_day = tod <= kFiveHours ? day - 1 : day;
            if (date_day < cal::day_of(cal::kMinUs)) {
                PyErr_SetString(PyExc_OverflowError, "date value out of range");
                throw py::error_already_set();
            }
            if (date_day != cached_day) {
                cached_holiday = in.is_holiday(date_text(date_day));
                cached_day = date_day;
            }
            if (cached_holiday) continue;
        }
        in.append_virtual(make_datetime(nd));
    }
}

// The same loop with the interpreter's objects, for unusual values.
void fill_generic(Intake& in, py::handle ts, py::handle last_dt, std::int64_t count) {
    const Call& c = in.c;
    py::object dt_cls = c.global(KOB_STR("datetime"));
    py::object td_cls = c.global(KOB_STR("timedelta"));
    py::object t0 = make_time(dt_cls, KOB_STR("00:00:00"));
    py::object t5 = make_time(dt_cls, KOB_STR("05:00:00"));
    py::int_ zero(0);
    py::object base =
        call_kw(attr(last_dt, KOB_STR("replace")), {}, {{KOB_STR("second"), zero}, {KOB_STR("microsecond"), zero}});
    py::object day = call_kw(td_cls, {}, {{KOB_STR("days"), py::int_(1)}});
    for (std::int64_t i = 0; i < count; ++i) {
        poll_signals(i);
        py::object step = call_kw(td_cls, {}, {{KOB_STR("minutes"), py::int_(i + 1)}});
        py::object nd = steal(PyNumber_Add(base.ptr(), step.ptr()));
        int later = PyObject_RichCompareBool(nd.ptr(), ts.ptr(), Py_GT);
        check(later);
        if (later) break;
        py::object t = steal(PyObject_CallMethodNoArgs(nd.ptr(), KOB_STR("time")));
        py::object wd = steal(PyObject_CallMethodNoArgs(nd.ptr(), KOB_STR("weekday")));
        int weekend = PyObject_RichCompareBool(wd.ptr(), py::int_(5).ptr(), Py_GE);
        check(weekend);
        if (weekend) {
            int fut = PyObject_RichCompareBool(in.tick_market_type().ptr(), KOB_STR(domain::kFuture), Py_EQ);
            check(fut);
            if (!(fut && le(t0.ptr(), t.ptr()) && le(t.ptr(), t5.ptr()))) continue;
        }
        if (window_index_generic(in.wins(), t) >= 0) continue;
        py::object when = le(t.ptr(), t5.ptr()) ? steal(PyNumber_Subtract(nd.ptr(), day.ptr())) : nd;
        py::object text = steal(PyObject_CallMethodOneArg(when.ptr(), KOB_STR("strftime"), KOB_STR("%Y-%m-%d")));
        if (in.is_holiday(text)) continue;
        in.append_virtual(nd);
    }
}

// Step 2, twin of missing_minutes_exact (proved equal by
// tests/test_quotes_intake.py::test_differential_against_rules): the count
// of candidate minutes between the previous tick and this one, on integer
// microseconds.
std::int64_t missing_minutes_fast(std::int64_t last_us, std::int64_t ts_us) {
    const std::int64_t diff_us = ts_us - last_us;
    double diff_seconds;
    if (diff_us > -(std::int64_t(1) << 53) && diff_us < (std::int64_t(1) << 53)) {
        diff_seconds = static_cast<double>(diff_us) / 1e6;
    } else {
        py::object q = steal(PyNumber_TrueDivide(py::int_(diff_us).ptr(), py::int_(1000000).ptr()));
        diff_seconds = PyFloat_AsDouble(q.ptr());
    }
    const std::int64_t diff_minute = static_cast<std::int64_t>(cal::py_floordiv(diff_seconds, 60.0));
    const bool rest =
        cal::py_fmod(diff_seconds, 60.0) > 0 && cal::minute_of_hour(ts_us) - cal::minute_of_hour(last_us) > 1;
    return diff_minute + (rest ? 1 : 0);
}

// Step 2, twin of missing_minutes_fast: the same count with the
// interpreter's date-time objects, for unusual values.
std::int64_t missing_minutes_exact(py::handle ts, py::handle last_dt) {
    py::object diff = steal(PyNumber_Subtract(ts.ptr(), last_dt.ptr()));
    py::object secs = steal(PyObject_CallMethodNoArgs(diff.ptr(), KOB_STR("total_seconds")));
    py::object sixty = py::int_(60);
    py::object dm = steal(PyNumber_Long(steal(PyNumber_FloorDivide(secs.ptr(), sixty.ptr())).ptr()));
    py::object rem = steal(PyNumber_Remainder(secs.ptr(), sixty.ptr()));
    int pos = PyObject_RichCompareBool(rem.ptr(), py::int_(0).ptr(), Py_GT);
    check(pos);
    int rest = 0;
    if (pos) {
        py::object m1 = attr(ts, KOB_STR("minute"));
        py::object m0 = attr(last_dt, KOB_STR("minute"));
        py::object d = steal(PyNumber_Subtract(m1.ptr(), m0.ptr()));
        int gt = PyObject_RichCompareBool(d.ptr(), py::int_(1).ptr(), Py_GT);
        check(gt);
        rest = gt ? 1 : 0;
    }
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(dm.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow > 0 || v > INT64_MAX - 1) v = INT64_MAX - 1;
    if (overflow < 0) v = INT64_MIN + 1;
    return v + rest;
}

}  // namespace

void fill_missing_minutes(Intake& in, py::handle ts, std::int64_t ts_us, bool ts_fast) {
    if (!truth(in.last)) return;
    py::object last_dt = item(in.last, KOB_STR("dt"));
    const bool fast = ts_fast && is_naive_datetime(last_dt.ptr()) &&
                      in.c.global(KOB_STR("timedelta")).ptr() == reinterpret_cast<PyObject*>(PyDateTimeAPI->DeltaType);
    if (fast) {
        const std::int64_t last_us = datetime_us(last_dt.ptr());
        const std::int64_t count = missing_minutes_fast(last_us, ts_us);
        if (count > 1) fill_fast(in, last_us, ts_us, count);
    } else {
        const std::int64_t count = missing_minutes_exact(ts, last_dt);
        if (count > 1) fill_generic(in, ts, last_dt, count);
    }
}

}  // namespace kob::quotes
