"""
Incremental builder of backtest base data: pulls market, industry, constituent and benchmark-index factors through the initialised SDK client, pivots them into date x stock wide tables, derives the matrices the backtest needs and assembles a payload that can be written into the binary store.
"""

from collections.abc import Iterable
import pathlib
from typing import Any, TypeAlias, Union

import pandas

from tessary.exceptions import NetworkError as NetworkError
from tessary.singleton import get_instance as get_instance
import tessary.store.base
from tessary.store.base import (
    BinaryPreparedDataStoreBase as BinaryPreparedDataStoreBase
)
from tessary.store.dates import (
    normalize_yyyymmdd as normalize_yyyymmdd
)
from tessary.store.layout import (
    component_dataset_key as component_dataset_key
)
from tessary.store.plan import clean_matrix as clean_matrix


PathLike: TypeAlias = Union[str, pathlib.Path]

def _binder_signatures() -> list:
    """The argument binder's parameter tables (for the tests)."""

FLOAT_STORAGE_DTYPE: str = ...

BOOL_STORAGE_DTYPE: str = ...

TAIL_RELOAD_ROWS: int = ...

PREPARED_DATA_VERSION: int = ...

COMPONENT_FACTOR_NAMES: list = ...

BENCHMARK_INDEX_CODES: dict = ...

REQUIRED_FACTOR_NAMES: list = ...

OPTIONAL_FACTOR_NAMES: list = ...

BUILD_INPUT_NAMES: list = ...

BASE_MATRIX_DTYPE: dict = ...

def parse_name_list(raw_values: str | Iterable[Any] | None) -> list[str]:
    """
    Names from None, a separated string (commas, semicolons, line feeds, ASCII or full-width) or any iterable: each converted with str() and stripped, empty names dropped, order and duplicates kept. Always a new list.
    """

def get_component_factor_names() -> list[str]:
    """A new list of the built-in constituent factor names."""

def build_matrix_dtype(component_names: list[str] | None = None) -> dict[str, str]:
    """
    Dataset key -> storage dtype: the base matrices, then one float mask per component name (the built-in names when component_names is None).
    """

def series_to_yyyymmdd(values: Any) -> pandas.Series:
    """
    Dates as 'YYYYMMDD' strings; unparseable values become missing. A Series keeps its index, anything else gets a new default index.
    """

class BinaryPreparedDataStore(tessary.store.base.BinaryPreparedDataStoreBase):
    """
    Binary prepared-data store with constituent masks: one float dataset per constituent factor beside the base matrices; load() without keys reads only the datasets the store holds; missing masks can be supplemented into an existing store with add_component_matrices().
    """

    def __init__(self, store_dir: PathLike, component_names: list[str] | None = None) -> None:
        """
        Opens the store in store_dir ('~' expanded) with the base datasets and one mask per component name (the built-in names when None).
        """

    def load(self, start_date: str | None = None, end_date: str | None = None, keys: list[str] | None = None, mmap: bool = True, check: bool = True) -> dict[str, Any] | None:
        """
        Datasets for the inclusive date range as {'version', 'meta', 'data'}, or None for an empty store. Without keys, every dataset of the dtype map that the store holds; with mmap true the values are read-only memory maps; with check true (the default) the checksums of the data are verified once per file version and process.
        """

    def add_component_matrices(self, component_matrices: dict[str, pandas.DataFrame], component_names: list[str]) -> list[str]:
        """
        Writes the masks of the named components that the store does not hold yet and records them in the metadata; returns the names written. Existing masks are never overwritten.
        """

class GroupPreparedDataBuilder:
    """
    Incremental builder of backtest prepared data for one date range: reads factor, constituent and benchmark data through the data-service client, pivots them into date x stock matrices, derives the backtest matrices and assembles a versioned payload for the binary store.
    """

    def __init__(self, start_date: str, end_date: str) -> None:
        """
        Normalises both dates to 'YYYYMMDD' and keeps them with their payload-meta forms.
        """

    @staticmethod
    def _normalize_ddb_backtest_date(date_value: Any) -> str | None:
        """
        The date's string form; a seven-digit text gains a trailing '0'. None gives None.
        """

    @staticmethod
    def _tsy_factor_date(date_value: str | None) -> str | None:
        """The date as 'YYYY-MM-DD' for factor queries; None gives None."""

    @staticmethod
    def _empty_like(reference: pandas.DataFrame, fill_value: Any = nan) -> pandas.DataFrame:
        """A new frame of fill_value with the reference's index and columns."""

    def _tsy_factors_to_matrices(self, df: pandas.DataFrame | None, names: list) -> dict[str, pandas.DataFrame]:
        """
        Pivots a factor answer (narrow: one row per stock, date and factor; wide: one column per factor) into one date x stock matrix per requested name; names without data map to an empty DataFrame.
        """

    def _read_normal_factor_matrix(self, name: str) -> pandas.DataFrame:
        """
        One factor query for `name` over the builder's range, as a matrix (empty when no data).
        """

    def _read_normal_factor_batch(self, names: list) -> dict[str, pandas.DataFrame]:
        """
        One factor query for all names; names that come back empty (or all of them after a NetworkError) are queried one by one.
        """

    def _read_or_empty(self, name: str, reference: pandas.DataFrame, batch: dict | None = None) -> pandas.DataFrame:
        """
        The factor's matrix from the batch (or a query without one); an all-NaN frame shaped like reference when there is no data.
        """

    def _batch_or_read(self, batch: dict, name: str) -> pandas.DataFrame:
        """
        The factor's matrix from the batch, sorted by date, or a new query when the batch has none.
        """

    def _read_benchmark_dict(self) -> dict[str, pandas.Series]:
        """
        One index query for all benchmarks: short name -> daily return series ('YYYYMMDD' index).
        """

    def _format_benchmark_daily_return(self, df: pandas.DataFrame, benchmark_name: str, index_code: str) -> pandas.Series:
        """
        The daily returns of one index from an index answer: its return column, or the change of its close; sorted by date, one value per date, missing values dropped.
        """

    def _component_matrices(self, component_names: list, batch: dict | None = None) -> dict[str, pandas.DataFrame]:
        """
        Constituent masks (1.0 member, NaN otherwise) per component name; components without data or whose query raised NetworkError are left out.
        """

    def _build_from_matrices(self, source: dict) -> dict[str, pandas.DataFrame]:
        """
        The twelve backtest matrices derived from the ten source factor matrices.
        """

    def build(self) -> dict[str, Any]:
        """
        The full payload, every factor read with its own query (meta key 'created_at').
        """

    def build_incremental(self) -> dict[str, Any]:
        """
        The same payload through one batched factor query with per-name fallback (meta key 'updated_at').
        """

    def _build_payload(self, incremental: bool, meta_time_key: str) -> dict[str, Any]:
        """
        Reads the sources, requires every constituent mask, derives the matrices, assembles the payload.
        """

    def _read_source_data(self, incremental: bool) -> tuple:
        """(source matrices, component masks, benchmark dict, component names)."""

    def _assemble_payload(self, data: dict, component_matrices: dict, benchmark_dict: dict, component_names: list, meta_time_key: str) -> dict[str, Any]:
        """
        The versioned payload: 'version', 'meta' (dates, components, timestamp) and 'data' (base matrices, masks under their dataset keys, 'benchmark_dict').
        """
