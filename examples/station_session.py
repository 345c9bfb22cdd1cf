"""A test station's session with the MES, as a station program runs it.

    /usr/bin/python3 examples/station_session.py --server 127.0.0.1:1433 [options]

1. Station information (product type, work order, operator, fixture). With a
   display (DISPLAY set) the operator sees it in the dialog "信息填充" and
   confirms it; it is then saved to info.cfg in the working folder. Without
   a display, or with --no-dialog, it is read from info.cfg there, and the
   options --product-type, --mrno, --opname and --slot replace what they
   name (and are saved).
2. May the unit be tested here? (GetUnitInfo)
3. The test itself (stood in for by --verdict and --error-no), then the
   upload of its verdict (SaveResult).
4. The same question again: the MES has moved the unit on.
5. A unit the MES refuses (--refused-serial).

What the station sees is printed at each step, and a summary at the end: each
step, the answer it was expected to get and the one it got. --auto-confirm
fills the dialog with the options' values (demo values for those not given)
and confirms it by itself after a moment, so that the dialog path runs
unattended (on a virtual display: see scripts/main.sh --xvfb).

Exit status:
  0  every step answered as expected
  1  the operator cancelled the dialog, or no operator name was given
  2  the command line was wrong
  3  a step's answer was not the expected one (the MES refused the unit
     under test, say, or accepted the unit it should refuse)
  4  the MES could not be reached or answered with an SQL error
  5  an answer the station cannot read
  6  DISPLAY is set but no display can be opened there
"""

import argparse
import os
import sys
import tempfile
import warnings

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

DEMO = {"ProductType": "M4R-100", "MRNo": "MR-2024-0815", "OPName": "张三", "Slot": "F1"}
AUTO_CONFIRM_MS = 1500
FIELDS = [("ProductType", "product type"), ("MRNo", "work order"), ("OPName", "operator"),
          ("Slot", "fixture")]


def parse(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n", 1)[1],
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--server", required=True, help="the MES database server, HOST:PORT")
    p.add_argument("--user", default="mes", help="the MES login (default: %(default)s)")
    p.add_argument("--password", default="mes", help="its password (default: %(default)s)")
    p.add_argument("--database", default="MES", help="the MES database (default: %(default)s)")
    p.add_argument("--workdir", default=os.path.join(tempfile.gettempdir(), "m4r-station"),
                   help="the station's working folder, which holds info.cfg (default: %(default)s)")
    p.add_argument("--build", default=os.environ.get("TESSAVOR_BUILD", os.path.join(ROOT, "build")),
                   help="folder of the built module (default: $TESSAVOR_BUILD or build/)")
    dialog = p.add_mutually_exclusive_group()
    dialog.add_argument("--no-dialog", action="store_true",
                        help="take the station information from info.cfg and the options")
    dialog.add_argument("--auto-confirm", action="store_true",
                        help="fill the dialog with demo values and confirm it after a moment")
    p.add_argument("--product-type", help="the product type to fill in or save")
    p.add_argument("--mrno", help="the work order number to fill in or save")
    p.add_argument("--opname", help="the operator, sent to the MES as the employee")
    p.add_argument("--slot", help="the fixture number to fill in or save")
    p.add_argument("--serial", default="SN0001", help="the unit to test (default: %(default)s)")
    p.add_argument("--procedure", default="FT1", help="this station's procedure (default: %(default)s)")
    p.add_argument("--line", default="一线", help="the production line (default: %(default)s)")
    p.add_argument("--verdict", choices=["PASS", "FAIL"], default="PASS", help="the test's outcome")
    p.add_argument("--error-no", default="0", help="the test's error number (default: %(default)s)")
    p.add_argument("--refused-serial", default="SN0005",
                   help="a unit the MES refuses, shown last (default: %(default)s, on hold)")
    args = p.parse_args(argv)
    args.error_no = int(args.error_no) if args.error_no.lstrip("-").isdigit() else args.error_no
    args.options = {"ProductType": args.product_type, "MRNo": args.mrno, "OPName": args.opname,
                    "Slot": args.slot}
    args.dialog = bool(os.environ.get("DISPLAY")) and not args.no_dialog
    return args


def say(text=""):
    print(text, flush=True)


def show_info(info):
    for attribute, label in FIELDS:
        say("   %-13s %s" % (label, getattr(info, attribute) or "(empty)"))


# ---------------------------------------------------------------- station information

def info_from_dialog(tv, args):
    """The dialog, as the operator sees it; the information once confirmed, or None."""
    import wx
    dialog = tv.MESInfoDialog(None)
    try:
        if args.auto_confirm:
            values = {k: v or DEMO[k] for k, v in args.options.items()}
            wx.CallLater(AUTO_CONFIRM_MS, confirm_dialog, dialog, values)
            say("   (--auto-confirm: the dialog fills itself in and confirms in %.1f s)"
                % (AUTO_CONFIRM_MS / 1000))
        else:
            say("   waiting for the operator: fill in the dialog and press 确定")
        if dialog.ShowModal() != wx.ID_OK:
            return None
        info = dialog.OtherInfo
        info.Save()
        return info
    finally:
        dialog.Destroy()


def confirm_dialog(dialog, values):
    """What an operator does: type the four entries, press 确定."""
    import wx
    dialog.mProductType.SetValue(values["ProductType"])
    dialog.mMRNo.SetValue(values["MRNo"])
    dialog.mOPName.SetValue(values["OPName"])
    dialog.mSlot.SetValue(values["Slot"])
    button = dialog.m_button4
    event = wx.CommandEvent(wx.wxEVT_BUTTON, button.GetId())
    event.SetEventObject(button)
    button.GetEventHandler().ProcessEvent(event)


def info_from_file(tv, args):
    """info.cfg of the working folder, with the options given in place of its values."""
    info = tv.MESInfo()
    given = {k: v for k, v in args.options.items() if v is not None}
    for attribute, value in given.items():
        setattr(info, attribute, value)
    if given:
        info.Save()
    return info


def error_box(text, auto_close):
    """The station's error message box; under --auto-confirm it closes itself."""
    import wx
    import m4r_wxtools

    def close_box():
        for window in wx.GetTopLevelWindows():
            if isinstance(window, wx.GenericMessageDialog) and window.IsModal():
                window.EndModal(wx.ID_OK)
                return
        wx.CallLater(100, close_box)

    say("   error box shown to the operator: %s" % text)
    if auto_close:
        wx.CallLater(AUTO_CONFIRM_MS, close_box)
    m4r_wxtools.MB.Error(text)


# ---------------------------------------------------------------- the session

OK, CANCELLED, USAGE, UNEXPECTED, MES_FAILED, UNREADABLE, NO_DISPLAY = 0, 1, 2, 3, 4, 5, 6

CONTRACT_NOTE = ("   (GetUnitInfo and SaveResult both print their answer row as \"TVR MES GetUnitInfo: <row>\":\n"
                 "    that line is the module's contract, which station logs read, not a slip)")


class Step:
    """One MES call of the session: what it asks, what it should get, what it got."""

    def __init__(self, number, call, expected):
        self.number, self.call, self.expected = number, call, expected
        self.code = self.message = None
        self.got = "not run"

    @property
    def as_expected(self):
        """A step that did not run was not answered wrongly: an earlier one stopped the session."""
        return self.got in (self.expected, "not run")


def open_display():
    """The toolkit's application, or None when DISPLAY names no display that opens."""
    import wx
    try:
        return wx.App()
    except SystemExit:  # wx's answer to a display it cannot open
        return None


def summary(steps):
    say()
    say("== summary")
    rows = [("step", "call", "expected", "got", "")]
    for step in steps:
        got = step.got if step.code is None else "%s (%d)" % (step.got, step.code)
        rows.append(("%d" % step.number, step.call, step.expected, got,
                     "" if step.as_expected else "<- not as expected"))
    widths = [max(len(row[i]) for row in rows) for i in range(4)]
    for row in rows:
        say(("   %-*s  %-*s  %-*s  %-*s  %s" % (widths[0], row[0], widths[1], row[1], widths[2], row[2],
                                               widths[3], row[3], row[4])).rstrip())


def main(argv=None):
    args = parse(argv)
    sys.path.insert(0, os.path.abspath(args.build))
    import m4r_tessavor as tv
    # After the import, which imports wx: wx sets its own warning filter.
    # MESInfo names the file parser by its old name where the interpreter
    # still has it; the dialog sets its size hints by the toolkit's older
    # name where it has it.
    warnings.filterwarnings("ignore", "The SafeConfigParser class has been renamed", DeprecationWarning)
    warnings.filterwarnings("ignore", "Call to deprecated item. Use SetSizeHints instead.")

    os.makedirs(args.workdir, exist_ok=True)
    os.chdir(args.workdir)
    login = (args.server, args.user, args.password, args.database)
    say("station session: MES %s, database %s, working folder %s" % (args.server, args.database, os.getcwd()))

    say()
    app = None  # the toolkit's application, kept for the message boxes
    first = Step(1, "station information", "confirmed" if args.dialog else "read")
    steps = [first]
    if args.dialog:
        say("== 1. station information: dialog 信息填充")
        app = open_display()
        if app is None:
            say("   DISPLAY is set to %r, but no display can be opened there: start the X server, unset"
                % os.environ.get("DISPLAY"))
            say("   DISPLAY (the information then comes from info.cfg and the options), or run")
            say("   bash scripts/main.sh --xvfb (a virtual display of its own)")
            first.got = "no display"
            summary(steps)
            return NO_DISPLAY
        info = info_from_dialog(tv, args)
        if info is None:
            say("   the operator cancelled: no test without station information")
            first.got = "cancelled"
            summary(steps)
            return CANCELLED
        say("   confirmed, saved to %s:" % os.path.abspath("info.cfg"))
    else:
        why = "--no-dialog" if args.no_dialog else "no display"
        say("== 1. station information: info.cfg and options (%s)" % why)
        info = info_from_file(tv, args)
    show_info(info)
    if not info.OPName:
        say("   no operator name: the MES needs one (--opname, or opname in info.cfg)")
        first.got = "no operator"
        summary(steps)
        return CANCELLED
    first.got = first.expected

    def query(serial):
        return "GetUnitInfo %s at %s" % (serial, args.procedure)

    # What each step should get from the demo data: the unit under test is
    # accepted and its result saved; after a PASS the MES has moved it on
    # (refused at this procedure), after a FAIL it is due here again for a
    # retest, unless that FAIL sent it to repair; the other unit is refused.
    steps += [Step(2, query(args.serial), "accepted"),
              Step(3, "SaveResult %s %s" % (args.serial, args.verdict), "saved"),
              Step(4, query(args.serial), "refused" if args.verdict == "PASS" else "accepted"),
              Step(5, query(args.refused_serial), "refused")]

    def record(step, answer):
        """The answer of a step's call; a call that raises leaves the step at "no answer"."""
        step.code, step.message = answer
        if step.number == 3:
            step.got = "saved" if step.code == 0 else "refused"
        else:
            step.got = "accepted" if step.code == 0 else "refused"
        if step.got == step.expected:
            verdict = "refused, as scripted" if step.got == "refused" else step.got
        else:
            verdict = "%s, NOT AS EXPECTED (expected: %s)" % (step.got.upper(), step.expected)
        say("   -> (%r, %r): %s" % (step.code, step.message, verdict))

    def ask(step, serial, title):
        say()
        say("== %d. %s: may %s be tested at %s?" % (step.number, title, serial, args.procedure))
        say("   GetUnitInfo(%r, %r, %r, %r)" % (serial, args.procedure, info.OPName, args.line))
        step.got = "no answer"
        record(step, tv.GetUnitInfo(*login, serial, args.procedure, info.OPName, args.line))

    status = OK
    try:
        say()
        say(CONTRACT_NOTE)
        ask(steps[1], args.serial, "before the test")
        if steps[1].code != 0:
            say("   the station does not test %s" % args.serial)
            if args.dialog:
                error_box("MES: %s" % steps[1].message, args.auto_confirm)
        else:
            say()
            say("== 3. test of %s: %s, error number %r; upload" % (args.serial, args.verdict, args.error_no))
            say("   SaveResult(%r, %r, %r, %r, %r, %r)" % (args.serial, args.procedure, info.OPName, args.line,
                                                         args.verdict == "PASS", args.error_no))
            steps[2].got = "no answer"
            record(steps[2], tv.SaveResult(*login, args.serial, args.procedure, info.OPName, args.line,
                                           args.verdict == "PASS", args.error_no))
            if args.verdict == "FAIL" and "repair" in (steps[2].message or ""):
                steps[3].expected = "refused"

            ask(steps[3], args.serial, "after the upload")

            ask(steps[4], args.refused_serial, "another unit")
            if steps[4].code != 0:
                say("   the station does not test %s" % args.refused_serial)
                if args.dialog:
                    error_box("MES: %s" % steps[4].message, args.auto_confirm)
    except IOError as error:
        say("   MES unreachable or failing: %s" % error)
        status = MES_FAILED
    except tv.MESError as error:
        say("   unreadable MES answer: %s" % error.result)
        status = UNREADABLE
    summary(steps)
    if status == OK and not all(step.as_expected for step in steps):
        status = UNEXPECTED
    say({OK: "   every step answered as expected",
         UNEXPECTED: "   not every step answered as expected",
         MES_FAILED: "   the session stopped: the MES could not be reached or failed",
         UNREADABLE: "   the session stopped: an answer the station cannot read"}[status])
    return status


if __name__ == "__main__":
    sys.exit(main())
