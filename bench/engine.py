"""The backtest engine end to end, each figure beside its baseline in the same run.

    TZ=Asia/Taipei .venv/bin/python bench/engine.py [--year-ticks N] [--ref-ticks N] [--skip-year]

1. The bundled sample (562,362 ticks of 2330, 0050, TXF): the crossover
   example through the engine, through the plain per-tick reference loop of
   the tests (tests/engine_ref.py, the engine's exact twin) and through
   the demo's earlier per-tick loop (bench/demo_loop.py: a `get_kbar` call on
   every tick of a traded code).
2. Ticks of one code only: the same run with a strategy that subscribes to
   the ticks of 0050 (19,481 ticks) and of TXF (480,803 ticks).
3. The cost of `on_bar` beyond the user's code: an empty `on_bar` on every
   one-minute bar of TXF against no subscription.
4. The crossover on a synthetic year of one futures code (bench/year.py's
   data, about 30 million ticks, day and night sessions): from loaded ticks
   to `Result`, by phase, with the process's peak RSS; the reference loop on
   the first `--ref-ticks` of the same ticks for its rate.

Times are wall-clock seconds of one run each (the machine has two cores:
run it alone).  The modules are imported before any clock starts.
"""
from __future__ import annotations

import argparse
import io
import resource
import sys
import time
from contextlib import redirect_stdout
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
SRC = ROOT / "src"
if any((SRC / "kelvo_orra_backtest" / "modules" / "positions").glob("columnar*.so")):
    sys.path.insert(0, str(SRC))
sys.path.insert(0, str(ROOT / "tests"))
sys.path.insert(0, str(HERE))

import polars as pl  # noqa: E402

from kelvo_orra_backtest.market_zone import use_market_zone  # noqa: E402

use_market_zone()

from kelvo_orra_backtest.data import sample  # noqa: E402
from kelvo_orra_backtest.data.tick_files import load_ticks  # noqa: E402
from kelvo_orra_backtest.engine import Strategy, run  # noqa: E402
from kelvo_orra_backtest.examples.crossover import Crossover  # noqa: E402
from kelvo_orra_backtest.modules.positions import positions as _positions  # noqa: E402,F401
from kelvo_orra_backtest.modules.positions import columnar as _columnar  # noqa: E402,F401

import demo_loop  # noqa: E402
import engine_ref  # noqa: E402
import year  # noqa: E402


def peak_rss_mb() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def rss_mb() -> float:
    """The process's resident memory now (Linux)."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return float("nan")


def timed(fn):
    t = time.perf_counter()
    out = fn()
    return out, time.perf_counter() - t


class TickWatcher(Strategy):
    code: str = "0050"

    def on_start(self, ctx):
        self.seen = 0
        ctx.subscribe_ticks(self.code)

    def on_tick(self, ctx, tick):
        self.seen += 1


class EmptyBars(Strategy):
    subscribe: bool = True

    def on_start(self, ctx):
        if self.subscribe:
            ctx.subscribe("TXF", "m", 1)

    def on_bar(self, ctx, bar):
        pass


def sample_rows(ticks: pl.DataFrame) -> None:
    n = ticks.height
    params = {"codes": "2330,TXF"}
    engine_result, t_engine = timed(lambda: run(Crossover, ticks, params=params, costs="account"))
    ref_result, t_ref = timed(lambda: engine_ref.ref_run(Crossover, ticks, params=params, costs="account"))
    with redirect_stdout(io.StringIO()):
        stats, t_demo = timed(lambda: demo_loop.run(ticks, ["2330", "TXF"], 5_000_000,
                                                    Path("/tmp/bench-engine-demo"), False, reports=False,
                                                    quiet=True))
    same = (engine_result.fills.equals(ref_result.fills)
            and engine_result.orders.drop("reason").equals(ref_result.orders))
    print(f"sample, crossover on 2330 and TXF ({n:,} ticks), costs='account':")
    print(f"  engine            {t_engine:8.2f} s  {n / t_engine:12,.0f} ticks/s  "
          f"{engine_result.fills.height:,} fills, realised {engine_result.stats['net_profit']:,.2f}")
    print(f"  reference loop    {t_ref:8.2f} s  {n / t_ref:12,.0f} ticks/s  same orders and fills: {same}  "
          f"engine {t_ref / t_engine:,.1f}x")
    print(f"  today's demo loop {t_demo:8.2f} s  {n / t_demo:12,.0f} ticks/s  {stats.deals:,} fills  "
          f"engine {t_demo / t_engine:,.1f}x")


def tick_rows(ticks: pl.DataFrame) -> None:
    print("ticks of one code (on_tick counts them):")
    for code in ("0050", "TXF"):
        result, t = timed(lambda: run(TickWatcher, ticks, params={"code": code}))
        print(f"  subscribe_ticks({code!r}): {t:6.2f} s for {ticks.filter(pl.col('code') == code).height:,} ticks")


def bar_rows(ticks: pl.DataFrame) -> None:
    _, t_none = timed(lambda: run(EmptyBars, ticks, params={"subscribe": False}))
    result, t_bars = timed(lambda: run(EmptyBars, ticks))
    bars = result._engine.tape.codes["TXF"].bars[("m", 1)].closed
    loop_none = t_none
    print(f"on_bar overhead: {bars:,} one-minute bars of TXF, {t_bars:.2f} s against {loop_none:.2f} s "
          f"without: {(t_bars - loop_none) / bars * 1e6:.2f} µs per call (bar object, hook call, bookkeeping)")


def year_rows(n_ticks: int, ref_ticks: int) -> None:
    frames, t_gen = timed(lambda: list(year.futures_days(2024, n_ticks)))
    ticks = pl.concat(frames, rechunk=True)
    del frames
    rss_loaded, peak_loading = rss_mb(), peak_rss_mb()
    result, t = timed(lambda: run(Crossover, ticks, params={"codes": "TXF"}))
    phases = ", ".join(f"{k} {v:.2f}" for k, v in result._engine.timings.items())
    print(f"year: {ticks.height:,} ticks of TXF (generated in {t_gen:.1f} s, not counted; the frame "
          f"{ticks.estimated_size() / 2**20:,.0f} MB; RSS {rss_loaded:,.0f} MB once loaded, peak while "
          f"generating {peak_loading:,.0f} MB)")
    print(f"  engine: {t:.2f} s end to end, {ticks.height / t / 1e6:.2f} M ticks/s; phases (s): {phases}; "
          f"{result.fills.height:,} fills; peak RSS {peak_rss_mb():,.0f} MB")
    head = ticks.head(ref_ticks)
    _, t_ref = timed(lambda: engine_ref.ref_run(Crossover, head, params={"codes": "TXF"}))
    rate = ref_ticks / t_ref
    print(f"  reference loop on the first {ref_ticks:,} ticks: {t_ref:.2f} s, {rate:,.0f} ticks/s "
          f"(the year at that rate: {ticks.height / rate / 60:,.0f} min; engine {ticks.height / t / rate:,.0f}x)")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--year-ticks", type=int, default=30_000_000)
    ap.add_argument("--ref-ticks", type=int, default=200_000)
    ap.add_argument("--skip-year", action="store_true")
    ap.add_argument("--skip-sample", action="store_true")
    args = ap.parse_args()
    if not args.skip_sample:
        sample_part()
    if not args.skip_year:
        year_rows(args.year_ticks, args.ref_ticks)


def sample_part() -> None:
    ticks = load_ticks(sample.sample_path())
    sample_rows(ticks)
    tick_rows(ticks)
    bar_rows(ticks)


if __name__ == "__main__":
    main()
