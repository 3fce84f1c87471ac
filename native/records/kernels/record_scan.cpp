// The idle scan of the recording pass: bit words of the cells that need work.
#include "records/kernels/record_scan.hpp"

namespace tessary::kernels::record_detail {

namespace {

// Stocks ahead of the scan whose column is asked for: the jump between two
// columns is too long for the hardware to guess.
constexpr std::size_t kAhead = 8;

/// A view whose days are adjacent: stock by stock, the tile's days of each column
/// tested at once, each hit spread to its day's word.
template <Test T>
void mark_columns(const FloatView &v, std::size_t i0, std::size_t n, std::size_t s0, std::size_t stocks,
                  std::size_t blocks, std::uint64_t *busy) {
    for (std::size_t s = s0; s < stocks; ++s) {
        const double *p = &v(i0, s);
        if (s + kAhead < stocks) __builtin_prefetch(&v(i0, s + kAhead));
        unsigned m = 0;
        if (n == kTileDays)
            m = mask8<T>(p);
        else
            for (std::size_t k = 0; k < n; ++k) m |= (unsigned)hit<T>(p[k]) << k;
        // Most stocks are idle all the tile long: the branch is well predicted.
        if (m == 0) continue;
        const std::uint64_t bit = std::uint64_t{1} << (s % kSumBlock);
        std::uint64_t *word = busy + (s - s0) / kSumBlock;
        for (; m != 0; m &= m - 1) word[(std::size_t)__builtin_ctz(m) * blocks] |= bit;
    }
}

/// A view whose stocks are adjacent: day by day, eight stocks at a time.
template <Test T>
void mark_rows(const FloatView &v, std::size_t i0, std::size_t n, std::size_t s0, std::size_t stocks,
               std::size_t blocks, std::uint64_t *busy) {
    const std::size_t whole = s0 + (stocks - s0) / 8 * 8;
    for (std::size_t k = 0; k < n; ++k) {
        const double *row = &v(i0 + k, 0);
        std::uint64_t *words = busy + k * blocks - s0 / kSumBlock;
        for (std::size_t s = s0; s < whole; s += 8) words[s / kSumBlock] |= (std::uint64_t)mask8<T>(row + s) << (s % kSumBlock);
        for (std::size_t s = whole; s < stocks; ++s)
            words[s / kSumBlock] |= (std::uint64_t)hit<T>(row[s]) << (s % kSumBlock);
    }
}

/// Any other layout: cell by cell.
template <Test T>
void mark_cells(const FloatView &v, std::size_t i0, std::size_t n, std::size_t s0, std::size_t stocks,
                std::size_t blocks, std::uint64_t *busy) {
    for (std::size_t k = 0; k < n; ++k)
        for (std::size_t s = s0; s < stocks; ++s)
            busy[k * blocks + (s - s0) / kSumBlock] |= (std::uint64_t)hit<T>(v(i0 + k, s)) << (s % kSumBlock);
}

template <Test T>
void mark(const FloatView &v, std::size_t i0, std::size_t n, std::size_t s0, std::size_t stocks,
          std::size_t blocks, std::uint64_t *busy) {
    if (v.row_stride == 1)
        mark_columns<T>(v, i0, n, s0, stocks, blocks, busy);
    else if (v.col_stride == 1)
        mark_rows<T>(v, i0, n, s0, stocks, blocks, busy);
    else
        mark_cells<T>(v, i0, n, s0, stocks, blocks, busy);
}

}  // namespace

void mark_busy(const VwapInputs &in, std::size_t i0, std::size_t n, std::size_t s0, std::size_t s1,
               std::uint64_t *busy) {
    const std::size_t blocks = (s1 - s0 + kSumBlock - 1) / kSumBlock;
    mark<Test::kPositive>(in.signal, i0, n, s0, s1, blocks, busy);
    mark<Test::kInfinite>(in.dividend, i0, n, s0, s1, blocks, busy);
}

std::uint64_t busy_groups(const double *weight, const double *dividend, std::size_t n, const double *next_weight,
                          const double *next_dividend) {
    std::uint64_t m = 0;
    const std::size_t whole = n / 8;
    for (std::size_t g = 0; g < whole; ++g) {
        if (next_weight != nullptr) {
            __builtin_prefetch(next_weight + 8 * g);
            __builtin_prefetch(next_dividend + 8 * g);
        }
        m |= (std::uint64_t)any_busy8(weight + 8 * g, dividend + 8 * g) << g;
    }
    for (std::size_t k = whole * 8; k < n; ++k)
        m |= (std::uint64_t)(hit<Test::kPositive>(weight[k]) || hit<Test::kInfinite>(dividend[k])) << whole;
    return m;
}

}  // namespace tessary::kernels::record_detail
