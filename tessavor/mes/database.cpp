#include "database.hpp"

#include "../capi/errors.hpp"
#include "../capi/traceback.hpp"
#include "../state/module_state.hpp"

namespace tessavor::mes {
namespace {

Ref try_connect(PyObject* const* args) {
    const Texts& t = texts();
    Ref sql = global(texts()._sql);
    if (!sql) {
        return sql;
    }
    // The keyword names in one tuple, made once.
    static Kept<PyObject*> kept_keyword_names;
    PyObject*& keyword_names = kept_keyword_names.value();
    if (keyword_names == nullptr &&
        (keyword_names = PyTuple_Pack(4, t.server, t.user, t.password, t.database)) == nullptr) {
        return Ref();
    }
    return call_method_with_keywords(sql.get(), t.connect, keyword_names, args[0], args[1], args[2], args[3]);
}

// text.encode("gbk"). For an exact str, whose encode cannot be replaced,
// what str.encode does: ASCII stays as it is in GBK; other texts go to the
// codec's encoder, found once (the interpreter keeps a codec it found for
// good, too).
Ref encode_gbk(PyObject* text) {
    if (!PyUnicode_CheckExact(text)) {
        return call_method(text, texts().encode, texts().gbk);
    }
    if (compat::unicode_ready(text) < 0) {
        return Ref();
    }
    if (PyUnicode_IS_ASCII(text)) {
        return Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(text)),
                                                    PyUnicode_GET_LENGTH(text)));
    }
    static Kept<PyObject*> kept_encoder;
    PyObject*& encoder = kept_encoder.value();
    if (encoder == nullptr && (encoder = PyCodec_Encoder("gbk")) == nullptr) {
        return Ref();
    }
    Ref pair = call(encoder, text);
    if (!pair) {
        return pair;
    }
    if (PyTuple_CheckExact(pair.get()) && PyTuple_GET_SIZE(pair.get()) == 2 &&
        PyBytes_CheckExact(PyTuple_GET_ITEM(pair.get(), 0))) {
        return Ref::borrow(PyTuple_GET_ITEM(pair.get(), 0));
    }
    return Ref::steal(PyUnicode_AsEncodedString(text, "gbk", nullptr));
}

// The connection, or IOError("SQLError: Connect to Database Server Failed:
// <error>") raised while the error is handled, so that it is the context.
Ref connect(PyObject* const* args, const FunctionSpec& caller) {
    Ref conn = try_connect(args);
    if (conn || !raised_exception_is_ordinary()) {
        return conn;
    }
    add_traceback_entry(caller, module_state().globals);
    ExceptScope handling;
    raise_sql_error(texts().connect_failed, handling.caught());
    return Ref();
}

}  // namespace

Ref connect_and_encode(PyObject* const* args, UnitTexts& encoded, const FunctionSpec& caller) noexcept {
    Ref conn = connect(args, caller);
    if (!conn) {
        return conn;
    }
    for (auto [field, text] :
         {std::pair{&encoded.procedure, args[5]}, {&encoded.employee, args[6]}, {&encoded.line_name, args[7]}}) {
        *field = encode_gbk(text);
        if (!*field) {
            static_cast<void>(hang_up(conn.get()));
            return Ref();
        }
    }
    return conn;
}

PyObject* read_answer(PyObject* row) noexcept {
    Ref reader = global(texts().process_mes_result);
    return reader ? call(reader.get(), row).release() : nullptr;
}

bool close(PyObject* conn) noexcept { return static_cast<bool>(call_method(conn, texts().close)); }

bool hang_up(PyObject* conn) noexcept {
    if (!PyErr_Occurred()) {
        if (close(conn)) {
            return true;
        }
        if (raised_exception_is_ordinary()) {
            PyErr_Clear();
            return true;
        }
        return false;
    }
    ExceptScope pending;
    if (close(conn) || raised_exception_is_ordinary()) {
        PyErr_Clear();
        pending.reraise();
    }
    return false;
}

PyObject* raise_sql_error(PyObject* prefix, PyObject* caught) noexcept {
    Ref reason = Ref::steal(PyObject_Str(caught));
    if (!reason) {
        return nullptr;
    }
    Ref message = Ref::steal(PyUnicode_Concat(prefix, reason.get()));
    if (!message) {
        return nullptr;
    }
    return raise_new(module_state().io_error, message.get());
}

}  // namespace tessavor::mes
