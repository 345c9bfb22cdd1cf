"""Station toolkit for wx: message boxes shown to the operator."""

import wx


class _MessageBoxes:
    """Message boxes owned by the window the operator is working in."""

    CAPTION = "错误"

    def Error(self, text):
        """Shows `text` as an error message and waits for the operator."""
        box = wx.GenericMessageDialog(wx.GetActiveWindow(), text, self.CAPTION,
                                      wx.OK | wx.ICON_ERROR | wx.CENTRE)
        try:
            box.ShowModal()
        finally:
            box.Destroy()


MB = _MessageBoxes()
