// Registration entry points of the prepared-data module, one per source file.
#pragma once

#include <nanobind/nanobind.h>

namespace tessary::prep {

namespace nb = nanobind;

/// Fully qualified name of this module, for call-time attribute lookups.
inline constexpr const char *kModule = "tessary.backtest._prepare";

/// Module attribute `name`, looked up at call time (replaceable by callers/tests).
nb::object attr(const char *name);

void init_constants(nb::module_ &m);  // constants and the four name/dtype/date utilities
void init_store(nb::module_ &m);      // BinaryPreparedDataStore
void init_builder(nb::module_ &m);    // GroupPreparedDataBuilder

}  // namespace tessary::prep
