// Neumaier's compensated summation, the way every day-step kernel folds its per-block
// sums into a day's total: one definition, so that every pass that must agree with the
// engine to the bit folds exactly as the engine does.
#pragma once

#include <cmath>

namespace tessary::kernels {

/// Neumaier's compensated addition: `comp` collects the rounding error of `sum`.
inline void neumaier_add(double &sum, double &comp, double x) {
    const double t = sum + x;
    if (std::fabs(sum) >= std::fabs(x))
        comp += (sum - t) + x;
    else
        comp += (x - t) + sum;
    sum = t;
}

/// The compensated total; an infinite or NaN sum is returned as it is (its
/// compensation is meaningless then).
inline double compensated(double sum, double comp) { return std::isfinite(sum) ? sum + comp : sum; }

}  // namespace tessary::kernels
