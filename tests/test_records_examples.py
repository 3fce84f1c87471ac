"""Records of the worked examples of the return rules: a buy, a sell, a buy refused
on a limit-up day, a sell barred while suspended, a split day and a dividend day."""

import numpy as np
import pandas as pd
import pytest

from tessary.backtest.records import compute_records

FEE, RULE_FEE, MONEY = 0.0001, 0.0005, 1e6
NAN = np.nan


def one_stock(weights, **columns):
    """Frames of one stock "000001" over dates 20240102.. (one per weight). Each
    keyword gives one market column per date; unnamed columns take plain values."""
    n = len(weights)
    index = pd.Index([f"202401{d:02d}" for d in range(2, 2 + n)])
    defaults = dict(can_buy_stock=[True] * n, cant_sell_stock=[False] * n, split_factor=[NAN] * n,
                    dividend_factor=[NAN] * n, close_price=[10.0] * n, prev_close=[10.0] * n,
                    buy_price=[10.0] * n, sell_price=[10.0] * n)
    defaults.update(columns)
    frame = lambda values: pd.DataFrame({"000001": values}, index=index)  # noqa: E731
    return dict(strategy_matrix=frame([float(w) for w in weights]), **{k: frame(v) for k, v in defaults.items()})


def records_of(weights, **columns):
    return compute_records(**one_stock(weights, **columns), total_money=MONEY, fee=FEE, rule_fee=RULE_FEE)


def rows(frame, *columns):
    return [tuple(r) for r in frame[list(columns)].itertuples(index=False)]


class TestTradesAndRefusals:
    def test_a_buy_then_a_sell(self):
        # Weight 1 on the first date: 500 lots of 200 at the previous close 10.0 are
        # bought on the second at 10.1 (close 10.5); weight 0 then sells all at 10.4.
        rec = records_of([1.0, 0.0, 0.0], prev_close=[10.0, 10.0, 10.5], buy_price=[NAN, 10.1, 10.0],
                         close_price=[10.0, 10.5, 10.3], sell_price=[NAN, 10.0, 10.4])
        t = rec.trades
        assert rows(t, "side", "shares", "price") == [("buy", 100000.0, 10.1), ("sell", 100000.0, 10.4)]
        assert t["value"].tolist() == pytest.approx([1_010_000.0, 1_040_000.0], rel=1e-15)
        assert t["commission"].tolist() == pytest.approx([101.0, 104.0], rel=1e-12)
        assert t["levy"].tolist() == pytest.approx([0.0, 520.0], rel=1e-12)
        assert rec.pnl["buy"].iloc[0] == pytest.approx(100000 * (10.5 - 10.1 * 1.0001), rel=1e-12)  # 39,899
        assert rec.pnl["sell"].iloc[1] == pytest.approx(100000 * (10.4 * 0.9994 - 10.5), rel=1e-12)  # -10,624
        assert rows(rec.positions, "shares", "value") == [(100000.0, pytest.approx(1_050_000.0))]
        assert rec.daily["daily_return"].tolist() == pytest.approx([0.039899, -0.010624], rel=1e-9)
        assert rec.daily["turnover"].tolist() == pytest.approx([0.505, 0.52], rel=1e-12)
        assert rec.daily["held"].tolist() == [1, 0]
        assert rec.blocked.empty

    def test_a_buy_refused_on_a_limit_up_day_is_tried_again_the_next_day(self):
        rec = records_of([1.0, 1.0, 1.0], can_buy_stock=[True, False, True], prev_close=[10.0, 10.0, 12.5])
        assert rows(rec.blocked, "date", "side", "shares", "reason") == [
            (pd.Timestamp("2024-01-03"), "buy", 100000.0, "cannot buy")]
        # The next day's target comes from that day's previous close: 400 lots.
        assert rows(rec.trades, "date", "side", "shares") == [(pd.Timestamp("2024-01-04"), "buy", 80000.0)]
        assert rec.positions["date"].tolist() == [pd.Timestamp("2024-01-04")]
        assert rec.daily["daily_return"].iloc[0] == 0.0 and rec.pnl["date"].min() == pd.Timestamp("2024-01-04")

    def test_a_sell_barred_while_suspended_keeps_the_shares(self):
        rec = records_of([1.0, 0.0, 0.0, 0.0], cant_sell_stock=[False, False, True, False],
                         prev_close=[10.0, 10.0, 10.5, 10.5], close_price=[10.0, 10.5, 10.5, 10.2],
                         buy_price=[10.0, 10.1, 10.0, 10.0], sell_price=[10.0, 10.0, 10.4, 10.3])
        assert rows(rec.blocked, "date", "side", "shares", "reason") == [
            (pd.Timestamp("2024-01-04"), "sell", 100000.0, "cannot sell")]
        assert rows(rec.positions, "date", "shares") == [
            (pd.Timestamp("2024-01-03"), 100000.0), (pd.Timestamp("2024-01-04"), 100000.0)]
        # Held through the suspension: valued from the previous close to the close.
        assert rec.daily["daily_return"].iloc[1] == 0.0
        assert rows(rec.trades, "date", "side") == [(pd.Timestamp("2024-01-03"), "buy"), (pd.Timestamp("2024-01-05"), "sell")]
        assert rec.pnl["sell"].iloc[-1] == pytest.approx(100000 * (10.3 * 0.9994 - 10.5), rel=1e-12)


class TestSplitsAndDividends:
    def test_a_split_day_values_the_carried_shares_at_the_split_close(self):
        # 5 lots (1,000 shares) carried into a 2-for-1 split; the count stays 1,000,
        # and the next day's target from the halved previous close buys the difference.
        rec = records_of([0.01, 0.01, 0.01, 0.01], split_factor=[NAN, NAN, 2.0, NAN],
                         prev_close=[10.0, 10.0, 10.0, 5.1], close_price=[10.0, 10.0, 5.1, 5.1],
                         buy_price=[10.0, 10.0, 5.0, 5.0])
        split_day = rec.pnl[rec.pnl["date"] == pd.Timestamp("2024-01-04")]
        assert rows(split_day, "buy", "hold", "sell") == [(0.0, pytest.approx(1000 * (2 * 5.1 - 10.0)), 0.0)]
        assert rows(rec.positions, "shares", "value")[1] == (1000.0, pytest.approx(1000 * 2 * 5.1))
        assert rows(rec.trades, "date", "shares") == [(pd.Timestamp("2024-01-03"), 1000.0),
                                                      (pd.Timestamp("2024-01-05"), 800.0)]

    def test_a_sell_on_a_split_day_is_worth_the_split_proceeds(self):
        rec = records_of([0.01, 0.0, 0.0], split_factor=[NAN, NAN, 2.0], prev_close=[10.0, 10.0, 10.0],
                         sell_price=[NAN, NAN, 5.2], close_price=[10.0, 10.0, 5.1])
        sale = rec.trades.iloc[-1]
        assert (sale["side"], sale["shares"], sale["price"]) == ("sell", 1000.0, 5.2)
        assert sale["value"] == pytest.approx(1000 * 2 * 5.2) and sale["levy"] == pytest.approx(1000 * 2 * 5.2 * RULE_FEE)
        assert rec.pnl["sell"].iloc[-1] == pytest.approx(1000 * (2 * 5.2 * 0.9994 - 10.0))

    def test_dividends_are_credited_on_carried_and_sold_shares_not_on_bought_ones(self):
        # Dividend 0.5 on the day of the buy (nothing credited), on a carried day and
        # on the day of the sale.
        rec = records_of([0.01, 0.01, 0.0, 0.0], dividend_factor=[NAN, 0.5, 0.5, 0.5])
        assert rec.pnl["hold_dividend"].tolist() == [0.0, 500.0, 0.0]
        assert rec.pnl["sell_dividend"].tolist() == [0.0, 0.0, 500.0]
        assert rec.daily["pnl"].tolist() == pytest.approx([-1.0, 500.0, 500.0 - 1000 * 10.0 * 0.0006])
