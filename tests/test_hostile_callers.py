"""Callers and callbacks that would crash a careless extension: a Python
function in the module's place raises (or works), and so must the module."""

import copy
import functools
import io
import pickle
from contextlib import redirect_stdout

import pytest

from support import callables

# The feedback reader written in Python: what the interpreter does is the
# behaviour expected of the module. `print` and `MESError` are looked up in
# the twin's namespace, as the module looks them up in its own.
TWIN_SOURCE = '''
class MESError(Exception):
    def __init__(self, result):
        Exception.__init__(self, "MES Query Feedback Format Invalid")
        self.result = result

def process_mes_result(res):
    print("TVR MES GetUnitInfo: " + str(res))
    try:
        if len(res) == 1:
            return (int(res[0]), "")
        if res[0] is None:
            return (0, "")
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


def twin_namespace():
    namespace = {"__name__": "twin"}
    exec(TWIN_SOURCE, namespace)
    return namespace


def outcome(call):
    """What a call ends in: ("returned", value) or (exception type, text)."""
    try:
        with redirect_stdout(io.StringIO()):
            return ("returned", call())
    except Exception as error:  # noqa: BLE001 - the outcome is compared
        return (type(error).__name__, str(error))


def outcome_with(namespace, name, value_of, row):
    """process_mes_result(row) with `name` rebound in `namespace` to
    value_of(namespace), restored afterwards."""
    had, saved = name in namespace, namespace.get(name)
    namespace[name] = value_of(namespace)
    try:
        return outcome(lambda: namespace["process_mes_result"](row))
    finally:
        if had:
            namespace[name] = saved  # in its place: the namespace's order is checked elsewhere
        else:
            del namespace[name]


def nested_tuple(namespace, depth=100000):
    nested = namespace["MESError"]
    for _ in range(depth):
        nested = (nested,)
    return nested


THREE_QUOTES = ('a "b" c "d', 1)


@pytest.mark.parametrize("name, value_of, row", [
    ("print", lambda ns: ns["process_mes_result"], ("OK", 0)),
    ("MESError", lambda ns: ns["process_mes_result"], THREE_QUOTES),
], ids=["print-is-the-reader", "MESError-is-the-reader"])
def test_cycles_of_module_functions_end_as_python_ends_them(tv, capsys, name, value_of, row):
    expected = outcome_with(twin_namespace(), name, value_of, row)
    assert expected[0] in ("RecursionError", "TypeError")
    got = outcome_with(vars(tv), name, value_of, row)
    capsys.readouterr()
    assert got == expected


@pytest.mark.parametrize("value_of, row", [
    (nested_tuple, THREE_QUOTES),
    (nested_tuple, ()),
    (lambda ns: 1, THREE_QUOTES),
    (lambda ns: (ns["MESError"], "text"), ()),
    (lambda ns: ns["process_mes_result"], ()),
    (lambda ns: object, THREE_QUOTES),
    (lambda ns: (ns["MESError"], ValueError), THREE_QUOTES),
], ids=["nested-tuple", "nested-tuple-unreadable", "number", "tuple-with-text", "function", "non-exception-class",
        "tuple-of-exception-classes"])
def test_except_refuses_what_is_no_exception_class(tv, capsys, value_of, row):
    twin = twin_namespace()
    expected = outcome_with(twin, "MESError", lambda ns: value_of(twin), row)
    got = outcome_with(vars(tv), "MESError", lambda ns: value_of(vars(tv)), row)
    capsys.readouterr()
    assert got == expected


class DropsTheCall(str):
    """A text whose encode drops whatever holds the call's other arguments,
    then fills the freed memory with other texts of the same sizes."""
    drop = None
    litter = []

    def encode(self, *args):
        if DropsTheCall.drop is not None:
            DropsTheCall.drop()
            DropsTheCall.drop = None
            DropsTheCall.litter.extend("#" * size for size in range(1, 12) for _ in range(200))
        return str(self).encode(*args)


VALUES = ["srv", "usr", "pwd", "db", "SN-000123", "FT1", "emp-0042", "L1-north"]


def fresh_arguments():
    """New texts equal to VALUES, held by nothing else; the procedure drops
    the call's other arguments when it is encoded."""
    args = ["".join(list(v)) for v in VALUES]
    args[5] = DropsTheCall(args[5])
    return args


class Holder:
    GetUnitInfo = None


def by_call_slot(func):
    # The dictionary reaches the function as it is.
    arguments = dict(zip(["server", "user", "password", "database", "serial_number", "procedure", "employee",
                          "line_name"], fresh_arguments()))
    DropsTheCall.drop = arguments.clear
    return type(func).__call__(func, **arguments)


def by_partial(func):
    call = functools.partial(func, *fresh_arguments())
    DropsTheCall.drop = lambda: call.__setstate__((print, (), {}, None))
    return call()


def by_partial_of_bound_method(func):
    Holder.GetUnitInfo = func
    call = functools.partial(Holder().GetUnitInfo, *fresh_arguments()[1:])
    DropsTheCall.drop = lambda: call.__setstate__((print, (), {}, None))
    return call()


@pytest.mark.parametrize("path", [by_call_slot, by_partial, by_partial_of_bound_method])
def test_arguments_live_while_the_body_runs(tv, driver, capsys, path):
    try:
        assert path(tv.GetUnitInfo) == (0, "OK")
    finally:
        DropsTheCall.drop = None
        del DropsTheCall.litter[:]
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
        expected = fate(HostClass.method if "." in qualname else host_function)
        assert fate(func) == expected, qualname
    bound = tv.MESError("row").__str__
    assert pickle.loads(pickle.dumps(bound, protocol)).__func__ is bound.__func__
