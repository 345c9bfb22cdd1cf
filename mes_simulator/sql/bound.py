"""The bound tree: expressions as evaluate.Binder leaves them, every name resolved and every
node given its SQL Server type.

One class for each kind of node (a few kinds that share their fields share a class), each with
fields of its own; every node has `kind` and `type`, and `parts()` gives what a walk of the tree
visits.  sqlite.py writes the tree as SQLite SQL; evaluate.value computes what reads no table.
A query binds to a Plan: its SELECTs (Core), each reading Sources and listing Items and
Assignments.
"""

from collections import namedtuple

from .expressions import kind_type


class Node:
    """A node of the bound tree: Node(type, *fields), fields in the order of `fields`."""
    __slots__ = ("type",)
    kind = None
    fields = ()  # the parts a walk of the tree visits, in order

    def __init__(self, type, *values):
        if len(values) != len(self.fields):
            raise TypeError(f"{self.kind} takes {', '.join(self.fields)}")
        self.type = type
        for name, value in zip(self.fields, values):
            setattr(self, name, value)

    def parts(self):
        return [getattr(self, name) for name in self.fields]

    def __repr__(self):
        inner = ", ".join(f"{name}={getattr(self, name)!r}" for name in self.fields)
        return f"{type(self).__name__}({self.kind}, {self.type}, {inner})"


def _node(name, kind, fields, doc):
    fields = tuple(fields.replace(",", " ").split())
    return type(name, (Node,), {"__slots__": fields, "fields": fields, "kind": kind,
                                "__doc__": doc, "__module__": __name__})


class _Shared(Node):
    """A class of several kinds of node: Class(kind, type, *fields)."""
    __slots__ = ("kind",)

    def __init__(self, kind, type, *values):
        self.kind = kind
        super().__init__(type, *values)


class Logical(_Shared):
    """left AND right, left OR right."""
    __slots__ = fields = ("left", "right")


class Unary(_Shared):
    """-operand, ~operand, NOT operand."""
    __slots__ = fields = ("operand",)


# -- values
Ref = _node("Ref", "ref", "depth, source, column, name",
            "A column of a source: of the query `depth` levels out (0: this one), its source's "
            "and the column's places, and the column's name.")
RowId = _node("RowId", "rowid", "source", "The rowid of a source of this query (UPDATE ... FROM).")
RecursionLevel = _node("RecursionLevel", "recursion_level", "source, limit",
                       "The level of a recursive CTE's row that a recursive member makes from "
                       "the row of its source it reads (at that place), at most limit (0: any).")
Output = _node("Output", "output", "index",
               "An item of the select list, by its place (ORDER BY 2, ORDER BY alias).")
Lit = _node("Lit", "lit", "value", "A constant (None: NULL).")
Var = _node("Var", "var", "variable", "A variable's value, by the variable's name.")
Global = _node("Global", "global", "variable", "@@name's value.")

# -- operators
Op = _node("Op", "op", "left, right, mark", "Arithmetic (or text +): left mark right.")
Cmp = _node("Cmp", "cmp", "left, right, mark", "A comparison: left mark right.")
IsNull = _node("IsNull", "isnull", "operand, negated", "operand IS [NOT] NULL.")
Like = _node("Like", "like", "operand, pattern, negated, escape",
             "operand [NOT] LIKE pattern [ESCAPE escape]; escape None without one.")
In = _node("In", "in", "operand, items, negated",
           "operand [NOT] IN items: a list of nodes, or the Plan of a subquery.")
Between = _node("Between", "between", "operand, low, high, negated",
                "operand [NOT] BETWEEN low AND high.")

# -- queries inside expressions
Exists = _node("Exists", "exists", "plan", "EXISTS (a query's Plan).")
Subquery = _node("Subquery", "subquery", "plan", "A query's one value.")

# -- conversions and functions


class Cast(Node):
    """operand as a value of the node's type; attempt (not walked): NULL for a value that does
    not convert, as TRY_CAST gives."""
    __slots__ = ("operand", "style", "attempt")
    kind = "cast"
    fields = ("operand", "style")

    def __init__(self, type, operand, style, attempt=False):
        super().__init__(type, operand, style)
        self.attempt = attempt


Convert = _node("Convert", "convert", "operand, table, column",
                "A value going into a column (the column of a table, its type the node's).")
Case = _node("Case", "case", "operand, whens, otherwise",
             "CASE [operand] WHEN ... END: whens (test, result) pairs, operand None when searched.")
Call = _node("Call", "call", "function, args", "A built-in function (its name) of arguments.")
Agg = _node("Agg", "agg", "function, arg, distinct, separator, order",
            "An aggregate: arg None for COUNT(*); STRING_AGG's separator and WITHIN GROUP "
            "(node, descending) keys (None and () for the others).")
Window = _node("Window", "window", "call, partition, order, frame",
               "call (an Agg or Call) OVER (PARTITION BY partition ORDER BY (node, descending) "
               "keys frame).")

# -- what a bound SELECT lists, and how its sources join
Item = kind_type("Item", "item", "node, name", "A select list's value and the column's name.")
Assignment = kind_type("Assignment", "assign", "variable, node", "SELECT @variable = node.")
Join = namedtuple("Join", "how, on")
Join.__doc__ = "How a source joins those before it (expressions.Join's how), its bound ON."


# -- queries
class Plan:
    """A bound query: its SELECTs (Cores) joined by unions (union, union all, except,
    intersect), its columns ((name, SqlType) each, the first SELECT's), ORDER BY (node,
    descending) keys, OFFSET and FETCH (nodes or None)."""

    def __init__(self, cores, unions):
        self.cores, self.unions = cores, unions
        self.columns = cores[0].columns
        self.order, self.offset, self.fetch = [], None, None


class Core:
    """One bound SELECT: its sources (Sources) and how each joins those before it (Joins), WHERE,
    GROUP BY, HAVING, the select list (Items and Assignments) and the columns it gives
    ((name, SqlType) each), whether it aggregates, DISTINCT, TOP [PERCENT] [WITH TIES], INTO
    (an expressions.Target or None), and the scope its names were bound in."""

    def __init__(self, sources, joins, where=None, items=()):
        self.sources, self.joins, self.where, self.items = sources, joins, where, items
        self.group, self.having, self.columns, self.aggregate = [], None, [], False
        self.distinct, self.top, self.percent, self.ties = False, None, False, False
        self.into = self.scope = None


class Source:
    """A source of FROM, as names are bound to its columns: the names a qualifier may use for
    it (case-folded), its columns ((name, SqlType) each), and what it reads: a table or view
    (relation), or a query's Plan, Values or a TableVariable (plan)."""

    def __init__(self, names, columns, relation=None, plan=None, alias=None):
        self.names = names
        self.columns = columns
        self.folded = [c[0].casefold() for c in columns]
        self.relation, self.plan, self.alias = relation, plan, alias


class Values:
    """The rows of a (VALUES ...) table: lists of nodes."""

    def __init__(self, rows):
        self.rows = rows


class Recursion:
    """A recursive CTE as its recursive members read it: its SQL name, its columns (the
    anchor's), and how many levels it may go down (0: no limit)."""

    def __init__(self, name, columns, limit):
        self.name, self.columns, self.limit = name, columns, limit


class RowsFunction:
    """STRING_SPLIT or OPENJSON as a source: its name and bound arguments."""

    def __init__(self, name, args):
        self.name, self.args = name, args


class TableVariable:
    """A table variable as a source (its rows are the variable's value)."""

    def __init__(self, name):
        self.name = name
