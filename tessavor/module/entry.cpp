// The entry point and the two steps of multi-phase initialisation.
//
// The module keeps one module object per interpreter: the create step hands
// out the same object to every later import, also after the module was
// removed from sys.modules, and the exec step runs the body only once. A
// failed exec step forgets the object, so that a later import starts afresh.
// When the interpreter is finalised the module forgets everything it kept,
// so that an interpreter started after it in the same process (a host that
// embeds Python) imports a module of its own.
#include "../capi/call.hpp"
#include "../capi/function.hpp"
#include "../capi/kept.hpp"
#include "../mes/texts.hpp"
#include "../state/module_state.hpp"
#include "../station/texts.hpp"
#include "body.hpp"

namespace tessavor {
namespace {

// Copies spec.<from> to module.<to>. A missing attribute of the
// specification is skipped; `None` is skipped only when `skip_none`.
bool copy_spec_attribute(PyObject* spec, PyObject* module, const char* from, const char* to, bool skip_none) {
    Ref value = Ref::steal(PyObject_GetAttrString(spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return false;
        }
        PyErr_Clear();
        return true;
    }
    if (skip_none && value.get() == Py_None) {
        return true;
    }
    return PyObject_SetAttrString(module, to, value.get()) == 0;
}

// The one module object belongs to the main interpreter; another
// interpreter that imported it would share it, and its finalisation would
// set every name of the main interpreter's module to None.
PyObject* create_module(PyObject* spec, PyModuleDef*) {
    if (!compat::in_main_interpreter()) {
        PyErr_SetString(PyExc_ImportError, "module m4r_tessavor does not support loading in subinterpreters");
        return nullptr;
    }
    ModuleState& s = module_state();
    if (s.module != nullptr) {
        return compat::new_ref(s.module);
    }
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) {
        return nullptr;
    }
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module || !copy_spec_attribute(spec, module.get(), "loader", "__loader__", false) ||
        !copy_spec_attribute(spec, module.get(), "origin", "__file__", false) ||
        !copy_spec_attribute(spec, module.get(), "parent", "__package__", false) ||
        !copy_spec_attribute(spec, module.get(), "submodule_search_locations", "__path__", true)) {
        return nullptr;
    }
    return module.release();
}

bool make_texts(ModuleState& s) {
    if (s.zero == nullptr && (s.zero = PyLong_FromLong(0)) == nullptr) {
        return false;
    }
    if (s.one == nullptr && (s.one = PyLong_FromLong(1)) == nullptr) {
        return false;
    }
    // The dialogs' texts are made when the first dialog is.
    return mes::prepare_texts() && station::prepare_texts() && ready_function_type();
}

// A built-in taken once, at import.
bool take_builtin(const ModuleState& s, const char* name, PyObject*& slot) {
    PyObject* value = PyDict_GetItemString(s.builtins, name);
    if (value == nullptr) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        return false;
    }
    Py_INCREF(value);
    Py_XSETREF(slot, value);
    return true;
}

bool begin(ModuleState& s, PyObject* module) {
    s.module = compat::new_ref(module);
    s.globals = PyModule_GetDict(module);
    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins || PyDict_SetItemString(s.globals, "__builtins__", builtins.get()) < 0) {
        return false;
    }
    if (!PyModule_Check(builtins.get())) {
        PyErr_SetString(PyExc_ImportError, "sys.modules['builtins'] is not a module");
        return false;
    }
    PyObject* builtins_dict = PyModule_GetDict(builtins.get());
    Py_INCREF(builtins_dict);
    Py_XSETREF(s.builtins, builtins_dict);
    return make_texts(s) && take_builtin(s, "open", s.open) && take_builtin(s, "IOError", s.io_error);
}

// The last step of Py_FinalizeEx, when no Python object is left to touch.
void forget_interpreter() { forget_kept(); }

int exec_module(PyObject* module) {
    ModuleState& s = module_state();
    // The body runs once, and never inside itself: an import of the module
    // that one of the body's own imports makes (a toolkit that removes the
    // module from sys.modules and imports it again) gets the module as far as
    // the body has got, as a circular import of a Python module does.
    if (s.initialised || s.running) {
        return 0;
    }
    // Py_FinalizeEx runs each hook once; the flag is forgotten with the rest.
    // Without a free place among its hooks (it has 32) the module still
    // works, for this interpreter's life.
    if (!s.forget_at_exit) {
        s.forget_at_exit = Py_AtExit(forget_interpreter) == 0;
    }
    s.running = true;
    const bool done = begin(s, module) && run_module_body();
    s.running = false;
    if (!done) {
        Py_CLEAR(s.module);
        s.globals = nullptr;
        return -1;
    }
    s.initialised = true;
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(&create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    TESSAVOR_MODULE_NEEDS_GIL
    TESSAVOR_ONE_INTERPRETER_SLOT
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "m4r_tessavor",  // m_name
    nullptr,         // m_doc: the module has no documentation
    0,               // m_size: no per-module state
    nullptr,         // m_methods: the exec step makes every function
    module_slots,    // m_slots
    nullptr,         // m_traverse
    nullptr,         // m_clear
    nullptr,         // m_free
};

}  // namespace
}  // namespace tessavor

TESSAVOR_MODINIT_FUNC PyInit_m4r_tessavor(void) { return PyModuleDef_Init(&tessavor::module_definition); }
