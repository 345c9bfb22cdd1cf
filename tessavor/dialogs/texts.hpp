// The texts and numbers of the operator dialogs, made once, when a dialog's
// method first runs: an import that shows no dialog does not pay for them.
#pragma once

#include "../capi/texts.hpp"

namespace tessavor::dialogs {

#define TESSAVOR_DIALOG_TEXTS(X)                                  \
    /* module-level names, looked up when each step runs */       \
    X(wx, "wx")                                                   \
    X(_MB, "_MB")                                                 \
    X(UIDesignOtherInfoDialog, "UIDesignOtherInfoDialog")         \
    X(MESInfo, "MESInfo")                                         \
    /* toolkit names, read from wx when each step runs */         \
    X(Dialog, "Dialog")                                           \
    X(init, "__init__")                                           \
    X(ID_ANY, "ID_ANY")                                           \
    X(ID_CANCEL, "ID_CANCEL")                                     \
    X(ID_OK, "ID_OK")                                             \
    X(DefaultPosition, "DefaultPosition")                         \
    X(DefaultSize, "DefaultSize")                                 \
    X(DEFAULT_DIALOG_STYLE, "DEFAULT_DIALOG_STYLE")               \
    X(BoxSizer, "BoxSizer")                                       \
    X(FlexGridSizer, "FlexGridSizer")                             \
    X(VERTICAL, "VERTICAL")                                       \
    X(HORIZONTAL, "HORIZONTAL")                                   \
    X(BOTH, "BOTH")                                               \
    X(FLEX_GROWMODE_SPECIFIED, "FLEX_GROWMODE_SPECIFIED")         \
    X(StaticText, "StaticText")                                   \
    X(TextCtrl, "TextCtrl")                                       \
    X(Button, "Button")                                           \
    X(EmptyString, "EmptyString")                                 \
    X(ALL, "ALL")                                                 \
    X(EXPAND, "EXPAND")                                           \
    X(EVT_BUTTON, "EVT_BUTTON")                                   \
    /* keywords of the dialog's own construction */               \
    X(id, "id")                                                   \
    X(title, "title")                                             \
    X(pos, "pos")                                                 \
    X(size, "size")                                               \
    X(style, "style")                                             \
    /* methods called on the dialog, its controls and sizers */   \
    X(SetSizeHintsSz, "SetSizeHintsSz")                           \
    X(SetSizeHints, "SetSizeHints")                               \
    X(AddGrowableCol, "AddGrowableCol")                           \
    X(SetFlexibleDirection, "SetFlexibleDirection")               \
    X(SetNonFlexibleGrowMode, "SetNonFlexibleGrowMode")           \
    X(Wrap, "Wrap")                                               \
    X(Add, "Add")                                                 \
    X(SetDefault, "SetDefault")                                   \
    X(SetSizer, "SetSizer")                                       \
    X(Layout, "Layout")                                           \
    X(Fit, "Fit")                                                 \
    X(Centre, "Centre")                                           \
    X(Bind, "Bind")                                               \
    X(Skip, "Skip")                                               \
    X(SetValue, "SetValue")                                       \
    X(GetValue, "GetValue")                                       \
    X(strip, "strip")                                             \
    X(EndModal, "EndModal")                                       \
    X(Error, "Error")                                             \
    /* attributes of the dialog */                                \
    X(m_staticText7, "m_staticText7")                             \
    X(m_staticText8, "m_staticText8")                             \
    X(m_staticText10, "m_staticText10")                           \
    X(m_staticText11, "m_staticText11")                           \
    X(mProductType, "mProductType")                               \
    X(mMRNo, "mMRNo")                                             \
    X(mOPName, "mOPName")                                         \
    X(mSlot, "mSlot")                                             \
    X(m_button3, "m_button3")                                     \
    X(m_button4, "m_button4")                                     \
    X(m_button5, "m_button5")                                     \
    X(OnRefill, "OnRefill")                                       \
    X(OnOK, "OnOK")                                               \
    X(OtherInfo, "OtherInfo")                                     \
    /* attributes of the station information */                   \
    X(ProductType, "ProductType")                                 \
    X(MRNo, "MRNo")                                               \
    X(OPName, "OPName")                                           \
    X(Slot, "Slot")                                               \
    /* what the operator reads */                                 \
    X(dialog_title, "信息填充")                                   \
    X(product_type_label, "产品型号：")                           \
    X(work_order_label, "工单号码(MR#)：")                        \
    X(operator_label, "测试员（姓名）：")                         \
    X(fixture_label, "治具编号：")                                \
    X(refill_label, "重填")                                       \
    X(confirm_label, "确定")                                      \
    X(cancel_label, "取消")                                       \
    X(operator_required, "测试员名字不能为空！")                  \
    X(empty, "")

TESSAVOR_TEXT_TABLE(TESSAVOR_DIALOG_TEXTS)

// The numbers the dialog itself supplies: grid shape, growable column,
// wrap width, proportions, border and control style.
struct Numbers {
    PyObject* zero = nullptr;
    PyObject* one = nullptr;
    PyObject* two = nullptr;
    PyObject* border = nullptr;   // 5
    PyObject* no_wrap = nullptr;  // -1
};

const Numbers& numbers() noexcept;

// Makes the texts and numbers above unless they are made: each dialog
// method calls it before it reads them. False with the error set.
[[nodiscard]] bool prepare_dialog_texts() noexcept;

}  // namespace tessavor::dialogs
