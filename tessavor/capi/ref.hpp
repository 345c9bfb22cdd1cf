// Owned references.
//
// Ownership rules of the whole module:
// - A `Ref` owns exactly one reference (or none). It is made only by an
//   explicit steal (`Ref::steal`, for a new reference a C API call returned)
//   or an explicit new reference (`Ref::borrow`, which increments).
// - Moving a `Ref` empties the source; the destructor releases.
// - Plain `PyObject*` parameters and return values are borrowed. A function
//   that hands out a new reference returns `Ref`, or `PyObject*` only at the
//   C boundary (slots and function bodies called by the interpreter).
// - An empty `Ref` returned by a fallible function means failure with the
//   Python error set.
// - A destructor runs only when its scope is left normally, with the GIL
//   held. A thread that the interpreter ends at exit (pthread_exit on glibc,
//   a forced unwind) passes the module's frames without running one, since
//   the module is built without exception tables: a release there would
//   touch an object without the GIL.
#pragma once

#include "compat.hpp"

#if defined(__GNUC__) && !defined(_WIN32) && defined(__EXCEPTIONS)
#error "build with -fno-exceptions: a forced unwind must not run destructors without the GIL"
#endif

#include <utility>

namespace tessavor {

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = p_;
            p_ = other.p_;
            other.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    // Takes over a new reference (or null, which makes an empty Ref).
    [[nodiscard]] static Ref steal(PyObject* p) noexcept { return Ref(p); }
    // Makes a new reference to a borrowed object.
    [[nodiscard]] static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Hands the reference to the caller, leaving this Ref empty.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

}  // namespace tessavor
