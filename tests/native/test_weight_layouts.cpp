// Unit test of the weight-matrix kernels on mixed memory layouts: the rolling mean
// with its input and output each row-major, column-major or strided, and the held
// count and change with the weights in each layout, on consecutive dates and on dates
// with gaps, repeats and missing rows. Every pass must give the scalar pass's bits.
#include <cmath>
#include <cstdio>
#include <vector>

#include "check.hpp"
#include "common/daystep/weights.hpp"

using namespace tessary::kernels;

namespace {

/// A rows x cols buffer laid out as 'C' (row-major), 'F' (column-major) or 'S'
/// (every other element of a column-major buffer twice the size).
struct Laid {
    char layout;
    std::size_t rows, cols;
    std::vector<double> data;

    Laid(char l, std::size_t r, std::size_t c) : layout(l), rows(r), cols(c), data(2 * r * c, -7.0) {}

    std::ptrdiff_t row_stride() const { return layout == 'C' ? (std::ptrdiff_t)cols : layout == 'F' ? 1 : 2; }
    std::ptrdiff_t col_stride() const {
        return layout == 'C' ? 1 : layout == 'F' ? (std::ptrdiff_t)rows : 2 * (std::ptrdiff_t)rows;
    }
    double &at(std::size_t r, std::size_t c) { return data[r * row_stride() + c * col_stride()]; }
    FloatView view() const { return {data.data(), row_stride(), col_stride()}; }
    OutView2D out() { return {data.data(), row_stride(), col_stride()}; }

    /// The values in row-major order, for comparison.
    std::vector<double> values() {
        std::vector<double> v(rows * cols);
        for (std::size_t r = 0; r < rows; ++r)
            for (std::size_t c = 0; c < cols; ++c) v[r * cols + c] = at(r, c);
        return v;
    }
};

unsigned seed = 31337;
double rnd() {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 8) / double(1u << 24);
}

/// Weights with NaN, infinities, signed zeros, runs of one value and full mantissas.
double weight() {
    const double u = rnd();
    return u < 0.3 ? NAN : u < 0.32 ? INFINITY : u < 0.33 ? -INFINITY : u < 0.38 ? 0.0 : u < 0.42 ? -0.0
         : u < 0.5 ? 0.125 : u < 0.55 ? (rnd() - 0.5) * 1e15 : rnd() / 3.0 + rnd() * 1e-7;
}

void rolling_in_every_layout() {
    for (std::size_t rows : {1u, 7u, 64u, 203u})
        for (std::size_t cols : {8u, 19u, 40u}) {
            Laid in('C', rows, cols);
            for (std::size_t r = 0; r < rows; ++r)
                for (std::size_t c = 0; c < cols; ++c) in.at(r, c) = weight();
            for (std::size_t window : {1u, 3u, 13u}) {
                Laid want('C', rows, cols);
                rolling_mean_first_row_raw(in.view(), rows, cols, window, want.out(), 1);
                const std::vector<double> scalar = want.values();
                for (char li : {'C', 'F', 'S'})
                    for (char lo : {'C', 'F', 'S'})
                        for (int lanes : {0, 1}) {
                            Laid src(li, rows, cols), dst(lo, rows, cols);
                            for (std::size_t r = 0; r < rows; ++r)
                                for (std::size_t c = 0; c < cols; ++c) src.at(r, c) = in.at(r, c);
                            rolling_mean_first_row_raw(src.view(), rows, cols, window, dst.out(), lanes);
                            char what[120];
                            std::snprintf(what, sizeof what, "rolling %zu x %zu, window %zu, in %c, out %c, lanes %d",
                                          rows, cols, window, li, lo, lanes);
                            check(same_bits(dst.values(), scalar), what);
                        }
            }
        }
}

void activity_in_every_layout() {
    for (std::size_t rows : {1u, 9u, 100u})
        for (std::size_t cols : {3u, 8u, 19u}) {
            Laid base('C', rows, cols);
            for (std::size_t r = 0; r < rows; ++r)
                for (std::size_t c = 0; c < cols; ++c) base.at(r, c) = weight();
            // Consecutive dates, and dates with a repeat, a gap, rows the block lacks and
            // one out of order.
            std::vector<std::int64_t> consecutive(rows), gaps;
            for (std::size_t r = 0; r < rows; ++r) consecutive[r] = (std::int64_t)r;
            for (std::size_t r = 0; r < rows + 10; ++r) {
                const double u = rnd();
                gaps.push_back(u < 0.15 ? -1 : (std::int64_t)(rnd() * rows));
            }
            for (const std::vector<std::int64_t> *dates : {&consecutive, &gaps}) {
                const std::size_t n = dates->size();
                std::vector<double> want(2 * n);
                weight_activity(base.view(), dates->data(), n, cols, want.data(), want.data() + n, 1);
                for (char layout : {'C', 'F', 'S'})
                    for (int lanes : {0, 1}) {
                        Laid w(layout, rows, cols);
                        for (std::size_t r = 0; r < rows; ++r)
                            for (std::size_t c = 0; c < cols; ++c) w.at(r, c) = base.at(r, c);
                        std::vector<double> got(2 * n);
                        weight_activity(w.view(), dates->data(), n, cols, got.data(), got.data() + n, lanes);
                        char what[120];
                        std::snprintf(what, sizeof what, "activity %zu x %zu, %s dates, layout %c, lanes %d", rows,
                                      cols, dates == &gaps ? "gapped" : "consecutive", layout, lanes);
                        check(same_bits(got, want), what);
                    }
            }
        }
}

}  // namespace

int main() {
    rolling_in_every_layout();
    activity_in_every_layout();
    return finish();
}
