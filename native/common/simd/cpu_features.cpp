#include "common/simd/cpu_features.hpp"

namespace tessary::kernels {

#if defined(__x86_64__)

bool cpu_has_avx2() {
    static const bool has = [] {
        __builtin_cpu_init();
        return (bool)__builtin_cpu_supports("avx2");
    }();
    return has;
}

bool cpu_has_avx512() {
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
               __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl");
    }();
    return has;
}

#else

// The wide-vector files are built with x86 flags only.
bool cpu_has_avx2() { return false; }
bool cpu_has_avx512() { return false; }

#endif

}  // namespace tessary::kernels
