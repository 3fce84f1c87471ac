// _plot_weekly_net_value_unlocked: weekly net values, weekly drawdowns and the
// yearly metrics table of one strategy.
#include "common/arrays.hpp"
#include "common/pyutil.hpp"
#include "pnl_engine/chart_style.hpp"
#include "pnl_engine/kernels/chart_data.hpp"
#include "pnl_engine/module.hpp"

namespace tessary::pnl {

using namespace nb::literals;
using args::Default;
using args::Kind;

namespace {

const args::Signature kWeeklySig("_plot_weekly_net_value_unlocked", chart_params(false),
                                 {"None",
                                  "Draws the weekly net value figure and saves it to save_path. Call only while "
                                  "holding _MATPLOTLIB_PLOT_LOCK; use plot_weekly_net_value otherwise."});

/// Yearly metrics of the daily strategy, benchmark and excess returns on the union
/// of both inputs' dates (days without any value dropped).
nb::object weekly_yearly_metrics(nb::handle daily_return, nb::handle benchmark_daily_return) {
    nb::object np = attr("np");
    nb::object pd = attr("pd");
    nb::dict columns;
    columns["daily_return"] = daily_return;
    columns["index_daily_return"] = benchmark_daily_return;
    nb::list infinities;
    infinities.append(np.attr("inf"));
    infinities.append(-np.attr("inf"));
    nb::object daily_df = pd.attr("DataFrame")(columns).attr("replace")(infinities, np.attr("nan"));
    nb::object extra = daily_df["daily_return"] - daily_df["index_daily_return"];
    daily_df = daily_df.attr("assign")("extra_daily_return"_a = extra);
    nb::object dated = attr("_with_datetime_index")(daily_df).attr("dropna")("how"_a = "all");
    return attr("_calc_yearly_performance_metrics")(dated);
}

/// A weekly net value column and its drawdown (net value minus its running maximum).
struct WeeklyLine {
    nb::object nav;
    nb::object drawdown;
};

WeeklyLine weekly_line(nb::handle weekly, const char *column) {
    WeeklyLine line;
    line.nav = charts::float_values(weekly[column]);
    const std::size_t n = nb::len(line.nav);
    double *dd = nullptr;
    line.drawdown = new_float_array(n, &dd);
    const double *nav = charts::float_data(line.nav);
    {
        nb::gil_scoped_release release;
        kernels::running_drawdown(nav, n, dd);
    }
    return line;
}

nb::object plot_weekly_net_value_unlocked(const args::Bound &a) {
    charts::Plotting mpl = charts::setup_plotting(charts::FigureKind::Weekly);
    nb::object daily_return = a.obj("daily_return");
    nb::object benchmark_daily_return = a.obj("benchmark_daily_return");

    nb::object weekly =
        attr("_build_weekly_net_value_frame")(daily_return, a.obj("cumulative_return"), benchmark_daily_return);
    if (nb::cast<bool>(weekly.attr("empty"))) return nb::none();

    nb::object yearly_metrics = weekly_yearly_metrics(daily_return, benchmark_daily_return);
    WeeklyLine strategy = weekly_line(weekly, "long");
    WeeklyLine benchmark = weekly_line(weekly, "close_net_value");
    WeeklyLine excess = weekly_line(weekly, "extra_net_value");
    nb::object x = weekly.attr("index").attr("to_numpy")();

    const bool is_long = charts::is_long_layout(a.obj("image_kind"));
    nb::object pyplot = mpl.pyplot;
    nb::object fig, ax_nav, ax_dd, ax_yearly_table;
    nb::list heights;
    if (is_long) {
        for (double h : {3.1, 1.45, 1.9}) heights.append(h);
        fig = pyplot.attr("figure")("figsize"_a = nb::make_tuple(15.5, 12.4), "constrained_layout"_a = false);
    } else {
        for (double h : {3.05, 1.75}) heights.append(h);
        fig = pyplot.attr("figure")("figsize"_a = nb::make_tuple(19.0, 9.2), "constrained_layout"_a = true);
    }
    charts::FigureGuard guard(pyplot, fig);
    if (is_long) {
        nb::object gs = fig.attr("add_gridspec")(3, 1, "height_ratios"_a = heights, "hspace"_a = 0.34);
        ax_nav = fig.attr("add_subplot")(gs[nb::make_tuple(0, 0)]);
        ax_dd = fig.attr("add_subplot")(gs[nb::make_tuple(1, 0)], "sharex"_a = ax_nav);
        ax_yearly_table = fig.attr("add_subplot")(gs[nb::make_tuple(2, 0)]);
    } else {
        nb::list widths;
        widths.append(2.25);
        widths.append(1.05);
        nb::object gs = fig.attr("add_gridspec")(2, 2, "height_ratios"_a = heights, "width_ratios"_a = widths);
        // The title is placed at a fixed height, which the layout does not make room
        // for by itself: keep the panels below it.
        fig.attr("get_layout_engine")().attr("set")("rect"_a = nb::make_tuple(0.0, 0.0, 1.0, 0.962));
        ax_nav = fig.attr("add_subplot")(gs[nb::make_tuple(0, nb::slice(nb::none(), nb::none(), nb::none()))]);
        ax_dd = fig.attr("add_subplot")(gs[nb::make_tuple(1, 0)], "sharex"_a = ax_nav);
        ax_yearly_table = fig.attr("add_subplot")(gs[nb::make_tuple(1, 1)]);
    }

    nb::object benchmark_name = a.obj("benchmark_name");
    nb::str bench = charts::bounded_text(benchmark_name, charts::benchmark_text_width);
    nb::object title =
        charts::figure_title(a.obj("plot_title"), a.obj("strategy_name"), benchmark_name, "Weekly Net Value", is_long);
    fig.attr("suptitle")(title, "fontsize"_a = 16, "fontweight"_a = "bold", "color"_a = charts::color::benchmark,
                         "y"_a = is_long ? 0.985 : 0.995);

    namespace color = charts::color;
    ax_nav.attr("plot")(x, strategy.nav, "color"_a = color::strategy, "linewidth"_a = 2.4, "label"_a = "Strategy NAV");
    ax_nav.attr("plot")(x, benchmark.nav, "color"_a = color::benchmark, "linewidth"_a = 1.8, "linestyle"_a = "--",
                        "label"_a = bench + nb::str(" NAV"));
    ax_nav.attr("plot")(x, excess.nav, "color"_a = color::excess, "linewidth"_a = 2.0, "alpha"_a = 0.92,
                        "label"_a = "Excess NAV");
    ax_nav.attr("axhline")(1.0, "color"_a = color::zero_line, "linewidth"_a = 0.9);
    ax_nav.attr("set_ylabel")("Net Value");
    ax_nav.attr("set_title")("Weekly Net Value");
    ax_nav.attr("legend")("loc"_a = "best", "frameon"_a = true, "framealpha"_a = 0.92);

    ax_dd.attr("fill_between")(x, strategy.drawdown, 0, "color"_a = color::strategy_fill, "alpha"_a = 0.58,
                               "label"_a = "Strategy Drawdown");
    ax_dd.attr("plot")(x, benchmark.drawdown, "color"_a = color::benchmark, "linewidth"_a = 1.25, "alpha"_a = 0.76,
                       "label"_a = bench + nb::str(" Drawdown"));
    ax_dd.attr("plot")(x, excess.drawdown, "color"_a = color::excess, "linewidth"_a = 1.45, "alpha"_a = 0.86,
                       "label"_a = "Excess Drawdown");
    ax_dd.attr("axhline")(0, "color"_a = color::zero_line, "linewidth"_a = 0.8);
    ax_dd.attr("set_title")("Weekly Drawdown");
    ax_dd.attr("set_ylabel")("Drawdown");
    charts::percent_axis(mpl, ax_dd.attr("yaxis"));
    ax_dd.attr("legend")("loc"_a = "lower left", "frameon"_a = true, "framealpha"_a = 0.92, "ncol"_a = 3);

    attr("_draw_yearly_metrics_table")(ax_yearly_table, yearly_metrics, "compact"_a = !is_long);

    charts::finish_figure(mpl, guard, fig, {ax_nav, ax_dd}, a.obj("save_path"), is_long, {0.065, 0.965, 0.94, 0.055});
    return nb::none();
}

}  // namespace

void init_figure_weekly(nb::module_ &m) {
    def_bound(m, kWeeklySig, plot_weekly_net_value_unlocked);
}

}  // namespace tessary::pnl
