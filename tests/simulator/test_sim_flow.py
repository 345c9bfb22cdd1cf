"""The MES behaviour behind the two procedures: routes, verdicts, refusals."""

import pytest

from simulator_support import query, upload


def test_unit_walks_its_route(sim, conn):
    serial = sim.add_unit(route=("FT1", "FT2", "PACK"))
    assert query(conn, serial, "FT1") == {0: f'OK "Unit {serial} may be tested at FT1 by 张三 on 一线"', 1: 0}
    assert upload(conn, serial, "FT1") == {0: f'OK "Saved PASS of {serial} at FT1 by 张三 on 一线; next FT2"', 1: 0}
    assert query(conn, serial, "FT1") == {0: f'NG "Unit {serial} is due at FT2, not at FT1"', 1: 2}
    assert query(conn, serial, "FT2")[1] == 0
    assert upload(conn, serial, "FT2")[1] == 0
    assert upload(conn, serial, "PACK") == {
        0: f'OK "Saved PASS of {serial} at PACK by 张三 on 一线; route finished"', 1: 0}
    assert query(conn, serial, "PACK") == {
        0: f'NG "Unit {serial} has finished its route FT1 -> FT2 -> PACK"', 1: 3}
    assert upload(conn, serial, "PACK")[1] == 3
    assert [(r["procedure"], r["verdict"]) for r in sim.results(serial)] == [
        ("FT1", "PASS"), ("FT2", "PASS"), ("PACK", "PASS")]
    assert sim.unit(serial)["step"] == 3


def test_fail_keeps_the_unit_and_the_third_sends_it_to_repair(sim, conn):
    serial = sim.add_unit()
    assert upload(conn, serial, "FT1", "FAIL", 112)[0].endswith("retest at FT1 (1 of 3 failures)\"")
    assert query(conn, serial, "FT1")[1] == 0
    assert upload(conn, serial, "FT1", "FAIL", 112)[1] == 0
    assert upload(conn, serial, "FT1", "FAIL", "113")[0].endswith('unit sent to repair"')
    assert query(conn, serial, "FT1") == {0: f'NG "Unit {serial} is in repair"', 1: 6}
    assert upload(conn, serial, "FT1")[1] == 6
    assert [r["error_no"] for r in sim.results(serial)] == ["112", "112", "113"]


def test_pass_clears_the_failure_count(sim, conn):
    serial = sim.add_unit()
    upload(conn, serial, "FT1", "FAIL", 1)
    upload(conn, serial, "FT1", "PASS")
    assert sim.unit(serial)["failures"] == 0


@pytest.mark.parametrize("serial, code, text", [
    ("SN0005", 4, 'NG "Unit SN0005 is on hold"'),
    ("SN0006", 5, 'NG "Unit SN0006 is scrapped"'),
    ("SN0007", 6, 'NG "Unit SN0007 is in repair"'),
    ("SN0004", 3, 'NG "Unit SN0004 has finished its route FT1 -> FT2 -> PACK"'),
    ("SN9999", 1, 'NG "Unit SN9999 is unknown"'),
])
def test_seeded_units_that_may_not_be_tested(conn, serial, code, text):
    assert query(conn, serial) == {0: text, 1: code}
    assert upload(conn, serial) == {0: text, 1: code}


def test_upload_refusals_save_nothing(sim, conn):
    serial = sim.add_unit()
    assert upload(conn, serial, "FT2") == {0: f'NG "Unit {serial} is due at FT1, not at FT2"', 1: 2}
    assert upload(conn, serial, verdict="MAYBE") == {
        0: 'NG "Invalid result MAYBE: expected PASS or FAIL"', 1: 7}
    assert upload(conn, serial, employee="") == {0: 'NG "Missing parameter: employee"', 1: 9}
    assert sim.results(serial) == []


def test_serial_and_procedure_match_as_sql_server_compares(sim, conn):
    serial = sim.add_unit()
    assert query(conn, serial.lower() + "  ", "ft1")[1] == 0


def test_double_quotes_in_echoed_values_do_not_break_the_message(conn):
    assert query(conn, 'SN"X"') == {0: '''NG "Unit SN'X' is unknown"''', 1: 1}
