// SaveResult: records a unit's verdict and error number in the MES.
#pragma once

#include "../capi/function.hpp"

namespace tessavor::mes {

// SaveResult(server, user, password, database, serial_number, procedure,
//            employee, line_name, result, error_no) -> (error_code, msg)
extern const FunctionSpec save_result;

}  // namespace tessavor::mes
