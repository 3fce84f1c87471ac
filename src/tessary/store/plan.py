"""The write plan: a payload checked completely (types, axes, values against each
dataset's storage dtype) before anything is written, as validated plans."""

from __future__ import annotations

from collections.abc import Callable, Mapping
from typing import Any

import numpy as np
import pandas as pd

from tessary.store.dates import date_axis
from tessary.store.metadata import plain_pickle

_NUMERIC_INFERRED = frozenset({"boolean", "integer", "floating", "mixed-integer-float", "empty"})


def clean_matrix(matrix: pd.DataFrame) -> pd.DataFrame:
    """The stored form of a freshly pivoted factor matrix: float64 values with +-inf
    as NaN, dates ascending, stock codes ascending, axes without names."""
    values = matrix.to_numpy(dtype=np.float64, na_value=np.nan, copy=True)
    values[np.isinf(values)] = np.nan
    index = pd.Index(matrix.index).rename(None)
    columns = pd.Index(matrix.columns).rename(None)
    out = pd.DataFrame(values, index=index, columns=columns, copy=False)
    if not out.index.is_monotonic_increasing:
        out = out.sort_index()
    if not out.columns.is_monotonic_increasing:
        out = out.sort_index(axis=1)
    return out


def storage_dtype(dtype: object) -> np.dtype:
    try:
        dt = np.dtype(dtype)  # type: ignore[call-overload]
    except TypeError:
        raise ValueError(f"not a storage dtype: {dtype!r}") from None
    if dt.kind not in "biuf":
        raise ValueError(f"storage dtype {dtype!r} is not a boolean, integer or float dtype")
    return dt


def _code_axis(labels: pd.Index, what: str) -> np.ndarray:
    """Stock-code labels (str, unique) as a numpy string array."""
    if len(labels) == 0:
        return np.empty(0, dtype="<U1")
    if labels.dtype == object or not pd.api.types.is_string_dtype(labels.dtype) or labels.hasnans:
        for code in labels:
            if not isinstance(code, str):
                raise TypeError(f"{what}: stock codes must be str, got {code!r}")
    if not labels.is_unique:
        dup = labels[labels.duplicated()][0]
        raise ValueError(f"{what}: stock code {dup!r} occurs more than once")
    return np.asarray(labels.to_numpy(dtype=object), dtype=str)


class AxisMemo:
    """Axes already checked during one write: a payload's frames usually carry equal
    date and code indexes, each checked and converted once."""

    def __init__(self) -> None:
        self._seen: list[tuple[Callable, pd.Index, np.ndarray]] = []

    def get(self, labels: pd.Index, convert: Callable[[pd.Index, str], np.ndarray], what: str) -> np.ndarray:
        for check, known, array in self._seen:
            if check is convert and (known is labels or (known.dtype == labels.dtype and known.equals(labels))):
                return array
        array = convert(labels, what)
        self._seen.append((convert, labels, array))
        return array


def _numeric_values(frame: pd.DataFrame, what: str) -> np.ndarray:
    """The frame's values as one numpy array of booleans or numbers: a view when all
    columns share one numpy dtype, else a float64 copy with missing values as NaN."""
    rows, cols = frame.shape
    if cols == 0:
        return np.empty((rows, 0), dtype=np.float64)
    dtypes = frame.dtypes
    kinds = set(dtypes)
    if len(kinds) == 1:
        (only,) = kinds
        if isinstance(only, np.dtype) and only.kind in "biuf":
            return frame.to_numpy()
    for i, dt in enumerate(dtypes):
        if isinstance(dt, np.dtype):
            if dt.kind in "biuf":
                continue
            if dt.kind == "O" and pd.api.types.infer_dtype(frame.iloc[:, i], skipna=True) in _NUMERIC_INFERRED:
                continue
        elif pd.api.types.is_bool_dtype(dt) or pd.api.types.is_numeric_dtype(dt):
            continue
        raise TypeError(f"{what}: column {frame.columns[i]!r} holds {dt} values, not numbers or booleans")
    return frame.to_numpy(dtype=np.float64, na_value=np.nan)


def _check_storable(values: np.ndarray, target: np.dtype, what: str, dates: np.ndarray, codes: np.ndarray) -> None:
    """Raises ValueError naming the first cell that storage dtype `target` cannot hold
    (a NaN or a 2 in a boolean dataset, a fraction in an integer one, ...)."""
    src = values.dtype
    bad = None
    with np.errstate(invalid="ignore", over="ignore"):
        if target.kind == "f":
            if src.kind in "iu" and src.itemsize * 8 > np.finfo(target).nmant + 1:
                converted = values.astype(target)
                lo, hi = (-(2.0**63), 2.0**63) if src.kind == "i" else (0.0, 2.0**64)
                in_range = (converted >= lo) & (converted < hi)
                bad = ~in_range | (np.where(in_range, converted, 0).astype(src) != values)
            elif src.kind == "f" and target.itemsize < src.itemsize:
                bad = np.isfinite(values) & ~np.isfinite(values.astype(target))
        elif target.kind == "b":
            if src.kind != "b":
                bad = ~((values == 0) | (values == 1))
        elif src.kind != "b" and not np.can_cast(src, target):
            info = np.iinfo(target)
            if src.kind == "f":
                bad = ~np.isfinite(values) | (values != np.floor(values)) | (values < info.min) | (values > info.max)
            else:
                bad = (values < info.min) | (values > info.max)
    if bad is None or not bad.any():
        return
    flat = int(np.flatnonzero(bad)[0])
    r, c = divmod(flat, values.shape[1])
    value = values[r, c]
    text = "NaN" if src.kind == "f" and np.isnan(value) else repr(value.item())
    raise ValueError(
        f"{what}: storage dtype {target.name} cannot hold the value {text} (date {dates[r]}, stock {codes[c]})"
    )


def _label_name(name: object, what: str) -> object:
    """An axis or series name as kept in the metadata: a builtin str, int, float, bool
    or None (numpy scalars are converted: the metadata holds plain data only)."""
    if name is None or type(name) in (str, int, float, bool):
        return name
    if isinstance(name, str):
        return str(name)
    if isinstance(name, (int, np.integer)):
        return int(name)
    if isinstance(name, (float, np.floating)):
        return float(name)
    raise TypeError(f"{what} must be a str, int, float or None to be stored, got {name!r}")


class MatrixPlan:
    """A validated dataset, ready to be written."""

    __slots__ = ("key", "dtype", "values", "dates", "codes", "names")

    def __init__(self, key: str, dtype: np.dtype, values: np.ndarray, dates: np.ndarray, codes: np.ndarray,
                 names: dict):
        self.key, self.dtype, self.values = key, dtype, values
        self.dates, self.codes, self.names = dates, codes, names


class SeriesPlan:
    """A validated benchmark series, ready to be written."""

    __slots__ = ("name", "series_name", "values", "dates", "index_name")

    def __init__(self, name: str, series_name: object, values: np.ndarray, dates: np.ndarray, index_name: object):
        self.name, self.series_name, self.values, self.dates = name, series_name, values, dates
        self.index_name = index_name


def plan_matrix(key: object, matrix: object, dtype: object, axes: AxisMemo | None = None) -> MatrixPlan:
    """Checks one dataset completely (type, axes, values against the storage dtype)."""
    if not isinstance(key, str):
        raise TypeError(f"dataset keys must be str, got {key!r}")
    key = str(key)
    what = f"dataset {key!r}"
    target = storage_dtype(dtype)
    if not isinstance(matrix, pd.DataFrame):
        raise TypeError(f"{what} must be a date x stock DataFrame, got {type(matrix).__name__}")
    axes = axes or AxisMemo()
    dates = axes.get(matrix.index, date_axis, what)
    codes = axes.get(matrix.columns, _code_axis, what)
    names = {
        "index_name": _label_name(matrix.index.name, f"{what}: the date axis name"),
        "columns_name": _label_name(matrix.columns.name, f"{what}: the stock axis name"),
    }
    values = _numeric_values(matrix, what)
    _check_storable(values, target, what, dates, codes)
    return MatrixPlan(key, target, values, dates, codes, names)

def plan_series(name: object, series: object, float_dtype: object, axes: AxisMemo) -> SeriesPlan:
    """Checks one benchmark series of daily returns (stored in `float_dtype`)."""
    if not isinstance(name, str):
        raise TypeError(f"benchmark names must be str, got {name!r}")
    name = str(name)
    what = f"benchmark {name!r}"
    if not isinstance(series, pd.Series):
        raise TypeError(f"{what} must be a Series of daily returns, got {type(series).__name__}")
    if not (pd.api.types.is_numeric_dtype(series.dtype) or pd.api.types.is_bool_dtype(series.dtype)):
        raise TypeError(f"{what} holds {series.dtype} values, not numbers")
    series_name = _label_name(series.name, f"{what}: the series name")
    index_name = _label_name(series.index.name, f"{what}: the date axis name")
    dates = axes.get(series.index, date_axis, what)
    target = storage_dtype(float_dtype)
    values = series.to_numpy(dtype=target, na_value=np.nan)
    return SeriesPlan(name, series_name, values, dates, index_name)

def plan_payload(store, payload: object) -> tuple[list[MatrixPlan], list[SeriesPlan], Any]:
    """Checks a whole payload against `store`'s version and dtype map: the dataset plans, the
    benchmark plans and the meta dict."""
    if not isinstance(payload, Mapping):
        raise TypeError(f"payload must be a dict with 'version', 'meta' and 'data', got {type(payload).__name__}")
    if "version" not in payload:
        raise ValueError("payload has no 'version'")
    version = payload["version"]
    if type(version) is bool or version != store.version:
        raise ValueError(f"payload version {version!r} does not match the store's version {store.version!r}")
    meta = payload.get("meta", {})
    if not isinstance(meta, dict):
        raise TypeError(f"payload 'meta' must be a dict, got {type(meta).__name__}")
    plain_pickle(meta, "payload 'meta'")
    data = payload.get("data")
    if not isinstance(data, Mapping):
        raise TypeError(f"payload 'data' must be a dict, got {type(data).__name__}")
    axes = AxisMemo()
    plans = [
        plan_matrix(key, data[key], dtype, axes) for key, dtype in store.matrix_dtype.items() if key in data
    ]
    bench = data.get("benchmark_dict", {})
    if not isinstance(bench, Mapping):
        raise TypeError(f"payload 'benchmark_dict' must be a dict, got {type(bench).__name__}")
    series = [plan_series(name, s, store.float_dtype, axes) for name, s in bench.items()]
    return plans, series, meta


