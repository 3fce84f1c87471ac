// Module definition of tessary.backtest._prepare: imports bound at load, then each
// file's init in load order.
#include "prepare/module.hpp"

#include "common/pyutil.hpp"

namespace tessary::prep {

nb::object attr(const char *name) { return module_attr(kModule, name); }

/// Binds the imports of the module, in order; a failing import fails the load.
static void bind_imports(nb::module_ &m) {
    m.attr("pickle") = nb::module_::import_("pickle");
    m.attr("Path") = nb::module_::import_("pathlib").attr("Path");
    nb::object typing = nb::module_::import_("typing");
    m.attr("Union") = typing.attr("Union");
    m.attr("np") = nb::module_::import_("numpy");
    m.attr("pd") = nb::module_::import_("pandas");
    m.attr("NetworkError") = nb::module_::import_("tessary.exceptions").attr("NetworkError");
    m.attr("get_instance") = nb::module_::import_("tessary.singleton").attr("get_instance");
    nb::object store = nb::module_::import_("tessary.backtest._store");
    for (const char *name : {"BinaryPreparedDataStoreBase", "clean_matrix", "component_dataset_key", "normalize_yyyymmdd"})
        m.attr(name) = store.attr(name);
    // Type alias of a store directory argument.
    m.attr("PathLike") = typing.attr("Union")[nb::make_tuple(nb::module_::import_("builtins").attr("str"), m.attr("Path"))];
}

}  // namespace tessary::prep

NB_MODULE(_prepare, m) {
    using namespace tessary::prep;
    m.doc() =
        "Incremental builder of backtest base data: pulls market, industry, constituent and benchmark-index "
        "factors through the initialised SDK client, pivots them into date x stock wide tables, derives the "
        "matrices the backtest needs and assembles a payload that can be written into the binary store.";
    bind_imports(m);
    m.def("_binder_signatures", &tessary::args::binder_tables, "The argument binder's parameter tables (for the tests).");
    init_constants(m);
    init_store(m);
    init_builder(m);
}
