// The MES answers each batch with one row: a feedback text and a return
// code. The message is the text itself, or the part before its one double
// quote, or the part between its two double quotes; three or more quotes
// make the row unreadable. The return code is passed on for the test
// program to judge.
#include "feedback.hpp"

#include "../capi/call.hpp"
#include "../capi/errors.hpp"
#include "../capi/traceback.hpp"
#include "../state/module_state.hpp"
#include "texts.hpp"

namespace tessavor::mes {
namespace {

// print("TVR MES GetUnitInfo: " + str(res))
bool log_row(PyObject* res) {
    Ref text = Ref::steal(PyObject_Str(res));
    if (!text) {
        return false;
    }
    Ref line = Ref::steal(PyUnicode_Concat(texts().log_prefix, text.get()));
    if (!line) {
        return false;
    }
    Ref print = global(texts().print);
    return print && call(print.get(), line.get());
}

PyObject* exception_arguments();

// Whether calling `cls` makes an exception the way the module's own
// MESError does: a class of the plain metaclass with the inherited __new__
// and the module's __init__ in its own namespace.
// The class last found to be the module's own, under its version tag: a
// class whose namespace has not changed since needs no second look.
struct OwnClass {
    PyObject* type;  // borrowed; compared only
    unsigned int version;
};
Kept<OwnClass> own_class;

bool is_own_mes_error(PyObject* cls) {
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(cls);
    if (!PyType_Check(cls) || Py_TYPE(cls) != &PyType_Type ||
        type->tp_new != reinterpret_cast<PyTypeObject*>(PyExc_Exception)->tp_new) {
        return false;
    }
    const bool tagged = PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG);
    const OwnClass& known = own_class.peek();
    if (tagged && known.type == cls && known.version == type->tp_version_tag) {
        return true;
    }
    PyObject* init = PyDict_GetItemWithError(type->tp_dict, texts().init);
    if (init == nullptr || !is_function_of(init, mes_error_init)) {
        return false;
    }
    if (tagged) {
        own_class.value() = OwnClass{cls, type->tp_version_tag};
    }
    return true;
}

// MESError(res) raised, for a text with three or more double quotes. The
// module's own class is called by hand: __new__, then what __init__ does
// (the class call would find and call that same function object).
Ref too_many_quotes(PyObject* res) {
    Ref mes_error = global(texts().MESError);
    if (!mes_error || !is_own_mes_error(mes_error.get())) {
        if (mes_error && !PyErr_Occurred()) {
            raise_new(mes_error.get(), res);
        }
        return Ref();
    }
    // __new__ keeps its arguments as `args`; given the fixed text's tuple, it
    // leaves what Exception.__init__ would set, so of __init__'s body only
    // `result` remains.
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(mes_error.get());
    PyObject* arguments = exception_arguments();
    Ref made = arguments != nullptr ? Ref::steal(type->tp_new(type, arguments, nullptr)) : Ref();
    if (made && PyObject_SetAttr(made.get(), texts().result, res) == 0) {
        raise_instance(made.get());
    }
    return Ref();
}

// For a text of the exact str type, split('"') and the choice of a token
// done without the list: the same message object split would give (the
// text itself when it holds no quote, else a new substring).
Ref message_of_text(PyObject* res, PyObject* text) {
    if (compat::unicode_ready(text) < 0) {
        return Ref();
    }
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    const Py_ssize_t first = PyUnicode_FindChar(text, '"', 0, length, 1);
    if (first < 0) {
        return first == -1 ? Ref::borrow(text) : Ref();
    }
    const Py_ssize_t second = PyUnicode_FindChar(text, '"', first + 1, length, 1);
    if (second < 0) {
        return second == -1 ? Ref::steal(PyUnicode_Substring(text, 0, first)) : Ref();
    }
    const Py_ssize_t third = PyUnicode_FindChar(text, '"', second + 1, length, 1);
    if (third < 0) {
        return third == -1 ? Ref::steal(PyUnicode_Substring(text, first + 1, second)) : Ref();
    }
    return too_many_quotes(res);
}

// The message of a feedback text, or null with the error set (MESError for
// a text with three or more double quotes).
Ref message_of(PyObject* res, PyObject* feedback) {
    if (PyUnicode_CheckExact(feedback)) {
        return message_of_text(res, feedback);
    }
    Ref tokens = call_method(feedback, texts().split, texts().quote);
    if (!tokens) {
        return tokens;
    }
    const Py_ssize_t count = PyObject_Size(tokens.get());
    if (count < 0) {
        return Ref();
    }
    if (count >= 4) {
        return too_many_quotes(res);
    }
    PyObject* index = count == 3 ? module_state().one : module_state().zero;
    return Ref::steal(PyObject_GetItem(tokens.get(), index));
}

// (error_code, msg) for the row, or null with the error set.
Ref read_row(PyObject* res) {
    PyObject* zero = module_state().zero;
    const Py_ssize_t length = PyObject_Size(res);
    if (length < 0) {
        return Ref();
    }
    Ref feedback = Ref::steal(PyObject_GetItem(res, zero));
    if (!feedback) {
        return feedback;
    }
    if (length == 1) {
        Ref code = Ref::steal(PyNumber_Long(feedback.get()));
        return code ? tuple(code.get(), texts().empty) : Ref();
    }
    if (feedback.get() == Py_None) {
        // One tuple for every such answer, as the constant (0, "...") of a
        // Python function is one object.
        static Kept<PyObject*> kept_none_answer;
        PyObject*& none_answer = kept_none_answer.value();
        if (none_answer == nullptr && (none_answer = PyTuple_Pack(2, zero, texts().none_message)) == nullptr) {
            return Ref();
        }
        return Ref::borrow(none_answer);
    }
    Ref message = message_of(res, feedback.get());
    if (!message) {
        return message;
    }
    Ref code = Ref::steal(PyObject_GetItem(res, module_state().one));
    return code ? tuple(code.get(), message.get()) : Ref();
}

// Whether the raised exception goes on through the except clauses below as
// it is: a MESError (`except MESError: raise`), or an interrupt or exit,
// which neither clause catches. Then they need not be entered, and it gets
// the function's traceback entry as it leaves (run_body). Any doubt (the
// name unbound, bound to something that is no exception class) is left to
// the clauses.
bool goes_on_as_it_is() {
    // Mostly the binding is the one just looked up to raise it.
    PyObject* known = global_if_unchanged(texts().MESError);
    if (known != nullptr && PyExceptionClass_Check(known) && PyErr_ExceptionMatches(known)) {
        return true;
    }
    if (!raised_exception_is_ordinary()) {
        return true;
    }
    PyObject* raised = compat::take_raised_exception();
    Ref mes_error = global(texts().MESError);
    const bool is_mes_error = mes_error && raised != nullptr && except_matches(raised, mes_error.get()) > 0;
    PyErr_Clear();
    compat::set_raised_exception(raised);
    return is_mes_error;
}

// The except clauses around read_row: a MESError goes on as it is; any other
// ordinary exception is printed with its traceback and becomes a MESError
// for the row; interrupts and exits pass untouched. A MESError bound to
// something that is no exception class is refused as `except` refuses it.
// The caught exception has passed through process_mes_result, whose entry
// its traceback gets first, as a Python function's frame gives it; one that
// goes on gets it as it leaves the function, once.
PyObject* unreadable_row(PyObject* res) {
    if (goes_on_as_it_is()) {
        return nullptr;
    }
    add_traceback_entry(process_mes_result, module_state().globals);
    ExceptScope handling;
    Ref mes_error = global(texts().MESError);
    if (!mes_error) {
        return nullptr;
    }
    const int is_mes_error = except_matches(handling.caught(), mes_error.get());
    if (is_mes_error > 0) {
        handling.reraise();
    }
    if (is_mes_error != 0) {
        return nullptr;  // gone on, or a refused except clause (TypeError)
    }
    if (!print_handled_exception()) {
        return nullptr;
    }
    // raise MESError(res): the name is read again, after print_exc.
    mes_error = global(texts().MESError);
    return mes_error ? raise_new(mes_error.get(), res) : nullptr;
}

PyObject* process_mes_result_body(PyObject* const* args) {
    PyObject* res = args[0];
    if (!log_row(res)) {
        return nullptr;
    }
    Ref pair = read_row(res);
    return pair ? pair.release() : unreadable_row(res);
}

// Exception.__init__(self, "MES Query Feedback Format Invalid"). The
// built-in's __init__ cannot be replaced, so it is fetched once; for an
// instance of Exception its slot is called directly with one argument
// tuple made once (it becomes `args`, which no one can change), and
// anything else gets the refusal of the method itself.
Kept<PyObject*> kept_arguments;

// ("MES Query Feedback Format Invalid",), made once; null with the error set.
PyObject* exception_arguments() {
    PyObject*& arguments = kept_arguments.value();
    if (arguments == nullptr) {
        arguments = PyTuple_Pack(1, texts().format_invalid);
    }
    return arguments;
}

bool init_exception(PyObject* self) {
    static Kept<PyObject*> kept_base_init;
    PyObject*& base_init = kept_base_init.value();
    PyObject* arguments = exception_arguments();
    if (arguments == nullptr ||
        (base_init == nullptr && (base_init = PyObject_GetAttr(PyExc_Exception, texts().init)) == nullptr)) {
        return false;
    }
    PyTypeObject* exception = reinterpret_cast<PyTypeObject*>(PyExc_Exception);
    if (PyObject_TypeCheck(self, exception)) {
        return exception->tp_init(self, arguments, nullptr) == 0;
    }
    return static_cast<bool>(call(base_init, self, texts().format_invalid));
}

// MESError(result): args is always the fixed text; the row is kept in
// `result`, and it is what str() shows.
PyObject* mes_error_init_body(PyObject* const* args) {
    PyObject* self = args[0];
    if (!init_exception(self) || PyObject_SetAttr(self, texts().result, args[1]) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* mes_error_str_body(PyObject* const* args) {
    Ref result = attr(args[0], texts().result);
    return result ? PyObject_Str(result.get()) : nullptr;
}

const char* const res_parameter[] = {"res"};
const char* const init_parameters[] = {"self", "result"};
const char* const self_parameter[] = {"self"};

}  // namespace

const FunctionSpec process_mes_result =
    function_spec("process_mes_result", res_parameter, process_mes_result_body, Passing::PositionalOnly);
const FunctionSpec mes_error_init = function_spec("__init__", init_parameters, mes_error_init_body);
const FunctionSpec mes_error_str = function_spec("__str__", self_parameter, mes_error_str_body, Passing::PositionalOnly);

}  // namespace tessavor::mes
