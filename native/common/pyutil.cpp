// Helpers of the binding layer shared by both modules.
#include "common/pyutil.hpp"

namespace tessary {

nb::object module_attr(const char *module, const char *name) {
    // sys.modules holds the module once it is loaded; import_ is then a dict lookup.
    return nb::module_::import_(module).attr(name);
}

}  // namespace tessary
