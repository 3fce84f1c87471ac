// Registration entry points of the recording module, one per source file.
#pragma once

#include <nanobind/nanobind.h>

namespace tessary::records {

namespace nb = nanobind;

/// Fully qualified name of this module.
inline constexpr const char *kModule = "tessary.backtest._records";

void init_record_pass(nb::module_ &m);  // calc_strategy_vwap_records
void init_smoothing(nb::module_ &m);    // smooth_weights
void init_fee_paths(nb::module_ &m);    // fee_path_returns
void init_portfolio_paths(nb::module_ &m);  // portfolio_path_returns

}  // namespace tessary::records
