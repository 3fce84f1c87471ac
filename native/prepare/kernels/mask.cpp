// Constituent-mask kernel.
#include "prepare/kernels/mask.hpp"

#include <cmath>
#include <limits>

namespace tessary::kernels {

void component_mask(const FloatView &values, std::size_t rows, std::size_t cols, double *out) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (std::size_t c = 0; c < cols; ++c)
        for (std::size_t r = 0; r < rows; ++r) {
            const double v = values(r, c);
            out[c * rows + r] = (std::isfinite(v) && v != 0.0) ? 1.0 : nan;
        }
}

}  // namespace tessary::kernels
