// Registration entry points of the strategy-engine module, one per source file.
#pragma once

#include <nanobind/nanobind.h>

#include <vector>

#include "common/args.hpp"

namespace tessary::pnl {

namespace nb = nanobind;

/// Fully qualified name of this module, for call-time attribute lookups.
inline constexpr const char *kModule = "tessary.backtest._pnl_engine";

/// Module attribute `name`, looked up at call time (replaceable by callers/tests).
nb::object attr(const char *name);

void init_simd(nb::module_ &m);    // _SIMD, _SIMD_AVAILABLE; refuses an unusable TESSARY_SIMD
void init_frame(nb::module_ &m);   // imports, constants, plot lock, result record
void init_vwap(nb::module_ &m);    // calc_strategy_vwap_daily_return
void init_format(nb::module_ &m);  // _format_pct, _format_pct_points, _format_num, _format_annual_excess
void init_yearly(nb::module_ &m);  // _period_return_drawdown_calmar, _calc_yearly_performance_metrics
void init_weekly(nb::module_ &m);  // _build_weekly_net_value_frame
void init_stats(nb::module_ &m);   // calc_strategy_stats
void init_pipeline(nb::module_ &m);  // run_strategy_backtest_core
/// The parameters of a chart (charts_entry.cpp): the three return series, the
/// statistics when `stats`, then the strategy name, title, save path, image kind and
/// benchmark name. With `save_path` given, every one after the series has the public
/// function's default (the path being `save_path`); without, only the benchmark name.
std::vector<args::Param> chart_params(bool stats, const char *save_path = nullptr);

void init_charts(nb::module_ &m);              // plot_strategy_performance, plot_weekly_net_value
void init_yearly_table(nb::module_ &m);        // _draw_yearly_metrics_table
void init_figure_performance(nb::module_ &m);  // _plot_strategy_performance_unlocked
void init_figure_weekly(nb::module_ &m);       // _plot_weekly_net_value_unlocked

}  // namespace tessary::pnl
