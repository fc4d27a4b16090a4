"""Argument handling shared by every method: counts, keywords and types."""
from __future__ import annotations

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import M
from odd_values import ODD, BadFloat, DictSub, StrSub, module_methods

TYPE_MSG = "Argument '{}' has incorrect type (expected {}, got {})"


ARGS = ("T1", "2330", "Buy", 1, 600.0, 1704157200.0, "Deal")


@pytest.mark.parametrize("call,message", [
    (lambda p: p.add_trade_record(), "add_trade_record() takes exactly 8 positional arguments (1 given)"),
    (lambda p: p.add_trade_record(*ARGS, 1), "add_trade_record() takes exactly 8 positional arguments (9 given)"),
    (lambda p: p.add_trade_record("T1", "2330", action="Buy"),
     "add_trade_record() takes exactly 8 positional arguments (4 given)"),
    (lambda p: p.set_initial_capital(), "set_initial_capital() takes exactly 2 positional arguments (1 given)"),
    (lambda p: p.fetch_margin(1), "fetch_margin() takes exactly 1 positional argument (2 given)"),
    (lambda p: p.update_fee_settings(), "update_fee_settings() takes at least 2 positional arguments (1 given)"),
    (lambda p: p.update_fee_settings(*"abcdefgh"),
     "update_fee_settings() takes at most 8 positional arguments (9 given)"),
    (lambda p: M.QuoteManager.get_kbar(M.QuoteManager.__new__(M.QuoteManager), "2330"),
     "get_kbar() takes at least 4 positional arguments (2 given)"),
    (lambda p: p._Positions__calculate_trade_cost("2330", "Buy", 1.0),
     "__calculate_trade_cost() takes at least 6 positional arguments (4 given)"),
    (lambda p: p.add_trade_record(*ARGS, bogus=1), "add_trade_record() got an unexpected keyword argument 'bogus'"),
    (lambda p: p.add_trade_record(*ARGS, code="x"),
     "add_trade_record() got multiple values for keyword argument 'code'"),
    (lambda p: p._Positions__generate_save_path("a", file_name="b"),
     "__generate_save_path() got multiple values for keyword argument 'file_name'"),
    (lambda p: p.set_initial_capital(capital=1, other=2),
     "set_initial_capital() got an unexpected keyword argument 'other'"),
])
def test_count_and_keyword_errors(pos, call, message):
    with pytest.raises(TypeError) as info:
        call(pos)
    assert str(info.value) == message


@pytest.mark.parametrize("kwargs,name,expected,got", [
    ({"quantity": 1.0}, "quantity", "int", "float"),
    ({"quantity": True}, "quantity", "int", "bool"),
    ({"code": 2330}, "code", "str", "int"),
    ({"code": StrSub("2330")}, "code", "str", "StrSub"),
    ({"trade_id": None}, "trade_id", "str", "NoneType"),
    # type tests run in parameter order
    ({"trade_id": 1, "code": 2}, "trade_id", "str", "int"),
])
def test_exact_type_checks(pos, kwargs, name, expected, got):
    args = dict(zip(("trade_id", "code", "action", "quantity", "price", "timestamp", "trade_status"), ARGS))
    args.update(kwargs)
    with pytest.raises(TypeError) as info:
        pos.add_trade_record(**args)
    assert str(info.value) == TYPE_MSG.format(name, expected, got)
    assert pos.trade_records == []


def test_float_conversions_come_before_type_checks(pos):
    with pytest.raises(TypeError) as info:
        pos.add_trade_record(1, 2, "Buy", 1.5, "not a price", 1.0, "Deal")
    assert str(info.value) == "must be real number, not str"
    with pytest.raises(ZeroDivisionError):
        pos.add_trade_record(1, 2, "Buy", 1.5, 1.0, BadFloat(), "Deal")
    assert pos.trade_records == []


@pytest.mark.parametrize("value,got", [(DictSub(code="x"), "DictSub"), (None, "NoneType"), ([], "list")])
def test_dict_arguments_must_be_exact(pos, value, got):
    with pytest.raises(TypeError) as info:
        pos.set_current_tick(value)
    assert str(info.value) == TYPE_MSG.format("tick", "dict", got)


def test_keywords_and_self_by_keyword(pos):
    M.Positions.add_trade_record(self=pos, trade_id="T", code="C", action=None, quantity=2, price=3,
                                 timestamp=0, trade_status=None)
    assert pos.trade_records[0]["quantity"] == 2 and pos.trade_records[0]["price"] == 3.0


# Every registered method gets random objects; only Python exceptions may come back.
# Blocking gets wait forever on an empty queue; they are exercised in their own tests.
BLOCKING = {"pop_positions", "pop_finish_notify"}
SLOW = {"generate_qs_profit_report", "generate_standard_report", "export_trade_records"}


@pytest.mark.parametrize("cls,fn", list(module_methods(BLOCKING | SLOW)), ids=lambda x: getattr(x, "__qualname__", "cls"))
@settings(max_examples=40, deadline=None, suppress_health_check=list(HealthCheck))
@given(args=st.lists(ODD, max_size=9), kwargs=st.dictionaries(st.sampled_from(
    ["code", "price", "tick", "unit", "freq", "exprs", "fee", "tax", "quantity", "action", "zzz"]), ODD, max_size=3))
def test_random_arguments_only_raise_python_errors(cls, fn, args, kwargs, tmp_path_factory):
    M.BASIC_INFO.data_dir = str(tmp_path_factory.getbasetemp() / "fuzz")
    obj = cls.__new__(cls)
    try:
        cls.__init__(obj)
    except Exception:
        pass
    try:
        fn(obj, *args, **kwargs)
    except Exception:
        pass
