// Classes made the way the host makes them from a class statement.
#pragma once

#include "function.hpp"

#include <initializer_list>

namespace tessavor {

// One entry of a class body: a function (made with the class's qualified
// name) or a plain value, bound under `name`.
struct ClassMember {
    const char* name;
    const FunctionSpec* function;
    PyObject* value;
};

inline ClassMember method(const FunctionSpec& spec) { return ClassMember{spec.name, &spec, nullptr}; }
inline ClassMember class_attribute(const char* name, PyObject* value) { return ClassMember{name, nullptr, value}; }

// class <name>(*bases): <members>
// The metaclass is derived from the bases and its __prepare__ supplies the
// namespace (types.prepare_class); __module__ and __qualname__ go in first,
// then the members in order; then the metaclass is called with the name,
// the bases and the namespace.
[[nodiscard]] Ref make_class(PyObject* name, PyObject* bases, std::initializer_list<ClassMember> members,
                             PyObject* module_name, PyObject* globals) noexcept;

}  // namespace tessavor
