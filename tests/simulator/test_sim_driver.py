"""The real driver (pymssql._mssql on FreeTDS) against the simulator."""

import os
import subprocess
import sys
import threading
import time

import pytest
from pymssql import _mssql

from simulator_support import (SAVE_RESULT, UNIT_QUERY, connect_in_fresh_process, gbk, query,
                               upload)
from mes_simulator.testing import Simulator


def test_connect_and_query(conn):
    assert query(conn, "SN0002", "FT2") == {
        0: 'OK "Unit SN0002 may be tested at FT2 by 张三 on 一线"', 1: 0}


def test_wrong_password_is_login_failed(sim):
    number, text = connect_in_fresh_process(sim.server, "mes", "wrong", "MES")
    assert number == "18456"
    assert text.startswith("""(18456, b"Login failed for user 'mes'.DB-Lib error message 20018""")


@pytest.mark.parametrize("user, database", [("nobody", "MES"), ("mes", "OTHER")])
def test_wrong_user_or_database_is_login_failed(sim, user, database):
    number, text = connect_in_fresh_process(sim.server, user, "mes", database)
    assert (number, f"Login failed for user '{user}'." in text) == ("18456", True)


def test_login_is_case_insensitive_for_user_and_database(sim):
    sim.connect(user="MES", database="mes").close()


_QUERY = """
import sys
sys.path.insert(0, sys.argv[2])
from pymssql import _mssql
from simulator_support import query
conn = _mssql.connect(server=sys.argv[1], user="mes", password="mes", database="MES")
print(query(conn, "SN0001")[0])
"""


@pytest.mark.parametrize("tls, encryption, expected", [
    ("client", "require", "): whole session"),
    ("login", "request", "): login only"),
    ("client", "request", None),  # the driver's default: offered, not required, not used
])
def test_encryption_as_sql_server_does_it(tmp_path, tls, encryption, expected):
    conf = tmp_path / "freetds.conf"
    conf.write_text(f"[global]\n\tencryption = {encryption}\n")
    # Without a sanitizer preloaded (the whole run under one): tsql hangs under it.
    env = dict({k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}, FREETDSCONF=str(conf))
    batch = UNIT_QUERY % ("N'SN0001'", "'FT1'", "'Li'", "'L1'") + "\ngo\nexit\n"
    with Simulator(args=["--tls", tls]) as sim:
        station = subprocess.run([sys.executable, "-c", _QUERY, sim.server, os.path.dirname(__file__)],
                                 env=env, stdout=subprocess.PIPE, timeout=60)
        tsql = subprocess.run(["tsql", "-H", sim.host, "-p", str(sim.port), "-U", "mes", "-P", "mes"],
                              input=batch.encode(), env=env, stdout=subprocess.PIPE, timeout=60)
        log = sim.log_text()
    sim.cleanup()
    assert station.stdout.decode() == 'OK "Unit SN0001 may be tested at FT1 by 张三 on 一线"\n'
    assert 'OK "Unit SN0001 may be tested at FT1 by Li on L1"' in tsql.stdout.decode()
    assert log.count(expected or " TLS") == (2 if expected else 0)


@pytest.mark.parametrize("tds_version", ["7.1", "7.2", "7.3"])
def test_older_tds_versions(sim, tds_version):
    c = sim.connect(tds_version=tds_version)
    try:
        assert query(c, "SN0003", "PACK")[1] == 0
    finally:
        c.close()


def test_parameter_kinds_arrive_as_values(sim, conn):
    serial = sim.add_unit(route=("FT1",))
    # str serial, bytes procedure, int error number: a full upload with a negative int
    assert upload(conn, serial, "FT1", "FAIL", -42)[1] == 0
    # ASCII bytes go as '...', other bytes as 0x..., str as N'...', None as NULL
    assert conn.execute_row(SAVE_RESULT, (serial.encode(), b"FT1", gbk("李四"), "二线".encode("gbk"),
                                          "FAIL", "E-7"))[1] == 0
    assert conn.execute_row(SAVE_RESULT, (serial, b"FT1", b"op", b"L1", "PASS", None))[1] == 0
    rows = sim.results(serial)
    assert [(r["employee"], r["line"], r["verdict"], r["error_no"]) for r in rows] == [
        ("张三", "一线", "FAIL", "-42"), ("李四", "二线", "FAIL", "E-7"), ("op", "L1", "PASS", None)]


def test_chinese_names_are_stored_and_echoed(sim, conn):
    serial = sim.add_unit()
    text, code = query(conn, serial, "FT1", "欧阳娜娜", "总装线（二）").values()
    assert (code, text.endswith('by 欧阳娜娜 on 总装线（二）"')) == (0, True)
    assert "by 欧阳娜娜 on 总装线（二）; next FT2" in upload(conn, serial, employee="欧阳娜娜",
                                                        line="总装线（二）")[0]
    assert (sim.results(serial)[0]["employee"], sim.results(serial)[0]["line"]) == ("欧阳娜娜", "总装线（二）")


def test_null_parameters_are_missing(conn):
    assert conn.execute_row(UNIT_QUERY, (None, b"FT1", b"a", b"b")) == {
        0: 'NG "Missing parameter: serial number"', 1: 9}


def test_sql_injection_in_serial_is_one_value(sim, conn):
    serial = "SN1'; DROP TABLE units; --"
    assert query(conn, serial) == {0: '''NG "Unit SN1'; DROP TABLE units; -- is unknown"''', 1: 1}
    assert sim.unit("SN0001") is not None
    assert "params=[\"SN1'; DROP TABLE units; --\"" in sim.log_text()


@pytest.mark.parametrize("batch, number, message", [
    ("SELECT * FROM dbo.nosuch", 208, "Invalid object name 'dbo.nosuch'."),
    ("SELECT serial, nosuch FROM dbo.units", 207, "Invalid column name 'nosuch'."),
    ("SELECT COUNT(*) FROM dbo.units u JOIN dbo.results r ON r.serial = u.serial WHERE serial = 'x'",
     209, "Ambiguous column name 'serial'."),
    ("SELECT TOP 1 NOSUCH(serial) FROM dbo.units", 195,
     "'NOSUCH' is not a recognized built-in function name."),
    ("INSERT INTO dbo.results (id, serial) VALUES (1, 'x')", 544,
     "Cannot insert explicit value for identity column in table 'results'"),
    ("INSERT INTO dbo.units (serial, product, route) VALUES ('SN0001', 'P', 'FT1')", 2627,
     "Violation of PRIMARY KEY constraint 'PK_units'."),
    ("SELECT serial", 207, "Invalid column name 'serial'."),
    ("SELECT @Nope", 137, 'Must declare the scalar variable "@Nope".'),
    ("BEGIN TRAN; COMMIT; COMMIT", 3902,
     "The COMMIT TRANSACTION request has no corresponding BEGIN TRANSACTION."),
    ("ROLLBACK", 3903, "The ROLLBACK TRANSACTION request has no corresponding BEGIN TRANSACTION."),
    ("SELECT " + "9" * 5000, 1007, ("The number '" + "9" * 5000)[:2044] + "...DB-Lib"),
    ("exec dbo.uspDeleteUnit 'SN0001'", 2812, "Could not find stored procedure 'dbo.uspDeleteUnit'."),
    (UNIT_QUERY.replace("%s, %s, %s, %s", "1, 2, 3, 4, 5"), 8144,
     "Procedure or function uspGetUnitInfo has too many arguments specified."),
    (UNIT_QUERY.replace("%s, %s, %s, %s", "'a', 'b', 'c'"), 201,
     "Procedure or function 'uspGetUnitInfo' expects parameter '@RETURN', which was not supplied."),
    ("DROP TABLE units", 3701,
     "Cannot drop the table 'units', because it does not exist or you do not have permission."),
    ("use [Other]", 911, "Database 'Other' does not exist. Make sure that the name is entered correctly."),
    # the catalog procedures check their arguments as SQL Server's do
    ("EXEC sp_columns", 201,
     "Procedure or function 'sp_columns' expects parameter '@table_name', which was not supplied."),
    ("EXEC sp_tables @table_qualifier = 'Other'", 15250,
     "The database name component of the object qualifier must be the name of the current database."),
    ("EXEC sp_fkeys", 15252, "The primary key or foreign key table name must be given."),
    ("EXEC sp_pkeys 'units', @nosuch = 1", 8145, "@nosuch is not a parameter for procedure sp_pkeys."),
    ("EXEC sp_server_info 1, 2", 8144, "Procedure or function sp_server_info has too many arguments"),
    ("SELECT 1 WHERE 'a' LIKE 'a' ESCAPE '!!'", 506,
     'The invalid escape character "!!" was specified in a LIKE predicate.'),
    ("SELECT CAST('2024-01-02 03:04:05 +08:00' AS datetime)", 241,
     "Conversion failed when converting date and/or time from character string."),
    ("SELECT * FROM @nope", 1087, 'Must declare the table variable "@nope".'),
    ("DECLARE @t TABLE (a int); DELETE FROM dbo.units OUTPUT deleted.serial, deleted.step INTO @t",
     213, "Column name or number of supplied values does not match table definition."),
])
def test_unknown_batches_are_sql_errors(sim, conn, batch, number, message):
    with pytest.raises(_mssql.MSSQLDatabaseException) as caught:
        conn.execute_row(batch.replace("%s", "'x'"))
    assert caught.value.number == number
    assert caught.value.text.decode().startswith(message)
    assert query(conn, "SN0002", "FT2")[1] == 0  # the connection goes on
    assert sim.unit("SN0001") is not None


@pytest.mark.parametrize("batch, columns, rows", [
    # the enumerations of SQLTables, in the CI collation's order
    ("EXEC sp_tables @table_qualifier = '%', @table_owner = '', @table_name = ''",
     ["TABLE_QUALIFIER"], [("master",), ("MES",), ("model",), ("msdb",), ("tempdb",)]),
    ("EXEC sp_tables '', '%', ''", ["TABLE_OWNER"], [("dbo",), ("INFORMATION_SCHEMA",), ("sys",)]),
    # names are patterns, escaped with a backslash; an empty qualifier finds nothing
    ("EXEC sp_tables @table_name = 'unit_', @table_type = '''TABLE'''", ["TABLE_NAME"],
     [("units",)]),
    ("EXEC sp_tables @table_name = 'unit\\_'", ["TABLE_NAME"], []),
    ("EXEC MES.dbo.sp_pkeys 'units', @table_qualifier = ''", ["COLUMN_NAME"], []),
    ("EXEC sp_special_columns NULL", ["COLUMN_NAME"], []),
    # datetime2 is text to the old procedure, a timestamp to the _100 one
    ("EXEC MES..sp_columns @table_name = 'results', @column_name = 'tested_at'",
     ["DATA_TYPE", "TYPE_NAME", "PRECISION", "LENGTH", "SQL_DATA_TYPE", "SS_DATA_TYPE"],
     [(-9, "datetime2", 19, 38, -9, 0)]),
    ("EXEC sys.sp_columns_100 'results', 'dbo', NULL, 'tested_at', @ODBCVer = 3",
     ["DATA_TYPE", "PRECISION", "LENGTH", "SCALE", "SQL_DATA_TYPE", "SQL_DATETIME_SUB"],
     [(93, 19, 16, 0, 9, 3)]),
    ("EXEC sp_datatype_info 11", ["TYPE_NAME"], [("datetime",), ("smalldatetime",)]),
    ("EXEC sp_datatype_info_100 93, @ODBCVer = 3",
     ["TYPE_NAME", "MINIMUM_SCALE", "MAXIMUM_SCALE"],
     [("datetime2", 0, 7), ("datetime", 3, 3), ("smalldatetime", 0, 0)]),
    ("EXEC sp_sproc_columns 'uspSaveResult', @column_name = '@R%'",
     ["COLUMN_NAME", "COLUMN_TYPE", "TYPE_NAME", "ORDINAL_POSITION"],
     [("@RETURN_VALUE", 5, "int", 0), ("@Result", 1, "varchar", 5), ("@RETURN", 2, "int", 8)]),
    ("EXEC sp_server_info 2", ["ATTRIBUTE_NAME", "ATTRIBUTE_VALUE"],
     [("DBMS_VER", "Microsoft SQL Server 2019 - 15.0.2000.5")]),
    # a column is named as the query writes it
    ("SELECT NAME, Collation_Name FROM sys.databases WHERE name = 'MES'",
     ["NAME", "Collation_Name"], [("MES", "Chinese_PRC_CI_AS")]),
    # OUTPUT ... INTO a table variable (as TypeORM inserts), DEFAULT in SET and VALUES
    ("DECLARE @t TABLE (s nvarchar(50) NOT NULL, n int DEFAULT 7);"
     "UPDATE dbo.units SET failures = 2 WHERE serial = '{serial}';"
     "UPDATE dbo.units SET failures = DEFAULT OUTPUT inserted.serial, deleted.failures INTO @t"
     " WHERE serial = '{serial}';"
     "INSERT INTO dbo.units (serial, product, route, status) OUTPUT inserted.status INTO @t (s)"
     " VALUES ('{serial}-2', 'P', 'FT1', DEFAULT);"
     "SELECT u.serial, u.failures, t.n FROM @t AS t JOIN dbo.units u ON u.serial = t.s",
     ["serial", "failures", "n"], [("{serial}", 0, 2)]),
    # DELETE TOP (n) deletes n rows; IF EXISTS reads the MES tables
    ("INSERT INTO dbo.units (serial, product, route) VALUES ('{serial}-a', 'P', 'FT1'),"
     " ('{serial}-b', 'P', 'FT1'); DELETE TOP (1) FROM dbo.units WHERE serial LIKE '{serial}-_';"
     " IF EXISTS (SELECT 1 FROM dbo.units WHERE serial LIKE '{serial}-_')"
     " SELECT COUNT(*) AS n FROM dbo.units WHERE serial LIKE '{serial}%' ELSE SELECT -1 AS n",
     ["n"], [(2,)]),
])
def test_batches_answer_as_sql_server(sim, conn, batch, columns, rows):
    serial = sim.add_unit()
    conn.execute_query(batch.format(serial=serial))
    assert [tuple(row[c] for c in columns) for row in conn] == [
        tuple(v.format(serial=serial) if isinstance(v, str) else v for v in r) for r in rows]


def test_long_request_and_long_answer_span_packets(sim, conn):
    # the answer is cut to the nvarchar(4000) that the batch declares, as SQL Server does
    assert query(conn, "S" * 5000) == {0: 'NG "Unit ' + "S" * 3991, 1: 1}
    sim.add_scenario("answer", text="长" * 4100, code=3)
    assert query(conn, "SN0001") == {0: "长" * 4000, 1: 3}


def test_sixteen_concurrent_connections(sim):
    serials = [sim.add_unit(route=("FT1", "FT2")) for _ in range(16)]
    answers, failures = {}, []

    def station(serial):
        try:
            c = sim.connect()
            try:
                answers[serial] = [query(c, serial, "FT1")[1], upload(c, serial, "FT1")[1],
                                   query(c, serial, "FT2")[1], upload(c, serial, "FT2")[1],
                                   query(c, serial, "FT2")[1]]
            finally:
                c.close()
        except Exception as exc:  # reported below, with the serial number
            failures.append((serial, exc))

    threads = [threading.Thread(target=station, args=(s,)) for s in serials]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert failures == []
    assert answers == {s: [0, 0, 0, 0, 3] for s in serials}


def test_a_clients_transaction_holds_the_write_lock_until_it_ends(sim):
    """A client's transaction works on a connection of its own: its write is its own until it
    ends, others read what is committed, a writer behind it gets 1222 after its lock time-out,
    and the client's close rolls it back and frees the lock."""
    held, other = sim.add_unit(), sim.add_unit()
    client, station = sim.connect(), sim.connect()
    try:
        client.execute_non_query("BEGIN TRAN")
        client.execute_non_query(f"UPDATE dbo.units SET status = 'HOLD' WHERE serial = '{held}'")
        assert client.execute_scalar(f"SELECT status FROM dbo.units WHERE serial = '{held}'") \
            == "HOLD"
        assert query(station, held)[1] == 0  # still ACTIVE for everyone else
        station.execute_non_query("SET LOCK_TIMEOUT 200")
        with pytest.raises(_mssql.MSSQLDatabaseException) as caught:
            upload(station, other)
        assert caught.value.number == 1222
    finally:
        client.close()
    waited = time.monotonic() + 10  # the rollback is queued on the client's thread
    while True:
        try:
            assert upload(station, other)[1] == 0
            break
        except _mssql.MSSQLDatabaseException as exc:
            if exc.number != 1222 or time.monotonic() > waited:
                raise
    station.close()
    assert sim.unit(held)["status"] == "ACTIVE"
    assert [r["verdict"] for r in sim.results(other)] == ["PASS"]
