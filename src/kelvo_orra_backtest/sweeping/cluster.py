"""The cluster a sweep runs on: a local one started and closed here (one
single-threaded worker process per core by default) or the user's scheduler;
and the collection of the sets as they finish, each logged at once.
"""
from __future__ import annotations

import logging
import os
import signal
import threading
import time
import warnings
from contextlib import contextmanager
from typing import Any, Callable, Mapping

import dask
from distributed import Client, LocalCluster, WorkerPlugin, as_completed
from rich.progress import BarColumn, MofNCompleteColumn, Progress, TextColumn, TimeElapsedColumn

from kelvo_orra_backtest.sweeping.results import SweepError, error_text, json_line
from kelvo_orra_backtest.utils import console

__all__ = ["CLUSTER_STARTS", "NO_WORKER_TIMEOUT", "gather", "open_cluster"]

CLUSTER_STARTS = 3  # attempts at starting the local cluster (a worker may die while it starts)
NO_WORKER_TIMEOUT = 60.0  # seconds without any worker before the unfinished sets fail


class _IgnoreCtrlC(WorkerPlugin):
    """Local workers ignore SIGINT: Ctrl-C at the terminal reaches every
    process of the foreground group, and the workers must stay up while the
    command cancels the pending tasks and closes the cluster in order."""

    name = "sweep-ignore-ctrl-c"

    def setup(self, worker) -> None:
        if threading.current_thread() is threading.main_thread():
            signal.signal(signal.SIGINT, signal.SIG_IGN)


@contextmanager
def open_cluster(scheduler: str | None, workers: int | None, client: Client | None = None):
    """A client on the given scheduler, or on a local cluster started and closed here
    (or the caller's own client, left open)."""
    if client is not None:
        yield client, isinstance(getattr(client, "cluster", None), LocalCluster)
        return
    if scheduler is None:
        n = workers or os.cpu_count() or 1
        # One task at a time per worker: a worker that dies takes no queued
        # task of another set down with it.  The engine's own log lines (a
        # connection closed while the cluster shuts down) stay off the screen;
        # what matters of a failure reaches the set's row.
        with dask.config.set({"distributed.scheduler.worker-saturation": 1.0}), warnings.catch_warnings():
            # the scheduler's HTTP endpoints move to a free port when another cluster holds the usual one
            warnings.filterwarnings("ignore", message="Port .* is already in use", category=UserWarning)
            for attempt in range(1, CLUSTER_STARTS + 1):
                try:
                    cluster = LocalCluster(n_workers=n, threads_per_worker=1, processes=True, host="127.0.0.1",
                                           dashboard_address=None, silence_logs=logging.CRITICAL)
                    break
                except (RuntimeError, OSError, TimeoutError) as exc:  # it has closed what it started
                    if attempt == CLUSTER_STARTS:
                        raise SweepError(f"the local cluster could not start in {CLUSTER_STARTS} attempts "
                                         f"({error_text(exc)})") from None
        try:
            client = Client(cluster)
            try:
                client.register_plugin(_IgnoreCtrlC())
                yield client, True
            finally:
                client.close(timeout=30)
        finally:
            cluster.close(timeout=30)
        return
    try:
        client = Client(scheduler, timeout="10s")
    except (OSError, TimeoutError) as exc:
        raise SweepError(f"cannot reach the scheduler at {scheduler} ({error_text(exc)})") from None
    try:
        try:
            client.wait_for_workers(1, timeout=30)
        except TimeoutError:
            raise SweepError(f"no worker joined the scheduler at {scheduler} within 30 s") from None
        yield client, False
    finally:
        client.close()


class _NoWorkers(Exception):
    pass


def _finished(client, futures):
    """(future, result or error) of each task as it ends.  A cluster that has
    lost every worker (their restarts failed too) ends the wait after
    NO_WORKER_TIMEOUT instead of leaving the sets queued for ever."""
    done = as_completed(futures, with_results=True, raise_errors=False)
    next_check = time.monotonic()
    workerless_since = None
    while not done.is_empty():
        batch = done.next_batch(block=False)
        yield from batch
        if batch:
            continue
        now = time.monotonic()
        if now >= next_check:
            next_check = now + 2.0
            if client.nthreads():
                workerless_since = None
            elif workerless_since is None:
                workerless_since = now
            elif now - workerless_since > NO_WORKER_TIMEOUT:
                raise _NoWorkers(f"no worker left on the cluster for {NO_WORKER_TIMEOUT:.0f} s")
        time.sleep(0.05)


def gather(client, jobs: list[tuple[dict, tuple]], make_row: Callable[[int, Any, str | None], dict],
            log, progress: bool, label: str, token: str, tag: str) -> tuple[dict[int, dict], dict[int, Any], bool]:
    """Submits `jobs` ((head, task arguments) each) and collects one row per
    job as it finishes, each appended to `log` at once.  Returns the rows by
    job, the raw figures by job, and whether Ctrl-C ended the wait."""
    rows: dict[int, dict] = {}
    figures: dict[int, Any] = {}
    futures = {client.submit(*args, key=f"{tag}-{token}-{i}", pure=False): i for i, (_, args) in enumerate(jobs)}
    interrupted = False
    try:
        with Progress(TextColumn(f"[bold]{label}"), BarColumn(), MofNCompleteColumn(),
                      TextColumn("{task.fields[failed]} 失敗"), TimeElapsedColumn(),
                      console=console, disable=not progress) as bar:
            bar_task = bar.add_task("sweep", total=len(jobs), failed=0)
            failed = 0
            for fut, value in _finished(client, futures):
                i = futures[fut]
                if i in rows:  # one row per set, whatever the engine reports twice
                    continue
                if isinstance(value, Mapping):
                    rows[i] = make_row(i, value, None)
                    figures[i] = value
                else:  # the exception, or (type, exception, traceback) of a task that raised
                    error = value[1] if isinstance(value, tuple) else value
                    rows[i] = make_row(i, None, error_text(error))
                    failed += 1
                log.write(json_line(rows[i]) + "\n")
                log.flush()
                bar.update(bar_task, advance=1, failed=failed)
    except _NoWorkers as exc:
        client.cancel([f for f in futures if not f.done()], force=True)
        for i in range(len(jobs)):
            if i not in rows:
                rows[i] = make_row(i, None, str(exc))
                log.write(json_line(rows[i]) + "\n")
    except KeyboardInterrupt:
        interrupted = True
        client.cancel([f for f in futures if not f.done()], force=True)
    return rows, figures, interrupted
