"""Bound queries as SQLite SQL.

`Generator.query(plan)` writes a `bound.Plan` as one SQLite SELECT: joins, filters,
grouping, ordering, paging, set operations and subqueries are SQLite's work.  Texts compare
under the CI collation (functions.COLLATION).  An expression SQLite cannot compute with SQL
Server's semantics (conversions, most built-in functions, decimal and date arithmetic, LIKE)
becomes a call of `tsql_eval`, which evaluates that one node in Python on the values SQLite
computed for its operands.  Values cross as SQLite values (`to_sqlite`, `from_sqlite`) and leave
converted to the types the binder gave the columns.
"""

import copy
import functools
import re
import sqlite3
from datetime import date, time
from decimal import Decimal, InvalidOperation

from ..errors import SqlError
from . import bound, evaluate, functions, tables
from . import types as sqltypes
from .functions import COLLATION, to_sqlite
from .types import store

_NUMBERS = set(sqltypes.INT_RANGES) | sqltypes.FLOATS
_MOMENTS = {"datetime", "datetime2", "smalldatetime"}
_OPERATORS = {"!=": "<>", "!<": ">=", "!>": "<="}
_UTC = "strftime('%Y-%m-%d %H:%M:%f', {})"  # a datetimeoffset's instant, as SQLite reads it


def from_sqlite(value, sqltype):
    """A value SQLite computed, as a value of the SQL Server type the binder gave it."""
    if value is None:
        return None
    name = sqltype.name
    if name in sqltypes.TIMES and isinstance(value, str):
        if name == "time":  # its 100 ns digit kept
            return sqltypes.convert(value[:16], sqltypes.SqlType("time", 0, 0, 7), "utf-8")
        kind = "datetimeoffset" if name == "datetimeoffset" else "datetime2"  # offset kept
        moment = sqltypes.convert(value, sqltypes.SqlType(kind, 0, 0, 7), "utf-8")
        return moment.date() if name == "date" else moment
    if name in sqltypes.DECIMALS and isinstance(value, (str, int, float)):
        return Decimal(str(value))
    if name in sqltypes.CHARACTER and isinstance(value, str) and name not in sqltypes.UNICODE:
        return sqltypes.Varchar(value)
    return value


def _family(sqltype):
    name = sqltype.name
    if name in _NUMBERS:
        return "number"
    if name in sqltypes.CHARACTER:
        return "text"
    if name in _MOMENTS:
        return "moment"
    if name in sqltypes.BINARY:
        return "binary"
    return name


def _text(sqltype):
    return sqltype.name in sqltypes.CHARACTER


def _constant(node):
    return node.kind in ("lit", "var", "global")


class Generator:
    """One statement's SQL; `params` are its parameters, `evaluation` its bridged nodes."""

    def __init__(self, session, variables, evaluation):
        self.session, self.variables = session, variables
        self.evaluation = evaluation
        self.ctx = evaluate.Context(session, variables)
        self.params = []
        self.frames = []  # per enclosing SELECT: [(alias, column names)] of its sources
        self.aliases = 0

    # -- values
    def value(self, node):
        return evaluate.value(node, self.ctx)

    def param(self, value):
        value = to_sqlite(value)
        if isinstance(value, int) and -2 ** 63 <= value < 2 ** 63:
            return str(value)
        if isinstance(value, int):  # beyond SQLite's integers: kept exact, as a decimal's text
            value = str(value)
        self.params.append(value)
        return f"?{len(self.params)}"  # numbered: the text's order need not be the list's

    def used(self, sql):
        """The parameters a text made by this generator refers to (those up to its highest)."""
        return self.params[:max((int(n) for n in re.findall(r"\?(\d+)", sql)), default=0)]

    def integer(self, node):
        value = self.value(node)
        return None if value is None else int(value)

    # -- queries
    def query(self, plan):
        single = len(plan.cores) == 1
        first = plan.cores[0]
        if single and first.top is not None and first.ties and plan.order:
            top = self.limit(first)
            names = ", ".join(f"c{n}" for n in range(len(first.items)))
            return (f"SELECT {names} FROM ({self.core(first, plan.order, ties=True)}) "
                    f"WHERE tie_rank <= {top} ORDER BY tie_rank")
        parts = []
        for n, core in enumerate(plan.cores):
            if n:
                parts.append(plan.unions[n - 1].upper())
            parts.append(self.core(core, plan.order if single else ()))
        if not single and plan.order:
            parts.append("ORDER BY " + ", ".join(
                f"{e.index + 1}{' DESC' if desc else ''}" for e, desc in plan.order))
        if plan.offset is not None:
            fetch = self.integer(plan.fetch) if plan.fetch is not None else None
            parts.append(f"LIMIT {-1 if fetch is None else max(fetch, 0)} "
                         f"OFFSET {max(self.integer(plan.offset) or 0, 0)}")
        elif single and first.top is not None:
            parts.append(f"LIMIT {self.limit(first)}")
        return " ".join(parts)

    def limit(self, core):
        """TOP n, or TOP n PERCENT: the rows' count times n / 100, rounded up."""
        top = self.value(core.top)
        if top is None:
            return -1
        if not core.percent:
            return max(int(top), 0)
        share = f"COUNT(*) * {self.param(float(top))} / 100.0"
        return (f"(SELECT CAST(v AS INTEGER) + (v > CAST(v AS INTEGER)) FROM "
                f"(SELECT {share} AS v FROM ({self.core(core, ())})))")

    def core(self, core, order, ties=False):
        applied = [join.how.endswith("apply") for join in core.joins]
        sources = [None if apply else self.source(src)
                   for src, apply in zip(core.sources, applied)]
        frame = [None if apply else (s[1], s[2]) for s, apply in zip(sources, applied)]
        self.frames.append(frame)
        try:
            for n, src in enumerate(core.sources):
                if applied[n] and isinstance(src.plan, bound.RowsFunction):  # a lateral join
                    self.aliases += 1
                    sources[n] = self.rows_function(src.plan, f"t{self.aliases}")
                    frame[n] = sources[n][1:]
                elif applied[n]:  # its columns are its select list's expressions
                    text, items = self.applied(src.plan, core.joins[n].how == "outer apply")
                    sources[n], frame[n] = (text, None, items), (None, items)
            sql = ["SELECT DISTINCT" if core.distinct else "SELECT"]
            items, nodes = [], [item.node for item in core.items]
            for node in nodes:
                text = self.expr(node)
                items.append(text + f" COLLATE {COLLATION}" if _text(node.type) else text)
            if core.aggregate and not core.group and items and \
                    not any(evaluate._has_agg(node) for node in nodes):
                # HAVING alone makes one group, where SQLite wants an aggregate to see one
                items[0] = f"CASE WHEN COUNT(*) IS NULL THEN NULL ELSE {items[0]} END"
            keys = []
            for e, desc in order:
                if e.kind == "output":
                    keys.append(self.ordered(items[e.index], nodes[e.index].type, desc))
                else:
                    keys.append(self.ordered(self.keyed(e), e.type, desc))
            named = [f"{text} AS c{n}" for n, text in enumerate(items)]
            if ties:  # TOP n WITH TIES: the rows ranked n or better
                named.append(f"RANK() OVER (ORDER BY {', '.join(keys)}) AS tie_rank")
            sql.append(", ".join(named) or "NULL")
            if sources:
                joined = [sources[0][0]]
                for join, (text, _a, _n) in zip(core.joins[1:], sources[1:]):
                    if text is None:  # an APPLY of an aggregate: no table of its own
                        continue
                    word = {"cross": "CROSS JOIN", "inner": "JOIN", "left": "LEFT JOIN",
                            "right": "RIGHT JOIN", "full": "FULL JOIN", "cross apply": "JOIN",
                            "outer apply": "LEFT JOIN"}[join.how]
                    joined.append(f"{word} {text}" +
                                  (f" ON {self.expr(join.on)}" if join.on else ""))
                sql.append("FROM " + " ".join(joined))
            if core.where is not None:
                sql.append("WHERE " + self.expr(core.where))
            if core.group:
                sql.append("GROUP BY " + ", ".join(self.keyed(g) for g in core.group))
            if core.having is not None:
                sql.append("HAVING " + self.expr(core.having))
            if order and not ties:
                sql.append("ORDER BY " + ", ".join(keys))
            return " ".join(sql)
        finally:
            self.frames.pop()

    def applied(self, plan, outer):
        """CROSS/OUTER APPLY (SELECT ... FROM t ... WHERE ...): its tables joined in place
        (SQLite has no lateral joins), its WHERE their join condition, and its select list's
        SQL; 102 for what such a join cannot say (TOP, grouping, DISTINCT, set operations,
        OUTER APPLY of more than one table)."""
        core = plan.cores[0]
        if len(plan.cores) == 1 and core.top is not None and len(core.sources) == 1 and \
                core.sources[0].relation is not None and not core.aggregate and \
                not core.distinct and not core.percent and not core.ties and \
                core.sources[0].relation.kind != "catalog":
            return self.applied_top(plan)
        if len(plan.cores) == 1 and core.aggregate and not core.group and core.top is None:
            # one row for each row beside it: each column a correlated scalar subquery
            items = []
            for item in core.items:
                single = copy.copy(core)
                single.items = [item]
                items.append(self.core(single, ()))
            return None, items
        if len(plan.cores) > 1 or core.top is not None or core.aggregate or core.distinct \
                or plan.offset is not None or outer and len(core.sources) > 1 or \
                any(join.how not in ("from", "cross", "inner") for join in core.joins):
            raise SqlError(102, "Incorrect syntax near 'APPLY'.", severity=15)
        sources = [self.source(src) for src in core.sources]
        self.frames.append([(alias, names) for _t, alias, names in sources])
        try:
            terms = [self.expr(join.on) for join in core.joins if join.on is not None]
            if core.where is not None:
                terms.append(self.expr(core.where))
            items = [self.expr(item.node) for item in core.items]
        finally:
            self.frames.pop()
        tables = " CROSS JOIN ".join(text for text, _a, _n in sources)
        return f"{tables} ON {' AND '.join(terms) or '1'}", items

    def applied_top(self, plan):
        """APPLY (SELECT TOP n ... FROM t WHERE ... ORDER BY ...): t joined on the rows the
        query picks for the row beside it (their rowids, by a correlated subquery)."""
        core = plan.cores[0]
        rowids = copy.copy(core)
        rowids.items = [bound.Item(bound.RowId(sqltypes.INT, 0), "")]
        order = [(core.items[e.index].node if e.kind == "output" else e, desc)
                 for e, desc in plan.order]
        picked = self.core(rowids, order) + f" LIMIT {self.limit(core)}"
        self.aliases += 1
        alias = f"t{self.aliases}"
        self.frames.append([(alias, [f'"{n}"' for n, _t in core.sources[0].relation.columns])])
        try:
            items = [self.expr(item.node) for item in core.items]
        finally:
            self.frames.pop()
        table = core.sources[0].relation.name
        return f'"{table}" AS {alias} ON {alias}.rowid IN ({picked})', items

    def keyed(self, node):
        text = self.expr(node)
        return f"{text} COLLATE {COLLATION}" if _text(node.type) else text

    @staticmethod
    def ordered(text, sqltype, desc):
        """An ORDER BY key's SQL: a datetimeoffset orders by its instant (SQLite's UTC time to
        the millisecond, then the value)."""
        direction = " DESC" if desc else ""
        if sqltype.name == "datetimeoffset":
            return f"{_UTC.format(text)}{direction}, {text}{direction}"
        return text + direction

    def source(self, src):
        """(SQL of a FROM item, its alias, its columns' names in SQL)."""
        self.aliases += 1
        alias = f"t{self.aliases}"
        width = len(src.columns)
        if src.relation is not None and src.relation.kind != "catalog":
            return (f'"{src.relation.name}" AS {alias}', alias,
                    [f'"{name}"' for name, _t in src.relation.columns])
        if src.relation is not None:
            rows = tables.catalog_rows(src.relation.schema, src.relation.name, self.session)
            return self.values(rows, width, alias)
        if isinstance(src.plan, bound.Values):
            self.frames.append([])  # bound in a scope of no tables of its own
            rows = ", ".join("(" + ", ".join(self.expr(e) for e in row) + ")"
                             for row in src.plan.rows)
            self.frames.pop()
            return (f"(VALUES {rows}) AS {alias}", alias,
                    [f"column{m + 1}" for m in range(width)])
        if isinstance(src.plan, bound.RowsFunction):
            self.frames.append([])  # its arguments read no table of this SELECT
            try:
                return self.rows_function(src.plan, alias)
            finally:
                self.frames.pop()
        if isinstance(src.plan, bound.TableVariable):
            return self.values(self.variables[src.plan.name][1], width, alias)
        names = [f"c{m}" for m in range(width)]
        if isinstance(src.plan, bound.Recursion):  # read by its own recursive members
            return f"{src.plan.name} AS {alias}", alias, names + ["level"]
        recursion = getattr(src.plan, "recursion", None)
        if recursion is not None:
            return (f"(WITH RECURSIVE {recursion.name}({', '.join(names)}, level) AS "
                    f"({self.recursive(src.plan)}) SELECT {', '.join(names)} FROM "
                    f"{recursion.name}) AS {alias}", alias, names)
        return f"({self.query(src.plan)}) AS {alias}", alias, names

    def rows_function(self, plan, alias):
        """STRING_SPLIT and OPENJSON: SQLite's json_each over the rows Python lists (a
        table-valued function, so APPLY may pass it the columns of the sources before it)."""
        make = functions.split_rows if plan.name == "string_split" else functions.openjson_rows
        types = [a.type for a in plan.args]
        session = self.session

        def run(*values):
            return make(*(None if v is None else evaluate.text_value(
                from_sqlite(v, t), session.codepage) for v, t in zip(values, types)))
        number = self.evaluation.add(run)
        args = "".join(", " + self.expr(a) for a in plan.args)
        sql = f"json_each(tsql_eval({self.evaluation.id}, {number}{args})) AS {alias}"
        if plan.name == "string_split":
            return sql, None, [f"{alias}.value"]
        return sql, None, [f"json_extract({alias}.value, '$[{n}]')" for n in range(3)]

    def recursive(self, plan):
        """A recursive CTE's members, each with its level (the anchors' 0, a recursive
        member's one more than the row it reads); a row past the limit is SQL Server's 530."""
        recursion = plan.recursion
        parts = []
        for n, core in enumerate(plan.cores):
            if n:
                parts.append(plan.unions[n - 1].upper())
            at = next((m for m, src in enumerate(core.sources) if src.plan is recursion), None)
            level = bound.Lit(sqltypes.INT, 0) if at is None else \
                bound.RecursionLevel(sqltypes.INT, at, recursion.limit)
            core.items.append(bound.Item(level, "level"))
            try:
                parts.append(self.core(core, ()))
            finally:
                core.items.pop()
        return " ".join(parts)

    def values(self, rows, width, alias):
        names = [f"column{m + 1}" for m in range(width)]
        if not rows:
            blank = ", ".join(f"NULL AS {n}" for n in names)
            return f"(SELECT {blank} LIMIT 0) AS {alias}", alias, names
        text = ", ".join("(" + ", ".join(self.param(v) for v in row) + ")" for row in rows)
        return f"(VALUES {text}) AS {alias}", alias, names

    # -- expressions
    def expr(self, node):
        kind = node.kind
        if kind == "ref":
            alias, names = self.frames[-1 - node.depth][node.source]
            return f"{alias}.{names[node.column]}" if alias else f"({names[node.column]})"
        if kind == "recursion_level":  # a recursive member's row: one level further down
            alias = self.frames[-1][node.source][0]
            if not node.limit:
                return f"({alias}.level + 1)"
            number = self.evaluation.add(functools.partial(_recursion_exhausted, node.limit))
            return (f"(CASE WHEN {alias}.level >= {node.limit} THEN "
                    f"tsql_eval({self.evaluation.id}, {number}) ELSE {alias}.level + 1 END)")
        if kind == "rowid":  # of a source of the current SELECT (UPDATE ... FROM)
            return f"{self.frames[-1][node.source][0]}.rowid"
        if _constant(node):
            return self.param(self.value(node))
        if kind == "cmp":
            return self.compare(node.left, node.right, node.mark) or \
                self.bridge(node, [node.left, node.right])
        if kind in ("and", "or"):
            return f"({self.expr(node.left)} {kind.upper()} {self.expr(node.right)})"
        if kind == "not":
            return f"(NOT {self.expr(node.operand)})"
        if kind == "isnull":
            return f"({self.expr(node.operand)} IS {'NOT ' if node.negated else ''}NULL)"
        if kind == "exists":
            return f"EXISTS ({self.query(node.plan)})"
        if kind == "subquery":
            return self.scalar(node.plan)
        if kind == "in":
            return self.member(node)
        if kind == "between":
            low, high = node.low, node.high
            if self.comparable(node.operand, low) and self.comparable(node.operand, high):
                left = self.keyed(node.operand)
                return (f"({left} {'NOT ' if node.negated else ''}BETWEEN {self.expr(low)} "
                        f"AND {self.expr(high)})")
            return self.bridge(node, [node.operand, low, high])
        if kind == "op":
            return self.arithmetic(node)
        if kind in ("neg", "bitnot") and _family(node.type) == "number":
            return f"({'-' if kind == 'neg' else '~'}{self.expr(node.operand)})"
        if kind == "case":
            return self.case(node)
        if kind == "agg":
            return self.aggregate(node)
        if kind == "window":
            return self.window(node)
        if kind == "call" and node.function in ("isnull", "coalesce") \
                and all(_family(a.type) == _family(node.type) for a in node.args):
            return f"COALESCE({', '.join(self.expr(a) for a in node.args)})"
        if kind == "call" and node.function == "ident_current":
            return self.ident_current(node.args[0])
        if kind == "call":
            return self.bridge(node, list(node.args))
        if kind == "like":
            escape = node.escape
            return self.bridge(node, [node.operand, node.pattern] + ([escape] if escape else []))
        if kind in ("neg", "bitnot"):
            return self.bridge(node, [node.operand])
        if kind == "cast":
            return self.bridge(node, [node.operand] + ([node.style] if node.style is not None
                                                       else []))
        if kind == "convert":  # a value written into a column of a table
            return self.bridge(node, [node.operand])
        raise SqlError(50000, f"cannot run {kind}")

    def ident_current(self, name):
        """IDENT_CURRENT('dbo.t'): the last identity value of a MES table (SQLite's sequence)."""
        value = self.value(name) if _constant(name) else None
        parts = tuple(p.strip("[]\"") for p in str(value).split(".")) if value else ()
        rel = tables.relation(parts, self.session.database) if parts else None
        if rel is None or rel.kind != "mes" or \
                not any(c.identity for c in tables.MES_TABLES[rel.name]):
            return "NULL"
        return f"(SELECT seq FROM sqlite_sequence WHERE name = {self.param(rel.name)})"

    def comparable(self, a, b):
        fa, fb = _family(a.type), _family(b.type)
        return fa == fb and fa in ("number", "text", "moment", "binary", "date", "time")

    def compare(self, a, b, mark):
        """SQL of a comparison SQLite makes as SQL Server does; None if it cannot."""
        if not self.comparable(a, b):
            converted = self.convert_constant(a, b)
            if converted is not None:
                a, b = converted
            else:
                converted = self.convert_constant(b, a)
                if converted is None:
                    return None
                b, a = converted
            if not self.comparable(a, b):
                return None
        mark = _OPERATORS.get(mark, mark)
        collate = f" COLLATE {COLLATION}" if _text(a.type) else ""
        return f"({self.expr(a)} {mark} {self.expr(b)}{collate})"

    def convert_constant(self, column, constant):
        """(column, constant converted to the column's type) when the column's type is the
        higher one, as SQL Server converts it; None when that is not so."""
        if not _constant(constant) or _constant(column) or _family(column.type) == "decimal":
            return None
        if evaluate.higher(column.type, constant.type) is not column.type:
            if not (_family(constant.type) in ("decimal", "numeric") and
                    _family(column.type) == "number"):
                return None
        value = self.value(constant)
        if value is not None:
            if _family(column.type) == "number" and isinstance(value, Decimal):
                value = float(value)
            else:
                value = evaluate.coerce(value, column.type, self.session.codepage)
        return column, bound.Lit(column.type, value)

    def member(self, node):
        left, negated = node.operand, " NOT" if node.negated else ""
        if isinstance(node.items, bound.Plan):
            return f"({self.keyed(left)}{negated} IN ({self.query(node.items)}))"
        items = [self.convert_constant(left, x) for x in node.items]
        # a datetimeoffset's texts differ for one instant: Python compares them
        if _family(left.type) != "datetimeoffset" and \
                all(x is not None or self.comparable(left, y) for x, y in zip(items, node.items)):
            values = [pair[1] if pair is not None else y for pair, y in zip(items, node.items)]
            return f"({self.keyed(left)}{negated} IN ({', '.join(self.expr(v) for v in values)}))"
        return self.bridge(node, [left] + list(node.items))

    def scalar(self, plan):
        """A scalar subquery: its one value, NULL without rows, 512 with more than one."""
        core = plan.cores[0]
        if len(plan.cores) == 1 and core.aggregate and not core.group and core.top is None \
                and plan.offset is None:
            return f"({self.query(plan)})"
        return (f"(SELECT CASE WHEN COUNT(*) > 1 THEN tsql_raise({self.evaluation.id}, 512) "
                f"ELSE MAX(c0) END FROM (SELECT c0 FROM ({self.query(plan)}) LIMIT 2))")

    def arithmetic(self, node):
        mark, a, b = node.mark, node.left, node.right
        family = _family(node.type)
        if family == "text" and mark == "+" and _text(a.type) and _text(b.type):
            return f"({self.expr(a)} || {self.expr(b)})"
        if family == "number" and _family(a.type) == _family(b.type) == "number":
            left, right = self.expr(a), self.expr(b)
            if mark in "/%":
                right = f"tsql_nonzero({self.evaluation.id}, {right})"
                if node.type.name in sqltypes.FLOATS and mark == "/":
                    left = f"CAST({left} AS REAL)"
            if mark == "^":
                return f"(({left} | {right}) - ({left} & {right}))"
            return f"({left} {mark} {right})"
        return self.bridge(node, [a, b])

    def case(self, node):
        out = ["CASE"]
        for when, then in node.whens:
            test = when if node.operand is None else bound.Cmp(evaluate.BIT, node.operand, when,
                                                               "=")
            out.append(f"WHEN {self.expr(test)} THEN {self.expr(then)}")
        out.append(f"ELSE {self.expr(node.otherwise)} END")
        return " ".join(out)

    def aggregate(self, node):
        name, arg = node.function, node.arg
        if arg is None:
            return "COUNT(*)"
        if name == "string_agg":
            separator, order = node.separator, node.order
            keys = "".join(", " + self.expr(e) for e, _desc in order)
            directions = "".join("D" if desc else "A" for _e, desc in order)
            codepage = "" if node.type.size == sqltypes.MAX else \
                "N" if node.type.name in sqltypes.UNICODE else self.session.codepage
            if not order and not codepage:  # neither an order nor a limit: SQLite's own
                return f"group_concat({self.expr(arg)}, {self.expr(separator)})"
            return (f"tsql_string_agg({self.evaluation.id}, {self.expr(arg)}, "
                    f"{self.expr(separator)}, '{codepage}', '{directions}'{keys})")
        distinct = "DISTINCT " if node.distinct else ""
        inner = distinct + self.keyed(arg)
        if name in ("count", "count_big"):
            return f"COUNT({inner})"
        if name in functions.DEVIATIONS:
            return f"tsql_{name}({inner})"
        if _family(arg.type) in ("decimal", "numeric", "money", "smallmoney"):
            return f"tsql_dec_{name}({inner})"
        if name in ("min", "max") and arg.type.name == "datetimeoffset" and not distinct:
            # the least or greatest instant: its UTC text (23 characters) leads the value
            return f"substr({name.upper()}({_UTC.format(inner)} || {inner}), 24)"
        if name == "avg" and arg.type.name in sqltypes.INT_RANGES:
            return f"(SUM({inner}) / COUNT({inner}))"
        return f"{name.upper()}({inner})"

    def window(self, node):
        function, partition, order, frame = node.call, node.partition, node.order, node.frame
        if function.kind == "agg":
            text = self.aggregate(function)
        else:
            text = f"{function.function}({', '.join(self.expr(a) for a in function.args)})"
        over = []
        if partition:
            over.append("PARTITION BY " + ", ".join(self.keyed(p) for p in partition))
        if order:
            over.append("ORDER BY " + ", ".join(self.ordered(self.keyed(e), e.type, desc)
                                                for e, desc in order))
        if frame:
            over.append(frame)
        return f"{text} OVER ({' '.join(over)})"

    def bridge(self, node, operands):
        """node evaluated in Python on its operands' values, computed by SQLite."""
        types = [o.type for o in operands]
        session, variables = self.session, self.variables

        def run(*values):
            values = [from_sqlite(v, t) for v, t in zip(values, types)]
            if node.kind == "convert":
                return to_sqlite(store(values[0], node.column, node.table, session.codepage,
                                       tables.qualified(node.table)))
            lits = [bound.Lit(t, v) for v, t in zip(values, types)]
            ctx = evaluate.Context(session, variables)
            return to_sqlite(evaluate.value(_with_operands(node, lits), ctx))
        number = self.evaluation.add(run)
        args = "".join(", " + self.expr(o) for o in operands)
        return f"tsql_eval({self.evaluation.id}, {number}{args})"


def _with_operands(node, lits):
    """A copy of node whose operands are the given constants (in bridge's order)."""
    kind = node.kind
    if kind == "cmp":
        return bound.Cmp(node.type, lits[0], lits[1], node.mark)
    if kind == "op":
        return bound.Op(node.type, lits[0], lits[1], node.mark)
    if kind == "between":
        return bound.Between(node.type, lits[0], lits[1], lits[2], node.negated)
    if kind == "in":
        return bound.In(node.type, lits[0], lits[1:], node.negated)
    if kind == "like":
        return bound.Like(node.type, lits[0], lits[1], node.negated,
                          lits[2] if node.escape else None)
    if kind in ("neg", "bitnot"):
        return bound.Unary(kind, node.type, lits[0])
    if kind == "cast":
        return bound.Cast(node.type, lits[0], lits[1] if len(lits) > 1 else None, node.attempt)
    if kind == "call":
        return bound.Call(node.type, node.function, lits)
    raise SqlError(50000, f"cannot run {kind}")


def _recursion_exhausted(limit):
    raise SqlError(530, f"The statement terminated. The maximum recursion {limit} has been "
                        "exhausted before statement completion.")


def reads_tables(node):
    """Whether a bound expression is SQLite's to compute: it reads a table (a subquery, EXISTS,
    IN (SELECT ...)) or aggregates (SELECT COUNT(*) without FROM)."""
    if isinstance(node, bound.Plan):
        return True
    if not isinstance(node, bound.Node):
        if isinstance(node, (list, tuple)):
            return any(reads_tables(x) for x in node)
        return False
    if node.kind in ("exists", "subquery", "agg", "window") or node.kind == "call" and \
            node.function == "ident_current":
        return True
    return any(reads_tables(part) for part in node.parts())


def run(db, sql, params, evaluation, fetch=sqlite3.Cursor.fetchall):
    """Run generated SQL: its rows as SQLite gives them (or what fetch takes of its cursor)."""
    with evaluation:
        try:
            return fetch(db.execute(sql, params))
        except sqlite3.Error as exc:
            if evaluation.error is not None:
                raise evaluation.error from None
            raise _error(exc) from None


class Stream:
    """A query's rows read from its open cursor a chunk at a time, each chunk converted to
    the query's column types: what is held of the result is one chunk, whatever its size.
    Every call runs on the thread of the connection that opened the cursor (a job of it)."""

    def __init__(self, cursor, evaluation, types, codepage):
        self.cursor, self.evaluation = cursor, evaluation
        self.types, self.codepage = types, codepage
        self.failed = None  # met after the rows of the last chunk: raised by the next fetch

    @property
    def ended(self):
        return self.cursor is None and self.failed is None

    def fetch(self, _db, rows, size):
        """The next rows: up to rows of them, fewer once they hold size bytes of text and
        binary values (a long value a row); none once the result has ended.  The cursor is
        closed at its end or at an error, which comes after the rows read before it."""
        failed, self.failed = self.failed, None
        if failed is not None:
            raise failed
        cursor, types, codepage = self.cursor, self.types, self.codepage
        if cursor is None:
            return []
        chunk, held = [], 0
        with self.evaluation:
            try:
                while len(chunk) < rows and held < size:
                    row = cursor.fetchone()
                    if row is None:
                        self.close()
                        break
                    for value in row:
                        if isinstance(value, (str, bytes)):
                            held += len(value)
                    chunk.append(tuple(typed(from_sqlite(v, t), t, codepage)
                                       for v, t in zip(row, types)))
            except Exception as exc:
                self.close()
                if isinstance(exc, sqlite3.Error):
                    exc = self.evaluation.error or _error(exc)
                if not chunk:
                    raise exc from None
                self.failed = exc  # the rows before it go out first
        return chunk

    def close(self, _db=None):
        cursor, self.cursor = self.cursor, None
        if cursor is not None:
            try:
                cursor.close()
            except sqlite3.Error:  # the connection is gone already: so is the cursor
                pass


def _prepared(session, variables, plan):
    """A bound query's SQLite SQL, its parameters, the evaluation its bridged expressions
    need, and its columns' types."""
    evaluation = functions.Evaluation()
    generator = Generator(session, variables, evaluation)
    sql = generator.query(plan)
    return sql, generator.params, evaluation, [item.node.type for item in plan.cores[0].items]


def select(session, variables, plan):
    """A bound query as a function of an SQLite connection that returns its rows, converted
    to the query's column types (SELECT @v = ... items included)."""
    sql, params, evaluation, types = _prepared(session, variables, plan)
    codepage = session.codepage

    def rows(db):
        return [tuple(typed(from_sqlite(v, t), t, codepage) for v, t in zip(row, types))
                for row in run(db, sql, params, evaluation)]
    return rows


def stream(session, variables, plan):
    """A bound query as a function of an SQLite connection that opens its cursor: a Stream
    of its rows, converted to the query's column types (SELECT @v = ... items included)."""
    sql, params, evaluation, types = _prepared(session, variables, plan)
    codepage = session.codepage

    def open_cursor(db):
        cursor = run(db, sql, params, evaluation, lambda cursor: cursor)
        return Stream(cursor, evaluation, types, codepage)
    return open_cursor


def insert_select(session, variables, plan, table):
    """INSERT INTO table SELECT ...: a function of an SQLite connection that copies the query's
    rows into the table (of the query's columns) and returns their number."""
    evaluation = functions.Evaluation()
    generator = Generator(session, variables, evaluation)
    sql = f'INSERT INTO "{table}" {generator.query(plan)}'
    params = generator.params

    def insert(db):
        return run(db, sql, params, evaluation, lambda cursor: cursor.rowcount)
    return insert


def scalar(session, variables, node):
    """A bound expression that reads tables, as a function of an SQLite connection that
    returns its value."""
    evaluation = functions.Evaluation()
    generator = Generator(session, variables, evaluation)
    sql = "SELECT " + generator.expr(node)
    params = generator.params

    def value(db):
        return from_sqlite(run(db, sql, params, evaluation)[0][0], node.type)
    return value


def typed(value, sqltype, codepage):
    """A computed value as a value of its expression's type (what goes out on the wire)."""
    if value is None or sqltype.name == "uniqueidentifier":
        return value
    if sqltype.name in sqltypes.TIMES:
        if isinstance(value, (date, time)):
            return value
        if isinstance(value, str):
            return from_sqlite(value, sqltype)
        source = {"Decimal": "numeric", "bytes": "varbinary"}.get(type(value).__name__,
                                                                   type(value).__name__)
        raise SqlError(206, f"Operand type clash: {source} is incompatible with {sqltype.name}")
    try:
        if sqltype.name in ("decimal", "numeric") and isinstance(value, (int, Decimal)) and \
                abs(value) >= Decimal(10) ** (sqltype.precision - sqltype.scale):
            raise InvalidOperation
        return sqltypes.convert(value, sqltype, codepage)
    except (InvalidOperation, OverflowError):
        raise SqlError(8115, "Arithmetic overflow error converting expression to data type "
                             f"{sqltype.name}.") from None
    except (TypeError, ValueError, AttributeError):
        source = {"Varchar": "varchar", "str": "nvarchar", "bytes": "varbinary",
                  "Decimal": "numeric"}.get(type(value).__name__, type(value).__name__)
        raise SqlError(8114, f"Error converting data type {source} to {sqltype.name}.") \
            from None


def _error(exc):
    text = str(exc)
    if "integer overflow" in text:
        return SqlError(8115, "Arithmetic overflow error converting expression to data type int.")
    if "interrupted" in text or "locked" in text:  # the server's to answer (cancel, 1222)
        return exc
    return SqlError(50000, f"MES database error: {text}")
