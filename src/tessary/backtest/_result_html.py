"""The notebook view of a backtest result: statistics, benchmark summary, charts."""

from __future__ import annotations

import base64
import html
import math
from pathlib import Path
from typing import Any

#: Statistic key -> label; keys whose value is in percentage points are in PERCENT_KEYS.
STAT_LABELS = {
    "annual_return": "annual return",
    "long_sharp": "Sharpe ratio",
    "max_dd": "maximum drawdown",
    "extra_annual_return": "excess annual return",
    "extra_sharp": "excess Sharpe ratio",
    "extra_max_dd": "excess maximum drawdown",
    "benchmark_annual_return": "benchmark annual return",
    "benchmark_sharp": "benchmark Sharpe ratio",
    "return_corr": "correlation with the benchmark",
    "win_rate": "daily win rate",
    "excess_win_rate": "daily excess win rate",
    "holding_count": "stocks held (mean)",
    "turnover": "daily turnover (mean)",
}
PERCENT_KEYS = frozenset(
    {"annual_return", "max_dd", "extra_annual_return", "extra_max_dd", "benchmark_annual_return", "win_rate",
     "excess_win_rate", "turnover"}
)
_SUMMARY_RATIOS = ("benchmark_annual_return", "excess_annual_return", "excess_max_dd")


def _number(value: Any, percent: bool = False) -> str:
    try:
        value = float(value)
    except (TypeError, ValueError):
        return html.escape(str(value))
    if not math.isfinite(value):
        return "--"
    return f"{value:,.2f}{' %' if percent else ''}"


def _table(header: list[str], rows: list[list[str]]) -> str:
    head = "".join(f"<th>{html.escape(h)}</th>" for h in header)
    body = "".join("<tr>" + "".join(f"<td>{cell}</td>" for cell in row) + "</tr>" for row in rows)
    return f"<table><thead><tr>{head}</tr></thead><tbody>{body}</tbody></table>"


def _image(path: str) -> str:
    try:
        data = Path(path).read_bytes()
    except OSError:
        return f"<p>chart not readable: {html.escape(path)}</p>"
    encoded = base64.b64encode(data).decode("ascii")
    return f'<img src="data:image/png;base64,{encoded}" style="max-width:100%" alt="{html.escape(path)}"/>'


def result_html(result: Any) -> str:
    """HTML of a ``BacktestResult``: a heading, the statistics table, the per-benchmark
    summary (percent) and the charts embedded as PNG, when they were drawn."""
    first, last = result._dates()
    parts = [
        f"<h4>{html.escape(result.name)}: {first} .. {last}, {len(result.daily_return)} days, "
        f"benchmark {html.escape(str(result.benchmark))}</h4>"
    ]
    if result.carried_days:
        parts.append(f"<p>weights given on {result.given_dates} dates, carried onto {result.carried_days} "
                     "further trading days</p>")
    rows = [[html.escape(STAT_LABELS.get(str(k), str(k))), _number(v, str(k) in PERCENT_KEYS)]
            for k, v in result.stats.items()]
    parts.append(_table(["statistic", "value"], rows))
    summary = result.benchmark_summary
    if len(summary):
        rows = [
            [html.escape(str(row["benchmark_name"]))]
            + [_number(float(row[c]) * 100, True) for c in _SUMMARY_RATIOS[:2]]
            + [_number(row["excess_sharpe"]), _number(float(row["excess_max_dd"]) * 100, True)]
            for row in summary.to_dict(orient="records")
        ]
        parts.append(_table(["benchmark", "annual return", "excess annual", "excess Sharpe", "excess max dd"], rows))
    for text in result.warnings:
        parts.append(f"<p><b>warning:</b> {html.escape(text)}</p>")
    for path in result.plot_paths.values():
        parts.append(_image(path))
    return "<div>" + "".join(parts) + "</div>"
