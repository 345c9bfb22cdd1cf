// The texts of the station information store, made once at import, and
// the module-level names it looks up when it runs (_cp, _isfile, _fsync).
#pragma once

#include "../capi/texts.hpp"

namespace tessavor::station {

#define TESSAVOR_STATION_TEXTS(X)                 \
    X(file_name, "info.cfg")                      \
    X(ININame, "ININame")                         \
    X(SafeConfigParser, "SafeConfigParser")       \
    X(ConfigParser, "ConfigParser")               \
    X(section, "Sec")                             \
    X(producttype, "producttype")                 \
    X(mrno, "mrno")                               \
    X(slot, "slot")                               \
    X(opname, "opname")                           \
    X(ProductType, "ProductType")                 \
    X(MRNo, "MRNo")                               \
    X(OPName, "OPName")                           \
    X(Slot, "Slot")                               \
    X(parser, "_MESInfo__ini")                    \
    X(empty, "")                                  \
    X(read, "read")                               \
    X(has_section, "has_section")                 \
    X(add_section, "add_section")                 \
    X(get, "get")                                 \
    X(set, "set")                                 \
    X(replace, "replace")                         \
    X(percent, "%")                               \
    X(double_percent, "%%")                       \
    X(crlf, "\r\n")                               \
    X(cr, "\r")                                    \
    X(lf, "\n")                                    \
    X(write, "write")                             \
    X(flush, "flush")                             \
    X(fileno, "fileno")                           \
    X(write_mode, "w")                            \
    X(os, "os")                                   \
    X(fsdecode, "fsdecode")                       \
    X(fsync, "fsync")                             \
    X(sleep, "sleep")                             \
    X(_fsync, "_fsync")                           \
    X(_cp, "_cp")                                 \
    X(_isfile, "_isfile")                         \
    X(curdir, ".")

TESSAVOR_TEXT_TABLE(TESSAVOR_STATION_TEXTS)

}  // namespace tessavor::station
