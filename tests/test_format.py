"""Display formatters: Python's format rounding, missing values, the per-year line."""

import numpy as np
import pandas as pd
import pytest

from tessary.backtest import _pnl_engine as eng


@pytest.mark.parametrize(
    "func, value, digits, expected",
    [
        (eng._format_num, 1.234, 2, "1.23"),
        (eng._format_num, 3, 0, "3"),
        (eng._format_num, -3, 2, "-3.00"),
        (eng._format_num, 1.5, 0, "2"),  # exact ties go to the even digit
        (eng._format_num, 2.5, 0, "2"),
        (eng._format_num, 0.125, 2, "0.12"),
        (eng._format_num, 0.375, 2, "0.38"),
        (eng._format_num, np.float32(0.1), 3, "0.100"),
        (eng._format_num, "1.5", 1, "1.5"),  # numeric text goes through float()
        (eng._format_num, float("-inf"), 2, "-inf"),
        (eng._format_pct, 0.05, 2, "5.00%"),
        (eng._format_pct, 0.00125, 2, "0.12%"),
        (eng._format_pct, -0.0123, 1, "-1.2%"),
        (eng._format_pct, float("inf"), 2, "inf%"),
        (eng._format_pct_points, 5.0, 2, "5.00%"),
        (eng._format_pct_points, 0.125, 2, "0.12%"),
        (eng._format_pct_points, -12.345, 1, "-12.3%"),
    ],
)
def test_formats_like_python_format(func, value, digits, expected):
    assert func(value, digits) == expected
    assert func(value, digits=digits) == expected


def test_formats_agree_with_python_on_random_values():
    rng = np.random.default_rng(5)
    values = np.concatenate([rng.normal(0, 3, 300), np.round(rng.normal(0, 3, 100), 3) + 0.0005])
    for v in values:
        for digits in (0, 2, 3):
            assert eng._format_num(v, digits) == format(float(v), f".{digits}f")
            assert eng._format_pct(v, digits) == format(float(v), f".{digits}%")
            assert eng._format_pct_points(v, digits) == format(float(v), f".{digits}f") + "%"


@pytest.mark.parametrize("missing", [None, np.nan, float("nan"), pd.NaT, pd.NA, np.float64("nan")])
def test_missing_values_show_dashes(missing):
    assert eng._format_num(missing) == "--"
    assert eng._format_pct(missing) == "--"
    assert eng._format_pct_points(missing) == "--"


def test_default_digits_and_int_coercion():
    assert eng._format_pct(0.123456) == "12.35%"
    assert eng._format_num(1.23456, 3.9) == "1.235"  # truncated like int()
    assert eng._format_num(1.23456, True) == "1.2"


def test_bad_arguments():
    with pytest.raises(TypeError, match=r"^Argument 'digits' has incorrect type \(expected int, got str\)$"):
        eng._format_pct(0.1, "2")
    with pytest.raises(TypeError, match=r"^_format_num\(\) takes at least 1 positional argument \(0 given\)$"):
        eng._format_num()
    with pytest.raises(TypeError, match=r"^_format_pct_points\(\) takes at most 2 positional arguments \(3 given\)$"):
        eng._format_pct_points(1, 2, 3)
    with pytest.raises(TypeError, match=r"^_format_num\(\) got an unexpected keyword argument 'decimals'$"):
        eng._format_num(1.0, decimals=2)
    with pytest.raises(TypeError, match=r"_format_annual_excess\(\) takes exactly 1 positional argument \(2 given\)"):
        eng._format_annual_excess(None, None)
    with pytest.raises(ValueError, match="precision"):
        eng._format_num(1.0, -1)
    with pytest.raises(ValueError, match="ambiguous"):
        eng._format_num(np.array([1.0, 2.0]))
    with pytest.raises(ValueError):
        eng._format_pct("abc")


def test_annual_excess_line():
    s = pd.Series([0.0512, np.nan, -0.031], index=[2022, 2023, 2024])
    before = s.copy()
    assert eng._format_annual_excess(s) == "2022: 5.12% | 2024: -3.10%"
    pd.testing.assert_series_equal(s, before)
    assert eng._format_annual_excess(pd.Series([0.01], index=[2022.0])) == "2022.0: 1.00%"
    for empty in (None, pd.Series(dtype=float), pd.Series([np.nan, None], index=[2020, 2021])):
        assert eng._format_annual_excess(empty) == "--"


def test_annual_excess_uses_current_pct_formatter(monkeypatch):
    monkeypatch.setattr(eng, "_format_pct", lambda v: f"<{v}>")
    assert eng._format_annual_excess(pd.Series([0.5], index=[2020])) == "2020: <0.5>"
