// The label pass's primaries and exits eight at a time (built with AVX-512).
#include "portfolios/kernels/label_step.hpp"

namespace tessary::portfolios::detail {

void primaries_8(const DayBlock &b, std::int32_t *primary) { primaries_lanes<8>(b, primary); }

void exits_8(const DayBlock &b, const std::int32_t *stock, const std::int32_t *port, std::size_t n) {
    exits_lanes<8>(b, stock, port, n);
}

}  // namespace tessary::portfolios::detail
