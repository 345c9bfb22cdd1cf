"""The wire face of the simulator: the bytes of date and time types and decimal(38), RPC
output parameters in their places, the DONE counts after SET NOCOUNT and SET FMTONLY, login
bytes and bulk load, as SQL Server sends them.  Cases are tables (request, expected answer);
they run through the bare TDS client where the tokens themselves are the answer, or through
the real pymssql driver at each TDS version.  What a statement answers is the battery's, in
test_sim_statements.py."""

import struct
import uuid
from datetime import date, datetime, time
from decimal import Decimal

import pytest

from tds_wire import Client

COLLATION = bytes.fromhex("0408d00000")


def intn(value):
    return b"\x26\x04", b"\x00" if value is None else b"\x04" + struct.pack("<i", value)


def nvarchar(value, size=4000):
    data = b"\xff\xff" if value is None else struct.pack("<H", 2 * len(value)) + value.encode(
        "utf-16-le")
    return b"\xe7" + struct.pack("<H", 2 * size) + COLLATION, data


def param(name, output, typed):
    return (name, output) + typed


@pytest.fixture
def wire(sim):
    client = Client(sim.host, sim.port, sim.user, sim.password)
    yield client
    client.close()


def returns(tokens):
    return [fields for kind, fields in tokens if kind == "return"]


# (procedure, parameters, RETURNVALUE tokens: (ordinal = place in the call, name, value))
OUTPUT_CASES = [
    ("sp_executesql",
     [param("", False, nvarchar("SET @b = @a + 1; SET @c = 7")),
      param("", False, nvarchar("@a int, @b int OUTPUT, @c int OUTPUT")),
      param("@a", False, intn(1)), param("@b", True, intn(None)), param("@c", True, intn(None))],
     [(3, "@b", 2), (4, "@c", 7)]),
    ("sp_executesql",  # outputs named out of their declared order come back in call order
     [param("", False, nvarchar("SET @b = @a + 1; SET @c = 7")),
      param("", False, nvarchar("@a int, @b int OUTPUT, @c int OUTPUT")),
      param("@c", True, intn(None)), param("@a", False, intn(5)), param("@b", True, intn(None))],
     [(2, "@c", 7), (4, "@b", 6)]),
    ("sp_executesql",  # an input among the outputs keeps its place
     [param("", False, nvarchar("SET @b = 3")), param("", False, nvarchar("@b int OUTPUT")),
      param("@b", True, intn(None))],
     [(2, "@b", 3)]),
    ("dbo.uspGetUnitInfo",
     [param("@SerialNumber", False, nvarchar("SN0001")), param("@Procedure", False,
                                                              nvarchar("FT1")),
      param("@Employee", False, nvarchar("E1")), param("@LineName", False, nvarchar("L1")),
      param("@OutPutxmls", True, nvarchar(None)), param("@RETURN", True, intn(None))],
     [(4, "@OutPutxmls", 'OK "Unit SN0001 may be tested at FT1 by E1 on L1"'),
      (5, "@RETURN", 0)]),
    ("dbo.uspGetUnitInfo",  # only the parameters marked OUTPUT come back
     [param("@SerialNumber", False, nvarchar("SN0404")), param("@Procedure", False,
                                                              nvarchar("FT1")),
      param("@Employee", False, nvarchar("E1")), param("@LineName", False, nvarchar("L1")),
      param("@OutPutxmls", False, nvarchar(None)), param("@RETURN", True, intn(None))],
     [(5, "@RETURN", 1)]),
]


@pytest.mark.parametrize("proc, params, expected", OUTPUT_CASES)
def test_rpc_output_parameters_carry_their_place_in_the_call(wire, proc, params, expected):
    tokens = wire.rpc(proc, params)
    assert returns(tokens) == expected
    assert ("status", 0) in tokens and tokens[-1][1][0] == "DONEPROC"


# (expression, value as a TDS 7.3+ client reads it through pymssql, text a TDS 7.1 client gets)
DATE_CASES = [
    ("CAST('2024-05-01' AS date)", date(2024, 5, 1), "2024-05-01"),
    ("CAST('0001-01-01' AS date)", date(1, 1, 1), "0001-01-01"),
    ("CAST('9999-12-31' AS date)", date(9999, 12, 31), "9999-12-31"),
    ("CAST('08:00:00.123456' AS time(7))", time(8, 0, 0, 123000), "08:00:00.1234560"),
    ("CAST('08:00:00.1234567' AS time(7))", time(8, 0, 0, 123000), "08:00:00.1234567"),
    ("CAST('2024-05-01 08:00:00.1234565' AS datetime2(6))",
     datetime(2024, 5, 1, 8, 0, 0, 123000), "2024-05-01 08:00:00.123457"),
    ("CAST('08:00:00.125' AS time(2))", time(8, 0, 0, 130000), "08:00:00.13"),
    ("CAST('23:59:59.6' AS time(0))", time(0, 0), "00:00:00"),
    ("CAST('2024-05-01 08:00:00.125' AS datetime2(2))", datetime(2024, 5, 1, 8, 0, 0, 130000),
     "2024-05-01 08:00:00.13"),
    ("CAST('2024-12-31 23:59:59.5' AS datetime2(0))", datetime(2025, 1, 1),
     "2025-01-01 00:00:00"),
    ("CAST('2024-05-01 08:00:00.1' AS datetime2)", datetime(2024, 5, 1, 8, 0, 0, 100000),
     "2024-05-01 08:00:00.1000000"),
    ("CAST('2024-05-01 08:00:31' AS smalldatetime)", datetime(2024, 5, 1, 8, 1),
     datetime(2024, 5, 1, 8, 1)),
    ("CAST(12345678901234567890123456789.123456789 AS decimal(38, 9))",
     Decimal("12345678901234567890123456789.123456789"),
     Decimal("12345678901234567890123456789.123456789")),
    ("CAST(-99999999999999999999999999999999999999 AS decimal(38, 0))",
     Decimal("-99999999999999999999999999999999999999"),
     Decimal("-99999999999999999999999999999999999999")),
    ("CAST(-1.5 AS money)", Decimal("-1.5"), Decimal("-1.5")),
    ("CAST('6F9619FF-8B86-D011-B42D-00C04FC964FF' AS uniqueidentifier)",
     uuid.UUID("6F9619FF-8B86-D011-B42D-00C04FC964FF"),
     uuid.UUID("6F9619FF-8B86-D011-B42D-00C04FC964FF")),
    ("CAST(0.00000000000000000000000000000000000001 AS decimal(38, 38))",
     Decimal("1E-38"), Decimal("1E-38")),
]


@pytest.mark.parametrize("version", ["7.1", "7.3"])
def test_date_time_and_wide_decimal_columns_through_pymssql(sim, version):
    pymssql = pytest.importorskip("pymssql")
    db = pymssql.connect(server=sim.host, port=sim.port, user=sim.user, password=sim.password,
                         database=sim.database, tds_version=version)
    try:
        cur = db.cursor()
        cur.execute("SELECT " + ", ".join(expr for expr, _new, _old in DATE_CASES))
        got = cur.fetchone()
    finally:
        db.close()
    assert list(got) == [new if version == "7.3" else old for _expr, new, old in DATE_CASES]


# (declaration, value as the batch writes it, TYPE_INFO (code, scale), the value's bytes)
DATE_BYTES = [
    ("date", "'2024-05-01'", (0x28, 0), (739006).to_bytes(3, "little")),
    ("time(7)", "'08:00:00.5'", (0x29, 7), (288005000000).to_bytes(5, "little")),
    ("time(3)", "'08:00:00.5'", (0x29, 3), (28800500).to_bytes(4, "little")),
    ("time(7)", "'23:59:59.9999999'", (0x29, 7), (864000000000 - 1).to_bytes(5, "little")),
    ("datetime2(7)", "'2024-05-01 00:00:00.1234567'", (0x2A, 7),
     (1234567).to_bytes(5, "little") + (739006).to_bytes(3, "little")),
    ("datetimeoffset(7)", "'2024-05-01 00:00:00.0000001 +00:00'", (0x2B, 7),
     (1).to_bytes(5, "little") + (739006).to_bytes(3, "little") + bytes(2)),
    ("time(1)", "'00:00:01'", (0x29, 1), (10).to_bytes(3, "little")),
    ("datetime2(7)", "'0001-01-01 00:00:00.0000010'", (0x2A, 7),
     (10).to_bytes(5, "little") + bytes(3)),
    ("datetime2(4)", "'2024-05-01 00:00:01'", (0x2A, 4),
     (10000).to_bytes(4, "little") + (739006).to_bytes(3, "little")),
    ("datetimeoffset(0)", "'2024-05-01 08:00:00 +08:00'", (0x2B, 0),  # stored as UTC
     bytes(3) + (739006).to_bytes(3, "little") + struct.pack("<h", 480)),
    ("datetimeoffset(2)", "'2024-05-01 00:00:00.01 -01:30'", (0x2B, 2),
     (5400 * 100 + 1).to_bytes(3, "little") + (739006).to_bytes(3, "little")
     + struct.pack("<h", -90)),
    ("money", "-1.5", (0x6E, 8), struct.pack("<iI", -1, 2 ** 32 - 15000)),
    ("money", "922337203685477.5807", (0x6E, 8), struct.pack("<iI", 2 ** 31 - 1, 2 ** 32 - 1)),
    ("smallmoney", "-214748.3648", (0x6E, 4), struct.pack("<i", -2 ** 31)),
    ("uniqueidentifier", "'{6f9619ff-8b86-d011-b42d-00c04fc964ff}'", (0x24, 16),
     bytes.fromhex("ff19966f868b11d0b42d00c04fc964ff")),
    ("decimal(38, 2)", "-1.5", (0x6C, 2), b"\x00" + (150).to_bytes(16, "little")),
    ("numeric(20, 0)", "99999999999999999999", (0x6C, 0),
     b"\x01" + (10 ** 20 - 1).to_bytes(12, "little")),
]


@pytest.mark.parametrize("declaration, written, type_info, raw", DATE_BYTES)
def test_date_time_and_decimal_bytes_on_the_wire(wire, declaration, written, type_info, raw):
    tokens = wire.batch("DECLARE @v %s = %s; SELECT @v AS v" % (declaration, written))
    assert tokens[0] == ("columns", [("v", type_info[0])])
    assert tokens[1] == ("row", (raw,))


@pytest.mark.parametrize("declaration, written, type_info, raw", DATE_BYTES)
def test_date_time_and_decimal_parameters_come_back_as_sent(wire, declaration, written,
                                                            type_info, raw):
    """An RPC parameter of the type is read, kept and sent back unchanged (as an output
    value and as a column)."""
    code, scale = type_info
    if code == 0x28:
        info = b"\x28"
    elif code == 0x6C:
        info = bytes([0x6C, 17, 38 if "38" in declaration else 20, scale])
    elif code == 0x6E:
        info = bytes([0x6E, scale])
    else:
        info = bytes([code, scale])
    tokens = wire.rpc("sp_executesql", [
        param("", False, nvarchar("SET @out = @in; SELECT @in AS v")),
        param("", False, nvarchar("@in %s, @out %s OUTPUT" % (declaration, declaration))),
        ("@in", False, info, bytes([len(raw)]) + raw),
        ("@out", True, info, b"\x00")])
    assert [t for t in tokens if t[0] in ("row", "return")] == [
        ("row", (raw,)), ("return", (3, "@out", raw))]


def shape(tokens):
    """Tokens as a reply's outline: columns (name, type code), rows, DONE kinds with their
    counts (None when the DONE does not count), errors by number."""
    out = []
    for kind, fields in tokens:
        if kind == "done":
            out.append((fields[0], fields[3] if fields[1] & 0x10 else None))
        elif kind == "error":
            out.append(("error", fields[0]))
        elif kind in ("columns", "row", "status"):
            out.append((kind, fields))
    return out


NO_COUNT = ("DONE", None)
# (batches of SET statements alone, a batch after them, its outline): after SET NOCOUNT ON
# and under SET FMTONLY ON the batch's DONE counts no rows, the second time the same text comes
# as well as the first
SET_ONLY_CASES = [
    (["SET NOCOUNT ON;SET TEXTSIZE 2147483647;"], "SELECT 1 AS one",
     [("columns", [("one", 0x26)]), ("row", (1,)), NO_COUNT]),
    (["SET FMTONLY ON"], "SELECT 1 AS one; UPDATE dbo.units SET step = 9",
     [("columns", [("one", 0x26)]), NO_COUNT, NO_COUNT]),
]


@pytest.mark.parametrize("settings, batch, expected", SET_ONLY_CASES)
def test_settings_of_a_set_only_batch_hold_each_time(sim, wire, settings, batch, expected):
    for _ in range(2):
        client = Client(sim.host, sim.port, sim.user, sim.password)
        try:
            for text in settings:
                reply = shape(client.batch(text))
                assert reply[-1][0] == "DONE" and ("error", 102) not in reply[:-1]
            assert shape(client.batch(batch)) == expected
        finally:
            client.close()
    assert sim.unit("SN0001")["step"] == 0


FAILS_AT_ROW_2000 = ("WITH n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 3000) "
                     "SELECT i, 1 / (2000 - i) AS q FROM n OPTION (MAXRECURSION 0); "
                     "SELECT 7 AS after")


@pytest.mark.parametrize("setting, counted", [("SET NOCOUNT OFF", True),
                                              ("SET NOCOUNT ON", False)])
def test_error_met_after_rows_went_out_follows_them(wire, setting, counted):
    """A result is sent while it is read: the rows before the failing one go out, then the
    error, then a DONE with the error bit that counts the rows sent; the batch goes on."""
    wire.batch(setting)
    tokens = wire.batch(FAILS_AT_ROW_2000)
    rows = [fields for kind, fields in tokens if kind == "row"]
    sent = len(rows) - 1  # the last one is the next statement's
    assert sent > 1000  # far more than one chunk of the result went out before the error
    assert [row[0] for row in rows[:sent]] == list(range(1, sent + 1))
    error = next(n for n, (kind, _f) in enumerate(tokens) if kind == "error")
    assert error == sent + 1 and tokens[error][1][0] == 8134  # after the columns and rows
    token, status, command, count = tokens[error + 1][1]
    assert status & 0x02 and command == 0xC1  # DONE_ERROR, of a SELECT
    assert (count if status & 0x10 else None) == (sent if counted else None)
    assert shape(tokens[error + 2:]) == [("columns", [("after", 0x26)]), ("row", (7,)),
                                         ("DONE", 1 if counted else None)]


def test_the_same_login_bytes_are_answered_alike_each_time(sim):
    # a client's LOGIN7 is the same bytes on each of its connections: good twice, bad twice
    for password, accepted in [(sim.password, True), ("not " + sim.password, False)] * 2:
        client = Client(sim.host, sim.port, sim.user, password)
        try:
            if accepted:
                assert shape(client.batch("SELECT 1 AS one"))[-1] == ("DONE", 1)
            else:  # refused, and closed
                with pytest.raises(ConnectionError):
                    client.batch("SELECT 1 AS one")
        finally:
            client.close()


def bulk_message(columns, rows, nbc=False):
    """A bulk-load message: columns (name, TYPE_INFO), rows of encoded values (None: NULL
    in an NBCROW)."""
    out = b"\x81" + struct.pack("<H", len(columns))
    for name, type_info in columns:
        out += b"\x00\x00\x00\x00\x09\x00" + type_info + bytes([len(name)]) + name.encode(
            "utf-16-le")
    for row in rows:
        if nbc:
            bits = sum(1 << n for n, value in enumerate(row) if value is None)
            out += b"\xd2" + bits.to_bytes((len(row) + 7) // 8, "little") + b"".join(
                v for v in row if v is not None)
        else:
            out += b"\xd1" + b"".join(row)
    return out + b"\xfd" + bytes(12)


def nv(value):
    return nvarchar(value, 50)[1]


NV50 = nvarchar(None, 50)[0]
UNIT_COLUMNS = [("serial", NV50), ("product", NV50), ("route", nvarchar(None, 200)[0]),
                ("step", b"\x26\x04")]
UNITS = ("INSERT BULK dbo.units ([serial] NVARCHAR(50), [product] NVARCHAR(50), [route] "
         "NVARCHAR(200), [step] INT)")
RESULT_COLUMNS = [("id", b"\x26\x04")] + [(name, NV50) for name in (
    "serial", "procedure", "employee", "line", "verdict")] + [("tested_at", b"\x2a\x00")]
RESULTS = ("insert bulk MES.dbo.results (id int, serial nvarchar(50), [procedure] nvarchar(50), "
           "employee nvarchar(50), line nvarchar(50), verdict nvarchar(10), tested_at "
           "datetime2(0))")
AT = (1000).to_bytes(3, "little") + (739006).to_bytes(3, "little")  # 2024-05-01 00:16:40


def unit(serial, step):
    return [nv(serial), nv("M4R-100"), nv("FT1,PACK"), step if step is None else intn(step)[1]]


def result(serial, moment=b"\x06" + AT):
    return [intn(999999)[1], nv(serial), nv("FT1"), nv("张三"), nv("一线"), nv("PASS"), moment]


# (INSERT BULK statement, the message's columns and rows, reply to the statement, reply to the
# rows, the units and results of serial BW-... after it)
BULK_CASES = [
    ("units", UNITS, UNIT_COLUMNS, [unit("BW-1", 2), unit("BW-2", 0)], False,
     [NO_COUNT], [("DONE", 2)], {"BW-1": 2, "BW-2": 0}, []),
    ("null bitmap rows", UNITS + " WITH (TABLOCK, ROWS_PER_BATCH = 2)", UNIT_COLUMNS,
     [unit("BW-3", 1), unit("BW-4", None)], True,  # a NULL takes the column's default
     [NO_COUNT], [("DONE", 2)], {"BW-3": 1, "BW-4": 0}, []),
    ("KEEP_NULLS", UNITS + " WITH (KEEP_NULLS)", UNIT_COLUMNS,
     [unit("BW-12", 1), unit("BW-13", None)], True,
     [NO_COUNT], [("error", 515), ("DONE", None)], {}, []),
    ("a NULL takes the default", "INSERT BULK dbo.units (serial nvarchar(50), product "
     "nvarchar(50), route nvarchar(200), status nvarchar(10))",
     [("serial", nvarchar(None, 50)[0]), ("product", nvarchar(None, 50)[0]),
      ("route", nvarchar(None, 200)[0]), ("status", nvarchar(None, 10)[0])],
     [[nv("BW-5"), nv("P"), nv("FT1"), b"\xff\xff"]], False,
     [NO_COUNT], [("DONE", 1)], {"BW-5": 0}, []),
    ("duplicate key: no row kept", UNITS, UNIT_COLUMNS,
     [unit("BW-6", 1), unit("SN0001", 1)], False,
     [NO_COUNT], [("error", 2627), ("DONE", None)], {}, []),
    ("identity generated", RESULTS, RESULT_COLUMNS,
     [result("BW-7")], False,
     [NO_COUNT], [("DONE", 1)], {}, [("BW-7", False, "2024-05-01 00:16:40")]),
    ("identity kept", RESULTS + " with (KEEP_IDENTITY)", RESULT_COLUMNS,
     [result("BW-8")], False,
     [NO_COUNT], [("DONE", 1)], {}, [("BW-8", True, "2024-05-01 00:16:40")]),
    ("a date into datetime2(0)", RESULTS.replace("datetime2(0))", "date)"),
     RESULT_COLUMNS[:-1] + [("tested_at", b"\x28")],
     [result("BW-15", b"\x03" + (739006).to_bytes(3, "little"))], False,
     [NO_COUNT], [("DONE", 1)], {}, [("BW-15", False, "2024-05-01 00:00:00")]),
    ("datetime2(7) rounded to datetime2(0)", RESULTS.replace("datetime2(0))", "datetime2(7))"),
     RESULT_COLUMNS[:-1] + [("tested_at", b"\x2a\x07")],
     [result("BW-16", b"\x08" + (15 * 10 ** 6).to_bytes(5, "little")
             + (739006).to_bytes(3, "little"))], False,
     [NO_COUNT], [("DONE", 1)], {}, [("BW-16", False, "2024-05-01 00:00:02")]),
    ("datetimeoffset keeps its local time", RESULTS.replace("datetime2(0))",
                                                          "datetimeoffset(0))"),
     RESULT_COLUMNS[:-1] + [("tested_at", b"\x2b\x00")],
     [result("BW-17", b"\x08" + bytes(3) + (739006).to_bytes(3, "little")
             + struct.pack("<h", 480))], False,
     [NO_COUNT], [("DONE", 1)], {}, [("BW-17", False, "2024-05-01 08:00:00")]),
    ("bad value length", RESULTS, RESULT_COLUMNS,
     [result("BW-9", b"\x05" + AT[:5])], False,
     [NO_COUNT], [("error", 4815), ("DONE", None)], {}, []),
    ("text into an int column", "INSERT BULK dbo.units (serial nvarchar(50), step nvarchar(5))",
     [("serial", nvarchar(None, 50)[0]), ("step", nvarchar(None, 5)[0])],
     [[nv("BW-10"), nv("x")]], False,
     [NO_COUNT], [("error", 4864), ("DONE", None)], {}, []),
    ("message ends inside a row", UNITS, UNIT_COLUMNS, [unit("BW-14", 1)[:2]], False,
     [NO_COUNT], [("error", 4815), ("DONE", None)], {}, []),
    ("longer than a batch may be", UNITS, UNIT_COLUMNS,
     [unit("BWL-%04d" % n, 0) for n in range(1500)], False,
     [NO_COUNT], [("DONE", 1500)], {}, []),
    ("fewer columns than announced", UNITS, UNIT_COLUMNS[:3], [unit("BW-11", 1)[:3]], False,
     [NO_COUNT], [("error", 4816), ("DONE", None)], {}, []),
]


@pytest.mark.parametrize("what, statement, columns, rows, nbc, answer, loaded, units, results",
                         BULK_CASES, ids=[c[0] for c in BULK_CASES])
def test_bulk_load(sim, wire, what, statement, columns, rows, nbc, answer, loaded, units,
                   results):
    assert shape(wire.batch(statement)) == answer
    wire.send(0x07, bulk_message(columns, rows, nbc))
    assert shape(wire.tokens(wire.receive())) == loaded
    serials = [value for row in rows for value in row]
    got = {s: sim.unit(s)["step"] for s in ["BW-%d" % n for n in range(1, 18)]
           if sim.unit(s) is not None and nv(s) in serials}
    assert got == units
    assert [(r["serial"], r["id"] == 999999, r["tested_at"]) for r in sim.results()
            if r["serial"].startswith("BW-") and nv(r["serial"]) in serials] == results
    assert shape(wire.batch("SELECT 1 AS one"))[-1] == ("DONE", 1)  # the connection goes on


def test_identity_insert_keeps_the_values_given(sim, wire):
    insert = ("INSERT dbo.results (id, serial, [procedure], employee, line, verdict) "
              "VALUES (%d, N'BW-ID', N'FT1', N'E', N'L', N'PASS')")
    assert shape(wire.batch("SET IDENTITY_INSERT MES.dbo.results ON; " + insert % 888001)) == [
        ("DONE", 1)]
    assert shape(wire.batch(RESULTS)) == [NO_COUNT]  # and a bulk load keeps them too
    row = [intn(888002)[1]] + result("BW-ID")[1:]
    wire.send(0x07, bulk_message(RESULT_COLUMNS, [row]))
    assert shape(wire.tokens(wire.receive())) == [("DONE", 1)]
    assert shape(wire.batch("SET IDENTITY_INSERT dbo.results OFF; " + insert % 888003))[0] == (
        "error", 544)
    assert [r["id"] for r in sim.results("BW-ID")] == [888001, 888002]
