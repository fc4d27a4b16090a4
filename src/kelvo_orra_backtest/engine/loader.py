"""Strategy classes named on a command line: "path/to/file.py:ClassName".

    cls = load_strategy("my_strategy.py:MyStrategy")

The class part may be left out when the file defines exactly one `Strategy`
subclass of its own.  A dotted module name ("package.module:ClassName")
is imported instead of read from a file.  Every failure is a
`StrategyLoadError` with one line that names the file and the class, and
with fields (`reason`, `where`, `name`, `found`, `line`) for a caller that
words its messages its own way (the `run` command).

`StrategySource` carries a file's text and the class name to other
processes (the workers of a sweep, which may not share this file system):
`load()` there runs the same text once per process and returns the class.
"""
from __future__ import annotations

import hashlib
import importlib
import importlib.util
import os
import sys
import threading
import traceback
from dataclasses import dataclass
from pathlib import Path

from kelvo_orra_backtest.engine.strategy import Strategy

__all__ = ["StrategyLoadError", "StrategySource", "load_strategy", "split_reference", "strategy_source"]

_MODULE_PREFIX = "_strategy_file_"
_LOCK = threading.Lock()


class StrategyLoadError(ValueError):
    """A strategy file or class that cannot be used; the message names it.

    `reason` is what failed: "reference" (not FILE.py:CLASS), "no file",
    "not a file", "unreadable", "no module" (a module that cannot be
    imported; the ImportError is the cause), "raised" (the file or module
    raised while it ran; the exception is the cause, `line` the file's line
    it came from), "which class" (no class named, and not exactly one),
    "no class" (`name` is not there; `found` names its Strategy classes),
    "not a strategy".  `where` is the file or module."""

    def __init__(self, message: str, reason: str = "", *, where: str = "", name: str | None = None,
                 found: tuple[str, ...] = (), line: int | None = None) -> None:
        super().__init__(message)
        self.reason, self.where, self.name, self.found, self.line = reason, where, name, tuple(found), line


def split_reference(reference: str) -> tuple[str, str | None]:
    """(file or module, class name or None) of "FILE.py:CLASS"."""
    if not isinstance(reference, str) or not reference.strip():
        raise StrategyLoadError(f"strategy {reference!r}: expected FILE.py:CLASS", "reference", where=str(reference))
    reference = reference.strip()
    # a Windows drive ("C:\...") is not the class separator
    head, sep, tail = reference.rpartition(":")
    if not sep or ("/" in tail or "\\" in tail) or (len(head) == 1 and head.isalpha()):
        return reference, None
    return head, tail or None


def _pick(module, name: str | None, where: str) -> type:
    own = [v for v in vars(module).values()
           if isinstance(v, type) and issubclass(v, Strategy) and v is not Strategy
           and v.__module__ == module.__name__]
    names = tuple(c.__name__ for c in own)
    if name is None:
        if len(own) == 1:
            return own[0]
        raise StrategyLoadError(f"{where}: name the class as {where}:CLASS (strategy classes in it: "
                                f"{', '.join(names) or 'none'})", "which class", where=where, found=names)
    cls = getattr(module, name, None)
    if cls is None:
        raise StrategyLoadError(f"{where} has no class '{name}' (strategy classes in it: {', '.join(names) or 'none'})",
                                "no class", where=where, name=name, found=names)
    if not (isinstance(cls, type) and issubclass(cls, Strategy)):
        raise StrategyLoadError(f"{where}:{name} is not a subclass of Strategy", "not a strategy", where=where,
                                name=name)
    return cls


def _line_in(exc: BaseException, path: str) -> int | None:
    """The line of the strategy file `path` that `exc` came from: its deepest
    frame in the file (a syntax error of the file: its own line)."""
    if isinstance(exc, SyntaxError) and exc.filename == path and exc.lineno:
        return exc.lineno
    line = None
    for frame in traceback.extract_tb(exc.__traceback__):
        if frame.filename == path:
            line = frame.lineno
    return line


def _exec_source(text: str, path: str) -> object:
    """The module of a strategy file's text, made once per process and text."""
    digest = hashlib.sha256(f"{path}\0{text}".encode()).hexdigest()[:16]
    name = _MODULE_PREFIX + digest
    with _LOCK:
        module = sys.modules.get(name)
        if module is not None:
            return module
        reference = importlib.util.spec_from_loader(name, loader=None, origin=path)
        module = importlib.util.module_from_spec(reference)
        module.__file__ = path
        folder = os.path.dirname(os.path.abspath(path))
        if os.path.isdir(folder) and folder not in sys.path:  # helpers next to the file import too
            sys.path.append(folder)
        sys.modules[name] = module  # dataclasses and pickling look the module up by name
        try:
            exec(compile(text, path, "exec"), module.__dict__)  # noqa: S102
        except BaseException as exc:
            del sys.modules[name]
            if isinstance(exc, (KeyboardInterrupt, SystemExit)):
                raise
            line = _line_in(exc, path)
            detail = " ".join(str(exc).split())
            raise StrategyLoadError(f"strategy file {path} raised {type(exc).__name__}"
                                    f"{f' on line {line}' if line else ''}{': ' + detail if detail else ''}",
                                    "raised", where=path, line=line) from exc
        return module


@dataclass(frozen=True)
class StrategySource:
    """A strategy class as text that another process can load: the file's
    path (for messages and its neighbours), its text and the class name; or,
    for a class of an importable module, that module's name."""

    path: str
    text: str | None
    name: str

    @property
    def reference(self) -> str:
        return f"{self.path}:{self.name}"

    def load(self) -> type:
        if self.text is None:
            try:
                module = importlib.import_module(self.path)
            except ImportError as exc:
                raise StrategyLoadError(f"strategy module {self.path} cannot be imported ({exc})", "no module",
                                        where=self.path) from exc
            except Exception as exc:
                detail = " ".join(str(exc).split())
                raise StrategyLoadError(f"strategy module {self.path} raised {type(exc).__name__}"
                                        f"{': ' + detail if detail else ''}", "raised", where=self.path) from exc
            return _pick(module, self.name, self.path)
        return _pick(_exec_source(self.text, self.path), self.name, self.path)


def strategy_source(reference: str) -> StrategySource:
    """The file (or module) and class that `reference` names, checked here:
    the file exists and runs, and the class is a Strategy subclass."""
    target, name = split_reference(reference)
    if target.endswith(".py") or os.sep in target or "/" in target or Path(target).exists():
        path = Path(os.path.expanduser(target))
        if not path.is_file():
            if path.exists():
                what = "is a folder" if path.is_dir() else "is not a file"
                raise StrategyLoadError(f"strategy file {target} {what}", "not a file", where=target)
            raise StrategyLoadError(f"strategy file {target} does not exist", "no file", where=target)
        try:
            text = path.read_text(encoding="utf-8")
        except (OSError, UnicodeDecodeError) as exc:
            raise StrategyLoadError(f"strategy file {target} cannot be read ({exc})", "unreadable",
                                    where=target) from None
        cls = _pick(_exec_source(text, str(path)), name, str(path))
        return StrategySource(str(path), text, cls.__name__)
    if name is None:
        raise StrategyLoadError(f"strategy {reference!r}: expected FILE.py:CLASS or MODULE:CLASS", "reference",
                                where=target)
    source = StrategySource(target, None, name)
    source.load()
    return source


def load_strategy(reference: str) -> type:
    """The Strategy subclass that "FILE.py:CLASS" (or "MODULE:CLASS") names."""
    return strategy_source(reference).load()
