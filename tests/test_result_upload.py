"""SaveResult against a scripted driver bound on the module."""

import pytest

from fakes import DriverError

BATCH = ("\n"
         "DECLARE @Msg nvarchar(500), @RETURN int ;\n"
         "exec dbo.uspSaveResult %s, %s, %s, %s, %s, %s, @Msg OUT, @RETURN OUT ;\n"
         "SELECT @Msg, @RETURN;\n")

ARGS = dict(server="mes-host", user="station", password="secret", database="MES", serial_number="SN0001",
            procedure="FT1", employee="张三", line_name="线体1", result=True, error_no=0)


def upload(tv, **changes):
    return tv.SaveResult(**dict(ARGS, **changes))


def test_batch_text_is_exact():
    assert len(BATCH) == 136


def test_success_reads_the_answer_then_closes(tv, driver, capsys):
    driver.row = {0: 'OK "Result PASS recorded"', 1: 0}
    assert upload(tv) == (0, "Result PASS recorded")
    assert driver.names() == ["connect", "execute_row", "close"]
    assert driver.events[0] == ("connect", (), dict(server="mes-host", user="station", password="secret",
                                                    database="MES"))
    assert capsys.readouterr().out == "TVR MES GetUnitInfo: %s\n" % (driver.row,)


def test_batch_and_parameters_reach_the_driver_as_specified(tv, driver):
    serial, error_no = object(), object()
    upload(tv, serial_number=serial, error_no=error_no)
    batch, params = driver.executed()
    assert type(batch) is str and batch == BATCH
    assert type(params) is tuple and len(params) == 6
    assert params[0] is serial
    assert params[1:4] == (b"FT1", "张三".encode("gbk"), "线体1".encode("gbk"))
    assert params[4] == "PASS" and type(params[4]) is str
    assert params[5] is error_no


class Truthy:
    def __bool__(self):
        return True


class Falsy:
    def __len__(self):
        return 0


@pytest.mark.parametrize("result, verdict", [
    (True, "PASS"), (1, "PASS"), ("PASS", "PASS"), ("FAIL", "PASS"), ([0], "PASS"), (Truthy(), "PASS"),
    (False, "FAIL"), (None, "FAIL"), (0, "FAIL"), ("", "FAIL"), (0.0, "FAIL"), ([], "FAIL"), (Falsy(), "FAIL"),
])
def test_verdict_is_the_truth_of_result(tv, driver, result, verdict):
    upload(tv, result=result)
    assert driver.executed()[1][4] == verdict


def test_a_failing_truth_test_passes_unchanged_before_any_batch(tv, driver):
    class Untestable:
        def __bool__(self):
            raise ZeroDivisionError("no truth")

    with pytest.raises(ZeroDivisionError):
        upload(tv, result=Untestable())
    assert driver.names() == ["connect", "close"]


def test_the_answer_is_read_while_the_connection_is_open(tv, driver, monkeypatch):
    seen = []

    def reader(res):
        conn = driver.connections[0]()
        seen.append((res, conn is not None and not conn.closed))
        return "answer"

    monkeypatch.setattr(tv, "process_mes_result", reader)
    assert upload(tv) == "answer"
    assert seen == [(driver.row, True)]
    assert driver.names() == ["connect", "execute_row", "close"]


def test_mes_error_of_the_answer_reaches_the_caller_after_close(tv, driver):
    driver.row = ('"a"b"c"', 1)
    with pytest.raises(tv.MESError):
        upload(tv)
    assert driver.names() == ["connect", "execute_row", "close"]


def test_a_failing_close_after_the_answer_does_not_hide_it(tv, driver):
    driver.row = ('OK "recorded"', 0)
    driver.close_error = DriverError("close failed")
    assert upload(tv) == (0, "recorded")
    driver.row = ('"a"b"c"', 1)
    with pytest.raises(tv.MESError) as info:
        upload(tv)
    assert info.value.__context__ is None
    driver.close_error = KeyboardInterrupt()  # an interrupt is not swallowed
    with pytest.raises(KeyboardInterrupt):
        upload(tv)


def test_connect_failure(tv, driver):
    driver.connect_error = DriverError("server unreachable")
    with pytest.raises(IOError) as info:
        upload(tv)
    assert info.value.args == ("SQLError: Connect to Database Server Failed: server unreachable",)
    assert info.value.__context__ is driver.connect_error
    assert driver.names() == ["connect"]


def test_text_that_gbk_cannot_represent_fails_before_the_verdict(tv, driver):
    class Untestable:
        def __bool__(self):
            raise AssertionError("verdict computed")

    with pytest.raises(UnicodeEncodeError):
        upload(tv, line_name="€", result=Untestable())
    assert driver.names() == ["connect", "close"]


def test_batch_failure_closes_once_then_raises_io_error(tv, driver, capsys):
    driver.execute_error = DriverError("Procedure expects parameter '@Result'.")
    with pytest.raises(IOError) as info:
        upload(tv)
    assert str(info.value) == "SQLError: uspSaveResult Failed: Procedure expects parameter '@Result'."
    assert info.value.__context__ is driver.execute_error
    assert driver.names() == ["connect", "execute_row", "close"]
    assert capsys.readouterr().out == ""


def test_close_error_after_a_batch_failure_wins(tv, driver):
    driver.execute_error = DriverError("batch failed")
    driver.close_error = DriverError("close failed")
    with pytest.raises(DriverError) as info:
        upload(tv)
    assert info.value is driver.close_error
    assert info.value.__context__ is driver.execute_error
    assert driver.names() == ["connect", "execute_row", "close"]


def test_the_io_error_is_built_after_close(tv, driver, monkeypatch):
    import fakes
    order = []

    class Reported(Exception):
        def __str__(self):
            order.append("message")
            return "reported"

    real_close = fakes.FakeConnection.close

    def close(conn):
        order.append("close")
        return real_close(conn)

    monkeypatch.setattr(fakes.FakeConnection, "close", close)
    driver.execute_error = Reported()
    with pytest.raises(IOError, match="reported"):
        upload(tv)
    assert order == ["close", "message"]


@pytest.mark.parametrize("interruption", [KeyboardInterrupt, SystemExit])
def test_interruption_during_the_batch_passes_after_close(tv, driver, interruption):
    driver.execute_error = interruption()
    with pytest.raises(interruption):
        upload(tv)
    assert driver.names() == ["connect", "execute_row", "close"]


def test_keywords_in_any_order_equal_positions(tv, driver):
    by_position = tv.SaveResult(*ARGS.values())
    by_keyword = tv.SaveResult(**dict(reversed(list(ARGS.items()))))
    assert by_position == by_keyword
    first, second = [e for e in driver.events if e[0] == "execute_row"]
    assert first == second
    with pytest.raises(TypeError):
        tv.SaveResult(*list(ARGS.values())[:9])
    with pytest.raises(TypeError, match="multiple values for argument 'error_no'"):
        tv.SaveResult(*ARGS.values(), error_no=1)
