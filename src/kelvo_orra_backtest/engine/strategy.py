"""The class a user subclasses, and its declared parameters.

A parameter is an annotated class attribute with a default::

    class Cross(Strategy):
        fast: int = 5
        slow: int = 20
        side: Literal["long", "both"] = "both"

`parameters()` lists them (name → `Param`), `resolve()` checks a mapping of
values against them: an unknown name or a value of the wrong type is a
`ParamError` naming the parameter.  Every hook is optional.
"""
from __future__ import annotations

import typing
from dataclasses import dataclass
from typing import Any, Literal, get_args, get_origin

__all__ = ["Param", "ParamError", "Strategy"]

# Types a parameter may be declared with; a Literal of texts is a choice.
_SCALARS = (bool, int, float, str)


class ParamError(ValueError):
    """A parameter value that the strategy class does not accept."""


@dataclass(frozen=True)
class Param:
    name: str
    type: Any  # bool, int, float, str, or a tuple of allowed texts (a choice)
    default: Any

    @property
    def choices(self) -> tuple | None:
        return self.type if isinstance(self.type, tuple) else None

    @property
    def type_name(self) -> str:
        if self.choices is not None:
            return "one of " + ", ".join(repr(c) for c in self.choices)
        return self.type.__name__

    def check(self, value: Any, owner: str) -> Any:
        """The value as the strategy sees it, or ParamError."""
        where = f"{owner}: parameter '{self.name}'"
        if self.choices is not None:
            if not isinstance(value, str) or value not in self.choices:
                raise ParamError(f"{where} must be {self.type_name}, got {value!r}")
            return value
        if self.type is bool:
            if not isinstance(value, bool):
                raise ParamError(f"{where} must be a bool, got {type(value).__name__} {value!r}")
            return value
        if self.type is int:
            if isinstance(value, bool) or not isinstance(value, int):
                raise ParamError(f"{where} must be an int, got {type(value).__name__} {value!r}")
            return int(value)
        if self.type is float:
            if isinstance(value, bool) or not isinstance(value, (int, float)):
                raise ParamError(f"{where} must be a float, got {type(value).__name__} {value!r}")
            return float(value)
        if not isinstance(value, str):
            raise ParamError(f"{where} must be a str, got {type(value).__name__} {value!r}")
        return value

    def parse(self, text: str, owner: str) -> Any:
        """A value given as text (command line, grid) converted to the parameter's type."""
        where = f"{owner}: parameter '{self.name}'"
        try:
            if self.type is bool:
                low = text.strip().lower()
                if low in ("1", "true", "yes", "on"):
                    return True
                if low in ("0", "false", "no", "off"):
                    return False
                raise ValueError
            if self.type is int:
                return int(text)
            if self.type is float:
                return float(text)
        except ValueError:
            raise ParamError(f"{where} must be {self.type_name}, got {text!r}") from None
        return self.check(text, owner)


def _param_type(annotation: Any, name: str, owner: str) -> Any:
    if isinstance(annotation, str):  # postponed annotations
        annotation = eval(annotation, {"Literal": Literal, "typing": typing, **vars(typing)})  # noqa: S307
    if annotation in _SCALARS:
        return annotation
    if get_origin(annotation) is Literal:
        choices = get_args(annotation)
        if choices and all(isinstance(c, str) for c in choices):
            return tuple(choices)
    raise ParamError(f"{owner}: parameter '{name}' is declared as {annotation!r}; "
                     "use int, float, bool, str or a Literal of texts")


class Strategy:
    """Base class of a user's strategy.

    Declare parameters as annotated class attributes with defaults and
    override any of the hooks.  `ctx` is the run's `Context`: orders
    (`buy`, `sell`, `cancel`, `close`), the account (`position`, `cash`,
    `equity`), time (`now`) and bars (`bars`), subscriptions in `on_start`.
    """

    def on_start(self, ctx) -> None:
        """Called once before the first tick; subscribe here."""

    def on_bar(self, ctx, bar) -> None:
        """Called once per completed bar of a subscription."""

    def on_tick(self, ctx, tick) -> None:
        """Called for every tick of a code given to `ctx.subscribe_ticks`."""

    def on_fill(self, ctx, fill) -> None:
        """Called for every fill of one of the strategy's orders."""

    def on_order(self, ctx, order) -> None:
        """Called when an order is accepted, cancelled, expired or rejected (`order.status`, `order.reason`)."""

    def on_session_end(self, ctx) -> None:
        """Called when a trading session of a market the run trades has ended (`ctx.session`)."""

    def on_roll(self, ctx, code, old, new) -> None:
        """Called when `code` rolls from contract `old` to `new`, before the new contract's first tick
        (the old position is closed; under roll="carry" its reopening order is already placed)."""

    def on_stop(self, ctx) -> None:
        """Called once after the last tick."""

    @classmethod
    def constraint(cls, params: dict) -> bool:
        """Whether a set of parameter values is worth running (sweeps skip the others)."""
        return True

    @classmethod
    def parameters(cls) -> dict[str, Param]:
        """The declared parameters, base classes first."""
        out: dict[str, Param] = {}
        for klass in reversed(cls.__mro__):
            if klass is Strategy or not issubclass(klass, Strategy):
                continue
            for name, annotation in vars(klass).get("__annotations__", {}).items():
                if name.startswith("_") or get_origin(annotation) is typing.ClassVar:
                    continue
                if not hasattr(klass, name):
                    raise ParamError(f"{cls.__name__}: parameter '{name}' has no default")
                param = Param(name, _param_type(annotation, name, cls.__name__), getattr(klass, name))
                param.check(param.default, cls.__name__)
                out[name] = param
        return out

    @classmethod
    def resolve(cls, params: dict | None) -> dict:
        """Every declared parameter's value: the defaults with `params` over them, each checked."""
        declared = cls.parameters()
        values = {name: p.default for name, p in declared.items()}
        for name, value in (params or {}).items():
            if name not in declared:
                known = ", ".join(declared) or "none"
                raise ParamError(f"{cls.__name__}: unknown parameter '{name}' (declared: {known})")
            values[name] = declared[name].check(value, cls.__name__)
        return values
