"""Parameter sweeps and walk-forward tests of any strategy on Dask: the
library under the sweep command (`python -m kelvo_orra_backtest.sweep`).

    from kelvo_orra_backtest.sweeping import run_sweep

    result = run_sweep("my_strategy.py:Cross", "ticks.parquet", {"fast": [5, 10], "slow": [30, 60]},
                       output_dir="out")
    print(result.table)

- `runner`: `run_sweep`, the grid (or the walk-forward windows) over a cluster;
- `tasks`: one set on a worker (`run_set`, `write_report`);
- `cluster`: the local or remote cluster and the collection of finished sets;
- `results`: the table's columns, rows and ranking, `SweepResult`, `SweepError`;
- `space`: the parameter sets of a grid; `walk_forward`: windows of trading
  days and the stitched out-of-sample curve.

The tables, heat maps and screen tables are written by `sweep_output`.
"""
from kelvo_orra_backtest.sweeping.cluster import CLUSTER_STARTS
from kelvo_orra_backtest.sweeping.results import SweepError, SweepResult
from kelvo_orra_backtest.sweeping.runner import DEFAULT_STRATEGY, PARTIAL, run_sweep
from kelvo_orra_backtest.sweeping.tasks import run_set, write_report

__all__ = ["CLUSTER_STARTS", "DEFAULT_STRATEGY", "PARTIAL", "SweepError", "SweepResult", "run_set", "run_sweep",
           "write_report"]
