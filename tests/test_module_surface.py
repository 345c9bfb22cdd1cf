"""What a test program finds after `import m4r_tessavor`: the names, the
classes and their members, the function objects and their argument rules."""

import ast
import builtins
import configparser
import os
import sys
import types

import pytest

from support import FUNCTIONS, MEMBERS, callables, python_twin

NAMESPACE = ["_fsync", "_cp", "_isfile", "_MB", "wx", "_sql", "UIDesignOtherInfoDialog", "MESInfo",
             "MESInfoDialog", "MESError", "process_mes_result", "GetUnitInfo", "SaveResult"]

MODULE_ATTRIBUTES = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__", "__builtins__"}

# What the type machinery adds to a class namespace by itself.
IMPLICIT = {"__module__", "__qualname__", "__dict__", "__weakref__", "__doc__"}


def test_namespace_holds_exactly_the_bound_names_in_binding_order(tv):
    names = list(vars(tv))
    public = [n for n in names if not (n.startswith("__") and n.endswith("__"))]
    assert public == NAMESPACE
    assert set(names) - set(public) == MODULE_ATTRIBUTES
    assert tv.__doc__ is None
    assert tv.__name__ == "m4r_tessavor"
    assert tv.__builtins__ is builtins
    for unbound in ("os", "configparser", "pymssql", "m4r_wxtools", "traceback", "path"):
        assert unbound not in vars(tv)


def test_imported_names_are_the_hosts_objects(tv):
    assert tv._fsync is os.fsync
    assert tv._cp is configparser
    assert tv._isfile is os.path.isfile
    assert tv._MB is sys.modules["m4r_wxtools"].MB
    assert tv.wx is sys.modules["wx"]
    assert tv._sql is sys.modules["pymssql._mssql"]


def test_module_file_and_spec(tv):
    assert tv.__spec__.name == "m4r_tessavor"
    assert tv.__file__ == tv.__spec__.origin
    assert tv.__loader__ is tv.__spec__.loader
    assert tv.__package__ == ""
    assert not hasattr(tv, "__path__")


def test_class_bases_and_method_resolution(tv):
    assert tv.MESInfo.__bases__ == (object,)
    assert type(tv.MESInfo) is type
    assert tv.MESError.__bases__ == (Exception,)
    assert type(tv.MESError) is type
    assert tv.UIDesignOtherInfoDialog.__bases__ == (tv.wx.Dialog,)
    assert type(tv.UIDesignOtherInfoDialog) is type(tv.wx.Dialog)
    assert tv.MESInfoDialog.__bases__ == (tv.UIDesignOtherInfoDialog,)
    assert tv.MESInfoDialog.__mro__[1:3] == (tv.UIDesignOtherInfoDialog, tv.wx.Dialog)


def test_classes_hold_exactly_their_members_in_order(tv):
    for cls_name, members in MEMBERS.items():
        cls = getattr(tv, cls_name)
        own = [n for n in vars(cls) if n not in IMPLICIT]
        assert own == [m for m, _ in members], cls_name
        assert cls.__module__ == "m4r_tessavor"
        assert cls.__qualname__ == cls_name == cls.__name__
        assert cls.__doc__ is None


def test_file_name_is_a_class_attribute_before_any_instance(tv):
    assert vars(tv.MESInfo)["ININame"] == "info.cfg"


def test_function_attributes(tv):
    for qualname, func, params in callables(tv):
        assert func.__name__ == qualname.rpartition(".")[2]
        assert func.__qualname__ == qualname
        assert func.__module__ == "m4r_tessavor"
        assert func.__doc__ is None
        assert func.__globals__ is vars(tv)
        assert isinstance(func.__dict__, dict)
        expected = {"return": "tuple"} if qualname == "process_mes_result" else {}
        assert func.__annotations__ == expected, qualname
    assert tv.process_mes_result.__annotations__["return"] == "tuple"
    assert tv.process_mes_result.__annotations__["return"] is not tuple


def test_function_dict_and_names_are_writable_like_host_functions(tv):
    func = vars(tv.MESInfo)["Save"]
    func.marker = 1
    try:
        assert func.__dict__ == {"marker": 1}
    finally:
        del func.marker
    with pytest.raises(TypeError):
        func.__name__ = 1
    for attribute in ("__doc__", "__module__"):  # deleted, they read as None, as on a host function
        saved = getattr(func, attribute)
        delattr(func, attribute)
        try:
            assert getattr(func, attribute) is None
        finally:
            setattr(func, attribute, saved)
    assert "MESInfo.Save" in repr(func)


def test_methods_bind_to_instances_like_host_functions(tv, in_tmp):
    info = tv.MESInfo()
    bound = info.Save
    assert isinstance(bound, types.MethodType)
    assert bound.__self__ is info
    assert bound.__func__ is vars(tv.MESInfo)["Save"]
    assert tv.MESInfo.Save is vars(tv.MESInfo)["Save"]
    # Through the descriptor protocol directly, as the toolkit's Bind sees it.
    func = vars(tv.MESInfo)["Save"]
    assert func.__get__(None, tv.MESInfo) is func
    assert func.__get__(info, tv.MESInfo).__self__ is info


class NeverEqual(str):
    __hash__ = str.__hash__

    def __eq__(self, other):
        return False


class AlwaysEqual(NeverEqual):
    __hash__ = str.__hash__

    def __eq__(self, other):
        return True


def call_patterns(params):
    """Wrong calls: too few, too many, a repeated, an unknown keyword, a
    non-text keyword, keyword names that compare as they please."""
    n = len(params)
    values = list(range(n))
    yield values[:-1], {}
    yield values[:-2], {}
    yield [], {}
    yield values + [99], {}
    yield values + [98, 99], {"zz": 1}
    yield values, {params[0]: 0}
    yield values, {params[-1]: 0}
    yield values[:-1], {"unknown": 1}
    yield values[:-1], {params[-1][:-1]: 1}  # mistyped: from 3.13 the interpreter hints at the name
    yield values[1:], {params[0].capitalize(): 0}
    yield values[:-1], {"unknown": 1, params[-1]: 2}
    yield values[1:], {params[0]: 0, "zz": 3}
    yield values, {1: 2}
    yield values[:-1], {NeverEqual(params[-1]): 0}
    yield values, {AlwaysEqual("zz"): 0}


@pytest.mark.parametrize("positional_only", [False, True])
def test_argument_errors_match_the_interpreters_words(tv, positional_only):
    checked = 0
    for qualname, func, params in callables(tv):
        alone = len(params) == 1
        if alone != positional_only:
            continue
        for args, kwargs in call_patterns(params):
            twin = python_twin(qualname, params, bool(kwargs))
            with pytest.raises(TypeError) as expected:
                twin(*args, **kwargs)
            with pytest.raises(TypeError) as got:
                func(*args, **kwargs)
            assert str(got.value) == str(expected.value), (qualname, args, kwargs)
            checked += 1
    assert checked > 20


def refusal(call):
    with pytest.raises(TypeError) as refused:
        call()
    return str(refused.value)


def test_lone_parameter_is_positional_only(tv, in_tmp):
    twin = python_twin("process_mes_result", ["res"], keywords=True)
    assert refusal(lambda: tv.process_mes_result(res=("OK", 0))) == refusal(lambda: twin(res=("OK", 0)))
    info = tv.MESInfo()
    save = python_twin("MESInfo.Save", ["self"])
    assert refusal(lambda: info.Save(1)) == refusal(lambda: save(info, 1))
    # A bound method counts the instance, as the host's do.
    assert refusal(lambda: info.Save(1, 2)) == refusal(lambda: save(info, 1, 2))
    save = python_twin("MESInfo.Save", ["self"], keywords=True)
    assert refusal(lambda: tv.MESInfo.Save(self=info)) == refusal(lambda: save(self=info))
    with pytest.raises(TypeError):
        tv.MESInfo(1)


def test_get_unit_info_argument_forms(tv, driver):
    args = ["srv", "usr", "pwd", "db", "SN1", "FT1", "emp", "L1"]
    names = FUNCTIONS["GetUnitInfo"]
    with pytest.raises(TypeError):
        tv.GetUnitInfo(*args[:7])
    with pytest.raises(TypeError, match="multiple values for argument 'line_name'"):
        tv.GetUnitInfo(*args, line_name="L1")
    assert driver.events == []
    by_position = tv.GetUnitInfo(*args)
    by_keyword = tv.GetUnitInfo(**dict(reversed(list(zip(names, args)))))
    assert by_position == by_keyword == (0, "OK")
    first, second = [e for e in driver.events if e[0] == "execute_row"]
    assert first == second


def test_signatures_for_inspect_and_help(tv, in_tmp):
    import inspect
    for qualname, func, params in callables(tv):
        twin = python_twin(qualname, params)
        assert inspect.signature(func) == inspect.signature(twin), qualname
    assert str(inspect.signature(tv.MESInfo().Save)) == "()"
    assert str(inspect.signature(tv.MESError)) == "(result)"


def test_the_type_stub_beside_the_module_names_its_callables_and_parameters(tv):
    """m4r_tessavor.pyi, for editors; two leading underscores mark a parameter
    passed by position only."""
    with open(os.path.join(os.path.dirname(tv.__file__), "m4r_tessavor.pyi"), encoding="utf-8") as f:
        tree = ast.parse(f.read())
    stub = {}
    for node in tree.body:
        members = node.body if isinstance(node, ast.ClassDef) else [node]
        for item in members:
            if isinstance(item, ast.FunctionDef):
                qualname = item.name if item is node else "%s.%s" % (node.name, item.name)
                stub[qualname] = [a.arg for a in item.args.args]
    assert stub == {qualname: ["__" + params[0]] if len(params) == 1 else params
                    for qualname, _, params in callables(tv)}
