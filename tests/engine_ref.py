"""The plain per-tick reference loop: the slow, straightforward twin of the
event-driven engine, written from docs/engine.md alone.

Every tick, in time order, goes through the same steps:

- it is fed to a row-wise `QuoteManager` (`add_tick`); the records the store
  appends for it (the virtual ticks of empty minutes and the tick itself,
  each with its stored `dt`) are bucketed into bars by `bucket` and
  aggregated here, so a bar closes when a record of a later bar arrives;
- the session ends and flattening times that fell before it run;
- every resting order of its code is checked against it with the fill
  rules, in order-id order;
- the bars it closed, then the tick itself, go to the strategy.

Where the code's contract changes (a `contract` column), the roll's close
runs as a timer once the old contract's last tick is past, and its
reopening and `on_roll` as a timer before the new contract's first tick.

The reference shares with the engine only what is not under test: the data
classes handed to the hooks (`Order`, `Fill`, `Bar`, `Tick`, `Session`), the
cost profile's arithmetic (`CostProfile`: the slipped price, commission and
tax of a futures fill; the price ladder) and the account itself, which books
every order, deal and cancel (`add_trade_record`) and every fill
(`set_positions`).  The exchange profile's additions to the account's
figures, the equity curve and the frames are computed here on their own.
"""
from __future__ import annotations

import math
from dataclasses import replace
from datetime import datetime, time, timedelta

import polars as pl

from kelvo_orra_backtest.engine.costs import CostProfile, contract_value, on_ladder
from kelvo_orra_backtest.engine.orders import Bar, Fill, Order, Tick
from kelvo_orra_backtest.engine.sessions import Session

__all__ = ["RefResult", "bucket", "ref_run"]

EPOCH = datetime(1970, 1, 1)
WEEK_ORIGIN = datetime(1970, 1, 5)  # the Monday the store's weekly buckets count from
MONTHS = {"mo": 1, "q": 3, "y": 12}
SESSION_CLOSES = {"Stock": (time(13, 30),), "Future": (time(5, 0), time(13, 45))}
TIFS = ("ROD", "IOC", "FOK", "GTC")


def bucket(dt: datetime, unit: str, freq: int) -> datetime:
    """Start of the bar of `unit`/`freq` that holds `dt` (as the store's K-bars cut them)."""
    if unit in ("m", "h", "d"):
        step = timedelta(minutes=freq) if unit == "m" else timedelta(hours=freq) if unit == "h" \
            else timedelta(days=freq)
        return EPOCH + ((dt - EPOCH) // step) * step
    if unit == "w":
        step = timedelta(weeks=freq)
        return WEEK_ORIGIN + ((dt - WEEK_ORIGIN) // step) * step
    n = freq * MONTHS[unit]
    months = (dt.year - 1970) * 12 + dt.month - 1
    k = (months // n) * n
    return datetime(1970 + k // 12, k % 12 + 1, 1)


class _Series:
    """Bars of one (code, unit, freq), aggregated record by record."""

    def __init__(self, code: str, unit: str, freq: int) -> None:
        self.code, self.unit, self.freq = code, unit, freq
        self.forming: datetime | None = None
        self.records: list = []  # (dt, close, qty) of the forming bar
        self.done: list[Bar] = []
        self.shown = 0  # bars handed to on_bar so far: what `ctx.bars` shows

    def _close(self) -> Bar:
        recs = sorted(self.records, key=lambda r: r[0])
        closes = [r[1] for r in recs]
        bar = Bar(self.code, self.unit, self.freq, self.forming, closes[0], max(closes), min(closes), closes[-1],
                  sum(r[2] for r in recs))
        self.done.append(bar)
        self.records = []
        return bar

    def add(self, record: dict) -> list[Bar]:
        """The bars a stored record closes (its bar is later than the forming one)."""
        b = bucket(record["dt"], self.unit, self.freq)
        closed = []
        if self.forming is not None and b > self.forming:
            closed.append(self._close())
        if self.forming is None or b > self.forming:
            self.forming = b
        self.records.append((record["dt"], record["close"], record["qty"]))
        return closed

    def finish(self) -> list[Bar]:
        return [self._close()] if self.records else []

    def frame(self, n: int | None = None) -> pl.DataFrame:
        done = self.done[:self.shown]
        bars = done if n is None else done[max(0, len(done) - n):]
        return pl.DataFrame({
            "dt": [b.dt for b in bars], "code": [b.code for b in bars], "Open": [b.open for b in bars],
            "High": [b.high for b in bars], "Low": [b.low for b in bars], "Close": [b.close for b in bars],
            "Volume": [b.volume for b in bars]},
            schema={"dt": pl.Datetime("us"), "code": pl.String, "Open": pl.Float64, "High": pl.Float64,
                    "Low": pl.Float64, "Close": pl.Float64, "Volume": pl.Int64})


class RefContext:
    """The strategy's view, with the engine's `Context` API."""

    def __init__(self, loop: "RefLoop") -> None:
        self._r = loop
        self.session: Session | None = None

    def subscribe(self, code, unit="m", freq=1):
        self._r.subscribe(code, unit, freq)

    def subscribe_ticks(self, code):
        self._r.subscribe_ticks(code)

    def buy(self, code, qty, limit=None, stop=None, tif="ROD"):
        return self._r.place(code, "Buy", qty, limit, stop, tif)

    def sell(self, code, qty, limit=None, stop=None, tif="ROD"):
        return self._r.place(code, "Sell", qty, limit, stop, tif)

    def cancel(self, order_id):
        return self._r.cancel(order_id, "cancelled by the strategy")

    def close(self, code):
        return self._r.flatten(code, "close")

    def contract(self, code):
        return self._r.contract_now.get(code)

    def order(self, order_id):
        return self._r.orders[order_id - 1]

    def open_orders(self, code=None):
        return [o for o in self._r.active.values() if code is None or o.code == code]

    def position(self, code):
        return self._r.position.get(code, 0)

    @property
    def cash(self):
        return self._r.account.current_capital

    @property
    def equity(self):
        return self._r.equity_now()

    @property
    def account(self):
        return self._r.account

    @property
    def timestamp(self):
        return self._r.now

    @property
    def now(self):
        return datetime.fromtimestamp(self._r.now)

    def bars(self, code, unit="m", freq=1, n=None):
        key = (code, unit, freq)
        if key not in self._r.subs:
            raise KeyError(f"bars: no subscription to {code} {freq}{unit}")
        return self._r.series[key].frame(n)

    @property
    def codes(self):
        return list(self._r.markets)

    def market_type(self, code):
        return self._r.markets[code]

    @property
    def params(self):
        return dict(self._r.params)


class RefLoop:
    def __init__(self, strategy, params, rows, account, profile: CostProfile, *, partial_fills, latency_ticks,
                 latency_ms, flatten_minutes, check_capital, holidays, roll="carry") -> None:
        from kelvo_orra_backtest.modules.positions.positions import QuoteManager

        self.strategy, self.params, self.rows, self.account, self.profile = strategy, params, rows, account, profile
        self.partial, self.lat_ticks, self.lat_s = partial_fills, latency_ticks, latency_ms / 1000.0
        self.flatten_minutes, self.check_capital, self.holidays = flatten_minutes, check_capital, holidays
        self.store = QuoteManager()
        self.ctx = RefContext(self)
        self.markets: dict[str, str] = {}
        for r in rows:
            self.markets.setdefault(r["code"], r["market_type"])
        self.now = rows[0]["timestamp"]
        self.i = 0
        self.in_timer = True
        self.started = False
        self.subs: list = []
        self.tick_subs: list = []
        self.series: dict = {}
        self.orders: list[Order] = []
        self.active: dict[int, Order] = {}  # resting orders by id, in id order
        self.skipped: dict[int, int] = {}  # order id -> eligible ticks skipped for latency
        self.seen: set[int] = set()  # orders past their latency that have met an eligible tick
        self.fills: list[Fill] = []
        self.position: dict[str, int] = {}
        self.lots: dict[str, list] = {}  # code -> FIFO [signed qty, booked price]
        self.entries: dict[str, list] = {}  # code -> FIFO [qty, commission per unit, tax per unit] (exchange)
        self.last_price: dict[str, float] = {}  # last eligible tick price per code, up to the current event
        self.notices: list[Order] = []
        self.ledger: list = []  # after each fill: (ts, cash, realised, {code: (pos, basis)})
        self.roll = roll
        self.contract_now: dict[str, str] = {}
        self.contract_of: list = []  # per row: the contract of its code's segment (forward-filled)
        self.last_eligible: dict[str, int] = {}  # code -> row index of its last eligible tick so far
        self.carry: dict[str, int] = {}
        seen: dict[str, str] = {}
        for r in rows:
            c = r.get("contract") or seen.get(r["code"])
            if c is not None:
                seen[r["code"]] = c
            self.contract_of.append(c)
        # a code's first contract, also for its ticks before one is given
        for i, r in enumerate(rows):
            if self.contract_of[i] is not None:
                self.contract_now.setdefault(r["code"], self.contract_of[i])
        for i, r in enumerate(rows):
            if self.contract_of[i] is None:
                self.contract_of[i] = self.contract_now.get(r["code"])

    # ----------------------------------------------------------- subscriptions
    def subscribe(self, code, unit, freq):
        if self.started:
            raise RuntimeError("subscribe is only possible in on_start")
        if code not in self.markets:
            raise ValueError(f"subscribe: code {code!r} has no ticks in this run")
        if (code, unit, freq) not in self.subs:
            self.subs.append((code, unit, freq))

    def subscribe_ticks(self, code):
        if self.started:
            raise RuntimeError("subscribe_ticks is only possible in on_start")
        if code not in self.tick_subs:
            self.tick_subs.append(code)

    # ------------------------------------------------------------------ orders
    def known_price(self, code):
        return self.last_price.get(code)

    def place(self, code, side, qty, limit, stop, tif, tag=""):
        if tif not in TIFS:
            raise ValueError(f"tif must be one of {TIFS}, got {tif!r}")
        for value in (limit, stop):
            if value is not None and (isinstance(value, bool) or not isinstance(value, (int, float))):
                raise TypeError("a price must be a number or None")
        if isinstance(qty, bool) or not isinstance(qty, int):
            raise TypeError("qty must be an int")
        if limit is None and stop is None:
            kind = "market"
        elif stop is None:
            kind = "limit"
        elif limit is None:
            kind = "stop"
        else:
            kind = "stop_limit"
        o = Order(len(self.orders) + 1, code, side, qty, kind, None if limit is None else float(limit),
                  None if stop is None else float(stop), tif, self.now, tag=tag, contract=self.contract_now.get(code))
        self.orders.append(o)
        reason = self.rejection(o)
        if reason:
            o.status, o.reason = "rejected", reason
            self.notices.append(replace(o))
            return o.id
        o.start = self.i if self.in_timer else self.i + 1
        if tif == "ROD":
            o.expiry = self.session_end_after(self.markets[code], self.now)
        self.skipped[o.id] = 0
        self.active[o.id] = o
        price = o.limit if o.limit is not None else o.stop if o.stop is not None else \
            (self.known_price(code) or 0.0)
        self.account.add_trade_record(f"O{o.id}", code, side, qty, price, self.now, "Order")
        self.notices.append(replace(o))
        return o.id

    def rejection(self, o):
        if o.code not in self.markets:
            return "unknown code"
        if o.qty <= 0:
            return "quantity not above 0"
        market = self.markets[o.code]
        for value in (o.limit, o.stop):
            if value is not None and not on_ladder(o.code, market, value):
                return "off the price ladder"
        if self.check_capital:
            held = self.position.get(o.code, 0)
            covers = max(0, -held) if o.side == "Buy" else max(0, held)
            opening = max(0, o.qty - covers)
            price = o.limit if o.limit is not None else o.stop if o.stop is not None else \
                (self.known_price(o.code) or 0.0)
            mult = 1000 if market == "Stock" else contract_value(o.code)
            if opening and price * opening * mult > self.account.current_capital:
                return "not enough capital"
        return ""

    def cancel(self, order_id, reason, status="cancelled"):
        if not isinstance(order_id, int) or not 1 <= order_id <= len(self.orders):
            return False
        o = self.orders[order_id - 1]
        if o.status != "accepted":
            return False
        o.status, o.reason = status, reason
        del self.active[o.id]
        self.account.add_trade_record(f"O{o.id}", o.code, o.side, o.remaining, o.limit or o.stop or 0.0,
                                      self.now, "Cancel")
        self.notices.append(replace(o))
        return True

    def flatten(self, code, tag):
        for o in list(self.active.values()):
            if o.code == code:
                self.cancel(o.id, f"cancelled by {tag}")
        held = self.position.get(code, 0)
        if not held:
            return None
        return self.place(code, "Sell" if held > 0 else "Buy", abs(held), None, None, "ROD", tag=tag)

    # ---------------------------------------------------------------- calendar
    def trading_session(self, market, end: datetime) -> bool:
        """Whether the calendar trades the session ending at `end` (the night session belongs to its evening)."""
        day = end.date() - timedelta(days=1) if end.time() == time(5, 0) else end.date()
        return day.weekday() < 5 and day.isoformat() not in self.holidays

    def session_end_after(self, market, t):
        for end, had in self.ends[market]:
            if end > t and (had or self.trading_session(market, datetime.fromtimestamp(end))):
                return end
        return math.inf

    def build_timers(self):
        first, last = self.rows[0]["timestamp"], self.rows[-1]["timestamp"]
        self.ends: dict[str, list] = {}
        timers = []
        for market in sorted(set(self.markets.values())):
            day = datetime.fromtimestamp(first).date() - timedelta(days=1)
            stop_day = datetime.fromtimestamp(last).date() + timedelta(days=2)
            instants = []
            while day <= stop_day:
                instants += [datetime.combine(day, t).timestamp() for t in SESSION_CLOSES[market]]
                day += timedelta(days=1)
            instants.sort()
            ends = [e for e in instants if e > first]
            k = next(j for j, e in enumerate(ends) if e > last)
            ends = ends[:k + 1]
            self.ends[market] = []
            eligible = [r["timestamp"] for r in self.rows if r["market_type"] == market and not r["is_simulate"]]
            prev = max([e for e in instants if e <= first], default=-math.inf)
            for end in ends:
                had = any(prev < t <= end for t in eligible)
                session = Session(market, end, had)
                self.ends[market].append((end, had))
                if self.flatten_minutes:
                    timers.append((end - self.flatten_minutes * 60, market, end, 0, session))
                timers.append((end, market, end, 1, session))
                prev = end
        # rolls: kind 2 runs once the old contract's last tick is past, kind 3 before the new one's first
        last_of: dict[str, int] = {}
        for i, r in enumerate(self.rows):
            code = r["code"]
            j = last_of.get(code)
            if j is not None and self.contract_of[i] != self.contract_of[j]:
                timers.append((self.rows[j]["timestamp"], "", 0, 2, (code, j, i)))
                timers.append((r["timestamp"], "", 0, 3, (code, j, i)))
            last_of[code] = i
        # at one instant: flattening and session ends before a roll
        timers.sort(key=lambda x: (x[0], x[3] >= 2, *x[1:4]))
        self.timers = timers

    def due(self, timer, i, ts) -> bool:
        kind = timer[3]
        if kind == 0:
            return timer[0] <= ts
        if kind == 1:  # a session ends after the ticks stamped at its end (its closing auction)
            return timer[0] < ts
        if kind == 2:
            return i > timer[4][1]
        return i >= timer[4][2]

    def run_roll(self, kind, code, j, i):
        old, new = self.contract_of[j], self.contract_of[i]
        if kind == 2:
            self.now = self.rows[j]["timestamp"]
            for o in [o for o in self.active.values() if o.code == code]:
                self.cancel(o.id, f"the contract {old} rolled to {new}")
            self.contract_now[code] = new
            self.flush()
            held = self.position.get(code, 0)
            if not held:
                return
            e = self.last_eligible.get(code)
            side = "Sell" if held > 0 else "Buy"
            price = self.rows[e]["close"] if e is not None else 0.0
            o = Order(len(self.orders) + 1, code, side, abs(held), "market", None, None, "IOC", self.now, tag="roll",
                      contract=old)
            self.orders.append(o)
            self.account.add_trade_record(f"O{o.id}", code, side, o.qty, price, self.now, "Order")
            if e is None or self.contract_of[e] != old:
                o.status, o.reason = "cancelled", f"the contract {old} had no eligible tick to close at"
                self.notices.append(replace(o))
                self.flush()
                return
            self.notices.append(replace(o))
            self.active[o.id] = o
            self.book(o, self.rows[j], o.qty, price, price, j)
            self.now = self.rows[j]["timestamp"]
            self.flush()
            if self.roll == "carry":
                self.carry[code] = held
            return
        self.now = self.rows[i]["timestamp"]
        held = self.carry.pop(code, 0)
        if held:
            self.place(code, "Buy" if held > 0 else "Sell", abs(held), None, None, "ROD", tag="roll")
            self.flush()
        self.call("on_roll", code, old, new)

    def run_timer(self, timer):
        instant, market, _, kind, session = timer
        if kind >= 2:
            self.run_roll(kind, *session)
            return
        self.now = instant
        if kind == 0:
            for code, m in self.markets.items():
                if m == market:
                    self.flatten(code, "flatten")
            self.flush()
            return
        for o in list(self.active.values()):
            if o.expiry == session.end:
                self.cancel(o.id, "the session ended", status="expired")
        self.flush()
        if session.had_ticks:
            self.ctx.session = session
            try:
                self.call("on_session_end")
            finally:
                self.ctx.session = None

    # ------------------------------------------------------------------- hooks
    def call(self, hook, *args):
        getattr(self.strategy, hook)(self.ctx, *args)
        self.flush()

    def flush(self):
        while self.notices:
            notices, self.notices = self.notices, []
            for n in notices:
                self.strategy.on_order(self.ctx, n)

    # ------------------------------------------------------------------- fills
    def try_fill(self, o: Order, tick: dict, consumed: list) -> None:
        """Order `o` (resting, of the tick's code, eligible from this tick) against one eligible tick."""
        if self.lat_s and tick["timestamp"] < o.placed + self.lat_s and o.tag != "roll":
            return
        if self.skipped[o.id] < self.lat_ticks and o.tag != "roll":
            self.skipped[o.id] += 1
            return
        first_seen = o.id not in self.seen
        self.seen.add(o.id)
        price = tick["close"]
        buy = o.side == "Buy"
        if o.type in ("stop", "stop_limit"):
            if not o.triggered:
                if not (price >= o.stop if buy else price <= o.stop):
                    return
                o.triggered = True
                decisive = o.tif in ("IOC", "FOK")  # they apply at the trigger tick
            else:
                decisive = False
        else:
            decisive = o.tif in ("IOC", "FOK") and first_seen
        if o.type in ("limit", "stop_limit"):
            if not (price <= o.limit if buy else price >= o.limit):
                if decisive:
                    self.cancel(o.id, "did not reach the limit")
                    self.flush()
                return
            fill_price = min(o.limit, price) if buy else max(o.limit, price)
        else:
            fill_price = price
        avail = tick["qty"] - consumed[0] if self.partial else o.remaining
        if decisive and o.tif == "FOK" and avail < o.remaining:
            self.cancel(o.id, "FOK: not enough")
            self.flush()
            return
        qty = max(0, min(o.remaining, avail))
        if qty:
            consumed[0] += qty
            self.book(o, tick, qty, price, fill_price, self.i)
        if decisive and o.status == "accepted" and o.remaining:
            self.cancel(o.id, "IOC: the rest")
            self.flush()

    def book(self, o, tick, qty, tick_price, fill_price, row):
        acc, code, side = self.account, o.code, o.side
        market = self.markets[code]
        ts = tick["timestamp"]
        held = self.position.get(code, 0)
        covering = min(qty, max(0, -held)) if side == "Buy" else min(qty, max(0, held))
        ours = self.profile.name == "exchange" and market == "Future"
        if ours:
            booked = self.profile.slipped(code, side, fill_price)
            fee, tax = self.profile.futures_costs(code, booked, qty)
            deal_price = booked
        else:
            leg = acc._Positions__calculate_trade_cost(code, side, fill_price, qty, market,
                                                       ignore_tax=covering == 0, need_reverse_direction=False)
            booked, fee = float(leg["price"]), leg["fee"] + leg["fixed_cost"]
            tax = leg["tax"] * covering / qty
            deal_price = fill_price
        fill_id = len(self.fills) + 1
        acc.add_trade_record(f"O{o.id}", code, side, qty, deal_price, ts, "Deal")
        rows_before = len(acc._profit_report["rows"])
        acc.set_positions({"code": code, "action": side, "price": deal_price, "quantity": qty, "exchange_ts": ts,
                           "product_type": market, "trade_id": f"O{o.id}", "fill_id": fill_id}, market)
        if ours:
            self.add_costs(code, qty, fee, tax, covering, acc._profit_report["rows"][rows_before:])
        o.filled += qty
        if not o.remaining:
            o.status = "filled"
            del self.active[o.id]
        signed = qty if side == "Buy" else -qty
        self.position[code] = held + signed
        lots = self.lots.setdefault(code, [])
        rest = signed
        while rest and lots and (lots[0][0] > 0) != (rest > 0):
            take = min(abs(rest), abs(lots[0][0]))
            lots[0][0] += -take if lots[0][0] > 0 else take
            rest += -take if rest > 0 else take
            if not lots[0][0]:
                lots.pop(0)
        if rest:
            lots.append([rest, booked])
        fill = Fill(fill_id, o.id, code, side, qty, ts, tick_price, fill_price, booked, fee, tax, o.tag,
                    self.contract_of[row])
        self.fills.append(fill)
        self.ledger.append((ts, acc.current_capital, acc._profit_report["profit"],
                            {c: (self.position.get(c, 0), sum(q * p for q, p in ls)) for c, ls in self.lots.items()}))
        self.now = ts
        self.call("on_fill", fill)

    def add_costs(self, code, qty, fee, tax, covering, rows):
        """A futures fill's commission and tax, on each side, in the account's capital, rows and figures."""
        acc = self.account
        acc.current_capital -= fee + tax
        entries = self.entries.setdefault(code, [])
        before = sum(r["profit"] for r in rows)
        for row in rows:
            piece = row["qty"]
            entry = entries[0]
            e_fee, e_tax = entry[1] * piece, entry[2] * piece
            x_fee, x_tax = fee * piece / qty, tax * piece / qty
            entry[0] -= piece
            if entry[0] == 0:
                entries.pop(0)
            row["trade_cost_fee"] += e_fee
            row["trade_cost_tax"] += e_tax
            row["trade_cost"] += e_fee + e_tax
            row["cover_cost_fee"] += x_fee
            row["cover_cost_tax"] += x_tax
            row["cover_cost"] += x_fee + x_tax
            row["profit"] -= e_fee + e_tax + x_fee + x_tax
            amount = row["entry_amount"]
            divisor = amount - row["trade_cost"] if row["entry_action"] == "Sell" else amount + row["trade_cost"]
            row["profit_ratio"] = row["profit"] / divisor if divisor else 0
        if rows:
            after = sum(r["profit"] for r in rows)
            info = acc._account_infos[code]
            acc._profit_report["profit"] += after - before
            info["extra_fee"] += before - after
            info["profit"] += after - before
            # the cover counts as a win or a loss by its profit after the costs
            if before > 0:
                info["profit_times"] -= 1
                info["profit_total"] -= before
            else:
                info["loss_times"] -= 1
                info["loss_total"] -= before
            if after > 0:
                info["profit_times"] += 1
                info["profit_total"] += after
            else:
                info["loss_times"] += 1
                info["loss_total"] += after
        if qty > covering:
            entries.append([qty - covering, fee / qty, tax / qty])

    def equity_now(self):
        total = self.account.current_capital
        for code, lots in self.lots.items():
            if not lots:
                continue
            last = self.known_price(code)
            if last is None:
                last = lots[-1][1]
            mult = 1000 if self.markets[code] == "Stock" else contract_value(code)
            for q, p in lots:
                total += q * last * mult if q > 0 else -q * (2 * p - last) * mult
        return total

    # -------------------------------------------------------------------- loop
    def run(self):
        self.build_timers()
        self.call("on_start")
        self.started = True
        keys = list(self.subs)
        for code in self.markets:
            if (code, "m", 1) not in keys:
                keys.append((code, "m", 1))
        self.series = {k: _Series(*k) for k in keys}
        timers = list(self.timers)
        store = self.store
        for i, tick in enumerate(self.rows):
            self.i = i
            code = tick["code"]
            # the store's records for this tick (virtual ones first), each into its bars
            held = store.ticks.get(code, {}).get("ticks", [])
            before = len(held)
            store.add_tick(tick)
            records = store.ticks[code]["ticks"][before:]
            closed = {k: [] for k in keys if k[0] == code}
            for rec in records:
                for k in closed:
                    closed[k] += self.series[k].add(rec)
            # 1. timers: the earliest of those due, until none is
            self.in_timer = True
            while True:
                ts = tick["timestamp"]
                due = [k for k, t in enumerate(timers[:64]) if t[0] <= ts and self.due(t, i, ts)]
                if not due:
                    break
                self.run_timer(timers.pop(due[0]))
            self.in_timer = False
            self.now = tick["timestamp"]
            eligible = not tick["is_simulate"]
            if eligible:
                self.last_price[code] = tick["close"]
                self.last_eligible[code] = i
                # 2. fills
                consumed = [0]
                for o in list(self.active.values()):
                    if o.code == code and o.status == "accepted" and o.start <= i:
                        self.try_fill(o, tick, consumed)
                        self.now = tick["timestamp"]
            # 3. bars
            for k in self.subs:
                for bar in closed.get(k, []):
                    self.series[k].shown += 1
                    self.call("on_bar", bar)
            # 4. the tick
            if code in self.tick_subs:
                self.call("on_tick", Tick(tick["timestamp"], code, tick["market_type"], tick["close"], tick["qty"],
                                          tick["tick_type"], tick["is_simulate"]))
        self.i = len(self.rows)
        self.in_timer = True
        for timer in timers:
            self.run_timer(timer)
        self.now = self.rows[-1]["timestamp"]
        for k in self.subs:
            for bar in self.series[k].finish():
                self.series[k].shown += 1
                self.call("on_bar", bar)
        for k in keys:
            if k not in self.subs:
                self.series[k].finish()
        self.call("on_stop")
        for o in self.orders:
            if o.status == "accepted":
                o.status, o.reason = "open", "the data ended while it rested"


class RefResult:
    """The frames of a reference run, in the engine's `Result` columns."""

    def __init__(self, loop: RefLoop, capital: float) -> None:
        o = loop.orders
        self.account = loop.account
        self.orders = pl.DataFrame({
            "id": [x.id for x in o], "code": [x.code for x in o], "side": [x.side for x in o],
            "qty": [x.qty for x in o], "type": [x.type for x in o], "limit": [x.limit for x in o],
            "stop": [x.stop for x in o], "tif": [x.tif for x in o],
            "placed": [datetime.fromtimestamp(x.placed) for x in o], "status": [x.status for x in o],
            "filled": [x.filled for x in o], "tag": [x.tag for x in o], "contract": [x.contract for x in o]},
            schema={"id": pl.Int64, "code": pl.String, "side": pl.String, "qty": pl.Int64, "type": pl.String,
                    "limit": pl.Float64, "stop": pl.Float64, "tif": pl.String, "placed": pl.Datetime("us"),
                    "status": pl.String, "filled": pl.Int64, "tag": pl.String, "contract": pl.String})
        f = loop.fills
        self.fills = pl.DataFrame({
            "id": [x.id for x in f], "order_id": [x.order_id for x in f], "code": [x.code for x in f],
            "side": [x.side for x in f], "qty": [x.qty for x in f],
            "time": [datetime.fromtimestamp(x.timestamp) for x in f], "tick_price": [x.tick_price for x in f],
            "price": [x.price for x in f], "booked_price": [x.booked_price for x in f],
            "fee": [float(x.fee) for x in f], "tax": [float(x.tax) for x in f], "tag": [x.tag for x in f],
            "contract": [x.contract for x in f]},
            schema={"id": pl.Int64, "order_id": pl.Int64, "code": pl.String, "side": pl.String, "qty": pl.Int64,
                    "time": pl.Datetime("us"), "tick_price": pl.Float64, "price": pl.Float64,
                    "booked_price": pl.Float64, "fee": pl.Float64, "tax": pl.Float64, "tag": pl.String,
                    "contract": pl.String})
        self.trades = loop.account._profit_report["rows"]
        self.bars = {k: s.done for k, s in loop.series.items()}
        self.equity = self._equity(loop, capital)

    @staticmethod
    def _equity(loop: RefLoop, capital: float) -> pl.DataFrame:
        """Per minute of any code's one-minute bars: the account after the fills before the minute's end,
        the positions valued at each code's last one-minute close."""
        closes: dict = {}
        for code in loop.markets:
            for bar in loop.series[(code, "m", 1)].done:
                closes.setdefault(bar.dt, {})[code] = bar.close
        last: dict = {}
        rows = []
        k = 0
        cash, realised, held = capital, 0.0, {}
        for minute in sorted(closes):
            last.update(closes[minute])
            end = minute.timestamp() + 60.0
            while k < len(loop.ledger) and loop.ledger[k][0] < end:
                _, cash, realised, held = loop.ledger[k]
                k += 1
            unreal = value = 0.0
            exposed = False
            for code, (pos, basis) in held.items():
                mult = 1000 if loop.markets[code] == "Stock" else contract_value(code)
                unreal += mult * (pos * last.get(code, 0.0) - basis)
                value += mult * abs(basis)
                exposed |= pos != 0
            rows.append((minute, float(cash), float(realised), unreal, cash + value + unreal, exposed))
        return pl.DataFrame(rows, orient="row", schema={
            "dt": pl.Datetime("us"), "cash": pl.Float64, "realised": pl.Float64, "unrealised": pl.Float64,
            "total": pl.Float64, "exposed": pl.Boolean})


def ref_run(strategy_class, ticks: pl.DataFrame, *, params=None, capital=5_000_000, costs="exchange",
            slippage_ticks=1, commission=None, partial_fills=False, latency_ticks=0, latency_ms=0.0,
            flatten_minutes=None, check_capital=False, roll="carry") -> RefResult:
    """The reference twin of `kelvo_orra_backtest.engine.run` for a tick frame."""
    from kelvo_orra_backtest.modules.positions import positions as M

    values = strategy_class.resolve(params)
    profile = CostProfile(costs, slippage_ticks, commission or {})
    frame = ticks.sort("timestamp", maintain_order=True)
    rows = [{"timestamp": float(r["timestamp"]), "code": r["code"], "market_type": r["market_type"],
             "close": float(r["close"]), "qty": int(r["qty"]), "tick_type": int(r["tick_type"]),
             "is_simulate": bool(r["is_simulate"]), "contract": r.get("contract")} for r in frame.iter_rows(named=True)]
    account = M.Positions()
    account.set_initial_capital(capital)
    profile.install(account)
    strategy = strategy_class()
    for name, value in values.items():
        setattr(strategy, name, value)
    loop = RefLoop(strategy, values, rows, account, profile, partial_fills=partial_fills,
                   latency_ticks=latency_ticks, latency_ms=latency_ms, flatten_minutes=flatten_minutes,
                   check_capital=check_capital, holidays=M.QuoteManager().holiday_search_set, roll=roll)
    previous = M.console
    M.console = _Quiet()
    try:
        loop.run()
    finally:
        M.console = previous
    return RefResult(loop, capital)


class _Quiet:
    def print(self, *args, **kwargs):
        pass
