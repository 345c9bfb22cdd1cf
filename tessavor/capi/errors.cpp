#include "errors.hpp"

#include "call.hpp"
#include "kept.hpp"

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

int except_matches(PyObject* caught, PyObject* cls) noexcept {
    bool valid = PyExceptionClass_Check(cls);
    if (PyTuple_Check(cls)) {
        valid = true;
        for (Py_ssize_t i = 0; valid && i < PyTuple_GET_SIZE(cls); ++i) {
            valid = PyExceptionClass_Check(PyTuple_GET_ITEM(cls, i));
        }
    }
    if (!valid) {
        PyErr_SetString(PyExc_TypeError, "catching classes that do not inherit from BaseException is not allowed");
        return -1;
    }
    return PyErr_GivenExceptionMatches(caught, cls);
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
    Ref made = call(cls, arg);
    if (!made || !PyExceptionClass_Check(made.get())) {
        return made ? raise_instance(made.get()) : nullptr;
    }
    // A class is raised as an instance of it made with no arguments.
    Ref instance = call(made.get());
    if (!instance) {
        return nullptr;
    }
    if (!PyExceptionInstance_Check(instance.get())) {
        PyErr_Format(PyExc_TypeError, "calling %R should have returned an instance of BaseException, not %R",
                     made.get(), reinterpret_cast<PyObject*>(Py_TYPE(instance.get())));
        return nullptr;
    }
    return raise_instance(instance.get());
}

bool print_handled_exception() noexcept {
    static Kept<PyObject*> kept_module_name;
    PyObject*& module_name = kept_module_name.value();
    static Kept<PyObject*> kept_function_name;
    PyObject*& function_name = kept_function_name.value();
    if ((module_name == nullptr && (module_name = intern("traceback")) == nullptr) ||
        (function_name == nullptr && (function_name = intern("print_exc")) == nullptr)) {
        return false;
    }
    Ref traceback = Ref::steal(compat::imported_module(module_name));
    if (traceback.get() == Py_None) {
        // A module blocked in sys.modules: the import says so in its own words.
        traceback = Ref::steal(PyImport_Import(module_name));
    }
    if (!traceback) {
        return false;
    }
    Ref print_exc = attr(traceback.get(), function_name);
    return print_exc && call(print_exc.get());
}

}  // namespace tessavor
