"""What every SQLite connection of the simulator knows beyond SQLite itself: the CI collation
(case and trailing blanks ignored, as the database's collation compares texts), LIKE as SQL
Server matches it, decimal aggregates, and the bridge to expressions SQLite cannot express
with SQL Server's semantics (evaluated by `evaluate` on the values SQLite computed)."""

import decimal
import gzip
import hashlib
import itertools
import json
import math
import os
import random
import re
import threading
import zlib
from datetime import date, datetime, time, timedelta, timezone
from decimal import ROUND_CEILING, ROUND_FLOOR, ROUND_HALF_UP, Decimal

from ..errors import SqlError
from .types import CHARACTER, MAX, UNICODE, SqlType, Varchar
from .types import convert as sqltypes_convert

# decimal(38): SQL Server's 38 digits (Python's default context keeps 28), on every thread
decimal.DefaultContext.prec = decimal.getcontext().prec = 38

COLLATION = "TSQL_CI"


def fold(text):
    """A text as the database's CI collation compares it."""
    return text.rstrip(" ").casefold()


def collate(a, b):
    a, b = fold(a), fold(b)
    return (a > b) - (a < b)


def to_sqlite(value):
    """A SQL Server value as SQLite keeps it (dates and times as ISO texts, decimals as
    texts)."""
    if value is None or isinstance(value, (int, float, bytes)) and not isinstance(value, bool):
        return value
    if isinstance(value, bool):
        return int(value)
    if isinstance(value, (datetime, date, time)):
        tick = getattr(value, "tick", 0)  # the seventh digit of fraction, after the sixth
        if tick:
            text = value.isoformat(" ", "microseconds") if isinstance(value, datetime) \
                else value.isoformat("microseconds")
            place = text.index(".") + 7
            return f"{text[:place]}{tick}{text[place:]}"
        return value.isoformat(" ") if isinstance(value, datetime) else value.isoformat()
    return str(value)  # texts (Varchar too), decimals, identifiers



# ---------------------------------------------------------------- LIKE

def _pattern(pattern, escape):
    """LIKE's pattern as items: "%", "_", ("=", character) or ("[", negated, [(low, high)])."""
    items, n = [], 0
    while n < len(pattern):
        ch = pattern[n]
        if escape is not None and ch == escape and n + 1 < len(pattern):
            n += 1
            items.append(("=", pattern[n].casefold()))
        elif ch in "%_":
            if not (ch == "%" and items and items[-1] == "%"):
                items.append(ch)
        elif ch == "[" and pattern.find("]", n + 2) >= 0:
            end = pattern.find("]", n + 2)
            body = pattern[n + 1:end]
            negated = body.startswith("^") and len(body) > 1
            body = body[1:] if negated else body
            ranges, k = [], 0
            while k < len(body):
                if k + 2 < len(body) and body[k + 1] == "-":
                    ranges.append((body[k].casefold(), body[k + 2].casefold()))
                    k += 3
                else:
                    ranges.append((body[k].casefold(), body[k].casefold()))
                    k += 1
            items.append(("[", negated, ranges))
            n = end
        else:
            items.append(("=", ch.casefold()))
        n += 1
    return items


def _one(item, ch):
    if item == "_":
        return True
    if item[0] == "[":
        return any(low <= ch <= high for low, high in item[2]) != item[1]
    return item[1] == ch


def like(value, pattern, escape=None):
    """value LIKE pattern [ESCAPE escape], case-insensitive, trailing blanks of value ignored.
    Matched in time proportional to len(value) * len(pattern) at worst: each "%" resumes from
    the last one only (no backtracking over earlier ones)."""
    return _match(value.rstrip(" "), _pattern(pattern, escape)) >= 0


def _match(value, items):
    """Where in value the match of items starts (the leftmost one: a segment between two
    "%" matched leftmost leaves every later segment its widest choice); -1 for none."""
    text = [c.casefold() for c in value]
    t = p = start = 0
    star = mark = -1
    while t < len(text):
        if p < len(items) and items[p] != "%" and _one(items[p], text[t]):
            if p == 1 and star == 0:  # the first item after a leading "%"
                start = t
            t, p = t + 1, p + 1
        elif p < len(items) and items[p] == "%":
            star, mark, p = p, t, p + 1
        elif star >= 0:
            mark += 1
            t, p = mark, star + 1
        else:
            return -1
    while p < len(items) and items[p] == "%":
        p += 1
    if p != len(items):
        return -1
    return 0 if items == ["%"] else start  # "%" alone matches from the start


# ---------------------------------------------------------------- the bridge to evaluate

_ids = itertools.count(1)
_lock = threading.Lock()
RUNNING = {}  # query id: Evaluation


class Evaluation:
    """What a running statement's bridged expressions need: a function per node id, and the
    SQL Server error one of them raised (SQLite reports only that a function failed)."""

    def __init__(self):
        with _lock:
            self.id = next(_ids)
        self.functions = []
        self.error = None

    def add(self, function):
        self.functions.append(function)
        return len(self.functions) - 1

    def __enter__(self):
        RUNNING[self.id] = self
        return self

    def __exit__(self, *exc):
        RUNNING.pop(self.id, None)


def _bridge(query, node, *args):
    evaluation = RUNNING[query]
    try:
        return evaluation.functions[node](*args)
    except SqlError as err:
        evaluation.error = err
        raise


def _raise(query, number):
    err = {512: SqlError(512, "Subquery returned more than 1 value. This is not permitted when "
                              "the subquery follows =, !=, <, <= , >, >= or when the subquery "
                              "is used as an expression."),
           8134: SqlError(8134, "Divide by zero error encountered.")}[number]
    RUNNING[query].error = err
    raise err


def _nonzero(query, value):
    if value == 0:
        _raise(query, 8134)
    return value


class _DecimalAggregate:
    """SUM, AVG, MIN and MAX of decimals (kept as texts in SQLite), exact; in a GROUP BY and
    over a window (OVER), whose frame's rows come and go."""
    kind = None

    def __init__(self):
        self.values = []

    def step(self, value):
        if value is not None:
            self.values.append(Decimal(str(value)))

    def inverse(self, value):
        if value is not None:
            self.values.remove(Decimal(str(value)))

    def value(self):
        return self.finalize()

    def finalize(self):
        if not self.values:
            return None
        if self.kind == "sum":
            return str(sum(self.values))
        if self.kind == "avg":
            return str(sum(self.values) / len(self.values))
        return str(min(self.values) if self.kind == "min" else max(self.values))


class _StringAgg:
    """STRING_AGG(value, separator) WITHIN GROUP (ORDER BY keys): the values in the keys'
    order (NULLs first, texts as the collation orders them).  A result of a type short of max
    stops at 8,000 bytes with SQL Server's error, measured as it grows; codepage: the one of a
    varchar result, "N" for nvarchar, "" for a max type (no limit)."""

    def __init__(self):
        self.rows, self.separator, self.directions, self.size = [], "", "", 0

    def step(self, query, value, separator, codepage, directions, *keys):
        if value is None:
            return
        self.separator, self.directions = separator or "", directions
        if codepage:
            self.size += sum(_bytes(str(v), codepage)
                             for v in ((value, self.separator) if self.rows else (value,)))
            if self.size > 8000:
                err = SqlError(9829, "STRING_AGG aggregation result exceeded the limit of 8000 "
                                     "bytes. Use LOB types to avoid result truncation.")
                RUNNING[query].error = err
                raise err
        self.rows.append((keys, value))

    def finalize(self):
        for n in range(len(self.directions) - 1, -1, -1):  # stable: the last key first
            self.rows.sort(key=lambda row: _order_key(row[0][n]),
                           reverse=self.directions[n] == "D")
        return self.separator.join(str(v) for _k, v in self.rows) if self.rows else None


def _bytes(text, codepage):
    if codepage == "N":
        return len(text.encode("utf-16-le", errors="surrogatepass"))
    return len(text.encode(codepage, errors="replace"))


def _order_key(value):
    if value is None:
        return (0, 0)
    return (1, fold(value)) if isinstance(value, str) else (1, value)


def register(conn):
    """Teach an SQLite connection the collation and functions the generated SQL uses."""
    conn.create_collation(COLLATION, collate)
    conn.create_function("tsql_eval", -1, _bridge)
    conn.create_function("tsql_raise", 2, _raise)
    conn.create_function("tsql_nonzero", 2, _nonzero, deterministic=True)
    conn.create_aggregate("tsql_string_agg", -1, _StringAgg)
    for kind in ("sum", "avg", "min", "max"):
        conn.create_window_function("tsql_dec_" + kind, 1,
                              type("Decimal" + kind.title(), (_DecimalAggregate,), {"kind": kind}))
    register_more(conn)
    return conn


# ---------------------------------------------------------------- built-in functions

_MONTHS = ["January", "February", "March", "April", "May", "June", "July", "August",
           "September", "October", "November", "December"]
_DAYS = ["Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday", "Sunday"]


def _datename(ev, part, value):
    name = ev._datepart_name(part)
    moment = ev._dt(value)
    if name == "month":
        return _MONTHS[moment.month - 1]
    if name == "weekday":
        return _DAYS[moment.weekday()]
    return str(ev.datepart(part, value))


def _eomonth(ev, value, months=0):
    moment = ev._add_months(ev._dt(value).replace(day=1), int(months))
    following = ev._add_months(moment, 1)
    return (following - timedelta(days=1)).date()


def _stuff(text, start, length, insert):
    start, length = int(start), int(length)
    if start < 1 or start > len(text) or length < 0:
        return None
    return text[:start - 1] + insert + text[start - 1 + length:]


_DATE_TOKENS = re.compile(r"yyyy|yy|MMMM|MMM|MM|M|dddd|ddd|dd|d|HH|H|hh|h|mm|m|ss|s|f{1,7}|tt|"
                          r"'[^']*'|\"[^\"]*\"|\\.|.", re.S)
_STANDARD_DATES = {"d": "M/d/yyyy", "D": "dddd, MMMM d, yyyy", "t": "h:mm tt",
                   "T": "h:mm:ss tt", "g": "M/d/yyyy h:mm tt", "G": "M/d/yyyy h:mm:ss tt",
                   "s": "yyyy-MM-ddTHH:mm:ss", "u": "yyyy-MM-dd HH:mm:ssZ",
                   "f": "dddd, MMMM d, yyyy h:mm tt", "F": "dddd, MMMM d, yyyy h:mm:ss tt",
                   "m": "MMMM d", "M": "MMMM d", "y": "MMMM yyyy", "Y": "MMMM yyyy",
                   "o": "yyyy-MM-ddTHH:mm:ss.fffffff", "O": "yyyy-MM-ddTHH:mm:ss.fffffff"}


def _format_date(moment, pattern):
    pattern = _STANDARD_DATES.get(pattern, pattern)
    out = []
    for token in _DATE_TOKENS.findall(pattern):
        hour12 = moment.hour % 12 or 12
        value = {
            "yyyy": f"{moment.year:04d}", "yy": f"{moment.year % 100:02d}",
            "MMMM": _MONTHS[moment.month - 1], "MMM": _MONTHS[moment.month - 1][:3],
            "MM": f"{moment.month:02d}", "M": str(moment.month),
            "dddd": _DAYS[moment.weekday()], "ddd": _DAYS[moment.weekday()][:3],
            "dd": f"{moment.day:02d}", "d": str(moment.day),
            "HH": f"{moment.hour:02d}", "H": str(moment.hour), "hh": f"{hour12:02d}",
            "h": str(hour12), "mm": f"{moment.minute:02d}", "m": str(moment.minute),
            "ss": f"{moment.second:02d}", "s": str(moment.second),
            "tt": "AM" if moment.hour < 12 else "PM"}.get(token)
        if value is None and token[0] == "f" and token == "f" * len(token):
            value = f"{moment.microsecond:06d}0"[:len(token)]
        if value is None:
            value = token[1:-1] if token[0] in "'\"" and len(token) > 1 else token.lstrip("\\")
        out.append(value)
    return "".join(out)


def _format_number(number, pattern):
    kind, digits = pattern[:1].upper(), pattern[1:]
    if kind and (digits.isdigit() or not digits) and kind in "NFCPDX":
        places = int(digits) if digits else (0 if kind in "DX" else 2)
        if kind == "D":
            return f"{int(number):0{places}d}"
        if kind == "X":
            return f"{int(number):0{places}{'X' if pattern[0] == 'X' else 'x'}}"
        if kind == "P":
            return f"{Decimal(number) * 100:,.{places}f} %"
        text = f"{Decimal(number):{',' if kind in 'NC' else ''}.{places}f}"
        return ("-$" + text[1:] if text.startswith("-") else "$" + text) if kind == "C" else text
    whole, _dot, fraction = pattern.partition(".")
    places = len(fraction.rstrip("#")) if fraction else 0
    optional = len(fraction) - places
    text = f"{Decimal(number):{',' if ',' in whole else ''}.{places + optional}f}"
    if optional:
        text = text.rstrip("0") if "." in text else text
        if places:
            head, _d, tail = text.partition(".")
            text = head + "." + tail.ljust(places, "0")
        text = text.rstrip(".")
    minimum = whole.count("0")
    head, dot, tail = text.partition(".")
    sign = "-" if head.startswith("-") else ""
    head = head.lstrip("-")
    if head == "0" and "0" not in whole:
        head = ""
    return sign + head.rjust(minimum, "0") + dot + tail


def _format(ev, value, pattern, culture=None):
    if isinstance(value, (datetime, date)):
        return _format_date(ev._dt(value), pattern)
    if isinstance(value, (int, float, Decimal)) and not isinstance(value, bool):
        return _format_number(value, pattern)
    return None


def _rounded(sqltype):
    if sqltype.name in ("decimal", "numeric"):
        return SqlType("numeric", 0, sqltype.precision, 0)
    return sqltype if sqltype.name not in CHARACTER else SqlType("float")


def _integral(value, to_float, rounding):
    """CEILING and FLOOR: a float (a text is one) by to_float, a decimal rounded so, an
    integer as it is."""
    value = float(value) if isinstance(value, str) else value
    if isinstance(value, float):
        return float(to_float(value))
    return value.to_integral_value(rounding) if isinstance(value, Decimal) else value


def _ceiling(value):
    return _integral(value, math.ceil, ROUND_CEILING)


def _floor(value):
    return _integral(value, math.floor, ROUND_FLOOR)


def _power(value, exponent):
    if isinstance(value, int) and not isinstance(exponent, float) and exponent >= 0:
        return value ** int(exponent)
    if isinstance(value, Decimal):
        return value ** Decimal(exponent)
    try:
        return float(value) ** float(exponent)
    except (OverflowError, ZeroDivisionError):
        raise SqlError(3623, "An invalid floating point operation occurred.") from None


def _float(function):
    def run(session, *values):
        try:
            return function(*(float(v) for v in values))
        except (ValueError, OverflowError, ZeroDivisionError):
            raise SqlError(3623, "An invalid floating point operation occurred.") from None
    return run


def _cut_type(sqltype):
    """The type of a function's text result of at most 8,000 bytes (or a max argument's)."""
    unicode = sqltype.name in UNICODE
    size = MAX if sqltype.name in CHARACTER and sqltype.size == MAX else 4000 if unicode else 8000
    return SqlType("nvarchar" if unicode else "varchar", size)


def _replicate(text, times, codepage):
    """REPLICATE: cut as SQL Server cuts it (8,000 bytes of varchar, 4,000 characters of
    nvarchar), without building more."""
    times = int(times)
    if times < 0:
        return None
    if not text:
        return text[:0]
    limit = 8000 if isinstance(text, Varchar) else 4000
    unit = len(text.encode(codepage, errors="replace")) if isinstance(text, Varchar) \
        else len(text)
    out = text * min(times, limit // max(unit, 1) + 1)
    return sqltypes_convert(out, SqlType("varchar" if isinstance(text, Varchar) else "nvarchar",
                                         limit), codepage)


def _datalength(value, codepage):
    if isinstance(value, Varchar):
        return len(value.encode(codepage, errors="replace"))
    if isinstance(value, str):
        return len(value.encode("utf-16-le"))
    if isinstance(value, bytes):
        return len(value)
    if isinstance(value, float):
        return 8
    if isinstance(value, int):
        return 4 if -2 ** 31 <= value < 2 ** 31 else 8
    if isinstance(value, datetime):
        return 8
    return 4


def builtins(ev):
    """The functions added to evaluate.FUNCTIONS: name: (min args, max args, type of the
    result from the arguments' types, value from the session and the arguments' values)."""
    text = ev.text_value
    moment = ev.DATETIME
    return {
        "datename": (2, 2, lambda ts: SqlType("nvarchar", 30),
                     lambda s, p, d: _datename(ev, p, ev.coerce(d, moment, s.codepage))),
        "eomonth": (1, 2, lambda ts: SqlType("date"),
                    lambda s, d, *n: _eomonth(ev, ev.coerce(d, moment, s.codepage), *n)),
        "format": (2, 3, lambda ts: SqlType("nvarchar", 4000),
                   lambda s, v, p, *c: _format(ev, v, text(p, s.codepage))),
        "stuff": (4, 4, lambda ts: _cut_type(ts[0]),
                  lambda s, v, a, n, r: _stuff(text(v, s.codepage), a, n, text(r, s.codepage))),
        "ceiling": (1, 1, lambda ts: _rounded(ts[0]), lambda s, v: _ceiling(v)),
        "floor": (1, 1, lambda ts: _rounded(ts[0]), lambda s, v: _floor(v)),
        "power": (2, 2, lambda ts: SqlType("numeric", 0, 38, ts[0].scale)
                  if ts[0].name in ("decimal", "numeric") else _rounded(ts[0]),
                  lambda s, v, e: _power(v, e)),
        "sign": (1, 1, lambda ts: _rounded(ts[0]),
                 lambda s, v: type(v)((v > 0) - (v < 0))),
        "sqrt": (1, 1, lambda ts: SqlType("float"), _float(math.sqrt)),
        "square": (1, 1, lambda ts: SqlType("float"), _float(lambda v: v * v)),
        "exp": (1, 1, lambda ts: SqlType("float"), _float(math.exp)),
        "log": (1, 2, lambda ts: SqlType("float"), _float(math.log)),
        "log10": (1, 1, lambda ts: SqlType("float"), _float(math.log10)),
        "pi": (0, 0, lambda ts: SqlType("float"), lambda s: math.pi),
        "sysdatetimeoffset": (0, 0, lambda ts: SqlType("datetimeoffset", 0, 0, 7),
                              lambda s: datetime.now(timezone.utc).astimezone()),
        "replicate": (2, 2, lambda ts: _cut_type(ts[0]),
                      lambda s, v, n: _replicate(text(v, s.codepage) if not isinstance(
                          v, Varchar) else v, n, s.codepage)),
        "space": (1, 1, lambda ts: SqlType("varchar", 8000),
                  lambda s, n: _replicate(Varchar(" "), n, s.codepage)),
        "datalength": (1, 1, lambda ts: SqlType("int"),
                       lambda s, v: _datalength(v, s.codepage)),
        "object_id": (1, 2, lambda ts: SqlType("int"),
                      lambda s, n, *t: s.object_id(text(n, s.codepage))),
        "ident_current": (1, 1, lambda ts: SqlType("numeric", 0, 38, 0), lambda s, n: None),
    }


# ---------------------------------------------------------------- more built-in functions

class _Deviation:
    """STDEV, STDEVP, VAR and VARP: float, NULL over no rows (and, for the sample ones, over
    one row); Welford's running mean keeps the sums from cancelling."""
    sample, root = True, False

    def __init__(self):
        self.count, self.mean, self.squares = 0, 0.0, 0.0

    def step(self, value):
        if value is None:
            return
        value = float(value)
        self.count += 1
        delta = value - self.mean
        self.mean += delta / self.count
        self.squares += delta * (value - self.mean)

    def finalize(self):
        size = self.count - 1 if self.sample else self.count
        if size <= 0:
            return None
        variance = max(self.squares / size, 0.0)
        return math.sqrt(variance) if self.root else variance


DEVIATIONS = {"stdev": (True, True), "stdevp": (False, True), "var": (True, False),
              "varp": (False, False)}


def register_more(conn):
    for name, (sample, root) in DEVIATIONS.items():
        conn.create_aggregate("tsql_" + name, 1, type(
            name.title(), (_Deviation,), {"sample": sample, "root": root}))


def _construct(kind, build, *parts):
    try:
        return build(*(int(p) for p in parts))
    except (ValueError, OverflowError):
        raise SqlError(289, f"Cannot construct data type {kind}, some of the arguments have "
                            "values which are not valid.") from None


def _fraction(fractions, precision):
    """The microseconds of DATETIME2FROMPARTS' and TIMEFROMPARTS' fractions of a second."""
    fractions, precision = int(fractions), int(precision)
    if not 0 <= precision <= 7 or fractions < 0 or fractions >= 10 ** precision:
        raise ValueError
    return fractions * 10 ** 7 // 10 ** precision // 10


def _datetimefromparts(y, mo, d, h, mi, s, ms):
    if not 0 <= ms <= 999:
        raise ValueError
    return datetime(y, mo, d, h, mi, s, ms * 1000)


def _translate(text, source, target):
    if len(source) != len(target):
        raise SqlError(9828, "The second and third arguments of the TRANSLATE built-in "
                             "function must contain an equal number of characters.")
    table = {}
    for a, b in zip(source, target):
        table.setdefault(ord(a), b)
    return text.translate(table)


def _trim(text, characters=" "):
    return text.strip(characters)


def _concat_ws(ev, s, separator, *values):
    separator = "" if separator is None else ev.text_value(separator, s.codepage)
    return separator.join(ev.text_value(v, s.codepage) for v in values if v is not None)


_MONEY = re.compile(r"[+-]?[$\u00a3\u00a5\u20ac]?[+-]?[\d,]*\.?\d*")
_FLOAT = re.compile(r"[+-]?(\d+\.?\d*|\.\d+)[eEdD][+-]?\d+")


def _isnumeric(value):
    """ISNUMERIC: 1 for a value some numeric type takes (money's signs, symbols and commas
    too), else 0."""
    if value is None:
        return 0
    if isinstance(value, (int, float, Decimal)):
        return 1
    if not isinstance(value, str):
        return 0
    text = value.strip(" \t\r\n")
    return int(bool(text) and bool(_MONEY.fullmatch(text) or _FLOAT.fullmatch(text)))


def _encoded(value, codepage):
    if isinstance(value, bytes):
        return value
    if isinstance(value, Varchar):
        return value.encode(codepage, errors="replace")
    return value.encode("utf-16-le", errors="surrogatepass")


_HASHES = {"md2": None, "md4": "md4", "md5": "md5", "sha": "sha1", "sha1": "sha1",
           "sha2_256": "sha256", "sha2_512": "sha512"}


def _hashbytes(algorithm, value, codepage):
    name = _HASHES.get(algorithm.casefold())
    if name is None:
        return None
    try:
        return hashlib.new(name, _encoded(value, codepage)).digest()
    except ValueError:  # an algorithm the local OpenSSL dropped (MD4)
        return None


def _checksum(codepage, *values):
    """CHECKSUM: an int over the values as the collation compares them (texts folded)."""
    crc = 0
    for value in values:
        if value is None:
            data = b"\0null"
        elif isinstance(value, str):
            data = b"t" + fold(value).encode("utf-8")
        elif isinstance(value, bytes):
            data = b"b" + value
        else:
            data = b"v" + to_sqlite(value).__repr__().encode()
        crc = zlib.crc32(data, crc)
    return crc - 2 ** 32 if crc >= 2 ** 31 else crc


def _str(number, length=10, places=0):
    """STR: right-justified in length characters, places decimals (at most 16); stars when
    the integer part does not fit."""
    length, places = int(length), int(places)
    if length <= 0 or length > 8000 or places < 0:
        return None
    places, exact = min(places, 16), Decimal(repr(float(number)))

    def written(places):  # halves away from zero
        return f"{exact.quantize(Decimal(1).scaleb(-places), ROUND_HALF_UP):f}"
    text = written(places)
    while len(text) > length and places > 0:  # fewer decimals before giving up
        places -= 1
        text = written(places)
    return "*" * length if len(text) > length else text.rjust(length)


def _patindex(pattern, text):
    """PATINDEX: where pattern first matches (LIKE's rules); 0 for nowhere."""
    return _match(text, _pattern(pattern, None)) + 1


def _char(code, codepage):
    code = int(code)
    if not 0 <= code <= 255:
        return None
    return bytes([code]).decode(codepage, errors="replace")


def _nchar(code):
    code = int(code)
    return chr(code) if 0 <= code <= 0xFFFF else None


_SOUNDS = {c: str(n) for n, letters in enumerate(
    ["", "bfpv", "cgjkqsxz", "dt", "l", "mn", "r"]) for c in letters}


def _soundex(text):
    letters = [c for c in text.upper() if "A" <= c <= "Z"]
    if not letters:
        return "0000" if text.strip(" ") else ""
    out, last = letters[0], _SOUNDS.get(letters[0].lower(), "")
    for c in letters[1:]:
        code = _SOUNDS.get(c.lower(), "")
        if code and code != last:
            out += code
        if c not in "HW":  # H and W do not part two letters of one code
            last = code
        if len(out) == 4:
            break
    return out.ljust(4, "0")


def _difference(a, b):
    a, b = _soundex(a), _soundex(b)
    return sum(x == y for x, y in zip(a, b))


def _parsename(name, part):
    """PARSENAME: a part of a name of up to four (server.database.schema.object), counted
    from the right; NULL for a malformed name or a part not there."""
    part = int(part)
    parts, n = [], 0
    while True:
        if n < len(name) and name[n] in "[\"":
            close = "]" if name[n] == "[" else "\""
            end, piece = n + 1, ""
            while True:
                found = name.find(close, end)
                if found < 0:
                    return None
                piece += name[end:found]
                if name[found + 1:found + 2] == close:
                    piece, end = piece + close, found + 2
                    continue
                n = found + 1
                break
        else:
            end = name.find(".", n)
            end = len(name) if end < 0 else end
            piece, n = name[n:end], end
        parts.append(piece)
        if n == len(name):
            break
        if name[n] != ".":
            return None
        n += 1
    if len(parts) > 4 or not 1 <= part <= 4:
        return None
    parts = parts[::-1]
    return (parts[part - 1] or None) if part <= len(parts) else None


def _relation(tables, session, name):
    parts = tuple(p.strip("[]\"") for p in name.split("."))
    rel = tables.relation(parts, session.database)
    if rel is None or rel.kind == "catalog":
        rel = session.user_relation(tuple(p.casefold() for p in parts))
    return rel


def _col_length(tables, session, table, column):
    rel = _relation(tables, session, table)
    if rel is None:
        return None
    found = next((c for c in tables.columns_of(rel) if c.name.casefold() == column.casefold()),
                 None)
    return tables.max_length(found.type) if found is not None else None


def _ident(tables, session, table):
    """IDENT_SEED and IDENT_INCR: 1 for a table with an identity column, NULL without."""
    rel = _relation(tables, session, table)
    if rel is None or not any(c.identity for c in tables.columns_of(rel)):
        return None
    return Decimal(1)


def _type_id(tables, name):
    found = tables.SYSTEM_TYPES.get(name.strip("[]").casefold())
    return found[0] if found is not None and name.casefold() != "sysname" else \
        (256 if name.casefold() == "sysname" else None)


class _Number(str):
    """A JSON number as its text."""


def _json(text):
    try:
        return json.loads(text, parse_int=_Number, parse_float=_Number,
                          parse_constant=lambda c: 1 / 0)
    except (ValueError, ZeroDivisionError, RecursionError):
        return _json


def _isjson(text):
    found = _json(text)
    return int(found is not _json and isinstance(found, (dict, list)))


_STEP = re.compile(r"\.(?:\"((?:[^\"\\]|\\.)*)\"|([A-Za-z_$][\w$]*))|\[(\d+)\]")


_MODE = re.compile(r"\s*(?:(lax|strict)\s+)?(.*?)\s*", re.I | re.S)


def _path(path):
    """(mode, steps) of a JSON path: "lax" unless it says "strict"."""
    found = _MODE.fullmatch(path)
    return (found.group(1) or "lax").casefold(), found.group(2)


def _at_path(text, path):
    """(mode, steps, what the path finds in the JSON text: _json for nothing); 13609 for a
    text that is no JSON."""
    document = _json(text)
    if document is _json:
        raise SqlError(13609, "JSON text is not properly formatted. Unexpected character is "
                              "found.")
    mode, steps = _path(path)
    return mode, steps, _walk(document, steps, mode)


def _key(step):
    """A path step's member name (a quoted one unescaped); None for an array index."""
    if step.group(1) is not None:
        return json.loads('"' + step.group(1) + '"')
    return step.group(2)


def _walk(document, steps, mode):
    """The value at a JSON path's steps; _json for one that is not there (lax mode)."""
    if mode not in ("lax", "strict") or not steps.startswith("$"):
        raise SqlError(13607, "JSON path is not properly formatted. Unexpected character "
                              "is found.")
    at, node = 1, document
    while at < len(steps):
        step = _STEP.match(steps, at)
        if step is None:
            raise SqlError(13607, "JSON path is not properly formatted. Unexpected "
                                  "character is found.")
        at = step.end()
        key = _key(step)
        if key is not None and isinstance(node, dict) and key in node:
            node = node[key]
        elif key is None and isinstance(node, list) and int(step.group(3)) < len(node):
            node = node[int(step.group(3))]
        elif mode == "strict":
            raise SqlError(13608, "Property cannot be found on the specified JSON path.")
        else:
            return _json
    return node


def _json_value(text, path):
    """JSON_VALUE: the scalar at a path ($.a.b[0], "lax" or "strict"); NULL in lax mode for
    a path that is not there or holds an object or an array."""
    mode, steps, node = _at_path(text, path)
    if node is _json:
        return None
    if isinstance(node, (dict, list)):
        if mode == "strict":
            raise SqlError(13623, "Scalar value cannot be found in the specified JSON path.")
        return None
    if node is None:
        return None
    value = ("true" if node else "false") if isinstance(node, bool) else str(node)
    if len(value) > 4000:
        if mode == "strict":
            raise SqlError(13625, "String value in the specified JSON path would be truncated.")
        return None
    return value


def more_builtins(ev):
    """The functions of builtins(), continued."""
    text = ev.text_value
    return {
        "concat_ws": (3, 254, None, lambda s, *v: _concat_ws(ev, s, *v)),
        "translate": (3, 3, lambda ts: _cut_type(ts[0]) if ts[0].name in CHARACTER
                      else SqlType("varchar", 8000),
                      lambda s, v, a, b: _translate(*(text(x, s.codepage) for x in (v, a, b)))),
        "trim": (1, 2, lambda ts: ev._same_char(ts[0]),
                 lambda s, v, *c: _trim(text(v, s.codepage), *(text(x, s.codepage) for x in c))),
        "datefromparts": (3, 3, lambda ts: SqlType("date"),
                          lambda s, *p: _construct("date", date, *p)),
        "datetimefromparts": (7, 7, lambda ts: ev.DATETIME,
                              lambda s, *p: _construct("datetime", _datetimefromparts, *p)),
        "datetime2fromparts": (8, 8, None, lambda s, y, mo, d, h, mi, sec, f, p: _construct(
            "datetime2", lambda *a: datetime(*a, _fraction(f, p)), y, mo, d, h, mi, sec)),
        "timefromparts": (5, 5, None, lambda s, h, mi, sec, f, p: _construct(
            "time", lambda *a: time(*a, _fraction(f, p)), h, mi, sec)),
        "smalldatetimefromparts": (5, 5, lambda ts: SqlType("smalldatetime"),
                                   lambda s, *p: _construct("smalldatetime", datetime, *p)),
        "datediff_big": (3, 3, lambda ts: SqlType("bigint"), lambda s, p, a, b: ev._check_int(
            ev.datediff(p, ev.coerce(a, ev.DATETIME, s.codepage),
                        ev.coerce(b, ev.DATETIME, s.codepage)), SqlType("bigint"))),
        "rand": (0, 1, lambda ts: SqlType("float"),
                 lambda s, *seed: _random(s, *seed)),
        "isnumeric": (1, 1, lambda ts: SqlType("int"), lambda s, v: _isnumeric(v)),
        "isdate": (1, 1, lambda ts: SqlType("int"), lambda s, v: _isdate(ev, v, s)),
        "checksum": (1, 254, lambda ts: SqlType("int"), lambda s, *v: _checksum(s.codepage, *v)),
        "binary_checksum": (1, 254, lambda ts: SqlType("int"),
                            lambda s, *v: _checksum(s.codepage, *v)),
        "hashbytes": (2, 2, lambda ts: SqlType("varbinary", 8000),
                      lambda s, a, v: _hashbytes(text(a, s.codepage), v, s.codepage)),
        "str": (1, 3, None, lambda s, v, *f: _str(v, *f)),
        "patindex": (2, 2, lambda ts: SqlType("bigint") if ts[1].name in CHARACTER
                     and ts[1].size == MAX else SqlType("int"),
                     lambda s, p, v: _patindex(text(p, s.codepage), text(v, s.codepage))),
        "unicode": (1, 1, lambda ts: SqlType("int"),
                    lambda s, v: ord(text(v, s.codepage)[0]) if text(v, s.codepage) else None),
        "ascii": (1, 1, lambda ts: SqlType("int"), lambda s, v: _ascii(text(v, s.codepage),
                                                                       s.codepage)),
        "char": (1, 1, lambda ts: SqlType("char", 1), lambda s, n: _char(n, s.codepage)),
        "nchar": (1, 1, lambda ts: SqlType("nchar", 1), lambda s, n: _nchar(n)),
        "soundex": (1, 1, lambda ts: SqlType("varchar", 4),
                    lambda s, v: _soundex(text(v, s.codepage))),
        "difference": (2, 2, lambda ts: SqlType("int"),
                       lambda s, a, b: _difference(text(a, s.codepage), text(b, s.codepage))),
        "parsename": (2, 2, lambda ts: SqlType("nvarchar", 128),
                      lambda s, n, p: _parsename(text(n, s.codepage), p)),
        "quotename": (1, 2, lambda ts: SqlType("nvarchar", 258),
                      lambda s, n, *q: _quotename(text(n, s.codepage),
                                                  *(text(x, s.codepage) for x in q))),
        "col_length": (2, 2, lambda ts: SqlType("smallint"), lambda s, t, c: _col_length(
            ev.tables, s, text(t, s.codepage), text(c, s.codepage))),
        "type_id": (1, 1, lambda ts: SqlType("int"),
                    lambda s, n: _type_id(ev.tables, text(n, s.codepage))),
        "ident_seed": (1, 1, lambda ts: SqlType("numeric", 0, 38, 0),
                       lambda s, t: _ident(ev.tables, s, text(t, s.codepage))),
        "ident_incr": (1, 1, lambda ts: SqlType("numeric", 0, 38, 0),
                       lambda s, t: _ident(ev.tables, s, text(t, s.codepage))),
        "rowcount_big": (0, 0, lambda ts: SqlType("bigint"), lambda s: s.rowcount),
        "isjson": (1, 1, lambda ts: SqlType("int"), lambda s, v: _isjson(text(v, s.codepage))),
        "json_value": (2, 2, lambda ts: SqlType("nvarchar", 4000), lambda s, v, p: _json_value(
            text(v, s.codepage), text(p, s.codepage))),
        "string_escape": (2, 2, lambda ts: SqlType("nvarchar", MAX), lambda s, v, k: _escape(
            text(v, s.codepage), text(k, s.codepage))),
        "json_query": (1, 2, lambda ts: SqlType("nvarchar", MAX), lambda s, v, *p: _json_query(
            text(v, s.codepage), *(text(x, s.codepage) for x in p))),
        "formatmessage": (1, 21, lambda ts: SqlType("nvarchar", 2048),
                          lambda s, f, *a: _formatmessage(
                              None if f is None else text(f, s.codepage), a)),
        "user_id": (0, 1, lambda ts: SqlType("int"),
                    lambda s, *n: 1 if not n or str(n[0]).casefold() == "dbo" else None),
        "suser_id": (0, 1, lambda ts: SqlType("int"), lambda s, *n: 1 if not n else None),
        "current_timezone": (0, 0, lambda ts: SqlType("nvarchar", 256), lambda s: _timezone()),
        "crypt_gen_random": (1, 2, lambda ts: SqlType("varbinary", 8000),
                             lambda s, n, *seed: os.urandom(int(n)) if 1 <= int(n) <= 8000
                             else None),
        "context_info": (0, 0, lambda ts: SqlType("varbinary", 128), lambda s: None),
        "compress": (1, 1, lambda ts: SqlType("varbinary", MAX),
                     lambda s, v: gzip.compress(_encoded(v, s.codepage), mtime=0)),
        "decompress": (1, 1, lambda ts: SqlType("varbinary", MAX), lambda s, v: _decompress(v)),
        "todatetimeoffset": (2, 2, lambda ts: SqlType("datetimeoffset", 0, 0, ts[0].scale
                                                      if ts[0].name == "datetime2" else 7),
                             lambda s, d, z: ev._dt(ev.coerce(d, ev.DATETIME2, s.codepage))
                             .replace(tzinfo=_zone(z, s.codepage, ev))),
        "switchoffset": (2, 2, lambda ts: SqlType("datetimeoffset", 0, 0, ts[0].scale
                                                  if ts[0].name == "datetimeoffset" else 7),
                         lambda s, d, z: _switched(ev, d, z, s.codepage)),
        "sin": (1, 1, lambda ts: SqlType("float"), _float(math.sin)),
        "cos": (1, 1, lambda ts: SqlType("float"), _float(math.cos)),
        "tan": (1, 1, lambda ts: SqlType("float"), _float(math.tan)),
        "cot": (1, 1, lambda ts: SqlType("float"), _float(lambda v: 1 / math.tan(v))),
        "asin": (1, 1, lambda ts: SqlType("float"), _float(math.asin)),
        "acos": (1, 1, lambda ts: SqlType("float"), _float(math.acos)),
        "atan": (1, 1, lambda ts: SqlType("float"), _float(math.atan)),
        "atn2": (2, 2, lambda ts: SqlType("float"), _float(math.atan2)),
        "degrees": (1, 1, lambda ts: _rounded(ts[0]), lambda s, v: _angle(v, 180 / math.pi)),
        "radians": (1, 1, lambda ts: _rounded(ts[0]), lambda s, v: _angle(v, math.pi / 180)),
    }


def _angle(value, factor):
    if isinstance(value, float) or isinstance(value, str):
        return float(value) * factor
    if isinstance(value, Decimal):
        return value * Decimal(repr(factor))
    return int(value * factor)


def _random(session, *seed):
    if seed:
        session.random = random.Random(int(seed[0]))
    elif getattr(session, "random", None) is None:
        session.random = random.Random()
    return session.random.random()


def _isdate(ev, value, session):
    if not isinstance(value, str):
        return int(isinstance(value, datetime))
    try:
        ev.coerce(value, ev.DATETIME, session.codepage)
    except (SqlError, ValueError, TypeError, OverflowError):
        return 0
    return 1


def _ascii(text, codepage):
    if not text:
        return None
    return text[0].encode(codepage, errors="replace")[0]


def _quotename(name, quote="["):
    if len(name) > 128 or quote not in ("[", "]", "'", "\"", "(", ")", "<", ">", "{", "}",
                                        "`"):
        return None
    close = {"[": "]", "(": ")", "<": ">", "{": "}"}.get(quote, quote)
    opening = {"]": "[", ")": "(", ">": "<", "}": "{"}.get(quote, quote)
    return opening + name.replace(close, close + close) + close


_ESCAPES = {'"': '\\"', "\\": "\\\\", "/": "\\/", "\b": "\\b", "\f": "\\f",
            "\n": "\\n", "\r": "\\r", "\t": "\\t"}


def _escape(value, kind):
    """STRING_ESCAPE(text, 'json'): JSON's escapes (control characters as \\u00XX)."""
    if kind.casefold() != "json":
        raise SqlError(13606, f"'{kind}' is not a valid parameter for STRING_ESCAPE. Valid "
                              "parameters are: JSON.")
    return "".join(_ESCAPES.get(c) or (f"\\u{ord(c):04x}" if ord(c) < 32 else c)
                   for c in value)


def _json_query(text, path="$"):
    """JSON_QUERY: the object or array at a path as JSON text; NULL (lax) for a scalar or
    a path that is not there."""
    mode, steps, node = _at_path(text, path)
    if node is _json or not isinstance(node, (dict, list)):
        if node is not _json and mode == "strict":
            raise SqlError(13624, "Object or array cannot be found in the specified JSON path.")
        return None
    return _fragment(text, steps)


_DECODER = json.JSONDecoder()
_BLANKS = re.compile(r"[ \t\n\r]*")


def _fragment(text, steps):
    """The text of the value at a path that is there, as the document writes it."""
    at = _BLANKS.match(text, 0).end()
    for step in _STEP.finditer(steps, 1):
        key = _key(step)
        at = _BLANKS.match(text, at + 1).end()  # past "{" or "["
        index = 0
        while True:
            if key is not None:
                name, at = _DECODER.raw_decode(text, at)
                at = _BLANKS.match(text, _BLANKS.match(text, at).end() + 1).end()  # ":"
            if key is not None and name == key or key is None and \
                    index == int(step.group(3)):
                break
            at = _BLANKS.match(text, _DECODER.raw_decode(text, at)[1]).end()
            at = _BLANKS.match(text, at + 1).end()  # ","
            index += 1
    return text[at:_DECODER.raw_decode(text, at)[1]]


def _formatmessage(pattern, values):
    """FORMATMESSAGE of a text: printf's %s, %d, %i, %u, %x, %X, %o and %%."""
    if pattern is None:
        return None
    values = list(values)

    def one(match):
        flags, kind = re.sub(r"\d+", lambda n: str(min(int(n.group()), 2047)),
                             match.group(1)), match.group(2)
        if kind == "%":
            return "%"
        value = values.pop(0) if values else None
        if value is None:
            return "(null)"
        if kind in "diu":
            return (flags + "d") % int(value)
        if kind in "xXo":
            return (flags + kind) % int(value)
        return (flags + "s") % (value if isinstance(value, str) else str(value))
    return re.sub(r"(%[-+ 0#]*\d*(?:\.\d+)?)(?:I64|h|l)?([sdiuxXo%])", one, pattern)


def _timezone():
    offset = datetime.now(timezone.utc).astimezone().utcoffset()
    minutes = int(offset.total_seconds()) // 60
    sign = "+" if minutes >= 0 else "-"
    return f"(UTC{sign}{abs(minutes) // 60:02d}:{abs(minutes) % 60:02d})"


def _decompress(value):
    try:
        return gzip.decompress(value)
    except (OSError, EOFError, zlib.error):
        return None


# ---------------------------------------------------------------- functions that give rows
# SQLite's json_each walks the array these return: one element per row.

def split_rows(text, separator):
    """STRING_SPLIT's rows (a JSON array of the parts); none for a NULL text."""
    if text is None:
        return "[]"
    if separator is None or len(separator) != 1:
        raise SqlError(214, "Procedure expects parameter 'separator' of type "
                            "'nchar(1)/nvarchar(1)'.")
    return json.dumps(text.split(separator), ensure_ascii=False)


def openjson_rows(text, path="$"):
    """OPENJSON's rows: [key, value, type] for each member of the object or array at the
    path (a scalar's value as its text, an object's or an array's as the document writes
    it; type 0 null, 1 string, 2 number, 3 true/false, 4 array, 5 object)."""
    if text is None:
        return "[]"
    mode, steps, node = _at_path(text, path)
    if node is _json:
        return "[]"
    if not isinstance(node, (dict, list)):
        raise SqlError(13611, "Value referenced by JSON path is not an array or object and "
                              "cannot be opened with OPENJSON.")
    fragment = _fragment(text, steps)
    rows, at = [], _BLANKS.match(fragment, 1).end()
    keys = list(node) if isinstance(node, dict) else [str(n) for n in range(len(node))]
    for key in keys:
        if isinstance(node, dict):
            at = _BLANKS.match(fragment, _BLANKS.match(
                fragment, _DECODER.raw_decode(fragment, at)[1]).end() + 1).end()
        value, end = _DECODER.raw_decode(fragment, at)
        kind = 0 if value is None else 3 if isinstance(value, bool) else \
            2 if isinstance(value, (int, float)) else 1 if isinstance(value, str) else \
            4 if isinstance(value, list) else 5
        written = None if kind == 0 else value if kind == 1 else fragment[at:end]
        rows.append([key, written, kind])
        at = _BLANKS.match(fragment, _BLANKS.match(fragment, end).end() + 1).end()
    return json.dumps(rows, ensure_ascii=False)


def _zone(zone, codepage, ev):
    """A time zone offset given as '+hh:mm' or as minutes."""
    if isinstance(zone, int):
        minutes = zone
    else:
        found = re.fullmatch(r"\s*([+-])(\d{2}):(\d{2})\s*", ev.text_value(zone, codepage))
        if found is None:
            raise SqlError(9814, "The timezone provided to builtin function "
                                 "todatetimeoffset is invalid.")
        minutes = (int(found.group(2)) * 60 + int(found.group(3))) * \
            (-1 if found.group(1) == "-" else 1)
    if abs(minutes) > 14 * 60:
        raise SqlError(9814, "The timezone provided to builtin function todatetimeoffset is "
                             "invalid.")
    return timezone(timedelta(minutes=minutes))


def _switched(ev, value, zone, codepage):
    if isinstance(value, datetime) and value.tzinfo is not None:
        return value.astimezone(_zone(zone, codepage, ev))
    moment = ev._dt(ev.coerce(value, ev.DATETIME2, codepage))
    return moment.replace(tzinfo=timezone.utc).astimezone(_zone(zone, codepage, ev))
