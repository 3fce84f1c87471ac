// The VWAP kernel's inputs from a call's bound arguments: the market frames aligned by
// _build_market_arrays, the weights shifted onto the return dates, each a checked view.
// Shared by the return engine and the recording pass, so both read and check their
// arguments the same way, in the same order, with the same messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "common/args.hpp"
#include "common/arrays.hpp"
#include "common/daystep/vwap.hpp"

namespace tessary::pnl {

/// The eight market frames a day-step binding takes after the weights, in the order of
/// MARKET_FRAMES (tessary/backtest/_market_frames.py).
inline constexpr const char *kMarketFrames[] = {"can_buy_stock", "cant_sell_stock", "split_factor",
                                                "dividend_factor", "close_price",   "prev_close",
                                                "buy_price",       "sell_price"};

/// The parameter table of a day-step binding: the weight frame `weights`, the eight
/// market frames, then `rest`.
inline std::vector<args::Param> market_params(const char *weights, std::initializer_list<args::Param> rest) {
    std::vector<args::Param> out{{weights, "pandas.DataFrame"}};
    for (const char *frame : kMarketFrames) out.push_back({frame, "pandas.DataFrame"});
    out.insert(out.end(), rest);
    return out;
}

/// The parameters of the engine's day step and of its recording: the frames, then
/// the capital, the fees, the lot size and the keyword-only hold-rule flags `given`.
inline std::vector<args::Param> vwap_params() {
    using args::Default;
    using args::Kind;
    return market_params("signal_matrix", {{"total_money", Kind::Float, Default::of(1e8)},
                                           {"fee", Kind::Float, Default::of(0.0001)},
                                           {"rule_fee", Kind::Float, Default::of(0.0005)},
                                           {"lot_size", Kind::Int, Default::of(200)},
                                           {"given", "numpy.ndarray | None", Kind::Object, Default::none(), true}});
}

/// The weights of the previous date on every return date, as float64 rows x columns.
/// With unique labels the shift-and-reindex is exactly "all rows but the last", a
/// view of the caller's values; otherwise pandas does it (and raises for duplicates).
inline nb::object shifted_signal(nb::handle signal_matrix, nb::handle pnl_index, nb::handle columns) {
    using namespace nb::literals;
    nb::handle source_index = signal_matrix.attr("index");
    if (nb::cast<bool>(source_index.attr("is_unique")) && nb::cast<bool>(columns.attr("is_unique"))) {
        nb::object values = signal_matrix.attr("to_numpy")("dtype"_a = "float64");
        return values[nb::slice(nb::none(), nb::int_(-1), nb::none())];
    }
    nb::object shifted = signal_matrix.attr("shift")(1);
    nb::object aligned = shifted.attr("reindex")("index"_a = pnl_index, "columns"_a = columns);
    return aligned.attr("to_numpy")("dtype"_a = "float64");
}

/// The hold rule's flags of `given` (one boolean per date of the weights: True where
/// the date's weights set new share targets) for the return days: the flag of each
/// date but the last, whose weights are traded after the end. TypeError unless a 1-D
/// boolean sequence, ValueError unless one per date; `func` names the function.
inline std::vector<std::uint8_t> given_flags(nb::handle given, std::size_t n_source, const char *func) {
    nb::object arr = nb::module_::import_("numpy").attr("asarray")(given);
    nb::object dtype = arr.attr("dtype"), shape = arr.attr("shape");
    if (!dtype.attr("kind").equal(nb::str("b")))
        throw nb::type_error((std::string(func) + ": given must be a 1-D sequence of booleans (one per date of the "
                              "weights), not values of dtype " + nb::str(nb::handle(dtype)).c_str())
                                 .c_str());
    if (nb::cast<std::size_t>(arr.attr("ndim")) != 1 || nb::len(arr) != n_source)
        throw nb::value_error((std::string(func) + ": given must hold one boolean per date of the weights (" +
                               std::to_string(n_source) + "), not shape " + nb::str(nb::handle(shape)).c_str())
                                  .c_str());
    nb::list values = nb::list(arr.attr("tolist")());
    std::vector<std::uint8_t> flags(n_source > 0 ? n_source - 1 : 0);
    for (std::size_t i = 0; i < flags.size(); ++i) flags[i] = nb::cast<bool>(values[i]) ? 1 : 0;
    return flags;
}

/// The arrays the kernel reads (kept alive as long as this object) and its inputs.
struct BoundVwapInputs {
    HeldView<double> prev_close, close, buy_price, sell_price, split, dividend, signal;
    HeldView<std::uint8_t> can_buy, cant_sell;
    kernels::VwapInputs in;
};

/// Calls `build` (the `_build_market_arrays` of the sibling module) once with the
/// return dates, the columns and the eight market frames of `a`, checks every array it
/// returns for dtype and shape (keys read in the engine's order), and adds the shifted
/// weights and the scalars total_money, fee, rule_fee and lot_size.
inline BoundVwapInputs bind_vwap_inputs(const args::Bound &a, nb::handle build, nb::handle signal_matrix,
                                        nb::handle pnl_index, nb::handle columns, std::size_t days,
                                        std::size_t stocks) {
    const auto &f = kMarketFrames;
    nb::object market = build(pnl_index, columns, a.obj(f[0]), a.obj(f[1]), a.obj(f[2]), a.obj(f[3]), a.obj(f[4]),
                              a.obj(f[5]), a.obj(f[6]), a.obj(f[7]));
    BoundVwapInputs b;
    b.prev_close = float_view(market["prev_close_arr"], "prev_close_arr", days, stocks);
    b.can_buy = bool_view(market["can_buy_arr"], "can_buy_arr", days, stocks);
    b.cant_sell = bool_view(market["cant_sell_arr"], "cant_sell_arr", days, stocks);
    b.close = float_view(market["close_arr"], "close_arr", days, stocks);
    b.buy_price = float_view(market["buy_price_arr"], "buy_price_arr", days, stocks);
    b.sell_price = float_view(market["sell_price_arr"], "sell_price_arr", days, stocks);
    b.split = float_view(market["split_arr"], "split_arr", days, stocks);
    b.dividend = float_view(market["dividend_arr"], "dividend_arr", days, stocks);
    b.signal = float_view(shifted_signal(signal_matrix, pnl_index, columns), "signal_arr", days, stocks);

    kernels::VwapInputs &in = b.in;
    in.days = days;
    in.stocks = stocks;
    in.signal = b.signal.view;
    in.prev_close = b.prev_close.view;
    in.close = b.close.view;
    in.buy_price = b.buy_price.view;
    in.sell_price = b.sell_price.view;
    in.split = b.split.view;
    in.dividend = b.dividend.view;
    in.can_buy = b.can_buy.view;
    in.cant_sell = b.cant_sell.view;
    in.total_money = a.f64("total_money");
    in.fee = a.f64("fee");
    in.rule_fee = a.f64("rule_fee");
    in.lot_size = (double)a.i64("lot_size");
    return b;
}

}  // namespace tessary::pnl
