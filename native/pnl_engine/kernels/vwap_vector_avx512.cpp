// The vector passes, 8 doubles per vector. Built with AVX-512 flags (see CMakeLists.txt);
// only called when the processor has them.
#include "common/daystep/vwap_columns.hpp"
#include "pnl_engine/kernels/vwap_rows.hpp"

namespace tessary::kernels::vwap_detail {

void column_pass_8(const VwapInputs &in, const Rates &r, std::size_t s0, std::size_t width, double *partial) {
    columns<8>(in, r, s0, width, partial);
}

void row_pass_8(const VwapInputs &in, const Rates &r, std::size_t s0, std::size_t width, double *partial) {
    rows<8>(in, r, s0, width, partial);
}

}  // namespace tessary::kernels::vwap_detail
