// The strategy pipeline's weight smoothing at the binding boundary, shared with the
// recording pass so that records are made of exactly the weights the pipeline trades.
#pragma once

#include <cstddef>
#include <string>
#include <utility>

#include <nanobind/ndarray.h>

#include "common/arrays.hpp"
#include "common/daystep/weights.hpp"

namespace tessary::pnl {

/// The data of `out`, checked to be a writable float64 array of rows x cols with the
/// strides of `want` that shares no memory with `in` (ValueError otherwise).
inline double *given_output(nb::handle out, std::size_t rows, std::size_t cols, const kernels::OutView2D &want,
                            const kernels::FloatView &in) {
    nb::ndarray<double, nb::ndim<2>, nb::device::cpu> array;
    // No conversion: the kernel must write into `out` itself, not into a converted copy.
    const bool fits = nb::try_cast(out, array, false) && array.shape(0) == rows && array.shape(1) == cols &&
                      (rows < 2 || array.stride(0) == want.row_stride) && (cols < 2 || array.stride(1) == want.col_stride);
    if (!fits) {
        throw nb::value_error(("out must be a writable float64 array of shape (" + std::to_string(rows) + ", " +
                               std::to_string(cols) + ") in the layout of the weights' values")
                                  .c_str());
    }
    // The input's span of memory, whatever its strides.
    const auto span = [rows, cols](const double *base, std::ptrdiff_t rs, std::ptrdiff_t cs) {
        const double *lo = base, *hi = base;
        for (const std::ptrdiff_t step : {rs * (std::ptrdiff_t)(rows - 1), cs * (std::ptrdiff_t)(cols - 1)})
            (step < 0 ? lo : hi) += step;
        return std::make_pair(lo, hi + 1);
    };
    const auto [in_lo, in_hi] = span(in.data, in.row_stride, in.col_stride);
    const double *out_lo = array.data(), *out_hi = array.data() + rows * cols;
    if (rows && cols && out_lo < in_hi && in_lo < out_hi)
        throw nb::value_error("out must not share memory with the weights");
    return array.data();
}

/// rolling(window, min_periods=1).mean() of every column of `matrix`, first row
/// replaced by the raw first row, as a new float64 frame on the same labels (`np` and
/// `pd` are the numpy and pandas modules). The result keeps the layout of the input's
/// values (column-major for frames pandas built itself), so the kernel streams both
/// and nothing downstream copies it.
///
/// `out` (None: a new array) is a writable float64 array of that shape and layout
/// to write into instead, sharing no memory with the input: a caller that smooths
/// many matrices of one shape reuses its arrays rather than have fresh memory
/// cleared for every one.
inline nb::object smoothed_frame(nb::handle matrix, long long window, nb::handle np, nb::handle pd,
                                 nb::handle out_given = nb::handle()) {
    using namespace nb::literals;
    nb::object index = matrix.attr("index");
    nb::object columns = matrix.attr("columns");
    const std::size_t rows = nb::len(index);
    const std::size_t cols = nb::len(columns);
    // Frames of float64 columns only are read in place (their missing values are NaN
    // already); asking for a NaN fill would copy them into the other layout.
    nb::object all_float = matrix.attr("dtypes").attr("eq")(np.attr("float64")).attr("all")();
    const int truth = PyObject_IsTrue(all_float.ptr());
    if (truth < 0) throw nb::python_error();
    const bool float_only = truth == 1;
    nb::object values = float_only ? matrix.attr("to_numpy")("copy"_a = false)
                                   : matrix.attr("to_numpy")("dtype"_a = "float64", "na_value"_a = np.attr("nan"));
    auto in = float_view(values, "strategy_matrix values", rows, cols);

    const bool column_major = in.view.row_stride == 1;
    kernels::OutView2D out_view;
    out_view.row_stride = column_major ? 1 : (std::ptrdiff_t)cols;
    out_view.col_stride = column_major ? (std::ptrdiff_t)rows : 1;
    nb::object out;
    if (out_given.is_valid() && !out_given.is_none()) {
        out = nb::borrow(out_given);
        out_view.data = given_output(out, rows, cols, out_view, in.view);
    } else {
        out = np.attr("empty")(nb::make_tuple(rows, cols), "dtype"_a = "float64", "order"_a = column_major ? "F" : "C");
        out_view.data = nb::cast<nb::ndarray<double, nb::ndim<2>, nb::device::cpu>>(out).data();
    }
    {
        nb::gil_scoped_release release;
        kernels::rolling_mean_first_row_raw(in.view, rows, cols, (std::size_t)window, out_view);
    }
    return pd.attr("DataFrame")(out, "index"_a = index, "columns"_a = columns, "copy"_a = false);
}

}  // namespace tessary::pnl
