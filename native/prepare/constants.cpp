// Module constants of the prepared-data module (factor names, benchmark codes,
// dataset keys and storage dtypes) and the four small utilities shared by the
// builder and the store: name lists, component names, dtype maps, date strings.
#include <initializer_list>

#include "common/pyutil.hpp"
#include "prepare/module.hpp"

namespace tessary::prep {

using namespace nb::literals;
using args::Default;
using args::Kind;

namespace {

nb::list str_list(std::initializer_list<const char *> items) {
    nb::list out;
    for (const char *s : items) out.append(nb::str(s));
    return out;
}

const args::Signature kParseNameListSig("parse_name_list",
                                        {{"raw_values", "str | collections.abc.Iterable[typing.Any] | None"}},
                                        {"list[str]",
                                         "Names from None, a separated string (commas, semicolons, line feeds, ASCII "
                                         "or full-width) or any iterable: each converted with str() and stripped, "
                                         "empty names dropped, order and duplicates kept. Always a new list."});
const args::Signature kComponentNamesSig("get_component_factor_names", {},
                                         {"list[str]",
                                          "A new list of the built-in constituent factor names."});
const args::Signature kBuildDtypeSig("build_matrix_dtype",
                                     {{"component_names", "list[str] | None", Kind::ListOrNone, Default::none()}},
                                     {"dict[str, str]",
                                      "Dataset key -> storage dtype: the base matrices, then one float mask per "
                                      "component name (the built-in names when component_names is None)."});
const args::Signature kSeriesDatesSig("series_to_yyyymmdd", {{"values", "typing.Any"}},
                                      {"pandas.Series",
                                       "Dates as 'YYYYMMDD' strings; unparseable values become missing. A Series "
                                       "keeps its index, anything else gets a new default index."});

/// `text` with `old` replaced by `repl` (builtin str semantics, also for str subclasses).
nb::object replace_all(nb::handle text, const char *old, const char *repl) {
    nb::object result = nb::steal(PyUnicode_Replace(text.ptr(), nb::str(old).ptr(), nb::str(repl).ptr(), -1));
    if (!result.is_valid()) throw nb::python_error();
    return result;
}

/// None -> []; a string is split on ASCII/full-width commas, semicolons and line
/// feeds; every item is then str()-converted and stripped, and blanks are dropped.
nb::object parse_name_list(const args::Bound &a) {
    nb::object raw = a.obj("raw_values");
    nb::list out;
    if (raw.is_none()) return out;
    nb::object items = raw;
    if (PyUnicode_Check(raw.ptr())) {
        nb::object text = raw;
        for (const char *sep : {"\xef\xbc\x8c" /* ， */, "\xef\xbc\x9b" /* ； */, ";", "\n"})
            text = replace_all(text, sep, ",");
        items = nb::steal(PyUnicode_Split(text.ptr(), nb::str(",").ptr(), -1));
        if (!items.is_valid()) throw nb::python_error();
    }
    nb::object strip = nb::handle((PyObject *)&PyUnicode_Type).attr("strip");
    for (nb::handle item : items) {
        nb::object text = nb::steal(PyObject_Str(item.ptr()));
        if (!text.is_valid()) throw nb::python_error();
        // Strip with the builtin method: a str subclass returned by __str__ cannot
        // change what counts as white space.
        nb::object name = strip(text);
        if (nb::len(name) > 0) out.append(name);
    }
    return out;
}

nb::object get_component_factor_names(const args::Bound &) {
    return attr("parse_name_list")(attr("COMPONENT_FACTOR_NAMES"));
}

/// Base dataset keys first, then one float dataset per component name, in name order.
nb::object build_matrix_dtype(const args::Bound &a) {
    nb::dict matrix_dtype;
    nb::object base = attr("BASE_MATRIX_DTYPE");
    matrix_dtype.update(base);
    nb::object parse = attr("parse_name_list");
    nb::object names = a.is_none("component_names") ? parse(attr("get_component_factor_names")())
                                                    : parse(a.obj("component_names"));
    nb::object key_of = attr("component_dataset_key");
    nb::object float_dtype = attr("FLOAT_STORAGE_DTYPE");
    for (nb::handle name : names) matrix_dtype[key_of(name)] = float_dtype;
    return matrix_dtype;
}

/// True when `values` (anything with a numpy-like dtype) hold yyyymmdd numbers: an
/// integer dtype, or floats whose present values are all whole numbers of eight
/// digits (an integer date column with a missing value arrives as floats). Read as
/// nanoseconds since 1970, which is what the date parser would make of them, every
/// such date would silently become 19700101.
static bool holds_yyyymmdd_numbers(nb::handle values) {
    nb::object pd = attr("pd");
    if (!nb::hasattr(values, "dtype") || !nb::hasattr(values, "astype")) return false;
    nb::object types = pd.attr("api").attr("types");
    nb::object dtype = values.attr("dtype");
    if (nb::cast<bool>(types.attr("is_integer_dtype")(dtype))) return !nb::cast<bool>(types.attr("is_bool_dtype")(dtype));
    if (!nb::cast<bool>(types.attr("is_float_dtype")(dtype))) return false;
    nb::object np = attr("np");
    nb::object arr = np.attr("asarray")(values, "dtype"_a = "float64");
    nb::object present = arr[np.attr("isfinite")(arr)];
    if (nb::len(present) == 0) return false;
    nb::object whole = present.attr("__eq__")(np.attr("floor")(present));
    nb::object in_range =
        present.attr("__ge__")(10000101.0).attr("__and__")(present.attr("__le__")(99991231.0));
    const int all = PyObject_IsTrue(whole.attr("__and__")(in_range).attr("all")().ptr());  // a numpy bool
    if (all < 0) throw nb::python_error();
    return all == 1;
}

/// Eight-digit date strings; unparseable values come out missing. yyyymmdd numbers
/// (see above) are read as such.
nb::object series_to_yyyymmdd(const args::Bound &a) {
    nb::object pd = attr("pd");
    nb::object values = a.obj("values");
    nb::object parsed;
    if (holds_yyyymmdd_numbers(values)) {
        // Nullable integers print whole numbers without ".0"; a missing value prints
        // as "<NA>", which the parser turns into NaT.
        // (An index or array gives a Series with a new index, as the parser's result would.)
        nb::object series = nb::isinstance(values, pd.attr("Series")) ? values : pd.attr("Series")(values);
        nb::object whole = series.attr("astype")("Int64");
        nb::object text = whole.attr("astype")(nb::handle((PyObject *)&PyUnicode_Type));
        parsed = pd.attr("to_datetime")(text, "format"_a = "%Y%m%d", "errors"_a = "coerce");
    } else {
        parsed = pd.attr("to_datetime")(values, "errors"_a = "coerce");
    }
    if (!nb::isinstance(parsed, pd.attr("Series"))) parsed = pd.attr("Series")(parsed);
    return parsed.attr("dt").attr("strftime")("%Y%m%d");
}

}  // namespace

void init_constants(nb::module_ &m) {
    nb::str float_dtype("float64"), bool_dtype("bool");
    m.attr("FLOAT_STORAGE_DTYPE") = float_dtype;
    m.attr("BOOL_STORAGE_DTYPE") = bool_dtype;
    m.attr("TAIL_RELOAD_ROWS") = nb::int_(2);
    m.attr("PREPARED_DATA_VERSION") = nb::int_(1);
    m.attr("COMPONENT_FACTOR_NAMES") =
        str_list({"rq_index_components_new_000300.XSHG", "rq_index_components_new_000905.XSHG",
                  "rq_index_components_new_000852.XSHG", "rq_index_components_new_399303.XSHE",
                  "rq_index_components_new_932000.INDX"});
    nb::dict benchmarks;
    benchmarks["000852"] = "000852.XSHG";
    benchmarks["000300"] = "000300.XSHG";
    benchmarks["000905"] = "000905.XSHG";
    m.attr("BENCHMARK_INDEX_CODES") = benchmarks;
    nb::list required = str_list({"rq_industry_exposure_new", "limit_down", "limit_up", "Close", "Open",
                                  "tick_vwap_price_935_1005", "tick_vwap_price_925_1000"});
    nb::list optional = str_list({"split_coefficient_to", "rq_get_dividend", "rq_is_suspended"});
    m.attr("REQUIRED_FACTOR_NAMES") = required;
    m.attr("OPTIONAL_FACTOR_NAMES") = optional;
    nb::list inputs;
    for (nb::handle h : required) inputs.append(h);
    for (nb::handle h : optional) inputs.append(h);
    m.attr("BUILD_INPUT_NAMES") = inputs;
    nb::dict base;
    for (const char *key : {"industry_matrix", "close_price", "open_price", "close_price_valid", "prev_close",
                            "buy_price", "sell_price", "rq_get_split", "rq_get_dividend"})
        base[key] = float_dtype;
    base["can_buy_stock"] = bool_dtype;
    base["cant_sell_stock"] = bool_dtype;
    base["forward_return_rank_cache"] = float_dtype;
    m.attr("BASE_MATRIX_DTYPE") = base;

    def_bound(m, kParseNameListSig, parse_name_list);
    def_bound(m, kComponentNamesSig, get_component_factor_names);
    def_bound(m, kBuildDtypeSig, build_matrix_dtype);
    def_bound(m, kSeriesDatesSig, series_to_yyyymmdd);
}

}  // namespace tessary::prep
