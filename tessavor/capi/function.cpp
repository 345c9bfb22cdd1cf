// The function type. File order as in the interpreter's own function type:
// struct, constructor, member and getset tables, getters and setters,
// argument binding and call slots, descriptor slot, GC and dealloc, repr,
// the type object.
#include "function.hpp"

#include "call.hpp"
#include "kept.hpp"
#include "suggestions.hpp"
#include "traceback.hpp"

namespace tessavor {
namespace {

struct FunctionObject {
    PyObject_HEAD
    const FunctionSpec* spec;
    PyObject* parameter_names;  // tuple of interned texts, in order
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* globals;
    PyObject* annotations;  // null until first asked for, unless given
    PyObject* dict;
    PyObject* weakrefs;
#if TESSAVOR_HAVE_VECTORCALL
    vectorcallfunc vectorcall;
#endif
};

Kept<PyTypeObject> function_type;  // filled in by ready_function_type

FunctionObject* as_function(PyObject* o) noexcept { return reinterpret_cast<FunctionObject*>(o); }

#if TESSAVOR_HAVE_VECTORCALL
PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames);
#endif

Ref parameter_names(const FunctionSpec& spec) noexcept {
    Ref names = Ref::steal(PyTuple_New(spec.parameter_count));
    if (!names) {
        return names;
    }
    for (int i = 0; i < spec.parameter_count; ++i) {
        PyObject* name = intern(spec.parameters[i]);
        if (name == nullptr) {
            return Ref();
        }
        PyTuple_SET_ITEM(names.get(), i, name);
    }
    return names;
}

}  // namespace

bool is_function_of(PyObject* object, const FunctionSpec& spec) noexcept {
    return Py_TYPE(object) == &function_type.peek() && as_function(object)->spec == &spec;
}

Ref make_function(const FunctionSpec& spec, PyObject* qualname, PyObject* module_name, PyObject* globals,
                  PyObject* annotations) noexcept {
    Ref params = parameter_names(spec);
    if (!params) {
        return params;
    }
    Ref name = Ref::steal(intern(spec.name));
    if (!name) {
        return name;
    }
    FunctionObject* f = PyObject_GC_New(FunctionObject, &function_type.value());
    if (f == nullptr) {
        return Ref();
    }
    f->spec = &spec;
    f->parameter_names = params.release();
    f->name = name.release();
    f->qualname = compat::new_ref(qualname);
    f->module = compat::new_ref(module_name);
    f->doc = compat::new_ref(Py_None);
    f->globals = compat::new_ref(globals);
    Py_XINCREF(annotations);
    f->annotations = annotations;
    f->dict = nullptr;
    f->weakrefs = nullptr;
#if TESSAVOR_HAVE_VECTORCALL
    f->vectorcall = function_vectorcall;
#endif
    PyObject_GC_Track(f);
    return Ref::steal(reinterpret_cast<PyObject*>(f));
}

namespace {

// ---- members and getsets ------------------------------------------------

PyMemberDef function_members[] = {
    {const_cast<char*>("__globals__"), compat::kMemberObject, offsetof(FunctionObject, globals),
     compat::kMemberReadOnly, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// __module__ and __doc__ take any value; deleted, they read as None, as on
// the host's functions.
PyObject* get_or_none(PyObject* value) { return compat::new_ref(value != nullptr ? value : Py_None); }

PyObject* get_module(PyObject* self, void*) { return get_or_none(as_function(self)->module); }

PyObject* get_doc(PyObject* self, void*) { return get_or_none(as_function(self)->doc); }

int set_module(PyObject* self, PyObject* value, void*) {
    Py_XINCREF(value);
    Py_XSETREF(as_function(self)->module, value);
    return 0;
}

int set_doc(PyObject* self, PyObject* value, void*) {
    Py_XINCREF(value);
    Py_XSETREF(as_function(self)->doc, value);
    return 0;
}

PyObject* get_name(PyObject* self, void*) { return compat::new_ref(as_function(self)->name); }

PyObject* get_qualname(PyObject* self, void*) { return compat::new_ref(as_function(self)->qualname); }

// __name__ and __qualname__ take texts only, as on the host's functions.
int set_text(PyObject** slot, PyObject* value, const char* message) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    Py_INCREF(value);
    Py_SETREF(*slot, value);
    return 0;
}

int set_name(PyObject* self, PyObject* value, void*) {
    return set_text(&as_function(self)->name, value, "__name__ must be set to a string object");
}

int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_text(&as_function(self)->qualname, value, "__qualname__ must be set to a string object");
}

PyObject* get_annotations(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    if (f->annotations == nullptr) {
        f->annotations = PyDict_New();
        if (f->annotations == nullptr) {
            return nullptr;
        }
    }
    return compat::new_ref(f->annotations);
}

int set_annotations(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) {
        value = nullptr;
    }
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XINCREF(value);
    Py_XSETREF(as_function(self)->annotations, value);
    return 0;
}

// "(a, b)" or "(res, /)": what inspect.signature() and help() read for
// a callable written in C.
PyObject* get_text_signature(PyObject* self, void*) {
    const FunctionObject* f = as_function(self);
    Ref separator = Ref::steal(PyUnicode_FromString(", "));
    Ref joined = separator ? Ref::steal(PyUnicode_Join(separator.get(), f->parameter_names)) : Ref();
    if (!joined) {
        return nullptr;
    }
    const char* tail = f->spec->passing == Passing::PositionalOnly ? ", /" : "";
    return PyUnicode_FromFormat("(%U%s)", joined.get(), tail);
}

PyGetSetDef function_getsets[] = {
    {const_cast<char*>("__name__"), get_name, set_name, nullptr, nullptr},
    {const_cast<char*>("__qualname__"), get_qualname, set_qualname, nullptr, nullptr},
    {const_cast<char*>("__module__"), get_module, set_module, nullptr, nullptr},
    {const_cast<char*>("__doc__"), get_doc, set_doc, nullptr, nullptr},
    {const_cast<char*>("__annotations__"), get_annotations, set_annotations, nullptr, nullptr},
    {const_cast<char*>("__dict__"), PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {const_cast<char*>("__text_signature__"), get_text_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- argument binding ---------------------------------------------------
//
// The order of checks and the texts follow the interpreter's binding of a
// Python function's arguments: positional arguments fill the first
// parameters; then each keyword (an unknown name, a positional-only name,
// a name already filled); then too many positional arguments; then the
// missing ones.

PyObject* display_name(const FunctionObject* f) noexcept {
    return compat::kArgErrorsUseQualname ? f->qualname : f->name;
}

void too_many_positional(const FunctionObject* f, Py_ssize_t given) {
    const Py_ssize_t takes = f->spec->parameter_count;
    PyErr_Format(PyExc_TypeError, "%U() takes %zd positional argument%s but %zd %s given", display_name(f), takes,
                 takes == 1 ? "" : "s", given, given == 1 ? "was" : "were");
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
Ref quoted_list(const FunctionObject* f, PyObject* const* bound) {
    Ref text = Ref::steal(PyUnicode_FromString(""));
    Py_ssize_t missing = 0;
    for (int i = 0; i < f->spec->parameter_count; ++i) {
        missing += bound[i] == nullptr;
    }
    Py_ssize_t written = 0;
    for (int i = 0; i < f->spec->parameter_count && text; ++i) {
        if (bound[i] != nullptr) {
            continue;
        }
        const char* separator = "";
        if (written > 0) {
            separator = missing == 2 ? " and " : (written == missing - 1 ? ", and " : ", ");
        }
        PyObject* joined = PyUnicode_FromFormat("%U%s'%U'", text.get(), separator,
                                                PyTuple_GET_ITEM(f->parameter_names, i));
        text = Ref::steal(joined);
        ++written;
    }
    return text;
}

void missing_arguments(const FunctionObject* f, PyObject* const* bound) {
    int missing = 0;
    for (int i = 0; i < f->spec->parameter_count; ++i) {
        missing += bound[i] == nullptr;
    }
    Ref names = quoted_list(f, bound);
    if (!names) {
        return;
    }
    PyErr_Format(PyExc_TypeError, "%U() missing %i required positional argument%s: %U", display_name(f), missing,
                 missing == 1 ? "" : "s", names.get());
}

// The index of the parameter called `name`, -1 when there is none, or -2
// with the error set. As the interpreter binds a keyword: the parameter
// names by identity first, then by `==` (a text subclass's own __eq__
// decides, and may fail); a positional-only parameter never matches.
int parameter_index(const FunctionObject* f, PyObject* name) {
    if (f->spec->passing == Passing::PositionalOnly) {
        return -1;
    }
    const int count = f->spec->parameter_count;
    for (int i = 0; i < count; ++i) {
        if (PyTuple_GET_ITEM(f->parameter_names, i) == name) {
            return i;
        }
    }
    for (int i = 0; i < count; ++i) {
        const int equal = PyObject_RichCompareBool(name, PyTuple_GET_ITEM(f->parameter_names, i), Py_EQ);
        if (equal != 0) {
            return equal > 0 ? i : -2;
        }
    }
    return -1;
}

// The list of the keywords that name the positional-only parameter `name`,
// compared as the interpreter compares them; null with the error set.
Ref keywords_naming(PyObject* kwnames, PyObject* name) {
    Ref found = Ref::steal(PyList_New(0));
    for (Py_ssize_t i = 0; found && i < PyTuple_GET_SIZE(kwnames); ++i) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, i);
        const int equal = key == name ? 1 : PyObject_RichCompareBool(name, key, Py_EQ);
        if (equal < 0 || (equal > 0 && PyList_Append(found.get(), key) < 0)) {
            return Ref();
        }
    }
    return found;
}

void unknown_keyword(const FunctionObject* f, PyObject* kwnames, PyObject* name) {
    if constexpr (compat::kPositionalOnlyErrors) {
        if (f->spec->passing == Passing::PositionalOnly) {
            Ref named = keywords_naming(kwnames, PyTuple_GET_ITEM(f->parameter_names, 0));
            if (!named) {
                return;
            }
            if (PyList_GET_SIZE(named.get()) > 0) {
                Ref separator = Ref::steal(PyUnicode_FromString(", "));
                Ref joined = separator ? Ref::steal(PyUnicode_Join(separator.get(), named.get())) : Ref();
                if (joined) {
                    PyErr_Format(PyExc_TypeError,
                                 "%U() got some positional-only arguments passed as keyword arguments: '%U'",
                                 display_name(f), joined.get());
                }
                return;
            }
        }
    }
    if constexpr (compat::kKeywordSuggestions) {
        const Py_ssize_t first = f->spec->passing == Passing::PositionalOnly ? f->spec->parameter_count : 0;
        Ref hint = nearest_name(f->parameter_names, first, name);
        if (hint) {
            PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'. Did you mean '%S'?",
                         display_name(f), name, hint.get());
            return;
        }
    }
    PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", display_name(f), name);
}

// Fills `bound` (parameter_count entries, all null on entry) from the call's
// arguments: `args` holds `nargs` positional values, then the values of the
// keywords named in `kwnames` (null when there are none). The caller owns
// all of them for the whole call. Returns false with TypeError set for a
// call that does not fit (or the error of a keyword's __eq__).
bool bind_arguments(const FunctionObject* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** bound) {
    const int count = f->spec->parameter_count;
    const Py_ssize_t filled = nargs < count ? nargs : count;
    for (Py_ssize_t i = 0; i < filled; ++i) {
        bound[i] = args[i];
    }
    const Py_ssize_t keywords = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(name)) {
            PyErr_Format(PyExc_TypeError, "%U() keywords must be strings", display_name(f));
            return false;
        }
        const int index = parameter_index(f, name);
        if (index == -2) {
            return false;
        }
        if (index < 0) {
            unknown_keyword(f, kwnames, name);
            return false;
        }
        if (bound[index] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", display_name(f), name);
            return false;
        }
        bound[index] = args[nargs + k];
    }
    if (nargs > count) {
        too_many_positional(f, nargs);
        return false;
    }
    for (int i = 0; i < count; ++i) {
        if (bound[i] == nullptr) {
            missing_arguments(f, bound);
            return false;
        }
    }
    return true;
}

// ---- calls --------------------------------------------------------------
//
// The body runs on arguments that the call itself owns, as a Python
// function's frame owns its arguments: what the body calls (an argument's
// encode or __bool__, the driver) may drop the caller's references (a
// dictionary handed on as it is through the call slot, the state of a
// functools.partial) without freeing an argument still in use. The function
// object is held too. Every body runs inside the interpreter's recursion
// guard, so that a cycle of module functions raises RecursionError, as a
// cycle of Python functions does, instead of overflowing the C stack, and
// in the interpreter's words for such a cycle on this version. An exception
// that leaves the body gets the function's traceback entry, as one that
// leaves a Python function's frame does.

PyObject* run_body(const FunctionObject* f, PyObject* const* bound) {
    if (Py_EnterRecursiveCall(compat::kRecursionWhere) != 0) {
        return nullptr;
    }
    PyObject* result = f->spec->body(bound);
    Py_LeaveRecursiveCall();
    if (result == nullptr) {
        add_traceback_entry(*f->spec, f->globals);
    }
    return result;
}

// Every parameter by position and no keyword: the usual call. `args` is
// not owned by this function on entry.
PyObject* call_positional(PyObject* self, PyObject* const* args, int count) {
    PyObject* held[kMaxParameters] = {};
    Py_INCREF(self);
    for (int i = 0; i < count; ++i) {
        held[i] = args[i];
        Py_INCREF(held[i]);
    }
    PyObject* result = run_body(as_function(self), held);
    for (int i = 0; i < count; ++i) {
        Py_DECREF(held[i]);
    }
    Py_DECREF(self);
    return result;
}

// A call in the vectorcall layout (see bind_arguments); nothing in it is
// owned by this function on entry.
PyObject* call_function(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const FunctionObject* f = as_function(self);
    const int count = f->spec->parameter_count;
    const Py_ssize_t keywords = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    if (keywords == 0 && nargs == count) {
        return call_positional(self, args, count);
    }
    PyObject* bound[kMaxParameters] = {};
    if (keywords == 0) {
        // Refused before any Python code runs.
        return bind_arguments(f, args, nargs, nullptr, bound) ? run_body(f, bound) : nullptr;
    }
    // With keywords, comparing a name may already run Python code: the
    // values are owned (in a tuple) before the first comparison.
    Ref held_self = Ref::borrow(self);
    Ref held_names = Ref::borrow(kwnames);
    Ref held = Ref::steal(PyTuple_New(nargs + keywords));
    if (!held) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < nargs + keywords; ++i) {
        PyTuple_SET_ITEM(held.get(), i, compat::new_ref(args[i]));
    }
    if (!bind_arguments(f, &PyTuple_GET_ITEM(held.get(), 0), nargs, kwnames, bound)) {
        return nullptr;
    }
    return run_body(f, bound);
}

// ---- call slots ---------------------------------------------------------

PyObject* function_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    if constexpr (compat::kCallChecksKeywordsFirst) {
        if (kwargs != nullptr && !PyArg_ValidateKeywordArguments(kwargs)) {
            return nullptr;
        }
    }
    // The tuple keeps the positional values alive for the call.
    Ref held_args = Ref::borrow(args);
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    const Py_ssize_t keywords = kwargs != nullptr ? PyDict_Size(kwargs) : 0;
    if (keywords == 0) {
        return call_function(self, &PyTuple_GET_ITEM(args, 0), nargs, nullptr);
    }
    // The dictionary may be the caller's own, handed on as it is (through
    // `type(f).__call__(f, **d)`), which the body could empty: its items
    // are taken out first, as the interpreter unpacks keywords.
    Ref values = Ref::steal(PyTuple_New(nargs + keywords));
    Ref names = values ? Ref::steal(PyTuple_New(keywords)) : Ref();
    if (!names) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        PyTuple_SET_ITEM(values.get(), i, compat::new_ref(PyTuple_GET_ITEM(args, i)));
    }
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    for (Py_ssize_t k = 0; k < keywords && PyDict_Next(kwargs, &pos, &key, &value); ++k) {
        PyTuple_SET_ITEM(names.get(), k, compat::new_ref(key));
        PyTuple_SET_ITEM(values.get(), nargs + k, compat::new_ref(value));
    }
    return call_function(self, &PyTuple_GET_ITEM(values.get(), 0), nargs, names.get());
}

#if TESSAVOR_HAVE_VECTORCALL
PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    const Py_ssize_t nargs = compat::vectorcall_nargs(nargsf);
    const int count = as_function(callable)->spec->parameter_count;
    if (kwnames == nullptr && nargs == count) {
        return call_positional(callable, args, count);
    }
    return call_function(callable, args, nargs, kwnames);
}
#endif

// A function is pickled by its qualified name, which pickle looks up in
// its __module__, and copy.copy and copy.deepcopy give the function itself,
// as for the host's own functions.
PyObject* function_reduce(PyObject* self, PyObject*) { return compat::new_ref(as_function(self)->qualname); }

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// ---- descriptor slot ----------------------------------------------------

// Read through an instance a function gives a bound method; read through
// its class (or with None) it gives itself, as the host's functions do.
PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) {
        return compat::new_ref(self);
    }
    return PyMethod_New(self, obj);
}

// ---- GC and dealloc -----------------------------------------------------

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* f = as_function(self);
    Py_VISIT(f->parameter_names);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->globals);
    Py_VISIT(f->annotations);
    Py_VISIT(f->dict);
    return 0;
}

int function_clear(PyObject* self) {
    FunctionObject* f = as_function(self);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->dict);
    return 0;
}

void function_dealloc(PyObject* self) {
    FunctionObject* f = as_function(self);
    PyObject_GC_UnTrack(self);
    if (f->weakrefs != nullptr) {
        PyObject_ClearWeakRefs(self);
    }
    function_clear(self);
    Py_CLEAR(f->parameter_names);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    PyObject_GC_Del(self);
}

// ---- repr ---------------------------------------------------------------

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, static_cast<void*>(self));
}

}  // namespace

// ---- the type object ----------------------------------------------------

bool ready_function_type() noexcept {
    PyTypeObject& t = function_type.value();
    if (t.tp_flags & Py_TPFLAGS_READY) {
        return true;
    }
    compat::set_refcount(reinterpret_cast<PyObject*>(&t), 1);
    t.tp_name = "m4r_tessavor.function";
    t.tp_basicsize = sizeof(FunctionObject);
    t.tp_dealloc = function_dealloc;
    t.tp_repr = function_repr;
    t.tp_call = function_call;
    t.tp_getattro = PyObject_GenericGetAttr;
    t.tp_setattro = PyObject_GenericSetAttr;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | compat::kVectorcallFlags;
    t.tp_traverse = function_traverse;
    t.tp_clear = function_clear;
    t.tp_weaklistoffset = offsetof(FunctionObject, weakrefs);
    t.tp_methods = function_methods;
    t.tp_members = function_members;
    t.tp_getset = function_getsets;
    t.tp_descr_get = function_descr_get;
    t.tp_dictoffset = offsetof(FunctionObject, dict);
#if TESSAVOR_HAVE_VECTORCALL
    t.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
#endif
    return PyType_Ready(&t) == 0;
}

}  // namespace tessavor
