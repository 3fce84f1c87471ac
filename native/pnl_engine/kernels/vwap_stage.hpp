// The VWAP kernel's column pass for mixes that are mostly column-major, as a template
// over the vector width W (internal linkage, as everything compiled into the
// wide-vector files; see simd.hpp).
//
// The column pass reads each stock's days as one stream. An input in another layout
// (a row-major frame from the binary store among pandas' column-major ones) is first
// copied, block of 64 stocks by block, into a column-major stage: W x W tiles
// transposed in registers, each row read in pieces of 64 stocks. The column pass then
// runs on the block exactly as on all-column-major inputs, so the results are bit for
// bit those of the scalar step. The stage holds one block: days x 64 values per
// staged input, never a whole matrix.
#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>

#include "common/daystep/vwap_columns.hpp"
#include "pnl_engine/kernels/vwap_rows.hpp"

namespace tessary::kernels::vwap_detail {

namespace {

/// `v`'s stocks s0 .. s0 + width - 1 as a column-major view: in place when `v` is
/// column-major, else copied into `stage` (days x width).
template <class T, int W>
View2D<T> column_block(const View2D<T> &v, std::size_t days, std::size_t s0, std::size_t width, T *stage) {
    if (v.row_stride == 1) return {&v(0, s0), 1, v.col_stride};
    const std::size_t tiled_days = days - days % W, tiled_stocks = width - width % W;
    std::size_t k0 = 0;
    if (v.col_stride == 1) {
        // Row-major: W days of W stocks, turned into W stocks of W days.
        for (; k0 < tiled_stocks; k0 += W)
            for (std::size_t d0 = 0; d0 < tiled_days; d0 += W) {
                if constexpr (std::is_same_v<T, double>) {
                    typename Vec<W>::d a[W], b[W];
                    for (int j = 0; j < W; ++j) a[j] = load<W>(&v(d0 + j, s0 + k0));
                    transpose<W>(a, b);
                    for (int k = 0; k < W; ++k) store<W>(stage + (k0 + k) * days + d0, b[k]);
                } else {
                    typename ByteTile<W>::word a[W];
                    for (int j = 0; j < W; ++j) std::memcpy(&a[j], &v(d0 + j, s0 + k0), W);
                    ByteTile<W>::transpose(a);
                    for (int k = 0; k < W; ++k) std::memcpy(stage + (k0 + k) * days + d0, &a[k], W);
                }
            }
        // The days short of a tile, below for the remaining stocks, here for these.
        for (std::size_t k = 0; k < k0; ++k)
            for (std::size_t d = tiled_days; d < days; ++d) stage[k * days + d] = v(d, s0 + k);
    }
    for (std::size_t k = k0; k < width; ++k)
        for (std::size_t d = 0; d < days; ++d) stage[k * days + d] = v(d, s0 + k);
    return {stage, 1, (std::ptrdiff_t)days};
}

/// Stocks s0 .. s0 + width - 1 (one block); see column_pass_staged in vwap_cell.hpp.
template <int W>
TESSARY_INLINE void staged_columns(const VwapInputs &in, const Rates &r, std::size_t s0, std::size_t width,
                                   double *partial, double *float_stage, std::uint8_t *flag_stage) {
    const std::size_t days = in.days, cells = days * width;
    VwapInputs block = in;
    block.stocks = width;
    FloatView *floats[] = {&block.signal, &block.prev_close, &block.close, &block.buy_price, &block.sell_price,
                           &block.split, &block.dividend};
    for (FloatView *f : floats) {
        *f = column_block<double, W>(*f, days, s0, width, float_stage);
        if (f->data == float_stage) float_stage += cells;
    }
    for (BoolView *b : {&block.can_buy, &block.cant_sell}) {
        *b = column_block<std::uint8_t, W>(*b, days, s0, width, flag_stage);
        if (b->data == flag_stage) flag_stage += cells;
    }
    columns<W>(block, r, 0, width, partial);
}

}  // namespace

}  // namespace tessary::kernels::vwap_detail
