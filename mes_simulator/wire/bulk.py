"""Bulk load: the rows a client sends after `INSERT BULK` (packet type 0x07).

The message is what a server sends for a result set: COLMETADATA, then ROW (or, from TDS 7.3
on, NBCROW) tokens, then DONE.  `read` reads the columns and gives the rows as they are read;
`Load` puts them into a MES table through SQLite, converted to the table's column types, all
rows or none.  The rows are read on the database thread, one at a time, as they are inserted.
"""

import struct
import uuid
from collections import namedtuple
from decimal import Decimal

from .. import sqltypes, tables, tds
from ..sqltypes import MAX, Reader, SqlError, SqlType
from . import datetimes

# A column as COLMETADATA describes it: its TDS type code, SQL Server type and name.
Column = namedtuple("Column", "code type name")

_FIXED_SIZE = {0x30: 1, 0x32: 1, 0x34: 2, 0x38: 4, 0x7F: 8, 0x3B: 4, 0x3E: 8, 0x3D: 8, 0x3A: 4,
               0x3C: 8, 0x7A: 4, 0x1F: 0}
_BYTELEN_NAMES = {0x26: {1: "tinyint", 2: "smallint", 4: "int", 8: "bigint"},
                  0x68: {1: "bit"}, 0x6D: {4: "real", 8: "float"},
                  0x6E: {4: "smallmoney", 8: "money"},
                  0x6F: {4: "smalldatetime", 8: "datetime"}, 0x24: {16: "uniqueidentifier"}}
_COLLATED = (0xE7, 0xEF, 0xA7, 0xAF, 0x23, 0x63)


class BadStream(Exception):
    """The bulk data cannot be read (SQL Server's errors 4815/4816 and the like)."""

    def __init__(self, number, text):
        super().__init__(text)
        self.number, self.text = number, text


def read(payload, version, codepage):
    """(columns, rows) of a bulk-load message; rows: an iterator of tuples of values."""
    r = Reader(payload)
    if r.at_end() or r.unpack("<B") != 0x81:
        raise BadStream(4804, "While reading current row from host, a premature end-of-message "
                              "was encountered--an incoming data stream was interrupted when "
                              "the server expected to see more data. The host program may have "
                              "terminated. Ensure that you are using a supported client "
                              "application programming interface (API).")
    count = r.unpack("<H")
    columns = []
    for n in range(count if count != 0xFFFF else 0):
        r.take(4 if version >= tds.TDS72 else 2)  # user type
        r.unpack("<H")  # flags
        columns.append(_column_info(r, version, n + 1))
    return columns, _rows(r, columns, version, codepage)


def _rows(r, columns, version, codepage):
    while not r.at_end():
        token = r.unpack("<B")
        if token == 0xD1:
            yield tuple(_value(r, column, codepage, n + 1) for n, column in enumerate(columns))
        elif token == 0xD2:  # NBCROW: a bitmap of the NULL columns, then the others
            nulls = r.take((len(columns) + 7) // 8)
            yield tuple(None if nulls[n // 8] >> (n % 8) & 1
                        else _value(r, column, codepage, n + 1)
                        for n, column in enumerate(columns))
        elif token in (0xFD, 0xFE, 0xFF):
            r.take(12 if version >= tds.TDS72 else 8)
        else:
            raise BadStream(4816, f"Invalid column type from bcp client for colid "
                                  f"{len(columns)}.")


def _column_info(r, version, colid):
    code = r.unpack("<B")
    name = None
    if code in _FIXED_SIZE:
        sqltype = _fixed_type(code)
    elif code in _BYTELEN_NAMES:
        size = r.unpack("<B")
        name = _BYTELEN_NAMES[code].get(size)
        if name is None:
            raise BadStream(4816, f"Invalid column type from bcp client for colid {colid}.")
        sqltype = sqltypes.declared(name, ()) if name in ("money", "smallmoney") \
            else SqlType(name)
    elif code in (0x6A, 0x6C):
        _size, precision, scale = r.unpack("<BBB")
        sqltype = SqlType("decimal" if code == 0x6A else "numeric", 0, precision, scale)
    elif code in datetimes.NAMES:
        scale = 0 if code == 0x28 else r.unpack("<B")
        if scale > 7:
            raise BadStream(4816, f"Invalid column type from bcp client for colid {colid}.")
        sqltype = SqlType(datetimes.NAMES[code], 0, 0, scale)
    elif code in sqltypes._USHORTLEN:
        kind = sqltypes._USHORTLEN[code]
        size = r.unpack("<H")
        if code in _COLLATED:
            r.take(5)
        sqltype = SqlType(kind, MAX if size == 0xFFFF else
                          max(size // 2 if kind in sqltypes.UNICODE else size, 1))
    elif code in sqltypes._LONGLEN:
        r.unpack("<i")
        if code in _COLLATED:
            r.take(5)
        if version >= tds.TDS72:  # the table's name, in parts
            for _ in range(r.unpack("<B")):
                r.us_varchar()
        else:
            r.us_varchar()
        sqltype = SqlType(sqltypes._LONGLEN[code], MAX)
    else:
        raise BadStream(4816, f"Invalid column type from bcp client for colid {colid}.")
    return Column(code, sqltype, r.b_varchar())


def _fixed_type(code):
    if code == 0x1F:
        return sqltypes.INT
    return sqltypes._fixed({0x30: "tinyint", 0x32: "bit", 0x34: "smallint", 0x38: "int",
                            0x7F: "bigint", 0x3B: "real", 0x3E: "float", 0x3D: "datetime",
                            0x3A: "smalldatetime", 0x3C: "money", 0x7A: "smallmoney"}[code],
                           bytes(_FIXED_SIZE[code]))[0]


def _bad_length(colid):
    return BadStream(4815, f"Received an invalid column length from the bcp client for colid "
                           f"{colid}.")


def _value(r, column, codepage, colid):
    code, sqltype = column.code, column.type
    try:
        if code in _FIXED_SIZE:
            if code == 0x1F:
                return None
            return sqltypes._fixed(sqltype.name, r.take(_FIXED_SIZE[code]))[1]
        if code in _BYTELEN_NAMES or code in (0x6A, 0x6C) or code in datetimes.NAMES:
            n = r.unpack("<B")
            if not n:
                return None
            raw = r.take(n)
            if code in (0x6A, 0x6C):
                number = sqltypes.WIDE.scaleb(Decimal(int.from_bytes(raw[1:], "little")),
                                              -sqltype.scale)
                return number if raw[0] else -number
            if code in datetimes.NAMES:
                if n != datetimes.value_length(sqltype.name, sqltype.scale):
                    raise _bad_length(colid)
                return datetimes.decode(raw, sqltype.name, sqltype.scale)
            if code == 0x24:
                return str(uuid.UUID(bytes_le=raw)).upper()
            name = _BYTELEN_NAMES[code].get(n)
            if name is None:
                raise _bad_length(colid)
            return sqltypes._fixed(name, raw)[1]
        if code in sqltypes._USHORTLEN:
            if sqltype.size == MAX:
                raw = sqltypes._read_plp(r)
            else:
                n = r.unpack("<H")
                raw = None if n == 0xFFFF else r.take(n)
            return sqltypes._character(sqltype.name, raw, None, codepage)
        # text, ntext, image: a text pointer (none: NULL), a timestamp, the data
        pointer = r.unpack("<B")
        if not pointer:
            return None
        r.take(pointer + 8)
        raw = r.take(r.unpack("<i"))
        return sqltypes._character(sqltype.name, raw, None, codepage)
    except tds.ProtocolError:
        raise _bad_length(colid) from None
    except (ValueError, OverflowError, struct.error):  # a date past 9999, say
        raise BadStream(4815, f"Received an invalid column length from the bcp client for "
                              f"colid {colid}.") from None


class Load:
    """The rows of one bulk load into a MES table, checked on the event loop; run(db) writes
    them on the database thread: the number of rows inserted.  Identity values are kept with
    KEEP_IDENTITY or under SET IDENTITY_INSERT ... ON (as freebcp -E asks)."""

    def __init__(self, statement, relation, columns, rows, codepage, identity_insert=False):
        table = {c.name.casefold(): c for c in tables.MES_TABLES[relation.name]}
        if len(columns) != len(statement.columns):
            raise SqlError(4816, "Invalid column type from bcp client for colid "
                                 f"{min(len(columns), len(statement.columns)) + 1}.")
        keep_identity = identity_insert or "KEEP_IDENTITY" in statement.options
        self.targets = []  # (table column or None when its value is dropped)
        for written, folded, _declared in statement.columns:
            column = table[folded]
            self.targets.append(None if column.identity and not keep_identity else column)
        self.name, self.rows, self.codepage = relation.name, rows, codepage
        self.keep_nulls = "KEEP_NULLS" in statement.options

    def run(self, db):
        count = 0
        try:
            for count, values in enumerate(self.rows, 1):
                self._insert(db, count, values)
        except BadStream as bad:
            raise SqlError(bad.number, bad.text) from None
        except tds.ProtocolError:  # the message ends inside a row
            raise SqlError(4815, "Received an invalid column length from the bcp client for "
                                 f"colid {len(self.targets)}.") from None
        return count

    def _insert(self, db, number, values):
        """Insert row number (from 1) of the load."""
        row = {}
        for place, (column, value) in enumerate(zip(self.targets, values), 1):
            if column is None:
                continue
            if value is None and column.default and not self.keep_nulls:
                continue  # an empty field takes the column's default
            try:
                row[column.name] = sqltypes.convert(value, column.type, self.codepage)
            except SqlError as err:
                if err.number not in (241, 245, 8114):
                    raise
                raise SqlError(4864, "Bulk load data conversion error (type mismatch or invalid "
                                     f"character for the specified codepage) for row {number}, "
                                     f"column {place} ({column.name}).") from None
        tables.insert(db, self.name, row)
