"""The type stubs describe the classes as they are: every public method, its
parameter names, kinds and defaults, its docstring, and the public attributes
an instance holds."""
from __future__ import annotations

import ast
import inspect
from pathlib import Path

import pytest

from kelvo_orra_backtest.modules.positions import positions as M

STUB = Path(M.__file__).with_name("positions.pyi")


def stub_classes() -> dict[str, ast.ClassDef]:
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    return {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}


def stub_members(cls: ast.ClassDef):
    methods, attrs = {}, set()
    for node in cls.body:
        if isinstance(node, ast.FunctionDef):
            methods[node.name] = node
        elif isinstance(node, ast.AnnAssign):
            attrs.add(node.target.id)
    return methods, attrs


def public_methods(cls) -> dict[str, object]:
    return {name: value for name, value in vars(cls).items()
            if (not name.startswith("_") or name == "__init__") and callable(value)}


def test_stub_ships_with_the_module():
    assert STUB.is_file()
    assert (Path(M.__file__).parents[2] / "py.typed").is_file()
    assert set(stub_classes()) == {"QuoteManager", "Positions"}


@pytest.mark.parametrize("class_name", ["QuoteManager", "Positions"])
def test_stub_methods_match_the_classes(class_name):
    cls = getattr(M, class_name)
    methods, _ = stub_members(stub_classes()[class_name])
    live = public_methods(cls)
    properties = {n for n, v in vars(cls).items() if isinstance(v, property)}
    assert set(methods) == set(live) | properties
    for name, node in methods.items():
        if name in properties:
            continue
        sig = inspect.signature(live[name])
        stub_args = node.args
        names = [a.arg for a in stub_args.posonlyargs + stub_args.args]
        assert names == list(sig.parameters), name
        defaults = [ast.literal_eval(d) for d in stub_args.defaults]
        live_defaults = [p.default for p in sig.parameters.values() if p.default is not inspect.Parameter.empty]
        assert defaults == live_defaults, name
        doc = ast.get_docstring(node)
        if doc is not None and live[name].__doc__:
            # the stub gives the summary line; it may add a note in parentheses
            summary = live[name].__doc__.strip().splitlines()[0]
            assert doc.split(" (")[0] == summary.split(" (")[0], name


@pytest.mark.parametrize("class_name", ["QuoteManager", "Positions"])
def test_stub_attributes_exist_on_instances(class_name):
    _, attrs = stub_members(stub_classes()[class_name])
    obj = getattr(M, class_name)()
    assert attrs and attrs <= set(vars(obj))
