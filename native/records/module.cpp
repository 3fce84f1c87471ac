// Module definition of tessary.backtest._records: calls each file's init in load order.
#include "records/module.hpp"

#include "common/args.hpp"

NB_MODULE(_records, m) {
    using namespace tessary::records;
    m.doc() = "Recording pass of the VWAP engine: trades, refused trades, positions, profit terms and daily totals.";
    init_record_pass(m);
    init_smoothing(m);
    m.def("_binder_signatures", &tessary::args::binder_tables, "The argument binder's parameter tables (for the tests).");
}
