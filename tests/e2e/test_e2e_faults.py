"""Faults and odd answers of the MES, scripted through the simulator's
scenarios table, as the station's caller receives them from the module: an
IOError whose text ends with the driver's error text and whose context is
the driver's exception, a (code, msg) pair, or a MESError."""

import socket

import pytest
from pymssql import _mssql

from e2e_support import (CONNECT_FAILED, FAILED, NONE_MESSAGE, PROCEDURE, arguments,
                         call_in_fresh_process, open_connections)

BOTH = ["GetUnitInfo", "SaveResult"]

GENERAL = b"DB-Lib error message 20018, severity %d:\nGeneral SQL Server error: Check messages from the SQL Server\n"
REFUSED_TCP = (b"DB-Lib error message 20009, severity 9:\nUnable to connect: Adaptive Server is unavailable"
               b" or does not exist (127.0.0.1)\nNet-Lib error during Connection refused (111)\n") * 2
LOGIN_CLOSED = b"DB-Lib error message 20002, severity 9:\nAdaptive Server connection failed (127.0.0.1)\n" * 2
DEAD = b"DB-Lib error message 20047, severity 9:\nDBPROCESS is dead or not enabled\n"
EOF = b"DB-Lib error message 20017, severity 9:\nUnexpected EOF from the server\n"


def driver_text(number, message):
    """str() of the driver's exception."""
    return str((number, message))


def raised(station, function, serial="SN0001"):
    with pytest.raises(Exception) as info:
        station.call(function, serial)
    return info.value


def assert_io_error(exc, prefix, number, message):
    assert type(exc) is OSError
    context = exc.__context__
    assert type(context) is _mssql.MSSQLDatabaseException
    assert context.number == number
    assert str(context) == driver_text(number, message)
    assert exc.args == (prefix + driver_text(number, message),)
    assert exc.__cause__ is None and not exc.__suppress_context__


class TestConnectFailures:
    @pytest.mark.parametrize("function", BOTH)
    def test_nothing_listening(self, sim, tv, function, capsys):
        with socket.socket() as closed:  # bound, never listening: connections are refused
            closed.bind(("127.0.0.1", 0))
            server = "127.0.0.1:%d" % closed.getsockname()[1]
            with pytest.raises(IOError) as info:
                getattr(tv, function)(*arguments(function, (server, "mes", "mes", "MES")))
        assert_io_error(info.value, CONNECT_FAILED, 20009, REFUSED_TCP)
        assert capsys.readouterr().out == ""

    # Each refusal runs in a process of its own: the driver keeps the last
    # login error process-wide.
    @pytest.mark.parametrize("function", BOTH)
    @pytest.mark.parametrize("scenario, login, number, message", [
        ({}, ("mes", "mes", "MES"), 18456, b"Login failed for user 'mes'."),
        ({"code": 18488, "text": "The password of the account has expired."}, ("mes", "mes", "MES"),
         18488, b"The password of the account has expired."),
        (None, ("mes", "wrong", "MES"), 18456, b"Login failed for user 'mes'."),
        (None, ("mes", "mes", "OTHER"), 18456, b"Login failed for user 'mes'."),
    ], ids=["refused", "refused-with-text", "wrong-password", "wrong-database"])
    def test_refused_login(self, sim, function, scenario, login, number, message):
        if scenario is not None:
            sim.add_scenario("refuse_login", **scenario)
        results = len(sim.results())
        outcome = call_in_fresh_process(function, arguments(function, (sim.server, *login)))
        expected = driver_text(number, message + GENERAL % 14 + LOGIN_CLOSED)
        assert outcome == {"raised": "builtins.OSError", "text": CONNECT_FAILED + expected, "cause": "None",
                           "context": "pymssql._mssql.MSSQLDatabaseException", "context_text": expected,
                           "number": number}
        assert len(sim.results()) == results


class TestBatchFailures:
    @pytest.mark.parametrize("function", BOTH)
    def test_dropped_after_login(self, sim, station, function, capsys):
        sim.add_scenario("drop_after_login")
        results = len(sim.results())
        assert_io_error(raised(station, function), FAILED[function], 20047, DEAD)
        assert len(sim.results()) == results
        assert capsys.readouterr().out == ""

    @pytest.mark.parametrize("function", BOTH)
    @pytest.mark.parametrize("partial", [0, 9, 40, 85])
    def test_dropped_mid_batch(self, sim, station, function, partial, capsys):
        sim.add_scenario("drop_mid_batch", proc=PROCEDURE[function], partial=partial, text='OK "x"', code=0)
        assert_io_error(raised(station, function), FAILED[function], 20017, EOF)
        assert capsys.readouterr().out == ""

    @pytest.mark.parametrize("function", BOTH)
    @pytest.mark.parametrize("scenario, number, message", [
        ({"code": 50001, "text": "MES is down"}, 50001, b"MES is down" + GENERAL % 16),
        ({"code": 2812, "severity": 16, "text": "Could not find stored procedure 'dbo.uspGetUnitInfo'."},
         2812, b"Could not find stored procedure 'dbo.uspGetUnitInfo'." + GENERAL % 16),
        ({"text": "MES database error: database is locked"}, 50000,
         b"MES database error: database is locked" + GENERAL % 16),
        ({"code": 50020, "severity": 20, "text": "严重错误"}, 50020, "严重错误".encode() + GENERAL % 20),
        ({"code": 50010, "severity": 10, "text": "for information"}, 50010, b"for information"),
    ], ids=["mes-down", "no-procedure", "sqlite", "severity-20-chinese", "severity-10"])
    def test_sql_error(self, sim, station, function, scenario, number, message, capsys):
        sim.add_scenario("error", serial="SN0002", **scenario)
        assert_io_error(raised(station, function, "SN0002"), FAILED[function], number, message)
        assert capsys.readouterr().out == ""

    @pytest.mark.parametrize("function", BOTH)
    def test_calls_after_a_fault_work(self, sim, station, function):
        serial = sim.add_unit()
        for action in ("drop_after_login", "drop_mid_batch", "error"):
            sim.add_scenario(action)
            with pytest.raises(IOError):
                station.call(function, serial)
            assert station.query(serial)[0] == 0
        assert station.upload(serial)[0] == 0
        assert [r["procedure"] for r in sim.results(serial)] == ["FT1"]


class TestScriptedAnswers:
    @pytest.mark.parametrize("function", BOTH)
    @pytest.mark.parametrize("fields, expected", [
        ({"text": 'NG "Fixture F2 is not released" by QA', "code": 11}, (11, "Fixture F2 is not released")),
        ({"text": 'Unit may go on" (checked)', "code": 0}, (0, "Unit may go on")),
        ({"text": "plain text, no quotes", "code": 99}, (99, "plain text, no quotes")),
        ({"text": "NG “中文引号”", "code": -1}, (-1, "NG “中文引号”")),
        ({"text": '""', "code": 2}, (2, "")),
        ({"text": None, "code": 5}, (0, NONE_MESSAGE)),
        ({"text": 'NG "no code"', "code": None}, (None, "no code")),
        ({"text": "17", "columns": 1}, (17, "")),
        ({"text": " -3 ", "columns": 1}, (-3, "")),
    ], ids=["two-quotes", "one-quote", "no-quote", "chinese-quotes", "empty-message", "null-text",
            "null-code", "one-column", "one-column-negative"])
    def test_rows_the_module_reads(self, sim, station, function, fields, expected, capsys):
        sim.add_scenario("answer", serial="SN0009", proc=PROCEDURE[function], **fields)
        assert station.call(function, "SN0009") == expected
        row = {0: fields["text"]} if fields.get("columns") == 1 else {0: fields["text"], 1: fields["code"]}
        assert capsys.readouterr().out == "TVR MES GetUnitInfo: %s\n" % (row,)

    @pytest.mark.parametrize("function", BOTH)
    @pytest.mark.parametrize("fields, row, context", [
        ({"text": 'NG "a" and "b"', "code": 1}, {0: 'NG "a" and "b"', 1: 1}, None),
        ({"text": '"""', "code": 0}, {0: '"""', 1: 0}, None),
        ({"text": "OK", "columns": 1}, {0: "OK"}, ValueError),
        ({"text": "1.5", "columns": 1}, {0: "1.5"}, ValueError),
        ({"text": None, "columns": 1}, {0: None}, TypeError),
    ], ids=["three-quotes", "only-quotes", "one-column-word", "one-column-decimal", "one-column-null"])
    def test_rows_the_module_cannot_read(self, sim, station, tv, function, fields, row, context, capfd):
        sim.add_scenario("answer", serial="SN0009", proc=PROCEDURE[function], **fields)
        with pytest.raises(tv.MESError) as info:
            station.call(function, "SN0009")
        assert info.value.result == row
        assert str(info.value) == str(row)
        assert type(info.value.__context__) is (context or type(None))
        out, err = capfd.readouterr()
        assert out == "TVR MES GetUnitInfo: %s\n" % (row,)
        if context is not None:
            assert err.rstrip().endswith(context.__name__ + ": " + str(info.value.__context__))

    @pytest.mark.parametrize("function", BOTH)
    def test_a_delayed_answer_is_the_mes_answer(self, sim, station, function):
        serial = sim.add_unit()
        sim.add_scenario("delay", serial=serial, delay=0.2)
        expected = {"GetUnitInfo": f"Unit {serial} may be tested at FT1",
                    "SaveResult": f"Saved PASS of {serial} at FT1"}[function]
        code, message = station.call(function, serial)
        assert code == 0 and message.startswith(expected)

    def test_feedback_is_cut_to_what_each_batch_declares(self, sim, station):
        sim.add_scenario("answer", serial="SN0009", text="长" * 5000, code=0, once=0)
        assert station.query("SN0009") == (0, "长" * 4000)
        assert station.upload("SN0009") == (0, "长" * 500)


class TestConnectionsAreClosed:
    """Each call's connection is closed when the call returns, whatever the
    outcome: a station makes thousands of calls in a shift, and every
    connection left open holds a socket here and a session on the MES."""

    @pytest.mark.parametrize("function, scenario, serial, outcome", [
        ("GetUnitInfo", None, "SN0001", "answer"),
        ("GetUnitInfo", None, "SN0005", "refusal"),
        ("GetUnitInfo", {"action": "error"}, "SN0001", IOError),
        ("GetUnitInfo", {"action": "drop_mid_batch"}, "SN0001", IOError),
        ("GetUnitInfo", {"action": "answer", "text": 'a"b"c"d', "code": 0}, "SN0001", "MESError"),
        ("SaveResult", {"action": "error"}, "SN0001", IOError),
        ("SaveResult", {"action": "drop_mid_batch"}, "SN0001", IOError),
        ("SaveResult", None, "SN0005", "refusal"),
        ("SaveResult", None, None, "answer"),
        ("SaveResult", {"action": "answer", "text": 'a"b"c"d', "code": 0}, "SN0001", "MESError"),
    ])
    def test_no_connection_is_left_open(self, sim, station, tv, function, scenario, serial, outcome):
        serial = serial or sim.add_unit()
        if scenario:
            scenario = dict(scenario)
            sim.add_scenario(scenario.pop("action"), serial=serial, **scenario)
        before = open_connections(sim.port)
        if outcome in ("answer", "refusal"):
            code, _ = station.call(function, serial)
            assert (code == 0) == (outcome == "answer")
        else:
            with pytest.raises(tv.MESError if outcome == "MESError" else outcome):
                station.call(function, serial)
        assert open_connections(sim.port) == before

    @pytest.mark.parametrize("function", BOTH)
    def test_no_connection_is_left_open_when_a_text_has_no_gbk_form(self, sim, station, function):
        before = open_connections(sim.port)
        with pytest.raises(UnicodeEncodeError):
            station.call(function, "SN0001", procedure="FT1 €")
        assert open_connections(sim.port) == before
