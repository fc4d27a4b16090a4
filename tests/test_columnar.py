"""ColumnarQuoteManager against QuoteManager: a differential run over random
tick streams (every step compared), bulk intake against per-row intake,
refused frames and ticks that store nothing, and identical argument errors.

COLUMNAR_STREAMS sets the number of random streams (default 300)."""
from __future__ import annotations

import math
import os
import random
from datetime import datetime

import polars as pl
import pytest

from kelvo_orra_backtest.modules.positions.columnar import ColumnarQuoteManager
from kelvo_orra_backtest.modules.positions.positions import QuoteManager

STREAMS = int(os.environ.get("COLUMNAR_STREAMS", "300"))
UNITS = ["m", "h", "d", "w", "mo", "q", "y"]
COLUMNS = ["timestamp", "code", "market_type", "close", "qty", "tick_type", "is_simulate"]


def tick(ts, close=100.0, qty=1, code="2330", market_type="Stock", tick_type=1, sim=False):
    return {"timestamp": ts, "code": code, "market_type": market_type, "close": close, "qty": qty,
            "tick_type": tick_type, "is_simulate": sim}


def at(*a):
    return datetime(*a).timestamp()


def outcome(fn, *args):
    try:
        return "ok", fn(*args)
    except Exception as e:  # noqa: BLE001 - the two classes must fail alike
        return "err", (type(e), str(e))


def same_frame(a, b):
    if isinstance(a, pl.DataFrame):
        assert a.schema == b.schema
        assert a.rows() == b.rows()
    else:  # pandas
        assert list(a.columns) == list(b.columns)
        assert a.equals(b)


class Pair:
    """The two managers driven by the same calls."""

    def __init__(self):
        self.q = QuoteManager()
        self.c = ColumnarQuoteManager()

    def check_code(self, code):
        info = self.q.ticks.get(code)
        if info is None:
            assert self.c.last_tick(code) is None
            assert self.c.tick_counts(code) == (0, 0)
            return
        mine, theirs = self.c.last_tick(code), info["last_tick"]
        assert mine == theirs or str(mine) == str(theirs)  # NaN prices are not equal to themselves
        assert self.c.tick_counts(code) == (len(info["ticks"]), len(info["old_ticks"]))

    def add(self, t):
        rq, rc = outcome(self.q.add_tick, t), outcome(self.c.add_tick, t)
        assert rq[0] == rc[0], (t, rq, rc)
        if rq[0] == "err":
            assert rq[1][0] is rc[1][0]
        self.check_code(t["code"])

    def add_frame(self, ticks):
        """Bulk intake on the columnar side, row by row on the other."""
        for t in ticks:
            self.q.add_tick(t)
        frame = pl.DataFrame(ticks, schema={"timestamp": pl.Float64, "code": pl.String, "market_type": pl.String,
                                            "close": pl.Float64, "qty": pl.Int64, "tick_type": pl.Int8,
                                            "is_simulate": pl.Boolean})
        self.c.add_ticks(frame)
        for code in {t["code"] for t in ticks}:
            self.check_code(code)

    def call(self, name, *args):
        rq = outcome(getattr(self.q, name), *args)
        rc = outcome(getattr(self.c, name), *args)
        assert rq[0] == rc[0], (name, args, rq, rc)
        if rq[0] == "ok":
            same_frame(rq[1], rc[1])
        else:
            assert rq[1][0] is rc[1][0]
        if args:
            self.check_code(args[0])
        return rc


def random_stream(rng: random.Random, pair: Pair, steps: int) -> None:
    codes = rng.sample(["2330", "TXF", "MXF", "X9"], rng.randint(1, 3))
    market = {code: rng.choice(["Stock", "Future", "Future", "Other"]) for code in codes}
    now = {code: at(2024, rng.randint(1, 12), rng.randint(1, 28), rng.randint(0, 23), rng.randint(0, 59))
           + rng.choice([0, 0.25, 0.5, 0.999999]) for code in codes}
    gaps = [1, 7, 30, 59, 61, 90, 125, 600, 3600, 5 * 3600, 86400, 2 * 86400 + 3000, 7 * 86400 + 77]
    pending = []
    for _ in range(steps):
        code = rng.choice(codes)
        r = rng.random()
        if r < 0.62:
            gap = rng.choice(gaps) * rng.random() if rng.random() < 0.3 else rng.choice(gaps)
            if rng.random() < 0.06:
                gap = -rng.choice([1, 30, 200, 4000])  # a late tick
            now[code] += gap
            mt = market[code] if rng.random() < 0.93 else rng.choice(["Stock", "Future", "Other"])
            t = tick(round(now[code], 6) if rng.random() < 0.8 else int(now[code]),
                     round(rng.uniform(90, 110), 2), rng.randint(0, 9), code, mt, rng.randint(-1, 2),
                     rng.random() < 0.1)
            if rng.random() < 0.25:
                t["timestamp"] = float(t["timestamp"])
                pending.append(t)
                if len(pending) >= rng.randint(1, 6):
                    pair.add_frame(pending)
                    pending = []
            else:
                if pending:
                    pair.add_frame(pending)
                    pending = []
                pair.add(t)
        elif r < 0.85:
            args = [code, rng.choice(UNITS[:4] if rng.random() < 0.8 else UNITS), rng.choice([1, 1, 2, 5, 15, 60])]
            if rng.random() < 0.15:
                args.append([pl.col("Close").alias("c2")])
            if rng.random() < 0.05:
                args += [[]] * (4 - len(args)) + [True]
            pair.call("get_kbar", *args)
        elif r < 0.92:
            pair.call("poped_tick_to_df", code)
        elif r < 0.98:
            pair.call("poped_old_ticks_to_df", code)
        else:
            pair.q.clear_ticks()
            pair.c.clear_ticks()
            pending = []
            for c in codes:
                pair.check_code(c)


@pytest.mark.parametrize("block", range(4))
def test_differential_random_streams(block):
    per_block = max(1, STREAMS // 4)
    for k in range(per_block):
        seed = block * 1_000_003 + k
        rng = random.Random(seed)
        pair = Pair()
        try:
            random_stream(rng, pair, rng.randint(5, 40))
        except AssertionError as e:
            raise AssertionError(f"stream seed {seed}: {e}") from e


@pytest.mark.parametrize("first,second,label", [
    (at(2024, 3, 8, 13, 30, 0) + 0.5, at(2024, 3, 11, 9, 0, 5), "stock Friday close to Monday"),
    (at(2024, 3, 9, 5, 0, 0), at(2024, 3, 11, 8, 45, 10), "futures Saturday 05:00 to Monday"),
    (at(2024, 2, 2, 10, 0, 0), at(2024, 2, 16, 10, 0, 0), "across the lunar new year closure"),
    (at(2024, 3, 4, 9, 58, 30), at(2024, 3, 4, 10, 1, 10), "hour boundary"),
    (at(2024, 3, 4, 9, 0, 30), at(2024, 3, 4, 9, 3, 10), "rest second"),
])
@pytest.mark.parametrize("market_type", ["Stock", "Future", "Other"])
def test_calendar_gaps(first, second, label, market_type):
    pair = Pair()
    pair.add(tick(first, market_type=market_type))
    pair.add(tick(second, 101.0, market_type=market_type))
    pair.call("poped_tick_to_df", "2330")
    for unit, freq in [("m", 1), ("h", 1), ("d", 1)]:
        pair.call("get_kbar", "2330", unit, freq)


@pytest.mark.parametrize("freq", [0, -1, 2_000_000, 10**30])
def test_unusual_frequencies_fail_or_agree(freq):
    pair = Pair()
    pair.add(tick(at(2024, 3, 4, 9, 0, 10)))
    pair.add(tick(at(2024, 3, 4, 9, 3, 40), 101.0))
    pair.call("get_kbar", "2330", "m", freq)
    pair.add(tick(at(2024, 3, 4, 9, 4, 0), 99.0))
    pair.call("get_kbar", "2330", "m", freq)


def test_mixed_keys_lose_no_tick_and_cache_identity():
    pair = Pair()
    for i in range(5):
        pair.add(tick(at(2024, 3, 4, 9, i, 10), 100.0 + i))
    pair.call("get_kbar", "2330", "m", 1)
    pair.add(tick(at(2024, 3, 4, 9, 5, 10), 90.0))
    pair.call("get_kbar", "2330", "m", 5)  # pops the new tick for another key
    pair.call("get_kbar", "2330", "m", 1)  # must still see it
    c = pair.c
    first = c.get_kbar("2330", "m", 1)
    assert c.get_kbar("2330", "m", 1, [pl.col("Close").alias("x")]) is first  # no new tick: the cached table


@pytest.mark.parametrize("whole_seconds", [False, True])
def test_bulk_intake_in_order_with_virtual_ticks(whole_seconds):
    pair = Pair()
    start = at(2024, 3, 7, 12, 0, 0)
    ticks = [tick(start + i * 37.5, 100 + i % 7, i % 4, code=("TXF" if i % 3 else "MXF"), market_type="Future")
             for i in range(2000)]
    if whole_seconds:  # an integer timestamp column, as add_tick takes int stamps
        for t in ticks:
            t["timestamp"] = int(t["timestamp"])
        for t in ticks:
            pair.q.add_tick(t)
        pair.c.add_ticks(pl.DataFrame(ticks).with_columns(pl.col("tick_type").cast(pl.Int16)))
        for code in ("TXF", "MXF"):
            pair.check_code(code)
    else:
        pair.add_frame(ticks)
    for code in ("TXF", "MXF"):
        pair.call("poped_tick_to_df", code)
        pair.call("get_kbar", code, "m", 5)


def good_frame(n=3, start=None):
    start = start or at(2024, 3, 4, 9, 0, 0)
    return pl.DataFrame({
        "timestamp": [start + 70 * i for i in range(n)], "code": ["2330"] * n, "market_type": ["Stock"] * n,
        "close": [100.0 + i for i in range(n)], "qty": [1] * n, "tick_type": [1] * n, "is_simulate": [False] * n,
    })


def with_value(frame, column, row, value, dtype=None):
    values = frame[column].to_list()
    values[row] = value
    return frame.with_columns(pl.Series(column, values, dtype=dtype or frame[column].dtype))


@pytest.mark.parametrize("make,match", [
    (lambda f: f.drop("qty"), "'qty' is missing"),
    (lambda f: with_value(f, "close", 2, None), "'close' has a null at row 2"),
    (lambda f: with_value(f, "code", 1, None), "'code' has a null at row 1"),
    (lambda f: with_value(f, "is_simulate", 1, None), "'is_simulate' has a null at row 1"),
    (lambda f: with_value(f, "timestamp", 1, math.nan), "'timestamp' is not finite at row 1"),
    (lambda f: with_value(f, "close", 2, math.inf), "'close' is not finite at row 2"),
    (lambda f: f.with_columns(pl.col("qty").cast(pl.Float64)), "'qty' has dtype Float64"),
    (lambda f: f.with_columns(pl.col("code").cast(pl.Categorical)), "'code' has dtype Categorical"),
    (lambda f: f.with_columns(pl.col("is_simulate").cast(pl.Int8)), "'is_simulate' has dtype Int8"),
    (lambda f: with_value(f, "tick_type", 2, 300), "'tick_type' has a value that does not fit Int8 at row 2"),
    (lambda f: with_value(f, "qty", 1, 10**9 + 1),
     r"'qty' has a value beyond the largest quantity of a tick \(-1000000000 to 1000000000\) at row 1"),
    (lambda f: with_value(f, "qty", 2, -2**62), "'qty' has a value beyond the largest quantity of a tick"),
    (lambda f: with_value(f, "timestamp", 2, 1e18), "'timestamp' is out of the local date-time range at row 2"),
])
def test_bad_frames_store_nothing(make, match):
    c = ColumnarQuoteManager()
    c.add_tick(tick(at(2024, 3, 1, 9, 0, 0)))
    before = (c.last_tick("2330"), c.tick_counts("2330"))
    bad = make(good_frame(3))
    with pytest.raises(ValueError, match=match):
        c.add_ticks(bad)
    assert (c.last_tick("2330"), c.tick_counts("2330")) == before
    with pytest.raises(TypeError):
        c.add_ticks(bad.to_dicts())


@pytest.mark.parametrize("key,value,error", [
    ("close", "100", TypeError),
    ("close", None, TypeError),
    ("qty", 1.5, TypeError),
    ("is_simulate", None, TypeError),
    ("code", 2330, TypeError),
    ("qty", 2**70, OverflowError),
    ("qty", 2**62, OverflowError),
    ("tick_type", 128, OverflowError),
    ("timestamp", math.nan, ValueError),
    ("timestamp", "x", TypeError),
])
def test_bad_ticks_store_nothing(key, value, error):
    c = ColumnarQuoteManager()
    bad = tick(at(2024, 3, 1, 9, 0, 0))
    bad[key] = value
    with pytest.raises(error):
        c.add_tick(bad)
    assert c.tick_counts("2330") == (0, 0)
    with pytest.raises(KeyError):
        c.get_kbar("2330", "m", 1)


@pytest.mark.parametrize("call", [
    lambda m: m.get_kbar("2330", "x", 1),
    lambda m: m.get_kbar("2330", "m", True),
    lambda m: m.get_kbar(1, "m", 1),
    lambda m: m.get_kbar("2330", "m", 1, ()),
    lambda m: m.get_kbar("2330"),
    lambda m: m.get_kbar("2330", "m", 1, [], False, 3),
    lambda m: m.get_kbar("2330", "m", 1, bogus=1),
    lambda m: m.get_kbar("2330", "m", 1, code="x"),
    lambda m: m.add_tick([]),
    lambda m: m.add_tick({"timestamp": 1}),
    lambda m: m.poped_tick_to_df(None),
    lambda m: m.get_kbar("never", "m", 1),
])
def test_argument_errors_are_identical(call):
    rq, rc = outcome(call, QuoteManager()), outcome(call, ColumnarQuoteManager())
    assert rq[0] == rc[0] == "err"
    assert rq[1] == rc[1]


def test_tables_and_calendar():
    c, q = ColumnarQuoteManager(), QuoteManager()
    assert c.get_empty_tick_df().schema == q.get_empty_tick_df().schema
    assert c.holiday_search_set == q.holiday_search_set
    assert c.not_trade_times == q.not_trade_times
    c.holiday_search_set.add("2024-03-04")  # a copy: the calendar is unchanged
    assert "2024-03-04" not in c.holiday_search_set
    with pytest.raises(AttributeError):
        c.not_trade_times = {}
    with pytest.raises(TypeError, match="ColumnarQuoteManager"):
        ColumnarQuoteManager.get_kbar(q, "2330", "m", 1)


def test_popped_history_outlives_clear():
    c = ColumnarQuoteManager()
    c.add_ticks(good_frame(500))
    old = c.poped_tick_to_df("2330")  # looks at the store's buffers
    rows = old.rows()
    c.clear_ticks()
    del c
    other = ColumnarQuoteManager()
    other.add_ticks(good_frame(5000, at(2024, 5, 6, 9, 0, 0)))
    assert old.rows() == rows and old.height > 500


def test_nan_prices_and_empty_frames():
    pair = Pair()
    pair.add(tick(at(2024, 3, 4, 9, 0, 10), math.nan))
    pair.add(tick(at(2024, 3, 4, 9, 0, 20), 101.0))
    pair.add(tick(at(2024, 3, 4, 9, 1, 20), math.nan))
    for unit, freq in [("m", 1), ("h", 1)]:
        rq = pair.q.get_kbar("2330", unit, freq)
        rc = pair.c.get_kbar("2330", unit, freq)
        assert rq.rows() == rc.rows() or str(rq.rows()) == str(rc.rows())  # NaN != NaN
    before = pair.c.tick_counts("2330")
    pair.c.add_ticks(good_frame(3).head(0))
    assert pair.c.tick_counts("2330") == before


def test_subclass_without_init_is_refused_clearly():
    class Bare(ColumnarQuoteManager):
        def __init__(self):
            pass

    with pytest.raises(RuntimeError, match="__init__"):
        Bare().add_tick(tick(at(2024, 3, 4, 9, 0, 0)))


def test_reports_accept_the_columnar_manager(m, console, data_dir):
    """The two reports give the same files with either manager."""
    from report_fakes import profit_row

    outputs = []
    for cls in (QuoteManager, ColumnarQuoteManager):
        qm, pos = cls(), m.Positions()
        for day in (2, 3, 4):
            for i in range(0, 270, 7):
                for code in ("2330", "0050"):
                    qm.add_tick(tick(at(2024, 1, day, 9, 0, 0) + 60 * i + 5, 100.0 + (i * day) % 13, 2, code))
        pos._profit_report["rows"].extend([
            profit_row("2330", at(2024, 1, 2, 9, 1, 59), at(2024, 1, 2, 10, 5, 0), profit=900.0),
            profit_row("2330", at(2024, 1, 3, 9, 0, 0), at(2024, 1, 4, 11, 0, 0), profit=-300.0),
        ])
        pos.generate_standard_report("2330", qm)
        pos.generate_qs_profit_report("2330", qm)
        outputs.append([(data_dir / "report" / "2330-report.html").read_text(encoding="utf-8"),
                        (data_dir / "orra" / "profit_report" / "2330-profit_report.csv").read_text()])
        assert (data_dir / "orra" / "profit_report" / "2330-profit_report.html").exists()
    assert outputs[0] == outputs[1]


class Stop(Exception):
    pass


@pytest.mark.parametrize("bulk", [False, True])
def test_interrupted_gap_filling_stores_nothing(bulk):
    """A signal during a centuries-long gap: the handler's error reaches the
    caller, a handler that calls back into the object is refused, and nothing
    of the call is stored."""
    import signal

    c = ColumnarQuoteManager()
    c.add_tick(tick(at(2024, 3, 4, 9, 0, 0)))
    before = (c.last_tick("2330"), c.tick_counts("2330"))
    seen = []

    def handler(*_):
        try:
            c.clear_ticks()
        except RuntimeError as e:
            seen.append(str(e))
        raise Stop

    far = tick(at(2224, 3, 4, 9, 0, 0))
    old = signal.signal(signal.SIGALRM, handler)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.05)  # after the checks of the frame
        with pytest.raises(Stop):
            if bulk:
                c.add_ticks(pl.DataFrame([far, tick(at(2224, 3, 5, 9, 0, 0))]))
            else:
                c.add_tick(far)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)
    assert seen and "storing ticks" in seen[0]
    assert (c.last_tick("2330"), c.tick_counts("2330")) == before


def futures_frame(n):
    """n futures ticks 50 ms apart from Monday 09:00: out of time order past
    13:45 (re-stamped), so a first K-bar build has real work to do."""
    ts = pl.arange(0, n, eager=True).cast(pl.Float64) * 0.05 + at(2024, 3, 4, 9, 0, 0)
    return pl.DataFrame({"timestamp": ts, "code": ["TXF"] * n, "market_type": ["Future"] * n,
                         "close": (pl.arange(0, n, eager=True) % 7).cast(pl.Float64) + 100.0, "qty": [1] * n,
                         "tick_type": [1] * n, "is_simulate": [False] * n})


def loaded(kind, n):
    frame = futures_frame(n)
    if kind is ColumnarQuoteManager:
        q = ColumnarQuoteManager()
        q.add_ticks(frame)
        return q
    # The records add_tick would store, put in directly (add_tick is slow at this size).
    q = QuoteManager()
    q.add_tick(frame.row(0, named=True))
    ref = ColumnarQuoteManager()
    ref.add_ticks(frame)
    q.ticks["TXF"]["ticks"] = ref.poped_tick_to_df("TXF").sort("dt", maintain_order=True).to_dicts()
    return q


def counts(q):
    if isinstance(q, ColumnarQuoteManager):
        return q.tick_counts("TXF")
    info = q.ticks["TXF"]
    assert ("TXF", "m", 1) not in info["cached_kbars"]
    return len(info["ticks"]), len(info["old_ticks"])


def deliver_sigint(how, delay):
    """SIGINT after `delay` seconds: from a kernel timer (arrives while native
    code runs) or from a thread (arrives once the interpreter lets that thread
    run, inside whatever Python code runs first); returns a stop function."""
    import signal
    import threading

    if how == "timer":
        signal.setitimer(signal.ITIMER_REAL, delay)
        return lambda: signal.setitimer(signal.ITIMER_REAL, 0)
    timer = threading.Timer(delay, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()

    def stop():
        timer.cancel()
        timer.join()
    return stop


@pytest.mark.parametrize("how", ["timer", "thread"])
@pytest.mark.parametrize("kind, size", [(ColumnarQuoteManager, 600_000), (QuoteManager, 100_000)])
def test_interrupt_during_a_first_build_reaches_the_caller(kind, size, how):
    """Ctrl-C half way through a first get_kbar over many ticks:
    KeyboardInterrupt comes out of the call, the ticks are all kept (popped or
    pending, nothing cached), and the next call builds the right bars."""
    import signal
    import time

    old = signal.signal(signal.SIGALRM, signal.default_int_handler)
    old_int = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        for _ in range(4):
            probe = loaded(kind, size)
            started = time.perf_counter()
            expected = probe.get_kbar("TXF", "m", 1)
            took = time.perf_counter() - started
            if took < 0.02:
                size *= 4
                continue
            q = loaded(kind, size)
            total = sum(counts(q))
            result, where = None, "swallowed"
            stop = None
            try:
                stop = deliver_sigint(how, took / 2)
                result = q.get_kbar("TXF", "m", 1)
                time.sleep(took)  # a signal still to come arrives here
            except KeyboardInterrupt:
                where = "inside" if result is None else "after"
            finally:
                if stop:
                    stop()
            if where == "after":  # the build beat the timer: a bigger one
                size *= 2
                continue
            assert where == "inside", "the interrupt was lost inside get_kbar"
            pending, popped = counts(q)
            assert pending + popped == total
            again = q.get_kbar("TXF", "m", 1)
            assert again.equals(expected)
            return
        pytest.fail("no first build was slow enough to interrupt")
    finally:
        signal.signal(signal.SIGALRM, old)
        signal.signal(signal.SIGINT, old_int)
