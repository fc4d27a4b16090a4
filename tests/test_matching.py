"""Position matching, profit rows, capital and account statistics."""
from __future__ import annotations

import copy
import random

import pytest

import account_model as model


def deal(action, qty, price, ts=0.0, code="2330", **extra):
    """A deal with every key that matching, the profit rows and the position views read."""
    return {"code": code, "action": action, "price": price, "quantity": qty, "exchange_ts": ts,
            "product_type": "Stock", "trade_id": "T0", **extra}


def state(pos):
    """Everything a deal may change, as plain copies."""
    return copy.deepcopy((pos.positions, pos.product_type_mapper, pos._account_infos, pos.current_capital,
                          pos._profit_report))


def assert_unchanged(pos, before, product_type):
    """Only what the first deal of a code creates may be new: its empty side
    lists, its product type and its empty account-info record."""
    positions, mapper, infos, capital, report = state(pos)
    for new in set(positions) - set(before[0]):
        assert positions.pop(new) == {"buy": [], "sell": []}
    for new in set(mapper) - set(before[1]):
        assert mapper.pop(new) == product_type
    for new in set(infos) - set(before[2]):
        assert set(infos.pop(new).values()) == {0}
    assert (positions, mapper, infos, capital, report) == before


def test_long_entry_then_reversal(pos, console):
    pos.set_positions(deal("Buy", 2, 50.0, 1.0), "Stock")
    assert pos.current_capital == -943.6399999999994
    assert console.lines == ["[bold pink1][做多進場]本金: 100000, 進場價金: 100800.0, 進場成本: 143.64[/bold pink1]"]
    assert pos.positions["2330"] == {"buy": [deal("Buy", 2, 50.0, 1.0)], "sell": []}
    assert pos._account_infos["2330"]["entry_times"] == 1
    assert pos.product_type_mapper == {"2330": "Stock"}

    sell = deal("Sell", 3, 55.0, 2.0)
    pos.set_positions(sell, "Stock")
    assert sell == deal("Sell", 3, 55.0, 2.0)  # the engine's dict is not changed
    remainder_fee = 0.001425 * 1 * 1000 * 54.7
    assert pos.current_capital == 107972.265 - (54700.0 + remainder_fee)
    assert console.lines[1:] == [
        "[green]沖銷部位: {'code': '2330', 'action': 'Sell', 'price': 55.0, 'quantity': 3, 'exchange_ts': 2.0,"
        " 'product_type': 'Stock', 'trade_id': 'T0'}[/green]",
        "[yellow]被沖銷部位: {'code': '2330', 'action': 'Buy', 'price': 50.0, 'quantity': 2, 'exchange_ts': 1.0,"
        " 'product_type': 'Stock', 'trade_id': 'T0'}[/yellow]",
        "[bold yellow][做多沖銷]本金: -943.6399999999994, 回收價金: 109400.0, 損益: 7972.265, 出場成本: 484.095"
        "[/bold yellow]",
        f"[bold pink1][做空進場]本金: 107972.265, 應付金額: 54700.0, 進場成本: {remainder_fee}[/bold pink1]",
    ]
    assert pos.positions["2330"] == {"buy": [], "sell": [deal("Sell", 1, 55.0, 2.0)]}
    assert pos.positions["2330"]["sell"][0] is not sell
    info = pos._account_infos["2330"]
    assert info == {
        "entry_times": 2, "cover_times": 1, "entry_amount": 100800.0, "exit_amount": 109400.0,
        "net_profit": 0, "extra_fee": 143.64 + 484.095, "profit_times": 1, "loss_times": 0,
        "profit_total": 7972.265, "loss_total": 0, "profit": 7972.265,
    }
    assert type(info["net_profit"]) is int and type(info["loss_total"]) is int
    assert pos._profit_report["profit"] == 7972.265


def test_futures_round_trip(pos, console):
    pos.set_positions(deal("Buy", 1, 20000.0, code="XYZ"), "Future")
    assert pos.current_capital == -39930800.6
    pos.set_positions(deal("Sell", 1, 20100.0, code="XYZ"), "Future")
    assert pos.current_capital == 237592.6000000015
    row = pos._profit_report["rows"][0]
    assert (row["exit_price"], row["cover_cost"], row["profit"]) == (20085.0, 1606.8, 137592.6)
    assert pos.positions["XYZ"] == {"buy": [], "sell": []}


def test_two_pieces_oldest_first(pos, console):
    pos.set_positions(deal("Buy", 1, 50.0, 1.0), "Stock")
    pos.set_positions(deal("Buy", 2, 52.0, 2.0), "Stock")
    console.lines.clear()
    pos.set_positions(deal("Sell", 2, 55.0, 3.0), "Stock")
    rows = pos._profit_report["rows"]
    assert rows[0] == {
        "code": "2330", "entry_action": "Buy", "entry_dt": 1.0, "entry_price": 50.4, "entry_origin_price": 50.0,
        "exit_action": "Sell", "exit_dt": 3.0, "exit_price": 54.7, "exit_origin_price": 55.0, "qty": 1,
        "min_qty": 1000, "trade_cost": 71.82, "cover_cost": 242.0475, "cover_cost_fee": 77.9475,
        "cover_cost_tax": 164.10000000000002, "cover_cost_fixed": 0, "trade_cost_fee": 71.82, "trade_cost_tax": 0,
        "trade_cost_fixed": 0, "profit": 3986.1325, "profit_ratio": 0.07897738777797195,
        "entry_amount": 50400.0, "exit_amount": 54700.0,
    }
    assert list(rows[0]) == [
        "code", "entry_action", "entry_dt", "entry_price", "entry_origin_price", "exit_action", "exit_dt",
        "exit_price", "exit_origin_price", "qty", "min_qty", "trade_cost", "cover_cost", "cover_cost_fee",
        "cover_cost_tax", "cover_cost_fixed", "trade_cost_fee", "trade_cost_tax", "trade_cost_fixed", "profit",
        "profit_ratio", "entry_amount", "exit_amount",
    ]
    assert (rows[1]["entry_price"], rows[1]["entry_amount"], rows[1]["trade_cost"]) == (52.3, 52300.0, 74.5275)
    assert (rows[1]["profit"], rows[1]["profit_ratio"]) == (2083.425, 0.03977935648202269)
    assert pos.positions["2330"]["buy"] == [deal("Buy", 1, 52.0, 2.0)]
    sell_text = ("{'code': '2330', 'action': 'Sell', 'price': 55.0, 'quantity': 2, 'exchange_ts': 3.0,"
                 " 'product_type': 'Stock', 'trade_id': 'T0'}")
    assert console.lines[0] == f"[green]沖銷部位: {sell_text}[/green]"
    assert console.lines[2] == f"[green]沖銷部位: {sell_text}[/green]"
    assert "'quantity': 1, 'exchange_ts': 1.0," in console.lines[1]
    assert "'quantity': 2, 'exchange_ts': 2.0," in console.lines[3]
    assert console.lines[4].startswith("[bold yellow][做多沖銷]")
    assert len(console.lines) == 5


def test_short_round_trip(pos, console):
    pos.set_positions(deal("Sell", 1, 60.0, code="2603"), "Stock")
    pos.set_positions(deal("Buy", 1, 58.0, code="2603"), "Stock")
    row = pos._profit_report["rows"][0]
    assert row["profit"] == 59700.0 - 58300.0 - (85.0725 + 257.97749999999996) == 1056.95
    assert row["profit_ratio"] == 1056.95 / (59700.0 - 85.0725) == 0.017729619817117116
    assert row["trade_cost_tax"] == 0 and type(row["trade_cost_tax"]) is int
    assert row["cover_cost_tax"] == 174.89999999999998
    assert console.lines[-1].startswith("[bold yellow][做空沖銷]本金: ")
    assert "出場價金: 58300.0" in console.lines[-1]
    assert pos.positions["2603"] == {"buy": [], "sell": []}


def test_calculate_profit_edge_cases(pos, console, m, monkeypatch):
    pos.set_positions(deal("Buy", 1, 50.0), "Stock")
    res = pos._Positions__calculate_profit(deal("Sell", 0, 55.0), "Stock")
    assert res == {"entry_total": 0, "exit_total": 0, "origin_profit": 0, "entry_cost_total": 0,
                   "exit_cost_total": 0, "cost": 0, "profit": 0, "is_covered": True, "un_cover_qty": 0}
    assert all(type(v) is int for k, v in res.items() if k != "is_covered")
    assert pos._profit_report["rows"] == [] and len(console.lines) == 1
    # an entry of quantity 0 is matched for 0 and removed; its ratio is the int 0
    pos.positions["2330"]["buy"].insert(0, deal("Buy", 0, 50.0))
    res = pos._Positions__calculate_profit(deal("Sell", 5, 55.0), "Stock")
    first = pos._profit_report["rows"][0]
    assert (first["qty"], first["entry_amount"], first["profit_ratio"]) == (0, 0.0, 0)
    assert type(first["profit_ratio"]) is int
    assert res["is_covered"] is False and res["un_cover_qty"] == 4
    assert pos.positions["2330"]["buy"] == []
    # the side test reads the Action global at use
    pos.positions["2330"]["sell"].append(deal("Sell", 1, 60.0))

    class Side:
        class BUY:
            value = "Cover"

    monkeypatch.setattr(m, "Action", Side)
    pos.fee_settings["stock"]["slippage"]["cover"] = {"tick_count": 0, "direction": "up"}
    res = pos._Positions__calculate_profit(deal("Cover", 1, 58.0), "Stock")
    assert res["is_covered"] is True and pos.positions["2330"]["sell"] == []


def test_zero_profit_counts_as_a_loss(pos, console):
    pos.fee_settings["stock"].update(fee=0.0, tax=0.0)
    for side in ("buy", "sell"):
        pos.fee_settings["stock"]["slippage"][side]["tick_count"] = 0
    pos.set_positions(deal("Buy", 1, 50.0), "Stock")
    pos.set_positions(deal("Sell", 1, 50.0), "Stock")
    info = pos._account_infos["2330"]
    assert (info["loss_times"], info["profit_times"], info["loss_total"]) == (1, 0, 0.0)
    assert pos.current_capital == 100000.0 and type(pos.current_capital) is float


def test_product_types_and_deals_that_are_not_dicts(pos, console):
    pos.set_positions(deal("Sell", 1, 50.0, code="TXF"), "Stock")
    pos.set_positions(deal("Sell", 1, 50.0, code="TXF"), "Future")
    assert pos.product_type_mapper["TXF"] == "Stock"
    with pytest.raises(KeyError, match="code"):
        pos.set_positions({}, "Stock")
    with pytest.raises(TypeError, match="Argument 'trade' has incorrect type"):
        pos.set_positions([], "Stock")


def account_state(pos):
    """Everything of the account a refused deal must leave alone, as plain copies."""
    return copy.deepcopy((pos.positions, pos.product_type_mapper, pos._account_infos, pos.current_capital,
                          pos._profit_report, pos.trade_records, pos.current_tick_infos))


BAD_ACTIONS = ["buy", "sell", "BUY", "SELL", "Long", "Hold", "Buy ", "", 1, None, b"Buy", ("Buy",)]
# "code" is left out: a deal without it was refused before any change already.
DEAL_KEYS = ["action", "price", "quantity", "exchange_ts", "product_type", "trade_id"]


def bad_deals():
    """(opening deals, the bad deal's action, what is wrong with it, the error)."""
    long = [("Buy", 1, 50.0)]
    for opening in ([], long):
        for action in BAD_ACTIONS:
            yield pytest.param(opening, "Sell", {"action": action}, ValueError,
                               id=f"action {action!r}{' against a long' if opening else ''}")
    for key in DEAL_KEYS:
        yield pytest.param([], "Sell", key, KeyError, id=f"no {key}")
    for key in ("exchange_ts", "product_type", "trade_id"):
        yield pytest.param(long, "Buy", key, KeyError, id=f"no {key}, adding to a long")
    for key in ("product_type", "trade_id"):
        yield pytest.param(long, "Sell", key, KeyError, id=f"no {key}, covering a long")


@pytest.mark.parametrize("opening,action,wrong,error", list(bad_deals()))
def test_a_deal_with_a_wrong_action_or_a_missing_key_is_refused(pos, console, opening, action, wrong, error):
    for side, qty, price in opening:
        pos.set_positions(deal(side, qty, price), "Stock")
    pos.add_trade_record("T0", "2330", "Buy", 1, 50.0, 1704157200.0, "Deal")
    d = deal(action, 1, 55.0, 1.0)
    if isinstance(wrong, dict):
        d.update(wrong)
    else:
        del d[wrong]
    before, lines = account_state(pos), list(console.lines)
    with pytest.raises(error) as raised:
        pos.set_positions(d, "Stock")
    if error is ValueError:
        assert str(raised.value) == f"set_positions: the deal's action must be 'Buy' or 'Sell', got {d['action']!r}"
    else:
        assert raised.value.args == (wrong,)
    assert account_state(pos) == before and console.lines == lines


class Grab:
    """A deal value whose deep copy keeps hold of the account's copy of the deal."""

    def __init__(self, caught):
        self.caught = caught

    def __deepcopy__(self, memo):
        self.caught.extend(v for v in memo.values() if isinstance(v, dict))
        return self


@pytest.mark.parametrize("opening", [[], [("Buy", 1, 50.0)]])
@pytest.mark.parametrize("change,error", [
    (lambda d: d.pop("trade_id"), KeyError),
    (lambda d: d.update(action="Long"), ValueError),
    (lambda d: d.update(action="Buy"), RuntimeError),
])
def test_a_deal_changed_by_outside_code_on_the_way_is_not_booked(pos, console, monkeypatch, opening, change, error):
    for side, qty, price in opening:
        pos.set_positions(deal(side, qty, price), "Stock")
    caught = []
    d = deal("Sell", 2, 55.0, 1.0, note=Grab(caught))
    real_print = console.print

    def meddling_print(text, *args, **kwargs):
        for copied in caught:
            change(copied)
        caught.clear()
        real_print(text, *args, **kwargs)

    monkeypatch.setattr(console, "print", meddling_print)
    before = state(pos)
    with pytest.raises(error):
        pos.set_positions(d, "Stock")
    assert_unchanged(pos, before, "Stock")  # a first deal of the code leaves its empty book


class LyingLower(str):
    def lower(self):
        return "sell" if str.__eq__(self, "Buy") else "buy"


class EqualsAll(str):
    __hash__ = str.__hash__

    def __eq__(self, other):
        return True


class EqualsNone(str):
    __hash__ = str.__hash__

    def __eq__(self, other):
        return False


@pytest.mark.parametrize("odd,text", [(LyingLower, "Buy"), (LyingLower, "Sell"), (EqualsAll, "Sell"),
                                      (EqualsNone, "Buy")])
def test_an_action_of_a_str_subclass_is_matched_and_priced_by_its_text(m, console, odd, text):
    opening = "Sell" if text == "Buy" else "Buy"
    plain, subclassed = m.Positions(), m.Positions()
    for account, action in ((plain, text), (subclassed, odd(text))):
        account.set_positions(deal(opening, 1, 50.0), "Stock")
        account.set_positions(deal(action, 2, 55.0, 1.0), "Stock")  # one lot covered, one left as an entry
    assert subclassed.current_capital == plain.current_capital
    assert str(subclassed._profit_report) == str(plain._profit_report)
    assert str(subclassed.positions) == str(plain.positions)
    assert subclassed._account_infos == plain._account_infos


@pytest.mark.parametrize("bad", [
    {"product_type": "Bond"},
    {"quantity": 2.0},
    {"quantity": True},
    {"price": "50"},
    {"price": None},
    {"code": 2330},
    {"table": lambda t: t["stock"].pop("tax")},
    {"table": lambda t: t["stock"]["slippage"]["sell"].update(tick_count=1.5)},
])
@pytest.mark.parametrize("opening", [[], [("Buy", 1, 50.0)], [("Buy", 1, 50.0), ("Buy", 1, 51.0)]])
def test_a_deal_that_raises_changes_nothing(pos, console, bad, opening):
    for action, qty, price in opening:
        pos.set_positions(deal(action, qty, price), "Stock")
    product_type = bad.get("product_type", "Stock")
    d = deal("Sell", 3, 55.0)
    if "quantity" in bad:
        d["quantity"] = bad["quantity"]
    if "price" in bad:
        d["price"] = bad["price"]
    if "table" in bad:
        bad["table"](pos.fee_settings)
    if "code" in bad and opening:
        # entries of a code that is not a str cannot be priced
        pos.positions[2330] = copy.deepcopy(pos.positions["2330"])
        pos._account_infos[2330] = dict(pos._account_infos["2330"])
    if "code" in bad:
        d["code"] = 2330
    before, lines = state(pos), list(console.lines)
    with pytest.raises(Exception):
        pos.set_positions(d, product_type)
    assert_unchanged(pos, before, product_type)
    assert console.lines == lines


def test_a_failing_remainder_changes_nothing(pos, console):
    pos.set_positions(deal("Buy", 1, 50.0), "Stock")
    before, lines = state(pos), list(console.lines)
    # the piece is priced with the entry's int quantity; the float remainder is refused
    with pytest.raises(TypeError, match="Argument 'quantity'"):
        pos.set_positions(deal("Sell", 3.0, 55.0), "Stock")
    assert state(pos) == before and console.lines == lines


def test_a_failing_later_piece_changes_nothing_in_calculate_profit(pos, console):
    pos.set_positions(deal("Buy", 1, 50.0), "Stock")
    pos.positions["2330"]["buy"].append(deal("Buy", 1, "bad"))
    before, lines = state(pos), list(console.lines)
    with pytest.raises(TypeError):
        pos._Positions__calculate_profit(deal("Sell", 2, 55.0), "Stock")
    assert state(pos) == before and console.lines == lines


def test_big_quantities_stay_exact(pos, console):
    q = 10 ** 20
    pos.set_positions(deal("Buy", q, 50.0), "Stock")
    pos.set_positions(deal("Sell", q + 1, 55.0), "Stock")
    row = pos._profit_report["rows"][0]
    assert row["qty"] == q and row["min_qty"] == q * 1000
    assert pos.positions["2330"]["sell"][0]["quantity"] == 1
    ref = model.Account()
    ref.deal(deal("Buy", q, 50.0), "Stock")
    ref.deal(deal("Sell", q + 1, 55.0), "Stock")
    assert pos.current_capital == ref.capital and pos._profit_report == ref.report


def test_deep_copy_of_a_deal_with_containers(pos, console, m, monkeypatch):
    calls = []
    real = copy.deepcopy

    class Spy:
        @staticmethod
        def deepcopy(x):
            calls.append(x)
            return real(x)

    monkeypatch.setattr(m, "copy", Spy)
    tags = ["a"]
    pos.set_positions(deal("Buy", 1, 50.0, tags=tags), "Stock")
    stored = pos.positions["2330"]["buy"][0]
    assert stored["tags"] == ["a"] and stored["tags"] is not tags and len(calls) == 1
    pos.set_positions(deal("Buy", 1, 50.0, product_type="Stock", trade_id="T1"), "Stock")
    assert len(calls) == 1  # plain values: copied without the module


def test_capital_of_other_number_types(pos, console):
    from fractions import Fraction

    pos.current_capital = Fraction(1, 3)
    pos.set_positions(deal("Buy", 1, 50.0), "Stock")
    assert pos.current_capital == Fraction(1, 3) - (50400.0 + 0.001425 * 1000 * 50.4)


def random_deals(rng: random.Random, n: int, float_quantities: bool = True):
    for _ in range(n):
        code = rng.choice(["2330", "0050", "TXF", "XYZ"])
        product_type = "Future" if code in ("TXF", "XYZ") else "Stock"
        if rng.random() < 0.05:
            product_type = "Bond"  # refused: must leave the account as it was
        price = round(rng.uniform(5, 1500), rng.choice([0, 1, 2]))
        if rng.random() < 0.3:
            price = int(price)
        qty = rng.choice([0, 1, 1, 2, 3, 5, 8])
        if float_quantities and rng.random() < 0.03:
            qty = float(qty)
        yield (deal(rng.choice(["Buy", "Sell"]), qty, price, ts=rng.uniform(1.7e9, 1.8e9), code=code,
                    trade_id=f"T{rng.randrange(10**6)}", product_type=product_type), product_type)


def run_against_model(pos, console, seed, n=400, reset=False, float_quantities=True):
    rng = random.Random(seed)
    ref = model.Account(model.default_fees(10 if reset else 0))
    ref.errors = 0
    if reset:
        pos.reset_fee_settings()
    for trade, product_type in random_deals(rng, n, float_quantities):
        ref_error = pos_error = None
        try:
            ref.deal(trade, product_type)
        except Exception as e:  # noqa: BLE001 - compared below
            ref_error = type(e)
            ref.errors += 1
        try:
            pos.set_positions(trade, product_type)
        except Exception as e:  # noqa: BLE001
            pos_error = type(e)
        assert pos_error == ref_error, trade
        assert pos.current_capital == ref.capital and type(pos.current_capital) is type(ref.capital)
        assert pos.positions == ref.positions
        assert pos._account_infos == ref.infos
        assert pos._profit_report == ref.report
        assert pos.product_type_mapper == ref.mapper
        assert console.lines == ref.lines
    return ref


@pytest.mark.parametrize("seed,reset", [(1, False), (2, True), (3, False)])
def test_random_deals_against_the_model(pos, console, seed, reset):
    ref = run_against_model(pos, console, seed, reset=reset)
    # the sequence went through covers, reversals and refused deals
    assert ref.report["rows"] and ref.reversals and ref.errors


def make_wrapped(m, calls):
    class Wrapped(m.Positions):
        def _Positions__calculate_profit(self, cover_position, product_type):
            calls["profit"] += 1
            return super()._Positions__calculate_profit(cover_position, product_type)

        def _Positions__calculate_trade_cost(self, code, action, price, quantity, product_type, ignore_tax=False,
                                             need_reverse_direction=True):
            calls["cost"] += 1
            return super()._Positions__calculate_trade_cost(code, action, price, quantity, product_type,
                                                            ignore_tax=ignore_tax,
                                                            need_reverse_direction=need_reverse_direction)

        def _Positions__calculate_slippage_price(self, code, price, tick_count, direction):
            calls["slip"] += 1
            return super()._Positions__calculate_slippage_price(code, price, tick_count, direction)

        def _Positions__ceil_price_by_tick(self, code, price):
            calls["ceil"] += 1
            return super()._Positions__ceil_price_by_tick(code, price)

        def _Positions__apply_future_contract_value(self, code):
            calls["value"] += 1
            return super()._Positions__apply_future_contract_value(code)

        def _Positions__init_account_info(self):
            calls["info"] += 1
            return super()._Positions__init_account_info()

    return Wrapped


@pytest.mark.parametrize("seed", [11, 12])
def test_overrides_calling_super_give_the_same_account(m, console, seed):
    calls = dict.fromkeys(["profit", "cost", "slip", "ceil", "value", "info"], 0)
    wrapped = make_wrapped(m, calls)()
    # (A float remainder is refused only after an overriding __calculate_profit
    # has booked its pieces, so such deals are left out here.)
    run_against_model(wrapped, console, seed, n=300, float_quantities=False)
    assert all(calls.values()), calls  # every private method was called through the instance


def test_an_override_is_honoured(m, console):
    class Flat(m.Positions):
        def _Positions__calculate_trade_cost(self, code, action, price, quantity, product_type, ignore_tax=False,
                                             need_reverse_direction=True):
            return {"fee": 1, "tax": 0 if ignore_tax else 2, "fixed_cost": 0, "qty": quantity,
                    "min_qty": quantity * 10, "price": price, "origin_price": price}

    p = Flat()
    p.set_positions(deal("Buy", 2, 50), "Stock")
    assert p.current_capital == 100000 - (50 * 20 + 1 + 0) and type(p.current_capital) is int
    p.set_positions(deal("Sell", 2, 60), "Stock")
    row = p._profit_report["rows"][0]
    assert (row["profit"], row["cover_cost"], row["trade_cost"]) == (1200 - 1000 - 4, 3, 1)
    assert row["profit_ratio"] == 196 / 1001
    assert p.current_capital == 100000 - 1001 + 1200 - 3


def random_double(rng: random.Random) -> float:
    import struct

    kind = rng.random()
    if kind < 0.5:
        return struct.unpack("<d", struct.pack("<Q", rng.getrandbits(64)))[0]
    if kind < 0.8:
        return round(rng.uniform(-1e7, 1e7), rng.randint(0, 6))
    return rng.uniform(-1e3, 1e3) * 10.0 ** rng.randint(-25, 25)


def test_console_numbers_print_as_the_host_prints_them(pos, console):
    rng = random.Random(4)
    specials = [0.0, -0.0, 1e16, 1e15 + 0.5, 1e-5, 1e-4, 5e-324, float("inf"), float("-inf"), float("nan"),
                1.7976931348623157e308, 10 ** 30, -7]
    values = specials + [random_double(rng) for _ in range(3000)]
    for capital in values:
        pos.current_capital = capital
        console.lines.clear()
        pos.set_positions(deal("Buy", 1, 50.0, code="FMT"), "Stock")
        assert console.lines == [f"[bold pink1][做多進場]本金: {capital}, 進場價金: 50400.0, 進場成本: 71.82"
                                 "[/bold pink1]"]
    for price in [random_double(rng) for _ in range(500)]:
        if not (1 <= abs(price) < 1e12):
            continue
        c = pos._Positions__calculate_trade_cost("FMT", "Sell", abs(price), 3, "Stock", True, False)
        console.lines.clear()
        pos.set_positions(deal("Sell", 3, abs(price), code="FMT2"), "Stock")
        notional, charge = c["price"] * c["min_qty"], c["fee"] + c["fixed_cost"]
        assert f"應付金額: {notional}, 進場成本: {charge}[" in console.lines[0]


@pytest.mark.parametrize("extra", [
    {},
    {"note": "it's"},
    {"note": 'say "hi"'},
    {"note": "a\\b"},
    {"note": "tab\there"},
    {"note": "\x7f"},
    {"note": "台積電"},
    {"note": "emoji \U0001F600"},
    {"n": 10 ** 25, "m": -(2 ** 63), "k": 2 ** 63 - 1},
    {"flag": True, "other": False, "none": None},
    {"x": float("nan"), "y": float("-inf"), "z": -0.0, "w": 1e-7},
    {1: "int key", 2.5: "float key", None: "none key", True: "bool key"},
    {"tags": ["a", {"b": (1, 2)}]},
])
def test_printed_deals_and_entries_match_the_host_text(pos, console, extra):
    entry = {**deal("Buy", 1, 50.0, 1.5), **extra}
    pos.set_positions(entry, "Stock")
    sell = {**deal("Sell", 1, 55.0, 2.5), **extra}
    console.lines.clear()
    pos.set_positions(sell, "Stock")
    assert console.lines[0] == f"[green]沖銷部位: {sell}[/green]"
    assert console.lines[1] == f"[yellow]被沖銷部位: {entry}[/yellow]"
