// Unit tests of the K-bar aggregation (no Python): bars of ticks against a
// direct per-bar computation over random streams, the simulated-row and
// floor filters, row order, wrapping volumes, and the merge of new bars into
// cached ones.
#include <cstdint>
#include <cstdio>
#include <map>
#include <random>
#include <vector>

#include "kernels/bars.hpp"

namespace {

int failures = 0;

void expect(bool ok, const char* what, long long got, long long want) {
    if (!ok && ++failures <= 20) std::printf("FAIL %s: got %lld, want %lld\n", what, got, want);
}

struct Row {
    std::int64_t dt;
    double close;
    std::int64_t qty;
    std::uint8_t sim;
};

// Bars computed the plain way: group by bar start, first/last in row order.
kob::bars::Bars reference(const std::vector<Row>& rows, kob::bucket::Window w, bool skip_sim, std::int64_t floor) {
    std::map<std::int64_t, std::vector<Row>> groups;
    for (const Row& r : rows) {
        if (skip_sim && r.sim) continue;
        const std::int64_t b = kob::bucket::truncate(r.dt, w);
        if (b >= floor) groups[b].push_back(r);
    }
    kob::bars::Bars out;
    for (const auto& [start, g] : groups) {
        double h = g[0].close, l = g[0].close;
        std::int64_t v = 0;
        for (const Row& r : g) {
            h = r.close > h ? r.close : h;
            l = r.close < l ? r.close : l;
            v = kob::bars::wrapping_add(v, r.qty);
        }
        out.push(start, g.front().close, h, l, g.back().close, v);
    }
    return out;
}

bool same(const kob::bars::Bars& a, const kob::bars::Bars& b) {
    return a.dt == b.dt && a.open == b.open && a.high == b.high && a.low == b.low && a.close == b.close &&
           a.volume == b.volume;
}

kob::bars::Ticks ticks_of(const std::vector<Row>& rows, std::vector<std::int64_t>& dt, std::vector<double>& close,
                          std::vector<std::int64_t>& qty, std::vector<std::uint8_t>& sim) {
    dt.clear(), close.clear(), qty.clear(), sim.clear();
    for (const Row& r : rows) {
        dt.push_back(r.dt);
        close.push_back(r.close);
        qty.push_back(r.qty);
        sim.push_back(r.sim);
    }
    return {dt.data(), close.data(), qty.data(), sim.data(), rows.size()};
}

}  // namespace

int main() {
    namespace bk = kob::bucket;
    namespace bars = kob::bars;
    constexpr std::int64_t kMin = 60'000'000;
    std::mt19937_64 rng(7);
    std::vector<std::int64_t> dt, qty;
    std::vector<double> close;
    std::vector<std::uint8_t> sim;

    // Random sorted streams against the plain computation.
    for (int round = 0; round < 2000; ++round) {
        const bk::Window w{round % 3 == 0   ? bk::Unit::Minute
                           : round % 3 == 1 ? bk::Unit::Hour
                                            : bk::Unit::Day,
                           1 + static_cast<std::int64_t>(rng() % 5)};
        std::vector<Row> rows;
        std::int64_t t = 1'700'000'000'000'000 + static_cast<std::int64_t>(rng() % 1000) * kMin;
        const int n = static_cast<int>(rng() % 60);
        for (int i = 0; i < n; ++i) {
            t += static_cast<std::int64_t>(rng() % (3 * kMin));
            rows.push_back({t, 100.0 + static_cast<double>(rng() % 21) - 10.0, static_cast<std::int64_t>(rng() % 9),
                            static_cast<std::uint8_t>(rng() % 5 == 0)});
        }
        const bool skip = rng() % 2;
        const std::int64_t floor = rows.empty() || rng() % 2 ? INT64_MIN : rows[rows.size() / 2].dt;
        bars::Bars got;
        bars::aggregate(ticks_of(rows, dt, close, qty, sim), w, skip, floor, got);
        expect(same(got, reference(rows, w, skip, floor)), "random stream", round, static_cast<long long>(got.size()));
    }

    // Rows read in the given order: a late row sorted in keeps first/last.
    {
        std::vector<Row> rows = {{0, 1.0, 1, 0}, {2 * kMin, 3.0, 1, 0}, {kMin / 2, 2.0, 1, 0}};
        std::vector<std::uint32_t> order = {0, 2, 1};
        bars::Ticks t = ticks_of(rows, dt, close, qty, sim);
        t.order = order.data();
        bars::Bars got;
        bars::aggregate(t, {bk::Unit::Minute, 1}, false, INT64_MIN, got);
        expect(got.size() == 2 && got.close[0] == 2.0 && got.open[0] == 1.0, "ordered rows",
               static_cast<long long>(got.size()), 2);
    }

    // Volumes wrap as a 64-bit sum does.
    {
        std::vector<Row> rows = {{0, 1.0, INT64_MAX, 0}, {1, 1.0, 2, 0}};
        bars::Bars got;
        bars::aggregate(ticks_of(rows, dt, close, qty, sim), {bk::Unit::Minute, 1}, false, INT64_MIN, got);
        expect(got.volume[0] == INT64_MIN + 1, "wrapping volume", got.volume[0], INT64_MIN + 1);
    }

    // Merge: the shared newest bar keeps its open, later bars are appended.
    {
        bars::Bars cached, fresh;
        cached.push(0, 10, 12, 9, 11, 5);
        cached.push(kMin, 11, 13, 10, 12, 7);
        fresh.push(kMin, 20, 20, 8, 9, 3);
        fresh.push(2 * kMin, 9, 9, 9, 9, 1);
        const std::size_t keep = bars::merge_newest(cached, fresh);
        expect(keep == 1, "merge keep", static_cast<long long>(keep), 1);
        expect(cached.size() == 3, "merge size", static_cast<long long>(cached.size()), 3);
        expect(cached.open[1] == 11 && cached.high[1] == 20 && cached.low[1] == 8 && cached.close[1] == 9, "merged bar",
               static_cast<long long>(cached.close[1]), 9);
        expect(cached.volume[1] == 10, "merged volume", cached.volume[1], 10);
        bars::Bars later;
        later.push(5 * kMin, 1, 1, 1, 1, 1);
        expect(bars::merge_newest(cached, later) == 3 && cached.size() == 4, "append only",
               static_cast<long long>(cached.size()), 4);
    }

    if (failures) return 1;
    std::printf("bars: all passed\n");
    return 0;
}
