// Reading the MES answer row: process_mes_result and MESError.
#pragma once

#include "../capi/function.hpp"

namespace tessavor::mes {

extern const FunctionSpec process_mes_result;  // process_mes_result(res, /) -> (error_code, msg)
extern const FunctionSpec mes_error_init;      // MESError.__init__(self, result)
extern const FunctionSpec mes_error_str;       // MESError.__str__(self, /)

}  // namespace tessavor::mes
