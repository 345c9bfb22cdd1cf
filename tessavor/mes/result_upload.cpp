// One connection per upload, used for the dbo.uspSaveResult batch. When the
// batch fails the connection is closed before the failure is raised, and a
// failing close is what the caller gets. Otherwise the answer is read while
// the connection is still open, and the connection is closed after it on
// every way out: the driver would keep a dropped connection open for the
// rest of the process, one MES session per upload.
#include "result_upload.hpp"

#include "../capi/errors.hpp"
#include "../capi/traceback.hpp"
#include "../state/module_state.hpp"
#include "database.hpp"

namespace tessavor::mes {
namespace {

PyObject* save_result_body(PyObject* const* args) {
    UnitTexts encoded;
    Ref conn = connect_and_encode(args, encoded, save_result);
    if (!conn) {
        return nullptr;
    }
    const int passed = PyObject_IsTrue(args[8]);
    if (passed < 0) {
        static_cast<void>(hang_up(conn.get()));
        return nullptr;
    }
    PyObject* verdict = passed ? texts().pass : texts().fail;
    Ref row = execute_row(conn.get(), texts().upload_batch, args[4], encoded.procedure.get(),
                          encoded.employee.get(), encoded.line_name.get(), verdict, args[9]);
    if (!row) {
        if (!raised_exception_is_ordinary()) {
            static_cast<void>(hang_up(conn.get()));
            return nullptr;
        }
        add_traceback_entry(save_result, module_state().globals);
        ExceptScope handling;
        if (close(conn.get())) {
            raise_sql_error(texts().upload_failed, handling.caught());
        }
        return nullptr;
    }
    Ref answer = Ref::steal(read_answer(row.get()));
    return hang_up(conn.get()) ? answer.release() : nullptr;
}

const char* const parameters[] = {"server",    "user",     "password",  "database", "serial_number",
                                  "procedure", "employee", "line_name", "result",   "error_no"};

}  // namespace

const FunctionSpec save_result = function_spec("SaveResult", parameters, save_result_body);

}  // namespace tessavor::mes
