"""Position fetch and the request and notice queues."""
from __future__ import annotations

import queue
import signal
import threading

import pytest

# Safety limit for joins: a hang fails the test instead of stalling the run.
JOIN_TIMEOUT = 60.0


def stock_entry(price, quantity, trade_id="T1", product_type="Stock"):
    return {"code": "2330", "action": "Buy", "price": price, "quantity": quantity, "exchange_ts": 1.0,
            "trade_id": trade_id, "product_type": product_type}


def hold(p, code="2330", product_type="Stock", entries=None, close=101.0):
    p.positions[code] = {"buy": entries or [stock_entry(100.0, 1)], "sell": []}
    p.product_type_mapper[code] = product_type
    if close is not None:
        p.current_tick_infos[code] = {"code": code, "close": close}


def test_fetch_empty_book(pos):
    assert pos.fetch_positions("Future") is None
    assert pos.pop_positions() == []
    assert pos.fetch_position_queue.empty()


@pytest.mark.parametrize("fetch_detail, keys", [
    (False, "summary"), (True, "detail"), (0, "summary"), (1, "detail"), ("", "summary"), ("yes", "detail"),
    (None, "summary"), ([0], "detail"),
])
def test_fetch_detail_choice(pos, fetch_detail, keys):
    hold(pos)
    pos.fetch_positions("Stock", fetch_detail)
    [row] = pos.pop_positions()
    assert ("trade_id" in row) == (keys == "detail")


def test_fetch_default_and_keyword(pos):
    hold(pos)
    pos.fetch_positions(account_type="Stock")
    assert "avg_price" in pos.pop_positions()[0]
    pos.fetch_positions("Stock", fetch_detail=True)
    assert "trade_id" in pos.pop_positions()[0]


@pytest.mark.parametrize("account_type", ["stock", "future", "Futures", "", None, 1, ("Stock",)])
def test_bad_account_type(pos, account_type):
    hold(pos)
    with pytest.raises(Exception) as err:
        pos.fetch_positions(account_type)
    assert type(err.value) is Exception
    assert str(err.value) == f"不支援的帳戶類型: {account_type}"
    assert pos.fetch_position_queue.empty()


def test_account_type_passed_as_literal(m):
    seen = []

    class Q(m.Positions):
        def _Positions__format_position_summary(self, product_type):
            seen.append(product_type)
            return []

    class Text(str):
        pass

    Q().fetch_positions(Text("Stock"))
    assert seen == ["Stock"] and type(seen[0]) is str


def test_unsupported_entry_type_queues_nothing(pos):
    hold(pos, entries=[stock_entry(100.0, 1, product_type="Option")])
    for detail in (False, True):
        with pytest.raises(Exception, match="^不支援的商品類型: Option$"):
            pos.fetch_positions("Stock", detail)
    assert pos.fetch_position_queue.empty()


def test_fetch_uses_overridden_add(m):
    got = []

    class Q(m.Positions):
        def add_positions_to_queue(self, positions):
            got.append(positions)

    q = Q()
    hold(q)
    q.fetch_positions("Stock")
    assert len(got) == 1 and got[0][0]["code"] == "2330"
    assert q.fetch_position_queue.empty()


class RowList(list):
    pass


class RowDict(dict):
    pass


@pytest.mark.parametrize("value", [[], [{"code": "2330"}], {}, {"a": 1}, RowList([1]), RowDict(a=1)])
def test_add_accepts_lists_and_dicts(pos, value):
    pos.add_positions_to_queue(value)
    assert pos.pop_positions() is value


@pytest.mark.parametrize("value", [(), ({"code": "2330"},), None, "rows", 1, {1, 2}])
def test_add_refuses_other_values(pos, value):
    with pytest.raises(Exception) as err:
        pos.add_positions_to_queue(value)
    assert type(err.value) is Exception
    assert str(err.value) == f"不支援的持有部位格式: {type(value)}"
    assert pos.fetch_position_queue.empty()


def test_calls_in_order(pos):
    hold(pos, close=101.0)
    pos.fetch_positions("Stock")
    pos.current_tick_infos["2330"]["close"] = 102.0
    pos.fetch_positions("Stock")
    assert pos.pop_positions()[0]["pnl"] == 1000.0
    assert pos.pop_positions()[0]["pnl"] == 2000.0


@pytest.mark.parametrize("before", [True, False, "pending", None])
def test_finish_notice_clears_flag(pos, before):
    pos.wait_fetch_position_response_flag = before
    pos.add_finish_notify_to_queue()
    assert pos.pop_finish_notify() is True
    assert pos.wait_fetch_position_response_flag is False


def test_queues_read_at_use(pos):
    mine, notices = queue.Queue(), queue.Queue()
    pos.fetch_position_queue, pos.finish_fetch_position_queue = mine, notices
    pos.add_positions_to_queue([1])
    pos.add_finish_notify_to_queue()
    assert mine.get_nowait() == [1] and notices.get_nowait() is True
    notices.put("answer")
    assert pos.pop_finish_notify() == "answer"


def run_threads(*targets):
    """Runs the targets in daemon threads; returns their errors, or fails on a hang."""
    errors = []

    def guard(fn):
        try:
            fn()
        except BaseException as exc:  # noqa: BLE001 - reported below
            errors.append(exc)

    threads = [threading.Thread(target=guard, args=(t,), daemon=True) for t in targets]
    for t in threads:
        t.start()
    for t in threads:
        t.join(JOIN_TIMEOUT)
    hung = [t for t in threads if t.is_alive()]
    return errors, hung


def test_blocking_pop_lets_other_threads_run(pos):
    received = []
    waiting = threading.Event()

    def taker():
        waiting.set()
        received.append(pos.pop_positions())
        received.append(pos.pop_finish_notify())

    def giver():
        assert waiting.wait(JOIN_TIMEOUT)
        # Python work on this thread while the taker waits in the queue
        total = sum(range(200_000))
        pos.add_positions_to_queue([total])
        pos.add_finish_notify_to_queue()

    errors, hung = run_threads(taker, giver)
    if hung:
        pos.add_positions_to_queue([])
        pos.add_finish_notify_to_queue()
    assert not hung and not errors
    assert received == [[sum(range(200_000))], True]


@pytest.mark.parametrize("pop, add, item", [
    ("pop_positions", "add_positions_to_queue", ["rows"]),
    ("pop_finish_notify", "add_finish_notify_to_queue", True),
])
def test_keyboard_interrupt_reaches_a_waiting_pop(pos, pop, add, item):
    # Ctrl-C: a real SIGINT aimed at the main thread, which waits in the queue
    interrupt = threading.Timer(0.2, signal.pthread_kill, args=(threading.main_thread().ident, signal.SIGINT))
    # if the interrupt were lost, an item ends the wait and the test fails
    rescue = threading.Timer(10.0, getattr(pos, add), args=(item,) if add == "add_positions_to_queue" else ())
    interrupt.start()
    rescue.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            getattr(pos, pop)()
        assert rescue.is_alive(), "the interrupt only came with an item"
    finally:
        interrupt.cancel()
        rescue.cancel()
        interrupt.join(JOIN_TIMEOUT)
        rescue.join(JOIN_TIMEOUT)
    # the queue keeps working afterwards
    if add == "add_positions_to_queue":
        pos.add_positions_to_queue(item)
    else:
        pos.add_finish_notify_to_queue()
    assert getattr(pos, pop)() is item


class OnlyGet:
    """A queue-like object without timeouts: used with a plain get()."""

    def __init__(self):
        self.items, self.calls = [], []

    def put(self, item):
        self.items.append(item)

    def get(self):
        self.calls.append("get")
        return self.items.pop(0)


class CountingQueue(queue.Queue):
    def get(self, *args, **kwargs):
        self.seen = args, kwargs
        return super().get(*args, **kwargs)


def test_other_queue_objects_get_a_plain_get(pos):
    pos.fetch_position_queue = OnlyGet()
    pos.add_positions_to_queue([1])
    assert pos.pop_positions() == [1] and pos.fetch_position_queue.calls == ["get"]
    pos.finish_fetch_position_queue = CountingQueue()
    pos.add_finish_notify_to_queue()
    assert pos.pop_finish_notify() is True
    assert pos.finish_fetch_position_queue.seen == ((), {})


def test_two_thread_exchange(pos):
    """A strategy thread asks for positions and waits for the answer's notice."""
    rounds = 3000
    hold(pos, close=100.0)
    answered = []

    def strategy():
        for i in range(rounds):
            pos.current_tick_infos["2330"]["close"] = 100.0 + i
            pos.fetch_positions("Stock", i % 2 == 1)
            assert pos.pop_finish_notify() is True

    def engine():
        for _ in range(rounds):
            rows = pos.pop_positions()
            answered.append(rows[0]["pnl"])
            pos.add_finish_notify_to_queue()

    errors, hung = run_threads(strategy, engine)
    if hung:  # unblock the daemon threads before failing
        for _ in range(rounds):
            pos.add_positions_to_queue([{"pnl": None}])
            pos.add_finish_notify_to_queue()
    assert not hung, "exchange did not finish"
    assert not errors, errors
    assert answered == [1000.0 * i for i in range(rounds)]
    assert pos.fetch_position_queue.empty() and pos.finish_fetch_position_queue.empty()
