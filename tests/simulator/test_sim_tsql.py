"""T-SQL batches through the station's driver, each answered as SQL Server 2019 answers it.

CASES is one table: a batch (several, on one connection, when lines of GO part them, as the
client tools do) and what the driver hands back for it, built with
    rows("name type, ...", (value, ...), ...)   a result set: each column's name and SQL Server
        type (checked as the driver sees types: text, binary, number, date/time or decimal),
        then the rows, each value with its Python type;
    msg(text, severity=0, state=1, line=1)      a message (PRINT, RAISERROR of severity 10 or
        less) or the text of an error the batch went on after;
    error(number, text, severity=16, state=1, line=1)   the error the driver raises for its
        batch (its text comes as a message first).
Result sets, messages and raised errors are each compared in order.  The driver drops the
result sets of a batch that ends with an error raised, so such a case lists none.
Each case runs on a connection of its own to one simulator started for this file.
"""

import re
import threading
import time
from decimal import Decimal

import pytest
from pymssql import _mssql

from simulator_support import query
from mes_simulator.testing import Simulator

# How the driver sees a column's type (its type codes).
_TEXT, _BINARY, _NUMBER, _DATETIME, _DECIMAL = 1, 2, 3, 4, 5
DRIVER_TYPES = {
    "char": _TEXT, "varchar": _TEXT, "nchar": _TEXT, "nvarchar": _TEXT, "text": _TEXT,
    "ntext": _TEXT, "sysname": _TEXT, "binary": _BINARY, "varbinary": _BINARY,
    "bit": _NUMBER, "tinyint": _NUMBER, "smallint": _NUMBER, "int": _NUMBER, "bigint": _NUMBER,
    "float": _NUMBER, "real": _NUMBER, "decimal": _DECIMAL, "numeric": _DECIMAL,
    "money": _DECIMAL, "smallmoney": _DECIMAL, "datetime": _DATETIME, "date": _DATETIME,
    "datetime2": _DATETIME, "time": _DATETIME,
}


def rows(columns, *data):
    header = []
    for column in columns.split(","):
        name, _, sqltype = column.strip().rpartition(" ")
        header.append((name.strip("[]"), DRIVER_TYPES[sqltype]))
    return [("rows", tuple(header), [tuple((type(v).__name__, v) for v in row) for row in data])]


def msg(text, severity=0, state=1, line=1):
    return [("msg", severity, state, line, text)]


def error(number, text, severity=16, state=1, line=1):
    return msg(text, severity, state, line) + [("raised", number)]


def case(batch, *answer, **marks):
    return pytest.param(batch, [part for piece in answer for part in piece], **marks)


_INSERT = ("INSERT INTO dbo.results (serial, procedure, employee, line, verdict, tested_at) "
           "VALUES ('{}', 'FT1', 'e', 'L1', 'PASS', '2024-01-02 03:04:05')")
_SAVED = "SELECT serial FROM dbo.results WHERE serial LIKE '{}%' ORDER BY serial"

CASES = [
    # ---------------------------------------------------------------- IF, blocks, WHILE
    case("IF 1 = 1 PRINT 'yes' ELSE PRINT 'no'", msg("yes")),
    case("IF 1 = 2 PRINT 'yes' ELSE PRINT 'no'", msg("no")),
    case("IF NULL = NULL PRINT 'yes' ELSE PRINT 'no'", msg("no")),
    case("IF EXISTS (SELECT * FROM dbo.units WHERE serial = 'SN0001') SELECT 'found' AS f "
         "ELSE SELECT 'missing' AS f", rows("f varchar", ("found",))),
    case("IF NOT EXISTS (SELECT 1 FROM dbo.units WHERE serial = 'NOPE') BEGIN PRINT 'a'; "
         "PRINT 'b' END ELSE PRINT 'c'", msg("a"), msg("b")),
    case("DECLARE @n int = 5\nIF @n < 3 PRINT 'small'\nELSE IF @n < 10 PRINT 'medium'\n"
         "ELSE PRINT 'large'", msg("medium", line=3)),
    case("IF (SELECT COUNT(*) FROM dbo.units WHERE serial = 'SN0001') = 1 SELECT 1 AS one",
         rows("one int", (1,))),
    case("DECLARE @i int = 0, @s int = 0\nWHILE @i < 10\nBEGIN\n  SET @i += 1\n"
         "  SET @s = @s + @i\nEND\nSELECT @i AS i, @s AS s", rows("i int, s int", (10, 55))),
    case("DECLARE @i int = 0\nWHILE @i < 5\nBEGIN\n  SET @i = @i + 1\n  IF @i = 2 CONTINUE\n"
         "  IF @i = 4 BREAK\n  PRINT @i\nEND\nSELECT @i AS i",
         msg("1", line=7), msg("3", line=7), rows("i int", (4,))),
    case("DECLARE @i int = 0, @j int, @n int = 0\nWHILE @i < 3 BEGIN SET @i += 1 SET @j = 0 "
         "WHILE 1 = 1 BEGIN SET @j += 1 SET @n += 1 IF @j = 2 BREAK END END\n"
         "SELECT @i AS i, @n AS n", rows("i int, n int", (3, 6))),
    case("WHILE 1 = 0 PRINT 'never'\nSELECT 'done' AS d", rows("d varchar", ("done",))),
    case("PRINT 'a'; RETURN; PRINT 'b'", msg("a")),
    case("DECLARE @i int = 0 WHILE 1 = 1 BEGIN SET @i += 1 IF @i = 3 BEGIN PRINT @i RETURN END "
         "END PRINT 'not here'", msg("3")),
    case("DECLARE @i int = 0\nagain:\nSET @i = @i + 1\nIF @i < 3 GOTO again\nSELECT @i AS i",
         rows("i int", (3,))),
    case("GOTO done\nPRINT 'skipped'\ndone: PRINT 'end'", msg("end", line=3)),
    case("BEGIN BEGIN PRINT 'nested' END END", msg("nested")),
    case("DECLARE @i int = 0\nGOTO inside\nWHILE @i < 2 BEGIN\n  PRINT 'top'\n"
         "  inside: SET @i += 1 PRINT @i\nEND", msg("1", line=5), msg("top", line=4),
         msg("2", line=5)),
    case("BEGIN TRY GOTO out; PRINT 'no' END TRY BEGIN CATCH END CATCH out: PRINT 'out'",
         msg("out")),
    case("WHILE 1 = 1 BEGIN PRINT 'once' GOTO out END\nout: PRINT 'out'", msg("once"),
         msg("out", line=2)),
    case("WHILE 1 = 1 BEGIN BEGIN TRY BREAK END TRY BEGIN CATCH END CATCH END PRINT 'left'",
         msg("left")),
    case("DECLARE @i int = 0\nWHILE @i < 3 BEGIN SET @i += 1 IF @i = 2 SELECT 1/0 END\nPRINT @i",
         msg("Divide by zero error encountered.", 16, line=2), msg("3", line=3),
         [("raised", 8134)]),
    case("BEGIN TRY PRINT 'a' RETURN END TRY BEGIN CATCH END CATCH PRINT 'b'", msg("a")),
    case("GOTO x BEGIN TRY x: PRINT 1 END TRY BEGIN CATCH END CATCH",
         error(1026, "GOTO cannot be used to jump into a TRY or CATCH scope.")),
    # compile-time errors: nothing of the batch runs
    case("PRINT 'a'\nBREAK", error(135, "Cannot use a BREAK statement outside the scope of a "
                                        "WHILE statement.", 15)),
    case("PRINT 'a' CONTINUE", error(136, "Cannot use a CONTINUE statement outside the scope of "
                                          "a WHILE statement.", 15)),
    case("PRINT 'a' GOTO nowhere", error(133, "A GOTO statement references the label 'nowhere' "
                                              "but the label has not been declared.", 15)),
    case("l1: PRINT 'a' l1: PRINT 'b'", error(132, "The label 'l1' has already been declared. "
                                                   "Label names must be unique within a query "
                                                   "batch or stored procedure.", 15)),
    case("PRINT 'a' RETURN 1", error(178, "A RETURN statement with a return value cannot be "
                                          "used in this context.", 15)),
    case("BEGIN END", error(156, "Incorrect syntax near the keyword 'END'.", 15)),
    case("PRINT 'a';\nTHROW", error(10704, "To rethrow an error, a THROW statement must be used "
                                          "inside a CATCH block. Insert the THROW statement "
                                          "inside a CATCH block, or add error parameters to the "
                                          "THROW statement.", 15)),
    case("PRINT 'a'\nTHROW 50000, 'x', 1", error(102, "Incorrect syntax near 'THROW'.", 15,
                                                 line=2)),
    case("BEGIN TRY END TRY BEGIN CATCH END CATCH",
         error(156, "Incorrect syntax near the keyword 'END'.", 15)),
    case("DECLARE @i int = 0 SET @i = 'x' PRINT 'after'",
         error(245, "Conversion failed when converting the varchar value 'x' to data type "
                    "int.")),
    # ---------------------------------------------------------------- TRY ... CATCH
    case("BEGIN TRY\n  SELECT 1/0 AS x\nEND TRY\nBEGIN CATCH\n  SELECT ERROR_NUMBER() AS n, "
         "ERROR_SEVERITY() AS s, ERROR_STATE() AS st, ERROR_MESSAGE() AS m, ERROR_LINE() AS l, "
         "ERROR_PROCEDURE() AS p\nEND CATCH",
         rows("n int, s int, st int, m nvarchar, l int, p nvarchar",
              (8134, 16, 1, "Divide by zero error encountered.", 2, None))),
    case("BEGIN TRY SELECT 1/0 END TRY BEGIN CATCH PRINT 'caught' END CATCH PRINT 'after'",
         msg("caught"), msg("after")),
    case("SELECT ERROR_NUMBER() AS n, ERROR_MESSAGE() AS m, ERROR_LINE() AS l",
         rows("n int, m nvarchar, l int", (None, None, None))),
    case("BEGIN TRY SELECT 1/0 END TRY BEGIN CATCH SELECT @@ERROR AS e, @@ERROR AS again "
         "END CATCH", rows("e int, again int", (8134, 8134))),
    case("BEGIN TRY\n  BEGIN TRY THROW 50001, 'inner', 1 END TRY\n  BEGIN CATCH\n"
         "    RAISERROR('from catch: %s', 16, 2, 'x')\n  END CATCH\nEND TRY\nBEGIN CATCH\n"
         "  SELECT ERROR_NUMBER() AS n, ERROR_MESSAGE() AS m, ERROR_STATE() AS s, "
         "ERROR_LINE() AS l\nEND CATCH",
         rows("n int, m nvarchar, s int, l int", (50000, "from catch: x", 2, 4))),
    case("BEGIN TRY THROW 50001, 'outer', 1 END TRY BEGIN CATCH\n"
         "  BEGIN TRY THROW 50002, 'inner', 1 END TRY BEGIN CATCH PRINT ERROR_MESSAGE() END CATCH\n"
         "  PRINT ERROR_MESSAGE()\nEND CATCH\nSELECT ERROR_MESSAGE() AS m",
         msg("inner", line=2), msg("outer", line=3), rows("m nvarchar", (None,))),
    case("BEGIN TRY RAISERROR('fifteen', 15, 4) END TRY BEGIN CATCH SELECT ERROR_SEVERITY() AS s, "
         "ERROR_STATE() AS st END CATCH", rows("s int, st int", (15, 4))),
    case("RAISERROR('fifteen', 15, 1) PRINT 'after'", msg("fifteen", 15), msg("after"),
         [("raised", 50000)]),
    case("BEGIN TRY RAISERROR('just a note', 10, 1) PRINT 'went on' END TRY BEGIN CATCH "
         "PRINT 'caught' END CATCH", msg("just a note"), msg("went on")),
    # an error found when names are bound ends its own batch: a TRY of that batch misses it
    case("BEGIN TRY SELECT * FROM dbo.nosuch END TRY BEGIN CATCH PRINT 'caught' END CATCH "
         "PRINT 'after'", error(208, "Invalid object name 'dbo.nosuch'.")),
    case("BEGIN TRY EXEC('SELECT * FROM dbo.nosuch') END TRY BEGIN CATCH "
         "SELECT ERROR_NUMBER() AS n, ERROR_MESSAGE() AS m END CATCH",
         rows("n int, m nvarchar", (208, "Invalid object name 'dbo.nosuch'."))),
    case("BEGIN TRY EXEC('SELECT FROM') END TRY BEGIN CATCH SELECT ERROR_NUMBER() AS n, "
         "ERROR_SEVERITY() AS s, ERROR_MESSAGE() AS m END CATCH",
         rows("n int, s int, m nvarchar", (156, 15, "Incorrect syntax near the keyword 'FROM'."))),
    # a batch that starts with a name runs the procedure of that name
    case("BEGIN TRY EXEC('SELEC 1') END TRY BEGIN CATCH SELECT ERROR_NUMBER() AS n END CATCH",
         rows("n int", (2812,))),
    case("EXEC('SELECT * FROM dbo.nosuch') PRINT 'after'",
         msg("Invalid object name 'dbo.nosuch'.", 16), msg("after"), [("raised", 208)]),
    # how far an error reaches when nothing catches it
    case("SELECT 1/0 AS x\nPRINT 'after'", msg("Divide by zero error encountered.", 16),
         msg("after", line=2), [("raised", 8134)]),
    case("RAISERROR('statement only', 16, 1) PRINT 'after'",
         msg("statement only", 16), msg("after"), [("raised", 50000)]),
    case("THROW 50001, 'the batch', 3; PRINT 'after'", error(50001, "the batch", state=3)),
    case("SELECT CAST('abc' AS int) PRINT 'after'",
         error(245, "Conversion failed when converting the varchar value 'abc' to data type "
                    "int.")),
    case("BEGIN TRY SELECT 1/0 END TRY BEGIN CATCH THROW; END CATCH",
         error(8134, "Divide by zero error encountered.")),
    case("BEGIN TRY\n  RAISERROR('x %d', 16, 7, 5)\nEND TRY\nBEGIN CATCH\n  THROW\nEND CATCH",
         error(50000, "x 5", state=7, line=2)),
    case("BEGIN TRY THROW 50005, N'thrown', 9 END TRY BEGIN CATCH SELECT ERROR_NUMBER() AS n, "
         "ERROR_SEVERITY() AS s, ERROR_STATE() AS st END CATCH",
         rows("n int, s int, st int", (50005, 16, 9))),
    # without a ; THROW is taken for the name of the transaction to roll back
    case("BEGIN TRY BEGIN TRAN SELECT 1/0 END TRY BEGIN CATCH ROLLBACK TRANSACTION THROW END CATCH"
         "\nGO\nSELECT @@TRANCOUNT AS t",
         error(6401, "Cannot roll back THROW. No transaction or savepoint of that name was "
                     "found."), rows("t int", (1,))),
    case("BEGIN TRY BEGIN TRAN SELECT 1/0 END TRY BEGIN CATCH ROLLBACK TRANSACTION; THROW END "
         "CATCH\nGO\nSELECT @@TRANCOUNT AS t",
         error(8134, "Divide by zero error encountered."), rows("t int", (0,))),
    case("THROW 49999, 'x', 1", error(35100, "Error number 49999 in the THROW statement is "
                                             "outside the valid range. Specify an error number "
                                             "in the valid range of 50000 to 2147483647.",
                                      state=10)),
    case("DECLARE @m nvarchar(100) = N'from a variable'; THROW 50002, @m, 1",
         error(50002, "from a variable")),
    # transactions and errors: @@TRANCOUNT, XACT_STATE(), XACT_ABORT
    case("BEGIN TRAN BEGIN TRY SELECT 1/0 END TRY BEGIN CATCH SELECT XACT_STATE() AS x, "
         "@@TRANCOUNT AS t END CATCH ROLLBACK", rows("x smallint, t int", (1, 1))),
    case("SET XACT_ABORT ON\nBEGIN TRY\n  BEGIN TRAN\n  SELECT 1/0\n  COMMIT\nEND TRY\n"
         "BEGIN CATCH\n  SELECT XACT_STATE() AS x, @@TRANCOUNT AS t\n  ROLLBACK\nEND CATCH\n"
         "SELECT @@TRANCOUNT AS t", rows("x smallint, t int", (-1, 1)), rows("t int", (0,))),
    case("SET XACT_ABORT ON BEGIN TRAN BEGIN TRY SELECT 1/0 END TRY BEGIN CATCH PRINT 'caught' "
         "END CATCH\nGO\nSELECT @@TRANCOUNT AS t", msg("caught"),
         error(3998, "Uncommittable transaction is detected at the end of the batch. The "
                     "transaction is rolled back."), rows("t int", (0,))),
    case("SET XACT_ABORT ON BEGIN TRAN SELECT 1/0 PRINT 'after'\nGO\nSELECT @@TRANCOUNT AS t",
         error(8134, "Divide by zero error encountered."), rows("t int", (0,))),
    case("SET XACT_ABORT ON BEGIN TRAN RAISERROR('no abort', 16, 1) PRINT @@TRANCOUNT ROLLBACK",
         msg("no abort", 16), msg("1"), [("raised", 50000)]),
    case("SELECT XACT_STATE() AS x, @@TRANCOUNT AS t; BEGIN TRAN; BEGIN TRAN; "
         "SELECT XACT_STATE() AS x, @@TRANCOUNT AS t; COMMIT; SELECT @@TRANCOUNT AS t; "
         "ROLLBACK; SELECT @@TRANCOUNT AS t",
         rows("x smallint, t int", (0, 0)), rows("x smallint, t int", (1, 2)),
         rows("t int", (1,)), rows("t int", (0,))),
    # ---------------------------------------------------------------- RAISERROR, PRINT
    case("RAISERROR('%s is %d, hex %x %X, octal %o, unsigned %u, %i', 16, 1, N'Ann', 42, 255, "
         "255, 8, -1, -5)",
         error(50000, "Ann is 42, hex ff FF, octal 10, unsigned 4294967295, -5")),
    case("RAISERROR('[%5s][%-5s][%.2s][%05d][%+d][%#x][%*d][% d]', 16, 1, 'ab', 'ab', 'abcdef', "
         "42, 7, 255, 4, 3, 9)", error(50000, "[   ab][ab   ][ab][00042][+7][0xff][   3][ 9]")),
    case("RAISERROR('%s and %d', 16, 1, NULL)", error(50000, "(null) and (null)")),
    case("RAISERROR('100%% sure', 16, 1)", error(50000, "100% sure")),
    case("DECLARE @m varchar(50) = 'from %s'; RAISERROR(@m, 14, 3, 'a variable')",
         error(50000, "from a variable", 14, 3)),
    case("RAISERROR('note', 10, 1) SELECT @@ERROR AS e", msg("note"), rows("e int", (0,))),
    case("RAISERROR('low', 5, 2)", msg("low", 5, 2)),
    case("RAISERROR('note', 10, 1) WITH SETERROR SELECT @@ERROR AS e", msg("note"),
         rows("e int", (50000,))),
    case("RAISERROR('now', 1, 1) WITH NOWAIT", msg("now", 1)),
    case("RAISERROR('too severe', 19, 1)", error(2754, "Error severity levels greater than 18 "
                                                       "can only be specified by members of the "
                                                       "sysadmin role, using the WITH LOG "
                                                       "option.")),
    case("RAISERROR(50001, 16, 1)", error(18054, "Error 50001, severity 16, state 1 was raised, "
                                                 "but no message with that error number was "
                                                 "found in sys.messages. If error is larger than "
                                                 "50000, make sure the user-defined message is "
                                                 "added using sp_addmessage.")),
    case("RAISERROR(100, 16, 1)", error(2732, "Error number 100 is invalid. The number must be "
                                              "from 13000 through 2147483647 and it cannot be "
                                              "50000.")),
    case("RAISERROR('%d', 16, 1, 'x')", error(2786, "The data type of substitution parameter 1 "
                                                    "does not match the expected type of the "
                                                    "format specification.")),
    case("RAISERROR('%d', 16, 1, 1e0)", error(2748, "Cannot specify float data type (parameter "
                                                    "1) as a substitution parameter.")),
    case("PRINT 'a' + 'b'; PRINT 42; PRINT NULL; PRINT N'中文'",
         msg("ab"), msg("42"), msg(""), msg("中文")),
    case("DECLARE @v varchar(20) = 'v'\nPRINT @v", msg("v", line=2)),
    # ---------------------------------------------------------------- EXEC of a string
    case("EXEC('SELECT 1 AS one')", rows("one int", (1,))),
    case("DECLARE @sql nvarchar(100) = N'SELECT 2 AS two'; EXEC(@sql)", rows("two int", (2,))),
    case("DECLARE @b nvarchar(20) = N'3 AS three'; EXECUTE (N'SELECT ' + @b)",
         rows("three int", (3,))),
    case("DECLARE @x int = 1; EXEC('SELECT @x AS x')", msg('Must declare the scalar variable '
                                                           '"@x".', 15),
         [("raised", 137)]),
    case("EXEC('DECLARE @y int = 5'); SELECT @y AS y", msg('Must declare the scalar variable '
                                                          '"@y".', 15), [("raised", 137)]),
    case("EXEC('PRINT ''a''; RETURN; PRINT ''b'''); PRINT 'c'", msg("a"), msg("c")),
    case("DECLARE @s nvarchar(10); EXEC(@s); PRINT 'ok'", msg("ok")),
    case("BEGIN TRAN; EXEC('SELECT @@TRANCOUNT AS t'); ROLLBACK", rows("t int", (1,))),
    case("EXEC('BEGIN TRAN')\nGO\nSELECT @@TRANCOUNT AS t",
         error(266, "Transaction count after EXECUTE indicates a mismatching number of BEGIN "
                    "and COMMIT statements. Previous count = 0, current count = 1.", state=2),
         rows("t int", (1,))),
    case("EXEC sp_executesql N'SELECT @p AS p', N'@p int', @p = 5", rows("p int", (5,))),
    case("BEGIN TRY EXEC sp_executesql N'SELECT * FROM dbo.nosuch' END TRY BEGIN CATCH "
         "SELECT ERROR_NUMBER() AS n END CATCH", rows("n int", (208,))),
    # ---------------------------------------------------------------- savepoints
    case("BEGIN TRAN\n" + _INSERT.format("SAVEPT-A1") + "\nSAVE TRANSACTION s1\n"
         + _INSERT.format("SAVEPT-A2") + "\nROLLBACK TRANSACTION s1\n"
         "SELECT @@TRANCOUNT AS t, XACT_STATE() AS x\nCOMMIT\n" + _SAVED.format("SAVEPT-A"),
         rows("t int, x smallint", (1, 1)), rows("serial nvarchar", ("SAVEPT-A1",))),
    case("BEGIN TRAN\nSAVE TRAN s0\n" + _INSERT.format("SAVEPT-B1") + "\nROLLBACK TRAN s0\n"
         "SELECT @@TRANCOUNT AS t\n" + _INSERT.format("SAVEPT-B2") + "\nCOMMIT TRAN\n"
         + _SAVED.format("SAVEPT-B"), rows("t int", (1,)), rows("serial nvarchar", ("SAVEPT-B2",))),
    case("BEGIN TRAN\nSAVE TRAN s1\n" + _INSERT.format("SAVEPT-C1") + "\nSAVE TRAN s2\n"
         + _INSERT.format("SAVEPT-C2") + "\nROLLBACK TRAN s2\n" + _SAVED.format("SAVEPT-C")
         + "\nROLLBACK TRAN s1\n" + _SAVED.format("SAVEPT-C") + "\nROLLBACK TRAN s2",
         rows("serial nvarchar", ("SAVEPT-C1",)), rows("serial nvarchar"),
         error(6401, "Cannot roll back s2. No transaction or savepoint of that name was found.",
               line=10)),
    case("BEGIN TRAN\nSAVE TRAN s1\n" + _INSERT.format("SAVEPT-D1") + "\nROLLBACK TRAN s1\n"
         + _INSERT.format("SAVEPT-D2") + "\nROLLBACK TRAN s1\nCOMMIT\n"
         + _SAVED.format("SAVEPT-D"), rows("serial nvarchar")),
    case("BEGIN TRAN ROLLBACK TRAN nope\nGO\nSELECT @@TRANCOUNT AS t",
         error(6401, "Cannot roll back nope. No transaction or savepoint of that name was "
                     "found."), rows("t int", (1,))),
    case("SAVE TRANSACTION s1", error(628, "Cannot issue SAVE TRANSACTION when there is no "
                                           "active transaction.")),
    case("ROLLBACK TRAN s1", error(3903, "The ROLLBACK TRANSACTION request has no "
                                         "corresponding BEGIN TRANSACTION.")),
    case("BEGIN TRAN t1\n" + _INSERT.format("SAVEPT-E1") + "\nSAVE TRAN s1\nROLLBACK TRAN t1\n"
         "SELECT @@TRANCOUNT AS t\n" + _SAVED.format("SAVEPT-E"),
         rows("t int", (0,)), rows("serial nvarchar")),
    case("BEGIN TRAN t1\n" + _INSERT.format("SAVEPT-F1") + "\nCOMMIT TRAN t1\n"
         + _SAVED.format("SAVEPT-F"), rows("serial nvarchar", ("SAVEPT-F1",))),
    case("DECLARE @sp varchar(10) = 'byvar'\nBEGIN TRAN\nSAVE TRAN @sp\n"
         + _INSERT.format("SAVEPT-G1") + "\nROLLBACK TRAN @sp\nCOMMIT\n"
         + _SAVED.format("SAVEPT-G"), rows("serial nvarchar")),
    case("BEGIN TRAN\nSAVE TRAN S1\nROLLBACK TRAN s1",
         error(6401, "Cannot roll back s1. No transaction or savepoint of that name was found.",
               line=3)),
    case("BEGIN TRAN\n" + _INSERT.format("SAVEPT-H1") + "\nSAVE TRAN s1\n"
         + _INSERT.format("SAVEPT-H2") + "\nROLLBACK\nSELECT @@TRANCOUNT AS t\n"
         + _SAVED.format("SAVEPT-H"), rows("t int", (0,)), rows("serial nvarchar")),
    case("SET XACT_ABORT ON BEGIN TRAN SAVE TRAN s1 BEGIN TRY SELECT 1/0 END TRY BEGIN CATCH "
         "ROLLBACK TRAN s1 END CATCH\nGO\nSELECT @@TRANCOUNT AS t",
         error(3931, "The current transaction cannot be committed and cannot be rolled back to "
                     "a savepoint. Roll back the entire transaction."), rows("t int", (0,))),
]


@pytest.fixture(scope="module")
def simulator():
    sim = Simulator()
    sim.start()
    yield sim
    assert sim.stop() == 0
    sim.cleanup()


def answer(conn, text):
    """What the driver hands back for the batches of text, in the form of CASES."""
    got = []
    conn.set_msghandler(lambda state, severity, server, procedure, line, message: got.append(
        ("msg", severity, state, line, message.decode("utf-8"))))
    for batch in re.split(r"(?im)^[ \t]*GO[ \t]*$", text):
        try:
            conn.execute_query(batch)
            while True:
                header = conn.get_header()
                if header is not None:
                    got.append(("rows", tuple((c[0], c[1]) for c in header), [
                        tuple((type(row[n]).__name__, row[n]) for n in range(len(header)))
                        for row in conn]))
                if not conn.nextresult():
                    break
        except _mssql.MSSQLDatabaseException as exc:
            got.append(("raised", exc.number))
    return got


def _kinds(parts):
    return ([p for p in parts if p[0] == "rows"], [p for p in parts if p[0] == "msg"],
            [p for p in parts if p[0] == "raised"])


@pytest.mark.parametrize("batch, expected", CASES)
def test_batch_answers_as_sql_server(simulator, batch, expected):
    logged = len(simulator.log_text())
    conn = simulator.connect()
    try:
        got = answer(conn, batch)
    finally:
        conn.close()
    assert _kinds(got) == _kinds(expected)
    assert "internal error" not in simulator.log_text()[logged:]


def test_decimal_values_keep_their_type(simulator):
    """The table's form compares values with their Python types: 1 is not 1.0."""
    conn = simulator.connect()
    try:
        got = answer(conn, "SELECT 1.5 AS d")
    finally:
        conn.close()
    assert _kinds(got) == _kinds(rows("d numeric", (Decimal("1.5"),)))
    assert _kinds(got) != _kinds(rows("d numeric", (1.5,)))


def test_a_running_while_leaves_the_station_served(simulator):
    """A loop of a client's statements runs beside the station's requests: it ends only when
    the test adds the unit it waits for, and the station is answered before that."""
    looping, station = simulator.connect(), simulator.connect()
    station.query_timeout = 60  # a station kept waiting fails the test, not hangs it
    done = []
    worker = threading.Thread(target=lambda: done.append(looping.execute_row(
        "DECLARE @rounds int = 0\n"
        "WHILE NOT EXISTS (SELECT 1 FROM dbo.units WHERE serial = 'WHILE-STOP')\n"
        "  SET @rounds += 1\n"
        "SELECT @rounds AS rounds")))
    worker.start()
    try:
        assert query(station, "SN0001")[1] == 0
        assert worker.is_alive()  # it cannot end before the unit is there
    finally:
        simulator.add_unit("WHILE-STOP")
        worker.join(60)
        station.close()
    looping.close()
    assert done and done[0]["rounds"] >= 1


# Loops that send nothing: a client's time-out counts from the last data it received.
@pytest.mark.parametrize("endless", ["DECLARE @i int = 0 WHILE 1 = 1 SET @i += 1",
                                     "again: GOTO again"])
def test_an_endless_batch_stops_when_its_client_goes(simulator, endless):
    logged = len(simulator.log_text())
    conn = simulator.connect()
    conn.query_timeout = 1  # the driver gives up on the batch and closes the connection
    with pytest.raises(_mssql.MSSQLDatabaseException):
        conn.execute_query(endless)
    conn.close()
    again = simulator.connect()
    try:
        assert again.execute_row("SELECT 7 AS seven")["seven"] == 7
    finally:
        again.close()
    deadline = time.monotonic() + 60  # waits for the log line; asserts nothing of time
    while "its batch stops" not in simulator.log_text()[logged:] \
            and time.monotonic() < deadline:
        time.sleep(0.05)
    assert "the client went away: its batch stops" in simulator.log_text()[logged:]


def test_a_long_loop_answer_arrives_whole_and_in_order(simulator):
    """A loop's answer goes out in packets as it grows: every result set and message of it
    arrives, in order, however the packets split the tokens."""
    conn = simulator.connect()
    try:
        got = answer(conn, "DECLARE @i int = 0\nWHILE @i < 3000 BEGIN\n"
                           "  SELECT @i AS i, REPLICATE('x', @i % 50) AS pad\n"
                           "  PRINT @i\n  SET @i += 1\nEND\nSELECT 'end' AS e")
    finally:
        conn.close()
    assert _kinds(got) == _kinds(
        [part for i in range(3000) for part in rows("i int, pad varchar", (i, "x" * (i % 50)))
         + msg(str(i), line=4)] + rows("e varchar", ("end",)))
