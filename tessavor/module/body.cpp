#include "body.hpp"

#include "../capi/classes.hpp"
#include "../capi/names.hpp"
#include "../capi/texts.hpp"
#include "../dialogs/design_dialog.hpp"
#include "../dialogs/mes_info_dialog.hpp"
#include "../mes/feedback.hpp"
#include "../mes/result_upload.hpp"
#include "../mes/unit_query.hpp"
#include "../state/module_state.hpp"
#include "../station/mes_info.hpp"

namespace tessavor {
namespace {

// The names the body binds, and the module's own.
#define TESSAVOR_BODY_NAMES(X)                               \
    X(module_name, "m4r_tessavor")                           \
    X(fsync, "_fsync")                                       \
    X(cp, "_cp")                                             \
    X(isfile, "_isfile")                                     \
    X(mb, "_MB")                                             \
    X(wx, "wx")                                              \
    X(sql, "_sql")                                           \
    X(UIDesignOtherInfoDialog, "UIDesignOtherInfoDialog")    \
    X(MESInfo, "MESInfo")                                    \
    X(MESInfoDialog, "MESInfoDialog")                        \
    X(MESError, "MESError")                                  \
    X(process_mes_result, "process_mes_result")              \
    X(GetUnitInfo, "GetUnitInfo")                            \
    X(SaveResult, "SaveResult")

TESSAVOR_TEXT_TABLE(TESSAVOR_BODY_NAMES)

bool bind_name(PyObject* name, const Ref& value) {
    return value && PyDict_SetItem(module_state().globals, name, value.get()) == 0;
}

// `import <module> as <binding>`, or `from <module> import <name> as
// <binding>` when `name` is given: an absolute import through the host's
// __import__, with the module's namespace as the importing globals.
bool import_statement(const char* module, const char* name, PyObject* binding) {
    const ModuleState& s = module_state();
    Ref import_function = Ref::borrow(PyDict_GetItemString(s.builtins, "__import__"));
    if (!import_function) {
        PyErr_SetString(PyExc_ImportError, "__import__ not found");
        return false;
    }
    Ref module_name = Ref::steal(PyUnicode_FromString(module));
    Ref from_name;
    Ref from_list = Ref::borrow(Py_None);
    if (name != nullptr) {
        from_name = Ref::steal(intern(name));
        from_list = from_name ? tuple(from_name.get()) : Ref();
    }
    if (!module_name || !from_list) {
        return false;
    }
    Ref imported = call(import_function.get(), module_name.get(), s.globals, s.globals, from_list.get(), s.zero);
    if (!imported) {
        return false;
    }
    return bind_name(binding, name != nullptr ? import_from(imported.get(), from_name.get()) : std::move(imported));
}

// class <binding>(*bases): <members>
bool class_statement(PyObject* binding, const Ref& bases, std::initializer_list<ClassMember> members) {
    if (!bases) {
        return false;
    }
    const ModuleState& s = module_state();
    return bind_name(binding, make_class(binding, bases.get(), members, texts().module_name, s.globals));
}

// def <name>(...)
bool def_statement(const FunctionSpec& spec, PyObject* binding, PyObject* annotations) {
    const ModuleState& s = module_state();
    return bind_name(binding, make_function(spec, binding, texts().module_name, s.globals, annotations));
}

// (base,) with `base` read from the module's namespace now, or an
// attribute of it.
Ref bases_from(PyObject* name, PyObject* attribute) {
    Ref base = global(name);
    if (base && attribute != nullptr) {
        base = attr(base.get(), attribute);
    }
    return base ? tuple(base.get()) : Ref();
}

bool define_classes() {
    const Texts& n = texts();
    Ref dialog = Ref::steal(intern("Dialog"));
    Ref file_name_attribute = Ref::steal(intern("ININame"));
    if (!dialog || !file_name_attribute) {
        return false;
    }
    return class_statement(n.UIDesignOtherInfoDialog, bases_from(n.wx, dialog.get()),
                           {method(dialogs::design_dialog_init), method(dialogs::design_dialog_del),
                            method(dialogs::design_dialog_on_refill), method(dialogs::design_dialog_on_ok)}) &&
           class_statement(n.MESInfo, Ref::steal(PyTuple_New(0)),
                           {class_attribute("ININame", station::default_file_name()),
                            method(station::mes_info_init), method(station::mes_info_save)}) &&
           class_statement(n.MESInfoDialog, bases_from(n.UIDesignOtherInfoDialog, nullptr),
                           {method(dialogs::mes_info_dialog_init), method(dialogs::mes_info_dialog_on_refill),
                            method(dialogs::mes_info_dialog_on_ok)}) &&
           class_statement(n.MESError, tuple(PyExc_Exception),
                           {method(mes::mes_error_init), method(mes::mes_error_str)});
}

bool define_functions() {
    const Texts& n = texts();
    // process_mes_result is annotated as returning the text "tuple".
    Ref return_key = Ref::steal(intern("return"));
    Ref return_type = Ref::steal(intern("tuple"));
    Ref annotations = return_key && return_type ? dict({{return_key.get(), return_type.get()}}) : Ref();
    return annotations && def_statement(mes::process_mes_result, n.process_mes_result, annotations.get()) &&
           def_statement(mes::get_unit_info, n.GetUnitInfo, nullptr) &&
           def_statement(mes::save_result, n.SaveResult, nullptr);
}

}  // namespace

bool run_module_body() noexcept {
    if (!prepare_texts()) {
        return false;
    }
    const Texts& n = texts();
    return import_statement("os", "fsync", n.fsync) && import_statement("configparser", nullptr, n.cp) &&
           import_statement("os.path", "isfile", n.isfile) && import_statement("m4r_wxtools", "MB", n.mb) &&
           import_statement("wx", nullptr, n.wx) && import_statement("pymssql", "_mssql", n.sql) &&
           define_classes() && define_functions();
}

}  // namespace tessavor
