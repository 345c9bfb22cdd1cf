// One connection per upload, used for the dbo.uspSaveResult batch. Unlike
// the unit query, the connection is closed by a close call only when the
// batch fails, before the failure is raised; otherwise it is still open
// while the answer is read and is released when the call ends.
#include "result_upload.hpp"

#include "../capi/errors.hpp"
#include "database.hpp"

namespace tessavor::mes {
namespace {

PyObject* save_result_body(PyObject* const* args) {
    Ref conn = connect(args);
    if (!conn) {
        return nullptr;
    }
    UnitTexts encoded;
    if (!encode_unit_texts(args, encoded)) {
        return nullptr;
    }
    const int passed = PyObject_IsTrue(args[8]);
    if (passed < 0) {
        return nullptr;
    }
    PyObject* verdict = passed ? texts().pass : texts().fail;
    Ref row = execute_row(conn.get(), texts().upload_batch, args[4], encoded.procedure.get(),
                          encoded.employee.get(), encoded.line_name.get(), verdict, args[9]);
    if (!row) {
        if (!raised_exception_is_ordinary()) {
            return nullptr;
        }
        ExceptScope handling;
        if (close(conn.get())) {
            raise_sql_error(texts().upload_failed, handling.caught());
        }
        return nullptr;
    }
    return read_answer(row.get());
}

const char* const parameters[] = {"server",    "user",     "password",  "database", "serial_number",
                                  "procedure", "employee", "line_name", "result",   "error_no"};

}  // namespace

const FunctionSpec save_result = function_spec("SaveResult", parameters, save_result_body);

}  // namespace tessavor::mes
