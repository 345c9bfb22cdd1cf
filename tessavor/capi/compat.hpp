// Everything this module uses that is newer than the C API of Python 3.6 (the
// station's host) lives here, one block per feature, each naming the version
// that brought it. Outside this header the code sticks to the 3.6 API.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if PY_VERSION_HEX < 0x03060000
#error "m4r_tessavor needs Python 3.6 or newer"
#endif

namespace tessavor::compat {

// Py_NewRef: 3.10.
inline PyObject* new_ref(PyObject* o) noexcept {
    Py_INCREF(o);
    return o;
}

// Py_SET_REFCNT: 3.9 (Py_REFCNT stopped being an lvalue in 3.10).
inline void set_refcount(PyObject* o, Py_ssize_t n) noexcept {
#if PY_VERSION_HEX >= 0x03090000
    Py_SET_REFCNT(o, n);
#else
    Py_REFCNT(o) = n;
#endif
}

// PyObject_CallNoArgs: 3.9.
inline PyObject* call_no_args(PyObject* callable) noexcept {
#if PY_VERSION_HEX >= 0x03090000
    return PyObject_CallNoArgs(callable);
#else
    return PyObject_CallFunctionObjArgs(callable, nullptr);
#endif
}

// PyObject_CallOneArg: 3.9.
inline PyObject* call_one_arg(PyObject* callable, PyObject* arg) noexcept {
#if PY_VERSION_HEX >= 0x03090000
    return PyObject_CallOneArg(callable, arg);
#else
    return PyObject_CallFunctionObjArgs(callable, arg, nullptr);
#endif
}

// The name a function shows in the interpreter's own argument errors: the
// code name up to 3.9, the qualified name from 3.10 on.
#if PY_VERSION_HEX >= 0x030A0000
inline constexpr bool kArgErrorsUseQualname = true;
#else
inline constexpr bool kArgErrorsUseQualname = false;
#endif

// Positional-only parameters of Python functions, and their own TypeError
// text for a keyword that names one: 3.8. Older hosts call it an unexpected
// keyword argument.
#if PY_VERSION_HEX >= 0x03080000
inline constexpr bool kPositionalOnlyErrors = true;
#else
inline constexpr bool kPositionalOnlyErrors = false;
#endif

// A call through the interpreter's call slot with a dictionary of keywords
// checks that every keyword is a text before the function binds any, in
// its own words ("keywords must be strings"): 3.9. Before, the function's
// binding says it, naming the function.
#if PY_VERSION_HEX >= 0x03090000
inline constexpr bool kCallChecksKeywordsFirst = true;
#else
inline constexpr bool kCallChecksKeywordsFirst = false;
#endif

// Vectorcall (PEP 590) and Py_TPFLAGS_METHOD_DESCRIPTOR: 3.8 (the public
// names from 3.9; 3.8 spells the flag with an underscore). Below that the
// function type is called through tp_call alone and binds through tp_descr_get.
#if PY_VERSION_HEX >= 0x03090000
#define TESSAVOR_HAVE_VECTORCALL 1
inline constexpr unsigned long kVectorcallFlags = Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
inline Py_ssize_t vectorcall_nargs(size_t n) noexcept { return PyVectorcall_NARGS(n); }
#elif PY_VERSION_HEX >= 0x03080000
#define TESSAVOR_HAVE_VECTORCALL 1
inline constexpr unsigned long kVectorcallFlags = _Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
inline Py_ssize_t vectorcall_nargs(size_t n) noexcept { return PyVectorcall_NARGS(n); }
#else
#define TESSAVOR_HAVE_VECTORCALL 0
inline constexpr unsigned long kVectorcallFlags = 0;
#endif

// Multi-phase initialisation slots added after 3.6 (Py_mod_multiple_interpreters
// in 3.12, Py_mod_gil in 3.13) are not needed: the module keeps one module
// object per process and declares only create and exec.

}  // namespace tessavor::compat
