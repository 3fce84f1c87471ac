// numpy arrays at the binding boundary: checked read-only views for the kernels and
// new arrays owned by Python for their results.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <cstddef>

#include "common/strided.hpp"

namespace tessary {

namespace nb = nanobind;

/// A checked 2-D view of a numpy array plus the reference that keeps it alive.
template <class T>
struct HeldView {
    nb::ndarray<nb::numpy, nb::ro> array;  // owner
    kernels::View2D<T> view;
    std::size_t rows = 0, cols = 0;
};

/// Views `obj` as a 2-D numpy array of float64 (`want_bool` false) or bool, without
/// copying. Raises TypeError naming `what` when it is not a numpy array of that
/// dtype, ValueError when it is not 2-D or its shape is not rows x cols.
HeldView<double> float_view(nb::handle obj, const char *what, std::size_t rows, std::size_t cols);
HeldView<std::uint8_t> bool_view(nb::handle obj, const char *what, std::size_t rows, std::size_t cols);

/// A new 1-D float64 numpy array of length n (uninitialised), and its data pointer.
nb::object new_float_array(std::size_t n, double **data);
/// A new C-contiguous 2-D float64 numpy array rows x cols (uninitialised).
nb::object new_float_matrix(std::size_t rows, std::size_t cols, double **data);

}  // namespace tessary
