"""Reading expressions, queries and the statements that change table rows (the grammar; the
trees it builds are expressions.py's named types, what they mean is evaluate.py's).
"""

from ..errors import SqlError
from . import types as sqltypes
from .expressions import (Agg, And, Assignment, Between, BitNot, Call, Case, Cast, Cmp, Column,
                          Cte, Default, Derived, Exists, Global, In, IsNull, Item, Join, Like, Lit,
                          MergeClause, MergeDelete, MergeInsert, MergeUpdate, Neg, Not, Op, Or,
                          OutputItem, RowsFunction, SelectCore, SelectQuery, SetItem, SortKey,
                          Star, Subquery, Table, TableVariable, Target, ValuesTable, Var, When,
                          Window)
from .statements import Delete, Insert, Merge, Update

WINDOWED = {"row_number", "rank", "dense_rank", "ntile", "lag", "lead", "first_value",
            "last_value", "percent_rank", "cume_dist"}
_FRAME_WORDS = {"between", "and", "unbounded", "preceding", "following", "current", "row"}
AGGREGATES = {"count", "sum", "min", "max", "avg", "count_big", "string_agg", "stdev",
              "stdevp", "var", "varp"}
ROWS_FUNCTIONS = {"string_split", "openjson"}
DATEPART_FUNCTIONS = {"dateadd", "datediff", "datepart", "datename", "datediff_big"}
# Words that end an expression or a table source: never an alias.
CLAUSE_WORDS = {"from", "where", "group", "order", "having", "union", "join", "inner", "left",
                "right", "full", "cross", "outer", "on", "as", "and", "or", "not", "is", "in",
                "like", "between", "then", "when", "else", "end", "collate", "offset", "fetch",
                "for", "option", "with", "into", "values", "set", "output", "except",
                "intersect", "escape", "asc", "desc", "by", "select", "top", "distinct",
                "exists", "case", "null"}
_ADDITIVE = {"+", "-", "&", "|", "^"}
_MULTIPLICATIVE = {"*", "/", "%"}
_SIMPLE_END = {(",",), (";",), (")",)}


class ExpressionParser:
    """Mixed into batch.Parser: its token helpers are used here."""

    # -- conditions
    def condition(self):
        left = self._and()
        while self.accept_word("or"):
            left = Or(left, self._and())
        return left

    def _and(self):
        left = self._not()
        while self.accept_word("and"):
            left = And(left, self._not())
        return left

    def _not(self):
        if self.accept_word("not"):
            return Not(self._not())
        return self._predicate()

    def _predicate(self):
        if self.word() == "exists":
            self.pos += 1
            self.expect_punct("(")
            inner = self.query()
            self.expect_punct(")")
            return Exists(inner)
        left = self.expression()
        tok = self.peek()
        if tok is None:
            return left
        if tok.kind == "punct" and tok.value in "=<>!":
            op = tok.value
            self.pos += 1
            nxt = self.peek()
            if nxt is not None and nxt.kind == "punct" and op + nxt.value in _COMPARE:
                op += nxt.value
                self.pos += 1
            if op not in _COMPARE:
                raise self.syntax_error(self.pos - 1)
            return Cmp(op, left, self.expression())
        if self.accept_word("is"):
            negated = self.accept_word("not")
            if not self.accept_word("null"):
                raise self.syntax_error()
            return IsNull(left, negated)
        negated = self.accept_word("not")
        if self.accept_word("like"):
            pattern = self.expression()
            escape = self.expression() if self.accept_word("escape") else None
            return Like(left, pattern, negated, escape)
        if self.accept_word("in"):
            self.expect_punct("(")
            if self.word() in ("select", "with"):
                items = Subquery(self.query())
            else:
                items = [self.expression()]
                while self.accept_punct(","):
                    items.append(self.expression())
                items = tuple(items)
            self.expect_punct(")")
            return In(left, items, negated)
        if self.accept_word("between"):
            low = self.expression()
            if not self.accept_word("and"):
                raise self.syntax_error()
            return Between(left, low, self.expression(), negated)
        if negated:
            raise self.syntax_error(self.pos - 1)
        return left

    # -- scalar expressions
    def expression(self):
        tok = self.peek()
        if tok is None:
            raise self.syntax_error()
        nxt = self.peek(1)
        if tok.kind == "var" and (nxt is None or nxt.key[1:] in _SIMPLE_END
                                  or nxt.kind == "name" and nxt.value != "collate"):
            self.pos += 1  # the common case: a variable alone
            return Global(tok.value) if tok.value.startswith("@@") else Var(tok.value, tok.text)
        return self._operations(_ADDITIVE, self._term)

    def _term(self):
        return self._operations(_MULTIPLICATIVE, self._unary)

    def _operations(self, marks, operand):
        """operand (mark operand)*, left to right: Op(mark, left, right)."""
        left = operand()
        while True:
            tok = self.peek()
            if tok is None or tok.kind != "punct" or tok.value not in marks:
                return left
            self.pos += 1
            left = Op(tok.value, left, operand())

    def _unary(self):
        tok = self.peek()
        if tok is not None and tok.kind == "punct" and tok.value in ("-", "+", "~"):
            self.pos += 1
            self.nest()
            inner = self._unary()
            self.depth -= 1
            if tok.value == "+":
                return inner
            if inner.kind == "lit" and isinstance(inner.value, (int, float)) \
                    and not isinstance(inner.value, bool) or inner.kind == "lit" \
                    and type(inner.value).__name__ == "Decimal":
                if tok.value == "-":
                    return Lit(-inner.value)
            return Neg(inner) if tok.value == "-" else BitNot(inner)
        expr = self._primary()
        if self.accept_word("collate"):
            if self.peek() is None or self.peek().kind != "name":
                raise self.syntax_error()
            self.pos += 1
        return expr

    def _primary(self):
        tok = self.peek()
        if tok is None:
            raise self.syntax_error()
        kind = tok.kind
        if kind == "var":
            self.pos += 1
            return Global(tok.value) if tok.value.startswith("@@") else Var(tok.value, tok.text)
        if kind == "punct" and tok.value == "(":
            self.pos += 1
            self.nest()
            if self.word() in ("select", "with"):
                inner = Subquery(self.query())
            else:
                inner = self.condition()
            self.expect_punct(")")
            self.depth -= 1
            return inner
        if kind != "name" or tok.value == "null":
            return Lit(self.constant())
        word = self.word()
        if word == "case":
            return self._case()
        nxt = self.peek(1)
        if word in ("left", "right") and nxt is not None and nxt.key == ("punct", "("):
            return self._call(tok)
        if word in CLAUSE_WORDS or word in _STATEMENTS:
            raise self.syntax_error()
        if nxt is not None and nxt.key == ("punct", "(") and tok.text[0] not in '["':
            return self._call(tok)
        self.pos += 1
        if word in ("current_timestamp", "current_user", "session_user", "system_user",
                    "user"):
            return Call(word, (), tok.text)
        parts = tok.value if isinstance(tok.value, tuple) else (tok.value,)
        return Column(parts, _written(tok.text))

    def _case(self):
        self.pos += 1
        self.nest()
        operand = None if self.word() == "when" else self.expression()
        whens = []
        while self.accept_word("when"):
            test = self.condition() if operand is None else self.expression()
            if not self.accept_word("then"):
                raise self.syntax_error()
            whens.append(When(test, self.expression()))
        if not whens:
            raise self.syntax_error()
        otherwise = self.expression() if self.accept_word("else") else Lit(None)
        if not self.accept_word("end"):
            raise self.syntax_error()
        self.depth -= 1
        return Case(operand, tuple(whens), otherwise)

    def _call(self, tok):
        name = tok.value[-1] if isinstance(tok.value, tuple) else tok.value
        self.pos += 2
        self.nest()
        args, distinct = [], False
        if name in ("cast", "try_cast", "parse", "try_parse"):
            value = self.expression()
            if not self.accept_word("as"):
                raise self.syntax_error()
            sqltype = self._cast_type()
            if name.endswith("parse") and self.accept_word("using"):  # the culture: read only
                self.expression()
            result = Cast(value, sqltype, None, name.startswith("try_"))
        elif name in ("convert", "try_convert"):
            sqltype = self._cast_type()
            self.expect_punct(",")
            value = self.expression()
            style = self.expression() if self.accept_punct(",") else None
            result = Cast(value, sqltype, style, name == "try_convert")
        else:
            if name in DATEPART_FUNCTIONS:
                part = self.peek()
                if part is None or part.kind not in ("name", "str", "nstr"):
                    raise self.syntax_error()
                self.pos += 1
                args.append(Lit(str(part.value).casefold()))
                if self.peek() is not None and self.peek().key != ("punct", ")"):
                    self.expect_punct(",")
            if name in ("checksum", "binary_checksum") and self.accept_punct("*"):
                args.append(Star(None))  # every column of the FROM clause
            elif name in AGGREGATES and self.accept_punct("*"):
                args.append(Star(None))
            elif self.peek() is not None and self.peek().key != ("punct", ")"):
                if name in AGGREGATES:
                    distinct = self.accept_word("distinct")
                    self.accept_word("all")
                args.append(self.condition() if name == "iif" else self.expression())
                if name == "trim" and self.accept_word("from"):  # TRIM(characters FROM text)
                    args.insert(0, self.expression())
                elif name == "trim" and self.peek() is not None and \
                        self.peek().key == ("punct", ","):
                    raise SqlError(174, "The trim function requires 1 argument(s).",
                                   severity=15)
                while self.accept_punct(","):
                    args.append(self.expression())
            if name == "string_agg":
                if len(args) != 2:
                    raise SqlError(174, "The string_agg function requires 2 argument(s).",
                                   severity=15)
                result = Agg(name, args[0], distinct, args[1], ())
            elif name in AGGREGATES:
                if len(args) != 1:
                    raise SqlError(174, f"The {name} function requires 1 argument(s).",
                                   severity=15)
                result = Agg(name, args[0], distinct, None, ())
            else:
                result = Call(name, tuple(args), tok.text)
        self.expect_punct(")")
        self.depth -= 1
        if name == "string_agg" and self.accept_word("within"):
            if not self.accept_word("group"):  # WITHIN GROUP (ORDER BY ...)
                raise self.syntax_error()
            self.expect_punct("(")
            if not self.accept_word("order") or not self.accept_word("by"):
                raise self.syntax_error()
            order = self._sort_keys()
            self.expect_punct(")")
            result = result._replace(order=tuple(order))
        if self.word() == "over":
            return self._over(result)
        if name in WINDOWED:
            raise SqlError(10753, f"The function '{name}' must have an OVER clause.",
                           severity=15)
        return result

    def order_by(self):
        """[ORDER BY expr [ASC|DESC], ...]: [SortKey], empty without one."""
        if not self.accept_word("order"):
            return []
        if not self.accept_word("by"):
            raise self.syntax_error()
        return self._sort_keys()

    def names(self):
        """name, ...: the names (of columns), as written."""
        names = [self._alias()]
        while self.accept_punct(","):
            names.append(self._alias())
        return names

    def _sort_keys(self):
        """expr [ASC|DESC], ...: [SortKey]."""
        order = []
        while True:
            expr = self.expression()
            desc = self.accept_word("desc")
            if not desc:
                self.accept_word("asc")
            order.append(SortKey(expr, desc))
            if not self.accept_punct(","):
                return order

    def _over(self, function):
        """f(...) OVER ([PARTITION BY ...] [ORDER BY ...] [ROWS|RANGE ...]):
        a Window, its frame as text."""
        self.pos += 1
        self.expect_punct("(")
        partition, frame = [], None
        if self.accept_word("partition"):
            if not self.accept_word("by"):
                raise self.syntax_error()
            partition.append(self.expression())
            while self.accept_punct(","):
                partition.append(self.expression())
        order = self.order_by()
        if self.word() in ("rows", "range"):
            words = [self.word()]
            self.pos += 1
            while self.peek() is not None and self.peek().key != ("punct", ")"):
                tok = self.peek()
                if tok.kind == "num" and tok.text.isdigit():
                    words.append(str(int(tok.text)))
                elif tok.kind == "name" and tok.value in _FRAME_WORDS:
                    words.append(tok.value)
                else:
                    raise self.syntax_error()
                self.pos += 1
            frame = " ".join(words).upper()
        self.expect_punct(")")
        if function.kind not in ("agg", "call") or function.kind == "call" and \
                function.name not in WINDOWED:
            raise self.syntax_error()
        return Window(function, tuple(partition), tuple(order), frame)

    def _cast_type(self):
        """CAST(x AS varchar) without a length is varchar(30), as SQL Server reads it."""
        start = self.pos
        sqltype = self.sqltype()
        if sqltype.name in sqltypes.SIZED and self.tokens[self.pos - 1].key != ("punct", ")") \
                and self.pos - start == 1:
            return sqltypes.SqlType(sqltype.name, 30)
        return sqltype

    # -- queries
    def ctes(self):
        """After WITH: name [(columns)] AS (query), ...: a Cte each."""
        ctes = []
        while True:
            tok = self.peek()
            if tok is None or tok.kind != "name" or isinstance(tok.value, tuple):
                raise self.syntax_error()
            self.pos += 1
            columns = None
            if self.accept_punct("("):  # a column list: the names the CTE's columns go by
                columns = self.names()
                self.expect_punct(")")
            if not self.accept_word("as"):
                raise self.syntax_error()
            self.expect_punct("(")
            ctes.append(Cte(tok.value, self.query(), columns and tuple(columns)))
            self.expect_punct(")")
            if not self.accept_punct(","):
                break
        return ctes

    def query(self):
        """[WITH ctes] select [UNION [ALL] select ...] [ORDER BY ...] [OFFSET ... FETCH ...]."""
        self.nest()
        ctes = self.ctes() if self.accept_word("with") else []
        if not self.accept_word("select"):
            raise self.syntax_error()
        cores, unions = [self.select_core()], []
        while self.word() in ("union", "except", "intersect"):
            word = self.word()
            self.pos += 1
            unions.append("union all" if word == "union" and self.accept_word("all") else word)
            if not self.accept_word("select"):
                raise self.syntax_error()
            cores.append(self.select_core())
        offset = fetch = None
        order = self.order_by()
        if order:
            if self.accept_word("offset"):
                offset = self.expression()
                if not (self.accept_word("rows") or self.accept_word("row")):
                    raise self.syntax_error()
                if self.accept_word("fetch"):
                    if not (self.accept_word("next") or self.accept_word("first")):
                        raise self.syntax_error()
                    fetch = self.expression()
                    if not (self.accept_word("rows") or self.accept_word("row")) \
                            or not self.accept_word("only"):
                        raise self.syntax_error()
        recursion = None
        if self.accept_word("option"):  # query hints: read, not followed but MAXRECURSION
            start = self.pos
            self._skip_parenthesised()
            for n in range(start, self.pos - 1):
                tok, number = self.tokens[n], self.tokens[n + 1]
                if tok.key == ("name", "maxrecursion") and number.kind == "num" \
                        and number.text.isdigit():
                    recursion = int(number.text)
        self.depth -= 1
        return SelectQuery(tuple(ctes), tuple(cores), tuple(unions), tuple(order), offset, fetch,
                           recursion)

    def _skip_parenthesised(self):
        self.expect_punct("(")
        depth = 1
        while depth:
            tok = self.peek()
            if tok is None:
                raise self.syntax_error()
            self.pos += 1
            depth += {"(": 1, ")": -1}.get(tok.value, 0) if tok.kind == "punct" else 0

    def select_core(self):
        top, percent, ties, into, sources, where, group, having = \
            None, False, False, None, (), None, (), None
        distinct = self.accept_word("distinct")
        if not distinct:
            self.accept_word("all")
        if self.accept_word("top"):
            top = self._primary()
            percent = self.accept_word("percent")
            if self.word() == "with" and self.peek(1) is not None and \
                    self.peek(1).kind == "name" and self.peek(1).value == "ties":
                self.pos += 2
                ties = True
        items = []
        while True:
            tok, nxt = self.peek(), self.peek(1)
            if tok is not None and tok.kind == "var" and not tok.value.startswith("@@") \
                    and nxt is not None and nxt.key == ("punct", "="):
                var = self.expect_var()
                self.pos += 1
                items.append(Assignment(var, self.expression()))
            elif self.accept_punct("*"):
                items.append(Item(Star(None), None))
            elif tok is not None and tok.kind == "name" and nxt is not None \
                    and nxt.key == ("punct", ".") and self.peek(2) is not None \
                    and self.peek(2).key == ("punct", "*"):
                self.pos += 3
                parts = tok.value if isinstance(tok.value, tuple) else (tok.value,)
                items.append(Item(Star(parts), None))
            elif tok is not None and (tok.kind == "name" and not _is_clause(tok)
                                      or tok.kind in ("str", "nstr")) \
                    and nxt is not None and nxt.key == ("punct", "=") \
                    and not isinstance(tok.value, tuple):
                self.pos += 2  # alias = expression
                items.append(Item(self.expression(), _alias_text(tok)))
            else:
                expr = self.expression()
                alias = None
                if self.accept_word("as"):
                    alias = self._alias()
                elif self.peek() is not None and (self.peek().kind in ("str", "nstr") or (
                        self.peek().kind == "name" and not _is_clause(self.peek())
                        and not _is_statement(self.peek())
                        and not isinstance(self.peek().value, tuple))):
                    alias = self._alias()
                if alias is None and expr.kind == "column":  # named as written: SELECT NAME ...
                    alias = expr.written.split(".")[-1]
                items.append(Item(expr, alias))
            if not self.accept_punct(","):
                break
        if self.accept_word("into"):  # SELECT ... INTO new_table
            into = self._target()
        if self.accept_word("from"):
            sources = self._sources()
        if self.accept_word("where"):
            where = self.condition()
        if self.accept_word("group"):
            if not self.accept_word("by"):
                raise self.syntax_error()
            group = [self.expression()]
            while self.accept_punct(","):
                group.append(self.expression())
            group = tuple(group)
        if self.accept_word("having"):
            having = self.condition()
        return SelectCore(distinct, top, percent, ties, tuple(items), into, sources, where, group,
                          having)

    def _sources(self):
        """FROM a [AS x] [[INNER|LEFT|RIGHT|CROSS] JOIN b ON ...], c ...: a Join each; the
        first one's `how` is "from"."""
        out = [Join("from", self._source(), None)]
        while True:
            if self.accept_punct(","):
                out.append(Join("cross", self._source(), None))
                continue
            word = self.word()
            kind = None
            if word in ("cross", "outer") and self.word(1) == "apply":
                self.pos += 2  # CROSS/OUTER APPLY (SELECT ...) AS alias
                out.append(Join(word + " apply", self._source(), None))
                continue
            if word == "join":
                kind = "inner"
            elif word in ("inner", "left", "right", "full", "cross"):
                kind = word
                self.pos += 1
                self.accept_word("outer")
                if self.word() != "join":
                    raise self.syntax_error()
            if kind is None:
                return tuple(out)
            self.pos += 1
            source = self._source()
            on = None
            if kind != "cross":
                if not self.accept_word("on"):
                    raise self.syntax_error()
                on = self.condition()
            out.append(Join(kind, source, on))

    def _source(self):
        tok = self.peek()
        if tok is None:
            raise self.syntax_error()
        if tok.key == ("punct", "(") and self.word(1) == "values":
            self.pos += 2  # (VALUES (...), ...) AS alias (columns)
            rows = []
            while True:
                self.expect_punct("(")
                row = [self.expression()]
                while self.accept_punct(","):
                    row.append(self.expression())
                self.expect_punct(")")
                rows.append(tuple(row))
                if not self.accept_punct(","):
                    break
            self.expect_punct(")")
            self.accept_word("as")
            alias = self._alias()
            self.expect_punct("(")
            columns = self.names()
            self.expect_punct(")")
            if any(len(row) != len(columns) for row in rows):
                raise SqlError(8158, f"'{alias}' has more columns than were specified in the "
                                     "column list.", severity=15)
            return ValuesTable(tuple(rows), alias, tuple(columns))
        if tok.key == ("punct", "("):
            self.pos += 1
            self.nest()
            inner = self.query()
            self.expect_punct(")")
            self.depth -= 1
            self.accept_word("as")
            return Derived(inner, self._alias())
        if tok.kind == "var":  # a table variable
            self.pos += 1
            self.accept_word("as")
            alias = self._alias() if self.peek() is not None and self.peek().kind == "name" \
                and not _is_clause(self.peek()) and self.word() not in _STATEMENTS else None
            return TableVariable(tok.value, tok.text, alias)
        if tok.kind != "name" or _is_clause(tok):
            raise self.syntax_error()
        if self.word() in ROWS_FUNCTIONS and self.peek(1) is not None and \
                self.peek(1).key == ("punct", "("):
            return self._rows_function(self.word())
        self.pos += 1
        parts = tok.value if isinstance(tok.value, tuple) else (tok.value,)
        alias = None
        if self.accept_word("as"):
            alias = self._alias()
        elif self.peek() is not None and self.peek().kind == "name" \
                and not _is_clause(self.peek()) and not isinstance(self.peek().value, tuple) \
                and self.word() not in _STATEMENTS:
            alias = self._alias()
        if self.accept_word("with"):  # table hints (NOLOCK ...): read, not followed
            self._skip_parenthesised()
        return Table(parts, _written(tok.text), alias)

    def _rows_function(self, name):
        """STRING_SPLIT(text, separator) or OPENJSON(json [, path]) [AS alias]."""
        self.pos += 2
        args = [self.expression()]
        while self.accept_punct(","):
            args.append(self.expression())
        self.expect_punct(")")
        alias = None
        if self.accept_word("as"):
            alias = self._alias()
        elif self.peek() is not None and self.peek().kind == "name" \
                and not _is_clause(self.peek()) and not isinstance(self.peek().value, tuple) \
                and self.word() not in _STATEMENTS:
            alias = self._alias()
        return RowsFunction(name, tuple(args), alias)

    # -- statements on table rows
    def st_insert(self):
        self.accept_word("into")
        target = self._written_target()
        columns = None
        if self.peek() is not None and self.peek().key == ("punct", "("):
            self.pos += 1
            columns = self.names()
            self.expect_punct(")")
        output = self._output()
        if self.accept_word("default"):
            if not self.accept_word("values"):
                raise self.syntax_error()
            return Insert(target, (), ((),), output)
        if self.accept_word("values"):
            rows = []
            while True:
                self.expect_punct("(")
                row = [Default() if self.accept_word("default") else self.expression()]
                while self.accept_punct(","):
                    row.append(Default() if self.accept_word("default") else self.expression())
                self.expect_punct(")")
                rows.append(tuple(row))
                if not self.accept_punct(","):
                    break
            return Insert(target, columns and tuple(columns), tuple(rows), output)
        if self.word() in ("select", "with"):
            return Insert(target, columns and tuple(columns), self.query(), output)
        raise self.syntax_error()

    def st_update(self):
        top = self._primary() if self.accept_word("top") else None
        target = self._written_target()
        if not self.accept_word("set"):
            raise self.syntax_error()
        sets = self._sets()
        output = self._output()
        sources = self._sources() if self.accept_word("from") else None
        where = self.condition() if self.accept_word("where") else None
        return Update(target, sets, where, output, top, sources)

    def _sets(self):
        """col = expression | DEFAULT, ...: a SetItem each."""
        sets = []
        while True:
            tok = self.peek()
            if tok is None or tok.kind != "name":
                raise self.syntax_error()
            self.pos += 1
            parts = tok.value if isinstance(tok.value, tuple) else (tok.value,)
            self.expect_punct("=")
            sets.append(SetItem(parts[-1], _written(tok.text).split(".")[-1],
                                Default() if self.accept_word("default") else self.expression()))
            if not self.accept_punct(","):
                return tuple(sets)

    def st_delete(self):
        top = self._primary() if self.accept_word("top") else None
        self.accept_word("from")
        target = self._written_target()
        output = self._output()
        sources = self._sources() if self.accept_word("from") else None
        where = self.condition() if self.accept_word("where") else None
        return Delete(target, where, output, top, sources)

    def st_merge(self):
        """MERGE [INTO] target [AS t] USING source ON condition WHEN ... THEN ...: a Merge, its
        clauses MergeClauses."""
        self.accept_word("into")
        target = self._target()
        alias = None
        if self.accept_word("as") or self.word() not in ("using", None):
            alias = self._alias()
        if not self.accept_word("using"):
            raise self.syntax_error()
        source = self._source()
        if not self.accept_word("on"):
            raise self.syntax_error()
        on = self.condition()
        clauses = []
        while self.accept_word("when"):
            matched = not self.accept_word("not")
            if not self.accept_word("matched"):
                raise self.syntax_error()
            by_source = False
            if not matched and self.accept_word("by"):
                by_source = self.accept_word("source")
                if not by_source and not self.accept_word("target"):
                    raise self.syntax_error()
            condition = self.condition() if self.accept_word("and") else None
            if not self.accept_word("then"):
                raise self.syntax_error()
            if self.accept_word("update"):
                if not matched and not by_source or not self.accept_word("set"):
                    raise self.syntax_error()
                action = MergeUpdate(self._sets())
            elif self.accept_word("delete"):
                if not matched and not by_source:
                    raise self.syntax_error(self.pos - 1)
                action = MergeDelete()
            elif self.accept_word("insert"):
                if matched or by_source:
                    raise self.syntax_error(self.pos - 1)
                columns = None
                if self.accept_punct("("):
                    columns = self.names()
                    self.expect_punct(")")
                if not self.accept_word("values"):
                    raise self.syntax_error()
                self.expect_punct("(")
                values = [self.expression()]
                while self.accept_punct(","):
                    values.append(self.expression())
                self.expect_punct(")")
                action = MergeInsert(columns and tuple(columns), tuple(values))
            else:
                raise self.syntax_error()
            clauses.append(MergeClause(matched, by_source, condition, action))
        if not clauses:
            raise self.syntax_error()
        return Merge(target, alias, source, on, tuple(clauses), self._output())

    def st_truncate(self):
        if not self.accept_word("table"):
            raise self.syntax_error()
        return Delete(self._target(), None, (), None, None)

    def _written_target(self):
        """The table INSERT, UPDATE or DELETE writes: a table's name, or a table variable
        (its Target's parts ("@", name))."""
        tok = self.peek()
        if tok is not None and tok.kind == "var" and not tok.value.startswith("@@"):
            self.pos += 1
            return Target(("@", tok.value), tok.text)
        return self._target()

    def _target(self):
        tok = self.peek()
        if tok is None or tok.kind != "name" or _is_clause(tok) or _is_statement(tok):
            raise self.syntax_error()
        self.pos += 1
        self.accept_word("with") and self._skip_parenthesised()
        parts = tok.value if isinstance(tok.value, tuple) else (tok.value,)
        return Target(parts, _written(tok.text))

    def _output(self):
        """OUTPUT inserted.x, deleted.y [AS name], ...: an OutputItem each."""
        if not self.accept_word("out"):
            return ()
        items = []
        while True:
            tok = self.peek()
            if tok is not None and tok.kind == "name" and self.peek(1) is not None \
                    and self.peek(1).key == ("punct", ".") and self.peek(2) is not None \
                    and self.peek(2).key == ("punct", "*"):
                self.pos += 3
                items.append(OutputItem(Star((tok.value,)), None))
            else:
                expr = self.expression()
                alias = self._alias() if self.accept_word("as") else None
                items.append(OutputItem(expr, alias))
            if not self.accept_punct(","):
                break
        if not self.accept_word("into"):
            return tuple(items)
        into = self.expect_var()
        columns = None
        if self.accept_punct("("):
            columns = self.names()
            self.expect_punct(")")
        return OutputInto(items, into, columns)


class OutputInto(tuple):
    """OUTPUT ... INTO @table [(columns)]: the items, with the variable they go into."""

    def __new__(cls, items, into, columns):
        out = super().__new__(cls, items)
        out.into, out.columns = into, columns
        return out


_COMPARE = {"=", "<>", "!=", ">", "<", ">=", "<=", "!<", "!>"}
_STATEMENTS = {"set", "select", "declare", "exec", "begin", "commit", "rollback", "save", "use",
               "if", "insert", "update", "delete", "print", "return", "while", "create", "drop",
               "alter", "truncate", "merge", "raiserror", "throw", "grant", "revoke", "deny",
               "waitfor", "go", "break", "continue", "goto"}


def _is_clause(tok):
    return tok.kind == "name" and tok.text[0] not in '["' and tok.value in CLAUSE_WORDS


def _is_statement(tok):
    """A word that starts a statement (SELECT 1 PRINT 'x': PRINT is no alias)."""
    return tok.kind == "name" and tok.text[0] not in '["' and tok.value in _STATEMENTS


def _alias_text(tok):
    if tok.kind == "name":
        return tok.text[1:-1] if tok.text[0] in '["' else tok.text
    return tok.value


def _written(text):
    return ".".join(part.strip("[]\"") for part in text.split("."))

