// The VWAP kernel's column pass: choice of vector width at run time, and the scalar
// step for processors without AVX2 (the vector widths live in vwap_columns_avx*.cpp).
#include "pnl_engine/kernels/vwap_cell.hpp"

namespace tessary::kernels::vwap_detail {

bool column_lanes_supported(int lanes) {
    if (lanes == 1) return true;
#if defined(__x86_64__)
    __builtin_cpu_init();
    switch (lanes) {
        case 4:
            return __builtin_cpu_supports("avx2");
        case 8:
            return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
                   __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl");
        default:
            return false;
    }
#else
    return false;  // the vector files are built with x86 flags only
#endif
}

int best_column_lanes() {
    static const int best = column_lanes_supported(8) ? 8 : column_lanes_supported(4) ? 4 : 1;
    return best;
}

void column_pass(int lanes, const VwapInputs &in, const Rates &r, std::size_t s0, std::size_t width,
                 double *partial) {
    if (lanes == 8) return column_pass_8(in, r, s0, width, partial);
    if (lanes == 4) return column_pass_4(in, r, s0, width, partial);
    for (std::size_t k = 0; k < width; ++k) {
        double holding = 0.0;  // the portfolio starts empty
        for (std::size_t i = 0; i < in.days; ++i) trade_cell(in, r, i, s0 + k, holding, partial + i, in.days);
    }
}

}  // namespace tessary::kernels::vwap_detail
