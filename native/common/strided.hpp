// Read-only views of 2-D buffers with arbitrary (element) strides: pandas hands out
// both row-major and column-major blocks, and neither is copied.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tessary::kernels {

template <class T>
struct View2D {
    const T *data = nullptr;
    std::ptrdiff_t row_stride = 0;  // elements between consecutive rows (days)
    std::ptrdiff_t col_stride = 0;  // elements between consecutive columns (stocks)

    // Always inlined: it is also compiled into files built for wider instruction sets.
    [[gnu::always_inline]] const T &operator()(std::size_t r, std::size_t c) const {
        return data[(std::ptrdiff_t)r * row_stride + (std::ptrdiff_t)c * col_stride];
    }
};

using FloatView = View2D<double>;
using BoolView = View2D<std::uint8_t>;  // numpy bool: one byte, nonzero = True

}  // namespace tessary::kernels
