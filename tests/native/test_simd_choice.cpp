// The vector-width choice: what each value of TESSARY_SIMD picks or why it is refused,
// on whatever machine the test runs (x86-64 with or without the wide units, or a
// build without vector kernels such as aarch64).
#include <string>

#include "check.hpp"
#include "common/simd/simd_choice.hpp"

using namespace tessary::kernels;

static bool contains(const std::string &text, const char *part) { return text.find(part) != std::string::npos; }

int main() {
    const int widest = simd_available(8) ? 8 : simd_available(4) ? 4 : 1;
    check(simd_available(1), "the scalar kernels are always there");
#if !defined(TESSARY_WIDE_KERNELS)
    check(!simd_available(4) && !simd_available(8), "no vector widths without the vector kernels");
#endif

    // Unset or blank: the widest this machine runs.
    for (const char *env : {(const char *)nullptr, "", "  "}) {
        const SimdChoice c = choose_simd(env);
        check(c.lanes == widest && c.error.empty(), "unset or blank picks the widest width");
    }
    // Each width by name, case and surrounding blanks ignored; refused when unavailable.
    const struct { const char *env; int lanes; } names[] = {
        {"scalar", 1}, {" SCALAR\n", 1}, {"avx2", 4}, {"AVX2", 4}, {"avx512", 8}, {"Avx512 ", 8}};
    for (const auto &n : names) {
        const SimdChoice c = choose_simd(n.env);
        if (simd_available(n.lanes)) {
            check(c.lanes == n.lanes && c.error.empty(), n.env);
        } else {
            check(c.lanes == 1, "a refused width leaves the scalar kernels");
            check(contains(c.error, "TESSARY_SIMD=avx") && contains(c.error, "it runs scalar"), c.error.c_str());
#if defined(TESSARY_WIDE_KERNELS)
            check(contains(c.error, "this processor lacks"), c.error.c_str());
#else
            check(contains(c.error, "no x86-64 vector kernels"), c.error.c_str());
#endif
        }
    }
    // Anything else is refused with the list of valid names.
    for (const char *env : {"sse4", "avx", "avx-512", "8", "scalar,avx2"}) {
        const SimdChoice c = choose_simd(env);
        check(c.lanes == 1 && contains(c.error, "is not a vector width; use scalar, avx2 or avx512"), env);
    }
    // The process's own choice is one of the available widths.
    check(simd_available(simd_lanes()), "the process's width is available");
    return finish();
}
