"""SQL batches: decoding, T-SQL tokens, and the few batches this server understands.

Besides the session batches the driver sends while connecting (SET options, `use [db]`), the
only batches accepted are the two station batches, token for token, each with its literal
parameter values in the %s places.  Everything else is answered with the error SQL Server
would give, never with a guess.
"""

import re
import struct
from dataclasses import dataclass
from decimal import Decimal

from . import tds

UNIT_QUERY = (
    "\nDECLARE @OutPutxmls nvarchar(4000), @RETURN int ;\n"
    "exec dbo.uspGetUnitInfo %s, %s, %s, %s, @OutPutxmls OUT, @RETURN OUT ;\n"
    "SELECT @OutPutxmls, @RETURN;\n")
SAVE_RESULT = (
    "\nDECLARE @Msg nvarchar(500), @RETURN int ;\n"
    "exec dbo.uspSaveResult %s, %s, %s, %s, %s, %s, @Msg OUT, @RETURN OUT ;\n"
    "SELECT @Msg, @RETURN;\n")

NVARCHAR, VARCHAR = "nvarchar", "varchar"


class SqlError(Exception):
    """An error SQL Server would report for a batch (ERROR token, then DONE with error)."""

    def __init__(self, number, text, severity=16, state=1):
        super().__init__(text)
        self.number, self.text, self.severity, self.state = number, text, severity, state


@dataclass(frozen=True)
class Procedure:
    name: str
    params: tuple        # (name, type) of the input parameters, in order
    outputs: tuple       # names of the two OUTPUT parameters
    text_size: int       # characters of the feedback variable the station's batch declares
    batch: str


PROCEDURES = {p.name.casefold(): p for p in (
    Procedure("uspGetUnitInfo",
              (("@SerialNumber", NVARCHAR), ("@Procedure", VARCHAR), ("@Employee", VARCHAR),
               ("@LineName", VARCHAR)),
              ("@OutPutxmls", "@RETURN"), 4000, UNIT_QUERY),
    Procedure("uspSaveResult",
              (("@SerialNumber", NVARCHAR), ("@Procedure", VARCHAR), ("@Employee", VARCHAR),
               ("@LineName", VARCHAR), ("@Result", VARCHAR), ("@ErrorNo", NVARCHAR)),
              ("@Msg", "@RETURN"), 500, SAVE_RESULT),
)}


@dataclass
class Batch:
    kind: str                 # "empty", "session", "use" or "call"
    database: str = None      # of a "use" batch, as written
    procedure: Procedure = None
    args: list = None         # parameter values of a "call": str or None


# ---------------------------------------------------------------- tokens

@dataclass(frozen=True)
class Token:
    kind: str   # name, var, nstr, str, bin, num, punct, param (template only)
    text: str   # as written
    value: object = None

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
  | (?P<num>\d+(?:\.\d*)?|\.\d+)
  | (?P<var>@[\w@$#]+)
  | (?P<bracket>\[(?:[^\]]|\]\])*\])
  | (?P<quoted>"(?:[^"]|"")*")
  | (?P<word>[^\W\d][\w@$#]*)
  | (?P<punct>[,;().=+\-*/%<>!~&|^:])
""", re.VERBOSE)


def tokenize(text):
    tokens, pos = [], 0
    while pos < len(text):
        m = _LEXER.match(text, pos)
        if m is None:
            if text[pos] in "'[\"" or text[pos:pos + 2] in ("N'", "n'"):
                rest = text[pos:].lstrip("Nn")[1:]
                raise SqlError(105, f"Unclosed quotation mark after the character string '{rest}'.",
                               severity=15)
            raise SqlError(102, f"Incorrect syntax near '{text[pos]}'.", severity=15)
        kind, written = m.lastgroup, m.group()
        pos = m.end()
        if kind == "space":
            continue
        if kind == "comment":
            pos = _skip_comment(text, pos)
        elif kind == "nstr":
            tokens.append(Token("nstr", written, written[2:-1].replace("''", "'")))
        elif kind == "str":
            tokens.append(Token("str", written, written[1:-1].replace("''", "'")))
        elif kind == "bin":
            digits = written[2:]
            tokens.append(Token("bin", written, bytes.fromhex(digits.rjust(len(digits) + len(digits) % 2, "0"))))
        elif kind in ("bracket", "quoted"):
            name = written[1:-1].replace(written[-1] * 2, written[-1])
            tokens.append(Token("name", written, name.casefold()))
        elif kind == "word":
            folded = written.casefold()
            tokens.append(Token("name", written, _SYNONYMS.get(folded, folded)))
        elif kind in ("var", "punct"):
            tokens.append(Token(kind, written, written.casefold()))
        else:
            tokens.append(Token(kind, written))
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
    """Make dbo.uspGetUnitInfo (or [dbo].[uspGetUnitInfo]) one name token with a tuple value."""
    out, pos, end = [], 0, len(tokens)
    while pos < end:
        last = pos  # a run name . name . name ... is joined at once: linear in its length
        while (last + 2 < end and tokens[last].kind == "name" and tokens[last + 1].key == ("punct", ".")
               and tokens[last + 2].kind == "name"):
            last += 2
        if last == pos:
            out.append(tokens[pos])
        else:
            run = tokens[pos:last + 1]
            out.append(Token("name", "".join(t.text for t in run), tuple(t.value for t in run[::2])))
        pos = last + 1
    return out


def _template(text):
    tokens = []
    for n, piece in enumerate(text.split("%s")):
        if n:
            tokens.append(Token("param", "%s"))
        tokens.extend(tokenize(piece))
    return tokens


def _head_and_tail(text):
    """The template's tokens before the EXEC's arguments (ending with the procedure name) and
    after them (from the ';' that ends the EXEC)."""
    tokens = _template(text)
    first = next(i for i, t in enumerate(tokens) if t.kind == "param")
    end = next(i for i in range(first, len(tokens)) if tokens[i].key == SEMICOLON)
    return tokens[:first], tokens[end:]


_TEMPLATES = {key: _head_and_tail(proc.batch) for key, proc in PROCEDURES.items()}


# ---------------------------------------------------------------- batches

def decode_batch(payload, version):
    """The batch text of an SQL batch message (after ALL_HEADERS from TDS 7.2 on)."""
    if version >= tds.TDS72:
        if len(payload) < 4:
            raise tds.ProtocolError("SQL batch without ALL_HEADERS")
        (total,) = struct.unpack_from("<I", payload)
        if not 4 <= total <= len(payload):
            raise tds.ProtocolError("bad ALL_HEADERS length")
        payload = payload[total:]
    try:
        return payload.decode("utf-16-le")
    except UnicodeDecodeError as exc:
        raise tds.ProtocolError("SQL batch text is not UTF-16LE") from exc


def parse_batch(text, database, codepage):
    """Classify a batch text; raise SqlError for anything this server does not run."""
    tokens = tokenize(text)
    names = [t.value if t.kind == "name" else None for t in tokens]
    if not tokens:
        return Batch("empty")
    if _is_session_batch(tokens):
        return Batch("session")
    if names[0] == "use" and len(tokens) > 1 and isinstance(names[1], str) \
            and [t.key for t in tokens[2:]] in ([], [SEMICOLON]):
        written = tokens[1].text
        return Batch("use", database=written[1:-1] if written[0] in '["' else written)
    if "exec" not in names or names.index("exec") + 1 >= len(tokens):
        raise _syntax_error(tokens, 0)
    where = names.index("exec") + 1
    proc = _resolve(tokens[where], database)
    args = _match(tokens, proc)
    values = [convert(lit, sqltype, codepage) for lit, (_n, sqltype) in zip(args, proc.params)]
    return Batch("call", procedure=proc, args=values)


def _is_session_batch(tokens):
    statements, current = [], []
    for tok in tokens + [Token("punct", ";", ";")]:
        if tok.key == SEMICOLON:
            if current:
                statements.append(current)
            current = []
        else:
            current.append(tok)
    return bool(statements) and all(
        len(s) >= 3 and s[0].key == ("name", "set") and s[1].kind == "name"
        and all(t.kind in ("name", "num") or t.key in (("punct", ","), ("punct", "-")) for t in s[2:])
        for s in statements)


def _resolve(tok, database):
    if tok.kind != "name":
        raise SqlError(102, f"Incorrect syntax near '{tok.text}'.", severity=15)
    parts = tok.value if isinstance(tok.value, tuple) else (tok.value,)
    if len(parts) == 3 and parts[0] == database.casefold():
        parts = parts[1:]
    if len(parts) == 2 and parts[0] == "dbo":
        parts = parts[1:]
    proc = PROCEDURES.get(parts[0]) if len(parts) == 1 else None
    if proc is None:
        written = ".".join(p.strip("[]\"") for p in tok.text.split("."))
        raise SqlError(2812, f"Could not find stored procedure '{written}'.", state=62)
    return proc


def _match(tokens, proc):
    """Match the batch against the procedure's batch; return the literals of its input arguments.

    The whole batch must have the right shape (else 102, as SQL Server finds syntax errors
    first); then the argument count is checked (8144, 201), then the OUTPUT arguments.
    """
    head, tail = _TEMPLATES[proc.name.casefold()]
    for pos, want in enumerate(head[:-1]):  # the name itself may be written otherwise
        if pos >= len(tokens) or tokens[pos].key != want.key:
            raise _syntax_error(tokens, pos)
    args, pos = _arguments(tokens, len(head))
    for n, want in enumerate(tail):
        if pos + n >= len(tokens) or tokens[pos + n].key != want.key:
            raise _syntax_error(tokens, pos + n)
    if pos + len(tail) != len(tokens):
        raise _syntax_error(tokens, pos + len(tail))
    declared = [n for n, _t in proc.params] + list(proc.outputs)
    if len(args) > len(declared):
        raise SqlError(8144, f"Procedure or function {proc.name} has too many arguments specified.",
                       state=2)
    if len(args) < len(declared):
        raise SqlError(201, f"Procedure or function '{proc.name}' expects parameter "
                            f"'{declared[len(args)]}', which was not supplied.", state=4)
    inputs, outputs = args[:len(proc.params)], args[len(proc.params):]
    for (literal, out, at), want in zip(outputs, proc.outputs):
        if literal != ("var", want.casefold()) or not out:
            raise _syntax_error(tokens, at)
    for literal, _out, at in inputs:
        if literal[0] == "var":
            raise _syntax_error(tokens, at)
    return [literal for literal, _out, _at in inputs]


def _arguments(tokens, pos):
    """The comma-separated EXEC arguments from pos: [(literal, OUTPUT?, position)], next position."""
    args = []
    if pos >= len(tokens) or tokens[pos].key == SEMICOLON:
        return args, pos
    while True:
        start = pos
        if pos < len(tokens) and tokens[pos].kind == "var":
            pos += 1
            out = pos < len(tokens) and tokens[pos].key == ("name", "out")
            args.append((("var", tokens[start].value), out, start))
            pos += out
        else:
            literal, pos = _literal(tokens, pos)
            args.append((literal, False, start))
        if pos >= len(tokens) or tokens[pos].key != ("punct", ","):
            return args, pos
        pos += 1


def _syntax_error(tokens, pos):
    near = tokens[min(pos, len(tokens) - 1)].text
    return SqlError(102, f"Incorrect syntax near '{near}'.", severity=15)


def _literal(tokens, pos):
    """A constant in a parameter place: (kind, value) and the position after it."""
    tok = tokens[pos] if pos < len(tokens) else None
    if tok is None:
        raise _syntax_error(tokens, pos)
    if tok.kind in ("nstr", "str", "bin"):
        return (tok.kind, tok.value), pos + 1
    if tok.key == ("name", "null"):
        return ("null", None), pos + 1
    sign = ""
    if tok.key in (("punct", "-"), ("punct", "+")) and pos + 1 < len(tokens):
        sign, pos = tok.text, pos + 1
        tok = tokens[pos]
    if tok.kind == "num":
        value = int(sign + tok.text) if tok.text.isdigit() else Decimal(sign + tok.text)
        return ("num", value), pos + 1
    raise _syntax_error(tokens, pos)


def convert(literal, sqltype, codepage):
    """What a parameter of the given type holds when passed this literal, as SQL Server does it."""
    kind, value = literal
    if kind == "null":
        return None
    if kind == "num":
        return str(value)
    if kind == "bin":
        if sqltype == NVARCHAR:
            return value.decode("utf-16-le", errors="replace")
        return value.decode(codepage, errors="replace").replace("\ufffd", "?")
    if sqltype == VARCHAR:  # characters outside the database's code page become '?'
        return value.encode(codepage, errors="replace").decode(codepage)
    return value
