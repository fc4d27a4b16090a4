"""Tick intake: the gap rules, re-stamping into windows, weekends and closed
dates, bad input, and a differential run against the plain-Python rules."""
from __future__ import annotations

import copy
import random
from datetime import datetime, timedelta

import pytest

from quotes_ref import ref_add_tick


def tick(ts, close=100.0, qty=1, code="2330", market_type="Stock", tick_type=1, sim=False):
    return {"timestamp": ts, "code": code, "market_type": market_type, "close": close, "qty": qty,
            "tick_type": tick_type, "is_simulate": sim}


def at(*a):
    return datetime(*a).timestamp()


def stored(qm, code="2330"):
    return qm.ticks[code]["ticks"]


def virtual_times(qm, code="2330"):
    return [r["dt"] for r in stored(qm, code) if r["is_virtual"]]


def test_first_tick_creates_record(qm):
    qm.add_tick(tick(at(2024, 3, 4, 9, 0, 10)))
    info = qm.ticks["2330"]
    assert list(info) == ["ticks", "old_ticks", "last_tick", "cached_kbars"]
    assert info["last_tick"] is info["ticks"][0]
    assert list(info["last_tick"]) == ["dt", "market_type", "code", "close", "qty", "tick_type", "is_simulate",
                                       "is_virtual"]
    assert info["last_tick"]["is_virtual"] is False


D = (2024, 3, 4)  # a Monday


@pytest.mark.parametrize(
    "prev, new, expected",
    [
        ((9, 0, 30), (9, 1, 50), []),
        ((9, 0, 30), (9, 2, 10), [(9, 1), (9, 2)]),
        ((9, 0, 50), (9, 2, 10), [(9, 1), (9, 2)]),
        ((9, 0, 30), (9, 3, 10), [(9, 1), (9, 2), (9, 3)]),
        ((9, 0, 0), (9, 2, 0), [(9, 1), (9, 2)]),
        ((9, 58, 30), (10, 1, 10), [(9, 59), (10, 0)]),
        # A later second-of-minute: the extra candidate would lie after the tick.
        ((9, 0, 10), (9, 3, 20), [(9, 1), (9, 2), (9, 3)]),
        ((9, 0, 0), (9, 0, 59), []),
    ],
)
def test_gap_table(qm, prev, new, expected):
    qm.add_tick(tick(at(*D, *prev), close=100.0))
    qm.add_tick(tick(at(*D, *new), close=105.0))
    virt = [r for r in stored(qm) if r["is_virtual"]]
    assert [r["dt"] for r in virt] == [datetime(*D, h, mi) for h, mi in expected]
    for r in virt:
        assert r == {"dt": r["dt"], "market_type": "Stock", "code": "2330", "close": 100.0, "qty": 0,
                     "tick_type": 0, "is_simulate": False, "is_virtual": True}
        assert type(r["dt"]) is datetime
    real = stored(qm)[-1]
    assert real["dt"] == datetime(*D, *new) and not real["is_virtual"]
    assert all(r["dt"] <= real["dt"] for r in virt)


@pytest.mark.parametrize(
    "market, when, stored_dt",
    [
        ("Stock", (2024, 3, 4, 13, 30, 0, 500000), (2024, 3, 4, 13, 29, 59, 500000)),
        ("Stock", (2024, 3, 4, 23, 59, 59), (2024, 3, 4, 13, 29, 59)),
        ("Stock", (2024, 3, 5, 8, 30), (2024, 3, 4, 23, 59, 59)),
        ("Stock", (2024, 3, 4, 23, 59, 59, 400000), (2024, 3, 4, 23, 59, 59, 400000)),
        ("Future", (2024, 3, 4, 14, 0), (2024, 3, 4, 13, 44, 59)),
        ("Future", (2024, 3, 4, 6, 0, 0, 250000), (2024, 3, 4, 4, 59, 59, 250000)),
        ("Future", (2024, 3, 4, 14, 59, 59, 400000), (2024, 3, 4, 14, 59, 59, 400000)),
        ("Other", (2024, 3, 4, 20, 0), (2024, 3, 4, 20, 0)),
    ],
)
def test_restamp(qm, market, when, stored_dt):
    qm.add_tick(tick(datetime(*when).timestamp(), market_type=market))
    last = qm.ticks["2330"]["last_tick"]
    assert last["dt"] == datetime(*stored_dt)
    assert stored(qm)[-1] is last


def test_weekend_stock_gap_fills_nothing(qm):
    qm.add_tick(tick(at(2024, 3, 1, 13, 30, 0) + 0.5))  # Friday, re-stamped 13:29:59.5
    qm.add_tick(tick(at(2024, 3, 4, 9, 0, 5)))
    assert virtual_times(qm) == []


def test_weekend_future_gap(qm):
    qm.holiday_search_set = set()
    qm.add_tick(tick(at(2024, 3, 2, 5, 0, 0), market_type="Future"))  # Saturday, stored 04:59:59
    assert qm.ticks["2330"]["last_tick"]["dt"] == datetime(2024, 3, 2, 4, 59, 59)
    qm.add_tick(tick(at(2024, 3, 4, 8, 45, 10), market_type="Future"))
    got = virtual_times(qm)
    sunday = [datetime(2024, 3, 3, 0, 0) + timedelta(minutes=i) for i in range(300)]
    monday_night = [datetime(2024, 3, 4, 0, 0) + timedelta(minutes=i) for i in range(300)]
    # The last candidate is Monday 08:44 (inside the morning window).
    assert got == sunday + monday_night

    # With the Saturday listed, the Sunday night minutes stay empty; with the
    # Sunday listed, the Monday night ones.
    for listed, gone in (("2024-03-02", sunday), ("2024-03-03", monday_night)):
        qm.clear_ticks()
        qm.holiday_search_set = {listed}
        qm.add_tick(tick(at(2024, 3, 2, 5, 0, 0), market_type="Future"))
        qm.add_tick(tick(at(2024, 3, 4, 8, 45, 10), market_type="Future"))
        assert virtual_times(qm) == [d for d in got if d not in gone]


def test_five_oclock_counts_toward_previous_day(qm):
    qm.not_trade_times = {}
    qm.holiday_search_set = {"2024-03-04"}
    qm.add_tick(tick(at(2024, 3, 5, 4, 58, 0), market_type="Future"))
    qm.add_tick(tick(at(2024, 3, 5, 5, 2, 0), market_type="Future"))
    assert virtual_times(qm) == [datetime(2024, 3, 5, 5, 1), datetime(2024, 3, 5, 5, 2)]


def test_other_market_type(qm):
    qm.holiday_search_set = {"2024-03-05"}
    qm.add_tick(tick(at(2024, 3, 1, 23, 58), market_type="Crypto"))  # Friday night
    qm.add_tick(tick(at(2024, 3, 6, 0, 2), market_type="Crypto"))
    got = virtual_times(qm)
    assert all(d.weekday() < 5 for d in got)
    assert not any(d.date() == datetime(2024, 3, 5).date() and d.hour > 5 for d in got)
    assert datetime(2024, 3, 1, 23, 59) in got and datetime(2024, 3, 4, 12, 0) in got
    assert datetime(2024, 3, 5, 5, 0) in got  # trading date Monday


def test_late_tick_fills_nothing(qm):
    qm.add_tick(tick(at(2024, 3, 4, 9, 30)))
    qm.add_tick(tick(at(2024, 3, 4, 9, 10)))
    assert virtual_times(qm) == [] and qm.ticks["2330"]["last_tick"]["dt"] == datetime(2024, 3, 4, 9, 10)


def test_live_attributes_are_read_at_each_call(qm):
    qm.add_tick(tick(at(2024, 3, 4, 9, 0, 0)))
    qm.not_trade_times = {"Stock": [[datetime(2000, 1, 1, 9, 1).time(), datetime(2000, 1, 1, 9, 1).time()]]}
    qm.holiday_search_set = {"2024-03-05"}
    qm.add_tick(tick(at(2024, 3, 4, 9, 3, 0)))
    assert virtual_times(qm) == [datetime(2024, 3, 4, 9, 2), datetime(2024, 3, 4, 9, 3)]
    qm.holiday_search_set = frozenset({"2024-03-04"})
    qm.add_tick(tick(at(2024, 3, 4, 9, 6, 0)))
    assert len(virtual_times(qm)) == 2


class Sub(dict):
    pass


@pytest.mark.parametrize("bad", [None, [], Sub(tick(1.0e9))])
def test_tick_must_be_exact_dict(qm, bad):
    with pytest.raises(TypeError, match="Argument 'tick' has incorrect type"):
        qm.add_tick(bad)
    assert qm.ticks == {}


@pytest.mark.parametrize("missing", ["timestamp", "code", "market_type", "close", "qty", "tick_type", "is_simulate"])
def test_missing_key_stores_nothing(qm, missing):
    qm.add_tick(tick(at(2024, 3, 4, 9, 0, 0), code="A"))
    before = copy.deepcopy(qm.ticks)
    t = tick(at(2024, 3, 4, 9, 5, 0), code="A")
    del t[missing]
    with pytest.raises(KeyError, match=missing):
        qm.add_tick(t)
    assert qm.ticks == before
    t["code"] = "NEW"
    t.pop(missing, None)
    with pytest.raises(KeyError):
        qm.add_tick(t)
    if missing in ("timestamp", "code", "qty", "tick_type"):  # read and checked before anything is stored
        assert "NEW" not in qm.ticks
    else:
        assert qm.ticks["NEW"] == {"ticks": [], "old_ticks": [], "last_tick": None, "cached_kbars": {}}


@pytest.mark.parametrize("columnar", [False, True], ids=["QuoteManager", "ColumnarQuoteManager"])
@pytest.mark.parametrize("qty, accepted", [(10**9, True), (-10**9, True), (10**9 + 1, False), (-10**9 - 1, False),
                                           (2**62, False), (2**63 - 1, False)])
def test_quantity_bound_keeps_volumes_from_wrapping(m, columnar, qty, accepted):
    """Quantities beyond 10**9 either way are refused before anything is
    stored; three of the largest in one minute sum exactly."""
    from kelvo_orra_backtest.modules.positions.columnar import ColumnarQuoteManager

    qm = ColumnarQuoteManager() if columnar else m.QuoteManager()
    qm.add_tick(tick(at(2024, 3, 4, 9, 0, 0)))
    counts = (lambda: qm.tick_counts("2330")) if columnar else (lambda: len(stored(qm)))
    before = counts()
    for second in (10, 20, 30):
        if accepted:
            qm.add_tick(tick(at(2024, 3, 4, 9, 0, second), qty=qty))
            continue
        with pytest.raises(OverflowError, match=r"tick\['qty'\] = .* does not fit the largest quantity of a tick"):
            qm.add_tick(tick(at(2024, 3, 4, 9, 0, second), qty=qty))
        assert counts() == before
    assert qm.get_kbar("2330", "m", 1)["Volume"].to_list() == [1 + 3 * qty if accepted else 1]


def test_overridden_init_ticks_info_is_used(m):
    class Q(m.QuoteManager):
        def get_init_ticks_info(self):
            info = super().get_init_ticks_info()
            info["extra"] = 1
            return info

    q = Q()
    q.add_tick(tick(at(2024, 3, 4, 9, 0, 0)))
    assert q.ticks["2330"]["extra"] == 1


def random_stream(rng, n, market):
    t = datetime(2024, 2, 5, 8, 50).timestamp() + rng.random()
    out = []
    for _ in range(n):
        r = rng.random()
        if r < 0.6:
            t += rng.uniform(0, 30)
        elif r < 0.85:
            t += rng.uniform(30, 600)
        elif r < 0.95:
            t += rng.uniform(3600, 3 * 86400)
        else:
            t -= rng.uniform(0, 120)  # a late tick
        stamp = round(t, rng.choice([0, 3, 6])) if rng.random() < 0.8 else int(t)
        out.append(tick(stamp, close=round(rng.uniform(90, 110), 2), qty=rng.randint(1, 9), market_type=market,
                        code=rng.choice(["A", "B"]), sim=rng.random() < 0.1))
    return out


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("market", ["Stock", "Future"])
def test_differential_against_rules(qm, m, seed, market, monkeypatch):
    rng = random.Random(seed)
    stream = random_stream(rng, 300, market)
    ref = {}
    for t in stream:
        qm.add_tick(dict(t))
        ref_add_tick(ref, qm.not_trade_times, qm.holiday_search_set, dict(t), qm.get_init_ticks_info)
    assert qm.ticks == ref
    for code in ref:
        assert [type(r["dt"]) for r in qm.ticks[code]["ticks"]] == [datetime] * len(ref[code]["ticks"])

    # The same stream through the object-level path (a replaced `timedelta`
    # global and windows as tuples) gives the same records.
    class TD(timedelta):
        pass

    monkeypatch.setattr(m, "timedelta", TD)
    q2 = m.QuoteManager()
    q2.not_trade_times = {k: [tuple(w) for w in v] for k, v in q2.not_trade_times.items()}
    for t in stream:
        q2.add_tick(dict(t))
    assert q2.ticks == ref
