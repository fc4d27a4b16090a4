// ColumnarQuoteManager: the quote manager's methods over the typed, chunked
// tick store of store.hpp.  Python objects are made only where a
// caller asks for one (a tick table, a K-bar table, the last tick).
#include "parts.hpp"

namespace kob::columnar {

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
// What differs from the row-wise manager: the last tick and the counts.

py::object record_of(const State& s, const CodeStore& cs, std::size_t i) {
    ensure_datetime_api();
    const Row r = cs.rows.at(i);
    py::dict d;
    d[KOB_STR("dt")] = kernels::make_datetime(r.dt, (r.flags & kFold) ? 1 : 0);
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
const MethodSpec m_get_empty_tick_df = kernels::signatures::get_empty_tick_df(get_empty_tick_df_impl);
const MethodSpec m_clear_ticks = kernels::signatures::clear_ticks(clear_ticks_impl);
const MethodSpec m_add_tick = kernels::signatures::add_tick(add_tick_impl);
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
        "        timestamp or close, a value the tick table cannot hold, or a qty\n"
        "        beyond 10**9 either way (the largest quantity of a tick) raises\n"
        "        ValueError naming the column and the first bad row, and nothing of\n"
        "        the frame is stored.\n        ",
};
const MethodSpec m_aggregate_kbar = kernels::signatures::aggregate_kbar(aggregate_kbar_impl);
const MethodSpec m_poped_tick_to_df = kernels::signatures::poped_tick_to_df(poped_tick_to_df_impl);
const MethodSpec m_poped_old_ticks_to_df = kernels::signatures::poped_old_ticks_to_df(poped_old_ticks_to_df_impl);
const MethodSpec m_get_kbar = kernels::signatures::get_kbar(get_kbar_impl);
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
    PyType_Spec type_spec = {
        "kelvo_orra_backtest.modules.positions.columnar.ColumnarQuoteManager",
        sizeof(ColumnarObject),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
        slots,
    };
    py::object type = steal(PyType_FromModuleAndSpec(module.ptr(), &type_spec, nullptr));
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
