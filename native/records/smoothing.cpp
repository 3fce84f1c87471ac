// smooth_weights: the strategy pipeline's weight smoothing (trailing rolling mean,
// first row raw), through the same kernel, so that records are made of exactly the
// weights the pipeline trades.
#include <nanobind/ndarray.h>

#include "common/arrays.hpp"
#include "common/pyutil.hpp"
#include "pnl_engine/kernels/weights.hpp"
#include "records/module.hpp"

namespace tessary::records {

using namespace nb::literals;
using args::Default;
using args::Kind;

static const args::Signature kSmoothSig("smooth_weights",
                                        {{"strategy_matrix"}, {"rolling_window", Kind::Int, Default::of(0)}});

static nb::object smooth_weights(const args::Bound &a) {
    nb::object matrix = a.obj("strategy_matrix");
    const long long window = a.i64("rolling_window");
    if (window <= 0) return matrix;  // no smoothing: the weights as given

    nb::object np = nb::module_::import_("numpy");
    nb::object pd = nb::module_::import_("pandas");
    nb::object index = matrix.attr("index");
    nb::object columns = matrix.attr("columns");
    const std::size_t rows = nb::len(index);
    const std::size_t cols = nb::len(columns);
    nb::object values = matrix.attr("to_numpy")("dtype"_a = "float64", "na_value"_a = np.attr("nan"));
    auto in = float_view(values, "strategy_matrix values", rows, cols);

    // The result keeps the layout of the input's values, so the kernel streams both.
    const bool column_major = in.view.row_stride == 1;
    nb::object out = np.attr("empty")(nb::make_tuple(rows, cols), "dtype"_a = "float64",
                                      "order"_a = column_major ? "F" : "C");
    kernels::OutView2D out_view;
    out_view.data = nb::cast<nb::ndarray<double, nb::ndim<2>, nb::device::cpu>>(out).data();
    out_view.row_stride = column_major ? 1 : (std::ptrdiff_t)cols;
    out_view.col_stride = column_major ? (std::ptrdiff_t)rows : 1;
    {
        nb::gil_scoped_release release;
        kernels::rolling_mean_first_row_raw(in.view, rows, cols, (std::size_t)window, out_view);
    }
    return pd.attr("DataFrame")(out, "index"_a = index, "columns"_a = columns, "copy"_a = false);
}

void init_smoothing(nb::module_ &m) {
    def_bound(m, kSmoothSig, smooth_weights, "def smooth_weights(strategy_matrix, rolling_window=0) -> pandas.DataFrame",
              "The weights run_strategy_backtest_core trades: for rolling_window > 0 the trailing "
              "rolling(rolling_window, min_periods=1) mean of every column with the first row kept raw, as a "
              "new float64 frame; otherwise strategy_matrix itself.");
}

}  // namespace tessary::records
