// Shared pieces of the report figures: plotting-library setup, the colour palette,
// common axes styling and saving.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <initializer_list>

namespace tessary::pnl::charts {

namespace nb = nanobind;

/// The palette shared by every panel: strategy blue, benchmark near-black, excess red.
namespace color {
inline constexpr const char *strategy = "#2563eb";
inline constexpr const char *benchmark = "#111827";
inline constexpr const char *excess = "#ef4444";
inline constexpr const char *strategy_fill = "#bfdbfe";
inline constexpr const char *benchmark_fill = "#d1d5db";
inline constexpr const char *excess_fill = "#fecaca";
inline constexpr const char *zero_line = "#94a3b8";
inline constexpr const char *rolling_sharpe = "#7c3aed";
inline constexpr const char *rolling_win = "#16a34a";
inline constexpr const char *excess_label = "#991b1b";
inline constexpr const char *kpi_value = "#0f172a";
inline constexpr const char *kpi_label = "#64748b";
inline constexpr const char *kpi_border = "#d6dbe6";
inline constexpr const char *grid = "#e5e7eb";
inline constexpr const char *table_text = "#0f172a";  // table headers and titles
inline constexpr const char *cell_border = "#e2e8f0";
inline constexpr const char *header_fill = "#eef2ff";
inline constexpr const char *even_row_fill = "#f8fafc";
inline constexpr const char *axes_face = "#fbfbfd";
inline constexpr const char *table_strategy_text = "#1d4ed8";
inline constexpr const char *table_excess_text = "#b91c1c";
}  // namespace color

/// The plotting-library objects a figure draws with, imported by `setup_plotting`.
struct Plotting {
    nb::object pyplot;
    nb::object percent_formatter;  // matplotlib.ticker.PercentFormatter
    nb::object max_n_locator;      // matplotlib.ticker.MaxNLocator
};

enum class FigureKind { Performance, Weekly };

/// Imports matplotlib, selects the non-interactive "Agg" backend, applies the
/// whitegrid style sheet (a library without it keeps its current style) and sets the
/// figure's rcParams. Runs on every figure call: the settings are process-wide and
/// another figure may have changed them.
Plotting setup_plotting(FigureKind kind);

/// `PercentFormatter(1.0)` as the major formatter of `axis` (1.0 reads 100%).
void percent_axis(const Plotting &mpl, nb::handle axis);

/// The light grid and hidden top/right spines of a chart panel.
void style_chart_axes(nb::handle ax);

/// One legend on `ax` listing the entries of `ax` followed by those of `twin`.
void merged_legend(nb::handle ax, nb::handle twin, const char *loc);

/// Short date labels ("Mar", "2016", the year given once beside the axis) for a
/// panel one grid column wide, where the library's default labels ("2015-03")
/// run into each other.
void compact_date_axis(nb::handle ax);

/// Makes a table readable where its texts are wider than their cells: the text of
/// each cell in rows `first_row` to `last_row` that does not fit its cell is broken
/// at `separator` into lines that do, and its row is made tall enough for them.
/// Widths are measured at the axes' current size (in the figures, never larger than
/// after layout). Returns the table's height as a fraction of the axes height.
double fit_table_cells(nb::handle ax, nb::handle table, long first_row, long last_row, const char *separator);

/// `ax.set_title(text, **style)` for a table panel. A table taller than the axes it
/// is centred in would cover a title at the top of the axes, so the title is then
/// placed just above the table instead.
void table_title(nb::handle ax, const char *text, double table_height, nb::dict style);

/// A contiguous float64 numpy array of `obj`'s values (no copy when it already is one).
nb::object float_values(nb::handle obj);

inline constexpr std::size_t kAnyLength = (std::size_t)-1;

/// Pointer to the data of a 1-D contiguous float64 array made by `float_values` or
/// `new_float_array`, valid while the array lives; a ValueError for anything else,
/// and for a length other than `n` unless `n` is kAnyLength.
const double *float_data(nb::handle array, std::size_t n = kAnyLength);

/// Closes the figure when drawing or saving fails, so that a failed call leaves no
/// figure behind in pyplot's registry. `release()` after the figure was closed.
class FigureGuard {
public:
    FigureGuard(nb::handle pyplot, nb::handle fig) : pyplot_(pyplot), fig_(fig) {}
    FigureGuard(const FigureGuard &) = delete;
    FigureGuard &operator=(const FigureGuard &) = delete;
    ~FigureGuard();
    void release() { fig_ = nb::handle(); }

private:
    nb::handle pyplot_, fig_;
};

/// Saves `fig` to `save_path` and closes it. Portrait figures get fixed margins and
/// 145 dpi; landscape figures a tight bounding box and 175 dpi. Both are saved with
/// the figure's own face colour.
struct Margins {
    double left, right, top, bottom;
};
void save_and_close(const Plotting &mpl, nb::handle fig, nb::handle save_path, bool is_long,
                    const Margins &portrait_margins);

/// The end of a figure: `chart_axes` styled (style_chart_axes), the figure saved and
/// closed (save_and_close), and `guard` released.
void finish_figure(const Plotting &mpl, FigureGuard &guard, nb::handle fig, std::initializer_list<nb::handle> chart_axes,
                   nb::handle save_path, bool is_long, const Margins &portrait_margins);

/// True when `image_kind` is exactly "long" (the portrait layout); any other
/// value, differently cased ones included, selects the landscape layout.
bool is_long_layout(nb::handle image_kind);

/// Display widths (in columns; an East Asian wide character takes two) up to which
/// user texts are drawn: the title's strategy name or title (portrait and landscape
/// layouts), and the benchmark name wherever it appears. Even in the widest letters
/// the portrait title then fits its fixed page, and the landscape one, saved with a
/// tight box, stays about as wide as the figure: a long text never grows the image.
inline constexpr size_t title_text_width_long = 30;
inline constexpr size_t title_text_width_large = 56;
inline constexpr size_t benchmark_text_width = 12;

/// `text` (a str) with control characters as blanks, cut to at most `max_width`
/// display columns and then ending in "…"; the same str object when nothing changes.
nb::str bounded_text(nb::handle text, size_t max_width);

/// The title text of both figures: `plot_title` when it is a non-empty str, else
/// `strategy_name`, then " | Benchmark <benchmark_name> | <suffix>"; the name and
/// the benchmark bounded by `bounded_text` to the widths of the layout.
nb::object figure_title(nb::handle plot_title, nb::handle strategy_name, nb::handle benchmark_name,
                        const char *suffix, bool is_long);

}  // namespace tessary::pnl::charts
