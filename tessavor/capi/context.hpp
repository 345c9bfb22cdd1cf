// The `with` statement.
#pragma once

#include "call.hpp"
#include "errors.hpp"
#include "kept.hpp"

namespace tessavor {

// with manager as value: body(value)
//
// `body` returns false with an error set when it fails. __exit__ gets
// (None, None, None) after success, or the exception's type, value and
// traceback before the exception goes on; a true answer from __exit__
// swallows the exception, as in Python. Returns false with the error set
// when the block ends in an exception.
template <class Body>
[[nodiscard]] bool with_block(PyObject* manager, Body&& body) {
    static Kept<PyObject*> kept_enter_name;
    PyObject*& enter_name = kept_enter_name.value();
    static Kept<PyObject*> kept_exit_name;
    PyObject*& exit_name = kept_exit_name.value();
    if ((enter_name == nullptr && (enter_name = PyUnicode_InternFromString("__enter__")) == nullptr) ||
        (exit_name == nullptr && (exit_name = PyUnicode_InternFromString("__exit__")) == nullptr)) {
        return false;
    }
    Ref enter = Ref::steal(PyObject_GetAttr(manager, enter_name));
    if (!enter) {
        return false;
    }
    Ref exit = Ref::steal(PyObject_GetAttr(manager, exit_name));
    if (!exit) {
        return false;
    }
    Ref value = call(enter.get());
    if (!value) {
        return false;
    }
    if (body(value.get())) {
        return static_cast<bool>(call(exit.get(), Py_None, Py_None, Py_None));
    }
    if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "with block failed without an exception");
    }
    ExceptScope handling;
    PyObject* caught = handling.caught();
    Ref traceback = Ref::steal(PyException_GetTraceback(caught));
    Ref suppress = call(exit.get(), reinterpret_cast<PyObject*>(Py_TYPE(caught)), caught,
                        traceback ? traceback.get() : Py_None);
    if (!suppress) {
        return false;
    }
    const int swallowed = PyObject_IsTrue(suppress.get());
    if (swallowed == 0) {
        handling.reraise();
    }
    return swallowed > 0;
}

}  // namespace tessavor
