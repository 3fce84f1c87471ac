"""The command-line program: the demo end to end, build and run, and one-line errors."""

import contextlib
import io
import json
import math
import re

import numpy as np
import pandas as pd
import pytest

from tessary.cli import main
from tessary.synthetic import generate_market

SMALL = ["--stocks", "40", "--years", "0.6", "--seed", "3"]


def run_cli(capsys, *argv):
    code = main(list(argv))
    out, err = capsys.readouterr()
    return code, out, err


def one_line_error(capsys, *argv, match):
    code, out, err = run_cli(capsys, *argv)
    lines = [line for line in err.splitlines() if line.strip()]
    assert code == 2, err
    assert lines and lines[-1].startswith("tessary-backtest: error: ") and match in lines[-1], err
    assert "Traceback" not in err
    return lines[-1]


@pytest.fixture(scope="module")
def demo_run(tmp_path_factory):
    out = tmp_path_factory.mktemp("demo")
    printed = io.StringIO()
    with contextlib.redirect_stdout(printed), contextlib.redirect_stderr(io.StringIO()):
        assert main(["demo", "--out", str(out), *SMALL]) == 0
    return out, printed.getvalue()


@pytest.fixture(scope="module")
def demo_dir(demo_run):
    return demo_run[0]


class TestDemo:
    def test_demo_writes_both_charts_and_finite_statistics(self, demo_dir, capsys):
        report = json.loads((demo_dir / "stats.json").read_text())
        paths = report["plot_paths"]
        assert set(paths) == {"main", "weekly_net_value"}
        for path in paths.values():
            with open(path, "rb") as fh:
                assert fh.read(8) == b"\x89PNG\r\n\x1a\n"
        assert len(report["stats"]) == 13
        assert all(isinstance(v, (int, float)) and math.isfinite(v) for v in report["stats"].values()), report["stats"]
        assert [row["benchmark_name"] for row in report["benchmark_summary"]] == ["000852", "000300", "000905"]
        assert (demo_dir / "market.duckdb").is_file() and (demo_dir / "store" / "metadata.pkl").is_file()

    def test_demo_prints_table_and_ends_with_the_chart_paths(self, demo_run):
        lines = demo_run[1].strip().splitlines()
        assert lines[-2].endswith("strategy_backtest.png") and lines[-1].endswith("strategy_backtest_weekly_net_value.png")
        assert any(line.startswith("annual return") and " annual_return " in line for line in lines)


def weights_for(store_dir, path, codes=None, dates=None):
    """An equal-weight matrix over a few stocks of the store, written to ``path``."""
    from tessary.backtest._prepare import BinaryPreparedDataStore

    close = BinaryPreparedDataStore(store_dir).load(keys=["close_price"])["data"]["close_price"]
    dates = list(close.index[10:60]) if dates is None else dates
    codes = list(close.columns[:8]) if codes is None else codes
    frame = pd.DataFrame(1.0 / len(codes), index=pd.Index(dates, name="date"), columns=codes)
    if str(path).endswith(".csv"):
        frame.to_csv(path)
    else:
        frame.to_parquet(path)
    return path


class TestRun:
    def test_run_gives_json_and_both_charts(self, demo_dir, tmp_path, capsys):
        weights = weights_for(demo_dir / "store", tmp_path / "w.csv")
        code, out, err = run_cli(capsys, "run", str(weights), str(demo_dir / "store"), "--out", str(tmp_path / "charts"),
                                 "--benchmark", "000300", "--json", str(tmp_path / "r.json"))
        assert code == 0, err
        report = json.loads(out)
        assert report == json.loads((tmp_path / "r.json").read_text())
        assert report["strategy_name"] == "w" and len(report["stats"]) == 13
        assert all((tmp_path / "charts" / name).is_file() for name in ("strategy_backtest.png", "strategy_backtest_weekly_net_value.png"))

    def test_weights_that_do_not_meet_the_store(self, demo_dir, tmp_path, capsys):
        store = str(demo_dir / "store")
        foreign = weights_for(demo_dir / "store", tmp_path / "codes.parquet", codes=["999999"])
        one_line_error(capsys, "run", str(foreign), store, match="not in the store")
        weekend = weights_for(demo_dir / "store", tmp_path / "dates.csv", dates=["20210102", "20210103"])
        one_line_error(capsys, "run", str(weekend), store, match="not trading days of the store")
        good = weights_for(demo_dir / "store", tmp_path / "good.csv")
        one_line_error(capsys, "run", str(good), store, "--benchmark", "000001", match="unknown benchmark '000001'")


class TestBuild:
    def test_incremental_build_matches_a_full_build(self, tmp_path, capsys):
        market = generate_market(n_stocks=30, years=0.5, seed=5)
        db = market.to_duckdb(tmp_path / "m.duckdb")
        split = market.dates[70].strftime("%Y%m%d")
        assert run_cli(capsys, "build", str(db), str(tmp_path / "inc"), "--end", split)[0] == 0
        code, out, err = run_cli(capsys, "build", str(db), str(tmp_path / "inc"))
        assert code == 0 and "incremental" in out, err
        # The data report of an update covers the days it wrote (the rebuilt tail and
        # the new days), not the whole store.
        written = len(market.dates) - 69  # from the second-to-last stored day on
        assert re.search(r"data report of the days from \d{8} on", out), out
        assert "  close_price" in out and f"({written} dates x" in out, out
        assert run_cli(capsys, "build", str(db), str(tmp_path / "full"), "--full")[0] == 0

        from tessary.backtest._prepare import BinaryPreparedDataStore

        inc = BinaryPreparedDataStore(tmp_path / "inc").load(mmap=False)["data"]
        full = BinaryPreparedDataStore(tmp_path / "full").load(mmap=False)["data"]
        assert list(inc) == list(full) and len(full) == 17
        for key, frame in full.items():
            # Codes listed after the first build join the end of the stock axis.
            pd.testing.assert_frame_equal(inc[key], frame, check_like=True, obj=key)
        again = run_cli(capsys, "build", str(db), str(tmp_path / "inc"))
        assert again[0] == 0 and "up to date" in again[1]

    def test_missing_constituent_masks_are_supplemented(self, tmp_path, capsys):
        market = generate_market(n_stocks=30, years=0.3, seed=6)
        extra = "rq_index_components_new_000016.XSHG"
        market.factors[extra] = market.factors["rq_index_components_new_000300.XSHG"]
        db = market.to_duckdb(tmp_path / "m.duckdb")
        assert run_cli(capsys, "build", str(db), str(tmp_path / "s"))[0] == 0
        code, out, err = run_cli(capsys, "build", str(db), str(tmp_path / "s"), "--component", extra)
        assert code == 0 and f"supplemented {extra}" in out, err
        one_line_error(capsys, "build", str(db), str(tmp_path / "s"), "--component", "no_such_index", match="no_such_index")


class TestErrors:
    def test_missing_and_malformed_inputs(self, tmp_path, capsys):
        one_line_error(capsys, "run", str(tmp_path / "absent.csv"), str(tmp_path), match="weight file not found")
        bad_date = tmp_path / "bad_date.csv"
        bad_date.write_text("date,600000\nyesterday,1.0\n20240103,1.0\n")
        one_line_error(capsys, "run", str(bad_date), str(tmp_path), match="not a date: 'yesterday'")
        bad_code = tmp_path / "bad_code.csv"
        bad_code.write_text("date,apple\n20240102,1.0\n20240103,1.0\n")
        one_line_error(capsys, "run", str(bad_code), str(tmp_path), match="not stock codes")
        bad_value = tmp_path / "bad_value.csv"
        bad_value.write_text("date,600000\n20240102,lots\n20240103,1.0\n")
        one_line_error(capsys, "run", str(bad_value), str(tmp_path), match="not a number")
        broken = tmp_path / "broken.parquet"
        broken.write_bytes(b"PAR1 garbage")
        one_line_error(capsys, "run", str(broken), str(tmp_path), match="cannot read the weight file")
        good = tmp_path / "good.csv"
        good.write_text("date,600000\n20240102,1.0\n20240103,1.0\n")
        one_line_error(capsys, "run", str(good), str(tmp_path / "no_store"), match="store not found")
        one_line_error(capsys, "build", str(tmp_path / "absent.duckdb"), str(tmp_path / "s"), match="database not found")
        garbage = tmp_path / "garbage.duckdb"
        garbage.write_bytes(b"not a database at all")
        one_line_error(capsys, "build", str(garbage), str(tmp_path / "s"), match="garbage.duckdb")
        one_line_error(capsys, "build", str(garbage), str(tmp_path / "s"), "--start", "2024-02-30", match="--start")

    @pytest.mark.parametrize("command,what", [("run", "weight"), ("factor", "factor")])
    @pytest.mark.parametrize("name,content,message", [
        ("absent.csv", None, "{what} file not found"),
        ("table.xlsx", b"PK not a table", "the {what} file must be .parquet or .csv"),
        ("broken.parquet", b"PAR1 garbage", "cannot read the {what} file"),
        ("one_column.csv", b"x\n1\n2\n", "the {what} file {path} needs a date column and at least one stock column"),
    ])
    def test_weight_and_factor_files_are_refused_alike(self, tmp_path, capsys, command, what, name, content, message):
        path = tmp_path / name
        if content is not None:
            path.write_bytes(content)
        out = tmp_path / "out"
        last = one_line_error(capsys, command, str(path), str(tmp_path), "--out", str(out),
                              match=message.format(what=what, path=path))
        assert str(path) in last
        assert not out.exists()

    def test_demo_refuses_an_unknown_benchmark_before_any_work(self, tmp_path, capsys):
        one_line_error(capsys, "demo", "--out", str(tmp_path / "d"), "--benchmark", "399001", match="unknown benchmark")
        assert not (tmp_path / "d").exists()

    def test_usage_errors_exit_with_status_2(self, capsys):
        for argv in (["nonsense"], ["demo", "--stocks", "0"], ["demo", "--years", "abc"], ["run", "only-one-arg"]):
            with pytest.raises(SystemExit) as exc:
                main(argv)
            assert exc.value.code == 2
        capsys.readouterr()


class TestRunEdges:
    def test_name_names_the_charts_and_json_directory_is_made_first(self, demo_dir, tmp_path, capsys):
        weights = weights_for(demo_dir / "store", tmp_path / "w.csv")
        target = tmp_path / "made" / "here" / "r.json"
        code, out, err = run_cli(capsys, "run", str(weights), str(demo_dir / "store"), "--name", "momentum",
                                 "--out", str(tmp_path / "charts"), "--json", str(target))
        assert code == 0, err
        assert sorted(p.name for p in (tmp_path / "charts").iterdir()) == ["momentum.png", "momentum_weekly_net_value.png"]
        assert json.loads(target.read_text())["strategy_name"] == "momentum"
        blocker = tmp_path / "file"
        blocker.write_text("")
        one_line_error(capsys, "run", str(weights), str(demo_dir / "store"), "--out", str(tmp_path / "none"),
                       "--json", str(blocker / "r.json"), match="--json")
        assert not (tmp_path / "none").exists()  # refused before any work

    def test_researchers_forms_warnings_and_formerly_silent_files(self, demo_dir, tmp_path, capsys):
        store = str(demo_dir / "store")
        weights = pd.read_csv(weights_for(demo_dir / "store", tmp_path / "w.csv"), dtype={"date": str})
        weights.columns = ["date"] + ["SH" + c if c[0] == "6" else c + ".SZ" for c in weights.columns[1:]]
        (weights.iloc[::5].assign(**{weights.columns[1]: 20.0})).to_csv(tmp_path / "lev.csv", index=False)
        code, out, err = run_cli(capsys, "run", str(tmp_path / "lev.csv"), store, "--out", str(tmp_path))
        warned = [line for line in err.splitlines() if "warning:" in line]
        assert code == 0 and len(warned) == 1 and "summing above 1" in warned[0], err
        assert json.loads(out)["weight_dates"]["carried"] > 0
        weights.assign(**{weights.columns[2]: np.inf}).to_csv(tmp_path / "inf.csv", index=False)
        one_line_error(capsys, "run", str(tmp_path / "inf.csv"), store, match="infinite")
        weights[["date"]].to_csv(tmp_path / "dates.csv", index=False)
        one_line_error(capsys, "run", str(tmp_path / "dates.csv"), store, match="no stock columns")
        code, out, err = run_cli(capsys, "run", str(tmp_path / "lev.csv"), store, "--out", str(tmp_path),
                                 "--rolling-window", "9" * 30)
        assert code == 0, err

    def test_damaged_store_metadata_is_a_one_line_error(self, demo_dir, tmp_path, capsys):
        import pickle
        import shutil

        weights = weights_for(demo_dir / "store", tmp_path / "w.csv")
        for content, match in ((b"garbage", "damaged store metadata"), (b"", "truncated"),
                               (pickle.dumps([1]), "metadata dict"), (pickle.dumps({"datasets": 5}), "'datasets'")):
            copy = tmp_path / "bad"
            shutil.rmtree(copy, ignore_errors=True)
            shutil.copytree(demo_dir / "store", copy)
            (copy / "metadata.pkl").write_bytes(content)
            one_line_error(capsys, "run", str(weights), str(copy), "--out", str(tmp_path), match=match)

    def test_the_demo_store_keeps_digests_so_a_build_finds_it_up_to_date(self, demo_dir, tmp_path, capsys):
        import shutil

        shutil.copytree(demo_dir / "store", tmp_path / "store")
        code, out, err = run_cli(capsys, "build", str(demo_dir / "market.duckdb"), str(tmp_path / "store"))
        assert code == 0 and ": up to date;" in out.splitlines()[0]
        assert "warning" not in err and "changed" not in out

    def test_demo_needs_ten_stocks_and_twenty_days(self, capsys, tmp_path):
        with pytest.raises(SystemExit) as exc:
            main(["demo", "--stocks", "2"])
        assert exc.value.code == 2 and "at least 10" in capsys.readouterr().err
        one_line_error(capsys, "demo", "--out", str(tmp_path), "--stocks", "10", "--years", "0.05",
                       match="at least 20 trading days")
