// The operator sees the stored station information when the dialog opens,
// may empty the fields ("重填") and confirms with "确定", which requires an
// operator name, puts the four trimmed entries into OtherInfo and ends the
// dialog with wx.ID_OK. The dialog never writes info.cfg: the code that
// showed it calls OtherInfo.Save().
#include "mes_info_dialog.hpp"

#include "../capi/call.hpp"
#include "../state/module_state.hpp"
#include "texts.hpp"

#include <utility>

namespace tessavor::dialogs {
namespace {

struct Field {
    PyObject* control;    // text field of the dialog
    PyObject* attribute;  // attribute of OtherInfo
};

PyObject* init_body(PyObject* const* args) {
    if (!prepare_dialog_texts()) {
        return nullptr;
    }
    PyObject* self = args[0];
    const Texts& t = texts();
    Ref base = global(t.UIDesignOtherInfoDialog);
    Ref base_init = base ? attr(base.get(), t.init) : Ref();
    if (!base_init || !call(base_init.get(), self, args[1])) {
        return nullptr;
    }
    Ref info_class = global(t.MESInfo);
    Ref info = info_class ? call(info_class.get()) : Ref();
    if (!info || PyObject_SetAttr(self, t.OtherInfo, info.get()) < 0) {
        return nullptr;
    }
    Ref refill = attr(self, t.OnRefill);
    if (!refill || !call(refill.get(), Py_None)) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// self.<control>.SetValue(value)
bool set_field(PyObject* self, PyObject* control, PyObject* value) {
    Ref field = attr(self, control);
    return field && call_method(field.get(), texts().SetValue, value);
}

// A click (any event, which tests true) empties the four fields; None, from
// construction, fills them from OtherInfo.
PyObject* on_refill_body(PyObject* const* args) {
    if (!prepare_dialog_texts()) {
        return nullptr;
    }
    PyObject* self = args[0];
    const Texts& t = texts();
    const int clicked = PyObject_IsTrue(args[1]);
    if (clicked < 0) {
        return nullptr;
    }
    const Field fields[] = {{t.mSlot, t.Slot}, {t.mProductType, t.ProductType}, {t.mMRNo, t.MRNo}, {t.mOPName, t.OPName}};
    for (const Field& field : fields) {
        if (clicked) {
            if (!set_field(self, field.control, t.empty)) {
                return nullptr;
            }
            continue;
        }
        Ref control = attr(self, field.control);
        Ref set_value = control ? attr(control.get(), t.SetValue) : Ref();
        Ref info = set_value ? attr(self, t.OtherInfo) : Ref();
        Ref value = info ? attr(info.get(), field.attribute) : Ref();
        if (!value || !call(set_value.get(), value.get())) {
            return nullptr;
        }
    }
    Py_RETURN_NONE;
}

// self.<control>.GetValue().strip()
Ref trimmed_entry(PyObject* self, PyObject* control) {
    Ref field = attr(self, control);
    Ref value = field ? call_method(field.get(), texts().GetValue) : Ref();
    return value ? call_method(value.get(), texts().strip) : Ref();
}

PyObject* on_ok_body(PyObject* const* args) {
    if (!prepare_dialog_texts()) {
        return nullptr;
    }
    PyObject* self = args[0];
    const Texts& t = texts();
    Ref operator_name = trimmed_entry(self, t.mOPName);
    if (!operator_name) {
        return nullptr;
    }
    const int missing = PyObject_RichCompareBool(operator_name.get(), t.empty, Py_EQ);
    if (missing < 0) {
        return nullptr;
    }
    if (missing) {
        Ref message_box = global(t._MB);
        Ref shown = message_box ? call_method(message_box.get(), t.Error, t.operator_required) : Ref();
        if (!shown) {
            return nullptr;
        }
        Py_RETURN_NONE;
    }
    Ref product_type = trimmed_entry(self, t.mProductType);
    Ref work_order = product_type ? trimmed_entry(self, t.mMRNo) : Ref();
    Ref fixture = work_order ? trimmed_entry(self, t.mSlot) : Ref();
    Ref info = fixture ? attr(self, t.OtherInfo) : Ref();
    if (!info) {
        return nullptr;
    }
    const std::pair<PyObject*, PyObject*> accepted[] = {{t.ProductType, product_type.get()},
                                                        {t.MRNo, work_order.get()},
                                                        {t.Slot, fixture.get()},
                                                        {t.OPName, operator_name.get()}};
    for (const auto& [attribute, value] : accepted) {
        if (PyObject_SetAttr(info.get(), attribute, value) < 0) {
            return nullptr;
        }
    }
    Ref ok = global(t.wx);
    ok = ok ? attr(ok.get(), t.ID_OK) : Ref();
    if (!ok || !call_method(self, t.EndModal, ok.get())) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

const char* const init_parameters[] = {"self", "parent"};
const char* const handler_parameters[] = {"self", "event"};

}  // namespace

const FunctionSpec mes_info_dialog_init = function_spec("__init__", init_parameters, init_body);
const FunctionSpec mes_info_dialog_on_refill = function_spec("OnRefill", handler_parameters, on_refill_body);
const FunctionSpec mes_info_dialog_on_ok = function_spec("OnOK", handler_parameters, on_ok_body);

}  // namespace tessavor::dialogs
