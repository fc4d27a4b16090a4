"""Objects whose dunders run Python code in the middle of a native call and
change the very state the call is reading; values that do not fit the tick
table; interrupted gap filling.  Only Python exceptions or the correct
result may come back, and nothing already stored may be lost."""
from __future__ import annotations

import gc
import os
import signal
import subprocess
from datetime import datetime

import polars as pl
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import M

EXAMPLES = int(os.environ.get("FUZZ_EXAMPLES", "150"))
MONDAY_9 = datetime(2024, 3, 4, 9, 0).timestamp()


def churn():
    """Allocates enough to reuse freed memory."""
    [[object() for _ in range(10)] for _ in range(300)]


def tick(i, code="2330", market_type="Stock", close=600.0, **kw):
    t = {"timestamp": MONDAY_9 + 20.0 * i, "code": code, "market_type": market_type, "close": close,
         "qty": 1, "tick_type": 1, "is_simulate": False}
    t.update(kw)
    return t


def test_window_bound_dropped_during_comparison(qm):
    class Start:
        def __le__(self, other):
            win[1] = None
            churn()
            return True

    class End:
        def __ge__(self, other):
            return True

    win = [Start(), End()]
    qm.not_trade_times["Stock"] = [win]
    with pytest.raises(AttributeError, match="hour"):  # re-stamped from a bound without a time: refused
        qm.add_tick(tick(0))
    assert not qm.ticks.get("2330", {}).get("ticks")


def test_record_key_that_clears_the_buffer(qm):
    for i in range(3):
        qm.add_tick(tick(i))
    buf = qm.ticks["2330"]["ticks"]

    class Key:
        def __hash__(self):
            return hash("is_virtual")

        def __eq__(self, other):
            buf.clear()
            churn()
            return False

    records = []
    for r in list(buf):
        r = dict(r)
        del r["is_virtual"]
        r[Key()] = False
        records.append(r)
    buf[:] = records
    with pytest.raises(Exception):  # the row-wise path finds no "is_virtual" column
        qm.poped_tick_to_df("2330")


def test_native_update_with_python_between_gather_and_move(qm, monkeypatch):
    for i in range(3):
        qm.add_tick(tick(i, close=100.0 + i))
    qm.get_kbar("2330", "m", 1)
    qm.add_tick(tick(3, close=103.0))
    qm.add_tick(tick(4, close=104.0))
    fired = []
    height = pl.DataFrame.height

    def meddling_height(self):
        if not fired:
            fired.append(True)
            qm.poped_tick_to_df("2330")
            qm.add_tick(tick(5, close=105.0))
        return height.fget(self)

    monkeypatch.setattr(pl.DataFrame, "height", property(meddling_height))
    qm.get_kbar("2330", "m", 1)
    monkeypatch.undo()
    closes = [r["close"] for r in qm.ticks["2330"]["old_ticks"] + qm.ticks["2330"]["ticks"]]
    assert sorted(closes) == [100.0, 101.0, 102.0, 103.0, 104.0, 105.0]  # none lost, none twice
    fresh = M.QuoteManager()
    for i in range(6):
        fresh.add_tick(tick(i, close=100.0 + i))
    assert qm.get_kbar("2330", "m", 1).equals(fresh.get_kbar("2330", "m", 1))


def test_int_close_among_floats_is_kept_exact(qm):
    for i in range(100):
        qm.add_tick(tick(i * 0.01, close=600))
    qm.add_tick({**tick(2.99), "close": 600.5})
    bars = qm.get_kbar("2330", "m", 1)
    assert bars["Close"].to_list()[-1] == 600.5
    assert qm.poped_old_ticks_to_df("2330")["close"].dtype == pl.Float64


@pytest.mark.parametrize("key, value", [("qty", 2**63), ("qty", -(2**63) - 1), ("tick_type", 128),
                                        ("tick_type", -129), ("tick_type", 2**70)])
def test_tick_that_the_table_cannot_hold_is_refused(qm, key, value):
    qm.add_tick(tick(0))
    with pytest.raises(OverflowError, match=key):
        qm.add_tick(tick(1, **{key: value}))
    assert len(qm.ticks["2330"]["ticks"]) == 1
    with pytest.raises(OverflowError):
        qm.add_tick(tick(0, code="NEW", **{key: value}))
    assert "NEW" not in qm.ticks
    assert qm.get_kbar("2330", "m", 1).height == 1


def test_gap_filling_can_be_interrupted(qm):
    qm.add_tick(tick(0, market_type="Future", code="TXF", timestamp=3600.0 * 24 * 365))
    # From another process, as a terminal's Ctrl-C: the fill holds the
    # interpreter lock, so no thread of this process could send it.
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    # A garbage-collector callback (the fuzz library installs one) would run
    # Python code that takes the signal and drops it as unraisable.
    callbacks = gc.callbacks[:]
    gc.callbacks.clear()
    killer = subprocess.Popen(["sh", "-c", f"sleep 0.5; kill -INT {os.getpid()}"])
    try:
        with pytest.raises(KeyboardInterrupt):
            qm.add_tick(tick(0, market_type="Future", code="TXF"))
    finally:
        killer.wait()
        gc.callbacks[:] = callbacks
        signal.signal(signal.SIGINT, previous)
    info = qm.ticks["TXF"]
    assert len(info["ticks"]) == 1 and info["last_tick"]["dt"].year == 1971


# Re-entrancy fuzz: a value that, when compared, hashed or converted, changes
# a piece of the object's public state.
class Meddler:
    """Stands in for a value; once armed, its dunders run `action` first (a
    few times: a gap of many minutes compares a window bound at each)."""

    armed = 0

    def __init__(self, value, action):
        self.value, self.action = value, action

    def _go(self):
        if Meddler.armed > 0:
            Meddler.armed -= 1
            self.action()

    def __eq__(self, other):
        self._go()
        return self.value == other

    def __ne__(self, other):
        self._go()
        return self.value != other

    def __le__(self, other):
        self._go()
        return self.value <= other

    def __ge__(self, other):
        self._go()
        return self.value >= other

    def __lt__(self, other):
        self._go()
        return self.value < other

    def __gt__(self, other):
        self._go()
        return self.value > other

    def __hash__(self):
        self._go()
        return hash(self.value)

    def __float__(self):
        self._go()
        return float(self.value)

    def __index__(self):
        self._go()
        return int(self.value)

    def __str__(self):
        self._go()
        return str(self.value)

    def __bool__(self):
        self._go()
        return bool(self.value)


def run_meddled(data, calls):
    """A few calls with the planted values armed: Python errors only."""
    chosen = [data.draw(st.sampled_from(calls)) for _ in range(3)]
    Meddler.armed = 5
    try:
        for call in chosen:
            try:
                call()
            except (KeyboardInterrupt, SystemExit, MemoryError):
                raise
            except Exception:
                pass
    finally:
        Meddler.armed = 0


def quote_actions(qm):
    def info():
        return qm.ticks.get("2330") or {}

    return [
        lambda: qm.ticks.clear(),
        lambda: info().get("ticks", []).clear(),
        lambda: info().get("old_ticks", []).clear(),
        lambda: info().get("cached_kbars", {}).clear(),
        lambda: qm.not_trade_times.clear(),
        lambda: qm.not_trade_times.get("Stock", [[0, 0]])[0].clear(),
        lambda: qm.add_tick(tick(50)),
        lambda: qm.poped_tick_to_df("2330"),
        lambda: setattr(qm, "ticks", {}),
        churn,
    ]


@settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=list(HealthCheck))
@given(data=st.data())
def test_quote_store_survives_meddling_values(data):
    qm = M.QuoteManager()
    for i in range(5):
        qm.add_tick(tick(i))
    qm.get_kbar("2330", "m", 1)
    actions = quote_actions(qm)
    action = data.draw(st.sampled_from(actions))
    place = data.draw(st.sampled_from(["window", "holiday", "record", "record_key", "tick", "cache_key"]))
    if place == "window":
        qm.not_trade_times["Stock"].insert(0, [Meddler(datetime(2024, 1, 1, 13, 30).time(), action),
                                               Meddler(datetime(2024, 1, 1, 23, 59).time(), action)])
    elif place == "holiday":
        qm.holiday_search_set.add(Meddler("2024-03-04", action))
    elif place == "record":
        qm.ticks["2330"]["ticks"].append({**qm.ticks["2330"]["old_ticks"][0], "close": Meddler(600.0, action)})
    elif place == "record_key":
        r = dict(qm.ticks["2330"]["old_ticks"][0])
        del r["is_virtual"]
        r[Meddler("is_virtual", action)] = False
        qm.ticks["2330"]["ticks"].append(r)
    elif place == "cache_key":
        qm.ticks["2330"]["cached_kbars"][Meddler(("2330", "m", 1), action)] = pl.DataFrame()
    step = data.draw(st.integers(0, 20000))
    freq = data.draw(st.sampled_from([1, 5]))
    calls = [
        lambda: qm.add_tick(tick(step, close=Meddler(601.0, action) if place == "tick" else 601.0)),
        lambda: qm.get_kbar("2330", "m", freq),
        lambda: qm.poped_tick_to_df("2330"),
        lambda: qm.poped_old_ticks_to_df("2330"),
    ]
    run_meddled(data, calls)


def account_actions(p):
    return [
        lambda: p.positions.clear(),
        lambda: [side.clear() for book in p.positions.values() for side in book.values()],
        lambda: p.current_tick_infos.clear(),
        lambda: p.product_type_mapper.clear(),
        lambda: p.trade_records.clear(),
        lambda: p._profit_report["rows"].clear(),
        lambda: setattr(p, "positions", {}),
        lambda: p.set_positions({"code": "2330", "action": "Sell", "price": 601.0, "quantity": 1,
                                 "exchange_ts": MONDAY_9, "product_type": "Stock", "trade_id": "X"}, "Stock"),
        churn,
    ]


@settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=list(HealthCheck))
@given(data=st.data())
def test_account_survives_meddling_values(data, monkeypatch, tmp_path_factory):
    class Quiet:
        def print(self, *a, **k):
            pass

    monkeypatch.setattr(M, "console", Quiet())
    monkeypatch.setattr(M.BASIC_INFO, "data_dir", str(tmp_path_factory.mktemp("meddle")))
    p = M.Positions()
    p.set_current_tick({"code": "2330", "close": 601.0})
    buy = {"code": "2330", "action": "Buy", "price": 600.0, "quantity": 2, "exchange_ts": MONDAY_9,
           "product_type": "Stock", "trade_id": "T1"}
    p.set_positions(dict(buy), "Stock")
    action = data.draw(st.sampled_from(account_actions(p)))
    place = data.draw(st.sampled_from(["entry_price", "entry_qty", "tick_close", "fee", "mapper", "trade"]))
    entry = p.positions["2330"]["buy"][0]
    if place == "entry_price":
        entry["price"] = Meddler(600.0, action)
    elif place == "entry_qty":
        entry["quantity"] = Meddler(2, action)
    elif place == "tick_close":
        p.current_tick_infos["2330"]["close"] = Meddler(601.0, action)
    elif place == "fee":
        fees = p._fee_settings
        key = data.draw(st.sampled_from(sorted(fees)))
        fees[key] = Meddler(fees[key], action)
    elif place == "mapper":
        p.product_type_mapper["2330"] = Meddler("Stock", action)
    sell = dict(buy, action="Sell", price=Meddler(605.0, action) if place == "trade" else 605.0, quantity=1,
                trade_id="T2")
    calls = [
        lambda: p.set_positions(dict(sell), "Stock"),
        lambda: p.fetch_positions("Stock"),
        lambda: p.fetch_positions("Stock", True),
        lambda: p.fetch_account_balance(),
        lambda: p.get_profit_rows_by_code("2330"),
        lambda: p.export_trade_records(),
    ]
    run_meddled(data, calls)
