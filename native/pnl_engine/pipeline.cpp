// run_strategy_backtest_core: weight smoothing, VWAP daily returns, net value, excess
// against each benchmark, statistics and the optional charts of one strategy.
#include "common/arrays.hpp"
#include "common/daystep/weights.hpp"
#include "common/pyutil.hpp"
#include "common/smoothing.hpp"
#include "common/vwap_inputs.hpp"
#include "pnl_engine/module.hpp"
#include "pnl_engine/values.hpp"

namespace tessary::pnl {

using namespace nb::literals;
using args::Default;
using args::Kind;

static const args::Signature kPipelineSig(
    "run_strategy_backtest_core",
    market_params("strategy_matrix",
                  {{"benchmark_dict", "dict[str, pandas.Series] | None", Kind::DictOrNone, Default::none()},
                   {"benchmark_names", Kind::Str, Default::of("000852")},
                   {"rolling_window", Kind::Int, Default::of(0)},
                   {"total_money", Kind::Float, Default::of(1e8)},
                   {"fee", Kind::Float, Default::of(0.0001)},
                   {"rule_fee", Kind::Float, Default::of(0.0005)},
                   {"plot_image_kind", Kind::StrOrNone, Default::of("large")},
                   {"plot_save_path", "str | pathlib.Path | None", Kind::Object, Default::none()},
                   {"strategy_name", Kind::Str, Default::of("strategy")},
                   {"plot_title", Kind::StrOrNone, Default::none()},
                   {"given", "numpy.ndarray | None", Kind::Object, Default::none(), true}}),
                                          {"_PnlEngineResult",
                                           "Backtest of a weight matrix: optional rolling smoothing, VWAP daily "
                                           "returns, arithmetic net value, excess against each benchmark, statistics "
                                           "and, given an image kind and a save path, the charts. given (one boolean per "
                                            "date, or None) is passed to calc_strategy_vwap_daily_return: the hold "
                                            "rule."});

/// Annualisation of the per-benchmark summary.
static constexpr int kYearDays = 252;

/// The summary row of one benchmark (ratios, annualised by 252 days): the benchmark
/// on the strategy's dates with missing dates 0, and the excess over it with a NaN
/// on one side counted as 0.
static nb::dict benchmark_row(nb::handle name, nb::handle bm_daily, nb::handle daily_return, nb::handle dates) {
    nb::object bm_aligned = bm_daily.attr("reindex")(dates, "fill_value"_a = 0.0);
    nb::object excess_daily = daily_return.attr("sub")(bm_aligned, "fill_value"_a = 0);
    nb::object excess_cum = excess_daily.attr("cumsum")();
    nb::object excess_sharpe = attr("safe_sharpe")(excess_daily, "periods"_a = 252);
    nb::dict row;
    row["benchmark_name"] = name;
    row["benchmark_annual_return"] = bm_aligned.attr("mean")() * nb::int_(kYearDays);
    row["excess_annual_return"] = excess_daily.attr("mean")() * nb::int_(kYearDays);
    row["excess_sharpe"] = excess_sharpe;
    row["excess_max_dd"] = (excess_cum - excess_cum.attr("cummax")()).attr("min")();
    return row;
}

static nb::object run_strategy_backtest_core(const args::Bound &a) {
    nb::object pd = attr("pd");
    nb::object strategy_matrix = a.obj("strategy_matrix");
    const long long rolling_window = a.i64("rolling_window");
    nb::object benchmark_names = a.obj("benchmark_names");

    // 0. After the argument rules, the value checks every backtest door shares:
    // capital, fees, window, the weights' dates, labels and values, buy prices.
    module_attr("tessary.backtest._checks", "check_engine_inputs")(
        strategy_matrix, a.obj("can_buy_stock"), a.obj("buy_price"), "rolling_window"_a = rolling_window,
        "total_money"_a = a.obj("total_money"), "fee"_a = a.obj("fee"), "rule_fee"_a = a.obj("rule_fee"));

    // 1. Smoothing of the traded weights.
    nb::object work_matrix =
        rolling_window > 0 ? smoothed_frame(strategy_matrix, rolling_window, attr("np"), attr("pd")) : strategy_matrix;

    // 2. Daily returns; lot_size keeps its default.
    // The hold rule's flags are passed on only when given.
    nb::dict vwap_args;
    vwap_args["signal_matrix"] = work_matrix;
    for (const char *name : {"can_buy_stock", "cant_sell_stock", "split_factor", "dividend_factor", "close_price",
                             "prev_close", "buy_price", "sell_price", "total_money", "fee", "rule_fee"})
        vwap_args[name] = a.obj(name);
    if (!a.is_none("given")) vwap_args["given"] = a.obj("given");
    nb::object daily_return = attr("calc_strategy_vwap_daily_return")(**vwap_args);

    // 3-4. Arithmetic net value and the statistics frame (benchmark zeros until the
    // primary benchmark is found).
    nb::object cumulative_return = daily_return.attr("cumsum")() + nb::int_(1);
    nb::dict frame_columns;
    frame_columns["daily_return"] = daily_return;
    frame_columns["index_daily_return"] = daily_return * nb::int_(0);
    nb::object total_frame = pd.attr("DataFrame")(frame_columns);

    // 5-6. One summary row per benchmark, in the dictionary's order.
    nb::object benchmark_summary = pd.attr("DataFrame")();
    nb::object benchmark_dict = a.obj("benchmark_dict");
    if (!benchmark_dict.is_none() && nb::len(benchmark_dict) > 0) {
        nb::object dates = daily_return.attr("index");
        nb::list rows;
        // A snapshot of the pairs, so a callee that changes the dict cannot break the loop.
        for (nb::handle item : nb::list(benchmark_dict.attr("items")())) {
            nb::object name = item[0];
            nb::object bm_daily = item[1];
            rows.append(benchmark_row(name, bm_daily, daily_return, dates));
            if (name.equal(benchmark_names))
                total_frame["index_daily_return"] = bm_daily.attr("reindex")(dates, "fill_value"_a = 0);
        }
        benchmark_summary = pd.attr("DataFrame")(rows);
    }

    // 7. Statistics of the primary benchmark's frame and the traded weights.
    nb::object stats = attr("calc_strategy_stats")(total_frame, work_matrix);

    // 8-9. Charts only when both a kind and a path are given; the weekly image goes
    // beside the main one.
    nb::dict plot_paths;
    nb::object image_kind = a.obj("plot_image_kind");
    nb::object save_path = a.obj("plot_save_path");
    if (!image_kind.is_none() && !save_path.is_none()) {
        nb::object main_path = attr("Path")(save_path);
        nb::object weekly_name = main_path.attr("stem") + nb::str("_weekly_net_value") + main_path.attr("suffix");
        nb::object weekly_path = main_path.attr("with_name")(weekly_name);
        attr("plot_strategy_performance")(
            "daily_return"_a = daily_return, "cumulative_return"_a = cumulative_return,
            "benchmark_daily_return"_a = total_frame["index_daily_return"], "stats"_a = stats,
            "strategy_name"_a = a.obj("strategy_name"), "plot_title"_a = a.obj("plot_title"),
            "save_path"_a = main_path, "image_kind"_a = image_kind, "benchmark_name"_a = benchmark_names);
        attr("plot_weekly_net_value")(
            "daily_return"_a = daily_return, "cumulative_return"_a = cumulative_return,
            "benchmark_daily_return"_a = total_frame["index_daily_return"],
            "strategy_name"_a = a.obj("strategy_name"), "plot_title"_a = a.obj("plot_title"),
            "save_path"_a = weekly_path, "image_kind"_a = image_kind, "benchmark_name"_a = benchmark_names);
        plot_paths["main"] = nb::str(main_path);
        plot_paths["weekly_net_value"] = nb::str(weekly_path);
    }

    // 10.
    return attr("_PnlEngineResult")("strategy_name"_a = a.obj("strategy_name"), "daily_return"_a = daily_return,
                                     "cumulative_return"_a = cumulative_return, "stats"_a = stats,
                                     "benchmark_summary"_a = benchmark_summary, "plot_paths"_a = plot_paths);
}

void init_pipeline(nb::module_ &m) {
    def_bound(m, kPipelineSig, run_strategy_backtest_core);
}

}  // namespace tessary::pnl
