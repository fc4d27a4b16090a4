// QuoteManager's K-bars: aggregate_kbar and get_kbar with its cache, the
// exact pipeline through the instance's methods and the native one beside it.
#include <algorithm>
#include <cmath>

#include "quotes.hpp"
#include "../kernels/signatures.hpp"
#include "frames.hpp"
#include "kbar_cache.hpp"

namespace kob {

namespace {

using namespace quotes;

py::object aggregate_kbar_impl(Call& c) {
    py::object pl = c.global(KOB_STR("pl"));
    py::object col = attr(pl, KOB_STR("col"));
    py::list keys;
    keys.append(py::handle(KOB_STR("kbar_time")));
    keys.append(py::handle(KOB_STR("code")));
    py::handle tick_df = c[0];  // aggregate_kbar(tick_df)
    py::object grouped = attr(tick_df, KOB_STR("group_by"))(keys);
    auto agg = [&](PyObject* src, PyObject* fn, PyObject* alias) {
        py::object e = attr(col(py::handle(src)), fn)();
        return attr(e, KOB_STR("alias"))(py::handle(alias));
    };
    py::list exprs;
    exprs.append(agg(KOB_STR("close"), KOB_STR("first"), KOB_STR("Open")));
    exprs.append(agg(KOB_STR("close"), KOB_STR("max"), KOB_STR("High")));
    exprs.append(agg(KOB_STR("close"), KOB_STR("min"), KOB_STR("Low")));
    exprs.append(agg(KOB_STR("close"), KOB_STR("last"), KOB_STR("Close")));
    exprs.append(agg(KOB_STR("qty"), KOB_STR("sum"), KOB_STR("Volume")));
    py::object result = attr(grouped, KOB_STR("agg"))(exprs);
    py::dict mapping;
    mapping[KOB_STR("kbar_time")] = py::handle(KOB_STR("dt"));
    return attr(result, KOB_STR("rename"))(mapping);
}

// get_kbar's arguments by name, in the order of its table (qm_get_kbar).
struct KbarArgs {
    py::handle code, unit, freq, exprs, to_pandas_df;
    explicit KbarArgs(const Call& c) : code(c[0]), unit(c[1]), freq(c[2]), exprs(c[3]), to_pandas_df(c[4]) {}
};

// The nested `return_fn`: a pandas frame when asked for.
py::object return_fn(const KbarArgs& a, py::handle df) {
    if (truth(a.to_pandas_df)) return steal(PyObject_CallMethodNoArgs(df.ptr(), KOB_STR("to_pandas")));
    return py::reinterpret_borrow<py::object>(df);
}

// The extra expressions, then the frame as asked for.
py::object finish(const KbarArgs& a, py::handle kbar_df) {
    if (truth(a.exprs)) return return_fn(a, attr(kbar_df, KOB_STR("with_columns"))(a.exprs));
    return return_fn(a, kbar_df);
}

// f"{freq}{unit}", the window text of the exact pipeline.
py::object window_text(const KbarArgs& a) {
    return steal(PyUnicode_Concat(steal(PyObject_Format(a.freq.ptr(), KOB_STR(""))).ptr(),
                                  steal(PyObject_Format(a.unit.ptr(), KOB_STR(""))).ptr()));
}

// tick_df.with_columns of the "dt" cast and its bar time.
py::object with_bar_time(py::handle pl, py::handle tick_df, py::handle window) {
    py::object col = attr(pl, KOB_STR("col"));
    py::object dt_cast = attr(attr(col(py::handle(KOB_STR("dt"))), KOB_STR("cast"))(attr(pl, KOB_STR("Datetime"))),
                              KOB_STR("alias"))(py::handle(KOB_STR("dt")));
    py::object trunc = attr(attr(attr(col(py::handle(KOB_STR("dt"))), KOB_STR("dt")), KOB_STR("truncate"))(window),
                            KOB_STR("alias"))(py::handle(KOB_STR("kbar_time")));
    py::list exprs;
    exprs.append(dt_cast);
    exprs.append(trunc);
    return attr(tick_df, KOB_STR("with_columns"))(exprs);
}

// Twin of get_kbar_fast (proved equal by
// tests/test_quotes_kbar.py::test_native_equals_exact): the pipeline through
// the instance's methods and the library.
py::object get_kbar_exact(Call& c, const KbarArgs& a, py::handle window) {
    py::handle code = a.code;
    py::object pl = c.global(KOB_STR("pl"));
    // Count of popped ticks before this call's pop (merge bookkeeping).
    Py_ssize_t before = -1;
    {
        py::object ticks = attr(c.self, KOB_STR("ticks"));
        if (PyDict_CheckExact(ticks.ptr())) {
            PyObject* info = PyDict_GetItemWithError(ticks.ptr(), code.ptr());
            if (!info && PyErr_Occurred()) throw py::error_already_set();
            if (info && PyDict_CheckExact(info)) {
                PyObject* old = PyDict_GetItemWithError(info, KOB_STR("old_ticks"));
                if (!old && PyErr_Occurred()) throw py::error_already_set();
                if (old && PyList_CheckExact(old)) before = PyList_GET_SIZE(old);
            }
        }
    }
    py::object tick_df = call_method(c.self, KOB_STR("poped_tick_to_df"), code);
    py::object cache_key = py::make_tuple(code, a.unit, a.freq);
    py::object info = item(attr(c.self, KOB_STR("ticks")), code);
    py::object cached = item(info, KOB_STR("cached_kbars"));
    py::object kbar_df;
    if (!contains(cached, cache_key)) {
        tick_df = call_method(c.self, KOB_STR("poped_old_ticks_to_df"), code);
        tick_df = with_bar_time(pl, tick_df, window);
        kbar_df = call_method(c.self, KOB_STR("aggregate_kbar"), tick_df);
    } else {
        py::object entry = item(cached, cache_key);
        py::object old = item(info, KOB_STR("old_ticks"));
        if (before >= 0 && PyList_CheckExact(old.ptr())) {
            // Ticks popped by a request for another key since this entry
            // was written are merged too.
            std::shared_ptr<CacheMeta> meta = find_meta(entry, old);
            const Py_ssize_t now = PyList_GET_SIZE(old.ptr());
            if (meta && meta->merged != before && meta->merged <= now) {
                tick_df = meta->merged == now ? call_method(c.self, KOB_STR("get_empty_tick_df"))
                                              : tick_table(c, old, meta->merged);
            }
        }
        tick_df = with_bar_time(pl, tick_df, window);
        if (truth(steal(PyObject_CallMethodNoArgs(tick_df.ptr(), KOB_STR("is_empty")))))
            return return_fn(
                a, item(item(item(attr(c.self, KOB_STR("ticks")), code), KOB_STR("cached_kbars")), cache_key));
        py::object col = attr(pl, KOB_STR("col"));
        py::object last_dt = attr(item(entry, KOB_STR("dt")), KOB_STR("max"))();
        py::object dt_col = col(py::handle(KOB_STR("dt")));
        py::object completed =
            attr(entry, KOB_STR("filter"))(steal(PyObject_RichCompare(dt_col.ptr(), last_dt.ptr(), Py_LT)));
        py::object last_kbar =
            attr(entry, KOB_STR("filter"))(steal(PyObject_RichCompare(dt_col.ptr(), last_dt.ptr(), Py_EQ)));
        py::object kt = steal(PyObject_RichCompare(col(py::handle(KOB_STR("kbar_time"))).ptr(), last_dt.ptr(), Py_GE));
        py::object ns = steal(PyObject_RichCompare(col(py::handle(KOB_STR("is_simulate"))).ptr(), Py_True, Py_NE));
        tick_df = attr(tick_df, KOB_STR("filter"))(steal(PyNumber_And(kt.ptr(), ns.ptr())));
        py::object new_last = call_method(c.self, KOB_STR("aggregate_kbar"), tick_df);
        py::object stacked = attr(last_kbar, KOB_STR("vstack"))(new_last);
        py::list keys;
        keys.append(py::handle(KOB_STR("dt")));
        keys.append(py::handle(KOB_STR("code")));
        py::list aggs;
        aggs.append(attr(col(py::handle(KOB_STR("Open"))), KOB_STR("first"))());
        aggs.append(attr(col(py::handle(KOB_STR("High"))), KOB_STR("max"))());
        aggs.append(attr(col(py::handle(KOB_STR("Low"))), KOB_STR("min"))());
        aggs.append(attr(col(py::handle(KOB_STR("Close"))), KOB_STR("last"))());
        aggs.append(attr(col(py::handle(KOB_STR("Volume"))), KOB_STR("sum"))());
        py::object last_kbars = attr(attr(stacked, KOB_STR("group_by"))(keys), KOB_STR("agg"))(aggs);
        kbar_df = attr(completed, KOB_STR("vstack"))(last_kbars);
    }
    if (truth(steal(PyObject_CallMethodNoArgs(kbar_df.ptr(), KOB_STR("is_empty"))))) return return_fn(a, kbar_df);
    py::list by;
    by.append(py::handle(KOB_STR("dt")));
    kbar_df = attr(kbar_df, KOB_STR("sort"))(by);
    py::object info2 = item(attr(c.self, KOB_STR("ticks")), code);
    set_item(item(info2, KOB_STR("cached_kbars")), cache_key, kbar_df);
    py::object old = item(info2, KOB_STR("old_ticks"));
    if (PyList_CheckExact(old.ptr())) remember_meta(kbar_df, old, PyList_GET_SIZE(old.ptr()));
    return finish(a, kbar_df);
}

// ---------------------------------------------------------------------------
// Native K-bars.

// None of the methods the exact pipeline calls through the instance is
// overridden.
bool no_overrides(py::handle self) {
    return is_own_method(self.ptr(), qm_poped_tick_to_df) && is_own_method(self.ptr(), qm_poped_old_ticks_to_df) &&
           is_own_method(self.ptr(), qm_get_empty_tick_df) && is_own_method(self.ptr(), qm_aggregate_kbar);
}

bars::Ticks ticks_of(const TickColumns& t, const std::vector<std::uint32_t>& order) {
    return {t.dt.data(),          t.close.data(), t.qty.data(),
            t.is_simulate.data(), t.size(),       order.empty() ? nullptr : order.data()};
}

// Reads old[start:] and pending into columns when every record has the usual
// shape, one code, no NaN price and a time in the natively bucketed range.
bool gather_for_bars(PyObject* old, Py_ssize_t start, PyObject* pending, TickColumns& cols) {
    if (!gather_records(old, start, PyList_GET_SIZE(old), cols)) return false;
    if (!gather_records(pending, 0, PyList_GET_SIZE(pending), cols)) return false;
    if (cols.codes.size() > 1) return false;
    for (std::size_t i = 0; i < cols.size(); ++i)
        if (std::isnan(cols.close[i]) || cols.dt[i] < bucket::kSafeLo || cols.dt[i] >= bucket::kSafeHi) return false;
    return true;
}

// Moves the pending records to old as the pop does and returns how many
// popped records old then holds.  The count is read before the store of the
// new pending list, which may run outside code.
Py_ssize_t move_pending(py::handle info, PyObject* old, PyObject* pending) {
    const Py_ssize_t n = PyList_GET_SIZE(old);
    if (PyList_GET_SIZE(pending) == 0) return n;
    check(PyList_SetSlice(old, n, n, pending));
    const Py_ssize_t moved = PyList_GET_SIZE(old);
    set_item(info, py::handle(KOB_STR("ticks")), py::list());
    return moved;
}

// d[key] as an owned reference, or a null object when missing; the
// dictionary is held during the lookup, which may run outside code.
py::object dict_get(py::handle d, PyObject* key) {
    py::object keep = py::reinterpret_borrow<py::object>(d);
    PyObject* v = PyDict_GetItemWithError(keep.ptr(), key);
    if (!v && PyErr_Occurred()) throw py::error_already_set();
    return v ? py::reinterpret_borrow<py::object>(v) : py::object();
}

// Looks `key` up among the keys of `d` without running Python code: true
// with `value` set (null when absent) if every key is an exact str, or
// (`tuples`) an exact tuple of exact str and int items; false otherwise.
bool plain_lookup(PyObject* d, PyObject* key, PyObject*& value, bool tuples = false) {
    value = nullptr;
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(d, &pos, &k, &v)) {
        if (k == key) {
            value = v;
            continue;
        }
        if (!tuples) {
            if (!PyUnicode_CheckExact(k)) return false;
            if (PyUnicode_Compare(k, key) == 0) value = v;
            continue;
        }
        if (!PyTuple_CheckExact(k)) return false;
        const Py_ssize_t n = PyTuple_GET_SIZE(k);
        bool same = n == PyTuple_GET_SIZE(key);
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* a = PyTuple_GET_ITEM(k, i);
            if (!PyUnicode_CheckExact(a) && !PyLong_CheckExact(a)) return false;
            if (!same) continue;
            PyObject* b = PyTuple_GET_ITEM(key, i);
            same = Py_IS_TYPE(a, Py_TYPE(b)) && (PyUnicode_CheckExact(a) ? PyUnicode_Compare(a, b) == 0
                                                                         : PyObject_RichCompareBool(a, b, Py_EQ) == 1);
        }
        if (same) value = v;
    }
    return true;
}

// After the outside calls: the state is still the one read at the start
// (same ticks dict, record, lists, cache dict and entry), checked without
// running Python code.
bool still_current(py::handle self, py::handle code, py::handle ticks, py::handle info, py::handle pending,
                   py::handle old, py::handle cached, py::handle key, py::handle entry) {
    PyObject** dictptr = _PyObject_GetDictPtr(self.ptr());
    if (!dictptr || !*dictptr || !PyDict_CheckExact(*dictptr)) return false;
    PyObject* v;
    if (!plain_lookup(*dictptr, KOB_STR("ticks"), v) || v != ticks.ptr()) return false;
    if (!plain_lookup(ticks.ptr(), code.ptr(), v) || v != info.ptr()) return false;
    if (!plain_lookup(info.ptr(), KOB_STR("ticks"), v) || v != pending.ptr()) return false;
    if (!plain_lookup(info.ptr(), KOB_STR("old_ticks"), v) || v != old.ptr()) return false;
    if (!plain_lookup(info.ptr(), KOB_STR("cached_kbars"), v) || v != cached.ptr()) return false;
    return plain_lookup(cached.ptr(), key.ptr(), v, true) && v == entry.ptr();
}

// Twin of get_kbar_exact (proved equal by
// tests/test_quotes_kbar.py::test_native_equals_exact): used when none of the
// methods the exact pipeline calls through the instance is overridden and
// the records have the usual shape.  Returns a null object when the exact
// pipeline must run instead (nothing has been changed then).  Every call that may run outside code comes
// before the records are gathered, and the state they may have changed is
// checked again; from there to the move into "old_ticks" no Python code
// runs, so no tick can come or go in between.
py::object get_kbar_fast(Call& c, const KbarArgs& a, bucket::Window w) {
    py::handle self = c.self;
    py::handle code = a.code;
    if (!no_overrides(self)) return {};
    py::object ticks = attr(self, KOB_STR("ticks"));
    if (!PyDict_CheckExact(ticks.ptr())) return {};
    py::object info = dict_get(ticks, code.ptr());
    if (!info || !PyDict_CheckExact(info.ptr())) return {};
    py::object pending = dict_get(info, KOB_STR("ticks"));
    py::object old = pending ? dict_get(info, KOB_STR("old_ticks")) : py::object();
    py::object cached = old ? dict_get(info, KOB_STR("cached_kbars")) : py::object();
    if (!cached || !PyList_CheckExact(pending.ptr()) || !PyList_CheckExact(old.ptr()) ||
        !PyDict_CheckExact(cached.ptr()))
        return {};
    py::object key = py::make_tuple(code, a.unit, a.freq);
    py::object entry = dict_get(cached, key.ptr());
    py::object pl = c.global(KOB_STR("pl"));

    if (entry) {
        std::shared_ptr<CacheMeta> meta = find_meta(entry, old);
        // Nothing popped since the entry was written and nothing buffered:
        // the cached table as it is.
        if (PyList_GET_SIZE(pending.ptr()) == 0 && (!meta || meta->merged == PyList_GET_SIZE(old.ptr())))
            return return_fn(a, entry);
        if (!meta || meta->window.unit != w.unit || meta->window.every != w.every || meta->bars.size() == 0) return {};
        py::object height = attr(entry, KOB_STR("height"));
        const Py_ssize_t rows = PyLong_AsSsize_t(height.ptr());
        if (rows == -1 && PyErr_Occurred()) {
            // Not an int the size of a table: the exact pipeline speaks for it.
            if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_OverflowError))
                throw py::error_already_set();
            PyErr_Clear();
            return {};
        }
        if (rows != static_cast<Py_ssize_t>(meta->bars.size())) return {};
        // Read again: the height and the lookups may have run outside code.
        if (!still_current(self, code, ticks, info, pending, old, cached, key, entry) ||
            find_meta(entry, old) != meta || meta->bars.size() == 0 || meta->merged > PyList_GET_SIZE(old.ptr()))
            return {};
        TickColumns cols;
        if (!gather_for_bars(old.ptr(), meta->merged, pending.ptr(), cols)) return {};
        if (!cols.codes.empty() && PyUnicode_Compare(cols.codes[0].ptr(), meta->code) != 0) return {};
        const Py_ssize_t merged_now = move_pending(info, old.ptr(), pending.ptr());
        std::vector<std::uint32_t> order = stable_order(cols.dt);
        bars::Bars fresh;
        bars::aggregate(ticks_of(cols, order), w, true, meta->bars.dt.back(), fresh);
        if (fresh.size() == 0) {
            meta->merged = merged_now;
            return finish(a, entry);
        }
        bars::Bars bars = std::move(meta->bars);  // leaves the record's copy empty
        const std::size_t keep = bars::merge_newest(bars, fresh);
        py::object head = attr(entry, KOB_STR("slice"))(0, keep);
        py::object kbar_df = attr(head, KOB_STR("vstack"))(bars_frame(pl, bars, keep, meta->code));
        int chunks = meta->chunks + 1;
        if (chunks > 16) {
            kbar_df = attr(kbar_df, KOB_STR("rechunk"))();
            chunks = 0;
        }
        set_item(cached, key, kbar_df);
        remember_bars(kbar_df, old, merged_now, w, std::move(bars), meta->code, chunks);
        return finish(a, kbar_df);
    }

    // First request for the key: every tick of the code.
    if (!still_current(self, code, ticks, info, pending, old, cached, key, py::handle())) return {};
    TickColumns cols;
    if (!gather_for_bars(old.ptr(), 0, pending.ptr(), cols) || cols.size() == 0) return {};
    const Py_ssize_t merged_now = move_pending(info, old.ptr(), pending.ptr());
    std::vector<std::uint32_t> order = stable_order(cols.dt);
    bars::Bars bars;
    bars::aggregate(ticks_of(cols, order), w, false, INT64_MIN, bars);
    py::object kbar_df = bars_frame(pl, bars, 0, cols.codes[0].ptr());
    set_item(cached, key, kbar_df);
    remember_bars(kbar_df, old, merged_now, w, std::move(bars), cols.codes[0].ptr(), 0);
    return finish(a, kbar_df);
}

py::object get_kbar_impl(Call& c) {
    const KbarArgs a(c);
    if (!contains(kernels::signatures::units_list(), a.unit)) {
        PyErr_SetString(PyExc_TypeError, "'unit' must be one of ['m', 'h', 'd', 'w', 'mo', 'q', 'y']");
        throw py::error_already_set();
    }
    // Formatting an exact str and an exact int runs no outside code, so the
    // window text is made only when the exact pipeline needs it; otherwise
    // it is made here, where that pipeline makes it.
    const bool plain = PyUnicode_CheckExact(a.unit.ptr()) && PyLong_CheckExact(a.freq.ptr());
    py::object window = plain ? py::object() : window_text(a);
    if (plain) {
        Py_ssize_t len = 0;
        const char* u = PyUnicode_AsUTF8AndSize(a.unit.ptr(), &len);
        if (!u) throw py::error_already_set();
        int overflow = 0;
        const long long freq = PyLong_AsLongLongAndOverflow(a.freq.ptr(), &overflow);
        if (freq == -1 && PyErr_Occurred()) throw py::error_already_set();
        const bucket::Unit unit = bucket::parse_unit(std::string_view(u, static_cast<std::size_t>(len)));
        if (!overflow && unit != bucket::Unit::Invalid && freq >= 1 && freq <= bucket::kMaxFreq) {
            py::object r = get_kbar_fast(c, a, bucket::Window{unit, freq});
            if (r) return r;
        }
    }
    return get_kbar_exact(c, a, window ? window : window_text(a));
}

}  // namespace

const MethodSpec qm_aggregate_kbar = kernels::signatures::aggregate_kbar(aggregate_kbar_impl);

const MethodSpec qm_get_kbar = kernels::signatures::get_kbar(get_kbar_impl);

}  // namespace kob
