"""What expressions and queries mean: names bound to the tables' columns, types as SQL Server
gives them, values as SQL Server computes them.

A query is first bound (`Binder.query`): every column name becomes a reference to a column of
a table in FROM (or of an enclosing query), every expression gets its SQL Server type, and the
errors SQL Server finds before running anything (207, 208, 209, 195, 4104) are raised.  SQLite
runs the bound `Plan` (sqlite.py writes it as SQL); `value` computes an expression that reads no
table (a variable's value, a SELECT without FROM, an OUTPUT item of a written row).
"""

import re
import sys
from datetime import date, datetime, time, timedelta, timezone
from decimal import ROUND_DOWN, ROUND_HALF_UP, Decimal, InvalidOperation

from ..errors import SqlError
from . import functions, tables
from . import types as sqltypes
from . import bound
from .expressions import Subquery, Table
from .functions import like
from .types import SqlType

INT, BIGINT, BIT, FLOAT = sqltypes.INT, SqlType("bigint"), SqlType("bit"), SqlType("float")
SYSNAME = SqlType("nvarchar", 128)
DATETIME, DATETIME2 = SqlType("datetime"), SqlType("datetime2", 0, 0, 7)

# Data type precedence, highest first (SQL Server's order).
PRECEDENCE = ["datetimeoffset", "datetime2", "datetime", "smalldatetime", "date", "time",
              "float", "real", "decimal", "numeric", "money", "smallmoney", "bigint", "int",
              "smallint", "tinyint", "bit", "ntext", "text", "image", "uniqueidentifier",
              "nvarchar", "nchar", "varchar", "char", "varbinary", "binary"]
RANK = {name: n for n, name in enumerate(PRECEDENCE)}
_INT_PRECISION = {"tinyint": 3, "smallint": 5, "int": 10, "bigint": 19, "bit": 1}


def higher(t1, t2):
    return t1 if RANK.get(t1.name, 99) <= RANK.get(t2.name, 99) else t2


def _as_decimal_type(t):
    if t.name in ("decimal", "numeric", "money", "smallmoney"):
        return t.precision or 19, t.scale
    return _INT_PRECISION.get(t.name, 18), 0


def arithmetic_type(mark, t1, t2):
    if t1.name in sqltypes.CHARACTER and t2.name in sqltypes.CHARACTER and mark == "+":
        unicode = t1.name in sqltypes.UNICODE or t2.name in sqltypes.UNICODE
        name = "nvarchar" if unicode else "varchar"
        if sqltypes.MAX in (t1.size, t2.size):
            return SqlType(name, sqltypes.MAX)
        return SqlType(name, min(t1.size + t2.size, 4000 if unicode else 8000))
    top = higher(t1, t2)
    if top.name in ("decimal", "numeric"):
        p1, s1 = _as_decimal_type(t1)
        p2, s2 = _as_decimal_type(t2)
        if mark in "+-%":
            scale = max(s1, s2)
            precision = max(p1 - s1, p2 - s2) + scale + 1
        elif mark == "*":
            precision, scale = p1 + p2 + 1, s1 + s2
        else:
            scale = max(6, s1 + p2 + 1)
            precision = p1 - s1 + s2 + scale
        if precision > 38:
            scale = max(min(scale, 6), scale - (precision - 38))
            precision = 38
        return SqlType("numeric", 0, precision, scale)
    if top.name in sqltypes.CHARACTER:
        return INT
    if top.name == "bit":
        return INT
    return top


def text_value(value, codepage):
    return sqltypes.convert(value, SqlType("nvarchar", sqltypes.MAX), codepage)


def _fold(value):
    """A text as the database's CI collation compares it."""
    return value.rstrip(" ").casefold()


def coerce(value, target, codepage):
    """A value converted for comparison or arithmetic with a value of type target."""
    if value is None:
        return None
    name = target.name
    if name in sqltypes.CHARACTER:
        return value if isinstance(value, str) else sqltypes.text_of(value)
    if name in sqltypes.INT_RANGES:
        if isinstance(value, (int, Decimal, float)):
            return value
        return sqltypes.convert(value, target, codepage)
    if name in sqltypes.DECIMALS:
        if isinstance(value, (int, Decimal, float)):
            return value
        try:
            return Decimal(value.strip())
        except (InvalidOperation, AttributeError, TypeError):
            raise SqlError(8114, f"Error converting data type {sqltypes.type_of(value).name} "
                                 "to numeric.") from None
    if name in sqltypes.FLOATS:
        return sqltypes.convert(value, FLOAT, codepage)
    if name in sqltypes.TIMES:
        if isinstance(value, str):  # read as the date/time type it meets ('...' as a date)
            return sqltypes.convert(value, target, codepage)
        if isinstance(value, (int, float, Decimal)):
            try:
                return datetime(1900, 1, 1) + timedelta(days=float(value))
            except OverflowError:
                raise SqlError(8115, "Arithmetic overflow error converting expression to data "
                                     "type datetime.") from None
        return value
    return value


def compare(left, right, ltype, rtype, codepage):
    """-1, 0, 1, or None when either is NULL; as SQL Server compares them."""
    if left is None or right is None:
        return None
    common = higher(ltype, rtype)
    left, right = coerce(left, common, codepage), coerce(right, common, codepage)
    if isinstance(left, str) and isinstance(right, str):
        left, right = _fold(left), _fold(right)
    elif isinstance(left, (date, datetime)) and isinstance(right, (date, datetime)):
        left, right = _instant(left, right), _instant(right, left)
    try:
        return (left > right) - (left < right)
    except TypeError:
        raise SqlError(245, f"Conversion failed when converting the {sqltypes.type_of(left).name}"
                            f" value '{left}' to data type {common.name}.") from None


def _instant(value, other):
    """A date or datetime as comparable with another: a date as its midnight, a datetime
    without offset as at +00:00 when the other has one (SQL Server's conversion to
    datetimeoffset)."""
    if not isinstance(value, datetime):
        value = datetime.combine(value, time())
    if value.tzinfo is None and isinstance(other, datetime) and other.tzinfo is not None:
        value = value.replace(tzinfo=timezone.utc)
    return value


def _check_int(value, sqltype):
    low, high = sqltypes.INT_RANGES.get(sqltype.name, (None, None))
    if low is not None and not low <= value <= high:
        raise SqlError(8115, f"Arithmetic overflow error converting expression to data type "
                             f"{sqltype.name}.")
    return value


def arithmetic(mark, left, right, node, codepage):
    if left is None or right is None:
        return None
    result = node.type
    if result.name in sqltypes.CHARACTER:
        return sqltypes.convert(text_value(left, codepage) + text_value(right, codepage), result,
                                codepage)
    if result.name in sqltypes.TIMES:
        if mark in "+-" and result.name not in ("datetime", "smalldatetime"):
            raise SqlError(206, f"Operand type clash: {node.left.type.name} is incompatible "
                                f"with {node.right.type.name}")
        if mark not in "+-":
            names = {"+": "add", "-": "subtract", "*": "multiply", "/": "divide", "%": "modulo",
                     "&": "boolean AND", "|": "boolean OR", "^": "boolean XOR"}
            raise SqlError(8117, f"Operand data type {result.name} is invalid for "
                                 f"{names[mark]} operator.")
        base, other = (left, right) if isinstance(left, (datetime, date, str)) else (right, left)
        base = coerce(base, DATETIME, codepage)
        days = float(coerce(other, FLOAT, codepage))
        return base + timedelta(days=days) if mark == "+" else base - timedelta(days=days)
    left, right = coerce(left, result, codepage), coerce(right, result, codepage)
    if result.name in sqltypes.INT_RANGES:
        left, right = int(left), int(right)
    elif result.name in sqltypes.FLOATS:
        left, right = float(left), float(right)
    else:
        left, right = Decimal(left), Decimal(right)
    if mark in "/%" and right == 0:
        raise SqlError(8134, "Divide by zero error encountered.")
    if mark == "+":
        value = left + right
    elif mark == "-":
        value = left - right
    elif mark == "*":
        value = left * right
    elif mark == "/":
        if isinstance(left, int):
            value = abs(left) // abs(right) * (1 if (left < 0) == (right < 0) else -1)
        else:
            value = left / right
    elif mark == "%":
        value = abs(left) % abs(right) * (-1 if left < 0 else 1) if isinstance(left, int) \
            else left % right
    else:
        value = {"&": left & right, "|": left | right, "^": left ^ right}[mark]
    if result.name in sqltypes.INT_RANGES:
        return _check_int(value, result)
    if result.name in ("money", "smallmoney") and mark == "/":  # money keeps 4 places, cut
        return value.quantize(Decimal("0.0001"), rounding=ROUND_DOWN, context=sqltypes.WIDE)
    if result.name in ("decimal", "numeric"):
        try:
            if abs(value) >= Decimal(10) ** (result.precision - result.scale):
                raise InvalidOperation
            return sqltypes.convert(value, result, codepage)
        except InvalidOperation:  # more digits than decimal(38) holds
            raise SqlError(8115, "Arithmetic overflow error converting expression to data "
                                 "type numeric.") from None
    return value


# ---------------------------------------------------------------- functions

SERVER_PROPERTIES = {
    "productversion": "15.0.2000.5", "productlevel": "RTM", "productmajorversion": "15",
    "productminorversion": "0", "productbuild": "2000", "edition": "Developer Edition (64-bit)",
    "engineedition": 3, "editionid": -2117995310, "servername": "MESSIM",
    "machinename": "MESSIM", "instancename": None, "isclustered": 0,
    "isintegratedsecurityonly": 0, "isfulltextinstalled": 0, "ishadrenabled": 0,
    "issingleuser": 0, "productupdatelevel": None, "productupdatereference": None,
    "resourceversion": "15.00.2000", "collation": None, "sqlcharset": 1,
    "lcid": 2052, "buildclrversion": "v4.0.30319", "processid": 4242,
    "isxtpsupported": 1, "ispolybaseinstalled": 0, "filestreamconfiguredlevel": 0,
}
_DATEPARTS = {"year": "year", "yy": "year", "yyyy": "year", "quarter": "quarter", "qq": "quarter",
              "q": "quarter", "month": "month", "mm": "month", "m": "month",
              "dayofyear": "dayofyear", "dy": "dayofyear", "y": "dayofyear", "day": "day",
              "dd": "day", "d": "day", "week": "week", "wk": "week", "ww": "week",
              "weekday": "weekday", "dw": "weekday", "hour": "hour", "hh": "hour",
              "minute": "minute", "mi": "minute", "n": "minute", "second": "second",
              "ss": "second", "s": "second", "millisecond": "millisecond", "ms": "millisecond",
              "microsecond": "microsecond", "mcs": "microsecond", "nanosecond": "nanosecond",
              "ns": "nanosecond"}


def _datepart_name(text):
    part = _DATEPARTS.get(text)
    if part is None:
        raise SqlError(155, f"'{text}' is not a recognized dateadd option.", severity=15)
    return part


def _add_months(value, months):
    month = value.month - 1 + months
    year = value.year + month // 12
    month = month % 12 + 1
    for day in (value.day, 30, 29, 28):
        try:
            return value.replace(year=year, month=month, day=day)
        except ValueError:
            continue
    return value


_CLOCK_PARTS = {"hour", "minute", "second", "millisecond", "microsecond", "nanosecond"}


def dateadd(part, number, value):
    part = _datepart_name(part)
    number = int(number)
    kind = "time" if isinstance(value, time) else \
        "date" if not isinstance(value, datetime) else None
    if kind is not None and (part in _CLOCK_PARTS) != (kind == "time"):
        raise SqlError(9810, f"The datepart {part} is not supported by date function dateadd "
                             f"for data type {kind}.")
    if kind == "time":  # round the clock: past midnight is the next morning's time
        return (datetime.combine(date(1900, 1, 1), value) + timedelta(seconds=number * {
            "hour": 3600, "minute": 60, "second": 1, "millisecond": 1e-3, "microsecond": 1e-6,
            "nanosecond": 1e-9}[part] % 86400)).time()
    if part in ("year", "quarter", "month"):
        return _add_months(value, number * {"year": 12, "quarter": 3, "month": 1}[part])
    seconds = {"dayofyear": 86400, "day": 86400, "week": 604800, "weekday": 86400,
               "hour": 3600, "minute": 60, "second": 1, "millisecond": 1e-3,
               "microsecond": 1e-6, "nanosecond": 1e-9}[part]
    try:
        return value + timedelta(seconds=number * seconds)
    except OverflowError:
        raise SqlError(517, "Adding a value to a 'datetime' column caused an overflow.") from None


def datediff(part, start, end):
    part = _datepart_name(part)
    if part == "year":
        return end.year - start.year
    if part == "quarter":
        return (end.year - start.year) * 4 + (end.month - 1) // 3 - (start.month - 1) // 3
    if part == "month":
        return (end.year - start.year) * 12 + end.month - start.month
    if part in ("day", "dayofyear", "weekday"):
        return (_day(end) - _day(start)).days
    if part == "week":
        return ((_day(end) - _day(start)).days + (_day(start).weekday() + 1) % 7) // 7
    unit = {"hour": 3600, "minute": 60, "second": 1, "millisecond": 1e-3, "microsecond": 1e-6,
            "nanosecond": 1e-9}[part]
    floor = lambda v: (v - datetime(1900, 1, 1)).total_seconds() // unit  # noqa: E731
    return int(floor(_dt(end)) - floor(_dt(start)))


def _day(value):
    return value.date() if isinstance(value, datetime) else value


def _dt(value):
    return value if isinstance(value, datetime) else datetime.combine(value, time())


def datepart(part, value):
    if part in ("iso_week", "isowk", "isoww"):  # DATEPART's own: no DATEADD or DATEDIFF of it
        return _dt(value).isocalendar()[1]
    if part in ("tzoffset", "tz"):  # minutes east of UTC; 0 for a type without an offset
        offset = value.utcoffset() if isinstance(value, (datetime, time)) else None
        return int(offset.total_seconds()) // 60 if offset is not None else 0
    part = _datepart_name(part)
    value = _dt(value)
    if part == "quarter":
        return (value.month - 1) // 3 + 1
    if part == "dayofyear":
        return value.timetuple().tm_yday
    if part == "weekday":
        return (value.weekday() + 1) % 7 + 1
    if part == "week":
        return int(value.strftime("%U")) + 1
    if part == "millisecond":
        return value.microsecond // 1000
    if part == "nanosecond":
        return value.microsecond * 1000
    return getattr(value, part)


def _same_char(t, size=None):
    """The type of a function's text result: its argument's character type."""
    if t.name in sqltypes.CHARACTER:
        name = "nvarchar" if t.name in sqltypes.UNICODE else "varchar"
        return SqlType(name, t.size if size is None else size)
    return SqlType("varchar", 30 if size is None else size)


def _len(s):
    return len(s.rstrip(" "))


def _substring(s, start, length):
    if length < 0:
        raise SqlError(537, "Invalid length parameter passed to the LEFT or SUBSTRING function.")
    begin = max(start, 1)
    end = start + length
    return s[begin - 1:max(end - 1, begin - 1)]


def _charindex(find, s, start=1):
    start = max(int(start), 1)
    if not find:
        return 0
    n = s.casefold().find(find.casefold(), start - 1)
    return n + 1


def _replace(s, old, new, limit=None):
    """REPLACE, built no further than limit characters (the result's type cuts it there)."""
    if not old:
        return s
    out, size, at = [], 0, 0
    for found in re.finditer(re.escape(old), s, flags=re.IGNORECASE):
        out += [s[at:found.start()], new]
        size, at = size + found.start() - at + len(new), found.end()
        if limit is not None and size > limit:
            return "".join(out)[:limit]
    return "".join(out) + s[at:]


def _replace_type(ts):
    unicode = any(t.name in sqltypes.UNICODE for t in ts)
    size = sqltypes.MAX if ts[0].name in sqltypes.CHARACTER and ts[0].size == sqltypes.MAX \
        else 4000 if unicode else 8000
    return SqlType("nvarchar" if unicode else "varchar", size)


def _round(value, digits, cut=0):
    """ROUND: half away from zero (a float too), or cut toward zero when cut is not 0."""
    mode = ROUND_DOWN if cut else ROUND_HALF_UP
    number = Decimal(repr(value)) if isinstance(value, float) else Decimal(value)
    rounded = number.quantize(Decimal(1).scaleb(-int(digits)), rounding=mode,
                              context=sqltypes.WIDE)
    if isinstance(value, float):
        return float(rounded)
    if rounded.as_tuple().exponent > 0:  # ROUND(45, -1): 50, not 5E+1
        rounded = rounded.quantize(Decimal(1), context=sqltypes.WIDE)
    return int(rounded) if isinstance(value, int) else rounded


# name: (min args, max args, result type from argument types, value from argument values);
# a value function gets (session, *values) and is not called with a NULL argument unless its
# name is in NULL_FRIENDLY.
FUNCTIONS = {
    "len": (1, 1, lambda ts: INT, lambda s, v: _len(text_value(v, s.codepage))),
    "upper": (1, 1, lambda ts: _same_char(ts[0]), lambda s, v: text_value(v, s.codepage).upper()),
    "lower": (1, 1, lambda ts: _same_char(ts[0]), lambda s, v: text_value(v, s.codepage).lower()),
    "ltrim": (1, 1, lambda ts: _same_char(ts[0]), lambda s, v: text_value(v, s.codepage).lstrip(" ")),
    "rtrim": (1, 1, lambda ts: _same_char(ts[0]), lambda s, v: text_value(v, s.codepage).rstrip(" ")),
    "reverse": (1, 1, lambda ts: _same_char(ts[0]), lambda s, v: text_value(v, s.codepage)[::-1]),
    "substring": (3, 3, lambda ts: _same_char(ts[0]),
                  lambda s, v, a, b: _substring(text_value(v, s.codepage), int(a), int(b))),
    "left": (2, 2, lambda ts: _same_char(ts[0]),
             lambda s, v, n: _substring(text_value(v, s.codepage), 1, int(n))),
    "right": (2, 2, lambda ts: _same_char(ts[0]),
              lambda s, v, n: text_value(v, s.codepage)[max(len(text_value(v, s.codepage)) - int(n), 0):]),
    "replace": (3, 3, _replace_type,
                lambda s, v, a, b: _replace(text_value(v, s.codepage), text_value(a, s.codepage),
                                            text_value(b, s.codepage))),
    "charindex": (2, 3, lambda ts: INT, lambda s, a, b, *c: _charindex(
        text_value(a, s.codepage), text_value(b, s.codepage), *c)),
    "abs": (1, 1, lambda ts: ts[0] if ts[0].name not in sqltypes.CHARACTER else FLOAT,
            lambda s, v: abs(v)),
    "round": (2, 3, lambda ts: ts[0], lambda s, v, d, *r: _round(v, d, *r)),
    "getdate": (0, 0, lambda ts: DATETIME, lambda s: datetime.now().replace(
        microsecond=datetime.now().microsecond // 1000 * 1000)),
    "current_timestamp": (0, 0, lambda ts: DATETIME, lambda s: datetime.now()),
    "getutcdate": (0, 0, lambda ts: DATETIME, lambda s: datetime.utcnow()),
    "sysdatetime": (0, 0, lambda ts: DATETIME2, lambda s: datetime.now()),
    "sysutcdatetime": (0, 0, lambda ts: DATETIME2, lambda s: datetime.utcnow()),
    "dateadd": (3, 3, lambda ts: ts[2] if ts[2].name in sqltypes.TIMES else DATETIME,
                lambda s, p, n, d: dateadd(p, n, coerce(d, DATETIME, s.codepage))),
    "datediff": (3, 3, lambda ts: INT, lambda s, p, a, b: _check_int(datediff(
        p, coerce(a, DATETIME, s.codepage), coerce(b, DATETIME, s.codepage)), INT)),
    "datepart": (2, 2, lambda ts: INT, lambda s, p, d: datepart(p, coerce(d, DATETIME, s.codepage))),
    "year": (1, 1, lambda ts: INT, lambda s, d: coerce(d, DATETIME, s.codepage).year),
    "month": (1, 1, lambda ts: INT, lambda s, d: coerce(d, DATETIME, s.codepage).month),
    "day": (1, 1, lambda ts: INT, lambda s, d: coerce(d, DATETIME, s.codepage).day),
    "schema_name": (0, 1, lambda ts: SYSNAME, lambda s, *i: "dbo" if not i else {
        v: k for k, v in tables.SCHEMAS.items()}.get(i[0])),
    "schema_id": (0, 1, lambda ts: INT, lambda s, *n: 1 if not n else {
        k.casefold(): v for k, v in tables.SCHEMAS.items()}.get(n[0].casefold())),
    "db_name": (0, 1, lambda ts: SYSNAME, lambda s, *i: s.database if not i or i[0] == 5 else {
        1: "master", 2: "tempdb", 3: "model", 4: "msdb"}.get(i[0])),
    "db_id": (0, 1, lambda ts: SqlType("smallint"), lambda s, *n: 5 if not n else {
        "master": 1, "tempdb": 2, "model": 3, "msdb": 4, s.database.casefold(): 5}.get(
            n[0].casefold())),
    "user_name": (0, 1, lambda ts: SYSNAME, lambda s, *i: "dbo" if not i or i[0] == 1 else None),
    "current_user": (0, 0, lambda ts: SYSNAME, lambda s: "dbo"),
    "session_user": (0, 0, lambda ts: SYSNAME, lambda s: "dbo"),
    "user": (0, 0, lambda ts: SYSNAME, lambda s: "dbo"),
    "suser_sname": (0, 1, lambda ts: SYSNAME, lambda s, *i: s.user),
    "suser_name": (0, 1, lambda ts: SYSNAME, lambda s, *i: s.user),
    "system_user": (0, 0, lambda ts: SYSNAME, lambda s: s.user),
    "original_login": (0, 0, lambda ts: SYSNAME, lambda s: s.user),
    "host_name": (0, 0, lambda ts: SqlType("nvarchar", 128), lambda s: "localhost"),
    "app_name": (0, 0, lambda ts: SqlType("nvarchar", 128), lambda s: ""),
    "object_name": (1, 2, lambda ts: SYSNAME, lambda s, i, *d: tables.object_name(i)),
    "col_name": (2, 2, lambda ts: SYSNAME, lambda s, i, n: tables.column_name(i, n)),
    "object_schema_name": (1, 2, lambda ts: SYSNAME,
                           lambda s, i, *d: "dbo" if tables.object_name(i) else None),
    "type_name": (1, 1, lambda ts: SYSNAME, lambda s, i: next(
        (n for n, v in tables.SYSTEM_TYPES.items() if v[0] == i and n != "sysname"), None)),
    "is_srvrolemember": (1, 2, lambda ts: INT, lambda s, *a: 1),
    "is_member": (1, 1, lambda ts: INT, lambda s, *a: 1),
    "has_dbaccess": (1, 1, lambda ts: INT, lambda s, n: 1),
    "newid": (0, 0, lambda ts: SqlType("uniqueidentifier"),
              lambda s: str(__import__("uuid").uuid4()).upper()),
    "scope_identity": (0, 0, lambda ts: SqlType("numeric", 0, 38, 0),
                       lambda s: s.identity),
    "serverproperty": (1, 1, None, lambda s, name: s.collation_name
                       if text_value(name, s.codepage).casefold() == "collation"
                       else SERVER_PROPERTIES.get(text_value(name, s.codepage).casefold())),
    "databasepropertyex": (2, 2, lambda ts: SqlType("nvarchar", 128), lambda s, d, p: {
        "collation": s.collation_name, "status": "ONLINE", "updateability": "READ_WRITE",
        "useraccess": "MULTI_USER", "recovery": "FULL", "version": "904"}.get(
            text_value(p, s.codepage).casefold())),
    "collationproperty": (2, 2, lambda ts: INT, lambda s, c, p: _collation_property(
        text_value(c, s.codepage), text_value(p, s.codepage))),
    "has_perms_by_name": (3, 5, lambda ts: INT, lambda s, name, kind, permission, *_: _has_perms(
        s, text_value(name, s.codepage), text_value(kind, s.codepage),
        text_value(permission, s.codepage))),
    "columnproperty": (3, 3, lambda ts: INT, lambda s, *a: 0),
    "objectproperty": (2, 2, lambda ts: INT, lambda s, *a: 0),
}
# The code pages of the collations a server here may have, by the start of their names.
_CODE_PAGES = (("chinese_prc", 936), ("chinese_taiwan", 950), ("japanese", 932),
               ("korean", 949), ("cyrillic", 1251), ("sql_latin1_general_cp1", 1252),
               ("latin1_general", 1252))


def _collation_property(collation, prop):
    """COLLATIONPROPERTY(collation, 'CodePage'): the collation's code page; NULL for an
    unknown collation or another property."""
    if collation is None or prop is None or prop.casefold() != "codepage":
        return None
    name = collation.casefold()
    return next((page for start, page in _CODE_PAGES if name.startswith(start)), None)


def _has_perms(session, name, kind, permission):
    """HAS_PERMS_BY_NAME(object, 'OBJECT', permission): 1 or 0 for the objects of this
    database (only the MES procedures' EXECUTE can be denied, with --deny-execute); NULL for
    an object that does not exist or a class other than OBJECT and DATABASE."""
    if kind is None or permission is None:
        return None
    kind = kind.casefold()
    if kind == "database":
        return 1
    if kind != "object" or name is None or tables.object_id(name, session.database) is None:
        return None
    procedure = name.split(".")[-1].strip("[]").casefold()
    if procedure in tables.PROCEDURES and permission.casefold() == "execute":
        return 0 if session.conn.config.deny_execute else 1
    return 1


NULL_FRIENDLY = {"schema_name", "db_name", "user_name", "suser_sname", "suser_name", "db_id",
                 "schema_id", "concat", "isnull", "coalesce", "nullif", "iif", "choose",
                 "concat_ws", "isnumeric", "isdate", "checksum", "binary_checksum",
                 "formatmessage"}
# Functions whose type depends on their arguments' values or on all of them.
SPECIAL = {"isnull", "coalesce", "nullif", "iif", "concat", "choose"}


def _scale(function, kind, arg):
    """The scale argument of DATETIME2FROMPARTS and TIMEFROMPARTS: an integer constant."""
    if arg.kind != "lit" or not isinstance(arg.value, int) or not 0 <= arg.value <= 7:
        raise SqlError(10760, f"Scale argument is not valid. Valid expressions for data type "
                              f"{kind} scale argument are integer constants and integer "
                              "constant expressions.", severity=15)
    return SqlType(kind, 0, 0, arg.value)


def _str_type(args):
    size = args[1].value if len(args) > 1 and args[1].kind == "lit" and \
        isinstance(args[1].value, int) and 0 < args[1].value <= 8000 else 10
    return SqlType("varchar", size)


def _concat_ws_type(args):
    types = [a.type for a in args]
    unicode = any(t.name in sqltypes.UNICODE for t in types)
    sizes = [t.size if t.name in sqltypes.CHARACTER else 30 for t in types]
    size = sum(sizes[1:]) + sizes[0] * (len(sizes) - 2)
    if sqltypes.MAX in sizes:
        size = sqltypes.MAX
    return SqlType("nvarchar" if unicode else "varchar",
                   size if size == sqltypes.MAX else min(size, 4000 if unicode else 8000))


# Functions whose result type depends on their arguments themselves (constants among them).
ARGUMENT_TYPED = {
    "concat_ws": _concat_ws_type,
    "datetime2fromparts": lambda args: _scale("datetime2fromparts", "datetime2", args[-1]),
    "timefromparts": lambda args: _scale("timefromparts", "time", args[-1]),
    "str": _str_type,
}
# Argument types a function refuses (8116): name: {argument index: the types it takes}.
_TEXTS = sqltypes.CHARACTER
TAKES = {"hashbytes": {1: _TEXTS | {"binary", "varbinary"}}, "isjson": {0: _TEXTS},
         "json_value": {0: _TEXTS, 1: _TEXTS}}


def serverproperty_type(node_args):
    arg = node_args[0]
    if arg.kind == "lit" and isinstance(arg.value, str):
        value = SERVER_PROPERTIES.get(arg.value.casefold())
        if isinstance(value, int):
            return INT
    return SqlType("nvarchar", 128)


# ---------------------------------------------------------------- binding

class Scope:
    def __init__(self, sources, parent):
        self.sources, self.parent = sources, parent  # sources: [Source]


def _named(plan, cte):
    """A CTE's plan, its columns named by the CTE's column list (if it has one)."""
    if cte.columns is not None:
        if len(cte.columns) != len(plan.columns):
            more = len(plan.columns) > len(cte.columns)
            raise SqlError(8158 if more else 8159,
                           f"'{cte.name}' has {'more' if more else 'fewer'} columns than were "
                           "specified in the column list.")
        plan.columns = [(name, sqltype) for name, (_n, sqltype) in
                        zip(cte.columns, plan.columns)]
    return plan


def _reads(node, name):
    """Whether a query's tree reads the table (or CTE) of that one-part name."""
    if isinstance(node, Table):
        return node.parts == (name,)
    if isinstance(node, (tuple, list)):
        return any(_reads(item, name) for item in node)
    return False


def _unite_times(cores):
    """The columns of a UNION (INTERSECT, EXCEPT) where the SELECTs give date/time values of
    different types: of the type highest in precedence, each SELECT's values converted to it
    (so that a date and its midnight as datetime are one value)."""
    if len(cores) < 2:
        return
    for n in range(len(cores[0].columns)):
        types = [core.columns[n][1] for core in cores]
        if len({t.name for t in types}) < 2 or not all(t.name in sqltypes.TIMES for t in types):
            continue
        top = max((t for t in types if RANK[t.name] == min(RANK[u.name] for u in types)),
                  key=lambda t: t.scale or 0)  # of the type's members, the finest scale
        for core in cores:
            name, sqltype = core.columns[n]
            if sqltype.name != top.name or sqltype.scale != top.scale:
                core.items[n] = bound.Item(bound.Cast(top, core.items[n].node, None), name)
                core.columns[n] = (name, top)


class Binder:
    def __init__(self, session, variables):
        self.session, self.variables = session, variables
        self.ctes = {}
        self.mes_tables = set()

    def query(self, q, parent=None):
        saved = dict(self.ctes)
        for cte in q.ctes:
            if _reads(cte.query.cores, cte.name):
                self.ctes[cte.name] = self._recursive(cte, parent, q.recursion)
            else:
                self.ctes[cte.name] = _named(self.query(cte.query, parent), cte)
        cores = [self.core(core, parent) for core in q.cores]
        width = len(cores[0].columns)
        for core in cores[1:]:
            if len(core.columns) != width:
                raise SqlError(205, "All queries combined using a UNION, INTERSECT or EXCEPT "
                                    "operator must have an equal number of expressions in their "
                                    "target lists.")
        _unite_times(cores)
        plan = bound.Plan(cores, q.unions)
        if q.order:
            if len(cores) > 1:
                plan.order = [(self._output_ref(key.expr, cores[0]), key.descending)
                              for key in q.order]
            else:
                plan.order = [(self._order_key(key.expr, cores[0]), key.descending)
                              for key in q.order]
        plan.offset = self.bind(q.offset, Scope([], parent)) if q.offset else None
        plan.fetch = self.bind(q.fetch, Scope([], parent)) if q.fetch else None
        self.ctes = saved
        return plan

    def _recursive(self, cte, parent, limit):
        """A CTE that reads itself: its anchor members (the SELECTs before the first that
        reads it), then its recursive ones, all joined by UNION ALL; SQLite's WITH RECURSIVE
        runs it.  The plan's recursion is the bound.Recursion its recursive members read."""
        q, name = cte.query, cte.name
        first = next(n for n, core in enumerate(q.cores) if _reads(core, name))
        if not first:
            raise SqlError(246, f'No anchor member was specified for recursive query "{name}".')
        if any(union != "union all" for union in q.unions[first - 1:]):
            raise SqlError(252, f"Recursive common table expression '{name}' does not contain "
                                "a top-level UNION ALL operator.")
        anchor = _named(self.query(q._replace(ctes=(), cores=q.cores[:first],
                                              unions=q.unions[:first - 1], order=()), parent),
                        cte)
        self.recursions = getattr(self, "recursions", 0) + 1
        recursion = bound.Recursion(f"recursive{self.recursions}", anchor.columns,
                                    100 if limit is None else limit)
        self.ctes[name] = recursion
        cores = anchor.cores + [self.core(core, parent) for core in q.cores[first:]]
        for core in cores[first:]:
            if len(core.columns) != len(anchor.columns):
                raise SqlError(205, "All queries combined using a UNION, INTERSECT or EXCEPT "
                                    "operator must have an equal number of expressions in their "
                                    "target lists.")
        plan = bound.Plan(cores, q.unions)
        plan.columns, plan.recursion = anchor.columns, recursion
        return plan

    def _order_key(self, expr, core):
        """ORDER BY of one SELECT: a place or a name of its select list, or an expression."""
        if expr.kind == "lit" and isinstance(expr.value, int) \
                and not isinstance(expr.value, bool):
            if not 1 <= expr.value <= len(core.columns):
                raise SqlError(108, f"The ORDER BY position number {expr.value} is out of range "
                                    "of the number of items in the select list.", severity=15)
            return bound.Output(None, expr.value - 1)
        if expr.kind == "column" and len(expr.parts) == 1:
            for n, (name, _t) in enumerate(core.columns):
                if name and name.casefold() == expr.parts[0]:
                    return bound.Output(None, n)
        return self.bind(expr, core.scope)

    def _output_ref(self, expr, core):
        if expr.kind == "lit" and isinstance(expr.value, int):
            return bound.Output(None, expr.value - 1)
        if expr.kind == "column":
            for n, (name, _t) in enumerate(core.columns):
                if name.casefold() == expr.parts[-1]:
                    return bound.Output(None, n)
        raise SqlError(104, "ORDER BY items must appear in the select list if the statement "
                            "contains a UNION, INTERSECT or EXCEPT operator.", severity=15)

    def source(self, item, parent):
        if item.kind == "values":  # (VALUES (...), ...) AS alias (columns)
            alias, names = item.alias, item.columns
            scope = Scope([], parent)
            rows = [[self.bind(e, scope) for e in row] for row in item.rows]
            types = [node.type for node in rows[0]]
            for row in rows[1:]:
                types = [_combined(t, node.type) for t, node in zip(types, row)]
            return bound.Source({alias.casefold()}, list(zip(names, types)), plan=bound.Values(rows),
                          alias=alias)
        if item.kind == "tablevar":
            name, written, alias = item.name, item.written, item.alias
            slot = self.variables.get(name)
            if slot is None or slot[0].name != "table":
                raise SqlError(1087, f'Must declare the table variable "{written}".',
                               severity=15, state=2)
            return bound.Source({(alias or written).casefold()}, slot[0].columns,
                          plan=bound.TableVariable(name))
        if item.kind == "rowsfunction":
            return self.rows_function(item, parent)
        if item.kind == "derived":
            plan = self.query(item.query, parent)
            return bound.Source({item.alias.casefold()}, plan.columns, plan=plan, alias=item.alias)
        parts, written, alias = item.parts, item.written, item.alias
        if len(parts) == 1 and parts[0] in self.ctes:
            plan = self.ctes[parts[0]]
            return bound.Source({(alias or parts[0]).casefold()}, plan.columns, plan=plan)
        rel = tables.relation(parts, self.session.database) or self.session.user_relation(parts)
        if rel is None:
            raise SqlError(208, f"Invalid object name '{written}'.")
        if rel.kind != "catalog":
            self.mes_tables.add(rel.name)
        names = {alias.casefold()} if alias else {rel.name, (rel.schema.casefold(), rel.name)}
        return bound.Source(names, rel.columns, relation=rel, alias=alias)

    def rows_function(self, item, scope):
        """STRING_SPLIT's value rows, OPENJSON's key, value and type rows."""
        name, args = item.name, [self.bind(a, scope) for a in item.args]
        if name == "string_split":
            _arity(name, args, 2, 2)
            separator = args[1]
            if separator.kind == "lit" and (separator.value is None or
                                            len(str(separator.value)) != 1):
                raise SqlError(214, "Procedure expects parameter 'separator' of type "
                                    "'nchar(1)/nvarchar(1)'.")
            columns = [("value", _same_char(args[0].type))]
        else:
            _arity(name, args, 1, 2)
            columns = [("key", SqlType("nvarchar", 4000)),
                       ("value", SqlType("nvarchar", sqltypes.MAX)), ("type", sqltypes.INT)]
        alias = item.alias or name
        return bound.Source({alias.casefold()}, columns, plan=bound.RowsFunction(name, args),
                            alias=item.alias)

    def core(self, select, parent):
        sources, joins = [], []
        scope = Scope(sources, parent)
        for join in select.sources:
            # an applied query sees the sources before it, as a correlated subquery does
            sources.append(self.source(join.source,
                                       scope if join.how.endswith("apply") else parent))
            joins.append(bound.Join(join.how, self.bind(join.on, scope)
                                    if join.on is not None else None))
        core = bound.Core(sources, joins)
        core.where = self.bind(select.where, scope) if select.where is not None else None
        if core.where is not None and _has_agg(core.where):
            raise SqlError(147, "An aggregate may not appear in the WHERE clause unless it is in "
                                "a subquery contained in a HAVING clause or a select list, and "
                                "the column being aggregated is an outer reference.", severity=15)
        core.group = [self.bind(g, scope) for g in select.group]
        core.having = self.bind(select.having, scope) if select.having is not None else None
        items, columns = [], []
        for item in select.items:
            if item.kind == "assign":
                items.append(bound.Assignment(item.variable, self.bind(item.value, scope)))
                continue
            expr, alias = item.expr, item.alias
            if expr.kind == "star":
                for n, src in enumerate(sources):
                    if expr.qualifier is not None and not _names_match(src, expr.qualifier):
                        continue
                    for m, (name, sqltype) in enumerate(src.columns):
                        items.append(bound.Item(bound.Ref(sqltype, 0, n, m, name), name))
                        columns.append((name, sqltype))
                if not sources:
                    raise SqlError(263, "Must specify table to select from.")
                if expr.qualifier is not None and \
                        not any(_names_match(s, expr.qualifier) for s in sources):
                    raise SqlError(4104, f'The multi-part identifier "{".".join(expr.qualifier)}" '
                                         'could not be bound.')
                continue
            node = self.bind(expr, scope)
            name = alias if alias is not None else node.name if node.kind == "ref" else ""
            items.append(bound.Item(node, name))
            columns.append((name, node.type))
        if any(i.kind == "assign" for i in items) and columns:
            raise SqlError(141, "A SELECT statement that assigns a value to a variable must not "
                                "be combined with data-retrieval operations.", severity=15)
        core.items, core.columns = items, columns
        core.aggregate = bool(core.group) or any(_has_agg(i.node) for i in items) or \
            core.having is not None
        core.distinct = select.distinct
        core.percent, core.ties = select.percent, select.ties
        core.into = select.into
        core.top = self.bind(select.top, Scope([], parent)) if select.top is not None else None
        core.scope = scope
        return core

    def column(self, parts, written, scope):
        depth, current = 0, scope
        while current is not None:
            found = []
            for n, src in enumerate(current.sources):
                if len(parts) > 1 and not _names_match(src, parts[:-1]):
                    continue
                if parts[-1] in src.folded:
                    m = src.folded.index(parts[-1])
                    found.append((n, m, src))
            if len(found) > 1:
                raise SqlError(209, f"Ambiguous column name '{written.split('.')[-1]}'.")
            if found:
                n, m, src = found[0]
                return bound.Ref(src.columns[m][1], depth, n, m, src.columns[m][0])
            current, depth = current.parent, depth + 1
        if len(parts) > 1 and not any(_names_match(s, parts[:-1]) for s in _all_sources(scope)):
            raise SqlError(4104, f'The multi-part identifier "{written}" could not be bound.')
        raise SqlError(207, f"Invalid column name '{written.split('.')[-1]}'.")

    def bind(self, e, scope):
        kind = e.kind
        if kind == "lit":
            if isinstance(e.value, sqltypes.Varchar):  # its size in bytes of the code page
                size = len(e.value.encode(self.session.codepage, errors="replace"))
                return bound.Lit(SqlType("varchar", max(size, 1)), e.value)
            return bound.Lit(sqltypes.type_of(e.value), e.value)
        if kind == "var":
            slot = self.variables.get(e.name)
            if slot is None:
                raise SqlError(137, f'Must declare the scalar variable "{e.written}".', severity=15)
            return bound.Var(slot[0], e.name)
        if kind == "global":
            return bound.Global(GLOBAL_TYPES.get(e.name, INT), e.name)
        if kind == "default":
            return bound.Lit(INT, None)
        if kind == "column":
            return self.column(e.parts, e.written, scope)
        if kind in ("neg", "bitnot"):
            inner = self.bind(e.operand, scope)
            return bound.Unary(kind, inner.type if inner.type.name not in sqltypes.CHARACTER
                               else FLOAT, inner)
        if kind == "op":
            a, b = self.bind(e.left, scope), self.bind(e.right, scope)
            return bound.Op(arithmetic_type(e.mark, a.type, b.type), a, b, e.mark)
        if kind == "cmp":
            return bound.Cmp(BIT, self.bind(e.left, scope), self.bind(e.right, scope), e.mark)
        if kind in ("and", "or"):
            return bound.Logical(kind, BIT, self.bind(e.left, scope), self.bind(e.right, scope))
        if kind == "not":
            return bound.Unary("not", BIT, self.bind(e.operand, scope))
        if kind == "isnull":
            return bound.IsNull(BIT, self.bind(e.operand, scope), e.negated)
        if kind == "like":
            escape = None if e.escape is None else self.bind(e.escape, scope)
            return bound.Like(BIT, self.bind(e.operand, scope), self.bind(e.pattern, scope),
                              e.negated, escape)
        if kind == "in":
            left = self.bind(e.operand, scope)
            if isinstance(e.items, Subquery):
                items = self.query(e.items.query, scope)
                if len(items.columns) != 1:
                    raise SqlError(116, "Only one expression can be specified in the select "
                                        "list when the subquery is not introduced with EXISTS.")
            else:
                items = [self.bind(x, scope) for x in e.items]
            return bound.In(BIT, left, items, e.negated)
        if kind == "between":
            return bound.Between(BIT, self.bind(e.operand, scope), self.bind(e.low, scope),
                                 self.bind(e.high, scope), e.negated)
        if kind == "exists":
            return bound.Exists(BIT, self.query(e.query, scope))
        if kind == "subquery":
            plan = self.query(e.query, scope)
            if len(plan.columns) != 1:
                raise SqlError(116, "Only one expression can be specified in the select list "
                                    "when the subquery is not introduced with EXISTS.")
            return bound.Subquery(plan.columns[0][1], plan)
        if kind == "cast":
            inner = self.bind(e.operand, scope)
            if not (inner.kind == "lit" and inner.value is None):  # NULL converts to any type
                _allowed(inner.type, e.type)
            return bound.Cast(e.type, inner, self.bind(e.style, scope) if e.style else None,
                              e.attempt)
        if kind == "case":
            operand = self.bind(e.operand, scope) if e.operand is not None else None
            whens = [(self.bind(w.test, scope), self.bind(w.result, scope)) for w in e.whens]
            otherwise = self.bind(e.otherwise, scope)
            result = None
            for _w, then in whens + [(None, otherwise)]:
                if then.kind == "lit" and then.value is None:
                    continue
                result = then.type if result is None else _combined(result, then.type)
            return bound.Case(result or INT, operand, whens, otherwise)
        if kind == "agg":
            name = e.name
            if name == "string_agg":  # (separator, WITHIN GROUP order) where DISTINCT is
                arg, separator = self.bind(e.arg, scope), self.bind(e.separator, scope)
                order = [(self.bind(key.expr, scope), key.descending) for key in e.order]
                return bound.Agg(functions._cut_type(arg.type), name, arg, False, separator, order)
            arg = None if e.arg.kind == "star" else self.bind(e.arg, scope)
            if name == "count":
                sqltype = INT
            elif name == "count_big":
                sqltype = BIGINT
            elif name in functions.DEVIATIONS:
                sqltype = FLOAT
            elif name in ("sum", "avg") and arg.type.name in ("tinyint", "smallint", "bit"):
                sqltype = INT
            elif name == "sum" and arg.type.name in ("decimal", "numeric"):
                sqltype = SqlType("numeric", 0, 38, arg.type.scale)
            elif name == "avg" and arg.type.name in ("decimal", "numeric"):
                sqltype = SqlType("numeric", 0, 38, max(arg.type.scale, 6))
            else:
                sqltype = arg.type
            return bound.Agg(sqltype, name, arg, e.distinct, None, ())
        if kind == "call":
            return self.call(e, scope)
        if kind == "window":
            return self.window(e, scope)
        if kind == "star":
            raise SqlError(102, "Incorrect syntax near '*'.", severity=15)
        raise SqlError(102, f"Incorrect syntax near '{kind}'.", severity=15)

    def window(self, e, scope):
        """f(...) OVER (...): the ranking functions' types as SQL Server gives them."""
        function = e.function
        if function.kind == "agg":
            inner = self.bind(function, scope)
        else:
            name, args = function.name, [self.bind(a, scope) for a in function.args]
            low, high = WINDOWED[name]
            _arity(name, args, low, high)
            sqltype = BIGINT if name in ("row_number", "rank", "dense_rank", "ntile") else \
                FLOAT if name in ("percent_rank", "cume_dist") else args[0].type
            inner = bound.Call(sqltype, name, args)
        if not e.order and function.name in ("row_number", "rank", "dense_rank", "ntile", "lag",
                                             "lead", "percent_rank", "cume_dist"):
            raise SqlError(4112, f"The function '{function.name}' must have an OVER clause with "
                                 "ORDER BY.", severity=15)
        return bound.Window(inner.type, inner, [self.bind(p, scope) for p in e.partition],
                            [(self.bind(key.expr, scope), key.descending) for key in e.order],
                            e.frame)

    def call(self, e, scope):
        name, written = e.name, e.written
        if name == "newsequentialid":
            raise SqlError(302, "The newsequentialid() built-in function can only be used in a "
                                "DEFAULT expression for a column of type 'uniqueidentifier' in "
                                "a CREATE TABLE or ALTER TABLE statement. It cannot be combined "
                                "with other operators to form a complex scalar expression.")
        if len(e.args) == 1 and e.args[0].kind == "star":  # CHECKSUM(*): the row's columns
            args = [bound.Ref(t, 0, n, m, column) for n, src in enumerate(scope.sources)
                    for m, (column, t) in enumerate(src.columns)]
            if not args:
                raise SqlError(102, "Incorrect syntax near '*'.", severity=15)
        else:
            args = [self.bind(a, scope) for a in e.args]
        types = [a.type for a in args]
        if name in SPECIAL and name != "nullif":  # a NULL constant has no type of its own here
            types = [a.type for a in args if not (a.kind == "lit" and a.value is None)] or [INT]
        if name in SPECIAL:
            if name in ("isnull", "nullif"):
                _arity(name, args, 2, 2)
                sqltype = types[0]
            elif name == "coalesce":
                if len(args) < 2:
                    raise SqlError(189, "The coalesce function requires 2 to 254 arguments.",
                                   severity=15)
                sqltype = types[0]
                for t in types[1:]:
                    sqltype = _combined(sqltype, t)
            elif name == "iif":
                _arity(name, args, 3, 3)
                branches = [a.type for a in args[1:] if not (a.kind == "lit" and a.value is None)]
                sqltype = _combined(*branches) if len(branches) == 2 else \
                    branches[0] if branches else INT
            elif name == "choose":
                sqltype = types[1] if len(types) > 1 else INT
                for t in types[2:]:
                    sqltype = _combined(sqltype, t)
            else:
                if len(args) < 2:
                    raise SqlError(189, "The concat function requires 2 to 254 arguments.",
                                   severity=15)
                unicode = any(t.name in sqltypes.UNICODE for t in types)
                size = sum(t.size if t.name in sqltypes.CHARACTER else 30 for t in types)
                sqltype = SqlType("nvarchar" if unicode else "varchar",
                                  min(size, 4000 if unicode else 8000))
            return bound.Call(sqltype, name, args)
        entry = FUNCTIONS.get(name)
        if entry is None:
            raise SqlError(195, f"'{written.split('.')[-1]}' is not a recognized built-in "
                                "function name.", severity=15)
        if name == "concat_ws" and not 3 <= len(args) <= 254:
            raise SqlError(189, "The concat_ws function requires 3 to 254 arguments.",
                           severity=15)
        _arity(name, args, entry[0], entry[1])
        for n, taken in TAKES.get(name, {}).items():
            if args[n].type.name not in taken and not (args[n].kind == "lit"
                                                        and args[n].value is None):
                raise SqlError(8116, f"Argument data type {args[n].type.name} is invalid for "
                                     f"argument {n + 1} of {name} function.")
        sqltype = serverproperty_type(args) if name == "serverproperty" else \
            ARGUMENT_TYPED[name](args) if name in ARGUMENT_TYPED else entry[2](types)
        return bound.Call(sqltype, name, args)


WINDOWED = {"row_number": (0, 0), "rank": (0, 0), "dense_rank": (0, 0), "ntile": (1, 1),
            "lag": (1, 3), "lead": (1, 3), "first_value": (1, 1), "last_value": (1, 1),
            "percent_rank": (0, 0), "cume_dist": (0, 0)}


def _arity(name, args, low, high):
    if not low <= len(args) <= high:
        counts = str(low) if low == high else f"{low} to {high}"
        raise SqlError(174, f"The {name} function requires {counts} argument(s).", severity=15)


def _combined(t1, t2):
    """The type of CASE, COALESCE, ...: the higher of their types (texts: the longer)."""
    if t1.name in sqltypes.CHARACTER and t2.name in sqltypes.CHARACTER:
        unicode = t1.name in sqltypes.UNICODE or t2.name in sqltypes.UNICODE
        size = sqltypes.MAX if sqltypes.MAX in (t1.size, t2.size) else max(t1.size, t2.size)
        return SqlType("nvarchar" if unicode else "varchar", size)
    if t1.name in ("decimal", "numeric") and t2.name in ("decimal", "numeric"):
        scale = max(t1.scale, t2.scale)
        return SqlType("numeric", 0, min(38, max(t1.precision - t1.scale,
                                                   t2.precision - t2.scale) + scale), scale)
    return higher(t1, t2)


def _names_match(src, qualifier):
    qualifier = tuple(q.casefold() for q in qualifier)
    if len(qualifier) == 1:
        return qualifier[0] in src.names
    if src.alias is None and src.relation is not None:
        return qualifier[-2:] == (src.relation.schema.casefold(), src.relation.name)
    return False


def _all_sources(scope):
    while scope is not None:
        yield from scope.sources
        scope = scope.parent


def _has_agg(node):
    if not isinstance(node, bound.Node):
        return False
    if node.kind == "agg":
        return True
    if node.kind in ("subquery", "exists", "window"):
        return False
    for part in node.parts():
        if isinstance(part, bound.Node) and _has_agg(part):
            return True
        if isinstance(part, (list, tuple)):
            for x in part:
                if isinstance(x, bound.Node) and _has_agg(x) or isinstance(x, tuple) and any(
                        isinstance(y, bound.Node) and _has_agg(y) for y in x):
                    return True
    return False


GLOBAL_TYPES = {"@@version": SqlType("nvarchar", 300), "@@spid": SqlType("smallint"),
                "@@servername": SYSNAME, "@@language": SYSNAME,
                "@@servicename": SYSNAME, "@@max_precision": SqlType("tinyint"),
                "@@datefirst": SqlType("tinyint"), "@@langid": SqlType("smallint"),
                "@@identity": SqlType("numeric", 0, 38, 0), "@@textsize": INT,
                "@@microsoftversion": INT, "@@lock_timeout": INT, "@@nestlevel": INT,
                "@@procid": INT, "@@dbts": SqlType("varbinary", 8),
                "@@max_connections": INT, "@@connections": INT, "@@fetch_status": INT}


# ---------------------------------------------------------------- running

class Context:
    """What an expression computed here sees: the session, its variables, and the rows its
    column references read (an OUTPUT item's inserted and deleted rows)."""

    def __init__(self, session, variables):
        self.session, self.variables = session, variables
        self.codepage = session.codepage
        self.rows = []       # the rows column references read, innermost last


def value(node, ctx):
    kind = node.kind
    if kind == "ref":
        row = ctx.rows[-1 - node.depth][node.source]
        return None if row is None else row[node.column]
    if kind == "lit":
        return node.value
    if kind == "var":
        return ctx.variables[node.variable][1]
    if kind == "global":
        return ctx.session.global_value(node.variable)
    if kind == "op":
        return arithmetic(node.mark, value(node.left, ctx), value(node.right, ctx), node,
                          ctx.codepage)
    if kind == "cmp":
        order = compare(value(node.left, ctx), value(node.right, ctx), node.left.type,
                        node.right.type, ctx.codepage)
        if order is None:
            return None
        return {"=": order == 0, "<>": order != 0, "!=": order != 0, ">": order > 0,
                "<": order < 0, ">=": order >= 0, "<=": order <= 0, "!<": order >= 0,
                "!>": order <= 0}[node.mark]
    if kind == "and":
        a = value(node.left, ctx)
        if a is False:
            return False
        b = value(node.right, ctx)
        return False if b is False else True if a is True and b is True else None
    if kind == "or":
        a = value(node.left, ctx)
        if a is True:
            return True
        b = value(node.right, ctx)
        return True if b is True else False if a is False and b is False else None
    if kind == "not":
        a = value(node.operand, ctx)
        return None if a is None else not a
    if kind == "isnull":
        return (value(node.operand, ctx) is None) != bool(node.negated)
    if kind == "like":
        escape = node.escape
        a, b = value(node.operand, ctx), value(node.pattern, ctx)
        if escape is not None:
            escape = value(escape, ctx)
            if escape is None:
                return None
            escape = text_value(escape, ctx.codepage)
            if len(escape) != 1:
                raise SqlError(506, "The invalid escape character \"%s\" was specified in a "
                                    "LIKE predicate." % escape)
        if a is None or b is None:
            return None
        return like(text_value(a, ctx.codepage), text_value(b, ctx.codepage), escape) \
            != node.negated
    if kind == "in":
        a = value(node.operand, ctx)
        if a is None:
            return None
        candidates = [(value(x, ctx), x.type) for x in node.items]
        unknown = False
        for v, t in candidates:
            order = compare(a, v, node.operand.type, t, ctx.codepage)
            if order == 0:
                return not node.negated
            unknown = unknown or order is None
        return None if unknown else bool(node.negated)
    if kind == "between":
        a = value(node.operand, ctx)
        low = compare(a, value(node.low, ctx), node.operand.type, node.low.type, ctx.codepage)
        high = compare(a, value(node.high, ctx), node.operand.type, node.high.type,
                       ctx.codepage)
        if low is None or high is None:
            return None
        return (low >= 0 and high <= 0) != bool(node.negated)
    if kind == "neg":
        a = value(node.operand, ctx)
        if a is None:
            return None
        a = coerce(a, node.type, ctx.codepage)
        if not isinstance(a, (int, float, Decimal)):
            raise SqlError(8117, f"Operand data type {node.operand.type.name} is invalid for "
                                 "minus operator.")
        return _check_int(-a, node.type) if isinstance(a, int) else -a
    if kind == "bitnot":
        a = value(node.operand, ctx)
        return None if a is None else ~int(a)
    if kind == "cast":
        try:
            return cast(value(node.operand, ctx), node.type,
                        node.style and value(node.style, ctx), ctx.codepage, node.operand.type)
        except SqlError as err:
            if node.attempt and err.number in _FAILED_CONVERSIONS:
                return None
            raise
    if kind == "case":
        if node.operand is not None:
            operand = value(node.operand, ctx)
            for when, then in node.whens:
                if compare(operand, value(when, ctx), node.operand.type, when.type,
                           ctx.codepage) == 0:
                    return _typed(value(then, ctx), node.type, ctx)
        else:
            for when, then in node.whens:
                if value(when, ctx) is True:
                    return _typed(value(then, ctx), node.type, ctx)
        return _typed(value(node.otherwise, ctx), node.type, ctx)
    if kind == "call":
        return call(node, ctx)
    # subqueries and aggregates are SQLite's (sql.sqlite); here, where SQL Server refuses them
    raise SqlError(1046, "Subqueries are not allowed in this context. Only scalar expressions "
                         "are allowed.", severity=15)


def _typed(v, sqltype, ctx):
    return sqltypes.convert(v, sqltype, ctx.codepage) if v is not None else None


# The errors of a value that does not convert, for which TRY_CAST and TRY_CONVERT give NULL.
_FAILED_CONVERSIONS = {220, 232, 241, 242, 245, 248, 293, 295, 8114, 8115, 8169}
_NUMBERS = set(sqltypes.INT_RANGES) | sqltypes.DECIMALS | sqltypes.FLOATS
_NEW_TIMES = {"date", "time", "datetime2", "datetimeoffset"}


def _allowed(source, target):
    """Refuses a conversion SQL Server never makes, whatever the value (529)."""
    a, b = source.name, target.name
    if (a in _NUMBERS and b in _NEW_TIMES | {"uniqueidentifier"}) \
            or (a in _NEW_TIMES | {"uniqueidentifier"} and b in _NUMBERS) \
            or (a in ("date", "time") and b in ("time", "date") and a != b):
        raise SqlError(529, f"Explicit conversion from data type {a} to {b} is not allowed.")


def _precise_text(v, source, style):
    """A datetime2, time or datetimeoffset value as CAST (style 0) or style 121 writes it:
    its fraction to its type's scale, a datetimeoffset's offset after a blank."""
    fraction = f"{v.microsecond:06d}{getattr(v, 'tick', 0)}"[:source.scale]
    text = v.strftime("%H:%M:%S") + ("." + fraction if fraction else "")
    if isinstance(v, time):
        return text
    text = v.strftime("%Y-%m-%d ") + text
    if source.name == "datetimeoffset" and v.utcoffset() is not None:
        minutes = int(v.utcoffset().total_seconds() // 60)
        text += f" {'-' if minutes < 0 else '+'}{abs(minutes) // 60:02d}:{abs(minutes) % 60:02d}"
    return text


# CONVERT's styles that read a text's day in an order of their own (the others read the
# forms every language setting reads)
_DAY_STYLES = {101: "%m/%d/%Y", 103: "%d/%m/%Y", 104: "%d.%m.%Y", 105: "%d-%m-%Y",
               110: "%m-%d-%Y"}


def cast(v, target, style, codepage, source=None):
    if v is None:
        return None
    if target.name in sqltypes.TIMES and isinstance(v, str) and style in _DAY_STYLES:
        day, blank, rest = v.strip().partition(" ")
        try:
            v = datetime.strptime(day, _DAY_STYLES[style]).strftime("%Y-%m-%d") + blank + rest
        except ValueError:
            pass
    if target.name in sqltypes.CHARACTER and source is not None and style in (None, 0, 121) \
            and source.name in ("datetime2", "time", "datetimeoffset") \
            and isinstance(v, (datetime, time)):
        v = _precise_text(v, source, style)
    if isinstance(v, time) or isinstance(v, date) and not isinstance(v, datetime):
        if target.name in sqltypes.INT_RANGES or target.name in sqltypes.DECIMALS \
                or target.name in sqltypes.FLOATS:
            raise SqlError(529, f"Explicit conversion from data type "
                                f"{'time' if isinstance(v, time) else 'date'} to {target.name} "
                                "is not allowed.")
    if target.name in sqltypes.CHARACTER and isinstance(v, (datetime, date, time)):
        fmt = {120: "%Y-%m-%d %H:%M:%S", 20: "%Y-%m-%d %H:%M:%S", 121: "%Y-%m-%d %H:%M:%S.%f",
               21: "%Y-%m-%d %H:%M:%S.%f", 126: "%Y-%m-%dT%H:%M:%S.%f", 127: "%Y-%m-%dT%H:%M:%S.%f",
               23: "%Y-%m-%d", 112: "%Y%m%d", 108: "%H:%M:%S", 111: "%Y/%m/%d", 101: "%m/%d/%Y",
               103: "%d/%m/%Y", 104: "%d.%m.%Y"}.get(style)
        if fmt is None and not isinstance(v, datetime):
            fmt = "%Y-%m-%d" if isinstance(v, date) else "%H:%M:%S.%f"
        if fmt:
            text = v.strftime(fmt)
            if "%f" in fmt and style in (121, 21, 126, 127):
                text = text[:-3]
            v = text
    if target.name in ("int", "smallint", "tinyint", "bigint") and isinstance(v, (float, Decimal)):
        v = int(v)
    try:
        result = sqltypes.convert(v, target, codepage)
    except (InvalidOperation, OverflowError):  # more digits than the type holds
        raise SqlError(8115, f"Arithmetic overflow error converting expression to data type "
                             f"{target.name}.") from None
    if target.name == "date" and isinstance(result, datetime):
        return result.date()
    if target.name == "time" and isinstance(result, datetime):
        return result.time()
    if target.name in ("datetime", "datetime2", "smalldatetime") and isinstance(result, date) \
            and not isinstance(result, datetime):
        return datetime.combine(result, time())
    return result


def call(node, ctx):
    name, args = node.function, node.args
    if name == "isnull":
        first = value(args[0], ctx)
        return _typed(first if first is not None else value(args[1], ctx), node.type, ctx)
    if name == "coalesce":
        for a in args:
            v = value(a, ctx)
            if v is not None:
                return _typed(v, node.type, ctx)
        return None
    if name == "nullif":
        a, b = value(args[0], ctx), value(args[1], ctx)
        return None if compare(a, b, args[0].type, args[1].type, ctx.codepage) == 0 else a
    if name == "iif":
        return _typed(value(args[1] if value(args[0], ctx) is True else args[2], ctx),
                      node.type, ctx)
    if name == "choose":
        n = value(args[0], ctx)
        return _typed(value(args[int(n)], ctx), node.type, ctx) \
            if n is not None and 1 <= int(n) < len(args) else None
    if name == "concat":
        return _cut("".join("" if v is None else text_value(v, ctx.codepage)
                            for v in (value(a, ctx) for a in args)), node.type, ctx)
    values = [value(a, ctx) for a in args]
    if name not in NULL_FRIENDLY and any(v is None for v in values):
        return None
    if name == "replace":  # built no longer than its type holds
        return _cut(_replace(*(text_value(v, ctx.codepage) for v in values),
                             None if node.type.size == sqltypes.MAX else node.type.size),
                    node.type, ctx)
    try:
        result = FUNCTIONS[name][3](ctx.session, *values)
    except (InvalidOperation, OverflowError):
        raise SqlError(8115, "Arithmetic overflow error converting expression to data type "
                             f"{node.type.name}.") from None
    except (TypeError, ValueError, IndexError, AttributeError):  # an argument of a wrong type
        odd = next((n for n, v in enumerate(values) if isinstance(v, (bytes, date, time))),
                   next((n for n, a in enumerate(args) if a.type.name in sqltypes.CHARACTER),
                        0))
        raise SqlError(8116, f"Argument data type {args[odd].type.name if args else 'int'} is "
                             f"invalid for argument {odd + 1} of {name} function.") from None
    if name in ("concat_ws", "formatmessage"):
        return _cut(result, node.type, ctx)
    if isinstance(result, str) and node.type.name in sqltypes.CHARACTER \
            and node.type.name not in sqltypes.UNICODE:
        result = sqltypes.Varchar(result)
    return result


def _cut(text, sqltype, ctx):
    """A text result cut to its type's length, as SQL Server cuts a function's result."""
    if text is None or sqltype.size == sqltypes.MAX:
        return text
    return sqltypes.convert(text, sqltype, ctx.codepage)


FUNCTIONS.update(functions.builtins(sys.modules[__name__]))
FUNCTIONS.update(functions.more_builtins(sys.modules[__name__]))
