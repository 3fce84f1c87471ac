// Small helpers of the binding layer shared by both modules: registering a bound
// function, looking up module attributes at call time, numpy/pandas conversions.
#pragma once

#include <nanobind/nanobind.h>

#include "common/args.hpp"

namespace tessary {

namespace nb = nanobind;

/// Attribute `name` of the already imported module `module`, looked up now, so a
/// caller (or a test) that replaced the attribute is honoured.
nb::object module_attr(const char *module, const char *name);

/// Registers `impl(const Bound&)` as module function `name` taking (*args, **kwargs),
/// bound by `sig`. `sig` must outlive the module (declare it at namespace scope).
/// help() shows the signature and docstring of `sig`.
template <class Impl>
void def_bound(nb::handle scope, const args::Signature &sig, Impl impl) {
    const args::Signature *s = &sig;
    nb::object fn = nb::cpp_function(
        [s, impl](nb::args a, nb::kwargs k) -> nb::object { return impl(s->bind(a, k)); },
        nb::name(sig.name()), nb::scope(scope), nb::sig(sig.text()), sig.doc().text);
    nb::setattr(scope, sig.name(), fn);
}

/// A Python method (first positional argument `self`) bound by `sig`, to be stored
/// in the namespace of a Python class created at run time. No scope is given to
/// nanobind: with one, it would try to chain the new function as an overload of a
/// same-named attribute the class inherits (a base class's `load`, say) and abort.
template <class Impl>
nb::object bound_method(const args::Signature &sig, Impl impl) {
    const args::Signature *s = &sig;
    return nb::cpp_function(
        [s, impl](nb::handle self, nb::args a, nb::kwargs k) -> nb::object { return impl(self, s->bind(a, k)); },
        nb::is_method(), nb::name(sig.name()), nb::sig(sig.text(true)), sig.doc().text);
}

/// A static method bound by `sig` (no self), for a class created at run time.
template <class Impl>
nb::object bound_static(const args::Signature &sig, Impl impl) {
    const args::Signature *s = &sig;
    nb::object fn = nb::cpp_function(
        [s, impl](nb::args a, nb::kwargs k) -> nb::object { return impl(s->bind(a, k)); }, nb::name(sig.name()),
        nb::sig(sig.text()), sig.doc().text);
    return nb::module_::import_("builtins").attr("staticmethod")(fn);
}

}  // namespace tessary
