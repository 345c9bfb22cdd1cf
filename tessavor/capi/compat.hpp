// Everything this module uses that is newer than the C API of Python 3.6 (the
// station's host) lives here, one block per feature, each naming the version
// that brought it. Outside this header the code sticks to the 3.6 API.
#pragma once

// Standard headers that Python 3.6's Windows pyconfig.h breaks come before it:
// for GCC (MinGW) it defines hypot as _hypot, which neither <cmath> nor the
// C++ <math.h> (which Python.h includes) can take when read after it. Every
// source reaches Python.h through this header only.
#include <cmath>
#include <math.h>

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>
#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#endif

#include <cstdint>

#if PY_VERSION_HEX < 0x03060000
#error "m4r_tessavor needs Python 3.6 or newer"
#endif

// The module's entry point, exported whatever the headers' PyMODINIT_FUNC
// says: before 3.9 it carries no visibility attribute on POSIX, so a build
// that hides every other symbol (as this one does) would hide it too.
#if defined(_WIN32) || defined(__CYGWIN__)
#define TESSAVOR_MODINIT_FUNC PyMODINIT_FUNC
#else
#define TESSAVOR_MODINIT_FUNC extern "C" __attribute__((visibility("default"))) PyObject*
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

// PyUnicode_READY: needed up to 3.11 for texts made by the legacy API, a
// no-op from 3.12 on. 0, or -1 with the error set.
inline int unicode_ready(PyObject* text) noexcept {
#if PY_VERSION_HEX < 0x030C0000
    return PyUnicode_READY(text);
#else
    (void)text;
    return 0;
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

// PyObject_Vectorcall: 3.9 (3.8 as _PyObject_Vectorcall). callable(*args[:nargs],
// **dict(zip(kwnames, args[nargs:]))); kwnames may be null.
inline PyObject* vectorcall(PyObject* callable, PyObject* const* args, size_t nargs, PyObject* kwnames) noexcept {
#if PY_VERSION_HEX >= 0x03090000
    return PyObject_Vectorcall(callable, args, nargs, kwnames);
#else
    const Py_ssize_t positional = static_cast<Py_ssize_t>(nargs);
    PyObject* tuple = PyTuple_New(positional);
    if (tuple == nullptr) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < positional; ++i) {
        Py_INCREF(args[i]);
        PyTuple_SET_ITEM(tuple, i, args[i]);
    }
    PyObject* keywords = nullptr;
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0) {
        keywords = PyDict_New();
        for (Py_ssize_t i = 0; keywords != nullptr && i < PyTuple_GET_SIZE(kwnames); ++i) {
            if (PyDict_SetItem(keywords, PyTuple_GET_ITEM(kwnames, i), args[positional + i]) < 0) {
                Py_CLEAR(keywords);
            }
        }
        if (keywords == nullptr) {
            Py_DECREF(tuple);
            return nullptr;
        }
    }
    PyObject* result = PyObject_Call(callable, tuple, keywords);
    Py_DECREF(tuple);
    Py_XDECREF(keywords);
    return result;
#endif
}

// PyObject_VectorcallMethod: 3.9. args[0].name(*args[1:nargs], **keywords).
inline PyObject* vectorcall_method(PyObject* name, PyObject* const* args, size_t nargs, PyObject* kwnames) noexcept {
#if PY_VERSION_HEX >= 0x03090000
    return PyObject_VectorcallMethod(name, args, nargs, kwnames);
#else
    PyObject* method = PyObject_GetAttr(args[0], name);
    if (method == nullptr) {
        return nullptr;
    }
    PyObject* result = vectorcall(method, args + 1, nargs - 1, kwnames);
    Py_DECREF(method);
    return result;
#endif
}

// PyImport_GetModule: 3.7. The module of that name if it was imported (a
// new reference), else null; before 3.7 it is imported.
inline PyObject* imported_module(PyObject* name) noexcept {
#if PY_VERSION_HEX >= 0x03070000
    PyObject* module = PyImport_GetModule(name);
    if (module != nullptr || PyErr_Occurred()) {
        return module;
    }
#endif
    return PyImport_Import(name);
}

// A dictionary's version tag (PEP 509, 3.6 to 3.11): a number that changes
// with every change of the dictionary and is never given to another one.
// Deprecated in 3.12, where a name cache has no version to trust.
#if PY_VERSION_HEX < 0x030C0000
inline constexpr bool kDictVersions = true;
inline uint64_t dict_version(PyObject* dict) noexcept {
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}
#else
inline constexpr bool kDictVersions = false;
inline uint64_t dict_version(PyObject*) noexcept { return 0; }
#endif

// The name a function shows in the interpreter's own argument errors: the
// code name up to 3.9, the qualified name from 3.10 on.
#if PY_VERSION_HEX >= 0x030A0000
inline constexpr bool kArgErrorsUseQualname = true;
#else
inline constexpr bool kArgErrorsUseQualname = false;
#endif

// What the interpreter's RecursionError names as the place where a cycle of
// calls tripped its guard ("maximum recursion depth exceeded<where>"). Up to
// 3.10 each round of a cycle through Python code calls some built-in callable
// (str(), a type, a method of a built-in) through the call machinery, whose
// guard comes before the next frame's and names " while calling a Python
// object". From 3.11 the interpreter makes those calls inside the frame
// (specialised calls, Python-to-Python calls without a C call), and the
// frame's guard names nothing.
#if PY_VERSION_HEX >= 0x030B0000
inline constexpr const char kRecursionWhere[] = "";
#else
inline constexpr const char kRecursionWhere[] = " while calling a Python object";
#endif

// The hint after an unknown keyword, "Did you mean 'x'?", with the parameter
// that can be passed by keyword nearest to it: 3.13.
#if PY_VERSION_HEX >= 0x030D0000
inline constexpr bool kKeywordSuggestions = true;
#else
inline constexpr bool kKeywordSuggestions = false;
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

// The raised exception as one normalised instance with its traceback
// attached, taken off the error indicator (a new reference; null when none
// is raised): PyErr_GetRaisedException, 3.12, where the triple API is
// deprecated. Before, the triple is fetched and normalised.
inline PyObject* take_raised_exception() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) {
        return nullptr;
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) {
        PyException_SetTraceback(value, traceback);
    }
    Py_DECREF(type);
    Py_XDECREF(traceback);
    return value;
#endif
}

// Raises `exception` (an instance, its reference stolen) again as it is,
// traceback included: PyErr_SetRaisedException, 3.12.
inline void set_raised_exception(PyObject* exception) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception);
#else
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exception));
    Py_INCREF(type);
    PyErr_Restore(type, exception, PyException_GetTraceback(exception));
#endif
}

// A code object and a frame for the traceback entry of a function written
// in C (new references, or null with the error set). PyCode_NewEmpty and
// PyFrame_New are public on every version, though frames are laid out
// anew from 3.11; frameobject.h declares PyFrame_New everywhere. The entry's
// line is the code's first line on every version: a new frame has run no
// instruction.
inline PyObject* empty_code(const char* file, const char* function, int line) noexcept {
    return reinterpret_cast<PyObject*>(PyCode_NewEmpty(file, function, line));
}

// The frame is made apart from the calling one, so that it may be kept and
// given to one traceback after another: before 3.11 PyFrame_New links it
// to the running frame (f_back), which a kept frame would keep alive.
inline PyObject* new_frame(PyObject* code, PyObject* globals) noexcept {
    PyFrameObject* frame =
        PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code), globals, nullptr);
#if PY_VERSION_HEX < 0x030B0000
    if (frame != nullptr) {
        Py_CLEAR(frame->f_back);
    }
#endif
    return reinterpret_cast<PyObject*>(frame);
}

// Member definitions: from 3.12 Python.h has them under Py_ names and
// structmember.h is deprecated.
#if PY_VERSION_HEX >= 0x030C0000
inline constexpr int kMemberObject = Py_T_OBJECT_EX;
inline constexpr int kMemberReadOnly = Py_READONLY;
#else
inline constexpr int kMemberObject = T_OBJECT_EX;
inline constexpr int kMemberReadOnly = READONLY;
#endif

// Py_mod_gil, 3.13: the module declares that it needs the GIL, since its
// caches (the name cache, the module's state) assume that one thread runs
// at a time. Older hosts always have a GIL.
#if PY_VERSION_HEX >= 0x030D0000 && defined(Py_mod_gil)
#define TESSAVOR_MODULE_NEEDS_GIL {Py_mod_gil, Py_MOD_GIL_USED},
#else
#define TESSAVOR_MODULE_NEEDS_GIL
#endif

// Whether the calling thread runs in the main interpreter: the module lives
// in that one only. PyInterpreterState_Get: 3.9; PyInterpreterState_Main:
// 3.7; before that the main interpreter is the oldest, the last of the list
// (each new interpreter goes to its head).
inline bool in_main_interpreter() noexcept {
#if PY_VERSION_HEX >= 0x03090000
    return PyInterpreterState_Get() == PyInterpreterState_Main();
#elif PY_VERSION_HEX >= 0x03070000
    return PyThreadState_Get()->interp == PyInterpreterState_Main();
#else
    PyInterpreterState* main = PyInterpreterState_Head();
    while (PyInterpreterState_Next(main) != nullptr) {
        main = PyInterpreterState_Next(main);
    }
    return PyThreadState_Get()->interp == main;
#endif
}

// Py_mod_multiple_interpreters: 3.12. The module declares that it cannot be
// loaded in a second interpreter. Its create step refuses that itself on
// every version, since 3.12 still lets an interpreter made the old way
// (Py_NewInterpreter) load such a module.
#if PY_VERSION_HEX >= 0x030C0000 && defined(Py_mod_multiple_interpreters)
#ifndef Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED
// The first 3.12 betas take the slot's value without naming it.
#define Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED ((void*)0)
#endif
#define TESSAVOR_ONE_INTERPRETER_SLOT {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#else
#define TESSAVOR_ONE_INTERPRETER_SLOT
#endif

}  // namespace tessavor::compat
