"""Daily trade files of the futures exchange: the published layout read into
ticks, the front-month roll, bad files, and many days against one by one."""
from __future__ import annotations

import os
import random
import time
import tracemalloc
import zipfile
from datetime import date, datetime, timedelta, timezone

import polars as pl
import pytest

from daily_files import day_bytes, random_day, row, trade_times, write, write_days
from kelvo_orra_backtest.data import taifex

TAIPEI = timezone(timedelta(hours=8))


def epoch(*parts):
    return datetime(*parts, tzinfo=TAIPEI).timestamp()


# 2026-05-29 (Friday): the night session from Thursday 15:00 crossing midnight,
# then the day session; weekly, spread, back-month and other products mixed in.
FRIDAY = [
    row(20260528, "TX", "202606", "150000", 21000, 8, auction="*"),
    row(20260528, "MTX", "202606", "150000", 21001, 4, auction="*"),
    row(20260528, "TX", "202606", "235959", 21010, 2),
    row(20260528, "TX", "202606/202607", "235959", -18, 2, "21010", "21028"),
    row(20260529, "TX", "202606", "1", 21012, 6),
    row(20260529, "TX", "202606W1", "30000", 20990, 2),
    row(20260529, "TX", "202607", "45959", 21030, 2),
    row(20260529, "TX", "202606", "45959", 21015, 4),
    row(20260529, "TX", "202606", "84500", 21050, 40, auction="*"),
    row(20260529, "TX", "202606", "134459", 21070, 2),
]
FRIDAY_TICKS = [  # (Taipei time, price, lots)
    ((2026, 5, 28, 15, 0, 0), 21000.0, 4),
    ((2026, 5, 28, 23, 59, 59), 21010.0, 1),
    ((2026, 5, 29, 0, 0, 1), 21012.0, 3),
    ((2026, 5, 29, 4, 59, 59), 21015.0, 2),
    ((2026, 5, 29, 8, 45, 0), 21050.0, 20),
    ((2026, 5, 29, 13, 44, 59), 21070.0, 1),
]


@pytest.fixture
def new_york(monkeypatch):
    """A process zone far from Taipei: the ticks must not depend on it."""
    monkeypatch.setenv("TZ", "America/New_York")
    time.tzset()
    yield
    monkeypatch.undo()
    time.tzset()


@pytest.mark.parametrize("zipped", [False, True])
def test_published_layout_gives_hand_computed_ticks(tmp_path, new_york, zipped):
    name = "Daily_2026_05_29.zip" if zipped else "Daily_2026_05_29.csv"
    path = write(tmp_path / name, FRIDAY, zipped=zipped)
    got = taifex.load_daily(path)
    assert got.ticks.columns == ["timestamp", "code", "market_type", "close", "qty", "tick_type", "is_simulate",
                                 "contract"]
    assert got.ticks.rows() == [(epoch(*t), "TXF", "Future", p, q, 0, False, "202606") for t, p, q in FRIDAY_TICKS]
    assert got.ticks.schema == pl.Schema(taifex.DAILY_SCHEMA)
    assert got.rolls == [] and got.roll == "expiry"
    assert [(d.trading_day, d.contract, d.ticks) for d in got.days] == [(date(2026, 5, 29), "202606", 6)]


@pytest.mark.parametrize("product,contract,expected", [
    ("MTX", "front", [("MXF", 21001.0, 2)]),
    ("tx", "202607", [("TXF", 21030.0, 1)]),
    ("TXF", "202606w1", [("TXF", 20990.0, 1)]),
])
def test_product_and_contract_choice(tmp_path, product, contract, expected):
    ticks = taifex.read_daily(write(tmp_path / "d.csv", FRIDAY), product, contract)
    assert ticks.select("code", "close", "qty").rows() == expected
    assert ticks["contract"].to_list() == ["202606" if contract == "front" else contract.upper()]


@pytest.mark.parametrize("contract", ["2026-06", "202613", "next", 202606])
def test_contract_must_be_front_or_a_month(tmp_path, contract):
    with pytest.raises(ValueError, match="contract must be 'front' or a month YYYYMM"):
        taifex.read_daily(write(tmp_path / "d.csv", FRIDAY), "TX", contract)


def test_front_month_rolls_with_the_expiry_days_night_session(tmp_path):
    # 202605 expires on Wednesday 2026-05-20: its night session (in Thursday's
    # file) already trades June as the front month.
    def day(prev, today, months):
        out = []
        for i, m in enumerate(months):
            out.append(row(prev, "TX", m, "150000", 21000 + i, 2))
            out.append(row(today, "TX", m, "84500", 21100 + i, 2))
        return out
    write(tmp_path / "Daily_2026_05_19.csv", day(20260518, 20260519, ["202605", "202606"]))
    write(tmp_path / "Daily_2026_05_20.csv", day(20260519, 20260520, ["202605", "202606"]))
    # a stray row of the expired month does not bring it back
    write(tmp_path / "Daily_2026_05_21.csv", day(20260520, 20260521, ["202606", "202607"])
          + [row(20260521, "TX", "202605", "90000", 21300, 2)])
    got = taifex.load_daily(tmp_path)
    assert [(d.trading_day.day, d.contract) for d in got.days] == [(19, "202605"), (20, "202605"), (21, "202606")]
    # the expiry day's night session (2026-05-20 15:00) is June's first price in the series
    roll = got.ticks.filter(pl.col("timestamp") == epoch(2026, 5, 20, 15, 0, 0))
    assert roll["close"].to_list() == [21000.0]


@pytest.mark.parametrize("month,expiry", [
    ("202605", date(2026, 5, 20)),
    ("202602", date(2026, 2, 23)),  # third Wednesday in the Lunar New Year holidays: next open day
    ("202604", date(2026, 4, 15)),
])
def test_expiry_day(month, expiry):
    assert taifex.expiry_day(month) == expiry


@pytest.mark.parametrize("month,roll,first_day", [
    ("202605", "expiry", date(2026, 5, 21)),
    ("202605", 1, date(2026, 5, 19)),
    ("202605", "3", date(2026, 5, 15)),  # back over a weekend
    ("202602", "expiry", date(2026, 2, 24)),
    ("202602", 1, date(2026, 2, 11)),  # the expiry moved past the Lunar New Year; the day before it is before them
    ("202604", 8, date(2026, 4, 1)),  # over the weekend and the Children's Day and Tomb-Sweeping closures
])
def test_roll_day_counts_trading_days_of_the_calendar(month, roll, first_day):
    assert taifex.roll_day(month, roll) == first_day


# Around the May 2026 expiry (Wednesday 2026-05-20): files of 13-22 May,
# May, June and July trading 50 points apart.  Lots per trade by month and
# day of May (None: every other day).
VOLUME_LATE = {"202605": {None: 10}, "202606": {None: 4, 14: 10, 15: 12, 19: 1},  # a tie is no roll
               "202607": {None: 1, 13: 50}}  # only the month after the front month counts
VOLUME_FIRST_DAY = {"202605": {None: 10}, "202606": {None: 4, 13: 11}, "202607": {None: 1}}
VOLUME_NEVER = {"202605": {None: 10}, "202606": {None: 1}, "202607": {None: 1}}


@pytest.mark.parametrize("roll,lots,segments", [
    ("expiry", None, [(13, "202605"), (21, "202606")]),
    (1, None, [(13, "202605"), (19, "202606")]),
    (3, None, [(13, "202605"), (15, "202606")]),
    (4, None, [(13, "202605"), (14, "202606")]),
    (5, None, [(13, "202606")]),  # May's roll day is the first day read
    (20, None, [(13, "202606"), (20, "202607")]),  # June's roll day too comes before its expiry
    ("volume", VOLUME_LATE, [(13, "202605"), (18, "202606")]),  # June ahead on Friday the 15th
    ("volume", VOLUME_FIRST_DAY, [(13, "202605"), (14, "202606")]),  # known only once the day is over
    ("volume", VOLUME_NEVER, [(13, "202605"), (21, "202606")]),  # at the latest with the expiry
])
def test_each_roll_rule_picks_its_day(tmp_path, roll, lots, segments):
    months = ("202605", "202606", "202607")
    per_trade = 10 if lots is None else (lambda day, m: lots[m].get(day.day, lots[m][None]))
    paths = write_days(tmp_path, date(2026, 5, 13), date(2026, 5, 22), months, price=21000, spread=50,
                       lots=per_trade, zipped=True)
    got = taifex.load_daily(paths, roll=roll)
    found = [(d.trading_day.day, d.contract) for i, d in enumerate(got.days)
             if i == 0 or d.contract != got.days[i - 1].contract]
    assert found == segments and got.roll == roll
    assert got.rolls == [taifex.Roll(date(2026, 5, day), old, new)
                         for (_, old), (day, new) in zip(segments, segments[1:])]
    # every tick carries its month: it changes at the roll day's first trade, the
    # night session opened on the evening before, and the price jumps by the spread
    t = got.ticks
    assert t["contract"].to_list() == [m for d in got.days for m in [d.contract] * d.ticks]
    change = t.filter(pl.col("contract") != pl.col("contract").shift())
    assert change["timestamp"].to_list() == [trade_times(r.trading_day)[0].replace(tzinfo=TAIPEI).timestamp()
                                             for r in got.rolls]
    assert [datetime.fromtimestamp(ts, TAIPEI).hour for ts in change["timestamp"]] == [15] * len(got.rolls)
    jumps = t.with_columns((pl.col("close") - pl.col("close").shift()).alias("jump"))
    assert jumps.filter(pl.col("contract") != pl.col("contract").shift())["jump"].to_list() == [50.0] * len(got.rolls)
    assert set(t["close"]) == {21000.0 + 50 * months.index(m) for _, m in segments}


@pytest.mark.parametrize("given,plain", [(3, 3), ("3", 3), (" Volume ", "volume"), ("EXPIRY", "expiry")])
def test_roll_forms_read(given, plain):
    assert taifex.check_roll(given) == plain


@pytest.mark.parametrize("roll", [0, -2, "0", True, 2.0, "3d", "", "front", None, "carry", "３"])
def test_bad_roll_values_name_the_allowed_forms(tmp_path, roll):
    path = write(tmp_path / "d.csv", FRIDAY)
    with pytest.raises(ValueError, match=r"roll must be 'expiry', 'volume' or a number N >= 1 of trading days "
                                         r"before the expiry \(such as 3\), not "):
        taifex.load_daily(path, roll=roll)


def test_roll_rules_refused_where_they_mean_nothing(tmp_path):
    path = write(tmp_path / "d.csv", FRIDAY)
    with pytest.raises(ValueError, match="roll=3 chooses when the front month rolls; contract 202606 is read"):
        taifex.load_daily(path, contract="202606", roll=3)
    assert taifex.load_daily(path, contract="202606", roll="expiry").ticks.height == 6
    with pytest.raises(ValueError, match="depends on the traded volumes"):
        taifex.roll_day("202605", "volume")
    with pytest.raises(ValueError, match="month must be a monthly contract YYYYMM"):
        taifex.roll_day("202605W2", 1)


def test_roll_past_every_month_in_a_file_is_an_error(tmp_path):
    # June's roll day under roll=20 is 2026-05-20; July is not in the files
    paths = write_days(tmp_path, date(2026, 5, 19), date(2026, 5, 20), ("202605", "202606"))
    with pytest.raises(taifex.DailyFileError) as info:
        taifex.load_daily(paths, roll=20)
    text = str(info.value)
    assert text.startswith(f"no TX contract in {paths[1]} is the front month on 2026-05-20 under roll=20")
    assert text.endswith(": 202606 rolls on or before that day and no later month trades; "
                         "contracts present: 202605, 202606")


HTML = b"<html><head><title>\xa4\xe9\xb4\xc1</title></head><body>no data</body></html>"


def bad_file(tmp_path, kind):
    p = tmp_path / "Daily_2026_05_29.csv"
    if kind == "zip of html":
        p = tmp_path / "Daily_2026_05_29.zip"
        with zipfile.ZipFile(p, "w") as zf:
            zf.writestr("Daily_2026_05_29.htm", HTML)
    elif kind == "html":
        p.write_bytes(HTML)
    elif kind == "header":
        write(p, FRIDAY, header="date,product,month,time,price,volume")
    elif kind == "time":
        write(p, FRIDAY[:3] + [row(20260529, "TX", "202606", "8450a", 21000, 2)])
    elif kind == "hour":
        write(p, FRIDAY[:3] + [row(20260529, "TX", "202606", "246000", 21000, 2)])
    elif kind == "price":
        write(p, FRIDAY[:5] + [row(20260529, "TX", "202606", "84500", "2l000", 2)])
    elif kind == "volume":
        write(p, FRIDAY[:2] + [row(20260529, "TX", "202606", "84500", 21000, 3)])
    elif kind == "empty":
        write(p, [row(20260529, "MTX", "202606", "84500", 21000, 2), row(20260529, "TE", "202606", "84500", 900, 2)])
    elif kind == "spreads only":
        write(p, [FRIDAY[3]])
    elif kind == "quoted break":  # a line break inside a quoted field counts as a line
        write(p, FRIDAY[:2] + [row(20260528, "TX", "202606", "150001", 21000, 2, auction='"x\r\ny"'),
                               row(20260529, "TX", "202606", "8450a", 21000, 2)])
    elif kind == "not zip":
        p = tmp_path / "Daily_2026_05_29.zip"
        p.write_bytes(b"garbage")
    return p


@pytest.mark.parametrize("kind,message", [
    ("zip of html", "holds an HTML page (Daily_2026_05_29.htm), not trades"),
    ("html", "is an HTML page, not a trade file"),
    ("header", "line 1: not the daily trade header (no 成交日期, 商品代號"),
    ("time", "line 5: time '8450a' is not a time HHMMSS"),
    ("hour", "line 5: time '246000' is not a time HHMMSS"),
    ("price", "line 7: price '2l000' is not a price"),
    ("volume", "line 4: volume '3' is not an even count of both sides"),
    ("empty", "no TX trades in {p}; products present: MTX, TE"),
    ("spreads only", "no TX trades in {p} besides spreads"),
    ("quoted break", "line 6: time '8450a' is not a time HHMMSS"),
    ("not zip", "is not a zip archive"),
])
def test_bad_files_get_one_line_naming_the_file(tmp_path, kind, message):
    p = bad_file(tmp_path, kind)
    with pytest.raises(taifex.DailyFileError) as info:
        taifex.read_daily([write(tmp_path / "Daily_2026_05_28.csv", FRIDAY[:1]), p])
    text = str(info.value)
    assert message.format(p=p) in text and str(p) in text and "\n" not in text


def _repeated_zip(path, member, rows, times):
    """A zip whose member repeats `rows` `times` times, written piece by piece."""
    block = day_bytes(rows, header="")[2:]
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED, compresslevel=9) as zf:
        with zf.open(member, "w") as f:
            f.write(day_bytes(rows))
            for _ in range(times):
                f.write(block)
    return path


def test_zip_bomb_is_refused_while_unpacking_with_little_memory(tmp_path):
    # 64 MiB of one repeated row in a zip of some 60 kB
    bomb = _repeated_zip(tmp_path / "Daily_2026_05_29.zip", "Daily_2026_05_29.csv", [FRIDAY[-1]] * 1000,
                         64 * 1024 * 1024 // (1000 * len(FRIDAY[-1]) + 2000))
    assert bomb.stat().st_size < 200_000
    tracemalloc.start()
    try:
        with pytest.raises(taifex.DailyFileError) as info:
            taifex.read_daily(bomb)
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert f"{bomb}[Daily_2026_05_29.csv]: expands more than {taifex.MAX_RATIO} times" in str(info.value)
    assert peak < taifex._RATIO_FROM + 8 * 1024 * 1024


@pytest.mark.parametrize("kind", ["plain", "zip", "members together"])
def test_files_above_the_size_bound_are_refused(tmp_path, monkeypatch, kind):
    monkeypatch.setattr(taifex, "MAX_FILE_BYTES", 100_000)
    rng = random.Random(3)
    lines = random_day(rng, date(2026, 6, 1), date(2026, 5, 29))
    lines = (lines * (80_000 // len("".join(lines)) + 1))[:80_000 // len(lines[0])]  # some 80 kB
    if kind == "plain":
        p = write(tmp_path / "Daily_2026_06_01.csv", lines + lines)
        where = str(p)
    else:
        p = tmp_path / "Daily_2026_06_01.zip"
        with zipfile.ZipFile(p, "w", zipfile.ZIP_DEFLATED) as zf:
            if kind == "zip":
                zf.writestr("Daily_2026_06_01.csv", day_bytes(lines + lines))
            else:
                zf.writestr("a.csv", day_bytes(lines))
                zf.writestr("b.csv", day_bytes(lines))
        where = f"{p}[{'b' if kind == 'members together' else 'Daily_2026_06_01'}.csv]"
    with pytest.raises(taifex.DailyFileError, match="holds more than 100,000 bytes") as info:
        taifex.read_daily(p)
    assert str(info.value).startswith(where + ": ")


def test_paths_errors(tmp_path):
    with pytest.raises(taifex.DailyFileError, match="no file matches"):
        taifex.read_daily(str(tmp_path / "Daily_*.zip"))
    with pytest.raises(taifex.DailyFileError, match="holds no daily files"):
        taifex.read_daily(tmp_path)
    with pytest.raises(taifex.DailyFileError, match="no such file or directory"):
        taifex.read_daily(tmp_path / "missing.zip")


# --- many days ------------------------------------------------------------------

def test_many_days_at_once_equal_one_by_one(tmp_path):
    rng = random.Random(5)
    days = [date(2026, 6, d) for d in (1, 2, 3, 4, 5, 8, 9)]
    paths = []
    for prev, day in zip([date(2026, 5, 29)] + days, days):
        name = f"Daily_{day:%Y_%m_%d}"
        zipped = rng.random() < 0.5
        paths.append(write(tmp_path / (name + (".zip" if zipped or day.day == 3 else ".csv")),
                           random_day(rng, day, prev), zipped=zipped or day.day == 3))
    singles = pl.concat([taifex.read_daily(p) for p in paths])
    assert singles["timestamp"].is_sorted()
    for given in (tmp_path, str(tmp_path / "Daily_2026_06_*"), list(reversed(paths))):
        assert taifex.read_daily(given).equals(singles)

    # the unpacked copy of one day, and the same directory named twice: each day read once
    with zipfile.ZipFile(paths[2]) as zf:
        (tmp_path / "Daily_2026_06_03.rpt").write_bytes(zf.read("Daily_2026_06_03.rpt"))
    got = taifex.load_daily([tmp_path, tmp_path])
    assert got.ticks.equals(singles)
    assert got.duplicates == [str(tmp_path / "Daily_2026_06_03.zip")]


def test_header_decides_what_a_daily_file_is(tmp_path):
    daily = write(tmp_path / "x.csv", FRIDAY)
    ticks = tmp_path / "t.csv"
    ticks.write_text("timestamp,code,market_type,close,qty,tick_type,is_simulate\n")
    assert taifex.is_daily_file(daily) and not taifex.is_daily_file(ticks)
    assert taifex.is_daily_file(tmp_path) and taifex.is_daily_file(str(tmp_path / "*.zip"))


def test_taipei_epoch_does_not_follow_the_process_zone(tmp_path, new_york):
    assert os.environ["TZ"] == "America/New_York"
    [ts] = taifex.read_daily(write(tmp_path / "d.csv", [FRIDAY[-2]]))["timestamp"]
    assert ts == 1780015500.0  # 2026-05-29 00:45:00 UTC
