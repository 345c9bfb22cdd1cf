#include "database.hpp"

#include "../capi/errors.hpp"
#include "../module/state.hpp"

namespace tessavor::mes {
namespace {

Ref try_connect(PyObject* const* args) {
    const Texts& t = texts();
    Ref sql = global(module_names().sql);
    if (!sql) {
        return sql;
    }
    Ref open_connection = attr(sql.get(), t.connect);
    if (!open_connection) {
        return open_connection;
    }
    Ref no_arguments = Ref::steal(PyTuple_New(0));
    Ref keywords = dict({{t.server, args[0]}, {t.user, args[1]}, {t.password, args[2]}, {t.database, args[3]}});
    if (!no_arguments || !keywords) {
        return Ref();
    }
    return call_with(open_connection.get(), no_arguments.get(), keywords.get());
}

}  // namespace

Ref connect(PyObject* const* args) noexcept {
    Ref conn = try_connect(args);
    if (conn || !raised_exception_is_ordinary()) {
        return conn;
    }
    ExceptScope handling;
    raise_sql_error(texts().connect_failed, handling.caught());
    return Ref();
}

bool encode_unit_texts(PyObject* const* args, UnitTexts& out) noexcept {
    for (auto [field, text] : {std::pair{&out.procedure, args[5]}, {&out.employee, args[6]}, {&out.line_name, args[7]}}) {
        *field = call_method(text, texts().encode, texts().gbk);
        if (!*field) {
            return false;
        }
    }
    return true;
}

PyObject* read_answer(PyObject* row) noexcept {
    Ref reader = global(module_names().process_mes_result);
    return reader ? call(reader.get(), row).release() : nullptr;
}

bool close(PyObject* conn) noexcept { return static_cast<bool>(call_method(conn, texts().close)); }

void hang_up(PyObject* conn) noexcept {
    if (!PyErr_Occurred()) {
        if (!close(conn)) {
            PyErr_Clear();
        }
        return;
    }
    ExceptScope pending;
    if (!close(conn)) {
        PyErr_Clear();
    }
    pending.reraise();
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
