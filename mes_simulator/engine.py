"""Running requests: batches and RPC calls, statement by statement, as SQL Server answers them.

An `Engine` belongs to one client connection and keeps what SQL Server keeps per session:
the open transaction, SET IMPLICIT_TRANSACTIONS and NOCOUNT, prepared statements.  Each
request builds its reply token by token; the MES procedures themselves are run by the
connection (`conn.procedure`), which applies the scenarios and owns the SQLite work.
"""

import logging
import os
import sqlite3
import struct

from . import batch as batches
from . import evaluate, mes, metadata, rpc, sqltypes, tables, tds
from .sql import ddl, sqlite, writes
from .sqltypes import SqlError, SqlType

VERSION_TEXT = ("Microsoft SQL Server 2019 (RTM) - 15.0.2000.5 (X64) \n"
                "\tMES simulator: the MES procedures over TDS on loopback\n")
server_log = logging.getLogger("mes_simulator")

MAX_MESSAGE = 2047  # longer error texts are cut to 2044 characters and "..."

TOKEN_DONEINPROC = 0xFF
CMD_SET = 0x00
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
        self.session_number = os.urandom(4).hex()  # names its temporary tables
        self.temporary = False  # it made one

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
        reply = self._pending = Reply(self, batch=True)
        try:
            await self._run(batches.checked_batch(text), {}, reply)
        except SqlError as err:
            reply.error(err)
        return reply.finish()

    async def rpc(self, payload):
        reply = self._pending = Reply(self, batch=False)
        try:
            calls = rpc.parse(payload, self.version, self.codepage)
        except rpc.BadParameter as bad:
            reply.error(SqlError(bad.number, bad.text))
            reply.done_proc(error=True)
            return reply.finish()
        for call in calls:
            try:
                await self._rpc_call(call, reply)
            except SqlError as err:
                reply.error(err)
                reply.done_proc(error=True)
        return reply.finish()

    async def transaction_request(self, payload):
        """A transaction manager request (packet type 14)."""
        kind, name, begin_after = rpc.parse_transaction_request(payload, self.version)
        self.conn.log("transaction manager request %s%s", rpc.TM_NAMES.get(kind, kind),
                      " (and begin)" if begin_after else "")
        reply = Reply(self, batch=True)
        try:
            if kind == rpc.TM_BEGIN_XACT:
                self.begin(reply)
            elif kind in (rpc.TM_COMMIT_XACT, rpc.TM_ROLLBACK_XACT):
                await (self.commit if kind == rpc.TM_COMMIT_XACT else self.rollback)(reply)
                if begin_after:
                    self.begin(reply)
            elif kind == rpc.TM_SAVE_XACT:
                if not self.trancount:
                    raise SqlError(628, "Cannot issue SAVE TRANSACTION when there is no active "
                                        "transaction.")
            elif kind == rpc.TM_GET_DTC_ADDRESS:
                reply.select([("", SqlType("varbinary", 1), b"")])
            else:
                raise SqlError(8501, "MSDTC on server 'MESSIM' is unavailable.")
        except SqlError as err:
            reply.error(err)
        return reply.finish()

    # ------------------------------------------------------------ transactions

    def begin(self, reply):
        self.trancount += 1
        if self.trancount == 1:
            self.descriptor = os.urandom(8)
            self.transaction = mes.Transaction(self.conn.config.db)
            reply.envchange(ENV_BEGIN, self.descriptor, b"")

    async def commit(self, reply):
        if not self.trancount:
            raise SqlError(3902, "The COMMIT TRANSACTION request has no corresponding BEGIN "
                                 "TRANSACTION.")
        self.trancount -= 1
        if not self.trancount:
            transaction, self.transaction = self.transaction, None
            self.conn.log("transaction committed")
            await self._end(transaction, "COMMIT")
            reply.envchange(ENV_COMMIT, b"", self.descriptor)

    async def rollback(self, reply):
        if not self.trancount:
            raise SqlError(3903, "The ROLLBACK TRANSACTION request has no corresponding BEGIN "
                                 "TRANSACTION.")
        self.trancount = 0
        transaction, self.transaction = self.transaction, None
        self.conn.log("transaction rolled back")
        await self._end(transaction, "ROLLBACK")
        reply.envchange(ENV_ROLLBACK, b"", self.descriptor)

    async def _end(self, transaction, how):
        if transaction is None or not transaction.locking:  # it never wrote: nothing to end
            return
        try:
            await self.conn.end_transaction(transaction, how)
        except sqlite3.Error as exc:
            raise SqlError(50000, f"MES database error: {exc}") from None

    # ------------------------------------------------------------ statements

    async def _run(self, statements, variables, reply):
        """Run checked statements (see batch.check_declared)."""
        for statement in statements:
            if not await self._statement(statement, variables, reply):
                return

    async def _statement(self, st, variables, reply):
        """Run one statement; False after RETURN."""
        kind = st[0]
        if kind == "set":
            words = st[1]
            if words and words[0] in ("implicit_transactions", "nocount") and len(words) > 1:
                setattr(self, "implicit" if words[0] == "implicit_transactions" else "nocount",
                        words[1] == "on")
            elif words[:1] == ("lock_timeout",):
                number = "".join(words[1:])
                if not number.lstrip("-").isdigit() or len(number) > 11:
                    raise SqlError(102, f"Incorrect syntax near '{number}'.", severity=15)
                self.lock_timeout = int(number)
        elif kind == "use":
            if st[1].casefold() != self.conn.config.database.casefold():
                raise SqlError(911, f"Database '{st[1]}' does not exist. Make sure that the name "
                                    "is entered correctly.")
            reply.raw(tds.env_database(self.conn.config.database, self.conn.config.database))
        elif kind == "declare":
            for name, sqltype, value in st[1]:
                variables[name] = [sqltype, [] if sqltype.name == "table" else None]
                if value is not None:
                    self._assign(variables, name, await self._computed(value, variables, reply))
        elif kind == "assign":
            self._assign(variables, st[1], await self._computed(st[2], variables, reply))
        elif kind == "select":
            columns = []
            for item in st[1]:
                if item[0] == "assign":
                    self._assign(variables, item[1],
                                 await self._computed(item[2], variables, reply))
                elif item[1][0] == "var" and item[1][1] in variables:  # what binding it gives
                    sqltype, value = variables[item[1][1]]
                    columns.append(("" if item[2] is None else item[2], sqltype, value))
                else:
                    binder = evaluate.Binder(self, variables)
                    node = self._bind(item[1], variables, binder)
                    value = await self._computed(node, variables, reply, binder)
                    name = item[2] if item[2] is not None else \
                        node.name if node.kind == "ref" else ""
                    columns.append((name, node.type, value))
            if columns:
                reply.select(columns)
            else:
                reply.done(tds.DONE_COUNT, tds.CMD_SELECT, 1)
            self.rowcount = 1
        elif kind == "query":
            await self._query(st[1], variables, reply)
        elif kind in ("insert", "update", "delete"):
            await self._write(st, variables, reply)
        elif kind == "block":
            for inner in st[1]:
                if not await self._statement(inner, variables, reply):
                    return False
        elif kind == "merge":
            await self._merge(st, variables, reply)
        elif kind in DDL:
            await self._ddl(st, variables)
        elif kind == "exec":
            await self._exec(st, variables, reply)
        elif kind == "begin":
            self.begin(reply)
        elif kind == "commit":
            await self.commit(reply)
        elif kind == "rollback":
            await self.rollback(reply)
        elif kind == "save":
            if not self.trancount:
                raise SqlError(628, "Cannot issue SAVE TRANSACTION when there is no active "
                                    "transaction.")
        elif kind == "if":
            branch = st[2] if await self._truth(st[1], variables, reply) else st[3]
            if branch is not None:
                return await self._statement(branch, variables, reply)
        elif kind == "print":
            value = await self._computed(st[1], variables, reply)
            reply.info(0, "" if value is None else sqltypes.text_of(value))
        elif kind == "return":
            return False
        return True

    def _assign(self, variables, name, value):
        slot = variables[name]
        slot[1] = sqltypes.convert(value, slot[0], self.codepage)

    def _bind(self, expr, variables, binder=None):
        return (binder or evaluate.Binder(self, variables)).bind(expr, evaluate.Scope([], None))

    def _value(self, expr, variables):
        kind = expr[0]
        if kind == "lit":
            return expr[1]
        if kind == "var":
            return variables[expr[1]][1]
        if kind == "global":
            return self.global_value(expr[1])
        if kind == "default":
            return None
        return evaluate.value(self._bind(expr, variables), evaluate.Context(self, variables, {}))

    def _type(self, expr, variables, value):
        if expr[0] == "var":
            return variables[expr[1]][0]
        if expr[0] == "global":
            return evaluate.GLOBAL_TYPES.get(expr[1], sqltypes.INT)
        if expr[0] == "lit":
            return sqltypes.type_of(value)
        return self._bind(expr, variables).type

    async def _truth(self, expr, variables, reply):
        """An IF's condition (EXISTS (SELECT ... FROM dbo.units ...) reads the MES tables)."""
        binder = evaluate.Binder(self, variables)
        node = self._bind(expr, variables, binder)
        return await self._computed(node, variables, reply, binder) in (True, 1)

    async def _computed(self, expr, variables, reply, binder=None):
        """An expression's value (expr bound or not); SQLite computes one that reads tables."""
        if not isinstance(expr, evaluate.Node):
            if expr[0] in ("lit", "var", "global", "default"):
                return self._value(expr, variables)
            binder = evaluate.Binder(self, variables)
            expr = self._bind(expr, variables, binder)
        if not sqlite.reads_tables(expr):
            value = evaluate.value(expr, evaluate.Context(self, variables, {}))
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
        return tables.collation_name(self.codepage)

    async def _query(self, query, variables, reply):
        binder = evaluate.Binder(self, variables)
        plan = binder.query(query)
        if plan.cores[0].into is not None:
            return await self._select_into(plan, variables, reply)
        self._reading(binder, reply)
        rows = await self._mes("sql_read", sqlite.select(self, variables, plan))
        self.rowcount = len(rows)
        assigned = [item[1] for item in plan.cores[0].items if item[0] == "assign"]
        if assigned and rows:
            for name, value in zip(assigned, rows[-1]):
                self._assign(variables, name, value)
        if plan.columns:
            reply.rows([(name, sqltype) for name, sqltype in plan.columns], rows)
        else:
            reply.done(tds.DONE_COUNT, tds.CMD_SELECT, len(rows))

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

    def object_id(self, name):
        found = tables.object_id(name, self.database)
        if found is None:
            parts = tuple(p.strip("[]\"").casefold() for p in name.split("."))
            rel = self.user_relation(parts)
            found = ddl.object_id(rel.name) if rel is not None else None
        return found

    async def _ddl(self, st, variables):
        """CREATE/ALTER/DROP TABLE, CREATE/DROP INDEX on clients' tables."""
        kind = st[0]

        def value_of(expr):
            return self._value(expr, variables)
        if kind == "drop_index":
            return await self._mes("sql_write", lambda db: ddl.drop_index(db, st[1]))
        targets = st[1] if kind == "drop_table" else (st[3] if kind == "create_index"
                                                      else st[1],)
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
                if kind == "drop_table":
                    raise SqlError(3701, f"Cannot drop the table '{written}', because it does "
                                         "not exist or you do not have permission.",
                                   severity=11, state=5)
                raise SqlError(4902 if kind == "alter_table" else 1088,
                               f'Cannot find the object "{written}" because it does not exist '
                               "or you do not have permissions.")
            names.append((name, written))
            self.temporary = self.temporary or name.startswith("#")

        def work(db):
            for name, written in names:
                exists = ddl.columns(db, name) is not None
                if kind == "create_table":
                    ddl.create_table(db, name, written, st[2], st[3], value_of)
                elif not exists and not (kind == "drop_table" and st[2]):
                    if kind == "drop_table":
                        raise SqlError(3701, f"Cannot drop the table '{written}', because it "
                                             "does not exist or you do not have permission.",
                                       severity=11, state=5)
                    raise SqlError(4902 if kind == "alter_table" else 1088,
                                   f'Cannot find the object "{written}" because it does not '
                                   "exist or you do not have permissions.")
                elif kind == "drop_table" and exists:
                    ddl.drop_table(db, name)
                elif kind == "alter_table" and st[2] == "add":
                    ddl.add_columns(db, name, st[3], value_of)
                elif kind == "alter_table":
                    ddl.drop_columns(db, name, st[3], written)
                elif kind == "create_index":
                    ddl.create_index(db, st[1], st[2], name, st[4])
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

    async def _mes(self, name, function):
        """Run function(SQLite connection) as the MES procedures run: reads beside any writer,
        writes under the write lock (the session's transaction's, when one is open)."""
        try:
            return await self.conn._mes_call(name, (function,), self.transaction)
        except sqlite3.Error as exc:
            self.conn.log("MES database error: %s", exc)
            raise SqlError(50000, f"MES database error: {exc}") from None

    async def _write(self, st, variables, reply):
        kind = st[0]
        parts, written = st[1]
        if parts[0] == "@":
            return await self._insert_variable(st, variables, reply)
        for _join, item, _on in (st[-1] or ()) if kind != "insert" else ():
            if item[0] == "table" and (item[3] or item[1][-1]).casefold() == parts[-1] \
                    and len(parts) == 1:  # UPDATE alias ... FROM table AS alias
                parts = item[1]
        rel = tables.relation(parts, self.database) or self.user_relation(parts)
        if rel is None or rel.kind == "catalog":
            if rel is not None:
                raise SqlError(229, f"The {kind.upper()} permission was denied on the object "
                                    f"'{rel.name}', database 'mssqlsystemresource', schema "
                                    f"'{rel.schema}'.", severity=14, state=5)
            raise SqlError(208, f"Invalid object name '{written}'.")
        write = TableWrite(self, rel, variables, st)
        output = st[4] if kind in ("insert", "update") else st[3]
        into = self._output_into(variables, output, write.output_columns) \
            if getattr(output, "into", None) else None
        if self.implicit and not self.trancount:
            self.begin(reply)
        count, rows = await self._mes("sql_write", write.run)
        self.rowcount = count
        if write.identity is not None:
            self.identity = write.identity
        if into is not None:
            into(rows)
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
            columns.append({"name": column, "type": sqltype, "null": True, "identity": None,
                            "key": None, "default": None})
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
        _kind, (parts, written), alias, source, on, clauses = st
        rel = tables.relation(parts, self.database) or self.user_relation(parts)
        if rel is None or rel.kind == "catalog":
            raise SqlError(208, f"Invalid object name '{written}'.")
        target = ("table", parts, written, alias)

        def select(item, where, items=(("lit", 1),)):
            core = {"distinct": False, "top": None, "from": (("from", item, None),),
                    "items": tuple(("item", e, None) for e in items), "where": where,
                    "group": (), "having": None, "into": None, "percent": False, "ties": False}
            return {"ctes": (), "cores": (core,), "unions": (), "order": (), "offset": None,
                    "fetch": None}

        def both(condition, extra):
            return condition if extra is None else ("and", condition, extra)
        statements = []
        for matched, by_source, condition, action in clauses:
            if matched:
                sources = (("from", target, None), ("inner", source, on))
                where = condition
            elif by_source:
                sources = (("from", target, None),)
                where = both(("not", ("exists", select(source, on))), condition)
            else:
                where = both(("not", ("exists", select(target, on))), condition)
                statements.append(("insert", (parts, written), action[1],
                                   select(source, where, action[2]), ()))
                continue
            statements.append(("update", (parts, written), action[1], where, (), None, sources)
                              if action[0] == "update" else
                              ("delete", (parts, written), where, (), None, sources))
        plans = [TableWrite(self, rel, variables, statement) for statement in statements]

        def work(db):
            found = {id(w): sqlite.select(self, variables, w.plan)(db) for w in plans
                     if w.st[0] == "insert"}
            count = sum(w.run(db)[0] for w in plans if w.st[0] != "insert")
            return count + sum(writes.run(w, db, found[id(w)])[0] for w in plans
                               if w.st[0] == "insert")
        if self.implicit and not self.trancount:
            self.begin(reply)
        self.rowcount = await self._mes("sql_write", work)
        identities = [w.identity for w in plans if w.identity is not None]
        if identities:
            self.identity = identities[-1]
        reply.done(tds.DONE_COUNT, CMD_INSERT, self.rowcount)

    async def _insert_variable(self, st, variables, reply):
        """INSERT INTO @t [(columns)] VALUES ... | SELECT ...: rows added to a table variable."""
        (_at, name), written = st[1]
        slot = variables.get(name)
        if slot is None or slot[0].name != "table":
            raise SqlError(1087, f'Must declare the table variable "{written}".', severity=15,
                           state=2)
        declared = slot[0].columns
        folded = [n.casefold() for n, _t in declared]
        targets = list(range(len(declared))) if st[2] is None else [
            folded.index(c.casefold()) if c.casefold() in folded else -1 for c in st[2]]
        if -1 in targets:
            missing = st[2][targets.index(-1)]
            raise SqlError(207, f"Invalid column name '{missing}'.")
        if isinstance(st[3], dict):
            binder = evaluate.Binder(self, variables)
            plan = binder.query(st[3])
            self._reading(binder, reply)
            rows = await self._mes("sql_read", sqlite.select(self, variables, plan))
        else:
            rows = [[None if e == ("default",) else await self._computed(e, variables, reply)
                     for e in row] for row in st[3]]
        for row in rows:
            if len(row) != len(targets) and row:
                raise SqlError(213, "Column name or number of supplied values does not match "
                                    "table definition.")
        for row in rows:
            stored = [None] * len(declared)
            for n, value in zip(targets, row):
                stored[n] = sqltypes.convert(value, declared[n][1], self.codepage)
            slot[1].append(tuple(stored))
        self.rowcount = len(rows)
        reply.done(tds.DONE_COUNT, CMD_INSERT, len(rows))

    def _output_into(self, variables, output, columns):
        """OUTPUT ... INTO @table, checked before the write: a function that adds the OUTPUT
        rows to the table variable's, converted to its columns' types."""
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
            for row in rows:
                stored = [None] * len(declared)
                for n, value in zip(targets, row):
                    stored[n] = sqltypes.convert(value, declared[n][1], self.codepage)
                slot[1].append(tuple(stored))
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
            return 0
        if name == "@@rowcount":
            return self.rowcount
        if name in _GLOBALS:
            return _GLOBALS[name]
        if name == "@@identity":
            return self.identity
        if name == "@@lock_timeout":
            return -1 if self.lock_timeout is None else self.lock_timeout
        if name == "@@options":
            return 5176 if self.implicit else 5176 - 2
        raise SqlError(137, f'Must declare the scalar variable "{name}".', severity=15)

    # ------------------------------------------------------------ procedures

    async def _exec(self, st, variables, reply):
        _, status_var, parts, written, args = st
        values = []
        for name, expr, output in args:
            value = self._value(expr, variables)
            sqltype = self._type(expr, variables, value) if expr[0] != "default" else None
            values.append(Arg(name, value, sqltype, output, expr[0] == "default",
                              expr[1] if output else None))
        name = _procedure_name(parts, self.conn.config.database)
        if name in batches.SYSTEM_PROCEDURES:
            outputs = await self._system(name, values, reply, nested=True)
        elif name in metadata.PROCEDURES:
            outputs = await metadata.run(name, values, self, reply)
        else:
            proc = batches.PROCEDURES.get(name)
            if proc is None:
                raise SqlError(2812, f"Could not find stored procedure '{written}'.", state=62)
            outputs = await self._procedure(proc, values)
        for arg, (_name, _type, value) in zip([a for a in values if a.output], outputs):
            self._assign(variables, arg.variable, value)
        if status_var:
            self._assign(variables, status_var, 0)
        if reply.batch:
            reply.raw(tds.return_status(0))
            reply.done(tds.DONE_FINAL, tds.CMD_EXECUTE, 0, tds.TOKEN_DONEPROC)
        else:
            reply.done(tds.DONE_FINAL, tds.CMD_EXECUTE, 0, TOKEN_DONEINPROC)

    async def _procedure(self, proc, args):
        """Run a MES procedure: [(Param, value)] of its OUTPUT arguments, in argument order."""
        bound = bind(proc, args)
        values = [sqltypes.convert(bound[p.name].value, p.type, self.codepage) if p.name in bound
                  else None for p in proc.inputs]
        if self.implicit and not self.trancount:
            self.begin(self._pending)
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
                    results.get(param.name.casefold()), param.type, self.codepage)))
        return outputs

    async def _rpc_call(self, call, reply):
        name = _procedure_name(call.parts, self.conn.config.database)
        if name in batches.SYSTEM_PROCEDURES:
            outputs = await self._system(name, call.args, reply, nested=False)
        elif name in metadata.PROCEDURES:
            outputs = await metadata.run(name, call.args, self, reply)
        else:
            proc = batches.PROCEDURES.get(name)
            if proc is None:
                raise SqlError(2812, f"Could not find stored procedure '{call.written}'.",
                               state=62)
            outputs = await self._procedure(proc, call.args)
        reply.raw(tds.return_status(0))
        for ordinal, (name, sqltype, value) in enumerate(outputs):
            reply.return_value(ordinal, name, sqltype, value)
        reply.done_proc()

    async def _system(self, name, args, reply, nested):
        """sp_executesql and the sp_prepare family: [(Param, value)] of their OUTPUT arguments."""
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
                outputs.append(("@handle", sqltypes.INT, handle))
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
        statements = batches.parse_batch(statement)
        batches.check_declared(statements, variables)
        await self._run(statements, variables, reply)
        for arg in args:
            param = getattr(arg, "declared", None)
            if arg.output and param is not None:
                outputs.append((arg.written or param.name, param.type, variables[param.name][1]))


DDL = {"create_table", "drop_table", "alter_table", "create_index", "drop_index"}


class Arg:
    """An argument of a procedure call (RPC parameter or EXEC argument)."""

    def __init__(self, name, value, sqltype, output=False, default=False, variable=None):
        self.name = name.casefold() if name else None
        self.written = name
        self.value, self.type, self.output, self.default = value, sqltype, output, default
        self.variable = variable


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


def _procedure_name(parts, database):
    """The procedure a name means (an empty database or schema part is the default one)."""
    parts = [p for p in parts]
    if len(parts) == 3 and parts[0] in (database.casefold(), "master", ""):
        parts = parts[1:]
    if len(parts) == 2 and parts[0] in ("dbo", "sys", ""):
        parts = parts[1:]
    return parts[0] if len(parts) == 1 else None


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
                           conn.server_name, getattr(err, "procedure", ""), 1, self.version))
        if self.batch:
            self.done(tds.DONE_ERROR)

    def info(self, number, text):
        body = (struct.pack("<iBB", number, 1, 0) + tds.us_varchar(cut_message(text))
                + tds.b_varchar(self.engine.conn.server_name) + tds.b_varchar("")
                + struct.pack("<i" if self.version >= tds.TDS72 else "<H", 1))
        self.raw(struct.pack("<BH", 0xAB, len(body)) + body)

    def select(self, columns):
        """One row: columns are (name, SqlType, value)."""
        limit = getattr(self.engine.conn, "answer_columns", None)
        if limit:  # a scripted answer of fewer columns than the batch selects
            columns = columns[:limit]
        self.rows([(name, sqltype) for name, sqltype, _v in columns],
                  [tuple(value for _n, _t, value in columns)])

    def rows(self, columns, rows):
        """A result set: columns are (name, SqlType), rows tuples of values."""
        collation = self.engine.conn.server.collation
        codepage = self.engine.codepage
        user_type = b"\x00\x00\x00\x00" if self.version >= tds.TDS72 else b"\x00\x00"
        meta = [struct.pack("<BH", 0x81, len(columns))]
        types = []
        for name, sqltype in columns:
            sqltype = _wire_type(sqltype, self.version)
            types.append(sqltype)
            meta.append(user_type + b"\x01\x00" + sqltypes.type_info(sqltype, collation)
                        + tds.b_varchar(name[:128]))
        encode = sqltypes.encode_value
        for row in rows:
            meta.append(b"\xd1")
            meta.extend(encode(value, sqltype, codepage) for value, sqltype in zip(row, types))
        self.parts.append(b"".join(meta))
        self.done(tds.DONE_COUNT, tds.CMD_SELECT, len(rows))

    def return_value(self, ordinal, name, sqltype, value):
        sqltype = _wire_type(sqltype, self.version)
        user_type = b"\x00\x00\x00\x00" if self.version >= tds.TDS72 else b"\x00\x00"
        self.raw(b"\xac" + struct.pack("<H", ordinal) + tds.b_varchar(name) + b"\x01" + user_type
                 + b"\x01\x00" + sqltypes.type_info(sqltype, self.engine.conn.server.collation)
                 + sqltypes.encode_value(value, sqltype, self.engine.codepage))

    def finish(self):
        if self.last_done is None or self.last_done != len(self.parts) - 1:
            self.done(tds.DONE_FINAL, token=tds.TOKEN_DONE if self.batch else tds.TOKEN_DONEPROC)
        self.parts[self.last_done][1] &= ~tds.DONE_MORE
        return b"".join(bytes(p) for p in self.parts)


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
    if sqltype.name in ("date", "time", "datetime2", "datetimeoffset", "smalldatetime"):
        sqltype = SqlType("datetime")
    if sqltype.name == "uniqueidentifier":
        sqltype = SqlType("nvarchar", 36)
    return sqltype


class TableWrite:
    """An INSERT, UPDATE or DELETE on a MES table; run() runs on the database thread, on the
    connection that holds the write lock: (rows affected, OUTPUT rows)."""

    def __init__(self, engine, rel, variables, st):
        self.engine, self.rel, self.variables, self.st = engine, rel, variables, st
        self.identity = None
        binder = evaluate.Binder(engine, variables)
        self.binder = binder
        columns = tables.columns_of(rel)
        self.columns = columns
        source = evaluate.Source({rel.name, ("dbo", rel.name)}, rel.columns, relation=rel)
        self.scope = evaluate.Scope([source], None)
        kind = st[0]
        self.joined = None  # UPDATE/DELETE ... FROM: (sources, joins, the target's index)
        if kind != "insert" and st[-1]:
            sources, joins = [], []
            self.scope = evaluate.Scope(sources, None)
            for join, item, on in st[-1]:
                sources.append(binder.source(item, None))
                joins.append((join, binder.bind(on, self.scope) if on is not None else None))
            # the target: the FROM item it names by alias, else the one reference there to
            # its table, else a table of its own beside them
            same = [n for n, src in enumerate(sources) if src.relation == rel]
            named = [n for n in same if sources[n].alias is not None and
                     sources[n].alias.casefold() == st[1][0][-1] and len(st[1][0]) == 1]
            target = named[0] if named else same[0] if len(same) == 1 else None
            if target is None:
                sources.append(source)
                joins.append(("cross", None))
                target = len(sources) - 1
            self.joined = (sources, joins, target)
        if kind == "insert":
            names = st[2]
            if names is None:
                names = [c.name for c in columns if not c.identity]
            known = {c.name.casefold(): c for c in columns}
            self.targets = []
            for name in names:
                column = known.get(name.casefold())
                if column is None:
                    raise SqlError(207, f"Invalid column name '{name}'.")
                if column.identity:
                    raise SqlError(544, f"Cannot insert explicit value for identity column in "
                                        f"table '{rel.name}' when IDENTITY_INSERT is set to OFF.")
                self.targets.append(column)
            if isinstance(st[3], dict):
                self.plan = binder.query(st[3])
                width = len(self.plan.columns)
                self.values = None
            else:
                # DEFAULT: the column's default (None here: the row leaves the column out)
                self.values = [[binder.bind(e, evaluate.Scope([], None))
                                if e != ("default",) else None for e in row] for row in st[3]]
                width = len(self.values[0]) if self.values and self.values[0] else len(names)
            if st[3] != ((),) and width != len(self.targets):
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
            for folded, written, expr in st[2]:
                column = next((c for c in columns if c.name.casefold() == folded), None)
                if column is None:
                    raise SqlError(207, f"Invalid column name '{written}'.")
                if column.identity:
                    raise SqlError(8102, f"Cannot update identity column '{column.name}'.")
                if expr[0] == "default":  # the column's default, or NULL
                    expr = batches.Parser(batches.tokenize(column.default)).expression() \
                        if column.default else ("lit", None)
                self.sets.append((column, binder.bind(expr, self.scope)))
        where = st[3] if kind == "update" else st[2] if kind == "delete" else None
        self.where = binder.bind(where, self.scope) if where is not None else None
        output = st[4] if kind in ("insert", "update") else st[3]
        top = st[5] if kind == "update" else st[4] if kind == "delete" else None
        self.top = binder.bind(top, evaluate.Scope([], None)) if top is not None else None
        self.output, self.output_columns = [], []
        if output:
            pseudo = {"insert": ("inserted",), "update": ("inserted", "deleted"),
                      "delete": ("deleted",)}[kind]
            sources = [evaluate.Source({name}, rel.columns, alias=name) for name in pseudo]
            scope = evaluate.Scope(sources, None)
            for expr, alias in output:
                if expr[0] == "star":
                    n = pseudo.index(expr[1][0]) if expr[1][0] in pseudo else 0
                    for m, (name, sqltype) in enumerate(rel.columns):
                        self.output.append(evaluate.Node("ref", sqltype, 0, n, m, name))
                        self.output_columns.append((name, sqltype))
                    continue
                node = binder.bind(expr, scope)
                self.output.append(node)
                self.output_columns.append((alias or (node.name if node.kind == "ref" else ""),
                                            node.type))
        self.mes_tables = binder.mes_tables | {rel.name}

    def run(self, db):
        return writes.run(self, db)
