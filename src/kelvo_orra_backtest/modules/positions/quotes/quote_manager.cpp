// QuoteManager: the tick buffer, the trading calendar and tick intake with
// missing-minute filling.  K-bars live in kbars.cpp.

#include "quotes.hpp"

namespace kob {

namespace {

using namespace quotes;

// ---------------------------------------------------------------------------
// Construction and the small state operations.

py::object make_time(py::handle datetime_cls, PyObject* text) {
    py::object parsed =
        steal(PyObject_CallMethodObjArgs(datetime_cls.ptr(), KOB_STR("strptime"), text, KOB_STR("%H:%M:%S"), nullptr));
    return steal(PyObject_CallMethodNoArgs(parsed.ptr(), KOB_STR("time")));
}

py::object qm_init_impl(Call& c) {
    py::object pl = c.global(KOB_STR("pl"));
    py::object os = c.global(KOB_STR("os"));
    py::object path = attr(attr(os, KOB_STR("path")), KOB_STR("join"))(c.global(KOB_STR("static_dir")),
                                                                       "holidays_search_from_2017.csv");
    py::object frame = attr(pl, KOB_STR("read_csv"))(path, py::arg("has_header") = true);
    py::object dates = item(frame, KOB_STR("Date"));
    set_attr(c.self, KOB_STR("holiday_search_set"), steal(PySet_New(dates.ptr())));
    set_attr(c.self, KOB_STR("ticks"), py::dict());
    py::object dt = c.global(KOB_STR("datetime"));
    auto window = [&](PyObject* a, PyObject* b) {
        py::list w;
        w.append(make_time(dt, a));
        w.append(make_time(dt, b));
        return w;
    };
    py::list stock, future;
    stock.append(window(KOB_STR("13:30:00"), KOB_STR("23:59:59")));
    stock.append(window(KOB_STR("00:00:00"), KOB_STR("08:59:59")));
    future.append(window(KOB_STR("13:45:00"), KOB_STR("14:59:59")));
    future.append(window(KOB_STR("05:00:00"), KOB_STR("08:44:59")));
    py::dict not_trade;
    not_trade[KOB_STR(domain::kStock)] = stock;
    not_trade[KOB_STR(domain::kFuture)] = future;
    set_attr(c.self, KOB_STR("not_trade_times"), not_trade);
    return py::none();
}

py::object get_init_ticks_info_impl(Call&) {
    py::dict info;
    info[KOB_STR("ticks")] = py::list();
    info[KOB_STR("old_ticks")] = py::list();
    info[KOB_STR("last_tick")] = py::none();
    info[KOB_STR("cached_kbars")] = py::dict();
    return info;
}

py::object clear_ticks_impl(Call& c) {
    set_attr(c.self, KOB_STR("ticks"), py::dict());
    return py::none();
}

// ---------------------------------------------------------------------------
// Tick intake.

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

// `self.not_trade_times.get(market_type, [])`, read now.
py::object windows_of(Call& c, py::handle market_type) {
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

struct Win {
    std::int64_t lo, hi;
};

// A few windows kept inline (more than kMax: the object-level path).
struct WinList {
    static constexpr std::size_t kMax = 16;
    Win w[kMax];
    std::size_t n = 0;
    void clear() { n = 0; }
    bool push_back(Win x) {
        if (n == kMax) return false;
        w[n++] = x;
        return true;
    }
    // The first window holding the time of day, or nullptr.
    const Win* holding(std::int64_t tod) const {
        for (std::size_t i = 0; i < n; ++i)
            if (w[i].lo <= tod && tod <= w[i].hi) return &w[i];
        return nullptr;
    }
};

// Windows as time-of-day microseconds when they have the usual shape (a list
// of two-element lists of naive times).
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

// Python's `a <= b` as a bool.
bool le(PyObject* a, PyObject* b) {
    int r = PyObject_RichCompareBool(a, b, Py_LE);
    check(r);
    return r != 0;
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

// `datetime.fromtimestamp(stamp)` with the class read from the module now.
// Sets `us`/`fast` when the result is a plain naive datetime.
py::object local_time(Call& c, PyObject* stamp, std::int64_t& us, bool& fast) {
    py::object dt_cls = c.global(KOB_STR("datetime"));
    fast = false;
    if (dt_cls.ptr() == reinterpret_cast<PyObject*>(PyDateTimeAPI->DateTimeType)) {
        std::int64_t sec = 0;
        int frac = 0;
        bool ok = false;
        if (PyFloat_CheckExact(stamp)) {
            ok = cal::split_timestamp(PyFloat_AS_DOUBLE(stamp), sec, frac);
        } else if (PyLong_CheckExact(stamp)) {
            int overflow = 0;
            long long v = PyLong_AsLongLongAndOverflow(stamp, &overflow);
            if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
            ok = overflow == 0;
            sec = v;
        }
        int fold = 0;
        static cal::ZoneCache* const zones = new cal::ZoneCache();  // plain C++ state, never released
        if (ok && sec > -(std::int64_t(1) << 50) && sec < (std::int64_t(1) << 50) &&
            zones->local_from_posix_cached(sec, frac, us, fold)) {
            fast = true;
            return make_datetime(us, fold);
        }
    }
    py::object ts = steal(PyObject_CallMethodOneArg(dt_cls.ptr(), KOB_STR("fromtimestamp"), stamp));
    if (is_naive_datetime(ts.ptr())) {
        us = datetime_us(ts.ptr());
        fast = true;
    }
    return ts;
}

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

// State of one add_tick call shared by the two fill loops.
struct Intake {
    Call& c;
    py::handle tick;
    py::handle last;                   // previous stored record
    py::object& out;                   // new_ticks (a list, made at the first virtual tick)
    py::object market_type;            // tick["market_type"], read when first needed
    py::object windows;                // windows of that market type
    py::object holidays;               // self.holiday_search_set
    py::object v_mt, v_code, v_close;  // copied into virtual records
    bool have_virtual_src = false;

    py::handle tick_market_type() {
        if (!market_type) market_type = item(tick, KOB_STR("market_type"));
        return market_type;
    }
    py::handle wins() {
        if (!windows) windows = windows_of(c, tick_market_type());
        return windows;
    }
    bool is_future() { return equals(tick_market_type(), KOB_STR(domain::kFuture)); }
    bool is_holiday(py::handle text) {
        if (!holidays) holidays = attr(c.self, KOB_STR("holiday_search_set"));
        return contains(holidays, text);
    }
    void append_virtual(py::handle dt) {
        if (!have_virtual_src) {
            v_mt = item(last, KOB_STR("market_type"));
            v_code = item(last, KOB_STR("code"));
            v_close = item(last, KOB_STR("close"));
            have_virtual_src = true;
        }
        static PyObject* const zero = check(PyLong_FromLong(0));  // kept for the process
        py::object rec = make_record(dt.ptr(), v_mt.ptr(), v_code.ptr(), v_close.ptr(), zero, zero, Py_False, Py_True);
        if (!out) out = py::list();
        check(PyList_Append(out.ptr(), rec.ptr()));
    }
};

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
    Call& c = in.c;
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

// Refuses an int that the tick table's column cannot hold: every later
// K-bar of the code would fail on it.
void check_fits(PyObject* key, py::handle value, long long lo, long long hi, const char* column) {
    if (!PyLong_Check(value.ptr())) return;
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow == 0 && v >= lo && v <= hi) return;
    PyErr_Format(PyExc_OverflowError, "tick[%R] = %S does not fit the tick table's %s column (%lld to %lld)", key,
                 value.ptr(), column, lo, hi);
    throw py::error_already_set();
}

// Step 1: the stored record of the code's previous real tick (None before
// its first), creating the code's record on its first tick.
py::object previous_tick(Call& c, py::handle code) {
    py::object ticks = attr(c.self, KOB_STR("ticks"));
    if (PyDict_CheckExact(ticks.ptr())) {
        PyObject* known = PyDict_GetItemWithError(ticks.ptr(), code.ptr());
        if (known) return item(borrow(known), KOB_STR("last_tick"));
        if (PyErr_Occurred()) throw py::error_already_set();
    } else {
        const int has = PySequence_Contains(ticks.ptr(), code.ptr());
        check(has);
        if (has) return item(item(ticks, code), KOB_STR("last_tick"));
    }
    set_item(ticks, code, call_method(c.self, name_on_instance(qm_get_init_ticks_info)));
    return py::none();
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

// Step 2: virtual ticks for the trading minutes without a tick since the
// previous one, gathered in the call's own list.
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

// Step 4: the record stored as the code's last tick and appended after the
// call's virtual ticks, all at once.  The code's record is read again: the
// steps before may have run outside code.
void store(Call& c, py::handle code, py::handle real, py::object& new_ticks) {
    py::object info = item(attr(c.self, KOB_STR("ticks")), code);
    set_item(info, py::handle(KOB_STR("last_tick")), real);
    py::object buf = item(info, KOB_STR("ticks"));
    if (!new_ticks && PyList_CheckExact(buf.ptr())) {  // the usual case: no list of one to extend by
        check(PyList_Append(buf.ptr(), real.ptr()));
        return;
    }
    if (!new_ticks) new_ticks = py::list();
    check(PyList_Append(new_ticks.ptr(), real.ptr()));
    extend(buf, new_ticks);
}

py::object add_tick_impl(Call& c) {
    ensure_datetime_api();
    py::handle tick = c[0];
    // Each key of the tick is read once; qty and tick_type are checked
    // before anything is stored, and the record keeps the values read here
    // whatever outside code does to the tick meanwhile.
    py::object stamp = item(tick, KOB_STR("timestamp"));
    py::object qty = item(tick, KOB_STR("qty"));
    check_fits(KOB_STR("qty"), qty, INT64_MIN, INT64_MAX, "Int64");
    py::object tick_type = item(tick, KOB_STR("tick_type"));
    check_fits(KOB_STR("tick_type"), tick_type, -128, 127, "Int8");
    std::int64_t ts_us = 0;
    bool ts_fast = false;
    py::object ts = local_time(c, stamp.ptr(), ts_us, ts_fast);
    py::object code = item(tick, KOB_STR("code"));

    py::object new_ticks;  // virtual ticks of this call, if any
    py::object last = previous_tick(c, code);
    Intake in{c, tick, last, new_ticks};
    fill_missing_minutes(in, ts, ts_us, ts_fast);

    py::object mt = py::reinterpret_borrow<py::object>(in.tick_market_type());
    py::object close = item(tick, KOB_STR("close"));
    py::object is_sim = item(tick, KOB_STR("is_simulate"));
    py::object wins = windows_of(c, mt);  // read now: the filling may have run outside code
    py::object dt = ts_fast ? restamp_fast(wins, ts, ts_us) : py::object();
    if (!dt) dt = restamp_exact(c, wins, ts);
    py::object real =
        make_record(dt.ptr(), mt.ptr(), code.ptr(), close.ptr(), qty.ptr(), tick_type.ptr(), is_sim.ptr(), Py_False);
    store(c, code, real, new_ticks);
    return py::none();
}

}  // namespace

const MethodSpec qm_init = {
    .name = "__init__",
    .impl = qm_init_impl,
};

const MethodSpec qm_get_init_ticks_info = {
    .name = "get_init_ticks_info",
    .impl = get_init_ticks_info_impl,
    .doc = "取得 ticks 的初始資訊",
};

const MethodSpec qm_clear_ticks = {
    .name = "clear_ticks",
    .impl = clear_ticks_impl,
    .doc = "清空 ticks",
};

const MethodSpec qm_add_tick = {
    .name = "add_tick",
    .params =
        {
            {"tick", Kind::Dict, "Dict[str, Any]"},
        },
    .impl = add_tick_impl,
    .doc = R"doc(將 Tick 資料加入到 ticks 中

        Args:
            tick (Dict[str, Any]): Tick 資料
        )doc",
};

}  // namespace kob
