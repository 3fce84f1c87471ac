// The label pass's primaries four stocks at a time (built with AVX2).
#include "portfolios/kernels/label_step.hpp"

namespace tessary::portfolios::detail {

void primaries_4(const DayBlock &b, std::int32_t *primary) { primaries_lanes<4>(b, primary); }

}  // namespace tessary::portfolios::detail
