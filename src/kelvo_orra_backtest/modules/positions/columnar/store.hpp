// Typed, chunked tick store of the columnar quote manager, with its pure
// computation: gap filling over the trading calendar, re-stamping, the pop
// ranges and K-bar aggregation.  No Python in here.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <unordered_set>
#include <utility>
#include <vector>

#include "../kernels/bars.hpp"
#include "../kernels/bucket.hpp"
#include "../kernels/calendar.hpp"

namespace kob::columnar {

// Flag bits of a stored row.
constexpr std::uint8_t kSimulate = 1;
constexpr std::uint8_t kVirtual = 2;
constexpr std::uint8_t kFold = 4;  // repeated wall-clock hour (second occurrence)

// A run of rows in fixed-capacity buffers: rows once written never move and
// never change, so a data frame may look at them while more rows arrive.
struct Chunk {
    std::size_t cap = 0, n = 0;
    std::unique_ptr<std::int64_t[]> dt;
    std::unique_ptr<double[]> close;
    std::unique_ptr<std::int64_t[]> qty;
    std::unique_ptr<std::int8_t[]> tick_type;
    std::unique_ptr<std::uint8_t[]> flags;
    explicit Chunk(std::size_t c)
        : cap(c),
          dt(new std::int64_t[c]),
          close(new double[c]),
          qty(new std::int64_t[c]),
          tick_type(new std::int8_t[c]),
          flags(new std::uint8_t[c]) {}
};

struct Row {
    std::int64_t dt;
    double close;
    std::int64_t qty;
    std::int8_t tick_type;
    std::uint8_t flags;
};

// One product code: its rows in arrival order.  Rows [0, popped) are the
// popped history, [popped, size) the rows waiting for the next pop.
class Rows {
public:
    static constexpr std::size_t kFirstChunk = 256;
    static constexpr std::size_t kMaxChunk = std::size_t(1) << 16;

    std::size_t size() const { return n_; }

    void push(const Row& r, std::uint16_t market) {
        if (chunks_.empty() || chunks_.back()->n == chunks_.back()->cap) grow();
        Chunk& c = *chunks_.back();
        const std::size_t i = c.n;
        c.dt[i] = r.dt;
        c.close[i] = r.close;
        c.qty[i] = r.qty;
        c.tick_type[i] = r.tick_type;
        c.flags[i] = r.flags;
        c.n = i + 1;
        if (runs_.empty() || runs_.back().second != market) runs_.emplace_back(n_, market);
        if (n_ > 0 && r.dt < last_dt_) descents_.push_back(n_);
        last_dt_ = r.dt;
        ++n_;
    }

    // True when rows [a, b) are in time order (no row earlier than the one
    // before it), known without reading them.
    bool in_order(std::size_t a, std::size_t b) const {
        auto it = std::upper_bound(descents_.begin(), descents_.end(), a);
        return it == descents_.end() || *it >= b;
    }

    // Drops rows [n, size) (undo of an interrupted bulk intake; those rows
    // were never handed out).
    void truncate(std::size_t n) {
        if (n >= n_) return;
        while (!chunks_.empty() && starts_.back() >= n) {
            chunks_.pop_back();
            starts_.pop_back();
        }
        if (!chunks_.empty()) chunks_.back()->n = n - starts_.back();
        while (!runs_.empty() && runs_.back().first >= n) runs_.pop_back();
        while (!descents_.empty() && descents_.back() >= n) descents_.pop_back();
        n_ = n;
        last_dt_ = n ? dt_at(n - 1) : INT64_MIN;
    }

    Row at(std::size_t i) const {
        const std::size_t k = chunk_of(i);
        const Chunk& c = *chunks_[k];
        const std::size_t j = i - starts_[k];
        return {c.dt[j], c.close[j], c.qty[j], c.tick_type[j], c.flags[j]};
    }
    std::int64_t dt_at(std::size_t i) const {
        const std::size_t k = chunk_of(i);
        return chunks_[k]->dt[i - starts_[k]];
    }

    std::uint16_t market_at(std::size_t i) const {
        auto it =
            std::upper_bound(runs_.begin(), runs_.end(), i,
                             [](std::size_t v, const std::pair<std::size_t, std::uint16_t>& r) { return v < r.first; });
        return std::prev(it)->second;
    }

    // Calls f(chunk, first, count) for the pieces of rows [a, b).
    template <typename F>
    void pieces(std::size_t a, std::size_t b, F&& f) const {
        if (a >= b) return;
        for (std::size_t k = chunk_of(a); k < chunks_.size() && starts_[k] < b; ++k) {
            const std::size_t lo = std::max(a, starts_[k]) - starts_[k];
            const std::size_t hi = std::min(b, starts_[k] + chunks_[k]->n) - starts_[k];
            if (hi > lo) f(chunks_[k], lo, hi - lo);
        }
    }

    // Calls f(row index, Row&) for rows [a, b) in order.
    template <typename F>
    void each(std::size_t a, std::size_t b, F&& f) const {
        std::size_t idx = a;
        pieces(a, b, [&](const std::shared_ptr<Chunk>& c, std::size_t lo, std::size_t cnt) {
            for (std::size_t j = lo; j < lo + cnt; ++j, ++idx)
                f(idx, Row{c->dt[j], c->close[j], c->qty[j], c->tick_type[j], c->flags[j]});
        });
    }

    const std::vector<std::pair<std::size_t, std::uint16_t>>& runs() const { return runs_; }
    std::size_t run_count() const { return runs_.size(); }

    // Bytes held by the buffers.
    std::size_t bytes() const {
        std::size_t b = 0;
        for (const auto& c : chunks_) b += c->cap * (8 + 8 + 8 + 1 + 1);
        return b + runs_.capacity() * sizeof(runs_[0]);
    }

private:
    std::vector<std::shared_ptr<Chunk>> chunks_;
    std::vector<std::size_t> starts_;
    std::vector<std::pair<std::size_t, std::uint16_t>> runs_;  // (first row, market type) per run
    std::vector<std::size_t> descents_;                        // rows earlier than the row before them
    std::int64_t last_dt_ = INT64_MIN;
    std::size_t n_ = 0;

    void grow() {
        const std::size_t cap = chunks_.empty() ? kFirstChunk : std::min(kMaxChunk, chunks_.back()->cap * 2);
        starts_.push_back(n_);
        chunks_.push_back(std::make_shared<Chunk>(cap));
    }

    std::size_t chunk_of(std::size_t i) const {
        if (i >= starts_.back()) return starts_.size() - 1;
        return static_cast<std::size_t>(std::upper_bound(starts_.begin(), starts_.end(), i) - starts_.begin()) - 1;
    }
};

// A window of time of day (microseconds), both bounds inclusive.
struct Window {
    std::int64_t lo, hi;
};

// Calendar rules of one market type.
struct Market {
    std::vector<Window> windows;  // scanned front to back
    bool future = false;          // the weekend night-session rule applies
    const Window* holding(std::int64_t tod) const {
        for (const Window& w : windows)
            if (w.lo <= tod && tod <= w.hi) return &w;
        return nullptr;
    }
};

constexpr std::int64_t kFiveHours = 5 * 3600 * cal::kUsPerSec;

// Day number of a "YYYY-MM-DD" text as "%Y-%m-%d" writes it (years
// 1000-9999), or false when the text is not one.
inline bool parse_date_text(const char* s, std::size_t len, std::int64_t& day) {
    if (len != 10 || s[4] != '-' || s[7] != '-') return false;
    int v[8];
    const int pos[8] = {0, 1, 2, 3, 5, 6, 8, 9};
    for (int i = 0; i < 8; ++i) {
        const char ch = s[pos[i]];
        if (ch < '0' || ch > '9') return false;
        v[i] = ch - '0';
    }
    const int y = v[0] * 1000 + v[1] * 100 + v[2] * 10 + v[3];
    const unsigned m = static_cast<unsigned>(v[4] * 10 + v[5]);
    const unsigned d = static_cast<unsigned>(v[6] * 10 + v[7]);
    if (y < 1000 || m < 1 || m > 12 || d < 1 || d > 31) return false;
    day = cal::days_from_civil(y, m, d);
    const cal::Civil back = cal::civil_from_days(day);
    return back.y == y && back.m == m && back.d == d;
}

// Number of candidate minutes between the previous stored time and a new
// tick, as the row-wise quote manager counts them (float seconds, floor
// division, the minute-of-hour rule).
inline std::int64_t missing_minutes(std::int64_t last_us, std::int64_t ts_us) {
    const std::int64_t diff_us = ts_us - last_us;
    double diff_seconds;
    if (diff_us > -(std::int64_t(1) << 53) && diff_us < (std::int64_t(1) << 53))
        diff_seconds = static_cast<double>(diff_us) / 1e6;
    else
        diff_seconds =
            static_cast<double>(diff_us / cal::kUsPerSec) + static_cast<double>(diff_us % cal::kUsPerSec) / 1e6;
    const std::int64_t diff_minute = static_cast<std::int64_t>(cal::py_floordiv(diff_seconds, 60.0));
    const int rest =
        (cal::py_fmod(diff_seconds, 60.0) > 0 && cal::minute_of_hour(ts_us) - cal::minute_of_hour(last_us) > 1) ? 1 : 0;
    return diff_minute + rest;
}

enum class Fill { Done, Interrupted, OutOfRange };

// Appends to `out` the starts of the whole minutes after `last_us` that get
// a virtual tick before a tick at `ts_us` of market `m`: weekend minutes
// (except the futures night session up to 05:00), minutes in the market's
// closed windows and minutes of closed trading dates get none, and no
// virtual tick lies after the tick itself.  `poll()` is asked every 4096
// minutes whether to go on.
template <typename Holiday, typename Poll>
Fill fill_minutes(const Market& m, Holiday&& is_holiday, std::int64_t last_us, std::int64_t ts_us, std::int64_t count,
                  std::vector<std::int64_t>& out, Poll&& poll) {
    if (count <= 1) return Fill::Done;
    std::int64_t cached_day = INT64_MIN;
    bool cached_holiday = false;
    const std::int64_t base = last_us - cal::floor_mod(last_us, cal::kUsPerMin);
    for (std::int64_t i = 0; i < count; ++i) {
        if ((i & 4095) == 4095 && !poll()) return Fill::Interrupted;
        const std::int64_t nd = base + (i + 1) * cal::kUsPerMin;
        if (nd > ts_us) break;
        const std::int64_t day = cal::day_of(nd);
        const std::int64_t tod = nd - day * cal::kUsPerDay;
        if (cal::weekday(day) >= 5 && !(m.future && tod <= kFiveHours)) continue;
        if (m.holding(tod)) continue;
        const std::int64_t date_day = tod <= kFiveHours ? day - 1 : day;
        if (date_day < cal::day_of(cal::kMinUs)) return Fill::OutOfRange;
        if (date_day != cached_day) {
            cached_holiday = is_holiday(date_day);
            cached_day = date_day;
        }
        if (cached_holiday) continue;
        out.push_back(nd);
    }
    return Fill::Done;
}

// The stored time of a tick at `ts_us`: moved one second before the closed
// window of `m` that holds it (fraction of a second kept).  False when that
// leaves the date-time range.
inline bool restamp(const Market& m, std::int64_t ts_us, std::int64_t& out) {
    out = ts_us;
    const std::int64_t tod = cal::time_of_day(ts_us);
    const Window* w = m.holding(tod);
    if (!w) return true;
    const std::int64_t start_s = w->lo / cal::kUsPerSec;
    out = ts_us - tod + start_s * cal::kUsPerSec + tod % cal::kUsPerSec - cal::kUsPerSec;
    return out >= cal::kMinUs;
}

// ---------------------------------------------------------------------------
// K-bars.

// The bars and the 64-bit volume sum of the row-wise manager.
using bars::Bars;
using bars::nan_max;
using bars::nan_min;
using bars::wrapping_add;

// Folds rows, given in time order with their bar starts, into consecutive
// bars: first and last close, extremes, summed volume.
class BarFolder {
public:
    explicit BarFolder(Bars& out) : out_(out) {}
    void add(std::int64_t bar, double x, std::int64_t qty) {
        if (open_ && bar == cur_) {
            h_ = nan_max(h_, x);
            l_ = nan_min(l_, x);
            c_ = x;
            v_ = wrapping_add(v_, qty);
            return;
        }
        flush();
        open_ = true;
        cur_ = bar;
        o_ = h_ = l_ = c_ = x;
        v_ = qty;
    }
    void flush() {
        if (open_) out_.push(cur_, o_, h_, l_, c_, v_);
        open_ = false;
    }
    void reset() { open_ = false; }
    // Adds n consecutive rows of one bar.
    void add_run(std::int64_t bar, const double* x, const std::int64_t* qty, std::size_t n) {
        std::size_t i = 0;
        if (!(open_ && bar == cur_)) {
            flush();
            open_ = true;
            cur_ = bar;
            o_ = h_ = l_ = x[0];
            v_ = qty[0];
            i = 1;
        }
        double h = h_, l = l_;
        std::uint64_t v = static_cast<std::uint64_t>(v_);
        for (; i < n; ++i) {
            const double xi = x[i];
            // NaN left out, as nan_max and nan_min (a NaN h or l is replaced)
            h = (xi > h || h != h) ? xi : h;
            l = (xi < l || l != l) ? xi : l;
            v += static_cast<std::uint64_t>(qty[i]);
        }
        h_ = h;
        l_ = l;
        v_ = static_cast<std::int64_t>(v);
        c_ = x[n - 1];
    }

private:
    Bars& out_;
    bool open_ = false;
    std::int64_t cur_ = 0, v_ = 0;
    double o_ = 0, h_ = 0, l_ = 0, c_ = 0;
};

// Stable order of rows [a, b) by time (empty when already in order).
inline std::vector<std::uint32_t> stable_order(const Rows& rows, std::size_t a, std::size_t b) {
    std::vector<std::uint32_t> idx;
    if (rows.in_order(a, b)) return idx;
    bool sorted = true;
    std::int64_t prev = INT64_MIN;
    rows.each(a, b, [&](std::size_t, const Row& r) {
        if (r.dt < prev) sorted = false;
        prev = r.dt;
    });
    if (sorted) return idx;
    std::vector<std::pair<std::int64_t, std::uint32_t>> keys;
    keys.reserve(b - a);
    rows.each(a, b, [&](std::size_t i, const Row& r) { keys.emplace_back(r.dt, static_cast<std::uint32_t>(i - a)); });
    std::stable_sort(keys.begin(), keys.end(), [](const auto& x, const auto& y) { return x.first < y.first; });
    idx.resize(keys.size());
    for (std::size_t i = 0; i < keys.size(); ++i) idx[i] = keys[i].second;
    return idx;
}

}  // namespace kob::columnar
