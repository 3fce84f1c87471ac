// The multi-portfolio pass's steps eight at a time (built with AVX-512).
#include "portfolios/kernels/multi_step.hpp"

namespace tessary::portfolios::detail {

void steps_8(const kernels::VwapInputs &m, std::size_t day, const StepRates &r, Steps &x) {
    steps_lanes<8>(m, day, r, x);
}

}  // namespace tessary::portfolios::detail
