// Per-calendar-year view of a strategy: period return, maximum drawdown and Calmar
// ratio of one period, and the yearly metrics frame of strategy and excess returns.
#include <cmath>

#include "common/pyutil.hpp"
#include "pnl_engine/kernels/returns.hpp"
#include "pnl_engine/module.hpp"
#include "pnl_engine/values.hpp"

namespace tessary::pnl {

using namespace nb::literals;

static const args::Signature kPeriodSig("_period_return_drawdown_calmar", {{"daily_return", "pandas.Series | None"}},
                                        {"tuple[float, float, float]",
                                         "Period return (sum), maximum drawdown of the running sum from a starting "
                                         "peak of 0, and Calmar ratio (annualised mean / drawdown) of one period's "
                                         "daily returns; three NaN for None or empty."});
static const args::Signature kYearlySig("_calc_yearly_performance_metrics", {{"daily", "pandas.DataFrame"}},
                                        {"pandas.DataFrame",
                                         "Per calendar year: return, Sharpe, maximum drawdown and Calmar of "
                                         "`daily_return` and of `extra_daily_return` (ratios), indexed by `year`."});

/// Drawdowns smaller than this are treated as none when dividing by them.
static constexpr double kMinCalmarDrawdown = 1e-12;

/// (period return, maximum drawdown, Calmar) of one period's daily returns. The sum
/// and mean are pandas' own (NaN skipped, pairwise summation); the drawdown runs over
/// the arithmetic cumulative return, from a starting peak of 0.
static nb::object period_return_drawdown_calmar(const args::Bound &a) {
    nb::object daily_return = a.obj("daily_return");
    if (daily_return.is_none() || nb::len(daily_return) == 0) return nb::make_tuple(kNaN, kNaN, kNaN);

    const double period_return = to_double(daily_return.attr("sum")());
    const double annualized_return = to_double(daily_return.attr("mean")()) * trading_days_per_year();

    SeriesValues values = series_values(daily_return, "daily_return");
    double deepest;
    {
        nb::gil_scoped_release release;
        deepest = kernels::min_drawdown_from_zero(values.view, values.size);
    }
    const double max_drawdown = std::fabs(deepest);  // NaN stays NaN
    const double calmar =
        (!std::isnan(max_drawdown) && max_drawdown > kMinCalmarDrawdown) ? annualized_return / max_drawdown : kNaN;
    return nb::make_tuple(period_return, max_drawdown, calmar);
}

/// The column with +inf and -inf made NaN, then NaN dropped (pandas' replace/dropna,
/// so the index of the kept dates goes along).
static nb::object finite_values(nb::handle group, const char *column, nb::handle infinities, nb::handle nan) {
    return group[column].attr("replace")(infinities, nan).attr("dropna")();
}

/// One row per calendar year with a valid strategy or excess day, indexed by `year`.
static nb::object calc_yearly_performance_metrics(const args::Bound &a) {
    nb::object daily = a.obj("daily");
    nb::object pd = attr("pd");
    nb::object np = attr("np");
    // Raises pandas' attribute error for an index without calendar years.
    nb::object years = daily.attr("index").attr("year");

    nb::object nan = np.attr("nan");
    nb::list infinities;
    infinities.append(np.attr("inf"));
    infinities.append(-np.attr("inf"));

    nb::list rows;
    for (nb::handle key_and_group : daily.attr("groupby")(years)) {
        nb::object year = key_and_group[0];
        nb::object group = key_and_group[1];
        nb::object strategy_daily = finite_values(group, "daily_return", infinities, nan);
        nb::object excess_daily = finite_values(group, "extra_daily_return", infinities, nan);
        if (nb::len(strategy_daily) == 0 && nb::len(excess_daily) == 0) continue;

        // Both looked up now, so a caller's replacement is used.
        nb::object period = attr("_period_return_drawdown_calmar");
        nb::object strategy = period(strategy_daily);
        nb::object excess = period(excess_daily);
        nb::object safe_sharpe = attr("safe_sharpe");

        nb::dict row;
        row["year"] = nb::int_(year);
        row["strategy_return"] = strategy[0];
        row["strategy_sharpe"] = safe_sharpe(strategy_daily);
        row["strategy_max_dd"] = strategy[1];
        row["strategy_calmar"] = strategy[2];
        row["excess_return"] = excess[0];
        row["excess_sharpe"] = safe_sharpe(excess_daily);
        row["excess_max_dd"] = excess[1];
        row["excess_calmar"] = excess[2];
        rows.append(row);
    }
    if (nb::len(rows) == 0) return pd.attr("DataFrame")();
    return pd.attr("DataFrame")(rows).attr("set_index")("year").attr("sort_index")();
}

void init_yearly(nb::module_ &m) {
    def_bound(m, kPeriodSig, period_return_drawdown_calmar);
    def_bound(m, kYearlySig, calc_yearly_performance_metrics);
}

}  // namespace tessary::pnl
