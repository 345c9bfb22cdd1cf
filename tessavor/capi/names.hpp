// Name lookup the way a Python function looks up a global name: in the
// module's namespace at the moment of use, then in the built-ins.
#pragma once

#include "ref.hpp"

namespace tessavor {

// A new reference to the value of `name`, or null with NameError set (in
// the interpreter's words) when neither dictionary has it. Either
// dictionary may be null: it then holds nothing.
[[nodiscard]] Ref lookup_name(PyObject* globals, PyObject* builtins, PyObject* name) noexcept;

// `from module import name`: the attribute, or a submodule of that name
// already imported, or ImportError in the interpreter's words.
[[nodiscard]] Ref import_from(PyObject* module, PyObject* name) noexcept;

}  // namespace tessavor
