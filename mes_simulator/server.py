"""The TDS server: one asyncio task per client connection, all sharing one SQLite connection."""

import asyncio
import logging
import os
import sqlite3
from dataclasses import dataclass

from . import batch as batches
from . import engine as engines
from . import login as logins
from . import mes, scenarios, seed, tds

log = logging.getLogger("mes_simulator")

SERVER_NAME = "MESSIM"
TDS74 = 0x74000004
LOCK_WAIT = 10.0  # seconds an upload waits for another client's transaction


@dataclass
class Config:
    db: str
    host: str = "127.0.0.1"
    port: int = 0
    user: str = "mes"
    password: str = "mes"
    database: str = "MES"
    codepage: str = "gbk"
    max_connections: int = 64


class ClientGone(Exception):
    """The client closed the connection."""


class Server:
    def __init__(self, config):
        self.config = config
        self.collation = logins.collation_for(config.codepage)
        fresh = not os.path.exists(config.db)
        self.db = mes.connect(config.db)
        scenarios.create_table(self.db)
        if fresh:
            seed.seed(self.db)
        self.slots = asyncio.Semaphore(config.max_connections)
        self.accepted = 0
        self.tasks = set()
        self.listener = None

    async def start(self):
        """Listen; returns the (host, port) actually bound."""
        self.listener = await asyncio.start_server(self._accept, self.config.host, self.config.port)
        return self.listener.sockets[0].getsockname()[:2]

    async def stop(self):
        self.listener.close()
        for task in list(self.tasks):
            task.cancel()
        await asyncio.gather(*self.tasks, return_exceptions=True)
        await self.listener.wait_closed()
        self.db.close()

    async def _accept(self, reader, writer):
        self.accepted += 1
        task = asyncio.current_task()
        self.tasks.add(task)
        try:
            # Beyond max_connections a client waits here, unanswered, until a slot frees.
            async with self.slots:
                await Connection(self, self.accepted, reader, writer).run()
        finally:
            self.tasks.discard(task)


class Connection:
    def __init__(self, server, number, reader, writer):
        self.server, self.config, self.db = server, server.config, server.db
        self.id, self.spid = number, 50 + number % 32000
        self.reader, self.writer = reader, writer
        self.version = TDS74
        self.packet_size = tds.DEFAULT_PACKET_SIZE
        self.user = None
        self.settled = False  # the point right after login has passed
        self.inbox = asyncio.Queue()

    server_name = SERVER_NAME

    def log(self, fmt, *args):
        log.info("conn %d " + fmt, self.id, *args)

    async def run(self):
        self.log("open from %s", self.writer.get_extra_info("peername"))
        pump = asyncio.create_task(self._pump())
        try:
            if await self._login():
                while await self._request():
                    pass
        except ClientGone:
            self.log("closed by the client")
        except (tds.ProtocolError, ConnectionError) as exc:
            self.log("dropped: %s", exc)
        except Exception:
            log.exception("conn %d internal error", self.id)
        finally:
            pump.cancel()
            self.__dict__.get("engine") and self.engine.close()  # rolls back an open transaction
            self.writer.close()
            try:
                await self.writer.wait_closed()
            except (ConnectionError, OSError):
                pass

    async def _pump(self):
        """Read messages into the inbox, so that an ATTENTION is seen even while a batch waits."""
        try:
            while True:
                await self.inbox.put(await tds.read_message(self.reader))
        except (asyncio.IncompleteReadError, ConnectionError):
            await self.inbox.put(None)
        except tds.ProtocolError as exc:
            await self.inbox.put(exc)

    async def _next(self):
        message = await self.inbox.get()
        if message is None:
            raise ClientGone()
        if isinstance(message, Exception):
            raise message
        return message

    async def _send(self, payload):
        self.writer.write(tds.frame(payload, self.packet_size, self.spid))
        await self.writer.drain()

    async def _pause(self, seconds):
        """Wait before answering.  False if the client cancelled the request (ATTENTION)."""
        if seconds <= 0:
            return True
        try:
            kind, _ = await asyncio.wait_for(self._next(), seconds)
        except asyncio.TimeoutError:
            return True
        if kind != tds.ATTENTION:
            raise tds.ProtocolError(f"request type {kind:#04x} while a request is running")
        self.log("attention: request cancelled")
        await self._send(tds.done(tds.DONE_ATTN, version=self.version))
        return False

    def _scenario(self, actions, serial=None, proc=None):
        row = scenarios.take(self.db, actions, self.user, serial, proc)
        if row is not None:
            self.log("scenario %d fires: %s", row["id"], row["action"])
        return row

    # ------------------------------------------------------------ login

    async def _login(self):
        kind, payload = await self._next()
        if kind == tds.PRELOGIN:
            options = logins.parse_prelogin(payload)
            await self._send(logins.prelogin_reply())
            encryption = logins.client_encryption(options)
            if encryption in (logins.ENCRYPT_ON, logins.ENCRYPT_REQ):
                self.log("refused: the client requires encryption (PRELOGIN ENCRYPTION %#04x), "
                         "which this server does not offer", encryption)
                return False
            kind, payload = await self._next()
        if kind != tds.LOGIN7:
            raise tds.ProtocolError(f"expected LOGIN7, got request type {kind:#04x}")
        login = logins.parse_login7(payload)
        self.user, self.version = login.user, min(login.tds_version, TDS74)
        self.log("login user=%r database=%r app=%r host=%r tds=%#010x", login.user, login.database,
                 login.app, login.host, login.tds_version)
        if self.version < tds.TDS71:
            self.version = tds.TDS71
            return await self._refuse(f"TDS version {login.tds_version:#010x} is not supported; "
                                      "use 7.1 or later.")
        if login.user.casefold() != self.config.user.casefold() or login.password != self.config.password:
            return await self._refuse(reason="wrong user name or password")
        if login.database and login.database.casefold() != self.config.database.casefold():
            # SQL Server names the database first (4060), then refuses the login (18456).
            return await self._refuse(reason=f"no database {login.database!r}",
                                      prefix=tds.error(4060, 11, engines.cut_message(
                                          f'Cannot open database "{login.database}" requested by '
                                          'the login. The login failed.'), 1, SERVER_NAME, "", 1,
                                          self.version))
        scenario = self._scenario(scenarios.AT_LOGIN)
        if scenario is not None:
            if not await self._pause(scenario["delay"]):
                return False
            return await self._refuse(scenario["text"], scenario["code"] or 18456, "scenario")
        packet_size = logins.negotiated_packet_size(login)
        await self._send(logins.login_accepted(self.config.database, self.server.collation,
                                               packet_size, self.version))
        self.packet_size = packet_size  # from the next reply on
        return True

    async def _refuse(self, message=None, number=18456, reason=None, prefix=b""):
        self.log("login refused: %s", reason or message)
        await self._send(prefix + logins.login_failed(self.user, self.version, message, number))
        return False

    def _drop_after_login(self):
        """The drop_after_login scenario that fires at the first request after login, if any."""
        if self.settled:
            return None
        self.settled = True
        return self._scenario(scenarios.AFTER_LOGIN)

    # ------------------------------------------------------------ requests

    def _engine(self):
        engine = self.__dict__.get("engine")
        if engine is None:
            engine = self.engine = engines.Engine(self)
        return engine

    async def _request(self):
        """Serve one request; False when the connection is to be closed."""
        kind, payload = await self._next()
        if kind == tds.ATTENTION:  # nothing is running: just acknowledge
            await self._send(tds.done(tds.DONE_ATTN, version=self.version))
            return True
        engine = self._engine()
        self.drop_partial = self.answer_columns = None
        try:
            if kind == tds.SQL_BATCH:
                text = batches.decode_batch(payload, self.version)
                served = await self._use_batch(text)
                if served is not None:
                    return served
                reply = await engine.batch(text)
            elif kind == tds.RPC:
                reply = await engine.rpc(payload)
            elif kind == tds.TRANSACTION_MANAGER:
                reply = engine.transaction_request(payload)
            else:
                raise tds.ProtocolError(f"unsupported request type {kind:#04x}")
        except engines.Stop as stop:
            return stop.keep_open
        except (tds.ProtocolError, ConnectionError, asyncio.CancelledError, ClientGone):
            raise
        except Exception as exc:  # a fault of this server: answered, and the connection kept
            log.exception("conn %d internal error", self.id)
            reply = self._error(50000, f"MES simulator internal error: {exc!r}")
        if self.drop_partial is not None:
            data = tds.frame(reply, self.packet_size, self.spid)
            sent = min(self.drop_partial, len(data) - 1)
            self.writer.write(data[:sent])
            await self.writer.drain()
            self.log("dropped mid-batch after %d bytes", sent)
            return False
        await self._send(reply)
        return True

    async def _use_batch(self, text):
        """The `use [db]` batch a client sends while connecting: None if text is another batch,
        else whether the connection stays open."""
        if len(text) > 300 or "use" not in text.casefold():
            return None
        try:
            statements = batches.parse_batch(text)
        except batches.SqlError:
            return None
        if len(statements) != 1 or statements[0][0] != "use":
            return None
        database = statements[0][1]
        self.log("batch=use database=%r", database)
        if database.casefold() != self.config.database.casefold():
            await self._send(self._error(911, f"Database '{database}' does not exist. "
                                              "Make sure that the name is entered correctly."))
            return True
        # A drop is decided before the answer so that the close follows it at once: the
        # client then sees the connection closed before it can send the station's batch.
        drop = self._drop_after_login()
        if drop is not None:
            await self._pause(drop["delay"])
            self.log("dropped after login, with the answer to use")
        await self._send(tds.env_database(self.config.database, self.config.database)
                         + tds.done(tds.DONE_FINAL, version=self.version))
        return drop is None

    async def procedure(self, proc, args, transaction):
        """Run a MES procedure for any request: (code, feedback).  Scenarios apply here."""
        self.log("batch=%s params=%r", proc.name, args)
        drop = self._drop_after_login()  # when the client sent no use batch
        if drop is not None:
            await self._pause(drop["delay"])
            self.log("dropped after login, without an answer")
            raise engines.Stop(keep_open=False)
        scenario = self._scenario(scenarios.AT_BATCH, args[0], proc.name)
        action = scenario["action"] if scenario else None
        if scenario is not None and not await self._pause(scenario["delay"]):
            raise engines.Stop(keep_open=True)
        if action == "error":
            err = batches.SqlError(scenario["code"] or 50000, scenario["text"] or "",
                                   scenario["severity"], scenario["state"])
            err.procedure = proc.name
            raise err
        if action in (None, "delay"):
            if proc.name in mes.WRITES:
                await self._wait_for_writers(transaction)
            try:
                db = self.db if transaction is None else transaction.connection(
                    self.db, proc.name in mes.WRITES)
                return mes.call(db, proc.name, args)
            except sqlite3.Error as exc:  # the file locked by a test for too long, say
                self.log("MES database error: %s", exc)
                raise batches.SqlError(50000, f"MES database error: {exc}") from None
        if action == "drop_mid_batch":
            self.drop_partial = scenario["partial"]
        self.answer_columns = scenario["columns"]
        return scenario["code"], scenario["text"]

    async def _wait_for_writers(self, transaction):
        """Wait, without holding up other connections, while another client's transaction holds
        the MES's write lock: as long as SET LOCK_TIMEOUT says (milliseconds), LOCK_WAIT by
        default; then SQL Server's lock time-out error."""
        loop = asyncio.get_running_loop()
        timeout = self.engine.lock_timeout
        deadline = loop.time() + (LOCK_WAIT if timeout is None or timeout < 0 else timeout / 1000)
        while mes.Transaction.writer_besides(transaction):
            if loop.time() >= deadline:
                raise batches.SqlError(1222, "Lock request time out period exceeded.", state=51)
            await asyncio.sleep(0.01)

    def _error(self, number, text, severity=16, state=1, procedure=""):
        return (tds.error(number, severity, engines.cut_message(text), state, SERVER_NAME,
                          procedure, 1, self.version)
                + tds.done(tds.DONE_ERROR, version=self.version))
