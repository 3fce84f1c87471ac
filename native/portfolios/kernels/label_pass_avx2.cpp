// The label pass's primaries and exits four at a time (built with AVX2).
#include "portfolios/kernels/label_step.hpp"

namespace tessary::portfolios::detail {

void primaries_4(const DayBlock &b, std::int32_t *primary) { primaries_lanes<4>(b, primary); }

void exits_4(const DayBlock &b, const std::int32_t *stock, const std::int32_t *port, std::size_t n) {
    exits_lanes<4>(b, stock, port, n);
}

}  // namespace tessary::portfolios::detail
