"""Batch parsing on its own, fed with the text the driver builds (its own client-side quoting)."""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from pymssql import _mssql

from simulator_support import SAVE_RESULT, UNIT_QUERY
from mes_simulator.batch import SqlError, parse_batch


def parse(text):
    return parse_batch(text, "MES", "gbk")


def as_driver_sends(batch, params):
    return _mssql.substitute_params(batch, params).decode("utf-8")


@settings(max_examples=200, deadline=None)
@given(serial=st.text(st.characters(blacklist_categories=("Cs",), blacklist_characters="\x00")),
       employee=st.text(st.characters(min_codepoint=0x4E00, max_codepoint=0x9FA5), max_size=8),
       error_no=st.one_of(st.integers(-2**40, 2**40), st.none()))
def test_any_parameter_values_arrive_unchanged(serial, employee, error_no):
    batch = parse(as_driver_sends(SAVE_RESULT, (serial, b"FT1", employee.encode("gbk"), b"L1",
                                                "PASS", error_no)))
    assert batch.kind == "call" and batch.procedure.name == "uspSaveResult"
    assert batch.args == [serial, "FT1", employee, "L1", "PASS",
                          None if error_no is None else str(error_no)]


def test_literal_forms():
    text = UNIT_QUERY % ("N'a''b'", "'x''y'", "0xd5c5c8fd", "-00012")
    assert parse(text).args == ["a'b", "x'y", "张三", "-12"]
    assert parse(UNIT_QUERY % ("0x5300", "NULL", "0x", "+7")).args == ["S", None, "", "7"]


def test_sql_server_conversions():
    # bytes into the nvarchar serial are read as UTF-16; text into varchar loses what GBK lacks
    assert parse(UNIT_QUERY % ("0x41004200", "N'😀'", "1.50", "0xff")).args == ["AB", "?", "1.50", "?"]


def test_whitespace_comments_case_and_brackets_as_sql_server_reads_them():
    text = ("/* station */ declare @outputxmls NVARCHAR ( 4000 ) ,@return INT;"
            "EXECUTE [dbo].[uspGetUnitInfo]\tN'SN1',\r\n'FT1' ,'e','l',@OutPutxmls OUTPUT,"
            "@RETURN OUT -- comment\nselect @OutPutxmls,@RETURN")
    with pytest.raises(SqlError):  # the template's ';' after the EXEC is missing
        parse(text)
    assert parse(text.replace("OUT -- comment", "OUT; -- comment").replace("@RETURN\n", "@RETURN;\n") + ";"
                 ).args == ["SN1", "FT1", "e", "l"]
    assert parse(UNIT_QUERY.replace("dbo.", "MES.dbo.") % ("1", "2", "3", "4")).args == ["1", "2", "3", "4"]


@pytest.mark.parametrize("text, number", [
    (UNIT_QUERY % ("N'SN1", "'a'", "'b'", "'c'"), 105),
    ("select N'abc", 105),
    ("/* never closed", 113),
    (UNIT_QUERY % ("SN0001", "'a'", "'b'", "'c'"), 102),       # a bare word is no literal
    (UNIT_QUERY % ("1e5", "'a'", "'b'", "'c'"), 102),
    (UNIT_QUERY % ("@x", "'a'", "'b'", "'c'"), 102),
    (UNIT_QUERY % ("'a'", "'b'", "'c'", "'d'; DROP TABLE units"), 102),
    (UNIT_QUERY.replace("uspGetUnitInfo", "other.uspGetUnitInfo") % ("1", "2", "3", "4"), 2812),
    ("exec", 102),
    ("SET @x = 1", 102),
])
def test_malformed_batches_are_errors(text, number):
    with pytest.raises(SqlError) as caught:
        parse(text)
    assert caught.value.number == number


def test_session_batches():
    assert parse("SET ARITHABORT ON;SET TEXTSIZE 2147483647;").kind == "session"
    assert parse("use [MES]").kind == "use"
    assert parse("  ").kind == "empty"
