// The kernels' vector width, chosen once per process from the processor and TESSARY_SIMD.
#include "common/simd/simd_choice.hpp"

#include <cctype>
#include <cstdlib>

#include "common/simd/cpu_features.hpp"

namespace tessary::kernels {

namespace {

const char *name_of(int lanes) { return lanes == 8 ? "avx512" : lanes == 4 ? "avx2" : "scalar"; }

/// "scalar, avx2, ..." of the widths available here, narrowest first.
std::string available_names() {
    std::string names;
    for (int lanes : {1, 4, 8})
        if (simd_available(lanes)) names += (names.empty() ? "" : ", ") + std::string(name_of(lanes));
    return names;
}

}  // namespace

SimdChoice choose_simd(const char *env) {
    SimdChoice c;
    c.lanes = simd_available(8) ? 8 : simd_available(4) ? 4 : 1;
    if (env == nullptr) return c;
    std::string want;
    for (const char *p = env; *p; ++p)
        if (!std::isspace((unsigned char)*p)) want += (char)std::tolower((unsigned char)*p);
    if (want.empty()) return c;  // set but empty: as if unset
    const int lanes = want == "scalar" ? 1 : want == "avx2" ? 4 : want == "avx512" ? 8 : 0;
    if (lanes == 0) {
        c.error = "TESSARY_SIMD=" + std::string(env) + " is not a vector width; use scalar, avx2 or avx512";
    } else if (!simd_available(lanes)) {
#if defined(TESSARY_WIDE_KERNELS)
        const char *what = lanes == 8 ? "AVX-512 (F, DQ, BW and VL)" : "AVX2";
        c.error = "TESSARY_SIMD=" + want + ": this processor lacks " + what + "; it runs " + available_names();
#else
        c.error = "TESSARY_SIMD=" + want + ": this build has no x86-64 vector kernels; it runs " + available_names();
#endif
    } else {
        c.lanes = lanes;
        return c;
    }
    c.lanes = 1;
    return c;
}

namespace {

const SimdChoice &choice() {
    static const SimdChoice c = choose_simd(std::getenv("TESSARY_SIMD"));
    return c;
}

}  // namespace

bool simd_available(int lanes) {
#if defined(TESSARY_WIDE_KERNELS)
    return lanes == 1 || (lanes == 4 && cpu_has_avx2()) || (lanes == 8 && cpu_has_avx512());
#else
    return lanes == 1;
#endif
}

int simd_lanes() { return choice().lanes; }

const char *simd_name() { return name_of(choice().lanes); }

const std::string &simd_error() { return choice().error; }

}  // namespace tessary::kernels
