// plot_strategy_performance and plot_weekly_net_value: the chart entry points, each
// holding the module's plot lock around its figure function.
#include "common/pyutil.hpp"
#include "pnl_engine/module.hpp"

namespace tessary::pnl {

using namespace nb::literals;
using args::Default;
using args::Kind;

std::vector<args::Param> chart_params(bool stats, const char *save_path) {
    const bool defaults = save_path != nullptr;
    auto given = [&](Default d) { return defaults ? d : Default::required(); };
    std::vector<args::Param> out{{"daily_return", "pandas.Series"},
                                 {"cumulative_return", "pandas.Series"},
                                 {"benchmark_daily_return", "pandas.Series"}};
    if (stats) out.push_back({"stats", Kind::Dict});
    out.push_back({"strategy_name", Kind::Str, given(Default::of("strategy"))});
    out.push_back({"plot_title", Kind::StrOrNone, given(Default::none())});
    out.push_back({"save_path", "str | pathlib.Path", Kind::Object, given(Default::of(save_path))});
    out.push_back({"image_kind", Kind::Str, given(Default::of("large"))});
    out.push_back({"benchmark_name", Kind::Str, Default::of("000852")});
    return out;
}

namespace {

const args::Signature kPlotPerformanceSig("plot_strategy_performance",
                                          chart_params(true, "./strategy_backtest.png"),
                                          {"dict[str, str]",
                                           "Draws the strategy performance report to save_path under the plot lock "
                                           "and returns {'main': save_path as str}. image_kind 'long' gives the "
                                           "portrait layout, anything else the landscape one."});

const args::Signature kPlotWeeklySig("plot_weekly_net_value", chart_params(false, "./strategy_weekly_net_value.png"),
                                     {"dict[str, str]",
                                      "Draws the weekly net value figure to save_path under the plot lock and returns "
                                      "{'weekly_net_value': save_path as str}."});

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
    def_bound(m, kPlotPerformanceSig, plot_strategy_performance);
    def_bound(m, kPlotWeeklySig, plot_weekly_net_value);
}

}  // namespace tessary::pnl
