// tessary.factor._factor_kernels: bindings of the factor kernels and of the label
// pass (many equal-weight portfolios through the engine's day step). Checks shapes,
// allocates the results as numpy arrays and runs each kernel with the GIL released.
// Inputs are C-contiguous arrays; the Python caller makes them so.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>

#include <cstdint>
#include <optional>
#include <string>

#include "factor/kernels/factor_kernels.hpp"
#include "factor/kernels/row_threads.hpp"
#include "portfolios/kernels/label_pass.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace tessary::factor {
namespace {

template <class T, class Dim>
using In = nb::ndarray<const T, Dim, nb::device::cpu, nb::c_contig>;
using Matrix = In<double, nb::ndim<2>>;
using Labels = In<std::int32_t, nb::ndim<2>>;
using Flags = In<bool, nb::ndim<2>>;
using Rows = In<std::int64_t, nb::ndim<1>>;
using Counts = In<std::int32_t, nb::ndim<1>>;
template <class T>
using Out2 = nb::ndarray<nb::numpy, T, nb::ndim<2>>;
template <class T>
using Out1 = nb::ndarray<nb::numpy, T, nb::ndim<1>>;

[[noreturn]] void fail(const std::string &text) { throw nb::value_error(text.c_str()); }

template <class A>
void same_shape(const char *what, const A &a, std::size_t rows, std::size_t cols) {
    if (a.shape(0) != rows || a.shape(1) != cols) {
        fail(std::string(what) + " has shape (" + std::to_string(a.shape(0)) + ", " + std::to_string(a.shape(1)) +
             "), expected (" + std::to_string(rows) + ", " + std::to_string(cols) + ")");
    }
}

template <class A>
void rows_within(const char *what, const A &rows_of, std::size_t count, std::size_t limit) {
    if (rows_of.shape(0) != count) fail(std::string(what) + " must hold " + std::to_string(count) + " row numbers");
    for (std::size_t i = 0; i < count; ++i)
        if (rows_of.data()[i] >= (std::int64_t)limit) fail(std::string(what) + " names a row past the end");
}

/// A new uninitialised array of n elements owned by the returned capsule.
template <class T>
T *allocate(std::size_t n, nb::capsule &owner) {
    T *data = new T[n ? n : 1];
    owner = nb::capsule(data, [](void *p) noexcept { delete[] static_cast<T *>(p); });
    return data;
}

const std::uint8_t *bytes(const Flags &f) { return reinterpret_cast<const std::uint8_t *>(f.data()); }

Out2<double> one_day_returns_binding(const Matrix &open, const Matrix &split, const Matrix &dividend) {
    const std::size_t days = open.shape(0), n = open.shape(1);
    same_shape("split", split, days, n);
    same_shape("dividend", dividend, days, n);
    nb::capsule owner;
    double *r1 = allocate<double>(days * n, owner);
    {
        nb::gil_scoped_release release;
        forward_return_1(open.data(), split.data(), dividend.data(), days, n, r1);
    }
    return Out2<double>(r1, {days, n}, owner);
}

Out2<double> compound_binding(const Matrix &r1, long long h) {
    const std::size_t days = r1.shape(0), n = r1.shape(1);
    if (h < 1) fail("the horizon must be at least 1, got " + std::to_string(h));
    nb::capsule owner;
    double *out = allocate<double>(days * n, owner);
    {
        nb::gil_scoped_release release;
        forward_return_h(r1.data(), days, n, (std::size_t)h, out);
    }
    return Out2<double>(out, {days, n}, owner);
}

nb::tuple row_orders_binding(const Matrix &x) {
    const std::size_t rows = x.shape(0), n = x.shape(1);
    nb::capsule o1, o2;
    std::int32_t *order = allocate<std::int32_t>(rows * n, o1);
    std::int32_t *count = allocate<std::int32_t>(rows, o2);
    {
        nb::gil_scoped_release release;
        row_orders(x.data(), rows, n, order, count);
    }
    return nb::make_tuple(Out2<std::int32_t>(order, {rows, n}, o1), Out1<std::int32_t>(count, {rows}, o2));
}

Out1<double> rank_corr_binding(const Matrix &x, const Labels &x_order, const Counts &x_count, const Rows &x_rows,
                               const Matrix &y, const Labels &y_order, const Counts &y_count, const Rows &y_rows,
                               const Flags &mask, long long min_count, std::optional<Matrix> x_ranks) {
    const std::size_t n = x.shape(1), rows = mask.shape(0);
    if (x_ranks) same_shape("x_ranks", *x_ranks, rows, n);
    same_shape("x_order", x_order, x.shape(0), n);
    same_shape("y", y, y.shape(0), n);
    same_shape("y_order", y_order, y.shape(0), n);
    same_shape("mask", mask, rows, n);
    if (x_count.shape(0) != x.shape(0) || y_count.shape(0) != y.shape(0)) fail("one count per row of x and y");
    rows_within("x_rows", x_rows, rows, x.shape(0));
    rows_within("y_rows", y_rows, rows, y.shape(0));
    nb::capsule owner;
    double *out = allocate<double>(rows, owner);
    {
        nb::gil_scoped_release release;
        rank_corr(x.data(), x_order.data(), x_count.data(), x_rows.data(), y.data(), y_order.data(), y_count.data(),
                  y_rows.data(), bytes(mask), rows, n, (std::size_t)(min_count < 0 ? 0 : min_count), out,
                  x_ranks ? x_ranks->data() : nullptr);
    }
    return Out1<double>(out, {rows}, owner);
}

Out2<double> masked_ranks_binding(const Matrix &x, const Labels &order, const Counts &count, const Flags &mask) {
    const std::size_t rows = x.shape(0), n = x.shape(1);
    same_shape("order", order, rows, n);
    same_shape("mask", mask, rows, n);
    if (count.shape(0) != rows) fail("one count per row of x");
    nb::capsule owner;
    double *out = allocate<double>(rows * n, owner);
    {
        nb::gil_scoped_release release;
        masked_ranks(x.data(), order.data(), count.data(), bytes(mask), rows, n, out);
    }
    return Out2<double>(out, {rows, n}, owner);
}

Out2<std::int32_t> ordinal_groups_binding(const Matrix &x, const Labels &order, const Counts &count, const Flags &mask,
                                          long long groups) {
    const std::size_t rows = x.shape(0), n = x.shape(1);
    same_shape("order", order, rows, n);
    same_shape("mask", mask, rows, n);
    if (count.shape(0) != rows) fail("one count per row of x");
    if (groups < 1 || groups > 1000000) fail("groups must lie in 1..1000000, got " + std::to_string(groups));
    nb::capsule owner;
    std::int32_t *labels = allocate<std::int32_t>(rows * n, owner);
    {
        nb::gil_scoped_release release;
        ordinal_groups(x.data(), order.data(), count.data(), bytes(mask), rows, n, (std::int32_t)groups, labels);
    }
    return Out2<std::int32_t>(labels, {rows, n}, owner);
}

Out2<double> group_means_binding(const Matrix &values, const Rows &value_rows, const Labels &labels, long long k) {
    const std::size_t rows = labels.shape(0), n = labels.shape(1);
    if (values.shape(1) != n) fail("values and labels must have the same number of columns");
    if (k < 1 || k > 1000000) fail("k must lie in 1..1000000, got " + std::to_string(k));
    rows_within("value_rows", value_rows, rows, values.shape(0));
    nb::capsule owner;
    double *out = allocate<double>(rows * (std::size_t)k, owner);
    {
        nb::gil_scoped_release release;
        group_means(values.data(), value_rows.data(), labels.data(), rows, n, (std::int32_t)k, out);
    }
    return Out2<double>(out, {rows, (std::size_t)k}, owner);
}

Out2<double> group_turnover_binding(const Labels &labels, long long k) {
    const std::size_t rows = labels.shape(0), n = labels.shape(1);
    if (k < 1 || k > 1000000) fail("k must lie in 1..1000000, got " + std::to_string(k));
    nb::capsule owner;
    double *out = allocate<double>(rows * (std::size_t)k, owner);
    {
        nb::gil_scoped_release release;
        group_turnover(labels.data(), rows, n, (std::int32_t)k, out);
    }
    return Out2<double>(out, {rows, (std::size_t)k}, owner);
}

Out2<double> demean_binding(const Matrix &x, const Labels &labels, long long k) {
    const std::size_t rows = x.shape(0), n = x.shape(1);
    same_shape("labels", labels, rows, n);
    if (k < 1 || k > 1000000) fail("k must lie in 1..1000000, got " + std::to_string(k));
    nb::capsule owner;
    double *out = allocate<double>(rows * n, owner);
    {
        nb::gil_scoped_release release;
        demean_by_label(x.data(), labels.data(), rows, n, (std::int32_t)k, out);
    }
    return Out2<double>(out, {rows, n}, owner);
}

// The market matrices of the label pass may have any strides (memory-mapped store
// rows, slices of them); they are read in place.
using AnyMatrix = nb::ndarray<const double, nb::ndim<2>, nb::device::cpu>;
using AnyFlags = nb::ndarray<const bool, nb::ndim<2>, nb::device::cpu>;

kernels::FloatView view(const AnyMatrix &a) { return {a.data(), (std::ptrdiff_t)a.stride(0), (std::ptrdiff_t)a.stride(1)}; }
kernels::BoolView view(const AnyFlags &a) {
    return {reinterpret_cast<const std::uint8_t *>(a.data()), (std::ptrdiff_t)a.stride(0), (std::ptrdiff_t)a.stride(1)};
}

Out2<double> label_pass_binding(const Labels &labels, const Matrix &weight, const Rows &row_of_day,
                                const AnyMatrix &prev_close, const AnyMatrix &close, const AnyMatrix &buy_price,
                                const AnyMatrix &sell_price, const AnyMatrix &split, const AnyMatrix &dividend,
                                const AnyFlags &can_buy, const AnyFlags &cant_sell, double total_money, double fee,
                                double rule_fee, double lot_size, int lanes) {
    const std::size_t days = prev_close.shape(0), stocks = prev_close.shape(1);
    same_shape("close", close, days, stocks);
    same_shape("buy_price", buy_price, days, stocks);
    same_shape("sell_price", sell_price, days, stocks);
    same_shape("split", split, days, stocks);
    same_shape("dividend", dividend, days, stocks);
    same_shape("can_buy", can_buy, days, stocks);
    same_shape("cant_sell", cant_sell, days, stocks);
    const std::size_t label_rows = labels.shape(0), k = weight.shape(1);
    same_shape("labels", labels, label_rows, stocks);
    same_shape("weight", weight, label_rows, k);
    rows_within("row_of_day", row_of_day, days, label_rows);
    portfolios::LabelPassInputs in;
    in.market.days = days;
    in.market.stocks = stocks;
    in.market.prev_close = view(prev_close);
    in.market.close = view(close);
    in.market.buy_price = view(buy_price);
    in.market.sell_price = view(sell_price);
    in.market.split = view(split);
    in.market.dividend = view(dividend);
    in.market.can_buy = view(can_buy);
    in.market.cant_sell = view(cant_sell);
    in.market.total_money = total_money;
    in.market.fee = fee;
    in.market.rule_fee = rule_fee;
    in.market.lot_size = lot_size;
    in.k = (std::int32_t)k;
    in.labels = labels.data();
    in.label_rows = label_rows;
    in.weight = weight.data();
    in.row_of_day = row_of_day.data();
    nb::capsule owner;
    double *out = allocate<double>(k * days, owner);
    {
        nb::gil_scoped_release release;
        portfolios::label_pass_daily_cash(in, out, lanes);
    }
    return Out2<double>(out, {k, days}, owner);
}

}  // namespace
}  // namespace tessary::factor

NB_MODULE(_factor_kernels, m) {
    using namespace tessary::factor;
    m.doc() = "Native kernels of factor research and the label pass; each runs with the GIL released.";
    m.def("one_day_returns", &one_day_returns_binding, "open"_a, "split"_a, "dividend"_a,
          "r1[t] = (open[t+1] x split[t+1] + dividend[t+1]) / open[t] - 1 (NaN split 1, NaN dividend 0); NaN "
          "where an open is missing or not positive, and on the last row.");
    m.def("compound", &compound_binding, "r1"_a, "h"_a,
          "prod_{k=1..h} (1 + r1[t+k]) - 1 per cell; NaN past the end or with a NaN term.");
    m.def("set_row_threads", [](unsigned threads) { row_thread_limit = threads; }, "threads"_a,
          "The most threads the per-date kernels called from this thread share a matrix's rows among "
          "(0: the cores; 1: none but the caller).");
    m.def("row_orders", &row_orders_binding, "x"_a,
          "(order, count): per row the columns with a value in ascending order, ties in column order.");
    m.def("rank_corr", &rank_corr_binding, "x"_a, "x_order"_a, "x_count"_a, "x_rows"_a, "y"_a, "y_order"_a,
          "y_count"_a, "y_rows"_a, "mask"_a, "min_count"_a, "x_ranks"_a = nb::none(),
          "Per mask row: the rank correlation of x row x_rows[t] and y row y_rows[t] over the masked stocks "
          "with both values; x_ranks (optional): the ranks of x over each mask row, reused where every stock "
          "has a y value.");
    m.def("masked_ranks", &masked_ranks_binding, "x"_a, "order"_a, "count"_a, "mask"_a,
          "Average-tie ranks of each row among the masked stocks with a value; NaN elsewhere.");
    m.def("ordinal_groups", &ordinal_groups_binding, "x"_a, "order"_a, "count"_a, "mask"_a, "groups"_a,
          "Group labels 1..groups by ordinal rank among the masked stocks (ties in column order); 0 = none.");
    m.def("group_means", &group_means_binding, "values"_a, "value_rows"_a, "labels"_a, "k"_a,
          "Per row and label 1..k: the mean of values row value_rows[t] over the stocks with that label.");
    m.def("group_turnover", &group_turnover_binding, "labels"_a, "k"_a,
          "Per row and label: 1 - (members kept from the row before) / members.");
    m.def("demean", &demean_binding, "x"_a, "labels"_a, "k"_a,
          "Each value minus the mean of its label's values on its row; NaN without a label.");
    m.def("label_pass", &label_pass_binding, "labels"_a, "weight"_a, "row_of_day"_a, "prev_close"_a, "close"_a,
          "buy_price"_a, "sell_price"_a, "split"_a, "dividend"_a, "can_buy"_a, "cant_sell"_a, "total_money"_a,
          "fee"_a, "rule_fee"_a, "lot_size"_a, "lanes"_a = 0,
          "Daily profit in money (k x days) of k equal-weight portfolios traded through the engine's day step; lanes 0 = the process's vector width, 1 = scalar, 4 or 8.");
}
