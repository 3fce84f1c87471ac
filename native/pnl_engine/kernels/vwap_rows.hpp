// The VWAP kernel's vectorised row pass, as a template over the vector width W
// (compiled in the same files as the column pass; see simd.hpp for why everything
// here has internal linkage). The driver runs it on mixes of layouts that are mostly
// column-major (mostly row-major ones take the day pass, vwap_days.hpp).
//
// Lanes are neighbouring stocks on one day: each lane carries its own stock's holding
// from day to day, so the lanes run the scalar step's formulas side by side. The pass
// walks tiles of W days x W stocks, and each input may have its own memory layout:
//
//   - row-major (the binary store's memory-mapped matrices): a tile's day is W
//     adjacent values, loaded as they lie;
//   - column-major (what pandas builds): a tile's stock is W adjacent days, loaded as
//     W vectors and transposed in registers into W days of W stocks;
//   - anything else (a strided view): the tile is gathered value by value.
//
// So a mix of layouts costs a few register shuffles per tile, never a copy of a
// matrix. The five products of a tile are transposed the same way, into W stocks
// of W days, and added to the days' partial sums stock after stock: each day's sum
// grows in stock order, the scalar pass's order, with vertical additions only (the
// day's sums of a tile are independent of each other). The results are bit for bit
// those of the scalar pass.
#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>

#include "common/simd/simd_transpose.hpp"
#include "common/daystep/vwap_lanes.hpp"

namespace tessary::kernels::vwap_detail {

namespace {

using namespace simd;

constexpr std::size_t kStockBlock = 64;  // stocks per partial sum (see vwap.cpp)

/// W x W bytes held in W words of W bytes: a transpose by swaps of ever larger
/// pieces between words (bytes, then pairs of bytes, then quads), so that
/// afterwards byte k of word j is what byte j of word k was.
template <int W>
struct ByteTile {
    static_assert(W == 4 || W == 8);
    using word = std::conditional_t<W == 8, std::uint64_t, std::uint32_t>;

    TESSARY_INLINE static void transpose(word *a) {
        swap_pieces<8>(a, 1);
        swap_pieces<16>(a, 2);
        if constexpr (W == 8) swap_pieces<32>(a, 4);
    }

    /// Every other piece of `Bits` bits set, starting with the lowest (0x00FF00FF...
    /// for 8 bits).
    template <int Bits>
    static constexpr word low_pieces() {
        word mask = 0;
        for (int shift = 0; shift < 8 * W; shift += 2 * Bits) mask |= (((word)1 << Bits) - 1) << shift;
        return mask;
    }

    /// Exchanges the high pieces of `Bits` bits of word k with the low pieces of word
    /// k + step, for the k whose bit `step` is clear.
    template <int Bits>
    TESSARY_INLINE static void swap_pieces(word *a, int step) {
        constexpr word mask = low_pieces<Bits>();
        for (int k = 0; k < W; ++k)
            if ((k & step) == 0) {
                const word t = ((a[k] >> Bits) ^ a[k + step]) & mask;
                a[k + step] ^= t;
                a[k] ^= t << Bits;
            }
    }
};

/// How one input is read in tiles.
enum class TileOrder : unsigned char { rows, columns, gathered };

template <class T>
TileOrder tile_order(const View2D<T> &v) {
    if (v.col_stride == 1) return TileOrder::rows;
    if (v.row_stride == 1) return TileOrder::columns;
    return TileOrder::gathered;
}

/// One input read tile by tile: `tile(d0, s)` gives a pointer `p` and a day stride
/// such that the W stocks s .. s + W - 1 on day d0 + j are p[j * stride ..]. A
/// row-major input points into its own memory; the others are transposed or
/// gathered into a small buffer that stays in the first-level cache.
template <class T, int W>
struct TileInput {
    View2D<T> view;
    TileOrder order;
    std::ptrdiff_t stride = W;
    alignas(64) T buf[W * W];

    explicit TileInput(const View2D<T> &v) : view(v), order(tile_order(v)) {}

    TESSARY_INLINE const T *tile(std::size_t d0, std::size_t s) {
        if (order == TileOrder::rows) {
            stride = view.row_stride;
            return &view(d0, s);
        }
        stride = W;
        if (order == TileOrder::columns) {
            if constexpr (std::is_same_v<T, double>) {
                typename Vec<W>::d a[W], b[W];
                for (int k = 0; k < W; ++k) a[k] = load<W>(&view(d0, s + k));
                transpose<W>(a, b);
                for (int j = 0; j < W; ++j) store<W>(buf + j * W, b[j]);
            } else {
                // W flags of a stock are one W-byte word: a byte transpose of words.
                typename ByteTile<W>::word a[W];
                for (int k = 0; k < W; ++k) std::memcpy(&a[k], &view(d0, s + k), W);
                ByteTile<W>::transpose(a);
                std::memcpy(buf, a, sizeof a);
            }
            return buf;
        }
        for (int j = 0; j < W; ++j)
            for (int k = 0; k < W; ++k) buf[j * W + k] = view(d0 + j, s + k);
        return buf;
    }

    /// Asks the memory system for the tile of days d .. and stocks s .. (row-major:
    /// one row piece per day; column-major: one piece per stock).
    TESSARY_INLINE void prefetch_tile(std::size_t d, std::size_t s, std::size_t days) const {
        if (order == TileOrder::rows) {
            if (d + W <= days)
                for (int j = 0; j < W; ++j) prefetch(&view(d + j, s), 0);
        } else if (order == TileOrder::columns) {
            if (d + W <= days)
                for (int k = 0; k < W; ++k) prefetch(&view(d, s + k), 0);
        }
    }
};

/// The nine inputs of the pass, each read tile by tile in its own layout.
template <int W>
struct TileInputs {
    TileInput<double, W> signal, prev_close, close, buy, sell, split, dividend;
    TileInput<std::uint8_t, W> can_buy, cant_sell;

    explicit TileInputs(const VwapInputs &in)
        : signal(in.signal), prev_close(in.prev_close), close(in.close), buy(in.buy_price), sell(in.sell_price),
          split(in.split), dividend(in.dividend), can_buy(in.can_buy), cant_sell(in.cant_sell) {}

    TESSARY_INLINE void prefetch_tile(std::size_t d, std::size_t s, std::size_t days) const {
        signal.prefetch_tile(d, s, days);
        prev_close.prefetch_tile(d, s, days);
        close.prefetch_tile(d, s, days);
        buy.prefetch_tile(d, s, days);
        sell.prefetch_tile(d, s, days);
        split.prefetch_tile(d, s, days);
        dividend.prefetch_tile(d, s, days);
        if (s % 64 == 0) {  // a byte row piece of 64 stocks is one cache line
            can_buy.prefetch_tile(d, s, days);
            cant_sell.prefetch_tile(d, s, days);
        }
    }
};

/// The W days d0 .. of the W stocks s .. (lanes): trades on `holding[0 .. W)` and adds
/// the five products of every day to `acc[term * days + day]`, stock after stock.
template <int W>
TESSARY_INLINE void trade_tile(TileInputs<W> &x, const Rates &r, std::size_t d0, std::size_t s, double *holding,
                               double *acc, std::size_t days) {
    using D = typename Vec<W>::d;
    using M = typename Vec<W>::m;
    const double *w = x.signal.tile(d0, s), *pc = x.prev_close.tile(d0, s), *cl = x.close.tile(d0, s);
    const double *bp = x.buy.tile(d0, s), *sp = x.sell.tile(d0, s), *sf = x.split.tile(d0, s);
    const double *dv = x.dividend.tile(d0, s);
    const std::uint8_t *cb = x.can_buy.tile(d0, s), *cs = x.cant_sell.tile(d0, s);

    D h = load<W>(holding);
    D product[kTerms][W];  // [term][day], lanes are stocks
    for (int j = 0; j < W; ++j) {
        const D pcv = load<W>(pc + j * x.prev_close.stride);
        const D target = lane_target<W>(load<W>(w + j * x.signal.stride), pcv, r);
        const M buy_ok = load_flags<W>(cb + j * x.can_buy.stride);
        const M sell_barred = load_flags<W>(cs + j * x.cant_sell.stride);
        const LaneMarket<W> market{load<W>(cl + j * x.close.stride), load<W>(bp + j * x.buy.stride),
                                   load<W>(sp + j * x.sell.stride), load<W>(sf + j * x.split.stride),
                                   load<W>(dv + j * x.dividend.stride)};
        D p[kTerms];
        h = lane_trade<W>(target, h, buy_ok, sell_barred, pcv, market, r, p);
        for (std::size_t t = 0; t < kTerms; ++t) product[t][j] = p[t];
    }
    store<W>(holding, h);
    // Stock after stock, each day's sum in its lane.
    for (std::size_t t = 0; t < kTerms; ++t) {
        D by_stock[W];
        transpose<W>(product[t], by_stock);
        D sum = load<W>(acc + t * days + d0);
        for (int l = 0; l < W; ++l) sum += by_stock[l];
        store<W>(acc + t * days + d0, sum);
    }
}

constexpr std::size_t kChunkDays = 64;  // days of a stock read in one go (eight cache lines per column)

/// Stocks s0 .. s0 + width - 1 (at most kRowBlocks blocks of 64), all days; see
/// row_pass in vwap_cell.hpp.
///
/// The days go in chunks of 64, so that each column-major input is read in pieces
/// of 64 adjacent days per stock. Within a chunk, block by block, the tiles go stock
/// group after stock group, so every day's sum of a block still grows in stock order.
template <int W>
TESSARY_INLINE void rows(const VwapInputs &in, const Rates &r, std::size_t s0, std::size_t width, double *partial) {
    const std::size_t days = in.days;
    double holding[kRowBlocks * kStockBlock] = {};  // the portfolio starts empty
    TileInputs<W> x(in);
    const std::size_t tiled_days = days - days % W;
    for (std::size_t c0 = 0; c0 < tiled_days; c0 += kChunkDays) {
        const std::size_t c1 = c0 + kChunkDays < tiled_days ? c0 + kChunkDays : tiled_days;
        for (std::size_t b0 = 0; b0 < width; b0 += kStockBlock) {
            const std::size_t block_width = width - b0 < kStockBlock ? width - b0 : kStockBlock;
            double *block_partial = partial + (b0 / kStockBlock) * kTerms * days;
            std::size_t k = 0;
            for (; k + W <= block_width; k += W) {
                const std::size_t s = s0 + b0 + k;
                // The next stocks' days of this chunk, asked for while this group runs.
                if (k + 2 * W <= block_width)
                    for (std::size_t d = c0; d < c1; d += 64 / sizeof(double)) x.prefetch_tile(d, s + W, days);
                for (std::size_t d0 = c0; d0 < c1; d0 += W) trade_tile<W>(x, r, d0, s, holding + b0 + k, block_partial, days);
            }
            // A block's last stocks short of a vector (only at the right edge of the matrix).
            for (; k < block_width; ++k)
                for (std::size_t d = c0; d < c1; ++d)
                    trade_cell(in, r, d, s0 + b0 + k, holding[b0 + k], block_partial + d, days);
        }
    }
    // The last days short of a tile, day by day in stock order.
    for (std::size_t d = tiled_days; d < days; ++d)
        for (std::size_t k = 0; k < width; ++k)
            trade_cell(in, r, d, s0 + k, holding[k], partial + (k / kStockBlock) * kTerms * days + d, days);
}

}  // namespace

}  // namespace tessary::kernels::vwap_detail
