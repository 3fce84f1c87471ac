// GroupPreparedDataBuilder: derivation of the backtest matrices (prices, previous
// close, split and dividend adjustments, buy and sell feasibility, forward-return
// ranks) from the source factor matrices, with pandas alignment semantics.
#include <nanobind/ndarray.h>

#include "common/arrays.hpp"
#include "prepare/builder.hpp"
#include "prepare/kernels/rank.hpp"

namespace tessary::prep::builder {

namespace {

const args::Signature kBuildFromSig("_build_from_matrices", {{"source", Kind::Dict}},
                                    {"dict[str, pandas.DataFrame]",
                                     "The twelve backtest matrices derived from the ten source factor "
                                     "matrices."}, true);

/// Rank along each row of open[r + 2] / open[r + 1] - 1 (+-inf as NaN), averages
/// for ties, NaN kept; the last two rows are NaN.
nb::object forward_return_rank(nb::handle open) {
    nb::object values = numeric_values(open);
    if (!values.is_valid()) {
        nb::object forward = open.attr("shift")(-2) / open.attr("shift")(-1) - nb::int_(1);
        return inf_as_nan(forward).attr("rank")("axis"_a = 1, "method"_a = "average");
    }
    nb::object index = open.attr("index"), columns = open.attr("columns");
    const std::size_t rows = nb::len(index), cols = nb::len(columns);
    auto in = float_view(values, "open price values", rows, cols);
    double *out = nullptr;
    nb::object result = new_float_matrix(rows, cols, &out);
    {
        nb::gil_scoped_release release;
        kernels::forward_return_rank(in.view, rows, cols, out);
    }
    return pd().attr("DataFrame")(result, "index"_a = index, "columns"_a = columns, "copy"_a = false);
}

nb::object build_from_matrices(nb::handle, const args::Bound &a) {
    nb::object source = a.obj("source");
    // Every key is looked up before any work: a missing one raises KeyError.
    nb::object industry = source["rq_industry_exposure_new"];
    nb::object limit_down = source["limit_down"];
    nb::object limit_up = source["limit_up"];
    nb::object close = source["Close"];
    nb::object open = source["Open"];
    nb::object buy_price = source["tick_vwap_price_935_1005"];
    nb::object sell_price = source["tick_vwap_price_925_1000"];
    nb::object split = source["split_coefficient_to"];
    nb::object dividend = source["rq_get_dividend"];
    nb::object suspended = source["rq_is_suspended"];
    nb::object p = pd(), numpy = np();

    nb::object valid = close * nb::int_(0) + nb::int_(1);
    nb::object prev_close = close.attr("shift")(1);

    nb::object split_adj = split / nb::int_(10) * valid;
    nb::object close_index = close.attr("index");
    split_adj = split_adj.attr("loc")[compare(split_adj.attr("index"), close_index.attr("min")(), Py_GE)];

    nb::object dividend_adj = dividend / nb::int_(10) * nb::float_(0.9) + (valid - nb::int_(1));
    dividend_adj = dividend_adj.attr("loc")[compare(dividend_adj.attr("index"), close_index.attr("max")(), Py_LE)];

    // NaN where the stock is suspended (value 1), 1.0 everywhere else.
    nb::object blocked = numpy.attr("where")(suspended.attr("eq")(1), numpy.attr("nan"), 1.0);
    nb::object filter_stock = p.attr("DataFrame")(blocked, "index"_a = suspended.attr("index"),
                                                  "columns"_a = suspended.attr("columns"));

    nb::object down = limit_down.attr("reindex")("index"_a = sell_price.attr("index"),
                                                 "columns"_a = sell_price.attr("columns"));
    nb::object cant_sell =
        compare(compare(sell_price, down, Py_EQ).attr("add")(filter_stock, "fill_value"_a = 0.0), nb::int_(0), Py_GT);
    nb::object up = limit_up.attr("reindex")("index"_a = buy_price.attr("index"), "columns"_a = buy_price.attr("columns"));
    nb::object can_buy =
        compare(compare(buy_price, up, Py_EQ).attr("add")(filter_stock, "fill_value"_a = 0.0), nb::int_(0), Py_LE);

    nb::dict out;
    out["industry_matrix"] = industry;
    out["close_price"] = close;
    out["open_price"] = open;
    out["close_price_valid"] = valid;
    out["prev_close"] = prev_close;
    out["buy_price"] = buy_price;
    out["sell_price"] = sell_price;
    out["rq_get_split"] = split_adj;
    out["rq_get_dividend"] = dividend_adj;
    out["can_buy_stock"] = can_buy;
    out["cant_sell_stock"] = cant_sell;
    out["forward_return_rank_cache"] = forward_return_rank(open);
    return out;
}

}  // namespace

void add_derive_methods(nb::handle cls) {
    add_method(cls, kBuildFromSig, build_from_matrices);
}

}  // namespace tessary::prep::builder
