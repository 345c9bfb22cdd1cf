"""Scenarios from the scenarios table, as the driver reports them."""

import threading
import time

import pytest
from pymssql import _mssql

from simulator_support import connect_in_fresh_process, query, upload


@pytest.mark.parametrize("fields, row", [
    ({"text": 'MES says "wait" and "go"', "code": 0}, {0: 'MES says "wait" and "go"', 1: 0}),
    ({"text": None, "code": 5}, {0: None, 1: 5}),
    ({"text": "NG", "code": None}, {0: "NG", 1: None}),
    ({"text": "17", "columns": 1}, {0: "17"}),
])
def test_scripted_answer_rows(sim, conn, fields, row):
    sim.add_scenario("answer", serial="SN0001", **fields)
    assert query(conn, "SN0001") == row
    assert query(conn, "SN0001")[1] == 0  # one-shot: the MES answers again


def test_sql_error_with_chosen_number_severity_and_message(sim, conn):
    sim.add_scenario("error", code=50005, severity=16, state=3, text="MES database is read-only")
    with pytest.raises(_mssql.MSSQLDatabaseException) as caught:
        query(conn, "SN0001")
    exc = caught.value
    assert (exc.number, exc.severity, exc.state) == (50005, 16, 3)
    assert str(exc) == ("(50005, b'MES database is read-onlyDB-Lib error message 20018, severity 16:"
                        "\\nGeneral SQL Server error: Check messages from the SQL Server\\n')")
    # a text longer than an error message may be is cut as SQL Server cuts it
    sim.add_scenario("error", code=50006, text="长" * 70000)
    with pytest.raises(_mssql.MSSQLDatabaseException) as caught:
        query(conn, "SN0001")
    assert caught.value.text.decode().startswith("长" * 2044 + "...DB-Lib error")
    assert query(conn, "SN0001")[1] == 0


def test_delay_before_the_answer(sim, conn):
    sim.add_scenario("delay", delay=0.3)
    started = time.monotonic()
    assert query(conn, "SN0001")[1] == 0
    assert time.monotonic() - started >= 0.3


def test_dropped_right_after_login(sim):
    sim.add_scenario("drop_after_login")
    c = sim.connect()  # the connect itself completes
    with pytest.raises(_mssql.MSSQLDatabaseException) as caught:
        query(c, "SN0001")
    c.close()
    assert str(caught.value) == ("(20047, b'DB-Lib error message 20047, severity 9:"
                                 "\\nDBPROCESS is dead or not enabled\\n')")


@pytest.mark.parametrize("partial", [0, 20, 60])
def test_dropped_mid_batch(sim, partial):
    sim.add_scenario("drop_mid_batch", partial=partial)
    c = sim.connect()
    with pytest.raises(_mssql.MSSQLDatabaseException) as caught:
        query(c, "SN0001")
    c.close()
    assert str(caught.value) == ("(20017, b'DB-Lib error message 20017, severity 9:"
                                 "\\nUnexpected EOF from the server\\n')")
    assert f"dropped mid-batch after {partial} bytes" in sim.log_text()


def test_refused_login(sim):
    sim.add_scenario("refuse_login")
    number, text = connect_in_fresh_process(sim.server, "mes", "mes", "MES")
    assert number == "18456" and "Login failed for user 'mes'." in text
    sim.add_scenario("refuse_login", code=18488, text="The password of the account has expired.")
    number, text = connect_in_fresh_process(sim.server, "mes", "mes", "MES")
    assert (number, text.split("DB-Lib")[0]) == ("18488", "(18488, b'The password of the account has expired.")
    assert connect_in_fresh_process(sim.server, "mes", "mes", "MES") == ["connected"]


def test_one_shot_and_persistent(sim, conn):
    once = sim.add_scenario("answer", serial="SN0002", text="once", code=1)
    always = sim.add_scenario("answer", serial="SN0003", text="always", code=2, once=0)
    assert [query(conn, "SN0002")[1] for _ in range(3)] == [1, 2, 2]
    assert [query(conn, "sn0003", "PACK")[1] for _ in range(3)] == [2, 2, 2]
    assert (sim.scenario_hits(once), sim.scenario_hits(always)) == (1, 3)


def test_filters_by_serial_user_and_procedure(sim, conn):
    serial = sim.add_unit()
    sim.add_scenario("answer", serial=serial, user_name="operator", text="not me", code=1)
    sim.add_scenario("answer", serial=serial, proc="uspSaveResult", text="upload only", code=2)
    sim.add_scenario("answer", user_name="MES", text="any unit of user mes", code=3)
    assert query(conn, "SN0001") == {0: "any unit of user mes", 1: 3}
    assert query(conn, serial)[1] == 0  # another user's scenario, and one for uploads only
    assert upload(conn, serial) == {0: "upload only", 1: 2}
    assert sim.results(serial) == []


def test_scenario_written_while_connected(sim, conn):
    assert query(conn, "SN0001")[1] == 0
    sim.add_scenario("answer", text="late", code=8)
    assert query(conn, "SN0001") == {0: "late", 1: 8}


def test_cancel_during_delay_is_acknowledged(sim, conn):
    scenario = sim.add_scenario("delay", delay=30)

    def cancel_once_waiting():
        while f"scenario {scenario} fires" not in sim.log_text():
            time.sleep(0.02)
        conn.cancel()  # sends ATTENTION; the server answers DONE with the attention bit

    canceller = threading.Thread(target=cancel_once_waiting)
    canceller.start()
    with pytest.raises(_mssql.MSSQLDatabaseException):
        query(conn, "SN0001")
    canceller.join()
    assert "attention: request cancelled" in sim.log_text()
    assert query(conn, "SN0001")[1] == 0


def test_connection_scenarios_refuse_filters_that_never_match():
    import sqlite3
    from mes_simulator.mes import scenarios
    conn = sqlite3.connect(":memory:")
    scenarios.create_table(conn)
    for action in ("drop_after_login", "refuse_login"):
        with pytest.raises(ValueError, match="user name only"):
            scenarios.add(conn, action=action, serial="SN0001")
        with pytest.raises(ValueError, match="user name only"):
            scenarios.add(conn, action=action, proc="uspGetUnitInfo")
        assert scenarios.add(conn, action=action, user_name="mes") > 0
