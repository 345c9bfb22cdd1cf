"""SQL Server data types as SQL sees them: declarations, and conversions as SQL Server does them.
(Their forms on the wire are in wire/types.py.)

Values are Python objects: str (character types), bytes (binary), int (integer types and bit),
Decimal (decimal/numeric, money), float, datetime/date/time, None (NULL).
"""

import re
import uuid
from dataclasses import dataclass
from datetime import date, datetime, time, timedelta, timezone
from decimal import Context, Decimal, InvalidOperation, ROUND_HALF_UP

from ..errors import SqlError
from . import datetimes


MAX = -1  # the size of nvarchar(max) and friends
# yyyy-mm-dd[( |T)hh:mm[:ss[.fffffff]]][ ][Z|+hh:mm]
_TIME_TEXT = re.compile(r"(\d{4})-(\d{1,2})-(\d{1,2})(?:[ T](\d{1,2}):(\d{2})(?::(\d{2})"
                        r"(?:\.(\d{1,7}))?)?)?\s*(Z|[+-]\d{2}:\d{2})?")

_CLOCK_TEXT = re.compile(r"\d{1,2}:\d{2}(?::\d{2}(?:\.\d{1,7})?)?")
# the other ways of writing the day that every language setting reads: 20240506 and
# 2024/05/06 (or with dots), each with a time after a blank or not
_DAY_TEXT = re.compile(r"(\d{4})(?:(\d{2})(\d{2})|[/.](\d{1,2})[/.](\d{1,2}))(?= |$)")

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


REAL_MAX = 3.4028234663852886e38  # the largest real
_INF = float("inf")


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
            number = float(value.strip() if isinstance(value, str) else value)
        except (TypeError, ValueError):
            raise SqlError(8114, f"Error converting data type {type_of(value).name} to float.") \
                from None
        if name == "real" and abs(number) > REAL_MAX and number not in (_INF, -_INF):
            raise SqlError(232, "Arithmetic overflow error for type real, value = %E." % number,
                           state=3)
        return number
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
            day = _DAY_TEXT.match(text)
            if day:
                year, *rest = (g for g in day.groups() if g is not None)
                text = "-".join([year] + rest) + text[day.end():]
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

def _decimal_size(precision):
    return 5 if precision <= 9 else 9 if precision <= 19 else 13 if precision <= 28 else 17


def store(value, column, table, codepage, qualified=None):
    """A value as the column keeps it; 2628 for a text or binary longer than the column
    (naming the table as qualified, else as a MES database table)."""
    stored = convert(value, column.type, codepage)
    size = column.type.size
    if value is not None and column.type.name in CHARACTER | BINARY \
            and size not in (None, MAX) and stored != value \
            and _length(value, column.type, codepage) > size:
        raise SqlError(2628, f"String or binary data would be truncated in table "
                             f"'{qualified or 'MES.dbo.' + table}', column '{column.name}'. "
                             f"Truncated value: "
                             f"'{stored}'.", state=1)
    return stored


def _length(value, sqltype, codepage):
    """The value's length in the column's units; trailing blanks of a text are cut silently,
    so they do not count."""
    if sqltype.name in BINARY or isinstance(value, bytes):
        return len(value)
    text = text_of(value).rstrip(" ")
    if sqltype.name in UNICODE:
        return len(text)
    return len(text.encode(codepage, errors="replace"))


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
