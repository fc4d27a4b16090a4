"""The package's command: `python -m kelvo_orra_backtest VERB ...` (also the `kelvo-orra` script).

Verbs:
  run    backtest a strategy class over ticks (see `run --help`)
  sweep  run a strategy once per parameter set, or walk forward, on Dask (see `sweep --help`)
"""
from __future__ import annotations

import argparse
import os
import sys

__all__ = ["main"]


def build_parser(prog: str = "python -m kelvo_orra_backtest") -> argparse.ArgumentParser:
    """The command's parser; each verb adds its own sub-parser (and its handler) here."""
    from kelvo_orra_backtest import cli

    parser = argparse.ArgumentParser(prog=prog, description="Tick-replay backtests for the Taiwan stock and "
                                     "futures markets.")
    verbs = parser.add_subparsers(dest="verb", metavar="VERB", required=True)
    cli.add_run_parser(verbs)
    # the sweep parses its own arguments (main() hands them over before this parser sees them)
    verbs.add_parser("sweep", help="run a strategy once per parameter set, or walk forward, on Dask "
                     "(see sweep --help)", add_help=False)
    return parser


def _prog() -> str:
    name = os.path.basename(sys.argv[0]) if sys.argv and sys.argv[0] else ""
    return "python -m kelvo_orra_backtest" if name in ("", "__main__.py", "-c") else name


def main(argv: list[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else list(argv)
    if argv and argv[0] == "sweep":
        from kelvo_orra_backtest import sweep

        return sweep.main(argv[1:])
    args = build_parser(_prog()).parse_args(argv)
    return args.handler(args)


if __name__ == "__main__":
    sys.exit(main())
