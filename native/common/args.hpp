// Argument binder shared by every function of both extension modules.
//
// Each Python-visible function is registered as f(*args, **kwargs) and binds its
// arguments itself through a `Signature`. That is how the exact, interpreter-style
// messages for wrong counts, unknown keywords and wrong types are produced
// (nanobind's typed parameters would fail with its own generic text).
#pragma once

#include <nanobind/nanobind.h>

#include <array>
#include <cstdint>
#include <initializer_list>
#include <string_view>
#include <vector>

namespace tessary::args {

namespace nb = nanobind;

/// What a parameter accepts and how it is converted on entry.
enum class Kind : uint8_t {
    Object,      ///< anything, unchecked (DataFrames, Series, Path, untyped)
    Float,       ///< converted like CPython's float(): int accepted, str rejected
    Int,         ///< int taken as is, other numbers truncated by int(), else TypeError
    Bool,        ///< taken by truth value, never rejected
    Str,         ///< exactly str (subclasses rejected)
    StrOrNone,   ///< exactly str, or None
    Dict,        ///< exactly dict
    DictOrNone,  ///< exactly dict, or None
    List,        ///< exactly list
    ListOrNone,  ///< exactly list, or None
};

/// A parameter's default. `required()` has none; the others are materialised as
/// fresh Python objects on every call, so no Python object lives in static storage.
struct Default {
    enum class Tag : uint8_t { Required, None, Float, Int, Bool, Str, NaN } tag = Tag::Required;
    double f = 0.0;
    long long i = 0;
    const char *s = nullptr;

    static constexpr Default required() { return {}; }
    static constexpr Default none() { return {Tag::None}; }
    static constexpr Default of(double v) { return {Tag::Float, v}; }
    static constexpr Default of(int v) { return {Tag::Int, 0.0, v}; }
    static constexpr Default of(bool v) { return {Tag::Bool, 0.0, v ? 1 : 0}; }
    static constexpr Default of(const char *v) { return {Tag::Str, 0.0, 0, v}; }
    /// numpy's NaN object, the default of fill-value parameters.
    static constexpr Default nan() { return {Tag::NaN}; }
};

/// One parameter: its name, kind, default, whether it is keyword-only, and the type
/// text that help() and the type stubs show (none given: the kind's own, `float`,
/// `int`, `bool`, `str`, `dict`, `list`, with `| None` for the OrNone kinds; an Object
/// without one is shown unannotated).
struct Param {
    const char *name;
    Kind kind = Kind::Object;
    Default def = Default::required();
    bool kw_only = false;
    const char *type = nullptr;

    constexpr Param(const char *name, Kind kind = Kind::Object, Default def = Default::required(), bool kw_only = false)
        : name(name), kind(kind), def(def), kw_only(kw_only) {}
    constexpr Param(const char *name, const char *type, Kind kind = Kind::Object, Default def = Default::required(),
                    bool kw_only = false)
        : name(name), kind(kind), def(def), kw_only(kw_only), type(type) {}
};

/// What help() and the type stubs say of a function besides its parameters: the
/// return type's text and the docstring.
struct Doc {
    const char *returns = "object";
    const char *text = nullptr;
};

class Signature;

/// The result of binding: one value per parameter, in declaration order, already
/// converted. Look values up by parameter name.
class Bound {
public:
    /// The (converted) Python object bound to `name`.
    nb::object obj(std::string_view name) const;
    /// The double of a Float parameter.
    double f64(std::string_view name) const;
    /// The integer of an Int parameter.
    long long i64(std::string_view name) const;
    /// The truth value of a Bool parameter.
    bool flag(std::string_view name) const;
    /// True when the parameter is bound to None.
    bool is_none(std::string_view name) const;

private:
    friend class Signature;
    const Signature *sig_ = nullptr;
    std::vector<nb::object> values_;
    std::vector<double> doubles_;
    std::vector<long long> ints_;
    size_t index(std::string_view name) const;
};

/// The parameter list of one function: binds (*args, **kwargs) with positional and
/// keyword binding, defaults, keyword-only parameters, conversions and type checks.
class Signature {
public:
    /// `counts_self`: the function is a method whose `self` is the first positional
    /// argument in the interpreter's counts (the binder itself never sees `self`).
    Signature(const char *func_name, std::initializer_list<Param> params, Doc doc = {}, bool counts_self = false);
    Signature(const char *func_name, std::vector<Param> params, Doc doc = {}, bool counts_self = false);

    Bound bind(nb::args args, nb::kwargs kwargs) const;
    Bound bind(nb::handle args_tuple, nb::handle kwargs_dict) const;

    const char *name() const { return name_; }
    const Doc &doc() const { return doc_; }
    /// The signature help() shows, "def name(a: T, b: T = 1, *, c=None) -> returns",
    /// made from the parameter table and the return type (`self` first when
    /// `method`). The text lives as long as the process; call it with the GIL held
    /// (defaults are shown by repr).
    const char *text(bool method = false) const;
    const std::vector<Param> &params() const { return params_; }
    bool counts_self() const { return counts_self_; }

private:
    const char *name_;
    std::vector<Param> params_;
    Doc doc_;
    bool counts_self_;
    size_t n_positional_ = 0;  // parameters that may be passed by position
    size_t n_required_ = 0;    // leading positional parameters without default

    [[noreturn]] void raise_count(size_t given) const;
};

/// Raises TypeError "Argument '<name>' has incorrect type (expected <expected>, got <type>)".
[[noreturn]] void raise_arg_type(const char *name, const char *expected, nb::handle got);

/// Exact-type check of one value (no subclasses); raises the argument-type message.
void check_exact(const char *name, nb::handle value, Kind kind);

/// The parameter tables of every function and method this module binds, for the test
/// that keeps the type stubs and the shown signatures in step with them: a list of
/// (name, is_method, [(parameter, default or ... when required, keyword_only)]).
nb::list binder_tables();

}  // namespace tessary::args
