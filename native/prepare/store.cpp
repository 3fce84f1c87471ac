// Placeholder until this file's part of the module lands.
#include "prepare/module.hpp"

namespace tessary::prep {

void init_store(nb::module_ &) {}

}  // namespace tessary::prep
