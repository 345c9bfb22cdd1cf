// Python-visible functions written in C++.
//
// A function object behaves like a function of the host: it carries
// __name__, __qualname__, __module__, __doc__ (None), __dict__, __globals__
// and __annotations__; read through an instance it binds to it and gives a
// bound method; it takes a fixed list of parameters without defaults and
// refuses wrong calls with TypeError in the interpreter's own words.
#pragma once

#include "ref.hpp"

#include <cstddef>

namespace tessavor {

// Every function has at most this many parameters.
inline constexpr int kMaxParameters = 10;

// The body of a function: receives its arguments bound to the parameters,
// in parameter order (borrowed), and returns a new reference, or null with
// the error set.
using FunctionBody = PyObject* (*)(PyObject* const* args);

enum class Passing {
    // Every parameter by position or by its name.
    PositionalOrKeyword,
    // The one parameter by position only (the instance of a method that
    // takes nothing else, or a function's lone argument).
    PositionalOnly,
};

struct FunctionSpec {
    const char* name;
    const char* const* parameters;
    int parameter_count;
    Passing passing;
    FunctionBody body;
};

template <std::size_t N>
constexpr FunctionSpec function_spec(const char* name, const char* const (&parameters)[N], FunctionBody body,
                                     Passing passing = Passing::PositionalOrKeyword) {
    static_assert(N >= 1 && N <= kMaxParameters, "parameter count out of range");
    return FunctionSpec{name, parameters, static_cast<int>(N), passing, body};
}

// Readies the function type; call once before make_function.
[[nodiscard]] bool ready_function_type() noexcept;

// Whether `object` is a function object made for `spec`.
[[nodiscard]] bool is_function_of(PyObject* object, const FunctionSpec& spec) noexcept;

// A new function object for `spec`. `qualname` and `module_name` are texts,
// `globals` the dictionary of module-level names it works in; `annotations`
// may be null (an empty dictionary is made when first asked for).
[[nodiscard]] Ref make_function(const FunctionSpec& spec, PyObject* qualname, PyObject* module_name,
                                PyObject* globals, PyObject* annotations) noexcept;

}  // namespace tessavor
