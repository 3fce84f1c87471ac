// The panels of the strategy performance figure and the prepared data they read.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>

#include "pnl_engine/chart_style.hpp"

namespace tessary::pnl::charts {

/// Prepared values of the strategy performance figure, read by its panels.
struct PerformanceData {
    nb::object index;            // DatetimeIndex of the cleaned strategy returns
    nb::object x;                // the same dates as a numpy datetime64 array
    std::size_t n = 0;           // number of cleaned days
    nb::object strategy_cum;     // float arrays of n values, see kernels::PerformanceCurves
    nb::object benchmark_cum;
    nb::object strategy_dd;
    nb::object benchmark_dd;
    nb::object excess_daily;
    nb::object excess_cum_norm;
    nb::object excess_dd;
    nb::object yearly;           // DataFrame: year -> strategy, benchmark, excess sums
};

/// What every panel of the performance figure shares.
struct PanelContext {
    const Plotting &mpl;
    const PerformanceData &data;
    nb::handle benchmark_name;  // str
    nb::handle stats;           // dict
    nb::object pad;             // panel title pad: 12 in portrait, None in landscape
    bool is_long;
};

/// The nine (label, value text) KPI pairs, formatted from `stats`.
nb::list build_kpi_cards(nb::handle stats);
void draw_kpi_cards(nb::handle ax, nb::handle cards);
void draw_summary_table(nb::handle ax, const PanelContext &ctx);
void draw_cumulative_panel(nb::handle ax, const PanelContext &ctx);
void draw_excess_panel(nb::handle ax, const PanelContext &ctx);
void draw_drawdown_panel(nb::handle ax, const PanelContext &ctx);
void draw_yearly_return_panel(nb::handle ax, const PanelContext &ctx);
void draw_rolling_panel(nb::handle ax, const PanelContext &ctx);

}  // namespace tessary::pnl::charts
