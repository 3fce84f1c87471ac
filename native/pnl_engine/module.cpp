// Module definition of tessary.backtest._pnl_engine: calls each file's init in load order.
#include "pnl_engine/module.hpp"

#include "common/pyutil.hpp"

namespace tessary::pnl {

nb::object attr(const char *name) { return module_attr(kModule, name); }

}  // namespace tessary::pnl

NB_MODULE(_pnl_engine, m) {
    using namespace tessary::pnl;
    m.doc() = "Strategy return engine: VWAP daily returns, statistics, yearly and weekly views, report charts.";
    init_simd(m);  // first: a TESSARY_SIMD this machine cannot honour stops the import
    init_frame(m);
    init_vwap(m);
    init_format(m);
    init_yearly(m);
    init_weekly(m);
    init_stats(m);
    init_pipeline(m);
    init_charts(m);
    init_yearly_table(m);
    init_figure_performance(m);
    init_figure_weekly(m);
    m.def("_binder_signatures", &tessary::args::binder_tables, "The argument binder's parameter tables (for the tests).");
}
