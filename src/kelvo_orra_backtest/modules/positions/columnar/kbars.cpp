// ColumnarQuoteManager's K-bars: aggregate_kbar and get_kbar over the typed
// store, with the cache kept beside each code's rows.
#include "parts.hpp"

namespace kob::columnar {

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
    const Py_ssize_t unit_idx = PySequence_Index(kernels::signatures::units_list().ptr(), c[1].ptr());
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
        const std::size_t keep = bars::merge_newest(e.bars, fresh);
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

}  // namespace kob::columnar
