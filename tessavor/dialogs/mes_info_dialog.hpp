// MESInfoDialog: the designed dialog filled from, and confirmed into, a
// MESInfo object kept in its attribute OtherInfo.
#pragma once

#include "../capi/function.hpp"

namespace tessavor::dialogs {

extern const FunctionSpec mes_info_dialog_init;       // __init__(self, parent)
extern const FunctionSpec mes_info_dialog_on_refill;  // OnRefill(self, event)
extern const FunctionSpec mes_info_dialog_on_ok;      // OnOK(self, event)

}  // namespace tessavor::dialogs
