"""The MES information dialog: the operator sees, clears, fills in and
confirms the station information; the test program saves it."""

import os

import pytest
import wx

import ui
from support import FILE_ENCODING, OPERATOR, OTHER_OPERATOR

REQUIRED = "测试员名字不能为空！"
VALUES = ("P-100", "MR-7", OPERATOR, "F2")
STORED = "[Sec]\nproducttype = %s\nmrno = %s\nopname = %s\nslot = %s\n" % VALUES


def write_info(text=STORED):
    with open("info.cfg", "w", encoding=FILE_ENCODING) as f:
        f.write(text)


def read_info():
    with open("info.cfg", encoding=FILE_ENCODING) as f:
        return f.read()


@pytest.fixture
def boxes():
    return ui.MessageBoxes()


class TestOpening:
    def test_without_info_cfg_the_fields_are_empty(self, tv, make_dialog):
        dialog = make_dialog(tv.MESInfoDialog, None)
        assert ui.fields(dialog) == ("", "", "", "")
        assert isinstance(dialog.OtherInfo, tv.MESInfo)
        assert not os.path.exists("info.cfg")

    def test_the_fields_show_the_stored_values(self, tv, make_dialog):
        write_info()
        dialog = make_dialog(tv.MESInfoDialog, parent=None)
        assert ui.fields(dialog) == VALUES
        assert ui.info_values(dialog.OtherInfo) == VALUES
        assert dialog.GetTitle() == "信息填充"

    def test_construction_builds_then_reads_then_fills_through_on_refill(self, tv, make_dialog, monkeypatch):
        write_info()
        order = []
        real_info = tv.MESInfo

        def info():
            order.append(("MESInfo", hasattr(dialog_holder[0], "mSlot")))
            return real_info()

        class Watching(tv.MESInfoDialog):
            def __init__(self, parent):
                dialog_holder.append(self)
                super().__init__(parent)

            def OnRefill(self, event):
                order.append(("OnRefill", event, self.OtherInfo.OPName))
                return super().OnRefill(event)

        dialog_holder = []
        monkeypatch.setattr(tv, "MESInfo", info)
        dialog = make_dialog(Watching, None)
        assert order == [("MESInfo", True), ("OnRefill", None, OPERATOR)]
        assert ui.fields(dialog) == VALUES

    def test_an_unreadable_file_fails_the_construction(self, tv, wx_app, in_tmp):
        write_info("opname = no section\n")
        import configparser
        with pytest.raises(configparser.MissingSectionHeaderError):
            tv.MESInfoDialog(None)

    def test_values_that_are_no_text_fail_the_fill(self, tv, make_dialog, monkeypatch):
        class Numbers:
            ProductType, MRNo, OPName, Slot = 1, 2, 3, 4

        monkeypatch.setattr(tv, "MESInfo", Numbers)
        with pytest.raises(TypeError):
            make_dialog(tv.MESInfoDialog, None)


class TestRefill:
    def test_refill_empties_the_fields_and_keeps_other_info(self, tv, make_dialog):
        write_info()
        dialog = make_dialog(tv.MESInfoDialog, None)
        code = ui.run_modal(dialog, lambda: ui.click(dialog.m_button3))
        assert code == ui.STILL_OPEN
        assert ui.fields(dialog) == ("", "", "", "")
        assert ui.info_values(dialog.OtherInfo) == VALUES

    def test_refill_with_none_fills_from_other_info(self, tv, make_dialog):
        dialog = make_dialog(tv.MESInfoDialog, None)
        dialog.OtherInfo.ProductType, dialog.OtherInfo.MRNo = "new P", "new M"
        dialog.OtherInfo.OPName, dialog.OtherInfo.Slot = "new O", "new S"
        assert dialog.OnRefill(None) is None
        assert ui.fields(dialog) == ("new P", "new M", "new O", "new S")

    @pytest.mark.parametrize("event, empties", [(0, False), ("", False), (1, True), (object(), True)])
    def test_the_event_is_taken_by_its_truth(self, tv, make_dialog, event, empties):
        write_info()
        dialog = make_dialog(tv.MESInfoDialog, None)
        ui.fill(dialog, "a", "b", "c", "d")
        dialog.OnRefill(event=event)
        assert ui.fields(dialog) == (("", "", "", "") if empties else VALUES)

    def test_refill_then_cancel_keeps_other_info_and_the_file(self, tv, make_dialog):
        write_info()
        dialog = make_dialog(tv.MESInfoDialog, None)
        code = ui.run_modal(dialog, lambda: ui.click(dialog.m_button3), lambda: ui.click(dialog.m_button5))
        assert code == wx.ID_CANCEL
        assert ui.info_values(dialog.OtherInfo) == VALUES
        assert read_info() == STORED


class TestConfirm:
    def test_confirm_trims_the_entries_into_other_info_and_ends_with_ok(self, tv, make_dialog):
        dialog = make_dialog(tv.MESInfoDialog, None)

        def type_and_confirm():
            ui.fill(dialog, "  P 200 ", "\tMR 8\n", " 李 四 ", " ")
            ui.click(dialog.m_button4)

        assert ui.run_modal(dialog, type_and_confirm) == wx.ID_OK
        assert ui.info_values(dialog.OtherInfo) == ("P 200", "MR 8", "李 四", "")
        assert not os.path.exists("info.cfg"), "the dialog never writes the file"

    def test_the_file_changes_only_when_the_caller_saves(self, tv, make_dialog):
        write_info()
        dialog = make_dialog(tv.MESInfoDialog, None)

        def confirm():
            dialog.mOPName.SetValue(OTHER_OPERATOR)
            ui.click(dialog.m_button4)

        assert ui.run_modal(dialog, confirm) == wx.ID_OK
        assert read_info() == STORED
        dialog.OtherInfo.Save()
        again = tv.MESInfo()
        assert ui.info_values(again) == ("P-100", "MR-7", OTHER_OPERATOR, "F2")

    @pytest.mark.parametrize("name", ["", "   ", "\t \n"])
    def test_an_empty_operator_name_is_refused_and_the_dialog_stays(self, tv, make_dialog, boxes, name):
        write_info()
        dialog = make_dialog(tv.MESInfoDialog, None)

        def confirm():
            ui.fill(dialog, "X", "Y", name, "Z")
            ui.click(dialog.m_button4)

        code = ui.run_modal(dialog, boxes.expect, confirm)
        assert code == ui.STILL_OPEN
        assert boxes.shown == [REQUIRED]
        assert ui.info_values(dialog.OtherInfo) == VALUES
        assert ui.fields(dialog) == ("X", "Y", name, "Z")

    def test_refill_then_confirm_without_a_name_is_refused(self, tv, make_dialog, boxes):
        write_info()
        dialog = make_dialog(tv.MESInfoDialog, None)
        code = ui.run_modal(dialog, lambda: ui.click(dialog.m_button3), boxes.expect,
                            lambda: ui.click(dialog.m_button4))
        assert code == ui.STILL_OPEN
        assert boxes.shown == [REQUIRED]

    def test_a_refused_confirm_then_a_valid_one(self, tv, make_dialog, boxes):
        dialog = make_dialog(tv.MESInfoDialog, None)

        def retry():
            dialog.mOPName.SetValue("赵六")
            ui.click(dialog.m_button4)

        code = ui.run_modal(dialog, boxes.expect, lambda: ui.click(dialog.m_button4), retry)
        assert code == wx.ID_OK
        assert boxes.shown == [REQUIRED]
        assert dialog.OtherInfo.OPName == "赵六"

    def test_only_the_operator_name_is_read_before_the_check(self, tv, make_dialog, monkeypatch):
        shown = []
        monkeypatch.setattr(tv, "_MB", type("MB", (), {"Error": staticmethod(shown.append)}))
        dialog = make_dialog(tv.MESInfoDialog, None)
        read = []

        class Field:
            def __init__(self, name):
                self.name, self.value = name, ""

            def GetValue(self):
                read.append(self.name)
                return self.value

            def SetValue(self, value):
                self.value = value

        for name in ("mProductType", "mMRNo", "mOPName", "mSlot"):
            setattr(dialog, name, Field(name))
        assert dialog.OnOK(None) is None
        assert shown == [REQUIRED]
        assert read == ["mOPName"]
        read.clear()
        dialog.mOPName.SetValue("x")
        monkeypatch.setattr(dialog, "EndModal", lambda code: read.append(("EndModal", code)))
        dialog.OnOK(None)
        assert read == ["mOPName", "mProductType", "mMRNo", "mSlot", ("EndModal", wx.ID_OK)]

    def test_an_error_of_the_message_box_leaves_the_dialog_open(self, tv, make_dialog, monkeypatch):
        class Broken:
            @staticmethod
            def Error(text):
                raise RuntimeError("no message box")

        monkeypatch.setattr(tv, "_MB", Broken)
        dialog = make_dialog(tv.MESInfoDialog, None)
        with pytest.raises(RuntimeError, match="no message box"):
            dialog.OnOK(None)
        assert dialog.OtherInfo.OPName == ""

    def test_cancel_keeps_other_info_as_read(self, tv, make_dialog):
        write_info()
        dialog = make_dialog(tv.MESInfoDialog, None)

        def type_then_cancel():
            ui.fill(dialog, "a", "b", "c", "d")
            ui.click(dialog.m_button5)

        assert ui.run_modal(dialog, type_then_cancel) == wx.ID_CANCEL
        assert ui.info_values(dialog.OtherInfo) == VALUES


@pytest.mark.real_only
def test_the_message_box_is_owned_by_the_dialog(tv, make_dialog, boxes):
    dialog = make_dialog(tv.MESInfoDialog, None)
    ui.run_modal(dialog, boxes.expect, lambda: ui.click(dialog.m_button4))
    assert boxes.shown == [REQUIRED]
    assert boxes.owners == [dialog]
    assert ui.message_boxes() == [] or all(not box.IsShown() for box in ui.message_boxes())


def test_dialogs_made_and_destroyed_many_times(tv, make_dialog):
    write_info()
    for _ in range(50):
        dialog = tv.MESInfoDialog(None)
        assert ui.fields(dialog) == VALUES
        dialog.Destroy()
    if not ui.STANDIN_MODE:
        wx.GetApp().ProcessPendingEvents()
        assert [w for w in wx.GetTopLevelWindows() if isinstance(w, tv.MESInfoDialog) and w.IsShown()] == []
