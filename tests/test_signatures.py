"""Every signature is written in three places: the argument binder's table (what a call
accepts), the signature text shown by help(), and the type stubs (.pyi). They must
say the same: parameter names and order, which have defaults and what the defaults
are, which are keyword-only."""

import ast
import math
import os

import pytest

from tessary.backtest import _pnl_engine, _prepare, _records

PACKAGE = os.path.dirname(os.path.abspath(_pnl_engine.__file__))
SOURCE_STUBS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "src", "tessary", "backtest")
REQUIRED = object()


def params_of(node: ast.FunctionDef):
    """[(name, default, keyword_only)] of a parsed def, without self; a default written
    as ... in a stub is only known to exist (Ellipsis)."""
    args = node.args
    positional = args.posonlyargs + args.args
    defaults = [REQUIRED] * (len(positional) - len(args.defaults)) + list(args.defaults)
    out = [(a.arg, d, False) for a, d in zip(positional, defaults)]
    out += [(a.arg, REQUIRED if d is None else d, True) for a, d in zip(args.kwonlyargs, args.kw_defaults)]
    out = [(name, value_of(d), kw) for name, d, kw in out]
    return [p for p in out if p[0] not in ("self", "cls")]


def value_of(node):
    if node is REQUIRED:
        return REQUIRED
    if isinstance(node, ast.Name) and node.id == "nan":
        return math.nan
    if isinstance(node, ast.Constant) and node.value is ...:
        return ...
    return ast.literal_eval(node)


def same_default(a, b):
    if a is ... or b is ...:  # "has a default, not spelled out"
        return (a is REQUIRED) == (b is REQUIRED)
    if isinstance(a, float) and isinstance(b, float) and math.isnan(a) and math.isnan(b):
        return True
    return a is b if REQUIRED in (a, b) else (type(a) is type(b) and a == b)


def assert_same_params(got, expected, where):
    assert [p[0] for p in got] == [p[0] for p in expected], where
    for (name, a, kw_a), (_, b, kw_b) in zip(got, expected):
        assert kw_a == kw_b, f"{where}: {name} keyword-only"
        assert same_default(a, b), f"{where}: default of {name}: {a!r} != {b!r}"


def stub_defs(module):
    """{(class name or None, function name): parsed def} of the module's stub."""
    path = os.path.join(SOURCE_STUBS, module.__name__.rsplit(".", 1)[1] + ".pyi")
    with open(path, encoding="utf-8") as f:
        tree = ast.parse(f.read())
    defs = {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            defs[None, node.name] = node
        elif isinstance(node, ast.ClassDef):
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    defs[node.name, item.name] = item
    return defs


def native_functions(module):
    """{(class name or None, name): nanobind function} of the module and its classes."""
    found = {}
    for name, obj in vars(module).items():
        if hasattr(obj, "__nb_signature__"):
            found[None, name] = obj
        elif isinstance(obj, type) and obj.__module__ == module.__name__:
            for attr, member in vars(obj).items():
                member = getattr(member, "__func__", member)  # staticmethod
                if hasattr(member, "__nb_signature__"):
                    found[obj.__name__, attr] = member
    return found


def shown_params(fn):
    text = fn.__nb_signature__[0][0]
    return params_of(ast.parse(text + ": ...").body[0])


def binder_params(entry):
    # The binder marks a required parameter with ...
    return [(name, REQUIRED if default is ... else default, kw) for name, default, kw in entry[2]]


@pytest.mark.parametrize("module", [_pnl_engine, _prepare, _records], ids=lambda m: m.__name__)
def test_binder_tables_shown_signatures_and_stubs_agree(module):
    stubs = stub_defs(module)
    tables = {}
    for entry in module._binder_signatures():
        tables.setdefault((entry[0], entry[1]), []).append(binder_params(entry))
    matched = set()
    for (cls, name), fn in native_functions(module).items():
        where = f"{module.__name__}.{cls + '.' if cls else ''}{name}"
        assert (cls, name) in stubs, f"{where} is missing from the stub"
        shown = shown_params(fn)
        assert_same_params(params_of(stubs[cls, name]), shown, where + " (stub vs shown)")
        is_method = "self" in fn.__nb_signature__[0][0].split("(", 1)[1].split(")")[0].split(",")[0]
        candidates = tables.get((name, is_method), [])
        if not candidates:
            continue  # not bound through the binder (plain nanobind arguments)
        # Two classes may bind a method of the same name (__init__): one table must fit.
        names = [p[0] for p in shown]
        table = next((t for t in candidates if [p[0] for p in t] == names), candidates[0])
        assert_same_params(shown, table, where + " (shown vs binder)")
        matched.add((name, is_method, tuple(p[0] for p in table)))
    unmatched = [(name, m) for (name, m), ts in tables.items() for t in ts if (name, m, tuple(p[0] for p in t)) not in matched]
    assert not unmatched, f"binder tables of functions the module does not show: {unmatched}"


def test_the_installed_stubs_are_the_source_stubs():
    for name in ("_pnl_engine.pyi", "_prepare.pyi", "_records.pyi"):
        installed = os.path.join(PACKAGE, name)
        if os.path.exists(installed) and os.path.realpath(installed) != os.path.realpath(os.path.join(SOURCE_STUBS, name)):
            with open(installed, encoding="utf-8") as a, open(os.path.join(SOURCE_STUBS, name), encoding="utf-8") as b:
                assert a.read() == b.read(), name
