"""Statements on the MES tables as SQL Server answers them, through the real driver: each case
is a batch and its answer (the rows of its last result, values of the Python types the driver
gives for SQL Server's types) or the error number it gets.  {p} is a prefix of serial numbers
of the case's own units: {p}A (due at FT1), {p}B (on hold at FT2), {p}C (one failure at PACK),
with three results."""

import itertools
import os
import re
import time
from datetime import datetime
from decimal import Decimal

import pytest
from hypothesis import given, settings, strategies as st
from pymssql import _mssql

_prefixes = itertools.count(1)

CASES = [
    # joins, filters, grouping, ordering, paging
    ("SELECT u.serial, COUNT(r.id) AS n FROM dbo.units u LEFT JOIN dbo.results r"
     " ON r.serial = u.serial WHERE u.serial LIKE '{p}%' GROUP BY u.serial ORDER BY n DESC, 1",
     [("{p}C", 2), ("{p}B", 1), ("{p}A", 0)]),
    ("SELECT r.verdict, u.status FROM dbo.results r RIGHT JOIN dbo.units u ON u.serial = r.serial"
     " WHERE u.serial = '{p}a' ", [(None, "ACTIVE")]),
    ("SELECT serial FROM dbo.units WHERE serial LIKE '{p}%' ORDER BY serial DESC"
     " OFFSET 1 ROWS FETCH NEXT 1 ROWS ONLY", [("{p}B",)]),
    ("SELECT TOP 2 serial, step FROM dbo.units WHERE serial LIKE '{p}%' ORDER BY step DESC",
     [("{p}C", 2), ("{p}B", 1)]),
    ("SELECT status, COUNT(*), SUM(step), AVG(step), MIN(serial), MAX(failures) FROM dbo.units"
     " WHERE serial LIKE '{p}%' GROUP BY status HAVING COUNT(*) > 1",
     [("ACTIVE", 2, 2, 1, "{p}A", 1)]),
    ("SELECT DISTINCT employee FROM dbo.results WHERE serial LIKE '{p}%' ORDER BY employee",
     [("e1",), ("e2",)]),
    ("SELECT serial FROM dbo.units WHERE serial LIKE '{p}_' AND step = 0"
     " UNION SELECT serial FROM dbo.results WHERE serial LIKE '{p}%' AND verdict = 'fail'"
     " UNION ALL SELECT N'{p}A' ORDER BY 1", [("{p}A",), ("{p}A",), ("{p}C",)]),
    ("WITH failed AS (SELECT serial, COUNT(*) AS n FROM dbo.results WHERE verdict = 'FAIL'"
     " GROUP BY serial) SELECT u.serial, f.n FROM dbo.units u JOIN failed f"
     " ON f.serial = u.serial WHERE u.serial LIKE '{p}%'", [("{p}C", 1)]),
    ("SELECT x.serial FROM (SELECT serial, step * 10 AS s FROM dbo.units) AS x"
     " WHERE x.s = 20 AND x.serial LIKE '{p}%'", [("{p}C",)]),
    # texts compare as the CI collation does: case and trailing blanks ignored
    ("SELECT COUNT(*) FROM dbo.results WHERE serial = '{p}c  ' AND employee IN ('E1', 'x')",
     [(1,)]),
    ("SELECT serial FROM dbo.units WHERE serial LIKE '{p}%' AND status BETWEEN 'active'"
     " AND 'hold' ORDER BY serial", [("{p}A",), ("{p}B",), ("{p}C",)]),
    ("SELECT u.serial, x.verdict FROM dbo.units u CROSS APPLY (SELECT r.verdict FROM"
     " dbo.results r WHERE r.serial = u.serial AND r.employee = 'e1') AS x"
     " WHERE u.serial LIKE '{p}%' ORDER BY 1", [("{p}B", "PASS"), ("{p}C", "FAIL")]),
    ("SELECT u.serial, x.who FROM dbo.units u OUTER APPLY (SELECT r.employee AS who FROM"
     " dbo.results r WHERE r.serial = u.serial AND r.verdict = 'FAIL') x"
     " WHERE u.serial LIKE '{p}%' ORDER BY 1", [("{p}A", None), ("{p}B", None), ("{p}C", "e1")]),
    ("SELECT u.serial, x.employee, x.verdict FROM dbo.units u OUTER APPLY (SELECT TOP 1"
     " r.employee, r.verdict FROM dbo.results r WHERE r.serial = u.serial ORDER BY"
     " r.tested_at DESC) x WHERE u.serial LIKE '{p}%' ORDER BY 1",
     [("{p}A", None, None), ("{p}B", "e1", "PASS"), ("{p}C", "e2", "PASS")]),
    ("SELECT u.serial, x.verdict FROM dbo.units u CROSS APPLY (SELECT TOP 2 verdict FROM"
     " dbo.results r WHERE r.serial = u.serial ORDER BY 1) x WHERE u.serial LIKE '{p}%'"
     " ORDER BY 1, 2", [("{p}B", "PASS"), ("{p}C", "FAIL"), ("{p}C", "PASS")]),
    ("SELECT u.serial, x.n, x.last FROM dbo.units u CROSS APPLY (SELECT COUNT(*) AS n,"
     " MAX(tested_at) AS last FROM dbo.results r WHERE r.serial = u.serial) x"
     " WHERE u.serial LIKE '{p}%' ORDER BY 1", [("{p}A", 0, None),
                                                ("{p}B", 1, datetime(2024, 5, 1, 8, 0)),
                                                ("{p}C", 2, datetime(2024, 5, 3, 10, 0))]),
    ("SELECT u.serial FROM dbo.units u CROSS APPLY (SELECT serial FROM dbo.results r"
     " WHERE r.serial = u.serial UNION SELECT 'x') x", 102),
    ("SELECT u.serial, r.verdict FROM dbo.units u FULL JOIN dbo.results r ON r.serial ="
     " u.serial AND r.verdict = 'FAIL' WHERE u.serial = '{p}C' OR r.serial = '{p}C'"
     " ORDER BY 2", [("{p}C", "FAIL"), (None, "PASS")]),
    # window functions, EXCEPT/INTERSECT, TOP ... PERCENT and WITH TIES
    ("SELECT serial, ROW_NUMBER() OVER (ORDER BY serial DESC), COUNT(*) OVER (),"
     " RANK() OVER (PARTITION BY status ORDER BY step DESC) FROM dbo.units"
     " WHERE serial LIKE '{p}%' ORDER BY serial",
     [("{p}A", 3, 3, 2), ("{p}B", 2, 3, 1), ("{p}C", 1, 3, 1)]),
    ("SELECT serial, SUM(step) OVER (ORDER BY serial ROWS BETWEEN UNBOUNDED PRECEDING AND"
     " CURRENT ROW), LAG(serial) OVER (ORDER BY serial), LEAD(step, 1, -1) OVER (ORDER BY serial)"
     " FROM dbo.units WHERE serial LIKE '{p}%'",
     [("{p}A", 0, None, 1), ("{p}B", 1, "{p}A", 2), ("{p}C", 3, "{p}B", -1)]),
    ("SELECT ROW_NUMBER() FROM dbo.units", 10753),
    ("SELECT serial FROM dbo.units WHERE serial LIKE '{p}%' EXCEPT SELECT serial"
     " FROM dbo.results ORDER BY 1", [("{p}A",)]),
    ("SELECT serial FROM dbo.units WHERE serial LIKE '{p}%' INTERSECT SELECT serial"
     " FROM dbo.results WHERE verdict = 'FAIL'", [("{p}C",)]),
    ("SELECT TOP 50 PERCENT serial FROM dbo.units WHERE serial LIKE '{p}%' ORDER BY serial",
     [("{p}A",), ("{p}B",)]),
    ("SELECT COUNT(*), MIN(serial) FROM (SELECT TOP 1 WITH TIES serial FROM dbo.units"
     " WHERE serial LIKE '{p}%' ORDER BY status) AS t", [(2, "{p}A")]),
    ("SELECT 1 FROM dbo.units WHERE serial LIKE '{p}%' HAVING COUNT(*) = 3", [(1,)]),
    ("SELECT serial + 1 FROM dbo.units WHERE serial LIKE '{p}%'", 245),
    # subqueries: scalar anywhere, correlated, EXISTS, IN
    ("SELECT (SELECT COUNT(*) FROM dbo.results WHERE serial LIKE '{p}%')", [(3,)]),
    ("SELECT serial, (SELECT MAX(tested_at) FROM dbo.results r WHERE r.serial = u.serial)"
     " FROM dbo.units u WHERE serial LIKE '{p}%' ORDER BY serial",
     [("{p}A", None), ("{p}B", datetime(2024, 5, 1, 8, 0)), ("{p}C", datetime(2024, 5, 3, 10, 0))]),
    ("SELECT serial FROM dbo.units u WHERE serial LIKE '{p}%' AND NOT EXISTS"
     " (SELECT 1 FROM dbo.results r WHERE r.serial = u.serial)", [("{p}A",)]),
    ("SELECT serial FROM dbo.units WHERE serial IN (SELECT serial FROM dbo.results"
     " WHERE verdict = 'PASS') AND serial LIKE '{p}%' ORDER BY 1", [("{p}B",), ("{p}C",)]),
    ("DECLARE @n int = (SELECT COUNT(*) FROM dbo.units WHERE serial LIKE '{p}%');"
     " SET @n = @n + (SELECT COUNT(*) FROM dbo.results WHERE serial LIKE '{p}%'); SELECT @n",
     [(6,)]),
    ("IF (SELECT step FROM dbo.units WHERE serial = '{p}C') = 2 SELECT 'two' ELSE SELECT 'no'",
     [("two",)]),
    ("SELECT (SELECT serial FROM dbo.units WHERE serial LIKE '{p}%')", 512),
    ("DECLARE @s nvarchar(50); SELECT @s = serial FROM dbo.units WHERE serial LIKE '{p}%'"
     " ORDER BY serial; SELECT @s", [("{p}C",)]),
    # expressions and the types of their values
    ("SELECT step * 1.5, step / 2, CAST(step AS varchar(3)) + 'x', step * 1e0,"
     " CASE WHEN step > 1 THEN 'late' ELSE 'early' END FROM dbo.units WHERE serial = '{p}C'",
     [(Decimal("3.0"), 1, "2x", 2.0, "late")]),
    ("SELECT COUNT(*) FROM dbo.units WHERE step = '2' AND serial LIKE '{p}%'", [(1,)]),
    ("SELECT COUNT(*) FROM dbo.results WHERE tested_at >= '2024-05-02' AND serial LIKE '{p}%'",
     [(2,)]),
    ("SELECT CONVERT(varchar(10), tested_at, 23), YEAR(tested_at), DATEADD(day, 1, tested_at)"
     " FROM dbo.results WHERE serial = '{p}B'",
     [("2024-05-01", 2024, datetime(2024, 5, 2, 8, 0))]),
    ("SELECT ISNULL(error_no, 'none'), COALESCE(error_no, employee) FROM dbo.results"
     " WHERE serial LIKE '{p}%' ORDER BY tested_at",
     [("none", "e1"), ("E7", "E7"), ("none", "e2")]),
    ("SELECT step / 0 FROM dbo.units WHERE serial = '{p}C'", 8134),
    ("SELECT STRING_AGG(verdict, ',') FROM dbo.results WHERE serial = '{p}C'", [("FAIL,PASS",)]),
    ("SELECT serial, STRING_AGG(employee + ':' + verdict, '; ') WITHIN GROUP (ORDER BY"
     " tested_at DESC) FROM dbo.results WHERE serial LIKE '{p}%' GROUP BY serial ORDER BY 1",
     [("{p}B", "e1:PASS"), ("{p}C", "e2:PASS; e1:FAIL")]),
    ("SELECT serial FROM dbo.units WHERE serial LIKE '{p}[a-b]' ORDER BY 1",
     [("{p}A",), ("{p}B",)]),
    ("SELECT COUNT(*) FROM dbo.units WHERE serial LIKE '{p}[z-a]'", [(0,)]),
    ("SELECT COUNT(*) FROM dbo.units WHERE serial LIKE '{p}!_' ESCAPE '!'", [(0,)]),
    # functions
    ("SELECT LEFT('abcdef', 2), RIGHT('abcdef', 2), IIF(1 > 2, 'y', 'n'),"
     " STUFF('abcdef', 2, 3, 'X')",
     [("ab", "ef", "n", "aXef")]),
    ("SELECT DATENAME(month, '2024-02-10'), DATENAME(weekday, '2024-02-10'),"
     " DATENAME(year, '2024-02-10')", [("February", "Saturday", "2024")]),
    ("SELECT FORMAT(CAST('2024-02-10 13:05:09' AS datetime), 'yyyy-MM-dd HH:mm:ss'),"
     " FORMAT(1234.5, 'N2'), FORMAT(42, '0000'), FORMAT(1234.5, '#,##0.00'), FORMAT(7, 'D3')",
     [("2024-02-10 13:05:09", "1,234.50", "0042", "1,234.50", "007")]),
    ("SELECT CEILING(1.2), CEILING(2.5e0), FLOOR(-1.5), POWER(2, 10), POWER(2.0, 3)",
     [(Decimal("2"), 3.0, Decimal("-2"), 1024, Decimal("8.0"))]),
    ("SELECT DATALENGTH('张三'), DATALENGTH(N'张三'), LEN(REPLICATE('x', 100000)),"
     " DATALENGTH(REPLICATE(N'x', 5000)), DATALENGTH(REPLICATE('张', 5000)),"
     " LEN(SPACE(9000) + 'x')",
     [(4, 4, 8000, 8000, 8000, 0)]),
    ("SELECT CASE WHEN REPLICATE('a', 60) LIKE '%a%a%a%a%a%a%a%b' THEN 1 ELSE 0 END", [(0,)]),
    ("SELECT CAST(12345678901234567890123456789.5 AS decimal(38,1)) * 2",
     [(Decimal("24691357802469135780246913579.0"),)]),
    ("SELECT CAST(99999999999999999999999999999999999999 AS decimal(38,0)) + 1", 8115),
    # odd expressions get SQL Server's errors
    ("SELECT CAST(99999999999999999999999999999999999999 AS decimal(38,10))", 8115),
    ("SELECT 99999999999999999999999999999999999999 * 99999999999999999999999999999999999999",
     8115),
    ("SELECT CAST(EOMONTH('2024-01-01') AS int)", 529),
    ("SELECT EOMONTH('2024-01-01') % 2", 8117),
    ("SELECT -0x41", 8117),
    ("SELECT IIF(1 > 2, NULL, 'x')", [("x",)]),
    ("SELECT IDENT_CURRENT('dbo.results') - (SELECT MAX(id) FROM dbo.results)", [(Decimal("0"),)]),
    # the generated SQL's parameters, in the FROM clause and the select list
    ("SELECT 'x', name, (SELECT COUNT(*) FROM dbo.units WHERE serial = N'{p}A') FROM sys.types"
     " WHERE name = 'int'", [("x", "int", 1)]),
    # clients' tables, temporary tables; the MES tables cannot be dropped or altered
    ("CREATE TABLE dbo.[{p}w] (id int IDENTITY(1,1) PRIMARY KEY, name nvarchar(20) NOT NULL,"
     " price decimal(10,2) DEFAULT 0, note varchar(max) NULL);"
     " INSERT INTO [{p}w] (name, price) VALUES (N'bolt', 1.25), (N'Nut', 0.5);"
     " INSERT INTO [{p}w] (name) VALUES ('x'); ALTER TABLE [{p}w] ADD color nvarchar(10);"
     " UPDATE [{p}w] SET color = 'red' WHERE name = 'BOLT  ';"
     " SELECT id, name, price, color, SCOPE_IDENTITY() FROM [{p}w] ORDER BY id",
     [(1, "bolt", Decimal("1.25"), "red", Decimal("3")),
      (2, "Nut", Decimal("0.50"), None, Decimal("3")),
      (3, "x", Decimal("0.00"), None, Decimal("3"))]),
    ("CREATE TABLE [{p}k] (version_num VARCHAR(32) NOT NULL, CONSTRAINT pk PRIMARY KEY"
     " (version_num)); INSERT INTO [{p}k] VALUES ('a1'); INSERT INTO [{p}k] VALUES ('A1 ')", 2627),
    ("CREATE TABLE [{p}c] (a int); SELECT TABLE_NAME, COLUMN_NAME, DATA_TYPE FROM"
     " INFORMATION_SCHEMA.COLUMNS WHERE TABLE_NAME = '{p}c'; DROP TABLE [{p}c]",
     [("{p}c", "a", "int")]),
    ("CREATE TABLE [{p}d] (a int); DROP TABLE [{p}d]; SELECT COUNT(*) FROM sys.tables"
     " WHERE name = '{p}d'", [(0,)]),
    ("CREATE TABLE #t (a int, b nvarchar(10)); INSERT INTO #t VALUES (1, 'x'), (2, 'y');"
     " SELECT b FROM #t WHERE a = 2", [("y",)]),
    ("IF OBJECT_ID('tempdb..#t') IS NOT NULL DROP TABLE #t; CREATE TABLE #t (a int);"
     " SELECT OBJECT_ID('tempdb..#t') - OBJECT_ID('tempdb..#t')", [(0,)]),
    ("DECLARE @t TABLE (a int, b nvarchar(50)); INSERT INTO @t VALUES (1, 'x'), (2, 'y');"
     " INSERT INTO @t (b) SELECT serial FROM dbo.units WHERE serial LIKE '{p}%' AND step = 0;"
     " SELECT a, b FROM @t ORDER BY b", [(None, "{p}A"), (1, "x"), (2, "y")]),
    ("DECLARE @t TABLE (a int); INSERT INTO @t VALUES (1, 2)", 213),
    ("SELECT serial, step * 2 AS twice INTO #s FROM dbo.units WHERE serial LIKE '{p}%' AND"
     " step > 0; SELECT @@ROWCOUNT; SELECT twice, serial FROM #s ORDER BY 1",
     [(2, "{p}B"), (4, "{p}C")]),
    ("SELECT COUNT(*) INTO #n FROM dbo.units", 1038),
    ("SELECT serial INTO dbo.units FROM dbo.units", 2714),
    ("DROP TABLE dbo.units", 3701),
    ("ALTER TABLE dbo.results ADD x int", 4902),
    ("CREATE TABLE units (a int)", 2714),
    ("DROP TABLE [{p}nosuch]", 3701),
    ("DROP TABLE IF EXISTS [{p}nosuch]; SELECT 1", [(1,)]),
    # writes: OUTPUT, TOP, the constraints
    ("INSERT INTO dbo.units (serial, product, route) OUTPUT inserted.serial, inserted.step,"
     " inserted.status VALUES ('{p}D', 'P', 'FT1'), ('{p}E', 'P', 'FT1')",
     [("{p}D", 0, "ACTIVE"), ("{p}E", 0, "ACTIVE")]),
    ("UPDATE dbo.units SET step = step + 1 OUTPUT deleted.step, inserted.step"
     " WHERE serial LIKE '{p}%' AND status = 'HOLD'", [(1, 2)]),
    ("UPDATE TOP (1) dbo.units SET failures = 9 WHERE serial LIKE '{p}%';"
     " SELECT COUNT(*) FROM dbo.units WHERE failures = 9 AND serial LIKE '{p}%'", [(1,)]),
    ("UPDATE dbo.units SET step = (SELECT COUNT(*) FROM dbo.results r WHERE r.serial ="
     " units.serial) OUTPUT inserted.step WHERE serial = '{p}C'", [(2,)]),
    ("DELETE FROM dbo.results OUTPUT deleted.verdict WHERE serial = '{p}B'", [("PASS",)]),
    ("DELETE TOP (2) FROM dbo.units WHERE serial LIKE '{p}%'; SELECT @@ROWCOUNT,"
     " (SELECT COUNT(*) FROM dbo.units WHERE serial LIKE '{p}%')", [(2, 1)]),
    ("INSERT INTO dbo.results (serial, procedure, employee, line, verdict) SELECT serial,"
     " 'FT1', 'e', 'l', 'PASS' FROM dbo.units WHERE serial LIKE '{p}%'; SELECT @@ROWCOUNT,"
     " SCOPE_IDENTITY() - IDENT_CURRENT('dbo.results')", [(3, Decimal("0"))]),
    ("UPDATE u SET failures = u.failures + 10 OUTPUT inserted.serial, deleted.failures,"
     " inserted.failures FROM dbo.units u JOIN dbo.results r ON r.serial = u.serial"
     " WHERE r.verdict = 'FAIL' AND u.serial LIKE '{p}%'", [("{p}C", 1, 11)]),
    ("UPDATE dbo.units SET step = r.step + 5 FROM (SELECT serial, COUNT(*) AS step FROM"
     " dbo.results GROUP BY serial) AS r WHERE r.serial = units.serial AND units.serial LIKE"
     " '{p}%'; SELECT serial, step FROM dbo.units WHERE serial LIKE '{p}%' ORDER BY 1",
     [("{p}A", 0), ("{p}B", 6), ("{p}C", 7)]),
    ("DELETE r FROM dbo.results r JOIN dbo.units u ON u.serial = r.serial WHERE u.status ="
     " 'HOLD' AND u.serial LIKE '{p}%'; SELECT @@ROWCOUNT, (SELECT COUNT(*) FROM dbo.results"
     " WHERE serial LIKE '{p}%')", [(1, 2)]),
    ("DELETE FROM dbo.results FROM dbo.results AS r WHERE r.serial = '{p}C' AND r.verdict ="
     " 'FAIL'; SELECT COUNT(*) FROM dbo.results WHERE serial LIKE '{p}%'", [(2,)]),
    ("SELECT n, s FROM (VALUES (1, 'a'), (2, 'b')) AS v (n, s) ORDER BY n DESC",
     [(2, "b"), (1, "a")]),
    ("MERGE INTO dbo.units AS t USING (VALUES ('{p}a', 'HOLD'), ('{p}N', 'REPAIR')) AS s"
     " (serial, status) ON t.serial = s.serial WHEN MATCHED THEN UPDATE SET status = s.status"
     " WHEN NOT MATCHED THEN INSERT (serial, product, route, status) VALUES (s.serial, 'P',"
     " 'FT1', s.status); SELECT @@ROWCOUNT; SELECT serial, status FROM dbo.units"
     " WHERE serial LIKE '{p}%' ORDER BY 1",
     [("{p}A", "HOLD"), ("{p}B", "HOLD"), ("{p}C", "ACTIVE"), ("{p}N", "REPAIR")]),
    ("CREATE TABLE [{p}k] (k nvarchar(10) PRIMARY KEY, v int); INSERT INTO [{p}k] VALUES"
     " ('a', 1), ('b', 2); MERGE [{p}k] AS t USING (SELECT 'B' AS k, 20 AS v UNION ALL"
     " SELECT 'c', 30) AS s ON t.k = s.k WHEN MATCHED AND s.v > 10 THEN UPDATE SET v = s.v"
     " WHEN NOT MATCHED BY TARGET THEN INSERT VALUES (s.k, s.v) WHEN NOT MATCHED BY SOURCE"
     " THEN DELETE; SELECT k, v FROM [{p}k] ORDER BY k", [("b", 20), ("c", 30)]),
    ("INSERT INTO dbo.results (serial, procedure, employee, line, verdict) OUTPUT"
     " inserted.serial, inserted.procedure SELECT serial, 'FT9', 'e', 'l', 'PASS' FROM dbo.units"
     " WHERE serial LIKE '{p}%' AND step > 0 ORDER BY serial", [("{p}B", "FT9"), ("{p}C", "FT9")]),
    ("INSERT INTO dbo.units (serial, product, route, status) SELECT serial + 'x', product,"
     " route, status + '-AND-MORE' FROM dbo.units WHERE serial = '{p}A'", 2628),
    ("INSERT INTO dbo.units (serial, product, route) VALUES ('{p}a  ', 'P', 'FT1')", 2627),
    ("INSERT INTO dbo.units (serial, product, route) VALUES ('{p}F', NULL, 'FT1')", 515),
    ("UPDATE dbo.units SET status = 'LOST' WHERE serial = '{p}A'", 547),
    ("UPDATE dbo.units SET status = 'ACTIVE-AND-MORE' WHERE serial = '{p}A'", 2628),
    ("UPDATE dbo.units SET step = 1 / 0 WHERE serial = '{p}A'", 8134),
]


@pytest.fixture
def prefix(sim):
    p = "Q%d-%d-" % (os.getpid(), next(_prefixes))
    sim.add_unit(p + "A", route=("FT1", "FT2"))
    sim.add_unit(p + "B", route=("FT1", "FT2"), step=1, status="HOLD")
    sim.add_unit(p + "C", route=("FT1", "FT2", "PACK"), step=2, failures=1)
    for serial, employee, verdict, error, when in [
            ("B", "e1", "PASS", None, "2024-05-01 08:00:00"),
            ("C", "e1", "FAIL", "E7", "2024-05-02 09:00:00"),
            ("C", "e2", "PASS", None, "2024-05-03 10:00:00")]:
        sim.sql.execute("INSERT INTO results (serial, procedure, employee, line, verdict,"
                        " error_no, tested_at) VALUES (?, 'FT1', ?, 'L1', ?, ?, ?)",
                        (p + serial, employee, verdict, error, when))
    yield p
    for made in ("w", "k"):  # the tables cases made
        sim.sql.execute('DROP TABLE IF EXISTS "%s%s"' % (p, made))


def _filled(value, p):
    return value.replace("{p}", p) if isinstance(value, str) else value


@pytest.mark.parametrize("batch, expected", CASES)
def test_statements_answer_as_sql_server(conn, prefix, batch, expected):
    batch = batch.replace("{p}", prefix)
    if isinstance(expected, int):
        with pytest.raises(_mssql.MSSQLDatabaseException) as caught:
            conn.execute_query(batch)
            while list(conn) is not None and conn.nextresult():
                pass
        assert caught.value.number == expected
        return
    conn.execute_query(batch)
    found = list(conn)
    while conn.nextresult():  # the last result's rows
        found = list(conn)
    rows = [tuple(row[k] for k in sorted(k for k in row if isinstance(k, int))) for row in found]
    expected = [tuple(_filled(v, prefix) for v in r) for r in expected]
    assert rows == expected
    assert [[type(v) for v in r] for r in rows] == [[type(v) for v in r] for r in expected]


class _Session:
    """What binding and SQL generation read of a client's session."""
    database, codepage, user, identity = "MES", "gbk", "mes", None


def _generated(text):
    from mes_simulator import batch, evaluate
    from mes_simulator.sql import functions, sqlite
    (statement,) = batch.parse_batch(text)
    plan = evaluate.Binder(_Session(), {}).query(statement[1])
    generator = sqlite.Generator(_Session(), {}, functions.Evaluation())
    return generator.query(plan), generator.params


@pytest.mark.parametrize("text, index", [
    ("SELECT id, verdict FROM dbo.results WHERE serial = N'SN0001'", "results_serial"),
    ("SELECT COUNT(*) FROM dbo.results WHERE serial IN ('a', 'b')", "results_serial"),
    ("SELECT r.verdict FROM dbo.units u JOIN dbo.results r ON r.serial = u.serial"
     " WHERE u.serial = 'SN0001'", "results_serial"),
    ("SELECT step FROM dbo.units WHERE serial = 'SN0001  '", "sqlite_autoindex_units_1"),
])
def test_filters_on_serial_numbers_use_an_index(tmp_path, text, index):
    from mes_simulator import mes
    sql, params = _generated(text)
    db = mes.connect(str(tmp_path / "plan.db"))
    plan = " ".join(row[-1] for row in db.execute("EXPLAIN QUERY PLAN " + sql, params))
    db.close()
    assert "INDEX " + index in plan and "SCAN r" not in plan, plan


_BEFORE = """
CREATE TABLE units (serial TEXT PRIMARY KEY COLLATE NOCASE, product TEXT NOT NULL,
    route TEXT NOT NULL, step INTEGER NOT NULL DEFAULT 0,
    status TEXT NOT NULL DEFAULT 'ACTIVE'
        CHECK (status IN ('ACTIVE', 'HOLD', 'SCRAPPED', 'REPAIR')),
    failures INTEGER NOT NULL DEFAULT 0);
INSERT INTO units (serial, product, route) VALUES ('OLD1', 'P', 'FT1'), ('old1 ', 'P', 'FT1');
"""


def test_a_database_made_before_keeps_working(tmp_path):
    import sqlite3
    from mes_simulator.testing import Simulator
    from simulator_support import query
    path = str(tmp_path / "before.db")
    made = sqlite3.connect(path)
    made.executescript(_BEFORE)
    made.close()
    with Simulator(db=path) as sim:
        conn = sim.connect()
        try:
            assert query(conn, "old1")[1] == 0
            conn.execute_query("SELECT serial FROM dbo.units")
            assert [row[0] for row in conn] == ["OLD1"]
            with pytest.raises(_mssql.MSSQLDatabaseException) as caught:
                conn.execute_non_query("INSERT INTO dbo.units (serial, product, route)"
                                       " VALUES ('Old1', 'P', 'FT1')")
            assert caught.value.number == 2627
        finally:
            conn.close()


def test_temporary_tables_belong_to_their_session(sim):
    first, second = sim.connect(), sim.connect()
    try:
        first.execute_non_query("CREATE TABLE #mine (a int); INSERT INTO #mine VALUES (1)")
        with pytest.raises(_mssql.MSSQLDatabaseException) as caught:
            second.execute_query("SELECT a FROM #mine")
        assert caught.value.number == 208
        second.execute_non_query("CREATE TABLE #mine (b int)")  # a table of its own
        assert first.execute_scalar("SELECT a FROM #mine") == 1
    finally:
        first.close()
        second.close()
    left = "SELECT COUNT(*) FROM sqlite_master WHERE name LIKE '#mine%'"
    for _ in range(200):  # dropped when each session ends, after its close
        if sim.sql.execute(left).fetchone()[0] == 0:
            break
        time.sleep(0.05)
    assert sim.sql.execute(left).fetchone()[0] == 0


@pytest.mark.parametrize("dialect", ["pymssql", "pyodbc"])
def test_pandas_writes_a_table_of_its_own(sim, dialect):
    sa = pytest.importorskip("sqlalchemy")
    pandas = pytest.importorskip("pandas")
    if dialect == "pyodbc" and "FreeTDS" not in pytest.importorskip("pyodbc").drivers():
        pytest.skip("FreeTDS ODBC driver (tdsodbc) not installed")
    engine = sa.create_engine("mssql+%s://%s:%s@%s:%d/%s%s" % (
        dialect, sim.user, sim.password, sim.host, sim.port, sim.database,
        "?driver=FreeTDS" if dialect == "pyodbc" else ""))
    name = "frame_%s_%d" % (dialect, os.getpid())
    frame = pandas.DataFrame({"n": [1, 2], "text": ["x", "长"], "value": [1.5, None],
                              "at": pandas.to_datetime(["2024-01-01", "2024-02-01 08:30"])})
    try:
        for index in (False, True):  # the second time it replaces the table
            frame.to_sql(name, engine, if_exists="replace", index=index)
            back = pandas.read_sql("SELECT * FROM %s ORDER BY n" % name, engine)
            assert list(back.columns) == (["index"] if index else []) + list(frame.columns)
            values = back[list(frame.columns)].astype(object).where(back.notna(), None)
            assert values.values.tolist() == [
                [1, "x", 1.5, pandas.Timestamp("2024-01-01")],
                [2, "长", None, pandas.Timestamp("2024-02-01 08:30")]]
        assert name in sa.inspect(engine).get_table_names()
    finally:
        with engine.begin() as db:
            db.execute(sa.text("DROP TABLE IF EXISTS " + name))
        engine.dispose()
    assert name not in sa.inspect(engine).get_table_names()


_PIECES = ["a", "b", "A", "%", "_", "[ab]", "[^a]", "[a-b]", "[b-a]", "!%", "!_"]


def _like_reference(value, pattern):
    """LIKE by a regular expression (backtracking: only for short texts)."""
    regex = ""
    for piece in re.findall(r"\[\^?[^\]]*\]|!.|.", pattern):
        if piece[0] == "!":
            regex += re.escape(piece[1])
        elif piece == "%":
            regex += ".*"
        elif piece == "_":
            regex += "."
        elif piece[0] == "[":
            body = piece[1:-1]
            negated = body.startswith("^")
            body = body[1:] if negated else body
            if len(body) == 3 and body[1] == "-" and body[0] > body[2]:
                regex += "." if negated else "(?!)"  # an empty range
            else:
                regex += "[" + ("^" if negated else "") + body + "]"
        else:
            regex += re.escape(piece)
    return re.fullmatch(regex, value.rstrip(" "), re.IGNORECASE | re.DOTALL) is not None


@settings(max_examples=500, deadline=None)
@given(st.text("abAB ", max_size=8), st.lists(st.sampled_from(_PIECES), max_size=6))
def test_like_matches_as_the_pattern_says(value, pieces):
    from mes_simulator.sql.functions import like
    pattern = "".join(pieces)
    assert like(value, pattern, "!") == _like_reference(value, pattern)
