"""Importing the module: once per process, the same object every time, and
a failed import that leaves nothing usable behind. Each case runs in a new
interpreter, set up like this one."""

import os
import subprocess
import sys
import textwrap

import pytest

import support

PRELUDE = """
import sys
sys.path[:0] = [{root!r}, {tests!r}, {build!r}]
if {standins!r}:
    import support
    support.install_standins()
"""


def child(code, cwd=support.TESTS):
    """Runs `code` in a fresh interpreter set up like this one."""
    prelude = PRELUDE.format(root=support.ROOT, tests=support.TESTS, build=support.BUILD,
                             standins=support.STANDIN_MODE)
    env = dict(os.environ, PYTHONWARNINGS="ignore::DeprecationWarning")
    return subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(code)], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, universal_newlines=True, env=env, timeout=120, cwd=cwd)


def run(code):
    """Runs `code` in a fresh interpreter; returns its standard output."""
    done = child(code)
    assert done.returncode == 0, done.stderr
    return done.stdout


def test_a_second_import_gives_the_same_module_and_classes():
    out = run("""
        import m4r_tessavor as first
        classes = (first.MESInfo, first.MESError, first.MESInfoDialog)
        import m4r_tessavor as again
        del sys.modules["m4r_tessavor"]
        import m4r_tessavor as fresh
        import importlib
        del sys.modules["m4r_tessavor"]
        reloaded = importlib.import_module("m4r_tessavor")
        print(first is again is fresh is reloaded)
        print(classes == (fresh.MESInfo, fresh.MESError, fresh.MESInfoDialog))
        print(sys.modules["m4r_tessavor"] is first)
    """)
    assert out.split() == ["True", "True", "True"]


def test_the_body_runs_once_even_when_a_binding_was_replaced():
    out = run("""
        import m4r_tessavor as m
        m.GetUnitInfo = "replaced by the host"
        del sys.modules["m4r_tessavor"]
        import m4r_tessavor
        print(m4r_tessavor.GetUnitInfo)
    """)
    assert out.strip() == "replaced by the host"


def test_without_wx_the_import_fails_with_the_import_error_of_wx():
    out = run("""
        import wx
        sys.modules["wx"] = None
        try:
            import m4r_tessavor
        except ImportError as error:
            print(type(error).__name__, error.name)
        print("m4r_tessavor" in sys.modules)
        # a later import starts afresh and succeeds
        sys.modules["wx"] = wx
        import m4r_tessavor
        print(callable(m4r_tessavor.GetUnitInfo), m4r_tessavor.UIDesignOtherInfoDialog.__bases__ == (wx.Dialog,))
    """)
    assert out.split() == ["ModuleNotFoundError", "wx", "False", "True", "True"]


def test_a_failed_import_leaves_no_usable_module_object():
    out = run("""
        import wx
        real_dialog = wx.Dialog
        del wx.Dialog
        try:
            import m4r_tessavor
        except AttributeError as error:
            print("AttributeError", "Dialog" in str(error))
        wx.Dialog = real_dialog
        import m4r_tessavor as second
        failed_first = [m for m in [second] if "MESInfo" in vars(m)]
        print(len(failed_first))
    """)
    assert out.split() == ["AttributeError", "True", "1"]


def test_missing_names_fail_with_the_interpreters_import_error():
    out = run("""
        import os, m4r_wxtools
        real = os.fsync
        del os.fsync
        try:
            import m4r_tessavor
        except ImportError as error:
            print(error)
        os.fsync = real
        mb = m4r_wxtools.MB
        del m4r_wxtools.MB
        try:
            import m4r_tessavor
        except ImportError as error:
            print(error.name)
    """)
    lines = out.splitlines()
    assert lines[0].startswith("cannot import name 'fsync' from 'os' (")
    assert lines[1] == "m4r_wxtools"


def test_imports_go_through_the_hosts_import_hook():
    out = run("""
        import builtins
        seen = []
        real_import = builtins.__import__
        def hook(name, globals=None, locals=None, fromlist=(), level=0):
            if globals is not None and globals.get("__name__") == "m4r_tessavor":
                seen.append((name, fromlist, level))
            return real_import(name, globals, locals, fromlist, level)
        builtins.__import__ = hook
        import m4r_tessavor
        builtins.__import__ = real_import
        for entry in seen:
            print(entry)
    """)
    assert out.splitlines() == [
        "('os', ('fsync',), 0)",
        "('configparser', None, 0)",
        "('os.path', ('isfile',), 0)",
        "('m4r_wxtools', ('MB',), 0)",
        "('wx', None, 0)",
        "('pymssql', ('_mssql',), 0)",
    ]


def test_class_namespaces_are_prepared_by_the_metaclass():
    """The stand-in toolkit's metaclass records the order of the names bound
    in a class namespace: __module__ and __qualname__ first, then the
    members."""
    if not support.STANDIN_MODE:
        import pytest
        pytest.skip("needs the stand-in toolkit's recording metaclass")
    out = run("""
        import wx
        namespaces = []
        real_new = type(wx.Dialog).__new__
        def new(mcs, name, bases, ns, **kw):
            namespaces.append((name, type(ns).__name__, list(ns.order)))
            return real_new(mcs, name, bases, ns, **kw)
        type(wx.Dialog).__new__ = new
        import m4r_tessavor
        for entry in namespaces:
            print(entry)
    """)
    assert out.splitlines() == [
        "('UIDesignOtherInfoDialog', '_OrderedNamespace', "
        "['__module__', '__qualname__', '__init__', '__del__', 'OnRefill', 'OnOK'])",
        "('MESInfoDialog', '_OrderedNamespace', "
        "['__module__', '__qualname__', '__init__', 'OnRefill', 'OnOK'])",
    ]


def test_what_a_failed_import_left_behind_fails_cleanly():
    """Classes made before the failing statement stay reachable to whoever
    kept the namespace; using them raises instead of crashing the host."""
    if not support.STANDIN_MODE:
        import pytest
        pytest.skip("needs the stand-in toolkit's metaclass")
    out = run("""
        import builtins, wx
        kept = []
        real_import = builtins.__import__
        def hook(name, globals=None, locals=None, fromlist=(), level=0):
            if globals is not None and globals.get("__name__") == "m4r_tessavor":
                kept.append(globals)
            return real_import(name, globals, locals, fromlist, level)
        real_new = type(wx.Dialog).__new__
        def new(mcs, name, bases, ns, **kw):
            if name == "MESInfoDialog":
                raise RuntimeError("no second dialog class")
            return real_new(mcs, name, bases, ns, **kw)
        builtins.__import__ = hook
        type(wx.Dialog).__new__ = new
        try:
            import m4r_tessavor
        except RuntimeError as error:
            print(error)
        builtins.__import__ = real_import
        left = kept[0]
        print(sorted(n for n in left if not n.startswith("__")))
        try:
            left["MESInfo"]()
        except NameError as error:
            print(error)
    """)
    assert out.splitlines() == [
        "no second dialog class",
        "['MESInfo', 'UIDesignOtherInfoDialog', '_MB', '_cp', '_fsync', '_isfile', '_sql', 'wx']",
        "name '_cp' is not defined",
    ]


# What a second interpreter runs (_testcapi.run_in_subinterp).
SUBINTERPRETER_IMPORT = """
import sys
sys.path[:0] = %r
try:
    import m4r_tessavor
except ImportError as error:
    print("sub:", error, flush=True)
"""


@pytest.mark.parametrize("main_imports_first", [True, False])
def test_another_interpreter_cannot_load_the_module_nor_harm_the_main_ones(main_imports_first):
    run_in_subinterp = getattr(pytest.importorskip("_testcapi"), "run_in_subinterp", None)
    if run_in_subinterp is None:
        pytest.skip("this interpreter cannot run code in a sub-interpreter")
    out = run("""
        from _testcapi import run_in_subinterp
        if %r:
            import m4r_tessavor
        run_in_subinterp(%r)
        run_in_subinterp(%r)
        import m4r_tessavor as tv
        print("main:", tv.process_mes_result(("ok", 0)), type(tv.GetUnitInfo).__name__)
    """ % ((main_imports_first,) + (SUBINTERPRETER_IMPORT % sys.path,) * 2))
    refused = "sub: module m4r_tessavor does not support loading in subinterpreters"
    assert out.splitlines() == [refused, refused, "TVR MES GetUnitInfo: ('ok', 0)", "main: (0, 'ok') function"]


@pytest.mark.parametrize("setup, error", [
    ("import types; types.prepare_class = lambda name, bases: (type, {}, None)", "TypeError"),
    ("import types; types.prepare_class = lambda name, bases: [type, {}, {}]", "TypeError"),
    ("import types; types.prepare_class = lambda name, bases: (type, {})", "TypeError"),
    ("builtins = sys.modules['builtins']; sys.modules['builtins'] = 'builtins'", "ImportError"),
], ids=["keywords-not-a-dict", "a-list", "two-items", "builtins-not-a-module"])
def test_odd_answers_of_the_host_during_the_import_are_refused(setup, error):
    out = run("""
        %s
        try:
            import m4r_tessavor
        except Exception as caught:
            print(type(caught).__name__)
        print("m4r_tessavor" in sys.modules)
    """ % setup)
    assert out.split() == [error, "False"]


# A worker thread inside a module call (held in the driver) when the main
# thread exits: the interpreter ends it when `holder`'s __del__ wakes it
# during finalisation.
WORKER_AT_EXIT = """
    import _thread, os, threading, time, types
    import m4r_tessavor as tv
    inside, release = _thread.allocate_lock(), _thread.allocate_lock()
    inside.acquire(), release.acquire()
    def block(*args, **kwargs):
        inside.release(), release.acquire()
    class Wake:
        def __del__(self, release=release.release, sleep=time.sleep, write=os.write):
            release(), sleep(0.3), write(1, b"finalised on")
    sys.modules["holder"] = types.ModuleType("holder")
    sys.modules["holder"].wake = Wake()
    conn = types.SimpleNamespace(execute_row=block, close=lambda: None)
    tv._sql, tv._fsync = types.SimpleNamespace(connect=lambda **kw: conn), block
    threading.Thread(target=lambda: %s, daemon=True).start()
    inside.acquire()
"""


@pytest.mark.skipif(sys.platform == "win32", reason="Windows ends such a thread without unwinding it")
@pytest.mark.parametrize("call", ["tv.GetUnitInfo(*'abcdefgh')", "tv.SaveResult(*'abcdefgh', True, 0)",
                                  "tv.MESInfo().Save()"])
def test_a_thread_inside_a_call_when_the_host_exits_ends_as_in_a_python_function(tmp_path, call):
    done = child(WORKER_AT_EXIT % call, cwd=str(tmp_path))
    assert (done.returncode, done.stdout, "terminate" in done.stderr) == (0, "finalised on", False), done.stderr


def test_a_toolkit_that_imports_the_module_again_during_its_import_gets_it_as_far_as_it_is(tmp_path):
    (tmp_path / "wx.py").write_text("import sys\ndel sys.modules['m4r_tessavor']\nimport m4r_tessavor as nested\n"
                                    "class Dialog:\n    pass\n")
    out = run("""
        import m4r_wxtools
        sys.modules.pop("wx", None)
        sys.path.insert(0, %r)
        import m4r_tessavor as tv, wx
        print(wx.nested is tv, "GetUnitInfo" in vars(wx.nested), tv.process_mes_result(("a", 0)))
    """ % str(tmp_path))
    assert out.splitlines() == ["TVR MES GetUnitInfo: ('a', 0)", "True True (0, 'a')"]


@pytest.mark.skipif(sys.platform == "win32", reason="the host is built with cc against a libpython")
def test_each_interpreter_of_an_embedding_host_gets_a_working_module(tmp_path):
    """tests/embed_host.c, built against this interpreter's libpython, runs
    three interpreters one after the other in its process (with the stand-in
    toolkit: the real one cannot start twice in a process)."""
    import sysconfig
    v = sysconfig.get_config_var
    host, libraries = str(tmp_path / "host"), [v("LIBDIR"), v("LIBPL")]
    command = (["cc"] + ["-m32"] * (sys.maxsize < 2 ** 32) + [os.path.join(support.TESTS, "embed_host.c"), "-o", host,
               "-I" + v("INCLUDEPY"), "-lpython%s" % v("LDVERSION")] + ["-L" + d for d in libraries] +
               ["-Wl,-rpath," + d for d in libraries] + ("%s %s %s" % (v("LINKFORSHARED"), v("LIBS"), v("SYSLIBS"))).split())
    try:
        subprocess.check_call(command)
    except (OSError, subprocess.CalledProcessError):
        pytest.skip("no C compiler or libpython to embed this interpreter")
    script = PRELUDE.format(root=support.ROOT, tests=support.TESTS, build=support.BUILD, standins=True) + \
        "import m4r_tessavor as tv\nprint(tv.process_mes_result(('x\"y\"', 7)), tv.MESInfo.ININame, flush=True)"
    done = subprocess.run([host, "3", script], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=120)
    assert (done.returncode, done.stdout.splitlines()) == (
        0, ["TVR MES GetUnitInfo: ('x\"y\"', 7)", "(7, 'y') info.cfg"] * 3), done.stderr
