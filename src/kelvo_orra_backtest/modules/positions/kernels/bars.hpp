// K-bar aggregation on plain arrays: ticks (time, price, volume, simulated
// flag) in time order become open/high/low/close/volume bars, and new bars
// merge into cached ones.  No Python in here; tests/native/test_bars.cpp
// checks it.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "bucket.hpp"

namespace kob::bars {

// The largest quantity of one tick, either way (intake refuses more): a bar
// volume would need over nine thousand million such ticks, more than any
// memory holds, to leave Int64.
constexpr std::int64_t kMaxTickQty = 1'000'000'000;

// Volumes add as the data-frame library's Int64 sum does: wrapping.
inline std::int64_t wrapping_add(std::int64_t a, std::int64_t b) {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) + static_cast<std::uint64_t>(b));
}

// Largest and smallest with NaN left out unless there is nothing else, as
// the data-frame library's max and min do.
inline double nan_max(double a, double b) {
    if (std::isnan(a)) return b;
    if (std::isnan(b)) return a;
    return b > a ? b : a;
}
inline double nan_min(double a, double b) {
    if (std::isnan(a)) return b;
    if (std::isnan(b)) return a;
    return b < a ? b : a;
}

// Bars of one code, one row per bar start, ascending.
struct Bars {
    std::vector<std::int64_t> dt;
    std::vector<double> open, high, low, close;
    std::vector<std::int64_t> volume;
    std::size_t size() const { return dt.size(); }
    void push(std::int64_t t, double o, double h, double l, double c, std::int64_t v) {
        dt.push_back(t);
        open.push_back(o);
        high.push_back(h);
        low.push_back(l);
        close.push_back(c);
        volume.push_back(v);
    }
};

// The tick columns to aggregate; rows are read in `order` when it is given
// (a stable sort by time), else as stored.
struct Ticks {
    const std::int64_t* dt;
    const double* close;
    const std::int64_t* qty;
    const std::uint8_t* is_simulate;
    std::size_t n;
    const std::uint32_t* order = nullptr;
};

// Appends the bars of the rows whose bar start is at or after `floor` to
// `out`; `skip_simulated` leaves out the simulated rows.  First and last
// are first and last in row order.
inline void aggregate(const Ticks& t, bucket::Window w, bool skip_simulated, std::int64_t floor, Bars& out) {
    bool open = false;
    std::int64_t cur = 0;
    double o = 0, h = 0, l = 0, cl = 0;
    std::int64_t v = 0;
    for (std::size_t k = 0; k < t.n; ++k) {
        const std::size_t i = t.order ? t.order[k] : k;
        if (skip_simulated && t.is_simulate[i]) continue;
        const std::int64_t b = bucket::truncate(t.dt[i], w);
        if (b < floor) continue;
        const double x = t.close[i];
        if (open && b == cur) {
            if (x > h) h = x;
            if (x < l) l = x;
            cl = x;
            v = wrapping_add(v, t.qty[i]);
            continue;
        }
        if (open) out.push(cur, o, h, l, cl, v);
        open = true;
        cur = b;
        o = h = l = cl = x;
        v = t.qty[i];
    }
    if (open) out.push(cur, o, h, l, cl, v);
}

// Merges `fresh` (bars starting at or after the newest bar of `bars`) into
// `bars`: a bar with the same start keeps its open, takes the new close, the
// extremes of both and the sum of the volumes; later bars are appended.
// Returns the index of the first row that changed or was added.
inline std::size_t merge_newest(Bars& bars, const Bars& fresh) {
    std::size_t keep = bars.size();
    std::size_t from = 0;
    if (fresh.size() && bars.size() && fresh.dt[0] == bars.dt.back()) {
        const std::size_t j = bars.size() - 1;
        bars.high[j] = nan_max(bars.high[j], fresh.high[0]);
        bars.low[j] = nan_min(bars.low[j], fresh.low[0]);
        bars.close[j] = fresh.close[0];
        bars.volume[j] = wrapping_add(bars.volume[j], fresh.volume[0]);
        keep = j;
        from = 1;
    }
    for (std::size_t i = from; i < fresh.size(); ++i)
        bars.push(fresh.dt[i], fresh.open[i], fresh.high[i], fresh.low[i], fresh.close[i], fresh.volume[i]);
    return keep;
}

}  // namespace kob::bars
