// The VWAP kernel's day pass, 8 doubles per vector. Built with AVX-512 flags (see
// CMakeLists.txt); only called when the processor has them.
#include "pnl_engine/kernels/vwap_days.hpp"

namespace tessary::kernels::vwap_detail {

void day_pass_8(const VwapInputs &in, const Rates &r, double *total, double *comp) { by_days<8>(in, r, total, comp); }

}  // namespace tessary::kernels::vwap_detail
