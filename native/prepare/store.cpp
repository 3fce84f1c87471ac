// BinaryPreparedDataStore: the binary prepared-data store extended with constituent
// masks, created at load as a subclass of the Python store base class.
#include <string>

#include "common/pyutil.hpp"
#include "prepare/module.hpp"

namespace tessary::prep {

using namespace nb::literals;
using args::Default;
using args::Kind;

namespace {

const args::Signature kInitSig("__init__",
                               {{"store_dir", "PathLike"},
                                {"component_names", "list[str] | None", Kind::ListOrNone, Default::none()}},
                               {"None",
                                "Opens the store in store_dir ('~' expanded) with the base datasets and one mask per "
                                "component name (the built-in names when None)."}, /*counts_self=*/true);
const args::Signature kLoadSig("load",
                               {{"start_date", "str | None", Kind::Object, Default::none()},
                                {"end_date", "str | None", Kind::Object, Default::none()},
                                {"keys", "list[str] | None", Kind::ListOrNone, Default::none()},
                                {"mmap", Kind::Bool, Default::of(true)},
                                {"check", Kind::Bool, Default::of(true)}},
                               {"dict[str, typing.Any] | None",
                                "Datasets for the inclusive date range as {'version', 'meta', 'data'}, or None for an "
                                "empty store. Without keys, every dataset of the dtype map that the store holds; with "
                                "mmap true the values are read-only memory maps; with check true (the default) the checksums of "
                                "the data are verified once per file version and process."}, /*counts_self=*/true);
const args::Signature kAddSig("add_component_matrices",
                              {{"component_matrices", "dict[str, pandas.DataFrame]", Kind::Dict},
                               {"component_names", "list[str]", Kind::List}},
                              {"list[str]",
                               "Writes the masks of the named components that the store does not hold yet and records "
                               "them in the metadata; returns the names written. Existing "
                               "masks are never overwritten."}, /*counts_self=*/true);

nb::object builtins() { return nb::module_::import_("builtins"); }

/// super(BinaryPreparedDataStore, self), the class looked up now. (The methods hold
/// no reference to their class: that would be a cycle the collector cannot see.)
nb::object super_of(nb::handle self) { return builtins().attr("super")(attr("BinaryPreparedDataStore"), self); }

/// `key in container`, with the container's own membership test.
bool contains(nb::handle container, nb::handle key) {
    int found = PySequence_Contains(container.ptr(), key.ptr());
    if (found < 0) throw nb::python_error();
    return found == 1;
}

/// True for None and for a matrix without rows. An object without a length is left to
/// the writer, which rejects what is not a date x stock frame with a clear message.
bool missing_or_empty(nb::handle matrix) {
    if (matrix.is_none()) return true;
    Py_ssize_t rows = PyObject_Length(matrix.ptr());
    if (rows < 0) {
        PyErr_Clear();
        return false;
    }
    return rows == 0;
}

/// `names` without repeats, first occurrences kept, as a new list.
nb::list unique_names(nb::handle names) {
    nb::list out;
    nb::object seen = builtins().attr("set")();
    for (nb::handle name : names) {
        if (contains(seen, name)) continue;
        seen.attr("add")(name);
        out.append(name);
    }
    return out;
}

/// Replaces the metadata file by `metadata` pickled with the highest protocol. The
/// pickle goes to a temporary file beside it, is flushed and fsynced, and is then
/// renamed over the old file: that rename is the commit point of a supplement, so an
/// interrupted one leaves the previous metadata, and with it the store, as it was.
void replace_metadata(nb::handle self, nb::handle metadata) {
    nb::object pickle = attr("pickle");
    nb::object partial = nb::module_::import_("functools").attr("partial");
    nb::object dump = partial(pickle.attr("dump"), metadata, "protocol"_a = pickle.attr("HIGHEST_PROTOCOL"));
    module_attr("tessary.backtest._store", "_write_atomically")(self.attr("metadata_path"), dump);
}

nb::object store_init(nb::handle self, const args::Bound &a) {
    nb::object matrix_dtype = attr("build_matrix_dtype")(a.obj("component_names"));
    super_of(self).attr("__init__")(a.obj("store_dir"), matrix_dtype, attr("PREPARED_DATA_VERSION"),
                                    attr("FLOAT_STORAGE_DTYPE"));
    return nb::none();
}

nb::object store_load(nb::handle self, const args::Bound &a) {
    nb::object keys = a.obj("keys");
    if (keys.is_none()) {
        // Only the datasets the store really holds, in the dtype map's order.
        nb::object metadata = self.attr("load_metadata")();
        nb::object datasets = metadata.attr("get")("datasets", nb::dict());
        nb::list recorded;
        for (nb::handle key : self.attr("matrix_dtype"))
            if (contains(datasets, key)) recorded.append(key);
        keys = recorded;
    }
    // check=False is passed on only when asked for: the default call is the plain one.
    nb::object load = super_of(self).attr("load");
    nb::object result =
        a.flag("check")
            ? load("start_date"_a = a.obj("start_date"), "end_date"_a = a.obj("end_date"), "keys"_a = keys,
                   "mmap"_a = nb::bool_(a.flag("mmap")))
            : load("start_date"_a = a.obj("start_date"), "end_date"_a = a.obj("end_date"), "keys"_a = keys,
                   "mmap"_a = nb::bool_(a.flag("mmap")), "check"_a = false);
    if (!result.is_none() && !PyDict_Check(result.ptr())) {
        PyErr_Format(PyExc_TypeError, "load() of the store base returned %.200s, expected a dict or None",
                     Py_TYPE(result.ptr())->tp_name);
        throw nb::python_error();
    }
    return result;
}

nb::object add_component_matrices_locked(nb::handle self, const args::Bound &a) {
    nb::object component_matrices = a.obj("component_matrices");
    nb::object parse = attr("parse_name_list");
    nb::object key_of = attr("component_dataset_key");

    nb::object metadata = self.attr("load_metadata")();
    nb::object datasets = metadata.attr("setdefault")("datasets", nb::dict());
    nb::list written_names;
    for (nb::handle name : parse(a.obj("component_names"))) {
        nb::object key = key_of(name);
        if (contains(datasets, key)) continue;  // an existing dataset is never overwritten
        nb::object matrix = component_matrices.attr("get")(name);
        if (missing_or_empty(matrix)) {
            std::string message = "缺失成分股矩阵为空，无法补充: ";
            message += nb::str(name).c_str();
            throw nb::value_error(message.c_str());
        }
        datasets[key] = self.attr("_write_matrix")(self.attr("store_dir"), key, matrix, attr("FLOAT_STORAGE_DTYPE"));
        written_names.append(name);
    }
    if (nb::len(written_names) == 0) return nb::list();

    nb::object meta = metadata.attr("setdefault")("meta", nb::dict());
    nb::list combined;
    for (nb::handle name : parse(meta.attr("get")("component_names", nb::list()))) combined.append(name);
    for (nb::handle name : written_names) combined.append(name);
    nb::list names = unique_names(parse(combined));
    meta["component_names"] = names;
    nb::object dataset_keys = builtins().attr("dict")(meta.attr("get")("component_dataset_keys", nb::dict()));
    for (nb::handle name : names) dataset_keys[name] = key_of(name);
    meta["component_dataset_keys"] = dataset_keys;

    nb::object now = attr("pd").attr("Timestamp").attr("now")().attr("isoformat")();
    metadata["updated_at"] = now;
    meta["updated_at"] = now;
    meta["component_supplemented_at"] = now;

    replace_metadata(self, metadata);
    self.attr("_write_manifest")(self.attr("store_dir"), metadata);
    return written_names;
}

/// add_component_matrices under the store's writer lock, held from reading the metadata
/// to rewriting the manifest: an update or a compaction running meanwhile is refused
/// with StoreLockedError (and this supplement while one of them runs), never lost.
nb::object store_add_component_matrices(nb::handle self, const args::Bound &a) {
    nb::object lock = module_attr("tessary.backtest._store", "writer_lock")(self.attr("store_dir"));
    lock.attr("__enter__")();
    nb::object written;
    try {
        written = add_component_matrices_locked(self, a);
    } catch (...) {
        lock.attr("__exit__")(nb::none(), nb::none(), nb::none());
        throw;
    }
    lock.attr("__exit__")(nb::none(), nb::none(), nb::none());
    return written;
}

}  // namespace

void init_store(nb::module_ &m) {
    nb::object type = builtins().attr("type");
    nb::dict ns;
    ns["__module__"] = m.attr("__name__");
    ns["__qualname__"] = "BinaryPreparedDataStore";
    // The methods go into the namespace like a class body's, then the class is made.
    ns["__doc__"] =
        "Binary prepared-data store with constituent masks: one float dataset per constituent factor beside the "
        "base matrices; load() without keys reads only the datasets the store holds; missing masks can be "
        "supplemented into an existing store with add_component_matrices().";
    ns["__init__"] =
        bound_method(kInitSig, store_init);
    ns["load"] = bound_method(kLoadSig, store_load);
    ns["add_component_matrices"] =
        bound_method(kAddSig, store_add_component_matrices);
    m.attr("BinaryPreparedDataStore") =
        type("BinaryPreparedDataStore", nb::make_tuple(m.attr("BinaryPreparedDataStoreBase")), ns);
}

}  // namespace tessary::prep
