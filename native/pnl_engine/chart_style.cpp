// Plotting-library setup, common axes styling and saving of the report figures.
#include <string>

#include "pnl_engine/chart_style.hpp"

#include <nanobind/ndarray.h>

#include <algorithm>
#include <cstring>
#include <map>

#include "pnl_engine/module.hpp"

namespace tessary::pnl::charts {

using namespace nb::literals;

namespace {

// CJK-capable families first, so that Chinese strategy names render; the library
// takes the first one installed and falls back to its own default otherwise.
constexpr const char *kPerformanceFonts[] = {"Noto Sans CJK SC", "Source Han Sans SC", "WenQuanYi Micro Hei",
                                             "SimHei",           "Arial Unicode MS",   "DejaVu Sans",
                                             "Liberation Sans",  "Ubuntu"};
constexpr std::size_t kWeeklyFontCount = 6;  // the first six of the list above

}  // namespace

Plotting setup_plotting(FigureKind kind) {
    nb::object matplotlib = nb::module_::import_("matplotlib");
    matplotlib.attr("use")("Agg");
    Plotting mpl;
    mpl.pyplot = nb::module_::import_("matplotlib.pyplot");
    nb::object ticker = nb::module_::import_("matplotlib.ticker");
    mpl.percent_formatter = ticker.attr("PercentFormatter");
    mpl.max_n_locator = ticker.attr("MaxNLocator");

    try {
        mpl.pyplot.attr("style").attr("use")("seaborn-v0_8-whitegrid");
    } catch (nb::python_error &e) {
        // A library without this style sheet draws with its current style. Only
        // ordinary exceptions are swallowed; KeyboardInterrupt and the like pass.
        if (!e.matches(PyExc_Exception)) throw;
    }

    const bool performance = kind == FigureKind::Performance;
    nb::list fonts;
    const std::size_t n_fonts = performance ? std::size(kPerformanceFonts) : kWeeklyFontCount;
    for (std::size_t i = 0; i < n_fonts; ++i) fonts.append(kPerformanceFonts[i]);

    nb::object rc = mpl.pyplot.attr("rcParams");
    rc["font.sans-serif"] = fonts;
    rc["axes.unicode_minus"] = false;
    if (performance) rc["axes.titleweight"] = "bold";
    rc["figure.facecolor"] = "white";
    rc["axes.facecolor"] = color::axes_face;
    return mpl;
}

void percent_axis(const Plotting &mpl, nb::handle axis) {
    axis.attr("set_major_formatter")(mpl.percent_formatter(1.0));
}

void style_chart_axes(nb::handle ax) {
    ax.attr("grid")(true, "color"_a = color::grid, "linewidth"_a = 0.75, "alpha"_a = 0.84);
    nb::object spines = ax.attr("spines");
    spines["top"].attr("set_visible")(false);
    spines["right"].attr("set_visible")(false);
}

void merged_legend(nb::handle ax, nb::handle twin, const char *loc) {
    nb::object own = ax.attr("get_legend_handles_labels")();
    nb::object other = twin.attr("get_legend_handles_labels")();
    nb::object handles = own[0] + other[0];
    nb::object labels = own[1] + other[1];
    ax.attr("legend")(handles, labels, "loc"_a = loc, "frameon"_a = true, "framealpha"_a = 0.92);
}

void compact_date_axis(nb::handle ax) {
    nb::object dates = nb::module_::import_("matplotlib.dates");
    nb::object locator = dates.attr("AutoDateLocator")();
    nb::object xaxis = ax.attr("xaxis");
    xaxis.attr("set_major_locator")(locator);
    xaxis.attr("set_major_formatter")(dates.attr("ConciseDateFormatter")(locator));
}

namespace {

/// Breaks the text of `cell` at `separator` into lines no wider than the cell's text
/// area, when it is wider. Returns the extra height the lines need (axes fraction).
/// `measure(text, font properties)` gives a one-line text's (width, height, descent)
/// in points, from the font alone (no renderer is made for it).
double wrap_cell_text(nb::handle cell, nb::handle measure, double axes_width, double axes_height,
                      double px_per_point, const char *separator) {
    nb::object text = cell.attr("get_text")();
    nb::object full = text.attr("get_text")();
    const std::size_t n_chars = nb::len(full);
    if (n_chars == 0) return 0.0;
    // A left- or right-aligned text starts PAD (a fraction of the cell width) from
    // one border and may run to the same distance from the other; a centred text may
    // use nearly the whole cell.
    const double pad = nb::cast<double>(cell.attr("PAD"));
    nb::object align = text.attr("get_horizontalalignment")();
    const bool centred = PyUnicode_Check(align.ptr()) && PyUnicode_CompareWithASCIIString(align.ptr(), "center") == 0;
    const double usable = centred ? 1.0 - pad / 2.0 : 1.0 - 2.0 * pad;
    const double available =
        nb::cast<double>(cell.attr("get_width")()) * axes_width * usable / px_per_point;  // points
    // No glyph is wider than its font size (CJK ideographs are exactly that wide), so
    // a short text fits without being measured.
    const double size = nb::cast<double>(text.attr("get_fontsize")());
    if ((double)n_chars * size <= available) return 0.0;
    const double width = nb::cast<double>(measure(full, text.attr("get_fontproperties")(), false)[0]);
    if (width <= available) return 0.0;

    nb::list items = nb::borrow<nb::list>(full.attr("split")(separator));
    const std::size_t n_items = nb::len(items);
    if (n_items < 2) return 0.0;
    // Lines are packed by the text's mean character width, kept 3 % short of the
    // cell: the characters of these texts (digits, signs, letters) are of one width.
    const double per_char = width / (double)n_chars;
    const std::size_t sep_chars = std::strlen(separator);
    nb::list lines;
    nb::object line = items[0];
    std::size_t line_chars = nb::len(line);
    for (std::size_t i = 1; i < n_items; ++i) {
        nb::object item = items[i];
        const std::size_t item_chars = nb::len(item);
        if ((double)(line_chars + sep_chars + item_chars) * per_char <= 0.97 * available) {
            line = line + nb::str(separator) + item;
            line_chars += sep_chars + item_chars;
        } else {
            lines.append(line);
            line = item;
            line_chars = item_chars;
        }
    }
    lines.append(line);
    const std::size_t n_lines = nb::len(lines);
    if (n_lines < 2) return 0.0;
    text.attr("set_text")(nb::str("\n").attr("join")(lines));
    // Each further line advances by the font's line height: at most 1.45 times the
    // font size for the fonts asked for (the CJK families are the tallest), plus a
    // little room as the table gives a single line.
    constexpr double kLineAdvance = 1.45 * 1.15;
    return (double)(n_lines - 1) * size * kLineAdvance * px_per_point / axes_height;
}

}  // namespace

double fit_table_cells(nb::handle ax, nb::handle table, long first_row, long last_row, const char *separator) {
    nb::object bbox = ax.attr("bbox");
    const double axes_width = nb::cast<double>(bbox.attr("width"));
    const double axes_height = nb::cast<double>(bbox.attr("height"));
    // The figure's resolution; a subfigure reports its root figure's (every
    // supported matplotlib has `Axes.figure.dpi`, not all take get_figure(root=)).
    const double px_per_point = nb::cast<double>(ax.attr("figure").attr("dpi")) / 72.0;
    nb::object measure =
        nb::module_::import_("matplotlib.textpath").attr("text_to_path").attr("get_text_width_height_descent");
    nb::dict cells = nb::borrow<nb::dict>(table.attr("get_celld")());
    std::map<long, double> height, extra;
    for (auto [key, cell] : cells) {
        const long row = nb::cast<long>(key[0]);
        height[row] = std::max(height[row], nb::cast<double>(cell.attr("get_height")()));
        if (row >= first_row && row <= last_row && axes_width > 0 && axes_height > 0)
            extra[row] = std::max(extra[row], wrap_cell_text(cell, measure, axes_width, axes_height, px_per_point, separator));
    }
    for (auto [key, cell] : cells) {
        const long row = nb::cast<long>(key[0]);
        if (extra[row] > 0) cell.attr("set_height")(height[row] + extra[row]);
    }
    double total = 0.0;
    for (const auto &[row, h] : height) total += h + extra[row];
    return total;
}

void table_title(nb::handle ax, const char *text, double table_height, nb::dict style) {
    if (table_height > 1.0) style["y"] = 0.5 + table_height / 2.0;
    ax.attr("set_title")(text, **style);
}

nb::object float_values(nb::handle obj) {
    return attr("np").attr("ascontiguousarray")(obj, "dtype"_a = "float64");
}

const double *float_data(nb::handle array, std::size_t n) {
    nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu> view;
    if (!nb::try_cast(array, view, false))
        throw nb::value_error("a chart series must be one-dimensional: pass a Series of returns, not a DataFrame");
    if (n != kAnyLength && view.shape(0) != n)
        throw nb::value_error(("a chart series has " + std::to_string(view.shape(0)) + " values for " +
                               std::to_string(n) + " dates").c_str());
    return view.data();
}

FigureGuard::~FigureGuard() {
    if (!fig_.is_valid()) return;
    // Unwinding from a Python error: that error is the one the caller sees, so a
    // failure to close is dropped.
    try {
        pyplot_.attr("close")(fig_);
    } catch (...) {
    }
}

void save_and_close(const Plotting &mpl, nb::handle fig, nb::handle save_path, bool is_long,
                    const Margins &m) {
    if (is_long) {
        fig.attr("subplots_adjust")("left"_a = m.left, "right"_a = m.right, "top"_a = m.top, "bottom"_a = m.bottom);
        fig.attr("savefig")(save_path, "dpi"_a = 145, "facecolor"_a = fig.attr("get_facecolor")());
    } else {
        fig.attr("savefig")(save_path, "bbox_inches"_a = "tight", "dpi"_a = 175,
                            "facecolor"_a = fig.attr("get_facecolor")());
    }
    mpl.pyplot.attr("close")(fig);
}

void finish_figure(const Plotting &mpl, FigureGuard &guard, nb::handle fig, std::initializer_list<nb::handle> chart_axes,
                   nb::handle save_path, bool is_long, const Margins &portrait_margins) {
    for (nb::handle ax : chart_axes) style_chart_axes(ax);
    save_and_close(mpl, fig, save_path, is_long, portrait_margins);
    guard.release();
}

bool is_long_layout(nb::handle image_kind) {
    return PyUnicode_Check(image_kind.ptr()) && PyUnicode_CompareWithASCIIString(image_kind.ptr(), "long") == 0;
}

namespace {

/// Columns a code point takes in a line of text: two for the East Asian wide and
/// full-width blocks (CJK ideographs, kana, hangul, full-width forms), else one.
size_t display_width(Py_UCS4 cp) {
    const bool wide = (cp >= 0x1100 && cp <= 0x115F) || (cp >= 0x2E80 && cp <= 0xA4CF) ||
                      (cp >= 0xAC00 && cp <= 0xD7A3) || (cp >= 0xF900 && cp <= 0xFAFF) ||
                      (cp >= 0xFE30 && cp <= 0xFE4F) || (cp >= 0xFF00 && cp <= 0xFF60) ||
                      (cp >= 0xFFE0 && cp <= 0xFFE6) || (cp >= 0x20000 && cp <= 0x3FFFD);
    return wide ? 2 : 1;
}

bool is_control(Py_UCS4 cp) { return cp < 0x20 || (cp >= 0x7F && cp < 0xA0); }

}  // namespace

nb::str bounded_text(nb::handle text, size_t max_width) {
    PyObject *obj = text.ptr();
    const Py_ssize_t length = PyUnicode_GetLength(obj);
    if (length < 0) throw nb::python_error();
    const int kind = PyUnicode_KIND(obj);
    const void *data = PyUnicode_DATA(obj);
    // The ellipsis takes one column: keep what fits in max_width - 1 when cutting.
    Py_ssize_t keep = 0, cut_at = -1;
    size_t width = 0;
    bool has_control = false;
    for (Py_ssize_t i = 0; i < length; ++i) {
        const Py_UCS4 cp = PyUnicode_READ(kind, data, i);
        has_control = has_control || is_control(cp);
        width += display_width(cp);
        if (width <= max_width - 1) keep = i + 1;
        if (width > max_width) {
            cut_at = keep;
            break;
        }
    }
    if (cut_at < 0 && !has_control) return nb::borrow<nb::str>(text);
    const Py_ssize_t end = cut_at < 0 ? length : cut_at;
    std::u32string out;
    out.reserve(static_cast<size_t>(end) + 1);
    for (Py_ssize_t i = 0; i < end; ++i) {
        const Py_UCS4 cp = PyUnicode_READ(kind, data, i);
        out.push_back(is_control(cp) ? U' ' : static_cast<char32_t>(cp));
    }
    if (cut_at >= 0) out.push_back(U'\u2026');
    PyObject *result = PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, out.data(), static_cast<Py_ssize_t>(out.size()));
    if (!result) throw nb::python_error();
    return nb::steal<nb::str>(result);
}

nb::object figure_title(nb::handle plot_title, nb::handle strategy_name, nb::handle benchmark_name,
                        const char *suffix, bool is_long) {
    const bool has_title = PyUnicode_Check(plot_title.ptr()) && PyUnicode_GetLength(plot_title.ptr()) > 0;
    nb::str head = bounded_text(has_title ? plot_title : strategy_name,
                                is_long ? title_text_width_long : title_text_width_large);
    return head + nb::str(" | Benchmark ") + bounded_text(benchmark_name, benchmark_text_width) + nb::str(" | ") +
           nb::str(suffix);
}

}  // namespace tessary::pnl::charts
