"""The result of a sweep: its table, its daily returns and heatmaps of one statistic."""

from __future__ import annotations

import os
import tempfile
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd

from tessary.sweep._tasks import STAT_KEYS, Row

#: Statistics for which a lower value is the better one.
LOWER_IS_BETTER = frozenset({"max_dd", "extra_max_dd"})


def excess_columns(benchmark: str) -> tuple[str, str]:
    """The table's columns of one benchmark: excess annual return and excess Sharpe."""
    return f"excess_annual_return_{benchmark}", f"excess_sharpe_{benchmark}"


def result_columns(benchmarks: list[str]) -> list[str]:
    """The table's columns after the parameters."""
    return [*STAT_KEYS, *(c for bm in benchmarks for c in excess_columns(bm)), "error"]


def build_table(names: list[str], params: list[dict[str, Any]], rows: list[Row], benchmarks: list[str]) -> pd.DataFrame:
    """One row per combination, in grid order: the parameters, the statistics, per
    benchmark its excess annual return and Sharpe (ratios), and the error (None
    when the run succeeded)."""
    columns: dict[str, Any] = {name: [p.get(name) for p in params] for name in names}
    for key in STAT_KEYS:
        columns[key] = np.array([row.stats[key] for row in rows], dtype=np.float64)
    for bm in benchmarks:
        annual, sharpe = excess_columns(bm)
        columns[annual] = np.array([row.excess.get(bm, (np.nan, np.nan))[0] for row in rows], dtype=np.float64)
        columns[sharpe] = np.array([row.excess.get(bm, (np.nan, np.nan))[1] for row in rows], dtype=np.float64)
    columns["error"] = pd.Series([row.error for row in rows], dtype=object)
    table = pd.DataFrame(columns)
    table.index.name = "combination"
    return table


class ReturnsTable:
    """The daily returns of a sweep's combinations, gathered as rows arrive: one
    preallocated dates x combinations array while every row's returns are on the same
    dates (the usual case), the result frame made once at the end. Returns on other
    dates are kept apart and the frame then spans the union of all dates."""

    def __init__(self, count: int) -> None:
        self.count = count
        self.dates: pd.Index | None = None
        self.values: np.ndarray | None = None
        self.apart: dict[int, pd.Series] = {}

    def add(self, number: int, values: pd.Series | np.ndarray, dates: pd.Index | None = None) -> None:
        if isinstance(values, pd.Series):
            values, dates = values.to_numpy(dtype=np.float64), values.index
        if self.values is None:
            self.dates = dates
            self.values = np.full((len(dates), self.count), np.nan, order="F")
        if dates is self.dates or dates.equals(self.dates):
            self.values[:, number] = values
        else:
            self.apart[number] = pd.Series(values, index=dates)

    def frame(self) -> pd.DataFrame:
        """Dates x combinations (columns numbered as the table's rows); a failed
        combination's column is all NaN."""
        columns = pd.Index(list(range(self.count)), name="combination")
        if self.values is None:
            frame = pd.DataFrame().reindex(columns=list(range(self.count)))
            frame.columns.name = "combination"
            return frame
        if not self.apart:
            return pd.DataFrame(self.values, index=self.dates, columns=columns, copy=False)
        done = ~np.isnan(self.values).all(axis=0)
        series = {number: pd.Series(self.values[:, number], index=self.dates) for number in np.flatnonzero(done)}
        series.update(self.apart)
        frame = pd.DataFrame(series).reindex(columns=list(range(self.count)))
        frame.columns.name = "combination"
        return frame


@dataclass
class SweepResult:
    """``table``: one row per combination (see :func:`tessary.sweep.run_sweep`);
    ``daily_returns``: dates x combinations, None when returns were not kept;
    ``grid_names``: the grid's names, the table's first columns."""

    table: pd.DataFrame
    daily_returns: pd.DataFrame | None
    grid_names: list[str]

    def __repr__(self) -> str:
        failed = int(self.table["error"].notna().sum()) if "error" in self.table else 0
        return (f"SweepResult({len(self.table)} combinations of {', '.join(self.grid_names)}; {failed} failed; "
                f"daily returns {'kept' if self.daily_returns is not None else 'not kept'})")

    def best(self, n: int = 5, metric: str = "long_sharp") -> pd.DataFrame:
        """The ``n`` best rows by ``metric`` (failed and undefined rows last)."""
        self._check_metric(metric)
        ascending = metric in LOWER_IS_BETTER
        return self.table.sort_values(metric, ascending=ascending, na_position="last", kind="stable").head(n)

    def _check_metric(self, metric: str) -> None:
        if metric not in self.table.columns or metric in self.grid_names or metric == "error":
            numeric = [c for c in self.table.columns if c not in self.grid_names and c != "error"]
            raise ValueError(f"unknown statistic {metric!r}; choose one of: {', '.join(numeric)}")

    def heatmap_frame(self, x: str, y: str, metric: str = "long_sharp", **fixed: Any) -> pd.DataFrame:
        """The values drawn by :meth:`heatmap`: ``y`` values down, ``x`` values across."""
        for name in (x, y, *fixed):
            if name not in self.grid_names:
                raise ValueError(f"{name!r} is not a grid name (the grid has: {', '.join(self.grid_names)})")
        if x == y:
            raise ValueError("x and y must be two different grid names")
        if x in fixed or y in fixed:
            raise ValueError("x and y cannot also be fixed")
        self._check_metric(metric)
        table = self.table
        for name, value in fixed.items():
            match = table[name].map(lambda v, value=value: _same(v, value)).astype(bool)
            if not match.any():
                values = ", ".join(map(repr, _unique(self.table[name])))
                raise ValueError(f"{name}={value!r} is not in the grid (its values: {values})")
            table = table[match]
        xs, ys = _unique(table[x]), _unique(table[y])
        lower = metric in LOWER_IS_BETTER
        grid = np.full((len(ys), len(xs)), np.nan)
        for (i, yv), (j, xv) in ((a, b) for a in enumerate(ys) for b in enumerate(xs)):
            cell = table.loc[table[x].map(lambda v: _same(v, xv)).astype(bool)
                             & table[y].map(lambda v: _same(v, yv)).astype(bool), metric].to_numpy(dtype=np.float64)
            cell = cell[np.isfinite(cell)]
            if cell.size:  # the other names at their best
                grid[i, j] = cell.min() if lower else cell.max()
        return pd.DataFrame(grid, index=pd.Index(ys, name=y), columns=pd.Index(xs, name=x))

    def heatmap(self, x: str, y: str, metric: str = "long_sharp", save_path: str | os.PathLike = "sweep_heatmap.png",
                **fixed: Any) -> str:
        """Writes a PNG of ``metric`` over the grid names ``x`` (across) and ``y`` (down).
        The other grid names are fixed by keyword (``fee=0.0003``) or, when not given,
        taken at their best for each cell (the highest value; the lowest for drawdowns).
        Returns the path written."""
        frame = self.heatmap_frame(x, y, metric, **fixed)
        others = [n for n in self.grid_names if n not in (x, y)]
        notes = [f"{n}={fixed[n]!r}" for n in others if n in fixed]
        best = [n for n in others if n not in fixed]
        if best:
            notes.append(f"best over {', '.join(best)}")
        title = f"{metric} by {y} and {x}" + (f"\n({'; '.join(notes)})" if notes else "")
        return _draw(frame, title, metric, Path(save_path).expanduser())


def _same(a: object, b: object) -> bool:
    try:
        return bool(a == b)
    except (TypeError, ValueError):
        return repr(a) == repr(b)


def _unique(values: pd.Series) -> list:
    """Distinct values in order of first appearance (the grid's order)."""
    out: list = []
    for v in values:
        if not any(_same(v, u) for u in out):
            out.append(v)
    return out


def _draw(frame: pd.DataFrame, title: str, metric: str, path: Path) -> str:
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    from tessary.backtest._pnl_engine import _MATPLOTLIB_PLOT_LOCK

    values = frame.to_numpy(dtype=np.float64)
    n_rows, n_cols = values.shape
    with _MATPLOTLIB_PLOT_LOCK:  # the plotting library's settings are process-wide
        fig = Figure(figsize=(max(5.0, 1.1 * n_cols + 2.5), max(3.5, 0.6 * n_rows + 2.0)), dpi=110)
        FigureCanvasAgg(fig)
        ax = fig.add_subplot()
        cmap = "RdYlGn_r" if metric in LOWER_IS_BETTER else "RdYlGn"
        image = ax.imshow(np.ma.masked_invalid(values), cmap=cmap, aspect="auto")
        ax.set_xticks(range(n_cols), [str(v) for v in frame.columns])
        ax.set_yticks(range(n_rows), [str(v) for v in frame.index])
        ax.set_xlabel(str(frame.columns.name))
        ax.set_ylabel(str(frame.index.name))
        ax.set_title(title, fontsize=10)
        finite = values[np.isfinite(values)]
        middle = (finite.min() + finite.max()) / 2 if finite.size else 0.0
        for i in range(n_rows):
            for j in range(n_cols):
                v = values[i, j]
                text = "--" if not np.isfinite(v) else f"{v:.2f}"
                ax.text(j, i, text, ha="center", va="center", fontsize=9,
                        color="black" if not np.isfinite(v) or abs(v - middle) < 0.35 * (np.ptp(finite) or 1) else "white")
        fig.colorbar(image, ax=ax, label=metric)
        fig.tight_layout()
        path.parent.mkdir(parents=True, exist_ok=True)
        # Written beside the target and renamed: an interrupted write leaves no half image.
        fd, tmp = tempfile.mkstemp(prefix=path.name + ".", suffix=".tmp", dir=path.parent)
        os.close(fd)
        try:
            fig.savefig(tmp, format="png")
            os.replace(tmp, path)
        except BaseException:
            Path(tmp).unlink(missing_ok=True)
            raise
    return str(path)
