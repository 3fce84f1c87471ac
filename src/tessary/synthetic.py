"""A deterministic synthetic A-share market, for demos, tests and benchmarks.

:func:`generate_market` draws, for a seed, a market of stocks of both exchanges
("600000.XSHG", "688001.XSHG", "000001.XSHE", "300001.XSHE") over a trading
calendar without weekends and the main public holidays, and gives every factor the
prepared-data builder reads as a date x stock matrix, in the conventions of the
data service:

- "Close", "Open": unadjusted prices in yuan, rounded to the cent.
- "limit_up", "limit_down": the day's price limits, ±10 % of the reference price
  (±20 % for codes starting 300 and 688), rounded to the cent. Some days reach a
  limit; some of those are sealed from the open, so that the open and both VWAP
  window prices equal the limit price.
- "tick_vwap_price_935_1005", "tick_vwap_price_925_1000": the volume-weighted
  prices of the two morning windows (buy and sell execution prices).
- "rq_is_suspended": 1.0 on a day the stock trades and 0.0 on a day it is
  suspended, the convention the builder's derivation tests (only a value of 1
  lets a stock be bought and sold; a suspended day keeps the previous close and
  has no open or VWAP).
- "split_coefficient_to": on an ex-rights day, the number of shares that 10 shares
  become (15.0 for a 10-for-15 split); no value on other days.
- "rq_get_dividend": on an ex-dividend day, the pre-tax cash paid per 10 shares;
  no value on other days. The ex-day reference price is (previous close − cash per
  share) / share multiplier.
- "rq_industry_exposure_new": an industry number (1.0 to 28.0); a few stocks change
  industry once.
- the five constituent factors of ``COMPONENT_FACTOR_NAMES``: 1.0 on the days a stock
  belongs to the index, no value otherwise. Members are chosen by market value at
  every half-yearly review (mid June and mid December), so membership changes over
  time; newly listed stocks join at a later review.

Stocks list and delist over time: about 12 % list during the first 80 % of the
period and 4 % more during the last 20 % (so that a store brought up to date meets
new codes), and about 1 % a year delist, after which they have no data at all. Up to
about 10,000 stocks fit the code ranges (the real market has about 5,500).

Returns follow a market factor, industry factors, a slowly drifting stock-specific
trend and fat-tailed noise with rare jumps. Daily bars of the three benchmark
indices ("000852.XSHG", "000300.XSHG", "000905.XSHG") are the value-weighted price
returns of their members.
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd

__all__ = [
    "COMPONENT_INDEX_BANDS",
    "BENCHMARK_INDEX_CODES",
    "SyntheticMarket",
    "generate_market",
    "trading_calendar",
]

#: Constituent factor -> band of the market-value ranking (fractions of the eligible
#: stocks, largest first) that forms the index at a review.
COMPONENT_INDEX_BANDS: dict[str, tuple[float, float]] = {
    "rq_index_components_new_000300.XSHG": (0.00, 0.06),
    "rq_index_components_new_000905.XSHG": (0.06, 0.16),
    "rq_index_components_new_000852.XSHG": (0.16, 0.36),
    "rq_index_components_new_399303.XSHE": (0.30, 0.70),
    "rq_index_components_new_932000.INDX": (0.36, 0.76),
}

#: Benchmark index code -> (constituent factor, base level).
BENCHMARK_INDEX_CODES: dict[str, tuple[str, float]] = {
    "000852.XSHG": ("rq_index_components_new_000852.XSHG", 6000.0),
    "000300.XSHG": ("rq_index_components_new_000300.XSHG", 4000.0),
    "000905.XSHG": ("rq_index_components_new_000905.XSHG", 5500.0),
}

# Board -> (share of the codes, first code, last code); the suffix follows the exchange.
#: Board: share of the stocks, first code, last code, exchange suffix, and the last code
#: used when the share does not fit below the last code (a large market).
_BOARDS = (
    (0.38, 600000, 605999, ".XSHG", 605999),
    (0.10, 688000, 688999, ".XSHG", 689999),
    (0.32, 1, 3999, ".XSHE", 4999),
    (0.20, 300001, 300999, ".XSHE", 301999),
)
_LATE_LISTING_SHARE = 0.04  # listed during the last 20 % of the period
_DELISTING_PER_YEAR = 0.01
_N_INDUSTRIES = 28
_SEALED_SHARE = 0.4  # share of the limit days on which the price sits at the limit from the open


def trading_calendar(start: Any = "2021-01-01", years: float = 3) -> pd.DatetimeIndex:
    """Weekdays from ``start`` for ``years`` years, without New Year's Day, a Spring
    Festival week (from the first Monday of February), 1 to 5 May and 1 to 7 October."""
    first = pd.Timestamp(start).normalize()
    last = first + pd.DateOffset(days=int(round(365.25 * years))) - pd.Timedelta(days=1)
    days = pd.bdate_range(first, last)
    month, day = days.month, days.day
    holiday = (month == 1) & (day == 1)
    holiday |= (month == 5) & (day <= 5)
    holiday |= (month == 10) & (day <= 7)
    feb = month == 2
    # day of the first Monday of February: 1 + (7 - weekday of Feb 1) % 7
    feb1_weekday = pd.to_datetime({"year": days.year, "month": 2, "day": 1}).dt.day_of_week.to_numpy()
    first_monday = 1 + (7 - feb1_weekday) % 7
    holiday |= feb & (day >= first_monday) & (day < first_monday + 7)
    return days[~holiday]


def _stock_codes(n_stocks: int, rng: np.random.Generator) -> np.ndarray:
    shares = np.array([board[0] for board in _BOARDS])
    counts = np.floor(shares * n_stocks).astype(int)
    counts[0] += n_stocks - counts.sum()
    codes = []
    for count, (_, low, high, suffix, wide_high) in zip(counts, _BOARDS):
        # The wide range only when needed: smaller markets keep the codes they always had.
        if count > high - low + 1:
            high = wide_high
        if count > high - low + 1:
            raise ValueError(f"n_stocks is too large for the synthetic code ranges: {n_stocks}")
        picked = rng.choice(np.arange(low, high + 1), size=count, replace=False)
        codes.extend(f"{code:06d}{suffix}" for code in picked)
    return np.array(sorted(codes, key=lambda code: code[:6]), dtype=object)


@dataclass
class SyntheticMarket:
    """A generated market: the factor matrices and the benchmark index bars.

    ``factors`` maps each factor name to a date x stock DataFrame (index: the
    trading dates as Timestamps; columns: suffixed codes; NaN where the data service
    has no value). ``index_daily`` has one row per benchmark index and day with the
    columns ukey, date, close and daily_return.
    """

    dates: pd.DatetimeIndex
    codes: list[str]
    factors: dict[str, pd.DataFrame] = field(repr=False)
    index_daily: pd.DataFrame = field(repr=False)
    seed: int = 0

    @property
    def start_date(self) -> str:
        return self.dates[0].strftime("%Y%m%d")

    @property
    def end_date(self) -> str:
        return self.dates[-1].strftime("%Y%m%d")

    def factor_frame(self, name: str) -> pd.DataFrame:
        """One factor in long form (ukey, date, factor, value), its NaN cells left out."""
        stacked = self.factors[name].stack(future_stack=True).dropna()
        return pd.DataFrame(
            {
                "ukey": stacked.index.get_level_values(1).astype(str),
                "date": stacked.index.get_level_values(0),
                "factor": name,
                "value": stacked.to_numpy(),
            }
        )

    def to_duckdb(self, path: str | Path, *, overwrite: bool = False, progress: Callable[[str], None] | None = None) -> Path:
        """Write the market into a DuckDB file of the local data service
        (:func:`tessary.local.write_database`)."""
        from tessary.local import write_database

        return write_database(path, self.factors, self.index_daily, overwrite=overwrite, progress=progress)


def generate_market(
    n_stocks: int = 300,
    years: float = 3,
    seed: int = 0,
    start: Any = "2021-01-01",
    progress: Callable[[int], None] | None = None,
) -> SyntheticMarket:
    """Draw a synthetic market of ``n_stocks`` stocks over ``years`` years of trading
    days from ``start``. The same arguments always give the same market.

    ``progress``, when given, is called with the number of days simulated since its
    previous call (for a progress bar).
    """
    if isinstance(n_stocks, bool) or not isinstance(n_stocks, (int, np.integer)) or n_stocks < 10:
        raise ValueError(f"n_stocks must be an integer of at least 10, not {n_stocks!r}")
    if not isinstance(years, (int, float)) or isinstance(years, bool) or not years > 0:
        raise ValueError(f"years must be a positive number, not {years!r}")
    rng = np.random.default_rng(seed)
    dates = trading_calendar(start, years)
    n_days, n = len(dates), int(n_stocks)
    if n_days < 20:
        raise ValueError(f"the market needs at least 20 trading days, got {n_days}")

    codes = _stock_codes(n, rng)
    wide_limit = np.array([code.startswith(("300", "688")) for code in codes])
    limit_pct = np.where(wide_limit, 0.20, 0.10)

    # Listing: most stocks trade from the first day, the rest list during the first
    # 80 % of the period.
    listed_late = rng.random(n) < 0.12
    list_day = np.where(listed_late, rng.integers(1, max(2, int(n_days * 0.8)), n), 0)
    list_day, listed_late, delist_day = _listings_and_delistings(seed, n_days, years, list_day, listed_late)

    # Return model ------------------------------------------------------------
    industry = rng.integers(1, _N_INDUSTRIES + 1, n).astype(np.float64)
    beta = rng.uniform(0.6, 1.4, n)
    vol = rng.uniform(0.012, 0.028, n) * np.where(wide_limit, 1.3, 1.0)
    market = 0.0003 + 0.012 * rng.standard_t(5, n_days) / np.sqrt(5 / 3)
    sector = 0.006 * rng.standard_normal((n_days, _N_INDUSTRIES))
    # A trend per stock that drifts slowly (AR(1), half-life of about 70 days).
    phi, trend_sd = 0.99, 0.0008
    shocks = rng.standard_normal((n_days, n))
    shocks *= trend_sd * np.sqrt(1 - phi**2)
    log_ret = np.empty((n_days, n))  # the trend first, then the other terms added in place
    log_ret[0] = rng.standard_normal(n) * trend_sd
    for t in range(1, n_days):
        np.add(phi * log_ret[t - 1], shocks[t], out=log_ret[t])
    del shocks
    noise = rng.standard_t(4, (n_days, n))
    noise *= vol / np.sqrt(2.0)
    log_ret += noise
    jump = rng.random((n_days, n)) < 0.004
    noise[:] = rng.choice([-1.0, 1.0], (n_days, n))
    noise *= rng.normal(0.09, 0.03, (n_days, n))
    log_ret += np.where(jump, noise, 0.0)
    del noise, jump
    log_ret += beta * market[:, None]
    log_ret += sector[:, industry.astype(int) - 1]
    open_gap = 0.35 * log_ret + 0.006 * rng.standard_normal((n_days, n))
    vwap_noise = 0.003 * rng.standard_normal((2, n_days, n))
    seal_draw = rng.random((n_days, n))

    # Suspension spells: a spell starts on 0.15 % of the days and lasts 1 to 30 days.
    spell_start = rng.random((n_days, n)) < 0.0015
    spell_len = np.minimum(rng.geometric(0.25, (n_days, n)), 30)

    # Corporate actions: one ex-day per stock and year in June or July; 75 % of the
    # stocks pay a cash dividend, 8 % also split.
    dividend_yield = np.zeros((n_days, n))
    split_mult = np.ones((n_days, n))
    in_window = np.flatnonzero(dates.month.isin([6, 7]))
    for year in np.unique(dates.year[in_window]):
        window = in_window[dates.year[in_window] == year]
        ex_day = rng.choice(window, n)
        pays = rng.random(n) < 0.75
        dividend_yield[ex_day[pays], np.flatnonzero(pays)] = rng.uniform(0.004, 0.03, pays.sum())
        splits = rng.random(n) < 0.08
        split_mult[ex_day[splits], np.flatnonzero(splits)] = rng.choice([1.2, 1.3, 1.5, 2.0], splits.sum())

    first_price = np.round(np.exp(rng.normal(np.log(14.0), 0.6, n)).clip(2.0, 300.0), 2)
    shares = np.exp(rng.normal(np.log(4e8), 1.0, n))  # shares outstanding
    switch_day = np.where(rng.random(n) < 0.03, rng.integers(1, n_days, n), n_days)
    new_industry = rng.integers(1, _N_INDUSTRIES + 1, n).astype(np.float64)

    # Day-by-day price path, vectorised over stocks --------------------------------
    shape = (n_days, n)
    close = np.full(shape, np.nan)
    open_ = np.full(shape, np.nan)
    vwap_buy = np.full(shape, np.nan)
    vwap_sell = np.full(shape, np.nan)
    limit_up = np.full(shape, np.nan)
    limit_down = np.full(shape, np.nan)
    status = np.full(shape, np.nan)
    split_out = np.full(shape, np.nan)
    dividend_out = np.full(shape, np.nan)
    cap = np.full(shape, np.nan)
    price_ret = np.full(shape, np.nan)  # split-adjusted price return, for the indices

    prev = np.where(list_day == 0, first_price, np.nan)
    suspended_left = np.zeros(n, dtype=np.int64)
    step = max(1, n_days // 50)
    for t in range(n_days):
        listed = (list_day <= t) & (t < delist_day)
        ipo = listed_late & (list_day == t)
        if t > 0:
            prev = np.where(ipo, first_price, prev)
        starts = listed & ~ipo & (suspended_left == 0) & spell_start[t] & (t > 0)
        suspended_left = np.where(starts, spell_len[t], suspended_left)
        suspended = listed & (suspended_left > 0)
        trading = listed & ~suspended
        suspended_left = np.maximum(suspended_left - 1, 0)

        # Corporate actions happen only on a trading day of a stock that traded before.
        event = trading & ~ipo
        mult = np.where(event, split_mult[t], 1.0)
        cash = np.where(event, np.round(prev * dividend_yield[t], 2), 0.0)  # per share
        ref = np.round((prev - cash) / mult, 2)
        up = np.round(ref * (1 + limit_pct), 2)
        down = np.round(ref * (1 - limit_pct), 2)

        raw_close = ref * np.exp(log_ret[t])
        c = np.clip(np.round(raw_close, 2), down, up)
        o = np.clip(np.round(ref * np.exp(open_gap[t]), 2), down, up)
        log_o, log_c = np.log(o / ref), np.log(c / ref)
        vb = np.clip(np.round(ref * np.exp(0.7 * log_o + 0.3 * log_c + vwap_noise[0, t]), 4), down, up)
        vs = np.clip(np.round(ref * np.exp(0.8 * log_o + 0.2 * log_c + vwap_noise[1, t]), 4), down, up)
        sealed_up = (raw_close >= up) & (seal_draw[t] < _SEALED_SHARE)
        sealed_down = (raw_close <= down) & (seal_draw[t] < _SEALED_SHARE)
        for sealed, level in ((sealed_up, up), (sealed_down, down)):
            c = np.where(sealed, level, c)
            o = np.where(sealed, level, o)
            vb = np.where(sealed, level, vb)
            vs = np.where(sealed, level, vs)

        close[t] = np.where(trading, c, np.where(suspended, prev, np.nan))
        open_[t] = np.where(trading, o, np.nan)
        vwap_buy[t] = np.where(trading, vb, np.nan)
        vwap_sell[t] = np.where(trading, vs, np.nan)
        limit_up[t] = np.where(listed, np.where(trading, up, np.round(prev * (1 + limit_pct), 2)), np.nan)
        limit_down[t] = np.where(listed, np.where(trading, down, np.round(prev * (1 - limit_pct), 2)), np.nan)
        status[t] = np.where(trading, 1.0, np.where(suspended, 0.0, np.nan))
        split_out[t] = np.where(event & (mult != 1.0), np.round(mult * 10, 4), np.nan)
        dividend_out[t] = np.where(event & (cash > 0), np.round(cash * 10, 4), np.nan)
        shares = shares * mult
        cap[t] = close[t] * shares
        with np.errstate(invalid="ignore", divide="ignore"):
            price_ret[t] = np.where(listed & ~ipo, mult * close[t] / prev - 1.0, np.nan)
        prev = np.where(listed, close[t], prev)
        if progress is not None and (t + 1) % step == 0:
            progress(step)
    if progress is not None and n_days % step:
        progress(n_days % step)

    industry_matrix = np.where(np.arange(n_days)[:, None] >= switch_day, new_industry, industry)
    industry_matrix = np.where(np.isfinite(close), industry_matrix, np.nan)

    members = _index_members(dates, cap, list_day)

    frame = lambda values: pd.DataFrame(values, index=dates, columns=list(codes), copy=False)  # noqa: E731
    factors = {
        "rq_industry_exposure_new": frame(industry_matrix),
        "limit_down": frame(limit_down),
        "limit_up": frame(limit_up),
        "Close": frame(close),
        "Open": frame(open_),
        "tick_vwap_price_935_1005": frame(vwap_buy),
        "tick_vwap_price_925_1000": frame(vwap_sell),
        "split_coefficient_to": frame(split_out),
        "rq_get_dividend": frame(dividend_out),
        "rq_is_suspended": frame(status),
    }
    for name, mask in members.items():
        factors[name] = frame(np.where(mask, 1.0, np.nan))

    index_daily = _index_bars(dates, cap, price_ret, members)
    return SyntheticMarket(dates=dates, codes=[str(code) for code in codes], factors=factors, index_daily=index_daily, seed=seed)


def _listings_and_delistings(seed, n_days: int, years: float, list_day: np.ndarray, listed_late: np.ndarray):
    """Late listings in the last 20 % of the period and delistings, drawn from a stream
    of their own so that every other draw of the market stays what it was."""
    rng = np.random.default_rng(np.random.SeedSequence(seed).spawn(1)[0])
    n = len(list_day)
    recent = ~listed_late & (rng.random(n) < _LATE_LISTING_SHARE)
    late_start = max(1, int(n_days * 0.8))
    list_day = np.where(recent, rng.integers(late_start, max(late_start + 1, n_days), n), list_day)
    listed_late = listed_late | recent
    # Delisting after at least half a year of trading, never on the first or last day.
    delists = rng.random(n) < min(0.5, _DELISTING_PER_YEAR * years)
    earliest = list_day + 120
    when = earliest + (rng.random(n) * np.maximum(n_days - 1 - earliest, 0)).astype(np.int64)
    delist_day = np.where(delists & (earliest < n_days - 1), when, n_days + 1)
    return list_day, listed_late, delist_day


def _review_days(dates: pd.DatetimeIndex) -> np.ndarray:
    """Positions of the index reviews: the first day, then the first trading day on or
    after every 15 June and 15 December."""
    reviews = [0]
    for year in range(dates[0].year, dates[-1].year + 1):
        for month in (6, 12):
            position = int(dates.searchsorted(pd.Timestamp(year, month, 15)))
            if 0 < position < len(dates):
                reviews.append(position)
    return np.unique(reviews)


def _index_members(dates: pd.DatetimeIndex, cap: np.ndarray, list_day: np.ndarray) -> dict[str, np.ndarray]:
    """Membership (boolean date x stock) of every constituent factor."""
    n_days, n = cap.shape
    members = {name: np.zeros((n_days, n), dtype=bool) for name in COMPONENT_INDEX_BANDS}
    reviews = _review_days(dates)
    for k, day in enumerate(reviews):
        until = reviews[k + 1] if k + 1 < len(reviews) else n_days
        window = cap[max(0, day - 20) : day + 1]
        finite = np.isfinite(window)
        average = np.where(finite, window, 0.0).sum(axis=0) / np.maximum(finite.sum(axis=0), 1)
        # Eligible: trading on the review day and listed for 60 days (all stocks of day 0).
        eligible = np.isfinite(cap[day]) & ((list_day == 0) | (list_day <= day - 60))
        ranked = np.flatnonzero(eligible)[np.argsort(-average[eligible], kind="stable")]
        count = len(ranked)
        for name, (low, high) in COMPONENT_INDEX_BANDS.items():
            chosen = ranked[int(round(low * count)) : max(int(round(high * count)), int(round(low * count)) + 1)]
            members[name][day:until, chosen] = True
    # A member counts only on days it has a price.
    listed = np.isfinite(cap)
    return {name: mask & listed for name, mask in members.items()}


def _index_bars(dates, cap, price_ret, members) -> pd.DataFrame:
    """Value-weighted (previous day's market value) price-return indices."""
    prev_cap = np.vstack([np.full((1, cap.shape[1]), np.nan), cap[:-1]])
    # Day 0 weights its members equally: there is no market value of the day before.
    parts = []
    for code, (component, base) in BENCHMARK_INDEX_CODES.items():
        mask = members[component]
        weight = np.where(mask & np.isfinite(price_ret), prev_cap, 0.0)
        weight[0] = np.where(mask[0] & np.isfinite(price_ret[0]), 1.0, 0.0)
        weight = np.nan_to_num(weight, nan=0.0)
        total = weight.sum(axis=1)
        with np.errstate(invalid="ignore", divide="ignore"):
            daily = np.where(total > 0, (weight * np.nan_to_num(price_ret)).sum(axis=1) / total, 0.0)
        parts.append(
            pd.DataFrame({"ukey": code, "date": dates, "close": np.round(base * np.cumprod(1 + daily), 4), "daily_return": daily})
        )
    return pd.concat(parts, ignore_index=True)
