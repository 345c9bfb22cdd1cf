"""The SQL the simulator hands to SQLite, and what it keeps of SQL Server's face beside it:
indexes on serial numbers, databases made before, temporary tables per session, tables that
pandas writes, LIKE."""

import os
import re
import time

import pytest
from hypothesis import given, settings, strategies as st
from pymssql import _mssql


class _Session:
    """What binding and SQL generation read of a client's session."""
    database, codepage, user, identity = "MES", "gbk", "mes", None


def _generated(text):
    from mes_simulator.sql import batch, evaluate
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
    from mes_simulator.mes import procedures as mes
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
