"""The wire face of the simulator: date and time types, decimal(38), RPC output parameters,
SET FMTONLY, bulk load and the sp_help family, as SQL Server answers them.  Cases are tables
(request, expected answer); they run through the real pymssql driver, or through the bare TDS
client where the tokens themselves are the answer."""

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
# (batch under SET FMTONLY ON, the reply's outline): metadata only, nothing run or changed
FMTONLY_CASES = [
    ("SELECT serial, step FROM dbo.units WHERE step > 0",
     [("columns", [("serial", 0xE7), ("step", 0x26)]), NO_COUNT]),
    ("SELECT 1 AS a, N'x' AS b, CAST(NULL AS date) AS d",
     [("columns", [("a", 0x26), ("b", 0xE7), ("d", 0x28)]), NO_COUNT]),
    ("DECLARE @n int = 5; SELECT @n AS n", [("columns", [("n", 0x26)]), NO_COUNT]),
    ("DELETE FROM dbo.units; UPDATE dbo.units SET step = 9", [NO_COUNT, NO_COUNT]),
    ("UPDATE dbo.units SET step = 9", [NO_COUNT]),
    ("INSERT INTO dbo.results (serial) OUTPUT inserted.id VALUES (N'SN0001')",
     [("columns", [("id", 0x26)]), NO_COUNT]),
    ("EXEC dbo.uspSaveResult 'SN0001', 'FT1', 'E', 'L', 'PASS', '0', NULL, NULL",
     [("DONEPROC", None)]),
    ("IF 1 = 0 SELECT 1 AS a ELSE SELECT N'b' AS b",  # both branches described
     [("columns", [("a", 0x26)]), NO_COUNT, ("columns", [("b", 0xE7)]), NO_COUNT]),
    ("SELECT nope FROM dbo.units", [("error", 207), ("DONE", None)]),
    ("SELECT * FROM dbo.nope", [("error", 208), ("DONE", None)]),
    ("DELETE FROM dbo.nope", [("error", 208), ("DONE", None)]),
]


@pytest.mark.parametrize("batch, expected", FMTONLY_CASES)
def test_fmtonly_describes_and_changes_nothing(sim, wire, batch, expected):
    before = (sim.unit("SN0001"), len(sim.results("SN0001")))
    assert shape(wire.batch("SET FMTONLY ON " + batch)) == expected
    assert (sim.unit("SN0001"), len(sim.results("SN0001"))) == before
    # until SET FMTONLY OFF, which brings rows back
    assert shape(wire.batch("SELECT 1 AS one")) == [("columns", [("one", 0x26)]), NO_COUNT]
    assert shape(wire.batch("SET FMTONLY OFF SELECT 1 AS one")) == [
        ("columns", [("one", 0x26)]), ("row", (1,)), ("DONE", 1)]


# (batches of SET statements alone, a batch after them, its outline): the settings such a
# batch makes hold, the second time the same text comes as well as the first
SET_ONLY_CASES = [
    (["SET FMTONLY ON"], "SELECT 1 AS one", [("columns", [("one", 0x26)]), NO_COUNT]),
    (["SET FMTONLY ON", "SET ARITHABORT ON;SET FMTONLY OFF;"], "SELECT 1 AS one",
     [("columns", [("one", 0x26)]), ("row", (1,)), ("DONE", 1)]),
    (["SET NOCOUNT ON;SET TEXTSIZE 2147483647;"], "SELECT 1 AS one",
     [("columns", [("one", 0x26)]), ("row", (1,)), NO_COUNT]),
    (["SET IMPLICIT_TRANSACTIONS ON"],
     "UPDATE dbo.units SET step = step WHERE serial = N'SN0001'; SELECT @@TRANCOUNT",
     [("DONE", 1), ("columns", [("", 0x26)]), ("row", (1,)), ("DONE", 1)]),
    (["SET IMPLICIT_TRANSACTIONS ON", "SET IMPLICIT_TRANSACTIONS OFF"],
     "UPDATE dbo.units SET step = step WHERE serial = N'SN0001'; SELECT @@TRANCOUNT",
     [("DONE", 1), ("columns", [("", 0x26)]), ("row", (0,)), ("DONE", 1)]),
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
INSERT_BULK_ERRORS = [
    ("INSERT BULK dbo.nope (a int)", 208),
    ("INSERT BULK dbo.units (nope int)", 207),
    ("INSERT BULK sys.tables (name sysname)", 229),
    ("INSERT BULK dbo.units", 102),
    ("INSERT BULK dbo.units (serial nvarchar(50)) WITH (TABLOCK", 102),
    ("INSERT BULK dbo.units (serial nosuchtype)", 2715),
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


@pytest.mark.parametrize("statement, number", INSERT_BULK_ERRORS)
def test_insert_bulk_refused(wire, statement, number):
    assert shape(wire.batch(statement)) == [("error", number), ("DONE", None)]


def result_sets(sim, batch):
    """[(column names, rows)] of each result set a batch gives through pymssql."""
    pymssql = pytest.importorskip("pymssql")
    db = pymssql.connect(server=sim.host, port=sim.port, user=sim.user, password=sim.password,
                         database=sim.database)
    try:
        cur = db.cursor()
        cur.execute(batch)
        out = []
        while True:
            out.append(([d[0] for d in cur.description], cur.fetchall()))
            if not cur.nextset():
                return out
    finally:
        db.close()


IDENTITY = ["Identity", "Seed", "Increment", "Not For Replication"]
HELP_COLUMNS = ["Column_name", "Type", "Computed", "Length", "Prec", "Scale", "Nullable",
                "TrimTrailingBlanks", "FixedLenNullInSource", "Collation"]
CONSTRAINTS = ["constraint_type", "constraint_name", "delete_action", "update_action",
               "status_enabled", "status_for_replication", "constraint_keys"]
# (batch, [(result set's columns, its rows, or a function checking them)])
HELP_CASES = [
    ("sp_help", [
        (["Name", "Owner", "Object_type"], lambda rows: rows[:5] == [
            ("results", "dbo", "user table"), ("scenarios", "dbo", "user table"),
            ("units", "dbo", "user table"), ("uspGetUnitInfo", "dbo", "stored procedure"),
            ("uspSaveResult", "dbo", "stored procedure")]
         and ("PK_units", "dbo", "primary key cns") in rows
         and ("CK_units_status", "dbo", "check cns") in rows),
        (["User_type", "Storage_type", "Length", "Prec", "Scale", "Nullable", "Default_name",
          "Rule_name", "Collation"], [])]),
    ("EXEC sp_help 'dbo.units'", [
        (["Name", "Owner", "Type", "Created_datetime"],
         [("units", "dbo", "user table", datetime(2024, 5, 1, 8, 0))]),
        (HELP_COLUMNS, lambda rows: rows[0] == (
            "serial", "nvarchar", "no", 100, "     ", "     ", "no", "(n/a)", "(n/a)",
            "Chinese_PRC_CI_AS") and rows[3] == (
            "step", "int", "no", 4, "   10", "    0", "no", "(n/a)", "(n/a)", None)
         and len(rows) == 6),
        (IDENTITY, [("No identity column defined.", None, None, None)]),
        (["RowGuidCol"], [("No rowguidcol column defined.",)]),
        (["Data_located_on_filegroup"], [("PRIMARY",)]),
        (["index_name", "index_description", "index_keys"],
         [("PK_units", "clustered, unique, primary key located on PRIMARY", "serial")]),
        (CONSTRAINTS, lambda rows: [r[:2] for r in rows] == [
            ("CHECK on column status", "CK_units_status"),
            ("DEFAULT on column failures", "DF_units_failures"),
            ("DEFAULT on column status", "DF_units_status"),
            ("DEFAULT on column step", "DF_units_step"),
            ("PRIMARY KEY (clustered)", "PK_units")] and rows[2][6] == "('ACTIVE')")]),
    ("sp_help [results]", [  # a one-part name needs no quotes
        (["Name", "Owner", "Type", "Created_datetime"], lambda rows: rows[0][0] == "results"),
        (HELP_COLUMNS, lambda rows: rows[-1][:6] == (
            "tested_at", "datetime2", "no", 6, "   19", "    0")),
        (IDENTITY, [("id", Decimal(1), Decimal(1), 0)]),
        (["RowGuidCol"], None), (["Data_located_on_filegroup"], None),
        (["index_name", "index_description", "index_keys"], None), (CONSTRAINTS, None)]),
    ("sp_help 'MES.dbo.uspSaveResult'", [
        (["Name", "Owner", "Type", "Created_datetime"],
         [("uspSaveResult", "dbo", "stored procedure", datetime(2024, 5, 1, 8, 0))]),
        (["Parameter_name", "Type", "Length", "Prec", "Scale", "Param_order", "Collation"],
         lambda rows: rows[0] == ("@SerialNumber", "nvarchar", 8000, 4000, None, 1,
                                  "Chinese_PRC_CI_AS")
         and rows[7] == ("@RETURN", "int", 4, 10, None, 8, None))]),
    ("sp_help 'INFORMATION_SCHEMA.TABLES'", [
        (["Name", "Owner", "Type", "Created_datetime"],
         lambda rows: rows[0][:3] == ("TABLES", "INFORMATION_SCHEMA", "view")),
        (HELP_COLUMNS, lambda rows: [r[0] for r in rows] == [
            "TABLE_CATALOG", "TABLE_SCHEMA", "TABLE_NAME", "TABLE_TYPE"]
         and rows[0][1] == "sysname"),
        (IDENTITY, [("No identity column defined.", None, None, None)]),
        (["RowGuidCol"], [("No rowguidcol column defined.",)])]),
    ("sp_helptext 'dbo.uspGetUnitInfo'", [
        (["Text"], lambda rows: rows[0] == ("CREATE PROCEDURE dbo.uspGetUnitInfo\r\n",)
         and all(r[0].endswith("\r\n") and len(r[0]) <= 255 for r in rows))]),
    ("sp_databases", [
        (["DATABASE_NAME", "DATABASE_SIZE", "REMARKS"], lambda rows: [r[0] for r in rows] == [
            "master", "MES", "model", "msdb", "tempdb"] and rows[0][2] is None)]),
    ("sp_who", [
        (["spid", "ecid", "status", "loginame", "hostname", "blk", "dbname", "cmd",
          "request_id"], lambda rows: rows[-1][3:8:4] == ("mes", "SELECT          ")
         and rows[-1][6] == "MES")]),
    ("sp_who 'sa'", [(["spid", "ecid", "status", "loginame", "hostname", "blk", "dbname",
                       "cmd", "request_id"], lambda rows: {r[3] for r in rows} == {"sa"})]),
    ("sp_spaceused", [
        (["database_name", "database_size", "unallocated space"],
         lambda rows: rows[0][:2] == ("MES", "16.00 MB") and rows[0][2].endswith(" MB")),
        (["reserved", "data", "index_size", "unused"],
         lambda rows: all(v.endswith(" KB") for v in rows[0]))]),
    ("EXEC sp_spaceused @objname = N'units'", [
        (["name", "rows", "reserved", "data", "index_size", "unused"],
         lambda rows: rows[0][0] == "units" and len(rows[0][1]) == 20
         and int(rows[0][1]) >= 10)]),
]
# (batch, error number, its text or None)
ERRORS = [
    ("sp_helptext 'dbo.units'", 15197, "There is no text for object 'dbo.units'."),
    ("sp_helptext units", 15197, "There is no text for object 'units'."),
    ("sp_help 'nope'", 15009, "The object 'nope' does not exist in database 'MES' or is "
                              "invalid for this operation."),
    ("sp_helptext 'other.dbo.uspSaveResult'", 15009, None),
    ("sp_spaceused 'uspSaveResult'", 15009, None),
    ("sp_helptext", 201, "Procedure or function 'sp_helptext' expects parameter '@objname', "
                         "which was not supplied."),
    ("sp_who 'nobody'", 15007, "'nobody' is not a valid login or you do not have permission."),
    ("sp_databases 1", 8144, None),
    ("SET IDENTITY_INSERT dbo.nope ON", 1088,
     'Cannot find the object "dbo.nope" because it does not exist or you do not have '
     'permissions.'),
    ("SET IDENTITY_INSERT dbo.units ON", 8106,
     "Table 'units' does not have the identity property. Cannot perform SET operation."),
    ("SET IDENTITY_INSERT dbo.results ON; SET IDENTITY_INSERT MES.dbo.scenarios ON", 8107,
     "IDENTITY_INSERT is already ON for table 'MES.dbo.results'. Cannot perform SET "
     "operation for table 'scenarios'."),
    ("SET IDENTITY_INSERT dbo.results ON; SET IDENTITY_INSERT dbo.results OFF; "
     "INSERT dbo.results (id, serial, [procedure], employee, line, verdict) "
     "VALUES (1, N'X', N'FT1', N'E', N'L', N'PASS')", 544, None),
    ("DECLARE @d date = '2024-05-01'; DECLARE @i int = @d", 206,
     "Operand type clash: date is incompatible with int"),
    ("DECLARE @t time = '08:00'; DECLARE @m money = @t", 206,
     "Operand type clash: time is incompatible with money"),
    ("SELECT CAST('6F9619FF-8B86-D011-B42D' AS uniqueidentifier)", 8169,
     "Conversion failed when converting from a character string to uniqueidentifier."),
    ("DECLARE @g uniqueidentifier = 0x0102", 8169, None),
]


@pytest.mark.parametrize("batch, expected", HELP_CASES)
def test_sp_help_and_its_kin(sim, batch, expected):
    got = result_sets(sim, batch)
    assert [names for names, _rows in got] == [names for names, _rows in expected]
    for (_names, rows), (_n, wanted) in zip(got, expected):
        if callable(wanted):
            assert wanted(rows), rows
        elif wanted is not None:
            assert rows == wanted


@pytest.mark.parametrize("batch, number, text", ERRORS)
def test_errors(wire, batch, number, text):
    tokens = wire.batch(batch)
    errors = [fields for kind, fields in tokens if kind == "error"]
    assert [n for n, _t in errors] == [number]
    if text is not None:
        assert errors[0][1] == text


@pytest.mark.parametrize("value, stored", [
    ("CAST('2024-05-01' AS date)", datetime(2024, 5, 1)),
    ("CAST('2024-05-01 08:00:00.5' AS datetime2(1))", datetime(2024, 5, 1, 8, 0, 1)),
    ("CAST('2024-05-01 08:00:00 -05:00' AS datetimeoffset(0))", datetime(2024, 5, 1, 8, 0)),
])
def test_date_and_time_values_stored_in_a_datetime2_0_column(sim, value, stored):
    """Converted to the column's type as SQL Server converts them (rounded, the offset
    dropped), and read back."""
    serial = sim.add_unit()
    got = result_sets(sim, "INSERT INTO dbo.results (serial, [procedure], employee, line, "
                           "verdict, tested_at) VALUES (N'%s', N'FT1', N'E', N'L', N'PASS', %s); "
                           "SELECT tested_at FROM dbo.results WHERE serial = N'%s'"
                      % (serial, value, serial))
    assert got[-1] == (["tested_at"], [(stored,)])
