"""RPC requests (packet type 3) and transaction manager requests (packet type 14): their layout.

An RPC message holds one or more calls, each a procedure (by name, or by the number of a
system procedure such as sp_executesql) with its parameters: name, status (OUTPUT,
default), TYPE_INFO and value.  Running them is the engine's work.
"""

import struct
from dataclasses import dataclass

from ..errors import ProtocolError
from . import tds
from .types import Reader, UnknownType, read_typed_value

# Procedure numbers a client may send instead of a name.
PROC_IDS = {1: "sp_cursor", 2: "sp_cursoropen", 3: "sp_cursorprepare", 4: "sp_cursorexecute",
            5: "sp_cursorprepexec", 6: "sp_cursorunprepare", 7: "sp_cursorfetch",
            8: "sp_cursoroption", 9: "sp_cursorclose", 10: "sp_executesql", 11: "sp_prepare",
            12: "sp_execute", 13: "sp_prepexec", 14: "sp_prepexecrpc", 15: "sp_unprepare"}

STATUS_OUTPUT, STATUS_DEFAULT, STATUS_ENCRYPTED = 0x01, 0x02, 0x08
BATCH_FLAGS = (0x80, 0xFF)  # between the calls of one message

TM_GET_DTC_ADDRESS, TM_PROPAGATE_XACT = 0, 1
TM_BEGIN_XACT, TM_PROMOTE_XACT, TM_COMMIT_XACT, TM_ROLLBACK_XACT, TM_SAVE_XACT = 5, 6, 7, 8, 9
TM_NAMES = {0: "get DTC address", 1: "propagate", 5: "begin", 6: "promote", 7: "commit",
            8: "rollback", 9: "save"}


STREAM_INCORRECT = ("The incoming tabular data stream (TDS) remote procedure call (RPC) protocol "
                    "stream is incorrect.")


class BadParameter(Exception):
    """A parameter this server cannot read (SQL Server's errors 8009 and 8023)."""

    def __init__(self, number, text):
        super().__init__(text)
        self.number, self.text = number, text


class Arg:
    """An argument of a procedure call (RPC parameter or EXEC argument)."""

    def __init__(self, name, value, sqltype, output=False, default=False, variable=None):
        self.name = name.casefold() if name else None
        self.written = name
        self.value, self.type, self.output, self.default = value, sqltype, output, default
        self.variable = variable


@dataclass
class Call:
    parts: tuple     # the procedure's name, split at dots, case-folded
    written: str     # as the client wrote it (for messages)
    args: list       # Arg


def parse(payload, version, codepage="gbk"):
    """The calls of an RPC message."""
    r = Reader(tds.skip_all_headers(payload, version))
    calls = []
    while not r.at_end():
        length = r.unpack("<H")
        if length == 0xFFFF:
            number = r.unpack("<H")
            written = PROC_IDS.get(number, f"#{number}")
        else:
            written = r.take(2 * length).decode("utf-16-le", errors="replace")
        r.unpack("<H")  # option flags: with recompile, no metadata
        parts = tuple(p.strip().strip("[]").casefold() for p in written.split("."))
        args, bad = [], None
        while not r.at_end() and r.data[r.pos] not in BATCH_FLAGS:
            name = r.b_varchar()
            status = r.unpack("<B")
            if status & STATUS_ENCRYPTED:
                raise ProtocolError("encrypted parameter")
            try:
                sqltype, value = read_typed_value(r, codepage)
            except UnknownType as unknown:
                # The rest of the message cannot be read without knowing the type's layout.
                bad = 8009, (f"{STREAM_INCORRECT} Parameter {len(args) + 1} (\"{name}\"): "
                             f"Data type 0x{unknown.code:02X} is unknown.")
                break
            except (ValueError, ArithmeticError, struct.error):  # a date past 9999, say
                bad = 8023, (f"{STREAM_INCORRECT} Parameter {len(args) + 1} (\"{name}\"): The "
                             "supplied value is not a valid instance of its data type. Check the "
                             "source data for invalid values.")
                break
            args.append(Arg(name or None, value, sqltype, bool(status & STATUS_OUTPUT),
                            bool(status & STATUS_DEFAULT)))
        if bad is not None:
            raise BadParameter(*bad)
        calls.append(Call(parts, written, args))
        if not r.at_end():
            r.unpack("<B")
    if not calls:
        raise ProtocolError("RPC request without a call")
    return calls


def parse_transaction_request(payload, version):
    """(request type, transaction name, begin another one after a commit/rollback)."""
    r = Reader(tds.skip_all_headers(payload, version))
    kind = r.unpack("<H")
    name, begin_after = "", False
    # A transaction's name: its length in bytes (not characters), then UTF-16LE.
    name_field = lambda: r.take(r.unpack("<B")).decode("utf-16-le", errors="replace")  # noqa
    if kind == TM_BEGIN_XACT:
        r.unpack("<B")  # isolation level
        name = name_field()
    elif kind in (TM_COMMIT_XACT, TM_ROLLBACK_XACT):
        name = name_field()
        begin_after = bool(r.unpack("<B") & 0x01)
    elif kind == TM_SAVE_XACT:
        name = name_field()
    return kind, name, begin_after
