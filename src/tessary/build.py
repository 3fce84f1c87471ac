"""Building a store from a DuckDB file of the local data service, or bringing it up to date.

A new store (or a ``full`` build) receives the whole payload of the builder. A store
that already holds data is read for its dates only (a memory-mapped axis, nothing
else): the builder reads the days after the store's last date together with the last
``TAIL_RELOAD_ROWS`` stored days (their forward-return ranks need the new opens) and
the day before them (for the previous close), and the store merges those rows in with
``update_payload``, at the cost of what they touch. Constituent masks the store lacks
are then read over its whole range and supplemented.

Corrections to past days are found through digests: the store keeps in its meta, per
date, a digest of the source rows it was built from (every factor the build reads, the
constituent masks and the benchmark bars), computed by the data service in one
aggregate query. An incremental build compares them with the source's and rebuilds
from the earliest date that changed, as ``since`` asks it to from a given date. A store
without digests (built before they were kept, or from a service that offers none)
cannot tell, and the build says so; its next full build records them.

Progress goes to standard error through the bars of :mod:`tessary.progress`; mistakes about the
inputs raise :class:`BuildError` with a one-line message.
"""

from __future__ import annotations

from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd

__all__ = ["BuildError", "build_store", "source_digests", "NEEDED_FACTORS"]

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


#: The meta key of the digests: {"kind": ..., "factors": [...], "dates": {"YYYYMMDD": digest}}.
DIGEST_KEY = "source_digests"


def _open_client(database: Path):
    from tessary.local import LocalDataClient

    return LocalDataClient(database)


def _source_digests(client, factors: list[str], start: str, end: str) -> dict | None:
    """The source's digests per date between ``start`` and ``end`` in the form kept in
    the meta, or None for a client that offers none."""
    from tessary.backtest._prepare import BENCHMARK_INDEX_CODES

    if not callable(getattr(client, "date_digests", None)) or not callable(getattr(client, "digest_kind", None)):
        return None
    dates = client.date_digests(list(factors), list(BENCHMARK_INDEX_CODES.values()), start, end)
    return {"kind": client.digest_kind(), "factors": list(factors), "dates": dict(dates)}


def digest_factors(component_names: list[str]) -> list[str]:
    """The factors the digests cover: the build's inputs and the constituent masks."""
    from tessary.backtest._prepare import BUILD_INPUT_NAMES

    return list(BUILD_INPUT_NAMES) + list(component_names)


def source_digests(client, start: str, end: str, component_names: list[str] | None = None) -> dict | None:
    """The digests of the source rows between ``start`` and ``end`` as a store built by
    :func:`build_store` keeps them in its meta (under ``DIGEST_KEY``), for a store
    written from a payload by other means; None for a client that offers none.
    ``component_names``: the constituent masks (default: the five built-in ones)."""
    from tessary.backtest._prepare import get_component_factor_names

    names = get_component_factor_names() if component_names is None else list(component_names)
    return _source_digests(client, digest_factors(names), start, end)


def _changed_dates(recorded: dict, source: dict, first: str, last: str) -> list[str]:
    """The dates between ``first`` and ``last`` whose digest differs (or exists on one side only)."""
    old, new = recorded.get("dates", {}), source["dates"]
    return sorted(d for d in set(old) | set(new) if first <= d <= last and old.get(d) != new.get(d))


def _dashed(day: str) -> str:
    return f"{day[:4]}-{day[4:6]}-{day[6:]}"


def _corrections(client, store, stored_meta: dict, dates: list[str], end: str, factors: list[str]):
    """Compares the stored digests with the source's over the stored dates. Returns
    (the changed dates, the digests to keep after the build or None, problems)."""
    recorded = stored_meta.get(DIGEST_KEY)
    source = _source_digests(client, factors, dates[0], end)
    if source is None:
        return [], None, [
            "the data service offers no digests of its rows, so corrections to past dates cannot be detected; "
            "rebuild with --full (or --since DATE) to take them in"
        ]
    usable = isinstance(recorded, dict) and isinstance(recorded.get("dates"), dict) and isinstance(
        recorded.get("factors"), list)
    if not usable:
        return [], None, [
            f"the store {store.store_dir} keeps no digests of its source rows, so corrections to past dates "
            "cannot be detected; build it once with --full to record them"
        ]
    if recorded.get("kind") != source["kind"]:
        return [], None, [
            f"the store's digests of its source rows were made by {recorded.get('kind')}, this build makes "
            f"{source['kind']}: corrections to past dates cannot be detected; build once with --full"
        ]
    compared = source
    if recorded["factors"] != source["factors"]:  # the constituent masks asked for changed
        compared = _source_digests(client, recorded["factors"], dates[0], end)
    changed = _changed_dates(recorded, compared, dates[0], dates[-1])
    problems = []
    if changed:
        held = set(dates)
        gone = [d for d in changed if d not in compared["dates"] and d in held]
        if gone:
            problems.append(
                f"{len(gone)} stored date(s) have no rows in the database any more (first {_dashed(gone[0])}); "
                "an incremental build keeps their rows: build with --full to drop them"
            )
    return changed, source, problems


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
    since: str | None = None,
    component_names: list[str] | None = None,
) -> dict:
    """Build (or bring up to date) the store ``store_dir`` from a local DuckDB file.

    Without ``full`` and with data in the store, only the days after the store's last
    date are read, together with the last ``TAIL_RELOAD_ROWS`` stored days and one day
    before them; the new rows replace those days through ``update_payload``.
    Constituent masks named in ``component_names`` (default: the five built-in ones)
    that the store lacks are then read and supplemented.

    Past dates whose source rows changed since the last build (by the digests the
    store keeps) are rebuilt from the earliest of them; ``since`` (a date) forces a
    rebuild from that date. Returns a summary dict (store, mode, first_written,
    notes, problems, supplemented, first_date, last_date, dates, stocks, datasets):
    ``notes`` says what was rebuilt, ``problems`` are warnings about the sources.
    """
    from tessary.backtest._prepare import (
        TAIL_RELOAD_ROWS, GroupPreparedDataBuilder, get_component_factor_names,
    )
    from tessary.progress import ProgressClient, progress_bar, registered_client, step
    from tessary.store import StoreLockedError, component_dataset_key, open_store
    from tessary.store.dates import date_argument

    try:
        since = date_argument(since, "since")
    except ValueError as exc:
        raise BuildError(str(exc)) from None
    if since is not None and full:
        raise BuildError("a full build rebuilds every date: give full or since, not both")

    database, store_dir = Path(database).expanduser(), Path(store_dir).expanduser()
    if not database.is_file():
        raise BuildError(f"database not found: {database}")
    if store_dir.exists() and not store_dir.is_dir():
        raise BuildError(f"the store must be a directory: {store_dir}")

    builtin = get_component_factor_names()
    names = builtin + [name for name in dict.fromkeys(component_names or []) if name not in builtin]
    store = open_store(store_dir, names, must_exist=False)
    client = _open_client(database)
    span = client.date_range()
    if span is None:
        raise BuildError(f"the database {database} holds no factor values")
    start = start or span[0]
    end = end or span[1]
    if start > end:
        raise BuildError(f"the start date {start} is after the end date {end}")

    dates = None if full else _stored_dates(store)
    factors = digest_factors(names)
    mode, first_new, build_start = "full", None, start
    notes: list[str] = []
    problems: list[str] = []
    digests = None
    if dates is not None:
        end = max(end, dates[-1])
        stored_meta = store.load_metadata().get("meta", {})
        with step(f"looking for corrections in {database.name}"):
            changed, digests, problems = _corrections(client, store, stored_meta, dates, end, factors)
        rebuild_from = changed[0] if changed else None
        if since is not None and since <= dates[-1]:
            asked = max(since, dates[0])
            rebuild_from = min(rebuild_from or asked, asked)
        if changed:
            notes.append(f"{len(changed)} past dates changed since the last build: rebuilt from {_dashed(rebuild_from)}")
        elif rebuild_from is not None:
            notes.append(f"rebuilt from {_dashed(rebuild_from)} as asked")
        # Rows are rewritten from the rebuilt date (or the first new one) back by the
        # rows whose forward-return ranks depend on it, read from one row before them.
        at = len(dates) if rebuild_from is None else int(np.searchsorted(np.asarray(dates), rebuild_from))
        if at == len(dates) and end <= dates[-1]:
            mode = "up to date"
        else:
            mode = "incremental"
            first_new = dates[max(at - TAIL_RELOAD_ROWS, 0)]
            build_start = dates[max(at - TAIL_RELOAD_ROWS - 1, 0)]
    else:
        with step(f"digesting the rows of {database.name}"):
            digests = _source_digests(client, factors, start, end)

    summary: dict[str, Any] = {
        "store": str(store_dir), "mode": mode, "first_written": first_new, "notes": notes, "problems": problems,
    }
    if mode != "up to date":
        summary["problems"] = _check_sources(client, database, build_start, end) + problems
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
            if digests is not None:
                payload["meta"][DIGEST_KEY] = digests
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
