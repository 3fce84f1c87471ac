"""Incremental builder of backtest base data and the component-extended binary store."""

import pickle as pickle
from pathlib import Path
from typing import Any, Dict, Iterable, List, Union

import numpy as np
import pandas as pd

from tessary.exceptions import NetworkError as NetworkError
from tessary.singleton import get_instance as get_instance

from ._store import BinaryPreparedDataStoreBase, clean_matrix as clean_matrix
from ._store import component_dataset_key as component_dataset_key
from ._store import normalize_yyyymmdd as normalize_yyyymmdd

PathLike = Union[str, Path]

FLOAT_STORAGE_DTYPE: str
BOOL_STORAGE_DTYPE: str
TAIL_RELOAD_ROWS: int
PREPARED_DATA_VERSION: int
COMPONENT_FACTOR_NAMES: List[str]
BENCHMARK_INDEX_CODES: Dict[str, str]
REQUIRED_FACTOR_NAMES: List[str]
OPTIONAL_FACTOR_NAMES: List[str]
BUILD_INPUT_NAMES: List[str]
BASE_MATRIX_DTYPE: Dict[str, str]

def parse_name_list(raw_values: str | Iterable[Any] | None) -> List[str]: ...
def get_component_factor_names() -> List[str]: ...
def build_matrix_dtype(component_names: List[str] | None = None) -> Dict[str, str]: ...
def series_to_yyyymmdd(values: Any) -> pd.Series: ...

class BinaryPreparedDataStore(BinaryPreparedDataStoreBase):
    def __init__(self, store_dir: PathLike, component_names: List[str] | None = None) -> None: ...
    def load(
        self,
        start_date: str | None = None,
        end_date: str | None = None,
        keys: List[str] | None = None,
        mmap: bool = True,
    ) -> Dict[str, Any] | None: ...
    def add_component_matrices(
        self, component_matrices: Dict[str, pd.DataFrame], component_names: List[str]
    ) -> List[str]: ...

class GroupPreparedDataBuilder:
    default_start: str | None
    end_date: str | None
    _ddb_start: str | None
    _ddb_end: str | None
    def __init__(self, start_date: str, end_date: str) -> None: ...
    @staticmethod
    def _normalize_ddb_backtest_date(date_value: Any) -> str | None: ...
    @staticmethod
    def _tsy_factor_date(date_value: str | None) -> str | None: ...
    @staticmethod
    def _empty_like(reference: pd.DataFrame, fill_value: Any = ...) -> pd.DataFrame: ...
    def _read_normal_factor_matrix(self, name: str) -> pd.DataFrame: ...
    def _tsy_factors_to_matrices(self, df: pd.DataFrame | None, names: List[str]) -> Dict[str, pd.DataFrame]: ...
    def _read_normal_factor_batch(self, names: List[str]) -> Dict[str, pd.DataFrame]: ...
    def _read_or_empty(
        self, name: str, reference: pd.DataFrame, batch: Dict[str, pd.DataFrame] | None = None
    ) -> pd.DataFrame: ...
    def _batch_or_read(self, batch: Dict[str, pd.DataFrame], name: str) -> pd.DataFrame: ...
    def _read_benchmark_dict(self) -> Dict[str, pd.Series]: ...
    def _format_benchmark_daily_return(self, df: pd.DataFrame, benchmark_name: str, index_code: str) -> pd.Series: ...
    def _component_matrices(
        self, component_names: List[str], batch: Dict[str, pd.DataFrame] | None = None
    ) -> Dict[str, pd.DataFrame]: ...
    def _build_from_matrices(self, source: Dict[str, pd.DataFrame]) -> Dict[str, pd.DataFrame]: ...
    def _read_source_data(self, incremental: bool) -> tuple: ...
    def _assemble_payload(
        self,
        data: Dict[str, pd.DataFrame],
        component_matrices: Dict[str, pd.DataFrame],
        benchmark_dict: Dict[str, pd.Series],
        component_names: List[str],
        meta_time_key: str,
    ) -> Dict[str, Any]: ...
    def _build_payload(self, incremental: bool, meta_time_key: str) -> Dict[str, Any]: ...
    def build(self) -> Dict[str, Any]: ...
    def build_incremental(self) -> Dict[str, Any]: ...
