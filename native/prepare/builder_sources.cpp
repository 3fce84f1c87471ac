// GroupPreparedDataBuilder: benchmark daily returns from one index query, and
// constituent masks (1.0 for a member, NaN otherwise) from component factors.
#include <nanobind/ndarray.h>

#include <cmath>
#include <string>

#include "common/arrays.hpp"
#include "prepare/builder.hpp"
#include "prepare/kernels/mask.hpp"

namespace tessary::prep::builder {

namespace {

const args::Signature kBenchmarkDictSig("_read_benchmark_dict", {},
                                        {"dict[str, pandas.Series]",
                                         "One index query for all benchmarks: short name -> daily return series "
                                         "('YYYYMMDD' index)."}, true);
const args::Signature kFormatBenchmarkSig("_format_benchmark_daily_return",
                                          {{"df", "pandas.DataFrame"},
                                           {"benchmark_name", Kind::Str},
                                           {"index_code", Kind::Str}},
                                          {"pandas.Series",
                                           "The daily returns of one index from an index answer: its return column, "
                                           "or the change of its close; sorted by date, one value per date, missing "
                                           "values dropped."}, true);
const args::Signature kComponentsSig("_component_matrices",
                                     {{"component_names", Kind::List}, {"batch", Kind::DictOrNone, Default::none()}},
                                     {"dict[str, pandas.DataFrame]",
                                      "Constituent masks (1.0 member, NaN otherwise) per component name; components "
                                      "without data or whose query raised NetworkError are left out."}, true);

nb::object read_benchmark_dict(nb::handle self, const args::Bound &) {
    nb::object codes = attr("BENCHMARK_INDEX_CODES");
    nb::list ukeys = nb::list(codes.attr("values")());
    nb::object df = attr("get_instance")().attr("get_index_daily")(
        "ukeys"_a = ukeys, "start_date"_a = self.attr("default_start"), "end_date"_a = self.attr("end_date"));
    nb::object format = self.attr("_format_benchmark_daily_return");
    nb::dict result;
    for (nb::handle item : codes.attr("items")()) {
        nb::tuple pair = nb::cast<nb::tuple>(item);
        result[pair[0]] = format(df, pair[0], pair[1]);
    }
    return result;
}

bool has_column(nb::handle frame, const char *name) { return contains(frame.attr("columns"), nb::str(name)); }

/// `frame` with column `name` set to `value`, as a new frame. Assigning into the frame
/// from here would look like chained assignment to pandas 2 (it counts references to
/// tell a temporary, and a frame held by native code has fewer) and warn.
nb::object with_column(nb::handle frame, const char *name, nb::handle value) {
    nb::dict column;
    column[name] = value;
    return frame.attr("assign")(**column);
}

nb::object format_benchmark_daily_return(nb::handle, const args::Bound &a) {
    nb::object df = a.obj("df");
    const std::string name = text_of(a.obj("benchmark_name"));
    const std::string code = text_of(a.obj("index_code"));
    if (df.is_none()) raise_key_error("基准日频数据为空: " + name + " (" + code + ")");
    require_frame(df, "index daily answer");
    if (nb::len(df) == 0) raise_key_error("基准日频数据为空: " + name + " (" + code + ")");
    nb::object p = pd();

    nb::object frame = df.attr("copy")();
    if (has_column(frame, "date")) {
        nb::dict renames;
        renames["date"] = "DataDate";
        frame = frame.attr("rename")("columns"_a = renames);
    }
    if (!has_column(frame, "DataDate")) raise_key_error(name + " 基准缺少 DataDate 列");
    nb::object counts = frame.attr("columns").attr("value_counts")();
    for (const char *label : {"DataDate", "ukey"})
        if (has_column(frame, label) && nb::cast<long>(counts[nb::str(label)]) > 1)
            throw nb::value_error((name + " index daily answer has several '" + label + "' columns").c_str());

    frame = with_column(frame, "DataDate", attr("series_to_yyyymmdd")(frame["DataDate"]));
    nb::list subset;
    subset.append("DataDate");
    frame = frame.attr("dropna")("subset"_a = subset);
    // A stable sort: of two rows of the same day the later one stays later, and so
    // wins the de-duplication below.
    frame = frame.attr("sort_values")("DataDate", "kind"_a = "stable");

    const bool has_ukey = has_column(frame, "ukey");
    if (has_ukey) {
        frame = with_column(frame, "ukey", frame["ukey"].attr("astype")(nb::handle((PyObject *)&PyUnicode_Type)));
        frame = frame[compare(frame["ukey"], a.obj("index_code"), Py_EQ)];
    }
    nb::object to_numeric = p.attr("to_numeric");
    if (!has_column(frame, "daily_return")) {
        bool found = false;
        for (const char *alt : {"return", "returns", "pct_change", "change_rate"}) {
            if (has_column(frame, alt)) {
                frame = with_column(frame, "daily_return", to_numeric(frame[alt], "errors"_a = "coerce"));
                found = true;
                break;
            }
        }
        if (!found) {
            if (!has_column(frame, "close")) raise_key_error(name + " 基准缺少 daily_return/close 列");
            // No forward fill: a missing close gives no return for its day and the next
            // (pandas 2 would fill it and report a made-up 0.0 return).
            frame = with_column(frame, "daily_return",
                                to_numeric(frame["close"], "errors"_a = "coerce").attr("pct_change")("fill_method"_a = nb::none()));
        }
    }
    frame = with_column(frame, "daily_return", to_numeric(frame["daily_return"], "errors"_a = "coerce"));

    nb::list keys;
    if (has_ukey) keys.append("ukey");
    keys.append("DataDate");
    frame = frame.attr("drop_duplicates")("subset"_a = keys, "keep"_a = "last");
    frame = frame.attr("drop_duplicates")("subset"_a = subset, "keep"_a = "last");
    nb::object series = frame.attr("set_index")("DataDate")["daily_return"];
    series = series.attr("rename")("index_daily_return").attr("dropna")();
    return series.attr("sort_index")();
}

nb::object component_matrices(nb::handle self, const args::Bound &a) {
    nb::dict result;
    nb::object batch = a.obj("batch");
    nb::object read_one = self.attr("_read_normal_factor_matrix");
    for (nb::handle name : a.obj("component_names")) {
        nb::object matrix;
        try {
            if (batch.is_none()) {
                matrix = read_one(name);
            } else {
                matrix = batch.attr("get")(name);
                if (!has_rows(matrix)) matrix = read_one(name);
            }
        } catch (nb::python_error &e) {
            if (!is_network_error(e)) throw;
            continue;
        }
        if (!has_rows(matrix)) continue;
        result[name] = component_mask(matrix);
    }
    return result;
}

}  // namespace

nb::object component_mask(nb::handle matrix) {
    nb::object p = pd();
    nb::object values = numeric_values(matrix);
    if (!values.is_valid()) {
        // Frames of other dtypes take pandas' own steps: a member is a present value
        // that is neither 0 nor infinite. (No replace() of the infinities: on object
        // frames pandas 2 would warn that it downcasts.)
        nb::list infinities;
        infinities.append(nb::float_(HUGE_VAL));
        infinities.append(nb::float_(-HUGE_VAL));
        nb::object infinite = matrix.attr("isin")(infinities);
        nb::object present = matrix.attr("notna")() & compare(matrix, nb::int_(0), Py_NE) & ~infinite;
        return present.attr("astype")(nb::handle((PyObject *)&PyFloat_Type)).attr("where")(present).attr("sort_index")();
    }
    nb::object index = matrix.attr("index"), columns = matrix.attr("columns");
    const std::size_t rows = nb::len(index), cols = nb::len(columns);
    auto in = float_view(values, "component matrix values", rows, cols);
    nb::object block = np().attr("empty")(nb::make_tuple(cols, rows), "dtype"_a = "float64");
    auto out = nb::cast<nb::ndarray<double, nb::ndim<2>, nb::c_contig>>(block);
    {
        nb::gil_scoped_release release;
        kernels::component_mask(in.view, rows, cols, out.data());
    }
    nb::object frame = p.attr("DataFrame")(block.attr("T"), "index"_a = index, "columns"_a = columns, "copy"_a = false);
    return frame.attr("sort_index")();
}

void add_source_methods(nb::handle cls) {
    add_methods(cls, {{kBenchmarkDictSig, read_benchmark_dict}, {kFormatBenchmarkSig, format_benchmark_daily_return},
                      {kComponentsSig, component_matrices}});
}

}  // namespace tessary::prep::builder
