"""A plain Python model of the account, written from the formulas, used as the
reference of the differential tests (price ladder, slippage walk, trade cost,
FIFO matching with profit rows, capital and counters).

A deal applied to the model either changes nothing (it raises) or is booked
whole; the remainder of a reversal is booked as an ordinary entry.
"""
from __future__ import annotations

import copy
import math

FUTURE_VALUES = {"TXF": 200, "MXF": 50, "TMF": 10, "EXF": 4000, "FXF": 1000, "ZEF": 500, "ZFF": 250}


def ceil_price(code: str, price: float):
    price = float(price)
    if code.startswith("00"):
        if price < 50:
            return math.ceil(price * 100) / 100, 0.01
        if price < 1000:
            return math.ceil(price * 20) / 20, 0.05
    if price < 10:
        return math.ceil(price * 100) / 100, 0.01
    if price < 50:
        return math.ceil(price * 20) / 20, 0.05
    if price < 100:
        return math.ceil(price * 10) / 10, 0.1
    if price < 500:
        return math.ceil(price * 2) / 2, 0.5
    if price < 1000:
        return math.ceil(price), 1
    return math.ceil(price / 5) * 5, 5


def slip(code: str, price: float, tick_count: int, direction) -> float:
    price = float(price)
    for _ in range(tick_count):
        rounded, step = ceil_price(code, price)
        price = float(rounded)
        if direction == "up":
            price = float(ceil_price(code, price + step)[0])
        else:
            price = float(ceil_price(code, price - step)[0])
    return price


def default_fees(per_trade_cost: int = 0) -> dict:
    def entry(fee, tax):
        return {
            "fee": fee,
            "tax": tax,
            "per_trade_cost": per_trade_cost,
            "slippage": {
                "buy": {"tick_count": 3, "direction": "up"},
                "sell": {"tick_count": 3, "direction": "down"},
            },
        }

    return {"stock": entry(0.001425, 0.003), "future": entry(2e-05, 2e-05)}


def trade_cost(fees, code, action, price, quantity, product_type, ignore_tax=False,
               need_reverse_direction=True, future_values=FUTURE_VALUES):
    if type(quantity) is not int:
        raise TypeError("quantity")
    origin = float(price)
    if product_type == "Stock":
        key = "stock"
    elif product_type == "Future":
        key = "future"
    else:
        raise Exception("不支援的商品類型: " + str(product_type))
    slippage = fees[key]["slippage"][action.lower()]
    if need_reverse_direction:
        direction = "up" if slippage["direction"] == "down" else "down"
    else:
        direction = slippage["direction"]
    if type(slippage["tick_count"]) is not int:
        raise TypeError("tick_count")
    slipped = slip(code, origin, slippage["tick_count"], direction)
    mult = 1000 if key == "stock" else future_values.get(code, 2000)
    fee = fees[key]["fee"] * quantity * mult * slipped
    tax = fees[key]["tax"] * quantity * mult * slipped
    return {
        "fee": fee,
        "tax": 0 if ignore_tax else tax,
        "fixed_cost": fees[key]["per_trade_cost"],
        "qty": quantity,
        "min_qty": quantity * mult,
        "price": slipped,
        "origin_price": origin,
    }


def new_info() -> dict:
    keys = ("entry_times", "cover_times", "entry_amount", "exit_amount", "net_profit", "extra_fee",
            "profit_times", "loss_times", "profit_total", "loss_total", "profit")
    return {k: 0 for k in keys}


class Account:
    """The account state and the deal booking, from the formulas."""

    def __init__(self, fees=None):
        self.positions: dict = {}
        self.mapper: dict = {}
        self.capital = 100000
        self.report = {"profit": 0, "rows": []}
        self.fees = fees if fees is not None else default_fees()
        self.infos: dict = {}
        self.lines: list[str] = []
        self.reversals = 0  # deals whose remainder became an entry

    def cost(self, code, action, price, quantity, product_type, ignore_tax):
        return trade_cost(self.fees, code, action, price, quantity, product_type, ignore_tax, False)

    def deal(self, trade: dict, product_type) -> None:
        code = trade["code"]
        for key in ("action", "price", "quantity", "exchange_ts", "product_type", "trade_id"):
            if key not in trade:
                raise KeyError(key)
        if not (isinstance(trade["action"], str) and str.__str__(trade["action"]) in ("Buy", "Sell")):
            raise ValueError(f"set_positions: the deal's action must be 'Buy' or 'Sell', got {trade['action']!r}")
        self.positions.setdefault(code, {"buy": [], "sell": []})
        self.mapper.setdefault(code, product_type)
        self.infos.setdefault(code, new_info())
        # Work on copies; publish only when everything succeeded.
        positions = copy.deepcopy(self.positions)
        infos = copy.deepcopy(self.infos)
        report = {"profit": self.report["profit"], "rows": list(self.report["rows"])}
        capital = self.capital
        lines: list[str] = []
        deal = dict(trade)
        buy = str.__str__(deal["action"]) == "Buy"
        own, other = ("buy", "sell") if buy else ("sell", "buy")
        info = infos[code]
        before = capital
        keep = True
        res_was_cover = bool(positions[code][other])
        if not res_was_cover:
            c = self.cost(deal["code"], deal["action"], deal["price"], deal["quantity"], product_type, True)
            capital, line = self._entry(info, capital, before, c, buy)
            lines.append(line)
        else:
            res = self._profit(positions[code][other], deal, product_type, buy, report, lines)
            report["profit"] += res["profit"]
            keep = not res["is_covered"]
            rest = None
            if keep:
                deal["quantity"] = res["un_cover_qty"]
                rest = self.cost(deal["code"], deal["action"], deal["price"], deal["quantity"], product_type, True)
            info["entry_amount"] += res["entry_total"]
            info["exit_amount"] += res["exit_total"]
            info["extra_fee"] += res["cost"]
            info["profit"] += res["profit"]
            info["net_profit"] += res["origin_profit"]
            info["cover_times"] += 1
            if res["profit"] > 0:
                info["profit_times"] += 1
                info["profit_total"] += res["profit"]
            else:
                info["loss_times"] += 1
                info["loss_total"] += res["profit"]
            if buy:
                capital += res["entry_total"] + (res["entry_total"] - res["exit_total"] - res["exit_cost_total"])
                tag, word = "[bold yellow][做空沖銷]本金: ", ", 出場價金: "
            else:
                capital += res["exit_total"] - res["exit_cost_total"]
                tag, word = "[bold yellow][做多沖銷]本金: ", ", 回收價金: "
            lines.append(tag + str(before) + word + str(res["exit_total"]) + ", 損益: " + str(res["profit"])
                         + ", 出場成本: " + str(res["exit_cost_total"]) + "[/bold yellow]")
            if rest is not None:
                capital, line = self._entry(info, capital, capital, rest, buy)
                lines.append(line)
        if keep:
            positions[code][own].append(deal)
        self.positions, self.infos, self.report, self.capital = positions, infos, report, capital
        self.reversals += keep and res_was_cover
        self.lines.extend(lines)

    @staticmethod
    def _entry(info, capital, shown, c, buy):
        info["entry_times"] += 1
        capital -= c["price"] * c["min_qty"] + c["fee"] + c["fixed_cost"]
        tag = "[bold pink1][做多進場]本金: " if buy else "[bold pink1][做空進場]本金: "
        word = ", 進場價金: " if buy else ", 應付金額: "
        line = (tag + str(shown) + word + str(c["price"] * c["min_qty"]) + ", 進場成本: "
                + str(c["fee"] + c["fixed_cost"]) + "[/bold pink1]")
        return capital, line

    def _profit(self, target, deal, product_type, buy, report, lines):
        profit = cost = 0
        left = deal["quantity"]
        entry_total = exit_total = entry_cost_total = exit_cost_total = 0
        while left > 0 and target:
            entry = target[0]
            qty = entry["quantity"] if entry["quantity"] < left else left
            a = self.cost(entry["code"], entry["action"], entry["price"], qty, product_type, True)
            b = self.cost(deal["code"], deal["action"], deal["price"], qty, product_type, False)
            lines.append("[green]沖銷部位: " + str(deal) + "[/green]")
            lines.append("[yellow]被沖銷部位: " + str(entry) + "[/yellow]")
            entry_amount = a["price"] * a["min_qty"]
            exit_amount = b["price"] * b["min_qty"]
            entry_cost = a["fee"] + a["tax"] + a["fixed_cost"]
            exit_cost = b["fee"] + b["tax"] + b["fixed_cost"]
            entry_cost_total += entry_cost
            exit_cost_total += exit_cost
            entry_total += entry_amount
            exit_total += exit_amount
            if buy:
                piece = entry_amount - exit_amount - (entry_cost + exit_cost)
                divisor = entry_amount - entry_cost
            else:
                piece = exit_amount - entry_amount - (entry_cost + exit_cost)
                divisor = entry_amount + entry_cost
            ratio = 0 if divisor == 0 else piece / divisor
            profit += piece
            cost += entry_cost + exit_cost
            report["rows"].append({
                "code": deal["code"], "entry_action": entry["action"], "entry_dt": entry["exchange_ts"],
                "entry_price": a["price"], "entry_origin_price": a["origin_price"],
                "exit_action": deal["action"], "exit_dt": deal["exchange_ts"], "exit_price": b["price"],
                "exit_origin_price": b["origin_price"], "qty": b["qty"], "min_qty": b["min_qty"],
                "trade_cost": entry_cost, "cover_cost": exit_cost, "cover_cost_fee": b["fee"],
                "cover_cost_tax": b["tax"], "cover_cost_fixed": b["fixed_cost"], "trade_cost_fee": a["fee"],
                "trade_cost_tax": a["tax"], "trade_cost_fixed": a["fixed_cost"], "profit": piece,
                "profit_ratio": ratio, "entry_amount": entry_amount, "exit_amount": exit_amount,
            })
            left -= qty
            entry["quantity"] -= qty
            if entry["quantity"] == 0:
                target.pop(0)
        return {"entry_total": entry_total, "exit_total": exit_total, "origin_profit": 0,
                "entry_cost_total": entry_cost_total, "exit_cost_total": exit_cost_total, "cost": cost,
                "profit": profit, "is_covered": left == 0, "un_cover_qty": left}
