// The time-series panels of the strategy performance figure: cumulative return with
// the drawdowns behind it, excess return with its drawdown, and the drawdown panel.
#include "pnl_engine/performance_panels.hpp"

namespace tessary::pnl::charts {

using namespace nb::literals;

/// Finishes a return panel with a drawdown twin: the zero line, the title, both
/// axes' labels with their values in percent, and one legend of both.
static void finish_return_panel(nb::handle ax, nb::handle twin, const PanelContext &ctx, const char *title,
                                const char *ylabel) {
    ax.attr("axhline")(0, "color"_a = color::zero_line, "linewidth"_a = 0.8);
    ax.attr("set_title")(title, "pad"_a = ctx.pad);
    ax.attr("set_ylabel")(ylabel);
    percent_axis(ctx.mpl, ax.attr("yaxis"));

    twin.attr("set_ylabel")("Drawdown");
    percent_axis(ctx.mpl, twin.attr("yaxis"));
    merged_legend(ax, twin, "upper left");
}

void draw_cumulative_panel(nb::handle ax, const PanelContext &ctx) {
    const PerformanceData &d = ctx.data;
    nb::object bench_dd_label = nb::borrow<nb::str>(ctx.benchmark_name) + nb::str(" Drawdown");

    ax.attr("plot")(d.x, d.strategy_cum, "color"_a = color::strategy, "linewidth"_a = 2.4, "label"_a = "Strategy");
    ax.attr("plot")(d.x, d.benchmark_cum, "color"_a = color::benchmark, "linewidth"_a = 1.7, "linestyle"_a = "--",
                    "label"_a = ctx.benchmark_name);

    // The drawdown fills live on a twin axis placed behind the return lines.
    nb::object twin = ax.attr("twinx")();
    twin.attr("set_zorder")(ax.attr("get_zorder")() - nb::int_(1));
    ax.attr("patch").attr("set_visible")(false);
    twin.attr("fill_between")(d.x, d.strategy_dd, 0, "color"_a = color::strategy_fill, "alpha"_a = 0.28,
                              "zorder"_a = 0, "label"_a = "Strategy Drawdown");
    twin.attr("fill_between")(d.x, d.benchmark_dd, 0, "color"_a = color::benchmark_fill, "alpha"_a = 0.24,
                              "zorder"_a = 0, "label"_a = bench_dd_label);
    twin.attr("grid")(false);
    twin.attr("spines")["top"].attr("set_visible")(false);

    finish_return_panel(ax, twin, ctx, "Cumulative Return", "Return");
}

void draw_excess_panel(nb::handle ax, const PanelContext &ctx) {
    const PerformanceData &d = ctx.data;
    ax.attr("plot")(d.x, d.excess_cum_norm, "color"_a = color::excess, "linewidth"_a = 2.2,
                    "label"_a = "Excess Return");

    nb::object twin = ax.attr("twinx")();
    twin.attr("fill_between")(d.x, d.excess_dd, 0, "color"_a = color::excess_fill, "alpha"_a = 0.34,
                              "label"_a = "Excess Drawdown");

    finish_return_panel(ax, twin, ctx, "Excess Return & Drawdown", "Excess Return");
    if (!ctx.is_long) compact_date_axis(ax);  // one column wide in the landscape layout
}

void draw_drawdown_panel(nb::handle ax, const PanelContext &ctx) {
    const PerformanceData &d = ctx.data;
    ax.attr("fill_between")(d.x, d.strategy_dd, 0, "color"_a = color::strategy_fill, "alpha"_a = 0.62,
                            "label"_a = "Strategy Drawdown");
    ax.attr("plot")(d.x, d.excess_dd, "color"_a = color::excess, "linewidth"_a = 1.7, "label"_a = "Excess Drawdown");
    ax.attr("axhline")(0, "color"_a = color::zero_line, "linewidth"_a = 0.8);
    ax.attr("set_title")("Drawdown", "pad"_a = ctx.pad);
    percent_axis(ctx.mpl, ax.attr("yaxis"));
    ax.attr("legend")("loc"_a = "lower left", "frameon"_a = true, "framealpha"_a = 0.92);
    if (!ctx.is_long) compact_date_axis(ax);
}

}  // namespace tessary::pnl::charts
