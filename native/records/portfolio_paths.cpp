// portfolio_path_returns: the daily returns of several weight matrices, each under
// several (capital, fee, rule fee) variants, from one pass over the market; every row
// equal to calc_strategy_vwap_daily_return's for its matrix and costs.
#include <string>
#include <type_traits>
#include <vector>

#include "common/arrays.hpp"
#include "common/pyutil.hpp"
#include "common/vwap_inputs.hpp"
#include "portfolios/kernels/multi_pass.hpp"
#include "records/module.hpp"

namespace tessary::records {

using args::Default;
using args::Kind;

static std::vector<args::Param> path_params() {
    std::vector<args::Param> out{{"works", "list[pandas.DataFrame]"}};
    for (const char *frame : pnl::kMarketFrames) out.push_back({frame, "pandas.DataFrame"});
    out.push_back({"paths", "list[int]"});
    out.push_back({"money", "list[float]"});
    out.push_back({"variants", "list[int]"});
    out.push_back({"fees", "list[float]"});
    out.push_back({"rule_fees", "list[float]"});
    out.push_back({"lot_size", Kind::Int, Default::of(200)});
    // Read by the shared market binding; the capitals and rates above replace them.
    out.push_back({"total_money", Kind::Float, Default::of(1e8), true});
    out.push_back({"fee", Kind::Float, Default::of(0.0), true});
    out.push_back({"rule_fee", Kind::Float, Default::of(0.0), true});
    return out;
}

static const args::Signature kPortfolioPathSig(
    "portfolio_path_returns", path_params(),
    {"tuple[numpy.ndarray, pandas.Index]",
     "The daily returns (variants x return dates, and the return dates) of several weight matrices on one index "
     "and columns, from one pass over the market. Matrix j has paths[j] portfolios (consecutive), portfolio p "
     "the capital money[p] and variants[p] cost variants (consecutive), variant v the rates fees[v] and "
     "rule_fees[v]; row v equals calc_strategy_vwap_daily_return of its matrix with its capital and rates, bit "
     "for bit. total_money, fee and rule_fee are not used."});

[[noreturn]] static void fail(const std::string &text) {
    throw nb::value_error(("portfolio_path_returns: " + text).c_str());
}

template <class T>
static std::vector<T> numbers(nb::handle values, const char *name) {
    std::vector<T> out;
    for (nb::handle v : nb::list(nb::module_::import_("builtins").attr("list")(values))) {
        const bool whole = nb::isinstance<nb::int_>(v) && !nb::isinstance<nb::bool_>(v);
        if (!(whole || (std::is_floating_point_v<T> && nb::isinstance<nb::float_>(v))))
            throw nb::type_error((std::string("portfolio_path_returns: ") + name + " must hold " +
                                  (std::is_floating_point_v<T> ? "numbers" : "integers"))
                                     .c_str());
        out.push_back(nb::cast<T>(v));
    }
    return out;
}

/// Offsets 0, n[0], n[0] + n[1], ... of counts that must be >= `least` and add up to `total`.
static std::vector<std::int64_t> offsets(const std::vector<long long> &n, long long least, std::size_t total,
                                         const char *what) {
    std::vector<std::int64_t> out{0};
    for (const long long c : n) {
        if (c < least) fail(std::string(what) + " must be at least " + std::to_string(least) + ", got " +
                            std::to_string(c));
        out.push_back(out.back() + c);
    }
    if ((std::size_t)out.back() != total)
        fail(std::string(what) + " add up to " + std::to_string(out.back()) + ", expected " + std::to_string(total));
    return out;
}

void price_paths(const kernels::VwapInputs &market, const std::vector<kernels::FloatView> &signals, std::size_t days,
                 std::size_t stocks, const std::int64_t *path_start, const std::vector<double> &money,
                 const std::int64_t *variant_start, const std::vector<double> &fees,
                 const std::vector<double> &rule_fees, double *out) {
    std::vector<std::int64_t> every_day(days);
    for (std::size_t i = 0; i < days; ++i) every_day[i] = (std::int64_t)i;
    // Matrices whose rows are contiguous are read day by day in place; any other
    // layout is first gathered into sparse target rows in its own memory order.
    bool rows_contiguous = true;
    for (const kernels::FloatView &v : signals) rows_contiguous = rows_contiguous && v.col_stride == 1;
    portfolios::OwnedTargets targets;
    if (!rows_contiguous) targets = portfolios::dense_targets(signals, days, stocks, path_start);
    portfolios::MultiPassInputs in;
    in.market = market;
    in.portfolios = money.size();
    in.money = money.data();
    if (rows_contiguous)
        in.dense = portfolios::DenseRows{signals.size(), signals.data(), path_start};
    else
        in.targets = targets.view();
    in.row_of_day = every_day.data();
    in.variant_start = variant_start;
    in.fees = fees.data();
    in.rule_fees = rule_fees.data();
    portfolios::multi_pass_daily_cash(in, out);
    for (std::size_t v = 0, p = 0; v < fees.size(); ++v) {
        while ((std::int64_t)v >= variant_start[p + 1]) ++p;
        for (std::size_t i = 0; i < days; ++i) out[v * days + i] = out[v * days + i] / money[p];
    }
}

static nb::object portfolio_path_returns(const args::Bound &a) {
    const nb::list works(nb::module_::import_("builtins").attr("list")(a.obj("works")));
    const std::vector<long long> paths = numbers<long long>(a.obj("paths"), "paths");
    const std::vector<double> money = numbers<double>(a.obj("money"), "money");
    const std::vector<long long> variants = numbers<long long>(a.obj("variants"), "variants");
    const std::vector<double> fees = numbers<double>(a.obj("fees"), "fees");
    const std::vector<double> rule_fees = numbers<double>(a.obj("rule_fees"), "rule_fees");
    if (nb::len(works) == 0) fail("works must hold at least one weight matrix");
    if (paths.size() != nb::len(works)) fail("paths must hold one count per weight matrix");
    if (fees.size() != rule_fees.size()) fail("fees and rule_fees must hold one rate each per variant");
    const std::vector<std::int64_t> path_start = offsets(paths, 1, money.size(), "the paths");
    if (variants.size() != money.size()) fail("variants must hold one count per portfolio");
    const std::vector<std::int64_t> variant_start = offsets(variants, 1, fees.size(), "the variants");

    nb::object first = works[0];
    nb::object source_index = first.attr("index"), columns = first.attr("columns");
    const std::size_t n_source = nb::len(source_index);
    if (n_source < 2) fail("the weights need at least two dates");
    for (nb::handle w : works)
        if (!nb::cast<bool>(w.attr("index").attr("equals")(source_index)) ||
            !nb::cast<bool>(w.attr("columns").attr("equals")(columns)))
            fail("every weight matrix must have the index and columns of the first");
    nb::object pnl_index = source_index[nb::slice(nb::int_(1), nb::none(), nb::none())];
    const std::size_t days = n_source - 1, stocks = nb::len(columns);
    const pnl::BoundVwapInputs bound = pnl::bind_vwap_inputs(
        a, module_attr("tessary.backtest._core", "_build_market_arrays"), first, pnl_index, columns, days, stocks);
    std::vector<HeldView<double>> held;
    std::vector<kernels::FloatView> signals;
    for (nb::handle w : works) {
        held.push_back(float_view(pnl::shifted_signal(w, pnl_index, columns), "signal_arr", days, stocks));
        signals.push_back(held.back().view);
    }
    double *out = nullptr;
    nb::object result = new_float_array(fees.size() * days, &out);
    {
        nb::gil_scoped_release release;
        price_paths(bound.in, signals, days, stocks, path_start.data(), money, variant_start.data(), fees, rule_fees,
                    out);
    }
    return nb::make_tuple(result.attr("reshape")(nb::make_tuple(fees.size(), days)), pnl_index);
}

void init_portfolio_paths(nb::module_ &m) { def_bound(m, kPortfolioPathSig, portfolio_path_returns); }

}  // namespace tessary::records
