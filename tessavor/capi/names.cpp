#include "names.hpp"

#include "call.hpp"
#include "errors.hpp"

namespace tessavor {

Ref lookup_name(PyObject* globals, PyObject* builtins, PyObject* name) noexcept {
    for (PyObject* scope : {globals, builtins}) {
        // A namespace is missing only when the import that made it failed.
        if (scope == nullptr) {
            continue;
        }
        PyObject* value = PyDict_GetItemWithError(scope, name);
        if (value != nullptr) {
            return Ref::borrow(value);
        }
        if (PyErr_Occurred()) {
            return Ref();
        }
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return Ref();
}

namespace {

// ImportError("cannot import name 'x' from 'pkg' (path)") with its name and
// path attributes, as the interpreter raises it.
void cannot_import(PyObject* module, PyObject* name) {
    Ref module_name = Ref::steal(PyModule_Check(module) ? PyModule_GetNameObject(module) : nullptr);
    if (!module_name) {
        PyErr_Clear();
        module_name = Ref::steal(PyUnicode_FromString("<unknown module name>"));
        if (!module_name) {
            return;
        }
    }
    Ref path = Ref::steal(PyModule_Check(module) ? PyModule_GetFilenameObject(module) : nullptr);
    Ref message;
    if (path) {
        message = Ref::steal(PyUnicode_FromFormat("cannot import name %R from %R (%S)", name, module_name.get(),
                                                  path.get()));
    } else {
        PyErr_Clear();
        message = Ref::steal(PyUnicode_FromFormat("cannot import name %R from %R (unknown location)", name,
                                                  module_name.get()));
    }
    if (!message) {
        return;
    }
    PyErr_SetImportError(message.get(), module_name.get(), path ? path.get() : Py_None);
}

}  // namespace

Ref import_from(PyObject* module, PyObject* name) noexcept {
    Ref value = attr(module, name);
    if (value || !PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return value;
    }
    PyErr_Clear();
    // A submodule imported while its package was still being imported.
    Ref package = Ref::steal(PyObject_GetAttrString(module, "__name__"));
    if (package && PyUnicode_Check(package.get())) {
        Ref full = Ref::steal(PyUnicode_FromFormat("%U.%U", package.get(), name));
        if (!full) {
            return full;
        }
        PyObject* modules = PyImport_GetModuleDict();
        PyObject* found = PyDict_GetItemWithError(modules, full.get());
        if (found != nullptr) {
            return Ref::borrow(found);
        }
        if (PyErr_Occurred()) {
            return Ref();
        }
    }
    PyErr_Clear();
    cannot_import(module, name);
    return Ref();
}

}  // namespace tessavor
