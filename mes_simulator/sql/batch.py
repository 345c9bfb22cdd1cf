"""SQL batches: T-SQL tokens, and the statements this server understands.

A batch is read as SQL Server reads it: tokens (white space and comments free, keywords and
names case-insensitive), then statements, each checked whole before anything runs.  The
statements understood are the ones SQL Server's clients send: SET options, USE, DECLARE,
EXEC of a procedure, SELECT of constants, variables and a few @@ functions, BEGIN TRAN,
COMMIT, ROLLBACK, SAVE TRAN and IF on a comparison.  Everything else is answered with the
error SQL Server gives, never with a guess.
"""

import functools
import re
from collections import namedtuple
from decimal import Decimal

from ..errors import SqlError
from . import control
from .expressions import Assignment, Default, Derived, Global, Lit, Op, Table, Var
from .statements import (Argument, Assign, Begin, Block, Commit, Declare, Exec, ExecNamed, If,
                         Print, Query, Rollback, Save, Select, Set, Use, Variable, Waitfor)
from . import types as sqltypes
from .ddl import DdlParser
from .procedures import Param
from .query import ExpressionParser, OutputInto

# The station's two batches, with a constant in each %s.
UNIT_QUERY = (
    "\nDECLARE @OutPutxmls nvarchar(4000), @RETURN int ;\n"
    "exec dbo.uspGetUnitInfo %s, %s, %s, %s, @OutPutxmls OUT, @RETURN OUT ;\n"
    "SELECT @OutPutxmls, @RETURN;\n")
SAVE_RESULT = (
    "\nDECLARE @Msg nvarchar(500), @RETURN int ;\n"
    "exec dbo.uspSaveResult %s, %s, %s, %s, %s, %s, @Msg OUT, @RETURN OUT ;\n"
    "SELECT @Msg, @RETURN;\n")


# ---------------------------------------------------------------- tokens

class TableType(namedtuple("TableType", "columns defaults identity", defaults=((), None))):
    """The type of a table variable: its columns, (name, SqlType) each; their DEFAULT
    expressions (None for a column without one; empty: none has one); its IDENTITY column
    (place, seed, increment) or None."""
    name = "table"


class TableRows(list):
    """A table variable's rows; last: the identity value it gave last (None before the first)."""
    last = None


class Token(namedtuple("Token", "kind text value line", defaults=(None, 1))):
    """kind: name, var, nstr, str, bin, num or punct; text: as written; value: what it means;
    line: the line of the batch it starts on (the first is 1)."""
    __slots__ = ()

    @property
    def key(self):
        """What two tokens must share to mean the same thing (identifiers are case-insensitive)."""
        if self.kind in ("name", "var", "punct"):
            return self.kind, self.value
        return self.kind, self.text


_SYNONYMS = {"execute": "exec", "output": "out"}
SEMICOLON = ("punct", ";")

_LEXER = re.compile(r"""
    (?P<space>\s+|--[^\n]*)
  | (?P<comment>/\*)
  | (?P<nstr>[Nn]'(?:[^']|'')*')
  | (?P<str>'(?:[^']|'')*')
  | (?P<bin>0[xX][0-9A-Fa-f]*)
  | (?P<num>(?:\d+(?:\.\d*)?|\.\d+)(?:[eE][+-]?\d+)?)
  | (?P<var>@[\w@$#]+)
  | (?P<bracket>\[(?:[^\]]|\]\])*\])
  | (?P<quoted>"(?:[^"]|"")*")
  | (?P<word>(?:[^\W\d]|\#|\$(?=(?i:action)\b))[\w@$#]*)
  | (?P<punct>[,;().=+\-*/%<>!~&|^:])
""", re.VERBOSE)


def tokenize(text):
    tokens, pos, line = [], 0, 1
    while pos < len(text):
        m = _LEXER.match(text, pos)
        if m is None:
            if text[pos] in "'[\"" or text[pos:pos + 2] in ("N'", "n'"):
                rest = text[pos:].lstrip("Nn")[1:]
                raise SqlError(105, f"Unclosed quotation mark after the character string '{rest}'.",
                               severity=15)
            raise SqlError(102, f"Incorrect syntax near '{text[pos]}'.", severity=15)
        kind, written = m.lastgroup, m.group()
        start, pos = pos, m.end()
        if kind == "space":
            line += written.count("\n")
            continue
        if kind == "comment":
            pos = _skip_comment(text, pos)
            line += text.count("\n", start, pos)
            continue
        if kind == "nstr":
            tokens.append(Token("nstr", written, written[2:-1].replace("''", "'"), line))
        elif kind == "str":
            tokens.append(Token("str", written, written[1:-1].replace("''", "'"), line))
        elif kind == "bin":
            digits = written[2:]
            tokens.append(Token("bin", written, bytes.fromhex(
                digits.rjust(len(digits) + len(digits) % 2, "0")), line))
        elif kind in ("bracket", "quoted"):
            name = written[1:-1].replace(written[-1] * 2, written[-1])
            tokens.append(Token("name", written, name.casefold(), line))
        elif kind == "word":
            folded = written.casefold()
            tokens.append(Token("name", written, _SYNONYMS.get(folded, folded), line))
        elif kind in ("var", "punct"):
            tokens.append(Token(kind, written, written.casefold(), line))
        else:
            tokens.append(Token(kind, written, None, line))
        if kind in ("nstr", "str", "bracket", "quoted"):
            line += written.count("\n")
    return _join_dotted_names(tokens)


_COMMENT_MARK = re.compile(r"/\*|\*/")


def _skip_comment(text, pos):
    """Skip a /* comment */, which T-SQL lets nest."""
    depth = 1
    while depth:
        m = _COMMENT_MARK.search(text, pos)
        if m is None:
            raise SqlError(113, "Missing end comment mark '*/'.", severity=15)
        depth += 1 if m.group() == "/*" else -1
        pos = m.end()
    return pos


def _join_dotted_names(tokens):
    """Make dbo.uspGetUnitInfo (or [dbo].[uspGetUnitInfo], or MES..sp_tables, whose schema
    part is empty) one name token with a tuple value."""
    out, pos, end = [], 0, len(tokens)
    dot = ("punct", ".")
    while pos < end:
        last = pos  # a run name . name . name ... is joined at once: linear in its length
        while tokens[pos].kind == "name" and last + 2 < end and tokens[last + 1].key == dot:
            if tokens[last + 2].kind == "name":
                last += 2
            elif (last == pos and last + 3 < end and tokens[last + 2].key == dot
                  and tokens[last + 3].kind == "name"):
                last += 3
            else:
                break
        if last == pos:
            out.append(tokens[pos])
        else:
            run = tokens[pos:last + 1]
            parts = [t.value for t in run if t.kind == "name"]
            if run[2].kind != "name":  # db..name
                parts.insert(1, "")
            out.append(Token("name", "".join(t.text for t in run), tuple(parts), run[0].line))
        pos = last + 1
    return out




# ---------------------------------------------------------------- statements

# Statements and expressions are named types (statements.py, expressions.py); see Parser.


STATEMENT_WORDS = {"set", "select", "declare", "exec", "begin", "commit", "rollback", "save",
                   "use", "if", "insert", "update", "delete", "print", "return", "while",
                   "create", "drop", "alter", "truncate", "with", "merge", "raiserror", "throw",
                   "grant", "revoke", "deny", "end", "else", "waitfor", "go", "break",
                   "continue", "goto"}
# T-SQL's reserved keywords: a syntax error at one is reported as "near the keyword".
RESERVED = set("""
add all alter and any as asc authorization backup begin between break browse bulk by cascade
case check checkpoint close clustered coalesce collate column commit compute constraint contains
containstable continue convert create cross current current_date current_time current_timestamp
current_user cursor database dbcc deallocate declare default delete deny desc disk distinct
distributed double drop dump else end errlvl escape except exec execute exists exit external
fetch file fillfactor for foreign freetext freetexttable from full function goto grant group
having holdlock identity identity_insert identitycol if in index inner insert intersect into is
join key kill left like lineno load merge national nocheck nonclustered not null nullif of off
offsets on open opendatasource openquery openrowset openxml option or order outer over percent
pivot plan precision primary print proc procedure public raiserror read readtext reconfigure
references replication restore restrict return revert revoke right rollback rowcount rowguidcol
rule save schema securityaudit select session_user set setuser shutdown some statistics
system_user table tablesample textsize then to top tran transaction trigger truncate
try_convert tsequal union unique unpivot update updatetext use user values varying view waitfor
when where while with writetext""".split())
TRAN_WORDS = {"tran", "transaction"}
_COMPOUND = {"+", "-", "*", "/", "%", "&", "|", "^"}  # SET @v op= expression


def parse_batch(text):
    """The statements of a batch, as a tuple; raise SqlError as SQL Server does for a batch it
    cannot compile.  The same text gives the same (immutable) result, so short ones are cached:
    the session batch each client sends at connect is read only once."""
    if len(text) <= 2048:
        return _parse_cached(text)
    return Parser(tokenize(text)).batch()


@functools.lru_cache(maxsize=256)
def _parse_cached(text):
    return Parser(tokenize(text)).batch()


def checked_batch(text):
    """The statements of a batch sent on its own, checked as SQL Server checks it when it
    compiles it: a syntax error, then a variable used before it is declared or declared twice
    (check_declared).  Both are worked out once per short text, and once per shape for the
    station's batches, whose texts differ from call to call."""
    if len(text) <= 2048:
        return _checked_cached(text)
    return _checked(text)


@functools.lru_cache(maxsize=256)
def _checked_cached(text):
    return _station_batch(text) or _checked(text)


def _checked(text):
    statements = Parser(tokenize(text)).batch()
    check_declared(statements, ())
    return statements


_CONTAINERS = (tuple, list, dict)


def check_declared(statements, known):
    """Raise SqlError unless each variable the statements use is declared before (in known, or
    by an earlier DECLARE) and none is declared twice."""
    known = set(known)

    def walk(part):
        """part: a non-empty tuple, list or dict of the statements' tree."""
        if isinstance(part, dict):
            children = part.values()
        else:
            if all(isinstance(item, str) for item in part):
                # a variable, or a leaf: a name's parts ([declare] is a column's), a label...
                if type(part) is Var and part.name not in known:
                    raise SqlError(137, f'Must declare the scalar variable "{part.written}".',
                                   severity=15)
                return
            kind = type(part)  # by type: a CTE or a column may be named as a statement is
            if kind is Declare:
                for name, _t, value in part.variables:
                    if name in known:
                        raise SqlError(134, f"The variable name '{name}' has already been "
                                            "declared. Variable names must be unique within "
                                            "a query batch or stored procedure.", severity=15)
                    if isinstance(value, _CONTAINERS) and value:
                        walk(value)
                    known.add(name)
                return
            if (kind is Assign or kind is Assignment) and part.variable not in known:
                raise SqlError(137, f'Must declare the scalar variable "{part.variable}".',
                               severity=15)
            if kind is Set:
                return
            if kind is Exec:
                if part.status and part.status not in known:
                    raise SqlError(137, f'Must declare the scalar variable "{part.status}".',
                                   severity=15)
                if part.args:
                    walk(part.args)
                return
            children = part
        for inner in children:  # leaves are not visited: most of the tree is leaves
            if isinstance(inner, _CONTAINERS) and inner:
                walk(inner)

    for statement in statements:
        walk(statement)


# The station's two batches differ from call to call only in the constants the driver writes
# into them.  A text of exactly that shape is recognised by one match; its statements are those
# of the batch read once with NULL constants (and checked once), with each constant read as
# tokenize and argument() read it.  Any other text, a space or a comment more, is read in full.
_CONSTANT = r"([Nn]'(?:[^']|'')*'|'(?:[^']|'')*'|0[xX][0-9A-Fa-f]*|-?[0-9]+|NULL)"


def _shape(template):
    count = template.count("%s")
    statements = Parser(tokenize(template % (("NULL",) * count))).batch()
    check_declared(statements, ())
    at = next(n for n, st in enumerate(statements) if st.kind == "exec")
    # the constants are the EXEC's first arguments, by place and not OUTPUT (see _argument)
    assert all(arg.name is None and not arg.output for arg in statements[at].args[:count])
    return (re.compile(_CONSTANT.join(re.escape(part) for part in template.split("%s"))),
            statements, at, count)


@functools.lru_cache(maxsize=256)  # a station's procedure, employee and line recur
def _argument(written):
    """An argument of the station's EXEC (by place, not OUTPUT), its constant as written."""
    return Argument(None, Parser(tokenize(written)).argument(), False)


def is_station_batch(text):
    """Whether text is one of the station's two batches, as the station's module sends it."""
    return _station_batch(text) is not None


def _station_batch(text):
    for pattern, statements, at, count in _SHAPES:
        m = pattern.fullmatch(text)
        if m is not None:
            st = statements[at]
            args = tuple(map(_argument, m.groups())) + st.args[count:]
            exec_ = Exec(st.status, st.parts, st.written, args)
            return statements[:at] + (control.at(exec_, st.line),) + statements[at + 1:]
    return None


class StationCall(namedtuple("StationCall", "shape parts values types line")):
    """The station's batch read at once: which of the two it is (0, 1), the procedure's name
    (its parts, case-folded), the constants passed to its inputs in order, the types of the
    two variables its outputs go to (the feedback's, then the code's), and the line of the
    batch its closing SELECT is on."""
    __slots__ = ()


def station_call(text):
    """A StationCall if text is exactly one of the station's two batches with a constant in
    each argument (what _station_batch reads as statements); else None."""
    for shape, (pattern, statements, at, count) in enumerate(_SHAPES):
        m = pattern.fullmatch(text)
        if m is not None:
            values = []
            for written in m.groups():
                value = _argument(written).value
                if value.kind != "lit":
                    return None
                values.append(value.value)
            declare, call, select = statements
            return StationCall(shape, call.parts, tuple(values),
                               tuple(variable.type for variable in declare.variables),
                               select.line)
    return None


def parse_declarations(text):
    """The parameter list of sp_executesql / sp_prepare: ((name, SqlType, output), ...)."""
    p = Parser(tokenize(text))
    out = []
    while not p.done():
        name = p.expect_var()
        p.accept_word("as")
        sqltype = p.sqltype()
        output = p.accept_word("out") or p.accept_word("readonly") and False
        out.append(Param(name, sqltype, bool(output)))
        if not p.accept_punct(","):
            break
    if not p.done():
        raise p.syntax_error()
    return tuple(out)


MAX_NESTING = 32


class Parser(control.ControlFlowParser, ExpressionParser, DdlParser):
    statement_words = STATEMENT_WORDS

    def __init__(self, tokens):
        self.tokens, self.pos = tokens, 0
        self.depth = 0

    def nest(self):
        self.depth += 1
        if self.depth > MAX_NESTING:
            raise SqlError(191, "Some part of your SQL statement is nested too deeply. Rewrite "
                                "the query or break it up into smaller queries.", severity=15)

    # -- token helpers
    def peek(self, ahead=0):
        n = self.pos + ahead
        return self.tokens[n] if n < len(self.tokens) else None

    def done(self):
        return self.pos >= len(self.tokens)

    def word(self, ahead=0):
        tok = self.peek(ahead)
        return tok.value if tok is not None and tok.kind == "name" and isinstance(tok.value, str) \
            and tok.text[0] not in '["' else None

    def accept_word(self, *words):
        if self.word() in words:
            self.pos += 1
            return True
        return False

    def accept_punct(self, mark):
        tok = self.peek()
        if tok is not None and tok.key == ("punct", mark):
            self.pos += 1
            return True
        return False

    def syntax_error(self, pos=None, keyword=True):
        """102, or 156 at a reserved keyword (unless keyword is False)."""
        pos = self.pos if pos is None else pos
        if pos >= len(self.tokens):
            if not self.tokens:
                return SqlError(102, "Incorrect syntax near ''.", severity=15)
            pos, keyword = len(self.tokens) - 1, False  # the batch ended too soon
        tok = self.tokens[pos]
        if keyword and tok.kind == "name" and tok.value in RESERVED and tok.text[0] not in '["':
            err = SqlError(156, f"Incorrect syntax near the keyword '{tok.text}'.", severity=15)
        else:
            err = SqlError(102, f"Incorrect syntax near '{tok.text}'.", severity=15)
        err.line = tok.line
        return err

    def expect_var(self):
        tok = self.peek()
        if tok is None or tok.kind != "var" or tok.value.startswith("@@"):
            raise self.syntax_error()
        self.pos += 1
        return tok.value

    def expect_punct(self, mark):
        if not self.accept_punct(mark):
            raise self.syntax_error()

    # -- statements
    def batch(self):
        statements = []
        while not self.done():
            if self.accept_punct(";"):
                continue
            statements.append(self.statement())
            if not self.done() and not self.accept_punct(";") \
                    and self.word() not in STATEMENT_WORDS and not self.is_label():
                raise self.syntax_error()
        control.check_labels(statements)
        return tuple(statements)

    def statement(self):
        """One statement (a control.Statement: it knows its line)."""
        tok = self.peek()
        if tok is None:  # IF ... ELSE with nothing after it, say
            raise self.syntax_error()
        return control.at(self._statement(tok), tok.line)

    def _statement(self, tok):
        word = self.word()
        if word is None:
            if tok.kind == "name" and self.pos == 0:  # a batch that starts with a name runs it
                return self.exec_statement()
            raise self.syntax_error()
        if self.is_label():
            return self.label()
        handler = getattr(self, "st_" + word, None)
        if handler is None:
            if word not in STATEMENT_WORDS and self.pos == 0:
                return self.exec_statement()
            raise self.syntax_error(keyword=False)  # a statement not understood here
        self.pos += 1
        return handler()

    def st_set(self):
        tok = self.peek()
        if tok is not None and tok.kind == "var":
            var = self.expect_var()
            op = self.peek()
            if op is not None and op.kind == "punct" and op.value in _COMPOUND \
                    and self.peek(1) is not None and self.peek(1).key == ("punct", "="):
                self.pos += 2  # SET @i += 1
                return Assign(var, Op(op.value, Var(var, tok.text), self.expression()))
            self.expect_punct("=")
            return Assign(var, self.expression())
        option = self.word()
        if option is None:
            raise self.syntax_error()
        start = self.pos
        while not self.done() and self.peek().key != ("punct", ";") and (
                self.pos == start or self.word() not in STATEMENT_WORDS):
            self.pos += 1
        words = [t.value if t.kind == "name" else t.text for t in self.tokens[start:self.pos]]
        # a dotted name (SET IDENTITY_INSERT MES.dbo.results ON) as its folded parts with dots
        return Set(tuple(".".join(w) if isinstance(w, tuple) else str(w) for w in words))

    def st_use(self):
        tok = self.peek()
        if tok is None or tok.kind != "name":
            raise self.syntax_error()
        self.pos += 1
        return Use(tok.text[1:-1] if tok.text[0] in '["' else tok.text)

    def st_declare(self):
        out = []
        while True:
            name = self.expect_var()
            self.accept_word("as")
            if self.accept_word("table"):
                out.append(Variable(name, self._table_columns(), None))
                return Declare(tuple(out))
            sqltype = self.sqltype()
            value = self.expression() if self.accept_punct("=") else None
            out.append(Variable(name, sqltype, value))
            if not self.accept_punct(","):
                return Declare(tuple(out))

    def _table_columns(self):
        """A table variable's (name type [constraints], ...): TableType of its columns."""
        self.expect_punct("(")
        columns, defaults, identity = [], [], None
        while True:
            name = self._alias()
            columns.append((name, self.sqltype()))
            defaults.append(None)
            depth = 0  # NULL, NOT NULL, PRIMARY KEY and the like: read, not kept
            while self.peek() is not None and (depth or self.peek().key not in (
                    ("punct", ","), ("punct", ")"))):
                if not depth and self.accept_word("default"):
                    defaults[-1] = self.expression()
                    continue
                if not depth and self.word() == "identity":
                    self.pos += 1
                    seed = step = 1
                    if self.accept_punct("("):
                        seed = self._whole()
                        self.expect_punct(",")
                        step = self._whole()
                        self.expect_punct(")")
                    identity = (len(columns) - 1, seed, step)
                    continue
                depth += {"(": 1, ")": -1}.get(self.peek().value, 0) \
                    if self.peek().kind == "punct" else 0
                self.pos += 1
            if not self.accept_punct(","):
                self.expect_punct(")")
                return TableType(tuple(columns), tuple(defaults)
                                 if any(d is not None for d in defaults) else (), identity)

    def _whole(self):
        """A whole number of IDENTITY (seed, increment)."""
        value = self.constant()
        if not isinstance(value, int) or isinstance(value, bool):
            raise self.syntax_error(self.pos - 1)
        return value

    def sqltype(self):
        name = self.word()
        if name is None:
            tok = self.peek()
            if tok is not None and tok.kind == "name" and not isinstance(tok.value, tuple):
                name = tok.value
            else:
                raise self.syntax_error()
        self.pos += 1
        if name == "double" and self.accept_word("precision"):
            name = "double precision"
        args = []
        if self.accept_punct("("):
            while True:
                tok = self.peek()
                if self.accept_word("max"):
                    args.append("max")
                elif tok is not None and tok.kind == "num" and tok.text.isdigit():
                    self.pos += 1
                    args.append(int(tok.text) if len(tok.text) < 12 else 10 ** 12)
                else:
                    raise self.syntax_error()
                if not self.accept_punct(","):
                    break
            self.expect_punct(")")
        return sqltypes.declared(name, tuple(args))

    def exec_statement(self):
        status_var = None
        if self.peek() is not None and self.peek().kind == "var" and self.peek(1) is not None \
                and self.peek(1).key == ("punct", "="):
            status_var = self.expect_var()
            self.pos += 1
        tok = self.peek()
        if status_var is None and tok is not None and tok.key == ("punct", "("):
            return self.dynamic()
        if tok is None or tok.kind not in ("name", "var") or \
                tok.kind == "var" and tok.value.startswith("@@"):
            raise self.syntax_error()
        self.pos += 1
        args = []
        if not self.done() and self.peek().key != ("punct", ";") \
                and self.word() not in STATEMENT_WORDS - {"default"}:
            while True:
                name = None
                if self.peek() is not None and self.peek().kind == "var" \
                        and self.peek(1) is not None and self.peek(1).key == ("punct", "="):
                    name = self.expect_var()
                    self.pos += 1
                if self.accept_word("default"):
                    value = Default()
                else:
                    value = self.argument()
                output = self.accept_word("out")
                if output and value.kind != "var":
                    raise self.syntax_error(self.pos - 1)
                args.append(Argument(name, value, output))
                if not self.accept_punct(","):
                    break
        if tok.kind == "var":  # the procedure the variable names, found when it runs
            return ExecNamed(status_var, Var(tok.value, tok.text), tuple(args))
        return Exec(status_var, tok.value if isinstance(tok.value, tuple) else (tok.value,),
                _written_name(tok.text), tuple(args))

    st_exec = exec_statement

    def argument(self):
        """An EXEC argument: a constant or a variable (no expressions, as in T-SQL)."""
        tok = self.peek()
        if tok is not None and tok.kind == "var":
            self.pos += 1
            return Global(tok.value) if tok.value.startswith("@@") else Var(tok.value, tok.text)
        if tok is not None and tok.kind == "name" and isinstance(tok.value, str) \
                and tok.value != "null":
            # a one-part name is a character string here: `EXEC sp_help units`
            self.pos += 1
            return Lit(tok.text[1:-1] if tok.text[0] in '["' else tok.text)
        return Lit(self.constant())

    def constant(self):
        tok = self.peek()
        if tok is None:
            raise self.syntax_error()
        if tok.kind == "nstr":
            self.pos += 1
            return tok.value
        if tok.kind == "str":
            self.pos += 1
            return sqltypes.Varchar(tok.value)
        if tok.kind == "bin":
            self.pos += 1
            return tok.value
        if tok.key == ("name", "null"):
            self.pos += 1
            return None
        sign = ""
        if tok.key in (("punct", "-"), ("punct", "+")):
            sign = tok.text
            self.pos += 1
            tok = self.peek()
            if tok is None or tok.kind != "num":
                raise self.syntax_error()
        if tok.kind == "num":
            self.pos += 1
            return number(sign, tok.text)
        raise self.syntax_error()

    def st_select(self):
        self.pos -= 1
        query = self.query()
        core = query.cores[0]
        if len(query.cores) == 1 and not query.ctes and not query.order \
                and not core.sources and core.where is None and core.top is None \
                and not core.group and core.having is None and not core.distinct:
            for item in core.items:
                if item.kind == "item" and item.expr.kind == "star":
                    raise SqlError(263, "Must specify table to select from.")
            return Select(core.items)
        return Query(query)

    def st_with(self):
        """WITH ctes SELECT ..., or WITH ctes INSERT | UPDATE | DELETE | MERGE, whose
        references to the CTEs become the CTEs' queries in place."""
        start = self.pos - 1
        ctes = self.ctes()
        word = self.word()
        if word not in ("insert", "update", "delete", "merge"):
            self.pos = start
            return Query(self.query())
        self.pos += 1
        return _with_ctes(getattr(self, "st_" + word)(), {cte.name: cte.query for cte in ctes})

    def _alias(self):
        tok = self.peek()
        if tok is None or tok.kind not in ("name", "str", "nstr"):
            raise self.syntax_error()
        self.pos += 1
        if tok.kind == "name":
            return tok.text[1:-1] if tok.text[0] in '["' else tok.text
        return tok.value

    def st_begin(self):
        if self.accept_word("distributed"):
            if self.word() not in TRAN_WORDS:
                raise self.syntax_error()
            raise SqlError(8501, "MSDTC on server 'MESSIM' is unavailable.")
        if self.accept_word("try"):
            return self.try_catch()
        if not (self.accept_word("tran") or self.accept_word("transaction")):
            return Block(self.block(None))  # BEGIN ... END
        return Begin(self._tran_name())

    def _tran_name(self):
        tok = self.peek()
        if tok is not None and (tok.kind == "var" or tok.kind == "name" and not _is_keyword(tok)):
            self.pos += 1
            name = Var(tok.value, tok.text) if tok.kind == "var" else \
                tok.text[1:-1] if tok.text[0] in '["' else tok.text
            if self.accept_word("with"):  # WITH MARK ['description']
                if not self.accept_word("mark"):
                    raise self.syntax_error()
                if self.peek() is not None and self.peek().kind in ("str", "nstr"):
                    self.pos += 1
            return name
        return None

    def _end_transaction(self, statement):
        """COMMIT or ROLLBACK [WORK | TRAN[SACTION] [name]]."""
        if not self.accept_word("work") and (self.accept_word("tran") or self.accept_word("transaction")):
            return statement(self._tran_name())
        return statement(None)

    def st_commit(self):
        return self._end_transaction(Commit)

    def st_rollback(self):
        return self._end_transaction(Rollback)

    def st_save(self):
        if not (self.accept_word("tran") or self.accept_word("transaction")):
            raise self.syntax_error()
        name = self._tran_name()
        if name is None:
            raise self.syntax_error()
        return Save(name)

    def st_if(self):
        condition = self.condition()
        if self.done():
            raise self.syntax_error()
        self.condition_end = self.pos
        self.nest()
        then = self.statement()
        otherwise = None
        self.accept_punct(";")
        if self.accept_word("else"):
            otherwise = self.statement()
        elif self.pos and self.tokens[self.pos - 1].key == SEMICOLON:
            self.pos -= 1
        self.depth -= 1
        return If(condition, then, otherwise)

    def st_print(self):
        return Print(self.expression())

    def st_waitfor(self):
        until = self.accept_word("time")
        if not until and not self.accept_word("delay"):
            raise self.syntax_error()
        tok = self.peek()
        if tok is None or tok.kind not in ("str", "nstr", "var") or \
                tok.kind == "var" and tok.value.startswith("@@"):
            raise self.syntax_error()
        return Waitfor(until, self.argument())

_KEYWORDS = STATEMENT_WORDS | {"from", "where", "as", "null", "default", "out", "else", "with",
                               "tran", "transaction", "work", "and", "or", "not", "into",
                               "order", "group", "having", "union", "then"}


def _is_keyword(tok):
    """A word no transaction may be named (THROW may: ROLLBACK TRAN THROW names it)."""
    return tok.kind == "name" and tok.text[0] not in '["' and tok.value in _KEYWORDS \
        and tok.value != "throw"


def _with_ctes(node, ctes):
    """node with each table it reads by a CTE's name (one part) made that CTE's query."""
    if isinstance(node, Table) and len(node.parts) == 1 and node.parts[0] in ctes:
        return Derived(ctes[node.parts[0]], node.alias or node.written)
    if isinstance(node, OutputInto):
        return OutputInto([_with_ctes(item, ctes) for item in node], node.into, node.columns)
    if isinstance(node, list):
        return [_with_ctes(item, ctes) for item in node]
    if isinstance(node, tuple):
        parts = [_with_ctes(item, ctes) for item in node]
        return node._make(parts) if hasattr(node, "_make") else type(node)(parts)
    return node


def _written_name(text):
    return ".".join(part.strip("[]\"") for part in text.split("."))


def number(sign, text):
    """The value of a numeric constant: int, or Decimal with a point, or float with an E."""
    digits = text.replace(".", "").lstrip("0")
    if "e" in text.lower():
        value = float(sign + text) if len(text) <= 400 else float("inf")
        if value in (float("inf"), float("-inf")):
            raise SqlError(168, f"The floating point value '{text}' is out of the range of "
                                "computer representation (8 bytes).", severity=15)
        return value
    if len(digits) > sqltypes.MAX_PRECISION:
        raise SqlError(1007, f"The number '{text}' is out of the range for numeric representation "
                             f"(maximum precision {sqltypes.MAX_PRECISION}).", severity=15)
    if text.isdigit():
        return int(sign + text)
    return Decimal(sign + text)


_SHAPES = [_shape(UNIT_QUERY), _shape(SAVE_RESULT)]
