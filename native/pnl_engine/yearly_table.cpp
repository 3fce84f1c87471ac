// _draw_yearly_metrics_table: the per-year strategy and excess metrics as a table.
#include <string>

#include "common/pyutil.hpp"
#include "pnl_engine/chart_style.hpp"
#include "pnl_engine/module.hpp"

namespace tessary::pnl {

using namespace nb::literals;
using args::Default;
using args::Kind;

namespace {

const args::Signature kYearlyTableSig("_draw_yearly_metrics_table",
                                      {{"ax", "typing.Any"},
                                       {"yearly_metrics", "pandas.DataFrame"},
                                       {"compact", Kind::Bool, Default::of(false), true}},
                                      {"None",
                                       "Draws the yearly metrics frame on `ax` as a nine-column table (strategy "
                                       "columns blue, excess red); `compact` selects the smaller variant of the wide "
                                       "figure."});

/// Column of the frame, its formatter's module name, and the header text.
struct MetricColumn {
    const char *column;
    const char *formatter;
    const char *header;
};

constexpr MetricColumn kColumns[] = {
    {"strategy_return", "_format_pct", "Strategy Return"}, {"strategy_sharpe", "_format_num", "Strategy Sharpe"},
    {"strategy_max_dd", "_format_pct", "Strategy Max DD"}, {"strategy_calmar", "_format_num", "Strategy Calmar"},
    {"excess_return", "_format_pct", "Excess Return"},     {"excess_sharpe", "_format_num", "Excess Sharpe"},
    {"excess_max_dd", "_format_pct", "Excess Max DD"},     {"excess_calmar", "_format_num", "Excess Calmar"},
};

/// `values` as a new list of exactly `n` items (one per year), or a clear error: the
/// rows are indexed below without bounds checks of their own.
static nb::list year_list(nb::handle values, std::size_t n, const char *what) {
    PyObject *list = PySequence_List(values.ptr());  // TypeError for a non-sequence
    if (list == nullptr) throw nb::python_error();
    nb::list result = nb::steal<nb::list>(list);
    if (nb::len(result) != n)
        throw nb::value_error((std::string("yearly metrics: ") + what + " has " + std::to_string(nb::len(result)) +
                               " values for " + std::to_string(n) + " years").c_str());
    return result;
}

nb::object draw_yearly_metrics_table(const args::Bound &a) {
    nb::object ax = a.obj("ax");
    nb::object yearly = a.obj("yearly_metrics");
    const bool compact = a.flag("compact");

    ax.attr("axis")("off");
    const std::size_t n_years = nb::len(yearly);
    if (n_years == 0) {
        ax.attr("text")(0.5, 0.5, "No yearly metric data", "transform"_a = ax.attr("transAxes"), "ha"_a = "center",
                        "va"_a = "center");
        return nb::none();
    }

    // Cell texts, one row per year in the frame's (ascending) order. The column
    // values are read once as Python lists; the formatters are looked up per call of
    // this function so that a replaced formatter is honoured.
    nb::object builtins = nb::module_::import_("builtins");
    nb::object to_int = builtins.attr("int");
    nb::list years = year_list(yearly.attr("index"), n_years, "the index");
    nb::list values[std::size(kColumns)];
    nb::object formatters[std::size(kColumns)];
    for (std::size_t c = 0; c < std::size(kColumns); ++c) {
        values[c] = year_list(yearly[kColumns[c].column], n_years, kColumns[c].column);
        formatters[c] = attr(kColumns[c].formatter);
    }
    nb::list cell_text;
    for (std::size_t r = 0; r < n_years; ++r) {
        nb::list row;
        row.append(nb::str(to_int(years[r])));
        for (std::size_t c = 0; c < std::size(kColumns); ++c) row.append(formatters[c](values[c][r]));
        cell_text.append(row);
    }

    nb::list headers, widths;
    headers.append("Year");
    widths.append(0.08);
    for (const MetricColumn &col : kColumns) {
        headers.append(col.header);
        widths.append(0.115);
    }

    nb::object table = ax.attr("table")("cellText"_a = cell_text, "colLabels"_a = headers, "loc"_a = "center",
                                        "cellLoc"_a = "center", "colLoc"_a = "center", "colWidths"_a = widths);
    table.attr("auto_set_font_size")(false);
    table.attr("set_fontsize")(compact ? 7.4 : 8.4);
    table.attr("scale")(1.0, compact ? 1.08 : 1.24);

    for (auto [key, cell] : nb::borrow<nb::dict>(table.attr("get_celld")())) {
        const long row = nb::cast<long>(key[0]);
        const long col = nb::cast<long>(key[1]);
        cell.attr("set_edgecolor")(charts::color::cell_border);
        if (row == 0) {
            cell.attr("set_text_props")("weight"_a = "bold", "color"_a = charts::color::table_text);
            cell.attr("set_facecolor")(charts::color::header_fill);
            continue;
        }
        cell.attr("set_facecolor")(row % 2 == 1 ? "white" : charts::color::even_row_fill);
        if (col >= 1 && col <= 4)
            cell.attr("set_text_props")("color"_a = charts::color::table_strategy_text);
        else if (col >= 5 && col <= 8)
            cell.attr("set_text_props")("color"_a = charts::color::table_excess_text);
    }

    // Headers wider than their column (a narrow axes) go onto two lines.
    const double height = charts::fit_table_cells(ax, table, 0, 0, " ");
    nb::dict style;
    style["fontsize"] = compact ? 10.4 : 11.5;
    style["color"] = charts::color::table_text;
    style["pad"] = compact ? 6 : 8;
    charts::table_title(ax, "Yearly Strategy & Excess Metrics", height, style);
    return nb::none();
}

}  // namespace

void init_yearly_table(nb::module_ &m) {
    def_bound(m, kYearlyTableSig, draw_yearly_metrics_table);
}

}  // namespace tessary::pnl
