// The VWAP kernel's vector passes: choice of vector width at run time, and the
// scalar column pass for processors without AVX2 (the vector widths are compiled in
// vwap_vector_avx*.cpp).
#include "pnl_engine/kernels/cpu_features.hpp"
#include "pnl_engine/kernels/vwap_cell.hpp"

namespace tessary::kernels::vwap_detail {

bool lanes_supported(int lanes) {
    return lanes == 1 || (lanes == 4 && cpu_has_avx2()) || (lanes == 8 && cpu_has_avx512());
}

int best_lanes() { return cpu_has_avx512() ? 8 : cpu_has_avx2() ? 4 : 1; }

void column_pass(int lanes, const VwapInputs &in, const Rates &r, std::size_t s0, std::size_t width,
                 double *partial) {
    if (lanes == 8) return column_pass_8(in, r, s0, width, partial);
    if (lanes == 4) return column_pass_4(in, r, s0, width, partial);
    for (std::size_t k = 0; k < width; ++k) {
        double holding = 0.0;  // the portfolio starts empty
        for (std::size_t i = 0; i < in.days; ++i) trade_cell(in, r, i, s0 + k, holding, partial + i, in.days);
    }
}

void row_pass(int lanes, const VwapInputs &in, const Rates &r, std::size_t s0, std::size_t width, double *partial) {
    if (lanes == 8) return row_pass_8(in, r, s0, width, partial);
    return row_pass_4(in, r, s0, width, partial);
}

}  // namespace tessary::kernels::vwap_detail
