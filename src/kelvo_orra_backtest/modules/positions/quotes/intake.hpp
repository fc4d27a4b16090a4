// Tick intake pieces shared by add_tick's steps: the stored record, the
// non-trading windows, and the filling of minutes without a tick.
#pragma once

#include <cstdint>

#include "quotes.hpp"

namespace kob::quotes {

// A stored tick record: the eight keys in the tick table's order.
py::object make_record(PyObject* dt, PyObject* market_type, PyObject* code, PyObject* close, PyObject* qty,
                       PyObject* tick_type, PyObject* is_simulate, PyObject* is_virtual);

// A naive time parsed from "%H:%M:%S" text by the datetime class given.
py::object make_time(py::handle datetime_cls, PyObject* text);

// Python's `a <= b` as a bool.
bool le(PyObject* a, PyObject* b);

// `self.not_trade_times.get(market_type, [])`, read now.
py::object windows_of(const Call& c, py::handle market_type);

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
bool parse_windows(py::handle wins, WinList& out);

// Index of the first window holding the time `t` (a time object), or -1.
Py_ssize_t window_index_generic(py::handle wins, py::handle t);

// State of one add_tick call shared by the two fill loops.
struct Intake {
    const Call& c;
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

// Step 2 of add_tick: virtual ticks for the trading minutes without a tick
// since the previous one, gathered in the call's own list.
void fill_missing_minutes(Intake& in, py::handle ts, std::int64_t ts_us, bool ts_fast);

// Step 3 of add_tick: the tick's time, moved one second before the window it
// falls in opens.  The fast twin gives null when the windows are unusual.
py::object restamp_fast(py::handle wins, py::handle ts, std::int64_t ts_us);
py::object restamp_exact(const Call& c, py::handle wins, py::handle ts);

}  // namespace kob::quotes
