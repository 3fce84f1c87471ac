// Module definition of tessary.backtest._records: calls each file's init in load order.
#include "records/module.hpp"

#include "common/args.hpp"
#include "common/simd/simd_choice.hpp"

NB_MODULE(_records, m) {
    using namespace tessary::records;
    // The recording pass dispatches by the same vector width as the engine: a
    // TESSARY_SIMD this machine cannot honour stops the import with the engine's text.
    if (const std::string &error = tessary::kernels::simd_error(); !error.empty())
        throw nb::import_error(error.c_str());
    m.doc() = "Recording pass of the VWAP engine: trades, refused trades, positions, profit terms and daily totals.";
    init_record_pass(m);
    init_smoothing(m);
    init_fee_paths(m);
    init_portfolio_paths(m);
    m.def("_binder_signatures", &tessary::args::binder_tables, "The argument binder's parameter tables (for the tests).");
}
