"""Tick buffer: construction, ticks-info records, tick tables, clearing, and
the local-time conversion of timestamps."""
from __future__ import annotations

import os
import random
import time
from datetime import datetime, time as dtime

import polars as pl
import pytest

from quotes_ref import SCHEMA

TICK_SCHEMA = pl.Schema([(n, pl.Datetime("us") if n == "dt" else t) for n, t in SCHEMA])


def tick(ts, close=100.0, qty=1, code="2330", market_type="Stock", tick_type=1, sim=False):
    return {"timestamp": ts, "code": code, "market_type": market_type, "close": close, "qty": qty,
            "tick_type": tick_type, "is_simulate": sim}


def local(*a):
    return datetime(*a).timestamp()


def test_construction(qm, m):
    assert list(vars(qm)) == ["holiday_search_set", "ticks", "not_trade_times"]
    frame = pl.read_csv(os.path.join(m.static_dir, "holidays_search_from_2017.csv"), has_header=True)
    assert qm.holiday_search_set == set(frame["Date"])
    assert "2026-07-10" in qm.holiday_search_set  # the typhoon closure
    assert qm.ticks == {}
    assert qm.not_trade_times == {
        "Stock": [[dtime(13, 30), dtime(23, 59, 59)], [dtime(0, 0), dtime(8, 59, 59)]],
        "Future": [[dtime(13, 45), dtime(14, 59, 59)], [dtime(5, 0), dtime(8, 44, 59)]],
    }


def test_missing_holiday_file(m, monkeypatch, tmp_path):
    monkeypatch.setattr(m, "static_dir", str(tmp_path))
    with pytest.raises(FileNotFoundError):
        m.QuoteManager()


def test_init_ticks_info_is_fresh(qm):
    a, b = qm.get_init_ticks_info(), qm.get_init_ticks_info()
    assert a == {"ticks": [], "old_ticks": [], "last_tick": None, "cached_kbars": {}}
    assert list(a) == ["ticks", "old_ticks", "last_tick", "cached_kbars"]
    assert a["ticks"] is not b["ticks"] and a["cached_kbars"] is not b["cached_kbars"]


def test_empty_tick_df(qm):
    df = qm.get_empty_tick_df()
    assert df.height == 0
    assert df.schema == TICK_SCHEMA


def test_pop_moves_ticks_and_second_pop_is_empty(qm):
    qm.add_tick(tick(local(2024, 3, 4, 9, 0, 10)))
    qm.add_tick(tick(local(2024, 3, 4, 9, 0, 20), close=101.0))
    assert qm.poped_old_ticks_to_df("2330").height == 0  # nothing popped yet
    records = list(qm.ticks["2330"]["ticks"])
    df = qm.poped_tick_to_df("2330")
    assert df.schema == TICK_SCHEMA
    assert df["close"].to_list() == [100.0, 101.0]
    assert qm.ticks["2330"]["ticks"] == []
    assert all(a is b for a, b in zip(qm.ticks["2330"]["old_ticks"], records))
    again = qm.poped_tick_to_df("2330")
    assert again.height == 0 and again.schema == TICK_SCHEMA
    assert len(qm.ticks["2330"]["old_ticks"]) == 2
    assert qm.poped_old_ticks_to_df("2330").equals(df)


def test_pop_unknown_code(qm):
    assert qm.poped_tick_to_df("9999").height == 0
    assert qm.poped_old_ticks_to_df("9999").height == 0


def test_pop_orders_by_time_keeping_ties(qm):
    # A virtual tick shares its instant with the real tick that made it.
    qm.add_tick(tick(local(2024, 3, 4, 9, 0, 0)))
    qm.add_tick(tick(local(2024, 3, 4, 9, 2, 0), close=102.0))
    # A 13:30:00.5 stock tick is stored at 13:29:59.5, ahead of later records.
    qm.add_tick(tick(local(2024, 3, 4, 13, 29, 59) + 0.9, close=103.0))
    qm.add_tick(tick(local(2024, 3, 4, 13, 30, 0) + 0.5, close=104.0))
    df = qm.poped_tick_to_df("2330")
    assert df["dt"].to_list() == sorted(df["dt"].to_list())
    at_902 = df.filter(pl.col("dt") == datetime(2024, 3, 4, 9, 2))
    assert at_902["is_virtual"].to_list() == [True, False]
    tail = df.tail(2)
    assert tail["close"].to_list() == [104.0, 103.0]
    assert tail["dt"].to_list() == [datetime(2024, 3, 4, 13, 29, 59, 500000), datetime(2024, 3, 4, 13, 29, 59, 900000)]


@pytest.mark.parametrize(
    "record_change",
    [
        {"close": 7},            # an int price
        {"qty": 2.5},            # a float volume
        {"tick_type": 300},      # out of the Int8 range
        {"extra": "x"},          # an extra key
        {"is_simulate": None},   # a null flag
    ],
)
def test_pop_edited_records_use_row_wise_table(qm, record_change):
    qm.add_tick(tick(local(2024, 3, 4, 9, 0, 10)))
    qm.add_tick(tick(local(2024, 3, 4, 9, 0, 20), close=101.0))
    rows = qm.ticks["2330"]["ticks"]
    rows[1].update(record_change)
    expected_error = None
    try:
        expected = (pl.DataFrame(list(rows), schema_overrides=dict(SCHEMA), infer_schema_length=None)
                    .select([pl.col(n).cast(t) for n, t in SCHEMA])
                    .sort("dt", maintain_order=True))
    except Exception as e:  # the library's own error
        expected_error = type(e)
    if expected_error:
        with pytest.raises(expected_error):
            qm.poped_tick_to_df("2330")
    else:
        assert qm.poped_tick_to_df("2330").equals(expected)
    assert len(qm.ticks["2330"]["old_ticks"]) == 2


def test_clear_ticks(qm):
    qm.add_tick(tick(local(2024, 3, 4, 9, 0, 10)))
    qm.get_kbar("2330", "m", 1)
    holidays = qm.holiday_search_set
    qm.clear_ticks()
    assert qm.ticks == {} and qm.holiday_search_set is holidays
    assert qm.poped_tick_to_df("2330").height == 0
    qm.add_tick(tick(local(2024, 3, 4, 9, 5, 10)))
    assert len(qm.ticks["2330"]["ticks"]) == 1


def test_code_must_be_str(qm):
    class S(str):
        pass

    for f in (qm.poped_tick_to_df, qm.poped_old_ticks_to_df):
        with pytest.raises(TypeError, match="Argument 'code' has incorrect type"):
            f(S("2330"))


ZONES = ["Asia/Taipei", "America/New_York", "Europe/London", "Australia/Lord_Howe", "UTC",
         "America/Sao_Paulo", "Asia/Kathmandu"]


@pytest.fixture
def restore_tz():
    saved = os.environ.get("TZ")
    yield
    if saved is None:
        os.environ.pop("TZ", None)
    else:
        os.environ["TZ"] = saved
    time.tzset()


@pytest.mark.parametrize("zone", ZONES)
def test_local_time_equals_fromtimestamp(m, zone, restore_tz):
    os.environ["TZ"] = zone
    time.tzset()
    rng = random.Random(zone)
    stamps = []
    for _ in range(3000):
        kind = rng.random()
        if kind < 0.3:
            stamps.append(rng.randint(-2_000_000_000, 4_000_000_000))
        elif kind < 0.6:
            stamps.append(rng.uniform(-2e9, 4e9))
        else:  # exact half microseconds and values near whole seconds
            base = rng.randint(0, 2_000_000_000)
            stamps.append(base + rng.choice([0.0000005, 0.0000015, 0.9999995, 0.4999995, -0.0000005, 0.25]))
    # The hours around daylight-saving changes.
    for year in (2021, 2024):
        for month, day in ((3, 10), (3, 14), (3, 31), (4, 3), (10, 6), (10, 27), (11, 3), (11, 7)):
            start = datetime(year, month, day).timestamp()
            stamps.extend(start + s + 0.5 for s in range(0, 86400, 599))
    qm = m.QuoteManager()
    for i, s in enumerate(stamps):
        qm.add_tick({"timestamp": s, "code": str(i), "market_type": "X", "close": 1.0, "qty": 1,
                     "tick_type": 0, "is_simulate": False})
        got = qm.ticks[str(i)]["last_tick"]["dt"]
        want = datetime.fromtimestamp(s)
        assert type(got) is datetime
        assert (got, got.fold) == (want, want.fold), s


@pytest.mark.parametrize("bad, error", [(float("nan"), ValueError), (1e20, OverflowError), (10**30, OverflowError),
                                        ("1", TypeError), (None, TypeError)])
def test_bad_timestamp_raises_conversion_error(qm, bad, error):
    with pytest.raises(error):
        datetime.fromtimestamp(bad)
    with pytest.raises(error):
        qm.add_tick(tick(bad))
    assert qm.ticks == {}
