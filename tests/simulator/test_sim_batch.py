"""Batch reading on its own, fed with the text the driver builds (its own client-side quoting):
the values each MES procedure receives, and the errors SQL Server gives."""

import asyncio
import re

import pytest
from datetime import datetime
from decimal import Decimal

from hypothesis import example, given, settings
from hypothesis import strategies as st
from pymssql import _mssql

from simulator_support import SAVE_RESULT, UNIT_QUERY
from mes_simulator.mes import procedures as mes, scenarios
from mes_simulator.sql import evaluate
from mes_simulator.sql import statements as statements_
from mes_simulator.sql.batch import (Parser, SqlError, _station_batch, check_declared, checked_batch,
                                 tokenize)
from mes_simulator.engine import Engine
from mes_simulator.sql import messages
from mes_simulator.server import Config


class _Session:
    """What the engine asks of its connection; records the MES calls instead of running them."""
    config, version, spid, server_name = Config(db=":memory:"), 0x74000004, 51, "MESSIM"

    user = "mes"
    db = mes.connect(":memory:")  # the MES tables a query reads, empty
    scenarios.create_table(db)

    class server:
        collation = bytes(5)
    server.read_db = db  # where the tables clients made are looked up

    def __init__(self):
        self.calls = []

    async def _mes_call(self, name, args, transaction):
        return mes.call(self.db, name, args)

    async def run_sql(self, function, *args, **write):
        return function(self.db, *args)

    async def send_part(self, payload):
        pass

    def log(self, *args):
        pass

    async def procedure(self, proc, args, transaction):
        self.calls.append(args)
        return 0, "OK"


_LOOP = asyncio.new_event_loop()


def teardown_module():
    _LOOP.close()


def run(text):
    """The arguments of the MES call the batch makes; SqlError if it is refused."""
    session = _Session()
    reply = _LOOP.run_until_complete(Engine(session).batch(text))
    if reply[:1] == b"\xaa":
        number = int.from_bytes(reply[3:7], "little")
        raise SqlError(number, reply[11:11 + 2 * int.from_bytes(reply[9:11], "little")].decode("utf-16-le"))
    return session.calls[0] if session.calls else reply


def as_driver_sends(batch, params):
    return _mssql.substitute_params(batch, params).decode("utf-8")


@settings(max_examples=200, deadline=None)
@given(serial=st.text(st.characters(blacklist_categories=("Cs",), blacklist_characters="\x00")),
       employee=st.text(st.characters(min_codepoint=0x4E00, max_codepoint=0x9FA5), max_size=8),
       error_no=st.one_of(st.integers(-2**40, 2**40), st.none()))
def test_any_parameter_values_arrive_unchanged(serial, employee, error_no):
    args = run(as_driver_sends(SAVE_RESULT, (serial, b"FT1", employee.encode("gbk"), b"L1",
                                             "PASS", error_no)))
    assert args == [serial, "FT1", employee, "L1", "PASS",
                          None if error_no is None else str(error_no)]


def _typed(tree):
    """A statement tree with the type of each leaf beside it (Varchar is a str, 1 == 1.0)."""
    if isinstance(tree, (tuple, list)):
        return tuple(_typed(part) for part in tree)
    if isinstance(tree, dict):
        return {key: _typed(part) for key, part in tree.items()}
    return type(tree).__name__, tree


def _reading(read, text):
    try:
        return _typed(read(text))
    except SqlError as err:
        return err.number, err.text


_VALUES = st.one_of(st.text(st.characters(blacklist_categories=("Cs",), blacklist_characters="\x00")),
                    st.binary(), st.integers(-10**45, 10**45), st.none(), st.decimals(allow_nan=False),
                    st.text("'N0x-", max_size=6).map(lambda t: t.encode()))


@settings(max_examples=300, deadline=None)
@given(st.booleans(), st.tuples(*[_VALUES] * 6))
def test_station_batches_read_as_any_batch_is_read(unit, values):
    """The station's batches, recognised by their shape, give the statements (and errors) that
    reading them token by token gives."""
    values = values[:4] if unit else values
    text = as_driver_sends(UNIT_QUERY if unit else SAVE_RESULT, values)

    def token_by_token(text):
        statements = Parser(tokenize(text)).batch()
        check_declared(statements, ())
        return statements
    assert _reading(checked_batch, text) == _reading(token_by_token, text)
    if all(v is None or isinstance(v, (str, bytes, int)) for v in values):
        assert _reading(_station_batch, text) != _typed(None)  # what the driver writes for them


def _walk(statements):
    """The statements, and those inside blocks, branches, loops and TRY/CATCH."""
    for statement in statements:
        yield statement
        inner = {"block": ("statements",), "if": ("then", "otherwise"), "while": ("body",),
                 "try": ("statements", "handler")}.get(statement.kind, ())
        for field in inner:
            part = getattr(statement, field)
            if part is not None:
                for found in _walk(part if isinstance(part, tuple) and not isinstance(
                        part, statements_.Statement) else (part,)):
                    yield found


def test_statements_are_named_types_that_know_their_line():
    """Every statement read, also inside others and in the station's own batches, is one of the
    named statement types, its kind the type's, and knows the line it starts on."""
    text = ("SET NOCOUNT ON\nUSE MES\nDECLARE @n int = 1, @t nvarchar(10)\nSET @n += 2\n"
            "PRINT @n\nSELECT @n\nSELECT serial FROM dbo.units\nEXEC sp_who\nEXEC ('SELECT 1')\n"
            "BEGIN TRAN t\nSAVE TRAN s\nROLLBACK TRAN s\nCOMMIT\n"
            "IF @n > 1 BEGIN PRINT 'a' END ELSE PRINT 'b'\n"
            "WHILE @n < 5 BEGIN SET @n += 1 IF @n = 4 BREAK ELSE CONTINUE END\n"
            "BEGIN TRY RAISERROR ('x', 16, 1) END TRY BEGIN CATCH THROW; END CATCH\n"
            "THROW 50001, 'y', 1\nstop:\nGOTO stop\nRETURN\n"
            "CREATE TABLE t1 (a int PRIMARY KEY)\nALTER TABLE t1 ADD b int\n"
            "CREATE INDEX i1 ON t1 (b)\nDROP INDEX t1.i1\nDROP TABLE IF EXISTS t1\n"
            "INSERT INTO @t VALUES (1)\nUPDATE dbo.units SET step = 0 WHERE 1 = 0\n"
            "DELETE FROM dbo.results WHERE 1 = 0\n"
            "MERGE dbo.units AS u USING (SELECT 'x' AS s) AS v ON u.serial = v.s "
            "WHEN MATCHED THEN UPDATE SET step = 0;\nEXEC @n = @t 1\nWAITFOR DELAY @t\n")
    batch = Parser(tokenize(text)).batch()
    assert [s.line for s in batch] == list(range(1, 32))
    kinds = set()
    for statement in list(_walk(batch)) + list(_walk(_station_batch(as_driver_sends(
            UNIT_QUERY, ("SN1", "FT1", "a", "b"))))):
        assert isinstance(statement, statements_.Statement) \
            and type(statement) is not statements_.Statement, statement
        assert statement.kind == type(statement).KIND
        kinds.add(statement.kind)
    assert kinds == {getattr(statements_, name).KIND for name in dir(statements_)
                     if getattr(getattr(statements_, name), "KIND", None)}


def test_literal_forms():
    text = UNIT_QUERY % ("N'a''b'", "'x''y'", "0xd5c5c8fd", "-00012")
    assert run(text) == ["a'b", "x'y", "张三", "-12"]
    assert run(UNIT_QUERY % ("0x5300", "NULL", "0x", "+7")) == ["S", None, "", "7"]


def test_sql_server_conversions():
    # bytes into the nvarchar serial are read as UTF-16; text into varchar loses what GBK lacks
    assert run(UNIT_QUERY % ("0x41004200", "N'😀'", "1.50", "0xff")) == ["AB", "?", "1.50", "?"]


def test_whitespace_comments_case_and_brackets_as_sql_server_reads_them():
    text = ("/* station */ declare @outputxmls NVARCHAR ( 4000 ) ,@return INT;"
            "EXECUTE [dbo].[uspGetUnitInfo]\tN'SN1',\r\n'FT1' ,'e','l',@OutPutxmls OUTPUT,"
            "@RETURN OUT -- comment\nselect @OutPutxmls,@RETURN")
    assert run(text) == ["SN1", "FT1", "e", "l"]
    assert run(UNIT_QUERY.replace("dbo.", "MES.dbo.") % ("1", "2", "3", "4")) == ["1", "2", "3", "4"]


@pytest.mark.parametrize("text, number", [
    (UNIT_QUERY % ("N'SN1", "'a'", "'b'", "'c'"), 105),
    ("select N'abc", 105),
    ("/* never closed", 113),
    (UNIT_QUERY % ("dbo.SN0001", "'a'", "'b'", "'c'"), 102),   # a qualified name is no literal
    (UNIT_QUERY % ("@x", "'a'", "'b'", "'c'"), 137),
    (UNIT_QUERY % ("1" * 39, "'a'", "'b'", "'c'"), 1007),
    (UNIT_QUERY % ("'a'", "'b'", "'c'", "'d'; DROP TABLE units"), 102),
    (UNIT_QUERY.replace("uspGetUnitInfo", "other.uspGetUnitInfo") % ("1", "2", "3", "4"), 2812),
    ("exec", 102),
    ("SET @x = 1", 137),
    ("SELECT 2147483647 + 1", 8115),
    ("SELECT 1 / 0", 8134),
    ("SELECT LEN()", 174),
    ("SELECT serial FROM dbo.units WHERE COUNT(*) > 1", 147),
    ("SELECT 1 UNION SELECT 1, 2", 205),
    ("IF 1 = 1 SELECT 1 ELSE", 102),      # the batch ends where a statement must follow
    ("SELECT 1 PRINT", 102),
    ("WITH [exec] AS (SELECT @nope AS a) SELECT a FROM [exec]", 137),
])
def test_malformed_batches_are_errors(text, number):
    with pytest.raises(SqlError) as caught:
        run(text)
    assert caught.value.number == number


@pytest.mark.parametrize("text", [
    "WITH assign AS (SELECT 1 AS a) SELECT a FROM assign",
    "WITH [exec] AS (SELECT 1 AS a) SELECT a FROM [exec]",
    "WITH [declare] AS (SELECT 1 AS a) SELECT a FROM [declare]",
])
def test_names_that_are_statement_words_are_only_names(text):
    """A CTE or a column may be named as a statement is; the check of the variables a batch
    uses still reads the tree by what each node is."""
    assert run(text)[:1] == b"\x81"  # a result set, not an internal error


def test_session_batches_are_done_without_a_call():
    for text in ("SET ARITHABORT ON;SET TEXTSIZE 2147483647;", "use [MES]", "  ",
                 "set language us_english\nset transaction isolation level read committed"):
        assert run(text)[:1] in (b"\xfd", b"\xe3")


@pytest.mark.parametrize("text, sqltype, value", [
    ("3000000000", "numeric(10,0)", 3000000000),
    ("-7 / 2 + -7 % 3", "int", -4),
    ("7.0 / 2", "numeric(13,12)", Decimal("3.5")),
    ("LEN(N'ab  ') + CHARINDEX('B', 'abc')", "int", 4),
    ("UPPER('ab') + N'c' + REVERSE(LOWER('DE'))", "nvarchar(5)", "ABced"),
    ("CAST(SERVERPROPERTY('ProductVersion') AS varchar)", "varchar(30)", "15.0.2000.5"),
    ("COALESCE(NULL, SUBSTRING('xyz', 2, 5))", "varchar(3)", "yz"),
    ("ISNULL(NULL, 1.5)", "numeric(2,1)", Decimal("1.5")),
    ("DATEDIFF(day, '2024-01-01', '2024-03-01')", "int", 60),
    ("CONVERT(varchar(10), DATEADD(month, 1, '2024-01-31'), 120)", "varchar(10)", "2024-02-29"),
    ("CASE WHEN 1 = 2 THEN 'a' WHEN 'A' = 'a ' THEN 'bc' END", "varchar(2)", "bc"),
    ("REPLACE(N'aXa', 'x', '-')", "nvarchar(4000)", "a-a"),
    ("@@MAX_PRECISION", "tinyint", 38),
    ("SCHEMA_NAME()", "nvarchar(128)", "dbo"),
    ("CASE WHEN 'a_b' LIKE 'a!_b' ESCAPE '!' AND 'axb' NOT LIKE 'a!_b' ESCAPE '!' THEN 1 END",
     "int", 1),
    ("CASE WHEN 3 NOT IN (1, NULL) THEN 1 ELSE 0 END", "int", 0),   # unknown, not true
    ("CASE WHEN 2 BETWEEN 1 AND 3 AND NOT 5 BETWEEN 1 AND 3 THEN ~1 END", "int", -2),
    ("CASE 2 WHEN 1 THEN 'a' WHEN 2.0 THEN 'b' END", "varchar(1)", "b"),
    ("CASE WHEN NULL IS NULL OR 1 IS NOT NULL THEN -(3 * 2) END", "int", -6),
    # the offset Sequelize appends to dates is dropped by datetime2; seven fraction digits read
    ("CAST('2024-01-02 03:04:05.1234567 +08:00' AS datetime2)", "datetime2",
     datetime(2024, 1, 2, 3, 4, 5, 123456)),
])
def test_expressions_have_sql_server_types_and_values(text, sqltype, value):
    engine = Engine(_Session())
    node = engine._bind(Parser(tokenize(text)).expression(), {})
    assert (str(node.type), evaluate.value(node, evaluate.Context(engine, {}))) \
        == (sqltype, value)


_WORDS = ["SELECT", "DECLARE", "@a", "int", "nvarchar(max)", "varchar(3)", "decimal(5,2)", "=", ",",
          ";", "(", ")", "-1", "3000000000", "1.5", "1e400", "N'x'", "'abc'", "0x41", "NULL",
          "@@VERSION", "@@TRANCOUNT", "EXEC", "dbo.uspGetUnitInfo", "sp_executesql", "OUTPUT",
          "DEFAULT", "BEGIN", "TRAN", "COMMIT", "ROLLBACK", "IF", ">", "ELSE", "SET", "ON", "FROM",
          "AS", "x", "*", "N'@a int'", "N'select @a'", "9" * 39, "dbo.units", "WHERE", "serial",
          "ORDER BY", "TOP", "COUNT(*)", "INSERT INTO", "VALUES", "UPDATE", "DELETE", "LEN(", "+",
          "CAST(", "JOIN", "ON", "CASE WHEN", "THEN", "END", "sys.tables", "UNION", "ESCAPE",
          "sp_tables", "sp_columns", "sp_special_columns", "sp_statistics", "sp_datatype_info",
          "@ODBCVer", "'%'", "''", "BEGIN TRY", "END TRY", "BEGIN CATCH", "END CATCH", "THROW",
          "RAISERROR(", "'%d %s'", "16", "PRINT", "RETURN", "SAVE TRAN", "s1", "EXEC(",
          "BREAK", "XACT_STATE()", "ERROR_MESSAGE()", "@@ERROR", "SET XACT_ABORT ON", "l1:",
          "OVER (", "ROW_NUMBER()", "PARTITION BY", "MERGE", "USING",
          "WHEN MATCHED", "CREATE TABLE", "DROP TABLE", "#t", "INTO", "EXCEPT", "PERCENT",
          "WITH TIES", "LIKE", "'[z-a]'", "(VALUES (1))", "REPLICATE('a', 9000)", "STRING_AGG("]


@settings(max_examples=300, deadline=None)
@given(st.lists(st.sampled_from(_WORDS), min_size=1, max_size=14))
@example(["SELECT", "3000000000"])
@example(["SELECT", "COUNT(*)", "FROM", "dbo.units", "WHERE", "serial", "=", "N'x'"])
@example(["EXEC", "sp_special_columns", "NULL"])
@example(["BEGIN TRY", "THROW", "END TRY", "BEGIN CATCH", "THROW", "END CATCH"])
@example(["RAISERROR(", "'%d %s'", ",", "16", ",", "1", ",", "'abc'", ")"])
@example(["DELETE", "DECLARE"])
@example(["SELECT", "[exec]", "FROM", "dbo.units"])
def test_any_batch_is_answered(words):
    """Whatever the batch, the answer is a reply or an SQL Server error, never a fault."""
    try:
        run(" ".join(words))
    except SqlError as err:
        assert 100 <= err.number


# RAISERROR's printf is C's, which Python's % follows where the flags mean the same in both:
# not "+" or " " for unsigned, not "#", not "0" beside a precision (C ignores it there).
def _spec(flags, width, precision, kind):
    if precision:
        flags = flags.replace("0", "")
    return "%" + "".join(sorted(set(flags))) + width + precision + kind


_SPECS = st.one_of(
    st.builds(_spec, st.text("-+ 0", max_size=3), st.sampled_from(["", "1", "7"]),
              st.sampled_from(["", ".0", ".3"]), st.just("d")),
    st.builds(_spec, st.text("-0", max_size=2), st.sampled_from(["", "1", "9"]),
              st.sampled_from(["", ".0", ".4"]), st.sampled_from("xX")),
    st.builds(_spec, st.text("-", max_size=1), st.sampled_from(["", "1", "7"]),
              st.sampled_from(["", ".0", ".3"]), st.just("s")))


@settings(max_examples=300, deadline=None)
@given(spec=_SPECS, number=st.integers(-2 ** 31, 2 ** 31 - 1),
       text=st.text(st.characters(blacklist_categories=("Cs",)), max_size=9))
def test_raiserror_formats_as_printf(spec, number, text):
    value = text if spec.endswith("s") else number
    expected = spec % (number & 0xFFFFFFFF if spec[-1] in "xX" else value)
    assert messages.format_message("<" + spec + ">", [value]) == "<" + expected + ">"


def _rpc_message(proc_id, params):
    def nvarchar(text):
        data = text.encode("utf-16-le")
        return b"\xe7\x40\x1f" + bytes(5) + len(data).to_bytes(2, "little") + data
    body = b"".join(bytes([len(name)]) + name.encode("utf-16-le") + bytes([out]) + (
        nvarchar(value) if isinstance(value, str) else b"\x26\x04\x04" + value.to_bytes(4, "little"))
        for name, out, value in params)
    headers = (22).to_bytes(4, "little") + (18).to_bytes(4, "little") + b"\x02\x00" + bytes(12)
    return headers + b"\xff\xff" + proc_id.to_bytes(2, "little") + b"\x00\x00" + body


_EXECUTESQL = _rpc_message(10, [("", 0, "select @a, @b"), ("", 0, "@a int, @b nvarchar(5) output"),
                                ("@a", 0, 5), ("@b", 1, "xyz")])


@settings(max_examples=300, deadline=None)
@given(st.lists(st.tuples(st.integers(0, len(_EXECUTESQL) - 1), st.integers(0, 255)), max_size=4))
def test_any_rpc_request_is_answered_or_refused_as_malformed(changes):
    from mes_simulator.errors import ProtocolError
    data = bytearray(_EXECUTESQL)
    for pos, byte in changes:
        data[pos] = byte
    try:
        reply = _LOOP.run_until_complete(Engine(_Session()).rpc(bytes(data)))
    except ProtocolError:
        return
    assert reply[-13:-12] == b"\xfe"  # ends with DONEPROC
    if not changes:  # the untouched request: the row, then the OUTPUT parameter @b
        assert "xyz".encode("utf-16-le") in reply and b"\xac" in reply


def _like_by_backtracking(value, pattern, escape):
    """LIKE as a regular expression, the way that backtracks: right, but slow on some patterns."""
    out, n = [], 0
    while n < len(pattern):
        ch = pattern[n]
        if ch == escape and n + 1 < len(pattern):
            n += 1
            out.append(re.escape(pattern[n]))
        elif ch in "%_":
            out.append(".*" if ch == "%" else ".")
        elif ch == "[" and "]" in pattern[n + 1:]:
            end = pattern.index("]", n + 1)
            body = pattern[n + 1:end]
            out.append("[" + ("^" + body[1:] if body.startswith("^") else body) + "]")
            n = end
        else:
            out.append(re.escape(ch))
        n += 1
    return re.fullmatch("".join(out), value.rstrip(" "), re.IGNORECASE | re.DOTALL) is not None


@given(st.text("aAb %", max_size=12),
       st.lists(st.sampled_from(["a", "B", "%", "_", "[ab]", "[^a]", "!%", "!_", " "]),
                max_size=8))
@example("a", ["a", "%", "a"])              # the pieces at both ends may not overlap
@example("ab", ["%", "a", "%", "a", "%"])   # nor the middle ones
@example("a b  ", ["a", "_", "B"])          # trailing blanks of the value do not count
@settings(max_examples=400)
def test_like_matches_without_backtracking(value, pieces):
    pattern = "".join(pieces)
    assert evaluate.like(value, pattern, "!") == _like_by_backtracking(value, pattern, "!")
