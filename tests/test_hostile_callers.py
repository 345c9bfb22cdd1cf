"""Callers and callbacks that would crash a careless extension: a Python
function in the module's place raises (or works), and so must the module."""

import copy
import functools
import io
import pickle
import traceback
import types
from contextlib import redirect_stderr, redirect_stdout

import pytest

from support import FUNCTIONS, callables

# The feedback reader in Python, looking up `print` and `MESError` in its
# namespace as the module does: its outcome is the one expected.
TWIN_SOURCE = '''
class MESError(Exception):
    def __init__(self, result):
        Exception.__init__(self, "MES Query Feedback Format Invalid")

def process_mes_result(res):
    print("TVR MES GetUnitInfo: " + str(res))
    try:
        tokens = res[0].split('"')
        if len(tokens) >= 4:
            raise MESError(res)
        return (res[1], tokens[1] if len(tokens) == 3 else tokens[0])
    except MESError:
        raise
    except Exception:
        import traceback
        traceback.print_exc()
        raise MESError(res)
'''


def outcome_with(namespace, name, value_of, row):
    """("returned", value) or (exception type, text) of
    process_mes_result(row) with `name` rebound to value_of(namespace)."""
    had, saved = name in namespace, namespace.get(name)
    namespace[name] = value_of(namespace)
    try:
        with redirect_stdout(io.StringIO()):
            return ("returned", namespace["process_mes_result"](row))
    except Exception as error:  # noqa: BLE001 - the outcome is compared
        return (type(error).__name__, str(error))
    finally:
        if had:
            namespace[name] = saved  # in its place: the namespace's order is checked elsewhere
        else:
            del namespace[name]


def compare_with_twin(tv, capsys, name, value_of, row):
    twin = {}
    exec(TWIN_SOURCE, twin)
    expected = outcome_with(twin, name, value_of, row)
    assert outcome_with(vars(tv), name, value_of, row) == expected
    capsys.readouterr()
    return expected


def nested_tuple(namespace):
    nested = namespace["MESError"]
    for _ in range(100000):
        nested = (nested,)
    return nested


THREE_QUOTES = ('a "b" c "d', 1)


@pytest.mark.parametrize("name, row", [("print", ("OK", 0)), ("MESError", THREE_QUOTES)])
def test_cycles_of_module_functions_end_as_python_ends_them(tv, capsys, name, row):
    expected = compare_with_twin(tv, capsys, name, lambda ns: ns["process_mes_result"], row)
    assert expected[0] in ("RecursionError", "TypeError")


def factory_of(made):
    """An exception class whose call gives `made()` instead of an instance:
    `except` takes it, `raise` gets what it gives."""
    class Factory(type):
        def __call__(cls, *args):
            return made()
    return lambda ns: Factory("Rebound", (Exception,), {})


class NoInstance(Exception):
    def __new__(cls, *args):
        return "no instance"


@pytest.mark.parametrize("value_of, row", [
    (nested_tuple, THREE_QUOTES), (nested_tuple, ()), (lambda ns: 1, THREE_QUOTES),
    (lambda ns: (ns["MESError"], "text"), ()), (lambda ns: ns["process_mes_result"], ()),
    (lambda ns: object, THREE_QUOTES), (lambda ns: (ns["MESError"], ValueError), THREE_QUOTES),
    (factory_of(lambda: KeyError), THREE_QUOTES), (factory_of(lambda: KeyError), ()),
    (factory_of(lambda: NoInstance), ()),
])
def test_rebound_mes_error_is_caught_and_raised_as_python_does(tv, capsys, value_of, row):
    compare_with_twin(tv, capsys, "MESError", value_of, row)


def error_of(call):
    try:
        call()
    except Exception as error:  # noqa: BLE001 - its traceback is compared
        return error


def traceback_lines(call, printed):
    """The lines of the traceback that `call` prints, or of the one that
    leaves it."""
    err = io.StringIO()
    with redirect_stderr(err), redirect_stdout(io.StringIO()):
        error = error_of(call)
    if printed:
        return err.getvalue().splitlines()
    return "".join(traceback.format_exception(type(error), error, error.__traceback__, chain=False)).splitlines()


@pytest.mark.parametrize("name, call, printed", [
    ("process_mes_result", lambda tv: tv.process_mes_result(THREE_QUOTES), False),
    ("process_mes_result", lambda tv: tv.process_mes_result((5, 0)), True),
    ("GetUnitInfo", lambda tv: tv.GetUnitInfo(*"abcdefgh"), False),
    ("SaveResult", lambda tv: tv.SaveResult(*"abcdefgh", True, 0), False),
    ("Save", lambda tv: tv.MESInfo.Save(object()), False),
    ("OnOK", lambda tv: tv.MESInfoDialog.OnOK(object(), None), False),
    ("OnRefill", lambda tv: tv.UIDesignOtherInfoDialog.OnRefill(object(), None), False),
])
def test_tracebacks_name_the_module_function_as_they_name_a_python_function(tv, monkeypatch, name, call, printed):
    """Header and exception as from a Python function raising the same error
    (for the row the reader prints: as the twin prints it), and an entry
    naming the function."""
    monkeypatch.setattr(tv, "_sql", None)
    lines = traceback_lines(lambda: call(tv), printed)
    twin = {}
    if printed:
        exec(TWIN_SOURCE, twin)
        expected = traceback_lines(lambda: call(types.SimpleNamespace(**twin)), printed)
    else:
        exec("def %s(error):\n    raise error\n" % name, twin)
        error = error_of(lambda: call(tv)).with_traceback(None)
        expected = traceback_lines(lambda: twin[name](error), printed)
    assert (lines[0], lines[-1]) == (expected[0], expected[-1])
    assert '  File "m4r_tessavor", line 1, in %s' % name in lines
    # A driver error that the function caught (the IOError's context) has
    # passed through it too: its traceback begins at the function.
    context = error_of(lambda: call(tv)).__context__
    if context is not None:
        assert traceback.extract_tb(context.__traceback__)[0][2] == name


class DropsTheCall(str):
    """A procedure whose encode drops what holds the call's other arguments,
    then fills the freed memory with other texts."""
    litter = []

    def encode(self, *args):
        self.drop()
        DropsTheCall.litter = ["#" * size for size in range(1, 12) for _ in range(200)]
        return str(self).encode(*args)


def fresh_arguments(first=0):
    """New texts, held by nothing else."""
    args = ["".join(list(v)) for v in ["srv", "usr", "pwd", "db", "SN-000123", "FT1", "emp-0042", "L1-north"]]
    args[5] = DropsTheCall(args[5])
    return args[first:]


def by_call_slot(f):
    # The dictionary reaches the function's call slot as it is (up to 3.8).
    arguments = dict(zip(FUNCTIONS["GetUnitInfo"], fresh_arguments()))
    arguments["procedure"].drop = arguments.clear
    return lambda: type(f).__call__(f, **arguments)


def by_partial(f, first=0):
    call = functools.partial(f, *fresh_arguments(first))
    call.args[-3].drop = lambda: call.__setstate__((print, (), {}, None))
    return call


class Holder:
    GetUnitInfo = None


@pytest.mark.parametrize("make_call", [by_call_slot, by_partial, lambda f: by_partial(Holder().GetUnitInfo, 1)],
                         ids=["call-slot", "partial", "partial-of-bound-method"])
def test_arguments_live_while_the_body_runs(tv, driver, capsys, make_call):
    Holder.GetUnitInfo = tv.GetUnitInfo
    assert make_call(tv.GetUnitInfo)() == (0, "OK")
    assert driver.executed()[1] == ("SN-000123", b"FT1", b"emp-0042", b"L1-north")
    capsys.readouterr()


def host_function():
    """What pickle and copy do with a Python function of this module."""


class HostClass:
    def method(self):
        """... and with a Python method."""


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_functions_copy_and_pickle_like_host_functions(tv, protocol):
    def fate(func):
        try:
            pickled = pickle.loads(pickle.dumps(func, protocol)) is func
        except Exception as error:  # noqa: BLE001 - compared with the host's
            pickled = type(error).__name__
        return (pickled, copy.copy(func) is func, copy.deepcopy(func) is func)

    for qualname, func, _ in callables(tv):
        assert fate(func) == fate(HostClass.method if "." in qualname else host_function), qualname
    bound = tv.MESError("row").__str__
    assert pickle.loads(pickle.dumps(bound, protocol)).__func__ is bound.__func__
