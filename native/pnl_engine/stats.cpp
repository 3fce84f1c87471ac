// calc_strategy_stats: the 13-figure statistics dictionary of one strategy against its
// benchmark, with the holding count and turnover of its weight matrix.
#include <cmath>
#include <cstdint>
#include <vector>

#include "common/arrays.hpp"
#include "common/pyutil.hpp"
#include "pnl_engine/kernels/returns.hpp"
#include "common/daystep/weights.hpp"
#include "pnl_engine/module.hpp"
#include "pnl_engine/values.hpp"

namespace tessary::pnl {

using namespace nb::literals;

static const args::Signature kStatsSig("calc_strategy_stats", {{"total_frame", "pandas.DataFrame"},
                                                               {"signal_df", "pandas.DataFrame | None"}},
                                       {"dict[str, float]",
                                        "Annualised return, Sharpe and maximum drawdown of the strategy, its excess "
                                        "and its benchmark, return correlation, win rates, average holding count and "
                                        "turnover; percentages in points."});

/// Keys of the statistics dictionary, in their order.
static constexpr const char *kStatsKeys[] = {
    "annual_return", "long_sharp",   "max_dd",      "extra_annual_return", "extra_sharp",
    "extra_max_dd",  "benchmark_annual_return",     "benchmark_sharp",     "return_corr",
    "win_rate",      "excess_win_rate",             "holding_count",       "turnover",
};

/// Mean daily holding count and mean one-sided turnover (percent) of `signal_df` on
/// the return dates `dates`; NaN where the matrix is missing or too short.
struct WeightFigures {
    double holding_count = kNaN;
    double turnover = kNaN;
};

/// Row positions in `signal_df` of every date of `dates` (-1 where it has none), and
/// the float64 values those positions index. A unique index is looked up without
/// copying the matrix; otherwise pandas reindexes it, which raises its own error for
/// duplicate dates unless the index already equals `dates`.
static nb::object aligned_rows(nb::handle signal_df, nb::handle dates, nb::object &values) {
    nb::object index = signal_df.attr("index");
    if (nb::cast<bool>(index.attr("is_unique"))) {
        values = frame_values(signal_df);
        return index.attr("get_indexer")(dates);
    }
    nb::object aligned = signal_df.attr("reindex")(dates);
    values = frame_values(aligned);
    return attr("np").attr("arange")(nb::len(dates), "dtype"_a = "int64");
}

static WeightFigures weight_figures(nb::handle signal_df, nb::handle dates) {
    WeightFigures out;
    if (signal_df.is_none()) return out;
    const std::size_t signal_rows = nb::len(signal_df);
    if (signal_rows == 0) return out;

    nb::object values;
    nb::object positions_obj = aligned_rows(signal_df, dates, values);
    nb::object positions64 = positions_obj.attr("astype")("int64", "copy"_a = false);
    auto positions = nb::cast<nb::ndarray<const std::int64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>>(positions64);
    const std::size_t n = positions.shape(0);
    nb::object values_shape = values.attr("shape");
    if (nb::len(values_shape) != 2) throw nb::value_error("signal_df must be a 2-dimensional date x stock matrix");
    const std::size_t rows = nb::cast<std::size_t>(values_shape[0]);
    const std::size_t stocks = nb::cast<std::size_t>(values_shape[1]);
    auto weights = float_view(values, "signal_df values", rows, stocks);
    // The kernel trusts every position; an index whose lookup answered out of range
    // is refused here rather than read past the matrix.
    const std::int64_t *pos = positions.data();
    for (std::size_t r = 0; r < n; ++r)
        if (pos[r] >= (std::int64_t)rows) throw nb::value_error("signal_df index lookup gave a position out of range");

    std::vector<double> counts(n);
    double *change = nullptr;
    nb::object change_arr = new_float_array(n, &change);
    double total = 0.0;
    {
        nb::gil_scoped_release release;
        kernels::weight_activity(weights.view, pos, n, stocks, counts.data(), change);
        // Whole numbers: the sum is exact in any order.
        for (double c : counts) total += c;
    }
    // Both means run over every return date; a date without holdings counts as 0.
    out.holding_count = total / (double)n;
    if (signal_rows >= 2) {
        // numpy's own summation, as pandas' mean uses it.
        const double mean_change = to_double(change_arr.attr("sum")()) / (double)n;
        out.turnover = mean_change / 2.0 * 100.0;
    }
    return out;
}

/// The dictionary with every figure NaN.
static nb::dict all_nan_stats() {
    nb::dict d;
    for (const char *key : kStatsKeys) d[key] = kNaN;
    return d;
}

/// Pearson correlation of two series of the same rows, none missing, computed the
/// way pandas 3 computes `Series.corr`: both centred and scaled by their largest
/// magnitude, then dot products; NaN for fewer than two rows or a constant series.
/// pandas 2 runs numpy.corrcoef instead, which differs in the last digits and warns
/// on a constant series; one formula here keeps the figure the same on both.
static double pearson_corr(nb::handle x, nb::handle y) {
    nb::object np = attr("np");
    nb::object a = x.attr("to_numpy")("dtype"_a = "float64");
    nb::object b = y.attr("to_numpy")("dtype"_a = "float64");
    const std::size_t n = nb::len(a);
    if (n < 2) return kNaN;
    a = a - a.attr("mean")();
    b = b - b.attr("mean")();
    const double a_scale = to_double(np.attr("max")(np.attr("abs")(a)));
    const double b_scale = to_double(np.attr("max")(np.attr("abs")(b)));
    if (a_scale == 0.0 || b_scale == 0.0) return kNaN;
    a = a / nb::float_(a_scale);
    b = b / nb::float_(b_scale);
    nb::float_ fact((double)(n - 1));
    nb::object divisor = np.attr("sqrt")(np.attr("dot")(a, a) / fact);
    if (to_double(divisor) == 0.0) return kNaN;
    nb::object result = np.attr("dot")(a, b) / fact / divisor;
    divisor = np.attr("sqrt")(np.attr("dot")(b, b) / fact);
    if (to_double(divisor) == 0.0) return kNaN;
    return to_double(np.attr("clip")(result / divisor, -1.0, 1.0));
}

static nb::object calc_strategy_stats(const args::Bound &a) {
    nb::object total_frame = a.obj("total_frame");
    nb::object signal_df = a.obj("signal_df");
    nb::object pd = attr("pd");

    // Rows with both returns present; a missing column raises pandas' KeyError here.
    nb::list required;
    required.append("daily_return");
    required.append("index_daily_return");
    nb::object df = total_frame.attr("dropna")("subset"_a = required);
    const std::size_t n = nb::len(df);
    if (n == 0) return all_nan_stats();

    nb::object strategy = df["daily_return"];
    nb::object benchmark = df["index_daily_return"];
    SeriesValues s = series_values(strategy, "daily_return");
    SeriesValues b = series_values(benchmark, "index_daily_return");
    SeriesValues close;
    const int close_found = PySequence_Contains(df.attr("columns").ptr(), nb::str("close").ptr());
    if (close_found < 0) throw nb::python_error();
    const bool has_close = close_found == 1;
    if (has_close) close = series_values(df["close"], "close");

    double *excess_ptr = nullptr;
    nb::object excess_arr = new_float_array(n, &excess_ptr);
    kernels::StatsInputs in;
    in.n = n;
    in.strategy = s.view;
    in.benchmark = b.view;
    if (has_close) in.close = close.view;
    kernels::StatsResult r;
    {
        nb::gil_scoped_release release;
        r = kernels::strategy_stats(in, excess_ptr);
    }
    nb::object excess = pd.attr("Series")(excess_arr, "index"_a = df.attr("index"), "name"_a = "extra_daily_return",
                                          "copy"_a = false);

    // Arithmetic annualisation: total return over the number of years.
    const double year_count = (double)n / trading_days_per_year();
    const bool years_ok = year_count > 0.0;
    const double annual_return = years_ok ? (r.last_net_value - 1.0) / year_count * 100.0 : kNaN;
    const double benchmark_annual = years_ok ? (r.last_benchmark_nav - 1.0) / year_count * 100.0 : kNaN;
    const double extra_annual = years_ok ? r.last_excess_cum / year_count * 100.0 : kNaN;

    nb::object safe_sharpe = attr("safe_sharpe");
    nb::object long_sharp = safe_sharpe(strategy, "periods"_a = 252);
    nb::object extra_sharp = safe_sharpe(excess, "periods"_a = 252);
    const double return_corr = pearson_corr(strategy, benchmark);
    nb::object benchmark_sharp = safe_sharpe(benchmark, "periods"_a = 252);

    const WeightFigures w = weight_figures(signal_df, df.attr("index"));

    nb::dict d;
    d["annual_return"] = annual_return;
    d["long_sharp"] = long_sharp;
    d["max_dd"] = std::fabs(r.min_drawdown) * 100.0;
    d["extra_annual_return"] = extra_annual;
    d["extra_sharp"] = extra_sharp;
    d["extra_max_dd"] = std::fabs(r.min_excess_drawdown) * 100.0;
    d["benchmark_annual_return"] = benchmark_annual;
    d["benchmark_sharp"] = benchmark_sharp;
    d["return_corr"] = return_corr;
    d["win_rate"] = (double)r.wins / (double)n * 100.0;
    d["excess_win_rate"] = (double)r.excess_wins / (double)n * 100.0;
    d["holding_count"] = w.holding_count;
    d["turnover"] = w.turnover;
    return d;
}

void init_stats(nb::module_ &m) {
    def_bound(m, kStatsSig, calc_strategy_stats);
}

}  // namespace tessary::pnl
