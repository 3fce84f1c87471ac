// smooth_weights: the strategy pipeline's weight smoothing (trailing rolling mean,
// first row raw), through the same kernel, so that records are made of exactly the
// weights the pipeline trades.
#include "common/arrays.hpp"
#include "common/pyutil.hpp"
#include "common/smoothing.hpp"
#include "records/module.hpp"

namespace tessary::records {

using namespace nb::literals;
using args::Default;
using args::Kind;

static const args::Signature kSmoothSig("smooth_weights",
                                        {{"strategy_matrix", "pandas.DataFrame"},
                                         {"rolling_window", Kind::Int, Default::of(0)},
                                         {"out", "numpy.ndarray | None", Kind::Object, Default::none()}},
                                        {"pandas.DataFrame",
                                         "The weights run_strategy_backtest_core trades: for rolling_window > 0 the "
                                         "trailing rolling(rolling_window, min_periods=1) mean of every column with "
                                         "the first row kept raw, as a new float64 frame (written into out when "
                                         "given: a float64 array of the weights' shape and memory layout); "
                                         "otherwise strategy_matrix itself."});

static nb::object smooth_weights(const args::Bound &a) {
    nb::object matrix = a.obj("strategy_matrix");
    const long long window = a.i64("rolling_window");
    if (window <= 0) return matrix;  // no smoothing: the weights as given

    return pnl::smoothed_frame(matrix, window, nb::module_::import_("numpy"), nb::module_::import_("pandas"),
                               a.obj("out"));
}

void init_smoothing(nb::module_ &m) {
    def_bound(m, kSmoothSig, smooth_weights);
}

}  // namespace tessary::records
