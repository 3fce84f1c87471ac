// The strategy pipeline's weight smoothing at the binding boundary, shared with the
// recording pass so that records are made of exactly the weights the pipeline trades.
#pragma once

#include <cstddef>

#include <nanobind/ndarray.h>

#include "common/arrays.hpp"
#include "common/daystep/weights.hpp"

namespace tessary::pnl {

/// rolling(window, min_periods=1).mean() of every column of `matrix`, first row
/// replaced by the raw first row, as a new float64 frame on the same labels (`np` and
/// `pd` are the numpy and pandas modules). The result keeps the layout of the input's
/// values (column-major for frames pandas built itself), so the kernel streams both
/// and nothing downstream copies it.
inline nb::object smoothed_frame(nb::handle matrix, long long window, nb::handle np, nb::handle pd) {
    using namespace nb::literals;
    nb::object index = matrix.attr("index");
    nb::object columns = matrix.attr("columns");
    const std::size_t rows = nb::len(index);
    const std::size_t cols = nb::len(columns);
    nb::object values = matrix.attr("to_numpy")("dtype"_a = "float64", "na_value"_a = np.attr("nan"));
    auto in = float_view(values, "strategy_matrix values", rows, cols);

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

}  // namespace tessary::pnl
