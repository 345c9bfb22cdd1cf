// GetUnitInfo: asks the MES whether a unit may be tested.
#pragma once

#include "../capi/function.hpp"

namespace tessavor::mes {

// GetUnitInfo(server, user, password, database, serial_number, procedure,
//             employee, line_name) -> (error_code, msg)
extern const FunctionSpec get_unit_info;

}  // namespace tessavor::mes
