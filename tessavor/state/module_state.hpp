// The module's state and its namespace, below the parts that use them
// (mes/, station/, dialogs/) and the module body that makes them: the
// mechanism only. Each part keeps the module-level names it looks up beside
// its own texts; only the module body knows every name it binds.
//
// There is one module object per interpreter life: remembered from the
// moment its exec step begins, forgotten again if that step fails, and kept
// until the interpreter is finalised (then forgotten with everything else
// the module keeps, see capi/kept.hpp). Functions and methods find
// module-level names in its namespace at the moment of use, so the host may
// rebind them.
#pragma once

#include "../capi/kept.hpp"
#include "../capi/ref.hpp"

namespace tessavor {

struct ModuleState {
    PyObject* module = nullptr;    // owned
    bool running = false;          // the body is running (a nested import may come)
    bool initialised = false;      // the body has run to its end
    bool forget_at_exit = false;   // the interpreter forgets this at its end
    PyObject* globals = nullptr;   // the module's namespace, borrowed from `module`
    PyObject* builtins = nullptr;  // the host's built-ins dictionary (owned)
    PyObject* open = nullptr;      // built-in `open`, taken once at import (owned)
    PyObject* io_error = nullptr;  // built-in `IOError`, taken once at import (owned)
    PyObject* zero = nullptr;      // the integers 0 and 1 (owned)
    PyObject* one = nullptr;
};

ModuleState& module_state() noexcept;

// The current value of a module-level name: the module's namespace first,
// then the built-ins; NameError when neither has it.
[[nodiscard]] Ref global(PyObject* name) noexcept;

// The value global(name) last found (borrowed) while neither dictionary has
// changed since; else null. Calls nothing, so it may be asked with an
// exception raised.
PyObject* global_if_unchanged(PyObject* name) noexcept;

}  // namespace tessavor
