// The texts of the MES database link, made once at import, and the
// module-level names it looks up when it runs.
#pragma once

#include "../capi/texts.hpp"

namespace tessavor::mes {

#define TESSAVOR_MES_TEXTS(X)                                                                       \
    X(_sql, "_sql")                                                                                \
    X(MESError, "MESError")                                                                        \
    X(process_mes_result, "process_mes_result")                                                    \
    X(print, "print")                                                                              \
    X(log_prefix, "TVR MES GetUnitInfo: ")                                                         \
    X(quote, "\"")                                                                                 \
    X(split, "split")                                                                              \
    X(empty, "")                                                                                   \
    X(none_message, "MES 系统返回“None”数据，默认为 SUCCESS")                                      \
    X(format_invalid, "MES Query Feedback Format Invalid")                                         \
    X(result, "result")                                                                            \
    X(init, "__init__")                                                                            \
    X(connect, "connect")                                                                          \
    X(execute_row, "execute_row")                                                                  \
    X(close, "close")                                                                              \
    X(encode, "encode")                                                                            \
    X(gbk, "gbk")                                                                                  \
    X(server, "server")                                                                            \
    X(user, "user")                                                                                \
    X(password, "password")                                                                        \
    X(database, "database")                                                                        \
    X(pass, "PASS")                                                                                \
    X(fail, "FAIL")                                                                                \
    X(connect_failed, "SQLError: Connect to Database Server Failed: ")                             \
    X(unit_query_failed, "SQLError: uspGetUnitInfo Failed: ")                                      \
    X(upload_failed, "SQLError: uspSaveResult Failed: ")                                           \
    X(unit_query_batch,                                                                            \
      "\n"                                                                                         \
      "DECLARE @OutPutxmls nvarchar(4000), @RETURN int ;\n"                                        \
      "exec dbo.uspGetUnitInfo %s, %s, %s, %s, @OutPutxmls OUT, @RETURN OUT ;\n"                   \
      "SELECT @OutPutxmls, @RETURN;\n")                                                            \
    X(upload_batch,                                                                                \
      "\n"                                                                                         \
      "DECLARE @Msg nvarchar(500), @RETURN int ;\n"                                                \
      "exec dbo.uspSaveResult %s, %s, %s, %s, %s, %s, @Msg OUT, @RETURN OUT ;\n"                   \
      "SELECT @Msg, @RETURN;\n")

TESSAVOR_TEXT_TABLE(TESSAVOR_MES_TEXTS)

}  // namespace tessavor::mes
