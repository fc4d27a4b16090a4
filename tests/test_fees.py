"""Fee settings, the futures contract value and the cost of one fill."""
from __future__ import annotations

import random
from fractions import Fraction

import pytest

import account_model as model


def cost(pos, *args, **kw):
    return pos._Positions__calculate_trade_cost(*args, **kw)


def test_default_table_and_reset(pos, m):
    table = pos.fee_settings
    assert table is pos._fee_settings
    assert table == model.default_fees(0)
    assert list(table) == ["stock", "future"]
    assert list(table["stock"]) == ["fee", "tax", "per_trade_cost", "slippage"]
    assert type(table["stock"]["per_trade_cost"]) is int
    pos.reset_fee_settings()
    assert pos.fee_settings is not table
    assert pos.fee_settings == model.default_fees(10)
    assert pos.fee_settings["stock"]["slippage"]["buy"] is not pos.fee_settings["future"]["slippage"]["buy"]
    with pytest.raises(AttributeError):
        pos.fee_settings = {}
    other = m.Positions()
    pos.fee_settings["stock"]["fee"] = 0.5
    assert other.fee_settings["stock"]["fee"] == 0.001425


def test_fee_settings_type_check(pos):
    pos._fee_settings = None
    assert pos.fee_settings is None
    pos._fee_settings = "x"
    with pytest.raises(TypeError, match="^Expected dict, got str$"):
        pos.fee_settings


def test_update_fee_settings(pos):
    pos.update_fee_settings("stock", fee=0.0)
    assert pos.fee_settings["stock"]["fee"] == 0.0 and type(pos.fee_settings["stock"]["fee"]) is float
    with pytest.raises(TypeError, match="Argument 'fee' has incorrect type"):
        pos.update_fee_settings("stock", fee=0)
    with pytest.raises(TypeError, match="Argument 'per_trade_cost'"):
        pos.update_fee_settings("stock", per_trade_cost=1.0)
    with pytest.raises(TypeError, match="Argument 'tick_count'"):
        pos.update_fee_settings("stock", action="buy", tick_count=2.0)
    before = model.default_fees(0)
    before["stock"]["fee"] = 0.0
    pos.update_fee_settings("stock", tick_count=5)
    pos.update_fee_settings("stock", action="Buy", tick_count=5)
    assert pos.fee_settings == before
    pos.update_fee_settings("stock", action="buy", tick_count=5, direction="left")
    assert pos.fee_settings["stock"]["slippage"]["buy"] == {"tick_count": 5, "direction": "up"}
    pos.update_fee_settings("future", "sell", 1e-05, 2e-05, 7, 1, "up")
    assert pos.fee_settings["future"] == {
        "fee": 1e-05, "tax": 2e-05, "per_trade_cost": 7,
        "slippage": {"buy": {"tick_count": 3, "direction": "up"}, "sell": {"tick_count": 1, "direction": "up"}},
    }
    snapshot = repr(pos.fee_settings)
    with pytest.raises(ValueError, match="^不支援的商品類型: bond$"):
        pos.update_fee_settings("bond", fee=0.1)
    assert repr(pos.fee_settings) == snapshot


def test_trade_cost_figures(pos):
    assert cost(pos, "2330", "Buy", 100.0, 1, "Stock", ignore_tax=False, need_reverse_direction=False) == {
        "fee": 144.63750000000002, "tax": 304.5, "fixed_cost": 0, "qty": 1, "min_qty": 1000,
        "price": 101.5, "origin_price": 100.0,
    }
    sell = cost(pos, "2330", "Sell", 100.0, 2, "Stock", ignore_tax=True, need_reverse_direction=False)
    assert sell["price"] == 99.4 and sell["fee"] == 283.29 and sell["min_qty"] == 2000
    assert sell["tax"] == 0 and type(sell["tax"]) is int
    # the default reverses the configured directions
    assert cost(pos, "2330", "Buy", 100.0, 2, "Stock")["price"] == 99.4
    assert cost(pos, "2330", "Sell", 100.0, 1, "Stock")["price"] == 101.5
    fut = cost(pos, "XYZ", "Sell", 20000.0, 1, "Future", False, False)
    assert (fut["price"], fut["fee"], fut["tax"], fut["min_qty"]) == (19985.0, 799.4, 799.4, 2000)
    assert list(fut) == ["fee", "tax", "fixed_cost", "qty", "min_qty", "price", "origin_price"]
    # an int price comes back as floats
    c = cost(pos, "2330", "Buy", 600, 1, "Stock", False, False)
    assert type(c["price"]) is float and type(c["origin_price"]) is float and c["price"] == 603.0


def test_contract_value(pos, m, monkeypatch):
    assert pos._Positions__apply_future_contract_value("TXF") == 200
    assert pos._Positions__apply_future_contract_value("XYZ") == 2000
    c = cost(pos, "MXF", "Buy", 20000.0, 3, "Future", False, False)
    assert c["min_qty"] == 150 and c["fee"] == 2e-05 * 3 * 50 * 20015.0
    monkeypatch.setattr(m, "FutureIndexContractValue", {"XYZ": 7})
    assert pos._Positions__apply_future_contract_value("XYZ") == 7
    assert cost(pos, "XYZ", "Buy", 20000.0, 1, "Future", False, False)["min_qty"] == 7
    assert cost(pos, "TXF", "Buy", 20000.0, 1, "Future", False, False)["min_qty"] == 2000


@pytest.mark.parametrize("args,exc,msg", [
    (("2330", "Buy", 100.0, 1, "stock"), Exception, "^不支援的商品類型: stock$"),
    (("2330", "Buy", 100.0, 1, None), Exception, "^不支援的商品類型: None$"),
    (("2330", "Hold", 100.0, 1, "Stock"), KeyError, "hold"),
    (("2330", 5, 100.0, 1, "Stock"), AttributeError, "lower"),
    (("2330", "Buy", 100.0, 1.0, "Stock"), TypeError, "Argument 'quantity' has incorrect type"),
    (("2330", "Buy", "1", 1, "Stock"), TypeError, "must be real number"),
])
def test_trade_cost_refusals(pos, args, exc, msg):
    with pytest.raises(exc, match=msg) as info:
        cost(pos, *args)
    if exc is Exception:
        assert type(info.value) is Exception


def test_a_broken_table_fails_at_the_point_of_use(pos):
    pos.fee_settings["stock"]["slippage"]["buy"]["tick_count"] = 3.0
    with pytest.raises(TypeError, match=r"Argument 'tick_count' has incorrect type \(expected int, got float\)"):
        cost(pos, "2330", "Buy", 100.0, 1, "Stock", False, False)
    pos.reset_fee_settings()
    del pos.fee_settings["stock"]["fee"]
    with pytest.raises(KeyError, match="fee"):
        cost(pos, "2330", "Buy", 100.0, 1, "Stock", False, False)
    pos.fee_settings["stock"] = None
    with pytest.raises(TypeError):
        cost(pos, "2330", "Buy", 100.0, 1, "Stock", False, False)
    pos.fee_settings["future"]["tax"] = "x"
    with pytest.raises(TypeError):
        cost(pos, "XYZ", "Buy", 100.0, 1, "Future", False, False)
    pos._fee_settings = 5
    with pytest.raises(TypeError):
        cost(pos, "XYZ", "Buy", 100.0, 1, "Future", False, False)


def test_table_values_of_other_number_types(pos):
    fees = pos.fee_settings["stock"]
    fees["fee"] = Fraction(1, 1000)
    fees["tax"] = 3  # an int rate keeps int arithmetic up to the price
    fees["per_trade_cost"] = 10.5
    c = cost(pos, "2330", "Buy", 100.0, 7, "Stock", False, False)
    assert c["fee"] == Fraction(1, 1000) * 7 * 1000 * 101.5 and type(c["fee"]) is float
    assert c["tax"] == 3 * 7 * 1000 * 101.5
    assert c["fixed_cost"] == 10.5
    big = 10 ** 30
    c = cost(pos, "2330", "Buy", 100.0, big, "Stock", False, False)
    assert c["min_qty"] == big * 1000 and type(c["min_qty"]) is int
    assert c["fee"] == Fraction(1, 1000) * big * 1000 * 101.5
    assert c["tax"] == 3 * big * 1000 * 101.5
    c = cost(pos, "2330", "Buy", 100.0, 2 ** 62, "Stock", False, False)
    assert c["min_qty"] == 2 ** 62 * 1000 and c["tax"] == 3 * 2 ** 62 * 1000 * 101.5


def test_trade_cost_reads_the_live_table(pos):
    pos.fee_settings["stock"]["slippage"]["buy"]["tick_count"] = 0
    pos.fee_settings["stock"]["per_trade_cost"] = 20
    c = cost(pos, "2330", "Buy", 100.2, 1, "Stock", False, False)
    assert c["price"] == 100.2 and c["fixed_cost"] == 20


def test_trade_cost_against_the_model(pos):
    rng = random.Random(99)
    for _ in range(1500):
        if rng.random() < 0.1:
            pos.reset_fee_settings()
        table = pos.fee_settings
        key = rng.choice(["stock", "future"])
        side = rng.choice(["buy", "sell"])
        table[key]["fee"] = rng.choice([0.001425, 2e-05, rng.random() / 100])
        table[key]["slippage"][side]["tick_count"] = rng.randint(0, 5)
        table[key]["slippage"][side]["direction"] = rng.choice(["up", "down"])
        code = rng.choice(["2330", "0050", "TXF", "XYZ"])
        args = (code, rng.choice(["Buy", "Sell", "buy", "SELL"]), round(rng.uniform(1, 25000), 2),
                rng.randint(0, 50), rng.choice(["Stock", "Future"]))
        flags = (rng.choice([True, False, 0, 1]), rng.choice([True, False]))
        got = cost(pos, *args, *flags)
        want = model.trade_cost(table, *args, *flags)
        assert got == want
        assert [type(v) for v in got.values()] == [type(v) for v in want.values()]


def test_overrides_through_the_instance_give_the_same_cost(m, console):
    calls: list[str] = []

    class Wrapped(m.Positions):
        def _Positions__calculate_slippage_price(self, code, price, tick_count, direction):
            calls.append("slip")
            return super()._Positions__calculate_slippage_price(code, price, tick_count, direction)

        def _Positions__apply_future_contract_value(self, code):
            calls.append("value")
            return super()._Positions__apply_future_contract_value(code)

    w, p = Wrapped(), m.Positions()
    for args in [("TXF", "Buy", 17000.0, 2, "Future"), ("2330", "Sell", 55.5, 3, "Stock")]:
        assert cost(w, *args) == cost(p, *args)
    assert calls == ["slip", "value", "slip"]

    class Half(m.Positions):
        def _Positions__apply_future_contract_value(self, code):
            return 0.5

    assert cost(Half(), "TXF", "Buy", 100.0, 2, "Future", False, False)["min_qty"] == 1.0
