// The label pass's primaries eight stocks at a time (built with AVX-512).
#include "portfolios/kernels/label_step.hpp"

namespace tessary::portfolios::detail {

void primaries_8(const DayBlock &b, std::int32_t *primary) { primaries_lanes<8>(b, primary); }

}  // namespace tessary::portfolios::detail
