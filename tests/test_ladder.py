"""Tick-size rounding and the slippage walk."""
from __future__ import annotations

import math
import random

import pytest

import account_model as model


def ceil(pos, code, price):
    return pos._Positions__ceil_price_by_tick(code, price)


def slip(pos, code, price, ticks, direction):
    return pos._Positions__calculate_slippage_price(code, price, ticks, direction)


@pytest.mark.parametrize("code,price,expected", [
    ("2330", 9.99, (9.99, 0.01)),
    ("2330", 10.0, (10.0, 0.05)),
    ("2330", 49.99, (50.0, 0.05)),
    ("2330", 50.0, (50.0, 0.1)),
    ("2330", 123.456, (123.5, 0.5)),
    ("2330", 500.0, (500, 1)),
    ("2330", 999.5, (1000, 1)),
    ("2330", 1000.0, (1000, 5)),
    ("2330", 1001.0, (1005, 5)),
    ("2330", 1.1, (1.11, 0.01)),
    ("2330", 0.07, (0.08, 0.01)),
    ("2330", 2.2, (2.21, 0.01)),
    ("2330", 1.15, (1.15, 0.01)),
    ("2330", 0, (0.0, 0.01)),
    ("2330", -0.001, (0.0, 0.01)),
    ("2330", -1.234, (-1.23, 0.01)),
    ("0050", 49.991, (50.0, 0.01)),
    ("0050", 50.0, (50.0, 0.05)),
    ("0050", 999.99, (1000.0, 0.05)),
    ("0050", 1000.0, (1000, 5)),
    ("0050", 1002.0, (1005, 5)),
    ("0", 5.001, (5.01, 0.01)),
    ("", 49.99, (50.0, 0.05)),
])
def test_ceil_price_by_tick(pos, code, price, expected):
    got = ceil(pos, code, price)
    assert type(got) is tuple
    assert got == expected
    # ints where the ladder gives ints, floats elsewhere
    assert [type(v) for v in got] == [type(v) for v in expected]
    assert math.copysign(1, got[0]) == math.copysign(1, expected[0])


def test_ceil_of_huge_price_is_an_exact_int(pos):
    for price in (1e300, 1.7976931348623157e308, 2.0 ** 60 + 2048, 123456789012345678.0):
        got, step = ceil(pos, "2330", price)
        assert type(got) is int and step == 5
        assert got == math.ceil(price / 5) * 5


@pytest.mark.parametrize("price,exc,msg", [
    (float("nan"), ValueError, "cannot convert float NaN to integer"),
    (float("inf"), OverflowError, "cannot convert float infinity to integer"),
    (float("-inf"), OverflowError, "cannot convert float infinity to integer"),
    (-1e307, OverflowError, "cannot convert float infinity to integer"),
])
def test_ceil_refuses_what_the_integer_ceiling_refuses(pos, price, exc, msg):
    with pytest.raises(exc, match=msg):
        ceil(pos, "2330", price)
    with pytest.raises(exc, match=msg):
        slip(pos, "2330", price, 1, "up")


@pytest.mark.parametrize("args,expected", [
    (("2330", 100.0, 3, "up"), 101.5),
    (("2330", 100.0, 3, "down"), 99.4),
    (("2330", 100.0, 4, "down"), 99.4),
    (("2330", 100.0, 40, "down"), 99.4),
    (("2330", 50.0, 3, "up"), 50.4),
    (("2330", 20.0, 3, "up"), 20.2),
    (("2330", 999.0, 2, "up"), 1005.0),
    (("2330", 101.0, 3, "down"), 99.5),
    (("2330", 50.0, 1, "down"), 49.9),
    (("2330", 100.0, 1, "down"), 99.5),
    (("2330", 1000.0, 1, "down"), 995.0),
    (("0050", 50.0, 1, "down"), 49.95),
    (("2330", 9.99, 1, "up"), 10.0),
    (("2330", 100.2, 1, "up"), 101.0),
    (("2330", 100.2, 1, "sideways"), 100.0),
    (("2330", 100.2, 1, None), 100.0),
    (("2330", 5.0, 30, "down"), 4.99),
    (("2330", 100.2, 0, "up"), 100.2),
    (("2330", 100.2, -3, "up"), 100.2),
    (("2330", 600, 1, "up"), 601.0),
])
def test_slippage_walk(pos, args, expected):
    got = slip(pos, *args)
    assert type(got) is float
    assert got == expected


def test_a_walk_that_settles_ends_early(pos):
    # Settles at 99.4 after two steps; an endless count must still return.
    assert slip(pos, "2330", 100.0, 10 ** 40, "down") == 99.4


@pytest.mark.parametrize("call,arg", [
    (lambda p: slip(p, "2330", 100.0, 3.0, "up"), "tick_count"),
    (lambda p: slip(p, "2330", 100.0, True, "up"), "tick_count"),
    (lambda p: slip(p, 2330, 100.0, 3, "up"), "code"),
    (lambda p: ceil(p, 2330, 100.0), "code"),
])
def test_argument_types(pos, call, arg):
    with pytest.raises(TypeError, match=f"Argument '{arg}' has incorrect type"):
        call(pos)


def test_price_that_is_not_a_number(pos):
    with pytest.raises(TypeError):
        ceil(pos, "2330", "100")
    with pytest.raises(TypeError):
        slip(pos, "2330", None, 1, "up")


def random_price(rng: random.Random) -> float:
    kind = rng.random()
    if kind < 0.3:  # on a decimal grid, where binary rounding bites
        return round(rng.uniform(0, 1200), rng.choice([1, 2]))
    if kind < 0.4:  # near a band boundary
        return rng.choice([10, 50, 100, 500, 1000]) + rng.choice([-1, 1]) * rng.choice([0.01, 0.05, 1e-9, 0])
    return rng.uniform(-5, 3000)


def test_ladder_and_walk_against_the_model(pos):
    rng = random.Random(20240102)
    for _ in range(4000):
        code = rng.choice(["2330", "0050", "00878", "6505"])
        price = random_price(rng)
        assert ceil(pos, code, price) == model.ceil_price(code, price), (code, price)
        ticks = rng.randint(0, 6)
        direction = rng.choice(["up", "down", "other"])
        assert slip(pos, code, price, ticks, direction) == model.slip(code, price, ticks, direction)


class Wrapped:
    """Pure-Python overrides that defer to the module's own methods."""

    @staticmethod
    def make(m, calls):
        class P(m.Positions):
            def _Positions__ceil_price_by_tick(self, code, price):
                calls.append(("ceil", code, price))
                return super()._Positions__ceil_price_by_tick(code, price)

        return P


def test_walk_through_an_overriding_rounding_gives_the_same_prices(m, console):
    calls: list = []
    wrapped = Wrapped.make(m, calls)()
    plain = m.Positions()
    rng = random.Random(7)
    for _ in range(500):
        code = rng.choice(["2330", "0050"])
        price = random_price(rng)
        ticks = rng.randint(0, 5)
        direction = rng.choice(["up", "down"])
        calls.clear()
        assert slip(wrapped, code, price, ticks, direction) == slip(plain, code, price, ticks, direction)
        assert len(calls) == 2 * max(ticks, 0)  # two roundings per step, all through the instance


def test_walk_honours_an_override_that_changes_the_ladder(m, console):
    class Coarse(m.Positions):
        def _Positions__ceil_price_by_tick(self, code, price):
            return (math.ceil(price), 1)

    assert slip(Coarse(), "2330", 100.2, 2, "up") == 103.0
    p = Coarse()
    cost = p._Positions__calculate_trade_cost("2330", "Buy", 100.0, 1, "Stock", False, False)
    assert cost["price"] == 103.0

    class Bad(m.Positions):
        def _Positions__ceil_price_by_tick(self, code, price):
            return (price,)

    with pytest.raises(ValueError, match="not enough values to unpack"):
        slip(Bad(), "2330", 100.0, 1, "up")


def test_override_on_the_instance_is_honoured(pos):
    pos._Positions__ceil_price_by_tick = lambda code, price: (price, 2.0)
    assert slip(pos, "2330", 100.0, 3, "up") == 106.0


def test_walk_at_the_largest_double(pos):
    top = 1.7976931348623157e308
    assert slip(pos, "2330", top, 2, "up") == model.slip("2330", top, 2, "up") == top
