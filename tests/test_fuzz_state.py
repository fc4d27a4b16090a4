"""Fuzz on objects that hold state.

Every method gets random arguments on a filled account and a filled quote
store (the blocking pops with an item waiting, the file writers with a
scratch data directory), and every piece of live state that callers may
change is replaced by a random object before a few ordinary calls.  Only
Python exceptions may come back: no crash, no hang."""
from __future__ import annotations

import os
import queue
from datetime import datetime

import polars as pl
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import M
from odd_values import ODD, module_methods
from report_fakes import FakeQuoteManager

# FUZZ_EXAMPLES=5000 scripts/sanitize-test tests/test_fuzz_state.py searches longer.
EXAMPLES = int(os.environ.get("FUZZ_EXAMPLES", "250"))
BASE = datetime(2024, 3, 4, 9, 0).timestamp()  # a Monday, both markets open
BUY = {"code": "2330", "action": "Buy", "price": 600.0, "quantity": 2, "exchange_ts": BASE,
       "product_type": "Stock", "trade_id": "T1"}


class Quiet:
    def print(self, *args, **kwargs):
        pass


@pytest.fixture(autouse=True)
def quiet_console(monkeypatch, tmp_path_factory):
    monkeypatch.setattr(M, "console", Quiet())
    monkeypatch.setattr(M.BASIC_INFO, "data_dir", str(tmp_path_factory.mktemp("fuzz")))


def tick(i, code="2330", market_type="Stock", close=600.0):
    return {"timestamp": BASE + 20.5 * i, "code": code, "market_type": market_type, "close": close + i % 3,
            "qty": 1 + i % 4, "tick_type": 1 + i % 2, "is_simulate": i % 7 == 0}


def filled_account() -> M.Positions:
    p = M.Positions()
    p.set_current_tick({"code": "2330", "close": 601.0})
    p.set_current_tick({"code": "TXF", "close": 19500.0})
    p.set_positions(dict(BUY), "Stock")
    p.set_positions(dict(BUY, action="Sell", price=605.0, quantity=1, trade_id="T2"), "Stock")
    p.set_positions(dict(BUY, code="TXF", price=19490.0, quantity=1, trade_id="T3", product_type="Future"),
                    "Future")
    p.add_trade_record("T1", "2330", "Buy", 2, 600.0, BASE, "Deal")
    return p


def filled_quotes() -> M.QuoteManager:
    qm = M.QuoteManager()
    for i in range(30):
        qm.add_tick(tick(i))
        qm.add_tick(tick(i, "TXF", "Future", 19500.0))
    qm.get_kbar("2330", "m", 1)
    qm.add_tick(tick(31))
    return qm


def state_paths(obj, depth=4):
    """Paths to every value inside the instance's dicts and lists."""
    out = []

    def walk(value, path):
        out.append(path)
        if len(path) >= depth:
            return
        if isinstance(value, dict):
            for key, inner in list(value.items())[:3]:
                walk(inner, path + (key,))
        elif isinstance(value, list):
            for index, inner in enumerate(value[:2]):
                walk(inner, path + (index,))
    for name, value in vars(obj).items():
        walk(value, (name,))
    return out


def put(obj, path, value):
    if len(path) == 1:
        setattr(obj, path[0], value)
        return
    holder = getattr(obj, path[0])
    for key in path[1:-1]:
        holder = holder[key]
    holder[path[-1]] = value


ACCOUNT_CALLS = [
    lambda p: p.set_positions(dict(BUY, trade_id="N1"), "Stock"),
    lambda p: p.set_positions(dict(BUY, action="Sell", quantity=3, trade_id="N2"), "Stock"),
    lambda p: p.set_positions(dict(BUY, code="TXF", action="Sell", price=19510.0, quantity=1, trade_id="N3",
                                   product_type="Future"), "Future"),
    lambda p: p.fetch_positions("Stock"),
    lambda p: p.fetch_positions("Future", True),
    lambda p: p.fetch_account_balance(),
    lambda p: p.fetch_margin(),
    lambda p: p.get_profit_rows_by_code("2330"),
    lambda p: p.set_current_tick({"code": "2330", "close": 602.0}),
    lambda p: p.add_trade_record("T9", "2330", "Sell", 1, 603.0, BASE + 60, "Deal"),
    lambda p: p.update_fee_settings("stock", "buy", fee=0.001, tick_count=2, direction="down"),
    lambda p: p.fee_settings,
    lambda p: p._Positions__calculate_trade_cost("2330", "Buy", 600.0, 1, "Stock"),
    lambda p: p.export_trade_records(),
    lambda p: p.generate_standard_report("2330", FakeQuoteManager()),
    lambda p: (p.add_positions_to_queue([{"code": "2330"}]), p.pop_positions()),
    lambda p: (p.add_finish_notify_to_queue(), p.pop_finish_notify()),
    lambda p: p.set_initial_capital(1000),
]

QUOTE_CALLS = [
    lambda q: q.add_tick(tick(40)),
    lambda q: q.add_tick(tick(40, "TXF", "Future", 19500.0)),
    lambda q: q.add_tick(dict(tick(0), timestamp=BASE + 3 * 86400)),  # across days
    lambda q: q.get_kbar("2330", "m", 1),
    lambda q: q.get_kbar("2330", "m", 5, [pl.col("Close").alias("c")]),
    lambda q: q.get_kbar("TXF", "h", 1, to_pandas_df=True),
    lambda q: q.poped_tick_to_df("2330"),
    lambda q: q.poped_old_ticks_to_df("TXF"),
    lambda q: q.get_init_ticks_info(),
    lambda q: q.clear_ticks(),
]

ACCOUNT_PATHS = state_paths(filled_account())
QUOTE_PATHS = state_paths(filled_quotes())


def ignore_errors(fn, obj):
    try:
        fn(obj)
    except Exception:
        pass


ODD_STATE = [
    (filled_account, ACCOUNT_PATHS, ACCOUNT_CALLS),
    (filled_quotes, QUOTE_PATHS, QUOTE_CALLS),
]


@pytest.mark.parametrize("make,paths,calls", ODD_STATE, ids=["account", "quotes"])
@settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=list(HealthCheck))
@given(data=st.data())
def test_odd_state_only_raises(make, paths, calls, data):
    obj = make()
    put(obj, data.draw(st.sampled_from(paths)), data.draw(ODD))
    for call in data.draw(st.lists(st.sampled_from(calls), min_size=1, max_size=4)):
        ignore_errors(call, obj)


ARGUMENT = st.one_of(ODD, st.sampled_from(["2330", "TXF", "Stock", "Future", "m", "Buy", 1, 600.0]),
                     st.just(FakeQuoteManager()))


@pytest.mark.parametrize("cls,fn", list(module_methods()), ids=lambda x: getattr(x, "__qualname__", "cls"))
@settings(max_examples=max(1, EXAMPLES // 10), deadline=None, suppress_health_check=list(HealthCheck))
@given(args=st.lists(ARGUMENT, max_size=8), kwargs=st.dictionaries(st.sampled_from(
    ["code", "unit", "freq", "fetch_detail", "account_type", "quote_manager", "to_pandas_df", "zzz"]),
    ARGUMENT, max_size=2))
def test_random_arguments_on_filled_objects(cls, fn, args, kwargs):
    obj = filled_account() if cls is M.Positions else filled_quotes()
    if cls is M.Positions:
        # a pop with nothing waiting would wait for ever: give it something
        obj.fetch_position_queue.put([])
        obj.finish_fetch_position_queue.put(True)
    try:
        fn(obj, *args, **kwargs)
    except Exception:
        pass


def test_odd_state_then_sound_state_works_again():
    """A caller who puts state back gets the ordinary results again."""
    p = filled_account()
    saved = p.positions["2330"]["buy"]
    p.positions["2330"]["buy"] = 5
    with pytest.raises(Exception):
        p.fetch_positions("Stock")
    p.positions["2330"]["buy"] = saved
    p.fetch_positions("Stock")
    rows = p.fetch_position_queue.get_nowait()
    assert [r["code"] for r in rows] == ["2330"]
    assert isinstance(p.fetch_position_queue, queue.Queue)
