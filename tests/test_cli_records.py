"""``tessary-backtest run``: the traded turnover and blocked count beside the
statistics, and ``--records DIR``."""

import json

import pandas as pd

from test_cli import demo_dir, demo_run, one_line_error, run_cli, weights_for  # noqa: F401 - fixtures


def test_run_reports_trading_and_writes_the_records(demo_dir, tmp_path, capsys):  # noqa: F811
    weights = weights_for(demo_dir / "store", tmp_path / "w.csv")
    out_dir = tmp_path / "records"
    code, out, err = run_cli(capsys, "run", str(weights), str(demo_dir / "store"), "--out", str(tmp_path / "charts"),
                             "--records", str(out_dir))
    assert code == 0, err
    report = json.loads(out)
    assert set(report["trading"]) == {"traded_turnover", "blocked_trades"}
    assert report["trading"]["traded_turnover"] > 0
    assert "traded turnover (one-sided, daily mean):" in err
    frames = {name: pd.read_parquet(out_dir / f"{name}.parquet")
              for name in ("trades", "blocked", "positions", "pnl", "daily")}
    assert len(frames["blocked"]) == report["trading"]["blocked_trades"]
    assert set(frames["trades"]["code"]) <= set(pd.read_csv(weights, dtype=str).columns[1:])
    # The records add up to the returns the statistics are made of.
    daily = frames["daily"].set_index("date")["daily_return"]
    total = frames["pnl"].groupby("date")["total"].sum().reindex(daily.index, fill_value=0.0)
    assert ((total / 1e8 - daily).abs() < 1e-12).all()


def test_records_into_a_file_is_a_one_line_error(demo_dir, tmp_path, capsys):  # noqa: F811
    weights = weights_for(demo_dir / "store", tmp_path / "w.csv")
    blocker = tmp_path / "taken"
    blocker.write_text("x")
    one_line_error(capsys, "run", str(weights), str(demo_dir / "store"), "--out", str(tmp_path / "charts"),
                   "--records", str(blocker), match="--records must be a directory")
