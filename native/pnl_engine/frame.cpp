// Module frame: imports bound at load, module constants, the plot lock and the
// pipeline's result record.
#include "pnl_engine/module.hpp"

namespace tessary::pnl {

using namespace nb::literals;

/// Creates `_PnlEngineResult` as a genuine dataclass (generated __init__, __eq__ and
/// __repr__, six required fields in order) whose __module__ is this module.
static nb::object make_result_record(nb::module_ &m) {
    nb::object builtins = nb::module_::import_("builtins");
    nb::object pd = m.attr("pd");
    nb::dict annotations;
    annotations["strategy_name"] = builtins.attr("str");
    annotations["daily_return"] = pd.attr("Series");
    annotations["cumulative_return"] = pd.attr("Series");
    annotations["stats"] = builtins.attr("dict");
    annotations["benchmark_summary"] = pd.attr("DataFrame");
    annotations["plot_paths"] = nb::module_::import_("typing").attr("Dict")[nb::make_tuple(
        builtins.attr("str"), builtins.attr("str"))];
    nb::dict ns;
    ns["__annotations__"] = annotations;
    ns["__module__"] = m.attr("__name__");
    ns["__qualname__"] = "_PnlEngineResult";
    ns["__doc__"] =
        "Result of one strategy backtest: name, daily returns, net value, statistics, "
        "per-benchmark summary and the paths of the saved charts.";
    nb::object cls = builtins.attr("type")("_PnlEngineResult", nb::make_tuple(builtins.attr("object")), ns);
    return m.attr("dataclass")(cls);
}

void init_frame(nb::module_ &m) {
    // 1. Standard library.
    m.attr("contextlib") = nb::module_::import_("contextlib");
    m.attr("threading") = nb::module_::import_("threading");
    m.attr("dataclass") = nb::module_::import_("dataclasses").attr("dataclass");
    m.attr("Path") = nb::module_::import_("pathlib").attr("Path");
    // 2. numpy and pandas.
    m.attr("np") = nb::module_::import_("numpy");
    m.attr("pd") = nb::module_::import_("pandas");
    // 3. The sibling module's helpers. Every use looks them up here at call time.
    nb::object core = nb::module_::import_("tessary.backtest._core");
    m.attr("_build_market_arrays") = core.attr("_build_market_arrays");
    m.attr("_with_datetime_index") = core.attr("_with_datetime_index");
    m.attr("safe_sharpe") = core.attr("safe_sharpe");
    // 4. Lock, constants, record.
    m.attr("_MATPLOTLIB_PLOT_LOCK") = m.attr("threading").attr("RLock")();
    m.attr("TRADING_DAYS_PER_YEAR") = 252;
    m.attr("ROLLING_STABILITY_DAYS") = 60;
    m.attr("MIN_ROLLING_STABILITY_DAYS") = 5;
    m.attr("_PnlEngineResult") = make_result_record(m);
}

}  // namespace tessary::pnl
