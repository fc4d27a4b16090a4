// ColumnarQuoteManager: the quote manager's methods over the typed, chunked
// tick store of columnar_store.hpp.  Python objects are made only where a
// caller asks for one (a tick table, a K-bar table, the last tick).
#include "columnar_manager.hpp"
#include "signatures.hpp"

#include <pybind11/numpy.h>
#include <structmember.h>

#include <map>
#include <string>
#include <string_view>
#include <unordered_map>

#include "columnar_store.hpp"
#include "quotes.hpp"

namespace kob::columnar {

namespace {

using quotes::ensure_datetime_api;

struct SvHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};

struct CacheEntry {
    Bars bars;
    py::object frame;        // the cached K-bar table
    std::size_t merged = 0;  // rows of the code folded into it
    int chunks = 0;          // appended pieces since the last rechunk
};

struct CodeStore {
    py::object code;  // the code as a str
    Rows rows;
    std::size_t popped = 0;
    std::map<std::string, CacheEntry, std::less<>> cache;  // window text -> entry
};

struct State {
    std::unordered_map<std::string, std::shared_ptr<CodeStore>, SvHash, std::equal_to<>> codes;
    // Market types met so far, each with its calendar rules.
    std::vector<py::object> market_names;
    std::vector<Market> markets;
    std::unordered_map<std::string, std::uint16_t, SvHash, std::equal_to<>> market_index;
    // The calendar read at construction.
    std::unordered_set<std::int64_t> holidays;
    py::object holiday_texts;  // the set of texts read from the file
    std::vector<std::pair<std::string, std::vector<Window>>> closed_windows;
    // Last code and market type looked up (owned, compared by identity).
    py::object last_code, last_market;
    std::shared_ptr<CodeStore> last_store;
    std::uint16_t last_market_index = 0;
    bool busy = false;
    bool ready = false;  // __init__ has read the calendar
    std::vector<std::int64_t> scratch;

    // Drops every code; the tables they held are released only after the
    // state no longer refers to them.
    void reset_codes() {
        auto dead = std::move(codes);
        codes.clear();
        std::shared_ptr<CodeStore> store = std::move(last_store);
        py::object code = std::move(last_code);
        last_store.reset();
        last_code = py::object();
    }
};

struct ColumnarObject {
    PyObject_HEAD PyObject* dict;
    PyObject* weaklist;
    State* state;
};

cal::ZoneCache& zone_cache() {
    static cal::ZoneCache* const z = new cal::ZoneCache();  // plain C++ state, never released
    return *z;
}

void columnar_dealloc(PyObject* self);

// True for an instance of the class (or of a subclass), whichever import
// made the class.
bool is_columnar(PyObject* o) {
    for (PyTypeObject* t = Py_TYPE(o); t; t = t->tp_base)
        if (t->tp_dealloc == columnar_dealloc) return true;
    return false;
}

State& state_of(Call& c, const char* method) {
    if (!c.self || !is_columnar(c.self) || !reinterpret_cast<ColumnarObject*>(c.self)->state) {
        PyErr_Format(PyExc_TypeError, "descriptor '%s' requires a 'ColumnarQuoteManager' object but received '%.200s'",
                     method, c.self ? Py_TYPE(c.self)->tp_name : "nothing");
        throw py::error_already_set();
    }
    return *reinterpret_cast<ColumnarObject*>(c.self)->state;
}

// The state for a method that changes it; refused while a bulk intake is
// polling for signals (a signal handler calling back into the object).
State& mutable_state(Call& c, const char* method) {
    State& s = state_of(c, method);
    if (s.busy) {
        PyErr_Format(PyExc_RuntimeError, "ColumnarQuoteManager.%s() called while the object is storing ticks", method);
        throw py::error_already_set();
    }
    return s;
}

// The state for the intake methods, which need the calendar.
State& intake_state(Call& c, const char* method) {
    State& s = mutable_state(c, method);
    if (!s.ready) {
        PyErr_Format(PyExc_RuntimeError, "ColumnarQuoteManager.%s(): __init__ has not run (no calendar)", method);
        throw py::error_already_set();
    }
    return s;
}

struct BusyGuard {
    State& s;
    explicit BusyGuard(State& st) : s(st) { s.busy = true; }
    ~BusyGuard() { s.busy = false; }
};

std::string_view utf8(PyObject* s) {
    Py_ssize_t len = 0;
    const char* p = PyUnicode_AsUTF8AndSize(s, &len);
    if (!p) throw py::error_already_set();
    return {p, static_cast<std::size_t>(len)};
}

std::shared_ptr<CodeStore> find_store(State& s, PyObject* code) {
    if (s.last_store && s.last_code.ptr() == code) return s.last_store;
    auto it = s.codes.find(utf8(code));
    if (it == s.codes.end()) return nullptr;
    s.last_code = py::reinterpret_borrow<py::object>(code);
    s.last_store = it->second;
    return it->second;
}

std::shared_ptr<CodeStore> make_store(State& s, PyObject* code) {
    auto cs = std::make_shared<CodeStore>();
    cs->code = steal(PyUnicode_FromStringAndSize(utf8(code).data(), static_cast<Py_ssize_t>(utf8(code).size())));
    s.codes.emplace(std::string(utf8(code)), cs);
    s.last_code = py::reinterpret_borrow<py::object>(code);
    s.last_store = cs;
    return cs;
}

std::uint16_t market_of(State& s, PyObject* name) {
    if (s.last_market && s.last_market.ptr() == name) return s.last_market_index;
    const std::string_view text = utf8(name);
    auto it = s.market_index.find(text);
    std::uint16_t idx;
    if (it != s.market_index.end()) {
        idx = it->second;
    } else {
        if (s.markets.size() >= 65535) {
            PyErr_SetString(PyExc_ValueError, "too many distinct market types (at most 65535)");
            throw py::error_already_set();
        }
        Market m;
        for (const auto& [key, wins] : s.closed_windows)
            if (key == text) m.windows = wins;
        m.future = text == "Future";
        idx = static_cast<std::uint16_t>(s.markets.size());
        s.markets.push_back(std::move(m));
        s.market_names.push_back(steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()))));
        s.market_index.emplace(std::string(text), idx);
    }
    s.last_market = py::reinterpret_borrow<py::object>(name);
    s.last_market_index = idx;
    return idx;
}

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
    if (!quotes::is_naive_datetime(ts.ptr())) {
        PyErr_SetString(PyExc_TypeError, "fromtimestamp() did not give a naive datetime");
        throw py::error_already_set();
    }
    us = quotes::datetime_us(ts.ptr());
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
    PyErr_Format(PyExc_OverflowError, "tick[%R] = %S does not fit the tick table's %s column (%lld to %lld)", key,
                 value, column, lo, hi);
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
    check_fits(KOB_STR("qty"), qty.ptr(), INT64_MIN, INT64_MAX, "Int64");
    py::object tick_type = item(tick, KOB_STR("tick_type"));
    check_fits(KOB_STR("tick_type"), tick_type.ptr(), -128, 127, "Int8");
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

template <typename T>
py::array_t<T, py::array::c_style | py::array::forcecast> numpy_of(py::handle series) {
    py::object arr = attr(series, KOB_STR("to_numpy"))();
    return py::array_t < T, py::array::c_style | py::array::forcecast > ::ensure(arr);
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

// ---------------------------------------------------------------------------
// Tables.

// [(name, dtype), ...] of the tick table.
py::list tick_schema(py::handle pl) {
    py::list schema;
    const std::pair<PyObject*, PyObject*> cols[] = {
        {KOB_STR("dt"), KOB_STR("Datetime")},         {KOB_STR("market_type"), KOB_STR("Utf8")},
        {KOB_STR("code"), KOB_STR("Utf8")},           {KOB_STR("close"), KOB_STR("Float64")},
        {KOB_STR("qty"), KOB_STR("Int64")},           {KOB_STR("tick_type"), KOB_STR("Int8")},
        {KOB_STR("is_simulate"), KOB_STR("Boolean")}, {KOB_STR("is_virtual"), KOB_STR("Boolean")},
    };
    for (const auto& [name, dtype] : cols) schema.append(py::make_tuple(py::handle(name), attr(pl, dtype)));
    return schema;
}

py::object empty_tick_df(Call& c) {
    py::object pl = c.global(KOB_STR("pl"));
    return attr(pl, KOB_STR("DataFrame"))(py::list(), py::arg("schema") = tick_schema(pl));
}

py::object get_empty_tick_df_impl(Call& c) {
    state_of(c, "get_empty_tick_df");
    return empty_tick_df(c);
}

// A numpy view of chunk memory that keeps the chunk alive.
template <typename T>
py::array_t<T> view(const std::shared_ptr<Chunk>& chunk, const T* data, std::size_t count) {
    auto* keep = new std::shared_ptr<Chunk>(chunk);
    py::capsule owner(keep, [](void* p) { delete static_cast<std::shared_ptr<Chunk>*>(p); });
    return py::array_t<T>(static_cast<py::ssize_t>(count), data, owner);
}

// Builds a frame column by column from typed arrays: through the library's
// low-level series constructors when they are there (a fraction of the cost
// of the public ones), else, or when they fail, through the public
// `Series` and `DataFrame`; both give the same table.
class Builder {
public:
    Builder(py::handle pl, bool low) : pl_(py::reinterpret_borrow<py::object>(pl)) {
        if (!low) return;
        PyObject* plr = PyObject_GetAttrString(pl.ptr(), "_plr");
        if (!plr) {
            PyErr_Clear();
            return;
        }
        py::object mod = steal(plr);
        PyObject* ps = PyObject_GetAttrString(mod.ptr(), "PySeries");
        PyObject* pd = ps ? PyObject_GetAttrString(mod.ptr(), "PyDataFrame") : nullptr;
        if (!ps || !pd) {
            Py_XDECREF(ps);
            PyErr_Clear();
            return;
        }
        ps_ = steal(ps);
        pd_ = steal(pd);
        low_ = true;
    }
    bool low() const { return low_; }

    // A numeric series of `array` (viewed, not copied, where the library
    // allows), cast to `cast_to` when given.
    py::object num(PyObject* name, py::handle array, const char* ctor, PyObject* cast_to = nullptr) {
        py::object s;
        if (low_) {
            s = ps_.attr(ctor)(py::handle(name), array, false);
            if (cast_to) s = attr(s, KOB_STR("cast"))(dtype(cast_to), true, false);
        } else {
            s = attr(pl_, KOB_STR("Series"))(py::handle(name), array);
            if (cast_to) s = attr(s, KOB_STR("cast"))(dtype(cast_to));
        }
        return s;
    }
    py::object as_datetime(py::handle s) {
        py::object t = attr(pl_, KOB_STR("Datetime"))("us");
        return low_ ? attr(s, KOB_STR("cast"))(t, true, false) : attr(s, KOB_STR("cast"))(t);
    }
    py::object datetime_us(PyObject* name, py::handle array) { return as_datetime(num(name, array, "new_i64")); }
    // Pieces joined into one series of several chunks, without copying.
    py::object joined(PyObject* name, const std::vector<py::object>& pieces, const char* ctor, PyObject* empty_dtype) {
        if (pieces.empty()) {
            py::object s =
                attr(pl_, KOB_STR("Series"))(py::handle(name), py::list(), py::arg("dtype") = dtype(empty_dtype));
            return low_ ? attr(s, KOB_STR("_s")) : s;
        }
        py::object s = num(name, pieces[0], ctor);
        for (std::size_t i = 1; i < pieces.size(); ++i) attr(s, KOB_STR("append"))(num(name, pieces[i], ctor));
        return s;
    }
    // A text column of names[idx[i]]; one repeated value when idx is all
    // the same (or empty, meaning names[0]).
    py::object text(PyObject* name, const std::vector<py::object>& names, const std::vector<std::uint32_t>& idx,
                    std::size_t n) {
        bool one = true;
        for (std::size_t i = 1; i < idx.size() && one; ++i) one = idx[i] == idx[0];
        py::list values;
        if (one && low_ && n) {
            values.append(names[idx.empty() ? 0 : idx[0]]);
            return attr(ps_.attr("new_str")(py::handle(name), values, false), KOB_STR("new_from_index"))(0, n);
        }
        if (one) {
            if (n) values.append(names[idx.empty() ? 0 : idx[0]]);
        } else {
            for (const py::object& u : names) values.append(u);
        }
        py::object s =
            attr(pl_, KOB_STR("Series"))(py::handle(name), values, py::arg("dtype") = dtype(KOB_STR("String")));
        if (one) {
            if (n) s = attr(s, KOB_STR("new_from_index"))(0, n);
        } else {
            py::array_t<std::uint32_t> a(static_cast<py::ssize_t>(idx.size()));
            std::copy(idx.begin(), idx.end(), a.mutable_data());
            s = attr(s, KOB_STR("gather"))(a);
        }
        return low_ ? attr(s, KOB_STR("_s")) : s;
    }
    py::object frame(const py::list& cols) {
        if (low_) return attr(attr(pl_, KOB_STR("DataFrame")), KOB_STR("_from_pydf"))(pd_(cols));
        return attr(pl_, KOB_STR("DataFrame"))(cols);
    }

private:
    py::object dtype(PyObject* name) { return attr(pl_, name); }
    py::object pl_, ps_, pd_;
    bool low_ = false;
};

// Runs `build(builder)` with the low-level constructors, and again with the
// public ones when those fail (a library version that changed them).
template <typename F>
py::object build_frame(py::handle pl, F&& build) {
    {
        Builder low(pl, true);
        if (low.low()) {
            try {
                return build(low);
            } catch (py::error_already_set&) {
            }
        }
    }
    Builder pub(pl, false);
    return build(pub);
}

// The tick table of rows [a, b) of a code, sorted by time with ties in
// arrival order.  Rows already in order are handed over as views of the
// store's buffers.
py::object tick_frame(Call& c, State& s, const CodeStore& cs, std::size_t a, std::size_t b) {
    py::object pl = c.global(KOB_STR("pl"));
    const std::size_t n = b - a;
    const std::vector<std::uint32_t> order = stable_order(cs.rows, a, b);
    std::vector<py::object> dt, close, qty, tt;
    py::array_t<std::uint8_t> sim(static_cast<py::ssize_t>(n)), virt(static_cast<py::ssize_t>(n));
    std::uint8_t* ps = sim.mutable_data();
    std::uint8_t* pv = virt.mutable_data();
    // Market type of each row from the runs (usually one run: no per-row list).
    std::vector<std::uint32_t> mk;
    {
        const auto& runs = cs.rows.runs();
        std::size_t r = 0;
        while (r + 1 < runs.size() && runs[r + 1].first <= a) ++r;
        const bool one = r + 1 >= runs.size() || runs[r + 1].first >= b;
        if (one) {
            mk.push_back(runs[r].second);
        } else {
            std::vector<std::uint32_t> by_row(n);
            for (std::size_t i = a; i < b; ++i) {
                while (r + 1 < runs.size() && runs[r + 1].first <= i) ++r;
                by_row[i - a] = runs[r].second;
            }
            mk.resize(n);
            for (std::size_t k = 0; k < n; ++k) mk[k] = by_row[order.empty() ? k : order[k]];
        }
    }
    if (order.empty()) {
        std::size_t k = 0;
        cs.rows.pieces(a, b, [&](const std::shared_ptr<Chunk>& ch, std::size_t lo, std::size_t cnt) {
            dt.push_back(view(ch, ch->dt.get() + lo, cnt));
            close.push_back(view(ch, ch->close.get() + lo, cnt));
            qty.push_back(view(ch, ch->qty.get() + lo, cnt));
            tt.push_back(view(ch, ch->tick_type.get() + lo, cnt));
            const std::uint8_t* f = ch->flags.get() + lo;
            for (std::size_t j = 0; j < cnt; ++j, ++k) {
                ps[k] = f[j] & kSimulate;
                pv[k] = (f[j] & kVirtual) >> 1;
            }
        });
    } else {
        py::array_t<std::int64_t> d(static_cast<py::ssize_t>(n)), q(static_cast<py::ssize_t>(n));
        py::array_t<double> cl(static_cast<py::ssize_t>(n));
        py::array_t<std::int8_t> t(static_cast<py::ssize_t>(n));
        std::vector<Row> rows;
        rows.reserve(n);
        cs.rows.each(a, b, [&](std::size_t, const Row& r) { rows.push_back(r); });
        auto* pd = d.mutable_data();
        auto* pq = q.mutable_data();
        auto* pc = cl.mutable_data();
        auto* pt = t.mutable_data();
        for (std::size_t k = 0; k < n; ++k) {
            const Row& r = rows[order[k]];
            pd[k] = r.dt;
            pc[k] = r.close;
            pq[k] = r.qty;
            pt[k] = r.tick_type;
            ps[k] = r.flags & kSimulate;
            pv[k] = (r.flags & kVirtual) >> 1;
        }
        dt.push_back(d);
        close.push_back(cl);
        qty.push_back(q);
        tt.push_back(t);
    }
    const std::vector<py::object> code_names{cs.code};
    return build_frame(pl, [&](Builder& f) {
        py::list cols;
        cols.append(f.as_datetime(f.joined(KOB_STR("dt"), dt, "new_i64", KOB_STR("Int64"))));
        cols.append(f.text(KOB_STR("market_type"), s.market_names, mk, n));
        cols.append(f.text(KOB_STR("code"), code_names, {}, n));
        cols.append(f.joined(KOB_STR("close"), close, "new_f64", KOB_STR("Float64")));
        cols.append(f.joined(KOB_STR("qty"), qty, "new_i64", KOB_STR("Int64")));
        cols.append(f.joined(KOB_STR("tick_type"), tt, "new_i8", KOB_STR("Int8")));
        cols.append(f.num(KOB_STR("is_simulate"), sim, "new_u8", KOB_STR("Boolean")));
        cols.append(f.num(KOB_STR("is_virtual"), virt, "new_u8", KOB_STR("Boolean")));
        return f.frame(cols);
    });
}

py::object poped_tick_to_df_impl(Call& c) {
    State& s = mutable_state(c, "poped_tick_to_df");
    std::shared_ptr<CodeStore> cs = find_store(s, c[0].ptr());
    if (!cs || cs->popped == cs->rows.size()) return empty_tick_df(c);
    const std::size_t a = cs->popped, b = cs->rows.size();
    cs->popped = b;
    return tick_frame(c, s, *cs, a, b);
}

py::object poped_old_ticks_to_df_impl(Call& c) {
    State& s = state_of(c, "poped_old_ticks_to_df");
    std::shared_ptr<CodeStore> cs = find_store(s, c[0].ptr());
    if (!cs || cs->popped == 0) return empty_tick_df(c);
    return tick_frame(c, s, *cs, 0, cs->popped);
}

py::object clear_ticks_impl(Call& c) {
    mutable_state(c, "clear_ticks").reset_codes();
    return py::none();
}

// ---------------------------------------------------------------------------
// K-bars.

py::object aggregate_kbar_impl(Call& c) {
    state_of(c, "aggregate_kbar");
    py::object pl = c.global(KOB_STR("pl"));
    py::object col = attr(pl, KOB_STR("col"));
    py::list keys;
    keys.append(py::handle(KOB_STR("kbar_time")));
    keys.append(py::handle(KOB_STR("code")));
    py::object grouped = attr(c[0], KOB_STR("group_by"))(keys);
    auto agg = [&](PyObject* src, PyObject* fn, PyObject* alias) {
        return attr(attr(col(py::handle(src)), fn)(), KOB_STR("alias"))(py::handle(alias));
    };
    py::list exprs;
    exprs.append(agg(KOB_STR("close"), KOB_STR("first"), KOB_STR("Open")));
    exprs.append(agg(KOB_STR("close"), KOB_STR("max"), KOB_STR("High")));
    exprs.append(agg(KOB_STR("close"), KOB_STR("min"), KOB_STR("Low")));
    exprs.append(agg(KOB_STR("close"), KOB_STR("last"), KOB_STR("Close")));
    exprs.append(agg(KOB_STR("qty"), KOB_STR("sum"), KOB_STR("Volume")));
    py::dict mapping;
    mapping[KOB_STR("kbar_time")] = py::handle(KOB_STR("dt"));
    return attr(attr(grouped, KOB_STR("agg"))(exprs), KOB_STR("rename"))(mapping);
}

py::handle units_list() {
    static PyObject* const units = [] {
        py::list l;
        for (PyObject* u :
             {KOB_STR("m"), KOB_STR("h"), KOB_STR("d"), KOB_STR("w"), KOB_STR("mo"), KOB_STR("q"), KOB_STR("y")})
            l.append(py::handle(u));
        return l.release().ptr();  // kept for the life of the process, never changed
    }();
    return units;
}

constexpr bucket::Unit kUnits[] = {bucket::Unit::Minute, bucket::Unit::Hour,    bucket::Unit::Day, bucket::Unit::Week,
                                   bucket::Unit::Month,  bucket::Unit::Quarter, bucket::Unit::Year};
constexpr const char* kUnitText[] = {"m", "h", "d", "w", "mo", "q", "y"};

// K-bar table of bars[from:].
py::object bars_frame(py::handle pl, const Bars& bars, std::size_t from, py::handle code) {
    const std::size_t n = bars.size() - from;
    auto arr = [&](const auto& v) {
        using T = typename std::decay_t<decltype(v)>::value_type;
        py::array_t<T> a(static_cast<py::ssize_t>(n));
        std::copy(v.begin() + static_cast<std::ptrdiff_t>(from), v.end(), a.mutable_data());
        return a;
    };
    py::array_t<std::int64_t> dt = arr(bars.dt), volume = arr(bars.volume);
    py::array_t<double> open = arr(bars.open), high = arr(bars.high), low = arr(bars.low), close = arr(bars.close);
    const std::vector<py::object> names{py::reinterpret_borrow<py::object>(code)};
    return build_frame(pl, [&](Builder& f) {
        py::list cols;
        cols.append(f.datetime_us(KOB_STR("dt"), dt));
        cols.append(f.text(KOB_STR("code"), names, {}, n));
        cols.append(f.num(KOB_STR("Open"), open, "new_f64"));
        cols.append(f.num(KOB_STR("High"), high, "new_f64"));
        cols.append(f.num(KOB_STR("Low"), low, "new_f64"));
        cols.append(f.num(KOB_STR("Close"), close, "new_f64"));
        cols.append(f.num(KOB_STR("Volume"), volume, "new_i64"));
        return f.frame(cols);
    });
}

py::object return_fn(Call& c, py::handle df) {
    if (truth(c[4])) return steal(PyObject_CallMethodNoArgs(df.ptr(), KOB_STR("to_pandas")));
    return py::reinterpret_borrow<py::object>(df);
}

py::object finish(Call& c, py::handle kbar_df) {
    if (truth(c[3])) return return_fn(c, attr(kbar_df, KOB_STR("with_columns"))(c[3]));
    return return_fn(c, kbar_df);
}

// Bar start of a time, remembering the span of the last bar (or, for
// calendar months, quarters and years, of the last day) so that the
// arithmetic runs once per bar rather than once per row.
struct Bucketer {
    bucket::Window w;
    std::int64_t lo = 1, hi = 0, bar = 0;
    std::int64_t of(std::int64_t t) {
        if (t >= lo && t < hi) return bar;
        bar = bucket::truncate(t, w);
        switch (w.unit) {
            case bucket::Unit::Minute: lo = bar, hi = bar + w.every * cal::kUsPerMin; break;
            case bucket::Unit::Hour: lo = bar, hi = bar + w.every * 60 * cal::kUsPerMin; break;
            case bucket::Unit::Day: lo = bar, hi = bar + w.every * cal::kUsPerDay; break;
            case bucket::Unit::Week: lo = bar, hi = bar + w.every * 7 * cal::kUsPerDay; break;
            default: lo = t - cal::floor_mod(t, cal::kUsPerDay), hi = lo + cal::kUsPerDay; break;
        }
        return bar;
    }
};

// Bars of rows [a, b) (time order), leaving out simulated rows when asked
// and bars before `floor`.  Bar starts come from the native bucketing when
// the window and the times allow it, otherwise from the data-frame
// library's `dt.truncate` with the window text (whose errors then surface).
Bars fold_rows(Call& c, const CodeStore& cs, std::size_t a, std::size_t b, bool native, bucket::Window w,
               const std::string& window, bool skip_simulated, std::int64_t floor) {
    Bars out;
    BarFolder folder(out);
    auto add = [&](std::int64_t bar, const Row& r) {
        if (skip_simulated && (r.flags & kSimulate)) return;
        if (bar < floor) return;
        folder.add(bar, r.close, r.qty);
    };
    // One pass when the rows are in time order and in the natively bucketed
    // range (the usual case); it gives up at the first row that is not.
    bool sorted = true;
    if (native && !skip_simulated && b > a && cs.rows.in_order(a, b) && cs.rows.dt_at(a) >= bucket::kSafeLo &&
        cs.rows.dt_at(b - 1) < bucket::kSafeHi) {
        // Rows in time order: each bar's rows are found by binary search on
        // the times and folded at once.
        Bucketer bk{w};
        cs.rows.pieces(a, b, [&](const std::shared_ptr<Chunk>& ch, std::size_t lo, std::size_t cnt) {
            const std::int64_t* d = ch->dt.get() + lo;
            const double* cl = ch->close.get() + lo;
            const std::int64_t* q = ch->qty.get() + lo;
            std::size_t j = 0;
            while (j < cnt) {
                const std::int64_t bar = bk.of(d[j]);
                const std::size_t k = static_cast<std::size_t>(std::lower_bound(d + j + 1, d + cnt, bk.hi) - d);
                if (bar >= floor) folder.add_run(bar, cl + j, q + j, k - j);
                j = k;
            }
        });
        folder.flush();
        return out;
    }
    if (native && skip_simulated) {
        Bucketer bk{w};
        std::int64_t prev = INT64_MIN;
        bool ok = true;
        cs.rows.pieces(a, b, [&](const std::shared_ptr<Chunk>& ch, std::size_t lo, std::size_t cnt) {
            if (!ok) return;
            const std::int64_t* d = ch->dt.get() + lo;
            const double* cl = ch->close.get() + lo;
            const std::int64_t* q = ch->qty.get() + lo;
            const std::uint8_t* f = ch->flags.get() + lo;
            for (std::size_t j = 0; j < cnt; ++j) {
                const std::int64_t t = d[j];
                if (t < prev || t < bucket::kSafeLo || t >= bucket::kSafeHi) {
                    ok = false;
                    return;
                }
                prev = t;
                if (skip_simulated && (f[j] & kSimulate)) continue;
                const std::int64_t bar = bk.of(t);
                if (bar < floor) continue;
                folder.add(bar, cl[j], q[j]);
            }
        });
        if (ok) {
            folder.flush();
            return out;
        }
        out = Bars();
        folder.reset();
    }
    if (native) {
        std::int64_t p = INT64_MIN;
        cs.rows.each(a, b, [&](std::size_t, const Row& r) {
            if (r.dt < p) sorted = false;
            if (r.dt < bucket::kSafeLo || r.dt >= bucket::kSafeHi) native = false;
            p = r.dt;
        });
    } else {
        std::int64_t p = INT64_MIN;
        cs.rows.each(a, b, [&](std::size_t, const Row& r) {
            if (r.dt < p) sorted = false;
            p = r.dt;
        });
    }
    std::vector<Row> rows;
    rows.reserve(b - a);
    cs.rows.each(a, b, [&](std::size_t, const Row& r) { rows.push_back(r); });
    if (!sorted) std::stable_sort(rows.begin(), rows.end(), [](const Row& x, const Row& y) { return x.dt < y.dt; });
    if (native) {
        Bucketer bk{w};
        for (const Row& r : rows) add(bk.of(r.dt), r);
    } else {
        py::object pl = c.global(KOB_STR("pl"));
        py::array_t<std::int64_t> d(static_cast<py::ssize_t>(rows.size()));
        for (std::size_t k = 0; k < rows.size(); ++k) d.mutable_data()[k] = rows[k].dt;
        py::object s = attr(attr(pl, KOB_STR("Series"))("dt", d), KOB_STR("cast"))(attr(pl, KOB_STR("Datetime"))("us"));
        py::object t = attr(attr(s, KOB_STR("dt")), KOB_STR("truncate"))(window);
        auto bars = numpy_of<std::int64_t>(attr(t, KOB_STR("cast"))(attr(pl, KOB_STR("Int64"))));
        for (std::size_t k = 0; k < rows.size(); ++k) add(bars.data()[k], rows[k]);
    }
    folder.flush();
    return out;
}

py::object get_kbar_impl(Call& c) {
    State& s = mutable_state(c, "get_kbar");
    const Py_ssize_t unit_idx = PySequence_Index(units_list().ptr(), c[1].ptr());
    if (unit_idx < 0) {
        if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_ValueError)) throw py::error_already_set();
        PyErr_SetString(PyExc_TypeError, "'unit' must be one of ['m', 'h', 'd', 'w', 'mo', 'q', 'y']");
        throw py::error_already_set();
    }
    py::handle code = c[0];
    std::shared_ptr<CodeStore> cs = find_store(s, code.ptr());
    if (!cs) {
        PyObject* tup = PyTuple_Pack(1, code.ptr());
        if (tup) {
            PyErr_SetObject(PyExc_KeyError, tup);
            Py_DECREF(tup);
        }
        throw py::error_already_set();
    }
    // The window: native for 1 <= freq <= the native limit.
    int overflow = 0;
    const long long freq = PyLong_AsLongLongAndOverflow(c[2].ptr(), &overflow);
    if (freq == -1 && PyErr_Occurred()) throw py::error_already_set();
    const bool native = !overflow && freq >= 1 && freq <= bucket::kMaxFreq;
    std::string window;
    if (overflow)
        window = py::str(c[2]).cast<std::string>();
    else
        window = std::to_string(freq);
    window += kUnitText[unit_idx];
    const bucket::Window w{kUnits[unit_idx], native ? freq : 1};
    py::object pl = c.global(KOB_STR("pl"));
    const std::size_t n = cs->rows.size();

    auto found = cs->cache.find(window);
    if (found != cs->cache.end()) {
        CacheEntry& e = found->second;
        if (cs->popped == n && e.merged == n) return return_fn(c, e.frame);
        const std::size_t from = e.merged;
        cs->popped = n;
        const std::int64_t last_dt = e.bars.dt.back();
        Bars fresh = fold_rows(c, *cs, from, n, native, w, window, true, last_dt);
        // Read again: the window step may have run outside code.
        auto again = cs->cache.find(window);
        if (again == cs->cache.end() || &again->second != &e || e.merged != from || e.bars.size() == 0 ||
            e.bars.dt.back() != last_dt) {
            PyErr_SetString(PyExc_RuntimeError, "the K-bar cache changed during get_kbar");
            throw py::error_already_set();
        }
        if (fresh.size() == 0) {
            e.merged = n;
            return finish(c, e.frame);
        }
        // Merged in place; undone when the new table cannot be made.
        const std::size_t old_size = e.bars.size();
        const std::size_t j = old_size - 1;
        const double h = e.bars.high[j], l = e.bars.low[j], cl = e.bars.close[j];
        const std::int64_t v = e.bars.volume[j];
        const std::size_t keep = merge_bars(e.bars, fresh);
        py::object kbar_df;
        try {
            py::object head = attr(e.frame, KOB_STR("slice"))(0, keep);
            kbar_df = attr(head, KOB_STR("vstack"))(bars_frame(pl, e.bars, keep, cs->code));
            if (++e.chunks > 16) {
                kbar_df = attr(kbar_df, KOB_STR("rechunk"))();
                e.chunks = 0;
            }
        } catch (...) {
            auto undo = [&](auto& vec) { vec.resize(old_size); };
            undo(e.bars.dt);
            undo(e.bars.open);
            undo(e.bars.high);
            undo(e.bars.low);
            undo(e.bars.close);
            undo(e.bars.volume);
            e.bars.high[j] = h;
            e.bars.low[j] = l;
            e.bars.close[j] = cl;
            e.bars.volume[j] = v;
            throw;
        }
        e.frame = kbar_df;
        e.merged = n;
        return finish(c, kbar_df);
    }
    // First request for the key: every tick of the code.
    cs->popped = n;
    Bars bars = fold_rows(c, *cs, 0, n, native, w, window, false, INT64_MIN);
    py::object kbar_df = bars_frame(pl, bars, 0, cs->code);
    if (bars.size() == 0) return return_fn(c, kbar_df);
    CacheEntry& e = cs->cache[window];
    e.bars = std::move(bars);
    e.frame = kbar_df;
    e.merged = n;
    e.chunks = 0;
    return finish(c, kbar_df);
}

// ---------------------------------------------------------------------------
// What differs from the row-wise manager: the last tick and the counts.

py::object record_of(const State& s, const CodeStore& cs, std::size_t i) {
    ensure_datetime_api();
    const Row r = cs.rows.at(i);
    py::dict d;
    d[KOB_STR("dt")] = quotes::make_datetime(r.dt, (r.flags & kFold) ? 1 : 0);
    d[KOB_STR("market_type")] = s.market_names[cs.rows.market_at(i)];
    d[KOB_STR("code")] = cs.code;
    d[KOB_STR("close")] = py::float_(r.close);
    d[KOB_STR("qty")] = py::int_(r.qty);
    d[KOB_STR("tick_type")] = py::int_(static_cast<int>(r.tick_type));
    d[KOB_STR("is_simulate")] = py::bool_(r.flags & kSimulate);
    d[KOB_STR("is_virtual")] = py::bool_(r.flags & kVirtual);
    return d;
}

py::object last_tick_impl(Call& c) {
    State& s = state_of(c, "last_tick");
    std::shared_ptr<CodeStore> cs = find_store(s, c[0].ptr());
    if (!cs || cs->rows.size() == 0) return py::none();
    return record_of(s, *cs, cs->rows.size() - 1);
}

py::object tick_counts_impl(Call& c) {
    State& s = state_of(c, "tick_counts");
    std::shared_ptr<CodeStore> cs = find_store(s, c[0].ptr());
    if (!cs) return py::make_tuple(0, 0);
    return py::make_tuple(cs->rows.size() - cs->popped, cs->popped);
}

// ---------------------------------------------------------------------------
// Construction and the calendar.

Window window_of(const char* a, const char* b) {
    auto us = [](const char* t) {
        return ((std::int64_t(t[0] - '0') * 10 + (t[1] - '0')) * 3600 + ((t[3] - '0') * 10 + (t[4] - '0')) * 60 +
                (t[6] - '0') * 10 + (t[7] - '0')) *
               cal::kUsPerSec;
    };
    return {us(a), us(b)};
}

py::object init_impl(Call& c) {
    State& s = mutable_state(c, "__init__");
    py::object pl = c.global(KOB_STR("pl"));
    py::object os = c.global(KOB_STR("os"));
    py::object path = attr(attr(os, KOB_STR("path")), KOB_STR("join"))(c.global(KOB_STR("static_dir")),
                                                                       "holidays_search_from_2017.csv");
    py::object frame = attr(pl, KOB_STR("read_csv"))(path, py::arg("has_header") = true);
    py::object texts = steal(PySet_New(item(frame, KOB_STR("Date")).ptr()));
    std::unordered_set<std::int64_t> days;
    for (py::handle t : texts) {
        if (!PyUnicode_CheckExact(t.ptr())) continue;
        Py_ssize_t len = 0;
        const char* p = PyUnicode_AsUTF8AndSize(t.ptr(), &len);
        if (!p) {
            PyErr_Clear();
            continue;
        }
        std::int64_t day;
        if (parse_date_text(p, static_cast<std::size_t>(len), day)) days.insert(day);
    }
    s.reset_codes();
    s.holidays = std::move(days);
    s.holiday_texts = texts;
    s.closed_windows = {
        {"Stock", {window_of("13:30:00", "23:59:59"), window_of("00:00:00", "08:59:59")}},
        {"Future", {window_of("13:45:00", "14:59:59"), window_of("05:00:00", "08:44:59")}},
    };
    s.markets.clear();
    s.market_names.clear();
    s.market_index.clear();
    s.last_market = py::object();
    s.ready = true;
    return py::none();
}

py::object holiday_search_set_impl(Call& c) {
    State& s = state_of(c, "holiday_search_set");
    return steal(PySet_New(s.holiday_texts ? s.holiday_texts.ptr() : nullptr));
}

py::object not_trade_times_impl(Call& c) {
    State& s = state_of(c, "not_trade_times");
    ensure_datetime_api();
    py::dict out;
    for (const auto& [key, wins] : s.closed_windows) {
        py::list l;
        for (const Window& w : wins) {
            py::list pair;
            for (std::int64_t t : {w.lo, w.hi}) {
                const std::int64_t sec = t / cal::kUsPerSec;
                pair.append(steal(PyTime_FromTime(static_cast<int>(sec / 3600), static_cast<int>(sec / 60 % 60),
                                                  static_cast<int>(sec % 60), static_cast<int>(t % cal::kUsPerSec))));
            }
            l.append(pair);
        }
        out[py::str(key)] = l;
    }
    return out;
}

// ---------------------------------------------------------------------------
// Method tables (parameters, annotations and docstrings as the row-wise
// manager's, so that argument errors read the same).

const MethodSpec m_init = {.name = "__init__", .impl = init_impl};
const MethodSpec m_get_empty_tick_df = quotes::signatures::get_empty_tick_df(get_empty_tick_df_impl);
const MethodSpec m_clear_ticks = quotes::signatures::clear_ticks(clear_ticks_impl);
const MethodSpec m_add_tick = quotes::signatures::add_tick(add_tick_impl);
const MethodSpec m_add_ticks = {
    .name = "add_ticks",
    .params = {{"frame", Kind::Any, "pl.DataFrame"}},
    .impl = add_ticks_impl,
    .doc =
        "Adds every row of a polars DataFrame as add_tick would, in row order.\n\n"
        "        The frame holds the incoming-tick columns: timestamp (seconds, integer or\n"
        "        float), code and market_type (String), close (float or integer), qty and\n"
        "        tick_type (integer), is_simulate (Boolean).  The columns are checked\n"
        "        first; a missing column, a wrong dtype, a null, a NaN or infinite\n"
        "        timestamp or close, or a value the tick table cannot hold raises\n"
        "        ValueError naming the column and the first bad row, and nothing of\n"
        "        the frame is stored.\n        ",
};
const MethodSpec m_aggregate_kbar = quotes::signatures::aggregate_kbar(aggregate_kbar_impl);
const MethodSpec m_poped_tick_to_df = quotes::signatures::poped_tick_to_df(poped_tick_to_df_impl);
const MethodSpec m_poped_old_ticks_to_df = quotes::signatures::poped_old_ticks_to_df(poped_old_ticks_to_df_impl);
const MethodSpec m_get_kbar = quotes::signatures::get_kbar(get_kbar_impl);
const MethodSpec m_last_tick = {
    .name = "last_tick",
    .params = {{"code", Kind::Str, "str"}},
    .impl = last_tick_impl,
    .doc = R"doc(The stored record of the code's most recent real tick as a new dict, or None
        before its first tick.
        )doc",
    .returns = "Dict[str, Any]",
};
const MethodSpec m_tick_counts = {
    .name = "tick_counts",
    .params = {{"code", Kind::Str, "str"}},
    .impl = tick_counts_impl,
    .doc = R"doc((pending, popped): the code's stored ticks not yet popped, and those popped.
        )doc",
    .returns = "tuple",
};
const MethodSpec m_holiday_search_set = {
    .name = "holiday_search_set",
    .impl = holiday_search_set_impl,
    .doc = R"doc(The closed dates read from the holiday file at construction (a new set on
        every read; changing it changes nothing).
        )doc",
    .returns = "set",
    .property = true,
};
const MethodSpec m_not_trade_times = {
    .name = "not_trade_times",
    .impl = not_trade_times_impl,
    .doc = R"doc(The closed windows of time of day per market type (a new dict on every
        read; changing it changes nothing).
        )doc",
    .returns = "Dict[str, Any]",
    .property = true,
};

const MethodSpec* const kMethods[] = {
    &m_init,           &m_get_empty_tick_df,  &m_clear_ticks,           &m_add_tick, &m_add_ticks,
    &m_aggregate_kbar, &m_poped_tick_to_df,   &m_poped_old_ticks_to_df, &m_get_kbar, &m_last_tick,
    &m_tick_counts,    &m_holiday_search_set, &m_not_trade_times,
};

constexpr const char* kClassDoc =
    "報價管理 (columnar tick store)\n\n"
    "Same methods and results as QuoteManager (add_tick, get_kbar, poped_tick_to_df,\n"
    "poped_old_ticks_to_df, get_empty_tick_df, clear_ticks, aggregate_kbar), with every\n"
    "tick kept in typed, chunked columns per code instead of one dict per tick.\n\n"
    "What differs:\n"
    "- There is no `ticks` dict of record dicts: last_tick(code) returns the stored\n"
    "  record of the code's last real tick as a new dict (None before the first tick),\n"
    "  and tick_counts(code) returns (pending, popped).\n"
    "- holiday_search_set and not_trade_times are read at construction, from the same\n"
    "  file and table; they are read-only properties giving copies, and later changes\n"
    "  to the copies are not seen.\n"
    "- A tick value the typed columns cannot hold (close not a float or int, qty or\n"
    "  tick_type not an int, is_simulate not a bool, code or market_type not a str) is\n"
    "  refused with TypeError by add_tick; nothing is stored, not even a new code.\n"
    "- Subclass overrides of get_init_ticks_info and of the pop methods are not\n"
    "  consulted.\n"
    "- add_ticks(frame) adds the rows of a polars DataFrame in bulk.\n";

// ---------------------------------------------------------------------------
// The type.

PyObject* columnar_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    auto* o = reinterpret_cast<ColumnarObject*>(self);
    o->dict = nullptr;
    o->weaklist = nullptr;
    try {
        o->state = new State();
    } catch (std::bad_alloc&) {
        Py_DECREF(self);
        return PyErr_NoMemory();
    }
    return self;
}

int columnar_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* o = reinterpret_cast<ColumnarObject*>(self);
    Py_VISIT(o->dict);
    Py_VISIT(Py_TYPE(self));
    if (State* s = o->state) {
        Py_VISIT(s->holiday_texts.ptr());
        for (const auto& [key, cs] : s->codes)
            for (const auto& [w, e] : cs->cache) Py_VISIT(e.frame.ptr());
    }
    return 0;
}

int columnar_clear(PyObject* self) {
    auto* o = reinterpret_cast<ColumnarObject*>(self);
    Py_CLEAR(o->dict);
    if (State* s = o->state) {
        if (s->busy) return 0;
        // Dropped outside the state first: releasing a table may run code.
        py::object texts = std::move(s->holiday_texts);
        auto codes = std::move(s->codes);
        s->reset_codes();
    }
    return 0;
}

void columnar_dealloc(PyObject* self) {
    auto* o = reinterpret_cast<ColumnarObject*>(self);
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (o->weaklist) PyObject_ClearWeakRefs(self);
    Py_CLEAR(o->dict);
    State* s = o->state;
    o->state = nullptr;
    delete s;
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyMemberDef columnar_members[] = {
    {"__dictoffset__", T_PYSSIZET, offsetof(ColumnarObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(ColumnarObject, weaklist), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef columnar_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

py::object make_class(py::handle module, py::handle globals, py::handle module_name) {
    PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(columnar_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(columnar_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(columnar_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(columnar_clear)},
        {Py_tp_members, columnar_members},
        {Py_tp_getset, columnar_getset},
        {Py_tp_doc, const_cast<char*>(kClassDoc)},
        {0, nullptr},
    };
    PyType_Spec spec = {
        "kelvo_orra_backtest.modules.positions.columnar.ColumnarQuoteManager",
        sizeof(ColumnarObject),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
        slots,
    };
    py::object type = steal(PyType_FromModuleAndSpec(module.ptr(), &spec, nullptr));
    py::object property = borrow(reinterpret_cast<PyObject*>(&PyProperty_Type));
    py::list shared_empty_list;  // the one default list of get_kbar's `exprs`
    for (const MethodSpec* m : kMethods) {
        std::string qualname = std::string("ColumnarQuoteManager.") + m->name;
        py::object fn = make_function(*m, qualname.c_str(), module_name, globals, shared_empty_list);
        check(PyObject_SetAttrString(type.ptr(), m->name, (m->property ? property(fn) : fn).ptr()));
    }
    return type;
}

}  // namespace kob::columnar
