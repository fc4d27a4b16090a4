"""Account state as constructed, trade records, current ticks and capital."""
from __future__ import annotations

import datetime
import os
import queue
import subprocess
import sys

import pytest

from conftest import M


def test_constructor_state(pos):
    assert list(vars(pos)) == ["positions", "trade_records", "product_type_mapper", "current_tick_infos",
                               "fetch_position_queue", "finish_fetch_position_queue",
                               "wait_fetch_position_response_flag", "initial_capital", "current_capital",
                               "_profit_report", "_fee_settings", "_account_infos"]
    assert type(pos.fetch_position_queue) is queue.Queue
    assert pos.fetch_position_queue is not pos.finish_fetch_position_queue
    assert pos.wait_fetch_position_response_flag is False
    assert pos.initial_capital == 100000 and pos.current_capital is pos.initial_capital
    assert pos._profit_report == {"profit": 0, "rows": []}
    assert pos._fee_settings == {
        "stock": {"fee": 0.001425, "tax": 0.003, "per_trade_cost": 0,
                  "slippage": {"buy": {"tick_count": 3, "direction": "up"},
                               "sell": {"tick_count": 3, "direction": "down"}}},
        "future": {"fee": 2e-05, "tax": 2e-05, "per_trade_cost": 0,
                   "slippage": {"buy": {"tick_count": 3, "direction": "up"},
                                "sell": {"tick_count": 3, "direction": "down"}}},
    }
    s = pos._fee_settings
    assert s["stock"]["slippage"]["buy"] is not s["future"]["slippage"]["buy"]


def test_objects_never_share_fee_settings():
    a, b = M.Positions(), M.Positions()
    a._fee_settings["stock"]["fee"] = 0.5
    a._fee_settings["future"]["slippage"]["buy"]["tick_count"] = 9
    assert b._fee_settings["stock"]["fee"] == 0.001425
    assert b._fee_settings["future"]["slippage"]["buy"]["tick_count"] == 3


def test_balance_and_capital(pos):
    assert pos.fetch_account_balance() == 100000 and type(pos.fetch_margin()) is int
    pos.set_initial_capital(500000)
    assert pos.fetch_account_balance() == pos.fetch_margin() == 500000
    assert pos.initial_capital == 500000
    for bad, got in [(500000.0, "float"), (True, "bool")]:
        with pytest.raises(TypeError, match=f"expected int, got {got}"):
            pos.set_initial_capital(bad)
    assert pos.fetch_account_balance() == 500000
    pos.current_capital = 123.5  # callers may change the attribute directly
    assert pos.fetch_margin() == 123.5


def test_add_trade_record(pos):
    pos.add_trade_record("T1", "2330", "Buy", 1, 600, 1704157200.0, "Deal")
    pos.add_trade_record("T1", "2330", {"odd": "action"}, 2, 601.5, 1704157200.1234565, "Order")
    assert pos.trade_records == [
        {"trade_id": "T1", "code": "2330", "action": "Buy", "quantity": 1, "price": 600.0,
         "dt": "2024-01-02 09:00:00.000000", "trade_status": "Deal"},
        {"trade_id": "T1", "code": "2330", "action": {"odd": "action"}, "quantity": 2, "price": 601.5,
         "dt": "2024-01-02 09:00:00.123456", "trade_status": "Order"},
    ]
    assert type(pos.trade_records[0]["price"]) is float
    assert list(pos.trade_records[0]) == ["trade_id", "code", "action", "quantity", "price", "dt", "trade_status"]
    assert pos.positions == {} and pos.current_capital == 100000 and pos._account_infos == {}


@pytest.mark.parametrize("ts", [0.0, 1.5, 1704157200.0000005, 1704157200.0000015, -1.25, 1e9 + 0.999999,
                                2**31 + 0.5e-6, 1700000000.9999996])
def test_trade_record_time_equals_fromtimestamp(pos, ts):
    pos.add_trade_record("T", "C", "Buy", 1, 1.0, ts, "Deal")
    assert pos.trade_records[-1]["dt"] == datetime.datetime.fromtimestamp(ts).strftime("%Y-%m-%d %H:%M:%S.%f")


@pytest.mark.parametrize("ts,error", [(1e20, (OverflowError, ValueError, OSError)),
                                      (float("nan"), ValueError), (float("inf"), OverflowError)])
def test_bad_timestamp_appends_nothing(pos, ts, error):
    with pytest.raises(error):
        pos.add_trade_record("T", "C", "Buy", 1, 1.0, ts, "Deal")
    assert pos.trade_records == []


def test_trade_record_goes_through_the_instance(console):
    class Audited(M.Positions):
        def _Positions__make_trade_record(self, *args):
            record = super()._Positions__make_trade_record(*args)
            record["audited"] = True
            return record

    p = Audited()
    p.add_trade_record("T", "C", "Sell", 3, 10, 0, "Cancel")
    assert p.trade_records[0]["audited"] is True
    assert p.trade_records[0]["price"] == 10.0


def test_set_current_tick(pos):
    tick = {"code": "2330", "close": 600.0}
    pos.set_current_tick(tick)
    assert pos.current_tick_infos["2330"] is tick
    newer = {"code": "2330", "close": 601.0}
    pos.set_current_tick(newer)
    assert pos.current_tick_infos == {"2330": newer}
    with pytest.raises(KeyError, match="code"):
        pos.set_current_tick({"close": 1.0})
    assert pos.current_tick_infos == {"2330": newer}


def test_account_info_record(pos):
    info = pos._Positions__init_account_info()
    assert info == dict.fromkeys(["entry_times", "cover_times", "entry_amount", "exit_amount", "net_profit",
                                  "extra_fee", "profit_times", "loss_times", "profit_total", "loss_total",
                                  "profit"], 0)
    assert info is not pos._Positions__init_account_info()


def test_methods_on_an_object_without_state_raise_attribute_error():
    bare = M.Positions.__new__(M.Positions)
    with pytest.raises(AttributeError):
        bare.add_trade_record("T", "C", "Buy", 1, 1.0, 0.0, "Deal")
    with pytest.raises(AttributeError):
        bare.fetch_account_balance()


@pytest.mark.parametrize("zone", ["UTC", "America/New_York", "Europe/London", "Australia/Lord_Howe"])
def test_trade_record_time_in_other_zones(zone):
    code = (
        "import datetime\n"
        "from kelvo_orra_backtest.modules.positions.positions import Positions\n"
        "p = Positions()\n"
        "for ts in (1711846800.5, 1730000000.25, 0.0, 1699999999.0000005):\n"
        "    p.add_trade_record('T', 'C', 'Buy', 1, 1.0, ts, 'Deal')\n"
        "    assert p.trade_records[-1]['dt'] == datetime.datetime.fromtimestamp(ts).strftime("
        "'%Y-%m-%d %H:%M:%S.%f'), ts\n"
    )
    subprocess.run([sys.executable, "-c", code], check=True, env={**os.environ, "TZ": zone})
