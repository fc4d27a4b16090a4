// ColumnarQuoteManager's tick tables: the pops and the read-back, handed to
// polars as views of the store's buffers where the rows are in order.
#include "parts.hpp"

namespace kob::columnar {

// ---------------------------------------------------------------------------
// Tables.

py::object empty_tick_df(Call& c) {
    py::object pl = c.global(KOB_STR("pl"));
    return attr(pl, KOB_STR("DataFrame"))(py::list(), py::arg("schema") = kernels::tick_schema(pl));
}

py::object get_empty_tick_df_impl(Call& c) {
    state_of(c, "get_empty_tick_df");
    return empty_tick_df(c);
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

}  // namespace kob::columnar
