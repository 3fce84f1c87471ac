// Unit test of the weight-matrix kernels on their own: the vector passes must give
// the scalar passes' results bit for bit, and the rolling mean's two layouts must
// agree with each other.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "check.hpp"
#include "common/simd/cpu_features.hpp"
#include "common/daystep/weights.hpp"

using namespace tessary::kernels;


// Held count and change, vector passes against the scalar pass in both layouts,
// with NaN, infinities (inf - inf is left out) and signed zeros.
static void activity_widths_identical() {
    unsigned seed = 4242;
    auto rnd = [&seed] { seed = seed * 1103515245u + 12345u; return (seed >> 8) / double(1u << 24); };
    for (std::size_t rows : {1u, 2u, 9u, 100u})
        for (std::size_t cols : {3u, 4u, 11u, 19u}) {
            std::vector<double> v(rows * cols);
            for (double &x : v) {
                const double u = rnd();
                // Plain weights get full 53-bit mantissas, so that the order of additions shows.
                x = u < 0.4 ? NAN : u < 0.45 ? INFINITY : u < 0.5 ? -INFINITY : u < 0.55 ? -0.0 : u < 0.6 ? 0.0
                  : rnd() / 3.0 + rnd() * 1e-7;
            }
            std::vector<std::int64_t> dates(rows);
            for (std::size_t r = 0; r < rows; ++r) dates[r] = (std::int64_t)r;
            std::vector<double> row_major(rows * cols);
            for (std::size_t r = 0; r < rows; ++r)
                for (std::size_t c = 0; c < cols; ++c) row_major[r * cols + c] = v[c * rows + r];
            auto run = [&](int lanes, bool by_rows) {
                std::vector<double> out(2 * rows);
                const FloatView view = by_rows ? FloatView{row_major.data(), (std::ptrdiff_t)cols, 1}
                                               : FloatView{v.data(), 1, (std::ptrdiff_t)rows};
                weight_activity(view, dates.data(), rows, cols, out.data(), out.data() + rows, lanes);
                return out;
            };
            const std::vector<double> scalar = run(1, false);
            char what[100];
            std::snprintf(what, sizeof what, "activity: row-major scalar = column-major, %zu x %zu", rows, cols);
            check(same_bits(run(1, true), scalar), what);
            for (int lanes : {0, 4, 8}) {
                if ((lanes == 4 && !cpu_has_avx2()) || (lanes == 8 && !cpu_has_avx512())) continue;
                std::snprintf(what, sizeof what, "activity: column-major %d lanes = scalar, %zu x %zu", lanes, rows,
                              cols);
                check(same_bits(run(lanes, false), scalar), what);
                std::snprintf(what, sizeof what, "activity: row-major %d lanes = scalar, %zu x %zu", lanes, rows,
                              cols);
                check(same_bits(run(lanes, true), scalar), what);
            }
        }
}

// A matrix large enough to have its columns shared out between two threads (a
// width that splits off a ragged tail) gives the one-thread result in both layouts
// and at every width.
static void rolling_threads_identical() {
    const std::size_t rows = 131, cols = 8013;  // just over a million cells
    unsigned seed = 7;
    auto rnd = [&seed] { seed = seed * 1103515245u + 12345u; return (seed >> 8) / double(1u << 24); };
    std::vector<double> in(rows * cols);
    for (double &x : in) {
        const double u = rnd();
        x = u < 0.2 ? NAN : u < 0.22 ? INFINITY : u < 0.3 ? 0.0 : u < 0.4 ? 0.125 : rnd() / 3.0 + rnd() * 1e-7;
    }
    for (bool fortran : {false, true}) {
        const std::ptrdiff_t rs = fortran ? 1 : (std::ptrdiff_t)cols, cs = fortran ? (std::ptrdiff_t)rows : 1;
        auto run = [&](int lanes, int threads) {
            std::vector<double> out(rows * cols);
            rolling_mean_first_row_raw(FloatView{in.data(), rs, cs}, rows, cols, 5, OutView2D{out.data(), rs, cs},
                                       lanes, threads);
            return out;
        };
        const std::vector<double> alone = run(1, 1);
        for (int lanes : {1, 4, 8}) {
            if ((lanes == 4 && !cpu_has_avx2()) || (lanes == 8 && !cpu_has_avx512())) continue;
            char what[100];
            std::snprintf(what, sizeof what, "two threads = one, %s, %d lanes", fortran ? "column-major" : "row-major",
                          lanes);
            check(same_bits(run(lanes, 0), alone), what);
        }
    }
}

int main() {
    activity_widths_identical();
    rolling_threads_identical();
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
                for (int lanes : {4, 8}) {
                    if (!(lanes == 4 ? cpu_has_avx2() : cpu_has_avx512())) continue;
                    std::snprintf(what, sizeof what, "%d lanes = 1 lane, row-major: %zu x %zu, window %zu", lanes,
                                  rows, cols, window);
                    check(same_bits(run(false, lanes), scalar), what);
                    std::snprintf(what, sizeof what, "%d lanes = 1 lane, column-major: %zu x %zu, window %zu",
                                  lanes, rows, cols, window);
                    check(same_bits(run(true, lanes), scalar), what);
                }
            }
    return finish();
}
