"""SQL Server data types: declarations, conversions as SQL Server does them, and their TDS forms.

Values are Python objects: str (character types), bytes (binary), int (integer types and bit),
Decimal (decimal/numeric, money), float, datetime/date/time, None (NULL).
"""

import re
import struct
import uuid
from dataclasses import dataclass
from datetime import date, datetime, time, timedelta, timezone
from decimal import Context, Decimal, InvalidOperation, ROUND_HALF_UP

from . import tds
from .wire import datetimes


class SqlError(Exception):
    """An error SQL Server would report (ERROR token, then DONE with the error bit)."""

    def __init__(self, number, text, severity=16, state=1):
        super().__init__(text)
        self.number, self.text, self.severity, self.state = number, text, severity, state


MAX = -1  # the size of nvarchar(max) and friends
# yyyy-mm-dd[( |T)hh:mm[:ss[.fffffff]]][ ][Z|+hh:mm]
_TIME_TEXT = re.compile(r"(\d{4})-(\d{1,2})-(\d{1,2})(?:[ T](\d{1,2}):(\d{2})(?::(\d{2})"
                        r"(?:\.(\d{1,7}))?)?)?\s*(Z|[+-]\d{2}:\d{2})?")

_CLOCK_TEXT = re.compile(r"\d{1,2}:\d{2}(?::\d{2}(?:\.\d{1,7})?)?")

INT_RANGES = {"tinyint": (0, 255), "smallint": (-2 ** 15, 2 ** 15 - 1),
              "int": (-2 ** 31, 2 ** 31 - 1), "bigint": (-2 ** 63, 2 ** 63 - 1), "bit": (0, 1)}
UNICODE = {"nvarchar", "nchar", "ntext", "sysname"}
CHARACTER = UNICODE | {"varchar", "char", "text"}
BINARY = {"varbinary", "binary", "image"}
DECIMALS = {"decimal", "numeric", "money", "smallmoney"}
FLOATS = {"float", "real"}
TIMES = {"datetime", "smalldatetime", "date", "time", "datetime2", "datetimeoffset"}
KNOWN = set(INT_RANGES) | CHARACTER | BINARY | DECIMALS | FLOATS | TIMES | {"uniqueidentifier"}
# Types whose declaration takes (n): their default size without one.
SIZED = {"nvarchar": 1, "nchar": 1, "varchar": 1, "char": 1, "varbinary": 1, "binary": 1}
MAX_SIZE = {"nvarchar": 4000, "nchar": 4000, "varchar": 8000, "char": 8000, "varbinary": 8000,
            "binary": 8000}
MAX_PRECISION = 38
# Room for decimal(38, s) and its products: the default context keeps 28 digits only.
WIDE = Context(prec=80, rounding=ROUND_HALF_UP)


@dataclass(frozen=True)
class SqlType:
    name: str
    size: int = 0        # characters (bytes for varchar/binary); MAX for (max)
    precision: int = 0
    scale: int = 0

    def __str__(self):
        if self.name in SIZED:
            return f"{self.name}({'max' if self.size == MAX else self.size})"
        if self.name in ("decimal", "numeric"):
            return f"{self.name}({self.precision},{self.scale})"
        return self.name


INT = SqlType("int")
NVARCHAR_4000 = SqlType("nvarchar", 4000)


def declared(name, args):
    """The type of a declaration `name(args...)`; raise SqlError for one SQL Server refuses."""
    name = name.casefold()
    if name == "sysname":
        return SqlType("nvarchar", 128)
    if name == "integer":
        name = "int"
    if name == "dec":
        name = "decimal"
    if name == "double precision":
        name = "float"
    if name not in KNOWN:
        raise SqlError(2715, f"Column, parameter, or variable #1: Cannot find data type {name}.")
    if name in SIZED:
        if not args:
            return SqlType(name, SIZED[name])
        if args[0] == "max":
            return SqlType(name, MAX)
        size = args[0]
        if not isinstance(size, int) or not 1 <= size <= MAX_SIZE[name]:
            raise SqlError(2717, f"The size ({size}) given to the parameter '@' exceeds the "
                                 f"maximum allowed ({MAX_SIZE[name]}).")
        return SqlType(name, size)
    if name in ("decimal", "numeric"):
        precision = args[0] if args else 18
        scale = args[1] if len(args) > 1 else 0
        if not 1 <= precision <= MAX_PRECISION:
            raise SqlError(1002, f"Line 1: Specified column precision {precision} is greater than "
                                 f"the maximum precision of {MAX_PRECISION}.", severity=15)
        if not 0 <= scale <= precision:
            raise SqlError(1003, f"Line 1: Specified column scale {scale} is greater than the "
                                 f"specified precision of {precision}.", severity=15)
        return SqlType(name, 0, precision, scale)
    if name == "money":
        return SqlType(name, 0, 19, 4)
    if name == "smallmoney":
        return SqlType(name, 0, 10, 4)
    if name == "float" and args and isinstance(args[0], int) and args[0] <= 24:
        return SqlType("real")
    if name in ("time", "datetime2", "datetimeoffset"):
        return SqlType(name, 0, 0, args[0] if args else 7)
    return SqlType(name)


def type_of(value):
    """The type SQL Server gives a constant of this value."""
    if value is None:
        return INT
    if isinstance(value, bool):
        return SqlType("bit")
    if isinstance(value, int):
        if INT_RANGES["int"][0] <= value <= INT_RANGES["int"][1]:
            return INT
        return SqlType("numeric", 0, max(len(str(abs(value))), 1), 0)
    if isinstance(value, Decimal):
        sign, digits, exponent = value.as_tuple()
        scale = max(-exponent, 0)
        return SqlType("numeric", 0, max(len(digits), scale, 1), scale)
    if isinstance(value, float):
        return SqlType("float")
    if isinstance(value, bytes):
        return SqlType("varbinary", max(len(value), 1))
    if isinstance(value, datetime):
        return SqlType("datetimeoffset", 0, 0, 7) if value.tzinfo is not None \
            else SqlType("datetime")
    if isinstance(value, date):
        return SqlType("date")
    if isinstance(value, time):
        return SqlType("time", 0, 0, 7)
    if isinstance(value, Varchar):
        return SqlType("varchar", max(len(value), 1))
    return SqlType("nvarchar", max(len(value), 1))


class Varchar(str):
    """A non-Unicode character value (a '...' constant, a varchar parameter)."""


def _overflow(target):
    return SqlError(8115, f"Arithmetic overflow error converting expression to data type {target.name}.")


def _failed(value, source, target):
    return SqlError(245, f"Conversion failed when converting the {source} value '{value}' "
                         f"to data type {target.name}.")


def text_of(value):
    """A value's text as SQL Server converts it to a character type."""
    if isinstance(value, bool):
        return "1" if value else "0"
    if isinstance(value, float):
        return repr(value) if abs(value) < 1e15 else "%g" % value
    if isinstance(value, datetime):
        return value.strftime("%b %d %Y %I:%M%p").replace(" 0", "  ")
    return str(value)


def convert(value, target, codepage):
    """The value a variable or parameter of type target holds when given value."""
    if value is None:
        return None
    name = target.name
    if name in CHARACTER:
        if isinstance(value, bytes):
            if name in UNICODE:
                text = value[:len(value) - len(value) % 2].decode("utf-16-le", errors="replace")
            else:
                text = value.decode(codepage, errors="replace").replace("\ufffd", "?")
        else:
            text = text_of(value)
        if name not in UNICODE:  # characters outside the code page become '?'
            text = Varchar(text.encode(codepage, errors="replace").decode(codepage))
            if target.size != MAX:
                text = Varchar(_cut_bytes(text, target.size, codepage))
        elif target.size != MAX and len(text) > target.size:
            text = text[:target.size]
        if name in ("nchar", "char"):
            text = type(text)(text.ljust(target.size))
        return text
    if (name in INT_RANGES or name in DECIMALS or name in FLOATS or name in BINARY) \
            and isinstance(value, (date, time)) and type_of(value).name != "datetime":
        raise SqlError(206, f"Operand type clash: {type_of(value).name} is incompatible with "
                            f"{name}")
    if name in BINARY:
        if isinstance(value, str):
            value = value.encode(codepage, errors="replace") if isinstance(value, Varchar) \
                else value.encode("utf-16-le")
        elif isinstance(value, int):
            value = value.to_bytes(4 if -2 ** 31 <= value < 2 ** 31 else 8, "big", signed=True)
        elif not isinstance(value, bytes):
            raise SqlError(257, f"Implicit conversion from data type {type_of(value).name} to "
                                f"{name} is not allowed. Use the CONVERT function to run this query.")
        return value if target.size == MAX else value[:target.size]
    if name in INT_RANGES:
        if isinstance(value, str):
            try:
                value = int(value.strip())
            except ValueError:
                raise _failed(value, type_of(value).name, target) from None
        elif isinstance(value, bytes):
            value = int.from_bytes(value[-8:], "big", signed=len(value) >= 8)
        elif not isinstance(value, (int, float, Decimal)):
            raise _failed(value, type_of(value).name, target)
        if name == "bit":
            return 1 if value else 0
        value = int(value)
        low, high = INT_RANGES[name]
        if not low <= value <= high:
            raise _overflow(target)
        return value
    if name in DECIMALS:
        try:
            number = Decimal(value.strip() if isinstance(value, str) else value)
        except (InvalidOperation, TypeError, ValueError):
            raise SqlError(8114, f"Error converting data type {type_of(value).name} to numeric.") \
                from None
        if not number.is_finite():
            raise SqlError(8114, f"Error converting data type {type_of(value).name} to numeric.")
        number = number.quantize(Decimal(1).scaleb(-target.scale), rounding=ROUND_HALF_UP,
                                 context=WIDE) if abs(number) < Decimal(10) ** 40 else number
        if len(number.as_tuple().digits) - target.scale > target.precision - target.scale \
                and abs(number) >= Decimal(10) ** (target.precision - target.scale):
            raise SqlError(8115, f"Arithmetic overflow error converting {type_of(value).name} "
                                 f"to data type numeric.")
        return number
    if name == "uniqueidentifier":
        return str(_guid(value)).upper()
    if name in FLOATS:
        try:
            return float(value.strip() if isinstance(value, str) else value)
        except (TypeError, ValueError):
            raise SqlError(8114, f"Error converting data type {type_of(value).name} to float.") \
                from None
    if name in TIMES:
        if isinstance(value, (datetime, date, time)):
            try:
                return datetimes.as_type(value, name, target.scale)
            except ValueError:
                raise SqlError(8115, "Arithmetic overflow error converting expression to data "
                                     f"type {name}.") from None
        if isinstance(value, str):
            text = value.strip()
            clock = _CLOCK_TEXT.fullmatch(text)
            if clock:  # a time alone is that time on 1900-01-01
                text = "1900-01-01 " + text
            parsed = _TIME_TEXT.fullmatch(text)
            # a time zone offset is read by the newer types only (kept by datetimeoffset)
            if parsed and not (parsed.group(8) and parsed.group(8) != "Z"
                               and name in ("datetime", "smalldatetime")):
                parts = [int(p) for p in parsed.group(1, 2, 3, 4, 5, 6) if p is not None]
                fraction = (parsed.group(7) or "").ljust(7, "0")
                try:
                    moment = datetime(*parts, microsecond=int(fraction[:6]))
                except ValueError:
                    moment = None
                if moment is not None:
                    if name == "datetimeoffset":
                        zone = parsed.group(8) or "Z"
                        minutes = 0 if zone == "Z" else \
                            (int(zone[1:3]) * 60 + int(zone[4:])) * (-1 if zone[0] == "-" else 1)
                        if abs(minutes) > 14 * 60:
                            moment = None
                        else:
                            moment = moment.replace(tzinfo=timezone(timedelta(minutes=minutes)))
                    elif name == "date":
                        moment = moment.date()
                    elif name == "time":
                        moment = moment.time()
                if moment is not None:  # the 100 ns digit kept by the types that hold it
                    return datetimes.with_tick(moment, int(fraction[6])) \
                        if name in ("time", "datetime2", "datetimeoffset") else moment
            try:
                return datetime.strptime(value.strip(), "%Y%m%d")
            except ValueError:
                pass
        raise SqlError(241, "Conversion failed when converting date and/or time from character "
                            "string.")
    return value


def _cut_bytes(text, size, codepage):
    """Cut a varchar value to size bytes of its code page, without splitting a character."""
    if len(text) * 4 <= size or len(text.encode(codepage, errors="replace")) <= size:
        return text
    out, used = [], 0
    for ch in text:
        n = len(ch.encode(codepage, errors="replace"))
        if used + n > size:
            break
        out.append(ch)
        used += n
    return "".join(out)


# ---------------------------------------------------------------- TDS: what the server sends

def type_info(sqltype, collation):
    """TYPE_INFO of a column or output parameter of this type."""
    name, size = sqltype.name, sqltype.size
    if name in INT_RANGES:
        if name == "bit":
            return b"\x68\x01"
        return bytes([0x26, {"tinyint": 1, "smallint": 2, "int": 4, "bigint": 8}[name]])
    if name in ("nvarchar", "nchar", "ntext"):
        code = 0xEF if name == "nchar" else 0xE7
        return struct.pack("<BH", code, 0xFFFF if size in (MAX, 0) else 2 * size) + collation
    if name in ("varchar", "char", "text"):
        code = 0xAF if name == "char" else 0xA7
        return struct.pack("<BH", code, 0xFFFF if size in (MAX, 0) else size) + collation
    if name in BINARY:
        code = 0xAD if name == "binary" else 0xA5
        return struct.pack("<BH", code, 0xFFFF if size in (MAX, 0) else size)
    if name in ("money", "smallmoney"):
        return b"\x6e\x08" if name == "money" else b"\x6e\x04"
    if name == "uniqueidentifier":
        return b"\x24\x10"
    if name in DECIMALS:
        return bytes([0x6C, _decimal_size(sqltype.precision), sqltype.precision, sqltype.scale])
    if name == "real":
        return b"\x6d\x04"
    if name == "float":
        return b"\x6d\x08"
    if name in datetimes.CODES:
        return datetimes.type_info(name, sqltype.scale)
    return b"\x6f\x04" if name == "smalldatetime" else b"\x6f\x08"


def _decimal_size(precision):
    return 5 if precision <= 9 else 9 if precision <= 19 else 13 if precision <= 28 else 17


def _plp(data):
    if data is None:
        return b"\xff" * 8
    return struct.pack("<QI", len(data), len(data)) + data + b"\x00\x00\x00\x00" if data \
        else struct.pack("<QI", 0, 0)


def encode_value(value, sqltype, codepage):
    """A value in its TYPE_INFO's form (as type_info describes the type)."""
    name, size = sqltype.name, sqltype.size
    if name in INT_RANGES:
        n = 1 if name in ("bit", "tinyint") else {"smallint": 2, "int": 4, "bigint": 8}[name]
        if value is None:
            return b"\x00"
        return bytes([n]) + int(value).to_bytes(n, "little", signed=name not in ("bit", "tinyint"))
    if name in CHARACTER or name in BINARY:
        if value is None:
            data = None
        elif name in UNICODE:
            data = tds.ucs2(value)
            if size not in (MAX, 0):
                data = tds._cut_ucs2(data, 2 * size)
        elif name in CHARACTER:
            data = value.encode(codepage, errors="replace")
        else:
            data = value
        if size in (MAX, 0):
            return _plp(data)
        return b"\xff\xff" if data is None else struct.pack("<H", len(data)) + data
    if name == "uniqueidentifier":  # the first three groups little-endian
        return b"\x00" if value is None else b"\x10" + _guid(value).bytes_le
    if name in ("money", "smallmoney"):  # units of 1/10000, the high half first
        if value is None:
            return b"\x00"
        units = int(WIDE.scaleb(Decimal(value), 4).to_integral_value(ROUND_HALF_UP))
        if name == "smallmoney":
            return b"\x04" + struct.pack("<i", units)
        return b"\x08" + struct.pack("<iI", units >> 32, units & 0xFFFFFFFF)
    if name in DECIMALS:
        if value is None:
            return b"\x00"
        n = _decimal_size(sqltype.precision)
        scaled = int(WIDE.scaleb(Decimal(value), sqltype.scale).to_integral_value(ROUND_HALF_UP))
        return bytes([n, 0 if scaled < 0 else 1]) + abs(scaled).to_bytes(n - 1, "little")
    if name in FLOATS:
        if value is None:
            return b"\x00"
        return b"\x04" + struct.pack("<f", value) if name == "real" else b"\x08" + struct.pack("<d", value)
    if name in datetimes.CODES:
        return datetimes.encode(value, name, sqltype.scale)
    if value is None:
        return b"\x00"
    if isinstance(value, time):
        value = datetime.combine(date(1900, 1, 1), value)
    elif not isinstance(value, datetime):
        value = datetime.combine(value, time())
    if value.tzinfo is not None:
        value = value.astimezone(timezone.utc).replace(tzinfo=None)
    delta = value - datetime(1900, 1, 1)
    if name == "smalldatetime":  # days, minutes (rounded to the minute)
        minutes = (delta.seconds + 30) // 60
        return b"\x04" + struct.pack("<HH", delta.days + minutes // 1440, minutes % 1440)
    ticks = round((delta.seconds + delta.microseconds / 1e6) * 300)
    if ticks >= 300 * 86400:  # 23:59:59.999 rounds to the next day
        return b"\x08" + struct.pack("<iI", delta.days + 1, ticks - 300 * 86400)
    return b"\x08" + struct.pack("<iI", delta.days, ticks)


def _guid(value):
    if isinstance(value, bytes):
        if len(value) == 16:
            return uuid.UUID(bytes_le=value)
    elif isinstance(value, str):
        text = value.strip()
        if text[:1] == "{" and text[-1:] == "}":
            text = text[1:-1]
        if len(text) == 36 and text.count("-") == 4:
            try:
                return uuid.UUID(text)
            except ValueError:
                pass
    raise SqlError(8169, "Conversion failed when converting from a character string to "
                         "uniqueidentifier.")


def wire_form(sqltype, version):
    """(type sent, function giving the value sent): date and time types before TDS 7.3 go
    out as nvarchar text, as SQL Server sends them to such clients."""
    name = sqltype.name
    if name in datetimes.CODES and version < tds.TDS73:
        return (SqlType("nvarchar", datetimes.text_length(name, sqltype.scale)),
                lambda value: datetimes.text(value, name, sqltype.scale))
    return sqltype, None


# ---------------------------------------------------------------- TDS: what a client sends

_STRUCTS = {}  # format: struct.Struct, for Reader.unpack


class Reader:
    """Reads a client message field by field; a short message is a protocol error."""

    def __init__(self, data, pos=0):
        self.data, self.pos = data, pos

    def take(self, n):
        if n < 0 or self.pos + n > len(self.data):
            raise tds.ProtocolError("request ends inside a field")
        out = self.data[self.pos:self.pos + n]
        self.pos += n
        return out

    def unpack(self, fmt):
        st = _STRUCTS.get(fmt) or _STRUCTS.setdefault(fmt, struct.Struct(fmt))
        end = self.pos + st.size
        if end > len(self.data):
            raise tds.ProtocolError("request ends inside a field")
        values = st.unpack_from(self.data, self.pos)
        self.pos = end
        return values if len(values) > 1 else values[0]

    def b_varchar(self):
        return self.take(2 * self.unpack("<B")).decode("utf-16-le", errors="replace")

    def us_varchar(self):
        return self.take(2 * self.unpack("<H")).decode("utf-16-le", errors="replace")

    def at_end(self):
        return self.pos >= len(self.data)


_FIXED = {0x30: ("tinyint", 1), 0x32: ("bit", 1), 0x34: ("smallint", 2), 0x38: ("int", 4),
          0x7F: ("bigint", 8), 0x3B: ("real", 4), 0x3E: ("float", 8), 0x3D: ("datetime", 8),
          0x3A: ("smalldatetime", 4), 0x3C: ("money", 8), 0x7A: ("smallmoney", 4), 0x1F: ("null", 0)}
_BYTELEN = {0x26: "int", 0x68: "bit", 0x6D: "float", 0x6E: "money", 0x6F: "datetime",
            0x24: "uniqueidentifier"}
_USHORTLEN = {0xE7: "nvarchar", 0xEF: "nchar", 0xA7: "varchar", 0xAF: "char", 0xA5: "varbinary",
              0xAD: "binary"}
_LONGLEN = {0x23: "text", 0x63: "ntext", 0x22: "image"}


class UnknownType(Exception):
    def __init__(self, code):
        super().__init__(code)
        self.code = code


def read_typed_value(r, codepage):
    """TYPE_INFO and value of an RPC parameter: (SqlType, value)."""
    code = r.unpack("<B")
    if code in _FIXED:
        name, n = _FIXED[code]
        return _fixed(name, r.take(n))
    if code in _BYTELEN:
        r.unpack("<B")  # max length
        n = r.unpack("<B")
        raw = r.take(n)
        if not n:
            return SqlType(_BYTELEN[code]), None
        name = _BYTELEN[code]
        if name == "int":
            name = {1: "tinyint", 2: "smallint", 4: "int", 8: "bigint"}.get(n)
        elif name == "float":
            name = "real" if n == 4 else "float"
        elif name == "money":
            name = "smallmoney" if n == 4 else "money"
        elif name == "datetime":
            name = "smalldatetime" if n == 4 else "datetime"
        elif name == "uniqueidentifier":
            import uuid
            return SqlType(name), str(uuid.UUID(bytes_le=raw)).upper()
        if name is None:
            raise tds.ProtocolError(f"integer of {n} bytes")
        return _fixed(name, raw)
    if code in (0x6A, 0x6C):
        _size, precision, scale = r.unpack("<BBB")
        sqltype = SqlType("decimal" if code == 0x6A else "numeric", 0, precision, scale)
        n = r.unpack("<B")
        if not n:
            return sqltype, None
        raw = r.take(n)
        number = WIDE.scaleb(Decimal(int.from_bytes(raw[1:], "little")), -scale)
        return sqltype, number if raw[0] else -number
    if code in (0x28, 0x29, 0x2A, 0x2B):
        scale = 0 if code == 0x28 else r.unpack("<B")
        name = {0x28: "date", 0x29: "time", 0x2A: "datetime2", 0x2B: "datetimeoffset"}[code]
        n = r.unpack("<B")
        if not n:
            return SqlType(name, 0, 0, scale), None
        return SqlType(name, 0, 0, scale), datetimes.decode(r.take(n), name, scale)
    if code in _USHORTLEN:
        name = _USHORTLEN[code]
        size = r.unpack("<H")
        collation = r.take(5) if code in (0xE7, 0xEF, 0xA7, 0xAF) else None
        if size == 0xFFFF:
            raw = _read_plp(r)
            sqltype = SqlType(name, MAX)
        else:
            n = r.unpack("<H")
            raw = None if n == 0xFFFF else r.take(n)
            sqltype = SqlType(name, max(size // 2 if name in UNICODE else size, 1))
        return sqltype, _character(name, raw, collation, codepage)
    if code in _LONGLEN:
        name = _LONGLEN[code]
        r.unpack("<i")  # max length
        collation = r.take(5) if code != 0x22 else None
        n = r.unpack("<i")
        raw = None if n < 0 else r.take(n)
        return SqlType(name, MAX), _character(name, raw, collation, codepage)
    raise UnknownType(code)


def _character(name, raw, collation, codepage):
    if raw is None or name in BINARY:
        return raw
    if name in UNICODE:
        return raw[:len(raw) - len(raw) % 2].decode("utf-16-le", errors="replace")
    return Varchar(raw.decode(codepage, errors="replace").replace("\ufffd", "?"))


def _read_plp(r):
    total = r.unpack("<Q")
    if total == 0xFFFFFFFFFFFFFFFF:
        return None
    parts = []
    while True:
        n = r.unpack("<I")
        if n == 0:
            return b"".join(parts)
        parts.append(r.take(n))


def _fixed(name, raw):
    if name == "null":
        return INT, None
    if name in INT_RANGES:
        return SqlType(name), int.from_bytes(raw, "little", signed=name not in ("bit", "tinyint"))
    if name in ("real", "float"):
        return SqlType(name), struct.unpack("<f" if len(raw) == 4 else "<d", raw)[0]
    if name in ("money", "smallmoney"):
        if len(raw) == 8:
            high, low = struct.unpack("<iI", raw)
            units = (high << 32) | low
        else:
            units = struct.unpack("<i", raw)[0]
        return declared(name, ()), Decimal(units).scaleb(-4)
    if len(raw) == 4:  # smalldatetime: days, minutes
        days, minutes = struct.unpack("<HH", raw)
        return SqlType(name), datetime(1900, 1, 1) + timedelta(days=days, minutes=minutes)
    days, ticks = struct.unpack("<iI", raw)
    return SqlType(name), datetime(1900, 1, 1) + timedelta(days=days, milliseconds=ticks * 10 / 3)
