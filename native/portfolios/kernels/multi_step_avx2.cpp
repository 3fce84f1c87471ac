// The multi-portfolio pass's steps four at a time (built with AVX2).
#include "portfolios/kernels/multi_step.hpp"

namespace tessary::portfolios::detail {

void steps_4(const kernels::VwapInputs &m, std::size_t day, const StepRates &r, Steps &x) {
    steps_lanes<4>(m, day, r, x);
}

}  // namespace tessary::portfolios::detail
