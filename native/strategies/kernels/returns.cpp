// Per-stock daily total returns (see returns.hpp).
#include "strategies/kernels/returns.hpp"

#include <cmath>
#include <limits>

namespace tessary::strategies {

void total_return(const Values &close, const Values &prev, const Values &split, const Values &dividend,
                  std::size_t rows, std::size_t cols, double *out) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (std::size_t r = 0; r < rows; ++r) {
        double *row = out + r * cols;
        for (std::size_t c = 0; c < cols; ++c) {
            const double s = split(r, c), d = dividend(r, c);
            const double value = (close(r, c) * (std::isnan(s) ? 1.0 : s) + (std::isnan(d) ? 0.0 : d)) / prev(r, c) - 1.0;
            row[c] = std::isfinite(value) ? value : nan;
        }
    }
}

}  // namespace tessary::strategies
