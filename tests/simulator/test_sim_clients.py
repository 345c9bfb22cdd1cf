"""SQL Server clients besides the station's driver, one group each, on their default settings
(but for encryption, which the Node clients require by default): what they get back, and that
an upload made through each is seen by the station's unit query."""

import json
import os
import shutil
import subprocess
import threading
from datetime import date, datetime, time
from decimal import Decimal

import pytest

from simulator_support import ROOT, query, upload

CLIENTS = os.path.join(ROOT, "tests", "clients")
needs_node = pytest.mark.skipif(
    not (shutil.which("node") and os.path.isdir(os.path.join(CLIENTS, "node_modules"))),
    reason="Node or tests/clients/node_modules missing (scripts/setup.sh installs them)")


# The clients run as they are: without the sanitizers a test run may preload for the module.
CLIENT_ENV = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}


def client(sim, command, serial, *extra):
    """Run a client script of tests/clients; its JSON output, checked for a failed step."""
    done = subprocess.run(command + [sim.host, str(sim.port), sim.user, sim.password,
                                     sim.database, serial] + list(extra),
                          cwd=CLIENTS, env=CLIENT_ENV, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, universal_newlines=True, timeout=60)
    assert done.stdout, done.stderr
    out = json.loads(done.stdout)
    assert "failed" not in out, out["failed"]
    return out


def node(sim, script, serial, *extra):
    return client(sim, ["node", script], serial, *extra)


def feedback(verb, serial, after):
    return f'OK "Saved {verb} of {serial} at FT1 by 张三 on L1; {after}"'


def passed_once(sim, conn, serial):
    """The client's PASS at FT1 was saved once, its rolled-back FAIL not at all."""
    assert [r["verdict"] for r in sim.results(serial)] == ["PASS"]
    assert query(conn, serial, "FT2") == {
        0: f'OK "Unit {serial} may be tested at FT2 by 张三 on 一线"', 1: 0}


@pytest.fixture
def serial(sim):
    return sim.add_unit()


@needs_node
def test_tedious(sim, conn, serial):
    out = node(sim, "tedious_client.js", serial)
    assert out["batch"]["rows"] == [[1], [out["batch"]["rows"][1][0]]]
    assert out["version"]["rows"][0][0].startswith("Microsoft SQL Server")
    may = f'OK "Unit {serial} may be tested at FT1 by 张三 on L1"'
    assert out["query"]["output"] == {"text": may, "code": 0}           # sp_executesql
    assert out["unitInfo"]["output"] == {"OutPutxmls": may, "RETURN": 0}  # callProcedure
    assert out["failRolledBack"]["output"]["Msg"] == feedback(
        "FAIL", serial, "retest at FT1 (1 of 3 failures)")
    assert out["heldInTran"]["rows"] == [["HOLD", 1]]  # undone by the named rollback
    assert out["save"]["output"] == {"Msg": feedback("PASS", serial, "next FT2"), "RETURN": 0}
    # savepoints: the FAIL after one undone, the PASS before another kept, the transaction open
    assert out["failUndone"]["output"]["Msg"] == feedback(
        "FAIL", serial, "retest at FT1 (1 of 3 failures)")
    assert out["savepoints"]["rows"] == [[1, "ACTIVE", 0]]
    assert out["unknownSavepoint"] == 6401
    assert (out["cancelled"], out["afterCancel"]["rows"]) == ("ECANCEL", [[5]])
    assert (out["unknown"]["error"], out["badSql"]["error"]) == (2812, 208)
    assert out["after"]["rows"] == [[0]]
    assert out["prepared"] == [7]  # sp_prepare, then sp_execute
    # typed parameters come back as they went (nvarchar(max) in PLP chunks; decimal(18,0))
    assert out["types"]["rows"] == [["长" * 5000, 12, 1.5, True, "2024-01-02T03:04:05.000Z", None,
                                     "9007199254740993"]]
    passed_once(sim, conn, serial)


@needs_node
@pytest.mark.parametrize("script", ["tedious_client.js", "mssql_client.js"])
def test_node_clients_with_encryption_and_a_trusted_certificate(sim, conn, serial, script):
    out = node(sim, script, serial, "tls")
    assert out["save"]["output"]["RETURN"] == 0
    passed_once(sim, conn, serial)


@needs_node
def test_mssql_and_its_default_pool(sim, conn, serial):
    opened = sim.log_text().count(" open from ")
    out = node(sim, "mssql_client.js", serial)
    assert out["select"]["recordsets"] == [[{"one": 1}]]
    assert out["query"]["output"]["code"] == 0
    assert (out["failRolledBack"]["returnValue"], out["save"]["returnValue"]) == (0, 0)
    assert out["save"]["output"]["Msg"] == feedback("PASS", serial, "next FT2")
    assert out["unitInfo"]["output"]["RETURN"] == 0
    assert out["unknown"]["error"] == 2812
    assert out["pooled"] == list(range(40))
    # the pool's ten connections and its first one, not one per query
    assert sim.log_text().count(" open from ") - opened <= 12
    passed_once(sim, conn, serial)


def _has(command):
    """Whether a command that checks for a client succeeds."""
    return bool(shutil.which(command[0])) and subprocess.call(
        command, cwd=CLIENTS, env=CLIENT_ENV, stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL) == 0


_JTDS = "/usr/share/java/jtds.jar"
_JDK = ["sh", "-c", f"test -f {_JTDS} && javac -version"]  # java runs the source file
_DBD = ["perl", "-MDBD::Sybase", "-e1"]
_DBLIB = ["php", "-r", "exit(in_array('dblib', PDO::getAvailableDrivers()) ? 0 : 1);"]


def _may(serial):
    return f'OK "Unit {serial} may be tested at FT1 by 张三 on L1"'


# client: (command, what must be installed, what it must print), the unit it made and deleted
SCRIPTED = {
    "perl-dbd-sybase": (["perl", "dbd_sybase_client.pl"], _DBD, lambda sn: {
        "inserted": 1, "unit": [[sn, "FT1,PACK", 0, "ACTIVE"]], "status": "ACTIVE",
        "query": [[_may(sn), 0]], "tables": ["results", "scenarios", "units"], "key": ["id"],
        "nosuch": 208, "deleted": 1}),
    "php-pdo-dblib": (["php", "pdo_dblib_client.php"], _DBLIB, lambda sn: {
        "inserted": 1, "unit": [[sn, "FT1,PACK", 0, "ACTIVE"]], "status": "ACTIVE",
        "query": [[_may(sn), 0]], "count": 0, "nosuch": "Invalid object name 'dbo.nosuch'.",
        "deleted": 1}),
    "java-jtds": (["java", "-cp", _JTDS, "JtdsClient.java"], _JDK, lambda sn: {
        "product": "Microsoft SQL Server 15.00.2000", "tables": ["results", "scenarios", "units"],
        "columns": ["nvarchar", "nvarchar", "nvarchar", "int", "nvarchar", "int"],
        "key": ["id"], "procedures": ["uspGetUnitInfo", "uspSaveResult"], "inserted": 1,
        "status": ["ACTIVE"], "query": [_may(sn), 0], "nosuch": 208, "deleted": 1}),
    "node-knex": (["node", "knex_client.js"], ["test", "-d", "node_modules/knex"], lambda sn: {
        "inserted": [], "units": ["SN0008", "SN0007"], "count": [{"n": 1}], "held": 1,
        "updated": 1, "query": [{"m": _may(sn), "r": 0}],
        "unit": {"status": "ACTIVE", "failures": 2}, "hasTable": True,
        "columnInfo": {"defaultValue": "(sysutcdatetime())", "type": "datetime2",
                       "maxLength": None, "nullable": False},
        "nosuch": 208, "deleted": 1, "deletedResults": 1}),
    "node-sequelize": (["node", "sequelize_client.js"], ["test", "-d", "node_modules/sequelize"],
                       lambda sn: {
        "created": {"serial": sn, "product": "M4R-300", "route": "FT1,PACK", "step": 0,
                    "status": "ACTIVE", "failures": 0},
        "resultId": "number", "found": ["SN0008", "SN0007"], "count": 1,
        "updated": {"serial": sn, "product": "M4R-300", "route": "FT1,PACK", "step": 0,
                    "status": "ACTIVE", "failures": 1},
        "query": [{"m": _may(sn), "r": 0}],
        "describe": ["id", "serial", "procedure", "employee", "line", "verdict", "error_no",
                     "tested_at"],
        "nosuch": 208, "destroyed": [1, 1]}),
    "node-typeorm": (["node", "typeorm_client.js"], ["test", "-d", "node_modules/typeorm"],
                     lambda sn: {
        "saved": {"serial": sn, "product": "M4R-300", "route": "FT1,PACK", "step": 0,
                  "status": "ACTIVE", "failures": 0},
        "result": ["number", True], "found": ["SN0008", "SN0007"],
        "built": ["SN0001", "SN0002"], "count": 1, "updated": 1,
        "unit": {"serial": sn, "product": "M4R-300", "route": "FT1,PACK", "step": 0,
                 "status": "ACTIVE", "failures": 1},
        "columns": ["id int", "serial nvarchar", "procedure nvarchar", "employee nvarchar",
                    "line nvarchar", "verdict nvarchar", "error_no nvarchar",
                    "tested_at datetime2"],
        "nosuch": 208, "deleted": [1, 1]}),
}


@pytest.mark.parametrize("name", sorted(SCRIPTED))
def test_scripted_clients_read_and_write_the_mes_tables(sim, name):
    """Each inserts a unit, reads it, rolls back an UPDATE, runs the unit query on it, meets
    208 and deletes what it made: through its own way of sending SQL and parameters."""
    command, needed, expected = SCRIPTED[name]
    if not _has(needed) or not shutil.which(command[0]):
        pytest.skip(f"{name} not installed (scripts/setup.sh installs it)")
    serial = "C-" + name.upper()
    out = client(sim, command, serial)
    wanted = expected(serial)
    assert {key: out.get(key) for key in wanted} == wanted
    assert (sim.unit(serial), sim.results(serial)) == (None, [])


def test_pymssql_dbapi(sim, conn, serial):
    import pymssql
    db = pymssql.connect(server=sim.host, port=str(sim.port), user=sim.user,
                         password=sim.password, database=sim.database)
    try:
        cur = db.cursor()
        cur.execute("SELECT %s AS x, @@TRANCOUNT", ("y",))
        assert cur.fetchall() == [("y", 1)]  # autocommit off: a transaction is open
        args = (serial, "FT1", "张三", "L1", "FAIL", "0", pymssql.output(str), pymssql.output(int))
        assert cur.callproc("dbo.uspSaveResult", args)[6:8] == (
            feedback("FAIL", serial, "retest at FT1 (1 of 3 failures)"), 0)
        db.rollback()
        cur.callproc("dbo.uspSaveResult", args[:4] + ("PASS",) + args[5:])
        db.commit()
        with pytest.raises(pymssql.DatabaseError, match="uspNope"):
            cur.callproc("dbo.uspNope", ())
        # never committed: meanwhile the station reads what is committed, and its upload of
        # another unit waits for the transaction, which the close rolls back
        other, uploaded = sim.add_unit(), []
        cur.callproc("dbo.uspSaveResult", (serial, "FT2") + args[2:])
        assert query(conn, serial, "FT2")[1] == 0
        station = threading.Thread(target=lambda: uploaded.append(upload(conn, other)[1]))
        station.start()
        station.join(0.5)
        assert uploaded == []
    finally:
        db.close()
    station.join(10)
    assert uploaded == [0]
    passed_once(sim, conn, serial)


def _sqlalchemy_url(sim, dialect):
    if dialect == "pyodbc":
        pyodbc = pytest.importorskip("pyodbc")
        if "FreeTDS" not in pyodbc.drivers():
            pytest.skip("FreeTDS ODBC driver (tdsodbc) not installed")
    return (f"mssql+{dialect}://{sim.user}:{sim.password}@{sim.host}:{sim.port}/{sim.database}"
            + ("?driver=FreeTDS" if dialect == "pyodbc" else ""))


@pytest.mark.parametrize("dialect", ["pymssql", "pyodbc"])
def test_sqlalchemy_and_pandas_read_the_station_upload_and_write_units(sim, conn, serial, dialect):
    sa = pytest.importorskip("sqlalchemy")
    pandas = pytest.importorskip("pandas")
    engine = sa.create_engine(_sqlalchemy_url(sim, dialect))
    try:
        assert upload(conn, serial)[1] == 0
        assert sa.inspect(engine).get_table_names(schema="dbo") == ["results", "scenarios",
                                                                   "units"]
        results = sa.Table("results", sa.MetaData(), autoload_with=engine, schema="dbo")
        assert [(c.name, type(c.type).__name__, c.nullable) for c in results.columns][-3:] == [
            ("verdict", "NVARCHAR", False), ("error_no", "NVARCHAR", True),
            ("tested_at", "DATETIME2", False)]
        assert [c.name for c in results.primary_key] == ["id"]
        wanted = sa.select(results).where(results.c.serial == serial.lower())
        with engine.connect() as db:
            rows = [tuple(r) for r in db.execute(wanted)]
        assert [r[1:7] for r in rows] == [(serial, "FT1", "张三", "一线", "PASS", "0")]
        frame = pandas.read_sql(wanted, engine)
        assert [tuple(r) for r in frame.itertuples(index=False)] == rows
        # writes: pandas appends units, the ORM adds, changes and deletes them
        made = [f"{serial}-{n}" for n in range(3)]
        frame = pandas.DataFrame({"serial": made[:2], "product": "M4R-300", "route": "FT1,PACK"})
        frame.to_sql("units", engine, schema="dbo", if_exists="append", index=False)
        marker = "?" if dialect == "pyodbc" else "%(route)s"
        assert pandas.read_sql(f"SELECT serial, step, status FROM dbo.units WHERE route = {marker} "
                               "ORDER BY serial DESC", engine, params={"route": "FT1,PACK"}
                               if dialect == "pymssql" else ("FT1,PACK",)).values.tolist()[:2] \
            == [[made[1], 0, "ACTIVE"], [made[0], 0, "ACTIVE"]]
        orm = pytest.importorskip("sqlalchemy.orm")
        Unit = _unit_class(sa, orm)
        with orm.Session(engine) as session:
            session.add(Unit(serial=made[2], product="M4R-300", route="FT1,PACK"))
            session.get(Unit, made[0]).status = "HOLD"
            session.delete(session.get(Unit, made[1]))
            session.commit()
            found = session.query(Unit).filter(Unit.serial.like(serial + "-%"),
                                               Unit.step == 0).order_by(Unit.serial.desc())
            assert [(u.serial, u.status) for u in found.offset(0).limit(2)] == [
                (made[2], "ACTIVE"), (made[0], "HOLD")]
            assert found.filter(Unit.serial.contains("-_", autoescape=True)).count() == 0
        assert sim.unit(made[1]) is None and sim.unit(made[0])["status"] == "HOLD"
    finally:
        engine.dispose()


def _unit_class(sa, orm):
    """A declarative mapping of dbo.units, as an application writes one."""
    class Unit(orm.declarative_base()):
        __tablename__ = "units"
        __table_args__ = {"schema": "dbo"}
        serial = sa.Column(sa.Unicode(50), primary_key=True)
        product = sa.Column(sa.Unicode(50))
        route = sa.Column(sa.Unicode(200))
        step = sa.Column(sa.Integer, server_default="0")
        status = sa.Column(sa.Unicode(10), server_default="ACTIVE")
    return Unit


def test_pyodbc_over_freetds(sim, conn, serial):
    pyodbc = pytest.importorskip("pyodbc")
    if "FreeTDS" not in pyodbc.drivers():
        pytest.skip("FreeTDS ODBC driver (tdsodbc) not installed")
    db = pyodbc.connect(f"DRIVER={{FreeTDS}};SERVER={sim.host};PORT={sim.port};UID={sim.user};"
                        f"PWD={sim.password};DATABASE={sim.database}")
    save = ("DECLARE @m nvarchar(500), @r int; EXEC dbo.uspSaveResult ?, ?, ?, ?, ?, ?, "
            "@m OUTPUT, @r OUTPUT; SELECT @m, @r")
    try:
        cur = db.cursor()
        # autocommit off: the driver has begun a transaction
        assert tuple(cur.execute("SELECT ?, @@TRANCOUNT", 42).fetchone()) == (42, 1)
        assert tuple(cur.execute(save, serial, "FT1", "张三", "L1", "FAIL", 0).fetchone()) == (
            feedback("FAIL", serial, "retest at FT1 (1 of 3 failures)"), 0)
        db.rollback()
        cur.execute("{call dbo.uspSaveResult(?, ?, ?, ?, ?, ?, ?, ?)}",
                    serial, "FT1", "张三", "L1", "PASS", 0, None, None)
        db.commit()
        with pytest.raises(pyodbc.ProgrammingError, match=r"\(201\)"):
            cur.execute("{call dbo.uspGetUnitInfo(?, ?, ?, ?)}", serial, "FT2", "张三", "L1")
        # the catalog functions (sp_tables, sp_columns, ... as the driver calls them)
        assert [r.table_name for r in cur.tables(schema="dbo", tableType="TABLE")] == [
            "results", "scenarios", "units"]
        assert [(r.column_name, r.type_name, r.column_size, r.nullable, r.column_def)
                for r in cur.columns("results", schema="dbo")][::6] == [
            ("id", "int identity", 10, 0, None), ("error_no", "nvarchar", 50, 1, None)]
        assert [(r.column_name, r.pk_name) for r in cur.primaryKeys("units", schema="dbo")] == [
            ("serial", "PK_units")]
        assert [r.column_name for r in cur.rowIdColumns("results", schema="dbo")] == ["id"]
        assert [r.procedure_name for r in cur.procedures(schema="dbo")] == [
            "uspGetUnitInfo;1", "uspSaveResult;1"]
        assert [(r.column_name, r.column_type) for r in cur.procedureColumns(
            "uspGetUnitInfo", schema="dbo")][::4] == [("@RETURN_VALUE", 5), ("@LineName", 1)]
        assert [(r.type_name, r.column_size) for r in cur.getTypeInfo(pyodbc.SQL_WVARCHAR)] == [
            ("nvarchar", 4000), ("sysname", 128)]
        assert [(r.index_name, r.column_name) for r in cur.statistics("units", schema="dbo")][1:] \
            == [("PK_units", "serial")]
    finally:
        db.close()
    passed_once(sim, conn, serial)


def test_tsql(sim, conn, serial):
    script = ("select @@version\ngo\nDECLARE @m nvarchar(500), @r int\n"
              f"EXEC dbo.uspSaveResult N'{serial}', 'FT1', N'张三', 'L1', 'PASS', 0, @m OUTPUT, "
              "@r OUTPUT\nSELECT @m AS msg, @r AS code\ngo\n"
              "SET IMPLICIT_TRANSACTIONS ON\nDECLARE @m nvarchar(500), @r int\n"
              f"EXEC dbo.uspSaveResult N'{serial}', 'FT2', 'x', 'L1', 'FAIL', 0, @m OUT, @r OUT\n"
              "SELECT @@TRANCOUNT AS open_transactions\nROLLBACK\ngo\n"
              "begin tran\nexec nope\ngo\nexit\n")

    def tsql(database, text):
        return subprocess.run(["tsql", "-H", sim.host, "-p", str(sim.port), "-U", sim.user,
                               "-P", sim.password, "-D", database], input=text, env=CLIENT_ENV,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              universal_newlines=True, timeout=30).stdout

    out = tsql(sim.database, script)
    assert "MES simulator" in out
    assert feedback("PASS", serial, "next FT2") + "\t0" in out
    assert "open_transactions\n1\n" in out  # the upload began a transaction, rolled back
    assert "Msg 2812 (severity 16, state 62)" in out  # and its open transaction rolled back
    out = tsql("Nope", "exit\n")
    assert 'Msg 4060 (severity 11, state 1) from MESSIM Line 1:\n\t"Cannot open database ' \
           '"Nope" requested by the login. The login failed."\nMsg 18456' in out
    passed_once(sim, conn, serial)


def freebcp(sim, *args, version="7.4"):
    """freebcp (FreeTDS) against the simulator, named HOST:PORT; (exit code, output)."""
    done = subprocess.run(["freebcp"] + list(args) + ["-S", sim.server, "-U", sim.user,
                                                       "-P", sim.password],
                          env=dict(CLIENT_ENV, TDSVER=version), stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, universal_newlines=True, timeout=60)
    return done.returncode, done.stdout


def _lines(path):
    with open(path, encoding="utf-8") as f:
        return [line.rstrip("\n").split("\t") for line in f]


def _write(path, rows):
    with open(path, "w", encoding="utf-8") as f:
        f.writelines("\t".join(row) + "\n" for row in rows)


@pytest.mark.skipif(not shutil.which("freebcp"), reason="freebcp (freetds-bin) not installed")
@pytest.mark.parametrize("version", ["7.1", "7.4"])  # datetime2 as text, and as itself
def test_freebcp_out_queryout_and_in(sim, tmp_path, version):
    def bcp(*args):
        return freebcp(sim, *args, version=version)

    units = [sim.add_unit(step=n, failures=n) for n in range(3)]
    for serial in units:
        sim.sql.execute("INSERT INTO results (serial, procedure, employee, line, verdict, "
                        "error_no, tested_at) VALUES (?, 'FT1', '张三', '一线', 'FAIL', NULL, "
                        "'2024-05-01 08:00:00')", (serial,))
    listed = ", ".join("N'%s'" % s for s in units)
    out = str(tmp_path / "units.dat")
    # queryout (and out) ask SET FMTONLY ON for the columns first
    assert bcp("select * from dbo.units where serial in (%s) order by serial"
                   % listed, "queryout", out, "-c")[0] == 0
    assert _lines(out) == [[s, "M4R-100", "FT1,FT2,PACK", str(n), "ACTIVE", str(n)]
                           for n, s in enumerate(units)]
    code, text = bcp("MES.dbo.units", "out", str(tmp_path / "all.dat"), "-c")
    assert code == 0 and len(_lines(str(tmp_path / "all.dat"))) == sim.sql.execute(
        "SELECT COUNT(*) FROM units").fetchone()[0]

    # in: the same rows under new serial numbers
    copies = [[s + "-B"] + row[1:] for s, row in zip(units, _lines(out))]
    _write(out, copies)
    code, text = bcp("MES.dbo.units", "in", out, "-c")
    assert code == 0 and "3 rows copied" in text
    assert [sim.unit(s + "-B") for s in units] == [
        {"serial": s + "-B", "product": "M4R-100", "route": "FT1,FT2,PACK", "step": n,
         "status": "ACTIVE", "failures": n} for n, s in enumerate(units)]

    # results, with an identity, a NULL, Chinese names and a datetime2(0), out and in again
    query = "select * from MES.dbo.results where serial = N'%s'" % units[0]
    assert bcp(query, "queryout", out, "-c")[0] == 0
    assert bcp("MES.dbo.results", "in", out, "-c")[0] == 0
    first, again = sim.results(units[0])
    assert again["id"] > first["id"]  # a new identity value, not the file's
    assert {k: v for k, v in again.items() if k != "id"} == \
        {k: v for k, v in first.items() if k != "id"}

    # -E: the file's identity values kept (freebcp sets IDENTITY_INSERT on)
    with open(out, encoding="utf-8") as f:
        kept = "777%d" % first["id"] + f.read().split("\n")[0][len(str(first["id"])):]
    _write(out, [kept.split("\t")])
    assert bcp("MES.dbo.results", "in", out, "-c", "-E")[0] == 0
    assert [r["id"] for r in sim.results(units[0])][-1] == int("777%d" % first["id"])

    # a duplicate key: SQL Server's error, and none of the rows loaded
    _write(out, [[units[1] + "-C", "M4R-100", "FT1", "0", "ACTIVE", "0"], copies[0]])
    code, text = bcp("MES.dbo.units", "in", out, "-c")
    assert "Violation of PRIMARY KEY constraint 'PK_units'" in text
    assert sim.unit(units[1] + "-C") is None


@needs_node
def test_tedious_and_mssql_bulk_load_and_date_types(sim, serial):
    out = node(sim, "bulk_client.js", serial)
    assert (out["units"], out["duplicate"], out["results"], out["mssql"]) == (
        {"rowCount": 2}, {"error": 2627}, {"rowCount": 1}, 1)
    assert [sim.unit(serial + suffix) for suffix in ("-T1", "-T2", "-M1")] == [
        {"serial": serial + "-T1", "product": "M4R-100", "route": "FT1,FT2,PACK", "step": 1,
         "status": "ACTIVE", "failures": 0},
        {"serial": serial + "-T2", "product": "M4R-200", "route": "FT1,PACK", "step": 0,
         "status": "HOLD", "failures": 2},
        {"serial": serial + "-M1", "product": "M4R-100", "route": "FT1,PACK", "step": 1,
         "status": "ACTIVE", "failures": 0}]  # the columns left out take their defaults
    assert [(r["employee"], r["line"], r["error_no"], r["tested_at"])
            for r in sim.results(serial + "-T1")] == [("张三", "一线", None, "2024-05-01 08:00:00")]
    assert out["dates"]["rows"] == [["2024-05-01T00:00:00.000Z", "2024-05-01T08:00:00.123Z",
                                     "2024-05-01T00:00:00.000Z", 1234567.5]]
    assert out["params"]["rows"] == [["2024-05-01T00:00:00.000Z", "2024-05-01T08:00:00.250Z",
                                      "2024-05-01T00:00:00.000Z"]]


@pytest.mark.parametrize("version", ["7.2", "7.4"])
def test_pyodbc_date_time_and_decimal_types(sim, version):
    """tdsodbc reads date, time and datetime2 as its own types from TDS 7.3 on, as text
    before; decimal(38) whole; and sends date and time parameters the server reads back."""
    pyodbc = pytest.importorskip("pyodbc")
    if "FreeTDS" not in pyodbc.drivers():
        pytest.skip("FreeTDS ODBC driver (tdsodbc) not installed")
    db = pyodbc.connect(f"DRIVER={{FreeTDS}};SERVER={sim.host};PORT={sim.port};UID={sim.user};"
                        f"PWD={sim.password};DATABASE={sim.database};TDS_Version={version}",
                        autocommit=True)
    wide = Decimal("12345678901234567890123456789.123456789")
    try:
        cur = db.cursor()
        row = cur.execute("SELECT CAST('2024-05-01' AS date), CAST('08:00:00.123456' AS time), "
                          "CAST('2024-05-01 08:00:00.5' AS datetime2(1)), "
                          "CAST(%s AS decimal(38, 9))" % wide).fetchone()
        if version == "7.4":
            assert tuple(row) == (date(2024, 5, 1), time(8, 0, 0, 123456),
                                  datetime(2024, 5, 1, 8, 0, 0, 500000), wide)
        else:
            assert tuple(row) == ("2024-05-01", "08:00:00.1234560", "2024-05-01 08:00:00.5", wide)
        row = cur.execute("SELECT ?, ?, ?", date(2024, 5, 1),
                          datetime(2024, 5, 1, 8, 0, 0, 123456), wide).fetchone()
        assert tuple(row)[1:] == (datetime(2024, 5, 1, 8, 0, 0, 123456 if version == "7.4"
                                           else 123000), wide)
        assert row[0] in (date(2024, 5, 1), datetime(2024, 5, 1))  # 7.2 has no date type
        # the driver asks sp_datatype_info_100 (7.3 on) or sp_datatype_info_90 (7.2)
        dates = [r.type_name for r in cur.getTypeInfo(pyodbc.SQL_TYPE_DATE)]
        assert dates == (["date"] if version == "7.4" else [])
    finally:
        db.close()
