"""The one-page factor chart and the notebook view of a ``FactorReport``."""

from __future__ import annotations

import base64
import html
import io
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd

IC_WINDOW = 20


def _draw(report: Any, fig: Any) -> None:
    grid = fig.add_gridspec(3, 3, height_ratios=[1.0, 1.1, 0.9], hspace=0.42, wspace=0.25)
    first = report.ic.columns[0]
    ax = fig.add_subplot(grid[0, :])
    ic = report.ic[first]
    ax.bar(ic.index, ic.to_numpy(), width=1.0, color="#9db4cf", label=f"rank IC ({first}-day)")
    ax.plot(ic.index, ic.rolling(IC_WINDOW, min_periods=1).mean().to_numpy(), color="#1f4e79", lw=1.2,
            label=f"{IC_WINDOW}-day mean")
    ax.axhline(0, color="#555", lw=0.6)
    ax.set_title("Rank IC per date")
    ax.legend(loc="upper left", fontsize=8)

    ax = fig.add_subplot(grid[1, :])
    returns = report.group_returns
    if len(returns.index):
        colors = ["#c0392b", "#e67e22", "#95a5a6", "#27ae60", "#2471a3"]
        for i, g in enumerate(returns.columns):
            color = colors[int(i * (len(colors) - 1) / max(len(returns.columns) - 1, 1))]
            ax.plot(returns.index, 1 + returns[g].cumsum().to_numpy(), lw=1.0, color=color, label=f"group {g}")
        ax.plot(returns.index, 1 + report.long_short.cumsum().to_numpy(), lw=1.4, color="black", ls="--",
                label="long-short")
        ax.legend(loc="upper left", fontsize=8, ncol=min(len(returns.columns) + 1, 7))
    ax.set_title("Group backtests: net value (1 + running sum of daily returns)")

    ax = fig.add_subplot(grid[2, 0])
    table = report.group_mean
    width = 0.8 / max(len(table.columns), 1)
    x = np.arange(len(table.index))
    for j, period in enumerate(table.columns):
        ax.bar(x + j * width - 0.4 + width / 2, table[period].to_numpy() * 1e4, width, label=f"{period}-day")
    ax.set_xticks(x, [str(g) for g in table.index])
    ax.set_xlabel("group")
    ax.set_ylabel("bp")
    ax.set_title("Mean forward return by group")
    ax.legend(fontsize=8)

    ax = fig.add_subplot(grid[2, 1])
    ax.bar(report.decay.index, report.decay.to_numpy(), color="#5d6d7e")
    ax.axhline(0, color="#555", lw=0.6)
    ax.set_xlabel("lag k (IC against the return of T+1+k)")
    ax.set_title("IC decay")

    # Groups and lags are different axes: the turnover has a panel of its own.
    ax = fig.add_subplot(grid[2, 2])
    turnover = report.turnover.mean()
    x = np.arange(len(turnover.index))
    ax.bar(x, turnover.to_numpy() * 100, color="#c0392b")
    ax.set_xticks(x, [str(g) for g in turnover.index])
    ax.set_xlabel("group")
    ax.set_ylabel("%")
    ax.set_ylim(0, 100)
    ax.set_title("Mean daily turnover by group")


def factor_figure(report: Any, save_path: Any = None):
    """The chart as a matplotlib figure; saved as PNG to ``save_path`` when given."""
    from matplotlib.figure import Figure  # no pyplot: the process's backend is left alone

    from tessary.backtest._pnl_engine import _MATPLOTLIB_PLOT_LOCK

    with _MATPLOTLIB_PLOT_LOCK:  # the plotting library's settings are process-wide
        fig = Figure(figsize=(14, 11), dpi=100)
        _draw(report, fig)
        if save_path is not None:
            path = Path(save_path).expanduser()
            path.parent.mkdir(parents=True, exist_ok=True)
            fig.savefig(path, format="png", bbox_inches="tight")
    return fig


def report_html(report: Any) -> str:
    """Summary tables and the chart, for a notebook."""
    buffer = io.BytesIO()
    fig = factor_figure(report)
    from tessary.backtest._pnl_engine import _MATPLOTLIB_PLOT_LOCK

    with _MATPLOTLIB_PLOT_LOCK:
        fig.savefig(buffer, format="png", bbox_inches="tight")
    image = base64.b64encode(buffer.getvalue()).decode("ascii")
    parts = [f"<h4>{html.escape(repr(report))}</h4>", report.ic_summary.to_html(float_format="%.4f"),
             pd.DataFrame(report.group_mean).to_html(float_format="%.5f")]
    if len(report.group_stats.columns):
        parts.append(report.group_stats.to_html(float_format="%.3f"))
    parts.append(f'<img src="data:image/png;base64,{image}"/>')
    return "\n".join(parts)
