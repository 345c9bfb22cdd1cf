"""GetUnitInfo against a scripted driver bound on the module, and against
the real driver for an unreachable server."""

import socket

import pytest

from fakes import DriverError

BATCH = ("\n"
         "DECLARE @OutPutxmls nvarchar(4000), @RETURN int ;\n"
         "exec dbo.uspGetUnitInfo %s, %s, %s, %s, @OutPutxmls OUT, @RETURN OUT ;\n"
         "SELECT @OutPutxmls, @RETURN;\n")

ARGS = dict(server="mes-host", user="station", password="secret", database="MES", serial_number="SN0001",
            procedure="FT1", employee="张三", line_name="线体1")


def query(tv, **changes):
    return tv.GetUnitInfo(**dict(ARGS, **changes))


def test_batch_text_is_exact():
    assert len(BATCH) == 151


def test_success_connects_runs_closes_then_reads(tv, driver, capsys):
    driver.row = {0: 'OK "Unit SN0001 may be tested at FT1"', 1: 0}
    assert query(tv) == (0, "Unit SN0001 may be tested at FT1")
    assert driver.names() == ["connect", "execute_row", "close"]
    connect = driver.events[0]
    assert connect == ("connect", (), dict(server="mes-host", user="station", password="secret",
                                           database="MES"))
    assert list(connect[2]) == ["server", "user", "password", "database"]
    assert driver.events[2] == ("close", (), {})
    assert capsys.readouterr().out == "TVR MES GetUnitInfo: %s\n" % (driver.row,)


def test_batch_and_parameters_reach_the_driver_as_specified(tv, driver):
    serial = object()
    query(tv, serial_number=serial)
    batch, params = driver.executed()
    assert type(batch) is str and batch == BATCH
    assert type(params) is tuple and len(params) == 4
    assert params[0] is serial
    assert params[1:] == (b"FT1", "张三".encode("gbk"), "线体1".encode("gbk"))
    assert len(params[2]) == 4  # two Chinese characters, two bytes each
    assert [e[2] for e in driver.events if e[0] == "execute_row"] == [{}]


def test_only_the_connection_parameters_go_to_connect_unchanged(tv, driver):
    server, user, password, database = object(), object(), object(), object()
    query(tv, server=server, user=user, password=password, database=database)
    kwargs = driver.events[0][2]
    assert kwargs["server"] is server and kwargs["user"] is user
    assert kwargs["password"] is password and kwargs["database"] is database


def test_connection_is_closed_before_the_answer_is_read(tv, driver, monkeypatch):
    seen = []

    def reader(res):
        seen.append((res, driver.connections[0]().closed))
        return "answer"

    monkeypatch.setattr(tv, "process_mes_result", reader)
    assert query(tv) == "answer"
    assert seen == [(driver.row, True)]


def test_the_answer_is_returned_unchanged(tv, driver, monkeypatch):
    answer = object()
    monkeypatch.setattr(tv, "process_mes_result", lambda res: answer)
    assert query(tv) is answer


def test_mes_error_of_the_answer_reaches_the_caller(tv, driver):
    driver.row = ('a"b"c"d', 1)
    with pytest.raises(tv.MESError) as info:
        query(tv)
    assert info.value.result is driver.row
    assert driver.names() == ["connect", "execute_row", "close"]


def test_connect_failure(tv, driver):
    driver.connect_error = DriverError("server unreachable")
    with pytest.raises(IOError) as info:
        query(tv)
    assert type(info.value) is OSError
    assert info.value.args == ("SQLError: Connect to Database Server Failed: server unreachable",)
    assert info.value.__context__ is driver.connect_error
    assert info.value.__cause__ is None
    assert driver.names() == ["connect"]


def test_missing_driver_is_a_connect_failure(tv, monkeypatch):
    monkeypatch.delattr(tv, "_sql")
    with pytest.raises(IOError) as info:
        query(tv)
    assert str(info.value) == "SQLError: Connect to Database Server Failed: name '_sql' is not defined"
    assert isinstance(info.value.__context__, NameError)


def test_driver_without_connect_is_a_connect_failure(tv, monkeypatch):
    monkeypatch.setattr(tv, "_sql", object())
    with pytest.raises(IOError, match="^SQLError: Connect to Database Server Failed: .*connect"):
        query(tv)


@pytest.mark.parametrize("interruption", [KeyboardInterrupt, SystemExit])
def test_interruptions_during_connect_pass_unchanged(tv, driver, interruption):
    driver.connect_error = interruption()
    with pytest.raises(interruption) as info:
        query(tv)
    assert info.value is driver.connect_error


@pytest.mark.parametrize("field", ["procedure", "employee", "line_name"])
def test_text_that_gbk_cannot_represent_raises_the_codec_error(tv, driver, field):
    with pytest.raises(UnicodeEncodeError) as info:
        query(tv, **{field: "price €5"})
    assert info.value.encoding == "gbk"
    assert driver.names() == ["connect", "close"], "no batch, and the connection is closed"
    driver.close_error = DriverError("close failed")
    with pytest.raises(UnicodeEncodeError):
        query(tv, **{field: "price €5"})


def test_texts_are_encoded_in_order(tv, driver):
    with pytest.raises(UnicodeEncodeError) as info:
        query(tv, procedure="€", employee=b"bytes have no encode")
    assert info.value.object == "€"
    with pytest.raises(AttributeError):
        query(tv, employee=b"bytes have no encode")


def test_batch_failure_closes_and_raises_io_error(tv, driver, capsys):
    driver.execute_error = DriverError("Could not find stored procedure 'dbo.uspGetUnitInfo'.")
    with pytest.raises(IOError) as info:
        query(tv)
    assert str(info.value) == ("SQLError: uspGetUnitInfo Failed: "
                               "Could not find stored procedure 'dbo.uspGetUnitInfo'.")
    assert info.value.__context__ is driver.execute_error
    assert driver.names() == ["connect", "execute_row", "close"]
    assert capsys.readouterr().out == ""


def test_connection_without_execute_row_is_a_batch_failure(tv, driver, monkeypatch):
    from fakes import FakeConnection
    monkeypatch.delattr(FakeConnection, "execute_row")
    with pytest.raises(IOError, match="^SQLError: uspGetUnitInfo Failed: .*execute_row"):
        query(tv)
    assert driver.names() == ["connect", "close"]


def test_interruption_during_the_batch_still_closes(tv, driver):
    driver.execute_error = KeyboardInterrupt()
    with pytest.raises(KeyboardInterrupt) as info:
        query(tv)
    assert info.value is driver.execute_error
    assert driver.names() == ["connect", "execute_row", "close"]


def test_close_error_after_success_wins_and_the_answer_is_not_read(tv, driver, capsys):
    driver.close_error = DriverError("close failed")
    with pytest.raises(DriverError) as info:
        query(tv)
    assert info.value is driver.close_error
    assert info.value.__context__ is None
    assert capsys.readouterr().out == ""


def test_close_error_after_a_batch_failure_replaces_it(tv, driver):
    driver.execute_error = DriverError("batch failed")
    driver.close_error = DriverError("close failed")
    with pytest.raises(DriverError) as info:
        query(tv)
    assert info.value is driver.close_error
    pending = info.value.__context__
    assert isinstance(pending, OSError)
    assert str(pending) == "SQLError: uspGetUnitInfo Failed: batch failed"
    assert pending.__context__ is driver.execute_error


def test_the_handled_exception_of_the_caller_is_restored(tv, driver):
    import sys
    driver.execute_error = DriverError("batch failed")
    try:
        raise LookupError("outer")
    except LookupError as outer:
        with pytest.raises(IOError):
            query(tv)
        assert sys.exc_info()[1] is outer


def test_rebinding_the_driver_takes_effect_at_the_next_call(tv, monkeypatch):
    from fakes import FakeDriver
    first, second = FakeDriver(), FakeDriver()
    second.row = ("second", 2)
    monkeypatch.setattr(tv, "_sql", first)
    assert query(tv) == (0, "OK")
    monkeypatch.setattr(tv, "_sql", second)
    assert query(tv) == (2, "second")
    assert len(first.events) == len(second.events) == 3


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def test_unreachable_server_with_the_real_driver(tv):
    from pymssql import _mssql
    port = free_port()
    with pytest.raises(IOError) as info:
        query(tv, server="127.0.0.1:%d" % port)
    cause = info.value.__context__
    assert isinstance(cause, _mssql.MSSQLException)
    assert str(info.value) == "SQLError: Connect to Database Server Failed: %s" % (cause,)
