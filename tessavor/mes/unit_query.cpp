// One connection per query: opened, used for the dbo.uspGetUnitInfo batch
// and closed on every way out of the batch, before the answer is read; also
// closed when a text cannot be encoded and no batch is sent.
#include "unit_query.hpp"

#include "../capi/errors.hpp"
#include "../capi/traceback.hpp"
#include "../state/module_state.hpp"
#include "database.hpp"

namespace tessavor::mes {
namespace {

// The `finally` of the batch: close the connection. A close error replaces
// an exception already on its way (which becomes its context); otherwise
// that exception goes on unchanged. Returns true when nothing is raised.
bool close_finally(PyObject* conn) {
    if (!PyErr_Occurred()) {
        return close(conn);
    }
    ExceptScope pending;
    if (close(conn)) {
        pending.reraise();
    }
    return false;
}

PyObject* get_unit_info_body(PyObject* const* args) {
    UnitTexts encoded;
    Ref conn = connect_and_encode(args, encoded, get_unit_info);
    if (!conn) {
        return nullptr;
    }
    Ref row = execute_row(conn.get(), texts().unit_query_batch, args[4], encoded.procedure.get(),
                          encoded.employee.get(), encoded.line_name.get());
    if (!row && raised_exception_is_ordinary()) {
        add_traceback_entry(get_unit_info, module_state().globals);
        ExceptScope handling;
        raise_sql_error(texts().unit_query_failed, handling.caught());
    }
    if (!close_finally(conn.get()) || !row) {
        return nullptr;
    }
    return read_answer(row.get());
}

const char* const parameters[] = {"server",        "user",      "password", "database",
                                  "serial_number", "procedure", "employee", "line_name"};

}  // namespace

const FunctionSpec get_unit_info = function_spec("GetUnitInfo", parameters, get_unit_info_body);

}  // namespace tessavor::mes
