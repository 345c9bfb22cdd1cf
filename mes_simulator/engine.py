"""Running requests: batches and RPC calls, statement by statement, as SQL Server answers them.

An `Engine` belongs to one client connection and keeps what SQL Server keeps per session:
the open transaction, SET IMPLICIT_TRANSACTIONS and NOCOUNT, prepared statements.  Each
request builds its reply token by token; the MES procedures themselves are run by the
connection (`conn.procedure`), which applies the scenarios and owns the SQLite work.
"""

import asyncio
import functools
import logging
from datetime import datetime
from decimal import Decimal
import os
import re
import sqlite3
import struct

from .errors import ProtocolError, SqlError
from .mes import procedures as mes
from .sql import batch as batches
from .sql import bound, collations, ddl, evaluate, insert_bulk, messages, metadata, procedures
from .sql import sqlite
from .sql import tables, writes
from .sql import types as sqltypes
from .sql.messages import BATCH, COMPILE, STATEMENT
from .sql.expressions import (And, Column, Exists, Item, Join, Lit, Not, SelectCore,
                              SelectQuery, SortKey, Table, TableVariable)
from .sql.statements import ColumnDefinition, Delete, Exec, Insert, Update
from .sql.types import SqlType
from .wire import bulk, rpc, tds
from .wire import types as wiretypes
from .wire.rpc import Arg

evaluate.FUNCTIONS.update(messages.FUNCTIONS)

VERSION_TEXT = ("Microsoft SQL Server 2019 (RTM) - 15.0.2000.5 (X64) \n"
                "\tMES simulator: the MES procedures over TDS on loopback\n")
server_log = logging.getLogger("mes_simulator")

MAX_MESSAGE = 2047  # longer error texts are cut to 2044 characters and "..."
STREAM_ROWS = 256  # rows of a result set encoded at a time
STREAM_CHUNK = 64 * 1024  # bytes of a reply sent on before the reply is complete

TOKEN_DONEINPROC = 0xFF
CMD_BEGIN_TRAN, CMD_COMMIT, CMD_ROLLBACK = 0xD4, 0xD5, 0xD6
CMD_INSERT, CMD_DELETE, CMD_UPDATE = 0xC3, 0xC4, 0xC5
_GLOBALS = {"@@max_precision": 38, "@@servicename": "MSSQLSERVER", "@@datefirst": 7,
            "@@langid": 0, "@@textsize": 2147483647, "@@microsoftversion": 251660240,
            "@@nestlevel": 0, "@@procid": 0, "@@max_connections": 32767, "@@connections": 0,
            "@@fetch_status": -1, "@@dbts": bytes(8)}

ENV_BEGIN, ENV_COMMIT, ENV_ROLLBACK = 8, 9, 10


class Stop(Exception):
    """The request ends without a further reply (cancelled by ATTENTION, or dropped)."""

    def __init__(self, keep_open):
        super().__init__(keep_open)
        self.keep_open = keep_open


def cut_message(text):
    return text if len(text) <= MAX_MESSAGE else text[:MAX_MESSAGE - 3] + "..."


# How control leaves the statements being run (exceptions: they cross any depth of blocks).
class _Break(Exception):
    pass


class _Continue(Exception):
    pass


class _Return(Exception):
    """RETURN: the batch, or the dynamic batch, ends."""


class _Goto(Exception):
    def __init__(self, label):
        super().__init__(label)
        self.label = label


class _Cancelled(Exception):
    """The client cancelled the request (ATTENTION): what was answered so far is sent, and the
    ATTENTION, next in line, is acknowledged as the next request."""


class _Aborted(Exception):
    """An error that ends the whole batch was reported (or rolled the transaction back)."""


class _ScopeEnded(Exception):
    """An error that ends the batch or dynamic batch it occurs in was reported."""

    def __init__(self, err):
        super().__init__(err.number)
        self.err = err


class _Failed(Exception):
    """The statement failed with an error already reported: @@ERROR takes its number."""

    def __init__(self, err):
        super().__init__(err.number)
        self.err = err


_SESSION_OPTIONS = {"implicit_transactions": "implicit", "nocount": "nocount",
                    "xact_abort": "xact_abort", "fmtonly": "fmtonly"}
_DOOMED = ("The current transaction cannot be committed and cannot support operations that "
           "write to the log file. Roll back the transaction.")


class Engine:
    def __init__(self, conn):
        self.conn = conn
        self.trancount = 0
        self.descriptor = bytes(8)
        self.implicit = False
        self.nocount = False
        self.lock_timeout = None  # SET LOCK_TIMEOUT, milliseconds
        self.prepared = {}
        self.transaction = None  # mes.Transaction while one is open
        self.codepage = conn.config.codepage
        self.database = conn.config.database
        self.rowcount = 0
        self.identity = None  # the last identity value this session inserted
        self.fmtonly = False  # SET FMTONLY ON: statements describe their results, run nothing
        self.bulk = None  # (INSERT BULK statement, table) whose rows are to come
        self.identity_insert = None  # the table SET IDENTITY_INSERT ... ON names
        self.tran_name = None   # the name the outermost BEGIN TRANSACTION gave
        self.xact_abort = False
        self.doomed = False     # an error under XACT_ABORT was caught: only ROLLBACK may follow
        self.error_number = 0   # @@ERROR
        self.temporary = False  # it made one
        self._request_state()

    @functools.cached_property
    def session_number(self):
        """What names its temporary tables: made at the first."""
        return os.urandom(4).hex()

    def _request_state(self):
        """What a request starts afresh: no statement run, no TRY or CATCH block entered."""
        self.line = 1           # the batch's line the running statement starts on
        self.level = 0          # batches being run: 1 the request's, 2 a dynamic one in it...
        self.try_levels = []    # the level of each TRY block being run, innermost last
        self.caught = []        # the errors of the CATCH blocks being run, innermost last

    @property
    def xact_state(self):
        return 0 if not self.trancount else -1 if self.doomed else 1

    @property
    def version(self):
        return self.conn.version

    def close(self):
        """The client is gone: its open transaction is rolled back (queued on the database
        thread, ahead of any write that waits for its lock)."""
        transaction, self.transaction = self.transaction, None
        self.trancount = 0
        if transaction is not None and transaction.locking:
            self.conn.server.release(transaction, "ROLLBACK").add_done_callback(self._closed)
        if self.temporary:  # its temporary tables go with it
            server = self.conn.server
            server.database.submit(ddl.drop_temporary, server.db, self.session_number
                                   ).add_done_callback(self._closed)
        self.conn = self._pending = None  # nothing of the connection kept

    @staticmethod
    def _closed(done):
        if not done.cancelled() and done.exception() is not None:
            # closing its connection rolls it back all the same
            server_log.info("rollback at close: %s", done.exception())

    # ------------------------------------------------------------ requests

    async def batch(self, text):
        settings = _session_settings(text) if len(text) <= 2048 and \
            text[:3].casefold() == "set" else None
        if settings is not None and not (self.doomed and self.trancount):
            # Only SET statements (the batch a driver sends on every connect): their settings
            # are applied as running them would, the reply is the same DONE every time.
            self.bulk = None
            self._request_state()
            for name, on in settings:
                setattr(self, name, on)
            self.error_number = 0
            self.doomed = False  # as at the end of any batch
            return _settings_reply(self.version)
        if not (self.fmtonly or self.implicit or self.trancount or self.doomed):
            reply = self._station(text)
            if reply is not None:
                return reply
        reply = self._pending = Reply(self, batch=True)
        self.bulk = None
        self._request_state()
        try:
            if insert_bulk.is_insert_bulk(text):
                self._insert_bulk(text)
                return reply.finish()
            statements = batches.checked_batch(text)
        except SqlError as err:  # nothing of a batch that does not compile runs
            reply.error(err)
            return reply.finish()
        try:
            await self._scope(statements, {}, reply)
        except _Aborted:
            pass
        except _Cancelled:
            return reply.finish()
        await self._end_of_batch(reply)
        return reply.finish()

    def _station(self, text):
        """The station's batch (batch.station_call) answered at once, with the reply and the
        session's state its three statements would leave: None when it is another batch, or
        its call must go the usual way (Connection.procedure_now), which then runs it all."""
        now = getattr(self.conn, "procedure_now", None)  # a host may only have procedure()
        call = batches.station_call(text) if now is not None else None
        if call is None:
            return None
        plan = _station_plan(call, self.database)
        if plan is None:
            return None
        proc, inputs, text_out, code_out, text_var, code_var = plan
        convert, codepage = sqltypes.convert, self.codepage
        try:
            args = [_station_text(call.shape, n, type(value), value, sqltype, codepage)
                    if type(value) in _TEXTS else convert(value, sqltype, codepage)
                    for n, (value, sqltype) in enumerate(zip(call.values, inputs))]
            answer = now(proc, args)
            if answer is None:
                return None
            code, text = answer
            text, code = convert(text, text_out, codepage), convert(code, code_out, codepage)
            if text_var is not None:
                text = convert(text, text_var, codepage)
            if code_var is not None:
                code = convert(code, code_var, codepage)
        except SqlError:  # reported as running the statements reports it
            return None
        self.conn.log_call(proc, args)
        self.bulk = None
        self._request_state()
        self.line, self.rowcount, self.error_number = call.line, 1, 0
        key = (call.shape, self.version, self.conn.server.collation, self.nocount)
        parts = _STATION_REPLIES.get(key)
        if parts is None:
            parts = _STATION_REPLIES[key] = _station_reply(key[1], key[2], call.types, key[3])
        before, after, ((text_wire, as_text), (code_wire, code_as_text)) = parts
        encode = wiretypes.encode_value
        return b"".join((before, b"\xd1",
                         encode(text if as_text is None else as_text(text), text_wire, codepage),
                         encode(code if code_as_text is None else code_as_text(code), code_wire,
                                codepage),
                         after))

    def _insert_bulk(self, text):
        """INSERT BULK: the table and columns the next bulk-load message fills."""
        statement = insert_bulk.parse(text)
        rel = tables.relation(statement.parts, self.database)
        if rel is None:
            raise SqlError(208, f"Invalid object name '{statement.written}'.")
        if rel.kind != "mes":
            raise SqlError(229, f"The INSERT permission was denied on the object '{rel.name}', "
                                f"database 'mssqlsystemresource', schema '{rel.schema}'.",
                           severity=14, state=5)
        known = {c.name.casefold() for c in tables.MES_TABLES[rel.name]}
        for written, folded, _type in statement.columns:
            if folded not in known:
                raise SqlError(207, f"Invalid column name '{written}'.")
        self.bulk = statement, rel

    async def bulk_load(self, payload):
        """A bulk-load message (packet type 0x07): the rows of the INSERT BULK before it."""
        pending, self.bulk = self.bulk, None
        if pending is None:
            raise ProtocolError("bulk load data without INSERT BULK")
        reply = self._pending = Reply(self, batch=True)
        statement, rel = pending
        try:
            try:
                columns, rows = bulk.read(payload, self.version, self.codepage)
            except bulk.BadStream as bad:
                raise SqlError(bad.number, bad.text) from None
            load = bulk.Load(statement, rel, columns, rows, self.codepage,
                             self.identity_insert == rel.name)
            if self.implicit and not self.trancount:
                self.begin(reply)
            count = await self._mes("sql_write", load.run)
            self.conn.log("bulk load of %d rows into %s", count, rel.name)
            self.rowcount = count
            reply.done(tds.DONE_COUNT, CMD_INSERT, count)
        except SqlError as err:
            reply.error(err)
        return reply.finish()

    async def _end_of_batch(self, reply):
        """A transaction doomed by an error its CATCH block caught is rolled back now."""
        if self.doomed and self.trancount:
            await self.rollback(reply)
            self._report(SqlError(3998, "Uncommittable transaction is detected at the end of "
                                        "the batch. The transaction is rolled back."), reply)
        self.doomed = False

    async def rpc(self, payload):
        reply = self._pending = Reply(self, batch=False)
        try:
            calls = rpc.parse(payload, self.version, self.codepage)
        except rpc.BadParameter as bad:
            reply.error(SqlError(bad.number, bad.text))
            reply.done_proc(error=True)
            return reply.finish()
        self._request_state()
        for call in calls:
            try:
                await self._rpc_call(call, reply)
            except SqlError as err:
                reply.error(err)
                reply.done_proc(error=True)
            except _Failed:  # reported
                reply.done_proc(error=True)
            except _Aborted:
                reply.done_proc(error=True)
                break
            except _Cancelled:
                return reply.finish()
        await self._end_of_batch(reply)
        return reply.finish()

    async def transaction_request(self, payload):
        """A transaction manager request (packet type 14)."""
        kind, name, begin_after = rpc.parse_transaction_request(payload, self.version)
        self.conn.log("transaction manager request %s%s", rpc.TM_NAMES.get(kind, kind),
                      " (and begin)" if begin_after else "")
        reply = Reply(self, batch=True)
        self._request_state()
        try:
            if kind == rpc.TM_BEGIN_XACT:
                self.begin(reply, name or None)
            elif kind == rpc.TM_COMMIT_XACT:
                await self.commit(reply)
                if begin_after:
                    self.begin(reply)
            elif kind == rpc.TM_ROLLBACK_XACT:
                await self.rollback(reply, name or None)
                if begin_after and not self.trancount:
                    self.begin(reply)
            elif kind == rpc.TM_SAVE_XACT:
                await self.save(name or "")
            elif kind == rpc.TM_GET_DTC_ADDRESS:
                reply.select([("", SqlType("varbinary", 1), b"")])
            else:
                raise SqlError(8501, "MSDTC on server 'MESSIM' is unavailable.")
        except SqlError as err:
            reply.error(err)
        return reply.finish()

    # ------------------------------------------------------------ transactions

    def begin(self, reply, name=None):
        self.trancount += 1
        if self.trancount == 1:
            self.tran_name = name[:32] if name else None
            self.doomed = False
            self.descriptor = os.urandom(8)
            self.transaction = mes.Transaction(self.conn.config.db)
            reply.envchange(ENV_BEGIN, self.descriptor, b"")

    async def commit(self, reply):
        if not self.trancount:
            raise SqlError(3902, "The COMMIT TRANSACTION request has no corresponding BEGIN "
                                 "TRANSACTION.")
        if self.doomed:
            raise SqlError(3930, _DOOMED)
        self.trancount -= 1
        if not self.trancount:
            transaction, self.transaction = self.transaction, None
            self.conn.log("transaction committed")
            await self._end(transaction, "COMMIT")
            reply.envchange(ENV_COMMIT, b"", self.descriptor)

    async def rollback(self, reply, name=None):
        """ROLLBACK [TRANSACTION [name]]: all of the transaction, or (a savepoint's name) what
        was done since the savepoint, the transaction staying open."""
        if not self.trancount:
            raise SqlError(3903, "The ROLLBACK TRANSACTION request has no corresponding BEGIN "
                                 "TRANSACTION.")
        if name is not None and name[:32] != self.tran_name:
            name = name[:32]
            if not self.transaction.has_savepoint(name):
                raise SqlError(6401, f"Cannot roll back {name}. No transaction or savepoint of "
                                     "that name was found.")
            if self.doomed:
                raise SqlError(3931, "The current transaction cannot be committed and cannot be "
                                     "rolled back to a savepoint. Roll back the entire "
                                     "transaction.")
            self.conn.log("transaction rolled back to savepoint %s", name)
            await self._in_transaction(self.transaction.rollback_to, name)
            return
        self.trancount = 0
        self.doomed = False
        transaction, self.transaction = self.transaction, None
        self.conn.log("transaction rolled back")
        await self._end(transaction, "ROLLBACK")
        reply.envchange(ENV_ROLLBACK, b"", self.descriptor)

    async def save(self, name):
        """SAVE TRANSACTION name."""
        if not self.trancount:
            raise SqlError(628, "Cannot issue SAVE TRANSACTION when there is no active "
                                "transaction.")
        if self.doomed:
            raise SqlError(3931, "The current transaction cannot be committed and cannot be "
                                 "rolled back to a savepoint. Roll back the entire transaction.")
        await self._in_transaction(self.transaction.save, name[:32])

    async def _in_transaction(self, function, *args):
        """function(*args) of the open transaction: on the database thread once it has a
        connection there (it wrote), else at once (there is nothing of SQLite's to change)."""
        if self.transaction.conn is None:
            return function(*args)
        try:
            return await self.conn.server.database.run(function, *args)
        except sqlite3.Error as exc:
            raise SqlError(50000, f"MES database error: {exc}") from None

    async def _end(self, transaction, how):
        if transaction is None or not transaction.locking:  # it never wrote: nothing to end
            return
        try:
            await self.conn.end_transaction(transaction, how)
        except sqlite3.Error as exc:
            raise SqlError(50000, f"MES database error: {exc}") from None

    # ------------------------------------------------------------ statements

    async def _scope(self, statements, variables, reply):
        """Run a batch's statements: the request's own, or a dynamic one inside it.  An error
        that ends the batch it occurs in ends here; in a dynamic batch, its EXEC then fails."""
        self.level += 1
        try:
            await self._list(statements, variables, reply)
        except _Return:
            pass
        except _ScopeEnded as ended:
            if self.level > 1:
                raise _Failed(ended.err) from None
        finally:
            self.level -= 1

    async def _nested(self, text, variables, reply, check):
        """EXEC ('...') and sp_executesql's statement: a batch of their own, their variables
        their own; a change of @@TRANCOUNT across them is an error of the EXEC."""
        before = self.trancount
        self.level += 1
        try:
            statements = batches.parse_batch(text)
            batches.check_declared(statements, check)
        except SqlError as err:  # an error of the inner batch, which compiles on its own
            try:
                await self._failed(err, reply)
            except _ScopeEnded:
                pass
            raise _Failed(err) from None
        finally:
            self.level -= 1
        await self._scope(statements, variables, reply)
        if self.trancount != before and self.level:
            raise SqlError(266, "Transaction count after EXECUTE indicates a mismatching number "
                                f"of BEGIN and COMMIT statements. Previous count = {before}, "
                                f"current count = {self.trancount}.", state=2)

    async def _list(self, statements, variables, reply, label=None):
        """Run statements in turn; with label, from that label on (it is in one of them)."""
        n, count = 0, len(statements)
        while True:
            entering, label = label, None
            if entering is not None:
                await self._next_round(reply)  # a GOTO back makes a loop as WHILE does
                n = _holder(statements, entering)
            elif n == count:
                return
            st = statements[n]
            n += 1
            try:
                if entering is None:
                    await self._statement(st, variables, reply)
                else:
                    await self._enter(st, entering, variables, reply)
            except _Goto as jump:  # to a label of these statements, or of a block in them
                if _holder(statements, jump.label) is None:
                    raise
                label = jump.label

    async def _enter(self, st, label, variables, reply):
        """Run a statement from a label in it on (GOTO into a block, a branch, a loop)."""
        kind = st.kind
        if kind == "block":
            await self._list(st.statements, variables, reply, label)
        elif kind == "if":
            branch = st.then if _holder((st.then,), label) is not None else st.otherwise
            await self._enter(branch, label, variables, reply)
        elif kind == "while":
            try:
                await self._enter(st.body, label, variables, reply)
            except _Break:
                return
            except _Continue:
                pass
            await self._next_round(reply)
            await self._statement(st, variables, reply)  # the loop goes on

    async def _statement(self, st, variables, reply):
        """Run one statement: a control-flow statement here, any other in _simple."""
        kind = st.kind
        if kind == "block":
            await self._list(st.statements, variables, reply)
        elif kind == "if" and self.fmtonly:  # described, not run: both branches
            for branch in (st.then, st.otherwise):
                if branch is not None:
                    await self._statement(branch, variables, reply)
        elif kind == "if":
            truth = await self._condition(st, variables, reply)
            branch = st.then if truth else st.otherwise if truth is False else None
            if branch is not None:
                await self._statement(branch, variables, reply)
        elif kind == "while":
            while await self._condition(st, variables, reply):
                try:
                    await self._statement(st.body, variables, reply)
                except _Break:
                    break
                except _Continue:
                    pass
                await self._next_round(reply)
        elif kind == "try":
            await self._try(st, variables, reply)
        elif kind == "break":
            raise _Break()
        elif kind == "continue":
            raise _Continue()
        elif kind == "return":
            raise _Return()
        elif kind == "goto":
            raise _Goto(st.name)
        elif kind != "label":
            self.line = getattr(st, "line", self.line)
            try:
                await self._simple(st, variables, reply)
            except _Failed as failed:
                self.error_number = failed.err.number
            except SqlError as err:
                await self._failed(err, reply)
            else:
                self.error_number = 0

    async def _condition(self, st, variables, reply):
        """An IF's or WHILE's condition: True, False, or None when it failed (the statement is
        then left, as one that failed)."""
        self.line = getattr(st, "line", self.line)
        try:
            truth = await self._truth(st.condition, variables, reply)
        except SqlError as err:
            await self._failed(err, reply)
            return None
        self.error_number = 0
        return truth

    async def _waitfor(self, st, variables, reply):
        """WAITFOR DELAY 'hh:mm[:ss[.mmm]]' or TIME (the next such time of day): a wait on the
        event loop in short steps, each of which may end the batch as a WHILE's round does."""
        value, _type = self._typed_value(st.value, variables)
        text = "" if value is None else sqltypes.text_of(value).strip()
        found = _WAIT_TIME.fullmatch(text)
        if found is None or int(found.group(1)) > 23 or int(found.group(2)) > 59 or \
                int(found.group(3) or 0) > 59:
            raise SqlError(148, f"Incorrect time syntax in time string '{text}' used with "
                                "WAITFOR.", severity=15)
        hours, minutes, seconds = (int(found.group(n) or 0) for n in (1, 2, 3))
        wait = hours * 3600 + minutes * 60 + seconds + float("0." + (found.group(4) or "0"))
        if st.until:
            now = datetime.now()
            midnight = now.replace(hour=0, minute=0, second=0, microsecond=0)
            wait = (wait - (now - midnight).total_seconds()) % 86400
        end = asyncio.get_running_loop().time() + wait
        while True:
            left = end - asyncio.get_running_loop().time()
            if left <= 0:
                break
            await asyncio.sleep(min(left, 0.05))
            await self._next_round(reply)

    async def _next_round(self, reply):
        """Between two rounds of a WHILE (or a GOTO back): send on what the loop has answered
        once it is long (a loop's answer is not kept whole), let the other clients in, and stop
        when the client cancelled (ATTENTION), went away, or the request ran out of time."""
        await reply.flush()
        await asyncio.sleep(0)
        timeout = self._stop_if_over("batch", "its reply so far is sent")
        if timeout is not None:
            self._report(timeout, reply)
            raise _Aborted()

    def _stop_if_over(self, what, sent):
        """Stop the request when the client cancelled (ATTENTION) or went away; its time-out's
        error (for the caller to report) when it ran out of time; else None."""
        conn = self.conn
        conn.watch_client()
        reason = conn.request.over() if conn.request is not None else None
        if reason == "closed":
            conn.log("the client went away: its %s stops", what)
            raise Stop(keep_open=False)
        if reason == "attention":
            conn.log("attention: the %s stops; %s", what, sent)
            raise _Cancelled()
        return conn.timeout_error() if reason == "time" else None

    async def _try(self, st, variables, reply):
        level, depth = self.level, len(self.try_levels)
        self.try_levels.append(level)
        try:
            await self._list(st.statements, variables, reply)
            return
        except SqlError as err:
            caught = err
        finally:
            del self.try_levels[depth:]
        if not getattr(caught, "seen", False):  # not through _failed: classify it here
            self._seen(caught)
        if caught.level == level and messages.reach(caught) == COMPILE:
            raise caught  # a compile-time error of this batch: for a TRY of an outer one
        self.caught.append(caught)
        self.error_number = caught.number
        try:
            await self._list(st.handler, variables, reply)
        finally:
            self.caught.pop()

    def _seen(self, err):
        err.seen = True
        err.level = self.level
        if getattr(err, "line", None) is None:
            err.line = self.line

    async def _failed(self, err, reply):
        """A statement failed: hand the error to the TRY block that catches it (raise it), or
        report it and go on with the next statement, or end the batch (_ScopeEnded, _Aborted).
        Under SET XACT_ABORT ON any error but RAISERROR's rolls the transaction back and ends
        the batch; a TRY block that catches one leaves the transaction doomed."""
        if getattr(err, "seen", False):
            raise err  # on its way to the TRY block that catches it
        self._seen(err)
        self.error_number = err.number
        reach = messages.reach(err)
        aborting = self.xact_abort and reach != COMPILE and not getattr(err, "raiserror", False)
        if aborting:
            reach = BATCH
        if any(level < self.level for level in self.try_levels) or (
                reach != COMPILE and self.level in self.try_levels):
            if aborting and self.trancount:
                self.doomed = True
            raise err
        self._report(err, reply)
        if aborting and self.trancount:
            await self.rollback(reply)
        if reach == STATEMENT:
            return
        if reach == BATCH:
            raise _Aborted()
        raise _ScopeEnded(err)

    def _report(self, err, reply):
        reply.error(err)
        if not reply.batch:
            reply.done(*_error_done(err))

    def _name(self, name, variables):
        """A transaction's or savepoint's name: as written, or a variable's value."""
        if isinstance(name, tuple):
            value = self._value(name, variables)
            return None if value is None else _text(value)
        return name

    def _raiserror(self, st, variables, reply):
        message, severity, state = st.message, st.severity, st.state
        arguments, options = st.arguments, st.options
        values = []
        for number, expr in enumerate(arguments, 1):
            values.append(messages.argument(*self._typed_value(expr, variables), number))
        message = self._value(message, variables)
        severity = messages.severity_of(_integer(self._value(severity, variables)))
        state = messages.state_of(_integer(self._value(state, variables)))
        number, text = messages.raiserror(message, severity, state, values)
        if severity <= 10:  # a message, not an error (severity 10 goes out as 0)
            reply.info(number, cut_message(text), severity if severity < 10 else 0, state,
                       self.line)
            self.error_number = number if "seterror" in options else 0
            raise _Failed(SqlError(self.error_number, text))  # sets @@ERROR, reports nothing
        err = SqlError(number, text, severity, state)
        err.raiserror = True
        raise err

    def _throw(self, arguments, variables):
        if arguments is None:  # THROW; in a CATCH block: the error it caught, again
            caught = self.caught[-1]
            err = SqlError(caught.number, caught.text, caught.severity, caught.state)
            err.line, err.procedure = caught.line, getattr(caught, "procedure", "")
            err.thrown = True
            return err
        number, message, state = (self._value(a, variables) for a in arguments)
        return messages.throw(_integer(number, None), message, _integer(state, None))

    async def _simple(self, st, variables, reply):
        """Run a statement that is not control flow."""
        if st.kind == "exec_named":
            st = self._named_procedure(st, variables)
        kind = st.kind
        if self.fmtonly and kind not in _RUN_UNDER_FMTONLY:
            return await self._describe(st, variables, reply)
        if kind == "set":
            words = st.words
            if words and words[0] in _SESSION_OPTIONS and len(words) > 1:
                setattr(self, _SESSION_OPTIONS[words[0]], words[1] == "on")
            elif words[:1] == ("identity_insert",) and len(words) == 3:
                self._identity_insert(words[1], words[2] == "on")
            elif words[:1] == ("lock_timeout",):
                number = "".join(words[1:])
                if not number.lstrip("-").isdigit() or len(number) > 11:
                    raise SqlError(102, f"Incorrect syntax near '{number}'.", severity=15)
                self.lock_timeout = int(number)
        elif kind == "use":
            if st.database.casefold() != self.conn.config.database.casefold():
                raise SqlError(911, f"Database '{st.database}' does not exist. Make sure that the name "
                                    "is entered correctly.")
            reply.raw(tds.env_database(self.conn.config.database, self.conn.config.database))
        elif kind == "declare":
            for name, sqltype, value in st.variables:
                variables[name] = [sqltype, batches.TableRows() if sqltype.name == "table"
                                   else None]
                if value is not None:
                    self._assign(variables, name, await self._computed(value, variables, reply))
        elif kind == "assign":
            self._assign(variables, st.variable, await self._computed(st.value, variables, reply))
        elif kind == "select":
            columns = []
            for item in st.items:
                if item.kind == "assign":
                    self._assign(variables, item.variable,
                                 await self._computed(item.value, variables, reply))
                    continue
                expr, alias = item.expr, item.alias
                if expr.kind == "var" and expr.name in variables:  # what binding it gives
                    sqltype, value = variables[expr.name]
                    columns.append(("" if alias is None else alias, sqltype, value))
                else:
                    binder = evaluate.Binder(self, variables)
                    node = self._bind(expr, variables, binder)
                    value = await self._computed(node, variables, reply, binder)
                    name = alias if alias is not None else node.name if node.kind == "ref" else ""
                    columns.append((name, node.type, value))
            if columns:
                reply.select(columns)
            else:
                reply.done(tds.DONE_COUNT, tds.CMD_SELECT, 1)
            self.rowcount = 1
        elif kind == "query":
            await self._query(st.query, variables, reply)
        elif kind in ("insert", "update", "delete"):
            await self._write(st, variables, reply)
        elif kind == "merge":
            await self._merge(st, variables, reply)
        elif kind in DDL:
            await self._ddl(st, variables)
        elif kind == "exec":
            await self._exec(st, variables, reply)
        elif kind == "begin":
            self.begin(reply, self._name(st.name, variables))
        elif kind == "commit":
            await self.commit(reply)
        elif kind == "rollback":
            await self.rollback(reply, self._name(st.name, variables))
        elif kind == "save":
            await self.save(self._name(st.name, variables) or "")
        elif kind == "waitfor":
            await self._waitfor(st, variables, reply)
        elif kind == "print":
            value = await self._computed(st.value, variables, reply)
            text = "" if value is None else sqltypes.text_of(value)
            unicode = isinstance(value, str) and not isinstance(value, sqltypes.Varchar)
            reply.info(0, text[:4000 if unicode else 8000], line=self.line, limit=None)
        elif kind == "raiserror":
            self._raiserror(st, variables, reply)
        elif kind == "throw":
            raise self._throw(st.error, variables)
        elif kind == "dynamic":
            text = "".join("" if v is None else _text(v) for v in (
                self._value(part, variables) for part in st.parts))
            await self._nested(text, {}, reply, check=())

    def _identity_insert(self, name, on):
        """SET IDENTITY_INSERT table ON|OFF: explicit identity values for that table (one per
        session), in INSERT and bulk load."""
        rel = tables.relation(tuple(name.split(".")), self.database)
        if rel is None or rel.kind != "mes":
            raise SqlError(1088, f'Cannot find the object "{name}" because it does not exist or '
                                 'you do not have permissions.')
        if not any(c.identity for c in tables.MES_TABLES[rel.name]):
            raise SqlError(8106, f"Table '{rel.name}' does not have the identity property. "
                                 "Cannot perform SET operation.")
        if on:
            if self.identity_insert not in (None, rel.name):
                raise SqlError(8107, f"IDENTITY_INSERT is already ON for table "
                                     f"'{self.database}.dbo.{self.identity_insert}'. Cannot "
                                     f"perform SET operation for table '{rel.name}'.")
            self.identity_insert = rel.name
        elif self.identity_insert == rel.name:
            self.identity_insert = None

    async def _describe(self, st, variables, reply):
        """A statement under SET FMTONLY ON: the metadata of the result sets it would give,
        no rows, nothing changed.  Names and types are still checked (errors as when run)."""
        kind = st.kind
        if kind == "declare":  # the variables exist, their initial values are not set
            for name, sqltype, _value in st.variables:
                variables[name] = [sqltype, batches.TableRows() if sqltype.name == "table"
                                   else None]
        elif kind == "select":
            columns = []
            for item in st.items:
                if item.kind == "assign":
                    continue
                if item.expr.kind == "var" and item.expr.name in variables:
                    columns.append(("" if item.alias is None else item.alias,
                                    variables[item.expr.name][0]))
                    continue
                node = self._bind(item.expr, variables)
                columns.append((item.alias if item.alias is not None else
                                node.name if node.kind == "ref" else "", node.type))
            if columns:
                reply.rows(columns, [], count=False)
        elif kind == "query":
            plan = evaluate.Binder(self, variables).query(st.query)
            if plan.columns:
                reply.rows(list(plan.columns), [], count=False)
        elif kind in ("insert", "update", "delete"):
            rel = tables.relation(st.target.parts, self.database)
            if rel is None:
                raise SqlError(208, f"Invalid object name '{st.target.written}'.")
            if rel.kind == "mes":
                write = TableWrite(self, rel, variables, st)
                output = st.output
                if write.output_columns and not getattr(output, "into", None):
                    reply.rows(write.output_columns, [], count=False)
                    return True
            reply.done(tds.DONE_FINAL, {"insert": CMD_INSERT, "update": CMD_UPDATE,
                                        "delete": CMD_DELETE}[kind], 0)
        elif kind == "exec":
            name = _procedure_name(st.parts, self.conn.config.database)
            if name in procedures.SYSTEM_PROCEDURES or name in metadata.PROCEDURES:
                await self._exec(st, variables, reply)  # their statements are described
            elif reply.batch:
                reply.done(tds.DONE_FINAL, tds.CMD_EXECUTE, 0, tds.TOKEN_DONEPROC)
        elif kind == "return":
            return False
        return True

    def _assign(self, variables, name, value):
        slot = variables[name]
        slot[1] = sqltypes.convert(value, slot[0], self.codepage)

    def _bind(self, expr, variables, binder=None):
        return (binder or evaluate.Binder(self, variables)).bind(expr, evaluate.Scope([], None))

    def _value(self, expr, variables):
        kind = expr.kind
        if kind == "lit":
            return expr.value
        if kind == "var":
            return variables[expr.name][1]
        if kind == "global":
            return self.global_value(expr.name)
        if kind == "default":
            return None
        return evaluate.value(self._bind(expr, variables), evaluate.Context(self, variables))

    def _typed_value(self, expr, variables):
        """(value, SqlType) of an EXEC or RAISERROR argument."""
        kind = expr.kind
        if kind == "lit":
            return expr.value, sqltypes.type_of(expr.value)
        if kind == "var":
            sqltype, value = variables[expr.name]
            return value, sqltype
        if kind == "global":
            return self.global_value(expr.name), evaluate.GLOBAL_TYPES.get(expr.name, sqltypes.INT)
        return self._value(expr, variables), self._bind(expr, variables).type

    async def _truth(self, expr, variables, reply):
        """An IF's condition (EXISTS (SELECT ... FROM dbo.units ...) reads the MES tables)."""
        binder = evaluate.Binder(self, variables)
        node = self._bind(expr, variables, binder)
        return await self._computed(node, variables, reply, binder) in (True, 1)

    async def _computed(self, expr, variables, reply, binder=None):
        """An expression's value (expr bound or not); SQLite computes one that reads tables."""
        if not isinstance(expr, bound.Node):
            if expr.kind in ("lit", "var", "global", "default"):
                return self._value(expr, variables)
            binder = evaluate.Binder(self, variables)
            expr = self._bind(expr, variables, binder)
        if not sqlite.reads_tables(expr):
            value = evaluate.value(expr, evaluate.Context(self, variables))
        else:
            self._reading(binder, reply)
            value = await self._mes("sql_read", sqlite.scalar(self, variables, expr))
        return sqlite.typed(value, expr.type, self.codepage)

    # ------------------------------------------------------------ the MES tables in SQL

    @property
    def user(self):
        return self.conn.user

    @property
    def collation_name(self):
        return collations.collation_name(self.codepage)

    async def _query(self, query, variables, reply):
        binder = evaluate.Binder(self, variables)
        plan = binder.query(query)
        if plan.cores[0].into is not None:
            return await self._select_into(plan, variables, reply)
        self._reading(binder, reply)
        # Read from the cursor a chunk at a time on the session's thread, each chunk sent on
        # (and drained) before the next is read: the result is never held whole.
        stream = await self._mes("sql_read", sqlite.stream(self, variables, plan))
        count, last, types = 0, None, None
        try:
            while True:
                rows = await self._mes("sql_read", stream.fetch, STREAM_ROWS, STREAM_CHUNK)
                if rows:
                    count, last = count + len(rows), rows[-1]
                    if plan.columns:
                        if types is None:
                            types = reply.columns(plan.columns)
                        reply.row_data(types, rows)
                        await reply.flush()
                rows = None
                if stream.ended:
                    break
                self._between_chunks()
        except SqlError as err:
            if types is not None:  # rows went out: its DONE counts them
                err.rows_sent = count
            raise
        finally:
            if not stream.ended:  # stopped or failed: the cursor closes on its own thread
                self.conn.session.submit(None, stream.close)
        self.rowcount = count
        assigned = [item.variable for item in plan.cores[0].items if item.kind == "assign"]
        if assigned and last is not None:
            for name, value in zip(assigned, last):
                self._assign(variables, name, value)
        if plan.columns and types is None:
            types = reply.columns(plan.columns)
        reply.done(tds.DONE_COUNT, tds.CMD_SELECT, count)

    def _between_chunks(self):
        """Between two chunks of a result: stop when the client cancelled (ATTENTION), went
        away, or the request ran out of time."""
        timeout = self._stop_if_over("query", "its rows so far are sent")
        if timeout is not None:
            raise timeout

    # ------------------------------------------------------------ clients' tables

    def _schema_db(self):
        """Where the session sees the tables: its transaction's connection once it wrote."""
        transaction = self.transaction
        if transaction is not None and transaction.locking and transaction.conn is not None:
            return transaction.conn
        return self.conn.server.read_db

    def user_relation(self, parts):
        """A client's table of that name, as a tables.Relation; None if there is none."""
        name = ddl.sqlite_name(parts, self)
        detail = ddl.columns(self._schema_db(), name) if name else None
        if detail is None:
            return None
        rel = tables.UserRelation("dbo", name, tuple((c.name, c.type) for c in detail), "user")
        rel.detail = detail
        return rel

    def user_tables(self):
        return ddl.user_tables(self._schema_db())

    def user_keys(self):
        return ddl.user_keys(self._schema_db())

    def object_id(self, name):
        found = tables.object_id(name, self.database)
        if found is None:
            parts = tuple(p.strip("[]\"").casefold() for p in name.split("."))
            rel = self.user_relation(parts)
            found = ddl.object_id(rel.name) if rel is not None else None
        return found

    async def _ddl(self, st, variables):
        """CREATE/ALTER/DROP TABLE, CREATE/DROP INDEX on clients' tables."""
        kind = st.kind

        def value_of(expr):
            return self._value(expr, variables)
        if kind == "drop_index":
            return await self._mes("sql_write", lambda db: ddl.drop_index(db, st.name))
        targets = st.targets if kind == "drop_table" else (st.target,)
        names = []
        for parts, written in targets:
            rel = tables.relation(parts, self.database)
            name = ddl.sqlite_name(parts[:-1] + (written.split(".")[-1],), self)
            if rel is not None or name is None:
                if kind == "create_table":
                    raise SqlError(2714 if rel is not None else 2760,
                                   f"There is already an object named '{written}' in the "
                                   "database." if rel is not None else
                                   f"The specified schema name \"{parts[-2]}\" either does not "
                                   "exist or you do not have permission to use it.", state=6)
                raise _not_found(kind, written)
            names.append((name, written))
            self.temporary = self.temporary or name.startswith("#")

        def work(db):
            for name, written in names:
                exists = ddl.columns(db, name) is not None
                if kind == "create_table":
                    ddl.create_table(db, name, written, st.columns, st.keys, value_of)
                elif not exists and not (kind == "drop_table" and st.if_exists):
                    raise _not_found(kind, written)
                elif kind == "drop_table" and exists:
                    ddl.drop_table(db, name)
                elif kind == "alter_table" and st.action == "add":
                    ddl.add_columns(db, name, st.items, value_of)
                elif kind == "alter_table":
                    ddl.drop_columns(db, name, st.items, written)
                elif kind == "create_index":
                    ddl.create_index(db, st.unique, st.name, name, st.columns)
        if self.implicit and not self.trancount:
            self.begin(self._pending)
        await self._mes("sql_write", work)

    def _reading(self, binder, reply):
        """A query of the MES tables begins a transaction under SET IMPLICIT_TRANSACTIONS ON."""
        if binder is not None and binder.mes_tables and self.implicit and not self.trancount:
            self.begin(reply)

    async def mes_rows(self, table):
        """The number of rows of a MES table."""
        return await self._mes("sql_read", lambda db: db.execute(
            f'SELECT COUNT(*) FROM "{table}"').fetchone()[0])

    async def _mes(self, name, function, *args):
        """Run function(SQLite connection, *args) on the connection's own thread and SQLite
        connection: reads beside any writer, writes ("sql_write") all or nothing under the
        write lock (the session's transaction's, when one is open)."""
        try:
            if name == "sql_write":
                return await self.conn.run_sql(mes.sql_write, function, write=True)
            return await self.conn.run_sql(function, *args)
        except sqlite3.Error as exc:
            self.conn.log("MES database error: %s", exc)
            raise SqlError(50000, f"MES database error: {exc}") from None

    async def _write(self, st, variables, reply):
        kind = st.kind
        parts, written = st.target
        if parts[0] == "@":
            if kind == "insert":
                return await self._insert_variable(st, variables, reply)
            return await self._change_variable(st, variables, reply)
        for join in (st.sources or ()) if kind != "insert" else ():
            item = join.source
            if item.kind == "table" and (item.alias or item.parts[-1]).casefold() == parts[-1] \
                    and len(parts) == 1:  # UPDATE alias ... FROM table AS alias
                parts = item.parts
        rel = tables.relation(parts, self.database) or self.user_relation(parts)
        if rel is None or rel.kind == "catalog":
            if rel is not None:
                raise SqlError(229, f"The {kind.upper()} permission was denied on the object "
                                    f"'{rel.name}', database 'mssqlsystemresource', schema "
                                    f"'{rel.schema}'.", severity=14, state=5)
            raise SqlError(208, f"Invalid object name '{written}'.")
        write = TableWrite(self, rel, variables, st)
        output = st.output
        into = self._output_into(variables, output, write.output_columns) \
            if getattr(output, "into", None) else None
        if self.implicit and not self.trancount:
            self.begin(reply)
        if self.doomed:
            raise SqlError(3930, _DOOMED)

        def work(db):  # rows that do not fit the table variable undo the write
            count, rows = write.run(db)
            return count, rows, into(rows) if into is not None else None
        count, rows, keep = await self._mes("sql_write", work)
        self.rowcount = count
        if write.identity is not None:
            self.identity = write.identity
        if into is not None:
            keep()
        elif write.output_columns:
            reply.rows(write.output_columns, rows)
        if into is not None or not write.output_columns:
            reply.done(tds.DONE_COUNT, {"insert": CMD_INSERT, "update": CMD_UPDATE,
                                        "delete": CMD_DELETE}[kind], count)

    async def _select_into(self, plan, variables, reply):
        """SELECT ... INTO t FROM ...: a new table of the query's columns, holding its rows."""
        parts, written = plan.cores[0].into
        name = ddl.sqlite_name(parts[:-1] + (written.split(".")[-1],), self)
        if tables.relation(parts, self.database) is not None or name is None:
            raise SqlError(2714, f"There is already an object named '{written}' in the "
                                 "database.", state=6)
        columns = []
        for column, sqltype in plan.columns:
            if not column:
                raise SqlError(1038, "An object or column name is missing or empty. For SELECT "
                                     "INTO statements, verify each column has a name. For other "
                                     "statements, look for empty alias names. Aliases defined as "
                                     "\"\" or [] are not allowed. Change the alias to a valid "
                                     "name.", severity=15, state=5)
            columns.append(ColumnDefinition(column, sqltype, True, None, None, None))
        query = sqlite.insert_select(self, variables, plan, name)
        self.temporary = self.temporary or name.startswith("#")

        def work(db):
            ddl.create_table(db, name, written, columns, (), None)
            return query(db)
        if self.implicit and not self.trancount:
            self.begin(reply)
        self.rowcount = await self._mes("sql_write", work)
        reply.done(tds.DONE_COUNT, tds.CMD_SELECT, self.rowcount)

    async def _merge(self, st, variables, reply):
        """MERGE as the UPDATE, DELETE and INSERT statements it stands for, in one transaction;
        the rows to insert are found before anything is written, as MERGE finds them."""
        (parts, written), alias, source, on, clauses = st.target, st.alias, st.source, st.on, \
            st.clauses
        rel = tables.relation(parts, self.database) or self.user_relation(parts)
        if rel is None or rel.kind == "catalog":
            raise SqlError(208, f"Invalid object name '{written}'.")
        target = Table(parts, written, alias)

        def select(item, where, items=(Lit(1),)):
            core = SelectCore(False, None, False, False, tuple(Item(e, None) for e in items),
                              None, (Join("from", item, None),), where, (), None)
            return SelectQuery((), (core,), (), (), None, None)

        def both(condition, extra):
            return condition if extra is None else And(condition, extra)
        statements = []
        for clause in clauses:
            condition, action = clause.condition, clause.action
            if clause.matched:
                sources = (Join("from", target, None), Join("inner", source, on))
                where = condition
            elif clause.by_source:
                sources = (Join("from", target, None),)
                where = both(Not(Exists(select(source, on))), condition)
            else:
                where = both(Not(Exists(select(target, on))), condition)
                statements.append(Insert(st.target, action.columns,
                                         select(source, where, action.values), ()))
                continue
            statements.append(Update(st.target, action.sets, where, (), None, sources)
                              if action.kind == "update" else
                              Delete(st.target, where, (), None, sources))
        output = st.output
        plans = [TableWrite(self, rel, variables, statement, merge_output=output)
                 for statement in statements]
        columns = plans[0].output_columns
        into = self._output_into(variables, output, columns) \
            if getattr(output, "into", None) else None

        def work(db):
            found = {id(w): sqlite.select(self, variables, w.plan)(db) for w in plans
                     if w.st.kind == "insert"}
            count, rows = 0, []
            # the inserts last, so that no other part sees the rows they add
            for w in sorted(plans, key=lambda w: w.st.kind == "insert"):
                written, out = w.run(db) if w.st.kind != "insert" else \
                    writes.run(w, db, found[id(w)])
                count += written
                rows.extend(out)
            return count, rows, into(rows) if into is not None else None
        if self.implicit and not self.trancount:
            self.begin(reply)
        if self.doomed:
            raise SqlError(3930, _DOOMED)
        self.rowcount, rows, keep = await self._mes("sql_write", work)
        identities = [w.identity for w in plans if w.identity is not None]
        if identities:
            self.identity = identities[-1]
        if into is not None:
            keep()
        elif columns:
            reply.rows(columns, rows)
            return
        reply.done(tds.DONE_COUNT, CMD_INSERT, self.rowcount)

    async def _insert_variable(self, st, variables, reply):
        """INSERT INTO @t [(columns)] VALUES ... | SELECT ...: rows added to a table variable."""
        (_at, name), written = st.target
        slot = variables.get(name)
        if slot is None or slot[0].name != "table":
            raise SqlError(1087, f'Must declare the table variable "{written}".', severity=15,
                           state=2)
        declared = slot[0].columns
        folded = [n.casefold() for n, _t in declared]
        identity = slot[0].identity
        targets = [n for n in range(len(declared)) if identity is None or n != identity[0]] \
            if st.columns is None else [folded.index(c.casefold()) if c.casefold() in folded
                                        else -1 for c in st.columns]
        if -1 in targets:
            missing = st.columns[targets.index(-1)]
            raise SqlError(207, f"Invalid column name '{missing}'.")
        if isinstance(st.rows, SelectQuery):  # INSERT ... SELECT
            binder = evaluate.Binder(self, variables)
            plan = binder.query(st.rows)
            self._reading(binder, reply)
            rows = await self._mes("sql_read", sqlite.select(self, variables, plan))
        else:
            rows = [[_DEFAULT if e.kind == "default" else await self._computed(e, variables,
                                                                                reply)
                     for e in row] for row in st.rows]
        for row in rows:
            if len(row) != len(targets) and row:
                raise SqlError(213, "Column name or number of supplied values does not match "
                                    "table definition.")
        table = slot[0]
        if identity is not None and identity[0] in targets:
            raise SqlError(8101, f"An explicit value for the identity column in table "
                                 f"'{written}' can only be specified when a column list is used "
                                 "and IDENTITY_INSERT is ON.")
        # the columns left out or given DEFAULT: their defaults, the identity's next value,
        # or NULL
        defaults = {n: await self._computed(table.defaults[n], variables, reply)
                    for n in range(len(declared)) if table.defaults and
                    table.defaults[n] is not None}
        added = []  # all rows or none: a value that does not fit stops the statement
        for row in rows:
            stored = [defaults.get(n) for n in range(len(declared))]
            for n, value in zip(targets, row):
                if value is not _DEFAULT:
                    stored[n] = value
            stored = [_stored(value, column, written, self.codepage)
                      for value, column in zip(stored, declared)]
            if identity is not None:
                last = slot[1].last
                slot[1].last = identity[1] if last is None else last + identity[2]
                stored[identity[0]] = slot[1].last
            added.append(tuple(stored))
        slot[1].extend(added)
        self.rowcount = len(rows)
        reply.done(tds.DONE_COUNT, CMD_INSERT, len(rows))

    async def _change_variable(self, st, variables, reply):
        """UPDATE @t SET ... [WHERE ...] and DELETE [FROM] @t [WHERE ...]: SQLite finds the
        rows (by their places, numbered in a copy of the table) and the new values."""
        (_at, name), written = st.target
        slot = variables.get(name)
        if slot is None or slot[0].name != "table":
            raise SqlError(1087, f'Must declare the table variable "{written}".', severity=15,
                           state=2)
        if st.output or st.top is not None or st.sources:
            raise SqlError(102, f"Incorrect syntax near '{written}'.", severity=15)
        declared, rows = slot[0].columns, slot[1]
        numbered = name + " numbered"  # no variable's name has a blank
        scratch = dict(variables)
        scratch[numbered] = [batches.TableType([(" n", sqltypes.INT)] + list(declared)),
                             [(n,) + tuple(row) for n, row in enumerate(rows)]]
        place = Column((" n",), " n")
        items = [Item(place, None)]
        targets = []
        if st.kind == "update":
            folded = [n.casefold() for n, _t in declared]
            for column, column_written, expr in st.sets:
                if column not in folded:
                    raise SqlError(207, f"Invalid column name '{column_written}'.")
                targets.append(folded.index(column))
                items.append(Item(Lit(None) if expr.kind == "default" else expr, None))
        core = SelectCore(False, None, False, False, tuple(items), None,
                          (Join("from", TableVariable(numbered, written, None), None),),
                          st.where, (), None)
        query = SelectQuery((), (core,), (), (SortKey(place, False),), None, None)
        binder = evaluate.Binder(self, scratch)
        plan = binder.query(query)
        self._reading(binder, reply)
        found = await self._mes("sql_read", sqlite.select(self, scratch, plan))
        if st.kind == "delete":
            gone = {row[0] for row in found}
            slot[1][:] = [row for n, row in enumerate(rows) if n not in gone]
        else:
            changed = {}
            for row in found:
                stored = list(rows[row[0]])
                for m, value in zip(targets, row[1:]):
                    stored[m] = _stored(value, declared[m], written, self.codepage)
                changed[row[0]] = tuple(stored)
            for n, row in changed.items():
                rows[n] = row
        self.rowcount = len(found)
        reply.done(tds.DONE_COUNT, CMD_UPDATE if st.kind == "update" else CMD_DELETE,
                   len(found))

    def _output_into(self, variables, output, columns):
        """OUTPUT ... INTO @table, checked before the write: a function that converts the
        OUTPUT rows to the table variable's columns' types (2628 for a value too long), run
        while the write can still be undone, and returns the function that adds them."""
        slot = variables.get(output.into)
        if slot is None or slot[0].name != "table":
            raise SqlError(1087, f'Must declare the table variable "{output.into}".',
                           severity=15, state=2)
        declared = slot[0].columns
        names = [n.casefold() for n, _t in declared]
        targets = list(range(len(declared))) if output.columns is None else [
            names.index(c.casefold()) if c.casefold() in names else -1 for c in output.columns]
        if -1 in targets or len(targets) != len(columns):
            raise SqlError(213, "Column name or number of supplied values does not match table "
                                "definition.")

        def add(rows):
            added = []
            for row in rows:
                stored = [None] * len(declared)
                for n, value in zip(targets, row):
                    stored[n] = _stored(value, declared[n], output.into, self.codepage)
                added.append(tuple(stored))
            return lambda: slot[1].extend(added)
        return add

    def global_value(self, name):
        return self._global(name)

    def _global(self, name):
        if name == "@@version":
            return VERSION_TEXT
        if name == "@@spid":
            return self.conn.spid
        if name == "@@trancount":
            return self.trancount
        if name == "@@servername":
            return "MESSIM"
        if name == "@@language":
            return "us_english"
        if name == "@@error":
            return self.error_number
        if name == "@@rowcount":
            return self.rowcount
        if name in _GLOBALS:
            return _GLOBALS[name]
        if name == "@@identity":
            return self.identity
        if name == "@@lock_timeout":
            return -1 if self.lock_timeout is None else self.lock_timeout
        if name == "@@options":
            return (5176 if self.implicit else 5176 - 2) + (16384 if self.xact_abort else 0)
        raise SqlError(137, f'Must declare the scalar variable "{name}".', severity=15)

    # ------------------------------------------------------------ procedures

    def _named_procedure(self, st, variables):
        """EXEC @name ...: the EXEC of the procedure the variable's text names."""
        value, _type = self._typed_value(st.name, variables)
        text = "" if value is None else sqltypes.text_of(value)
        try:
            tokens = batches.tokenize(text)
        except SqlError:
            tokens = ()
        if len(tokens) != 1 or tokens[0].kind != "name":
            raise SqlError(2812, f"Could not find stored procedure '{text}'.", state=62)
        tok = tokens[0]
        parts = tok.value if isinstance(tok.value, tuple) else (tok.value,)
        return Exec(st.status, parts, batches._written_name(tok.text), st.args)

    async def _exec(self, st, variables, reply):
        status_var, parts, written, args = st.status, st.parts, st.written, st.args
        values = []
        for name, expr, output in args:
            if expr.kind == "default":  # never OUTPUT: the parser takes only a variable so
                values.append(Arg(name, None, None, output, True, None))
                continue
            value, sqltype = self._typed_value(expr, variables)
            values.append(Arg(name, value, sqltype, output, False, expr.name if output else None))
        name = _procedure_name(parts, self.conn.config.database)
        if name in procedures.SYSTEM_PROCEDURES:
            outputs = await self._system(name, values, reply, nested=True)
        elif name in metadata.PROCEDURES:
            outputs = await metadata.run(name, values, self, reply)
        elif len(parts) == 3 and parts[0] == "tempdb" and parts[1] in ("dbo", "sys", "") \
                and parts[2] in _IN_TEMPDB:  # tempdb..sp_help '#t': the session's own
            outputs = await metadata.run(parts[2], values, _InDatabase(self, "tempdb"), reply)
        else:
            proc = procedures.PROCEDURES.get(name)
            if proc is None:
                raise SqlError(2812, f"Could not find stored procedure '{written}'.", state=62)
            outputs = await self._procedure(proc, values)
        for _name, _type, value, arg in outputs:
            self._assign(variables, arg.variable, value)
        if status_var:
            self._assign(variables, status_var, 0)
        if reply.batch:
            reply.raw(tds.return_status(0))
            reply.done(tds.DONE_FINAL, tds.CMD_EXECUTE, 0, tds.TOKEN_DONEPROC)
        else:
            reply.done(tds.DONE_FINAL, tds.CMD_EXECUTE, 0, TOKEN_DONEINPROC)

    async def _procedure(self, proc, args):
        """Run a MES procedure: (name, type, value, Arg) of its OUTPUT arguments, in argument
        order."""
        bound = bind(proc, args)
        values = [sqltypes.convert(bound[p.name].value, p.type, self.codepage) if p.name in bound
                  else None for p in proc.inputs]
        if self.implicit and not self.trancount:
            self.begin(self._pending)
        if self.doomed and proc.name in mes.WRITES:
            raise SqlError(3930, _DOOMED)
        code, text = await self.conn.procedure(proc, values, self.transaction)
        results = {"@return": code}
        for folded, param in proc.by_name.items():
            if param.output and folded != "@return":
                results[folded] = text
        outputs = []
        for arg in args:
            if arg.output:
                param = _param_of(proc, args, arg)
                outputs.append((arg.written or param.name, param.type, sqltypes.convert(
                    results.get(param.name.casefold()), param.type, self.codepage), arg))
        return outputs

    async def _rpc_call(self, call, reply):
        name = _procedure_name(call.parts, self.conn.config.database)
        if name in procedures.SYSTEM_PROCEDURES:
            outputs = await self._system(name, call.args, reply, nested=False)
        elif name in metadata.PROCEDURES:
            outputs = await metadata.run(name, call.args, self, reply)
        else:
            proc = procedures.PROCEDURES.get(name)
            if proc is None:
                raise SqlError(2812, f"Could not find stored procedure '{call.written}'.",
                               state=62)
            if self.fmtonly:  # described, not run
                reply.done_proc()
                return
            outputs = await self._procedure(proc, call.args)
        reply.raw(tds.return_status(0))
        # each output value carries the place of its parameter in the call, in call order
        places = {id(arg): n for n, arg in enumerate(call.args)}
        for name, sqltype, value, arg in sorted(outputs, key=lambda out: places[id(out[3])]):
            reply.return_value(places[id(arg)], name, sqltype, value)
        reply.done_proc()

    async def _system(self, name, args, reply, nested):
        """sp_executesql and the sp_prepare family: (name, type, value, Arg) of their OUTPUT
        arguments."""
        outputs = []
        if name == "sp_executesql":
            statement, declarations, values = _executesql_args(args)
            await self._parameterised(statement, declarations, values, reply, outputs)
        elif name in ("sp_prepare", "sp_prepexec"):
            if len(args) < 3:
                raise SqlError(201, f"Procedure or function '{name}' expects parameter "
                                    f"'{['@handle', '@params', '@stmt'][len(args)]}', which was "
                                    "not supplied.", state=4)
            handle = len(self.prepared) + 1
            while handle in self.prepared:
                handle += 1
            declarations = _text(args[1].value)
            statement = _text(args[2].value)
            params = batches.parse_declarations(declarations) if declarations else ()
            batches.parse_batch(statement)  # compiled now: a syntax error is reported here
            self.prepared[handle] = (statement, params)
            if args[0].output:
                outputs.append(("@handle", sqltypes.INT, handle, args[0]))
            if name == "sp_prepexec":
                await self._parameterised(statement, params, args[3:], reply, outputs)
        elif name == "sp_execute":
            if not args or args[0].value not in self.prepared:
                handle = args[0].value if args else None
                raise SqlError(8179, f"Could not find prepared statement with handle {handle}.")
            statement, params = self.prepared[args[0].value]
            await self._parameterised(statement, params, args[1:], reply, outputs)
        elif name == "sp_unprepare":
            if args:
                self.prepared.pop(args[0].value, None)
        return outputs

    async def _parameterised(self, statement, declarations, args, reply, outputs):
        """Run a statement whose parameters are declared (sp_executesql, sp_execute)."""
        if isinstance(declarations, str):
            declarations = batches.parse_declarations(declarations) if declarations.strip() else ()
        variables = {}
        named = {a.name.casefold(): a for a in args if a.name}
        positional = [a for a in args if not a.name]
        for n, param in enumerate(declarations):
            arg = named.get(param.name) or (positional[n] if n < len(positional) else None)
            if arg is None:
                decl = ", ".join(f"{p.name} {p.type}" + (" output" if p.output else "")
                                 for p in declarations)
                raise SqlError(8178, f"The parameterized query '({decl}){statement[:100]}' "
                                     f"expects the parameter '{param.name}', which was not "
                                     "supplied.")
            variables[param.name] = [param.type, sqltypes.convert(arg.value, param.type,
                                                                  self.codepage)]
            arg.declared = param
        await self._nested(statement, variables, reply, check=variables)
        for arg in args:
            param = getattr(arg, "declared", None)
            if arg.output and param is not None:
                outputs.append((arg.written or param.name, param.type, variables[param.name][1],
                                arg))


DDL = {"create_table", "drop_table", "alter_table", "create_index", "drop_index"}


def bind(proc, args):
    """{parameter name: Arg} of a MES procedure's call, checked as SQL Server checks it."""
    if len(args) > len(proc.params):
        raise SqlError(8144, f"Procedure or function {proc.name} has too many arguments "
                             "specified.", state=2)
    bound, seen_named = {}, False
    params = proc.by_name
    for n, arg in enumerate(args):
        if arg.name:
            seen_named = True
            param = params.get(arg.name)
            if param is None:
                raise SqlError(8145, f"{arg.name} is not a parameter for procedure {proc.name}.")
        elif seen_named:
            raise SqlError(119, f"Must pass parameter number {n + 1} and subsequent parameters as "
                                "'@name = value'. After the form '@name = value' has been used, "
                                "all subsequent parameters must be passed in the form "
                                "'@name = value'.", severity=15)
        else:
            param = proc.params[n]
        if not arg.default:
            bound[param.name] = arg
    for param in proc.params:
        if param.name not in bound:
            raise SqlError(201, f"Procedure or function '{proc.name}' expects parameter "
                                f"'{param.name}', which was not supplied.", state=4)
    for param in proc.params:
        if bound[param.name].output and not param.output:
            raise SqlError(8162, f'The formal parameter "{param.name}" was not declared as an '
                                 'OUTPUT parameter, but the actual parameter passed in requested '
                                 'output.')
    return bound


def _param_of(proc, args, arg):
    if arg.name:
        return proc.by_name[arg.name]
    return proc.params[args.index(arg)]


# the catalog procedures that describe the session's temporary tables when run in tempdb
_IN_TEMPDB = {"sp_help", "sp_helptext"}


class _InDatabase:
    """A session as a procedure of another database sees it: that database's name."""

    def __init__(self, session, database):
        self._session, self.database = session, database

    def __getattr__(self, name):
        return getattr(self._session, name)


def _procedure_name(parts, database):
    """The procedure a name means (an empty database or schema part is the default one)."""
    parts = [p for p in parts]
    if len(parts) == 3 and parts[0] in (database.casefold(), "master", ""):
        parts = parts[1:]
    if len(parts) == 2 and parts[0] in ("dbo", "sys", ""):
        parts = parts[1:]
    return parts[0] if len(parts) == 1 else None


def _holder(statements, label):
    """The index of the statement that is the label or holds it in a block, a branch or a loop
    (not in a TRY or CATCH block: no GOTO jumps into one); None if none does."""
    for n, st in enumerate(statements):
        kind = st.kind
        if kind == "label" and st.name == label \
                or kind == "block" and _holder(st.statements, label) is not None \
                or kind == "if" and _holder([b for b in (st.then, st.otherwise)
                                             if b is not None], label) is not None \
                or kind == "while" and _holder((st.body,), label) is not None:
            return n
    return None


def _integer(value, default=16):
    """An integer argument of RAISERROR or THROW (a text of digits too); default for NULL or
    anything else."""
    if isinstance(value, (int, Decimal)) and not isinstance(value, bool):
        return int(value)
    if isinstance(value, str) and value.strip().lstrip("+-").isdigit():
        return int(value)
    return default


def _text(value):
    if value is None:
        return ""
    if isinstance(value, bytes):
        return value.decode("utf-16-le", errors="replace")
    return str(value)


def _executesql_args(args):
    if not args:
        raise SqlError(201, "Procedure or function 'sp_executesql' expects parameter "
                            "'@statement', which was not supplied.", state=4)
    statement = args[0]
    if not isinstance(statement.value, str) or isinstance(statement.value, sqltypes.Varchar):
        raise SqlError(214, "Procedure expects parameter '@statement' of type "
                            "'ntext/nchar/nvarchar'.")
    if len(args) == 1:
        return statement.value, (), []
    declarations = args[1]
    if declarations.value is not None and (not isinstance(declarations.value, str)
                                           or isinstance(declarations.value, sqltypes.Varchar)):
        raise SqlError(214, "Procedure expects parameter '@params' of type "
                            "'ntext/nchar/nvarchar'.")
    return statement.value, _text(declarations.value), args[2:]


class Reply:
    """The tokens of one reply message, DONE tokens chained with DONE_MORE."""

    def __init__(self, engine, batch):
        self.engine, self.batch = engine, batch
        self.version = engine.version
        self.parts = []
        self.last_done = None

    def raw(self, data):
        self.parts.append(data)

    def done(self, status, command=0, count=0, token=None):
        token = token or (tds.TOKEN_DONE if self.batch else TOKEN_DONEINPROC)
        if self.engine.nocount:
            status &= ~tds.DONE_COUNT
        self.parts.append(bytearray(tds.done(status | tds.DONE_MORE, command, count, self.version,
                                             token)))
        self.last_done = len(self.parts) - 1

    def done_proc(self, error=False):
        self.done(tds.DONE_ERROR if error else tds.DONE_FINAL, 0, 0, tds.TOKEN_DONEPROC)

    def envchange(self, kind, new, old):
        """A transaction's begin, commit or rollback (TDS 7.2 on: they carry its descriptor)."""
        if self.version < tds.TDS72:
            return
        self.raw(tds.envchange(kind, bytes([len(new)]) + new, bytes([len(old)]) + old))

    def error(self, err):
        conn = self.engine.conn
        conn.log("error=%d %s", err.number, err.text[:200])
        self.raw(tds.error(err.number, err.severity, cut_message(err.text), err.state,
                           conn.server_name, getattr(err, "procedure", ""),
                           getattr(err, "line", None) or 1, self.version))
        if getattr(err, "terminated", False):
            self.info(3621, "The statement has been terminated.", 0, 0,
                      getattr(err, "line", None) or 1)
        if self.batch:
            self.done(*_error_done(err))

    def info(self, number, text, severity=0, state=1, line=1, limit=MAX_MESSAGE):
        """A message (PRINT's, or RAISERROR's of severity 10 or less); limit: the characters
        kept of its text (longer ones end in "...")."""
        if limit is not None:
            text = text if len(text) <= limit else text[:limit - 3] + "..."
        body = (struct.pack("<iBB", number, state, severity) + tds.us_varchar(text)
                + tds.b_varchar(self.engine.conn.server_name) + tds.b_varchar("")
                + struct.pack("<i" if self.version >= tds.TDS72 else "<H", line))
        self.raw(struct.pack("<BH", 0xAB, len(body)) + body)

    def select(self, columns):
        """One row: columns are (name, SqlType, value)."""
        limit = getattr(self.engine.conn, "answer_columns", None)
        if limit:  # a scripted answer of fewer columns than the batch selects
            columns = columns[:limit]
        self.rows([(name, sqltype) for name, sqltype, _v in columns],
                  [tuple(value for _n, _t, value in columns)])

    def rows(self, columns, rows, count=True):
        """A result set: columns are (name, SqlType), rows tuples of values (count: whether
        its DONE counts them; not under SET FMTONLY ON)."""
        self.row_data(self.columns(columns), rows)
        self.done(tds.DONE_COUNT if count else tds.DONE_FINAL, tds.CMD_SELECT, len(rows))

    def columns(self, columns):
        """The COLMETADATA of a result set; returns the forms its rows go out in: (SqlType,
        None, or the function that turns a value into the text an older client gets)."""
        key = (tuple(columns), self.version, self.engine.conn.server.collation)
        try:
            meta, forms = _column_metadata(*key)
        except TypeError:  # a name or type that is no key: made afresh
            meta, forms = _column_metadata.__wrapped__(*key)
        self.parts.append(meta)
        return list(forms)

    def row_data(self, forms, rows):
        """ROW tokens of a result set whose columns() were given."""
        codepage = self.engine.codepage
        encode = wiretypes.encode_value
        data = []
        for row in rows:
            data.append(b"\xd1")
            data.extend(encode(value if text is None else text(value), sqltype, codepage)
                        for value, (sqltype, text) in zip(row, forms))
        self.parts.append(b"".join(data))

    async def flush(self):
        """Send on what is ready of the reply once it is STREAM_CHUNK bytes or more (all but
        its last DONE, which the end of the reply may still change)."""
        if sum(len(p) for p in self.parts) < STREAM_CHUNK:
            return
        keep = 1 if self.last_done == len(self.parts) - 1 else 0
        ready = self.parts[:len(self.parts) - keep]
        self.parts = self.parts[len(ready):]
        self.last_done = 0 if keep else None
        await self.engine.conn.send_part(b"".join(bytes(p) for p in ready))

    def return_value(self, ordinal, name, sqltype, value):
        sqltype, text = wiretypes.wire_form(_wire_type(sqltype, self.version), self.version)
        if text is not None:
            value = text(value)
        user_type = b"\x00\x00\x00\x00" if self.version >= tds.TDS72 else b"\x00\x00"
        self.raw(b"\xac" + struct.pack("<H", ordinal) + tds.b_varchar(name) + b"\x01" + user_type
                 + b"\x01\x00" + wiretypes.type_info(sqltype, self.engine.conn.server.collation)
                 + wiretypes.encode_value(value, sqltype, self.engine.codepage))

    def finish(self):
        if self.last_done is None or self.last_done != len(self.parts) - 1:
            self.done(tds.DONE_FINAL, token=tds.TOKEN_DONE if self.batch else tds.TOKEN_DONEPROC)
        self.parts[self.last_done][1] &= ~tds.DONE_MORE
        return b"".join(bytes(p) for p in self.parts)


def _error_done(err):
    """The DONE after an error: of a query that failed after some of its rows went out, with
    the rows sent counted."""
    sent = getattr(err, "rows_sent", None)
    if sent is None:
        return tds.DONE_ERROR, 0, 0
    return tds.DONE_ERROR | tds.DONE_COUNT, tds.CMD_SELECT, sent


# What the station's batches need, worked out once (keys of plain values: a SqlType's hash
# and equality are Python code).
_STATION_PLANS = {}    # (shape, database): see _station_plan
_STATION_TEXTS = {}    # (shape, argument's place, type, text, codepage): the parameter's value
_STATION_REPLIES = {}  # (shape, TDS version, collation, NOCOUNT): _station_reply
_TEXTS = (str, sqltypes.Varchar)


def _station_plan(call, database):
    """(procedure, its inputs' types, its two outputs' types, the types of the variables they
    go to where these differ from the outputs' (else None)), or None for an unknown
    procedure or another number of arguments."""
    key = (call.shape, database)
    if key not in _STATION_PLANS:
        proc = procedures.PROCEDURES.get(_procedure_name(call.parts, database))
        plan = None
        if proc is not None and len(proc.params) == len(call.values) + 2:
            feedback, status = proc.params[-2:]  # the OUTPUT parameters: its text, its code
            text_var, code_var = call.types
            plan = (proc, tuple(param.type for param in proc.inputs), feedback.type, status.type,
                    None if text_var == feedback.type else text_var,
                    None if code_var == status.type else code_var)
        _STATION_PLANS[key] = plan
    return _STATION_PLANS[key]


def _station_text(shape, n, kind, value, sqltype, codepage):
    """A text argument of the station's batch as its parameter holds it, converted once per
    constant (its type is part of the key: a Varchar and a str of the same text are different
    constants); a station's procedure, employee and line recur."""
    key = (shape, n, kind, value, codepage)
    converted = _STATION_TEXTS.get(key)
    if converted is None:
        converted = sqltypes.convert(value, sqltype, codepage)
        if len(_STATION_TEXTS) >= 1024:
            _STATION_TEXTS.clear()
        _STATION_TEXTS[key] = converted
    return converted


def _station_reply(version, collation, types, nocount):
    """The station's reply around its row, as Reply makes it: its EXEC's return status and
    DONEPROC and its SELECT's COLMETADATA (before), the SELECT's DONE ending the reply (after),
    and the forms of its two values (Reply.columns)."""
    meta, forms = _column_metadata((("", types[0]), ("", types[1])), version, collation)
    before = (tds.return_status(0)
              + tds.done(tds.DONE_FINAL | tds.DONE_MORE, tds.CMD_EXECUTE, 0, version,
                         tds.TOKEN_DONEPROC) + meta)
    after = tds.done(tds.DONE_FINAL if nocount else tds.DONE_COUNT, tds.CMD_SELECT, 1, version,
                     tds.TOKEN_DONE)
    return before, after, forms


@functools.lru_cache(maxsize=64)
def _session_settings(text):
    """The settings a batch of SET statements alone makes, as (Engine attribute, on) in
    order; None if the batch has any other statement, does not compile, or sets what needs
    more than an attribute (IDENTITY_INSERT, LOCK_TIMEOUT)."""
    try:
        statements = batches.checked_batch(text)
    except SqlError:
        return None
    settings = []
    for st in statements:
        words = getattr(st, "words", None) if st.kind == "set" else None
        if not words or words[0] in ("identity_insert", "lock_timeout"):
            return None
        if words[0] in _SESSION_OPTIONS and len(words) > 1:
            settings.append((_SESSION_OPTIONS[words[0]], words[1] == "on"))
    return tuple(settings)


@functools.lru_cache(maxsize=8)
def _settings_reply(version):
    """The reply to a batch of SET statements: its final DONE."""
    return tds.done(tds.DONE_FINAL, 0, 0, version, tds.TOKEN_DONE)


@functools.lru_cache(maxsize=256)  # the same few result sets, again and again
def _column_metadata(columns, version, collation):
    """Reply.columns' COLMETADATA token and forms, for columns (name, SqlType) as a tuple."""
    user_type = b"\x00\x00\x00\x00" if version >= tds.TDS72 else b"\x00\x00"
    meta = [struct.pack("<BH", 0x81, len(columns))]
    types, as_text = [], []
    for name, sqltype in columns:
        sqltype, text = wiretypes.wire_form(_wire_type(sqltype, version), version)
        types.append(sqltype)
        as_text.append(text)
        meta.append(user_type + b"\x01\x00" + wiretypes.type_info(sqltype, collation)
                    + tds.b_varchar(name[:128]))
    return b"".join(meta), tuple(zip(types, as_text))


def _not_found(kind, written):
    """SQL Server's error for a table a DDL statement names that is not there (or not the
    login's to change)."""
    if kind == "drop_table":
        return SqlError(3701, f"Cannot drop the table '{written}', because it does not exist or "
                              "you do not have permission.", severity=11, state=5)
    return SqlError(4902 if kind == "alter_table" else 1088,
                    f'Cannot find the object "{written}" because it does not exist or you do '
                    "not have permissions.")


def _wire_type(sqltype, version):
    """Types sent as columns: text types go out as their (max) successors; before TDS 7.2,
    which has no (max) types, as the longest sized ones."""
    name = {"ntext": "nvarchar", "text": "varchar", "image": "varbinary", "sysname": "nvarchar"
            }.get(sqltype.name)
    if name:
        sqltype = SqlType(name, sqltypes.MAX)
    if sqltype.size == sqltypes.MAX and version < tds.TDS72:
        sqltype = SqlType(sqltype.name, sqltypes.MAX_SIZE[sqltype.name]
                          // (2 if sqltype.name in sqltypes.UNICODE else 1))
    return sqltype


_DEFAULT = object()  # DEFAULT in the VALUES of an INSERT into a table variable


def _stored(value, column, variable, codepage):
    """A value as a table variable's column (name, type) keeps it; 2628, which ends the
    statement, for a text or binary longer than the column."""
    name, sqltype = column
    try:
        return sqltypes.store(value, tables.Column(name, sqltype, True, None, False), variable,
                              codepage, qualified=f"tempdb.dbo.{variable}")
    except SqlError as err:
        err.terminated = True
        raise
_WAIT_TIME = re.compile(r"(\d{1,2}):(\d{1,2})(?::(\d{1,2})(?:\.(\d{1,3}))?)?")

# statements that run as usual under SET FMTONLY ON
_RUN_UNDER_FMTONLY = {"set", "use", "begin", "commit", "rollback", "save"}


_ACTION = SqlType("nvarchar", 10)  # the type of MERGE's $action


class TableWrite:
    """An INSERT, UPDATE or DELETE on a MES table; run() runs on the database thread, on the
    connection that holds the write lock: (rows affected, OUTPUT rows)."""

    def __init__(self, engine, rel, variables, st, merge_output=None):
        """merge_output: the OUTPUT of the MERGE st is a part of (st's own is empty then)."""
        self.engine, self.rel, self.variables, self.st = engine, rel, variables, st
        self.identity = None
        binder = evaluate.Binder(engine, variables)
        self.binder = binder
        columns = tables.columns_of(rel)
        self.columns = columns
        source = bound.Source({rel.name, ("dbo", rel.name)}, rel.columns, relation=rel)
        self.scope = evaluate.Scope([source], None)
        kind = st.kind
        self.joined = None  # UPDATE/DELETE ... FROM: (sources, joins, the target's index)
        if kind != "insert" and st.sources:
            sources, joins = [], []
            self.scope = evaluate.Scope(sources, None)
            for join in st.sources:
                sources.append(binder.source(join.source, None))
                joins.append(bound.Join(join.how, binder.bind(join.on, self.scope)
                                        if join.on is not None else None))
            # the target: the FROM item it names by alias, else the one reference there to
            # its table, else a table of its own beside them
            same = [n for n, src in enumerate(sources) if src.relation == rel]
            named = [n for n in same if sources[n].alias is not None and
                     sources[n].alias.casefold() == st.target.parts[-1] and
                     len(st.target.parts) == 1]
            target = named[0] if named else same[0] if len(same) == 1 else None
            if target is None:
                sources.append(source)
                joins.append(bound.Join("cross", None))
                target = len(sources) - 1
            self.joined = (sources, joins, target)
        if kind == "insert":
            names = st.columns
            if names is None:
                names = [c.name for c in columns if not c.identity]
            known = {c.name.casefold(): c for c in columns}
            self.targets = []
            for name in names:
                column = known.get(name.casefold())
                if column is None:
                    raise SqlError(207, f"Invalid column name '{name}'.")
                if column.identity and engine.identity_insert != rel.name:
                    raise SqlError(544, f"Cannot insert explicit value for identity column in "
                                        f"table '{rel.name}' when IDENTITY_INSERT is set to OFF.")
                self.targets.append(column)
            if isinstance(st.rows, SelectQuery):  # INSERT ... SELECT
                self.plan = binder.query(st.rows)
                width = len(self.plan.columns)
                self.values = None
            else:
                # DEFAULT: the column's default (None here: the row leaves the column out)
                self.values = [[binder.bind(e, evaluate.Scope([], None))
                                if e.kind != "default" else None for e in row] for row in st.rows]
                width = len(self.values[0]) if self.values and self.values[0] else len(names)
            if st.rows != ((),) and width != len(self.targets):
                raise SqlError(110 if width < len(self.targets) else 109,
                               "There are fewer columns in the INSERT statement than values "
                               "specified in the VALUES clause. The number of values in the "
                               "VALUES clause must match the number of columns specified in the "
                               "INSERT statement." if width > len(self.targets) else
                               "There are more columns in the INSERT statement than values "
                               "specified in the VALUES clause. The number of values in the "
                               "VALUES clause must match the number of columns specified in the "
                               "INSERT statement.", severity=15)
        elif kind == "update":
            self.sets = []
            for folded, written, expr in st.sets:
                column = next((c for c in columns if c.name.casefold() == folded), None)
                if column is None:
                    raise SqlError(207, f"Invalid column name '{written}'.")
                if column.identity:
                    raise SqlError(8102, f"Cannot update identity column '{column.name}'.")
                if expr.kind == "default":  # the column's default, or NULL
                    expr = batches.Parser(batches.tokenize(column.default)).expression() \
                        if column.default else Lit(None)
                self.sets.append((column, binder.bind(expr, self.scope)))
        where = st.where if kind != "insert" else None
        self.where = binder.bind(where, self.scope) if where is not None else None
        output = st.output
        top = st.top if kind != "insert" else None
        self.top = binder.bind(top, evaluate.Scope([], None)) if top is not None else None
        self.output, self.output_columns = [], []
        self.action = None
        pseudo = {"insert": ("inserted",), "update": ("inserted", "deleted"),
                  "delete": ("deleted",)}[kind]
        if merge_output:
            # each of a MERGE's parts sees both tables (the one it does not fill is NULL)
            # and $action, what it did to the row
            output, pseudo, self.action = merge_output, ("inserted", "deleted"), kind.upper()
        self.pseudo = pseudo
        if output:
            sources = [bound.Source({name}, rel.columns, alias=name) for name in pseudo]
            if self.action is not None:
                sources.append(bound.Source(set(), [("$action", _ACTION)]))
            scope = evaluate.Scope(sources, None)
            for expr, alias in output:
                if expr.kind == "star":
                    qualifier = expr.qualifier[0]
                    n = pseudo.index(qualifier) if qualifier in pseudo else 0
                    for m, (name, sqltype) in enumerate(rel.columns):
                        self.output.append(bound.Ref(sqltype, 0, n, m, name))
                        self.output_columns.append((name, sqltype))
                    continue
                node = binder.bind(expr, scope)
                self.output.append(node)
                self.output_columns.append((alias or (node.name if node.kind == "ref" else ""),
                                            node.type))
        self.mes_tables = binder.mes_tables | {rel.name}

    def run(self, db):
        return writes.run(self, db)
