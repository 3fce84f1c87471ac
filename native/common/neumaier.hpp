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

/// neumaier_add's arithmetic without a branch: both corrections computed and the one
/// the branch would take kept, so the bits are the same; for loops over many sums,
/// which the compiler then runs in vector lanes (no unpredictable branch per sum).
inline void neumaier_add_select(double &sum, double &comp, double x) {
    const double t = sum + x;
    const double big = (sum - t) + x, small = (x - t) + sum;
    comp += std::fabs(sum) >= std::fabs(x) ? big : small;
    sum = t;
}

/// The compensated total; an infinite or NaN sum is returned as it is (its
/// compensation is meaningless then).
inline double compensated(double sum, double comp) { return std::isfinite(sum) ? sum + comp : sum; }

}  // namespace tessary::kernels
