// The texts of the station information store, made once at import.
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
    X(os, "os")                                   \
    X(fsdecode, "fsdecode")                       \
    X(fstat, "fstat")                             \
    X(st_mode, "st_mode")                         \
    X(st_nlink, "st_nlink")                       \
    X(st_uid, "st_uid")                           \
    X(st_gid, "st_gid")                           \
    X(fchmod, "fchmod")                           \
    X(fchown, "fchown")                           \
    X(lstat, "lstat")                             \
    X(lockf, "lockf")                             \
    X(try_lock, "F_TLOCK")                        \
    X(listxattr, "listxattr")                     \
    X(getxattr, "getxattr")                       \
    X(urandom, "urandom")                         \
    X(listdir, "listdir")                         \
    X(errno_name, "errno")                        \
    X(sleep, "sleep")                             \
    X(write_mode, "w")                            \
    X(tmp_suffix, ".tmp")                         \
    X(remove, "remove")                           \
    X(os_replace, "replace")                      \
    X(os_fsync, "fsync")                          \
    X(os_open, "open")                            \
    X(os_close, "close")                          \
    X(curdir, ".")

TESSAVOR_TEXT_TABLE(TESSAVOR_STATION_TEXTS)

}  // namespace tessavor::station
