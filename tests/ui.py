"""Driving the dialogs in tests, alike with the real wx (under Xvfb) and the
stand-in toolkit.

A modal run is scripted: `run_modal(dialog, step, ...)` shows the dialog
modally and runs the steps one after the other from its event loop, each
once the one before has returned. When the steps are done and the dialog
is still open, it is ended with STILL_OPEN, so a test can tell that no
button ended it. A message box that a step opens runs its own modal loop;
`MessageBoxes.expect()` closes it from there.
"""

import wx

from support import STANDIN_MODE

STILL_OPEN = 4242
WATCHDOG_MS = 15000


def click(button):
    """A click on the button: a button event sent to it, as a mouse click
    would send it. The event goes on to the dialog when no handler of the
    button takes it."""
    if STANDIN_MODE:
        button.Click()
        return
    event = wx.CommandEvent(wx.wxEVT_BUTTON, button.GetId())
    event.SetEventObject(button)
    button.GetEventHandler().ProcessEvent(event)


def message_boxes():
    """The message boxes open now."""
    return [w for w in wx.GetTopLevelWindows() if isinstance(w, wx.GenericMessageDialog)]


class MessageBoxes:
    """Records the error messages shown to the operator."""

    def __init__(self):
        self._shown = []
        self.owners = []
        if STANDIN_MODE:
            import m4r_wxtools
            m4r_wxtools.MB.shown.clear()

    @property
    def shown(self):
        if STANDIN_MODE:
            import m4r_wxtools
            return list(m4r_wxtools.MB.shown)
        return self._shown

    def expect(self):
        """A step before a click that opens a message box: the box is closed
        as soon as it is open, keeping its text. (The stand-in toolkit's
        boxes do not wait for the operator.)"""
        if STANDIN_MODE:
            return
        deadline = [200]

        def poll():
            for box in message_boxes():
                if box.IsModal():
                    self._shown.append(box.GetMessage())
                    self.owners.append(box.GetParent())
                    box.EndModal(wx.ID_OK)
                    return
            deadline[0] -= 1
            if deadline[0] > 0:
                wx.CallLater(20, poll)

        wx.CallLater(20, poll)


def run_modal(dialog, *steps):
    """Shows the dialog modally, runs the steps, and returns the code its
    modal run ended with. An exception of a step is raised again after the
    dialog has ended."""
    def finish():
        if dialog.IsModal():
            dialog.EndModal(STILL_OPEN)

    queue = list(steps) + [finish]
    failures = []

    def next_step():
        step = queue.pop(0)
        try:
            step()
        except BaseException as error:  # raised again once the dialog has ended
            failures.append(error)
            queue[:] = [finish]
        if queue:
            wx.CallAfter(next_step)

    wx.CallAfter(next_step)
    watchdog = None
    if not STANDIN_MODE:
        def give_up():
            for window in wx.GetTopLevelWindows():
                if isinstance(window, wx.Dialog) and window.IsModal():
                    window.EndModal(wx.ID_ABORT)
        watchdog = wx.CallLater(WATCHDOG_MS, give_up)
    try:
        code = dialog.ShowModal()
    finally:
        if watchdog is not None:
            watchdog.Stop()
    if failures:
        raise failures[0]
    return code


def fields(dialog):
    """The four entries, in the order of the grid."""
    return (dialog.mProductType.GetValue(), dialog.mMRNo.GetValue(), dialog.mOPName.GetValue(),
            dialog.mSlot.GetValue())


def fill(dialog, product_type, mrno, opname, slot):
    dialog.mProductType.SetValue(product_type)
    dialog.mMRNo.SetValue(mrno)
    dialog.mOPName.SetValue(opname)
    dialog.mSlot.SetValue(slot)


def info_values(info):
    return (info.ProductType, info.MRNo, info.OPName, info.Slot)
