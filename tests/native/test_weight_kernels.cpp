// Unit test of the rolling-mean kernel on its own: the eight-column pass must give
// the one-column pass's results bit for bit, in both layouts, and the two layouts
// must agree with each other.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "pnl_engine/kernels/cpu_features.hpp"
#include "pnl_engine/kernels/weights.hpp"

using namespace tessary::kernels;

static int failures = 0;

static void check(bool ok, const char *what) {
    if (!ok) {
        std::printf("FAIL: %s\n", what);
        ++failures;
    }
}

/// Same bits everywhere (NaN payloads and signed zeros included).
static bool same_bits(const std::vector<double> &a, const std::vector<double> &b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

int main() {
    unsigned seed = 99;
    auto rnd = [&seed] { seed = seed * 1103515245u + 12345u; return (seed >> 8) / double(1u << 24); };
    for (std::size_t rows : {1u, 7u, 64u, 203u})
        for (std::size_t cols : {8u, 19u, 40u})
            for (std::size_t window : {1u, 3u, 8u, 13u, 1000u}) {
                // Row-major values: NaN, infinities, signed zeros, runs of equal values,
                // huge values that leave rounding residue in the running sum.
                std::vector<double> c_in(rows * cols), f_in(rows * cols);
                for (std::size_t i = 0; i < rows * cols; ++i) {
                    const double u = rnd();
                    c_in[i] = u < 0.3 ? NAN : u < 0.32 ? INFINITY : u < 0.33 ? -INFINITY : u < 0.38 ? 0.0
                            : u < 0.42 ? -0.0 : u < 0.5 ? 0.125 : u < 0.55 ? (rnd() - 0.5) * 1e15 : rnd() - 0.3;
                }
                for (std::size_t r = 0; r < rows; ++r)
                    for (std::size_t c = 0; c < cols; ++c) f_in[c * rows + r] = c_in[r * cols + c];
                auto run = [&](bool fortran, int lanes) {
                    std::vector<double> out(rows * cols);
                    const std::ptrdiff_t rs = fortran ? 1 : (std::ptrdiff_t)cols;
                    const std::ptrdiff_t cs = fortran ? (std::ptrdiff_t)rows : 1;
                    FloatView in{fortran ? f_in.data() : c_in.data(), rs, cs};
                    OutView2D o{out.data(), rs, cs};
                    rolling_mean_first_row_raw(in, rows, cols, window, o, lanes);
                    if (!fortran) return out;
                    std::vector<double> back(rows * cols);  // back to row-major for comparison
                    for (std::size_t r = 0; r < rows; ++r)
                        for (std::size_t c = 0; c < cols; ++c) back[r * cols + c] = out[c * rows + r];
                    return back;
                };
                char what[120];
                const std::vector<double> scalar = run(false, 1);
                std::snprintf(what, sizeof what, "layouts agree: %zu x %zu, window %zu", rows, cols, window);
                check(same_bits(run(true, 1), scalar), what);
                if (cpu_has_avx512()) {
                    std::snprintf(what, sizeof what, "8 lanes = 1 lane, row-major: %zu x %zu, window %zu", rows,
                                  cols, window);
                    check(same_bits(run(false, 8), scalar), what);
                    std::snprintf(what, sizeof what, "8 lanes = 1 lane, column-major: %zu x %zu, window %zu", rows,
                                  cols, window);
                    check(same_bits(run(true, 8), scalar), what);
                }
            }
    if (failures == 0) std::printf("ok\n");
    return failures == 0 ? 0 : 1;
}
