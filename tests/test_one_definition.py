"""The names every door shares: the engine's market frames as the bindings take them,
and one way to open a store."""

import inspect

import pytest

from tessary.backtest import _pnl_engine as pe
from tessary.backtest import _records
from tessary.backtest._market_frames import ENGINE_DATASETS, INPUT_FRAMES, MARKET_FRAMES
from tessary.backtest._prepare import BinaryPreparedDataStore
from tessary.backtest.records import compute_records
from tessary.store import open_store
from tessary.store.dates import date_argument


def _binder_parameters(module, function):
    (params,) = [p for name, _, p in module._binder_signatures() if name == function]
    return tuple(p[0] for p in params)


@pytest.mark.parametrize(
    "module, function, first",
    [
        (pe, "calc_strategy_vwap_daily_return", "signal_matrix"),
        (pe, "run_strategy_backtest_core", "strategy_matrix"),
        (_records, "calc_strategy_vwap_records", "signal_matrix"),
    ],
)
def test_the_bindings_take_the_market_frames_in_the_order_of_the_one_list(module, function, first):
    assert _binder_parameters(module, function)[: len(INPUT_FRAMES)] == (first, *MARKET_FRAMES)


def test_the_python_doors_follow_the_same_list():
    assert INPUT_FRAMES == ("signal_matrix", *MARKET_FRAMES) and len(INPUT_FRAMES) == 9
    assert tuple(ENGINE_DATASETS) == MARKET_FRAMES
    assert tuple(inspect.signature(compute_records).parameters)[1:9] == MARKET_FRAMES


class TestOpenStore:
    def test_a_store_object_is_passed_on_and_a_directory_opened(self, tmp_path):
        store = BinaryPreparedDataStore(tmp_path)
        assert open_store(store) is store
        opened = open_store(str(tmp_path))
        assert isinstance(opened, BinaryPreparedDataStore) and opened.store_dir == tmp_path

    def test_a_missing_directory_is_refused_unless_a_build_creates_it(self, tmp_path):
        with pytest.raises(FileNotFoundError, match="store not found"):
            open_store(tmp_path / "none")
        assert open_store(tmp_path / "none", ["my_factor"], must_exist=False).store_dir == tmp_path / "none"
        assert not (tmp_path / "none").exists()  # opening writes nothing

    def test_anything_else_is_a_type_error(self):
        with pytest.raises(TypeError, match="not int"):
            open_store(3)


@pytest.mark.parametrize(
    "value, expected",
    [(None, None), ("2024-01-31", "20240131"), (20240131, "20240131"), (" 2024/1/5 ", "20240105")],
)
def test_a_date_argument_is_one_form(value, expected):
    assert date_argument(value, "start_date") == expected


@pytest.mark.parametrize("value", ["yesterday", "20240230", True, 2024.0])
def test_a_date_argument_that_is_no_date_names_the_argument(value):
    with pytest.raises(ValueError, match=r"^end_date must be a date such as 20240131 or 2024-01-31, not "):
        date_argument(value, "end_date")
