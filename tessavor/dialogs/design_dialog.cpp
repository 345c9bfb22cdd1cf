// The designed fill-in dialog "信息填充": four labelled text fields in a
// two-column grid above the buttons "重填", "确定" and "取消". It only
// builds the window and binds the first two buttons to OnRefill and OnOK,
// whose own versions pass the click on; the MES information dialog gives
// them their meaning.
//
// Every toolkit class, identifier, position, size, style, flag and event
// binder is read from the module-level name `wx` when its step runs.
#include "design_dialog.hpp"

#include "../capi/call.hpp"
#include "../state/module_state.hpp"
#include "texts.hpp"

namespace tessavor::dialogs {
namespace {

// wx.<name>, with `wx` looked up now.
Ref wx_attr(PyObject* name) {
    Ref wx = global(texts().wx);
    return wx ? attr(wx.get(), name) : Ref();
}

// self.<attribute> = value
bool store(PyObject* self, PyObject* attribute, const Ref& value) {
    return value && PyObject_SetAttr(self, attribute, value.get()) == 0;
}

// wx.Dialog.__init__(self, parent, id=wx.ID_ANY, title="信息填充",
//                    pos=wx.DefaultPosition, size=wx.DefaultSize,
//                    style=wx.DEFAULT_DIALOG_STYLE)
bool init_window(PyObject* self, PyObject* parent) {
    const Texts& t = texts();
    Ref dialog = wx_attr(t.Dialog);
    Ref init = dialog ? attr(dialog.get(), t.init) : Ref();
    if (!init) {
        return false;
    }
    Ref id = wx_attr(t.ID_ANY);
    Ref pos = id ? wx_attr(t.DefaultPosition) : Ref();
    Ref size = pos ? wx_attr(t.DefaultSize) : Ref();
    Ref style = size ? wx_attr(t.DEFAULT_DIALOG_STYLE) : Ref();
    if (!style) {
        return false;
    }
    Ref args = tuple(self, parent);
    Ref keywords = dict({{t.id, id.get()},
                         {t.title, t.dialog_title},
                         {t.pos, pos.get()},
                         {t.size, size.get()},
                         {t.style, style.get()}});
    return args && keywords && call_with(init.get(), args.get(), keywords.get());
}

// self.SetSizeHintsSz(wx.DefaultSize, wx.DefaultSize); toolkits that no
// longer know that old name call the same thing SetSizeHints.
bool set_size_hints(PyObject* self) {
    const Texts& t = texts();
    Ref method = attr(self, t.SetSizeHintsSz);
    if (!method && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        method = attr(self, t.SetSizeHints);
    }
    if (!method) {
        return false;
    }
    Ref minimum = wx_attr(t.DefaultSize);
    Ref maximum = minimum ? wx_attr(t.DefaultSize) : Ref();
    return maximum && call(method.get(), minimum.get(), maximum.get());
}

// wx.<class_name>(self, wx.<id_name>, label, wx.DefaultPosition, wx.DefaultSize, 0)
Ref make_control(PyObject* self, PyObject* class_name, PyObject* id_name, PyObject* label) {
    const Texts& t = texts();
    Ref cls = wx_attr(class_name);
    Ref id = cls ? wx_attr(id_name) : Ref();
    Ref pos = id ? wx_attr(t.DefaultPosition) : Ref();
    Ref size = pos ? wx_attr(t.DefaultSize) : Ref();
    if (!size) {
        return Ref();
    }
    return call(cls.get(), self, id.get(), label, pos.get(), size.get(), numbers().zero);
}

// sizer.Add(self.<attribute>, proportion, flags, 5)
bool add_control(PyObject* sizer, PyObject* self, PyObject* attribute, PyObject* proportion, PyObject* flags) {
    Ref add = attr(sizer, texts().Add);
    Ref control = add ? attr(self, attribute) : Ref();
    return control && call(add.get(), control.get(), proportion, flags, numbers().border);
}

// sizer.Add(item, proportion, wx.<flag>, 5) for an item that is no attribute.
bool add_item(PyObject* sizer, PyObject* item, PyObject* proportion, PyObject* flag_name) {
    Ref add = attr(sizer, texts().Add);
    Ref flags = add ? wx_attr(flag_name) : Ref();
    return flags && call(add.get(), item, proportion, flags.get(), numbers().border);
}

struct Row {
    PyObject* label_attribute;
    PyObject* label;
    PyObject* field_attribute;
};

// One grid row: the label (not wrapped) and its text field.
bool add_row(PyObject* self, PyObject* grid, const Row& row) {
    const Texts& t = texts();
    if (!store(self, row.label_attribute, make_control(self, t.StaticText, t.ID_ANY, row.label))) {
        return false;
    }
    Ref label = attr(self, row.label_attribute);
    if (!label || !call_method(label.get(), t.Wrap, numbers().no_wrap)) {
        return false;
    }
    Ref all = wx_attr(t.ALL);
    if (!all || !add_control(grid, self, row.label_attribute, numbers().zero, all.get())) {
        return false;
    }
    Ref empty = wx_attr(t.EmptyString);
    if (!empty || !store(self, row.field_attribute, make_control(self, t.TextCtrl, t.ID_ANY, empty.get()))) {
        return false;
    }
    all = wx_attr(t.ALL);
    Ref expand = all ? wx_attr(t.EXPAND) : Ref();
    Ref flags = expand ? Ref::steal(PyNumber_Or(all.get(), expand.get())) : Ref();
    return flags && add_control(grid, self, row.field_attribute, numbers().zero, flags.get());
}

Ref make_grid(PyObject* self) {
    const Texts& t = texts();
    const Numbers& n = numbers();
    Ref grid_class = wx_attr(t.FlexGridSizer);
    Ref grid = grid_class ? call(grid_class.get(), n.zero, n.two, n.zero, n.zero) : Ref();
    if (!grid || !call_method(grid.get(), t.AddGrowableCol, n.one)) {
        return Ref();
    }
    Ref both = wx_attr(t.BOTH);
    if (!both || !call_method(grid.get(), t.SetFlexibleDirection, both.get())) {
        return Ref();
    }
    Ref grow_mode = wx_attr(t.FLEX_GROWMODE_SPECIFIED);
    if (!grow_mode || !call_method(grid.get(), t.SetNonFlexibleGrowMode, grow_mode.get())) {
        return Ref();
    }
    const Row rows[] = {
        {t.m_staticText7, t.product_type_label, t.mProductType},
        {t.m_staticText8, t.work_order_label, t.mMRNo},
        {t.m_staticText10, t.operator_label, t.mOPName},
        {t.m_staticText11, t.fixture_label, t.mSlot},
    };
    for (const Row& row : rows) {
        if (!add_row(self, grid.get(), row)) {
            return Ref();
        }
    }
    return grid;
}

// A button of the bottom row; the confirm button is the dialog's default.
bool add_button(PyObject* self, PyObject* row, PyObject* attribute, PyObject* id_name, PyObject* label,
                bool is_default) {
    const Texts& t = texts();
    if (!store(self, attribute, make_control(self, t.Button, id_name, label))) {
        return false;
    }
    if (is_default) {
        Ref button = attr(self, attribute);
        if (!button || !call_method(button.get(), t.SetDefault)) {
            return false;
        }
    }
    Ref all = wx_attr(t.ALL);
    return all && add_control(row, self, attribute, numbers().zero, all.get());
}

Ref make_box_sizer(PyObject* orientation_name) {
    Ref box = wx_attr(texts().BoxSizer);
    Ref orientation = box ? wx_attr(orientation_name) : Ref();
    return orientation ? call(box.get(), orientation.get()) : Ref();
}

// self.<button>.Bind(wx.EVT_BUTTON, self.<handler>): the handler is read
// from the instance, so a subclass's method of that name gets the clicks.
bool bind(PyObject* self, PyObject* button_attribute, PyObject* handler_name) {
    Ref button = attr(self, button_attribute);
    Ref bind_method = button ? attr(button.get(), texts().Bind) : Ref();
    Ref binder = bind_method ? wx_attr(texts().EVT_BUTTON) : Ref();
    Ref handler = binder ? attr(self, handler_name) : Ref();
    return handler && call(bind_method.get(), binder.get(), handler.get());
}

bool build(PyObject* self, PyObject* parent) {
    const Texts& t = texts();
    const Numbers& n = numbers();
    if (!init_window(self, parent) || !set_size_hints(self)) {
        return false;
    }
    Ref column = make_box_sizer(t.VERTICAL);
    Ref grid = column ? make_grid(self) : Ref();
    if (!grid || !add_item(column.get(), grid.get(), n.one, t.EXPAND)) {
        return false;
    }
    Ref buttons = make_box_sizer(t.HORIZONTAL);
    if (!buttons || !add_button(self, buttons.get(), t.m_button3, t.ID_ANY, t.refill_label, false) ||
        !add_button(self, buttons.get(), t.m_button4, t.ID_ANY, t.confirm_label, true) ||
        !add_button(self, buttons.get(), t.m_button5, t.ID_CANCEL, t.cancel_label, false) ||
        !add_item(column.get(), buttons.get(), n.zero, t.EXPAND)) {
        return false;
    }
    if (!call_method(self, t.SetSizer, column.get()) || !call_method(self, t.Layout) ||
        !call_method(column.get(), t.Fit, self)) {
        return false;
    }
    Ref both = wx_attr(t.BOTH);
    if (!both || !call_method(self, t.Centre, both.get())) {
        return false;
    }
    return bind(self, t.m_button3, t.OnRefill) && bind(self, t.m_button4, t.OnOK);
}

PyObject* init_body(PyObject* const* args) {
    if (!prepare_dialog_texts() || !build(args[0], args[1])) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// The instance is finalised; the toolkit window is not this method's
// business.
PyObject* del_body(PyObject* const*) { Py_RETURN_NONE; }

// event.Skip(): the click goes on to the toolkit's default handling.
PyObject* skip_body(PyObject* const* args) {
    if (!prepare_dialog_texts()) {
        return nullptr;
    }
    Ref skipped = call_method(args[1], texts().Skip);
    if (!skipped) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

const char* const init_parameters[] = {"self", "parent"};
const char* const self_parameter[] = {"self"};
const char* const handler_parameters[] = {"self", "event"};

}  // namespace

const FunctionSpec design_dialog_init = function_spec("__init__", init_parameters, init_body);
const FunctionSpec design_dialog_del = function_spec("__del__", self_parameter, del_body, Passing::PositionalOnly);
const FunctionSpec design_dialog_on_refill = function_spec("OnRefill", handler_parameters, skip_body);
const FunctionSpec design_dialog_on_ok = function_spec("OnOK", handler_parameters, skip_body);

}  // namespace tessavor::dialogs
