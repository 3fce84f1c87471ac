// The VWAP kernel's vector passes: choice of vector width at run time, and the
// scalar column pass for processors without AVX2 (the vector widths are compiled in
// vwap_vector_avx*.cpp).
#include "common/simd/simd_choice.hpp"
#include "common/daystep/vwap_cell.hpp"

namespace tessary::kernels::vwap_detail {

bool lanes_supported(int lanes) { return simd_available(lanes); }

/// The process's width (the one dispatch point of every kernel family).
int best_lanes() { return simd_lanes(); }

void column_pass([[maybe_unused]] int lanes, const VwapInputs &in, const Rates &r, std::size_t s0, std::size_t width,
                 double *partial) {
#if defined(TESSARY_WIDE_KERNELS)  // the vector files are built on x86-64 only
    if (lanes == 8) return column_pass_8(in, r, s0, width, partial);
    if (lanes == 4) return column_pass_4(in, r, s0, width, partial);
#endif
    for (std::size_t k = 0; k < width; ++k) {
        double holding = 0.0;  // the portfolio starts empty
        for (std::size_t i = 0; i < in.days; ++i) trade_cell(in, r, i, s0 + k, holding, partial + i, in.days);
    }
}

void row_pass(int lanes, const VwapInputs &in, const Rates &r, std::size_t s0, std::size_t width, double *partial) {
#if defined(TESSARY_WIDE_KERNELS)
    if (lanes == 8) return row_pass_8(in, r, s0, width, partial);
    return row_pass_4(in, r, s0, width, partial);
#else
    (void)lanes, (void)in, (void)r, (void)s0, (void)width, (void)partial;  // never called: lanes is always 1
#endif
}

}  // namespace tessary::kernels::vwap_detail
