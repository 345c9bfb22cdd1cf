"""Errors as a batch meets them: how far an error reaches, RAISERROR's message text, and the
functions a CATCH block reads the error by."""

import re

from .. import sqltypes
from ..sqltypes import SqlError, SqlType

# Errors found when a statement is bound to its tables and columns.  SQL Server finds them when
# it compiles the statement: they end the batch (or the dynamic batch, or the procedure) they
# occur in, and a TRY block of that same batch does not catch them; one in an outer batch does.
COMPILE_ERRORS = {207, 208, 209, 213, 4104, 1087, 263, 8155, 116, 147, 155, 174, 189, 195}
# Runtime errors that end the whole batch, not just their statement (a conversion of a text to a
# number, a deadlock).
BATCH_ERRORS = {245, 8114, 1205}

STATEMENT, BATCH, COMPILE = "statement", "batch", "compile"


def reach(err):
    """How far an error ends the batch: the statement, the whole batch, or (a compile-time
    error) the batch or procedure it occurs in."""
    if getattr(err, "thrown", False):
        return BATCH
    if getattr(err, "raiserror", False) or getattr(err, "procedure", None):
        return STATEMENT  # raised by RAISERROR, or by a procedure as it ran
    if err.severity == 15 or err.number in COMPILE_ERRORS:
        return COMPILE
    if err.number in BATCH_ERRORS:
        return BATCH
    return STATEMENT


def _error(number, text):
    return SqlError(number, text)


def severity_of(value):
    """RAISERROR's severity: below 0 is 0, above 25 is 25."""
    return min(max(int(value), 0), 25)


def state_of(value):
    """RAISERROR's state: negative is 1."""
    value = int(value)
    return 1 if value < 0 else min(value, 255)


def raiserror(message, severity, state, arguments):
    """(number, text) of RAISERROR (message, severity, state, arguments...), or SqlError for a
    call SQL Server refuses.  message: a text (number 50000) or a message number."""
    if severity > 18:
        raise _error(2754, "Error severity levels greater than 18 can only be specified by "
                           "members of the sysadmin role, using the WITH LOG option.")
    if isinstance(message, int) and not isinstance(message, bool):
        if message < 13000 or message == 50000:
            raise _error(2732, f"Error number {message} is invalid. The number must be from "
                               "13000 through 2147483647 and it cannot be 50000.")
        raise SqlError(18054, f"Error {message}, severity {severity}, state {state} was raised, "
                              "but no message with that error number was found in sys.messages. "
                              "If error is larger than 50000, make sure the user-defined message "
                              "is added using sp_addmessage.", severity=max(severity, 11),
                       state=state)
    return 50000, format_message("" if message is None else str(message), arguments)


# % [flags] [width] [.precision] [h | l | I64] type
_SPEC = re.compile(r"%([-+0# ]*)(\*|\d+)?(?:\.(\*|\d+))?(h|l|I64)?(.)?", re.DOTALL)
_INTEGER_TYPES = {"d", "i", "o", "u", "x", "X"}


def format_message(text, arguments):
    """RAISERROR's printf: %d %i %u %o %x %X %s with flags, width and precision; %% for %.
    A missing or NULL argument is written (null)."""
    out, pos, used = [], 0, 0
    arguments = list(arguments)

    def take():
        nonlocal used
        used += 1
        return (arguments[used - 1] if used <= len(arguments) else None), used

    while True:
        found = text.find("%", pos)
        if found < 0:
            out.append(text[pos:])
            return "".join(out)
        out.append(text[pos:found])
        if text.startswith("%%", found):
            out.append("%")
            pos = found + 2
            continue
        m = _SPEC.match(text, found)
        flags, width, precision, _size, kind = m.groups()
        if kind is None or kind not in _INTEGER_TYPES and kind != "s":
            raise _error(2787, f"Invalid format specification: '{m.group()}'.")
        if width == "*":
            width, _n = take()
        if precision == "*":
            precision, _n = take()
        value, number = take()
        out.append(_convert(value, number, flags, width, precision, kind))
        pos = m.end()


def _convert(value, number, flags, width, precision, kind):
    if value is None:
        body = "(null)"
    elif kind == "s":
        if not isinstance(value, str):
            raise _mismatch(number)
        body = value if precision is None else value[:int(precision)]
    else:
        if isinstance(value, (str, bytes)) or not isinstance(value, int):
            raise _mismatch(number)
        if isinstance(value, bool):
            value = int(value)
        body = _integer(value, flags, precision, kind)
    width = int(width or 0)
    if len(body) >= width:
        return body
    if "-" in flags:
        return body.ljust(width)
    if "0" in flags and kind != "s" and value is not None and precision is None:
        sign = body[0] if body[:1] in ("-", "+", " ") else ""
        return sign + body[len(sign):].rjust(width - len(sign), "0")
    return body.rjust(width)


def _integer(value, flags, precision, kind):
    if kind in ("d", "i"):
        digits, sign = str(abs(value)), "-" if value < 0 else (
            "+" if "+" in flags else " " if " " in flags else "")
    else:
        unsigned = value & 0xFFFFFFFF if -2 ** 31 <= value < 2 ** 32 else value & (2 ** 64 - 1)
        digits = {"u": str, "o": lambda v: format(v, "o"), "x": lambda v: format(v, "x"),
                  "X": lambda v: format(v, "X")}[kind](unsigned)
        sign = ""
        if "#" in flags and unsigned:
            sign = {"o": "0", "x": "0x", "X": "0X"}.get(kind, "")
    if precision is not None:
        digits = digits.rjust(int(precision), "0")
    return sign + digits


def _mismatch(number):
    return _error(2786, f"The data type of substitution parameter {number} does not match the "
                        "expected type of the format specification.")


def argument(value, sqltype, number):
    """A RAISERROR substitution argument: integers, character and binary values may be
    given (bigint for %I64d)."""
    if value is None or sqltype is None:
        return value
    name = sqltype.name
    if name in ("tinyint", "smallint", "int", "bigint", "binary", "varbinary") \
            or name in sqltypes.CHARACTER:
        return value
    raise _error(2748, f"Cannot specify {name} data type (parameter {number}) as a "
                       "substitution parameter.")


def throw(number, message, state):
    """The error THROW number, message, state raises, or SqlError for one it refuses."""
    if number is None or not isinstance(number, int) or not 50000 <= number <= 2 ** 31 - 1:
        raise SqlError(35100, f"Error number {number} in the THROW statement is outside the "
                              "valid range. Specify an error number in the valid range of 50000 "
                              "to 2147483647.", state=10)
    if state is None or not 0 <= int(state) <= 255:
        raise SqlError(35101, f"State {state} in the THROW statement is outside the valid range. "
                              "Specify a state in the valid range of 0 to 255.", state=10)
    err = SqlError(number, "" if message is None else str(message), 16, int(state))
    err.thrown = True
    return err


_INT, _TEXT = SqlType("int"), SqlType("nvarchar", 4000)


def _caught(attribute):
    def read(session):
        caught = session.caught[-1] if session.caught else None
        return None if caught is None else attribute(caught)
    return read


# The functions a CATCH block reads the error it caught by (NULL outside one), and XACT_STATE(),
# in the form of evaluate.FUNCTIONS: (least and most arguments, type, value of the session).
FUNCTIONS = {
    "error_number": (0, 0, lambda ts: _INT, _caught(lambda e: e.number)),
    "error_severity": (0, 0, lambda ts: _INT, _caught(lambda e: e.severity)),
    "error_state": (0, 0, lambda ts: _INT, _caught(lambda e: e.state)),
    "error_line": (0, 0, lambda ts: _INT, _caught(lambda e: getattr(e, "line", 1))),
    "error_message": (0, 0, lambda ts: _TEXT, _caught(lambda e: e.text)),
    "error_procedure": (0, 0, lambda ts: SqlType("nvarchar", 128),
                        _caught(lambda e: getattr(e, "procedure", None) or None)),
    "xact_state": (0, 0, lambda ts: SqlType("smallint"), lambda session: session.xact_state),
}
