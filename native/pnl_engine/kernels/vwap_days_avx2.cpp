// The VWAP kernel's day pass, 4 doubles per vector. Built with AVX2 flags (see
// CMakeLists.txt); only called when the processor has them.
#include "pnl_engine/kernels/vwap_days.hpp"

namespace tessary::kernels::vwap_detail {

void day_pass_4(const VwapInputs &in, const Rates &r, double *total, double *comp) { by_days<4>(in, r, total, comp); }

}  // namespace tessary::kernels::vwap_detail
