"""Reference-leak check for the debug interpreter.

Runs every public path of the module (each success and each failure) many
times and fails when the interpreter's total reference count or its number
of allocated memory blocks grows with the number of calls.

    TESSAVOR_BUILD=build-dbg python3-dbg tests/leakcheck.py [--calls N]

It needs the debug interpreter (sys.gettotalrefcount) and the extension
built against the debug interpreter's headers, and uses the stand-in
toolkit (Debian's wx does not load in the debug interpreter).
"""

import argparse
import gc
import os
import sys
import tempfile
import warnings

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import support  # noqa: E402  (puts the build on the path)

support.install_standins()

import m4r_tessavor as tv  # noqa: E402
import m4r_wxtools  # noqa: E402
import wx  # noqa: E402
from fakes import DriverError, FakeDriver  # noqa: E402

ARGS = ("srv", "usr", "pwd", "MES", "SN1", "FT1", "张三", "L1")


class Discard:
    """Standard output and error that keep nothing."""

    def write(self, text):
        return len(text)

    def flush(self):
        pass


def expect(error, function, *args, **kwargs):
    try:
        function(*args, **kwargs)
    except error:
        return
    raise AssertionError("%s did not raise %s" % (function, error))


def feedback_paths():
    for row in (("OK", 0), ('a "b" c', 1), ('x"', 2), ("", 3), (None, 4), ("5",), {0: "m", 1: 2}):
        tv.process_mes_result(row)
    for row in (('a"b"c"d', 1), ("x",), (), None, (b"b", 1)):
        expect(tv.MESError, tv.process_mes_result, row)
    str(tv.MESError(("r", 1)))
    expect(TypeError, tv.process_mes_result)
    expect(TypeError, tv.process_mes_result, res=1)


def make_driver(**failures):
    driver = FakeDriver()
    for name, value in failures.items():
        setattr(driver, name, value)
    tv._sql = driver
    return driver


def unit_query_paths():
    make_driver()
    tv.GetUnitInfo(*ARGS)
    tv.GetUnitInfo(**dict(zip(["server", "user", "password", "database", "serial_number", "procedure",
                               "employee", "line_name"], ARGS)))
    make_driver(connect_error=DriverError("down"))
    expect(OSError, tv.GetUnitInfo, *ARGS)
    make_driver(execute_error=DriverError("batch"))
    expect(OSError, tv.GetUnitInfo, *ARGS)
    make_driver(execute_error=DriverError("batch"), close_error=DriverError("close"))
    expect(DriverError, tv.GetUnitInfo, *ARGS)
    make_driver(close_error=DriverError("close"))
    expect(DriverError, tv.GetUnitInfo, *ARGS)
    make_driver(execute_error=KeyboardInterrupt())
    expect(KeyboardInterrupt, tv.GetUnitInfo, *ARGS)
    make_driver(row=('a"b"c"d', 1))
    expect(tv.MESError, tv.GetUnitInfo, *ARGS)
    make_driver()
    expect(UnicodeEncodeError, tv.GetUnitInfo, *ARGS[:5], "€", *ARGS[6:])
    expect(TypeError, tv.GetUnitInfo, *ARGS[:7])
    expect(TypeError, tv.GetUnitInfo, *ARGS, line_name="x")
    expect(TypeError, tv.GetUnitInfo, *ARGS[:7], nope=1)


def result_upload_paths():
    for verdict in (True, False, None, 0, "x", ""):
        make_driver()
        tv.SaveResult(*ARGS, verdict, 0)
    make_driver(connect_error=DriverError("down"))
    expect(OSError, tv.SaveResult, *ARGS, True, 0)
    make_driver(execute_error=DriverError("batch"))
    expect(OSError, tv.SaveResult, *ARGS, True, 0)
    make_driver(execute_error=DriverError("batch"), close_error=DriverError("close"))
    expect(DriverError, tv.SaveResult, *ARGS, True, 0)
    make_driver(execute_error=SystemExit())
    expect(SystemExit, tv.SaveResult, *ARGS, True, 0)

    class Untestable:
        def __bool__(self):
            raise ValueError("no truth")

    make_driver()
    expect(ValueError, tv.SaveResult, *ARGS, Untestable(), 0)
    expect(TypeError, tv.SaveResult, *ARGS)


def station_file_paths():
    info = tv.MESInfo()
    info.OPName = "张三 50%"
    info.Save()
    tv.MESInfo().Save()
    info.Slot = 5
    expect(TypeError, info.Save)
    expect(TypeError, tv.MESInfo, 1)


def dialog_paths():
    wx.reset()
    dialog = tv.MESInfoDialog(None)
    dialog.mOPName.SetValue("  ")
    dialog.m_button4.Click()
    dialog.mOPName.SetValue(" 李四 ")
    dialog.m_button3.Click()
    dialog.mOPName.SetValue(" 李四 ")
    dialog.m_button4.Click()
    base = tv.UIDesignOtherInfoDialog(parent=None)
    base.m_button3.Click()
    base.m_button4.Click()
    base.m_button5.Click()
    expect(AttributeError, base.OnOK, object())
    m4r_wxtools.MB.shown.clear()
    wx.reset()


def surface_paths():
    for func in (tv.process_mes_result, tv.GetUnitInfo, vars(tv.MESInfo)["Save"]):
        func.__annotations__
        func.__dict__
        func.__name__, func.__qualname__, func.__module__, func.__globals__, repr(func)
    info = tv.MESInfo()
    info.Save.__func__


PATHS = [feedback_paths, unit_query_paths, result_upload_paths, station_file_paths, dialog_paths, surface_paths]


def measure(path, calls):
    gc.collect()
    refs, blocks = sys.gettotalrefcount(), sys.getallocatedblocks()
    for _ in range(calls):
        path()
    gc.collect()
    return sys.gettotalrefcount() - refs, sys.getallocatedblocks() - blocks


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=2000, help="calls of each path (default 2000)")
    options = parser.parse_args()
    if not hasattr(sys, "gettotalrefcount"):
        sys.exit("leakcheck needs the debug interpreter (python3-dbg)")
    # The parser's deprecation warning grows the warnings registry, which is
    # the interpreter's memory, not the module's.
    warnings.simplefilter("ignore", DeprecationWarning)
    failed = False
    real_out, real_err, real_sql = sys.stdout, sys.stderr, tv._sql
    with tempfile.TemporaryDirectory() as folder:
        os.chdir(folder)
        for path in PATHS:
            sys.stdout, sys.stderr = Discard(), Discard()
            try:
                measure(path, 500)  # warm up caches, interned texts, free lists
                refs, blocks = measure(path, options.calls)
            finally:
                sys.stdout, sys.stderr = real_out, real_err
                tv._sql = real_sql
            # A leak of one reference or block per call would grow by
            # `calls`; what stays after warming up is the noise of caches.
            leak = refs > options.calls // 10 or blocks > options.calls // 10
            failed |= leak
            print("%-22s %6d calls  refs %+6d  blocks %+6d  %s" % (path.__name__, options.calls, refs, blocks,
                                                                 "LEAK" if leak else "ok"))
        os.chdir("/")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
