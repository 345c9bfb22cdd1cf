// The interpreter's "Did you mean" measure (3.10 on): which of a list of names
// a mistyped one was meant to be.
#pragma once

#include "ref.hpp"

namespace tessavor {

// The name among `candidates` (a tuple of texts, from index `first` on)
// nearest to `name` by the interpreter's measure, or null when none is near
// enough. Never sets an error: a name that has no UTF-8 form gets no hint,
// as in the interpreter.
Ref nearest_name(PyObject* candidates, Py_ssize_t first, PyObject* name) noexcept;

}  // namespace tessavor
