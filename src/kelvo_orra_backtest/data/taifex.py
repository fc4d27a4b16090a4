"""Reader of the futures exchange's daily trade files.

The exchange publishes every trade of every futures contract as one file per
trading day (``Daily_2026_05_29.zip`` holding one ``.csv`` or ``.rpt`` in
Big5).  A day's file holds that day's regular session (08:45-13:45) and the
night session that began at 15:00 on the previous trading day, each trade
dated by its own calendar date.  Columns, by their header names::

    成交日期        trade date, YYYYMMDD
    商品代號        product code (TX, MTX, TMF, TE, TF, ...)
    到期月份(週別)  contract month YYYYMM; a weekly one carries a W and a week
                    number (202606W2); a spread joins two months with "/"
    成交時間        HHMMSS, the leading zero sometimes dropped (84500)
    成交價格        price
    成交數量(B+S)   volume counting both sides: lots = value / 2
    近月價格, 遠月價格, 開盤集合競價   spread legs and the opening-auction mark

`read_daily` turns any number of such files (zips, plain files, directories,
globs) into the replay's tick columns for one product and one contract:
``timestamp`` (epoch seconds of the Taipei wall-clock time, whatever the
process's zone), ``code``, ``market_type``, ``close``, ``qty``, ``tick_type``
and ``is_simulate``, followed by ``contract``, the contract month each tick
was traded in.  For the front month, `roll` chooses the trading day on which
the series moves to the next month (see `load_daily`).
"""
from __future__ import annotations

import csv
import glob
import io
import re
import zipfile
from dataclasses import dataclass, field
from datetime import date, timedelta
from functools import lru_cache
from pathlib import Path
from typing import Iterable, Iterator, Union

import polars as pl

PathLike = Union[str, Path]

HEADER = ("成交日期", "商品代號", "到期月份(週別)", "成交時間", "成交價格", "成交數量(B+S)",
          "近月價格", "遠月價格", "開盤集合競價")
# header name -> our column; the last three columns are not needed for ticks
_FIELDS = {"成交日期": "date", "商品代號": "product", "到期月份(週別)": "month", "成交時間": "time",
           "成交價格": "price", "成交數量(B+S)": "volume"}
SUFFIXES = (".zip", ".csv", ".rpt")

# Exchange product code -> the code the account prices contracts by.
CODE_NAMES = {"TX": "TXF", "MTX": "MXF", "TMF": "TMF", "TE": "EXF", "TF": "FXF"}
_PRODUCT_OF_CODE = {v: k for k, v in CODE_NAMES.items()}

TAIPEI_OFFSET = 8 * 3600  # UTC+8 all year
_DAY_START = 6 * 3600  # a trade after 06:00 belongs to the regular session of its date
_MONTHLY = re.compile(r"^\d{6}$")
_CONTRACT = re.compile(r"^\d{6}(W\d{1,2})?$")
_STATIC = Path(__file__).resolve().parent.parent / "static"

# Bounds of what one file may unpack to.  The busiest trading days so far come
# to about 150 MB of CSV, which the exchange's deflate shrinks 5 to 15 times;
# a zip bomb shrinks up to a thousand times.  A plain file or a zip's members
# together above MAX_FILE_BYTES, or a member that expands more than MAX_RATIO
# times (judged once _RATIO_FROM bytes are out), are refused while they are
# read, so one file never holds more than MAX_FILE_BYTES in memory unpacked.
MAX_FILE_BYTES = 512 * 1024 * 1024
MAX_RATIO = 100
_RATIO_FROM = 16 * 1024 * 1024
_CHUNK = 1024 * 1024

TICK_SCHEMA = {
    "timestamp": pl.Float64, "code": pl.Utf8, "market_type": pl.Utf8, "close": pl.Float64,
    "qty": pl.Int64, "tick_type": pl.Int8, "is_simulate": pl.Boolean,
}
# The ticks of daily files carry one column more: the contract month of each
# tick (YYYYMM, or YYYYMMWn for a weekly one); where it changes, the series rolled.
DAILY_SCHEMA = {**TICK_SCHEMA, "contract": pl.Utf8}

RollRule = Union[str, int]
ROLL_FORMS = "'expiry', 'volume' or a number N >= 1 of trading days before the expiry (such as 3)"


class DailyFileError(ValueError):
    """A daily trade file that cannot be read; the message is one line naming
    the file (and the line number where there is one)."""


@dataclass(frozen=True)
class DayChoice:
    """The contract taken from one trading day's file."""

    trading_day: date
    contract: str
    ticks: int
    source: str


@dataclass(frozen=True)
class Roll:
    """A change of contract between two consecutive trading days read: from
    `trading_day`'s file on (its night session, opened on the evening
    before, comes first) the ticks are those of `new`, up to it of `old`."""

    trading_day: date
    old: str
    new: str


@dataclass
class DailyTicks:
    """What `load_daily` read: the ticks, the contract of every day, and the
    files left out because an earlier file already held their trading day.
    `roll` is the rule the front month was rolled by ("expiry", "volume" or
    a number of trading days; "expiry" also for a fixed contract)."""

    ticks: pl.DataFrame
    product: str
    code: str
    contract: str
    days: list[DayChoice] = field(default_factory=list)
    duplicates: list[str] = field(default_factory=list)
    roll: RollRule = "expiry"

    @property
    def rolls(self) -> list[Roll]:
        """Every change of contract, in the order of the trading days."""
        return [Roll(b.trading_day, a.contract, b.contract)
                for a, b in zip(self.days, self.days[1:]) if a.contract != b.contract]


# --- calendar -----------------------------------------------------------------

@lru_cache(maxsize=1)
def _closed_dates() -> frozenset[date]:
    with open(_STATIC / "holidays_search_from_2017.csv", newline="", encoding="utf-8") as f:
        return frozenset(date.fromisoformat(row["Date"]) for row in csv.DictReader(f))


def is_trading_day(day: date) -> bool:
    return day.weekday() < 5 and day not in _closed_dates()


def next_trading_day(day: date) -> date:
    """`day` itself when it is a trading day, else the first one after it."""
    while not is_trading_day(day):
        day += timedelta(days=1)
    return day


def expiry_day(month: str) -> date:
    """Last trading day of a monthly contract (``YYYYMM``): the third
    Wednesday of the month, or the next trading day when that is closed."""
    year, mon = int(month[:4]), int(month[4:6])
    first = date(year, mon, 1)
    wednesday = first + timedelta(days=(2 - first.weekday()) % 7 + 14)
    return next_trading_day(wednesday)


def _trading_days_before(day: date, n: int) -> date:
    """The trading day `n` trading days before `day`."""
    while n > 0:
        day -= timedelta(days=1)
        if is_trading_day(day):
            n -= 1
    return day


def roll_day(month: str, roll: RollRule = "expiry") -> date:
    """The first trading day whose file is read from the month after
    `month` (a monthly contract ``YYYYMM``) under a calendar roll rule:
    "expiry", the trading day after `month`'s expiry day; a number N, the
    trading day N trading days before the expiry day."""
    if not isinstance(month, str) or not _MONTHLY.match(month) or not 1 <= int(month[4:6]) <= 12:
        raise ValueError(f"month must be a monthly contract YYYYMM, not {month!r}")
    rule = check_roll(roll)
    if rule == "volume":
        raise ValueError("roll='volume' depends on the traded volumes, not on the calendar: "
                         "load_daily finds its days")
    return _roll_day(month, rule)


@lru_cache(maxsize=4096)
def _roll_day(month: str, rule: RollRule) -> date:
    expiry = expiry_day(month)
    if rule == "expiry":
        return next_trading_day(expiry + timedelta(days=1))
    return _trading_days_before(expiry, rule)


# --- finding the files ----------------------------------------------------------

def _is_glob(text: str) -> bool:
    return any(ch in text for ch in "*?[")


def expand_paths(paths: PathLike | Iterable[PathLike]) -> list[Path]:
    """Files named by `paths`: files as they are, the daily files
    (``.zip``, ``.csv``, ``.rpt``) of a directory, the matches of a glob;
    each file once, in the order given (a directory's and a glob's in name order)."""
    if isinstance(paths, (str, Path)):
        paths = [paths]
    elif not isinstance(paths, Iterable):
        raise TypeError(f"paths must be a path, a glob or a list of them, not {type(paths).__name__}")
    out: list[Path] = []
    seen: set[Path] = set()

    def add(p: Path) -> None:
        key = p.resolve()
        if key not in seen:
            seen.add(key)
            out.append(p)

    for item in paths:
        p = Path(item).expanduser()
        if p.is_dir():
            found = sorted(c for c in p.iterdir() if c.is_file() and c.suffix.lower() in SUFFIXES)
            if not found:
                raise DailyFileError(f"{p}: the directory holds no daily files (.zip, .csv, .rpt)")
            for c in found:
                add(c)
        elif p.exists():
            add(p)
        elif _is_glob(str(p)):
            matches = sorted(Path(m) for m in glob.glob(str(p)) if Path(m).is_file())
            if not matches:
                raise DailyFileError(f"{item}: no file matches")
            for m in matches:
                add(m)
        else:
            raise DailyFileError(f"{p}: no such file or directory")
    if not out:
        raise DailyFileError("no daily files given")
    return out


def _decode_header(line: bytes) -> str:
    for enc in ("utf-8-sig", "cp950"):
        try:
            return line.decode(enc)
        except UnicodeDecodeError:
            continue
    return line.decode("cp950", errors="replace")


def _header_names(text: str) -> list[str]:
    names = [n.strip(" \t\r\n\u3000\ufeff").replace("（", "(").replace("）", ")") for n in text.split(",")]
    while names and not names[-1]:
        names.pop()
    return names


def _looks_like_html(raw: bytes) -> bool:
    head = raw[:1024].lstrip(b"\xef\xbb\xbf \t\r\n").lower()
    return head.startswith(b"<") or b"<html" in head


def is_daily_file(path: PathLike) -> bool:
    """True for a directory, a glob, a zip, or a file whose first line is the
    daily trade header; False for anything else (such as a tick CSV)."""
    p = Path(path).expanduser()
    if p.is_dir() or (not p.exists() and _is_glob(str(p))):
        return True
    if p.suffix.lower() == ".zip" or zipfile.is_zipfile(p):
        return True
    try:
        with open(p, "rb") as f:
            first = f.readline(4096)
    except OSError:
        return False
    names = _header_names(_decode_header(first))
    return all(n in names for n in _FIELDS)


# --- reading one file -------------------------------------------------------------

@dataclass
class _Source:
    name: str
    raw: bytes


def _too_big(name: str, size: int) -> DailyFileError:
    return DailyFileError(f"{name}: holds more than {MAX_FILE_BYTES:,} bytes ({size:,} or more), "
                          "more than any daily file")


def _unpack(zf: zipfile.ZipFile, info: zipfile.ZipInfo, name: str, budget: int) -> bytes:
    """One member, unpacked piece by piece: refused as soon as it holds more
    than `budget` bytes or expands more than MAX_RATIO times."""
    label = f"{name}[{info.filename}]"
    if info.compress_type not in (zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED):
        # the exchange deflates; other methods unpack without a bound per read
        raise DailyFileError(f"{label}: is compressed with method {info.compress_type}, not deflate")
    if info.file_size > budget:
        raise _too_big(label, info.file_size)
    out = io.BytesIO()
    size = 0
    with zf.open(info) as member:
        while chunk := member.read(_CHUNK):
            size += len(chunk)
            if size > budget:
                raise _too_big(label, size)
            if size > _RATIO_FROM and size > MAX_RATIO * info.compress_size:
                raise DailyFileError(f"{label}: expands more than {MAX_RATIO} times "
                                     f"({info.compress_size:,} bytes to {size:,} and more), "
                                     "as no daily file does (a zip bomb)")
            out.write(chunk)
    return out.getvalue()


def _sources(path: Path) -> Iterator[_Source]:
    """The trade files of `path`, one at a time: the file itself, or each
    .csv/.rpt member of a zip."""
    name = str(path)
    try:
        with open(path, "rb") as f:
            raw = f.read(1024)
            zipped = raw.startswith(b"PK")
            if not zipped:
                raw += f.read(MAX_FILE_BYTES + 1 - len(raw))
    except OSError as exc:
        raise DailyFileError(f"{name}: cannot be read ({exc.strerror or exc})") from None
    if not zipped:
        if path.suffix.lower() == ".zip" and _looks_like_html(raw):
            raise DailyFileError(f"{name}: is an HTML page, not a trade file "
                                 "(the exchange sends one for a day without trading)")
        if path.suffix.lower() == ".zip":
            raise DailyFileError(f"{name}: is not a zip archive")
        if len(raw) > MAX_FILE_BYTES:
            raise _too_big(name, len(raw))
        yield _Source(name, raw)
        return
    del raw
    try:
        with zipfile.ZipFile(path) as zf:
            members = [i for i in zf.infolist() if not i.is_dir()]
            data = [i for i in members if Path(i.filename).suffix.lower() in (".csv", ".rpt")]
            if not data:
                pages = [i for i in members if Path(i.filename).suffix.lower() in (".htm", ".html")
                         or _looks_like_html(_head(zf, i))]
                if pages:
                    raise DailyFileError(f"{name}: holds an HTML page ({pages[0].filename}), not trades "
                                         "(the exchange sends one for a day without trading)")
                raise DailyFileError(f"{name}: the zip holds no .csv or .rpt file")
            budget = MAX_FILE_BYTES  # for all members together
            for info in data:
                raw = _unpack(zf, info, name, budget)
                budget -= len(raw)
                yield _Source(name if len(data) == 1 else f"{name}[{info.filename}]", raw)
                del raw
    except (zipfile.BadZipFile, zipfile.LargeZipFile, OSError, EOFError) as exc:
        raise DailyFileError(f"{name}: is not a readable zip archive ({exc})") from None


def _head(zf: zipfile.ZipFile, info: zipfile.ZipInfo) -> bytes:
    with zf.open(info) as member:
        return member.read(1024)


@dataclass
class _Day:
    source: str
    trading_day: date
    rows: pl.DataFrame  # date (Int32 days), secs, price, lots, month, line: trades of the product, no spreads


def _first_bad(df: pl.DataFrame, checks: list[tuple[pl.Expr, str, str]]) -> tuple[int, str, str] | None:
    """The earliest line failing one of `checks` (mask, column, what it should be)."""
    found = df.select([pl.col("line").filter(mask).first().alias(str(i))
                       for i, (mask, _, _) in enumerate(checks)]).row(0)
    worst = None
    for i, line in enumerate(found):
        if line is not None and (worst is None or line < worst[0]):
            worst = (line, checks[i][1], checks[i][2])
    return worst


def _parse(source: _Source, product: str) -> _Day:
    name, raw = source.name, source.raw
    if not raw.strip():
        raise DailyFileError(f"{name}: is empty")
    if _looks_like_html(raw):
        raise DailyFileError(f"{name}: is an HTML page, not a trade file "
                             "(the exchange sends one for a day without trading)")
    cut = raw.find(b"\n")
    head, body = (raw, b"") if cut < 0 else (raw[:cut], raw[cut + 1:])
    names = _header_names(_decode_header(head))
    missing = [n for n in _FIELDS if n not in names]
    if missing:
        shown = ",".join(names)
        shown = shown if len(shown) <= 60 else shown[:57] + "..."
        raise DailyFileError(f"{name}: line 1: not the daily trade header (no {', '.join(missing)}; "
                             f"the line reads {shown!r})")
    if not body.isascii():
        try:
            body = body.decode("cp950").encode("utf-8")
        except UnicodeDecodeError as exc:
            line = body[:exc.start].count(b"\n") + 2
            raise DailyFileError(f"{name}: line {line}: not Big5 text") from None

    columns = [f"c{i}" for i in range(len(names))]
    want = {columns[names.index(h)]: col for h, col in _FIELDS.items()}
    if body.strip():
        # A quoted field may hold a line break: then every column is read, so
        # that the breaks inside fields can be counted into the line numbers.
        quoted = b'"' in body
        try:
            table = pl.read_csv(io.BytesIO(body), has_header=False, schema={c: pl.Utf8 for c in columns},
                                truncate_ragged_lines=True, quote_char='"',
                                columns=None if quoted else [int(c[1:]) for c in want])
        except Exception as exc:  # polars' own parse errors
            first = str(exc).strip().splitlines()[0] if str(exc).strip() else type(exc).__name__
            raise DailyFileError(f"{name}: cannot be read as CSV ({first})") from None
        del body
        table = table.with_row_index("line", offset=2)
        if quoted:
            breaks = pl.sum_horizontal(pl.col(c).str.count_matches("\n", literal=True).fill_null(0)
                                       for c in columns)
            table = table.with_columns(pl.col("line") + (breaks.cum_sum() - breaks).cast(pl.UInt32))
        table = table.select("line", *want).rename(want)
    else:
        table = pl.DataFrame(schema={"line": pl.UInt32, **{c: pl.Utf8 for c in _FIELDS.values()}})

    text = table.with_columns(pl.col(c).str.strip_chars() for c in _FIELDS.values())
    mine = text.filter(pl.col("product") == product)
    if mine.height == 0:
        present = sorted(p for p in text["product"].drop_nulls().unique().to_list() if p)
        listed = ", ".join(present[:25]) + (", ..." if len(present) > 25 else "") if present else "none"
        raise DailyFileError(f"no {product} trades in {name}; products present: {listed}")

    mine = mine.filter(~pl.col("month").fill_null("").str.contains("/", literal=True))
    time_text = pl.col("time").str.zfill(6)
    parsed = mine.with_columns(
        pl.col("date").str.strptime(pl.Date, "%Y%m%d", strict=False).alias("day"),
        pl.when(pl.col("time").str.contains(r"^\d{1,6}$"))
        .then(time_text.str.slice(0, 2).cast(pl.Int32) * 3600 + time_text.str.slice(2, 2).cast(pl.Int32) * 60
              + time_text.str.slice(4, 2).cast(pl.Int32))
        .alias("secs"),
        pl.when(pl.col("time").str.contains(r"^\d{1,6}$"))
        .then((time_text.str.slice(2, 2).cast(pl.Int32) < 60) & (time_text.str.slice(4, 2).cast(pl.Int32) < 60))
        .alias("time_ok"),
        pl.col("price").cast(pl.Float64, strict=False).alias("px"),
        pl.col("volume").cast(pl.Float64, strict=False).alias("vol"),
    )
    bad = _first_bad(parsed, [
        (pl.col("day").is_null() | (pl.col("date").str.len_chars() != 8), "date", "a date YYYYMMDD"),
        (pl.col("month").fill_null("").str.len_chars() < 6, "contract month", "YYYYMM"),
        (pl.col("secs").is_null() | ~pl.col("time_ok").fill_null(False) | (pl.col("secs") >= 86400),
         "time", "a time HHMMSS"),
        (pl.col("px").is_null() | ~pl.col("px").is_finite().fill_null(False) | (pl.col("px") <= 0),
         "price", "a price"),
        (pl.col("vol").is_null() | (pl.col("vol") <= 0) | (pl.col("vol") % 2 != 0),
         "volume", "an even count of both sides"),
    ])
    if bad is not None:
        line, column, what = bad
        row = parsed.filter(pl.col("line") == line).row(0, named=True)
        value = row[{"contract month": "month"}.get(column, column)]
        raise DailyFileError(f"{name}: line {line}: {column} {value!r} is not {what}")

    rows = parsed.select(
        pl.col("day").cast(pl.Int32).alias("date"), "secs", pl.col("px").alias("price"),
        (pl.col("vol") // 2).cast(pl.Int64).alias("lots"), "month", "line",
    )
    if rows.height == 0:
        raise DailyFileError(f"no {product} trades in {name} besides spreads")
    last = rows.select((pl.col("date").cast(pl.Int64) * 86400 + pl.col("secs")).max()).item()
    day = date(1970, 1, 1) + timedelta(days=last // 86400)
    # a file of night trades only belongs to the trading day after that night
    trading_day = day if last % 86400 >= _DAY_START else next_trading_day(day)
    return _Day(name, trading_day, rows)


# --- the public reader ---------------------------------------------------------------

def _product_code(product: str) -> str:
    if not isinstance(product, str) or not product.strip():
        raise ValueError(f"product must be an exchange product code such as TX, not {product!r}")
    p = product.strip().upper()
    return _PRODUCT_OF_CODE.get(p, p)


def _check_contract(contract: str) -> str:
    if not isinstance(contract, str):
        raise ValueError(f"contract must be 'front' or a month YYYYMM, not {contract!r}")
    c = contract.strip().upper()
    if c == "FRONT":
        return "front"
    if not _CONTRACT.match(c) or not 1 <= int(c[4:6]) <= 12:
        raise ValueError(f"contract must be 'front' or a month YYYYMM (202606, or 202606W2 for a weekly one), "
                         f"not {contract!r}")
    return c


def check_roll(roll: RollRule) -> RollRule:
    """The roll rule in its plain form: "expiry", "volume" or an int N >= 1
    (digits as text are taken too, as a command line gives them)."""
    if isinstance(roll, str):
        text = roll.strip().lower()
        if text in ("expiry", "volume"):
            return text
        if text.isascii() and text.isdigit() and int(text) >= 1:
            return int(text)
    elif isinstance(roll, int) and not isinstance(roll, bool) and roll >= 1:
        return roll
    raise ValueError(f"roll must be {ROLL_FORMS}, not {roll!r}")


def _monthly_live(months: Iterable[str], trading_day: date) -> list[str]:
    """The monthly contracts among `months` not yet expired on `trading_day`, nearest first."""
    return sorted(m for m in months if _MONTHLY.match(m) and int(m[4:6]) in range(1, 13)
                  and expiry_day(m) >= trading_day)


def _front_months(days: dict[date, _Day], product: str, roll: RollRule) -> dict[date, str]:
    """The front month of every trading day read, under `roll`.

    Each rule gives a month no later than the next one: "expiry" the nearest
    month not expired; N the nearest month whose roll day (N trading days
    before its expiry) is still to come; "volume" the month of the day
    before, moved on to the next month when that one traded more lots than
    it on the day before, and to the nearest month not expired when it has.
    A month once left is never taken again."""
    out: dict[date, str] = {}
    floor = ""  # the month taken last: never go back before it
    switch_to = None  # "volume": the month that outtraded the front month on the day before
    for trading_day in sorted(days):
        d = days[trading_day]
        months = d.rows["month"].unique().to_list()
        live = [m for m in _monthly_live(months, trading_day) if m >= floor]
        if not live:
            raise DailyFileError(f"no monthly {product} contract trading on {trading_day} in {d.source}"
                                 f"{f' from {floor} on' if floor else ''}; contracts present: "
                                 f"{', '.join(sorted(months))}")
        if roll == "expiry":
            month = live[0]
        elif roll == "volume":
            month = live[0]
            if switch_to is not None and switch_to in live and switch_to > month:
                month = switch_to
            after = [m for m in live if m > month]
            switch_to = None
            if after:
                lots = dict(d.rows.filter(pl.col("month").is_in([month, after[0]]))
                            .group_by("month").agg(pl.col("lots").sum()).rows())
                if lots.get(after[0], 0) > lots.get(month, 0):
                    switch_to = after[0]
        else:
            later = [m for m in live if trading_day < _roll_day(m, roll)]
            if not later:
                raise DailyFileError(f"no {product} contract in {d.source} is the front month on {trading_day} "
                                     f"under roll={roll}: {live[-1]} rolls on or before that day and no later "
                                     f"month trades; contracts present: {', '.join(sorted(months))}")
            month = later[0]
        out[trading_day] = floor = month
    return out


def load_daily(paths: PathLike | Iterable[PathLike], product: str = "TX", contract: str = "front",
               roll: RollRule = "expiry") -> DailyTicks:
    """Reads daily trade files into ticks of one product and one contract.

    `contract` "front" takes, per trading day, one monthly contract: by
    `roll`, the rule for when the next month takes over:

    - "expiry" (default): the nearest month that has not expired, so the next
      month comes with the expiry day's night session, which lies in the
      next day's file;
    - N (an int of 1 or more): from the trading day N trading days before
      the expiry day on (N=1: the day before it), so from that day's file,
      whose first trades are the night session of the evening before;
    - "volume": from the trading day after the first day on which the next
      month traded more lots than the front month (a day's volume is known
      only once the day is over), and at the latest as under "expiry".

    The choice is per whole file (a trading day's file, night session
    included) and never goes back to a month once left.  A month ``YYYYMM``
    (or a weekly ``YYYYMMWn``) takes that contract on every day; `roll`
    applies to "front" only.  Every file is read completely before anything
    is returned; a day held by two files (a zip and its unpacked CSV) is
    read from the first one only.  The ticks carry a ``contract`` column
    after the tick columns; `DailyTicks.rolls` lists the changes.
    """
    product = _product_code(product)
    contract = _check_contract(contract)
    roll = check_roll(roll)
    if contract != "front" and roll != "expiry":
        raise ValueError(f"roll={roll!r} chooses when the front month rolls; contract {contract} is "
                         "read on every day (use contract='front')")
    days: dict[date, _Day] = {}
    duplicates: list[str] = []
    for path in expand_paths(paths):
        for source in _sources(path):
            day = _parse(source, product)
            if day.trading_day in days:
                duplicates.append(source.name)
            else:
                days[day.trading_day] = day

    code = CODE_NAMES.get(product, product)
    fronts = _front_months(days, product, roll) if contract == "front" else {}
    chosen: list[DayChoice] = []
    parts: list[pl.DataFrame] = []
    for trading_day in sorted(days):
        d = days[trading_day]
        month = fronts.get(trading_day, contract)
        rows = d.rows.filter(pl.col("month") == month)
        chosen.append(DayChoice(trading_day, month, rows.height, d.source))
        parts.append(rows)

    frame = pl.concat(parts) if parts else pl.DataFrame()
    if frame.height == 0:
        present = sorted({m for d in days.values() for m in d.rows["month"].unique().to_list()})
        raise DailyFileError(f"no {product} {contract} trades in {len(days)} file(s) "
                             f"({', '.join(c.source for c in chosen[:3])}{', ...' if len(chosen) > 3 else ''}); "
                             f"contracts present: {', '.join(present)}")
    ticks = frame.select(
        (pl.col("date").cast(pl.Int64) * 86400 + pl.col("secs") - TAIPEI_OFFSET).cast(pl.Float64).alias("timestamp"),
        pl.lit(code, pl.Utf8).alias("code"),
        pl.lit("Future", pl.Utf8).alias("market_type"),
        pl.col("price").alias("close"),
        pl.col("lots").alias("qty"),
        pl.lit(0, pl.Int8).alias("tick_type"),
        pl.lit(False, pl.Boolean).alias("is_simulate"),
        pl.col("month").alias("contract"),
    ).sort("timestamp", maintain_order=True)
    return DailyTicks(ticks, product, code, contract, chosen, duplicates, roll)


def read_daily(paths: PathLike | Iterable[PathLike], product: str = "TX", contract: str = "front",
               roll: RollRule = "expiry") -> pl.DataFrame:
    """The ticks of `load_daily`: a polars frame in the replay's tick columns
    and ``contract``, sorted by time (trades of one second keep the file's order)."""
    return load_daily(paths, product, contract, roll).ticks
