// Display formatters of the report cards and tables: fixed-point numbers, ratios as
// percentages, percentage points, and the per-year excess line. A missing value is "--".
#include <cmath>
#include <string>

#include "common/pyutil.hpp"
#include "pnl_engine/module.hpp"

namespace tessary::pnl {

using args::Default;
using args::Kind;

static const args::Signature kFormatNumSig("_format_num", {{"value", "typing.Any"},
                                                           {"digits", Kind::Int, Default::of(2)}},
                                           {"str",
                                            "A number in fixed point with `digits` decimals (1.234 -> '1.23'); '--' "
                                            "when missing."});
static const args::Signature kFormatPctSig("_format_pct", {{"value", "typing.Any"},
                                                           {"digits", Kind::Int, Default::of(2)}},
                                           {"str",
                                            "A ratio as a percentage with `digits` decimals (0.05 -> '5.00%'); '--' "
                                            "when missing."});
static const args::Signature kFormatPctPointsSig("_format_pct_points",
                                                 {{"value", "typing.Any"}, {"digits", Kind::Int, Default::of(2)}},
                                                 {"str",
                                                  "Percentage points with `digits` decimals and a percent sign (5.0 "
                                                  "-> '5.00%'); '--' when missing."});
static const args::Signature kFormatAnnualExcessSig("_format_annual_excess",
                                                    {{"annual_excess", "pandas.Series | None"}},
                                                    {"str",
                                                     "Yearly excess returns as 'year: pct' items joined by ' | ', "
                                                     "skipping missing years; '--' when none."});

static constexpr const char *kMissing = "--";

/// True when `value` is None or pandas' isna() says it is missing. Exact floats and
/// ints are decided here (isna of a float is isnan, an int is never missing); every
/// other object goes through pd.isna, whose truth value is taken as Python's `if`
/// would take it, so an array-like raises pandas' ambiguity error.
static bool is_missing(nb::handle value) {
    PyObject *p = value.ptr();
    if (p == Py_None) return true;
    if (PyFloat_CheckExact(p)) return std::isnan(PyFloat_AS_DOUBLE(p));
    if (PyLong_CheckExact(p)) return false;
    nb::object flag = attr("pd").attr("isna")(value);
    int truth = PyObject_IsTrue(flag.ptr());
    if (truth < 0) throw nb::python_error();
    return truth != 0;
}

/// format(float(value), "." + str(digits) + type_letter): Python's own formatting, so
/// rounding is correct from the binary value with exact ties to even, and a negative
/// precision raises Python's format error.
static nb::object python_format(nb::handle value, nb::handle digits, const char *type_letter) {
    nb::object number = nb::steal(PyNumber_Float(value.ptr()));
    if (!number.is_valid()) throw nb::python_error();
    nb::object spec = nb::str(".") + nb::str(digits) + nb::str(type_letter);
    nb::object text = nb::steal(PyObject_Format(number.ptr(), spec.ptr()));
    if (!text.is_valid()) throw nb::python_error();
    return text;
}

/// _format_num(value, digits=2): fixed point with `digits` decimals.
static nb::object format_num(const args::Bound &a) {
    nb::object value = a.obj("value");
    if (is_missing(value)) return nb::str(kMissing);
    return python_format(value, a.obj("digits"), "f");
}

/// _format_pct(value, digits=2): a ratio shown as a percentage (the "%" type
/// multiplies by 100 and appends the sign).
static nb::object format_pct(const args::Bound &a) {
    nb::object value = a.obj("value");
    if (is_missing(value)) return nb::str(kMissing);
    return python_format(value, a.obj("digits"), "%");
}

/// _format_pct_points(value, digits=2): a value already in percentage points, shown
/// with `digits` decimals and a percent sign.
static nb::object format_pct_points(const args::Bound &a) {
    nb::object value = a.obj("value");
    if (is_missing(value)) return nb::str(kMissing);
    return python_format(value, a.obj("digits"), "f") + nb::str("%");
}

/// _format_annual_excess(annual_excess): "year: pct | year: pct" over the years with
/// a value, each percentage made by the module's current _format_pct.
static nb::object format_annual_excess(const args::Bound &a) {
    nb::object series = a.obj("annual_excess");
    if (series.is_none() || nb::len(series) == 0) return nb::str(kMissing);
    nb::object format_pct_fn = attr("_format_pct");
    nb::list items;
    for (nb::handle item : series.attr("items")()) {
        nb::object year = item[0];
        nb::object value = item[1];
        if (is_missing(value)) continue;
        items.append(nb::str(year) + nb::str(": ") + nb::str(format_pct_fn(value)));
    }
    if (nb::len(items) == 0) return nb::str(kMissing);
    return nb::str(" | ").attr("join")(items);
}

void init_format(nb::module_ &m) {
    def_bound(m, kFormatPctSig, format_pct);
    def_bound(m, kFormatPctPointsSig, format_pct_points);
    def_bound(m, kFormatNumSig, format_num);
    def_bound(m, kFormatAnnualExcessSig, format_annual_excess);
}

}  // namespace tessary::pnl
