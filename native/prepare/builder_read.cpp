// GroupPreparedDataBuilder: factor queries, one at a time or batched with a
// per-name fallback, and the helpers that substitute empty or missing matrices.
#include "prepare/builder.hpp"

namespace tessary::prep::builder {

namespace {

const args::Signature kToMatricesSig("_tsy_factors_to_matrices", {{"df", "pandas.DataFrame | None"},
                                                                  {"names", Kind::List}},
                                     {"dict[str, pandas.DataFrame]",
                                      "Pivots a factor answer (narrow: one row per stock, date and factor; wide: one "
                                      "column per factor) into one date x stock matrix per requested name; names "
                                      "without data map to an empty DataFrame."}, true);
const args::Signature kReadMatrixSig("_read_normal_factor_matrix", {{"name", Kind::Str}},
                                     {"pandas.DataFrame",
                                      "One factor query for `name` over the builder's range, as a matrix (empty when "
                                      "no data)."}, true);
const args::Signature kReadBatchSig("_read_normal_factor_batch", {{"names", Kind::List}},
                                    {"dict[str, pandas.DataFrame]",
                                     "One factor query for all names; names that come back empty (or all of them "
                                     "after a NetworkError) are queried one by one."}, true);
const args::Signature kReadOrEmptySig("_read_or_empty",
                                      {{"name", Kind::Str},
                                       {"reference", "pandas.DataFrame"},
                                       {"batch", Kind::DictOrNone, Default::none()}},
                                      {"pandas.DataFrame",
                                       "The factor's matrix from the batch (or a query without one); an all-NaN frame "
                                       "shaped like reference when there is no data."}, true);
const args::Signature kBatchOrReadSig("_batch_or_read", {{"batch", Kind::Dict}, {"name", Kind::Str}},
                                      {"pandas.DataFrame",
                                       "The factor's matrix from the batch, sorted by date, or a new query when the "
                                       "batch has none."}, true);

/// One factor query over the builder's date range; `factor` is a name or a list.
nb::object query_factors(nb::handle self, nb::handle factor) {
    nb::object to_date = self.attr("_tsy_factor_date");
    nb::object start = to_date(self.attr("default_start"));
    nb::object end = to_date(self.attr("end_date"));
    return attr("get_instance")().attr("get_factors")("factor"_a = factor, "start_date"_a = start, "end_date"_a = end);
}

nb::object tsy_factors_to_matrices(nb::handle, const args::Bound &a) {
    return factors_to_matrices(a.obj("df"), a.obj("names"));
}

nb::object read_normal_factor_matrix(nb::handle self, const args::Bound &a) {
    nb::object name = a.obj("name");
    nb::object df = query_factors(self, name);
    nb::list names;
    names.append(name);
    nb::object matrices = self.attr("_tsy_factors_to_matrices")(df, names);
    nb::object matrix = matrices.attr("get")(name, empty_frame());
    return has_rows(matrix) ? matrix : empty_frame();
}

nb::object read_normal_factor_batch(nb::handle self, const args::Bound &a) {
    nb::object names = attr("parse_name_list")(a.obj("names"));
    nb::dict result;
    if (nb::len(names) == 0) return result;
    nb::object matrices;
    try {
        nb::object df = query_factors(self, names);
        matrices = self.attr("_tsy_factors_to_matrices")(df, names);
    } catch (nb::python_error &e) {
        if (!is_network_error(e)) throw;
        matrices = nb::object();
    }
    if (matrices.is_valid()) {
        result = nb::borrow<nb::dict>(nb::module_::import_("builtins").attr("dict")(matrices));
    } else {
        for (nb::handle name : names) result[name] = empty_frame();
    }
    nb::list missing;
    for (nb::handle name : names) {
        nb::object entry = result.attr("get")(name);
        if (!has_rows(entry)) missing.append(name);
    }
    nb::object read_one = self.attr("_read_normal_factor_matrix");
    for (nb::handle name : missing) result[name] = read_one(name);
    return result;
}

nb::object read_or_empty(nb::handle self, const args::Bound &a) {
    nb::object name = a.obj("name");
    nb::object matrix;
    if (a.is_none("batch")) {
        matrix = self.attr("_read_normal_factor_matrix")(name);
    } else {
        matrix = a.obj("batch").attr("get")(name);
        if (has_rows(matrix)) return matrix.attr("sort_index")();
    }
    if (has_rows(matrix)) return matrix;
    return self.attr("_empty_like")(a.obj("reference"));
}

nb::object batch_or_read(nb::handle self, const args::Bound &a) {
    nb::object name = a.obj("name");
    nb::object matrix = a.obj("batch").attr("get")(name);
    if (has_rows(matrix)) return matrix.attr("sort_index")();
    return self.attr("_read_normal_factor_matrix")(name);
}

}  // namespace

void add_read_methods(nb::handle cls) {
    add_methods(cls, {{kToMatricesSig, tsy_factors_to_matrices}, {kReadMatrixSig, read_normal_factor_matrix},
                      {kReadBatchSig, read_normal_factor_batch}, {kReadOrEmptySig, read_or_empty},
                      {kBatchOrReadSig, batch_or_read}});
}

}  // namespace tessary::prep::builder
