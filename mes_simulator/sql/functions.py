"""What every SQLite connection of the simulator knows beyond SQLite itself: the CI collation
(case and trailing blanks ignored, as the database's collation compares texts), LIKE as SQL
Server matches it, decimal aggregates, and the bridge to expressions SQLite cannot express
with SQL Server's semantics (evaluated by `evaluate` on the values SQLite computed)."""

import itertools
import threading
from decimal import Decimal

from ..sqltypes import SqlError

COLLATION = "TSQL_CI"


def fold(text):
    """A text as the database's CI collation compares it."""
    return text.rstrip(" ").casefold()


def collate(a, b):
    a, b = fold(a), fold(b)
    return (a > b) - (a < b)


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
    """SUM, AVG, MIN and MAX of decimals (kept as texts in SQLite), exact."""
    kind = None

    def __init__(self):
        self.values = []

    def step(self, value):
        if value is not None:
            self.values.append(Decimal(str(value)))

    def finalize(self):
        if not self.values:
            return None
        if self.kind == "sum":
            return str(sum(self.values))
        if self.kind == "avg":
            return str(sum(self.values) / len(self.values))
        return str(min(self.values) if self.kind == "min" else max(self.values))


def register(conn):
    """Teach an SQLite connection the collation and functions the generated SQL uses."""
    conn.create_collation(COLLATION, collate)
    conn.create_function("tsql_eval", -1, _bridge)
    conn.create_function("tsql_raise", 2, _raise)
    conn.create_function("tsql_nonzero", 2, _nonzero, deterministic=True)
    for kind in ("sum", "avg", "min", "max"):
        conn.create_aggregate("tsql_dec_" + kind, 1,
                              type("Decimal" + kind.title(), (_DecimalAggregate,), {"kind": kind}))
    return conn
