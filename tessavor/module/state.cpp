#include "state.hpp"

#include "../capi/names.hpp"

namespace tessavor {

ModuleState& module_state() noexcept {
    static ModuleState state;
    return state;
}

Ref global(PyObject* name) noexcept {
    const ModuleState& s = module_state();
    return lookup_name(s.globals, s.builtins, name);
}

}  // namespace tessavor
