// Read-only strided views of the 2-D buffers handed to the strategy kernels (pandas
// gives out row-major and column-major blocks alike; neither is copied).
#pragma once

#include <cstddef>
#include <cstdint>

namespace tessary::strategies {

template <class T>
struct Strided2D {
    const T *data = nullptr;
    std::ptrdiff_t row_stride = 0;  // elements between consecutive dates
    std::ptrdiff_t col_stride = 0;  // elements between consecutive stocks

    const T &operator()(std::size_t r, std::size_t c) const {
        return data[(std::ptrdiff_t)r * row_stride + (std::ptrdiff_t)c * col_stride];
    }
};

using Values = Strided2D<double>;
using Flags = Strided2D<std::uint8_t>;  // numpy bool: one byte, nonzero = True

}  // namespace tessary::strategies
