// The one vector width every kernel family runs at, chosen once per process: the
// widest this build and processor offer, or the one the environment variable
// TESSARY_SIMD names ("scalar", "avx2" or "avx512"). All widths give the same
// results bit for bit; the override exists to test and compare them.
#pragma once

#include <string>

namespace tessary::kernels {

/// Doubles per vector of the chosen width: 1 (scalar), 4 (AVX2) or 8 (AVX-512).
int simd_lanes();

/// Name of the chosen width: "scalar", "avx2" or "avx512".
const char *simd_name();

/// True when this build has kernels of width `lanes` (1, 4 or 8) and the processor
/// runs them.
bool simd_available(int lanes);

/// Empty when TESSARY_SIMD is unset or names a width this build and processor run;
/// otherwise the reason it cannot be honoured (the chosen width is then the scalar
/// one, and the extension module refuses to load with this text).
const std::string &simd_error();

/// What a value of TESSARY_SIMD (null: unset) chooses on this build and processor:
/// the lanes, and the reason it cannot be honoured (empty when it can). The process
/// asks once, through the functions above.
struct SimdChoice {
    int lanes = 1;
    std::string error;
};
SimdChoice choose_simd(const char *env);

/// The width a kernel call runs at: `requested` when it is an available width (the
/// tests force each in turn), else the process's chosen width (`requested` 0).
inline int resolve_lanes(int requested) { return requested != 0 && simd_available(requested) ? requested : simd_lanes(); }

}  // namespace tessary::kernels
