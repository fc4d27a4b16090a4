"""For the fuzz tests: odd Python objects (subclasses, failing conversions,
huge and non-finite numbers) and the methods to feed them to."""
from __future__ import annotations

import math

from hypothesis import strategies as st

from conftest import M


class StrSub(str):
    pass


class DictSub(dict):
    pass


class BadFloat:
    def __float__(self):
        raise ZeroDivisionError("no float for you")


class BadEq:
    """Raises when compared or turned into a number or text."""

    __hash__ = object.__hash__

    def __eq__(self, other):
        raise RuntimeError("no comparison")

    __lt__ = __gt__ = __le__ = __ge__ = __ne__ = __eq__

    def __float__(self):
        raise RuntimeError("no float")

    def __str__(self):
        raise RuntimeError("no text")


ODD = st.one_of(
    st.none(), st.booleans(), st.integers(min_value=-(2**80), max_value=2**80),
    st.floats(allow_nan=True, allow_infinity=True), st.text(max_size=5), st.builds(StrSub, st.text(max_size=3)),
    st.builds(DictSub), st.dictionaries(st.text(max_size=3), st.integers(), max_size=3),
    st.lists(st.integers(), max_size=3), st.just(BadFloat()), st.just(object()), st.just(math.nan),
    st.just(BadEq()),
)


def module_methods(skip=frozenset()):
    """(class, function) of every method and property getter of both classes."""
    for cls in (M.Positions, M.QuoteManager):
        for obj in cls.__dict__.values():
            fn = obj.fget if isinstance(obj, property) else obj
            if type(fn).__name__ == "function" and fn.__name__ not in skip:
                yield cls, fn
