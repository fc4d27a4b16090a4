"""K-bars: aggregation, the cache and its incremental update, argument
checks, mixed keys on one code, and the native path against the exact one."""
from __future__ import annotations

import random
from datetime import datetime

import polars as pl
import pytest

from quotes_ref import bars_from_scratch


def tick(ts, close=100.0, qty=1, code="2330", market_type="Stock", tick_type=1, sim=False):
    return {"timestamp": ts, "code": code, "market_type": market_type, "close": close, "qty": qty,
            "tick_type": tick_type, "is_simulate": sim}


def at(*a):
    return datetime(*a).timestamp()


def rows(df):
    return [tuple(r) for r in df.iter_rows()]


@pytest.fixture
def three(qm):
    qm.add_tick(tick(at(2024, 3, 4, 9, 0, 10), 100.0, 1))
    qm.add_tick(tick(at(2024, 3, 4, 9, 0, 40), 101.0, 2))
    qm.add_tick(tick(at(2024, 3, 4, 9, 1, 5), 99.0, 1))
    return qm


def test_first_and_incremental(three):
    qm = three
    df = qm.get_kbar("2330", "m", 1)
    assert df.columns == ["dt", "code", "Open", "High", "Low", "Close", "Volume"]
    assert rows(df) == [(datetime(2024, 3, 4, 9, 0), "2330", 100.0, 101.0, 100.0, 101.0, 3),
                        (datetime(2024, 3, 4, 9, 1), "2330", 99.0, 99.0, 99.0, 99.0, 1)]
    assert df is qm.ticks["2330"]["cached_kbars"][("2330", "m", 1)]
    qm.add_tick(tick(at(2024, 3, 4, 9, 1, 30), 98.0, 4))
    df2 = qm.get_kbar("2330", "m", 1)
    assert rows(df2) == [(datetime(2024, 3, 4, 9, 0), "2330", 100.0, 101.0, 100.0, 101.0, 3),
                         (datetime(2024, 3, 4, 9, 1), "2330", 99.0, 99.0, 98.0, 98.0, 5)]
    assert df2.schema == df.schema


def test_no_new_ticks_returns_cache_without_exprs(three):
    qm = three
    first = qm.get_kbar("2330", "m", 1, [pl.col("Close").alias("x")])
    assert "x" in first.columns
    cached = qm.ticks["2330"]["cached_kbars"][("2330", "m", 1)]
    assert "x" not in cached.columns
    again = qm.get_kbar("2330", "m", 1, [pl.col("Close").alias("x")])
    assert again is cached


def test_simulated_and_late_ticks_on_update(three):
    qm = three
    qm.get_kbar("2330", "m", 1)
    qm.add_tick(tick(at(2024, 3, 4, 9, 1, 20), 150.0, 7, sim=True))
    assert rows(qm.get_kbar("2330", "m", 1))[-1] == (datetime(2024, 3, 4, 9, 1), "2330", 99.0, 99.0, 99.0, 99.0, 1)
    qm.add_tick(tick(at(2024, 3, 4, 9, 0, 50), 10.0, 7))  # late: its bar is complete
    assert rows(qm.get_kbar("2330", "m", 1))[0] == (datetime(2024, 3, 4, 9, 0), "2330", 100.0, 101.0, 100.0, 101.0, 3)
    # A first build of another key counts every tick.
    five = qm.get_kbar("2330", "m", 5)
    assert rows(five) == [(datetime(2024, 3, 4, 9, 0), "2330", 100.0, 150.0, 10.0, 150.0, 18)]


def test_unknown_code_and_bad_arguments(qm):
    with pytest.raises(KeyError, match="nope"):
        qm.get_kbar("nope", "m", 1)
    qm.add_tick(tick(at(2024, 3, 4, 9, 0, 10)))
    with pytest.raises(TypeError, match=r"^'unit' must be one of \['m', 'h', 'd', 'w', 'mo', 'q', 'y'\]$"):
        qm.get_kbar("2330", "s", 1)
    assert len(qm.ticks["2330"]["ticks"]) == 1  # nothing popped
    with pytest.raises(TypeError, match="Argument 'freq' has incorrect type"):
        qm.get_kbar("2330", "m", True)
    with pytest.raises(TypeError, match="Argument 'exprs' has incorrect type"):
        qm.get_kbar("2330", "m", 1, ())
    with pytest.raises(TypeError, match="at least 4 positional arguments"):
        qm.get_kbar("2330", "m")
    with pytest.raises(pl.exceptions.ComputeError):
        qm.get_kbar("2330", "m", -5)
    assert qm.ticks["2330"]["old_ticks"] and not qm.ticks["2330"]["cached_kbars"]


def test_empty_result_is_not_cached(qm):
    qm.ticks["X"] = qm.get_init_ticks_info()
    df = qm.get_kbar("X", "m", 1)
    assert df.height == 0 and df.columns == ["dt", "code", "Open", "High", "Low", "Close", "Volume"]
    assert qm.ticks["X"]["cached_kbars"] == {}


def test_daily_bars_of_night_session(qm):
    qm.add_tick(tick(at(2024, 3, 4, 23, 59, 0), 100.0, market_type="Future"))
    qm.add_tick(tick(at(2024, 3, 5, 0, 0, 30), 101.0, market_type="Future"))
    df = qm.get_kbar("2330", "d", 1)
    assert df["dt"].to_list() == [datetime(2024, 3, 4), datetime(2024, 3, 5)]


def test_pandas_output_on_every_path(three):
    pytest.importorskip("pyarrow")
    qm = three
    import pandas as pd

    assert isinstance(qm.get_kbar("2330", "m", 1, to_pandas_df=True), pd.DataFrame)
    assert isinstance(qm.get_kbar("2330", "m", 1, to_pandas_df=True), pd.DataFrame)  # cached, no new ticks
    qm.ticks["E"] = qm.get_init_ticks_info()
    assert isinstance(qm.get_kbar("E", "m", 1, to_pandas_df=True), pd.DataFrame)  # empty


def test_mixed_keys_lose_no_tick(qm):
    rng = random.Random(7)
    t = at(2024, 3, 4, 9, 0, 0)
    for round_ in range(12):
        for _ in range(rng.randint(0, 5)):
            t += rng.uniform(1, 200)
            qm.add_tick(tick(t, round(rng.uniform(90, 110), 2), rng.randint(1, 5)))
        key = (("m", 1), ("m", 5))[round_ % 2]
        got = qm.get_kbar("2330", *key)
        all_rows = qm.ticks["2330"]["old_ticks"]
        assert got.equals(bars_from_scratch(all_rows, *key)), (round_, key)


def random_ticks(rng, n, market):
    t = datetime(2024, 2, 5, 8, 55).timestamp()
    out = []
    for _ in range(n):
        r = rng.random()
        if r < 0.7:
            t += rng.uniform(0, 40)
        elif r < 0.9:
            t += rng.uniform(40, 900)
        elif r < 0.97:
            t += rng.uniform(3600, 3 * 86400)
        else:
            t -= rng.uniform(0, 300)
        out.append(tick(round(t, 3), round(rng.uniform(90, 110), 1), rng.randint(0, 9), market_type=market,
                        sim=rng.random() < 0.05))
    return out


KEYS = [("m", 1), ("m", 5), ("m", 15), ("m", 7), ("h", 1), ("h", 2), ("d", 1), ("d", 3), ("w", 1), ("w", 2),
        ("mo", 1), ("mo", 3), ("q", 1), ("y", 1), ("y", 2)]


@pytest.mark.parametrize("seed", range(5))
def test_native_equals_exact(m, seed):
    class Exact(m.QuoteManager):
        def aggregate_kbar(self, tick_df):  # a pass-through forces the exact pipeline
            return super().aggregate_kbar(tick_df)

    rng = random.Random(seed)
    market = rng.choice(["Stock", "Future"])
    stream = random_ticks(rng, 2000, market)
    fast, exact = m.QuoteManager(), Exact()
    pos = 0
    while pos < len(stream):
        step = rng.choice([0, 1, 1, 3, 20, 200])
        for t in stream[pos:pos + step]:
            fast.add_tick(dict(t))
            exact.add_tick(dict(t))
        pos += max(step, 1)
        unit, freq = rng.choice(KEYS)
        a = fast.get_kbar("2330", unit, freq)
        b = exact.get_kbar("2330", unit, freq)
        assert a.equals(b), (unit, freq)
        assert a.schema == b.schema
    assert fast.ticks["2330"]["old_ticks"] == exact.ticks["2330"]["old_ticks"]


class CountingPolars:
    """Stands in for the module's `pl`: forwards everything, counts `col`."""

    def __init__(self):
        self.cols = 0

    def __getattr__(self, name):
        if name == "col":
            self.cols += 1
        return getattr(pl, name)


def test_native_path_is_taken(qm, m, monkeypatch):
    counting = CountingPolars()
    monkeypatch.setattr(m, "pl", counting)
    qm.add_tick(tick(at(2024, 3, 4, 9, 0, 10)))
    qm.get_kbar("2330", "m", 1)
    qm.add_tick(tick(at(2024, 3, 4, 9, 0, 20)))
    qm.get_kbar("2330", "m", 1)
    qm.get_kbar("2330", "m", 1)
    assert counting.cols == 0
    qm.ticks["2330"]["ticks"].append(dict(qm.ticks["2330"]["old_ticks"][0], close=1))  # an int price
    qm.get_kbar("2330", "m", 1)
    assert counting.cols > 0


def random_records(rng, n):
    out = []
    for _ in range(n):
        dt = datetime.fromtimestamp(rng.uniform(-2.5e9, 4e9)).replace(fold=0)
        out.append({"dt": dt, "market_type": "Stock", "code": "C", "close": float(rng.randint(1, 50)),
                    "qty": rng.randint(0, 5), "tick_type": 0, "is_simulate": rng.random() < 0.2,
                    "is_virtual": False})
    return out


@pytest.mark.parametrize("unit, freq", [("m", 1), ("m", 7), ("m", 15), ("h", 2), ("h", 5), ("d", 1), ("d", 3),
                                         ("w", 1), ("w", 2), ("w", 3), ("mo", 1), ("mo", 3), ("mo", 5),
                                         ("mo", 7), ("q", 1), ("q", 2), ("y", 1), ("y", 2), ("y", 3)])
def test_bucketing_matches_library(m, unit, freq):
    class Exact(m.QuoteManager):
        def aggregate_kbar(self, tick_df):
            return super().aggregate_kbar(tick_df)

    rng = random.Random(f"{freq}{unit}")
    fast, exact = m.QuoteManager(), Exact()
    for q in (fast, exact):
        q.ticks["C"] = q.get_init_ticks_info()
    for _ in range(4):
        batch = random_records(rng, 300)
        fast.ticks["C"]["ticks"].extend(dict(r) for r in batch)
        exact.ticks["C"]["ticks"].extend(dict(r) for r in batch)
        a = fast.get_kbar("C", unit, freq)
        b = exact.get_kbar("C", unit, freq)
        assert a.equals(b)
    scratch = bars_from_scratch(fast.ticks["C"]["old_ticks"][:300], unit, freq)
    assert len(scratch) > 1


class PublicPolars:
    """The module's `pl` without the library's low-level constructors."""

    def __getattr__(self, name):
        if name == "_plr":
            raise AttributeError(name)
        return getattr(pl, name)


def test_public_constructors_give_the_same_tables(m, monkeypatch):
    rng = random.Random(3)
    stream = random_ticks(rng, 500, "Future")
    a, b = m.QuoteManager(), m.QuoteManager()
    for t in stream:
        a.add_tick(dict(t))
        b.add_tick(dict(t))
    ta = a.poped_tick_to_df("2330")
    ka = a.get_kbar("2330", "m", 5)
    monkeypatch.setattr(m, "pl", PublicPolars())
    tb = b.poped_tick_to_df("2330")
    kb = b.get_kbar("2330", "m", 5)
    assert ta.equals(tb) and ta.schema == tb.schema
    assert ka.equals(kb) and ka.schema == kb.schema


class FailingLowLevel:
    """The module's `pl` whose low-level float-column constructor raises."""

    def __init__(self, error):
        error_type = error

        class Series:
            def __getattr__(self, name):
                if name == "new_f64":
                    def fail(*_):
                        raise error_type("from the constructor")
                    return fail
                return getattr(pl._plr.PySeries, name)

        self._plr = type("plr", (), {"PySeries": Series(), "PyDataFrame": pl._plr.PyDataFrame})()

    def __getattr__(self, name):
        return getattr(pl, name)


@pytest.mark.parametrize("columnar", [False, True], ids=["QuoteManager", "ColumnarQuoteManager"])
@pytest.mark.parametrize("error, falls_back", [(AttributeError, True), (TypeError, True), (KeyboardInterrupt, False),
                                               (MemoryError, False), (pl.exceptions.ComputeError, False)])
def test_only_an_unavailable_fast_constructor_falls_back(m, monkeypatch, columnar, error, falls_back):
    from kelvo_orra_backtest.modules.positions import columnar as cm

    module, qm = (cm, cm.ColumnarQuoteManager()) if columnar else (m, m.QuoteManager())
    for t in random_ticks(random.Random(5), 300, "Future"):
        qm.add_tick(t)
    reference = m.QuoteManager()
    for t in random_ticks(random.Random(5), 300, "Future"):
        reference.add_tick(t)
    expected = reference.get_kbar("2330", "m", 5)
    stored = qm.tick_counts("2330")[0] if columnar else len(qm.ticks["2330"]["ticks"])
    monkeypatch.setattr(module, "pl", FailingLowLevel(error))
    if falls_back:
        assert qm.get_kbar("2330", "m", 5).equals(expected)
        return
    with pytest.raises(error, match="from the constructor"):
        qm.get_kbar("2330", "m", 5)
    # The ticks were popped and nothing was cached: the next call builds them all.
    if columnar:
        assert qm.tick_counts("2330") == (0, stored)
    else:
        info = qm.ticks["2330"]
        assert (len(info["ticks"]), len(info["old_ticks"]), info["cached_kbars"]) == (0, stored, {})
    monkeypatch.setattr(module, "pl", pl)
    assert qm.get_kbar("2330", "m", 5).equals(expected)


def test_exprs_applied_after_caching(three):
    qm = three
    df = qm.get_kbar("2330", "m", 1, [(pl.col("High") - pl.col("Low")).alias("range")])
    assert df["range"].to_list() == [1.0, 0.0]
    key = ("2330", "m", 1)
    assert "range" not in qm.ticks["2330"]["cached_kbars"][key].columns
    qm.add_tick(tick(at(2024, 3, 4, 9, 2, 0), 97.0, 1))
    with pytest.raises(pl.exceptions.ColumnNotFoundError):
        qm.get_kbar("2330", "m", 1, [pl.col("nope")])
    assert qm.ticks["2330"]["cached_kbars"][key].height == 3  # written before the failure


def test_no_new_ticks_on_an_exactly_built_entry_skips_the_library(qm, m, monkeypatch):
    qm.add_tick(tick(at(2024, 3, 4, 9, 0, 10)))
    qm.ticks["2330"]["ticks"].append(dict(qm.ticks["2330"]["ticks"][0], close=1))  # row-wise table
    first = qm.get_kbar("2330", "m", 1)
    counting = CountingPolars()
    monkeypatch.setattr(m, "pl", counting)
    assert qm.get_kbar("2330", "m", 1) is first
    assert counting.cols == 0
