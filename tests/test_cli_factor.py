"""tessary-backtest factor: end to end on a small store, and one bad input per kind."""

import json

import pandas as pd
import pytest

from factor_market import factor_market, spoiled, write_factor_store
from tessary.backtest._prepare import PREPARED_DATA_VERSION, BinaryPreparedDataStore
from tessary.cli import main


@pytest.fixture(scope="module")
def setup(tmp_path_factory):
    root = tmp_path_factory.mktemp("cli_factor")
    _, data = write_factor_store(root / "store", n_dates=50, n_stocks=25, seed=5)
    close = data["close_price"]
    factor = -(close / close.shift(5) - 1)
    wide = root / "rev5.parquet"
    factor.rename_axis("date").to_parquet(wide)
    long = factor.stack().rename("value").rename_axis(["date", "code"]).reset_index()
    long.to_csv(root / "rev5_long.csv", index=False)
    (-factor).rename_axis("date").to_parquet(root / "mom5.parquet")
    bare = factor_market(n_dates=50, n_stocks=25, seed=5)
    del bare["industry_matrix"]
    BinaryPreparedDataStore(root / "bare").write_payload({"version": PREPARED_DATA_VERSION, "meta": {}, "data": bare})
    return root, factor


def test_factor_end_to_end(setup, capsys):
    root, _ = setup
    out = root / "out"
    code = main(["factor", str(root / "rev5.parquet"), str(root / "store"), "--groups", "3", "--periods", "1,5",
                 "--rebalance", "2", "--universe", "000300", "--out", str(out)])
    captured = capsys.readouterr()
    assert code == 0, captured.err
    summary = json.loads(captured.out)
    assert set(summary["ic_summary"]) == {"1", "5"} and summary["settings"]["universe"] == "000300"
    assert set(summary["group_stats"]) == {"1", "2", "3"}
    assert "ranks, ICs and groups" in captured.err  # progress
    for name in ("factor_report.png", "ic.parquet", "group_returns.parquet"):
        assert (out / name).stat().st_size > 0
    returns = pd.read_parquet(out / "group_returns.parquet")
    assert list(returns.columns) == ["1", "2", "3", "long_short"]
    # the long CSV form gives the same figures
    code = main(["factor", str(root / "rev5_long.csv"), str(root / "store"), "--groups", "3", "--periods", "1,5",
                 "--rebalance", "2", "--universe", "000300", "--out", str(root / "out_long")])
    again = json.loads(capsys.readouterr().out)
    assert code == 0 and again["ic_summary"] == summary["ic_summary"]


def test_factor_compare(setup, capsys):
    root, _ = setup
    code = main(["factor", str(root / "rev5.parquet"), str(root / "store"), "--groups", "3", "--periods", "1",
                 "--compare", str(root / "mom5.parquet"), "--out", str(root / "screen")])
    captured = capsys.readouterr()
    assert code == 0, captured.err
    rows = json.loads(captured.out)
    assert [r["factor"] for r in rows] and {r["factor"] for r in rows} == {"rev5", "mom5"}
    assert (root / "screen" / "compare.csv").is_file()


@pytest.mark.parametrize("kind,extra,message", [
    ("nan", [], "all NaN"),
    ("constant", [], "constant on every date"),
    ("ok", ["--groups", "1"], "groups must be at least 2"),
    ("ok", ["--groups", "40"], "larger than the largest cross-section"),
    ("ok", ["--periods", "1,0"], "periods are positive integers"),
    ("ok", ["--universe", "000999"], "unknown universe"),
    ("bare", ["--neutralize", "industry"], "holds no industry matrix"),
    ("missing", [], "factor file not found"),
    ("foreign", [], "not in the store"),
])
def test_factor_bad_input_exits_2_and_writes_nothing(setup, tmp_path, capsys, kind, extra, message):
    root, factor = setup
    store = root / ("bare" if kind == "bare" else "store")
    path = tmp_path / "f.parquet"
    if kind != "missing":
        spoiled(factor, kind).rename_axis("date").to_parquet(path)
    out = tmp_path / "out"
    with pytest.raises(SystemExit) if "--periods" in extra else _no_raise():
        code = main(["factor", str(path), str(store), "--out", str(out)] + extra)
        assert code == 2
    err = capsys.readouterr().err
    assert message in err
    assert not out.exists()


class _no_raise:
    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False
