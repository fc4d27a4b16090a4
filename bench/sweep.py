"""Sweep benchmark: 64 sets of the example crossover over the bundled sample
on a local cluster of one worker and of two, in the same run; the client's
memory from 64 to 1,024 sets; the cost of a set beyond its own backtest.

    TZ=Asia/Taipei .venv/bin/python bench/sweep.py

The 1,024-set memory row uses a task that returns a made-up stats row at once
(the client's memory depends on the rows it keeps, not on the backtests), so
that it takes seconds instead of a quarter of an hour.
"""
from __future__ import annotations

import os
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
SRC = HERE.parent / "src"
# a development build next to the sources (scripts/dev-build) wins over the installed module
if any((SRC / "kelvo_orra_backtest" / "modules" / "positions").glob("positions*.so")):
    sys.path.insert(0, str(SRC))
    os.environ["PYTHONPATH"] = os.pathsep.join(filter(None, [str(SRC), os.environ.get("PYTHONPATH")]))

import psutil  # noqa: E402

from kelvo_orra_backtest.sweeping import cluster, runner, tasks  # noqa: E402
from kelvo_orra_backtest.data import sample  # noqa: E402
from kelvo_orra_backtest.engine.result import STAT_KEYS  # noqa: E402
from kelvo_orra_backtest.market_zone import use_market_zone  # noqa: E402
from kelvo_orra_backtest.sweeping.space import Space  # noqa: E402

GRID = {"fast": [2, 3, 5, 8], "slow": list(range(20, 180, 10))}  # 64 sets, all with fast < slow
NOOP_TASKS = 200


def _cheap(ticks, source, params, options, days=None, daily=False) -> dict:
    """A stats row made up at once: a stand-in for a set in the memory row."""
    return {**{k: float(params["slow"]) for k in STAT_KEYS}, "trades": params["fast"], "digest": "0" * 16,
            "run_time": 0.0}


def _noop(i: int) -> int:
    return i


def _timed_sweep(client, path: str, source, sets: list) -> tuple[float, list[dict]]:
    started = time.perf_counter()
    futures = [client.submit(tasks.run_set, path, source, p, {"capital": 5_000_000, "costs": "exchange"},
                             pure=False) for p in sets]
    results = client.gather(futures)
    return time.perf_counter() - started, results


def main() -> None:
    use_market_zone()
    cls, source = runner._source(None)
    sets, _ = Space(cls, GRID).grid_sets()
    assert len(sets) == 64
    frame = runner._load(None, None)
    proc = psutil.Process()
    print(f"sets: {len(sets)}   ticks: {frame.height:,}   cores: {os.cpu_count()}   "
          f"load average before: {os.getloadavg()[0]:.1f}")
    walls, results = {}, {}
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "ticks.parquet")
        frame.write_parquet(path)
        for workers in (1, 2):
            t0 = time.perf_counter()
            with cluster.open_cluster(None, workers) as (client, _):
                t1 = time.perf_counter()
                walls[workers], results[workers] = _timed_sweep(client, path, source, sets)
                if workers == 2:
                    t2 = time.perf_counter()
                    client.gather([client.submit(_noop, i, pure=False) for i in range(NOOP_TASKS)])
                    noop_ms = 1000 * (time.perf_counter() - t2) / NOOP_TASKS
                    rss = {}
                    for n in (64, 1024, 64, 1024):
                        big = {"fast": list(range(1, 1 + n // 16)), "slow": list(range(1000, 1016))}
                        runner.run_sweep(None, frame, big, client=client, progress=False, task=_cheap,
                                        output_dir=Path(tmp) / f"out{n}")
                        rss[n] = proc.memory_info().rss  # the second pass of each size: pools warmed
            print(f"{workers} worker(s): {walls[workers]:6.1f} s for the sets   (cluster start {t1 - t0:.1f} s)")
    digests = [[r["digest"] for r in results[w]] for w in (1, 2)]
    assert digests[0] == digests[1], "one worker and two disagree"
    run_time = {w: sum(r["run_time"] for r in results[w]) / len(sets) for w in (1, 2)}
    print(f"speed-up, two workers against one: {walls[1] / walls[2]:.2f}x   "
          f"load average after: {os.getloadavg()[0]:.1f}")
    over = {1: walls[1] / len(sets) - run_time[1], 2: 2 * walls[2] / len(sets) - run_time[2]}
    print(f"a set's backtest: {run_time[1]:.3f} s on one worker, {run_time[2]:.3f} s on two")
    print(f"per-set overhead: one worker {1000 * over[1]:.0f} ms ({100 * over[1] / run_time[1]:.1f} %);"
          f" two workers {1000 * over[2]:.0f} ms of worker time ({100 * over[2] / run_time[2]:.1f} %, idle tail "
          f"included); trivial task {noop_ms:.2f} ms")
    print(f"client RSS: 64 sets {rss[64] / 2**20:.1f} MiB, 1,024 sets {rss[1024] / 2**20:.1f} MiB "
          f"({100 * (rss[1024] / rss[64] - 1):+.1f} %)")


if __name__ == "__main__":
    main()
