// calc_strategy_vwap_records: binding of the recording pass. Same parameters,
// argument checks, market alignment and array checks as the daily-return engine;
// the records leave as numpy arrays that own the kernel's buffers (no copy).
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <new>
#include <utility>
#include <vector>

#include <nanobind/ndarray.h>

#include "common/arrays.hpp"
#include "common/pyutil.hpp"
#include "common/vwap_inputs.hpp"
#include "records/kernels/record_pass.hpp"
#include "records/module.hpp"

namespace tessary::records {

using namespace nb::literals;
using args::Default;
using args::Kind;

static const args::Signature kRecordsSig("calc_strategy_vwap_records", pnl::vwap_params(),
                                         {"dict[str, typing.Any]",
                                          "What calc_strategy_vwap_daily_return does, recorded: a dict with 'dates' "
                                          "(the return dates), 'columns', 'total_money', the record tables 'trades' "
                                          "(side 0 buy, 1 sell; shares, price, value, commission, levy), 'blocked' "
                                          "(side, shares), 'positions' (shares, value), 'pnl' (buy, hold, "
                                          "hold_dividend, sell, sell_dividend), each a dict of 1-D arrays with the "
                                          "date row 'day' and stock column 'stock' of every record, sorted by day "
                                          "then stock; 'daily' (bought_value, sold_value, commission, levy, held, pnl "
                                          "per return date), 'buffer_bytes' (the bytes the records take) and "
                                          "'threads' (the threads the pass ran on: 1, or 2 for a market of a million "
                                          "cells or more of column-major values where the processor lacks AVX-512, "
                                          "when the process may run on two cores). given: as "
                                          "calc_strategy_vwap_daily_return's (the hold rule, recorded on one "
                                          "thread)."});

/// A 1-D numpy array that takes over `v`'s buffer; the capsule frees it with the array.
template <class T>
static nb::object to_numpy(std::vector<T> &&v) {
    auto *owned = new std::vector<T>(std::move(v));
    nb::capsule owner(owned, [](void *p) noexcept { delete static_cast<std::vector<T> *>(p); });
    return nb::ndarray<nb::numpy, T, nb::ndim<1>>(owned->data(), {owned->size()}, owner).cast();
}

/// A 1-D numpy array of the first `n` values of `column`, which it takes over (the
/// capsule frees the column's block, malloc memory or a mapping, with the array).
template <class T>
static nb::object to_numpy(kernels::Column<T> &column, std::size_t n) {
    auto *block = new kernels::OwnedBlock(column.release());
    // An empty table may have no buffer; numpy still wants an address.
    if (block->data == nullptr && (block->data = std::malloc(sizeof(T))) == nullptr) {
        delete block;
        throw std::bad_alloc();
    }
    nb::capsule owner(block, [](void *p) noexcept {
        auto *b = static_cast<kernels::OwnedBlock *>(p);
        kernels::free_block(*b);
        delete b;
    });
    return nb::ndarray<nb::numpy, T, nb::ndim<1>>(static_cast<T *>(block->data), {n}, owner).cast();
}

/// One table as {name: array}: "day" and "stock" positions, the tag under `tag_name`
/// when the table has one, then the float columns under `names`.
template <std::size_t N>
static nb::dict table_dict(kernels::RecordTable<N> &t, const char *tag_name, const char *const (&names)[N]) {
    nb::dict d;
    d["day"] = to_numpy(t.day, t.size);
    d["stock"] = to_numpy(t.stock, t.size);
    if (tag_name != nullptr) d[tag_name] = to_numpy(t.tag, t.size);
    for (std::size_t k = 0; k < N; ++k) d[names[k]] = to_numpy(t.value[k], t.size);
    return d;
}

static nb::object calc_strategy_vwap_records(const args::Bound &a) {
    nb::object signal_matrix = a.obj("signal_matrix");
    nb::object source_index = signal_matrix.attr("index");
    nb::object columns = signal_matrix.attr("columns");
    const size_t n_source = nb::len(source_index);
    const size_t days = n_source < 2 ? 0 : n_source - 1;
    const size_t stocks = nb::len(columns);
    const bool hold = !a.is_none("given");
    const std::vector<std::uint8_t> given =
        hold ? pnl::given_flags(a.obj("given"), n_source, "calc_strategy_vwap_records") : std::vector<std::uint8_t>();
    // Record positions are 32-bit.
    constexpr size_t kMaxAxis = (size_t)std::numeric_limits<std::int32_t>::max();
    if (days > kMaxAxis || stocks > kMaxAxis)
        throw nb::value_error("calc_strategy_vwap_records: more than 2**31 - 1 dates or stocks");

    kernels::VwapRecords rec;
    int threads = 1;  // the threads the pass ran on
    nb::object pnl_index = source_index[nb::slice(nb::int_(1), nb::none(), nb::none())];
    if (n_source >= 2) {
        // As in the engine: nothing is aligned for fewer than two dates.
        // The engine's own reading and checks of the arguments, in its order and with its messages.
        const pnl::BoundVwapInputs bound = pnl::bind_vwap_inputs(
            a, module_attr("tessary.backtest._core", "_build_market_arrays"), signal_matrix, pnl_index, columns,
            days, stocks);
        const kernels::VwapInputs &in = bound.in;
        {
            nb::gil_scoped_release release;
            if (hold)
                kernels::record_vwap_hold_pass(in, given.data(), rec);
            else
                threads = kernels::record_vwap_pass(in, rec);
        }
    }

    static const char *const kTradeCols[5] = {"shares", "price", "value", "commission", "levy"};
    static const char *const kBlockedCols[1] = {"shares"};
    static const char *const kPositionCols[2] = {"shares", "value"};
    static const char *const kPnlCols[5] = {"buy", "hold", "hold_dividend", "sell", "sell_dividend"};
    const size_t buffer_bytes = rec.bytes();
    nb::dict daily;
    daily["bought_value"] = to_numpy(std::move(rec.bought));
    daily["sold_value"] = to_numpy(std::move(rec.sold));
    daily["commission"] = to_numpy(std::move(rec.commission));
    daily["levy"] = to_numpy(std::move(rec.levy));
    daily["held"] = to_numpy(std::move(rec.held));
    daily["pnl"] = to_numpy(std::move(rec.profit));

    nb::dict result;
    result["dates"] = pnl_index;
    result["columns"] = columns;
    result["total_money"] = a.obj("total_money");
    result["trades"] = table_dict(rec.trades, "side", kTradeCols);
    result["blocked"] = table_dict(rec.blocked, "side", kBlockedCols);
    result["positions"] = table_dict(rec.positions, nullptr, kPositionCols);
    result["pnl"] = table_dict(rec.pnl, nullptr, kPnlCols);
    result["daily"] = daily;
    result["buffer_bytes"] = nb::int_(buffer_bytes);
    result["threads"] = nb::int_(threads);
    return result;
}

void init_record_pass(nb::module_ &m) {
    def_bound(m, kRecordsSig, calc_strategy_vwap_records);
}

}  // namespace tessary::records
