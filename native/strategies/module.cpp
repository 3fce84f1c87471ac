// tessary.strategies._strategy_kernels: bindings of the strategy kernels. Checks the
// arguments, allocates the results as numpy arrays and runs each kernel with the GIL
// released.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "strategies/kernels/returns.hpp"
#include "strategies/kernels/rolling.hpp"
#include "strategies/kernels/select.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace tessary::strategies {
namespace {

using Matrix = nb::ndarray<const double, nb::ndim<2>, nb::device::cpu>;
using FlagMatrix = nb::ndarray<const bool, nb::ndim<2>, nb::device::cpu>;
using FlagVector = nb::ndarray<const bool, nb::ndim<1>, nb::device::cpu>;
using IndexVector = nb::ndarray<const std::int64_t, nb::ndim<1>, nb::device::cpu, nb::c_contig>;
using OutMatrix = nb::ndarray<nb::numpy, double, nb::ndim<2>>;
using OutFlags = nb::ndarray<nb::numpy, bool, nb::ndim<2>>;
using OutCounts = nb::ndarray<nb::numpy, std::int64_t, nb::ndim<1>>;

Values values_of(const Matrix &a) { return {a.data(), (std::ptrdiff_t)a.stride(0), (std::ptrdiff_t)a.stride(1)}; }

Flags flags_of(const FlagMatrix &a) {
    return {reinterpret_cast<const std::uint8_t *>(a.data()), (std::ptrdiff_t)a.stride(0), (std::ptrdiff_t)a.stride(1)};
}

void same_shape(const char *what, std::size_t rows, std::size_t cols, std::size_t r, std::size_t c) {
    if (r != rows || c != cols) {
        throw nb::value_error((std::string(what) + " has shape (" + std::to_string(r) + ", " + std::to_string(c) +
                               "), expected (" + std::to_string(rows) + ", " + std::to_string(cols) + ")")
                                  .c_str());
    }
}

/// A new uninitialised array of n elements owned by the returned capsule.
template <class T>
T *allocate(std::size_t n, nb::capsule &owner) {
    T *data = new T[n ? n : 1];
    owner = nb::capsule(data, [](void *p) noexcept { delete[] static_cast<T *>(p); });
    return data;
}

OutMatrix total_return_binding(const Matrix &close, const Matrix &prev, const Matrix &split, const Matrix &dividend) {
    const std::size_t rows = close.shape(0), cols = close.shape(1);
    same_shape("prev", rows, cols, prev.shape(0), prev.shape(1));
    same_shape("split", rows, cols, split.shape(0), split.shape(1));
    same_shape("dividend", rows, cols, dividend.shape(0), dividend.shape(1));
    nb::capsule owner;
    double *out = allocate<double>(rows * cols, owner);
    {
        nb::gil_scoped_release release;
        total_return(values_of(close), values_of(prev), values_of(split), values_of(dividend), rows, cols, out);
    }
    return OutMatrix(out, {rows, cols}, owner);
}

OutMatrix rolling_sum_binding(const Matrix &values, long long window, long long min_periods) {
    if (window < 1) throw nb::value_error(("window must be at least 1, got " + std::to_string(window)).c_str());
    if (min_periods < 0 || min_periods > window) {
        throw nb::value_error(("min_periods must lie in 0.." + std::to_string(window) + ", got " +
                               std::to_string(min_periods)).c_str());
    }
    const std::size_t rows = values.shape(0), cols = values.shape(1);
    nb::capsule owner;
    double *out = allocate<double>(rows * cols, owner);
    {
        nb::gil_scoped_release release;
        rolling_sum(values_of(values), rows, cols, (std::size_t)window, (std::size_t)min_periods, out);
    }
    return OutMatrix(out, {rows, cols}, owner);
}

/// The checked inputs of a selection by score.
struct Selection {
    Values score;
    Flags flags;
    Values present;
    std::vector<std::uint8_t> picked;
    std::size_t rows = 0, cols = 0;
};

Selection checked_selection(const Matrix &score, const FlagVector &pick, const IndexVector &code_rank, double share,
                            long long min_count, const std::optional<FlagMatrix> &eligible,
                            const std::optional<Matrix> &present) {
    Selection sel;
    sel.rows = score.shape(0);
    sel.cols = score.shape(1);
    const std::size_t rows = sel.rows, cols = sel.cols;
    if (pick.shape(0) != rows) throw nb::value_error("pick must hold one flag per row of score");
    if (code_rank.shape(0) != cols) throw nb::value_error("code_rank must hold one rank per column of score");
    if (!(share > 0.0) || !std::isfinite(share)) throw nb::value_error("share must be a positive number");
    if (min_count < 0) throw nb::value_error("min_count must not be negative");
    sel.score = values_of(score);
    if (eligible) {
        same_shape("eligible", rows, cols, eligible->shape(0), eligible->shape(1));
        sel.flags = flags_of(*eligible);
    }
    if (present) {
        same_shape("present", rows, cols, present->shape(0), present->shape(1));
        sel.present = values_of(*present);
    }
    // The pick flags are copied into a contiguous buffer (they may be strided).
    sel.picked.resize(rows);
    for (std::size_t r = 0; r < rows; ++r) sel.picked[r] = pick.data()[(std::ptrdiff_t)r * pick.stride(0)] ? 1 : 0;
    for (std::size_t c = 0; c < cols; ++c) {
        if (code_rank.data()[c] < 0 || (std::size_t)code_rank.data()[c] >= cols) {
            throw nb::value_error("code_rank must be a permutation of 0..columns-1");
        }
    }
    return sel;
}

nb::tuple top_share_binding(const Matrix &score, const FlagVector &pick, const IndexVector &code_rank, double share,
                            long long min_count, bool largest, std::optional<FlagMatrix> eligible,
                            std::optional<Matrix> present) {
    const Selection sel = checked_selection(score, pick, code_rank, share, min_count, eligible, present);
    nb::capsule chosen_owner, count_owner;
    auto *chosen = allocate<bool>(sel.rows * sel.cols, chosen_owner);
    auto *count = allocate<std::int64_t>(sel.rows, count_owner);
    {
        nb::gil_scoped_release release;
        top_share(sel.score, sel.flags, sel.present, sel.picked.data(), code_rank.data(), sel.rows, sel.cols, share,
                  (std::int64_t)min_count, largest, reinterpret_cast<std::uint8_t *>(chosen), count);
    }
    return nb::make_tuple(OutFlags(chosen, {sel.rows, sel.cols}, chosen_owner),
                          OutCounts(count, {sel.rows}, count_owner));
}

OutMatrix top_share_held_binding(const Matrix &score, const FlagVector &pick, const IndexVector &code_rank,
                                 double share, long long min_count, bool largest, std::optional<FlagMatrix> eligible,
                                 std::optional<Matrix> present) {
    const Selection sel = checked_selection(score, pick, code_rank, share, min_count, eligible, present);
    nb::capsule owner;
    double *out = allocate<double>(sel.rows * sel.cols, owner);
    {
        nb::gil_scoped_release release;
        top_share_held(sel.score, sel.flags, sel.present, sel.picked.data(), code_rank.data(), sel.rows, sel.cols,
                       share, (std::int64_t)min_count, largest, out);
    }
    return OutMatrix(out, {sel.rows, sel.cols}, owner);
}

OutMatrix equal_weights_binding(const FlagMatrix &chosen, const IndexVector &count) {
    const std::size_t rows = chosen.shape(0), cols = chosen.shape(1);
    if (count.shape(0) != rows) throw nb::value_error("count must hold one number per row of chosen");
    nb::capsule owner;
    double *out = allocate<double>(rows * cols, owner);
    {
        nb::gil_scoped_release release;
        equal_weights(flags_of(chosen), count.data(), rows, cols, out);
    }
    return OutMatrix(out, {rows, cols}, owner);
}

using WritableMatrix = nb::ndarray<double, nb::ndim<2>, nb::device::cpu, nb::c_contig>;

nb::object hold_forward_binding(const Matrix &values, double fill, std::optional<WritableMatrix> out) {
    const std::size_t rows = values.shape(0), cols = values.shape(1);
    if (out) {
        // Filling into a given array, which may be `values` itself: each cell is read
        // before it is written and the row above is already filled.
        same_shape("out", rows, cols, out->shape(0), out->shape(1));
        double *target = out->data();
        {
            nb::gil_scoped_release release;
            hold_forward(values_of(values), rows, cols, fill, target);
        }
        return nb::none();
    }
    nb::capsule owner;
    double *target = allocate<double>(rows * cols, owner);
    {
        nb::gil_scoped_release release;
        hold_forward(values_of(values), rows, cols, fill, target);
    }
    return nb::cast(OutMatrix(target, {rows, cols}, owner));
}

}  // namespace
}  // namespace tessary::strategies

NB_MODULE(_strategy_kernels, m) {
    using namespace tessary::strategies;
    m.doc() = "Native kernels of the built-in strategies; each runs with the GIL released.";
    m.def("total_return", &total_return_binding, "close"_a, "prev"_a, "split"_a, "dividend"_a,
          "(close x split + dividend) / prev - 1 per cell; NaN split = 1, NaN dividend = 0, non-finite -> NaN.");
    m.def("rolling_sum", &rolling_sum_binding, "values"_a, "window"_a, "min_periods"_a,
          "Trailing sums down each column, equal to pandas' rolling(window, min_periods).sum().");
    m.def("top_share", &top_share_binding, "score"_a, "pick"_a, "code_rank"_a, "share"_a, "min_count"_a,
          "largest"_a, "eligible"_a = nb::none(), "present"_a = nb::none(),
          "On each picked row the top share of the finite scores of eligible stocks with a present value "
          "(ties by code rank): "
          "(chosen bool matrix, count per row; 0 = no selection).");
    m.def("top_share_held", &top_share_held_binding, "score"_a, "pick"_a, "code_rank"_a, "share"_a, "min_count"_a,
          "largest"_a, "eligible"_a = nb::none(), "present"_a = nb::none(),
          "top_share, equal_weights and hold_forward (fill 0) in one pass: the weight matrix.");
    m.def("equal_weights", &equal_weights_binding, "chosen"_a, "count"_a,
          "1 / count for chosen stocks, 0 for the others, NaN on rows whose count is 0.");
    m.def("hold_forward", &hold_forward_binding, "values"_a, "fill"_a, "out"_a = nb::none(),
          "Each column forward-filled down the rows; `fill` before the first present value. Returns a new "
          "array, or fills `out` (C-contiguous float64, which may be `values` itself) and returns None.");
}
