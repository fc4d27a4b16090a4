"""The event-driven replay: Python runs only at events.

Events, all anchored at global tick indices of the time-sorted tape (the
tick that "arrives"), are processed in this order at each index i:

1. timers that fell before tick i, in time order: session ends (resting
   orders good for that session expire, then `on_session_end`) and the
   optional flattening before a session's end;
2. fills at tick i of resting orders, in order-id order (`on_fill` each);
3. bars closed by the arrival of tick i, in subscription order, oldest
   first (`on_bar` each);
4. tick i itself for a strategy that subscribed to its code (`on_tick`).

Order notices (`on_order`) are delivered right after the hook that caused
them.

A roll (the code's ticks change contract, as the daily-file reader marks
them) is two timers and a switch: right after the old contract's last tick
its resting orders are cancelled and its position closed at its last
eligible price; before the new contract's first tick the position is
reopened by a market order (`roll="carry"`) and `on_roll` is called; at that
first tick, once it is known, back-adjusted bars move to the new contract's
prices.  An order produced at tick i may fill from tick i + 1 on; one produced
by a timer before tick i from tick i on.  The whole tape's bars and the
ticks that can fill an order are found in bulk (`tape`); between events no
Python runs per tick.
"""
from __future__ import annotations

import bisect
import heapq
import math
import time
from dataclasses import replace
from datetime import datetime

import numpy as np

from kelvo_orra_backtest.engine.costs import CostProfile, contract_value, on_ladder
from kelvo_orra_backtest.engine.orders import TIFS, Bar, Fill, Order, Tick
from kelvo_orra_backtest.engine.sessions import Session, session_ends
from kelvo_orra_backtest.engine.strategy import Strategy
from kelvo_orra_backtest.engine.tape import ADJUSTS, UNITS, Tape, first_where

__all__ = ["Context", "Engine", "StrategyError"]

_TIMER, _ROLL, _BAR, _TICK = 0, 1, 2, 3
ROLLS = ("carry", "flatten")


class StrategyError(RuntimeError):
    """A strategy's hook raised; the message says which hook, when and on which code."""


class Context:
    """What a strategy sees of the run: orders, account, time and bars."""

    def __init__(self, engine: "Engine") -> None:
        self._e = engine
        self.session: Session | None = None  # the session that just ended, in on_session_end

    # --- subscriptions (on_start only)
    def subscribe(self, code: str, unit: str = "m", freq: int = 1, adjust: str = "none") -> None:
        """Bars of `code` at `unit` and `freq` for `on_bar` and `bars`; `adjust` "difference" or
        "ratio" back-adjusts the bars of earlier contracts to the one in force."""
        self._e.subscribe(code, unit, freq, adjust)

    def subscribe_ticks(self, code: str) -> None:
        """Every tick of `code` for `on_tick`."""
        self._e.subscribe_ticks(code)

    # --- orders
    def buy(self, code: str, qty: int, limit: float | None = None, stop: float | None = None,
            tif: str = "ROD") -> int:
        """A buy order; market without prices, limit, stop, or stop-limit with both. Returns its id."""
        return self._e.place(code, "Buy", qty, limit, stop, tif)

    def sell(self, code: str, qty: int, limit: float | None = None, stop: float | None = None,
             tif: str = "ROD") -> int:
        """A sell order, as `buy`. Returns its id."""
        return self._e.place(code, "Sell", qty, limit, stop, tif)

    def cancel(self, order_id: int) -> bool:
        """Cancels a resting order; False when it is no longer open."""
        return self._e.cancel(order_id, "cancelled by the strategy")

    def close(self, code: str) -> int | None:
        """Cancels the code's open orders and sends a market order that flattens it (None when flat)."""
        return self._e.flatten(code, "close")

    def order(self, order_id: int) -> Order:
        return self._e.orders[order_id - 1]

    def open_orders(self, code: str | None = None) -> list[Order]:
        return [o for o in self._e.active.values() if code is None or o.code == code]

    # --- account
    def position(self, code: str) -> int:
        """Signed open quantity in lots or contracts."""
        return self._e.position.get(code, 0)

    @property
    def cash(self) -> float:
        return self._e.account.current_capital

    @property
    def equity(self) -> float:
        """Cash plus the open positions valued at their codes' last prices."""
        return self._e.equity_now()

    @property
    def account(self):
        return self._e.account

    @property
    def quotes(self):
        """The quote store holding every tick up to now (filled on first use)."""
        return self._e.synced_quotes()

    def position_rows(self, account_type: str = "Future", detail: bool = False) -> list:
        """The account's position views (summary or detail rows), asked for through its request queue."""
        return self._e.position_rows(account_type, detail)

    # --- time and bars
    @property
    def timestamp(self) -> float:
        return self._e.now

    @property
    def now(self) -> datetime:
        return datetime.fromtimestamp(self._e.now)

    def bars(self, code: str, unit: str = "m", freq: int = 1, n: int | None = None, adjust: str = "none"):
        """The last `n` completed bars of a subscription (polars; the forming bar is never in it)."""
        series = self._e.series_of(code, unit, freq, adjust)
        return series.completed(n)

    def contract(self, code: str) -> str | None:
        """The contract month the code trades now (None when the ticks carry no contracts)."""
        return self._e.contract_now.get(code)

    @property
    def codes(self) -> list[str]:
        """The codes that have ticks in this run."""
        return list(self._e.tape.codes)

    def market_type(self, code: str) -> str:
        """"Stock" or "Future"."""
        return self._e.tape.codes[code].market_type

    @property
    def params(self) -> dict:
        return dict(self._e.params)


class Engine:
    def __init__(self, strategy, params: dict, tape: Tape, account, costs: CostProfile, *,
                 partial_fills: bool = False, latency_ticks: int = 0, latency_ms: float = 0.0,
                 flatten_minutes: float | None = None, check_capital: bool = False,
                 quotes_factory=None, windows: dict | None = None, holidays=frozenset(), progress=None,
                 roll: str = "carry") -> None:
        self.strategy = strategy
        self.params = params
        self.tape = tape
        self.account = account
        self.costs = costs
        self.partial = partial_fills
        self.latency_ticks = latency_ticks
        self.latency_s = latency_ms / 1000.0
        self.flatten_minutes = flatten_minutes
        self.check_capital = check_capital
        self.quotes_factory = quotes_factory
        self.windows = windows or {}
        self.holidays = holidays
        self.progress = progress
        self.ctx = Context(self)
        self.now = float(tape.ts[0])
        self.index = 0  # global index of the current event (ticks before it are known)
        self.started = False
        self.sub_bars: list[tuple[str, tuple]] = []  # (code, bar key)
        self.sub_ticks: list[str] = []
        self.orders: list[Order] = []
        self.active: dict[int, Order] = {}
        self.fills: list[Fill] = []
        self.position: dict[str, int] = {}
        self.lots: dict[str, list] = {}  # code -> FIFO of [signed qty, booked price] of open fills
        self.entry_cost: dict[int, tuple[float, float, int]] = {}  # fill id -> (commission, tax, qty)
        self.heap: list = []
        self.notices: list[Order] = []
        self.consumed: dict[int, int] = {}  # tick index -> quantity taken by partial fills
        self.sessions: dict[str, list[Session]] = {}
        self.session_ends: dict[str, list[float]] = {}
        self.ledger: list[tuple] = []  # after each fill: (timestamp, cash, realised, code, position, basis)
        self.quotes = None
        self.fed = 0
        self.in_timer = True  # an event before tick `index` (a timer, the start, the end) rather than at it
        self.mult: dict[str, int] = {}
        self.timings: dict[str, float] = {}  # seconds per phase, for the benchmarks
        if roll not in ROLLS:
            raise ValueError(f"roll must be one of {', '.join(map(repr, ROLLS))}, got {roll!r}")
        self.roll = roll
        self.contract_now = {c: t.contracts[0] for c, t in tape.codes.items() if t.contracts}
        self.carry: dict[str, int] = {}  # code -> signed quantity closed at a roll, to reopen
        self.rolls: list[dict] = []

    # ----------------------------------------------------------- subscriptions
    def subscribe(self, code: str, unit: str, freq: int, adjust: str = "none") -> None:
        if self.started:
            raise RuntimeError("subscribe is only possible in on_start")
        if code not in self.tape.codes:
            raise ValueError(f"subscribe: code {code!r} has no ticks in this run (codes: {', '.join(self.tape.codes)})")
        if unit not in UNITS:
            raise ValueError(f"subscribe: unit must be one of {list(UNITS)}, got {unit!r}")
        if isinstance(freq, bool) or not isinstance(freq, int) or freq < 1:
            raise ValueError(f"subscribe: freq must be a whole number of 1 or more, got {freq!r}")
        if adjust not in ADJUSTS:
            raise ValueError(f"subscribe: adjust must be one of {list(ADJUSTS)}, got {adjust!r}")
        key = (code, _bar_key(unit, freq, adjust))
        if key not in self.sub_bars:
            self.sub_bars.append(key)

    def subscribe_ticks(self, code: str) -> None:
        if self.started:
            raise RuntimeError("subscribe_ticks is only possible in on_start")
        if code not in self.tape.codes:
            raise ValueError(f"subscribe_ticks: code {code!r} has no ticks in this run")
        if code not in self.sub_ticks:
            self.sub_ticks.append(code)

    def series_of(self, code: str, unit: str, freq: int, adjust: str = "none"):
        try:
            return self.tape.codes[code].bars[_bar_key(unit, freq, adjust)]
        except (KeyError, TypeError):
            what = f"{code} {freq}{unit}" + ("" if adjust == "none" else f" adjust={adjust!r}")
            raise KeyError(f"bars: no subscription to {what} (subscribe in on_start)") from None

    # ----------------------------------------------------------------- orders
    def _next_id(self) -> int:
        return len(self.orders) + 1

    def place(self, code, side, qty, limit, stop, tif, tag: str = "") -> int:
        if tif not in TIFS:
            raise ValueError(f"tif must be one of {', '.join(TIFS)}, got {tif!r}")
        for name, value in (("limit", limit), ("stop", stop)):
            if value is not None and (isinstance(value, bool) or not isinstance(value, (int, float))):
                raise TypeError(f"{name} must be a number or None, got {type(value).__name__}")
        if isinstance(qty, bool) or not isinstance(qty, int):
            raise TypeError(f"qty must be an int (lots or contracts), got {type(qty).__name__}")
        kind = "market" if limit is None and stop is None else "limit" if stop is None else \
            "stop" if limit is None else "stop_limit"
        order = Order(self._next_id(), code, side, qty, kind,
                      None if limit is None else float(limit), None if stop is None else float(stop), tif,
                      self.now, tag=tag, contract=self.contract_now.get(code))
        self.orders.append(order)
        reason = self._rejection(order)
        if reason:
            order.status, order.reason = "rejected", reason
            self.notices.append(replace(order))
            return order.id
        tape = self.tape.codes[code]
        order.start = self.index if self.in_timer else self.index + 1
        if order.tif == "ROD":
            order.expiry = self._session_end_after(tape.market_type, self.now)
        pos = tape.next_eligible(order.start)
        if tag != "roll":  # a roll's reopening takes the new contract's first eligible tick
            if self.latency_s:
                pos = max(pos, int(np.searchsorted(tape.e_ts, self.now + self.latency_s, "left")))
            pos += self.latency_ticks
        # the session's closing auction, stamped at its end, still belongs to it
        order.end_pos = int(np.searchsorted(tape.e_ts, order.expiry, "right")) if math.isfinite(order.expiry) \
            else len(tape.e_index)
        self.active[order.id] = order
        price = order.limit if order.limit is not None else order.stop if order.stop is not None else \
            (tape.last_price(self.known_index) or 0.0)
        self.account.add_trade_record(f"O{order.id}", code, side, qty, price, self.now, "Order")
        self.notices.append(replace(order))
        self._schedule(order, pos)
        return order.id

    def _rejection(self, o: Order) -> str:
        if o.code not in self.tape.codes:
            return f"unknown code {o.code!r}"
        if o.qty <= 0:
            return f"quantity {o.qty} is not above 0"
        market = self.tape.codes[o.code].market_type
        for name, value in (("limit", o.limit), ("stop", o.stop)):
            if value is not None and not on_ladder(o.code, market, value):
                return f"{name} price {value} is not on the exchange's price ladder"
        if self.check_capital:
            held = self.position.get(o.code, 0)
            # the part of the order that opens a position rather than covering one
            opening = max(0, o.qty - max(0, -held if o.side == "Buy" else held))
            if opening:
                price = o.limit or o.stop or self.tape.codes[o.code].last_price(self.known_index) or 0.0
                mult = 1000 if market == "Stock" else contract_value(o.code)
                need = price * opening * mult
                if need > self.account.current_capital:
                    return f"not enough capital ({need:,.0f} needed, {self.account.current_capital:,.0f} available)"
        return ""

    @property
    def known_index(self) -> int:
        """Global index of the last tick known at this event (a timer comes before tick `index`)."""
        return self.index - 1 if self.in_timer else self.index

    def _session_end_after(self, market: str, t: float) -> float:
        ends = self.session_ends.get(market)
        if not ends:
            return math.inf
        k = bisect.bisect_right(ends, t)
        return ends[k] if k < len(ends) else math.inf

    def _schedule(self, o: Order, pos: int) -> None:
        """Finds the eligible tick from position `pos` on at which the order fills or triggers."""
        tape = self.tape.codes[o.code]
        hi = o.end_pos
        o.cand = -1
        if pos >= hi:
            return
        mask = tape.e_qty > 0 if self.partial else None
        if o.tif in ("IOC", "FOK") and (o.type in ("market", "limit") or o.triggered):
            cand = pos
        elif o.type == "market" or (o.type == "stop" and o.triggered):
            cand = pos if mask is None else _first_true(mask, pos, hi)
        elif o.type == "limit" or o.triggered:
            cand = first_where(tape.e_price, pos, hi, "<=" if o.side == "Buy" else ">=", o.limit, mask)
        else:
            cand = first_where(tape.e_price, pos, hi, ">=" if o.side == "Buy" else "<=", o.stop, None)
        if cand < hi:
            o.cand = cand
            heapq.heappush(self.heap, (int(tape.e_index[cand]), o.id, cand))

    def cancel(self, order_id: int, reason: str, status: str = "cancelled") -> bool:
        o = self.active.pop(order_id, None) if isinstance(order_id, int) else None
        if o is None:
            return False
        o.status, o.reason, o.cand = status, reason, -1
        self.account.add_trade_record(f"O{o.id}", o.code, o.side, o.remaining, o.limit or o.stop or 0.0,
                                      self.now, "Cancel")
        self.notices.append(replace(o))
        return True

    def flatten(self, code: str, tag: str) -> int | None:
        for o in [o for o in self.active.values() if o.code == code]:
            self.cancel(o.id, f"cancelled by {tag}")
        held = self.position.get(code, 0)
        if not held:
            return None
        return self.place(code, "Sell" if held > 0 else "Buy", abs(held), None, None, "ROD", tag=tag)

    # ------------------------------------------------------------------ fills
    def _fill_at(self, o: Order, i: int, pos: int) -> None:
        tape = self.tape.codes[o.code]
        price = float(tape.e_price[pos])
        buy = o.side == "Buy"
        if o.type in ("stop", "stop_limit") and not o.triggered:
            o.triggered = True
        if o.type == "limit" or (o.type == "stop_limit"):
            crosses = price <= o.limit if buy else price >= o.limit
            if not crosses:
                if o.tif in ("IOC", "FOK"):
                    self.cancel(o.id, f"{o.tif}: the first eligible tick ({price}) did not reach the limit")
                else:
                    self._schedule(o, pos + 1)
                return
            fill_price = min(o.limit, price) if buy else max(o.limit, price)
        else:
            fill_price = price
        qty = o.remaining
        if self.partial:
            avail = int(tape.e_qty[pos]) - self.consumed.get(i, 0)
            if o.tif == "FOK" and avail < qty:
                self.cancel(o.id, f"FOK: the tick's quantity {max(avail, 0)} is below {qty}")
                return
            qty = max(0, min(qty, avail))
        if qty:
            if self.partial:
                self.consumed[i] = self.consumed.get(i, 0) + qty
            self._book(o, i, qty, price, fill_price)
        if o.remaining and o.active:
            if o.tif == "IOC":
                self.cancel(o.id, "IOC: the rest was not filled at the first eligible tick")
            else:
                self._schedule(o, pos + 1)

    def _book(self, o: Order, i: int, qty: int, tick_price: float, fill_price: float) -> None:
        code, side, acc = o.code, o.side, self.account
        market = self.tape.codes[code].market_type
        ts = float(self.tape.ts[i])
        held = self.position.get(code, 0)
        covering = min(qty, max(0, -held)) if side == "Buy" else min(qty, max(0, held))
        fill_id = len(self.fills) + 1
        ours = self.costs.engine_books(market)
        if ours:
            booked = self.costs.slipped(code, side, fill_price)
            fee, tax = self.costs.futures_costs(code, booked, qty)
            deal_price = booked
        else:
            leg = acc._Positions__calculate_trade_cost(code, side, fill_price, qty, market,
                                                       ignore_tax=covering == 0, need_reverse_direction=False)
            booked = float(leg["price"])
            fee = leg["fee"] + leg["fixed_cost"]
            tax = leg["tax"] * covering / qty if qty else 0.0
            deal_price = fill_price
        deal = {"code": code, "action": side, "price": deal_price, "quantity": qty, "exchange_ts": ts,
                "product_type": market, "trade_id": f"O{o.id}", "fill_id": fill_id}
        acc.add_trade_record(f"O{o.id}", code, side, qty, deal_price, ts, "Deal")
        if ours:
            opposite = acc.positions.get(code, {}).get("sell" if side == "Buy" else "buy", [])
            before = [(e["fill_id"], e["quantity"]) for e in opposite]
            rows_before = len(acc._profit_report["rows"])
            capital_before = acc.current_capital
        acc.set_positions(deal, market)
        if ours:
            self._add_futures_costs(code, side, qty, fee, tax, before, rows_before, capital_before, fill_id)
        o.filled += qty
        if not o.remaining:
            o.status = "filled"
            self.active.pop(o.id, None)
        self.position[code] = held + (qty if side == "Buy" else -qty)
        self._move_lots(code, qty if side == "Buy" else -qty, booked, market)
        fill = Fill(fill_id, o.id, code, side, qty, ts, tick_price, fill_price, booked, fee, tax, o.tag,
                    self.tape.codes[code].contract_at(i))
        self.fills.append(fill)
        basis = sum(q * p for q, p in self.lots.get(code, ()))
        self.ledger.append((ts, acc.current_capital, acc._profit_report["profit"], code, self.position[code], basis))
        self.now = ts
        self.call("on_fill", code, fill)

    def _add_futures_costs(self, code, side, qty, fee, tax, before, rows_before, capital_before, fill_id) -> None:
        """Books a futures fill's commission and tax into the account (exchange profile)."""
        acc = self.account
        acc.current_capital -= fee + tax
        rows = acc._profit_report["rows"][rows_before:]
        extra_total = 0.0
        queue = list(before)
        k = 0
        covered = 0
        for row in rows:
            piece = row["qty"]
            while k < len(queue) and queue[k][1] == 0:
                k += 1
            entry_fill = queue[k][0] if k < len(queue) else None
            if k < len(queue):
                queue[k] = (queue[k][0], queue[k][1] - piece)
            e_fee, e_tax, e_qty = self.entry_cost.get(entry_fill, (0.0, 0.0, 1))
            ef, et = e_fee * piece / e_qty, e_tax * piece / e_qty
            xf, xt = fee * piece / qty, tax * piece / qty
            row["trade_cost_fee"] += ef
            row["trade_cost_tax"] += et
            row["trade_cost"] += ef + et
            row["cover_cost_fee"] += xf
            row["cover_cost_tax"] += xt
            row["cover_cost"] += xf + xt
            row["profit"] -= ef + et + xf + xt
            entry = row["entry_amount"]
            divisor = entry - row["trade_cost"] if side == "Buy" else entry + row["trade_cost"]
            row["profit_ratio"] = row["profit"] / divisor if divisor else 0
            extra_total += ef + et + xf + xt
            covered += piece
        if rows:
            info = acc._account_infos[code]
            cover_profit = sum(r["profit"] for r in rows)
            was = cover_profit + extra_total
            acc._profit_report["profit"] -= extra_total
            info["extra_fee"] += extra_total
            info["profit"] -= extra_total
            if was > 0 and cover_profit <= 0:
                info["profit_times"] -= 1
                info["profit_total"] -= was
                info["loss_times"] += 1
                info["loss_total"] += cover_profit
            elif was > 0:
                info["profit_total"] -= extra_total
            else:
                info["loss_total"] -= extra_total
        opened = qty - covered
        if opened > 0:
            self.entry_cost[fill_id] = (fee * opened / qty, tax * opened / qty, opened)

    def _move_lots(self, code: str, signed: int, price: float, market: str) -> None:
        """FIFO of the open fills at their booked prices, for the equity valuation."""
        lots = self.lots.setdefault(code, [])
        mult = 1000 if market == "Stock" else contract_value(code)
        while signed and lots and (lots[0][0] > 0) != (signed > 0):
            take = min(abs(signed), abs(lots[0][0]))
            lots[0][0] += take if lots[0][0] < 0 else -take
            signed += -take if signed > 0 else take
            if lots[0][0] == 0:
                lots.pop(0)
        if signed:
            lots.append([signed, price])
        self.mult[code] = mult

    def equity_now(self) -> float:
        total = self.account.current_capital
        for code, lots in self.lots.items():
            if not lots:
                continue
            tape = self.tape.codes[code]
            last = tape.last_price(self.known_index) or lots[-1][1]
            mult = self.mult[code]
            for q, p in lots:
                # a long gives back its value; a short its entry value plus its price gain
                total += q * last * mult if q > 0 else (-q) * (2 * p - last) * mult
        return total

    # ------------------------------------------------------------------ views
    def synced_quotes(self):
        """The user-visible quote store, holding the ticks known at this event."""
        if self.quotes is None:
            self.quotes = self.quotes_factory()
        upto = self.index if self.in_timer else self.index + 1
        upto = min(upto, self.tape.n)
        if upto > self.fed:
            self.quotes.add_ticks(self.tape.frame.slice(self.fed, upto - self.fed))
            self.fed = upto
        return self.quotes

    def full_quotes(self):
        """The quote store with every tick of the run (for the reports, after the run)."""
        self.index, self.in_timer = self.tape.n, True
        return self.synced_quotes()

    def position_rows(self, account_type: str, detail: bool) -> list:
        acc = self.account
        upto = self.index if self.in_timer else self.index + 1
        for code, tape in self.tape.codes.items():
            pos = int(np.searchsorted(tape.index, upto, "left")) - 1
            if pos >= 0:
                acc.set_current_tick(self.tape.tick_dict(int(tape.index[pos])))
        acc.fetch_positions(account_type, detail)
        rows = acc.pop_positions()
        acc.add_finish_notify_to_queue()
        acc.pop_finish_notify()
        return rows

    # ------------------------------------------------------------------- hooks
    def call(self, hook: str, code: str, *args) -> None:
        fn = getattr(self.strategy, hook)
        try:
            fn(self.ctx, *args)
        except Exception as exc:
            raise self.hook_error(hook, code, exc) from exc
        if self.notices:
            self.flush_notices()

    def hook_error(self, hook: str, code: str, exc: Exception) -> StrategyError:
        when = datetime.fromtimestamp(self.now).isoformat(sep=" ")
        where = f" on {code}" if code else ""
        return StrategyError(f"{type(self.strategy).__name__}.{hook} raised {type(exc).__name__}: {exc} "
                             f"(at {when}{where})")

    def flush_notices(self) -> None:
        """Delivers the order notices the last action produced, and those their hooks produce."""
        while self.notices:
            notices, self.notices = self.notices, []
            for notice in notices:
                try:
                    self.strategy.on_order(self.ctx, notice)
                except Exception as exc:
                    when = datetime.fromtimestamp(self.now).isoformat(sep=" ")
                    raise StrategyError(f"{type(self.strategy).__name__}.on_order raised {type(exc).__name__}: "
                                        f"{exc} (at {when} on {notice.code})") from exc

    # -------------------------------------------------------------------- loop
    def run(self) -> None:
        tape = self.tape
        clock = time.perf_counter()
        self.in_timer = True
        markets = sorted({t.market_type for t in tape.codes.values()})
        for market in markets:
            if len(markets) == 1:
                market_ts = tape.ts[~tape.is_simulate] if tape.is_simulate.any() else tape.ts
            else:
                of_code = np.array([tape.codes[c].market_type == market for c in tape.code_names])
                market_ts = tape.ts[of_code[tape.code_id] & ~tape.is_simulate]
            self.sessions[market] = session_ends(market, self.windows.get(market, []), float(tape.ts[0]),
                                                 float(tape.ts[-1]), market_ts, self.holidays)
            # an ROD order is good until the next session the calendar or the data trade
            self.session_ends[market] = [s.end for s in self.sessions[market] if s.trading or s.had_ticks]
        self.call("on_start", "")
        self.timings["sessions"] = time.perf_counter() - clock
        self.started = True
        # every code's one-minute bars value the equity curve
        wanted: dict[str, list] = {code: [("m", 1)] for code in tape.codes}
        for code, key in self.sub_bars:
            if key not in wanted[code]:
                wanted[code].append(key)
        clock = time.perf_counter()
        tape.build_bars(wanted, self.quotes_factory)
        self.timings["bars"] = time.perf_counter() - clock
        clock = time.perf_counter()
        st_idx, st_kind, st_a, st_b, timers, series = self._static_events()
        self.timings["events"] = time.perf_counter() - clock
        clock = time.perf_counter()
        n_static = len(st_idx)
        heap = self.heap
        k = 0
        step = max(1, tape.n // 200)
        next_report = step
        call = self.call
        strategy_bar = type(self.strategy).on_bar is not _base_hook("on_bar")
        on_bar, ctx = self.strategy.on_bar, self.ctx
        strategy_tick = type(self.strategy).on_tick is not _base_hook("on_tick")
        while k < n_static or heap:
            i = st_idx[k] if k < n_static else tape.n + 1
            if heap and heap[0][0] < i:
                i = heap[0][0]
            if i > tape.n:
                break
            self.index = i
            if self.progress is not None and i >= next_report:
                self.progress(i)
                next_report = i + step
            # 1. timers before tick i
            self.in_timer = True
            while k < n_static and st_idx[k] == i and st_kind[k] == _TIMER:
                self._timer(timers[st_a[k]])
                k += 1
            self.in_timer = False
            if i < tape.n:
                self.now = float(tape.ts[i])
            # 2. fills at tick i
            while heap and heap[0][0] == i:
                _, oid, pos = heapq.heappop(heap)
                o = self.active.get(oid)
                if o is not None and o.cand == pos:
                    self._fill_at(o, i, pos)
                    self.flush_notices()  # an IOC/FOK cancelled at this tick is told now, not at the next hook
            self.consumed.clear()
            # 3. bars, 4. the tick
            if i >= tape.n:
                self.now = float(tape.ts[-1])
            while k < n_static and st_idx[k] == i:
                kind = st_kind[k]
                if kind == _BAR:
                    s = series[st_a[k]]
                    b = st_b[k]
                    s.closed = b + 1
                    if strategy_bar:  # the hot path: the hook called here, not through `call`
                        try:
                            if s.adjust == "none":
                                bar = Bar(s.code, s.unit, s.freq, s.dts[b], s.opens[b], s.highs[b], s.lows[b],
                                          s.closes[b], s.volumes[b])
                            else:
                                bar = Bar(s.code, s.unit, s.freq, s.dts[b], *s.bar_args(b), s.volumes[b])
                            on_bar(ctx, bar)
                        except Exception as exc:
                            raise self.hook_error("on_bar", s.code, exc) from exc
                        if self.notices:
                            self.flush_notices()
                elif kind == _TICK and strategy_tick:
                    call("on_tick", tape.code_names[tape.code_id[i]], self._tick(i))
                elif kind == _ROLL:
                    self._restate(st_a[k], st_b[k])
                k += 1
        self.index = tape.n
        self.in_timer = True
        self.now = float(tape.ts[-1])
        if self.progress is not None:
            self.progress(tape.n)
        self.call("on_stop", "")
        self.timings["loop"] = time.perf_counter() - clock
        for o in list(self.active.values()):
            o.status, o.reason = "open", "the data ended while it rested"
        self.active.clear()

    def _tick(self, i: int) -> Tick:
        t = self.tape
        code = t.code_names[t.code_id[i]]
        return Tick(float(t.ts[i]), code, t.codes[code].market_type, float(t.close[i]), int(t.qty[i]),
                    int(t.tick_type[i]), bool(t.is_simulate[i]))

    def _timer(self, timer) -> None:
        kind, session = timer
        if kind in ("roll_close", "roll_open"):
            self._roll_timer(kind, *session)
            return
        self.now = session.end if kind == "session" else session.end - self.flatten_minutes * 60
        if kind == "session":
            for o in [o for o in self.active.values() if o.expiry == session.end]:
                self.cancel(o.id, "the session ended", status="expired")
            self.flush_notices()
            if session.had_ticks:
                self.ctx.session = session
                try:
                    self.call("on_session_end", "")
                finally:
                    self.ctx.session = None
        else:
            for code, tape in self.tape.codes.items():
                if tape.market_type == session.market_type:
                    self.flatten(code, "flatten")
            self.flush_notices()

    # ------------------------------------------------------------------ rolls
    def _roll_timers(self) -> list[tuple[int, float, tuple]]:
        """(index, time, timer) of every roll: the close right after the old contract's last tick,
        the reopening before the new contract's first."""
        out = []
        for code in self.tape.code_names:
            tape = self.tape.codes[code]
            for r in range(1, len(tape.contracts)):
                first = int(tape.seg_start[r])
                last = tape.last_tick_before(first)
                out.append((last + 1, float(self.tape.ts[last]), ("roll_close", (code, r))))
                out.append((first, float(self.tape.ts[first]), ("roll_open", (code, r))))
        return out

    def _roll_timer(self, kind: str, code: str, r: int) -> None:
        tape = self.tape.codes[code]
        old, new = tape.contracts[r - 1], tape.contracts[r]
        first = int(tape.seg_start[r])
        if kind == "roll_close":
            last = tape.last_tick_before(first)
            self.now = float(self.tape.ts[last])
            for o in [o for o in self.active.values() if o.code == code]:
                self.cancel(o.id, f"the contract {old} rolled to {new}")
            self.contract_now[code] = new
            self.flush_notices()
            held = self.position.get(code, 0)
            record = {"code": code, "old": old, "new": new, "old_last": float(self.tape.ts[last]),
                      "new_first": float(self.tape.ts[first]), "qty": held, "close_price": None,
                      "close_order": None, "open_order": None}
            self.rolls.append(record)
            if held:
                pos = int(np.searchsorted(tape.e_index, first, "left")) - 1
                side = "Sell" if held > 0 else "Buy"
                o = Order(self._next_id(), code, side, abs(held), "market", None, None, "IOC", self.now,
                          tag="roll", contract=old)
                self.orders.append(o)
                self.account.add_trade_record(f"O{o.id}", code, side, o.qty, float(tape.e_price[pos]) if pos >= 0
                                              else 0.0, self.now, "Order")
                record["close_order"] = o.id
                if pos < 0 or int(tape.e_index[pos]) < int(tape.seg_start[r - 1]):
                    # no tick of the old contract could fill it
                    o.status, o.reason = "cancelled", f"the contract {old} had no eligible tick to close at"
                    self.notices.append(replace(o))
                    self.flush_notices()
                    return
                self.notices.append(replace(o))
                price = float(tape.e_price[pos])
                record["close_price"] = price
                self.active[o.id] = o
                # booked at the last eligible price, at the instant the old contract's trading ended
                self._book(o, last, o.qty, price, price)
                self.now = float(self.tape.ts[last])
                self.flush_notices()
                if self.roll == "carry":
                    self.carry[code] = held
            return
        self.now = float(self.tape.ts[first])
        record = next(x for x in reversed(self.rolls) if x["code"] == code)
        held = self.carry.pop(code, 0)
        if held:
            record["open_order"] = self.place(code, "Buy" if held > 0 else "Sell", abs(held), None, None, "ROD",
                                              tag="roll")
            self.flush_notices()
        self.call("on_roll", code, code, old, new)

    def _restate(self, code_id: int, r: int) -> None:
        """The new contract's first tick is known: back-adjusted bars move to its prices."""
        tape = self.tape.codes[self.tape.code_names[code_id]]
        for s in tape.bars.values():
            s.enter_segment(r)

    def _static_events(self):
        """Timers, bar closes and subscribed ticks as one sorted event list."""
        tape = self.tape
        idx, kind, a, b = [], [], [], []
        timers: list = []
        for market, ends in self.sessions.items():
            for s in ends:
                if self.flatten_minutes:
                    t = s.end - self.flatten_minutes * 60
                    timers.append((t, ("flatten", s)))
                timers.append((s.end, ("session", s)))
        # a session ends after the ticks stamped at its end; flattening starts at its instant
        placed = [(int(np.searchsorted(tape.ts, t, "right" if kind == "session" else "left")), t, (kind, s))
                  for t, (kind, s) in timers]
        placed += self._roll_timers()
        placed.sort(key=lambda x: (x[0], x[1]))
        timers = [(t, timer) for _, t, timer in placed]
        if timers:
            at = np.array([x[0] for x in placed], dtype=np.int64)
            idx.append(at)
            kind.append(np.full(len(timers), _TIMER))
            a.append(np.arange(len(timers)))
            b.append(np.zeros(len(timers), dtype=np.int64))
        series = []
        for code, key in self.sub_bars:
            s = tape.codes[code].bars[key]
            sid = len(series)
            series.append(s)
            nb = len(s.close_at)
            idx.append(s.close_at)
            kind.append(np.full(nb, _BAR))
            a.append(np.full(nb, sid))
            b.append(np.arange(nb))
        for cid, code in enumerate(tape.code_names):
            starts = tape.codes[code].seg_start[1:]
            if len(starts):
                idx.append(starts)
                kind.append(np.full(len(starts), _ROLL))
                a.append(np.full(len(starts), cid))
                b.append(np.arange(1, len(starts) + 1))
        for code in self.sub_ticks:
            ix = tape.codes[code].index
            idx.append(ix)
            kind.append(np.full(len(ix), _TICK))
            a.append(np.zeros(len(ix), dtype=np.int64))
            b.append(np.zeros(len(ix), dtype=np.int64))
        if not idx:
            return [], [], [], [], [t for _, t in timers], series
        idx_ = np.concatenate(idx)
        kind_ = np.concatenate(kind)
        a_ = np.concatenate(a)
        b_ = np.concatenate(b)
        order = np.lexsort((b_, a_, kind_, idx_))
        return (idx_[order].tolist(), kind_[order].tolist(), a_[order].tolist(), b_[order].tolist(),
                [t for _, t in timers], series)


def _bar_key(unit: str, freq: int, adjust: str) -> tuple:
    return (unit, freq) if adjust == "none" else (unit, freq, adjust)


def _base_hook(name: str):
    return getattr(Strategy, name)


def _first_true(mask, lo, hi):
    hit = np.flatnonzero(mask[lo:hi])
    return lo + int(hit[0]) if len(hit) else hi

