// _plot_strategy_performance_unlocked: the one-page strategy performance report
// (KPI cards, return, excess, yearly, rolling and drawdown panels, two tables).
#include <cstdint>

#include <nanobind/ndarray.h>

#include "common/arrays.hpp"
#include "common/pyutil.hpp"
#include "pnl_engine/kernels/chart_data.hpp"
#include "pnl_engine/module.hpp"
#include "pnl_engine/performance_panels.hpp"

namespace tessary::pnl {

using namespace nb::literals;
using args::Default;
using args::Kind;

namespace {

const args::Signature kPerformanceSig("_plot_strategy_performance_unlocked", chart_params(true),
                                      {"None",
                                       "Draws the strategy performance report and saves it to save_path. Call only "
                                       "while holding _MATPLOTLIB_PLOT_LOCK; use plot_strategy_performance "
                                       "otherwise."});

/// The values of `series` without +-inf and NaN entries (index kept).
nb::object finite_entries(nb::handle series) {
    nb::object np = attr("np");
    nb::list infinities;
    infinities.append(np.attr("inf"));
    infinities.append(-np.attr("inf"));
    return series.attr("replace")(infinities, np.attr("nan")).attr("dropna")();
}

/// Benchmark returns on the cleaned strategy dates, a missing date counting as 0.
/// Dates are matched on the converted datetime index; a benchmark whose labels are
/// not datetimes is also matched on the strategy's own labels, so that a strategy and
/// a benchmark that share "YYYYMMDD" dates (as the prepared data carries them) are
/// aligned rather than read as a benchmark without any date.
nb::object align_benchmark(nb::handle benchmark, nb::handle daily_kept, nb::handle index) {
    nb::object pd = attr("pd");
    nb::object aligned = benchmark.attr("reindex")(index);
    nb::handle bench_index = benchmark.attr("index");
    if (!nb::isinstance(bench_index, pd.attr("DatetimeIndex")) &&
        !nb::isinstance(daily_kept.attr("index"), pd.attr("DatetimeIndex"))) {
        nb::object by_label = benchmark.attr("reindex")(daily_kept.attr("index")).attr("to_numpy")();
        aligned = aligned.attr("where")(aligned.attr("notna")(), by_label);
    }
    return aligned.attr("fillna")(0.0);
}

/// Curves, yearly sums and the frame of the yearly metrics, from the cleaned series.
charts::PerformanceData prepare(nb::handle daily_clean, nb::handle cumulative_clean, nb::handle benchmark_clean,
                                nb::object &daily_metrics_df) {
    nb::object pd = attr("pd");
    charts::PerformanceData d;
    d.index = daily_clean.attr("index");
    d.x = d.index.attr("to_numpy")();
    d.n = nb::len(d.index);
    const std::size_t n = d.n;

    nb::object daily = charts::float_values(daily_clean);
    nb::object cumulative = charts::float_values(cumulative_clean);
    nb::object benchmark = charts::float_values(benchmark_clean);
    // Calendar year of every date; a missing date (NaT) has none and stays out of the
    // yearly sums instead of becoming a bogus year.
    nb::object np = attr("np");
    nb::object year_f = np.attr("asarray")(d.index.attr("year"), "dtype"_a = "float64");
    nb::object years_obj = np.attr("ascontiguousarray")(
        np.attr("where")(np.attr("isnan")(year_f), (double)kernels::kNoYear, year_f), "dtype"_a = "int64");
    auto years = nb::cast<nb::ndarray<const std::int64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>>(years_obj);

    kernels::PerformanceCurves c{};
    d.strategy_cum = new_float_array(n, &c.strategy_cum);
    nb::object benchmark_nav = new_float_array(n, &c.benchmark_nav);
    d.benchmark_cum = new_float_array(n, &c.benchmark_cum);
    d.strategy_dd = new_float_array(n, &c.strategy_dd);
    d.benchmark_dd = new_float_array(n, &c.benchmark_dd);
    d.excess_daily = new_float_array(n, &c.excess_daily);
    d.excess_cum_norm = new_float_array(n, &c.excess_cum_norm);
    d.excess_dd = new_float_array(n, &c.excess_dd);
    double *scratch = nullptr;
    nb::object scratch_arr = new_float_array(n, &scratch);

    std::int64_t *year_keys = nullptr;
    nb::object year_keys_arr = attr("np").attr("empty")(n, "dtype"_a = "int64");
    year_keys = nb::cast<nb::ndarray<std::int64_t, nb::ndim<1>, nb::c_contig>>(year_keys_arr).data();
    double *sums[3];
    nb::object sum_arrs[3];
    for (int k = 0; k < 3; ++k) sum_arrs[k] = new_float_array(n, &sums[k]);

    // All three are read for n days by the kernels below: check before handing over.
    const double *daily_p = charts::float_data(daily, n);
    const double *cum_p = charts::float_data(cumulative, n);
    const double *bench_p = charts::float_data(benchmark, n);
    const std::int64_t *years_p = years.data();
    std::size_t n_years = 0;
    {
        nb::gil_scoped_release release;
        kernels::performance_curves(daily_p, cum_p, bench_p, n, c, scratch);
        const double *cols[3] = {daily_p, bench_p, c.excess_daily};
        n_years = kernels::yearly_sums(years_p, n, cols, 3, year_keys, sums);
    }

    nb::slice first_years(nb::int_(0), nb::int_(n_years), nb::none());
    nb::dict columns;
    columns["strategy"] = sum_arrs[0][first_years];
    columns["benchmark"] = sum_arrs[1][first_years];
    columns["excess"] = sum_arrs[2][first_years];
    d.yearly = pd.attr("DataFrame")(columns, "index"_a = pd.attr("Index")(year_keys_arr[first_years]));

    nb::dict metrics;
    metrics["daily_return"] = daily;
    metrics["index_daily_return"] = benchmark;
    metrics["extra_daily_return"] = d.excess_daily;
    daily_metrics_df = pd.attr("DataFrame")(metrics, "index"_a = d.index);
    return d;
}

nb::object plot_strategy_performance_unlocked(const args::Bound &a) {
    charts::Plotting mpl = charts::setup_plotting(charts::FigureKind::Performance);
    nb::object with_dt = attr("_with_datetime_index");

    nb::object daily_kept = finite_entries(a.obj("daily_return"));
    nb::object daily_clean = with_dt(daily_kept);
    nb::object cumulative_clean = with_dt(finite_entries(a.obj("cumulative_return")));
    if (nb::len(daily_clean) == 0 || nb::len(cumulative_clean) == 0) return nb::none();

    nb::object index = daily_clean.attr("index");
    cumulative_clean = cumulative_clean.attr("reindex")(index).attr("ffill")().attr("bfill")();
    nb::object benchmark_clean = align_benchmark(a.obj("benchmark_daily_return"), daily_kept, index);

    nb::object daily_metrics_df;
    charts::PerformanceData data = prepare(daily_clean, cumulative_clean, benchmark_clean, daily_metrics_df);
    nb::object yearly_metrics = attr("_calc_yearly_performance_metrics")(daily_metrics_df);

    nb::object stats = a.obj("stats");
    nb::list cards = charts::build_kpi_cards(stats);

    const bool is_long = charts::is_long_layout(a.obj("image_kind"));
    nb::object pyplot = mpl.pyplot;
    nb::object fig;
    nb::object gs;
    nb::list heights;
    if (is_long) {
        for (double h : {0.7, 3.2, 3.0, 2.7, 2.7, 1.5, 2.0}) heights.append(h);
        fig = pyplot.attr("figure")("figsize"_a = nb::make_tuple(15.5, 34.0), "constrained_layout"_a = false);
    } else {
        for (double h : {0.62, 2.55, 2.15, 1.6}) heights.append(h);
        fig = pyplot.attr("figure")("figsize"_a = nb::make_tuple(20.0, 13.2), "constrained_layout"_a = true);
    }
    charts::FigureGuard guard(pyplot, fig);
    if (is_long) {
        gs = fig.attr("add_gridspec")(7, 2, "height_ratios"_a = heights, "hspace"_a = 0.42, "wspace"_a = 0.22);
    } else {
        nb::list widths;
        for (double w : {1.05, 1.05, 1.0}) widths.append(w);
        gs = fig.attr("add_gridspec")(4, 3, "height_ratios"_a = heights, "width_ratios"_a = widths);
    }
    auto cell = [&](int row, int col_from, int col_to) {
        nb::object cols = col_to > col_from ? nb::object(nb::slice(nb::int_(col_from), nb::int_(col_to + 1), nb::none()))
                                            : nb::object(nb::int_(col_from));
        return fig.attr("add_subplot")(gs[nb::make_tuple(row, cols)]);
    };
    // The grid cell (row, first column, last column) of each panel in the portrait and
    // the landscape layout: cards, cumulative, excess, yearly, rolling, drawdown, table,
    // yearly table.
    static constexpr int kLongCells[8][3] = {{0, 0, 1}, {1, 0, 1}, {2, 0, 1}, {3, 0, 0},
                                             {3, 1, 1}, {4, 0, 1}, {5, 0, 1}, {6, 0, 1}};
    static constexpr int kWideCells[8][3] = {{0, 0, 2}, {1, 0, 1}, {1, 2, 2}, {2, 0, 0},
                                             {2, 1, 1}, {2, 2, 2}, {3, 0, 0}, {3, 1, 2}};
    const auto &cells = is_long ? kLongCells : kWideCells;
    nb::object axes[8];
    for (int i = 0; i < 8; ++i) axes[i] = cell(cells[i][0], cells[i][1], cells[i][2]);
    nb::object &ax_cards = axes[0], &ax_cum = axes[1], &ax_excess = axes[2], &ax_year = axes[3],
               &ax_rolling = axes[4], &ax_drawdown = axes[5], &ax_table = axes[6], &ax_yearly_table = axes[7];

    nb::object title = charts::figure_title(a.obj("plot_title"), a.obj("strategy_name"), a.obj("benchmark_name"),
                                            "Strategy Performance", is_long);
    fig.attr("suptitle")(title, "fontsize"_a = 17, "fontweight"_a = "bold", "color"_a = charts::color::benchmark,
                         "y"_a = is_long ? 0.986 : 0.997);

    nb::object benchmark_name = charts::bounded_text(a.obj("benchmark_name"), charts::benchmark_text_width);
    charts::PanelContext ctx{mpl, data, benchmark_name, stats, is_long ? nb::object(nb::int_(12)) : nb::none(),
                             is_long};
    charts::draw_kpi_cards(ax_cards, cards);
    charts::draw_cumulative_panel(ax_cum, ctx);
    charts::draw_excess_panel(ax_excess, ctx);
    charts::draw_yearly_return_panel(ax_year, ctx);
    charts::draw_rolling_panel(ax_rolling, ctx);
    charts::draw_drawdown_panel(ax_drawdown, ctx);
    charts::draw_summary_table(ax_table, ctx);
    attr("_draw_yearly_metrics_table")(ax_yearly_table, yearly_metrics, "compact"_a = !is_long);

    charts::finish_figure(mpl, guard, fig, {ax_cum, ax_excess, ax_year, ax_rolling, ax_drawdown}, a.obj("save_path"),
                          is_long, {0.06, 0.94, 0.965, 0.035});
    return nb::none();
}

}  // namespace

void init_figure_performance(nb::module_ &m) {
    def_bound(m, kPerformanceSig, plot_strategy_performance_unlocked);
}

}  // namespace tessary::pnl
