// MESInfo: the four items of station information kept in info.cfg.
#pragma once

#include "../capi/function.hpp"

namespace tessavor::station {

extern const FunctionSpec mes_info_init;  // MESInfo.__init__(self, /): reads the file
extern const FunctionSpec mes_info_save;  // MESInfo.Save(self, /): writes it

// The text "info.cfg", the class attribute ININame.
PyObject* default_file_name() noexcept;

}  // namespace tessavor::station
