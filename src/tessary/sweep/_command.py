"""The pieces of ``tessary-backtest sweep``: grid and strategy arguments, the
scheduler, the screen summary and the output files."""

from __future__ import annotations

import importlib
import math
import os
import sys
import tempfile
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import Any

import pandas as pd

from tessary.sweep._result import SweepResult, excess_columns

#: Short names of the built-in strategies.
BUILT_IN = {"momentum": "tessary.strategies:momentum", "reversal": "tessary.strategies:reversal"}


def parse_value(text: str) -> Any:
    """A grid value from the command line: an integer, a number, true/false/none, or text."""
    text = text.strip()
    lowered = text.lower()
    if lowered in ("true", "false"):
        return lowered == "true"
    if lowered == "none":
        return None
    for convert in (int, float):
        try:
            value = convert(text)
        except ValueError:
            continue
        if isinstance(value, float) and not math.isfinite(value):
            break
        return value
    return text


def parse_grid(items: list[str] | None) -> dict[str, list]:
    """``["lookback=20,60", "fee=1e-4,3e-4"]`` -> ``{"lookback": [20, 60], "fee": [0.0001, 0.0003]}``."""
    if not items:
        raise ValueError("give at least one --grid NAME=V1,V2,...")
    grid: dict[str, list] = {}
    for item in items:
        name, sep, values = item.partition("=")
        name = name.strip()
        if not sep or not name.isidentifier():
            raise ValueError(f"--grid takes NAME=V1,V2,... (NAME a parameter name), not {item!r}")
        if name in grid:
            raise ValueError(f"--grid names {name!r} twice")
        parts = [v for v in values.split(",")]
        if not values.strip() or any(not v.strip() for v in parts):
            raise ValueError(f"--grid {name}= needs values separated by commas, got {values!r}")
        grid[name] = [parse_value(v) for v in parts]
    return grid


def load_strategy(spec: str) -> Callable:
    """The strategy function named ``MODULE:FUNCTION`` (or a built-in's short name).
    Modules are also looked for in the current directory."""
    spec = BUILT_IN.get(spec, spec)
    module_name, sep, function_name = spec.partition(":")
    if not sep or not module_name or not function_name:
        raise ValueError(f"--strategy takes MODULE:FUNCTION (or one of: {', '.join(BUILT_IN)}), not {spec!r}")
    if "" not in sys.path and os.getcwd() not in sys.path:
        sys.path.insert(0, os.getcwd())
    try:
        module = importlib.import_module(module_name)
    except ImportError as exc:
        raise ValueError(f"cannot import the strategy module {module_name!r}: {exc}") from None
    except SyntaxError as exc:  # the user's module does not compile: where, in one line
        raise ValueError(
            f"the strategy module {module_name!r} has a syntax error: {exc.msg} ({exc.filename}, line {exc.lineno})"
        ) from None
    except Exception as exc:  # the module's own code failed while it was imported
        text = str(exc).splitlines()[0] if str(exc) else ""
        raise ValueError(f"the strategy module {module_name!r} failed on import: {type(exc).__name__}: {text}") from None
    function = getattr(module, function_name, None)
    if not callable(function):
        raise ValueError(f"the module {module_name!r} has no function {function_name!r}")
    return function


@contextmanager
def scheduler(address: str | None, local_cluster: int | None, strategy: Callable) -> Iterator[Any]:
    """None (threads of this process), a client of the scheduler at ``address``, or a
    client of a new local cluster of ``local_cluster`` worker processes (one thread
    each), closed at the end."""
    if address is None and local_cluster is None:
        yield None
        return
    try:
        import distributed
    except ImportError:
        raise ValueError("--scheduler and --local-cluster need Dask: pip install 'tessary[dask]'") from None
    if address is not None:
        _send_by_value(strategy)
        try:
            client = distributed.Client(address, timeout=30)
        except (OSError, TimeoutError) as exc:
            raise ValueError(f"cannot reach the Dask scheduler at {address}: {exc}") from None
        with client:
            yield client
        return
    import dask

    # Without a dashboard nobody reads the workers' statistical profiler, which
    # samples every thread's stack every 10 ms: a few per cent of each core.
    with dask.config.set({"distributed.worker.profile.enabled": False}), \
            _started_twice(distributed.LocalCluster, n_workers=local_cluster, threads_per_worker=1, processes=True,
                           **LOCAL_CLUSTER) as cluster, distributed.Client(cluster) as client:
        yield client


#: Options of every local cluster: no dashboard and no fixed port. The scheduler
#: serves HTTP (health, metrics) even without a dashboard, on Dask's customary port
#: 8787 unless told otherwise, which another program may hold; here it listens on a
#: free port of this machine only.
LOCAL_CLUSTER = {"dashboard_address": "127.0.0.1:0", "scheduler_kwargs": {"dashboard": False}}


def check_writers() -> None:
    """Raises ValueError when the output files cannot be written (parquet needs
    pyarrow): found out before the sweep, not after it."""
    try:
        import pyarrow  # noqa: F401
    except ImportError:
        raise ValueError("the sweep writes parquet files, which needs pyarrow: pip install pyarrow") from None


def _started_twice(start: Callable, **kwargs: Any) -> Any:
    """``start(**kwargs)``, tried once more when it fails: a worker process that dies
    while a local cluster starts fails the start ("Nanny failed to start")."""
    try:
        return start(**kwargs)
    except Exception as first:
        try:
            return start(**kwargs)
        except Exception as second:
            text = str(first).strip().splitlines()
            raise RuntimeError(
                f"the local cluster failed to start twice (first: {type(first).__name__}: "
                f"{text[0] if text else ''}); last error: {type(second).__name__}: {second}"
            ) from second


def _send_by_value(strategy: Callable) -> None:
    """A strategy of one's own module travels with its code, so that workers on other
    machines need not have that module."""
    module = getattr(strategy, "__module__", "") or ""
    if module.split(".")[0] in ("tessary", "builtins") or module not in sys.modules:
        return
    import cloudpickle

    cloudpickle.register_pickle_by_value(sys.modules[module])


def summary_columns(result: SweepResult, benchmark: str) -> list[str]:
    annual, _ = excess_columns(benchmark)
    wanted = ["long_sharp", "annual_return", "max_dd", annual, "turnover", "error"]
    return [*result.grid_names, *(c for c in wanted if c in result.table.columns)]


def best_rows_text(result: SweepResult, benchmark: str, n: int = 5) -> str:
    """The ``n`` best rows by Sharpe ratio as text, every return in percent."""
    best = result.best(n)[summary_columns(result, benchmark)].copy()
    annual, _ = excess_columns(benchmark)
    best[annual] = best[annual] * 100  # the table holds it as a ratio, the statistics in percent
    best = best.rename(columns={annual: f"excess_annual_return_{benchmark}"})
    if best["error"].isna().all():
        best = best.drop(columns="error")
    text = best.to_string(float_format=lambda v: f"{v:.4g}", na_rep="--")
    return text + "\n(annual returns, drawdown and turnover in %)"


def _atomic_write(path: Path, write: Callable[[str], None]) -> None:
    """Writes through a temporary file beside ``path`` and renames it: an interrupted
    run leaves the previous file or none, never half a file."""
    fd, tmp = tempfile.mkstemp(prefix=path.name + ".", suffix=".tmp", dir=path.parent)
    os.close(fd)
    try:
        write(tmp)
        os.replace(tmp, path)
    except BaseException:
        Path(tmp).unlink(missing_ok=True)
        raise


def write_outputs(result: SweepResult, out: Path, metric: str = "long_sharp") -> dict[str, str]:
    """The table as CSV and parquet, the daily returns as parquet and, with two grid
    names or more, a heatmap of ``metric`` over the first two."""
    out.mkdir(parents=True, exist_ok=True)
    paths = {"csv": out / "sweep.csv", "parquet": out / "sweep.parquet"}
    _atomic_write(paths["csv"], lambda p: result.table.to_csv(p))
    _atomic_write(paths["parquet"], lambda p: _plain_columns(result.table).to_parquet(p))
    if result.daily_returns is not None:
        paths["daily_returns"] = out / "daily_returns.parquet"
        returns = result.daily_returns.rename(columns=str)
        _atomic_write(paths["daily_returns"], lambda p: returns.to_parquet(p))
    if len(result.grid_names) >= 2:
        x, y = result.grid_names[:2]
        paths["heatmap"] = Path(result.heatmap(x, y, metric=metric, save_path=out / f"heatmap_{metric}.png"))
    return {k: str(v) for k, v in paths.items()}


def _plain_columns(table: pd.DataFrame) -> pd.DataFrame:
    """Parameter columns of mixed types as text: parquet stores one type per column."""
    out = table.copy()
    for name in out.columns:
        if out[name].dtype == object and name != "error":
            kinds = {type(v) for v in out[name] if v is not None}
            if len(kinds) > 1:
                out[name] = out[name].map(lambda v: None if v is None else str(v))
    return out


def error_summary(errors: pd.Series, shown: int = 5) -> str:
    """The distinct error texts of a sweep, most frequent first, each with its count and
    its first combination's row number; at most ``shown`` of them."""
    errors = errors.dropna().map(lambda text: str(text).splitlines()[0] if str(text) else "")
    counts = errors.value_counts(sort=True)
    lines = [f"  {count} x {text} (first: combination {errors.index[errors == text][0]})"
             for text, count in counts.iloc[:shown].items()]
    if len(counts) > shown:
        lines.append(f"  ... and {len(counts) - shown} other error(s)")
    return "\n".join(lines)
