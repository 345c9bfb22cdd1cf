// Exceptions the way Python code raises and handles them.
#pragma once

#include "ref.hpp"

namespace tessavor {

// True when the raised exception derives from `Exception`: what an
// `except Exception:` clause catches. Interrupts and system exits do not.
[[nodiscard]] inline bool raised_exception_is_ordinary() noexcept {
    return PyErr_ExceptionMatches(PyExc_Exception) != 0;
}

// The body of an `except` block. Construct it while an exception is raised:
// it takes that exception off the error indicator, normalises it, attaches
// its traceback and installs it as the exception being handled (what
// `sys.exc_info()` and `traceback.print_exc()` see). While the scope lives,
// an exception raised through PyErr_SetObject and friends gets the caught
// one as its `__context__`, as a `raise` inside `except` does. On exit the
// previously handled exception is restored; a newly raised error stays
// raised.
class ExceptScope {
public:
    ExceptScope() noexcept;
    ~ExceptScope();
    ExceptScope(const ExceptScope&) = delete;
    ExceptScope& operator=(const ExceptScope&) = delete;

    // The caught exception instance (borrowed).
    PyObject* caught() const noexcept { return value_; }
    // A bare `raise`: the caught exception is raised again, unchained.
    void reraise() noexcept;

private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* traceback_ = nullptr;
    PyObject* outer_type_ = nullptr;
    PyObject* outer_value_ = nullptr;
    PyObject* outer_traceback_ = nullptr;
};

// `except cls:` for the exception being handled: 1 when it matches, 0 when
// it does not, -1 with TypeError set when `cls` is neither an exception
// class nor a tuple of them, as the interpreter refuses it ("catching
// classes that do not inherit from BaseException is not allowed"). So a
// nested tuple is refused at once instead of being walked level by level.
[[nodiscard]] int except_matches(PyObject* caught, PyObject* cls) noexcept;

// `raise instance`: raises an exception instance, chaining the exception
// being handled as its context. Always returns null.
PyObject* raise_instance(PyObject* instance) noexcept;

// `raise cls(arg)`, whatever the call returns: an exception instance is
// raised, an exception class is raised as an instance of it made with no
// arguments, anything else is refused with the interpreter's TypeError.
// Always returns null; a failure to build the instance is raised instead.
PyObject* raise_new(PyObject* cls, PyObject* arg) noexcept;

// `import traceback; traceback.print_exc()`: writes the exception being
// handled and its traceback to standard error. The module already imported
// is taken from sys.modules, as the import statement takes it. Returns false
// with the error set on failure.
[[nodiscard]] bool print_handled_exception() noexcept;

}  // namespace tessavor
