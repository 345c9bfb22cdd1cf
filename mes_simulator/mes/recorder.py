"""Recording a real MES.  With --upstream the simulator stands in front of the factory's MES:
each call of the station's two procedures goes to the MES unchanged (the station's own batch
text when it came as one), the MES's answer goes back to the station as it came (the row, the
error, or a dropped connection), and the exchange is kept in the scenarios table with the time
it took.  The same database served later without --upstream answers the same calls, in the
same order, with the recorded answers, texts and delays.

Nothing else is forwarded: every other request is the simulator's own.  The MES's password
stays in memory; it is never logged nor stored.
"""

import json
import time

from ..sql import batch
from . import scenarios

# FreeTDS's own error numbers: the connection to the MES broke or timed out, no server spoke.
_DRIVER_ERRORS = range(20000, 20100)


class Exchange:
    """What the MES did with one call: kind "answer" (text, code), "error" (code, text,
    severity, state) or "drop"; seconds: how long the batch took."""

    __slots__ = ("kind", "text", "code", "severity", "state", "seconds")

    def __init__(self, kind, text=None, code=None, severity=16, state=1, seconds=0.0):
        self.kind, self.text, self.code = kind, text, code
        self.severity, self.state, self.seconds = severity, state, seconds


class Unreachable(Exception):
    """The MES could not be connected to: nothing was forwarded."""


class Upstream:
    """The real MES and the login the simulator uses there."""

    def __init__(self, address, user, password, database, codepage="gbk"):
        self.address, self.user, self.database = address, user, database
        self._password = password
        self.codepage = codepage

    def __repr__(self):  # never the password
        return f"Upstream({self.address!r}, user={self.user!r}, database={self.database!r})"

    def call(self, name, args, text=None):
        """Run one procedure call on the MES (blocking: on a worker thread).  text: the
        station's batch as it came; else the batch the station would have sent."""
        from pymssql import _mssql
        if text is None:
            text, params = _station_text(name, args), _station_values(name, args)
        else:
            params = None
        try:
            conn = _mssql.connect(server=self.address, user=self.user, password=self._password,
                                  database=self.database)
        except Exception as exc:
            raise Unreachable(_driver_text(exc)) from None
        started = time.monotonic()
        try:
            row = conn.execute_row(text, params) if params is not None else conn.execute_row(text)
            seconds = time.monotonic() - started
            row = row or {}
            return Exchange("answer", row.get(0), row.get(1), seconds=seconds)
        except _mssql.MSSQLDatabaseException as exc:
            seconds = time.monotonic() - started
            if exc.number in _DRIVER_ERRORS:
                return Exchange("drop", seconds=seconds)
            return Exchange("error", _driver_text(exc), exc.number, exc.severity, exc.state,
                            seconds)
        except _mssql.MSSQLDriverException:
            return Exchange("drop", seconds=time.monotonic() - started)
        finally:
            try:
                conn.close()
            except Exception:
                pass


def _station_text(name, args):
    return batch.UNIT_QUERY if name.casefold() == "uspgetunitinfo" else batch.SAVE_RESULT


def _station_values(name, args):
    """The values as the station's module hands them to the driver: the procedure, employee
    and line name as GBK bytes, the rest as they are."""
    values = list(args)
    for n in (1, 2, 3):
        if isinstance(values[n], str):
            values[n] = values[n].encode("gbk")
    return tuple(values)


def _driver_text(exc):
    """The server's message, without the lines the client library appends to it."""
    text = getattr(exc, "text", None)
    if isinstance(text, bytes):
        text = text.decode("utf-8", "replace")
    return (text or str(exc)).split("DB-Lib error message")[0].strip()


def arguments_key(args):
    """How a call's arguments after the serial number are kept with its scenario: the same
    call later finds it by them."""
    return json.dumps([a if isinstance(a, (str, int, float, type(None))) else str(a)
                       for a in args[1:]], ensure_ascii=False)


def record(conn, name, args, exchange):
    """Keep one exchange as a one-shot scenario for this call: answered in turn on replay."""
    action = {"answer": "answer", "error": "error", "drop": "drop_mid_batch"}[exchange.kind]
    return scenarios.add(conn, serial=args[0], proc=name, action=action, text=exchange.text,
                         code=exchange.code, severity=exchange.severity, state=exchange.state,
                         delay=round(exchange.seconds, 3), partial=0, once=1,
                         args=arguments_key(args))
