// What the unit query and the result upload share: opening the connection,
// encoding the text parameters, running a batch and reporting a failure.
#pragma once

#include "../capi/call.hpp"
#include "../capi/function.hpp"
#include "texts.hpp"

namespace tessavor::mes {

// The procedure, employee and line name (arguments 6 to 8 of both calls),
// each replaced by its .encode("gbk").
struct UnitTexts {
    Ref procedure;
    Ref employee;
    Ref line_name;
};

// _sql.connect(server=, user=, password=, database=) with the first four
// arguments of the call, then the procedure, employee and line name
// encoded in that order: the connection, or null with the error set.
// A failure to connect raises IOError("SQLError: Connect to Database
// Server Failed: <error>") with the error as context; when a text cannot
// be encoded (the codec's own error) the connection is closed. The caught
// error's traceback gets an entry for `caller`, the function it passed
// through, as a Python function's frame gives it.
[[nodiscard]] Ref connect_and_encode(PyObject* const* args, UnitTexts& encoded, const FunctionSpec& caller) noexcept;

// conn.execute_row(batch, (values...)): the answer row, or null with the
// driver's (or the lookup's) error set.
template <class... Values>
[[nodiscard]] Ref execute_row(PyObject* conn, PyObject* batch, Values... values) noexcept {
    Ref parameters = tuple(values...);
    if (!parameters) {
        return parameters;
    }
    return call_method(conn, texts().execute_row, batch, parameters.get());
}

// conn.close(), result discarded.
[[nodiscard]] bool close(PyObject* conn) noexcept;

// Closes a connection that the call is done with on a way out where the
// caller needs something else than the close: the answer already read, or
// an error already raised, which stays the one raised. A close that fails
// there with an ordinary error (derived from Exception) is not reported;
// an interrupt or an exit during the close goes on (with the error already
// raised as its context). True when no error is raised on return. The
// driver keeps every open connection in a list of its own, so a connection
// that is merely dropped stays open (a socket and an MES session) until
// the process ends.
[[nodiscard]] bool hang_up(PyObject* conn) noexcept;

// process_mes_result(row), looked up at the moment of the call.
[[nodiscard]] PyObject* read_answer(PyObject* row) noexcept;

// Inside the handling of `caught`: raise IOError(prefix + str(caught)), so
// that `caught` becomes its context. Always returns null.
PyObject* raise_sql_error(PyObject* prefix, PyObject* caught) noexcept;

}  // namespace tessavor::mes
