"""Sweep benchmark: 16 parameter sets over the bundled sample, one after
another in this process against the local Dask cluster on this machine's cores.

    TZ=Asia/Taipei .venv/bin/python bench/sweep.py [--workers N]

Prints the wall time of both, the speed-up (with and without the cluster's
start and close), and the engine's overhead per task, measured two ways:
trivial tasks through the same cluster, and the cluster's worker time that
the backtests themselves did not use.
"""
from __future__ import annotations

import argparse
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

from kelvo_orra_backtest import demo, sweep  # noqa: E402
from kelvo_orra_backtest.data import sample  # noqa: E402
from kelvo_orra_backtest.market_zone import use_market_zone  # noqa: E402

GRID = {"fast": [3, 5, 8, 13], "slow": [20, 30, 45, 60]}
CODES = ["2330", "TXF"]
CAPITAL = 5_000_000
NOOP_TASKS = 200


def _noop(i: int) -> int:
    return i


def _timed(ticks, params, codes, capital) -> dict:
    """One set with the CPU seconds its process spent on it: on a machine that
    others share, wall time alone cannot tell contention from overhead."""
    cpu = time.process_time()
    result = sweep.backtest_set(ticks, params, codes, capital)
    return {**result, "cpu": time.process_time() - cpu}


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 1)
    args = parser.parse_args()
    use_market_zone()
    frame = demo.load_ticks(sample.sample_path())
    sets, _ = sweep.expand_grid(GRID)
    assert len(sets) == 16

    started = time.perf_counter()
    sequential = [_timed(frame, p, CODES, CAPITAL) for p in sets]
    t_seq = time.perf_counter() - started

    from distributed import wait

    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "ticks.parquet")
        frame.write_parquet(path)
        t0 = time.perf_counter()
        with sweep._cluster(None, args.workers) as (client, _):
            t1 = time.perf_counter()
            futures = [client.submit(_timed, path, p, CODES, CAPITAL, pure=False) for p in sets]
            results = client.gather(futures)
            t2 = time.perf_counter()
            noop = [client.submit(_noop, i, pure=False) for i in range(NOOP_TASKS)]
            wait(noop)
            t3 = time.perf_counter()
        t4 = time.perf_counter()

    for want, got in zip(sequential, results):
        assert (want["deals"], want["profit"]) == (got["deals"], got["profit"]), "cluster and loop disagree"
    t_tasks = t2 - t1
    busy = sum(r["run_time"] for r in results)
    print(f"sets: {len(sets)}   ticks: {frame.height:,}   workers: {args.workers}   cores: {os.cpu_count()}"
          f"   load average: {os.getloadavg()[0]:.1f}")
    print(f"one process, one after another: {t_seq:7.2f} s   ({t_seq / len(sets):.2f} s per set)")
    print(f"local cluster, tasks only:      {t_tasks:7.2f} s   speed-up {t_seq / t_tasks:.2f}x")
    print(f"local cluster, start to close:  {t4 - t0:7.2f} s   speed-up {t_seq / (t4 - t0):.2f}x"
          f"   (start {t1 - t0:.2f} s, close {t4 - t3:.2f} s)")
    print(f"overhead per task: {1000 * (t3 - t2) / NOOP_TASKS:.2f} ms (trivial tasks, cluster throughput);"
          f" {1000 * (args.workers * t_tasks - busy) / len(sets):.0f} ms of worker time per set"
          f" outside the backtest (tick read, transfer, idle tail)")
    cpu_seq = sum(r["cpu"] for r in sequential) / len(sets)
    cpu_par = sum(r["cpu"] for r in results) / len(sets)
    wall_par = busy / len(sets)
    print(f"per set: loop {t_seq / len(sets):.2f} s wall, {cpu_seq:.2f} s CPU;"
          f" cluster {wall_par:.2f} s wall, {cpu_par:.2f} s CPU"
          f" (wall above CPU is time the processes waited for a core)")


if __name__ == "__main__":
    main()
