// The kernels' vector width as the module shows it, and the refusal to load when
// TESSARY_SIMD names a width this build or processor cannot run.
#include "common/simd/simd_choice.hpp"
#include "pnl_engine/module.hpp"

namespace tessary::pnl {

void init_simd(nb::module_ &m) {
    const std::string &error = kernels::simd_error();
    if (!error.empty()) throw nb::import_error(error.c_str());
    // The width every kernel family runs at, and all this build and processor offer
    // (narrowest first): what a test needs to run the suite once per width.
    m.attr("_SIMD") = kernels::simd_name();
    nb::list available;
    for (int lanes : {1, 4, 8})
        if (kernels::simd_available(lanes)) available.append(lanes == 1 ? "scalar" : lanes == 4 ? "avx2" : "avx512");
    m.attr("_SIMD_AVAILABLE") = nb::tuple(available);
}

}  // namespace tessary::pnl
