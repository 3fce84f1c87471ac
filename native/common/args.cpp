// Argument binder: positional/keyword binding, defaults, conversions and the
// interpreter-style error messages shared by both extension modules.
#include "common/args.hpp"

#include <cmath>
#include <deque>
#include <limits>
#include <string>
#include <utility>

namespace tessary::args {

namespace {

/// Every Signature of this module, in construction order (they are namespace-scope
/// objects, so the list is complete before the module's init runs).
std::vector<const Signature *> &registry() {
    static std::vector<const Signature *> all;
    return all;
}

/// Materialises a default as a new Python object.
nb::object make_default(const Default &d) {
    switch (d.tag) {
        case Default::Tag::None: return nb::none();
        case Default::Tag::Float: return nb::float_(d.f);
        case Default::Tag::Int: return nb::int_(d.i);
        case Default::Tag::Bool: return nb::bool_(d.i != 0);
        case Default::Tag::Str: return nb::str(d.s);
        case Default::Tag::NaN: return nb::module_::import_("numpy").attr("nan");
        case Default::Tag::Required: break;
    }
    return nb::object();
}

const char *tp_name_of(nb::handle h) { return Py_TYPE(h.ptr())->tp_name; }

/// Python's float(x) as a C double: exact floats directly, everything else through
/// PyFloat_AsDouble (which tries __float__, then __index__ and raises TypeError).
double to_double(nb::handle value) {
    if (PyFloat_CheckExact(value.ptr())) return PyFloat_AS_DOUBLE(value.ptr());
    double d = PyFloat_AsDouble(value.ptr());
    if (d == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return d;
}

/// An int taken as is; any other number truncated with int(); a non-number rejected.
long long to_int(const char *name, nb::handle value) {
    PyObject *p = value.ptr();
    nb::object as_long;
    if (!PyLong_Check(p)) {
        PyNumberMethods *nm = Py_TYPE(p)->tp_as_number;
        if (nm == nullptr || (nm->nb_int == nullptr && nm->nb_index == nullptr))
            raise_arg_type(name, "int", value);
        as_long = nb::steal(PyNumber_Long(p));
        if (!as_long.is_valid()) throw nb::python_error();
        p = as_long.ptr();
    }
    long long v = PyLong_AsLongLong(p);
    if (v == -1 && PyErr_Occurred()) throw nb::python_error();
    return v;
}

bool is_exact(nb::handle value, PyTypeObject *type) { return Py_TYPE(value.ptr()) == type; }

}  // namespace

void raise_arg_type(const char *name, const char *expected, nb::handle got) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 name, expected, tp_name_of(got));
    throw nb::python_error();
}

void check_exact(const char *name, nb::handle value, Kind kind) {
    PyTypeObject *type = nullptr;
    const char *type_name = nullptr;
    switch (kind) {
        case Kind::Str:
        case Kind::StrOrNone: type = &PyUnicode_Type; type_name = "str"; break;
        case Kind::Dict:
        case Kind::DictOrNone: type = &PyDict_Type; type_name = "dict"; break;
        case Kind::List:
        case Kind::ListOrNone: type = &PyList_Type; type_name = "list"; break;
        default: return;  // the other kinds convert their value instead
    }
    const bool or_none = kind == Kind::StrOrNone || kind == Kind::DictOrNone || kind == Kind::ListOrNone;
    if (or_none && value.is_none()) return;
    if (!is_exact(value, type)) raise_arg_type(name, type_name, value);
}

Signature::Signature(const char *func_name, std::initializer_list<Param> params, Doc doc, bool counts_self)
    : Signature(func_name, std::vector<Param>(params), doc, counts_self) {}

Signature::Signature(const char *func_name, std::vector<Param> params, Doc doc, bool counts_self)
    : name_(func_name), params_(std::move(params)), doc_(doc), counts_self_(counts_self) {
    registry().push_back(this);
    for (const Param &p : params_) {
        if (p.kw_only) continue;
        ++n_positional_;
        if (p.def.tag == Default::Tag::Required && n_required_ + 1 == n_positional_) ++n_required_;
    }
}

void Signature::raise_count(size_t given) const {
    // Same wording as a compiled Python function: "at least" when too few were given,
    // "at most" when too many, "exactly" whenever the count is fixed.
    const size_t offset = counts_self_ ? 1 : 0;
    const bool exact = n_required_ == n_positional_;
    size_t expected;
    const char *more_or_less;
    if (given < n_required_) {
        expected = n_required_;
        more_or_less = "at least";
    } else {
        expected = n_positional_;
        more_or_less = "at most";
    }
    if (exact) more_or_less = "exactly";
    expected += offset;
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", name_,
                 more_or_less, (Py_ssize_t)expected, expected == 1 ? "" : "s", (Py_ssize_t)(given + offset));
    throw nb::python_error();
}

Bound Signature::bind(nb::args args, nb::kwargs kwargs) const { return bind(nb::handle(args), nb::handle(kwargs)); }

Bound Signature::bind(nb::handle args_tuple, nb::handle kwargs_dict) const {
    PyObject *tuple = args_tuple.ptr();
    PyObject *kw = (kwargs_dict.is_valid() && !kwargs_dict.is_none()) ? kwargs_dict.ptr() : nullptr;
    const size_t nargs = (size_t)PyTuple_GET_SIZE(tuple);
    const size_t n = params_.size();

    if (nargs > n_positional_) raise_count(nargs);

    Bound b;
    b.sig_ = this;
    b.values_.resize(n);
    b.doubles_.assign(n, std::numeric_limits<double>::quiet_NaN());
    b.ints_.assign(n, 0);

    for (size_t i = 0; i < nargs; ++i) b.values_[i] = nb::borrow(PyTuple_GET_ITEM(tuple, (Py_ssize_t)i));

    Py_ssize_t kw_left = kw ? PyDict_GET_SIZE(kw) : 0;
    // Keyword lookups for the parameters not given by position, in declaration order;
    // a missing required one reports how many positional arguments were in effect.
    for (size_t i = nargs; i < n; ++i) {
        const Param &p = params_[i];
        PyObject *v = nullptr;
        if (kw_left > 0) {
            v = PyDict_GetItemString(kw, p.name);  // borrowed
            if (v) --kw_left;
        }
        if (v) {
            b.values_[i] = nb::borrow(v);
        } else if (p.def.tag == Default::Tag::Required) {
            if (p.kw_only) {
                PyErr_Format(PyExc_TypeError, "%s() needs keyword-only argument %s", name_, p.name);
                throw nb::python_error();
            }
            raise_count(i);
        } else {
            b.values_[i] = make_default(p.def);
        }
    }

    // Anything left in kwargs is either a duplicate of a positional argument or unknown.
    if (kw_left > 0) {
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kw, &pos, &key, &value)) {
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", name_);
                throw nb::python_error();
            }
            size_t found = n;
            for (size_t i = 0; i < n; ++i)
                if (PyUnicode_CompareWithASCIIString(key, params_[i].name) == 0) { found = i; break; }
            if (found == n) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", name_, key);
                throw nb::python_error();
            }
            if (found < nargs) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", name_, key);
                throw nb::python_error();
            }
        }
    }

    // Conversions of C-typed parameters first, then the exact-type checks, each in
    // declaration order: a rejected call does nothing else.
    for (size_t i = 0; i < n; ++i) {
        const Param &p = params_[i];
        if (p.kind == Kind::Float) {
            b.doubles_[i] = to_double(b.values_[i]);
            b.values_[i] = nb::float_(b.doubles_[i]);
        } else if (p.kind == Kind::Int) {
            b.ints_[i] = to_int(p.name, b.values_[i]);
            b.values_[i] = nb::int_(b.ints_[i]);
        } else if (p.kind == Kind::Bool) {
            int truth = PyObject_IsTrue(b.values_[i].ptr());
            if (truth < 0) throw nb::python_error();
            b.ints_[i] = truth;
        }
    }
    for (size_t i = 0; i < n; ++i) check_exact(params_[i].name, b.values_[i], params_[i].kind);
    return b;
}

size_t Bound::index(std::string_view name) const {
    const auto &ps = sig_->params();
    for (size_t i = 0; i < ps.size(); ++i)
        if (name == ps[i].name) return i;
    throw std::logic_error("unknown parameter name: " + std::string(name));
}

nb::object Bound::obj(std::string_view name) const { return values_[index(name)]; }
double Bound::f64(std::string_view name) const { return doubles_[index(name)]; }
long long Bound::i64(std::string_view name) const { return ints_[index(name)]; }
bool Bound::flag(std::string_view name) const { return ints_[index(name)] != 0; }
bool Bound::is_none(std::string_view name) const { return values_[index(name)].is_none(); }

/// The type text of a parameter: its own, or the one its kind implies (none for Object).
static const char *type_text(const Param &p) {
    if (p.type) return p.type;
    switch (p.kind) {
        case Kind::Float: return "float";
        case Kind::Int: return "int";
        case Kind::Bool: return "bool";
        case Kind::Str: return "str";
        case Kind::StrOrNone: return "str | None";
        case Kind::Dict: return "dict";
        case Kind::DictOrNone: return "dict | None";
        case Kind::List: return "list";
        case Kind::ListOrNone: return "list | None";
        case Kind::Object: break;
    }
    return nullptr;
}

const char *Signature::text(bool method) const {
    static std::deque<std::string> texts;  // nanobind keeps the pointer it is given
    std::string t = std::string("def ") + name_ + "(";
    bool first = true;
    auto sep = [&] { if (!first) t += ", "; first = false; };
    if (method) { sep(); t += "self"; }
    bool star = false;
    for (const Param &p : params_) {
        if (p.kw_only && !star) { sep(); t += "*"; star = true; }
        sep();
        t += p.name;
        const char *type = type_text(p);
        if (type) { t += ": "; t += type; }
        if (p.def.tag != Default::Tag::Required) {
            t += type ? " = " : "=";
            t += nb::repr(make_default(p.def)).c_str();
        }
    }
    t += ") -> ";
    t += doc_.returns;
    return texts.emplace_back(std::move(t)).c_str();
}

nb::list binder_tables() {
    nb::list out;
    for (const Signature *sig : registry()) {
        nb::list params;
        for (const Param &p : sig->params()) {
            const bool required = p.def.tag == Default::Tag::Required;
            params.append(nb::make_tuple(p.name, required ? nb::object(nb::ellipsis()) : make_default(p.def), p.kw_only));
        }
        out.append(nb::make_tuple(sig->name(), sig->counts_self(), params));
    }
    return out;
}

}  // namespace tessary::args
