#include "classes.hpp"

#include "call.hpp"

namespace tessavor {

Ref make_class(PyObject* name, PyObject* bases, std::initializer_list<ClassMember> members, PyObject* module_name,
               PyObject* globals) noexcept {
    Ref types = Ref::steal(PyImport_ImportModule("types"));
    if (!types) {
        return types;
    }
    Ref prepare_class = Ref::steal(PyObject_GetAttrString(types.get(), "prepare_class"));
    if (!prepare_class) {
        return prepare_class;
    }
    Ref prepared = call(prepare_class.get(), name, bases);
    if (!prepared) {
        return prepared;
    }
    // metaclass, ns, keywords = prepared
    if (!PyTuple_Check(prepared.get()) || PyTuple_GET_SIZE(prepared.get()) != 3) {
        PyErr_SetString(PyExc_TypeError, "types.prepare_class() must return (metaclass, namespace, keywords)");
        return Ref();
    }
    PyObject* metaclass = PyTuple_GET_ITEM(prepared.get(), 0);
    PyObject* ns = PyTuple_GET_ITEM(prepared.get(), 1);
    PyObject* keywords = PyTuple_GET_ITEM(prepared.get(), 2);
    if (!PyDict_Check(keywords)) {
        PyErr_SetString(PyExc_TypeError, "types.prepare_class() must return a dict of keywords");
        return Ref();
    }
    if (PyMapping_SetItemString(ns, "__module__", module_name) < 0 ||
        PyMapping_SetItemString(ns, "__qualname__", name) < 0) {
        return Ref();
    }
    for (const ClassMember& member : members) {
        Ref value;
        if (member.function != nullptr) {
            Ref qualname = Ref::steal(PyUnicode_FromFormat("%U.%s", name, member.name));
            if (!qualname) {
                return qualname;
            }
            value = make_function(*member.function, qualname.get(), module_name, globals, nullptr);
        } else {
            value = Ref::borrow(member.value);
        }
        Ref key = Ref::steal(intern(member.name));
        if (!value || !key || PyObject_SetItem(ns, key.get(), value.get()) < 0) {
            return Ref();
        }
    }
    Ref arguments = tuple(name, bases, ns);
    if (!arguments) {
        return arguments;
    }
    return call_with(metaclass, arguments.get(), keywords);
}

}  // namespace tessavor
