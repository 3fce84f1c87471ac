// GroupPreparedDataBuilder: the class object, its constructor and date rules, and
// the helpers shared by the builder's source files.
#include "prepare/builder.hpp"

namespace tessary::prep::builder {

bool has_rows(nb::handle m) { return !m.is_none() && nb::len(m) > 0; }

bool is_network_error(nb::python_error &e) { return e.matches(attr("NetworkError")); }

void raise_key_error(const std::string &message) {
    PyErr_SetObject(PyExc_KeyError, nb::str(message.data(), message.size()).ptr());
    throw nb::python_error();
}

std::string text_of(nb::handle obj) {
    nb::str text = nb::str(obj);
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!data) throw nb::python_error();
    return std::string(data, (std::size_t)size);
}

std::string type_name_of(nb::handle obj) { return text_of(nb::handle((PyObject *)Py_TYPE(obj.ptr())).attr("__name__")); }

void require_frame(nb::handle obj, const char *what) {
    if (!nb::isinstance(obj, pd().attr("DataFrame")))
        throw nb::type_error((std::string(what) + " must be a pandas DataFrame, got " + type_name_of(obj)).c_str());
}

nb::object compare(nb::handle a, nb::handle b, int op) {
    PyObject *r = PyObject_RichCompare(a.ptr(), b.ptr(), op);
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

nb::object inf_as_nan(nb::handle frame) {
    nb::object numpy = np();
    nb::object inf = numpy.attr("inf");
    return frame.attr("replace")(nb::make_tuple(inf, -inf), numpy.attr("nan"));
}

nb::object numeric_values(nb::handle frame) {
    for (nb::handle dt : frame.attr("dtypes")) {
        nb::object kind = nb::getattr(dt, "kind", nb::none());
        if (!nb::isinstance<nb::str>(kind)) return nb::object();
        const std::string k = text_of(kind);
        const bool is_f64 = k == "f" && nb::cast<long>(dt.attr("itemsize")) == 8;
        // Only plain numpy dtypes: extension dtypes (nullable, Arrow) carry NA.
        if (!(is_f64 || k == "i" || k == "u") || !nb::isinstance(dt, np().attr("dtype"))) return nb::object();
    }
    return frame.attr("to_numpy")("dtype"_a = "float64");
}

namespace {

const args::Signature kInitSig("__init__", {{"start_date", Kind::Str}, {"end_date", Kind::Str}},
                               {"None",
                                "Normalises both dates to 'YYYYMMDD' and keeps them with their payload-meta "
                                "forms."}, true);
const args::Signature kDdbDateSig("_normalize_ddb_backtest_date", {{"date_value", "typing.Any"}},
                                  {"str | None",
                                   "The date's string form; a seven-digit text gains a trailing '0'. None gives "
                                   "None."});
const args::Signature kFactorDateSig("_tsy_factor_date", {{"date_value", Kind::StrOrNone}},
                                     {"str | None",
                                      "The date as 'YYYY-MM-DD' for factor queries; None gives None."});
const args::Signature kEmptyLikeSig("_empty_like", {{"reference", "pandas.DataFrame"},
                                                    {"fill_value", "typing.Any", Kind::Object, Default::nan()}},
                                    {"pandas.DataFrame",
                                     "A new frame of fill_value with the reference's index and columns."});

nb::object init(nb::handle self, const args::Bound &a) {
    nb::object normalize = attr("normalize_yyyymmdd");
    nb::setattr(self, "default_start", normalize(a.obj("start_date")));
    nb::setattr(self, "end_date", normalize(a.obj("end_date")));
    nb::setattr(self, "_ddb_start", self.attr("_normalize_ddb_backtest_date")(self.attr("default_start")));
    nb::setattr(self, "_ddb_end", self.attr("_normalize_ddb_backtest_date")(self.attr("end_date")));
    return nb::none();
}

/// A seven-digit date text gains a trailing "0"; anything else is its string form.
nb::object normalize_ddb_backtest_date(const args::Bound &a) {
    nb::object value = a.obj("date_value");
    if (value.is_none()) return nb::none();
    nb::str text = nb::str(value);
    if (nb::len(text) == 7 && nb::cast<bool>(text.attr("isdigit")())) {
        nb::object head = text[nb::slice(0, 6, 1)];
        nb::object seventh = text[nb::slice(6, 7, 1)];
        return head + seventh + nb::str("0");
    }
    return text;
}

/// The "YYYY-MM-DD" form of a date for factor queries, None for None.
nb::object tsy_factor_date(const args::Bound &a) {
    nb::object value = attr("normalize_yyyymmdd")(a.obj("date_value"));
    if (value.is_none()) return nb::none();
    if (!PyUnicode_Check(value.ptr()))
        throw nb::type_error(("normalize_yyyymmdd must return str or None, got " + type_name_of(value)).c_str());
    nb::object day = pd().attr("to_datetime")(value, "format"_a = "%Y%m%d");
    return day.attr("strftime")("%Y-%m-%d");
}

nb::object empty_like(const args::Bound &a) {
    nb::object reference = a.obj("reference");
    return pd().attr("DataFrame")(a.obj("fill_value"), "index"_a = reference.attr("index"),
                                  "columns"_a = reference.attr("columns"));
}

}  // namespace

}  // namespace tessary::prep::builder

namespace tessary::prep {

void init_builder(nb::module_ &m) {
    using namespace builder;
    nb::dict ns;
    ns["__module__"] = kModule;
    ns["__qualname__"] = "GroupPreparedDataBuilder";
    ns["__doc__"] =
        "Incremental builder of backtest prepared data for one date range: reads factor, constituent and "
        "benchmark data through the data-service client, pivots them into date x stock matrices, derives the "
        "backtest matrices and assembles a versioned payload for the binary store.";
    nb::object type = nb::module_::import_("builtins").attr("type");
    nb::object cls = type("GroupPreparedDataBuilder", nb::make_tuple(nb::handle((PyObject *)&PyBaseObject_Type)), ns);

    add_method(cls, kInitSig, init);
    nb::setattr(cls, "_normalize_ddb_backtest_date",
                bound_static(kDdbDateSig, normalize_ddb_backtest_date));
    nb::setattr(cls, "_tsy_factor_date",
                bound_static(kFactorDateSig, tsy_factor_date));
    nb::setattr(cls, "_empty_like",
                bound_static(kEmptyLikeSig, empty_like));
    add_read_methods(cls);
    add_source_methods(cls);
    add_derive_methods(cls);
    add_payload_methods(cls);
    m.attr("GroupPreparedDataBuilder") = cls;
}

}  // namespace tessary::prep
