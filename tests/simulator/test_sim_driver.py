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
