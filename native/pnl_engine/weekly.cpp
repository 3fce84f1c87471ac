// Weekly net value frame: strategy, benchmark and excess net values sampled at the last
// valid point of each week ending on Friday.
#include "common/pyutil.hpp"
#include "pnl_engine/module.hpp"

namespace tessary::pnl {

using namespace nb::literals;

static const args::Signature kWeeklySig("_build_weekly_net_value_frame",
                                        {{"daily_return", "pandas.Series"},
                                         {"cumulative_return", "pandas.Series"},
                                         {"benchmark_daily_return", "pandas.Series"}},
                                        {"pandas.DataFrame",
                                         "Friday-sampled strategy net value (`long`), compounded benchmark net value "
                                         "(`close_net_value`) and excess net value (`extra_return`, "
                                         "`extra_net_value`)."});

/// A list of the given column names.
static nb::list names(std::initializer_list<const char *> columns) {
    nb::list out;
    for (const char *c : columns) out.append(nb::str(c));
    return out;
}

/// Columns `long` (the caller's net value as given), `close_net_value` (benchmark
/// returns compounded, a missing day flat) and `extra_return`, `extra_net_value`
/// (running sum of excess returns, 0 and 1 on the first day), one row per week
/// ending Friday, labelled with that Friday. Every alignment, resampling and
/// last-valid-value rule here is pandas' own.
static nb::object build_weekly_net_value_frame(const args::Bound &a) {
    nb::object pd = attr("pd");
    nb::object np = attr("np");
    nb::object nan = np.attr("nan");
    nb::list infinities;
    infinities.append(np.attr("inf"));
    infinities.append(-np.attr("inf"));

    // Both return series on the union of their dates; infinities count as missing.
    nb::dict columns;
    columns["daily_return"] = a.obj("daily_return");
    columns["index_daily_return"] = a.obj("benchmark_daily_return");
    nb::object daily = pd.attr("DataFrame")(columns).attr("replace")(infinities, nan);
    nb::object benchmark = daily["index_daily_return"];
    nb::object extra_daily = daily["daily_return"] - benchmark;

    nb::object extra_cum = extra_daily.attr("cumsum")();
    // A NaN first value makes the whole excess column NaN, as it should: the excess
    // path has no defined start.
    // Without any return date the excess column is the constant 0.0 on the strategy's
    // net-value dates.
    const bool has_extra = nb::len(extra_cum) > 0;
    nb::object close_net_value = (benchmark.attr("fillna")(0) + nb::int_(1)).attr("cumprod")();

    nb::dict plot_columns;
    plot_columns["long"] = a.obj("cumulative_return");
    plot_columns["close_net_value"] = close_net_value;
    plot_columns["extra_return"] =
        has_extra ? nb::object(extra_cum - extra_cum.attr("iloc")[0]) : nb::object(nb::float_(0.0));
    nb::object plot_df = attr("_with_datetime_index")(pd.attr("DataFrame")(plot_columns));
    if (nb::cast<bool>(plot_df.attr("empty"))) return pd.attr("DataFrame")();

    nb::object weekly = plot_df[names({"long", "close_net_value", "extra_return"})]
                            .attr("resample")("W-FRI")
                            .attr("last")()
                            .attr("dropna")("how"_a = "all");
    if (nb::cast<bool>(weekly.attr("empty"))) return weekly;

    weekly = weekly.attr("assign")("extra_net_value"_a = weekly["extra_return"] + nb::int_(1));
    return weekly.attr("dropna")("subset"_a = names({"long", "close_net_value", "extra_net_value"}),
                                 "how"_a = "all");
}

void init_weekly(nb::module_ &m) {
    def_bound(m, kWeeklySig, build_weekly_net_value_frame);
}

}  // namespace tessary::pnl
