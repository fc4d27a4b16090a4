// QuoteManager: the tick buffer, the trading calendar and tick intake with
// missing-minute filling.  K-bars live in kbars.cpp.

#include "intake.hpp"
#include "../kernels/bars.hpp"
#include "../kernels/signatures.hpp"

namespace kob {

namespace {

using namespace quotes;

// ---------------------------------------------------------------------------
// Construction and the small state operations.

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
// Tick intake: add_tick in its four steps (the middle two in gap_fill.cpp
// and windows.cpp).

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

// Refuses an int that the tick table's column cannot hold: every later
// K-bar of the code would fail on it.
void check_fits(PyObject* key, py::handle value, long long lo, long long hi, const char* column) {
    if (!PyLong_Check(value.ptr())) return;
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow == 0 && v >= lo && v <= hi) return;
    PyErr_Format(PyExc_OverflowError, "tick[%R] = %S does not fit %s (%lld to %lld)", key, value.ptr(), column, lo, hi);
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
    check_fits(KOB_STR("qty"), qty, -bars::kMaxTickQty, bars::kMaxTickQty, "the largest quantity of a tick");
    py::object tick_type = item(tick, KOB_STR("tick_type"));
    check_fits(KOB_STR("tick_type"), tick_type, -128, 127, "the tick table's Int8 column");
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

const MethodSpec qm_clear_ticks = kernels::signatures::clear_ticks(clear_ticks_impl);

const MethodSpec qm_add_tick = kernels::signatures::add_tick(add_tick_impl);

}  // namespace kob
