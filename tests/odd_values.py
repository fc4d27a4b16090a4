"""Odd Python objects for the fuzz tests: subclasses, failing conversions,
huge and non-finite numbers."""
from __future__ import annotations

import math

from hypothesis import strategies as st


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
