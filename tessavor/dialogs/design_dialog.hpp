// UIDesignOtherInfoDialog: the designed fill-in dialog, a wx.Dialog.
#pragma once

#include "../capi/function.hpp"

namespace tessavor::dialogs {

extern const FunctionSpec design_dialog_init;       // __init__(self, parent): builds the window
extern const FunctionSpec design_dialog_del;        // __del__(self, /): does nothing
extern const FunctionSpec design_dialog_on_refill;  // OnRefill(self, event): event.Skip()
extern const FunctionSpec design_dialog_on_ok;      // OnOK(self, event): event.Skip()

}  // namespace tessavor::dialogs
