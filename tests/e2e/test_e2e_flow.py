"""A station's units through the module, the real driver and the simulated
MES: routes, retests, refusals, what the MES stores, Chinese names and
hostile text."""

import threading

import pytest

from e2e_support import FAILED


def answer_lines(out):
    return [line for line in out.splitlines() if line.startswith("TVR MES GetUnitInfo: ")]


class TestUnitFlow:
    def test_unit_goes_through_its_route_one_line_printed_per_answer(self, sim, station, capsys):
        serial = sim.add_unit(route=("FT1", "FT2", "PACK"))
        by = "by 张三 on 一线"
        steps = [
            (station.query(serial, "FT1"), (0, f"Unit {serial} may be tested at FT1 {by}")),
            (station.upload(serial, "FT1"), (0, f"Saved PASS of {serial} at FT1 {by}; next FT2")),
            (station.query(serial, "FT1"), (2, f"Unit {serial} is due at FT2, not at FT1")),
            (station.query(serial, "FT2"), (0, f"Unit {serial} may be tested at FT2 {by}")),
            (station.upload(serial, "FT2"), (0, f"Saved PASS of {serial} at FT2 {by}; next PACK")),
            (station.query(serial, "PACK"), (0, f"Unit {serial} may be tested at PACK {by}")),
            (station.upload(serial, "PACK"), (0, f"Saved PASS of {serial} at PACK {by}; route finished")),
            (station.query(serial, "PACK"), (3, f"Unit {serial} has finished its route FT1 -> FT2 -> PACK")),
            (station.upload(serial, "PACK"), (3, f"Unit {serial} has finished its route FT1 -> FT2 -> PACK")),
        ]
        for got, expected in steps:
            assert got == expected
        # the row as the driver gave it, for every answer
        lines = answer_lines(capsys.readouterr().out)
        assert len(lines) == len(steps)
        assert lines[0] == ("TVR MES GetUnitInfo: {0: 'OK \"Unit %s may be tested at FT1 %s\"', 1: 0}"
                            % (serial, by))
        assert lines[-1] == ("TVR MES GetUnitInfo: {0: 'NG \"Unit %s has finished its route "
                             "FT1 -> FT2 -> PACK\"', 1: 3}" % serial)
        rows = sim.results(serial)
        assert [(r["procedure"], r["verdict"], r["error_no"], r["employee"], r["line"]) for r in rows] == [
            ("FT1", "PASS", "0", "张三", "一线"), ("FT2", "PASS", "0", "张三", "一线"),
            ("PACK", "PASS", "0", "张三", "一线")]

    def test_fail_is_retested_at_the_same_procedure(self, sim, station):
        serial = sim.add_unit(route=("FT1", "PACK"), product="M4R-200")
        assert station.upload(serial, "FT1", False, 1203) == (
            0, f"Saved FAIL of {serial} at FT1 by 张三 on 一线; retest at FT1 (1 of 3 failures)")
        assert station.query(serial, "FT1")[0] == 0
        assert station.query(serial, "PACK") == (2, f"Unit {serial} is due at FT1, not at PACK")
        assert station.upload(serial, "FT1", True, 0)[1].endswith("; next PACK")
        assert [(r["procedure"], r["verdict"], r["error_no"]) for r in sim.results(serial)] == [
            ("FT1", "FAIL", "1203"), ("FT1", "PASS", "0")]
        assert sim.unit(serial)["failures"] == 0

    def test_third_fail_in_a_row_sends_the_unit_to_repair(self, sim, station):
        serial = sim.add_unit()
        assert station.upload(serial, "FT1", False, 7)[1].endswith("(1 of 3 failures)")
        assert station.upload(serial, "FT1", False, 7)[1].endswith("(2 of 3 failures)")
        assert station.upload(serial, "FT1", False, 8)[1].endswith("; unit sent to repair")
        assert station.query(serial, "FT1") == (6, f"Unit {serial} is in repair")
        assert station.upload(serial, "FT1") == (6, f"Unit {serial} is in repair")
        assert [r["error_no"] for r in sim.results(serial)] == ["7", "7", "8"]

    def test_a_unit_and_a_fault_written_in_sql_are_met_by_the_station(self, sim, station):
        """A test engineer seeds a unit and scripts a fault with DB-API INSERTs."""
        import pymssql
        db = pymssql.connect(server=sim.host, port=str(sim.port), user=sim.user,
                             password=sim.password, database=sim.database)
        try:
            cur = db.cursor()
            cur.execute("INSERT INTO dbo.units (serial, product, route) VALUES (%s, %s, %s)",
                        ("SQL-0001", "M4R-300", "FT1,PACK"))
            assert station.query("SQL-0001") == (1, "Unit SQL-0001 is unknown")  # uncommitted
            db.commit()
            assert station.query("sql-0001 ") == (
                0, "Unit SQL-0001 may be tested at FT1 by 张三 on 一线")
            cur.execute("INSERT INTO dbo.scenarios (serial, proc, action, code, text) VALUES "
                        "(%s, 'uspSaveResult', 'error', 50001, N'MES is down')", ("SQL-0001",))
            db.commit()
            with pytest.raises(IOError) as info:
                station.upload("SQL-0001")
            assert str(info.value).startswith(FAILED["SaveResult"] + "(50001, b'MES is down")
            cur.execute("SELECT hits FROM dbo.scenarios WHERE serial = %s", ("SQL-0001",))
            assert cur.fetchall() == [(1,)]
        finally:
            db.close()
        assert station.upload("SQL-0001")[1].endswith("; next PACK")

    @pytest.mark.parametrize("serial, code, message", [
        ("SN0005", 4, "Unit SN0005 is on hold"),
        ("SN0006", 5, "Unit SN0006 is scrapped"),
        ("SN0007", 6, "Unit SN0007 is in repair"),
        ("SN0002", 2, "Unit SN0002 is due at FT2, not at FT1"),
        ("SN9999", 1, "Unit SN9999 is unknown"),
    ])
    def test_refused_units_come_back_as_code_and_message(self, sim, station, serial, code, message):
        before = len(sim.results())
        assert station.query(serial, "FT1") == (code, message)
        assert station.upload(serial, "FT1") == (code, message)
        assert len(sim.results()) == before, "a refused upload saves nothing"


class TestWhatTheMESReceives:
    @pytest.mark.parametrize("result, verdict", [
        (True, "PASS"), (1, "PASS"), ("FAIL", "PASS"), ([0], "PASS"),
        (False, "FAIL"), (0, "FAIL"), ("", "FAIL"), (None, "FAIL"), ([], "FAIL"),
    ])
    def test_the_verdict_is_the_truth_of_result(self, sim, station, result, verdict):
        serial = sim.add_unit()
        station.upload(serial, "FT1", result, 0)
        assert [r["verdict"] for r in sim.results(serial)] == [verdict]

    @pytest.mark.parametrize("error_no, stored", [
        (0, "0"), (-42, "-42"), (31007, "31007"), ("E-7", "E-7"), ("电压过低", "电压过低"), (None, None),
    ])
    def test_the_error_number_is_sent_as_given(self, sim, station, error_no, stored):
        serial = sim.add_unit()
        station.upload(serial, "FT1", False, error_no)
        assert [r["error_no"] for r in sim.results(serial)] == [stored]

    def test_serial_number_is_sent_as_given(self, sim, station):
        serial = sim.add_unit("主板-0001")
        assert station.query(serial) == (0, "Unit 主板-0001 may be tested at FT1 by 张三 on 一线")
        station.upload(serial)
        assert [r["serial"] for r in sim.results(serial)] == ["主板-0001"]

    @pytest.mark.parametrize("employee, line", [
        ("张三", "一线"),
        ("欧阳镕", "总装线（二）"),     # 镕 is in GBK but not in GB 2312
        ("阿依古丽·买买提", "SMT-3线"),  # middle dot, Latin letters and digits
        ("林淺", "二线"),               # 淺 ends in the byte of a backslash
        ("O'Neil", "L'1"),              # plain ASCII with quotes
    ])
    def test_employee_and_line_arrive_intact_through_gbk(self, sim, station, employee, line):
        serial = sim.add_unit()
        assert station.query(serial, "FT1", employee, line) == (
            0, f"Unit {serial} may be tested at FT1 by {employee} on {line}")
        assert station.upload(serial, "FT1", False, 1, employee, line)[1].startswith(
            f"Saved FAIL of {serial} at FT1 by {employee} on {line};")
        assert [(r["employee"], r["line"]) for r in sim.results(serial)] == [(employee, line)]

    def test_text_gbk_cannot_hold_is_refused_before_the_batch(self, sim, station):
        serial = sim.add_unit()
        with pytest.raises(UnicodeEncodeError) as info:
            station.upload(serial, "FT1", True, 0, employee="Zoë €")
        assert info.value.encoding == "gbk"
        assert sim.results(serial) == []
        assert serial not in sim.log_text(), "no batch reached the MES"


class TestHostileText:
    INJECTION = "SN0001'; DROP TABLE units; --"

    def test_serial_number_with_sql_is_one_literal_value(self, sim, station):
        units = sim.sql.execute("SELECT COUNT(*) FROM units").fetchone()[0]
        assert station.query(self.INJECTION) == (1, f"Unit {self.INJECTION} is unknown")
        assert station.upload(self.INJECTION) == (1, f"Unit {self.INJECTION} is unknown")
        assert sim.sql.execute("SELECT COUNT(*) FROM units").fetchone()[0] == units
        assert sim.unit("SN0001") is not None
        assert "params=[\"SN0001'; DROP TABLE units; --\", 'FT1'" in sim.log_text()

    @pytest.mark.parametrize("serial", ["SN1' OR '1'='1", "SN1]; exec dbo.uspSaveResult", "SN1 /* x",
                                        "SN1\nGO\nDELETE FROM results"])
    def test_other_serial_numbers_with_sql_are_literal_too(self, sim, station, serial):
        code, message = station.query(serial)
        assert code == 1 and message == f"Unit {serial} is unknown"

    def test_a_nul_character_ends_the_batch_in_the_driver_and_nothing_runs(self, sim, station):
        # The driver hands the batch to FreeTDS as a C string: it ends at the
        # NUL, inside the quoted serial number, so the MES sees an unclosed
        # quote and runs nothing.
        serial = sim.add_unit()
        with pytest.raises(IOError) as info:
            station.upload(serial + "\x00'; DELETE FROM results; --")
        assert str(info.value).startswith(
            "SQLError: uspSaveResult Failed: (105, b\"Unclosed quotation mark after the character string")
        assert sim.results(serial) == [] and sim.unit(serial)["step"] == 0

    def test_sql_in_the_other_texts_is_stored_literally(self, sim, station):
        serial = sim.add_unit()
        results = len(sim.results())
        employee, line, error_no = "x'); DELETE FROM results; --", "一线'--", "0'; DROP TABLE units; --"
        assert station.upload(serial, "FT1", True, error_no, employee, line)[0] == 0
        assert len(sim.results()) == results + 1
        row = sim.results(serial)[0]
        assert (row["employee"], row["line"], row["error_no"]) == (employee, line, error_no)


def test_stations_working_at_once_each_get_their_own_answers(sim, station):
    serials = [sim.add_unit(route=("FT1", "FT2")) for _ in range(8)]
    outcomes, failures = {}, []

    def work(serial):
        try:
            outcomes[serial] = [
                station.query(serial, "FT1"), station.upload(serial, "FT1", True, 0),
                station.query(serial, "FT2"), station.upload(serial, "FT2", False, 5),
                station.query(serial, "FT2"),
            ]
        except BaseException as error:  # reported by the main thread
            failures.append(error)

    threads = [threading.Thread(target=work, args=(s,)) for s in serials]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []
    for serial in serials:
        by = "by 张三 on 一线"
        assert outcomes[serial] == [
            (0, f"Unit {serial} may be tested at FT1 {by}"),
            (0, f"Saved PASS of {serial} at FT1 {by}; next FT2"),
            (0, f"Unit {serial} may be tested at FT2 {by}"),
            (0, f"Saved FAIL of {serial} at FT2 {by}; retest at FT2 (1 of 3 failures)"),
            (0, f"Unit {serial} may be tested at FT2 {by}"),
        ]
        assert [(r["procedure"], r["verdict"]) for r in sim.results(serial)] == [("FT1", "PASS"), ("FT2", "FAIL")]
