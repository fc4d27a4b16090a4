// ColumnarQuoteManager's intake: add_tick, and add_ticks from a data frame
// (columns checked first, then stored as add_tick would store each row).
#include "parts.hpp"

namespace kob::columnar {

// ---------------------------------------------------------------------------
// Tick intake.

struct Tick {
    std::int64_t ts_us;
    int fold;
    double close;
    std::int64_t qty;
    std::int8_t tick_type;
    bool simulate;
    std::uint16_t market;
};

[[noreturn]] void raise_out_of_range() {
    PyErr_SetString(PyExc_OverflowError, "date value out of range");
    throw py::error_already_set();
}

// Stores one tick and the virtual ticks before it.  Nothing is stored when
// it fails (interrupted or out of range).
template <typename Poll>
Fill intake(State& s, CodeStore& cs, const Tick& t, Poll&& poll) {
    std::vector<std::int64_t>& virt = s.scratch;
    virt.clear();
    Row last{};
    std::uint16_t last_market = 0;
    const Market& m = s.markets[t.market];
    if (cs.rows.size()) {
        last = cs.rows.at(cs.rows.size() - 1);
        last_market = cs.rows.runs().back().second;
        const std::int64_t count = missing_minutes(last.dt, t.ts_us);
        if (count > 1) {
            auto holiday = [&](std::int64_t day) { return s.holidays.count(day) != 0; };
            const Fill f = fill_minutes(m, holiday, last.dt, t.ts_us, count, virt, poll);
            if (f != Fill::Done) return f;
        }
    }
    std::int64_t dt;
    if (!restamp(m, t.ts_us, dt)) return Fill::OutOfRange;
    for (std::int64_t v : virt) cs.rows.push(Row{v, last.close, 0, 0, kVirtual}, last_market);
    std::uint8_t flags = t.simulate ? kSimulate : 0;
    if (dt == t.ts_us && t.fold) flags |= kFold;
    cs.rows.push(Row{dt, t.close, t.qty, t.tick_type, flags}, t.market);
    return Fill::Done;
}

// Local naive time of a timestamp object as `datetime.fromtimestamp` gives
// it: computed here for ints and floats, asked of the interpreter otherwise
// (which also raises its own errors).
void local_time(PyObject* stamp, std::int64_t& us, int& fold) {
    std::int64_t sec = 0;
    int frac = 0;
    bool ok = false;
    if (PyFloat_Check(stamp)) {
        ok = cal::split_timestamp(PyFloat_AS_DOUBLE(stamp), sec, frac);
    } else if (PyLong_Check(stamp)) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(stamp, &overflow);
        if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
        ok = overflow == 0;
        sec = v;
    }
    if (ok && sec > -(std::int64_t(1) << 50) && sec < (std::int64_t(1) << 50) &&
        zone_cache().local_from_posix_cached(sec, frac, us, fold))
        return;
    py::object dt_cls = borrow(reinterpret_cast<PyObject*>(PyDateTimeAPI->DateTimeType));
    py::object ts = steal(PyObject_CallMethodOneArg(dt_cls.ptr(), KOB_STR("fromtimestamp"), stamp));
    if (!kernels::is_naive_datetime(ts.ptr())) {
        PyErr_SetString(PyExc_TypeError, "fromtimestamp() did not give a naive datetime");
        throw py::error_already_set();
    }
    us = kernels::datetime_us(ts.ptr());
    fold = PyDateTime_DATE_GET_FOLD(ts.ptr());
}

// Refuses an int that the tick table's column cannot hold (the same error
// as the row-wise manager's).
void check_fits(PyObject* key, PyObject* value, long long lo, long long hi, const char* column) {
    if (!PyLong_Check(value)) return;
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow == 0 && v >= lo && v <= hi) return;
    PyErr_Format(PyExc_OverflowError, "tick[%R] = %S does not fit %s (%lld to %lld)", key, value, column, lo, hi);
    throw py::error_already_set();
}

[[noreturn]] void raise_value_type(PyObject* key, PyObject* value, const char* expected) {
    PyErr_Format(PyExc_TypeError, "tick[%R] must be %s, got %.200s", key, expected, Py_TYPE(value)->tp_name);
    throw py::error_already_set();
}

py::object add_tick_impl(Call& c) {
    State& s = intake_state(c, "add_tick");
    ensure_datetime_api();
    py::handle tick = c[0];
    // Keys are read in the row-wise manager's order, so a tick missing
    // several keys names the same one.
    py::object stamp = item(tick, KOB_STR("timestamp"));
    py::object qty = item(tick, KOB_STR("qty"));
    check_fits(KOB_STR("qty"), qty.ptr(), -bars::kMaxTickQty, bars::kMaxTickQty, "the largest quantity of a tick");
    py::object tick_type = item(tick, KOB_STR("tick_type"));
    check_fits(KOB_STR("tick_type"), tick_type.ptr(), -128, 127, "the tick table's Int8 column");
    Tick t{};
    local_time(stamp.ptr(), t.ts_us, t.fold);
    py::object code = item(tick, KOB_STR("code"));
    py::object market = item(tick, KOB_STR("market_type"));
    py::object close = item(tick, KOB_STR("close"));
    py::object sim = item(tick, KOB_STR("is_simulate"));
    // The typed columns hold these types only.
    if (!PyUnicode_Check(code.ptr())) raise_value_type(KOB_STR("code"), code.ptr(), "a str");
    if (!PyUnicode_Check(market.ptr())) raise_value_type(KOB_STR("market_type"), market.ptr(), "a str");
    if (PyFloat_Check(close.ptr()))
        t.close = PyFloat_AS_DOUBLE(close.ptr());
    else if (PyLong_Check(close.ptr())) {
        t.close = PyLong_AsDouble(close.ptr());
        if (t.close == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    } else
        raise_value_type(KOB_STR("close"), close.ptr(), "a float or an int");
    if (!PyLong_Check(qty.ptr())) raise_value_type(KOB_STR("qty"), qty.ptr(), "an int");
    t.qty = PyLong_AsLongLong(qty.ptr());
    if (!PyLong_Check(tick_type.ptr())) raise_value_type(KOB_STR("tick_type"), tick_type.ptr(), "an int");
    t.tick_type = static_cast<std::int8_t>(PyLong_AsLong(tick_type.ptr()));
    if (PyBool_Check(sim.ptr()))
        t.simulate = sim.ptr() == Py_True;
    else if (PyLong_CheckExact(sim.ptr()) && (PyLong_AsLong(sim.ptr()) == 0 || PyLong_AsLong(sim.ptr()) == 1))
        t.simulate = PyLong_AsLong(sim.ptr()) == 1;
    else {
        PyErr_Clear();
        raise_value_type(KOB_STR("is_simulate"), sim.ptr(), "a bool");
    }
    t.market = market_of(s, market.ptr());

    std::shared_ptr<CodeStore> cs = find_store(s, code.ptr());
    const bool created = !cs;
    if (created) cs = make_store(s, code.ptr());
    Fill f;
    {
        BusyGuard guard(s);
        f = intake(s, *cs, t, [] { return PyErr_CheckSignals() == 0; });
    }
    if (f != Fill::Done) {
        if (created) {
            s.codes.erase(std::string(utf8(code.ptr())));
            s.last_store.reset();
            s.last_code = py::object();
        }
        if (f == Fill::OutOfRange) raise_out_of_range();
        throw py::error_already_set();
    }
    return py::none();
}

// ---------------------------------------------------------------------------
// Bulk intake from a data frame.

[[noreturn]] void frame_error(const char* column, const std::string& what) {
    PyErr_Format(PyExc_ValueError, "add_ticks: column '%s' %s", column, what.c_str());
    throw py::error_already_set();
}

// Index of the first true value of a boolean series.
long long first_true(py::handle mask) {
    py::object idx = attr(mask, KOB_STR("arg_true"))();
    return py::cast<long long>(idx[py::int_(0)]);
}

py::object add_ticks_impl(Call& c) {
    State& s = intake_state(c, "add_ticks");
    ensure_datetime_api();
    py::object pl = c.global(KOB_STR("pl"));
    py::handle frame = c[0];
    py::object frame_cls = attr(pl, KOB_STR("DataFrame"));
    const int is_frame = PyObject_IsInstance(frame.ptr(), frame_cls.ptr());
    check(is_frame);
    if (!is_frame) raise_arg_type("frame", "polars.DataFrame", frame.ptr());
    const std::size_t n = py::cast<std::size_t>(attr(frame, KOB_STR("height")));
    py::object columns = attr(frame, KOB_STR("columns"));
    const char* names[] = {"timestamp", "code", "market_type", "close", "qty", "tick_type", "is_simulate"};
    py::object series[7];
    for (int i = 0; i < 7; ++i) {
        if (!contains(columns, py::str(names[i]))) frame_error(names[i], "is missing");
        series[i] = attr(frame, KOB_STR("get_column"))(names[i]);
    }
    // Types first, then nulls, NaN and ranges, each naming the first bad row.
    auto dtype_of = [&](int i) { return attr(series[i], KOB_STR("dtype")); };
    auto is = [&](int i, const char* test) { return truth(dtype_of(i).attr(test)()); };
    auto dtype_error = [&](int i, const char* expected) {
        frame_error(names[i], "has dtype " + py::str(dtype_of(i)).cast<std::string>() + ", expected " + expected);
    };
    const bool ts_float = is(0, "is_float");
    if (!ts_float && !is(0, "is_integer")) dtype_error(0, "an integer or float type (seconds)");
    for (int i : {1, 2})
        if (!dtype_of(i).equal(attr(pl, KOB_STR("String")))) dtype_error(i, "String");
    if (!is(3, "is_float") && !is(3, "is_integer")) dtype_error(3, "a float or integer type");
    for (int i : {4, 5})
        if (!is(i, "is_integer")) dtype_error(i, "an integer type");
    if (!dtype_of(6).equal(attr(pl, KOB_STR("Boolean")))) dtype_error(6, "Boolean");
    for (int i = 0; i < 7; ++i) {
        if (py::cast<std::size_t>(attr(series[i], KOB_STR("null_count"))()) == 0) continue;
        frame_error(names[i], "has a null at row " + std::to_string(first_true(attr(series[i], KOB_STR("is_null"))())));
    }
    for (int i : {0, 3}) {
        if (i == 0 ? !ts_float : !is(3, "is_float")) continue;
        py::object bad = steal(PyNumber_Invert(attr(series[i], KOB_STR("is_finite"))().ptr()));
        if (truth(attr(bad, KOB_STR("any"))()))
            frame_error(names[i], "is not finite at row " + std::to_string(first_true(bad)));
    }
    // Casts that cannot hold a value leave a null there.
    auto cast_checked = [&](int i, const char* dtype, const char* what) {
        py::object out = attr(series[i], KOB_STR("cast"))(pl.attr(dtype), py::arg("strict") = false);
        if (py::cast<std::size_t>(attr(out, KOB_STR("null_count"))()) != 0)
            frame_error(names[i], std::string("has a value that does not fit ") + what + " at row " +
                                      std::to_string(first_true(attr(out, KOB_STR("is_null"))())));
        return out;
    };
    py::object ts_col = cast_checked(0, ts_float ? "Float64" : "Int64", "the timestamp range");
    auto close = numpy_of<double>(cast_checked(3, "Float64", "Float64"));
    auto qty = numpy_of<std::int64_t>(cast_checked(4, "Int64", "Int64"));
    for (std::size_t i = 0; i < n; ++i)
        if (qty.data()[i] > bars::kMaxTickQty || qty.data()[i] < -bars::kMaxTickQty)
            frame_error("qty", "has a value beyond the largest quantity of a tick (-1000000000 to 1000000000) at row " +
                                   std::to_string(i));
    auto tick_type = numpy_of<std::int8_t>(cast_checked(5, "Int8", "Int8"));
    auto sim = numpy_of<bool>(series[6]);

    // Local times, all converted before anything is stored.
    std::vector<std::int64_t> ts(n);
    std::vector<std::uint8_t> fold(n);
    {
        auto put = [&](std::size_t i, std::int64_t sec, int frac, bool ok) {
            int f = 0;
            if (!ok || !(sec > -(std::int64_t(1) << 50) && sec < (std::int64_t(1) << 50)) ||
                !zone_cache().local_from_posix_cached(sec, frac, ts[i], f))
                frame_error("timestamp", "is out of the local date-time range at row " + std::to_string(i));
            fold[i] = static_cast<std::uint8_t>(f);
        };
        if (ts_float) {
            auto a = numpy_of<double>(ts_col);
            const double* p = a.data();
            for (std::size_t i = 0; i < n; ++i) {
                std::int64_t sec = 0;
                int frac = 0;
                const bool ok = cal::split_timestamp(p[i], sec, frac);
                put(i, sec, frac, ok);
            }
        } else {
            auto a = numpy_of<std::int64_t>(ts_col);
            const std::int64_t* p = a.data();
            for (std::size_t i = 0; i < n; ++i) put(i, p[i], 0, true);
        }
    }
    // Codes and market types: the distinct texts and an index per row.
    auto distinct = [&](int i, std::vector<py::object>& uniq) {
        py::object u = attr(series[i], KOB_STR("unique"))(py::arg("maintain_order") = true);
        for (py::handle v : u) uniq.push_back(py::reinterpret_borrow<py::object>(v));
        if (uniq.size() <= 1) return py::array_t<std::uint32_t>(0);
        py::object ids = attr(pl, KOB_STR("arange"))(0, uniq.size(), py::arg("eager") = true);
        py::object idx =
            attr(series[i], KOB_STR("replace_strict"))(u, ids, py::arg("return_dtype") = attr(pl, KOB_STR("UInt32")));
        return py::array_t<std::uint32_t>(numpy_of<std::uint32_t>(idx));
    };
    std::vector<py::object> code_texts, market_texts;
    py::array_t<std::uint32_t> code_idx = distinct(1, code_texts);
    py::array_t<std::uint32_t> market_idx = distinct(2, market_texts);
    for (const py::object& t : code_texts) utf8(t.ptr());  // refuses texts without a UTF-8 form
    std::vector<std::uint16_t> market_ids;
    for (const py::object& t : market_texts) market_ids.push_back(market_of(s, t.ptr()));

    // From here on no outside code runs but signal handlers, which the busy
    // flag keeps away from this object.
    std::vector<std::shared_ptr<CodeStore>> stores;
    std::vector<std::size_t> sizes;
    std::vector<bool> created;
    for (const py::object& t : code_texts) {
        std::shared_ptr<CodeStore> cs = find_store(s, t.ptr());
        created.push_back(!cs);
        if (!cs) cs = make_store(s, t.ptr());
        sizes.push_back(cs->rows.size());
        stores.push_back(std::move(cs));
    }
    auto undo = [&] {
        for (std::size_t k = 0; k < stores.size(); ++k) {
            if (created[k])
                s.codes.erase(std::string(utf8(code_texts[k].ptr())));
            else
                stores[k]->rows.truncate(sizes[k]);
        }
        s.last_store.reset();
        s.last_code = py::object();
    };
    Fill f = Fill::Done;
    {
        BusyGuard guard(s);
        const std::uint32_t* ci = code_idx.size() ? code_idx.data() : nullptr;
        const std::uint32_t* mi = market_idx.size() ? market_idx.data() : nullptr;
        const double* pc = close.data();
        const std::int64_t* pq = qty.data();
        const std::int8_t* pt = tick_type.data();
        const bool* ps = sim.data();
        auto poll = [] { return PyErr_CheckSignals() == 0; };
        try {
            for (std::size_t i = 0; i < n; ++i) {
                if ((i & 4095) == 4095 && !poll()) {
                    f = Fill::Interrupted;
                    break;
                }
                CodeStore& cs = *stores[ci ? ci[i] : 0];
                const Tick t{ts[i], fold[i], pc[i], pq[i], pt[i], ps[i], market_ids[mi ? mi[i] : 0]};
                f = intake(s, cs, t, poll);
                if (f != Fill::Done) break;
            }
        } catch (...) {
            undo();
            throw;
        }
    }
    if (f != Fill::Done) {
        undo();
        if (f == Fill::OutOfRange) raise_out_of_range();
        throw py::error_already_set();
    }
    return py::none();
}

}  // namespace kob::columnar
