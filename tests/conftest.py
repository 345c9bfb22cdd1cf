"""Test set-up shared by the whole suite.

The suite runs in one of two modes:
- real (default): Debian's wx and pymssql, with a display (Xvfb) for the
  dialog tests;
- stand-in (TESSAVOR_STANDINS=1): the stand-in wx, pymssql._mssql and
  m4r_wxtools of tests/standins are placed first in sys.modules, so that the
  module's semantics can be tested on an interpreter without a display or a
  database driver (the debug interpreter, for instance).

TESSAVOR_BUILD names the folder that holds the built extension (default:
build/ at the top of the repository); with TESSAVOR_INSTALLED=1 the suite
runs against the module installed for the interpreter instead (which
imports no toolkit of ours: use the stand-ins, or install it too).
"""

import pytest

from support import STANDIN_MODE, install_standins

if STANDIN_MODE:
    install_standins()

# The simulator's own tests talk to it through the real driver.
collect_ignore = ["simulator"] if STANDIN_MODE else []


def pytest_report_header(config):
    import m4r_tessavor
    return "m4r_tessavor: %s (%s mode)" % (m4r_tessavor.__file__, "stand-in" if STANDIN_MODE else "real")


def pytest_configure(config):
    config.addinivalue_line("markers", "real_only: needs Debian's wx and pymssql, not the stand-ins")
    config.addinivalue_line("markers", "standin_only: needs the stand-in toolkit")


def pytest_collection_modifyitems(config, items):
    for item in items:
        if STANDIN_MODE and item.get_closest_marker("real_only"):
            item.add_marker(pytest.mark.skip(reason="needs the real wx and pymssql"))
        if not STANDIN_MODE and item.get_closest_marker("standin_only"):
            item.add_marker(pytest.mark.skip(reason="needs the stand-in toolkit"))


@pytest.fixture(scope="session")
def tv():
    """The extension module, imported once for the session."""
    import m4r_tessavor
    return m4r_tessavor


@pytest.fixture
def driver(tv, monkeypatch):
    """A scripted database driver bound on the module as `_sql`."""
    from fakes import FakeDriver
    fake = FakeDriver()
    monkeypatch.setattr(tv, "_sql", fake)
    return fake


@pytest.fixture
def in_tmp(tmp_path, monkeypatch):
    """Runs the test in an empty working folder."""
    monkeypatch.chdir(tmp_path)
    return tmp_path


@pytest.fixture(scope="session")
def wx_app():
    """The toolkit's application object, one for the session."""
    import os
    import wx
    if not STANDIN_MODE and not os.environ.get("DISPLAY"):
        pytest.skip("the dialogs need a display: run the suite under xvfb-run")
    return wx.App()


@pytest.fixture
def make_dialog(wx_app, in_tmp):
    """Creates dialogs in an empty working folder and destroys them after
    the test."""
    made = []

    def make(cls, *args, **kwargs):
        dialog = cls(*args, **kwargs)
        made.append(dialog)
        return dialog

    yield make
    for dialog in made:
        dialog.Destroy()
