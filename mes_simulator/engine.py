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
from . import mes, rpc, sqltypes, tds
from .sqltypes import SqlError, SqlType

VERSION_TEXT = ("Microsoft SQL Server 2019 (RTM) - 15.0.2000.5 (X64) \n"
                "\tMES simulator: the MES procedures over TDS on loopback\n")
server_log = logging.getLogger("mes_simulator")

MAX_MESSAGE = 2047  # longer error texts are cut to 2044 characters and "..."

TOKEN_DONEINPROC = 0xFF
CMD_SET = 0x00
CMD_BEGIN_TRAN, CMD_COMMIT, CMD_ROLLBACK = 0xD4, 0xD5, 0xD6

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
            statements = batches.parse_batch(text)
            await self._run(statements, {}, reply)
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

    def _check(self, statements, variables):
        """Variables must be declared before use, as SQL Server checks when it compiles."""
        known = set(variables)

        def uses(expr):
            if expr is None:
                return
            if expr[0] == "var" and expr[1] not in known:
                raise SqlError(137, f'Must declare the scalar variable "{expr[-1]}".',
                               severity=15)

        def walk(st):
            kind = st[0]
            if kind == "declare":
                for name, _t, value in st[1]:
                    if name in known:
                        raise SqlError(134, f"The variable name '{name}' has already been "
                                            "declared. Variable names must be unique within a "
                                            "query batch or stored procedure.", severity=15)
                    uses(value)
                    known.add(name)
            elif kind == "assign":
                uses(("var", st[1]))
                uses(st[2])
            elif kind == "select":
                for item in st[1]:
                    if item[0] == "assign":
                        uses(("var", item[1]))
                        uses(item[2])
                    else:
                        uses(item[1])
            elif kind == "exec":
                if st[1]:
                    uses(("var", st[1]))
                for _name, value, _out in st[4]:
                    uses(value)
            elif kind == "if":
                uses(st[1])
                uses(st[3])
                walk(st[4])
                if st[5]:
                    walk(st[5])
            elif kind == "print":
                uses(st[1])

        for statement in statements:
            walk(statement)

    async def _run(self, statements, variables, reply):
        self._check(statements, variables)
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
                variables[name] = [sqltype, None]
                if value is not None:
                    self._assign(variables, name, self._value(value, variables))
        elif kind == "assign":
            self._assign(variables, st[1], self._value(st[2], variables))
        elif kind == "select":
            columns = []
            for item in st[1]:
                if item[0] == "assign":
                    self._assign(variables, item[1], self._value(item[2], variables))
                else:
                    value = self._value(item[1], variables)
                    columns.append((item[2] or "", self._type(item[1], variables, value), value))
            if columns:
                reply.select(columns)
            else:
                reply.done(tds.DONE_COUNT, tds.CMD_SELECT, 1)
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
            left, right = self._value(st[1], variables), self._value(st[3], variables)
            branch = st[4] if _compare(left, st[2], right) else st[5]
            if branch is not None:
                return await self._statement(branch, variables, reply)
        elif kind == "print":
            value = self._value(st[1], variables)
            reply.info(0, "" if value is None else sqltypes.text_of(value))
        elif kind == "return":
            return False
        return True

    def _assign(self, variables, name, value):
        slot = variables[name]
        slot[1] = sqltypes.convert(value, slot[0], self.codepage)

    def _value(self, expr, variables):
        kind = expr[0]
        if kind == "lit":
            return expr[1]
        if kind == "var":
            return variables[expr[1]][1]
        if kind == "global":
            return self._global(expr[1])
        if kind == "default":
            return None
        raise SqlError(207, f"Invalid column name '{expr[1]}'.")

    def _type(self, expr, variables, value):
        if expr[0] == "var":
            return variables[expr[1]][0]
        if expr[0] == "global":
            return _GLOBAL_TYPES.get(expr[1], sqltypes.INT)
        return sqltypes.type_of(value)

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
        if name in ("@@error", "@@rowcount"):
            return 0
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
        for param in proc.params:
            if param.output and param.name.casefold() != "@return":
                results[param.name.casefold()] = text
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
        await self._run(statements, variables, reply)
        for arg in args:
            param = getattr(arg, "declared", None)
            if arg.output and param is not None:
                outputs.append((arg.written or param.name, param.type, variables[param.name][1]))


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
    params = {p.name.casefold(): p for p in proc.params}
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
        return next(p for p in proc.params if p.name.casefold() == arg.name)
    return proc.params[args.index(arg)]


def _procedure_name(parts, database):
    parts = [p for p in parts]
    if len(parts) == 3 and parts[0] in (database.casefold(), "master"):
        parts = parts[1:]
    if len(parts) == 2 and parts[0] in ("dbo", "sys"):
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


def _compare(left, op, right):
    if left is None or right is None:
        return False
    try:
        if isinstance(left, str) != isinstance(right, str):
            left, right = float(left), float(right)
        return {"=": left == right, "<>": left != right, "!=": left != right,
                ">": left > right, "<": left < right, ">=": left >= right, "<=": left <= right,
                "!<": left >= right, "!>": left <= right}[op]
    except (TypeError, ValueError):
        raise SqlError(245, f"Conversion failed when converting the nvarchar value '{left}' to "
                            "data type int.") from None


_GLOBAL_TYPES = {"@@version": SqlType("nvarchar", 300), "@@spid": SqlType("smallint"),
                 "@@servername": SqlType("nvarchar", 128), "@@language": SqlType("nvarchar", 128)}


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
        collation = self.engine.conn.server.collation
        codepage = self.engine.codepage
        user_type = b"\x00\x00\x00\x00" if self.version >= tds.TDS72 else b"\x00\x00"
        meta = [struct.pack("<BH", 0x81, len(columns))]
        row = [b"\xd1"]
        limit = getattr(self.engine.conn, "answer_columns", None)
        if limit:  # a scripted answer of fewer columns than the batch selects
            columns = columns[:limit]
            meta = [struct.pack("<BH", 0x81, len(columns))]
        for name, sqltype, value in columns:
            sqltype = _wire_type(sqltype, self.version)
            meta.append(user_type + b"\x01\x00" + sqltypes.type_info(sqltype, collation)
                        + tds.b_varchar(name[:128]))
            row.append(sqltypes.encode_value(value, sqltype, codepage))
        self.parts.append(b"".join(meta + row))
        self.done(tds.DONE_COUNT, tds.CMD_SELECT, 1)

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
