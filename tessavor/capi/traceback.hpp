// Traceback entries for the module's functions.
//
// An exception that passes through a Python function gets an entry for its
// frame, which is what makes traceback.print_exc() write the header
// "Traceback (most recent call last):" and a line naming the function. The
// module's functions add the same: File "m4r_tessavor", line 1, in <name>.
// Only an exception pays for it.
#pragma once

#include "function.hpp"

namespace tessavor {

// Adds an entry naming `spec`'s function to the traceback of the raised
// exception; `globals` is the namespace the function works in. When the
// entry cannot be made, the exception stays as it was.
void add_traceback_entry(const FunctionSpec& spec, PyObject* globals) noexcept;

}  // namespace tessavor
