"""SQL Server data types on the wire: TYPE_INFO, and values encoded and decoded as TDS carries them.

What a type means to SQL (declarations, conversions) is in sql/types.py.
"""

import struct
import uuid
from datetime import date, datetime, time, timedelta, timezone
from decimal import ROUND_HALF_UP, Decimal

from ..errors import ProtocolError
from ..sql.types import (BINARY, CHARACTER, DECIMALS, FLOATS, INT, INT_RANGES, MAX, UNICODE, WIDE,
                         SqlType, Varchar, _decimal_size, _guid, declared)
from . import datetimes, tds


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
            raise ProtocolError("request ends inside a field")
        out = self.data[self.pos:self.pos + n]
        self.pos += n
        return out

    def unpack(self, fmt):
        st = _STRUCTS.get(fmt) or _STRUCTS.setdefault(fmt, struct.Struct(fmt))
        end = self.pos + st.size
        if end > len(self.data):
            raise ProtocolError("request ends inside a field")
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
            return SqlType(name), str(uuid.UUID(bytes_le=raw)).upper()
        if name is None:
            raise ProtocolError(f"integer of {n} bytes")
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
