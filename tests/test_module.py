"""What importing the module sets up, and how the two classes look to Python."""
from __future__ import annotations

import importlib
import inspect
import os
import subprocess
import sys
import types

import pytest

from conftest import M

LIT_UNIT = "Literal['m', 'h', 'd', 'w', 'mo', 'q', 'y']"
BS = "Literal['Buy', 'Sell']"
SF = "Literal['Stock', 'Future']"
TR = [("trade_id", "str"), ("code", "str"), ("action", BS), ("quantity", "int"), ("price", "float"),
      ("timestamp", "float"), ("trade_status", "Literal['Order', 'Deal', 'Cancel']")]

# name -> (parameters after self with annotations, defaults, return annotation, first docstring line)
QUOTE_MANAGER = {
    "__init__": ([], None, None, None),
    "get_init_ticks_info": ([], None, None, "取得 ticks 的初始資訊"),
    "get_empty_tick_df": ([], None, "pl.DataFrame", "取得空的 Tick DataFrame"),
    "clear_ticks": ([], None, None, "清空 ticks"),
    "add_tick": ([("tick", "Dict[str, Any]")], None, None, "將 Tick 資料加入到 ticks 中"),
    "aggregate_kbar": ([("tick_df", "pl.DataFrame")], None, "pl.DataFrame",
                       "將 Tick 資料聚合成 K 棒資料 (tick_df 已包含 kbar_time 欄位)"),
    "poped_tick_to_df": ([("code", "str")], None, "pl.DataFrame", "將 ticks 中的資料轉換為 DataFrame 並清空 ticks"),
    "poped_old_ticks_to_df": ([("code", "str")], None, "pl.DataFrame", "將 old_ticks 中的資料轉為 DataFrame"),
    "get_kbar": ([("code", "str"), ("unit", LIT_UNIT), ("freq", "int"), ("exprs", "List[pl.Expr]"),
                  ("to_pandas_df", "bool")], ([], False), "pl.DataFrame", "取得 K 線資料"),
}
POSITIONS = {
    "__init__": ([], None, None, "Position Module"),
    "__init_account_info": ([], None, None, None),
    "__generate_save_path": ([("file_name", "str")], (None,), "str", "產生檔案儲存路徑"),
    "__make_trade_record": (TR, None, "Dict[str, Any]", "建立交易紀錄"),
    "__apply_future_contract_value": ([("code", "str")], None, "float", "套用期貨合約價值"),
    "__ceil_price_by_tick": ([("code", "str"), ("price", "float")], None, "tuple", "依照股票的價格區間, 將價格向上取整"),
    "__calculate_slippage_price": ([("code", "str"), ("price", "float"), ("tick_count", "int"),
                                    ("direction", "Literal['up', 'down']")], None, "float", "計算滑價後的價格"),
    "__calculate_trade_cost": ([("code", "str"), ("action", BS), ("price", "float"), ("quantity", "int"),
                                ("product_type", SF), ("ignore_tax", "bool"), ("need_reverse_direction", "bool")],
                               (False, True), "Dict[str, float]", "計算交易成本"),
    "__calculate_profit": ([("cover_position", "Dict[str, Any]"), ("product_type", SF)], None, "Dict[str, Any]",
                           "計算損益"),
    "__format_position_summary": ([("product_type", "str")], None, "List[Dict[str, Any]]",
                                  "格式化庫存資訊(總計)：股票或期貨"),
    "__format_position_detail": ([("product_type", "str")], None, "List[Dict[str, Any]]",
                                 "格式化庫存資訊(明細)：股票或期貨"),
    "fee_settings": ([], None, "Dict[str, Any]", "取得手續費設定"),
    "reset_fee_settings": ([], None, None, "重置手續費設定"),
    "update_fee_settings": ([("setting_type", "Literal['stock', 'future']"), ("action", "Literal['buy', 'sell']"),
                             ("fee", "float"), ("tax", "float"), ("per_trade_cost", "int"), ("tick_count", "int"),
                             ("direction", "Literal['up', 'down']")], (None,) * 6, None, "設定手續費設定"),
    "set_current_tick": ([("tick", "Dict[str, Any]")], None, None, "設定目前的 Tick 資訊"),
    "add_trade_record": (TR, None, None, "加入交易紀錄"),
    "set_positions": ([("trade", "dict"), ("product_type", SF)], None, None, "設定持有部位"),
    "fetch_positions": ([("account_type", SF), ("fetch_detail", "bool")], (False,), "Dict[str, Any]", "取得持有部位"),
    "add_positions_to_queue": ([("positions", "object")], None, None, "將持有部位加入 Queue"),
    "pop_positions": ([], None, None, "取得盤中未實現損益的請求"),
    "add_finish_notify_to_queue": ([], None, None, "將盤中未實現損益計算完成的通知加入 Queue"),
    "pop_finish_notify": ([], None, None, "取得盤中未實現損益計算完成的通知"),
    "export_trade_records": ([], None, None, "匯出交易紀錄"),
    "get_profit_rows_by_code": ([("code", "str")], None, "List[Dict[str, Any]]", "回傳指定標的的損益報告"),
    "generate_standard_report": ([("code", "str"), ("quote_manager", "QuoteManager")], None, None,
                                 "產生標準的 KELVO 回測報告"),
    "generate_qs_profit_report": ([("code", "str"), ("quote_manager", "QuoteManager")], None, None,
                                  "產生 QuantStats 的損益報告"),
    "set_initial_capital": ([("capital", "int")], None, None, "設定初始資金"),
    "fetch_account_balance": ([], None, "float", "取得帳戶餘額"),
    "fetch_margin": ([], None, "float", "取得保證金"),
}


def stored_name(cls, name):
    private = name.startswith("__") and not name.endswith("__")
    return f"_{cls.__name__}{name}" if private else name


def member(cls, name):
    obj = cls.__dict__[stored_name(cls, name)]
    return obj.fget if isinstance(obj, property) else obj


@pytest.mark.parametrize("cls,table", [(M.QuoteManager, QUOTE_MANAGER), (M.Positions, POSITIONS)],
                         ids=["QuoteManager", "Positions"])
def test_class_members_match_the_tables(cls, table):
    assert type(cls) is type and cls.__bases__ == (object,)
    assert cls.__module__ == "kelvo_orra_backtest.modules.positions.positions"
    methods = [k for k in cls.__dict__ if not (k.startswith("__") and k.endswith("__")) or k == "__init__"]
    assert methods == [stored_name(cls, n) for n in table]
    for name, (params, defaults, returns, first_line) in table.items():
        fn = member(cls, name)
        assert fn.__name__ == name
        assert fn.__qualname__ == f"{cls.__name__}.{name}"
        assert fn.__module__ == cls.__module__
        expected = dict(params)
        if returns:
            expected["return"] = returns
        assert list(fn.__annotations__.items()) == list(expected.items())
        assert fn.__defaults__ == defaults
        if first_line is None:
            assert fn.__doc__ is None
        else:
            assert fn.__doc__.split("\n")[0] == first_line
        sig = inspect.signature(fn)
        assert list(sig.parameters)[0] == "self"
        assert [p for p in sig.parameters][1:1 + len(params)] == [p for p, _ in params]


def test_class_docstrings_and_private_names():
    assert M.QuoteManager.__doc__ == "報價管理"
    assert M.Positions.__doc__ is None
    assert "_Positions__generate_save_path" in M.Positions.__dict__
    assert "__generate_save_path" not in M.Positions.__dict__
    prop = M.Positions.__dict__["fee_settings"]
    assert isinstance(prop, property) and prop.fset is None and prop.__doc__ == "取得手續費設定"


def test_defaults_are_the_documented_objects():
    get_kbar = M.QuoteManager.get_kbar
    assert get_kbar.__defaults__ == ([], False)
    assert get_kbar.__defaults__[0] is M.QuoteManager.get_kbar.__defaults__[0]
    assert M.Positions._Positions__generate_save_path.__defaults__ == (None,)
    assert M.Positions.update_fee_settings.__defaults__ == (None,) * 6


def test_docstring_layout():
    doc = M.QuoteManager.add_tick.__doc__
    assert doc == "將 Tick 資料加入到 ticks 中\n\n        Args:\n            tick (Dict[str, Any]): Tick 資料\n        "
    assert M.Positions.fetch_margin.__doc__ == "取得保證金\n\n        Returns:\n            float: 保證金\n        "
    old = M.QuoteManager.poped_old_ticks_to_df.__doc__
    assert old.split("\n")[1] == " " * 8 and old.split("\n")[4] == " " * 8
    report = M.Positions.generate_standard_report.__doc__.split("\n")
    assert report[1] == " " * 8 + "包含 K 線圖、損益報告、交易紀錄" and report[2] == ""
    kbar = M.QuoteManager.get_kbar.__doc__.split("\n")
    assert kbar[4] == ' ' * 12 + 'unit (Literal["m", "h", "d", "w", "mo", "q", "y"]): K 線頻率單位'
    assert kbar[-2] == " " * 12 + "pl.DataFrame: K 線資料" and kbar[-1] == " " * 8


def own_classes(module):
    return [v for k, v in vars(module).items()
            if not k.startswith("_") and isinstance(v, type) and v.__module__ == module.__name__]


@pytest.mark.parametrize("module_name", ["positions", "columnar"])
def test_help_shows_every_class_and_method(module_name):
    import pydoc

    module = importlib.import_module(f"kelvo_orra_backtest.modules.positions.{module_name}")
    text = pydoc.render_doc(module, renderer=pydoc.plaintext)
    classes = own_classes(module)
    assert module.function in classes
    for cls in classes:
        assert isinstance(cls.__module__, str)
        doc = pydoc.render_doc(cls, renderer=pydoc.plaintext)
        assert f"class {cls.__name__}" in text and f"class {cls.__name__}" in doc
        for name, obj in vars(cls).items():
            fn = obj.fget if isinstance(obj, property) else obj
            if type(fn) is not module.function:
                continue
            assert type(fn.__module__) is str and fn.__module__ == module.__name__
            shown = pydoc.render_doc(getattr(cls, name), renderer=pydoc.plaintext)
            first = fn.__doc__.split("\n")[0] if fn.__doc__ else ""
            assert first in shown
            if obj is not fn:  # a property: its docstring in the class
                assert f"{name}\n |      {first}" in doc
                continue
            sig = str(inspect.signature(fn))
            assert f"{fn.__name__}{sig}" in shown
            if not name.startswith("_") or name == "__init__":  # pydoc leaves out private names
                assert f"{name}{sig}" in doc and first in doc
    qm = getattr(module, "QuoteManager", None) or module.ColumnarQuoteManager
    fn = qm.__dict__["__init__"]
    fn.__module__ = "elsewhere"  # a plain attribute of that one function
    try:
        assert fn.__module__ == "elsewhere" and qm.__dict__["get_kbar"].__module__ == module.__name__
    finally:
        fn.__module__ = module.__name__


def test_methods_bind_like_functions():
    p = M.Positions()
    fn = M.Positions.__dict__["fetch_margin"]
    assert fn.__get__(None, M.Positions) is fn
    bound = p.fetch_margin
    assert isinstance(bound, types.MethodType) and bound.__self__ is p and bound.__func__ is fn
    assert fn(p) == 100000
    assert inspect.signature(bound) == inspect.signature(lambda: None)
    assert str(inspect.signature(M.Positions._Positions__generate_save_path)) == "(self, file_name=None, *sub_folder)"
    assert "取得保證金" in __import__("pydoc").render_doc(M.Positions.fetch_margin)
    fn.custom_attribute = 1  # functions carry a __dict__
    assert fn.__dict__["custom_attribute"] == 1
    del fn.custom_attribute


def test_methods_work_on_subclasses_and_survive_gc():
    import gc

    class Sub(M.Positions):
        pass

    s = Sub()
    assert s.fetch_account_balance() == 100000
    gc.collect()
    assert s.fetch_margin() == 100000 and type(s).__init__ is M.Positions.__init__


def test_module_globals_in_binding_order():
    names = [k for k in vars(M) if not k.startswith("__") and k != "function"]
    assert names == ["copy", "json", "math", "os", "pd", "pl", "queue", "warnings", "matplotlib", "qs",
                     "datetime", "timedelta", "Environment", "FileSystemLoader", "Any", "Dict", "List",
                     "Literal", "Action", "BASIC_INFO", "FutureIndexContractValue", "OrderCond", "console",
                     "make_dir", "base_dir", "static_dir", "env", "template", "QuoteManager", "Positions"]
    assert M.base_dir == os.path.dirname(os.path.abspath(M.__file__))
    assert M.static_dir == os.path.join(M.base_dir, "../../static")
    assert M.template.name == "profit_report.html"


def test_import_side_effects():
    # pytest resets warning filters per test, so look at a fresh interpreter.
    code = (
        "import warnings, matplotlib, pandas as pd\n"
        "import kelvo_orra_backtest.modules.positions.positions\n"
        "f = [(x[0], x[2].__name__) for x in warnings.filters[:2]]\n"
        "print(matplotlib.get_backend(), f, hasattr(pd.Series, 'sharpe'))\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.split() [0].lower() == "agg"
    assert "[('ignore', 'RuntimeWarning'), ('ignore', 'FutureWarning')]" in out
    assert out.strip().endswith("True")  # pandas extended by quantstats


@pytest.mark.parametrize("value,expected", [
    ({"a": 1}, '{"a": 1}'),
    ("no quotes", "no quotes"),
    ("it's", 'it"s'),
    (True, "True"),
    ({"x": None, "y": False}, '{"x": None, "y": False}'),
])
def test_tojson_filter(value, expected):
    f = M.env.filters["tojson"]
    assert f(value) == expected
    assert f.__name__ == "<lambda>" and f.__module__ == M.__name__


def test_host_stand_ins():
    from kelvo_orra_backtest import constant, utils

    assert constant.Action.BUY.value == "Buy" and constant.OrderCond.CASH is not None
    assert constant.FutureIndexContractValue["TXF"] == 200 and constant.FutureIndexContractValue["MXF"] == 50
    assert isinstance(constant.BASIC_INFO.data_dir, str)
    assert utils.console.__class__.__name__ == "Console"


def _one_round_trip(data_dir):
    """A stock entry, its cover and the export: the module's lines of each kind."""
    pos = M.Positions()
    pos.set_positions({"code": "2330", "action": "Buy", "price": 975.0, "quantity": 1, "exchange_ts": 1.0,
                       "product_type": "Stock", "trade_id": "T1"}, "Stock")
    pos.set_positions({"code": "2330", "action": "Sell", "price": 990.0, "quantity": 1, "exchange_ts": 2.0,
                       "product_type": "Stock", "trade_id": "T2"}, "Stock")
    pos.export_trade_records()


@pytest.mark.parametrize("form", ["call", "block"])
def test_quiet_console_silences_the_module_and_comes_back(form, capsys, data_dir):
    from kelvo_orra_backtest import utils

    assert M.console is utils.console  # the module prints through the package's console
    _one_round_trip(data_dir)
    loud = capsys.readouterr().out
    assert "[做多進場]" in loud and "[做多沖銷]" in loud and "交易紀錄已匯出至" in loud
    if form == "call":
        utils.quiet_console()
        _one_round_trip(data_dir)
        quiet = capsys.readouterr()
        utils.quiet_console(False)
    else:
        with utils.quiet_console():
            _one_round_trip(data_dir)
        quiet = capsys.readouterr()
    assert quiet.out == "" and quiet.err == ""
    _one_round_trip(data_dir)
    assert capsys.readouterr().out.count("\n") == loud.count("\n")
    with pytest.raises(TypeError, match="expected True or False"):
        utils.quiet_console("yes")
    assert not utils.console.quiet


def test_tear_sheet_font_is_an_installed_one():
    # a fresh interpreter: the font manager's search and its log, as a user's script has them
    code = (
        "import logging, warnings\n"
        "logging.basicConfig()\n"
        "import kelvo_orra_backtest.modules.positions.positions\n"
        "from kelvo_orra_backtest.utils import configure_plotting, TEAR_SHEET_FONT\n"
        "from matplotlib import font_manager as fm, pyplot as plt\n"
        "path = fm.findfont(fm.FontProperties(family=TEAR_SHEET_FONT, weight='bold'))\n"
        "fig, ax = plt.subplots(); ax.set_title('x', fontname=TEAR_SHEET_FONT); fig.canvas.draw()\n"
        "family = configure_plotting()  # done at the import already: only says which family\n"
        "with warnings.catch_warnings(record=True) as caught:  # the filters in force, recorded\n"
        "    warnings.warn_explicit('set_ticklabels() should only be used with a fixed number of ticks',\n"
        "                           UserWarning, 'core.py', 1, module='quantstats_lumi._plotting.core')\n"
        "print(family, path, len(caught), sep='|')\n"
    )
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    family, path, caught = run.stdout.strip().split("|")
    assert "findfont" not in run.stderr, run.stderr
    from matplotlib import font_manager as fm
    from matplotlib.ft2font import FT2Font

    assert family in ("Arial", "Liberation Sans", "Arimo", "DejaVu Sans")
    face = fm.ttfFontProperty(FT2Font(path))
    assert face.name == family and face.weight >= 600  # the stand-in's own bold face
    assert caught == "0"  # the tear-sheet library's tick-label warning is dropped
