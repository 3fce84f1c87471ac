// VWAP daily-return kernel: the driver. It walks the stocks in blocks, chooses the
// traversal that follows the inputs' memory layout, and folds each block's per-day
// sums into compensated totals.
#include "common/daystep/vwap.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

#include "common/daystep/vwap_cell.hpp"
#include "common/daystep/vwap_hold_cell.hpp"
#include "common/neumaier.hpp"

namespace tessary::kernels {

using namespace vwap_detail;

namespace {

// Stocks are processed in blocks of kBlock columns. Within a block every input
// element is read exactly once, in the order of the inputs' memory layout; the
// block's per-day sums are plain, and are folded into compensated totals once per
// block, which keeps the error of a sum over thousands of stocks near that of a
// pairwise (BLAS-style) dot product at almost no cost.
constexpr std::size_t kBlock = 64;

constexpr std::size_t kInputs = 9;

/// Element strides between consecutive days (rows) of every input, in a fixed order.
std::array<std::ptrdiff_t, kInputs> row_strides(const VwapInputs &in) {
    return {in.signal.row_stride,   in.prev_close.row_stride, in.close.row_stride,
            in.buy_price.row_stride, in.sell_price.row_stride, in.split.row_stride,
            in.dividend.row_stride,  in.can_buy.row_stride,    in.cant_sell.row_stride};
}

bool is_one(std::ptrdiff_t stride) { return stride == 1; }

/// True when most inputs are column-major (consecutive days adjacent in memory), as
/// pandas hands out the values of a single-dtype frame.
bool mostly_column_major(const VwapInputs &in) {
    const auto strides = row_strides(in);
    return 2 * std::count_if(strides.begin(), strides.end(), is_one) > (std::ptrdiff_t)kInputs;
}

/// True when most inputs are row-major (consecutive stocks adjacent in memory), as
/// the binary store's memory-mapped matrices are.
[[maybe_unused]] bool mostly_row_major(const VwapInputs &in) {
    const std::array<std::ptrdiff_t, kInputs> strides = {
        in.signal.col_stride,    in.prev_close.col_stride, in.close.col_stride,
        in.buy_price.col_stride, in.sell_price.col_stride, in.split.col_stride,
        in.dividend.col_stride,  in.can_buy.col_stride,    in.cant_sell.col_stride};
    return 2 * std::count_if(strides.begin(), strides.end(), is_one) > (std::ptrdiff_t)kInputs;
}

/// How many float inputs, and how many flag inputs, are not column-major.
std::size_t odd_floats(const VwapInputs &in) {
    std::size_t n = 0;
    for (const FloatView *v : {&in.signal, &in.prev_close, &in.close, &in.buy_price, &in.sell_price, &in.split,
                               &in.dividend})
        n += v->row_stride != 1;
    return n;
}

std::size_t odd_flags(const VwapInputs &in) { return (in.can_buy.row_stride != 1) + (in.cant_sell.row_stride != 1); }

/// Each day's profit: the five compensated terms added in their order.
void finish(const double *total, const double *comp, std::size_t days, double *daily_cash) {
    for (std::size_t i = 0; i < days; ++i) {
        double term[kTerms];
        for (std::size_t t = 0; t < kTerms; ++t) term[t] = compensated(total[t * days + i], comp[t * days + i]);
        daily_cash[i] = term[0] + term[1] + term[2] + term[3] + term[4];
    }
}

bool all_column_major(const VwapInputs &in) {
    const auto strides = row_strides(in);
    return std::all_of(strides.begin(), strides.end(), is_one);
}

}  // namespace

bool vwap_lanes_supported(int lanes) { return lanes_supported(lanes); }

void vwap_daily_cash(const VwapInputs &in, double *daily_cash, double *scratch, int lanes) {
    const std::size_t days = in.days, stocks = in.stocks;
    // Per term and day: the running total over blocks, its compensation, and the
    // plain partial sums of the current blocks, each laid out [term][day] so that a
    // stock's consecutive days are adjacent.
    double *total = scratch;
    double *comp = scratch + kTerms * days;
    double *partial = scratch + 2 * kTerms * days;
    std::fill(scratch, scratch + vwap_scratch_size(days), 0.0);

    const Rates r = rates_of(in);
    // The vector passes rely on targets being non-negative, which a positive capital
    // and lot size guarantee; anything else takes the scalar step (the same
    // arithmetic, one cell at a time).
    if (lanes == 0 || !lanes_supported(lanes)) lanes = best_lanes();
    if (!(r.money > 0.0 && r.lot >= 1.0)) lanes = 1;
    // The column pass reads column-major inputs (mostly column-major mixes through
    // stages of their odd inputs), the day pass mostly row-major ones (staging its
    // odd inputs too), and the row pass any other mix, each input in its own layout.
    // The scalar step follows the majority.
    const bool column_major = days > 1 && (lanes > 1 ? all_column_major(in) : mostly_column_major(in));
    const bool staged = lanes > 1 && days > 1 && !column_major && mostly_column_major(in);
#if defined(TESSARY_WIDE_KERNELS)  // the vector files are built on x86-64 only
    if (lanes > 1 && !column_major && mostly_row_major(in)) {
        if (lanes == 8)
            day_pass_8(in, r, total, comp);
        else
            day_pass_4(in, r, total, comp);
        finish(total, comp, days, daily_cash);
        return;
    }
#endif

    // The row pass walks eight blocks at once (longer contiguous pieces of each row)
    // and keeps one set of partial sums per block; every other pass one block.
    const bool row_vectors = !column_major && !staged && lanes > 1;
    const std::size_t span = row_vectors ? kRowBlocks * kBlock : kBlock;
    std::vector<double> float_stage;
    std::vector<std::uint8_t> flag_stage;
    if (staged) {
        float_stage.resize(odd_floats(in) * days * kBlock);
        flag_stage.resize(odd_flags(in) * days * kBlock);
    }
    double holding[kBlock];
    for (std::size_t s0 = 0; s0 < stocks; s0 += span) {
        const std::size_t width = std::min(span, stocks - s0);
        if (column_major) {
            // Stock by stock, each input read as one sequential stream down its column.
            column_pass(lanes, in, r, s0, width, partial);
        } else if (staged) {
#if defined(TESSARY_WIDE_KERNELS)  // elsewhere lanes is 1 and nothing is staged
            if (lanes == 8)
                column_pass_staged_8(in, r, s0, width, partial, float_stage.data(), flag_stage.data());
            else
                column_pass_staged_4(in, r, s0, width, partial, float_stage.data(), flag_stage.data());
#endif
        } else if (row_vectors) {
            // Day by day, neighbouring stocks side by side in vectors.
            row_pass(lanes, in, r, s0, width, partial);
        } else {
            // Day by day; a block's row is contiguous in every input.
            std::fill(holding, holding + width, 0.0);  // the portfolio starts empty
            for (std::size_t i = 0; i < days; ++i)
                for (std::size_t k = 0; k < width; ++k) trade_cell(in, r, i, s0 + k, holding[k], partial + i, days);
        }
        // Fold each block's sums into the compensated totals, block after block.
        for (std::size_t b = 0; b * kBlock < width; ++b) {
            double *block = partial + b * kTerms * days;
            for (std::size_t j = 0; j < kTerms * days; ++j) {
                neumaier_add(total[j], comp[j], block[j]);
                block[j] = 0.0;
            }
        }
    }
    finish(total, comp, days, daily_cash);
}

void vwap_daily_cash_hold(const VwapInputs &in, const std::uint8_t *given, double *daily_cash, double *scratch) {
    const std::size_t days = in.days, stocks = in.stocks;
    double *total = scratch;
    double *comp = scratch + kTerms * days;
    double *partial = scratch + 2 * kTerms * days;
    std::fill(scratch, scratch + vwap_scratch_size(days), 0.0);
    const Rates r{in.total_money, in.lot_size, 1.0 + in.fee, 1.0 - in.fee - in.rule_fee};
    // Mostly column-major inputs are read stock by stock down their columns, others
    // day by day across the block's stocks; each day's sums grow in stock order either way.
    const bool by_stock = mostly_column_major(in);
    HoldState state[kBlock];
    auto step = [&](std::size_t i, std::size_t s, HoldState &st) {
        const HoldStep x = hold_cell(in, r, i, s, given[i] != 0, st);
        for (std::size_t t = 0; t < kTerms; ++t) partial[t * days + i] += x.term[t];
    };
    for (std::size_t s0 = 0; s0 < stocks; s0 += kBlock) {
        const std::size_t width = std::min(kBlock, stocks - s0);
        std::fill(state, state + width, HoldState{});  // the portfolio starts empty
        if (by_stock) {
            for (std::size_t k = 0; k < width; ++k)
                for (std::size_t i = 0; i < days; ++i) step(i, s0 + k, state[k]);
        } else {
            for (std::size_t i = 0; i < days; ++i)
                for (std::size_t k = 0; k < width; ++k) step(i, s0 + k, state[k]);
        }
        for (std::size_t j = 0; j < kTerms * days; ++j) {
            neumaier_add(total[j], comp[j], partial[j]);
            partial[j] = 0.0;
        }
    }
    finish(total, comp, days, daily_cash);
}

}  // namespace tessary::kernels
