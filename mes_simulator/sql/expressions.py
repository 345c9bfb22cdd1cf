"""The expressions, table sources and queries a batch is read into, one named type each.

As statements are (statements.py), a node of an expression is a tuple whose first item, `kind`,
names it, followed by its fields: `Op("+", a, b)` is ("op", "+", a, b), and `e.left` is `e[2]`.
The parts that are no expression of their own (a query, its SELECTs, a join, a sort key) are
named tuples without a kind.  What the nodes mean is evaluate.py's.
"""

from collections import namedtuple


def kind_type(name, kind, fields, doc, base=None):
    """A named tuple type whose first item is always kind, then fields (names split by commas
    or blanks); base: a tuple class it derives from as well (then it may carry attributes)."""
    plain = namedtuple(name, ("kind",) + tuple(fields.replace(",", " ").split()))
    size = len(plain._fields) - 1

    def __new__(cls, *items, **named):
        if named or len(items) != size:  # fields by name, or the error of a wrong count
            return plain.__new__(cls, kind, *items, **named)
        return tuple.__new__(cls, (kind,) + items)  # the parser makes many: one call each

    def __getnewargs__(self):  # copy and pickle build it again from its fields
        return tuple(self)[1:]

    space = {"__new__": __new__, "__getnewargs__": __getnewargs__, "__doc__": doc, "KIND": kind,
             "__module__": __name__}
    if base is None:
        space["__slots__"] = ()
    return type(name, (plain,) if base is None else (plain, base), space)


_node = kind_type  # a node of an expression: a plain named tuple of its own


# -- values
Lit = _node("Lit", "lit", "value", "A constant (None: NULL).")
Var = _node("Var", "var", "name, written", "@variable: its name case-folded, and as written.")
Global = _node("Global", "global", "name", "@@name, case-folded.")
Default = _node("Default", "default", "", "DEFAULT, where a value of a column may be.")
Column = _node("Column", "column", "parts, written",
               "A column's name: its parts case-folded, and as written (dotted, unquoted).")
Star = _node("Star", "star", "qualifier", "* or qualifier.*: the qualifier's parts, or None.")

# -- operators
Neg = _node("Neg", "neg", "operand", "-operand.")
BitNot = _node("BitNot", "bitnot", "operand", "~operand.")
Op = _node("Op", "op", "mark, left, right", "left mark right: + - * / % & | ^.")
Cmp = _node("Cmp", "cmp", "mark, left, right", "left mark right: = <> != < > <= >= !< !>.")
And = _node("And", "and", "left, right", "left AND right.")
Or = _node("Or", "or", "left, right", "left OR right.")
Not = _node("Not", "not", "operand", "NOT operand.")
IsNull = _node("IsNull", "isnull", "operand, negated", "operand IS [NOT] NULL.")
Like = _node("Like", "like", "operand, pattern, negated, escape",
             "operand [NOT] LIKE pattern [ESCAPE escape]; escape None without one.")
In = _node("In", "in", "operand, items, negated",
           "operand [NOT] IN (items): a tuple of expressions, or a Subquery.")
Between = _node("Between", "between", "operand, low, high, negated",
                "operand [NOT] BETWEEN low AND high.")

# -- functions
Call = _node("Call", "call", "name, args, written",
             "name(args): the function's name case-folded, and as written.")
Agg = _node("Agg", "agg", "name, arg, distinct, separator, order",
            "An aggregate: name([DISTINCT] arg), arg a Star for COUNT(*); STRING_AGG's separator "
            "and its WITHIN GROUP (ORDER BY ...) keys (None and () for the others).")
Window = _node("Window", "window", "function, partition, order, frame",
               "function OVER (PARTITION BY partition ORDER BY order frame): the frame as text "
               "(ROWS ...), or None.")
Cast = _node("Cast", "cast", "operand, type, style, attempt",
             "CAST(operand AS type) or CONVERT(type, operand[, style]); style None without one; "
             "attempt True for TRY_CAST and TRY_CONVERT (NULL for a value that does not "
             "convert).")
Case = _node("Case", "case", "operand, whens, otherwise",
             "CASE [operand] WHEN ... THEN ... [ELSE otherwise] END: whens are When pairs, "
             "operand None in a searched CASE, otherwise Lit(None) without ELSE.")
When = namedtuple("When", "test, result")

# -- queries inside expressions
Subquery = _node("Subquery", "subquery", "query", "(SELECT ...) as a value.")
Exists = _node("Exists", "exists", "query", "EXISTS (SELECT ...).")

# -- what a SELECT lists
Item = _node("Item", "item", "expr, alias", "An expression of a select list [AS alias].")
Assignment = _node("Assignment", "assign", "variable, value", "@variable = value in a SELECT.")

# -- table sources
Table = _node("Table", "table", "parts, written, alias",
              "A table or view by name (parts case-folded), [AS alias].")
Derived = _node("Derived", "derived", "query, alias", "(SELECT ...) AS alias.")
TableVariable = _node("TableVariable", "tablevar", "name, written, alias",
                      "@table [AS alias]: a table variable.")
RowsFunction = _node("RowsFunction", "rowsfunction", "name, args, alias",
                     "STRING_SPLIT(...) or OPENJSON(...) [AS alias]: the rows a function gives.")
ValuesTable = _node("ValuesTable", "values", "rows, alias, columns",
                    "(VALUES (...), ...) AS alias (columns): rows of expressions.")
Join = namedtuple("Join", "how, source, on")
Join.__doc__ = ("A source of FROM and how it joins those before it: from (the first), cross, "
                "inner, left, right, full, cross apply, outer apply; on: the condition or None.")

# -- queries
SortKey = namedtuple("SortKey", "expr, descending")
Cte = namedtuple("Cte", "name, query, columns", defaults=(None,))
Cte.__doc__ = "name [(columns)] AS (query) of WITH; columns None without a list."
SelectCore = namedtuple("SelectCore", "distinct, top, percent, ties, items, into, sources, "
                                      "where, group, having")
SelectCore.__doc__ = ("One SELECT: [DISTINCT] [TOP top [PERCENT] [WITH TIES]] items [INTO into] "
                      "[FROM sources (Joins)] [WHERE] [GROUP BY group] [HAVING having].")
SelectQuery = namedtuple("SelectQuery", "ctes, cores, unions, order, offset, fetch, recursion",
                         defaults=(None,))
SelectQuery.__doc__ = ("[WITH ctes] cores joined by unions (union, union all, except, intersect) "
                       "[ORDER BY order (SortKeys)] [OFFSET offset ROWS [FETCH fetch ROWS ONLY]] "
                       "[OPTION (MAXRECURSION recursion)] (None without).")

# -- the parts of statements that write rows
Target = namedtuple("Target", "parts, written")
Target.__doc__ = "The table a statement writes: its name's parts (case-folded), as written."
SetItem = namedtuple("SetItem", "column, written, value")
SetItem.__doc__ = "column = value of UPDATE ... SET: the name case-folded, as written."
OutputItem = namedtuple("OutputItem", "expr, alias")
MergeClause = namedtuple("MergeClause", "matched, by_source, condition, action")
MergeClause.__doc__ = ("WHEN [NOT] MATCHED [BY SOURCE|TARGET] [AND condition] THEN action "
                       "(MergeUpdate, MergeDelete or MergeInsert).")
MergeUpdate = _node("MergeUpdate", "update", "sets", "UPDATE SET sets (SetItems).")
MergeDelete = _node("MergeDelete", "delete", "", "DELETE.")
MergeInsert = _node("MergeInsert", "insert", "columns, values",
                    "INSERT [(columns)] VALUES (values); columns None without a list.")
