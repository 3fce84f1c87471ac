// The stability panels of the strategy performance figure: yearly return bars and
// the rolling excess Sharpe ratio and win rate.
#include <algorithm>
#include <cmath>
#include <string>

#include "common/arrays.hpp"
#include "pnl_engine/kernels/chart_data.hpp"
#include "pnl_engine/module.hpp"
#include "pnl_engine/performance_panels.hpp"

namespace tessary::pnl::charts {

using namespace nb::literals;

namespace {

/// Largest absolute value of the arrays, NaN ignored; NaN when none is defined.
double max_abs(const double *const *cols, std::size_t ncols, std::size_t n) {
    double best = std::nan("");
    for (std::size_t c = 0; c < ncols; ++c)
        for (std::size_t i = 0; i < n; ++i) {
            const double v = std::fabs(cols[c][i]);
            if (!std::isnan(v) && !(v <= best)) best = v;
        }
    return best;
}

nb::object centred_text(nb::handle ax, const char *text) {
    return ax.attr("text")(0.5, 0.5, text, "transform"_a = ax.attr("transAxes"), "ha"_a = "center",
                           "va"_a = "center");
}

}  // namespace

void draw_yearly_return_panel(nb::handle ax, const PanelContext &ctx) {
    nb::handle yearly = ctx.data.yearly;
    const std::size_t n_years = nb::len(yearly);
    if (n_years > 0) {
        nb::object np = attr("np");
        nb::list years;
        for (nb::handle year : yearly.attr("index")) years.append(nb::str(year));
        nb::object x = np.attr("arange")(n_years);
        const double width = 0.26;

        nb::object strategy = float_values(yearly["strategy"]);
        nb::object benchmark = float_values(yearly["benchmark"]);
        nb::object excess = float_values(yearly["excess"]);
        ax.attr("bar")(x - nb::float_(width), strategy, width, "label"_a = "Strategy", "color"_a = color::strategy,
                       "alpha"_a = 0.86);
        ax.attr("bar")(x, benchmark, width, "label"_a = ctx.benchmark_name, "color"_a = color::benchmark,
                       "alpha"_a = 0.72);
        nb::object excess_bars = ax.attr("bar")(x + nb::float_(width), excess, width, "label"_a = "Excess",
                                                "color"_a = color::excess, "alpha"_a = 0.82);

        const double *cols[3] = {float_data(strategy), float_data(benchmark), float_data(excess)};
        const double largest = max_abs(cols, 3, n_years);
        const double offset = std::isfinite(largest) ? std::max(largest * 0.025, 0.003) : 0.003;

        // Each excess bar carries its value just beyond its end.
        nb::object fmt_pct = attr("_format_pct");
        nb::list anchors;
        std::size_t i = 0;
        for (nb::handle bar : excess_bars) {
            if (i >= n_years) break;
            const double value = cols[2][i++];
            if (std::isnan(value)) continue;
            const bool up = value >= 0;
            const double bx = nb::cast<double>(bar.attr("get_x")()) + nb::cast<double>(bar.attr("get_width")()) / 2;
            const double by = up ? value + offset : value - offset;
            anchors.append(nb::make_tuple(bx, by));
            ax.attr("text")(bx, by, fmt_pct(value), "ha"_a = "center",
                            "va"_a = up ? "bottom" : "top", "fontsize"_a = 8.2, "color"_a = color::excess_label,
                            "rotation"_a = 90);
        }

        // The label gap is at least 0.3 percentage points; with small yearly values
        // that would put labels outside the panel, so their anchors count as data.
        if (nb::len(anchors) > 0) ax.attr("update_datalim")(anchors, "updatex"_a = false);
        ax.attr("margins")("y"_a = 0.22);
        ax.attr("set_xticks")(x);
        ax.attr("set_xticklabels")(years, "rotation"_a = 45, "ha"_a = "right");
        ax.attr("legend")("loc"_a = "best", "frameon"_a = true, "framealpha"_a = 0.92);
    } else {
        centred_text(ax, "No yearly data");
    }
    ax.attr("axhline")(0, "color"_a = color::zero_line, "linewidth"_a = 0.8);
    ax.attr("set_title")("Yearly Return", "pad"_a = ctx.pad);
    percent_axis(ctx.mpl, ax.attr("yaxis"));
    ax.attr("xaxis").attr("set_major_locator")(ctx.mpl.max_n_locator("integer"_a = true));
}

void draw_rolling_panel(nb::handle ax, const PanelContext &ctx) {
    const PerformanceData &d = ctx.data;
    const std::size_t n = d.n;
    const std::size_t full = nb::cast<std::size_t>(attr("ROLLING_STABILITY_DAYS"));
    const std::size_t least = nb::cast<std::size_t>(attr("MIN_ROLLING_STABILITY_DAYS"));
    const std::size_t roll_days = n >= full ? full : std::max(n / 3, least);

    if (n >= roll_days && roll_days > 1) {
        const double annual_sqrt = std::pow(nb::cast<double>(attr("TRADING_DAYS_PER_YEAR")), 0.5);
        const double *excess = float_data(d.excess_daily);
        double *sharpe = nullptr, *win = nullptr;
        nb::object sharpe_arr = new_float_array(n, &sharpe);
        nb::object win_arr = new_float_array(n, &win);
        {
            nb::gil_scoped_release release;
            kernels::rolling_excess_stability(excess, n, roll_days, annual_sqrt, sharpe, win);
        }
        const std::string days = std::to_string(roll_days);
        ax.attr("plot")(d.x, sharpe_arr, "color"_a = color::rolling_sharpe, "linewidth"_a = 2.0,
                        "label"_a = nb::str((days + "D Excess Sharpe").c_str()));
        ax.attr("axhline")(0, "color"_a = color::zero_line, "linewidth"_a = 0.8);

        nb::object twin = ax.attr("twinx")();
        twin.attr("plot")(d.x, win_arr, "color"_a = color::rolling_win, "linewidth"_a = 1.6, "alpha"_a = 0.8,
                          "label"_a = nb::str((days + "D Win Rate").c_str()));
        percent_axis(ctx.mpl, twin.attr("yaxis"));
        merged_legend(ax, twin, "best");
        compact_date_axis(ax);  // one column wide in both layouts
    } else {
        centred_text(ax, "Not enough data");
    }
    ax.attr("set_title")("Rolling Excess Stability", "pad"_a = ctx.pad);
}

}  // namespace tessary::pnl::charts
