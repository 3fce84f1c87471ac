// The text panels of the strategy performance figure: the KPI card strip and the
// statistics summary table, both filled from the statistics dictionary.
#include "pnl_engine/module.hpp"
#include "pnl_engine/performance_panels.hpp"

namespace tessary::pnl::charts {

using namespace nb::literals;

namespace {

struct Card {
    const char *label;
    const char *key;
    const char *formatter;
};

constexpr Card kCards[] = {
    {"Strategy Ann.", "annual_return", "_format_pct_points"},
    {"Strategy Sharpe", "long_sharp", "_format_num"},
    {"Strategy Max DD", "max_dd", "_format_pct_points"},
    {"Excess Ann.", "extra_annual_return", "_format_pct_points"},
    {"Excess Sharpe", "extra_sharp", "_format_num"},
    {"Excess Max DD", "extra_max_dd", "_format_pct_points"},
    {"Strategy Win", "win_rate", "_format_pct_points"},
    {"Excess Win", "excess_win_rate", "_format_pct_points"},
    {"Turnover", "turnover", "_format_pct_points"},
};

/// `stats.get(key)`: None for a missing key.
nb::object stat(nb::handle stats, const char *key) { return stats.attr("get")(key); }

nb::list row(const char *metric, nb::handle value) {
    nb::list r;
    r.append(metric);
    r.append(value);
    return r;
}

/// The ten (metric, value) rows of the summary table.
nb::list summary_rows(const PanelContext &ctx) {
    nb::handle stats = ctx.stats;
    const PerformanceData &d = ctx.data;
    nb::object fmt_points = attr("_format_pct_points");
    nb::object fmt_num = attr("_format_num");

    nb::object first = d.index.attr("min")().attr("strftime")("%Y-%m-%d");
    nb::object last = d.index.attr("max")().attr("strftime")("%Y-%m-%d");
    nb::object annual_excess;
    if (nb::len(d.yearly) > 0) {
        annual_excess = attr("_format_annual_excess")(d.yearly["excess"]);
    } else {
        nb::object empty = attr("pd").attr("Series")("dtype"_a = nb::module_::import_("builtins").attr("float"));
        annual_excess = attr("_format_annual_excess")(empty);
    }

    nb::list rows;
    rows.append(row("Date Range", first + nb::str(" ~ ") + last));
    rows.append(row("Trading Days", nb::str(nb::int_(d.n))));
    rows.append(row("Benchmark", ctx.benchmark_name));
    rows.append(row("Benchmark Ann.", fmt_points(stat(stats, "benchmark_annual_return"))));
    rows.append(row("Benchmark Sharpe", fmt_num(stat(stats, "benchmark_sharp"))));
    rows.append(row("Return Corr.", fmt_num(stat(stats, "return_corr"))));
    rows.append(row("Avg Holding", fmt_num(stat(stats, "holding_count"), 0)));
    rows.append(row("Turnover", fmt_points(stat(stats, "turnover"))));
    rows.append(row("Excess Win Rate", fmt_points(stat(stats, "excess_win_rate"))));
    rows.append(row("Annual Excess", annual_excess));
    return rows;
}

}  // namespace

nb::list build_kpi_cards(nb::handle stats) {
    nb::list cards;
    for (const Card &card : kCards) {
        nb::object value = attr(card.formatter)(stat(stats, card.key));
        cards.append(nb::make_tuple(card.label, value));
    }
    return cards;
}

void draw_kpi_cards(nb::handle ax, nb::handle cards) {
    ax.attr("axis")("off");
    nb::object transform = ax.attr("transAxes");
    const std::size_t n = nb::len(cards);
    for (std::size_t i = 0; i < n; ++i) {
        nb::object card = cards[i];
        const double x = ((double)i + 0.5) / (double)n;
        nb::dict box;
        box["boxstyle"] = "round,pad=0.34";
        box["facecolor"] = "white";
        box["edgecolor"] = color::kpi_border;
        box["linewidth"] = 1.0;
        ax.attr("text")(x, 0.6, card[1], "transform"_a = transform, "ha"_a = "center", "va"_a = "center",
                        "fontsize"_a = 13, "fontweight"_a = "bold", "color"_a = color::kpi_value, "bbox"_a = box);
        ax.attr("text")(x, 0.2, card[0], "transform"_a = transform, "ha"_a = "center", "va"_a = "center",
                        "fontsize"_a = 8.5, "color"_a = color::kpi_label);
    }
}

void draw_summary_table(nb::handle ax, const PanelContext &ctx) {
    nb::list rows = summary_rows(ctx);
    ax.attr("axis")("off");
    nb::list labels;
    labels.append("Metric");
    labels.append("Value");
    nb::list widths;
    widths.append(ctx.is_long ? 0.26 : 0.42);
    widths.append(ctx.is_long ? 0.74 : 0.58);
    nb::object table = ax.attr("table")("cellText"_a = rows, "colLabels"_a = labels, "loc"_a = "center",
                                        "cellLoc"_a = "left", "colLoc"_a = "left", "colWidths"_a = widths);
    table.attr("auto_set_font_size")(false);
    table.attr("set_fontsize")(9.4);
    table.attr("scale")(1.0, 1.28);
    for (auto [key, cell] : nb::borrow<nb::dict>(table.attr("get_celld")())) {
        const long r = nb::cast<long>(key[0]);
        cell.attr("set_edgecolor")(color::cell_border);
        if (r == 0) {
            cell.attr("set_text_props")("weight"_a = "bold", "color"_a = color::table_text);
            cell.attr("set_facecolor")(color::header_fill);
        } else {
            cell.attr("set_facecolor")(r % 2 == 1 ? "white" : color::even_row_fill);
        }
    }
    // The per-year excess list grows with the years covered: it wraps at its
    // separators rather than running out of the figure.
    const double height = fit_table_cells(ax, table, 1, (long)nb::len(rows), " | ");
    nb::dict style;
    style["pad"] = ctx.pad;
    table_title(ax, "Statistics", height, style);
}

}  // namespace tessary::pnl::charts
