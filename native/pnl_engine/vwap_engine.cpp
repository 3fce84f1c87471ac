// calc_strategy_vwap_daily_return: binding of the VWAP daily-return kernel.
#include <vector>

#include "common/arrays.hpp"
#include "common/pyutil.hpp"
#include "common/daystep/vwap.hpp"
#include "common/vwap_inputs.hpp"
#include "pnl_engine/module.hpp"

namespace tessary::pnl {

using namespace nb::literals;
using args::Default;
using args::Kind;

static const args::Signature kVwapSig("calc_strategy_vwap_daily_return", vwap_params(),
                                      {"pandas.Series",
                                       "Daily returns (ratios of total_money) of the weights of each date traded on "
                                       "the next date at VWAP execution prices, in whole lots, with feasibility "
                                       "flags, split/dividend adjustment and fees. given=None re-sizes every "
                                       "position each day to weight x total_money / previous close; given, one "
                                       "boolean per date, sets share targets from the weights of the True dates only "
                                       "and holds them in shares until the next True date (refused trades tried "
                                       "again each day, splits scaling holding and target together)."});


static nb::object calc_strategy_vwap_daily_return(const args::Bound &a) {
    nb::object signal_matrix = a.obj("signal_matrix");
    nb::object source_index = signal_matrix.attr("index");
    nb::object columns = signal_matrix.attr("columns");
    nb::object pd = attr("pd");
    const size_t n_source = nb::len(source_index);
    const bool hold = !a.is_none("given");
    const std::vector<std::uint8_t> given =
        hold ? given_flags(a.obj("given"), n_source, "calc_strategy_vwap_daily_return") : std::vector<std::uint8_t>();
    if (n_source < 2) return pd.attr("Series")("dtype"_a = nb::module_::import_("builtins").attr("float"));

    nb::object pnl_index = source_index[nb::slice(nb::int_(1), nb::none(), nb::none())];
    const size_t days = n_source - 1;
    const size_t stocks = nb::len(columns);

    const BoundVwapInputs bound =
        bind_vwap_inputs(a, attr("_build_market_arrays"), signal_matrix, pnl_index, columns, days, stocks);
    const kernels::VwapInputs &in = bound.in;

    double *out = nullptr;
    nb::object result = new_float_array(days, &out);
    {
        nb::gil_scoped_release release;
        std::vector<double> scratch(kernels::vwap_scratch_size(days));
        if (hold)
            kernels::vwap_daily_cash_hold(in, given.data(), out, scratch.data());
        else
            kernels::vwap_daily_cash(in, out, scratch.data());
        for (size_t i = 0; i < days; ++i) out[i] = out[i] / in.total_money;
    }
    return pd.attr("Series")(result, "index"_a = pnl_index);
}

void init_vwap(nb::module_ &m) {
    def_bound(m, kVwapSig, calc_strategy_vwap_daily_return);
}

}  // namespace tessary::pnl
