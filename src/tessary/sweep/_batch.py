"""Batches of a sweep: the unit of work a thread or a cluster task runs.

A batch holds several sets of strategy parameters with their pipeline variants. It
computes each set's weights, smooths them once per window (one path per window),
prices every path's cost variants with one ``batch_returns`` call for the whole
batch, and turns the returns into rows. Its size follows the memory the sweep may
use: every weight matrix of a batch is alive until its call returns."""

from __future__ import annotations

import math
import numbers
import os
from dataclasses import dataclass
from typing import Any

from tessary.sweep import _path, _tasks
from tessary.sweep._grid import Group

Variant = tuple[int, dict[str, Any]]


@dataclass(frozen=True)
class Piece:
    """One set of strategy parameters and the variants of it a batch runs."""

    strategy_params: dict[str, Any]
    variants: tuple[Variant, ...]


@dataclass(frozen=True)
class Batch:
    pieces: tuple[Piece, ...]

    @property
    def size(self) -> int:
        """The backtests (rows) of the batch."""
        return sum(len(piece.variants) for piece in self.pieces)


def default_memory_limit() -> int:
    """A quarter of this machine's memory (4 GiB when it cannot be read)."""
    try:
        return int(os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") // 4)
    except (ValueError, OSError, AttributeError):
        return 4 * 2**30


def check_memory_limit(value: object) -> int:
    """``memory_limit`` of ``run_sweep`` as a whole number of bytes (None: the default)."""
    if value is None:
        return default_memory_limit()
    if (isinstance(value, bool) or not isinstance(value, numbers.Real) or not math.isfinite(float(value))
            or float(value) < 1):
        raise ValueError(f"memory_limit must be a positive number of bytes or None, got {value!r}")
    return int(value)


def plan(groups: list[Group], dates: int, stocks: int, memory_limit: int, workers: int) -> list[Batch]:
    """The batches of ``groups``, in grid order. Each batch's weight matrices (a set's
    weights, one smoothed copy per window above 1, and room for the strategy's own
    work) stay within ``memory_limit`` shared by ``workers`` batches at a time; a
    set's paths are split over batches only when they do not fit in one; and there
    are enough batches to keep every worker busy."""
    matrix = max(dates, 1) * max(stocks, 1) * 8
    budget = max(memory_limit // max(workers, 1), 1)
    sets = []
    for group in groups:
        variants = [(combo.number, combo.pipeline) for combo in group.combinations]
        paths = _path.shared_paths(variants, dates)
        sets.append((group.strategy_params, [(path, matrix if _path._window(path[0][1], dates) > 1 else 0)
                                              for path in paths]))
    total_paths = sum(len(paths) for _, paths in sets)
    cap = max(1, math.ceil(total_paths / max(workers, 1)))

    batches: list[Batch] = []
    current: list[Piece] = []
    used, works = matrix, 0  # the strategy's working room

    def close() -> None:
        nonlocal current, used, works
        if current:
            batches.append(Batch(tuple(current)))
        current, used, works = [], matrix, 0

    for params, paths in sets:
        whole = matrix + sum(cost for _, cost in paths)
        if current and (used + whole > budget or works + len(paths) > cap):
            close()
        if used + whole <= budget and works + len(paths) <= cap:
            current.append(Piece(params, _in_order([v for path, _ in paths for v in path])))
            used, works = used + whole, works + len(paths)
            continue
        # Too large for one batch: its paths in as many as needed, each batch
        # computing the weights again.
        taken: list[Variant] = []
        piece_used = matrix
        for path, cost in paths:
            if taken and (used + piece_used + cost > budget or works + 1 > cap):
                current.append(Piece(params, _in_order(taken)))
                used += piece_used
                close()
                taken, piece_used = [], matrix
            taken.extend(path)
            piece_used += cost
            works += 1
        current.append(Piece(params, _in_order(taken)))
        used += piece_used
    close()
    return batches


def _in_order(variants: list[Variant]) -> tuple[Variant, ...]:
    return tuple(sorted(variants, key=lambda variant: variant[0]))


def run_batch(spec: _tasks.Spec, pieces: tuple[Piece, ...]) -> list[_tasks.Row]:
    """The rows of one batch, in the order of its pieces and their variants."""
    rows: dict[int, _tasks.Row] = {}
    paths: list[tuple[_path.Shared, Any, list[Variant]]] = []
    for piece in pieces:
        variants = list(piece.variants)
        try:
            weights = _tasks.compute_weights(spec, piece.strategy_params)
        except Exception as exc:
            rows.update((number, _tasks.failed(number, _tasks.error_text(exc))) for number, _ in variants)
            continue
        aligned = None
        for path in _path.shared_paths(variants, len(weights.index)):
            if len(path) < 2:  # a lone variant is a backtest of its own
                rows.update((number, _tasks.backtest(spec, weights, number, pipeline)) for number, pipeline in path)
                continue
            try:
                aligned = _path.checked_market(spec, weights) if aligned is None else aligned
                shared = _path.Shared(spec, weights, _path._window(path[0][1], len(weights.index)), aligned)
            except Exception:  # the variants' own runs give their rows, errors included
                rows.update((number, _tasks.backtest(spec, weights, number, pipeline)) for number, pipeline in path)
                continue
            paths.append((shared, weights, path))
    priced, seconds = _path.price(spec, [(shared, shared.pricing(spec, path)) for shared, _, path in paths])
    for shared, weights, path in paths:
        rows.update((row.number, row) for row in shared.rows(spec, weights, path, priced, seconds))
    return [rows[number] for piece in pieces for number, _ in piece.variants]


def run_group(spec: _tasks.Spec, strategy_params: dict[str, Any], variants: list[Variant]) -> list[_tasks.Row]:
    """The rows of one set of strategy parameters under ``variants``, as one batch."""
    return run_batch(spec, (Piece(strategy_params, tuple(variants)),))
