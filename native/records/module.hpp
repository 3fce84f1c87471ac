// Registration entry points of the recording module, one per source file.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/daystep/vwap.hpp"

namespace tessary::records {

namespace nb = nanobind;

/// Fully qualified name of this module.
inline constexpr const char *kModule = "tessary.backtest._records";

void init_record_pass(nb::module_ &m);  // calc_strategy_vwap_records
void init_smoothing(nb::module_ &m);    // smooth_weights
void init_fee_paths(nb::module_ &m);    // fee_path_returns
void init_portfolio_paths(nb::module_ &m);  // portfolio_path_returns

/// Daily returns (variants x days, row v at out[v * days]) of the weight matrices
/// `signals` (the engine's shifted signals on `market`): matrix j holds the paths
/// [path_start[j], path_start[j + 1]), path p trades `money[p]` under the variants
/// [variant_start[p], variant_start[p + 1]) of `fees` / `rule_fees`. One pass of the
/// multi-portfolio kernel; no Python object is touched (call it without the GIL).
void price_paths(const kernels::VwapInputs &market, const std::vector<kernels::FloatView> &signals, std::size_t days,
                 std::size_t stocks, const std::int64_t *path_start, const std::vector<double> &money,
                 const std::int64_t *variant_start, const std::vector<double> &fees,
                 const std::vector<double> &rule_fees, double *out);

}  // namespace tessary::records
