"""What every SQLite connection of the simulator knows beyond SQLite itself: the CI collation
(case and trailing blanks ignored, as the database's collation compares texts), LIKE as SQL
Server matches it, decimal aggregates, and the bridge to expressions SQLite cannot express
with SQL Server's semantics (evaluated by `evaluate` on the values SQLite computed)."""

import decimal
import itertools
import math
import re
import threading
from datetime import date, datetime, time, timedelta, timezone
from decimal import ROUND_CEILING, ROUND_FLOOR, Decimal

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
    text = [c.casefold() for c in value.rstrip(" ")]
    items = _pattern(pattern, escape)
    t = p = 0
    star = mark = -1
    while t < len(text):
        if p < len(items) and items[p] != "%" and _one(items[p], text[t]):
            t, p = t + 1, p + 1
        elif p < len(items) and items[p] == "%":
            star, mark, p = p, t, p + 1
        elif star >= 0:
            mark += 1
            t, p = mark, star + 1
        else:
            return False
    while p < len(items) and items[p] == "%":
        p += 1
    return p == len(items)


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
