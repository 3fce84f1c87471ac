// The VWAP kernel's staged column pass, 8 doubles per vector. Built with AVX-512 flags
// (see CMakeLists.txt); only called when the processor has them.
#include "pnl_engine/kernels/vwap_stage.hpp"

namespace tessary::kernels::vwap_detail {

void column_pass_staged_8(const VwapInputs &in, const Rates &r, std::size_t s0, std::size_t width, double *partial,
                          double *float_stage, std::uint8_t *flag_stage) {
    staged_columns<8>(in, r, s0, width, partial, float_stage, flag_stage);
}

}  // namespace tessary::kernels::vwap_detail
