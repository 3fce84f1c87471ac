// fee_path_returns: the daily returns of one weight matrix under several fee rates
// in one pass over the market, each equal to calc_strategy_vwap_daily_return's.
#include <string>
#include <vector>

#include "common/arrays.hpp"
#include "common/pyutil.hpp"
#include "common/vwap_inputs.hpp"
#include "records/module.hpp"

namespace tessary::records {

using namespace nb::literals;
using args::Default;
using args::Kind;

static const args::Signature kFeePathSig(
    "fee_path_returns",
    pnl::market_params("signal_matrix",
                       {{"fees", "list[float]"},
                        {"rule_fees", "list[float]"},
                        {"total_money", Kind::Float, Default::of(1e8)},
                        {"fee", Kind::Float, Default::of(0.0)},
                        {"rule_fee", Kind::Float, Default::of(0.0)},
                        {"lot_size", Kind::Int, Default::of(200)}}),
    {"tuple[numpy.ndarray, pandas.Index]",
     "The daily returns (k x return dates, and the return dates) of the weights traded as "
     "calc_strategy_vwap_daily_return trades them, once per rate pair (fees[j], rule_fees[j]): row j equals that "
     "function's result with fee=fees[j] and rule_fee=rule_fees[j], bit for bit, from one pass over the market. "
     "fee and rule_fee are not used."});

static std::vector<double> rates(nb::handle values, const char *name) {
    std::vector<double> out;
    for (nb::handle v : nb::list(nb::module_::import_("builtins").attr("list")(values))) {
        if (!nb::isinstance<nb::float_>(v) && !nb::isinstance<nb::int_>(v))
            throw nb::type_error((std::string("fee_path_returns: ") + name + " must hold numbers").c_str());
        out.push_back(nb::cast<double>(v));
    }
    return out;
}

static nb::object fee_path_returns(const args::Bound &a) {
    nb::object signal_matrix = a.obj("signal_matrix");
    const std::vector<double> fees = rates(a.obj("fees"), "fees");
    const std::vector<double> rule_fees = rates(a.obj("rule_fees"), "rule_fees");
    if (fees.size() != rule_fees.size() || fees.empty())
        throw nb::value_error("fee_path_returns: fees and rule_fees must hold one rate each per portfolio");
    nb::object source_index = signal_matrix.attr("index");
    nb::object columns = signal_matrix.attr("columns");
    const std::size_t n_source = nb::len(source_index);
    if (n_source < 2) throw nb::value_error("fee_path_returns: the weights need at least two dates");
    nb::object pnl_index = source_index[nb::slice(nb::int_(1), nb::none(), nb::none())];
    const std::size_t days = n_source - 1, stocks = nb::len(columns), k = fees.size();
    const pnl::BoundVwapInputs bound = pnl::bind_vwap_inputs(
        a, module_attr("tessary.backtest._core", "_build_market_arrays"), signal_matrix, pnl_index, columns, days,
        stocks);
    double *out = nullptr;
    nb::object result = new_float_array(k * days, &out);
    {
        nb::gil_scoped_release release;
        // One weight matrix, one path at the call's capital, one variant per rate pair.
        const std::int64_t path_start[2] = {0, 1}, variant_start[2] = {0, (std::int64_t)k};
        price_paths(bound.in, {bound.in.signal}, days, stocks, path_start, {bound.in.total_money}, variant_start,
                    fees, rule_fees, out);
    }
    return nb::make_tuple(result.attr("reshape")(nb::make_tuple(k, days)), pnl_index);
}

void init_fee_paths(nb::module_ &m) { def_bound(m, kFeePathSig, fee_path_returns); }

}  // namespace tessary::records
