"""Sweep grids: expansion into combinations, checks of names and values, and the
grouping of combinations that share their strategy parameters."""

from __future__ import annotations

import inspect
import math
from collections.abc import Callable, Mapping
from dataclasses import dataclass, field
from typing import Any

import numpy as np

#: Parameters of the backtest pipeline; every other grid name goes to the strategy.
PIPELINE_PARAMETERS = ("rolling_window", "total_money", "fee", "rule_fee", "between")


@dataclass(frozen=True)
class Combination:
    """One point of the grid: its number (its row in the table), all its values in
    grid order, and the share of them that goes to the pipeline."""

    number: int
    params: dict[str, Any]
    pipeline: dict[str, Any] = field(default_factory=dict)

    @property
    def strategy_params(self) -> dict[str, Any]:
        return {k: v for k, v in self.params.items() if k not in PIPELINE_PARAMETERS}


@dataclass(frozen=True)
class Group:
    """Combinations that share one set of strategy parameters: the weights are
    computed once and backtested under each pipeline variant."""

    strategy_params: dict[str, Any]
    combinations: tuple[Combination, ...]


#: The most combinations one sweep runs: a grid beyond it is a mistake, refused before
#: anything is expanded.
MAX_COMBINATIONS = 1_000_000


def _count_values(name: str, values: object) -> int:
    """How many values ``grid[name]`` holds, without making a list of them."""
    if isinstance(values, range) or (isinstance(values, np.ndarray) and values.ndim == 1):
        return len(values)
    if not isinstance(values, (list, tuple)):
        raise TypeError(f"grid[{name!r}] must be a list of values, got {type(values).__name__} {values!r}")
    return len(values)


def _check_count(count: int, sizes: str) -> None:
    if count > MAX_COMBINATIONS:
        raise ValueError(
            f"the grid has {count:,} combinations ({sizes}); a sweep runs at most {MAX_COMBINATIONS:,}: "
            "give fewer values"
        )


def _values_list(name: str, values: object) -> list:
    """The values of ``grid[name]`` as a list (checked by ``_count_values`` first)."""
    if isinstance(values, range) or isinstance(values, np.ndarray):
        values = list(values) if isinstance(values, range) else values.tolist()  # numpy scalars: plain numbers
    if not values:
        raise ValueError(f"grid[{name!r}] holds no values")
    return list(values)


def _check_name(name: object) -> str:
    if not isinstance(name, str) or not name:
        raise TypeError(f"grid names must be non-empty strings, got {name!r}")
    return name


def expand_grid(grid: object) -> tuple[list[str], list[dict[str, Any]]]:
    """The grid's names (in first-seen order) and its points in grid order.

    A dict of name -> list of values gives the Cartesian product, the last name
    varying fastest; a list of dicts gives its dicts in order.
    """
    if isinstance(grid, Mapping):
        if not grid:
            raise ValueError("the grid is empty: give at least one name with a list of values")
        names = [_check_name(n) for n in grid]
        sizes = [_count_values(name, grid[name]) for name in names]
        _check_count(math.prod(sizes), " x ".join(f"{n}: {k:,}" for n, k in zip(names, sizes)))
        points: list[dict[str, Any]] = [{}]
        for name in names:
            values = _values_list(name, grid[name])
            points = [{**p, name: v} for p in points for v in values]
        return names, points
    if isinstance(grid, (list, tuple)):
        if not grid:
            raise ValueError("the grid is empty: give at least one combination")
        _check_count(len(grid), "one per dict of the list")
        names, points = [], []
        for i, point in enumerate(grid):
            if not isinstance(point, Mapping):
                raise TypeError(f"grid[{i}] must be a dict of name -> value, got {type(point).__name__}")
            for name in point:
                if _check_name(name) not in names:
                    names.append(name)
            points.append(dict(point))
        return names, points
    raise TypeError(f"the grid must be a dict of name -> list of values or a list of dicts, got {type(grid).__name__}")


def strategy_accepts(strategy: Callable) -> Callable[[str], bool]:
    """A test of whether ``strategy(market, **{name: ...})`` binds ``name``."""
    try:
        params = list(inspect.signature(strategy).parameters.values())
    except (TypeError, ValueError):
        return lambda name: True  # no signature to read (some builtins): let the run tell
    if any(p.kind is p.VAR_KEYWORD for p in params):
        return lambda name: name != (params[0].name if params else None)
    keyword = {p.name for p in params[1:] if p.kind in (p.POSITIONAL_OR_KEYWORD, p.KEYWORD_ONLY)}
    return keyword.__contains__


def _check_pipeline_value(name: str, value: object) -> Any:
    """A pipeline value checked as ``run_backtest`` checks it, with its messages."""
    from tessary.backtest import _checks

    if name == "between":
        from tessary.backtest import _between

        if not isinstance(value, str) or value not in _between.BETWEEN_RULES:
            raise ValueError(f"between must be 'resize' or 'hold', got {value!r}")
        return value
    if name == "rolling_window":
        return _checks.check_window(value)
    if name == "total_money":
        return _checks.check_number(name, value, 0.0, None, low_open=True)
    return _checks.check_number(name, value, 0.0, 1.0, low_open=False)


def _strategy_parameter_hint(strategy: Callable) -> str:
    """ " (it takes: a, b)" for a strategy whose named parameters can be read, else ""."""
    try:
        params = list(inspect.signature(strategy).parameters.values())[1:]
    except (TypeError, ValueError):
        return ""
    named = [p.name for p in params if p.kind in (p.POSITIONAL_OR_KEYWORD, p.KEYWORD_ONLY)]
    return f" (it takes: {', '.join(named)})" if named else ""


def combinations(grid: object, strategy: Callable) -> tuple[list[str], list[Combination]]:
    """The grid's names and its combinations, after checking every name and every
    pipeline value: all mistakes that need no run are found here."""
    names, points = expand_grid(grid)
    accepts = strategy_accepts(strategy)
    unknown = [n for n in names if n not in PIPELINE_PARAMETERS and not accepts(n)]
    if unknown:
        label = getattr(strategy, "__qualname__", repr(strategy))
        raise ValueError(
            f"grid name(s) {', '.join(map(repr, unknown))} are neither pipeline parameters "
            f"({', '.join(PIPELINE_PARAMETERS)}) nor parameters of the strategy {label}"
            f"{_strategy_parameter_hint(strategy)}"
        )
    combos = []
    for number, point in enumerate(points):
        pipeline = {k: _check_pipeline_value(k, v) for k, v in point.items() if k in PIPELINE_PARAMETERS}
        combos.append(Combination(number, point, pipeline))
    return names, combos


def _key(value: object) -> object:
    """A hashable stand-in for a parameter value (lists and dicts included)."""
    try:
        hash(value)
        return (type(value).__name__, value)
    except TypeError:
        return (type(value).__name__, repr(value))


def group_by_strategy(combos: list[Combination]) -> list[Group]:
    """The combinations grouped by their strategy parameters, groups in order of
    their first combination, each group's combinations in grid order."""
    groups: dict[tuple, list[Combination]] = {}
    for combo in combos:
        key = tuple(sorted((k, _key(v)) for k, v in combo.strategy_params.items()))
        groups.setdefault(key, []).append(combo)
    return [Group(members[0].strategy_params, tuple(members)) for members in groups.values()]
