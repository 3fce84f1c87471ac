// Shared pieces of GroupPreparedDataBuilder: the class object is a Python class
// created at load; each builder_*.cpp file adds the methods of one concern.
#pragma once

#include <nanobind/nanobind.h>

#include <initializer_list>
#include <string>

#include "common/pyutil.hpp"
#include "prepare/module.hpp"

namespace tessary::prep::builder {

using namespace nb::literals;
using args::Default;
using args::Kind;

/// pandas / numpy as bound by the module (looked up at call time).
inline nb::object pd() { return attr("pd"); }
inline nb::object np() { return attr("np"); }

/// A new empty pandas DataFrame, the stand-in of a factor without data.
inline nb::object empty_frame() { return pd().attr("DataFrame")(); }

/// True when `m` is not None and has at least one row.
bool has_rows(nb::handle m);

/// True when `e` is the data service's NetworkError (or a subclass of it).
bool is_network_error(nb::python_error &e);

/// Raises KeyError(message) with the message as its only argument.
[[noreturn]] void raise_key_error(const std::string &message);

/// str(obj) as UTF-8 text.
std::string text_of(nb::handle obj);

/// The qualified type name of `obj`, for error messages.
std::string type_name_of(nb::handle obj);

/// Raises TypeError unless `obj` is a pandas DataFrame; `what` names it.
void require_frame(nb::handle obj, const char *what);

/// `key in container`, with Python semantics.
inline bool contains(nb::handle container, nb::handle key) {
    int r = PySequence_Contains(container.ptr(), key.ptr());
    if (r < 0) throw nb::python_error();
    return r == 1;
}

/// The element-wise rich comparison a <op> b (Py_EQ, Py_NE, Py_LE, ...), as an object.
nb::object compare(nb::handle a, nb::handle b, int op);

/// +-inf as NaN: frame.replace([inf, -inf], nan).
nb::object inf_as_nan(nb::handle frame);

/// A float64 numpy copy-free view of `frame` when all its columns are float64 or
/// integer (exact in float64 for the values a kernel sees), else an invalid object.
nb::object numeric_values(nb::handle frame);

/// Stores a method bound by `sig` on `cls` under the signature's name.
template <class Impl>
void add_method(nb::handle cls, const args::Signature &sig, Impl impl) {
    nb::setattr(cls, sig.name(), bound_method(sig, impl));
}

/// A method of the builder: its signature and the function that runs it.
struct Method {
    const args::Signature &sig;
    nb::object (*impl)(nb::handle self, const args::Bound &a);
};

/// Stores each of `methods` on `cls` (add_method).
inline void add_methods(nb::handle cls, std::initializer_list<Method> methods) {
    for (const Method &m : methods) add_method(cls, m.sig, m.impl);
}

/// The long-to-wide conversion of a factor answer (builder_pivot.cpp).
nb::object factors_to_matrices(nb::handle df, nb::handle names);

/// Component mask of one matrix: 1.0 for finite non-zero cells, NaN elsewhere,
/// sorted by date (builder_sources.cpp).
nb::object component_mask(nb::handle matrix);

void add_read_methods(nb::handle cls);     // builder_read.cpp
void add_source_methods(nb::handle cls);   // builder_sources.cpp
void add_derive_methods(nb::handle cls);   // builder_derive.cpp
void add_payload_methods(nb::handle cls);  // builder_payload.cpp

}  // namespace tessary::prep::builder
