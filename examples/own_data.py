"""From one's own long-form files to a backtest, step by step.

    python examples/own_data.py [--out DIR]

Stands in for a user's own exports by writing a small synthetic market as parquet
(factors) and CSV (index bars) files in long form, then: loads them into a DuckDB
file with one call, builds a store from it, writes an equal-weight weight matrix
over the CSI 300 members as CSV and backtests it with ``tessary-backtest run``.
"""

from __future__ import annotations

import argparse
from pathlib import Path

import pandas as pd

from tessary.cli import main as tessary_backtest
from tessary.local import load_files
from tessary.synthetic import generate_market


def export_long_files(out: Path) -> tuple[list[Path], Path]:
    market = generate_market(n_stocks=120, years=1, seed=11)
    factor_files = []
    for name in market.factors:
        path = out / "exports" / f"{name}.parquet"
        path.parent.mkdir(parents=True, exist_ok=True)
        market.factor_frame(name).to_parquet(path)  # columns ukey, date, factor, value
        factor_files.append(path)
    index_file = out / "exports" / "index_daily.csv"
    market.index_daily.assign(date=market.index_daily["date"].dt.strftime("%Y%m%d")).to_csv(index_file, index=False)
    return factor_files, index_file


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--out", default="own-data-example")
    out = Path(ap.parse_args().out)

    factor_files, index_file = export_long_files(out)
    counts = load_files(out / "own.duckdb", factors=factor_files, index_daily=index_file)
    print(f"loaded {counts['factor_values']:,} factor values and {counts['index_daily']:,} index bars")

    tessary_backtest(["build", str(out / "own.duckdb"), str(out / "store")])

    from tessary.backtest._prepare import BinaryPreparedDataStore

    data = BinaryPreparedDataStore(out / "store").load()["data"]
    members = data["component__rq_index_components_new_000300.XSHG"].reindex_like(data["close_price"]).notna()
    weights = members.div(members.sum(axis=1).where(lambda n: n > 0), axis=0).fillna(0.0)
    weights.index = pd.Index(weights.index, name="date")
    weights.to_csv(out / "csi300_equal_weight.csv")

    tessary_backtest(["run", str(out / "csi300_equal_weight.csv"), str(out / "store"), "--benchmark", "000300",
                      "--json", str(out / "csi300_equal_weight.json")])


if __name__ == "__main__":
    main()
