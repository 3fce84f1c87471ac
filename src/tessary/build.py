"""Building a store from a DuckDB file of the local data service, or bringing it up to date.

A new store (or a ``full`` build) receives the whole payload of the builder. A store
that already holds data is read for its dates only (a memory-mapped axis, nothing
else): the builder reads the days after the store's last date together with the last
``TAIL_RELOAD_ROWS`` stored days (their forward-return ranks need the new opens) and
the day before them (for the previous close), and the store merges those rows in with
``update_payload``, at the cost of what they touch. Constituent masks the store lacks
are then read over its whole range and supplemented.

Progress goes to standard error through the bars of :mod:`tessary.progress`; mistakes about the
inputs raise :class:`BuildError` with a one-line message.
"""

from __future__ import annotations

from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd

__all__ = ["BuildError", "build_store", "NEEDED_FACTORS"]

#: The factors the derivation of the backtest matrices cannot do without; splits,
#: dividends and the industry may be absent (no events, no industry).
NEEDED_FACTORS = (
    "Close", "Open", "tick_vwap_price_935_1005", "tick_vwap_price_925_1000", "limit_up", "limit_down",
    "rq_is_suspended",
)


class BuildError(Exception):
    """A build that cannot go ahead because of its inputs (database, store, dates)."""


def _stored_dates(store) -> list[str] | None:
    """The dates of the store's close prices (memory-mapped, cheap), or None for an empty store."""
    try:
        if "close_price" not in store.load_metadata().get("datasets", {}):
            return None
        loaded = store.load(keys=["close_price"], mmap=True)
    except (ValueError, OSError, KeyError, TypeError) as exc:
        raise BuildError(f"cannot read the store {store.store_dir}: {exc}") from None
    dates = None if loaded is None else loaded["data"]["close_price"].index
    return list(dates) if dates is not None and len(dates) else None


def _check_sources(client, database: Path, start: str, end: str) -> list[str]:
    """Before anything is written: a BuildError naming the needed factors the database
    lacks between ``start`` and ``end``. Returns the warnings about needed factors
    present on fewer dates than the close and about stock codes whose exchange suffix
    contradicts the number."""
    from tessary.backtest._weights import exchange_conflict, first_few

    days = client.factor_days(list(NEEDED_FACTORS), start, end)
    missing = [name for name in NEEDED_FACTORS if not days.get(name)]
    load = "load them with tessary.local.load_files(DATABASE, factors=FILE) (columns ukey, date, factor, value)"
    if missing:
        raise BuildError(
            f"the database {database} holds no values of {', '.join(missing)} between {start} and {end}, "
            f"which the build needs; {load}"
        )
    problems = []
    short = [f"{name} on {days[name]}" for name in NEEDED_FACTORS if days[name] < days["Close"]]
    if short:
        problems.append(
            f"of the {days['Close']} dates with a close between {start} and {end}, some factors have fewer: "
            f"{', '.join(short)}; on the dates without them stocks are blocked or limit prices are not "
            f"applied; {load}"
        )
    conflicts = [text for text in map(exchange_conflict, client.stock_codes(start, end)) if text]
    if conflicts:
        problems.append(
            f"{len(conflicts)} stock code(s) of the database name the wrong exchange for their number: "
            f"{first_few(conflicts)}; the store keeps the six digits, so such rows land on the stock of that number"
        )
    return problems


def _from_date(payload: dict, first: str) -> dict:
    """The payload with every matrix and benchmark restricted to dates from `first` on.

    Rows are cut from the values array: the builder's flag matrices hold one block per
    stock, which a row selection through pandas would copy block by block."""
    data = {}
    for key, value in payload["data"].items():
        if key == "benchmark_dict":
            data[key] = {name: series.loc[series.index >= first] for name, series in value.items()}
            continue
        cut = int(np.searchsorted(value.index.to_numpy(dtype=str), first, side="left"))
        data[key] = pd.DataFrame(value.to_numpy()[cut:], index=value.index[cut:], columns=value.columns, copy=False)
    return {**payload, "data": data}


def _update_payload(store, builder_start: str, end: str, first_new: str, extra_components: list[str]) -> dict:
    """The incremental payload of the new days (from `first_new` on), with the stored
    meta's start kept and the extra constituent masks the store holds read as well."""
    from tessary.backtest._prepare import GroupPreparedDataBuilder
    from tessary.store import component_dataset_key

    builder = GroupPreparedDataBuilder(builder_start, end)
    payload = builder.build_incremental()
    if extra_components:
        masks = builder._component_matrices(extra_components)
        for name in extra_components:
            if name in masks:
                payload["data"][component_dataset_key(name)] = masks[name]
    payload = _from_date(payload, first_new)
    stored_meta = store.load_metadata().get("meta", {})
    meta = dict(payload["meta"])
    for key in ("start_date", "ddb_start"):
        if key in stored_meta:
            meta[key] = stored_meta[key]
    names = list(dict.fromkeys(list(stored_meta.get("component_names", [])) + list(meta.get("component_names", []))))
    meta["component_names"] = names
    meta["component_dataset_keys"] = {name: component_dataset_key(name) for name in names}
    payload["meta"] = meta
    return payload


def build_store(
    database: str | Path,
    store_dir: str | Path,
    start: str | None = None,
    end: str | None = None,
    *,
    full: bool = False,
    component_names: list[str] | None = None,
) -> dict:
    """Build (or bring up to date) the store ``store_dir`` from a local DuckDB file.

    Without ``full`` and with data in the store, only the days after the store's last
    date are read, together with the last ``TAIL_RELOAD_ROWS`` stored days and one day
    before them; the new rows replace those days through ``update_payload``.
    Constituent masks named in ``component_names`` (default: the five built-in ones)
    that the store lacks are then read and supplemented. Returns a summary dict
    (store, mode, supplemented, first_date, last_date, dates, stocks, datasets).
    """
    from tessary.backtest._prepare import TAIL_RELOAD_ROWS, GroupPreparedDataBuilder, get_component_factor_names
    from tessary.local import LocalDataClient
    from tessary.progress import ProgressClient, progress_bar, registered_client, step
    from tessary.store import StoreLockedError, component_dataset_key, open_store

    database, store_dir = Path(database).expanduser(), Path(store_dir).expanduser()
    if not database.is_file():
        raise BuildError(f"database not found: {database}")
    if store_dir.exists() and not store_dir.is_dir():
        raise BuildError(f"the store must be a directory: {store_dir}")

    builtin = get_component_factor_names()
    names = builtin + [name for name in dict.fromkeys(component_names or []) if name not in builtin]
    store = open_store(store_dir, names, must_exist=False)
    client = LocalDataClient(database)
    span = client.date_range()
    if span is None:
        raise BuildError(f"the database {database} holds no factor values")
    start = start or span[0]
    end = end or span[1]
    if start > end:
        raise BuildError(f"the start date {start} is after the end date {end}")

    dates = None if full else _stored_dates(store)
    mode, first_new, build_start = "full", None, start
    if dates is not None:
        if end <= dates[-1]:
            mode = "up to date"
        else:
            mode = "incremental"
            keep = min(TAIL_RELOAD_ROWS, len(dates))
            first_new = dates[-keep]
            build_start = dates[max(len(dates) - keep - 1, 0)]

    summary: dict[str, Any] = {"store": str(store_dir), "mode": mode, "first_written": first_new, "problems": []}
    if mode != "up to date":
        summary["problems"] = _check_sources(client, database, build_start, end)
    try:
        if mode != "up to date":
            stored = store.load_metadata().get("datasets", {}) if mode == "incremental" else {}
            extras = [n for n in names if n not in builtin and component_dataset_key(n) in stored]
            queries = 16 if mode == "full" else None
            bar = progress_bar(total=queries, desc=f"{mode} build: querying {database.name}", unit="query", leave=False)
            try:
                with registered_client(ProgressClient(client, bar)):
                    if mode == "full":
                        payload = GroupPreparedDataBuilder(build_start, end).build()
                    else:
                        payload = _update_payload(store, build_start, end, first_new, extras)
            except (KeyError, ValueError) as exc:  # the builder's messages about the database's contents
                raise BuildError(f"cannot build from {database}: {exc.args[0] if exc.args else exc}") from None
            finally:
                bar.close()
            if mode == "full":
                with step(f"writing {store_dir}"):
                    store.write_payload(payload)
            else:
                with step(f"updating {store_dir} from {first_new}"):
                    store.update_payload(payload)
            del payload

        # Supplement the constituent masks that the store does not hold yet.
        datasets = store.load_metadata().get("datasets", {})
        missing = [name for name in names if component_dataset_key(name) not in datasets]
        supplemented: list[str] = []
        if missing:
            dates = _stored_dates(store)
            if dates is None:
                raise BuildError(f"the store {store_dir} holds no dates to read constituent masks for")
            bar = progress_bar(total=len(missing), desc="reading missing constituent masks", unit="query")
            try:
                with registered_client(ProgressClient(client, bar)):
                    masks = GroupPreparedDataBuilder(dates[0], dates[-1])._component_matrices(missing)
            finally:
                bar.close()
            absent = [name for name in missing if name not in masks]
            if absent:
                raise BuildError(f"the database {database} has no constituent data for: {', '.join(absent)}")
            with step("supplementing constituent masks"):
                supplemented = store.add_component_matrices(masks, missing)
    except StoreLockedError as exc:
        raise BuildError(str(exc)) from None
    summary["supplemented"] = supplemented
    try:
        close = store.load(keys=["close_price"], mmap=True)["data"]["close_price"]
    except (ValueError, OSError, KeyError, TypeError) as exc:
        raise BuildError(f"cannot read the store {store_dir}: {exc}") from None
    summary.update(
        first_date=str(close.index[0]), last_date=str(close.index[-1]), dates=len(close.index), stocks=len(close.columns)
    )
    summary["datasets"] = len(store.load_metadata().get("datasets", {}))
    return summary
