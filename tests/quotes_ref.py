"""Plain-Python statement of the quote store's rules, used as the oracle of
the differential tests (tick intake, tick tables and K-bars from scratch)."""
from __future__ import annotations

from datetime import datetime, timedelta

import polars as pl

SCHEMA = [
    ("dt", pl.Datetime),
    ("market_type", pl.Utf8),
    ("code", pl.Utf8),
    ("close", pl.Float64),
    ("qty", pl.Int64),
    ("tick_type", pl.Int8),
    ("is_simulate", pl.Boolean),
    ("is_virtual", pl.Boolean),
]

T0 = datetime.strptime("00:00:00", "%H:%M:%S").time()
T5 = datetime.strptime("05:00:00", "%H:%M:%S").time()


def ref_add_tick(store: dict, not_trade_times: dict, holidays: set, tick: dict, make_info) -> None:
    """The intake rules on a plain dict `store` (code -> ticks-info record)."""
    ts = datetime.fromtimestamp(tick["timestamp"])
    new_ticks = []
    code = tick["code"]
    if code not in store:
        store[code] = make_info()
        last_tick = None
    else:
        last_tick = store[code]["last_tick"]
    if last_tick:
        diff_seconds = (ts - last_tick["dt"]).total_seconds()
        diff_minute = int(diff_seconds // 60)
        rest_second = 1 if (diff_seconds % 60) > 0 and (ts.minute - last_tick["dt"].minute) > 1 else 0
        count = diff_minute + rest_second
        if count > 1:
            base = last_tick["dt"].replace(second=0, microsecond=0)
            for i in range(count):
                new_dt = base + timedelta(minutes=i + 1)
                if new_dt > ts:
                    break
                t = new_dt.time()
                if new_dt.weekday() >= 5 and not (tick["market_type"] == "Future" and T0 <= t <= T5):
                    continue
                if any(s <= t <= e for s, e in not_trade_times.get(tick["market_type"], [])):
                    continue
                day = (new_dt - timedelta(days=1)) if t <= T5 else new_dt
                if day.strftime("%Y-%m-%d") in holidays:
                    continue
                new_ticks.append({
                    "dt": new_dt, "market_type": last_tick["market_type"], "code": last_tick["code"],
                    "close": last_tick["close"], "qty": 0, "tick_type": 0, "is_simulate": False,
                    "is_virtual": True,
                })
    new_ticks.append({
        "dt": ts, "market_type": tick["market_type"], "code": tick["code"], "close": tick["close"],
        "qty": tick["qty"], "tick_type": tick["tick_type"], "is_simulate": tick["is_simulate"],
        "is_virtual": False,
    })
    for start, end in not_trade_times.get(tick["market_type"], []):
        if start <= ts.time() <= end:
            new_ticks[-1]["dt"] = ts.replace(hour=start.hour, minute=start.minute,
                                             second=start.second) - timedelta(seconds=1)
            break
    store[code]["last_tick"] = new_ticks[-1]
    store[code]["ticks"].extend(new_ticks)


def rows_to_df(rows: list) -> pl.DataFrame:
    if not rows:
        return pl.DataFrame([], schema=SCHEMA)
    return (
        pl.DataFrame(rows, schema_overrides=dict(SCHEMA), infer_schema_length=None)
        .select([pl.col(n).cast(t) for n, t in SCHEMA])
        .sort("dt", maintain_order=True)
    )


def bars_from_scratch(rows: list, unit: str, freq: int) -> pl.DataFrame:
    """K-bars of every given stored record, aggregated at once."""
    df = rows_to_df(rows).with_columns(
        pl.col("dt").cast(pl.Datetime).alias("dt"),
        pl.col("dt").dt.truncate(f"{freq}{unit}").alias("kbar_time"),
    )
    return (
        df.group_by(["kbar_time", "code"])
        .agg([
            pl.col("close").first().alias("Open"),
            pl.col("close").max().alias("High"),
            pl.col("close").min().alias("Low"),
            pl.col("close").last().alias("Close"),
            pl.col("qty").sum().alias("Volume"),
        ])
        .rename({"kbar_time": "dt"})
        .sort(["dt"])
    )
