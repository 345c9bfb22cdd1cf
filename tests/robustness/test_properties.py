"""Property-based checks: arbitrary answer rows, arbitrary argument
patterns, arbitrary info.cfg contents and arbitrary operator texts.

Each property compares the module with an independent reading of its
rules (or with the interpreter itself, for argument errors), so that a
wrong result shows as well as a crash. They run in both modes and under
the sanitizers; the number of examples comes from the hypothesis profile
(see conftest.py).
"""

import configparser
import contextlib
import gc
import io
import keyword
import locale
import os
import shutil
import sys
import tempfile
import traceback
import types

import pytest
from hypothesis import assume, event, given, note
from hypothesis import strategies as st

import m4r_tessavor as tv
import support
from fakes import FakeDriver
from robustness_support import (INVALID, LOG_PREFIX, METHODS, NONE_MESSAGE, callables, examples)


@contextlib.contextmanager
def captured():
    """Standard output and error of the block, as two StringIO objects."""
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        yield out, err


# ---------------------------------------------------------------------------
# Answer rows
# ---------------------------------------------------------------------------


class CustomError(Exception):
    pass


class CustomBaseError(BaseException):
    """Not an Exception: passes every `except Exception`."""


class InnerMESError(tv.MESError):
    pass


# Exceptions a row may raise from any of its methods: ordinary ones (read
# as an unreadable row), MESErrors (passed on unchanged) and interruptions
# (passed on unchanged).
ORDINARY = [ValueError, KeyError, IndexError, TypeError, AttributeError, ZeroDivisionError, OSError,
            RuntimeError, RecursionError, MemoryError, UnicodeError, StopIteration, LookupError, Warning,
            CustomError]
PASSING = [KeyboardInterrupt, SystemExit, GeneratorExit, CustomBaseError,
           lambda: tv.MESError("raised inside"), lambda: InnerMESError("raised inside")]
exceptions = st.sampled_from(ORDINARY + PASSING)


class Raise:
    """A behaviour: raise a new exception made by `factory`."""

    def __init__(self, factory):
        self.factory = factory

    def __call__(self):
        raise self.factory()

    def __repr__(self):
        return "Raise(%s)" % getattr(self.factory, "__name__", "MESError")


def behaviour(values):
    """A method result: one of `values`, or an exception."""
    return st.one_of(values.map(lambda v: (lambda: v)), exceptions.map(Raise))


class Evil:
    """An object whose len(), [index], str(), split() and int() follow the
    behaviours drawn for it. Every behaviour is fixed, so that the module
    and the reading of the rules see the same results in the same order."""

    def __init__(self, length=None, items=None, text=None, split=None, number=None, label="evil"):
        self._length, self._items, self._text = length, items or {}, text
        self._split, self._number, self._label = split, number, label

    def __len__(self):
        if self._length is None:
            raise TypeError("object of type 'Evil' has no len()")
        return self._length()

    def __getitem__(self, index):
        found = self._items.get(index)
        if found is None:
            raise IndexError(index)
        return found()

    def __str__(self):
        return self._text() if self._text is not None else "<%s>" % self._label

    __repr__ = __str__

    def split(self, separator):
        if self._split is None:
            raise AttributeError("split")
        return self._split()

    def __int__(self):
        if self._number is None:
            raise TypeError("no int")
        return self._number()


class Text(str):
    """A text whose split gives what the drawn behaviour says."""

    def __new__(cls, text, split):
        self = super().__new__(cls, text)
        self._split = split
        return self

    def split(self, *args):
        return self._split()


quote_heavy = st.text(alphabet=st.sampled_from('"""ab 空\'\t“'), max_size=12)
any_text = st.one_of(quote_heavy, st.text(max_size=12),
                     st.text(st.characters(blacklist_categories=()), max_size=6))  # lone surrogates too
numbers = st.one_of(st.integers(), st.integers(-2 ** 200, 2 ** 200), st.floats(), st.booleans(),
                    st.decimals(allow_nan=True).map(str), st.from_regex(r"\s*[-+]?\d{1,30}\s*", fullmatch=True),
                    st.builds(lambda: "9" * 5000))  # beyond the interpreter's digit limit
plain = st.one_of(st.none(), any_text, numbers, st.binary(max_size=8))


def nested(children):
    return st.one_of(st.lists(children, max_size=4), st.lists(children, max_size=4).map(tuple),
                     st.dictionaries(st.one_of(st.integers(-1, 3), st.text(max_size=2)), children, max_size=4))


junk = st.recursive(plain, nested, max_leaves=8)

# What split() of a feedback object may give: token lists, other sequences,
# things without a length, things whose length or items fail.
tokens = st.one_of(
    st.lists(any_text, max_size=6), st.lists(any_text, max_size=6).map(tuple), any_text,
    st.builds(lambda n: (str(i) for i in range(n)), st.integers(0, 5)),
    st.builds(lambda length, items: Evil(length=length, items=dict(enumerate(items))),
              behaviour(st.integers(-1, 6) | st.sampled_from([2 ** 64, True, "3"])),
              st.lists(behaviour(junk), max_size=4)),
    st.none(), st.integers())

feedbacks = st.one_of(
    any_text, any_text, st.none(), junk,
    st.builds(Text, any_text, behaviour(tokens)),
    st.builds(lambda split, number: Evil(split=split, number=number),
              behaviour(tokens), st.one_of(st.none(), behaviour(st.integers() | st.floats() | st.text()))),
)

codes = st.one_of(st.integers(-5, 10), junk, st.builds(Evil))

rows = st.one_of(
    st.tuples(feedbacks, codes),
    st.tuples(feedbacks, codes).map(list),
    st.builds(lambda f, c: {0: f, 1: c}, feedbacks, codes),
    st.tuples(feedbacks),
    st.lists(st.one_of(feedbacks, codes), max_size=5).map(tuple),
    junk,
    st.builds(lambda length, items, text: Evil(length=length, items=dict(enumerate(items)), text=text),
              behaviour(st.integers(-1, 5) | st.sampled_from([2 ** 70, True, 2.0, "2"])),
              st.lists(behaviour(st.one_of(feedbacks, codes)), max_size=3),
              st.one_of(st.none(), behaviour(any_text | st.integers()))),
)


def expected_reading(row):
    """What the rules say of process_mes_result(row), as
    (log line or None, kind, value):

    - ("pair", (code, message))
    - ("format", None): three or more double quotes, MESError without a cause
    - ("unreadable", cause): any other ordinary exception, printed and read as MESError
    - ("raised", exception): passes unchanged (the log line failing,
      MESError from inside, interruptions)
    """
    try:
        line = LOG_PREFIX + str(row)
    except BaseException as error:  # the log line fails: nothing is caught
        return None, "raised", error
    try:
        if len(row) == 1:
            return line, "pair", (int(row[0]), "")
        feedback = row[0]
        if feedback is None:
            return line, "pair", (0, NONE_MESSAGE)
        parts = feedback.split('"')
        count = len(parts)
        if count >= 4:
            return line, "format", None
        message = parts[1] if count == 3 else parts[0]
        return line, "pair", (row[1], message)
    except tv.MESError as error:
        return line, "raised", error
    except Exception as error:
        return line, "unreadable", error
    except BaseException as error:
        return line, "raised", error


@examples(share=4)
@given(row=rows)
def test_any_row_ends_in_the_pair_or_mes_error_as_the_rules_say(row):
    line, kind, value = expected_reading(row)
    note("expected: %s %r" % (kind, value))
    event("expected: %s" % kind)
    with captured() as (out, err):
        try:
            result = tv.process_mes_result(row)
        except BaseException as error:  # compared below
            raised = error
        else:
            raised = None
    if line is None:
        assert out.getvalue() == ""
    else:
        assert out.getvalue() == line + "\n"

    if kind == "pair":
        assert raised is None, raised
        code, message = value
        assert type(result) is tuple and len(result) == 2
        assert result[0] == code or (result[0] != result[0] and code != code)  # NaN stays NaN
        assert type(result[0]) is type(code)
        assert result[1] == message and type(result[1]) is type(message)
        assert err.getvalue() == ""
    elif kind == "format":
        assert type(raised) is tv.MESError
        assert raised.result is row and raised.args == (INVALID,)
        assert raised.__context__ is None
        assert str(raised) == str(row)
        assert err.getvalue() == ""
    elif kind == "unreadable":
        assert type(raised) is tv.MESError, raised
        assert raised.result is row and raised.args == (INVALID,)
        assert str(raised) == str(row)
        cause = raised.__context__
        assert type(cause) is type(value) and str(cause) == str(value)
        assert raised.__cause__ is None and raised.__suppress_context__ is False
        printed = err.getvalue()
        # What traceback.print_exc() prints for the cause: its Python frames
        # (none for an error raised by the interpreter in the module's own
        # code), then the exception itself.
        assert printed.startswith("Traceback (most recent call last):\n") == (cause.__traceback__ is not None)
        assert printed.endswith("".join(traceback.format_exception_only(type(value), value)))
    else:
        assert type(raised) is type(value)
        assert err.getvalue() == ""


def message_by_quote_count(text):
    """The message of a feedback text read by counting its double quotes:
    none: the text; one: what stands before it; two: what stands between
    them; three or more: None (the row is refused)."""
    count = text.count('"')
    if count == 0:
        return text
    if count == 1:
        return text[:text.index('"')]
    if count == 2:
        return text[text.index('"') + 1:text.rindex('"')]
    return None


@examples(share=2)
@given(text=st.one_of(quote_heavy, st.text(), st.text(st.characters(blacklist_categories=()))),
       code=st.one_of(st.integers(), st.none(), st.text(max_size=3)),
       shape=st.sampled_from([tuple, list, "dict", "long"]))
def test_the_message_is_read_by_counting_double_quotes(text, code, shape):
    row = {"dict": lambda: {0: text, 1: code}, "long": lambda: (text, code, "extra", None)}.get(
        shape, lambda: shape((text, code)))()
    message = message_by_quote_count(text)
    with captured() as (out, err):
        if message is None:
            with pytest.raises(tv.MESError) as refused:
                tv.process_mes_result(row)
            assert refused.value.result is row and refused.value.__context__ is None
        else:
            assert tv.process_mes_result(row) == (code, message)
    assert out.getvalue() == LOG_PREFIX + str(row) + "\n"
    assert err.getvalue() == ""


# A row whose methods rebind, delete or break the module's names while it is
# being read: whatever comes out, the interpreter survives and the module
# reads its names again at the next call.
def _rebind(name, value):
    return lambda: setattr(tv, name, value)


def _delete(name):
    return lambda: vars(tv).pop(name, None)


MUTATIONS = st.sampled_from([
    _rebind("MESError", int), _rebind("MESError", None), _rebind("MESError", KeyError), _delete("MESError"),
    _rebind("MESError", lambda res: KeyboardInterrupt()), _rebind("print", None),
    _rebind("print", lambda *a: 1 / 0), _delete("print"), _rebind("process_mes_result", None),
    lambda: gc.collect(), lambda: None,
])


class Meddler:
    def __init__(self, length, items, on_len, on_item, on_str):
        self.length, self.items = length, items
        self.on_len, self.on_item, self.on_str = on_len, on_item, on_str

    def __len__(self):
        self.on_len()
        return self.length

    def __getitem__(self, index):
        self.on_item()
        if index >= len(self.items):
            raise IndexError(index)
        return self.items[index]

    def __str__(self):
        self.on_str()
        return "meddler"


@examples(share=1)
@given(row=st.builds(Meddler, st.integers(0, 3), st.lists(st.one_of(feedbacks, codes), max_size=3),
                     MUTATIONS, MUTATIONS, MUTATIONS))
def test_a_row_that_rebinds_module_names_while_read_breaks_nothing(row):
    saved = dict(vars(tv))
    try:
        with captured():
            try:
                result = tv.process_mes_result(row)
            except BaseException as error:  # any exception is an answer here
                result = error
        assert isinstance(result, (tuple, BaseException))
    finally:
        for name in set(vars(tv)) - set(saved):
            del vars(tv)[name]
        vars(tv).update(saved)
    # Restored names work again.
    with captured() as (out, _):
        assert tv.process_mes_result(('x "ok" y', 3)) == (3, "ok")
    assert out.getvalue() == LOG_PREFIX + "('x \"ok\" y', 3)\n"


# ---------------------------------------------------------------------------
# Argument patterns
# ---------------------------------------------------------------------------


class Arg:
    """An argument value that says where it was passed."""

    def __init__(self, tag):
        self.tag = tag

    def __str__(self):
        return "<arg %s>" % (self.tag,)

    __repr__ = __str__

    def encode(self, codec):
        return ("%s:%s" % (codec, self.tag)).encode()


class Name(str):
    """A keyword name that is a text, of a subclass."""


NON_TEXT_NAMES = st.one_of(st.integers(-2, 2), st.binary(max_size=2), st.none(), st.just(()), st.just(1.5))
OTHER_NAMES = ["zz", "self", "res", "result", "parent", "event", "", "a b", "Server", "server ", "SERVER",
               "serial", "line", "__init__", "kwargs", "args"]


def twin_of(qualname, params, keywords=False):
    """The Python twin of a callable (tests/support.py); it returns what it bound."""
    return support.python_twin(qualname, params, keywords, "dict(zip(%r, (%s,)))" % (params, ", ".join(params)))


@st.composite
def call_patterns(draw, params):
    count = draw(st.one_of(st.integers(0, len(params) + 2), st.just(300)))
    args = [Arg("pos%d" % i) for i in range(count)]
    names = draw(st.lists(st.one_of(st.sampled_from(params), st.sampled_from(OTHER_NAMES),
                                    st.sampled_from(params).map(Name), st.text(max_size=3), NON_TEXT_NAMES),
                          max_size=len(params) + 2, unique=True))
    kwargs = {name: Arg("kw:%r" % (name,)) for name in names}
    return args, kwargs


def routes(kwargs, merge_split):
    """Ways of making the same call: name -> call(function, args, kwargs)."""
    found = {
        "direct": lambda f, a, k: f(*a, **k),
        # Through the function type's call slot, with a keyword dict.
        "call slot": lambda f, a, k: type(f).__call__(f, *a, **k),
        # Bound to an object, as a method of it.
        "bound": lambda f, a, k: types.MethodType(f, a[0])(*a[1:], **k) if a else f(**k),
    }
    if all(type(n) is str and n.isidentifier() and not keyword.iskeyword(n) for n in kwargs):
        source = "f(*a, %s)" % ", ".join("%s=k[%r]" % (n, n) for n in kwargs)
        code = compile(source, "<call>", "eval")
        found["spelled out"] = lambda f, a, k: eval(code, {"f": f, "a": a, "k": k})
    names = list(kwargs)
    first, second = names[:merge_split], names[merge_split:]
    # Two ** mappings; the interpreter itself refuses a name in both (before
    # 3.9 in words of its own that name the function's type, see docs/host.md).
    if not first or sys.version_info >= (3, 9):
        found["merged"] = lambda f, a, k: f(*a, **{n: k[n] for n in first}, **{n: k[n] for n in second + first[:1]})
    return found


def outcome(call):
    try:
        return "ran", call()
    except TypeError as error:
        return "refused", str(error)


SAFE_BODIES = {"process_mes_result", "GetUnitInfo", "SaveResult", "MESInfo.__init__", "MESInfo.Save",
               "MESError.__init__", "MESError.__str__"}


def check_bound_values(qualname, bound, driver, printed):
    """The body saw the values the interpreter bound, in their places."""
    if qualname == "process_mes_result":
        assert printed == LOG_PREFIX + str(bound["res"]) + "\n"
    elif qualname in ("GetUnitInfo", "SaveResult"):
        connect = [e for e in driver.events if e[0] == "connect"]
        assert len(connect) == 1
        for name in ("server", "user", "password", "database"):
            assert connect[0][2][name] is bound[name]
        (_, (batch, params), _), = [e for e in driver.events if e[0] == "execute_row"]
        assert params[0] is bound["serial_number"]
        assert params[1:4] == tuple(bound[n].encode("gbk") for n in ("procedure", "employee", "line_name"))
        if qualname == "SaveResult":
            assert params[4] == "PASS" and params[5] is bound["error_no"]


@examples(share=6)
@given(data=st.data())
def test_argument_patterns_are_bound_or_refused_like_a_python_function(data):
    qualname, func, params = data.draw(st.sampled_from(list(callables(tv))), label="callable")
    args, kwargs = data.draw(call_patterns(params), label="pattern")
    split = data.draw(st.integers(0, len(kwargs)), label="merge split")
    twin = twin_of(qualname, params, bool(kwargs))
    for route_name, route in routes(kwargs, split).items():
        non_text = any(not isinstance(n, str) for n in kwargs)
        if route_name == "call slot" and non_text:
            continue  # a known difference: see test_a_non_text_keyword_through_the_call_slot
        expected = outcome(lambda: route(twin, args, kwargs))
        note("%s: %r" % (route_name, expected))
        if expected[0] == "refused":
            got = outcome(lambda: route(func, args, kwargs))
            assert got == expected, (qualname, route_name)
            continue
        if qualname not in SAFE_BODIES:
            continue  # the dialogs' bodies are not run on made-up objects
        driver = FakeDriver()
        saved_sql = tv._sql
        tv._sql = driver
        try:
            with captured() as (out, _):
                try:
                    route(func, args, kwargs)
                except TypeError as error:
                    assert not str(error).startswith(qualname.rpartition(".")[2] + "()"), error
                    assert not str(error).startswith(qualname + "()"), error
                except Exception:
                    pass  # the body's own failure on made-up values
        finally:
            tv._sql = saved_sql
        check_bound_values(qualname, expected[1], driver, out.getvalue())


def twin_class(name, params, keywords):
    """A Python class whose __init__ has the same parameters."""
    init = support.python_twin(name + ".__init__", params, keywords, "None")
    bases = (Exception,) if name == "MESError" else ()
    return type(name, bases, {"__init__": init, "__module__": "m4r_tessavor"})


@examples(share=1)
@given(args=st.lists(st.builds(Arg, st.integers()), max_size=3),
       kwargs=st.dictionaries(st.sampled_from(["result", "zz", "self"]), st.builds(Arg, st.text(max_size=2)),
                              max_size=2),
       cls_name=st.sampled_from(["MESInfo", "MESError"]))
def test_the_classes_are_called_like_python_classes(args, kwargs, cls_name, scratch):
    cls = getattr(tv, cls_name)
    twin = twin_class(cls_name, dict(METHODS[cls_name])["__init__"], bool(kwargs))
    expected = outcome(lambda: twin(*args, **kwargs))
    with station_folder(scratch):
        got = outcome(lambda: cls(*args, **kwargs))
    assert got[0] == expected[0]
    if got[0] == "refused":
        assert got[1] == expected[1]
    elif cls_name == "MESError":
        result = args[0] if args else kwargs["result"]
        assert got[1].result is result and got[1].args == (INVALID,)


@pytest.mark.parametrize("kwargs", [{1: 2}, {"zz": 1, 1: 2}])
def test_a_non_text_keyword_through_the_call_slot(kwargs):
    twin = twin_of("GetUnitInfo", ["server", "user", "password", "database", "serial_number", "procedure",
                                   "employee", "line_name"])
    expected = outcome(lambda: type(twin).__call__(twin, **kwargs))
    assert outcome(lambda: type(tv.GetUnitInfo).__call__(tv.GetUnitInfo, **kwargs)) == expected


# ---------------------------------------------------------------------------
# info.cfg
# ---------------------------------------------------------------------------

KEYS = ("producttype", "mrno", "opname", "slot")
ATTRIBUTES = ("ProductType", "MRNo", "OPName", "Slot")
# The errors a file may cause: the parser's, the text decoding's, the file system's.
READ_ERRORS = (configparser.Error, UnicodeError, OSError)


@pytest.fixture(scope="module")
def scratch():
    """A folder on tmpfs when there is one (saving syncs every file)."""
    base = "/dev/shm" if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK) else None
    folder = tempfile.mkdtemp(prefix="tessavor-props-", dir=base)
    yield folder
    shutil.rmtree(folder, ignore_errors=True)


@contextlib.contextmanager
def station_folder(scratch, content=None):
    """An empty working folder (with info.cfg holding `content`, if given)."""
    folder = tempfile.mkdtemp(dir=scratch)
    try:
        if content is not None:
            with open(os.path.join(folder, "info.cfg"), "wb") as f:
                f.write(content)
        previous = os.getcwd()
        os.chdir(folder)
        try:
            yield folder
        finally:
            os.chdir(previous)
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def reference_read(path):
    """The four values as configparser gives them for the file, or the
    exception it raises."""
    parser = configparser.ConfigParser({"producttype": "", "mrno": "", "slot": "", "opname": ""})
    try:
        parser.read(path)
        if not parser.has_section("Sec"):
            parser.add_section("Sec")
        return tuple(parser.get("Sec", key) for key in KEYS)
    except Exception as error:
        return error


def raw_sections(path):
    """Every section of the file ([DEFAULT] too) with its own keys and
    their stored texts."""
    parser = configparser.ConfigParser(interpolation=None, strict=False, default_section="\0none")
    parser.read(path)
    return {name: dict(parser.items(name, raw=True)) for name in parser.sections()}


_keys = st.one_of(st.sampled_from([b"producttype", b"MRNO", b"OpName", b"slot", b"extra", b"x", b""]),
                  st.text(max_size=4).map(lambda t: t.encode("utf-8", "surrogatepass")))
_values = st.one_of(st.sampled_from([b"", b"%", b"%%", b"50% off", b"%(mrno)s", b"%(slot)s", b"%(nope)s",
                                     b"%(opname)s", b"\xe5\xbc\xa0\xe4\xb8\x89", "张三".encode("gbk"),
                                     b"\xef\xbb\xbf", b"\x00", b"a;b", b"#c"]),
                    st.binary(max_size=8), st.text(max_size=8).map(lambda t: t.encode("utf-8", "surrogatepass")))
_lines = st.one_of(
    st.sampled_from([b"[Sec]", b"[DEFAULT]", b"[sec]", b"[Other]", b"[", b"]", b"[]", b"[Sec", b"  [Sec]",
                     b"# note", b"; note", b"", b"  ", b"\t"]),
    st.builds(lambda indent, key, sep, value: indent + key + sep + value,
              st.sampled_from([b"", b"", b" ", b"\t"]), _keys, st.sampled_from([b" = ", b"=", b":", b" : ", b""]),
              _values),
    _values.map(lambda v: b"\t" + v),
    st.binary(max_size=16),
)
random_files = st.builds(lambda lines, eol: eol.join(lines), st.lists(_lines, max_size=12),
                         st.sampled_from([b"\n", b"\r\n", b"\r"]))

_key_texts = st.one_of(
    st.sampled_from(["producttype", "MRNo", "OPName", "slot", "extra", "Key", "张三"]),
    st.text(st.characters(blacklist_characters="=:[]#;\n\r", blacklist_categories=("Cs",)), min_size=1,
            max_size=6).filter(lambda k: k == k.strip() and k[0] not in "#;[")).filter(lambda k: k.strip() != "")
_value_texts = st.one_of(
    st.text(st.characters(blacklist_characters="\n\r", blacklist_categories=("Cs",)), max_size=10).map(
        lambda v: v.replace("%", "%%")),
    st.sampled_from(["%(mrno)s", "%(slot)s-%(producttype)s", "100%%", "%(nope)s", "50% off", "a%%b%%"]),
    st.lists(st.text(st.characters(blacklist_characters="\n\r%", blacklist_categories=("Cs",)), max_size=6),
             min_size=2, max_size=3).map("\n\t".join),
)


@st.composite
def readable_files(draw):
    """Files that mostly read: sections of distinct names holding keys of
    distinct names (as the parser compares them)."""
    names = draw(st.lists(st.sampled_from(["DEFAULT", "Sec", "Sec", "Other", "sec", "two words", "张"]),
                          unique=True, max_size=4))
    lines = []
    for name in names:
        lines.append("[%s]" % name)
        for key in draw(st.lists(_key_texts, unique_by=str.lower, max_size=5)):
            lines.append(key + draw(st.sampled_from([" = ", "=", ": ", "\t=\t"])) + draw(_value_texts))
        if draw(st.booleans()):
            lines.append(draw(st.sampled_from(["", "# comment", "; comment", "   "])))
    eol = draw(st.sampled_from(["\n", "\r\n"]))
    return eol.join(lines).encode("utf-8")


info_files = st.one_of(random_files, readable_files())


@examples(share=2)
@given(content=info_files)
def test_any_file_content_is_read_as_configparser_reads_it(content, scratch):
    with station_folder(scratch, content) as folder:
        expected = reference_read("info.cfg")
        note("configparser: %r" % (expected,))
        event("configparser: %s" % (type(expected).__name__ if isinstance(expected, Exception) else "read"))
        try:
            info = tv.MESInfo()
        except READ_ERRORS as error:
            assert isinstance(expected, Exception), error
            assert type(error) is type(expected) and str(error) == str(expected)
            assert os.listdir(folder) == ["info.cfg"]
            return
        assert not isinstance(expected, Exception), expected
        assert tuple(getattr(info, name) for name in ATTRIBUTES) == expected
        assert os.listdir(folder) == ["info.cfg"]


@examples(share=1)
@given(content=readable_files())
def test_a_file_that_reads_saves_and_reads_back_the_same(content, scratch):
    with station_folder(scratch, content) as folder:
        try:
            info = tv.MESInfo()
        except READ_ERRORS:
            assume(False)
        values = tuple(getattr(info, name) for name in ATTRIBUTES)
        sections = raw_sections("info.cfg")
        info.Save()
        assert os.listdir(folder) == ["info.cfg"]
        again = tv.MESInfo()
        assert tuple(getattr(again, name) for name in ATTRIBUTES) == values
        # Everything else the file held is kept as it was stored.
        saved = raw_sections("info.cfg")
        sections["DEFAULT"] = {**dict.fromkeys(("producttype", "mrno", "slot", "opname"), ""),
                               **sections.get("DEFAULT", {})}
        sections["Sec"] = {**sections.get("Sec", {}), **{key: saved["Sec"][key] for key in KEYS}}
        assert saved == sections


def file_encoding():
    return locale.getpreferredencoding(False)


def read_back(text):
    """What a text saved by Save reads back as, by the storage rules:

    - a value is stored on its `key = value` line, and reading trims the
      white space (str.strip) around it;
    - a line break makes a value of several lines: each further line is
      trimmed on its own, a further line that begins with # or ; (after
      its white space) is taken for a comment and dropped, and white space
      and empty lines at the end are dropped;
    - a carriage return, alone or before a line feed, is stored as a line
      feed;
    - a percent sign is stored doubled and reads back single.
    """
    lines = text.replace("\r\n", "\n").replace("\r", "\n").split("\n")
    kept = [lines[0].strip()] + [line.strip() for line in lines[1:] if not line.strip().startswith(("#", ";"))]
    return "\n".join(kept).rstrip()


def encodable(text):
    try:
        text.encode(file_encoding())
        return True
    except UnicodeEncodeError:
        return False


operator_texts = st.one_of(
    st.text(), st.text(st.characters(blacklist_categories=())),  # lone surrogates too
    st.text(st.sampled_from(" \t\n#;%[]=:()s\x0b\x0c\x1c\x85\xa0\u2028\u3000a张")),
)


@examples(share=2)
@given(values=st.tuples(operator_texts, operator_texts, operator_texts, operator_texts))
def test_operator_texts_read_back_by_the_storage_rules(values, scratch):
    with station_folder(scratch) as folder:
        info = tv.MESInfo()
        info.Save()
        with open("info.cfg", "rb") as f:
            before = f.read()
        for name, value in zip(ATTRIBUTES, values):
            setattr(info, name, value)
        if not all(encodable(v) for v in values):
            # Refused: the file keeps its old content and no new file stays.
            with pytest.raises(UnicodeEncodeError):
                info.Save()
            with open("info.cfg", "rb") as f:
                assert f.read() == before
            assert os.listdir(folder) == ["info.cfg"]
            return
        info.Save()
        assert os.listdir(folder) == ["info.cfg"]
        again = tv.MESInfo()
        assert tuple(getattr(again, name) for name in ATTRIBUTES) == tuple(read_back(v) for v in values)
        # Exactly the texts without line breaks and without white space around them come back as typed.
        for value in values:
            if "\n" not in value and "\r" not in value and value == value.strip():
                assert read_back(value) == value


@pytest.mark.parametrize("typed, read", [
    ("张三 50% #1 ;x [Sec] a=b: %(mrno)s", "张三 50% #1 ;x [Sec] a=b: %(mrno)s"),  # as typed
    ("  padded\t", "padded"),            # white space around a value is trimmed
    ("\u3000全角\xa0", "全角"),            # any white space the str.strip of the host knows
    ("a\n  b  \nc", "a\nb\nc"),          # each line of a value is trimmed
    ("a\n#b\n;c\nd", "a\nd"),            # a further line that begins with # or ; is dropped
    ("a\n\nb\n\n  \n", "a\n\nb"),        # inner empty lines stay, trailing ones go
    ("\nlead", "\nlead"),                # an empty first line stays
    ("a\r\nb", "a\nb"),                  # a CR before a line feed goes with it
    ("x\r", "x"),                        # a CR at the end is trimmed like other white space
    ("a\rb", "a\nb"),                    # a CR alone is stored as a line feed
])
def test_storage_rules_by_example(typed, read, scratch):
    if not encodable(typed):
        pytest.skip("the locale's encoding cannot hold %r" % typed)
    with station_folder(scratch):
        info = tv.MESInfo()
        info.OPName = typed
        info.Save()
        assert tv.MESInfo().OPName == read
    assert read_back(typed) == read


@examples(share=1)
@given(value=st.one_of(st.integers(), st.none(), st.binary(), st.floats(), st.lists(st.text(), max_size=2)),
       where=st.sampled_from(ATTRIBUTES))
def test_a_value_that_is_not_text_is_refused_before_the_file_is_touched(value, where, scratch):
    with station_folder(scratch) as folder:
        info = tv.MESInfo()
        info.OPName = "kept"
        info.Save()
        with open("info.cfg", "rb") as f:
            before = f.read()
        setattr(info, where, value)
        with pytest.raises(TypeError):
            info.Save()
        with open("info.cfg", "rb") as f:
            assert f.read() == before
        assert os.listdir(folder) == ["info.cfg"]


@pytest.mark.parametrize("typed, where", [
    ("P\r[Other]", "ProductType"),    # the next three keys land in another section: read back empty
    ("a\rb", "OPName"),               # a line without '=': every later MESInfo() raises ParsingError
    ("a\rslot = 1", "OPName"),        # a duplicate key: every later MESInfo() raises DuplicateOptionError
])
def test_a_carriage_return_keeps_the_file_readable(typed, where, scratch):
    """Reading takes a carriage return for a line end: Save stores it as a
    line feed, so the rest of the text never becomes a line of the file."""
    with station_folder(scratch):
        info = tv.MESInfo()
        info.ProductType, info.MRNo, info.OPName, info.Slot = "P", "M", "O", "S"
        setattr(info, where, typed)
        try:
            info.Save()
        except ValueError:
            return  # refusing the text is a fine answer too
        try:
            again = tv.MESInfo()
        except configparser.Error as error:
            raise AssertionError("info.cfg no longer reads: %r" % error)
        assert [getattr(again, n) for n in ATTRIBUTES if n != where] == [
            getattr(info, n) for n in ATTRIBUTES if n != where]
        assert getattr(again, where) == typed.replace("\r", "\n")
