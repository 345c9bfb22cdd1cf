#include "errors.hpp"

#include "call.hpp"

namespace tessavor {

ExceptScope::ExceptScope() noexcept {
    value_ = compat::take_raised_exception();
    if (value_ != nullptr) {
        type_ = compat::new_ref(reinterpret_cast<PyObject*>(Py_TYPE(value_)));
        traceback_ = PyException_GetTraceback(value_);
    }
    PyErr_GetExcInfo(&outer_type_, &outer_value_, &outer_traceback_);
    Py_XINCREF(type_);
    Py_XINCREF(value_);
    Py_XINCREF(traceback_);
    PyErr_SetExcInfo(type_, value_, traceback_);
}

ExceptScope::~ExceptScope() {
    PyErr_SetExcInfo(outer_type_, outer_value_, outer_traceback_);
    Py_XDECREF(type_);
    Py_XDECREF(value_);
    Py_XDECREF(traceback_);
}

void ExceptScope::reraise() noexcept {
    if (value_ != nullptr) {
        compat::set_raised_exception(compat::new_ref(value_));
    }
}

PyObject* raise_instance(PyObject* instance) noexcept {
    if (!PyExceptionInstance_Check(instance)) {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
        return nullptr;
    }
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(instance)), instance);
    return nullptr;
}

PyObject* raise_new(PyObject* cls, PyObject* arg) noexcept {
    Ref instance = call(cls, arg);
    if (!instance) {
        return nullptr;
    }
    return raise_instance(instance.get());
}

bool print_handled_exception() noexcept {
    Ref traceback = Ref::steal(PyImport_ImportModule("traceback"));
    if (!traceback) {
        return false;
    }
    Ref print_exc = Ref::steal(PyObject_GetAttrString(traceback.get(), "print_exc"));
    if (!print_exc) {
        return false;
    }
    return static_cast<bool>(call(print_exc.get()));
}

}  // namespace tessavor
