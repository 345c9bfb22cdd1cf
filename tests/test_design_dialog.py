"""The designed fill-in dialog "信息填充": its window, its controls and
sizers, and what its buttons do when no subclass gives them a meaning."""

import pytest
import wx

import ui

LABELS = ["产品型号：", "工单号码(MR#)：", "测试员（姓名）：", "治具编号："]
LABEL_ATTRIBUTES = ["m_staticText7", "m_staticText8", "m_staticText10", "m_staticText11"]
FIELD_ATTRIBUTES = ["mProductType", "mMRNo", "mOPName", "mSlot"]
BUTTONS = [("m_button3", "重填"), ("m_button4", "确定"), ("m_button5", "取消")]


def test_texts_are_exact():
    assert [len(label) for label in LABELS] == [5, 10, 8, 5]
    assert LABELS[1].encode("utf-8") == b"\xe5\xb7\xa5\xe5\x8d\x95\xe5\x8f\xb7\xe7\xa0\x81(MR#)\xef\xbc\x9a"
    assert "\uff08" in LABELS[2] and "\uff09" in LABELS[2]
    assert all(label.endswith("\uff1a") for label in LABELS)


class TestWindow:
    def test_title_controls_and_empty_fields(self, tv, make_dialog):
        dialog = make_dialog(tv.UIDesignOtherInfoDialog, None)
        assert dialog.GetTitle() == "信息填充"
        assert [getattr(dialog, name).GetLabel() for name in LABEL_ATTRIBUTES] == LABELS
        assert ui.fields(dialog) == ("", "", "", "")
        assert [getattr(dialog, name).GetLabel() for name, _ in BUTTONS] == [label for _, label in BUTTONS]
        assert dialog.m_button5.GetId() == wx.ID_CANCEL
        for name in ("m_button3", "m_button4"):
            assert getattr(dialog, name).GetId() not in (wx.ID_OK, wx.ID_CANCEL)
        assert dialog.GetDefaultItem() is dialog.m_button4
        for name in LABEL_ATTRIBUTES + FIELD_ATTRIBUTES + [b for b, _ in BUTTONS]:
            assert getattr(dialog, name).GetParent() is dialog

    def test_the_instance_holds_exactly_the_controls(self, tv, make_dialog):
        dialog = make_dialog(tv.UIDesignOtherInfoDialog, None)
        own = [name for name in vars(dialog) if not name.startswith("_")]
        if ui.STANDIN_MODE:
            own = [name for name in own if name in set(LABEL_ATTRIBUTES + FIELD_ATTRIBUTES) | {b for b, _ in BUTTONS}]
        expected = []
        for label, field in zip(LABEL_ATTRIBUTES, FIELD_ATTRIBUTES):
            expected += [label, field]
        assert own == expected + [b for b, _ in BUTTONS]

    def test_parent_by_keyword_builds_the_same_dialog(self, tv, make_dialog):
        dialog = make_dialog(tv.UIDesignOtherInfoDialog, parent=None)
        assert dialog.GetTitle() == "信息填充"
        assert dialog.GetDefaultItem() is dialog.m_button4

    def test_a_parent_window_is_passed_on(self, tv, make_dialog):
        parent = make_dialog(tv.UIDesignOtherInfoDialog, None)
        child = make_dialog(tv.UIDesignOtherInfoDialog, parent)
        assert child.GetParent() is parent

    @pytest.mark.parametrize("args, kwargs", [((), {}), ((None, None), {}), ((), {"window": None})])
    def test_a_wrong_call_builds_nothing(self, tv, wx_app, args, kwargs):
        before = len(wx.GetTopLevelWindows())
        with pytest.raises(TypeError):
            tv.UIDesignOtherInfoDialog(*args, **kwargs)
        assert len(wx.GetTopLevelWindows()) == before


@pytest.mark.real_only
class TestRealLayout:
    """The window as the real toolkit laid it out."""

    def test_grid(self, tv, make_dialog):
        dialog = make_dialog(tv.UIDesignOtherInfoDialog, None)
        column = dialog.GetSizer()
        assert isinstance(column, wx.BoxSizer) and column.GetOrientation() == wx.VERTICAL
        grid_item, buttons_item = column.GetChildren()
        assert (grid_item.GetProportion(), grid_item.GetFlag(), grid_item.GetBorder()) == (1, wx.EXPAND, 5)
        assert (buttons_item.GetProportion(), buttons_item.GetFlag(), buttons_item.GetBorder()) == (0, wx.EXPAND, 5)
        grid = grid_item.GetSizer()
        assert isinstance(grid, wx.FlexGridSizer)
        assert (grid.GetRows(), grid.GetCols(), grid.GetVGap(), grid.GetHGap()) == (0, 2, 0, 0)
        assert grid.IsColGrowable(1) and not grid.IsColGrowable(0)
        assert not any(grid.IsRowGrowable(row) for row in range(4))
        assert grid.GetFlexibleDirection() == wx.BOTH
        assert grid.GetNonFlexibleGrowMode() == wx.FLEX_GROWMODE_SPECIFIED
        items = grid.GetChildren()
        assert len(items) == 8
        for row, (label, field) in enumerate(zip(LABEL_ATTRIBUTES, FIELD_ATTRIBUTES)):
            label_item, field_item = items[2 * row], items[2 * row + 1]
            assert label_item.GetWindow() is getattr(dialog, label)
            assert field_item.GetWindow() is getattr(dialog, field)
            assert isinstance(field_item.GetWindow(), wx.TextCtrl)
            assert (label_item.GetProportion(), label_item.GetFlag(), label_item.GetBorder()) == (0, wx.ALL, 5)
            assert (field_item.GetProportion(), field_item.GetFlag(), field_item.GetBorder()) == (
                0, wx.ALL | wx.EXPAND, 5)

    def test_button_row(self, tv, make_dialog):
        dialog = make_dialog(tv.UIDesignOtherInfoDialog, None)
        row = dialog.GetSizer().GetChildren()[1].GetSizer()
        assert isinstance(row, wx.BoxSizer) and row.GetOrientation() == wx.HORIZONTAL
        items = row.GetChildren()
        assert [item.GetWindow() for item in items] == [getattr(dialog, name) for name, _ in BUTTONS]
        assert all((i.GetProportion(), i.GetFlag(), i.GetBorder()) == (0, wx.ALL, 5) for i in items)

    def test_fitted_centred_and_not_shown(self, tv, make_dialog):
        dialog = make_dialog(tv.UIDesignOtherInfoDialog, None)
        assert not dialog.IsShown()
        assert dialog.GetSize() == dialog.GetSizer().ComputeFittingWindowSize(dialog)
        screen = wx.Display(0).GetClientArea()
        rect = dialog.GetRect()
        assert abs(rect.x + rect.width / 2 - (screen.x + screen.width / 2)) <= 1
        assert abs(rect.y + rect.height / 2 - (screen.y + screen.height / 2)) <= 1
        assert dialog.GetWindowStyle() & wx.DEFAULT_DIALOG_STYLE == wx.DEFAULT_DIALOG_STYLE


@pytest.mark.standin_only
class TestConstructionCalls:
    """Every toolkit call of the construction, in order, with its arguments."""

    def expected(self, dialog, calls):
        sizers = {method: receiver for receiver, method, _, _ in calls if method in ("FlexGridSizer",)}
        boxes = [receiver for receiver, method, _, _ in calls if method == "BoxSizer"]
        column, buttons, grid = boxes[0], boxes[1], sizers["FlexGridSizer"]
        standard = (wx.DefaultPosition, wx.DefaultSize, 0)
        expected = [
            (dialog, "Dialog.__init__", (None,), dict(id=wx.ID_ANY, title="信息填充", pos=wx.DefaultPosition,
                                                      size=wx.DefaultSize, style=wx.DEFAULT_DIALOG_STYLE)),
            (dialog, "SetSizeHintsSz", (wx.DefaultSize, wx.DefaultSize), {}),
            (column, "BoxSizer", (wx.VERTICAL,), {}),
            (grid, "FlexGridSizer", (0, 2, 0, 0), {}),
            (grid, "AddGrowableCol", (1,), {}),
            (grid, "SetFlexibleDirection", (wx.BOTH,), {}),
            (grid, "SetNonFlexibleGrowMode", (wx.FLEX_GROWMODE_SPECIFIED,), {}),
        ]
        for text, label_name, field_name in zip(LABELS, LABEL_ATTRIBUTES, FIELD_ATTRIBUTES):
            label, field = getattr(dialog, label_name), getattr(dialog, field_name)
            expected += [
                (label, "StaticText", (dialog, wx.ID_ANY, text) + standard, {}),
                (label, "Wrap", (-1,), {}),
                (grid, "Add", (label, 0, wx.ALL, 5), {}),
                (field, "TextCtrl", (dialog, wx.ID_ANY, wx.EmptyString) + standard, {}),
                (grid, "Add", (field, 0, wx.ALL | wx.EXPAND, 5), {}),
            ]
        expected += [(column, "Add", (grid, 1, wx.EXPAND, 5), {}), (buttons, "BoxSizer", (wx.HORIZONTAL,), {})]
        for (name, text), ident in zip(BUTTONS, (wx.ID_ANY, wx.ID_ANY, wx.ID_CANCEL)):
            button = getattr(dialog, name)
            expected.append((button, "Button", (dialog, ident, text) + standard, {}))
            if name == "m_button4":
                expected.append((button, "SetDefault", (), {}))
            expected.append((buttons, "Add", (button, 0, wx.ALL, 5), {}))
        expected += [
            (column, "Add", (buttons, 0, wx.EXPAND, 5), {}),
            (dialog, "SetSizer", (column,), {}),
            (dialog, "Layout", (), {}),
            (column, "Fit", (dialog,), {}),
            (dialog, "Centre", (wx.BOTH,), {}),
            (dialog.m_button3, "Bind", (wx.EVT_BUTTON, dialog.OnRefill), {}),
            (dialog.m_button4, "Bind", (wx.EVT_BUTTON, dialog.OnOK), {}),
        ]
        return expected

    def test_call_order_and_arguments(self, tv, make_dialog):
        wx.reset()
        dialog = make_dialog(tv.UIDesignOtherInfoDialog, None)
        calls = list(wx.calls)
        expected = self.expected(dialog, calls)
        assert len(calls) == len(expected)
        for got, want in zip(calls, expected):
            assert got[0] is want[0], (got, want)
            assert got[1:] == want[1:]
            assert [type(a) for a in got[2]] == [type(a) for a in want[2]]

    def test_old_toolkits_size_hint_name_is_used_when_present(self, tv, make_dialog, monkeypatch):
        wx.reset()
        make_dialog(tv.UIDesignOtherInfoDialog, None)
        assert [c[1] for c in wx.calls].count("SetSizeHintsSz") == 1
        assert [c[1] for c in wx.calls].count("SetSizeHints") == 0

    def test_newer_toolkits_without_the_old_name_get_set_size_hints(self, tv, make_dialog, monkeypatch):
        monkeypatch.delattr(wx.Dialog, "SetSizeHintsSz")
        wx.reset()
        dialog = make_dialog(tv.UIDesignOtherInfoDialog, None)
        assert [c for c in wx.calls if c[1].startswith("SetSizeHints")] == [
            (dialog, "SetSizeHints", (wx.DefaultSize, wx.DefaultSize), {})]

    def test_a_failing_toolkit_call_stops_the_construction_where_it_is(self, tv, wx_app, monkeypatch):
        def broken(self, *args):
            raise RuntimeError("no layout")

        monkeypatch.setattr(wx.Dialog, "Layout", broken)
        wx.reset()
        with pytest.raises(RuntimeError, match="no layout"):
            tv.UIDesignOtherInfoDialog(None)
        methods = [c[1] for c in wx.calls]
        assert methods[-1] == "SetSizer"
        assert "Fit" not in methods and "Bind" not in methods

    def test_toolkit_names_are_read_from_the_module_when_used(self, tv, make_dialog, monkeypatch):
        class Other:
            def __getattr__(self, name):
                return getattr(wx, name)

            ID_CANCEL = 777

        monkeypatch.setattr(tv, "wx", Other())
        dialog = make_dialog(tv.UIDesignOtherInfoDialog, None)
        assert dialog.m_button5.GetId() == 777


class TestClicks:
    def test_refill_and_confirm_leave_the_designed_dialog_open_and_unchanged(self, tv, make_dialog):
        dialog = make_dialog(tv.UIDesignOtherInfoDialog, None)
        ui.fill(dialog, "P", "M", "O", "S")
        code = ui.run_modal(dialog, lambda: ui.click(dialog.m_button3), lambda: ui.click(dialog.m_button4))
        assert code == ui.STILL_OPEN
        assert ui.fields(dialog) == ("P", "M", "O", "S")

    def test_cancel_ends_the_dialog(self, tv, make_dialog):
        dialog = make_dialog(tv.UIDesignOtherInfoDialog, None)
        assert ui.run_modal(dialog, lambda: ui.click(dialog.m_button5)) == wx.ID_CANCEL

    def test_a_subclass_handler_gets_the_clicks(self, tv, make_dialog):
        clicks = []

        class Confirming(tv.UIDesignOtherInfoDialog):
            def OnOK(self, event):
                clicks.append(event.GetEventObject())
                self.EndModal(wx.ID_OK)

        dialog = make_dialog(Confirming, None)
        assert ui.run_modal(dialog, lambda: ui.click(dialog.m_button4)) == wx.ID_OK
        assert clicks == [dialog.m_button4]

    def test_a_subclass_without_handlers_behaves_like_the_designed_dialog(self, tv, make_dialog):
        class Plain(tv.UIDesignOtherInfoDialog):
            pass

        dialog = make_dialog(Plain, None)
        assert ui.run_modal(dialog, lambda: ui.click(dialog.m_button4)) == ui.STILL_OPEN
        assert ui.run_modal(dialog, lambda: ui.click(dialog.m_button5)) == wx.ID_CANCEL

    def test_handlers_are_bound_at_construction(self, tv, make_dialog):
        dialog = make_dialog(tv.UIDesignOtherInfoDialog, None)
        dialog.OnOK = lambda event: dialog.EndModal(wx.ID_OK)
        assert ui.run_modal(dialog, lambda: ui.click(dialog.m_button4)) == ui.STILL_OPEN


class TestHandlers:
    def test_handlers_pass_the_click_on(self, tv, make_dialog):
        dialog = make_dialog(tv.UIDesignOtherInfoDialog, None)

        class Event:
            skipped = 0

            def Skip(self):
                Event.skipped += 1

        assert dialog.OnRefill(Event()) is None
        assert dialog.OnOK(event=Event()) is None
        assert Event.skipped == 2

    def test_an_event_without_skip_raises_attribute_error(self, tv, make_dialog):
        dialog = make_dialog(tv.UIDesignOtherInfoDialog, None)
        for handler in (dialog.OnOK, dialog.OnRefill):
            with pytest.raises(AttributeError, match="Skip"):
                handler(object())

    def test_del_does_nothing(self, tv, make_dialog):
        dialog = make_dialog(tv.UIDesignOtherInfoDialog, None)
        assert dialog.__del__() is None
        assert dialog.GetTitle() == "信息填充"
        with pytest.raises(TypeError):
            dialog.__del__(1)
