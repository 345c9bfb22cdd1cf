#include "module_state.hpp"

#include "../capi/names.hpp"

#include <cstdint>

namespace tessavor {

namespace {

Kept<ModuleState> state;

// The last value found for a name, good for as long as neither dictionary
// has changed since: their version tags are still the ones it was found
// under. The value is borrowed; a dictionary that has not changed still
// holds it. This is how the interpreter's own global lookups avoid the two
// dictionary searches.
struct CachedName {
    PyObject* name = nullptr;
    uint64_t globals_version = 0;
    uint64_t builtins_version = 0;
    PyObject* value = nullptr;
};

constexpr std::size_t kCachedNames = 32;

struct CachedNames {
    CachedName entries[kCachedNames];
};

Kept<CachedNames> cached_names;

}  // namespace

ModuleState& module_state() noexcept { return state.value(); }

PyObject* global_if_unchanged(PyObject* name) noexcept {
    const ModuleState& s = module_state();
    if (!compat::kDictVersions || s.globals == nullptr || s.builtins == nullptr) {
        return nullptr;
    }
    const CachedName& cached = cached_names.peek().entries[(reinterpret_cast<std::uintptr_t>(name) >> 4) % kCachedNames];
    return cached.name == name && cached.globals_version == compat::dict_version(s.globals) &&
                   cached.builtins_version == compat::dict_version(s.builtins)
               ? cached.value
               : nullptr;
}

Ref global(PyObject* name) noexcept {
    const ModuleState& s = module_state();
    if (!compat::kDictVersions || s.globals == nullptr || s.builtins == nullptr) {
        return lookup_name(s.globals, s.builtins, name);
    }
    CachedName& cached = cached_names.value().entries[(reinterpret_cast<std::uintptr_t>(name) >> 4) % kCachedNames];
    const uint64_t globals_version = compat::dict_version(s.globals);
    const uint64_t builtins_version = compat::dict_version(s.builtins);
    if (cached.name == name && cached.globals_version == globals_version &&
        cached.builtins_version == builtins_version) {
        return Ref::borrow(cached.value);
    }
    Ref value = lookup_name(s.globals, s.builtins, name);
    if (value) {
        cached = CachedName{name, globals_version, builtins_version, value.get()};
    }
    return value;
}

}  // namespace tessavor
