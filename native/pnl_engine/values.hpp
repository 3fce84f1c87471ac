// float64 values of pandas objects at the boundary of the statistics kernels, without
// copying where pandas already holds float64, and small conversions shared by the
// statistics, yearly, weekly and pipeline bindings.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <cstddef>
#include <limits>

#include "pnl_engine/kernels/returns.hpp"

namespace tessary::pnl {

namespace nb = nanobind;

inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

/// The values of a Series as a 1-D float64 view plus the array that owns them.
struct SeriesValues {
    nb::object owner;
    kernels::View1D view;
    std::size_t size = 0;
};

/// `series.to_numpy(dtype="float64", na_value=nan)` viewed without a copy (missing
/// markers become NaN). Raises ValueError naming `what` when the result is not 1-D,
/// as for a column label that selects several columns.
SeriesValues series_values(nb::handle series, const char *what);

/// `frame.to_numpy(dtype="float64", na_value=nan)`: a float64 2-D array (a view of
/// the frame's block when it already is one).
nb::object frame_values(nb::handle frame);

/// Python's float(obj) as a double.
double to_double(nb::handle obj);

/// The module constant TRADING_DAYS_PER_YEAR, read now, as a double.
double trading_days_per_year();

}  // namespace tessary::pnl
