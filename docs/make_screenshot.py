"""Takes the picture of the filled-in station information dialog shown in
the README (docs/dialog.png), from the real window. Run under Xvfb from the
repository root, with the release build in build/:

    xvfb-run -a -s "-screen 0 800x600x24" /usr/bin/python3 docs/make_screenshot.py [OUTPUT]

The dialog's texts need a font with Chinese glyphs (Debian:
fonts-wqy-microhei). The picture is the dialog's window without a frame: no
window manager is needed, and the same build on the same fonts gives the
same picture, which tests/test_docs.py checks.
"""

import os
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "build"))

import wx  # noqa: E402

import m4r_tessavor  # noqa: E402

OUTPUT = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "docs", "dialog.png")


def capture(window):
    """The window's pixels, frame included, as drawn on the screen."""
    rect = window.GetScreenRect()
    bitmap = wx.Bitmap(rect.width, rect.height)
    memory = wx.MemoryDC(bitmap)
    memory.Blit(0, 0, rect.width, rect.height, wx.ScreenDC(), rect.x, rect.y)
    memory.SelectObject(wx.NullBitmap)
    return bitmap


def main():
    app = wx.App()
    os.chdir(tempfile.mkdtemp())
    dialog = m4r_tessavor.MESInfoDialog(None)
    dialog.mProductType.SetValue("TV-55X9")
    dialog.mMRNo.SetValue("MR2026120701")
    dialog.mOPName.SetValue("张三")
    dialog.mSlot.SetValue("F-07")
    dialog.Show()

    def shoot():
        dialog.Update()
        capture(dialog).SaveFile(OUTPUT, wx.BITMAP_TYPE_PNG)
        dialog.Destroy()
        app.ExitMainLoop()

    wx.CallLater(500, shoot)
    app.MainLoop()
    print("wrote", OUTPUT)


if __name__ == "__main__":
    main()
