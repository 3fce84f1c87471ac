// calc_strategy_vwap_daily_return: binding of the VWAP daily-return kernel.
#include <vector>

#include "common/arrays.hpp"
#include "common/pyutil.hpp"
#include "pnl_engine/kernels/vwap.hpp"
#include "pnl_engine/module.hpp"

namespace tessary::pnl {

using namespace nb::literals;
using args::Default;
using args::Kind;

static const args::Signature kVwapSig("calc_strategy_vwap_daily_return",
                                      {{"signal_matrix"},
                                       {"can_buy_stock"},
                                       {"cant_sell_stock"},
                                       {"split_factor"},
                                       {"dividend_factor"},
                                       {"close_price"},
                                       {"prev_close"},
                                       {"buy_price"},
                                       {"sell_price"},
                                       {"total_money", Kind::Float, Default::of(1e8)},
                                       {"fee", Kind::Float, Default::of(0.0001)},
                                       {"rule_fee", Kind::Float, Default::of(0.0005)},
                                       {"lot_size", Kind::Int, Default::of(200)}});


/// The weights of the previous date on every return date, as float64 rows x columns.
/// With unique labels the shift-and-reindex is exactly "all rows but the last", a
/// view of the caller's values; otherwise pandas does it (and raises for duplicates).
static nb::object shifted_signal(nb::handle signal_matrix, nb::handle pnl_index, nb::handle columns) {
    nb::handle source_index = signal_matrix.attr("index");
    if (nb::cast<bool>(source_index.attr("is_unique")) && nb::cast<bool>(columns.attr("is_unique"))) {
        nb::object values = signal_matrix.attr("to_numpy")("dtype"_a = "float64");
        return values[nb::slice(nb::none(), nb::int_(-1), nb::none())];
    }
    nb::object shifted = signal_matrix.attr("shift")(1);
    nb::object aligned = shifted.attr("reindex")("index"_a = pnl_index, "columns"_a = columns);
    return aligned.attr("to_numpy")("dtype"_a = "float64");
}

static nb::object calc_strategy_vwap_daily_return(const args::Bound &a) {
    nb::object signal_matrix = a.obj("signal_matrix");
    nb::object source_index = signal_matrix.attr("index");
    nb::object columns = signal_matrix.attr("columns");
    nb::object pd = attr("pd");
    const size_t n_source = nb::len(source_index);
    if (n_source < 2) return pd.attr("Series")("dtype"_a = nb::module_::import_("builtins").attr("float"));

    nb::object pnl_index = source_index[nb::slice(nb::int_(1), nb::none(), nb::none())];
    const size_t days = n_source - 1;
    const size_t stocks = nb::len(columns);

    nb::object build = attr("_build_market_arrays");
    nb::object market = build(pnl_index, columns, a.obj("can_buy_stock"), a.obj("cant_sell_stock"),
                              a.obj("split_factor"), a.obj("dividend_factor"), a.obj("close_price"),
                              a.obj("prev_close"), a.obj("buy_price"), a.obj("sell_price"));
    // Keys read in this order; each array is checked for dtype and shape before use.
    auto prev_close = float_view(market["prev_close_arr"], "prev_close_arr", days, stocks);
    auto can_buy = bool_view(market["can_buy_arr"], "can_buy_arr", days, stocks);
    auto cant_sell = bool_view(market["cant_sell_arr"], "cant_sell_arr", days, stocks);
    auto close = float_view(market["close_arr"], "close_arr", days, stocks);
    auto buy_price = float_view(market["buy_price_arr"], "buy_price_arr", days, stocks);
    auto sell_price = float_view(market["sell_price_arr"], "sell_price_arr", days, stocks);
    auto split = float_view(market["split_arr"], "split_arr", days, stocks);
    auto dividend = float_view(market["dividend_arr"], "dividend_arr", days, stocks);
    auto signal = float_view(shifted_signal(signal_matrix, pnl_index, columns), "signal_arr", days, stocks);

    kernels::VwapInputs in;
    in.days = days;
    in.stocks = stocks;
    in.signal = signal.view;
    in.prev_close = prev_close.view;
    in.close = close.view;
    in.buy_price = buy_price.view;
    in.sell_price = sell_price.view;
    in.split = split.view;
    in.dividend = dividend.view;
    in.can_buy = can_buy.view;
    in.cant_sell = cant_sell.view;
    in.total_money = a.f64("total_money");
    in.fee = a.f64("fee");
    in.rule_fee = a.f64("rule_fee");
    in.lot_size = (double)a.i64("lot_size");

    double *out = nullptr;
    nb::object result = new_float_array(days, &out);
    {
        nb::gil_scoped_release release;
        std::vector<double> scratch(kernels::vwap_scratch_size(days));
        kernels::vwap_daily_cash(in, out, scratch.data());
        for (size_t i = 0; i < days; ++i) out[i] = out[i] / in.total_money;
    }
    return pd.attr("Series")(result, "index"_a = pnl_index);
}

void init_vwap(nb::module_ &m) {
    def_bound(m, kVwapSig, calc_strategy_vwap_daily_return,
              "def calc_strategy_vwap_daily_return(signal_matrix, can_buy_stock, cant_sell_stock, split_factor, "
              "dividend_factor, close_price, prev_close, buy_price, sell_price, total_money=100000000.0, "
              "fee=0.0001, rule_fee=0.0005, lot_size=200) -> pandas.Series",
              "Daily returns (ratios of total_money) of the weights of each date traded on the next date at "
              "VWAP execution prices, in whole lots, with feasibility flags, split/dividend adjustment and fees.");
}

}  // namespace tessary::pnl
