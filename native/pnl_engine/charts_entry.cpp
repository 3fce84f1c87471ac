// plot_strategy_performance and plot_weekly_net_value: the chart entry points, each
// holding the module's plot lock around its figure function.
#include "common/pyutil.hpp"
#include "pnl_engine/module.hpp"

namespace tessary::pnl {

using namespace nb::literals;
using args::Default;
using args::Kind;

namespace {

const args::Signature kPlotPerformanceSig("plot_strategy_performance",
                                          {{"daily_return", "pandas.Series"},
                                           {"cumulative_return", "pandas.Series"},
                                           {"benchmark_daily_return", "pandas.Series"},
                                           {"stats", Kind::Dict},
                                           {"strategy_name", Kind::Str, Default::of("strategy")},
                                           {"plot_title", Kind::StrOrNone, Default::none()},
                                           {"save_path", "str | pathlib.Path", Kind::Object, Default::of("./strategy_backtest.png")},
                                           {"image_kind", Kind::Str, Default::of("large")},
                                           {"benchmark_name", Kind::Str, Default::of("000852")}});

const args::Signature kPlotWeeklySig("plot_weekly_net_value",
                                     {{"daily_return", "pandas.Series"},
                                      {"cumulative_return", "pandas.Series"},
                                      {"benchmark_daily_return", "pandas.Series"},
                                      {"strategy_name", Kind::Str, Default::of("strategy")},
                                      {"plot_title", Kind::StrOrNone, Default::none()},
                                      {"save_path", "str | pathlib.Path", Kind::Object, Default::of("./strategy_weekly_net_value.png")},
                                      {"image_kind", Kind::Str, Default::of("large")},
                                      {"benchmark_name", Kind::Str, Default::of("000852")}});

/// Calls `fn(**kwargs)` inside `with _MATPLOTLIB_PLOT_LOCK:`. The lock is looked up
/// now, and left through its __exit__ also when the call raises; the exception then
/// propagates unchanged (unless __exit__ asks to suppress it, as a context manager may).
void call_locked(nb::handle fn, nb::handle kwargs) {
    nb::object lock = attr("_MATPLOTLIB_PLOT_LOCK");
    nb::object exit = lock.attr("__exit__");
    lock.attr("__enter__")();
    try {
        nb::object call_args = nb::steal(PyTuple_New(0));
        nb::object result = nb::steal(PyObject_Call(fn.ptr(), call_args.ptr(), kwargs.ptr()));
        if (!result.is_valid()) throw nb::python_error();
    } catch (nb::python_error &e) {
        // An error raised by native code may carry no traceback: pass None then.
        nb::object traceback = e.traceback();
        nb::object suppress = exit(e.type(), e.value(), traceback.is_valid() ? traceback : nb::none());
        const int truth = PyObject_IsTrue(suppress.ptr());
        if (truth < 0) throw nb::python_error();
        if (truth) return;
        throw;
    } catch (...) {
        exit(nb::none(), nb::none(), nb::none());
        throw;
    }
    exit(nb::none(), nb::none(), nb::none());
}

/// The figure function's keyword arguments: every parameter, by name, unchanged.
nb::dict forward(const args::Signature &sig, const args::Bound &a) {
    nb::dict kwargs;
    for (const args::Param &p : sig.params()) kwargs[p.name] = a.obj(p.name);
    return kwargs;
}

/// `save_path` itself when it is a str, else its string form (a Path's str()).
nb::object reported_path(nb::handle save_path) {
    if (PyUnicode_Check(save_path.ptr())) return nb::borrow(save_path);
    return nb::str(save_path);
}

nb::object plot_strategy_performance(const args::Bound &a) {
    call_locked(attr("_plot_strategy_performance_unlocked"), forward(kPlotPerformanceSig, a));
    nb::dict out;
    out["main"] = reported_path(a.obj("save_path"));
    return out;
}

nb::object plot_weekly_net_value(const args::Bound &a) {
    call_locked(attr("_plot_weekly_net_value_unlocked"), forward(kPlotWeeklySig, a));
    nb::dict out;
    out["weekly_net_value"] = reported_path(a.obj("save_path"));
    return out;
}

}  // namespace

void init_charts(nb::module_ &m) {
    def_bound(m, kPlotPerformanceSig, plot_strategy_performance,
              "dict[str, str]", "Draws the strategy performance report to save_path under the plot lock and returns "
              "{'main': save_path as str}. image_kind 'long' gives the portrait layout, anything else the "
              "landscape one.");
    def_bound(m, kPlotWeeklySig, plot_weekly_net_value,
              "dict[str, str]", "Draws the weekly net value figure to save_path under the plot lock and returns "
              "{'weekly_net_value': save_path as str}.");
}

}  // namespace tessary::pnl
