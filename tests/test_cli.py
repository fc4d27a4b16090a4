"""The package's command: the run verb's arguments, its refusals, a small run and a strategy that raises."""
from __future__ import annotations

import subprocess
import sys
import tomllib
from datetime import datetime, timedelta, timezone
from pathlib import Path

import pytest

from kelvo_orra_backtest.__main__ import main

ROOT = Path(__file__).resolve().parents[1]
TAIPEI = timezone(timedelta(hours=8))

STRATEGIES = '''
from kelvo_orra_backtest.engine import Strategy


class RoundTrip(Strategy):
    """Buys at the first completed bar, sells at the third."""
    qty: int = 1
    side: str = "long"

    def on_start(self, ctx):
        ctx.subscribe("TXF", "m", 1)
        self.seen = 0

    def on_bar(self, ctx, bar):
        self.seen += 1
        if self.seen == 1:
            ctx.buy("TXF", self.qty)
        elif self.seen == 3:
            ctx.sell("TXF", self.qty)


class Broken(RoundTrip):
    def on_bar(self, ctx, bar):
        raise ValueError("no signal today")


class Plain:
    pass
'''


@pytest.fixture
def workdir(tmp_path, monkeypatch):
    """A folder with a strategy file and a tiny tick file of TXF, the current directory."""
    (tmp_path / "strats.py").write_text(STRATEGIES)
    start = datetime(2026, 3, 30, 9, 0, tzinfo=TAIPEI).timestamp()
    rows = ["timestamp,code,market_type,close,qty,tick_type,is_simulate"]
    for k in range(120):  # a tick every 10 s for 20 minutes
        rows.append(f"{start + 10 * k + 0.5},TXF,Future,{22150 + (k % 7) - 3}.0,1,1,false")
    (tmp_path / "ticks.csv").write_text("\n".join(rows) + "\n")
    # each row valid, but one code of two markets
    (tmp_path / "mixed.csv").write_text("\n".join(rows[:3] + [rows[3].replace("Future", "Stock")]) + "\n")
    monkeypatch.chdir(tmp_path)
    return tmp_path


INPUTS = {"strats.py", "ticks.csv", "mixed.csv"}


def _files(root: Path) -> set[str]:
    """The files under `root` (the fixture's INPUTS when nothing was written)."""
    return {p.relative_to(root).as_posix() for p in root.rglob("*") if p.is_file() and "__pycache__" not in p.parts}


def test_help_answers_before_the_engine_is_imported():
    code = ("import sys\nfrom kelvo_orra_backtest.__main__ import main\n"
            "try:\n    main(['run', '--help'])\nexcept SystemExit as e:\n    print('exit', e.code)\n"
            "print('heavy:', sorted(m for m in ('polars', 'numpy', 'quantstats_lumi', 'matplotlib') "
            "if m in sys.modules))\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert "--param NAME=VALUE" in out and "--flatten-minutes" in out
    assert out.rstrip().endswith("exit 0\nheavy: []")
    # the console script runs the same verbs
    scripts = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["scripts"]
    assert scripts == {"kelvo-orra": "kelvo_orra_backtest.__main__:main"}


HEAVY = ("polars", "numpy", "rich", "dask", "distributed", "quantstats_lumi", "matplotlib",
         "kelvo_orra_backtest.modules.positions.positions", "kelvo_orra_backtest.engine")


@pytest.mark.parametrize("module,argv,status,shown", [
    ("kelvo_orra_backtest.demo", ["--help"], 0, "--output-dir"),
    ("kelvo_orra_backtest.demo", ["--capital", "x"], 2, "invalid int value: 'x'"),
    ("kelvo_orra_backtest.sweep", ["--help"], 0, "--walk-forward"),
    ("kelvo_orra_backtest.sweep", ["--top", "x"], 2, "invalid int value: 'x'"),
    ("kelvo_orra_backtest.__main__", ["sweep", "--help"], 0, "--walk-forward"),
    ("kelvo_orra_backtest.__main__", ["run"], 2, "the following arguments are required: STRATEGY"),
])
def test_every_command_reads_its_arguments_before_the_heavy_imports(module, argv, status, shown):
    code = (f"import sys\nfrom {module} import main\n"
            f"try:\n    main({argv!r})\nexcept SystemExit as e:\n    print('exit', e.code)\n"
            f"print('heavy:', sorted(m for m in {HEAVY!r} if m in sys.modules))\n")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert shown in done.stdout + done.stderr
    assert done.stdout.rstrip().endswith(f"exit {status}\nheavy: []"), done.stdout


@pytest.mark.parametrize("args,message", [
    (["missing.py:X"], "missing.py: no such file"),
    (["strats.py"], "strats.py: expected FILE.py:ClassName"),
    (["strats.py:Nope"], "strats.py: no class 'Nope' (Strategy subclasses there: Broken, RoundTrip)"),
    (["strats.py:Plain"], "strats.py:Plain is not a subclass of kelvo_orra_backtest.engine.Strategy"),
    (["no_such_module:X"], "no_such_module: no such file or module"),
    (["strats.py:RoundTrip", "--param", "qty=two"], "RoundTrip: parameter 'qty' must be int, got 'two'"),
    (["strats.py:RoundTrip", "--param", "size=2"], "RoundTrip: unknown parameter 'size' (declared: qty (int), "
                                                   "side (str))"),
    (["strats.py:RoundTrip", "--param", "qty"], "--param qty: expected NAME=VALUE"),
    (["strats.py:RoundTrip", "--param", "qty=1", "--param", "qty=2"], "--param qty: given twice"),
    (["strats.py:RoundTrip", "--ticks", "strats.py"], "strats.py: cannot be read"),
    (["strats.py:RoundTrip", "--ticks", "gone.csv"], "gone.csv: no such file"),
    (["strats.py:RoundTrip", "--ticks", "mixed.csv"], "code TXF has ticks of several market types (Future, Stock)"),
    (["strats.py:RoundTrip", "--codes", "2330"], "--codes 2330 names no code of this file (its codes: TXF)"),
    (["strats.py:RoundTrip", "--latency-ticks", "-1"], "--latency-ticks and --latency-ms must be 0 or more"),
])
def test_bad_input_gets_one_line_and_status_2(workdir, capsys, args, message):
    if "--ticks" not in args and args[0].startswith("strats.py:RoundTrip"):
        args = [*args, "--ticks", "ticks.csv"]
    assert main(["run", *args]) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and message in err, err
    assert _files(workdir) == INPUTS


@pytest.mark.parametrize("third_line,error", [
    ("import no_such_helper", "ModuleNotFoundError"),
    ("def broken(:", "SyntaxError"),
    ("import helper_that_fails", "ZeroDivisionError"),  # the strategy file's line, not the helper's
])
def test_a_strategy_file_that_fails_to_import_is_named_with_its_line(workdir, capsys, third_line, error):
    (workdir / "helper_that_fails.py").write_text("x = 1\n\n\n\nx / 0\n")
    (workdir / "bad.py").write_text(f"from kelvo_orra_backtest.engine import Strategy\n\n{third_line}\n")
    assert main(["run", "bad.py:X", "--ticks", "ticks.csv"]) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and f"bad.py: importing it raised {error}" in err and "line 3" in err
    assert "line 5" not in err


@pytest.mark.parametrize("reference", ["strats.py:RoundTrip", "kelvo_orra_backtest.examples.crossover:Crossover"])
def test_a_run_writes_nothing_without_report(workdir, capsys, reference):
    argv = ["run", reference, "--ticks", "ticks.csv", "--codes", "TXF", "--output-dir", "out"]
    if reference.startswith("kelvo"):
        argv += ["--param", "fast=2", "--param", "slow=3"]
    assert main(argv) == 0
    out = capsys.readouterr().out
    assert "net_profit" in out and "digest" in out
    if reference.startswith("strats"):
        assert "2 / 2" in out  # orders / fills
    assert _files(workdir) == INPUTS


def test_report_writes_the_files_it_lists(workdir, capsys):
    assert main(["run", "strats.py:RoundTrip", "--ticks", "ticks.csv", "--costs", "account", "--param", "qty=2",
                 "--output-dir", "out", "--report"]) == 0
    out = capsys.readouterr().out
    listed = [Path(line.strip()) for line in out.split("files written:")[1].splitlines() if line.strip()]
    assert listed and all(p.is_file() and p.is_relative_to(workdir / "out") for p in listed)
    assert {p.parent.name for p in listed} >= {"trade_records", "report", "profit_report"}
    assert "account costs" in out and "'qty': 2" in out


def test_a_hook_that_raises_prints_its_traceback_and_writes_nothing(workdir, capsys):
    assert main(["run", "strats.py:Broken", "--ticks", "ticks.csv", "--output-dir", "out", "--report"]) == 1
    captured = capsys.readouterr()
    err = captured.err.splitlines()
    assert err[0] == "Traceback (most recent call last):"
    assert any("strats.py" in line and "in on_bar" in line for line in err)
    assert err[-2] == "ValueError: no signal today"
    assert err[-1].startswith("error: Broken.on_bar raised ValueError: no signal today (at 2026-03-30 09:01:")
    assert err[-1].endswith(" on TXF)")
    assert "net_profit" not in captured.out
    assert _files(workdir) == INPUTS


@pytest.mark.parametrize("rule, day", [("3", "2026-05-15"), ("expiry", "2026-05-21")])
def test_daily_files_roll_as_asked(workdir, capsys, rule, day):
    from daily_files import write_days
    (workdir / "daily").mkdir()
    write_days(workdir / "daily", datetime(2026, 5, 13).date(), datetime(2026, 5, 22).date(), zipped=True)
    assert main(["run", "strats.py:RoundTrip", "--ticks", "daily", "--roll-rule", rule]) == 0
    out = capsys.readouterr().out
    assert f"--roll-rule {rule}" in out and f"換月 {day}: 202605 → 202606" in out and "202605->202606" in out
    assert main(["run", "strats.py:RoundTrip", "--ticks", "daily", "--roll-rule", "soon"]) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and "roll must be 'expiry', 'volume' or a number N >= 1" in err and "'soon'" in err
