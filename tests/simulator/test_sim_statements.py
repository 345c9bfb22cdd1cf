"""T-SQL statements through the station's driver, each answered as SQL Server 2019 answers it.

CASES is the one table of them.  A case is a batch (several, run in turn on one connection,
where lines of GO part them, as the client tools do) and what the driver hands back for it:
    rows("name type, ...", (value, ...), ...)   a result set: each column's name (nothing
        before the type for a column without one) and SQL Server type (checked as the driver
        sees types: text, binary, number, datetime or decimal), then its rows, each
        value with its Python type; or rows("name type, ...", where=check) when check(rows)
        says whether the rows (plain tuples) are right;
    msg(text, severity=0, state=1, line=1)      a message (PRINT, RAISERROR of severity 10 or
        less) or the text of an error the batch went on after;
    error(number, text=None, severity=16, state=1, line=1)   the error the driver raises for
        its batch (its text comes as a message first; without a text, any one message).
Result sets, messages and raised errors are each compared in order.  The driver drops the
result sets of a batch that ends with an error raised, so such a case lists none.
Each case runs on a connection of its own to one simulator started for this file, which
holds the demo units (SN0001, ...).  A batch that writes {p} gets units of its own: {p} is
a prefix made for the case, {p}A (due at FT1), {p}B (on hold at FT2), {p}C (one failure, at
PACK), with three results (B by e1 passed; C by e1 failed with E7, then by e2 passed); {p} is
filled in the expected values and texts too, and the tables named {p}... go after the case.
To add a case, put case(batch, answer...) under the theme it belongs to (fmtonly() and
twice() build the cases of session settings); where the simulator answers otherwise than
SQL Server, give it marks=pytest.mark.xfail(strict=True, reason=...) saying how.
"""

import itertools
import os
import re
import threading
import time
from datetime import date, datetime
from datetime import time as daytime
from decimal import Decimal

import pytest
from pymssql import _mssql

from simulator_support import UNIT_QUERY, query
from mes_simulator.testing import Simulator

# How the driver sees a column's type (its type codes): the types it has no code of, the
# newer date and time types and GUIDs among them, it calls binary.
_TEXT, _BINARY, _NUMBER, _DATETIME, _DECIMAL = 1, 2, 3, 4, 5
DRIVER_TYPES = {
    "char": _TEXT, "varchar": _TEXT, "nchar": _TEXT, "nvarchar": _TEXT, "text": _TEXT,
    "ntext": _TEXT, "sysname": _TEXT, "binary": _BINARY, "varbinary": _BINARY,
    "bit": _NUMBER, "tinyint": _NUMBER, "smallint": _NUMBER, "int": _NUMBER, "bigint": _NUMBER,
    "float": _NUMBER, "real": _NUMBER, "decimal": _DECIMAL, "numeric": _DECIMAL,
    "money": _DECIMAL, "smallmoney": _DECIMAL, "datetime": _DATETIME,
    "smalldatetime": _DATETIME, "date": _BINARY, "time": _BINARY, "datetime2": _BINARY,
    "datetimeoffset": _BINARY, "uniqueidentifier": _BINARY,
}
ANY = object()  # a message whose text and fields the case does not name


def rows(columns, *data, **where):
    header = []
    for column in columns.split(",") if columns else ():
        name, _, sqltype = column.strip().rpartition(" ")
        header.append((name.strip("[]"), DRIVER_TYPES[sqltype]))
    if where:
        return [("rows", tuple(header), where["where"])]
    return [("rows", tuple(header), [tuple((type(v).__name__, v) for v in row) for row in data])]


def msg(text, severity=0, state=1, line=1):
    return [("msg", severity, state, line, text)]


def error(number, text=None, severity=16, state=1, line=1):
    return (msg(text, severity, state, line) if text is not None else [("msg", ANY)]) + [
        ("raised", number)]


# What follows the error of a statement that a constraint stopped.
STOPPED = msg("The statement has been terminated.", state=0)


def case(batch, *answer, **marks):
    return pytest.param(batch, [part for piece in answer for part in piece], **marks)


_INSERT = ("INSERT INTO dbo.results (serial, procedure, employee, line, verdict, tested_at) "
           "VALUES ('{}', 'FT1', 'e', 'L1', 'PASS', '2024-01-02 03:04:05')")
_SAVED = "SELECT serial FROM dbo.results WHERE serial LIKE '{}%' ORDER BY serial"
# The columns of the catalog procedures' result sets that several cases name.
TABLES = ("TABLE_QUALIFIER nvarchar, TABLE_OWNER nvarchar, TABLE_NAME nvarchar, "
          "TABLE_TYPE varchar, REMARKS varchar")
COLUMNS = ("TABLE_QUALIFIER nvarchar, TABLE_OWNER nvarchar, TABLE_NAME nvarchar, "
           "COLUMN_NAME nvarchar, DATA_TYPE smallint, TYPE_NAME nvarchar, PRECISION int, "
           "LENGTH int, SCALE smallint, RADIX smallint, NULLABLE smallint, REMARKS varchar, "
           "COLUMN_DEF nvarchar, SQL_DATA_TYPE smallint, SQL_DATETIME_SUB smallint, "
           "CHAR_OCTET_LENGTH int, ORDINAL_POSITION int, IS_NULLABLE varchar, "
           "SS_DATA_TYPE tinyint")
TYPE_INFO = ("TYPE_NAME nvarchar, DATA_TYPE smallint, PRECISION int, LITERAL_PREFIX varchar, "
             "LITERAL_SUFFIX varchar, CREATE_PARAMS varchar, NULLABLE smallint, "
             "CASE_SENSITIVE smallint, SEARCHABLE smallint, UNSIGNED_ATTRIBUTE smallint, "
             "MONEY smallint, AUTO_INCREMENT smallint, LOCAL_TYPE_NAME nvarchar, "
             "MINIMUM_SCALE smallint, MAXIMUM_SCALE smallint, SQL_DATA_TYPE smallint, "
             "SQL_DATETIME_SUB smallint, NUM_PREC_RADIX int, INTERVAL_PRECISION smallint, "
             "USERTYPE smallint")
OBJECT = "Name nvarchar, Owner nvarchar, Type nvarchar, Created_datetime datetime"
HELP_COLUMNS = ("Column_name nvarchar, Type nvarchar, Computed varchar, Length int, Prec char, "
                "Scale char, Nullable varchar, TrimTrailingBlanks varchar, "
                "FixedLenNullInSource varchar, Collation nvarchar")
IDENTITY = "Identity nvarchar, Seed decimal, Increment decimal, Not For Replication int"
INDEXES = "index_name nvarchar, index_description varchar, index_keys nvarchar"
CONSTRAINTS = ("constraint_type nvarchar, constraint_name nvarchar, delete_action nvarchar, "
               "update_action nvarchar, status_enabled varchar, status_for_replication varchar, "
               "constraint_keys nvarchar")
WHO = ("spid smallint, ecid smallint, status nchar, loginame nvarchar, hostname nchar, blk char, "
       "dbname nvarchar, cmd nchar, request_id int")


def fmtonly(batch, *described):
    """batch under SET FMTONLY ON, then a SELECT still described only, then SET FMTONLY OFF
    and SN0001 with its results as seeded."""
    return case("SET FMTONLY ON " + batch + "\nGO\nSELECT 1 AS one\nGO\nSET FMTONLY OFF "
                "SELECT step, failures, status, (SELECT COUNT(*) FROM dbo.results WHERE serial "
                "= 'SN0001') AS saved FROM dbo.units WHERE serial = 'SN0001'", *described
                + (rows("one int"), rows("step int, failures int, status nvarchar, saved int",
                                         (0, 0, "ACTIVE", 0))))


def twice(settings, batch, *answer):
    """Batches of SET statements alone, then a batch: twice on one connection."""
    text = "\nGO\n".join(settings + [batch])
    return case(text + "\nGO\n" + text, *answer * 2)


CASES = [
    # queries: joins, filters, grouping, ordering, paging -----------------------------------
    case("SELECT u.serial, COUNT(r.id) AS n FROM dbo.units u LEFT JOIN dbo.results r ON "
         "r.serial = u.serial WHERE u.serial LIKE '{p}%' GROUP BY u.serial ORDER BY n DESC, 1",
         rows("serial nvarchar, n int", ("{p}C", 2), ("{p}B", 1), ("{p}A", 0))),
    case("SELECT r.verdict, u.status FROM dbo.results r RIGHT JOIN dbo.units u ON u.serial = "
         "r.serial WHERE u.serial = '{p}a' ",
         rows("verdict nvarchar, status nvarchar", (None, "ACTIVE"))),
    case("SELECT serial FROM dbo.units WHERE serial LIKE '{p}%' ORDER BY serial DESC OFFSET 1 "
         "ROWS FETCH NEXT 1 ROWS ONLY", rows("serial nvarchar", ("{p}B",))),
    case("SELECT TOP 2 serial, step FROM dbo.units WHERE serial LIKE '{p}%' ORDER BY step DESC",
         rows("serial nvarchar, step int", ("{p}C", 2), ("{p}B", 1))),
    case("SELECT status, COUNT(*), SUM(step), AVG(step), MIN(serial), MAX(failures) FROM "
         "dbo.units WHERE serial LIKE '{p}%' GROUP BY status HAVING COUNT(*) > 1",
         rows("status nvarchar, int, int, int, nvarchar, int", ("ACTIVE", 2, 2, 1, "{p}A", 1))),
    case("SELECT DISTINCT employee FROM dbo.results WHERE serial LIKE '{p}%' ORDER BY employee",
         rows("employee nvarchar", ("e1",), ("e2",))),
    case("SELECT serial FROM dbo.units WHERE serial LIKE '{p}_' AND step = 0 UNION SELECT "
         "serial FROM dbo.results WHERE serial LIKE '{p}%' AND verdict = 'fail' UNION ALL "
         "SELECT N'{p}A' ORDER BY 1", rows("serial nvarchar", ("{p}A",), ("{p}A",), ("{p}C",))),
    case("WITH failed AS (SELECT serial, COUNT(*) AS n FROM dbo.results WHERE verdict = "
         "'FAIL' GROUP BY serial) SELECT u.serial, f.n FROM dbo.units u JOIN failed f ON "
         "f.serial = u.serial WHERE u.serial LIKE '{p}%'",
         rows("serial nvarchar, n int", ("{p}C", 1))),
    case("SELECT x.serial FROM (SELECT serial, step * 10 AS s FROM dbo.units) AS x WHERE x.s "
         "= 20 AND x.serial LIKE '{p}%'", rows("serial nvarchar", ("{p}C",))),
    # CTEs: a column list; recursive ones, as deep as MAXRECURSION (100 unless given)
    case("WITH r (n, s) AS (SELECT 1, serial FROM dbo.units WHERE serial = '{p}A' UNION ALL "
         "SELECT n + 1, u.serial FROM r JOIN dbo.units u ON u.serial > r.s AND u.serial LIKE "
         "'{p}%' WHERE n < 5) SELECT n, s FROM r ORDER BY n, s",
         rows("n int, s nvarchar", (1, "{p}A"), (2, "{p}B"), (2, "{p}C"), (3, "{p}C"))),
    case("WITH r AS (SELECT 1 AS n UNION ALL SELECT n + 1 FROM r WHERE n < 101) SELECT COUNT(*) "
         "AS c, MAX(n) AS m FROM r", rows("c int, m int", (101, 101))),
    case("WITH r AS (SELECT 1 AS n UNION ALL SELECT n + 1 FROM r WHERE n < 500) SELECT MAX(n) "
         "AS m FROM r OPTION (MAXRECURSION 1000)", rows("m int", (500,))),
    case("WITH r AS (SELECT 1 AS n UNION ALL SELECT n + 1 FROM r) SELECT n FROM r",
         error(530, "The statement terminated. The maximum recursion 100 has been exhausted "
                    "before statement completion.")),
    case("WITH r AS (SELECT 1 AS n UNION SELECT n + 1 FROM r WHERE n < 3) SELECT n FROM r",
         error(252, "Recursive common table expression 'r' does not contain a top-level UNION "
                    "ALL operator.")),
    case("WITH c (a) AS (SELECT serial, step FROM dbo.units) SELECT a FROM c",
         error(8158, "'c' has more columns than were specified in the column list.")),
    # texts compare as the CI collation does: case and trailing blanks ignored
    case("SELECT COUNT(*) FROM dbo.results WHERE serial = '{p}c  ' AND employee IN ('E1', 'x')",
         rows("int", (1,))),
    case("SELECT serial FROM dbo.units WHERE serial LIKE '{p}%' AND status BETWEEN 'active' "
         "AND 'hold' ORDER BY serial", rows("serial nvarchar", ("{p}A",), ("{p}B",), ("{p}C",))),
    # APPLY, FULL JOIN
    case("SELECT u.serial, x.verdict FROM dbo.units u CROSS APPLY (SELECT r.verdict FROM "
         "dbo.results r WHERE r.serial = u.serial AND r.employee = 'e1') AS x WHERE u.serial "
         "LIKE '{p}%' ORDER BY 1",
         rows("serial nvarchar, verdict nvarchar", ("{p}B", "PASS"), ("{p}C", "FAIL"))),
    case("SELECT u.serial, x.who FROM dbo.units u OUTER APPLY (SELECT r.employee AS who FROM "
         "dbo.results r WHERE r.serial = u.serial AND r.verdict = 'FAIL') x WHERE u.serial "
         "LIKE '{p}%' ORDER BY 1",
         rows("serial nvarchar, who nvarchar",
              ("{p}A", None), ("{p}B", None), ("{p}C", "e1"))),
    case("SELECT u.serial, x.employee, x.verdict FROM dbo.units u OUTER APPLY (SELECT TOP 1 "
         "r.employee, r.verdict FROM dbo.results r WHERE r.serial = u.serial ORDER BY "
         "r.tested_at DESC) x WHERE u.serial LIKE '{p}%' ORDER BY 1",
         rows("serial nvarchar, employee nvarchar, verdict nvarchar",
              ("{p}A", None, None), ("{p}B", "e1", "PASS"), ("{p}C", "e2", "PASS"))),
    case("SELECT u.serial, x.verdict FROM dbo.units u CROSS APPLY (SELECT TOP 2 verdict FROM "
         "dbo.results r WHERE r.serial = u.serial ORDER BY 1) x WHERE u.serial LIKE '{p}%' "
         "ORDER BY 1, 2",
         rows("serial nvarchar, verdict nvarchar",
              ("{p}B", "PASS"), ("{p}C", "FAIL"), ("{p}C", "PASS"))),
    case("SELECT u.serial, x.n, x.last FROM dbo.units u CROSS APPLY (SELECT COUNT(*) AS n, "
         "MAX(tested_at) AS last FROM dbo.results r WHERE r.serial = u.serial) x WHERE "
         "u.serial LIKE '{p}%' ORDER BY 1",
         rows("serial nvarchar, n int, last datetime2",
              ("{p}A", 0, None), ("{p}B", 1, datetime(2024, 5, 1, 8, 0)),
              ("{p}C", 2, datetime(2024, 5, 3, 10, 0)))),
    case("SELECT u.serial FROM dbo.units u CROSS APPLY (SELECT serial FROM dbo.results r "
         "WHERE r.serial = u.serial UNION SELECT 'x') x", error(102)),
    case("SELECT u.serial, r.verdict FROM dbo.units u FULL JOIN dbo.results r ON r.serial = "
         "u.serial AND r.verdict = 'FAIL' WHERE u.serial = '{p}C' OR r.serial = '{p}C' ORDER "
         "BY 2", rows("serial nvarchar, verdict nvarchar", ("{p}C", "FAIL"), (None, "PASS"))),
    # window functions, EXCEPT/INTERSECT, TOP ... PERCENT and WITH TIES
    case("DECLARE @t TABLE (g int, d decimal(10,2)); INSERT INTO @t VALUES (1, 1.10), (1, "
         "2.20), (2, 0.05); SELECT g, SUM(d) OVER (PARTITION BY g), SUM(d) OVER (ORDER BY d "
         "ROWS BETWEEN 1 PRECEDING AND CURRENT ROW), MAX(d) OVER () FROM @t ORDER BY g, d",
         rows("g int, decimal, decimal, decimal",
              (1, Decimal("3.30"), Decimal("1.15"), Decimal("2.20")),
              (1, Decimal("3.30"), Decimal("3.30"), Decimal("2.20")),
              (2, Decimal("0.05"), Decimal("0.05"), Decimal("2.20")))),
    case("SELECT serial, ROW_NUMBER() OVER (ORDER BY serial DESC), COUNT(*) OVER (), RANK() "
         "OVER (PARTITION BY status ORDER BY step DESC) FROM dbo.units WHERE serial LIKE "
         "'{p}%' ORDER BY serial",
         rows("serial nvarchar, bigint, int, bigint",
              ("{p}A", 3, 3, 2), ("{p}B", 2, 3, 1), ("{p}C", 1, 3, 1))),
    case("SELECT serial, SUM(step) OVER (ORDER BY serial ROWS BETWEEN UNBOUNDED PRECEDING AND "
         "CURRENT ROW), LAG(serial) OVER (ORDER BY serial), LEAD(step, 1, -1) OVER (ORDER BY "
         "serial) FROM dbo.units WHERE serial LIKE '{p}%'",
         rows("serial nvarchar, int, nvarchar, int",
              ("{p}A", 0, None, 1), ("{p}B", 1, "{p}A", 2),
              ("{p}C", 3, "{p}B", -1))),
    case("SELECT serial, SUM(step) OVER (ORDER BY serial ROWS 1 PRECEDING), COUNT(*) OVER "
         "(ORDER BY serial ROWS BETWEEN 1 PRECEDING AND 1 FOLLOWING) FROM dbo.units WHERE "
         "serial LIKE '{p}%' ORDER BY serial",
         rows("serial nvarchar, int, int", ("{p}A", 0, 2), ("{p}B", 1, 3), ("{p}C", 3, 2))),
    case("SELECT ROW_NUMBER() FROM dbo.units", error(10753)),
    case("SELECT serial FROM dbo.units WHERE serial LIKE '{p}%' EXCEPT SELECT serial FROM "
         "dbo.results ORDER BY 1", rows("serial nvarchar", ("{p}A",))),
    case("SELECT serial FROM dbo.units WHERE serial LIKE '{p}%' INTERSECT SELECT serial FROM "
         "dbo.results WHERE verdict = 'FAIL'", rows("serial nvarchar", ("{p}C",))),
    case("SELECT TOP 50 PERCENT serial FROM dbo.units WHERE serial LIKE '{p}%' ORDER BY serial",
         rows("serial nvarchar", ("{p}A",), ("{p}B",))),
    case("SELECT COUNT(*), MIN(serial) FROM (SELECT TOP 1 WITH TIES serial FROM dbo.units "
         "WHERE serial LIKE '{p}%' ORDER BY status) AS t", rows("int, nvarchar", (2, "{p}A"))),
    case("SELECT 1 FROM dbo.units WHERE serial LIKE '{p}%' HAVING COUNT(*) = 3", rows("int", (1,))),
    case("SELECT serial + 1 FROM dbo.units WHERE serial LIKE '{p}%'", error(245)),
    # subqueries: scalar anywhere, correlated, EXISTS, IN -----------------------------------
    case("SELECT (SELECT COUNT(*) FROM dbo.results WHERE serial LIKE '{p}%')", rows("int", (3,))),
    case("SELECT serial, (SELECT MAX(tested_at) FROM dbo.results r WHERE r.serial = u.serial) "
         "FROM dbo.units u WHERE serial LIKE '{p}%' ORDER BY serial",
         rows("serial nvarchar, datetime2",
              ("{p}A", None), ("{p}B", datetime(2024, 5, 1, 8, 0)),
              ("{p}C", datetime(2024, 5, 3, 10, 0)))),
    case("SELECT serial FROM dbo.units u WHERE serial LIKE '{p}%' AND NOT EXISTS (SELECT 1 "
         "FROM dbo.results r WHERE r.serial = u.serial)", rows("serial nvarchar", ("{p}A",))),
    case("SELECT serial FROM dbo.units WHERE serial IN (SELECT serial FROM dbo.results WHERE "
         "verdict = 'PASS') AND serial LIKE '{p}%' ORDER BY 1",
         rows("serial nvarchar", ("{p}B",), ("{p}C",))),
    case("DECLARE @n int = (SELECT COUNT(*) FROM dbo.units WHERE serial LIKE '{p}%'); SET @n "
         "= @n + (SELECT COUNT(*) FROM dbo.results WHERE serial LIKE '{p}%'); SELECT @n",
         rows("int", (6,))),
    case("IF (SELECT step FROM dbo.units WHERE serial = '{p}C') = 2 SELECT 'two' ELSE SELECT "
         "'no'", rows("varchar", ("two",))),
    case("SELECT (SELECT serial FROM dbo.units WHERE serial LIKE '{p}%')", error(512)),
    case("SELECT 1 WHERE 'x' IN (SELECT serial, step FROM dbo.units)",
         error(116, "Only one expression can be specified in the select list when the subquery "
                    "is not introduced with EXISTS.")),
    case("DECLARE @s nvarchar(50); SELECT @s = serial FROM dbo.units WHERE serial LIKE '{p}%' "
         "ORDER BY serial; SELECT @s", rows("nvarchar", ("{p}C",))),
    # expressions, types and functions ------------------------------------------------------
    case("SELECT step * 1.5, step / 2, CAST(step AS varchar(3)) + 'x', step * 1e0, CASE WHEN "
         "step > 1 THEN 'late' ELSE 'early' END FROM dbo.units WHERE serial = '{p}C'",
         rows("decimal, int, varchar, float, varchar", (Decimal("3.0"), 1, "2x", 2.0, "late"))),
    # money with money or an integer stays money: a quotient keeps 4 places, cut
    case("DECLARE @a money = 100, @b money = 339; SELECT @a / @b * 10000, CAST(10 AS money) / "
         "(step + 1), CAST(1.5 AS money) * step FROM dbo.units WHERE serial = '{p}C'",
         rows("money, money, money", (Decimal("2949.0000"), Decimal("3.3333"),
                                      Decimal("3.0000")))),
    case("SELECT COUNT(*) FROM dbo.units WHERE step = '2' AND serial LIKE '{p}%'",
         rows("int", (1,))),
    case("SELECT COUNT(*) FROM dbo.results WHERE tested_at >= '2024-05-02' AND serial LIKE "
         "'{p}%'", rows("int", (2,))),
    case("SELECT CONVERT(varchar(10), tested_at, 23), YEAR(tested_at), DATEADD(day, 1, "
         "tested_at) FROM dbo.results WHERE serial = '{p}B'",
         rows("varchar, int, datetime2", ("2024-05-01", 2024, datetime(2024, 5, 2, 8, 0)))),
    case("SELECT ISNULL(error_no, 'none'), COALESCE(error_no, employee) FROM dbo.results "
         "WHERE serial LIKE '{p}%' ORDER BY tested_at",
         rows("nvarchar, nvarchar", ("none", "e1"), ("E7", "E7"), ("none", "e2"))),
    case("SELECT step / 0 FROM dbo.units WHERE serial = '{p}C'", error(8134)),
    case("SELECT STRING_AGG(verdict, ',') FROM dbo.results WHERE serial = '{p}C'",
         rows("nvarchar", ("FAIL,PASS",))),
    case("SELECT serial, STRING_AGG(employee + ':' + verdict, '; ') WITHIN GROUP (ORDER BY "
         "tested_at DESC) FROM dbo.results WHERE serial LIKE '{p}%' GROUP BY serial ORDER BY 1",
         rows("serial nvarchar, nvarchar",
              ("{p}B", "e1:PASS"), ("{p}C", "e2:PASS; e1:FAIL"))),
    # STRING_AGG's result: at most 8,000 bytes (in the code page for varchar), none for max
    case("SELECT LEN(STRING_AGG(REPLICATE(N'长', 1000), N',')) FROM (VALUES (1), (2), (3)) AS "
         "a (n), (VALUES (1), (2), (3)) AS b (n)",
         error(9829, "STRING_AGG aggregation result exceeded the limit of 8000 bytes. Use LOB "
                     "types to avoid result truncation.")),
    case("SELECT STRING_AGG(REPLICATE('长', 1000), '') WITHIN GROUP (ORDER BY n DESC) FROM "
         "(VALUES (1), (2), (3), (4), (5)) AS t (n)",
         error(9829, "STRING_AGG aggregation result exceeded the limit of 8000 bytes. Use LOB "
                     "types to avoid result truncation.")),
    case("SELECT LEN(STRING_AGG(REPLICATE('长', 1000), '')), LEN(STRING_AGG(CAST(REPLICATE("
         "N'长', 1000) AS nvarchar(max)), N',')), LEN(STRING_AGG(CAST(n AS varchar(max)) + "
         "REPLICATE('x', 3000), '') WITHIN GROUP (ORDER BY n)) FROM (VALUES (1), (2), (3), "
         "(4)) AS t (n)", rows("int, int, int", (4000, 4003, 12004))),
    case("SELECT serial FROM dbo.units WHERE serial LIKE '{p}[a-b]' ORDER BY 1",
         rows("serial nvarchar", ("{p}A",), ("{p}B",))),
    case("SELECT COUNT(*) FROM dbo.units WHERE serial LIKE '{p}[z-a]'", rows("int", (0,))),
    case("SELECT COUNT(*) FROM dbo.units WHERE serial LIKE '{p}!_' ESCAPE '!'", rows("int", (0,))),
    # functions
    # ROUND: half away from zero, a float too; a third argument other than 0 cuts
    case("SELECT ROUND(2.345, 2), ROUND(-2.5, 0), ROUND(2.5e0, 0), ROUND(2.349, 2, 1), "
         "ROUND(45, -1), ROUND(step + 0.5, 0) FROM dbo.units WHERE serial = '{p}C'",
         rows("decimal, decimal, float, decimal, int, decimal",
              (Decimal("2.350"), Decimal("-3.0"), 3.0, Decimal("2.340"), 50, Decimal("3.0")))),
    # a '...' constant's size counts the code page's bytes: its Chinese characters fit
    case("SELECT UPPER('ab张'), LEFT('张三李四', 3), REPLACE('张三', '三', '四五'), ISNULL(NULL, "
         "'张三李')", rows("varchar, varchar, varchar, varchar", ("AB张", "张三李", "张四五", "张三李"))),
    case("SELECT LEFT('abcdef', 2), RIGHT('abcdef', 2), IIF(1 > 2, 'y', 'n'), STUFF('abcdef', "
         "2, 3, 'X')", rows("varchar, varchar, varchar, varchar", ("ab", "ef", "n", "aXef"))),
    case("SELECT DATENAME(month, '2024-02-10'), DATENAME(weekday, '2024-02-10'), "
         "DATENAME(year, '2024-02-10')",
         rows("nvarchar, nvarchar, nvarchar", ("February", "Saturday", "2024"))),
    case("SELECT FORMAT(CAST('2024-02-10 13:05:09' AS datetime), 'yyyy-MM-dd HH:mm:ss'), "
         "FORMAT(1234.5, 'N2'), FORMAT(42, '0000'), FORMAT(1234.5, '#,##0.00'), FORMAT(7, "
         "'D3')",
         rows("nvarchar, nvarchar, nvarchar, nvarchar, nvarchar",
              ("2024-02-10 13:05:09", "1,234.50", "0042", "1,234.50", "007"))),
    case("SELECT CEILING(1.2), CEILING(2.5e0), FLOOR(-1.5), POWER(2, 10), POWER(2.0, 3)",
         rows("decimal, float, decimal, int, decimal",
              (Decimal("2"), 3.0, Decimal("-2"), 1024, Decimal("8.0")))),
    # CONCAT_WS skips NULLs; TRIM of given characters; a function of a table's values computes
    # as the same function of constants
    case("SELECT CONCAT_WS(', ', 'a', NULL, 'b', 1), CONCAT_WS(',', NULL, NULL), TRIM('xy' "
         "FROM 'yxabcxx'), TRIM('  a  ') + '|'",
         rows("varchar, varchar, varchar, varchar", ("a, b, 1", "", "abc", "a|"))),
    case("SELECT CONCAT_WS('-', serial, error_no, verdict), TRIM('{p}' FROM serial) FROM "
         "dbo.results WHERE serial = '{p}C' ORDER BY tested_at",
         rows("nvarchar, nvarchar", ("{p}C-E7-FAIL", "C"), ("{p}C-PASS", "C"))),
    case("SELECT CONCAT_WS(',', 'a')",
         error(189, "The concat_ws function requires 3 to 254 arguments.", severity=15)),
    case("SELECT DATEFROMPARTS(2024, 2, 29), DATETIMEFROMPARTS(2024, 2, 29, 13, 5, 9, 500), "
         "DATETIME2FROMPARTS(2024, 2, 29, 13, 5, 9, 5, 1), TIMEFROMPARTS(13, 5, 9, 50, 2), "
         "DATEFROMPARTS(2024, NULL, 1)",
         rows("date, datetime, datetime2, time, date",
              (date(2024, 2, 29), datetime(2024, 2, 29, 13, 5, 9, 500000),
               datetime(2024, 2, 29, 13, 5, 9, 500000), daytime(13, 5, 9, 500000), None))),
    case("SELECT DATEPART(hour, SWITCHOFFSET(TODATETIMEOFFSET('2024-01-02 03:00', '+02:00'), "
         "'-05:00')), DATEPART(tzoffset, TODATETIMEOFFSET('2024-01-02 03:00', -90))",
         rows("int, int", (20, -90))),
    case("SELECT DATEPART(hour, SWITCHOFFSET(TODATETIMEOFFSET(d, '+02:00'), '-05:00')), "
         "DATEPART(tzoffset, TODATETIMEOFFSET(d, -90)) FROM (VALUES (CAST('2024-01-02 03:00' AS "
         "datetime2))) AS v (d)", rows("int, int", (20, -90))),
    case("SELECT TODATETIMEOFFSET('2024-01-02', '+15:00')",
         error(9814, "The timezone provided to builtin function todatetimeoffset is invalid.")),
    case("SELECT DATEFROMPARTS(y, 2, 30) FROM (VALUES (2023)) AS v (y)",
         error(289, "Cannot construct data type date, some of the arguments have values which "
                    "are not valid.")),
    case("SELECT DATEFROMPARTS(2023, 1)",
         error(174, "The datefromparts function requires 3 argument(s).", severity=15)),
    case("SELECT ISNUMERIC('12'), ISNUMERIC('abc'), ISNUMERIC('$1,000.5'), ISNUMERIC('1e5'), "
         "ISNUMERIC(NULL), ISNUMERIC(''), PATINDEX('%[0-9]%', 'abc123'), PATINDEX('%xyz%', "
         "'abc'), PATINDEX('ab%', 'abc'), PATINDEX('%aab%', 'aaab'), PATINDEX('%b%c%', 'abbxbc')",
         rows("int, int, int, int, int, int, int, int, int, int, int",
              (1, 0, 1, 1, 0, 0, 4, 0, 1, 2, 2))),
    case("SELECT serial, ISNUMERIC(step), ISNUMERIC(serial) FROM dbo.units WHERE serial LIKE "
         "'{p}%' AND PATINDEX('%-[a-b]', serial) > 0 ORDER BY 1",
         rows("serial nvarchar, int, int", ("{p}A", 1, 0), ("{p}B", 1, 0))),
    case("SELECT CHAR(65), NCHAR(8364), UNICODE(N'€x'), ASCII('a'), CHAR(300), STR(123.456, 8, "
         "2), STR(1234567890123), STR(-12.5, 4), PARSENAME('srv.db.dbo.units', 1), "
         "PARSENAME('srv.db.dbo.units', 4), PARSENAME('[a.b].c', 2), PARSENAME('a.b', 3)",
         rows("char, nchar, int, int, char, varchar, varchar, varchar, nvarchar, nvarchar, "
              "nvarchar, nvarchar",
              ("A", "€", 8364, 97, None, "  123.46", "*" * 10, " -13", "units", "srv", "a.b",
               None))),
    case("SELECT UNICODE(x), CHAR(n + 64), STR(f, 6, 1), PARSENAME(x, 1) FROM (VALUES (N'é.b', "
         "2, 2.71e0)) AS v (x, n, f)",
         rows("int, char, varchar, nvarchar", (233, "B", "   2.7", "b"))),
    case("SELECT 1 UNION ALL SELECT 2; SELECT ROWCOUNT_BIG(), DATEDIFF_BIG(millisecond, "
         "'2000-01-01', '2024-01-01')",
         rows("int", (1,), (2,)), rows("bigint, bigint", (2, 757382400000))),
    # the statistical aggregates: float; the sample ones NULL over one row
    case("SELECT STDEV(x), STDEVP(x), VAR(x), VARP(x), STDEV(CASE WHEN x = 1 THEN x END) FROM "
         "(VALUES (1), (2), (3), (4)) AS v (x)",
         rows("float, float, float, float, float", where=lambda got: [
             tuple(None if v is None else round(v, 12) for v in row) for row in got] == [
                 (round(1.2909944487358056, 12), round(1.118033988749895, 12),
                  round(5 / 3.0, 12), 1.25, None)])),
    case("SELECT HASHBYTES('SHA2_256', 'abc'), HASHBYTES('MD5', N'a'), HASHBYTES('nope', 'a'), "
         "CHECKSUM('a') - CHECKSUM('A'), TRANSLATE('2*[3+4]/{7-2}', '[]{}', '()()')",
         rows("varbinary, varbinary, varbinary, int, varchar", (
             bytes.fromhex("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"),
             bytes.fromhex("4144e195f46de78a3623da7364d04f11"), None, 0, "2*(3+4)/(7-2)"))),
    case("SELECT HASHBYTES('SHA2_256', x), TRANSLATE(x, 'b', 'x') FROM (VALUES ('abc')) AS v (x)",
         rows("varbinary, varchar", (
             bytes.fromhex("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"),
             "axc"))),
    case("SELECT x, CHECKSUM(*) - CHECKSUM(x, y), TRY_PARSE(y AS int), PARSE('2024-01-02' AS "
         "date USING 'en-US') FROM (VALUES (1, 'a'), (2, '12')) AS v (x, y) ORDER BY x",
         rows("x int, int, int, date", (1, 0, None, date(2024, 1, 2)),
              (2, 0, 12, date(2024, 1, 2)))),
    case("SELECT HASHBYTES('MD5', 1)",
         error(8116, "Argument data type int is invalid for argument 2 of hashbytes function.")),
    case("SELECT TRANSLATE('ab', 'a', 'xy')",
         error(9828, "The second and third arguments of the TRANSLATE built-in function must "
                     "contain an equal number of characters.")),
    case("SELECT COL_LENGTH('dbo.units', 'serial'), COL_LENGTH('units', 'nothing'), "
         "TYPE_ID('int'), TYPE_ID('nvarchar'), TYPE_ID('nope'), IDENT_SEED('dbo.results'), "
         "IDENT_INCR('dbo.results')",
         rows("smallint, smallint, int, int, int, numeric, numeric",
              (100, None, 56, 231, None, Decimal("1"), Decimal("1")))),
    case("SELECT ISJSON('{\"a\": 1}'), ISJSON('x'), JSON_VALUE('{\"a\": {\"b\": [1, 2.50, "
         "\"x\"]}}', '$.a.b[1]'), JSON_VALUE('{\"a\": true}', '$.a'), JSON_VALUE('{\"a\": {}}',"
         " '$.a')", rows("int, int, nvarchar, nvarchar, nvarchar", (1, 0, "2.50", "true", None))),
    case("SELECT JSON_VALUE(j, '$.\"n m\"'), ISJSON(j), JSON_QUERY(j, 'lax $[0]') FROM (VALUES "
         "(N'{\"n m\": \"x\"}'), (N'[ [1] ]')) AS v (j)",
         rows("nvarchar, int, nvarchar", ("x", 1, None), (None, 1, "[1]"))),
    case("SELECT JSON_VALUE('{\"a\": 1}', 'strict $.c')",
         error(13608, "Property cannot be found on the specified JSON path.")),
    case("SELECT JSON_VALUE('{x', '$.c')", error(13609)),
    # STRING_SPLIT and OPENJSON give rows, in FROM and through APPLY
    case("SELECT value FROM STRING_SPLIT('a,b,,c', ',') ORDER BY value",
         rows("value varchar", ("",), ("a",), ("b",), ("c",))),
    case("SELECT u.serial, s.value FROM dbo.units AS u CROSS APPLY STRING_SPLIT(u.serial, '-') "
         "AS s WHERE u.serial LIKE '{p}%' AND s.value IN ('A', 'B') ORDER BY 2",
         rows("serial nvarchar, value nvarchar", ("{p}A", "A"), ("{p}B", "B"))),
    case("SELECT * FROM STRING_SPLIT('a', 'xy')",
         error(214, "Procedure expects parameter 'separator' of type 'nchar(1)/nvarchar(1)'.")),
    case("SELECT * FROM OPENJSON('{\"a\": 1, \"b\": [1, 2], \"c\": {\"d\": \"x\"}, \"e\": "
         "null, \"f\": true, \"g\": \"s\"}')",
         rows("key nvarchar, value nvarchar, type int", ("a", "1", 2), ("b", "[1, 2]", 4),
              ("c", '{"d": "x"}', 5), ("e", None, 0), ("f", "true", 3), ("g", "s", 1))),
    case("SELECT v.n, j.[key], j.value FROM (VALUES (1, N'{\"p\": {\"q\": [7]}}'), (2, "
         "N'[5, 6]')) AS v (n, d) CROSS APPLY OPENJSON(v.d, '$.p.q') AS j",
         rows("n int, key nvarchar, value nvarchar", (1, "0", "7"))),
    case("SELECT STRING_ESCAPE('a\"b/' + CHAR(10), 'json'), JSON_QUERY('{\"a\": [1, 2.50, "
         "{\"b\": \"x\"}]}', '$.a'), JSON_QUERY('{\"a\": 1}', '$.a'), FORMATMESSAGE('a %s b "
         "%d|%-3d|', 'x', 3, 7), FORMATMESSAGE('%s', NULL), DATEPART(iso_week, '2021-01-03')",
         rows("nvarchar, nvarchar, nvarchar, nvarchar, nvarchar, int",
              ('a\\"b\\/\\n', '[1, 2.50, {"b": "x"}]', None, "a x b 3|7  |", "(null)", 53))),
    case("SELECT RAND(7) - RAND(7), SOUNDEX('Robert'), SOUNDEX('Ashcraft'), DIFFERENCE('Green', "
         "'Greene'), QUOTENAME('a]b')",
         rows("float, varchar, varchar, int, nvarchar", (0.0, "R163", "A261", 4, "[a]]b]"))),
    case("SELECT DATALENGTH('张三'), DATALENGTH(N'张三'), LEN(REPLICATE('x', 100000)), "
         "DATALENGTH(REPLICATE(N'x', 5000)), DATALENGTH(REPLICATE('张', 5000)), "
         "LEN(SPACE(9000) + 'x')",
         rows("int, int, int, int, int, int", (4, 4, 8000, 8000, 8000, 0))),
    # TRY_CAST and TRY_CONVERT: NULL for a value that does not convert, in SQLite's rows too
    case("SELECT TRY_CAST('abc' AS int), TRY_CONVERT(int, '12'), TRY_CAST('2024-02-30' AS "
         "date), TRY_CONVERT(tinyint, 300), TRY_CAST('x' AS uniqueidentifier), TRY_CAST(1e40 "
         "AS decimal(5,1))", rows("int, int, date, tinyint, uniqueidentifier, decimal",
                                  (None, 12, None, None, None, None))),
    case("SELECT serial, TRY_CAST(step AS varchar(1)) + 'x', TRY_CAST(status AS float) FROM "
         "dbo.units WHERE serial LIKE '{p}%' AND TRY_CONVERT(int, serial) IS NULL ORDER BY 1",
         rows("serial nvarchar, varchar, float", ("{p}A", "0x", None), ("{p}B", "1x", None),
              ("{p}C", "2x", None))),
    case("SELECT LEN(CONCAT(REPLICATE('x', 8000), REPLICATE('x', 8000))), LEN(CONCAT_WS(',', x, "
         "x)), LEN(CONCAT_WS(',', CAST(x AS varchar(max)), x)) FROM (VALUES (REPLICATE('x', "
         "8000))) AS v (x)", rows("int, int, int", (8000, 8000, 16001))),
    case("SELECT LEN(REPLACE(REPLICATE('x', 8000), 'X', REPLICATE('y', 8000))), LEN(REPLACE("
         "CAST(REPLICATE('x', 8000) AS varchar(max)), 'x', 'yy')), REPLACE('aXbx', 'x', '-')",
         rows("int, int, varchar", (8000, 16000, "a-b-"))),
    case("SELECT REPLICATE('x', 100000) AS x, REPLICATE(N'长', 5000) AS y",
         rows("x varchar, y nvarchar", ("x" * 8000, "长" * 4000))),
    case("SELECT CASE WHEN REPLICATE('a', 60) LIKE '%a%a%a%a%a%a%a%b' THEN 1 ELSE 0 END",
         rows("int", (0,))),
    case("SELECT PATINDEX('%a%a%a%a%a%a%a%b%', REPLICATE('a', 8000)), PATINDEX('%' + "
         "REPLICATE('a', 300) + 'b%', REPLICATE('a', 7999) + 'b')", rows("int, int", (0, 7700))),
    case("SELECT CAST(12345678901234567890123456789.5 AS decimal(38,1)) * 2",
         rows("decimal", (Decimal("24691357802469135780246913579.0"),))),
    # odd expressions get SQL Server's errors
    case("SELECT CAST(99999999999999999999999999999999999999 AS decimal(38,0)) + 1", error(8115)),
    case("SELECT CAST(99999999999999999999999999999999999999 AS decimal(38,10))", error(8115)),
    case("SELECT CAST(1e40 AS real)", error(232)),
    case("DECLARE @r real = -1e300", error(232)),
    case("SELECT 99999999999999999999999999999999999999 * "
         "99999999999999999999999999999999999999", error(8115)),
    case("SELECT CAST(EOMONTH('2024-01-01') AS int)", error(529)),
    case("SELECT TRY_CAST(5 AS date)",
         error(529, "Explicit conversion from data type int to date is not allowed.")),
    case("SELECT TRY_CONVERT(int, CAST('08:00' AS time)) FROM dbo.units WHERE 1 = 0",
         error(529, "Explicit conversion from data type time to int is not allowed.")),
    case("SELECT EOMONTH('2024-01-01') % 2", error(8117)),
    case("SELECT -0x41", error(8117)),
    case("SELECT IIF(1 > 2, NULL, 'x')", rows("varchar", ("x",))),
    case("SELECT IDENT_CURRENT('dbo.results') - (SELECT MAX(id) FROM dbo.results)",
         rows("decimal", (Decimal("0"),))),
    # the generated SQL's parameters, in the FROM clause and the select list
    case("SELECT 'x', name, (SELECT COUNT(*) FROM dbo.units WHERE serial = N'{p}A') FROM "
         "sys.types WHERE name = 'int'", rows("varchar, name nvarchar, int", ("x", "int", 1))),
    # a column is named as the query writes it
    case("SELECT NAME, Collation_Name FROM sys.databases WHERE name = 'MES'",
         rows("NAME nvarchar, Collation_Name nvarchar", ("MES", "Chinese_PRC_CI_AS"))),
    # values of the date and time types stored in a datetime2(0) column: rounded, the offset
    # dropped
    case("INSERT INTO dbo.results (serial, [procedure], employee, line, verdict, tested_at) "
         "VALUES (N'{p}A', N'FT1', N'E', N'L', N'PASS', CAST('2024-05-01' AS date)), "
         "(N'{p}A', N'FT2', N'E', N'L', N'PASS', CAST('2024-05-01 08:00:00.5' AS "
         "datetime2(1))), (N'{p}A', N'PACK', N'E', N'L', N'PASS', CAST('2024-05-01 08:00:00 "
         "-05:00' AS datetimeoffset(0))); SELECT tested_at FROM dbo.results WHERE serial = "
         "N'{p}A' ORDER BY id",
         rows("tested_at datetime2", (datetime(2024, 5, 1),), (datetime(2024, 5, 1, 8, 0, 1),),
              (datetime(2024, 5, 1, 8, 0),))),
    # a text meets a date or time value as that type (converted first, then compared); equal
    # instants of different types are equal, an offset counted
    case("SELECT CASE WHEN CAST('2024-01-03' AS date) < '2024-01-03' THEN 1 ELSE 0 END, CASE "
         "WHEN DATEADD(day, 1, CAST('2024-01-02' AS date)) < '2024-01-03' THEN 1 ELSE 0 END, "
         "CASE WHEN CAST('2024-01-03' AS date) = CAST('2024-01-03' AS datetime) THEN 1 ELSE 0 "
         "END, CASE WHEN CAST('10:00' AS time) = '10:00:00' THEN 1 ELSE 0 END, CASE WHEN "
         "CAST('2024-01-03 08:00 +08:00' AS datetimeoffset) = '2024-01-03 00:00 +00:00' THEN 1 "
         "ELSE 0 END, CASE WHEN CAST('2024-01-03' AS datetimeoffset) = CAST('2024-01-03' AS "
         "datetime2) THEN 1 ELSE 0 END, CASE WHEN CAST('2024-01-03' AS smalldatetime) >= "
         "'2024-01-03' THEN 1 ELSE 0 END",
         rows("int, int, int, int, int, int, int", (0, 0, 1, 1, 1, 1, 1))),
    case("IF CAST('2024-01-03' AS date) < '2024-01-03' PRINT 'less' ELSE PRINT 'not less'",
         msg("not less")),
    case("DECLARE @t TABLE (d date, dt datetime, d2 datetime2, sd smalldatetime, tm time, o "
         "datetimeoffset); INSERT INTO @t VALUES ('2024-01-03', '2024-01-03', '2024-01-03', "
         "'2024-01-03', '10:00', '2024-01-03 08:00 +08:00'); SELECT CASE WHEN d < '2024-01-03' "
         "THEN 1 ELSE 0 END, CASE WHEN d = dt AND d = d2 AND sd = d THEN 1 ELSE 0 END, CASE "
         "WHEN d < '2024-01-03 10:00' THEN 1 ELSE 0 END, CASE WHEN tm = '10:00:00' THEN 1 ELSE "
         "0 END, CASE WHEN o = '2024-01-03 00:00' AND o = d2 THEN 1 ELSE 0 END, CASE WHEN "
         "DATEADD(day, 0, d) < '2024-01-03' THEN 1 ELSE 0 END FROM @t WHERE d = '2024-01-03' "
         "AND d BETWEEN '2024-01-03' AND '2024-01-03' AND d IN ('2024-01-03', '2024-01-04')",
         rows("int, int, int, int, int, int", (0, 1, 0, 1, 1, 0))),
    # a UNION of date and datetime values gives datetimes: a date and its midnight are one
    case("SELECT MAX(x), MIN(x), COUNT(DISTINCT x) FROM (SELECT CAST('2024-01-03' AS date) AS "
         "x UNION ALL SELECT CAST('2024-01-03 00:00' AS datetime) UNION ALL SELECT "
         "CAST('2024-01-02 10:00' AS datetime)) t; SELECT CAST('2024-01-03' AS date) AS x "
         "UNION SELECT tested_at FROM dbo.results WHERE serial = '{p}B' UNION SELECT "
         "CAST('2024-05-01 08:00' AS datetime) ORDER BY x",
         rows("datetime, datetime, int",
              (datetime(2024, 1, 3), datetime(2024, 1, 2, 10, 0), 2)),
         rows("x datetime2", (datetime(2024, 1, 3),), (datetime(2024, 5, 1, 8, 0),))),
    # CONVERT's style says the order of a text's day (an ISO text is read whatever the style)
    case("SELECT CONVERT(datetime, '05/06/2024 08:30', 101), CONVERT(datetime, '06.05.2024', "
         "104), COUNT(*) FROM dbo.results WHERE tested_at >= CONVERT(datetime2, '02/05/2024', "
         "103) AND tested_at < CONVERT(datetime, '2024-05-03', 103) AND serial LIKE '{p}%'",
         rows("datetime, datetime, int", (datetime(2024, 5, 6, 8, 30), datetime(2024, 5, 6), 1))),
    case("SELECT CONVERT(date, '31/05/2024', 101)",
         error(241, "Conversion failed when converting date and/or time from character "
                    "string.")),
    # DATEADD of a time goes round the clock; a date takes no hours, a time no days
    case("DECLARE @t TABLE (t time(0)); INSERT INTO @t VALUES ('23:30'); SELECT CONVERT(char(8), "
         "DATEADD(minute, 45, t), 108), CONVERT(char(8), DATEADD(hour, -11, CAST('10:00' AS "
         "time)), 108) FROM @t",
         rows("char, char", ("00:15:00", "23:00:00"))),
    case("SELECT DATEADD(hour, 5, CAST('2024-01-01' AS date))",
         error(9810, "The datepart hour is not supported by date function dateadd for data "
                     "type date.")),
    case("SELECT DATEADD(day, 1, CAST('10:00' AS time))",
         error(9810, "The datepart day is not supported by date function dateadd for data "
                     "type time.")),
    case("SELECT COUNT(*) FROM dbo.results WHERE CAST(tested_at AS date) = '2024-05-02' AND "
         "serial LIKE '{p}%'", rows("int", (1,))),
    case("SELECT COUNT(*) FROM dbo.results WHERE CAST(tested_at AS date) < '2024-05-02' AND "
         "serial LIKE '{p}%'", rows("int", (1,))),
    case("SELECT COUNT(*) FROM dbo.results WHERE tested_at BETWEEN CAST('2024-05-02' AS date) "
         "AND '2024-05-03 10:00' AND serial LIKE '{p}%'", rows("int", (2,))),
    case("SELECT CAST('20240506 08:12:40' AS datetime), CAST('2024/05/06' AS datetime), "
         "COUNT(*) FROM dbo.results WHERE tested_at >= '20240502 09:00' AND serial LIKE '{p}%'",
         rows("datetime, datetime, int",
              (datetime(2024, 5, 6, 8, 12, 40), datetime(2024, 5, 6), 2))),
    # datetimeoffset values order by their instants: in ORDER BY, OVER and MIN/MAX; IN
    # finds the instant
    case("DECLARE @t TABLE (o datetimeoffset, n int); INSERT INTO @t VALUES ('2024-01-03 "
         "08:00 +08:00', 1), ('2024-01-03 01:00 +00:00', 2), ('2024-01-02 23:30 -01:00', 3); "
         "SELECT n FROM @t ORDER BY o; SELECT o AS x, n FROM @t ORDER BY x DESC; SELECT n, "
         "ROW_NUMBER() OVER (ORDER BY o) FROM @t ORDER BY n; SELECT DATEPART(hour, MIN(o)), "
         "DATEPART(hour, MAX(o)) FROM @t; SELECT n FROM @t WHERE o IN ('2024-01-03 00:00', "
         "'2024-01-03 01:00') ORDER BY n",
         rows("n int", (1,), (3,), (2,)),
         rows("x datetimeoffset, n int", where=lambda found: [r[1] for r in found] == [2, 3, 1]),
         rows("n int, bigint", (1, 1), (2, 3), (3, 2)), rows("int, int", (8, 1)),
         rows("n int", (1,), (2,))),
    case("SELECT CONVERT(char(10), MIN(CAST(tested_at AS date)), 23), MAX(tested_at) FROM "
         "dbo.results WHERE serial LIKE '{p}%' AND tested_at IN ('2024-05-01 08:00', "
         "'2024-05-03T10:00:00')",
         rows("char, datetime2", ("2024-05-01", datetime(2024, 5, 3, 10, 0)))),
    # datetime2, time and datetimeoffset as text: their fraction to their scale
    case("SELECT CAST(tested_at AS varchar(30)), CAST(CAST(tested_at AS datetime2) AS "
         "varchar(30)), CONVERT(varchar(30), CAST('2024-05-06 08:12:40.123456' AS datetime2), "
         "121), CAST(CAST('08:12:40.5' AS time(3)) AS varchar(20)), CAST(CAST('2024-01-03 "
         "08:00 -05:30' AS datetimeoffset(0)) AS nvarchar(40)) FROM dbo.results WHERE serial = "
         "'{p}B'",
         rows("varchar, varchar, varchar, varchar, nvarchar",
              ("2024-05-01 08:00:00", "2024-05-01 08:00:00.0000000",
               "2024-05-06 08:12:40.1234560", "08:12:40.500", "2024-01-03 08:00:00 -05:30"))),
    case("CREATE TABLE #t (d datetime2, t time); INSERT INTO #t VALUES ('2024-05-06 "
         "08:12:40.1234567', '08:12:40.0000001'); SELECT CONVERT(varchar(30), d, 121), CAST(t "
         "AS varchar(20)) FROM #t WHERE d > '2024-05-06 08:12:40.1234566' AND t > '08:12:40'",
         rows("varchar, varchar", ("2024-05-06 08:12:40.1234567", "08:12:40.0000001"))),
    case("DECLARE @d date = '2024-05-01'; DECLARE @i int = @d",
         error(206, "Operand type clash: date is incompatible with int")),
    case("DECLARE @t time = '08:00'; DECLARE @m money = @t",
         error(206, "Operand type clash: time is incompatible with money")),
    case("SELECT CAST('6F9619FF-8B86-D011-B42D' AS uniqueidentifier)",
         error(8169, "Conversion failed when converting from a character string to "
                     "uniqueidentifier.")),
    case("DECLARE @g uniqueidentifier = 0x0102",
         error(8169, "Conversion failed when converting from a character string to "
                     "uniqueidentifier.")),
    # tables: clients' own, temporary, table variables; the MES tables stay as they are -----
    case("CREATE TABLE dbo.[{p}w] (id int IDENTITY(1,1) PRIMARY KEY, name nvarchar(20) NOT "
         "NULL, price decimal(10,2) DEFAULT 0, note varchar(max) NULL); INSERT INTO [{p}w] "
         "(name, price) VALUES (N'bolt', 1.25), (N'Nut', 0.5); INSERT INTO [{p}w] (name) "
         "VALUES ('x'); ALTER TABLE [{p}w] ADD color nvarchar(10); UPDATE [{p}w] SET color = "
         "'red' WHERE name = 'BOLT  '; SELECT id, name, price, color, SCOPE_IDENTITY() FROM "
         "[{p}w] ORDER BY id",
         rows("id int, name nvarchar, price decimal, color nvarchar, decimal",
              (1, "bolt", Decimal("1.25"), "red", Decimal("3")),
              (2, "Nut", Decimal("0.50"), None, Decimal("3")),
              (3, "x", Decimal("0.00"), None, Decimal("3")))),
    # a key's errors name it as declared, or as SQL Server names a key declared without a name
    # NEWID() and NEWSEQUENTIALID() as defaults: a GUID of its own for every row
    case("CREATE TABLE [{p}g] (id uniqueidentifier DEFAULT NEWSEQUENTIALID() PRIMARY KEY, n "
         "int, g uniqueidentifier DEFAULT NEWID()); INSERT INTO [{p}g] (n) VALUES (1), (2); "
         "SELECT COUNT(DISTINCT id), COUNT(DISTINCT g), MIN(LEN(CAST(g AS varchar(40)))) FROM "
         "[{p}g]", rows("int, int, int", (2, 2, 36))),
    case("SELECT NEWSEQUENTIALID()", error(302, "The newsequentialid() built-in function can "
         "only be used in a DEFAULT expression for a column of type 'uniqueidentifier' in a "
         "CREATE TABLE or ALTER TABLE statement. It cannot be combined with other operators to "
         "form a complex scalar expression.")),
    case("CREATE TABLE [{p}k] (version_num VARCHAR(32) NOT NULL, CONSTRAINT pk PRIMARY KEY "
         "(version_num)); INSERT INTO [{p}k] VALUES ('a1'); INSERT INTO [{p}k] VALUES ('A1 ')",
         error(2627, "Violation of PRIMARY KEY constraint 'pk'. Cannot insert duplicate key in "
                     "object 'dbo.{p}k'. The duplicate key value is (A1 ).", 14), STOPPED),
    case("CREATE TABLE [{p}u] (a int CONSTRAINT pk_a PRIMARY KEY, b nvarchar(10), c int, "
         "CONSTRAINT uq_bc UNIQUE (b, c)); INSERT INTO [{p}u] VALUES (1, 'x', 1), (2, 'x', 2); "
         "INSERT INTO [{p}u] SELECT a + 10, UPPER(b), c FROM [{p}u] WHERE a = 2",
         error(2627, "Violation of UNIQUE KEY constraint 'uq_bc'. Cannot insert duplicate key in "
                     "object 'dbo.{p}u'. The duplicate key value is (X, 2).", 14), STOPPED),
    case("CREATE TABLE [{p}n] (a nvarchar(5), b int, CONSTRAINT pk_n PRIMARY KEY (a, b)); "
         "INSERT INTO [{p}n] VALUES (N'x', NULL)",
         error(515, "Cannot insert the value NULL into column 'b', table 'MES.dbo.{p}n'; column "
                    "does not allow nulls. INSERT fails.", state=2), STOPPED),
    case("CREATE TABLE [{p}i] (id int IDENTITY PRIMARY KEY, code char(4) NOT NULL); CREATE "
         "UNIQUE INDEX ix_code ON [{p}i] (code); INSERT INTO [{p}i] (code) VALUES ('a'), ('b'); "
         "UPDATE [{p}i] SET code = 'B' WHERE id = 1",
         error(2601, "Cannot insert duplicate key row in object 'dbo.{p}i' with unique index "
                     "'ix_code'. The duplicate key value is (B   ).", 14), STOPPED),
    case("CREATE TABLE [{p}g] (a int PRIMARY KEY, b int UNIQUE); INSERT INTO [{p}g] VALUES (1, "
         "1); BEGIN TRY INSERT INTO [{p}g] VALUES (1, 2) END TRY BEGIN CATCH SELECT "
         "ERROR_NUMBER(), IIF(ERROR_MESSAGE() LIKE 'Violation of PRIMARY KEY constraint "
         "''PK[_][_]' + LEFT('{p}g', 8) + '[_][_]' + REPLICATE('[0-9A-F]', 16) + '''. Cannot "
         "insert duplicate key in object ''dbo.{p}g''. The duplicate key value is (1).', 1, 0) "
         "END CATCH; BEGIN TRY INSERT INTO [{p}g] VALUES (2, 1) END TRY BEGIN CATCH SELECT "
         "ERROR_NUMBER(), IIF(ERROR_MESSAGE() LIKE 'Violation of UNIQUE KEY constraint "
         "''UQ[_][_]' + LEFT('{p}g', 8) + '[_][_]' + REPLICATE('[0-9A-F]', 16) + '''.%(1).', 1, "
         "0) END CATCH", rows("int, int", (2627, 1)), rows("int, int", (2627, 1))),
    case("CREATE TABLE [{p}v] (a int CONSTRAINT pk_v PRIMARY KEY, b int, CONSTRAINT uq_v "
         "UNIQUE (b, a)); SELECT tc.CONSTRAINT_NAME, tc.CONSTRAINT_TYPE, k.COLUMN_NAME, "
         "k.ORDINAL_POSITION FROM INFORMATION_SCHEMA.TABLE_CONSTRAINTS tc JOIN "
         "INFORMATION_SCHEMA.KEY_COLUMN_USAGE k ON k.CONSTRAINT_NAME = tc.CONSTRAINT_NAME WHERE "
         "tc.TABLE_NAME = '{p}v' ORDER BY 1, 4; SELECT name, type FROM sys.key_constraints "
         "WHERE parent_object_id = OBJECT_ID('{p}v') ORDER BY 1",
         rows("CONSTRAINT_NAME nvarchar, CONSTRAINT_TYPE varchar, COLUMN_NAME nvarchar, "
              "ORDINAL_POSITION int", ("pk_v", "PRIMARY KEY", "a", 1), ("uq_v", "UNIQUE", "b", 1),
              ("uq_v", "UNIQUE", "a", 2)),
         rows("name nvarchar, type char", ("pk_v", "PK"), ("uq_v", "UQ"))),
    case("CREATE TABLE [{p}c] (a int); SELECT TABLE_NAME, COLUMN_NAME, DATA_TYPE FROM "
         "INFORMATION_SCHEMA.COLUMNS WHERE TABLE_NAME = '{p}c'; DROP TABLE [{p}c]",
         rows("TABLE_NAME nvarchar, COLUMN_NAME nvarchar, DATA_TYPE nvarchar",
              ("{p}c", "a", "int"))),
    case("CREATE TABLE [{p}d] (a int); DROP TABLE [{p}d]; SELECT COUNT(*) FROM sys.tables "
         "WHERE name = '{p}d'", rows("int", (0,))),
    case("CREATE TABLE #t (a int, b nvarchar(10)); INSERT INTO #t VALUES (1, 'x'), (2, 'y'); "
         "SELECT b FROM #t WHERE a = 2", rows("b nvarchar", ("y",))),
    case("IF OBJECT_ID('tempdb..#t') IS NOT NULL DROP TABLE #t; CREATE TABLE #t (a int); "
         "SELECT OBJECT_ID('tempdb..#t') - OBJECT_ID('tempdb..#t')", rows("int", (0,))),
    case("DECLARE @t TABLE (a int, b nvarchar(50)); INSERT INTO @t VALUES (1, 'x'), (2, 'y'); "
         "INSERT INTO @t (b) SELECT serial FROM dbo.units WHERE serial LIKE '{p}%' AND step = "
         "0; SELECT a, b FROM @t ORDER BY b",
         rows("a int, b nvarchar", (None, "{p}A"), (1, "x"), (2, "y"))),
    case("DECLARE @t TABLE (a int); INSERT INTO @t VALUES (1, 2)", error(213)),
    # a value too long for a table variable's column stops the statement: none of its rows
    # are written (trailing blanks are cut without an error)
    case("DECLARE @t TABLE (a int, b varchar(3)); INSERT INTO @t VALUES (1, 'ab'), (2, "
         "'abcdef')", error(2628), STOPPED),
    case("DECLARE @t TABLE (a int, b varchar(3), c nvarchar(2)); INSERT INTO @t VALUES (1, "
         "'abc  ', N'张三'); BEGIN TRY INSERT INTO @t VALUES (2, 'ab', N'x'), (3, 'abcd', N'y') "
         "END TRY BEGIN CATCH SELECT ERROR_NUMBER() END CATCH; BEGIN TRY UPDATE @t SET c = "
         "N'张三李' END TRY BEGIN CATCH SELECT ERROR_NUMBER() END CATCH; BEGIN TRY INSERT INTO "
         "@t (b) SELECT serial FROM dbo.units WHERE serial = '{p}A' END TRY BEGIN CATCH SELECT "
         "ERROR_NUMBER() END CATCH; BEGIN TRY UPDATE dbo.units SET status = 'HOLD' OUTPUT "
         "deleted.step, deleted.serial, deleted.status INTO @t WHERE serial = '{p}A' END TRY "
         "BEGIN CATCH SELECT ERROR_NUMBER() END CATCH; SELECT a, b, c, (SELECT COUNT(*) FROM "
         "dbo.units WHERE status = 'HOLD' AND serial = '{p}A') FROM @t",
         rows("int", (2628,)), rows("int", (2628,)), rows("int", (2628,)), rows("int", (2628,)),
         rows("a int, b varchar, c nvarchar, int", (1, "abc", "张三", 0))),
    case("DECLARE @t TABLE (a int, b nvarchar(5)); INSERT INTO @t VALUES (1, 'a'), (2, 'b'), "
         "(3, 'c'); UPDATE @t SET a = a * 10, b = (SELECT status FROM dbo.units WHERE serial = "
         "'{p}B') WHERE a >= 2; SELECT @@ROWCOUNT; DELETE FROM @t WHERE b = 'c'; DELETE @t "
         "WHERE a = 30; SELECT @@ROWCOUNT; SELECT a, b FROM @t ORDER BY a",
         rows("int", (2,)), rows("int", (1,)),
         rows("a int, b nvarchar", (1, "a"), (20, "HOLD"))),
    case("DECLARE @t TABLE (id int IDENTITY(10, 5) PRIMARY KEY, a int NOT NULL, b nvarchar(5) "
         "DEFAULT (N'd'), c datetime DEFAULT GETDATE()); INSERT INTO @t (a) VALUES (1), (2); "
         "INSERT INTO @t VALUES (3, 'x', NULL); INSERT INTO @t (a, b) VALUES (4, DEFAULT); INSERT "
         "INTO @t (a) SELECT step FROM dbo.units WHERE serial = '{p}B'; SELECT id, a, b, CASE "
         "WHEN c IS NULL THEN 0 ELSE 1 END AS c FROM @t ORDER BY id",
         rows("id int, a int, b nvarchar, c int", (10, 1, "d", 1), (15, 2, "d", 1),
              (20, 3, "x", 0), (25, 4, "d", 1), (30, 1, "d", 1))),
    case("DECLARE @t TABLE (id int IDENTITY, a int); INSERT INTO @t (id, a) VALUES (1, 2)",
         error(8101, "An explicit value for the identity column in table '@t' can only be "
                     "specified when a column list is used and IDENTITY_INSERT is ON.")),
    case("DECLARE @t TABLE (a int); UPDATE @t SET nope = 1",
         error(207, "Invalid column name 'nope'.")),
    case("DELETE FROM @nope", error(1087, 'Must declare the table variable "@nope".', 15,
                                    state=2)),
    case("SELECT serial, step * 2 AS twice INTO #s FROM dbo.units WHERE serial LIKE '{p}%' "
         "AND step > 0; SELECT @@ROWCOUNT; SELECT twice, serial FROM #s ORDER BY 1",
         rows("int", (2,)),
         rows("twice int, serial nvarchar", (2, "{p}B"), (4, "{p}C"))),
    case("SELECT COUNT(*) INTO #n FROM dbo.units", error(1038)),
    case("SELECT serial INTO dbo.units FROM dbo.units", error(2714)),
    case("DROP TABLE dbo.units", error(3701)),
    case("ALTER TABLE dbo.results ADD x int", error(4902)),
    case("CREATE TABLE units (a int)", error(2714)),
    case("DROP TABLE [{p}nosuch]", error(3701)),
    case("DROP TABLE IF EXISTS [{p}nosuch]; SELECT 1", rows("int", (1,))),
    # writes: OUTPUT, TOP, FROM and JOIN, MERGE, the constraints ----------------------------
    case("INSERT INTO dbo.units (serial, product, route) OUTPUT inserted.serial, "
         "inserted.step, inserted.status VALUES ('{p}D', 'P', 'FT1'), ('{p}E', 'P', 'FT1')",
         rows("serial nvarchar, step int, status nvarchar",
              ("{p}D", 0, "ACTIVE"), ("{p}E", 0, "ACTIVE"))),
    case("UPDATE dbo.units SET step = step + 1 OUTPUT deleted.step, inserted.step WHERE "
         "serial LIKE '{p}%' AND status = 'HOLD'", rows("step int, step int", (1, 2))),
    case("UPDATE TOP (1) dbo.units SET failures = 9 WHERE serial LIKE '{p}%'; SELECT COUNT(*) "
         "FROM dbo.units WHERE failures = 9 AND serial LIKE '{p}%'", rows("int", (1,))),
    case("UPDATE dbo.units SET step = (SELECT COUNT(*) FROM dbo.results r WHERE r.serial = "
         "units.serial) OUTPUT inserted.step WHERE serial = '{p}C'", rows("step int", (2,))),
    case("DELETE FROM dbo.results OUTPUT deleted.verdict WHERE serial = '{p}B'",
         rows("verdict nvarchar", ("PASS",))),
    case("DELETE TOP (2) FROM dbo.units WHERE serial LIKE '{p}%'; SELECT @@ROWCOUNT, (SELECT "
         "COUNT(*) FROM dbo.units WHERE serial LIKE '{p}%')", rows("int, int", (2, 1))),
    case("INSERT INTO dbo.results (serial, procedure, employee, line, verdict) SELECT serial, "
         "'FT1', 'e', 'l', 'PASS' FROM dbo.units WHERE serial LIKE '{p}%'; SELECT @@ROWCOUNT, "
         "SCOPE_IDENTITY() - IDENT_CURRENT('dbo.results')",
         rows("int, decimal", (3, Decimal("0")))),
    case("UPDATE u SET failures = u.failures + 10 OUTPUT inserted.serial, deleted.failures, "
         "inserted.failures FROM dbo.units u JOIN dbo.results r ON r.serial = u.serial WHERE "
         "r.verdict = 'FAIL' AND u.serial LIKE '{p}%'",
         rows("serial nvarchar, failures int, failures int", ("{p}C", 1, 11))),
    case("UPDATE dbo.units SET step = r.step + 5 FROM (SELECT serial, COUNT(*) AS step FROM "
         "dbo.results GROUP BY serial) AS r WHERE r.serial = units.serial AND units.serial "
         "LIKE '{p}%'; SELECT serial, step FROM dbo.units WHERE serial LIKE '{p}%' ORDER BY 1",
         rows("serial nvarchar, step int", ("{p}A", 0), ("{p}B", 6), ("{p}C", 7))),
    case("DELETE r FROM dbo.results r JOIN dbo.units u ON u.serial = r.serial WHERE u.status "
         "= 'HOLD' AND u.serial LIKE '{p}%'; SELECT @@ROWCOUNT, (SELECT COUNT(*) FROM "
         "dbo.results WHERE serial LIKE '{p}%')", rows("int, int", (1, 2))),
    case("DELETE FROM dbo.results FROM dbo.results AS r WHERE r.serial = '{p}C' AND r.verdict "
         "= 'FAIL'; SELECT COUNT(*) FROM dbo.results WHERE serial LIKE '{p}%'", rows("int", (2,))),
    case("SELECT n, s FROM (VALUES (1, 'a'), (2, 'b')) AS v (n, s) ORDER BY n DESC",
         rows("n int, s varchar", (2, "b"), (1, "a"))),
    case("MERGE INTO dbo.units AS t USING (VALUES ('{p}a', 'HOLD'), ('{p}N', 'REPAIR')) AS s "
         "(serial, status) ON t.serial = s.serial WHEN MATCHED THEN UPDATE SET status = "
         "s.status WHEN NOT MATCHED THEN INSERT (serial, product, route, status) VALUES "
         "(s.serial, 'P', 'FT1', s.status); SELECT @@ROWCOUNT; SELECT serial, status FROM "
         "dbo.units WHERE serial LIKE '{p}%' ORDER BY 1",
         rows("int", (2,)),
         rows("serial nvarchar, status nvarchar",
              ("{p}A", "HOLD"), ("{p}B", "HOLD"), ("{p}C", "ACTIVE"),
              ("{p}N", "REPAIR"))),
    case("CREATE TABLE [{p}k] (k nvarchar(10) PRIMARY KEY, v int); INSERT INTO [{p}k] VALUES "
         "('a', 1), ('b', 2); MERGE [{p}k] AS t USING (SELECT 'B' AS k, 20 AS v UNION ALL "
         "SELECT 'c', 30) AS s ON t.k = s.k WHEN MATCHED AND s.v > 10 THEN UPDATE SET v = s.v "
         "WHEN NOT MATCHED BY TARGET THEN INSERT VALUES (s.k, s.v) WHEN NOT MATCHED BY SOURCE "
         "THEN DELETE; SELECT k, v FROM [{p}k] ORDER BY k",
         rows("k nvarchar, v int", ("b", 20), ("c", 30))),
    # MERGE's OUTPUT: $action (anywhere in the list) and both tables, NULL where not filled
    case("MERGE INTO dbo.units AS t USING (VALUES ('{p}a', 'HOLD')) AS s (serial, status) ON "
         "t.serial = s.serial WHEN NOT MATCHED THEN INSERT (serial, product, route, status) "
         "VALUES (s.serial, 'P', 'FT1', s.status) WHEN MATCHED THEN UPDATE SET status = "
         "s.status OUTPUT deleted.status AS was, $action, inserted.serial, inserted.step;"
         "SELECT @@ROWCOUNT",
         rows("was nvarchar, $action nvarchar, serial nvarchar, step int",
              ("ACTIVE", "UPDATE", "{p}A", 0)),
         rows("int", (1,))),
    case("CREATE TABLE [{p}k] (k nvarchar(10) PRIMARY KEY, v int); INSERT INTO [{p}k] VALUES "
         "('a', 1), ('b', 2); DECLARE @t TABLE (act nvarchar(10), k nvarchar(10), v int); "
         "MERGE [{p}k] AS t USING (SELECT 'c' AS k) AS s ON t.k = s.k WHEN NOT MATCHED BY "
         "SOURCE AND t.v > 1 THEN DELETE WHEN NOT MATCHED THEN INSERT VALUES (s.k, 3) OUTPUT "
         "$ACTION, deleted.k, inserted.v INTO @t; SELECT @@ROWCOUNT; SELECT act, k, v FROM @t "
         "ORDER BY act",
         rows("int", (2,)),
         rows("act nvarchar, k nvarchar, v int", ("DELETE", "b", None), ("INSERT", None, 3))),
    # WITH before INSERT, UPDATE, DELETE and MERGE
    case("WITH src AS (SELECT '{p}a' AS s, 'REPAIR' AS st) MERGE dbo.units AS t USING src ON "
         "t.serial = src.s WHEN MATCHED THEN UPDATE SET status = src.st OUTPUT $action, "
         "deleted.status, inserted.status;",
         rows("$action nvarchar, status nvarchar, status nvarchar",
              ("UPDATE", "ACTIVE", "REPAIR"))),
    case("WITH f AS (SELECT serial FROM dbo.units WHERE status = 'HOLD') DELETE FROM "
         "dbo.results WHERE serial IN (SELECT serial FROM f) AND serial LIKE '{p}%'; SELECT "
         "@@ROWCOUNT", rows("int", (1,))),
    case("DECLARE @t TABLE (a int); WITH n AS (SELECT 1 AS a UNION ALL SELECT 2) INSERT INTO "
         "@t SELECT a FROM n; SELECT SUM(a) AS s FROM @t", rows("s int", (3,))),
    case("INSERT INTO dbo.units (serial, product, route) OUTPUT $action VALUES ('{p}Q', 'P', "
         "'FT1')", error(207, "Invalid column name '$action'.")),
    case("SELECT $action", error(207, "Invalid column name '$action'.")),
    case("INSERT INTO dbo.results (serial, procedure, employee, line, verdict) OUTPUT "
         "inserted.serial, inserted.procedure SELECT serial, 'FT9', 'e', 'l', 'PASS' FROM "
         "dbo.units WHERE serial LIKE '{p}%' AND step > 0 ORDER BY serial",
         rows("serial nvarchar, procedure nvarchar", ("{p}B", "FT9"), ("{p}C", "FT9"))),
    # OUTPUT ... INTO a table variable (as TypeORM inserts), DEFAULT in SET and VALUES
    case("DECLARE @t TABLE (s nvarchar(50) NOT NULL, n int DEFAULT 7);UPDATE dbo.units SET "
         "failures = 2 WHERE serial = '{p}A';UPDATE dbo.units SET failures = DEFAULT OUTPUT "
         "inserted.serial, deleted.failures INTO @t WHERE serial = '{p}A';INSERT INTO "
         "dbo.units (serial, product, route, status) OUTPUT inserted.status INTO @t (s) "
         "VALUES ('{p}A-2', 'P', 'FT1', DEFAULT);SELECT u.serial, u.failures, t.n FROM @t AS "
         "t JOIN dbo.units u ON u.serial = t.s",
         rows("serial nvarchar, failures int, n int", ("{p}A", 0, 2))),
    # DELETE TOP (n) deletes n rows; IF EXISTS reads the MES tables
    case("INSERT INTO dbo.units (serial, product, route) VALUES ('{p}A-a', 'P', 'FT1'), "
         "('{p}A-b', 'P', 'FT1'); DELETE TOP (1) FROM dbo.units WHERE serial LIKE '{p}A-_'; "
         "IF EXISTS (SELECT 1 FROM dbo.units WHERE serial LIKE '{p}A-_') SELECT COUNT(*) AS n "
         "FROM dbo.units WHERE serial LIKE '{p}A%' ELSE SELECT -1 AS n", rows("n int", (2,))),
    # identity values
    case("INSERT INTO dbo.results (id, serial) VALUES (1, 'x')",
         error(544, "Cannot insert explicit value for identity column in table 'results' when "
                    "IDENTITY_INSERT is set to OFF.")),
    case("SET IDENTITY_INSERT dbo.nope ON",
         error(1088, 'Cannot find the object "dbo.nope" because it does not exist or you do not '
                     "have permissions.")),
    case("SET IDENTITY_INSERT dbo.units ON",
         error(8106, "Table 'units' does not have the identity property. Cannot perform SET "
                     "operation.")),
    case("SET IDENTITY_INSERT dbo.results ON; SET IDENTITY_INSERT MES.dbo.scenarios ON",
         error(8107, "IDENTITY_INSERT is already ON for table 'MES.dbo.results'. Cannot perform "
                     "SET operation for table 'scenarios'.")),
    case("SET IDENTITY_INSERT dbo.results ON; SET IDENTITY_INSERT dbo.results OFF; INSERT "
         "dbo.results (id, serial, [procedure], employee, line, verdict) VALUES (1, N'X', "
         "N'FT1', N'E', N'L', N'PASS')",
         error(544, "Cannot insert explicit value for identity column in table 'results' when "
                    "IDENTITY_INSERT is set to OFF.")),
    # constraints; a statement an error stops while it writes is followed by message 3621
    case("INSERT INTO dbo.units (serial, product, route, status) SELECT serial + 'x', "
         "product, route, status + '-AND-MORE' FROM dbo.units WHERE serial = '{p}A'",
         error(2628), STOPPED),
    case("INSERT INTO dbo.units (serial, product, route) VALUES ('{p}a  ', 'P', 'FT1')",
         error(2627), STOPPED),
    # the duplicate key of INSERT ... SELECT and UPDATE: one a row of the table holds, or two
    # of the rows written
    case("INSERT INTO dbo.units (serial, product, route) SELECT serial + 'X', product, route "
         "FROM dbo.units WHERE serial LIKE '{p}_' UNION ALL SELECT '{p}b', 'P', 'FT1'",
         error(2627, "Violation of PRIMARY KEY constraint 'PK_units'. Cannot insert duplicate key "
                     "in object 'dbo.units'. The duplicate key value is ({p}b).", 14), STOPPED),
    case("INSERT INTO dbo.units (serial, product, route) SELECT '{p}N', 'P', 'FT1' UNION ALL "
         "SELECT '{p}n', 'P', 'FT1'",
         error(2627, "Violation of PRIMARY KEY constraint 'PK_units'. Cannot insert duplicate key "
                     "in object 'dbo.units'. The duplicate key value is ({p}N).", 14), STOPPED),
    case("UPDATE dbo.units SET serial = '{p}C' WHERE serial = '{p}A'",
         error(2627, "Violation of PRIMARY KEY constraint 'PK_units'. Cannot insert duplicate key "
                     "in object 'dbo.units'. The duplicate key value is ({p}C).", 14), STOPPED),
    case("UPDATE u SET serial = '{p}A' FROM dbo.units u JOIN dbo.results r ON r.serial = "
         "u.serial WHERE u.serial LIKE '{p}%' AND r.verdict = 'FAIL'",
         error(2627, "Violation of PRIMARY KEY constraint 'PK_units'. Cannot insert duplicate key "
                     "in object 'dbo.units'. The duplicate key value is ({p}A).", 14), STOPPED),
    case("INSERT INTO dbo.units (serial, product, route) VALUES ('{p}F', NULL, 'FT1')",
         error(515), STOPPED),
    case("UPDATE dbo.units SET status = 'ACTIVE-AND-MORE' WHERE serial = '{p}A'", error(2628),
         STOPPED),
    case("UPDATE dbo.units SET step = 1 / 0 WHERE serial = '{p}A'", error(8134), STOPPED),
    case("INSERT INTO dbo.units (serial, product, route) VALUES ('SN0001', 'P', 'FT1')",
         error(2627, "Violation of PRIMARY KEY constraint 'PK_units'. Cannot insert duplicate key "
                     "in object 'dbo.units'. The duplicate key value is (SN0001).", 14),
         STOPPED),
    case("UPDATE dbo.units SET status = 'LOST' WHERE serial = 'SN0001'",
         error(547, 'The UPDATE statement conflicted with the CHECK constraint "CK_units_status". '
                    'The conflict occurred in database "MES", table "dbo.units", column '
                    "'status'.", state=0),
         STOPPED),
    case("BEGIN TRY UPDATE dbo.units SET status = 'LOST' WHERE serial = 'SN0001' END TRY "
         "BEGIN CATCH SELECT ERROR_NUMBER() AS n END CATCH", rows("n int", (547,))),
    # a unit written with trailing blanks is the station's unit without them; the answer
    # names the unit as it is stored (@unit in the procedure's text)
    case("INSERT INTO dbo.units (serial, product, route) VALUES ('{p}T  ', 'P', 'FT1')\nGO"
         + UNIT_QUERY % ("N'{p}t'", "'FT1'", "'E'", "'L'"),
         rows("nvarchar, int", ('OK "Unit {p}T   may be tested at FT1 by E on L"', 0))),
    # control flow: IF, blocks, WHILE, GOTO, RETURN -----------------------------------------
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
         error(245, "Conversion failed when converting the varchar value 'x' to data type int.")),
    # WAITFOR: the batch goes on after the wait
    case("DECLARE @d varchar(12) = '00:00:00.150'; WAITFOR DELAY @d; WAITFOR DELAY '0:0:0.05'; "
         "SELECT 1 AS one", rows("one int", (1,))),
    case("WAITFOR DELAY '24:00'",
         error(148, "Incorrect time syntax in time string '24:00' used with WAITFOR.", 15)),
    # TRY ... CATCH -------------------------------------------------------------------------
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
    # RAISERROR, PRINT ----------------------------------------------------------------------
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
    # EXEC of a string, of a procedure a variable names -------------------------------------
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
         error(266, "Transaction count after EXECUTE indicates a mismatching number of BEGIN and "
                    "COMMIT statements. Previous count = 0, current count = 1.", state=2),
         rows("t int", (1,))),
    case("EXEC sp_executesql N'SELECT @p AS p', N'@p int', @p = 5", rows("p int", (5,))),
    case("BEGIN TRY EXEC sp_executesql N'SELECT * FROM dbo.nosuch' END TRY BEGIN CATCH "
         "SELECT ERROR_NUMBER() AS n END CATCH", rows("n int", (208,))),
    # EXEC @name: the procedure the variable names
    case("DECLARE @p sysname = N'dbo.uspGetUnitInfo', @x nvarchar(max), @r int = 5, @s int = 5;"
         " EXEC @s = @p N'{p}A', N'FT1', N'e', N'L', @x OUT, @r OUT; SELECT @s AS s, @r AS r",
         rows("s int, r int", (0, 0))),
    case("DECLARE @p varchar(20) = '[sp_helptext]'; EXEC @p 'dbo.units'",
         error(15197, "There is no text for object 'dbo.units'.")),
    case("DECLARE @p sysname = 'dbo.nope'; EXEC @p 1",
         error(2812, "Could not find stored procedure 'dbo.nope'.", state=62)),
    # transactions and savepoints -----------------------------------------------------------
    case("BEGIN TRAN; COMMIT; COMMIT",
         error(3902, "The COMMIT TRANSACTION request has no corresponding BEGIN TRANSACTION.")),
    case("ROLLBACK",
         error(3903, "The ROLLBACK TRANSACTION request has no corresponding BEGIN TRANSACTION.")),
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
         error(3931, "The current transaction cannot be committed and cannot be rolled back to a "
                     "savepoint. Roll back the entire transaction."), rows("t int", (0,))),
    # catalog procedures --------------------------------------------------------------------
    # the enumerations of SQLTables, in the CI collation's order
    case("EXEC sp_tables @table_qualifier = '%', @table_owner = '', @table_name = ''",
         rows(TABLES,
              ("master", None, None, None, None), ("MES", None, None, None, None),
              ("model", None, None, None, None), ("msdb", None, None, None, None),
              ("tempdb", None, None, None, None))),
    case("EXEC sp_tables '', '%', ''",
         rows(TABLES,
              ("MES", "dbo", None, None, None),
              ("MES", "INFORMATION_SCHEMA", None, None, None),
              ("MES", "sys", None, None, None))),
    # names are patterns, escaped with a backslash; an empty qualifier finds nothing
    case("EXEC sp_tables @table_name = 'unit_', @table_type = '''TABLE'''",
         rows(TABLES, ("MES", "dbo", "units", "TABLE", None))),
    case("EXEC sp_tables @table_name = 'unit\\_'",
         rows(TABLES)),
    case("EXEC MES.dbo.sp_pkeys 'units', @table_qualifier = ''",
         rows("TABLE_QUALIFIER nvarchar, TABLE_OWNER nvarchar, TABLE_NAME nvarchar, "
              "COLUMN_NAME nvarchar, KEY_SEQ smallint, PK_NAME nvarchar")),
    case("EXEC sp_special_columns NULL",
         rows("SCOPE smallint, COLUMN_NAME nvarchar, DATA_TYPE smallint, TYPE_NAME nvarchar, "
              "PRECISION int, LENGTH int, SCALE smallint, PSEUDO_COLUMN smallint")),
    # datetime2 is text to the old procedure, a timestamp to the _100 one
    case("EXEC MES..sp_columns @table_name = 'results', @column_name = 'tested_at'",
         rows(COLUMNS,
              ("MES", "dbo", "results", "tested_at", -9, "datetime2", 19, 38, None, None, 0,
               None, "(sysutcdatetime())", -9, None, 38, 8, "NO", 0))),
    case("EXEC sys.sp_columns_100 'results', 'dbo', NULL, 'tested_at', @ODBCVer = 3",
         rows(COLUMNS,
              ("MES", "dbo", "results", "tested_at", 93, "datetime2", 19, 16, 0, None, 0, None,
               "(sysutcdatetime())", 9, 3, None, 8, "NO", 0))),
    case("EXEC sp_datatype_info 11",
         rows(TYPE_INFO,
              ("datetime", 11, 23, "'", "'", None, 1, 0, 3, None, 0, None, "datetime", 3, 3, 9,
               3, None, None, 12),
              ("smalldatetime", 11, 16, "'", "'", None, 1, 0, 3, None, 0, None, "smalldatetime",
               0, 0, 9, 3, None, None, 22))),
    case("EXEC sp_datatype_info_100 93, @ODBCVer = 3",
         rows(TYPE_INFO,
              ("datetime2", 93, 27, "'", "'", "scale", 1, 0, 3, None, 0, None, "datetime2", 0,
               7, 9, 3, None, None, 0),
              ("datetime", 93, 23, "'", "'", None, 1, 0, 3, None, 0, None, "datetime", 3, 3, 9,
               3, None, None, 12),
              ("smalldatetime", 93, 16, "'", "'", None, 1, 0, 3, None, 0, None, "smalldatetime",
               0, 0, 9, 3, None, None, 22))),
    case("EXEC sp_sproc_columns 'uspSaveResult', @column_name = '@R%'",
         rows("PROCEDURE_QUALIFIER nvarchar, PROCEDURE_OWNER nvarchar, PROCEDURE_NAME "
              "nvarchar, COLUMN_NAME nvarchar, COLUMN_TYPE smallint, DATA_TYPE smallint, "
              "TYPE_NAME nvarchar, PRECISION int, LENGTH int, SCALE smallint, RADIX smallint, "
              "NULLABLE smallint, REMARKS varchar, COLUMN_DEF nvarchar, SQL_DATA_TYPE "
              "smallint, SQL_DATETIME_SUB smallint, CHAR_OCTET_LENGTH int, ORDINAL_POSITION "
              "int, IS_NULLABLE varchar, SS_DATA_TYPE tinyint",
              ("MES", "dbo", "uspSaveResult;1", "@RETURN_VALUE", 5, 4, "int", 10, 4, 0, 10, 0,
               None, None, 4, None, None, 0, "NO", 56),
              ("MES", "dbo", "uspSaveResult;1", "@Result", 1, 12, "varchar", 8000, 8000, None,
               None, 1, None, None, 12, None, 8000, 5, "YES", 39),
              ("MES", "dbo", "uspSaveResult;1", "@RETURN", 2, 4, "int", 10, 4, 0, 10, 1, None,
               None, 4, None, None, 8, "YES", 38))),
    case("EXEC sp_server_info 2",
         rows("ATTRIBUTE_ID int, ATTRIBUTE_NAME varchar, ATTRIBUTE_VALUE varchar",
              (2, "DBMS_VER", "Microsoft SQL Server 2019 - 15.0.2000.5"))),
    # sp_help and its kin
    case("sp_help",
         rows("Name nvarchar, Owner nvarchar, Object_type nvarchar",
              where=lambda found: found[:5] == [
                  ("results", "dbo", "user table"), ("scenarios", "dbo", "user table"),
                  ("units", "dbo", "user table"), ("uspGetUnitInfo", "dbo", "stored procedure"),
                  ("uspSaveResult", "dbo", "stored procedure")]
              and ("PK_units", "dbo", "primary key cns") in found
              and ("CK_units_status", "dbo", "check cns") in found),
         rows("User_type nvarchar, Storage_type nvarchar, Length smallint, Prec int, Scale "
              "int, Nullable varchar, Default_name nvarchar, Rule_name nvarchar, Collation "
              "nvarchar")),
    case("EXEC sp_help 'dbo.units'",
         msg("No foreign keys reference table 'units', or you do not have permissions on "
             "referencing tables."),
         msg("No views with schema binding reference table 'units'."),
         rows(OBJECT, ("units", "dbo", "user table", datetime(2024, 5, 1, 8, 0))),
         rows(HELP_COLUMNS,
              ("serial", "nvarchar", "no", 100, "     ", "     ", "no", "(n/a)", "(n/a)",
               "Chinese_PRC_CI_AS"),
              ("product", "nvarchar", "no", 100, "     ", "     ", "no", "(n/a)", "(n/a)",
               "Chinese_PRC_CI_AS"),
              ("route", "nvarchar", "no", 400, "     ", "     ", "no", "(n/a)", "(n/a)",
               "Chinese_PRC_CI_AS"),
              ("step", "int", "no", 4, "   10", "    0", "no", "(n/a)", "(n/a)", None),
              ("status", "nvarchar", "no", 20, "     ", "     ", "no", "(n/a)", "(n/a)",
               "Chinese_PRC_CI_AS"),
              ("failures", "int", "no", 4, "   10", "    0", "no", "(n/a)", "(n/a)", None)),
         rows(IDENTITY, ("No identity column defined.", None, None, None)),
         rows("RowGuidCol nvarchar", ("No rowguidcol column defined.",)),
         rows("Data_located_on_filegroup nvarchar", ("PRIMARY",)),
         rows(INDEXES, ("PK_units", "clustered, unique, primary key located on PRIMARY", "serial")),
         rows(CONSTRAINTS,
              ("CHECK on column status", "CK_units_status", "(n/a)", "(n/a)", "Enabled",
               "Is_For_Replication",
               "([status]='REPAIR' OR [status]='SCRAPPED' OR [status]='HOLD' OR "
               "[status]='ACTIVE')"),
              ("DEFAULT on column failures", "DF_units_failures", "(n/a)", "(n/a)", "(n/a)",
               "(n/a)", "((0))"),
              ("DEFAULT on column status", "DF_units_status", "(n/a)", "(n/a)", "(n/a)",
               "(n/a)", "('ACTIVE')"),
              ("DEFAULT on column step", "DF_units_step", "(n/a)", "(n/a)", "(n/a)", "(n/a)",
               "((0))"),
              ("PRIMARY KEY (clustered)", "PK_units", "(n/a)", "(n/a)", "(n/a)", "(n/a)",
               "serial"))),
    # a one-part name needs no quotes
    case("sp_help [results]",
         msg("No foreign keys reference table 'results', or you do not have permissions on "
             "referencing tables."),
         msg("No views with schema binding reference table 'results'."),
         rows(OBJECT, ("results", "dbo", "user table", datetime(2024, 5, 1, 8, 0))),
         rows(HELP_COLUMNS,
              ("id", "int", "no", 4, "   10", "    0", "no", "(n/a)", "(n/a)", None),
              ("serial", "nvarchar", "no", 100, "     ", "     ", "no", "(n/a)", "(n/a)",
               "Chinese_PRC_CI_AS"),
              ("procedure", "nvarchar", "no", 100, "     ", "     ", "no", "(n/a)", "(n/a)",
               "Chinese_PRC_CI_AS"),
              ("employee", "nvarchar", "no", 100, "     ", "     ", "no", "(n/a)", "(n/a)",
               "Chinese_PRC_CI_AS"),
              ("line", "nvarchar", "no", 100, "     ", "     ", "no", "(n/a)", "(n/a)",
               "Chinese_PRC_CI_AS"),
              ("verdict", "nvarchar", "no", 20, "     ", "     ", "no", "(n/a)", "(n/a)",
               "Chinese_PRC_CI_AS"),
              ("error_no", "nvarchar", "no", 100, "     ", "     ", "yes", "(n/a)", "(n/a)",
               "Chinese_PRC_CI_AS"),
              ("tested_at", "datetime2", "no", 6, "   19", "    0", "no", "(n/a)", "(n/a)", None)),
         rows(IDENTITY, ("id", Decimal("1"), Decimal("1"), 0)),
         rows("RowGuidCol nvarchar", ("No rowguidcol column defined.",)),
         rows("Data_located_on_filegroup nvarchar", ("PRIMARY",)),
         rows(INDEXES, ("PK_results", "clustered, unique, primary key located on PRIMARY", "id")),
         rows(CONSTRAINTS,
              ("DEFAULT on column tested_at", "DF_results_tested_at", "(n/a)", "(n/a)", "(n/a)",
               "(n/a)", "(sysutcdatetime())"),
              ("PRIMARY KEY (clustered)", "PK_results", "(n/a)", "(n/a)", "(n/a)", "(n/a)", "id"))),
    # clients' tables; a temporary one is tempdb's (sp_help there names it in full)
    case("CREATE TABLE [{p}t] (id int IDENTITY(1,1), n varchar(5) NULL); CREATE INDEX ix_n ON "
         "[{p}t] (n)\nGO\nEXEC sp_help '{p}t'",
         msg("No constraints are defined on object '{p}t', or you do not have permissions."),
         msg("No foreign keys reference table '{p}t', or you do not have permissions on "
             "referencing tables."),
         msg("No views with schema binding reference table '{p}t'."),
         rows(OBJECT, where=lambda found: found[0][1:3] == ("dbo", "user table")),
         rows(HELP_COLUMNS,
              ("id", "int", "no", 4, "   10", "    0", "no", "(n/a)", "(n/a)", None),
              ("n", "varchar", "no", 5, "     ", "     ", "yes", "no", "yes",
               "Chinese_PRC_CI_AS")),
         rows(IDENTITY, ("id", Decimal("1"), Decimal("1"), 0)),
         rows("RowGuidCol nvarchar", ("No rowguidcol column defined.",)),
         rows("Data_located_on_filegroup nvarchar", ("PRIMARY",)),
         rows(INDEXES, ("ix_n", "nonclustered located on PRIMARY", "n"))),
    case("CREATE TABLE #u (a int NOT NULL)\nGO\nEXEC tempdb..sp_help '#u'",
         msg("The object '#u' does not have any indexes, or you do not have permissions."),
         msg("No constraints are defined on object '#u', or you do not have permissions."),
         msg("No foreign keys reference table '#u', or you do not have permissions on "
             "referencing tables."),
         msg("No views with schema binding reference table '#u'."),
         rows(OBJECT, where=lambda found: len(found[0][0]) == 128
              and re.match("#u_{114}[0-9A-F]{12}$", found[0][0]) is not None
              and found[0][1:3] == ("dbo", "user table")),
         rows(HELP_COLUMNS,
              ("a", "int", "no", 4, "   10", "    0", "no", "(n/a)", "(n/a)", None)),
         rows(IDENTITY, ("No identity column defined.", None, None, None)),
         rows("RowGuidCol nvarchar", ("No rowguidcol column defined.",)),
         rows("Data_located_on_filegroup nvarchar", ("PRIMARY",))),
    case("CREATE TABLE #u (a int); EXEC sp_help '#u'",
         error(15009, "The object '#u' does not exist in database 'MES' or is invalid for this "
                      "operation.")),
    case("EXEC tempdb.dbo.sp_help 'units'",
         error(15009, "The object 'units' does not exist in database 'tempdb' or is invalid for "
                      "this operation.")),
    case("sp_help 'MES.dbo.uspSaveResult'",
         rows(OBJECT, ("uspSaveResult", "dbo", "stored procedure", datetime(2024, 5, 1, 8, 0))),
         rows("Parameter_name nvarchar, Type nvarchar, Length smallint, Prec int, Scale int, "
              "Param_order int, Collation nvarchar",
              ("@SerialNumber", "nvarchar", 8000, 4000, None, 1, "Chinese_PRC_CI_AS"),
              ("@Procedure", "varchar", 8000, 8000, None, 2, "Chinese_PRC_CI_AS"),
              ("@Employee", "varchar", 8000, 8000, None, 3, "Chinese_PRC_CI_AS"),
              ("@LineName", "varchar", 8000, 8000, None, 4, "Chinese_PRC_CI_AS"),
              ("@Result", "varchar", 8000, 8000, None, 5, "Chinese_PRC_CI_AS"),
              ("@ErrorNo", "nvarchar", 8000, 4000, None, 6, "Chinese_PRC_CI_AS"),
              ("@Msg", "nvarchar", 1000, 500, None, 7, "Chinese_PRC_CI_AS"),
              ("@RETURN", "int", 4, 10, None, 8, None))),
    case("sp_help 'INFORMATION_SCHEMA.TABLES'",
         rows(OBJECT, ("TABLES", "INFORMATION_SCHEMA", "view", datetime(2024, 5, 1, 8, 0))),
         rows(HELP_COLUMNS,
              ("TABLE_CATALOG", "sysname", "no", 256, "     ", "     ", "yes", "(n/a)", "(n/a)",
               "Chinese_PRC_CI_AS"),
              ("TABLE_SCHEMA", "sysname", "no", 256, "     ", "     ", "yes", "(n/a)", "(n/a)",
               "Chinese_PRC_CI_AS"),
              ("TABLE_NAME", "sysname", "no", 256, "     ", "     ", "yes", "(n/a)", "(n/a)",
               "Chinese_PRC_CI_AS"),
              ("TABLE_TYPE", "varchar", "no", 10, "     ", "     ", "yes", "no", "yes",
               "Chinese_PRC_CI_AS")),
         rows(IDENTITY, ("No identity column defined.", None, None, None)),
         rows("RowGuidCol nvarchar", ("No rowguidcol column defined.",))),
    case("sp_helptext 'dbo.uspGetUnitInfo'",
         rows("Text nvarchar", where=lambda found: found[0] == (
             "CREATE PROCEDURE dbo.uspGetUnitInfo\r\n",) and all(
             r[0].endswith("\r\n") and len(r[0]) <= 255 for r in found))),
    case("sp_databases",
         rows("DATABASE_NAME nvarchar, DATABASE_SIZE int, REMARKS varchar",
              where=lambda found: [r[0] for r in found] == [
                  "master", "MES", "model", "msdb", "tempdb"] and found[0][2] is None)),
    case("sp_who",
         rows(WHO, where=lambda found: (found[-1][3], found[-1][6], found[-1][7]) == (
             "mes", "MES", "SELECT          "))),
    case("sp_who 'sa'", rows(WHO, where=lambda found: {r[3] for r in found} == {"sa"})),
    case("sp_spaceused",
         rows("database_name nvarchar, database_size varchar, [unallocated space] varchar",
              where=lambda found: found[0][:2] == ("MES", "16.00 MB")
              and found[0][2].endswith(" MB")),
         rows("reserved varchar, data varchar, index_size varchar, unused varchar",
              where=lambda found: all(v.endswith(" KB") for v in found[0]))),
    case("EXEC sp_spaceused @objname = N'units'",
         rows("name nvarchar, rows char, reserved varchar, data varchar, index_size varchar, "
              "unused varchar", where=lambda found: found[0][0] == "units"
              and len(found[0][1]) == 20 and int(found[0][1]) >= 10)),
    # the catalog procedures check their arguments as SQL Server's do
    case("sp_helptext 'dbo.units'", error(15197, "There is no text for object 'dbo.units'.")),
    case("sp_helptext units", error(15197, "There is no text for object 'units'.")),
    case("sp_help 'nope'",
         error(15009, "The object 'nope' does not exist in database 'MES' or is invalid for this "
                      "operation.")),
    case("sp_helptext 'other.dbo.uspSaveResult'",
         error(15009, "The object 'other.dbo.uspSaveResult' does not exist in database 'MES' or "
                      "is invalid for this operation.")),
    case("sp_spaceused 'uspSaveResult'",
         error(15009, "The object 'uspSaveResult' does not exist in database 'MES' or is invalid "
                      "for this operation.")),
    case("sp_helptext",
         error(201, "Procedure or function 'sp_helptext' expects parameter '@objname', which was "
                    "not supplied.", state=4)),
    case("sp_who 'nobody'",
         error(15007, "'nobody' is not a valid login or you do not have permission.")),
    case("sp_databases 1",
         error(8144, "Procedure or function sp_databases has too many "
               "arguments specified.", state=2)),
    case("EXEC sp_columns",
         error(201, "Procedure or function 'sp_columns' expects parameter '@table_name', which "
                    "was not supplied.", state=4)),
    case("EXEC sp_tables @table_qualifier = 'Other'",
         error(15250, "The database name component of the object qualifier must be the name of "
                      "the current database.")),
    case("EXEC sp_fkeys", error(15252, "The primary key or foreign key table name must be given.")),
    case("EXEC sp_pkeys 'units', @nosuch = 1",
         error(8145, "@nosuch is not a parameter for procedure sp_pkeys.")),
    case("EXEC sp_server_info 1, 2",
         error(8144, "Procedure or function sp_server_info has too many "
               "arguments specified.", state=2)),
    # session settings ----------------------------------------------------------------------
    # SET FMTONLY ON: the columns a batch would give, nothing run or changed (SN0001 as seeded)
    # until SET FMTONLY OFF; both branches of an IF described
    fmtonly("SELECT serial, step FROM dbo.units WHERE step > 0", rows("serial nvarchar, step int")),
    fmtonly("SELECT 1 AS a, N'x' AS b, CAST(NULL AS date) AS d", rows("a int, b nvarchar, d date")),
    fmtonly("DECLARE @n int = 5; SELECT @n AS n", rows("n int")),
    fmtonly("DELETE FROM dbo.units; UPDATE dbo.units SET step = 9"),
    fmtonly("UPDATE dbo.units SET step = 9"),
    fmtonly("INSERT INTO dbo.results (serial) OUTPUT inserted.id VALUES (N'SN0001')",
            rows("id int")),
    fmtonly("EXEC dbo.uspSaveResult 'SN0001', 'FT1', 'E', 'L', 'PASS', '0', NULL, NULL"),
    fmtonly("IF 1 = 0 SELECT 1 AS a ELSE SELECT N'b' AS b", rows("a int"), rows("b nvarchar")),
    fmtonly("SELECT nope FROM dbo.units", error(207, "Invalid column name 'nope'.")),
    fmtonly("SELECT * FROM dbo.nope", error(208, "Invalid object name 'dbo.nope'.")),
    fmtonly("DELETE FROM dbo.nope", error(208, "Invalid object name 'dbo.nope'.")),
    # batches of SET statements alone hold their settings, the second time as the first
    twice(["SET FMTONLY ON"], "SELECT 1 AS one", rows("one int")),
    twice(["SET FMTONLY ON", "SET ARITHABORT ON;SET FMTONLY OFF;"], "SELECT 1 AS one",
          rows("one int", (1,))),
    twice(["SET IMPLICIT_TRANSACTIONS ON"],
          "UPDATE dbo.units SET step = step WHERE serial = N'SN0001'; SELECT @@TRANCOUNT; COMMIT",
          rows("int", (1,))),
    twice(["SET IMPLICIT_TRANSACTIONS ON", "SET IMPLICIT_TRANSACTIONS OFF"],
          "UPDATE dbo.units SET step = step WHERE serial = N'SN0001'; SELECT @@TRANCOUNT",
          rows("int", (0,))),
    # errors: names, procedures, literals ---------------------------------------------------
    case("SELECT * FROM dbo.nosuch", error(208, "Invalid object name 'dbo.nosuch'.")),
    case("SELECT serial, nosuch FROM dbo.units", error(207, "Invalid column name 'nosuch'.")),
    case("SELECT COUNT(*) FROM dbo.units u JOIN dbo.results r ON r.serial = u.serial WHERE "
         "serial = 'x'", error(209, "Ambiguous column name 'serial'.")),
    case("SELECT TOP 1 NOSUCH(serial) FROM dbo.units",
         error(195, "'NOSUCH' is not a recognized built-in function name.", 15)),
    case("SELECT serial", error(207, "Invalid column name 'serial'.")),
    case("SELECT @Nope", error(137, 'Must declare the scalar variable "@Nope".', 15)),
    case("SELECT " + "9" * 5000,
         error(1007, ("The number '" + "9" * 5000)[:2044] + "...", 15)),
    case("exec dbo.uspDeleteUnit 'SN0001'",
         error(2812, "Could not find stored procedure 'dbo.uspDeleteUnit'.", state=62)),
    case(UNIT_QUERY.replace("%s, %s, %s, %s", "1, 2, 3, 4, 5"),
         error(8144, "Procedure or function uspGetUnitInfo has too many arguments specified.",
               state=2, line=3)),
    case(UNIT_QUERY.replace("%s, %s, %s, %s", "'a', 'b', 'c'"),
         error(201, "Procedure or function 'uspGetUnitInfo' expects parameter '@RETURN', which "
                    "was not supplied.", state=4, line=3)),
    case("DROP TABLE units",
         error(3701, "Cannot drop the table 'units', because it does not exist or you do not have "
                     "permission.", 11, state=5)),
    case("use [Other]",
         error(911, "Database 'Other' does not exist. Make sure that the name is entered "
                    "correctly.")),
    case("SELECT 1 WHERE 'a' LIKE 'a' ESCAPE '!!'",
         error(506, 'The invalid escape character "!!" was specified in a LIKE predicate.')),
    case("SELECT CAST('2024-01-02 03:04:05 +08:00' AS datetime)",
         error(241, "Conversion failed when converting date and/or time from character string.")),
    case("SELECT * FROM @nope",
         error(1087, 'Must declare the table variable "@nope".', 15, state=2)),
    case("DECLARE @t TABLE (a int); DELETE FROM dbo.units OUTPUT deleted.serial, deleted.step "
         "INTO @t",
         error(213, "Column name or number of supplied values does not match table definition.")),
    # INSERT BULK statements refused
    case("INSERT BULK dbo.nope (a int)", error(208, "Invalid object name 'dbo.nope'.")),
    case("INSERT BULK dbo.units (nope int)", error(207, "Invalid column name 'nope'.")),
    case("INSERT BULK sys.tables (name sysname)",
         error(229, "The INSERT permission was denied on the object 'tables', database "
                    "'mssqlsystemresource', schema 'sys'.", 14, state=5)),
    case("INSERT BULK dbo.units", error(102, "Incorrect syntax near 'dbo.units'.", 15)),
    case("INSERT BULK dbo.units (serial nvarchar(50)) WITH (TABLOCK",
         error(102, "Incorrect syntax near 'TABLOCK'.", 15)),
    case("INSERT BULK dbo.units (serial nosuchtype)",
         error(2715, "Column, parameter, or variable #1: Cannot find data type nosuchtype.")),
]


@pytest.fixture(scope="module")
def simulator():
    sim = Simulator()
    sim.start()
    yield sim
    assert sim.stop() == 0
    sim.cleanup()


_prefixes = itertools.count(1)


def own_units(sim):
    """A prefix for a case's own units and results (see the module's text)."""
    p = "Q%d-%d-" % (os.getpid(), next(_prefixes))
    sim.add_unit(p + "A", route=("FT1", "FT2"))
    sim.add_unit(p + "B", route=("FT1", "FT2"), step=1, status="HOLD")
    sim.add_unit(p + "C", route=("FT1", "FT2", "PACK"), step=2, failures=1)
    for serial, employee, verdict, error_no, when in [
            ("B", "e1", "PASS", None, "2024-05-01 08:00:00"),
            ("C", "e1", "FAIL", "E7", "2024-05-02 09:00:00"),
            ("C", "e2", "PASS", None, "2024-05-03 10:00:00")]:
        sim.sql.execute("INSERT INTO results (serial, procedure, employee, line, verdict,"
                        " error_no, tested_at) VALUES (?, 'FT1', ?, 'L1', ?, ?, ?)",
                        (p + serial, employee, verdict, error_no, when))
    return p


def filled(value, p):
    """value with {p} filled in, in texts and inside the parts of an answer."""
    if isinstance(value, str):
        return value.replace("{p}", p)
    if isinstance(value, (tuple, list)):
        return type(value)(filled(v, p) for v in value)
    return value


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


def _settled(expected, got):
    """expected, each part that names no values (ANY, a check of rows) replaced by the part got
    in its place when that part passes."""
    out = []
    for part, other in itertools.zip_longest(expected, got):
        if part is None:
            continue
        if other is not None and part[0] == other[0] == "msg" and part[1] is ANY:
            part = other
        elif other is not None and part[0] == other[0] == "rows" and callable(part[2]) \
                and part[1] == other[1] \
                and part[2]([tuple(v for _t, v in row) for row in other[2]]):
            part = other
        out.append(part)
    return out


@pytest.mark.parametrize("batch, expected", CASES)
def test_batch_answers_as_sql_server(simulator, batch, expected):
    p = own_units(simulator) if "{p}" in batch else ""
    logged = len(simulator.log_text())
    conn = simulator.connect()
    try:
        got = answer(conn, filled(batch, p))
        assert conn.execute_scalar("SET FMTONLY OFF SELECT 1") == 1  # the connection goes on
    finally:
        conn.close()
        if p:
            for (name,) in simulator.sql.execute(
                    "SELECT name FROM sqlite_master WHERE type = 'table' AND name LIKE ?",
                    (p + "%",)).fetchall():
                simulator.sql.execute('DROP TABLE "%s"' % name)
    got = _kinds(got)
    assert got == tuple(_settled(want, have) for want, have in zip(_kinds(filled(expected, p)),
                                                                  got))
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
        "CREATE TABLE while_started (n int)\n"  # seen by the test: the loop is under way
        "DECLARE @rounds int = 0\n"
        "WHILE NOT EXISTS (SELECT 1 FROM dbo.units WHERE serial = 'WHILE-STOP')\n"
        "  SET @rounds += 1\n"
        "DROP TABLE while_started\n"
        "SELECT @rounds AS rounds")))
    worker.start()
    deadline = time.monotonic() + 60  # waits for the batch to start; asserts nothing of time
    while not simulator.sql.execute(
            "SELECT 1 FROM sqlite_master WHERE name = 'while_started'").fetchall() \
            and time.monotonic() < deadline:
        time.sleep(0.01)
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
