"""Reading the MES answer row: the log line, the (code, message) pair, and
MESError for a row that cannot be read."""

import pytest

NONE_MESSAGE = "MES 系统返回“None”数据，默认为 SUCCESS"
INVALID = "MES Query Feedback Format Invalid"


def read(tv, capsys, row):
    """process_mes_result(row), with what it printed: (result, stdout, stderr)."""
    result = tv.process_mes_result(row)
    out, err = capsys.readouterr()
    return result, out, err


@pytest.mark.parametrize("row, expected", [
    (("Unit may be tested", 0), (0, "Unit may be tested")),
    (('OK "Unit SN1 may be tested" end', 7), (7, "Unit SN1 may be tested")),
    (('before" after', 3), (3, "before")),
    (('lead""trail', 4), (4, "")),
    (("", 5), (5, "")),
    (('"', 6), (6, "")),
    (('""', 6), (6, "")),
    ((' 空格 "测试 通过" ', -1), (-1, "测试 通过")),
    (("text", None), (None, "text")),
    (("text", "12"), ("12", "text")),
    (("text", 2, "ignored", "too"), (2, "text")),
    ({0: 'x "msg" y', 1: 9}, (9, "msg")),
    ({0: 'x "msg" y', 1: 9, "name": "extra"}, (9, "msg")),
    (["list row", 8], (8, "list row")),
])
def test_readable_rows(tv, capsys, row, expected):
    result, out, err = read(tv, capsys, row)
    assert result == expected
    assert type(result) is tuple
    assert out == "TVR MES GetUnitInfo: %s\n" % (row,)
    assert err == ""


def test_code_and_message_are_the_very_objects_of_the_row(tv, capsys):
    code = 10 ** 30
    result, _, _ = read(tv, capsys, ("msg", code))
    assert result[0] is code


@pytest.mark.parametrize("code", [0, 1, None, "x"])
def test_none_feedback_means_success_whatever_the_code(tv, capsys, code):
    result, out, err = read(tv, capsys, (None, code))
    assert result == (0, NONE_MESSAGE)
    assert out == "TVR MES GetUnitInfo: (None, %r)\n" % (code,)
    assert err == ""


def test_none_feedback_does_not_read_the_code(tv, capsys):
    class Row:
        def __len__(self):
            return 2

        def __getitem__(self, index):
            if index == 1:
                raise AssertionError("element 1 read")
            return None

        def __str__(self):
            return "row"

    result, out, _ = read(tv, capsys, Row())
    assert result == (0, NONE_MESSAGE)
    assert out == "TVR MES GetUnitInfo: row\n"


@pytest.mark.parametrize("row, expected", [
    (("0",), (0, "")),
    (("42",), (42, "")),
    ((" -7 ",), (-7, "")),
    ((3.9,), (3, "")),
    ((True,), (1, "")),
])
def test_one_element_rows_carry_only_a_code(tv, capsys, row, expected):
    result, out, err = read(tv, capsys, row)
    assert result == expected
    assert type(result[0]) is int
    assert err == ""


def entries(error):
    """How many entries of the error's traceback name process_mes_result: one,
    as for a Python function the exception passed through."""
    import traceback
    return [entry[2] for entry in traceback.extract_tb(error.__traceback__)].count("process_mes_result")


@pytest.mark.parametrize("text", ['a"b"c"d', '"""', 'x"y"z"w"v', '""""'])
def test_three_or_more_quotes_are_rejected_without_a_traceback(tv, capsys, text):
    row = (text, 0)
    with pytest.raises(tv.MESError) as info:
        tv.process_mes_result(row)
    out, err = capsys.readouterr()
    assert out == "TVR MES GetUnitInfo: %s\n" % (row,)
    assert err == ""
    error = info.value
    assert error.result is row
    assert error.args == (INVALID,)
    assert str(error) == str(row)
    assert error.__context__ is None
    assert entries(error) == 1


@pytest.mark.parametrize("row, cause", [
    (("no number",), ValueError),
    ((), IndexError),
    (None, TypeError),
    (42, TypeError),
    ((b'bytes "quoted"', 0), TypeError),
    ((123, 0), AttributeError),
    ({"a": 1, "b": 2}, KeyError),
])
def test_unreadable_rows_print_the_cause_and_raise_mes_error(tv, capsys, row, cause):
    with pytest.raises(tv.MESError) as info:
        tv.process_mes_result(row)
    out, err = capsys.readouterr()
    assert out == "TVR MES GetUnitInfo: %s\n" % (row,)
    assert cause.__name__ in err
    error = info.value
    assert error.result is row
    assert error.args == (INVALID,)
    assert str(error) == str(row)
    assert isinstance(error.__context__, cause)
    assert error.__suppress_context__ is False
    assert entries(error) == entries(error.__context__) == 1


def test_a_mes_error_raised_inside_the_row_goes_on_unchanged(tv, capsys):
    raised = tv.MESError("inner")

    class Row:
        def __len__(self):
            raise raised

    with pytest.raises(tv.MESError) as info:
        tv.process_mes_result(Row())
    assert info.value is raised
    assert entries(raised) == 1
    assert capsys.readouterr().err == ""


@pytest.mark.parametrize("interruption", [KeyboardInterrupt, SystemExit, GeneratorExit])
def test_interruptions_are_not_caught(tv, capsys, interruption):
    class Row:
        def __len__(self):
            raise interruption()

    with pytest.raises(interruption) as info:
        tv.process_mes_result(Row())
    assert entries(info.value) == 1
    assert capsys.readouterr().err == ""


def test_a_failing_log_line_propagates_unchanged(tv, capsys):
    class Row:
        def __str__(self):
            raise ZeroDivisionError("no text")

    with pytest.raises(ZeroDivisionError):
        tv.process_mes_result(Row())
    out, err = capsys.readouterr()
    assert out == err == ""


def test_module_level_names_are_looked_up_at_the_moment_of_use(tv, capsys, monkeypatch):
    printed = []
    monkeypatch.setattr(tv, "print", lambda *args: printed.append(args), raising=False)

    class OtherError(Exception):
        def __init__(self, result):
            super().__init__("other")
            self.result = result

    monkeypatch.setattr(tv, "MESError", OtherError)
    with pytest.raises(OtherError):
        tv.process_mes_result(('a"b"c"d', 1))
    assert printed == [("TVR MES GetUnitInfo: ('a\"b\"c\"d', 1)",)]


def test_a_changed_mes_error_class_is_called_as_it_is_now(tv, capsys, monkeypatch):
    """The class's own __init__ replaced, or a __new__ given to it, after an
    error has been raised through it."""
    with pytest.raises(tv.MESError):
        tv.process_mes_result(('a"b"c"d', 1))
    calls = []
    monkeypatch.setattr(tv.MESError, "__init__", lambda self, result: calls.append(result))
    with pytest.raises(tv.MESError) as info:
        tv.process_mes_result(('a"b"c"d', 2))
    assert calls == [('a"b"c"d', 2)] and info.value.args == (('a"b"c"d', 2),)
    monkeypatch.undo()
    monkeypatch.setattr(tv.MESError, "__new__", staticmethod(lambda cls, result: KeyError(result)), raising=False)
    with pytest.raises(KeyError):
        tv.process_mes_result(('a"b"c"d', 3))


class TestMESError:
    def test_is_an_exception_with_the_fixed_args_and_the_row(self, tv):
        row = ("x", 1)
        error = tv.MESError(row)
        assert isinstance(error, Exception)
        assert error.args == (INVALID,)
        assert error.result is row
        assert str(error) == "('x', 1)"
        assert repr(error) == "MESError" + repr(Exception(INVALID))[len("Exception"):]

    def test_result_by_keyword(self, tv):
        assert tv.MESError(result=5).result == 5

    def test_str_of_a_non_text_result(self, tv):
        assert str(tv.MESError(None)) == "None"
        assert str(tv.MESError(3)) == "3"

    def test_str_without_result_raises_attribute_error(self, tv):
        error = tv.MESError(1)
        del error.result
        with pytest.raises(AttributeError):
            str(error)

    def test_pickles_like_an_exception(self, tv):
        import pickle
        error = tv.MESError(("row", 1))
        copy = pickle.loads(pickle.dumps(error))
        assert type(copy) is tv.MESError
        assert copy.result == ("row", 1)

    def test_traceback_shows_the_row(self, tv):
        import traceback
        try:
            raise tv.MESError(("bad", 2))
        except tv.MESError as error:
            text = "".join(traceback.format_exception_only(type(error), error))
        assert text == "m4r_tessavor.MESError: ('bad', 2)\n"


def test_builtins_replaced_by_the_host_are_used_at_once(tv, capsys, monkeypatch):
    import builtins
    tv.process_mes_result(("warm", 0))
    printed = []
    monkeypatch.setattr(builtins, "print", lambda *args: printed.append(args))
    tv.process_mes_result(("OK", 0))
    monkeypatch.undo()
    tv.process_mes_result(("again", 0))
    assert printed == [("TVR MES GetUnitInfo: ('OK', 0)",)]
    assert "again" in capsys.readouterr().out
