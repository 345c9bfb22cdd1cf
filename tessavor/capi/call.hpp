// Calls, attributes and small containers, each returning an owned result.
// All arguments are borrowed and must be non-null; an empty Ref means
// failure with the Python error set.
#pragma once

#include "ref.hpp"

#include <initializer_list>
#include <type_traits>
#include <utility>

namespace tessavor {

// callable(args...)
template <class... Args>
[[nodiscard]] Ref call(PyObject* callable, Args... args) {
    static_assert((std::is_same_v<Args, PyObject*> && ...), "call takes PyObject* arguments");
    if constexpr (sizeof...(Args) == 0) {
        return Ref::steal(compat::call_no_args(callable));
    } else if constexpr (sizeof...(Args) == 1) {
        return Ref::steal(compat::call_one_arg(callable, args...));
    } else {
        PyObject* stack[] = {args...};
        return Ref::steal(compat::vectorcall(callable, stack, sizeof...(Args), nullptr));
    }
}

// callable(*args, **kwargs); kwargs may be null.
[[nodiscard]] inline Ref call_with(PyObject* callable, PyObject* args, PyObject* kwargs) {
    return Ref::steal(PyObject_Call(callable, args, kwargs));
}

// obj.name
[[nodiscard]] inline Ref attr(PyObject* obj, PyObject* name) {
    return Ref::steal(PyObject_GetAttr(obj, name));
}

// obj.name(args...): the attribute is looked up and then called, as in Python.
template <class... Args>
[[nodiscard]] Ref call_method(PyObject* obj, PyObject* name, Args... args) {
    static_assert((std::is_same_v<Args, PyObject*> && ...), "call_method takes PyObject* arguments");
    PyObject* stack[] = {obj, args...};
    return Ref::steal(compat::vectorcall_method(name, stack, 1 + sizeof...(Args), nullptr));
}

// obj.name(**dict(zip(keyword_names, values))): keywords named by a tuple of
// texts made once, as the interpreter makes such a call.
template <class... Values>
[[nodiscard]] Ref call_method_with_keywords(PyObject* obj, PyObject* name, PyObject* keyword_names, Values... values) {
    static_assert((std::is_same_v<Values, PyObject*> && ...), "keyword values are PyObject*");
    PyObject* stack[] = {obj, values...};
    return Ref::steal(compat::vectorcall_method(name, stack, 1, keyword_names));
}

// (items...)
template <class... Items>
[[nodiscard]] Ref tuple(Items... items) {
    static_assert((std::is_same_v<Items, PyObject*> && ...), "tuple takes PyObject* items");
    // Filled in place: PyTuple_Pack walks a va_list.
    PyObject* t = PyTuple_New(static_cast<Py_ssize_t>(sizeof...(Items)));
    if (t != nullptr) {
        Py_ssize_t i = 0;
        ((Py_INCREF(items), PyTuple_SET_ITEM(t, i++, items)), ...);
    }
    return Ref::steal(t);
}

// {key: value, ...} in the order given.
[[nodiscard]] inline Ref dict(std::initializer_list<std::pair<PyObject*, PyObject*>> items) {
    Ref d = Ref::steal(PyDict_New());
    if (!d) {
        return d;
    }
    for (const auto& [key, value] : items) {
        if (PyDict_SetItem(d.get(), key, value) < 0) {
            return Ref();
        }
    }
    return d;
}

// A new reference to the interned text of `utf8`.
[[nodiscard]] inline PyObject* intern(const char* utf8) noexcept {
    return PyUnicode_InternFromString(utf8);
}

}  // namespace tessavor
