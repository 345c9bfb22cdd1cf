"""The TDS server: one coroutine per client connection, run inside the socket's callbacks while
it waits only for the client's bytes and as an asyncio task from the first time it waits for
anything else (wire.channel.Inline).  SQLite: the station's procedures
read on a read-only connection at once and write on the database thread (run_db,
Connection._mes_call); every other client's work on the tables, its transaction included,
runs on a thread and connection of its own (Connection.run_sql), bounded in time and stopped
by ATTENTION or the client's close; who holds the write lock is decided on the event loop
(Server.lock)."""

import asyncio
import errno
import functools
import logging
import os
import socket
import sqlite3
import ssl
from dataclasses import dataclass

from . import engine as engines
from . import threads
from .errors import ProtocolError, SqlError
from .mes import procedures as mes
from .mes import recorder, scenarios, seed
from .sql import batch as batches
from .sql import interrupt
from .wire import login as logins
from .wire import tds
from .wire.channel import Channel, Inline, Socket
from .wire.tls import TlsStream, TlsWriter, make_tls_context

log = logging.getLogger("mes_simulator")


def write_log(line):
    """One line of the connection log; the command line puts a faster writer in its place."""
    log.info("%s", line)


SERVER_NAME = "MESSIM"
TDS74 = 0x74000004
ACCEPT_BACKLOG = 100  # the listen queue, and the most accepted per turn of the loop


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
    login_timeout: float = 15.0     # seconds from the TCP connect to the end of the login
    idle_timeout: float = 600.0     # seconds a logged-in client may send nothing
    read_timeout: float = 30.0      # seconds a request may take to arrive once begun, and a
                                    # reply to be read once the client is sent more than it reads
    max_batch_size: int = 65536     # bytes of one request (SQL batch, RPC)
    lock_timeout: float = 2.0       # seconds a statement waits for a lock held by another writer
    statement_timeout: float = 60.0  # seconds a request's work on the tables may take
    deny_execute: bool = False      # the login may not run the MES procedures
    login_delay: float = 0.0        # seconds every login waits before it is answered
    upstream: object = None         # recorder.Upstream: the real MES the procedures go to
    tls: str = "client"             # "client": TLS when the client requires it; "login": also
                                    # login-only TLS when it merely offers it; "off": never

# Replies a client has not read yet, in bytes: beyond this the server waits (read_timeout at most).
UNREAD_HIGH = 256 * 1024


def _call_waiting(db, seconds, name, args, usual):
    """mes.call on the database thread's connection, waiting at most seconds for a lock held
    outside this server (then usual seconds again, for what comes next)."""
    if seconds == usual:
        return mes.call(db, name, args)
    db.execute(f"PRAGMA busy_timeout = {int(seconds * 1000)}")
    try:
        return mes.call(db, name, args)
    finally:
        db.execute(f"PRAGMA busy_timeout = {int(usual * 1000)}")


class ClientGone(Exception):
    """The client closed the connection."""


class _Write:
    """The write lock's holder while one statement outside a transaction writes."""

    locking = False


def _writing(conn, wait, function, args):
    """function(conn, *args) waiting at most wait seconds for a lock held outside this server."""
    conn.execute(f"PRAGMA busy_timeout = {int(wait * 1000)}")
    return function(conn, *args)


def _in_transaction(conn, transaction, wait, function, args):
    """function(conn, *args) inside the client's transaction, begun here at its first write."""
    transaction.begin(conn, wait)
    return function(conn, *args)


def _end(conn, transaction, how):
    transaction.end(how)


class Server:
    def __init__(self, config):
        self.config = config
        self.collation = logins.collation_for(config.codepage)
        fresh = not os.path.exists(config.db)
        self.db = mes.connect(config.db)
        scenarios.create_table(self.db)
        if fresh:
            seed.seed(self.db)
        self.db.execute(f"PRAGMA busy_timeout = {int(config.lock_timeout * 1000)}")
        self.database = threads.DatabaseThread()
        # Reads go on at once beside a writer's lock (WAL), so they may run on the event loop.
        self.read_db = mes.connect(config.db)
        self.read_db.execute("PRAGMA query_only = 1")
        self.read_db.execute("PRAGMA busy_timeout = 0")
        self.scenarios = scenarios.Watch(self.read_db)
        self.tls = make_tls_context() if config.tls != "off" else None
        self.writer = None     # the client transaction (mes.Transaction) holding the write lock
        self.unlocked = None   # asyncio.Event: set while no client transaction holds it
        self.active = self.refusing = 0  # connections served; over the limit, being refused
        self.accepted = 0
        self.runs = set()      # the connections' coroutines (Inline), until each has ended
        # The connections' time limits are looked at every this many seconds (a tenth of the
        # shortest, a second at most) by one timer, while there are connections.
        self.timed = set()
        self.ticker = None
        self.tick_every = min(1.0, max(0.01, min(config.login_timeout, config.idle_timeout,
                                                 config.read_timeout) / 10))
        self.listener = []     # the listening sockets

    async def run_db(self, function, *args):
        """function(connection, *args), e.g. run_db(mes.call, name, args), without ever making
        the event loop wait for a lock: first at once on a read-only connection; if it must
        write, or finds a lock in its way, on the database thread (threads.DatabaseThread)."""
        try:
            return function(self.read_db, *args)
        except sqlite3.OperationalError:
            if self.read_db.in_transaction:
                self.read_db.rollback()
        await self.lock(None, self.config.lock_timeout)
        return await self.database.run(function, self.db, *args)

    async def lock(self, transaction, seconds):
        """Wait, on the event loop, until no client transaction holds SQLite's write lock (but
        this one): seconds at most, then SQL Server's lock time-out.  With a transaction, the
        lock is then its own until release().  Returns the seconds left.

        The database thread thus never waits for a lock that only a later job of its own would
        free: a write is handed to it only while no transaction holds the lock, and a
        transaction's COMMIT or ROLLBACK is queued before the lock is given to anyone else."""
        if self.writer is None or self.writer is transaction:
            left = seconds
        else:
            loop = asyncio.get_running_loop()
            deadline = loop.time() + seconds
            while self.writer is not None and self.writer is not transaction:
                left = deadline - loop.time()
                if left <= 0:
                    raise SqlError(1222, "Lock request time out period exceeded.",
                                           state=51)
                try:
                    await asyncio.wait_for(self.unlocked.wait(), left)
                except asyncio.TimeoutError:
                    pass
            left = max(0.0, deadline - loop.time())
        if transaction is not None:
            self.writer, transaction.locking = transaction, True
            self.unlocked.clear()
        return left

    def release(self, transaction, how):
        """End a transaction that took the lock (how: "COMMIT" or "ROLLBACK") on its client's
        thread and pass the lock on once it has ended; returns a future of the end, which no
        one need await."""
        transaction.locking = False
        done = asyncio.get_running_loop().create_future()
        if transaction.thread is None:  # it never got as far as its BEGIN
            done.set_result(None)
            self.unlock(transaction)
            return done

        def ended(job):
            self.unlock(transaction)
            failed, outcome = job.result()
            if failed:
                done.set_exception(outcome)
            else:
                done.set_result(outcome)
        transaction.thread.submit(None, _end, transaction, how).add_done_callback(ended)
        return done

    def tick(self):
        """Look at the connections' time limits every tick_every seconds while there are any:
        one timer for all, where timers of each connection's own, made and cancelled on every
        connect, took a large part of a short connection's work."""
        if self.ticker is None:
            self.ticker = asyncio.get_running_loop().call_later(self.tick_every, self._ticked)

    def _ticked(self):
        self.ticker = None
        if self.timed:
            now = asyncio.get_running_loop().time()
            for conn in list(self.timed):
                conn.past_deadline(now)
            self.tick()

    def unlock(self, holder):
        """The write lock is free again (if holder had it)."""
        if self.writer is holder:
            self.writer = None
            self.unlocked.set()

    async def start(self):
        """Listen; returns the (host, port) actually bound."""
        self.unlocked = asyncio.Event()
        self.unlocked.set()
        loop = asyncio.get_running_loop()
        self.listener = await _listen(loop, self.config.host, self.config.port)
        for sock in self.listener:
            loop.add_reader(sock.fileno(), self._accepting, loop, sock)
        return self.listener[0].getsockname()[:2]

    def _accepting(self, loop, sock):
        """The listening socket is readable: the connections waiting, each a Channel over a
        Socket, served by _serve."""
        for _ in range(ACCEPT_BACKLOG):
            try:
                conn, address = sock.accept()
                conn.setblocking(False)
            except (BlockingIOError, InterruptedError, ConnectionAbortedError):
                return
            except OSError as exc:
                if exc.errno not in (errno.EMFILE, errno.ENFILE, errno.ENOBUFS, errno.ENOMEM):
                    raise
                # Out of descriptors or memory: the socket stays readable, so it is left
                # alone a while rather than tried again at every turn of the loop.
                log.warning("accept: %s", exc)
                loop.remove_reader(sock.fileno())
                loop.call_later(1.0, self._accept_again, loop, sock)
                return
            channel = Channel(loop)
            try:
                writer = Socket(loop, conn, channel, address)
            except Exception:
                conn.close()
                raise
            self._serve(loop, channel, writer)

    def _accept_again(self, loop, sock):
        if sock in self.listener:  # still listening
            loop.add_reader(sock.fileno(), self._accepting, loop, sock)

    async def stop(self):
        loop = asyncio.get_running_loop()
        for sock in self.listener:
            loop.remove_reader(sock.fileno())
            sock.close()
        self.listener = []
        runs = list(self.runs)
        for run in runs:
            run.cancel()  # one waiting inline has ended by now; a task ends when it next runs
        await asyncio.gather(*(run.task for run in runs if run.task is not None),
                             return_exceptions=True)
        if self.ticker is not None:
            self.ticker.cancel()
        self.database.stop()
        self.read_db.close()
        self.db.close()

    def _serve(self, loop, channel, writer):
        """Serve a connection just accepted: its coroutine's first steps run here, up to its
        wait for the client's first message.  Beyond max_connections a client is answered
        with SQL Server's error and closed."""
        self.accepted += 1
        over = self.active >= self.config.max_connections
        if over and self.refusing >= self.config.max_connections:
            writer.transport.abort()  # a flood: not even the refusal is worth answering
            return
        if over:
            self.refusing += 1
        else:
            self.active += 1
        run = Inline(Connection(self, self.accepted, channel, writer, over).run(), channel, loop,
                     functools.partial(self._ended, over))
        self.runs.add(run)
        run.start()

    def _ended(self, over, run):
        self.runs.discard(run)
        if over:
            self.refusing -= 1
        else:
            self.active -= 1


async def _listen(loop, host, port):
    """Sockets listening on each address host names (as the event loop's create_server makes
    them); the server accepts on them itself."""
    infos = await loop.getaddrinfo(host or None, port, family=socket.AF_UNSPEC,
                                   type=socket.SOCK_STREAM, flags=socket.AI_PASSIVE)
    sockets = []
    try:
        for family, kind, proto, _name, address in dict.fromkeys(infos):
            sock = socket.socket(family, kind, proto)
            sockets.append(sock)
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            if family == socket.AF_INET6 and hasattr(socket, "IPPROTO_IPV6"):
                sock.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
            try:
                sock.bind(address)
            except OSError as exc:
                raise OSError(exc.errno, f"error while attempting to bind on address "
                                         f"{address!r}: {(exc.strerror or '').lower()}") from None
            sock.listen(ACCEPT_BACKLOG)
            sock.setblocking(False)
    except OSError:
        for sock in sockets:
            sock.close()
        raise
    return sockets


class Connection:
    def __init__(self, server, number, reader, writer, over_limit=False):
        self.server, self.config, self.db = server, server.config, server.db
        self.id, self.spid = number, 50 + number % 32000
        self.reader, self.writer = reader, writer
        self.version = TDS74
        self.packet_size = tds.DEFAULT_PACKET_SIZE
        self.user = None
        self.settled = False  # the point right after login has passed
        self.over_limit = over_limit
        self.stream = reader       # what requests are read from: the socket, or TLS over it
        self.reading = None        # a message being read while a request runs (its ATTENTION?)
        self.expired = None        # why a time limit closed the connection
        self.deadline = self.login_deadline = None
        self.idle = False          # waiting for the first byte of a request
        self.serving = False       # a request is being answered: the client is not idle
        self.loop = asyncio.get_running_loop()
        self.request = None        # sql.interrupt.Request of the request being answered
        self.session = None        # threads.SessionThread, from the first work on the tables
        self.streamed = 0          # packets of the reply being made that are sent already
        self.unsent = b""          # and what is ready of it but does not fill a packet
        writer.transport.set_write_buffer_limits(UNREAD_HIGH)

    server_name = SERVER_NAME

    @property
    def cancelled(self):
        """Whether the request being answered is to stop (ATTENTION, the close, its time up):
        what a loop over a client's statements looks at between two of them."""
        return self.request is not None and self.request.over() is not None

    def log(self, fmt, *args):
        write_log(f"conn {self.id} {fmt % args if args else fmt}")

    async def run(self):
        self.log("open from %s", self.writer.get_extra_info("peername"))
        self.login_deadline = self.loop.time() + self.config.login_timeout
        self.server.timed.add(self)
        self.server.tick()
        try:
            if await self._login():
                self.login_deadline = None
                while await self._request():
                    pass
        except (ClientGone, asyncio.IncompleteReadError, ConnectionError) as exc:
            self.log("%s", self.expired or ("closed by the client" if isinstance(exc, ClientGone)
                                            else f"dropped: {exc!r}"))
        except (ProtocolError, ssl.SSLError) as exc:
            self.log("dropped: %s", self.expired or exc)
        except Exception:
            log.exception("conn %d internal error", self.id)
        finally:
            self.server.timed.discard(self)
            if self.reading is not None:
                self.reading.cancel()
            if self.request is not None:
                self.request.stop("closed")
            engine = self.__dict__.pop("engine", None)
            if engine is not None:
                engine.close()  # rolls back an open transaction
            if self.session is not None:
                self.session.stop()  # after that rollback, which is queued on it
            self.writer.close()  # not waited for: the transport finishes it on its own
            # Nothing of a closed connection stays alive through a lingering reference cycle.
            self.stream = self.reader = self.reading = None

    def _expire(self, reason):
        """A time limit ran out: close at once, whatever the connection waits for."""
        if self.expired is None:
            self.expired = reason
            self.writer.transport.abort()

    def _deadline(self, seconds, reason=None):
        """Close the connection (reason) unless it is given another deadline within seconds;
        None: no deadline.  The server's tick looks at it (Server.tick)."""
        if seconds is None:
            self.deadline = None
            return
        self.deadline, self.deadline_reason = self.loop.time() + seconds, reason

    def past_deadline(self, now):
        """Close the connection if a time limit of its has run out by now."""
        if self.login_deadline is not None and now >= self.login_deadline:
            self._expire("login time-out")
        elif self.deadline is not None and now >= self.deadline:
            if self.idle and self.serving:  # the client waits for its answer (a lock, a delay)
                return  # idle again from the answer on (_request)
            self._expire(self.deadline_reason)

    async def _read(self):
        """Read one message.  Waiting for its first byte is limited by the idle time-out (and
        the login time-out until the login is done); the whole message must then arrive within
        the read time-out."""
        stream, limit = self.stream, self.config.max_batch_size
        if stream is not self.reader:  # TLS over the socket
            self._deadline(self.config.idle_timeout, "idle time-out")
            self.idle = True
            first = await stream.readexactly(1)
            self.idle = False
            self._deadline(self.config.read_timeout, "read time-out: a request arrived too slowly")
            try:
                return await tds.read_message(stream, first, limit)
            finally:
                self._deadline(None)
        if stream.buffer:
            message = stream.take(limit)
            if message is not None:  # all there already: no waiting, nothing to time
                return message
        else:
            self._deadline(self.config.idle_timeout, "idle time-out")
            self.idle = True
            await stream.arrival()
            self.idle = False
            message = stream.take(limit)
            if message is not None:  # it came whole, as requests usually do
                self.deadline = None
                return message
        self._deadline(self.config.read_timeout, "read time-out: a request arrived too slowly")
        try:
            while True:
                message = stream.take(limit)
                if message is not None:
                    return message
                await stream.arrival()
        finally:
            self._deadline(None)

    async def _message(self):
        """Read one message: (kind, payload); None when the client has closed the connection;
        the exception when the request was too large (answered in turn: the framing is intact)
        or the framing broken."""
        try:
            return await self._read()
        except (asyncio.IncompleteReadError, ConnectionError):
            return None
        except (ProtocolError, ssl.SSLError) as exc:
            exc.__traceback__ = None  # kept for later: it must not hold this frame
            return exc

    def _read_on(self):
        """The message being read, begun now if need be: while a request runs, so that its
        ATTENTION or the client's close is seen at once.  A read is never broken off (that
        would break the framing): what it brings is the next message _next() returns."""
        if self.reading is None:
            self.reading = asyncio.ensure_future(self._message())
        return self.reading

    async def _next(self):
        while True:
            reading, self.reading = self.reading, None
            if reading is None:  # no read ahead: read here, as _message() would
                try:
                    return await self._read()
                except (asyncio.IncompleteReadError, ConnectionError):
                    raise ClientGone() from None
                except tds.TooLarge as exc:
                    await self._too_large(exc)
                    continue
            message = await reading
            if message is None:
                raise ClientGone()
            if isinstance(message, tds.TooLarge):
                await self._too_large(message)
                continue
            if isinstance(message, Exception):
                try:
                    raise message
                finally:
                    message = None
            return message

    async def _too_large(self, exc):
        self.log("request too large: %s", exc)
        if exc.kind not in (tds.SQL_BATCH, 0x03, tds.BULK_LOAD):  # nothing else is that long
            raise ProtocolError(str(exc))
        await self._send(self._error(50000, f"The request of {exc.size} bytes is larger than this "
                                            f"server accepts ({self.config.max_batch_size} bytes)."))

    async def _send(self, payload):
        """Send a message, or the end of one whose beginning send_part() sent."""
        writer = self.writer
        if writer.transport.is_closing():  # closed by a time limit, or by the client
            raise ClientGone()
        if self.streamed:
            payload, self.unsent = self.unsent + payload, b""
            writer.write(self._packets(payload, True))
            self.streamed = 0
        else:
            writer.write(tds.frame(payload, self.packet_size, self.spid))
        if writer.transport.get_write_buffer_size() > UNREAD_HIGH:
            await self._drain()

    async def send_part(self, payload):
        """Send the beginning of a reply still being made: the packets it fills."""
        writer = self.writer
        if writer.transport.is_closing():
            raise ClientGone()
        data = self.unsent + payload
        room = self.packet_size - tds.HEADER_SIZE
        whole = len(data) - len(data) % room
        self.unsent = data[whole:]
        if whole:
            writer.write(self._packets(memoryview(data)[:whole], False))
            await self._drain()

    def _packets(self, data, last):
        room, spid, out = self.packet_size - tds.HEADER_SIZE, self.spid, []
        starts = range(0, len(data), room) if len(data) else (0,)
        for start in starts:
            chunk = data[start:start + room]
            self.streamed += 1
            status = tds.STATUS_EOM if last and start + room >= len(data) else 0
            out.append(tds.HEADER.pack(tds.REPLY, status, tds.HEADER_SIZE + len(chunk), spid,
                                       self.streamed & 0xFF, 0))
            out.append(chunk)
        return b"".join(out)

    async def _drain(self):
        writer = self.writer
        if writer.transport.get_write_buffer_size() > UNREAD_HIGH:
            # The client does not read its replies: wait a while, then give up on it.
            timer = self.loop.call_later(self.config.read_timeout, self._expire,
                                         "the client does not read its replies")
            try:
                await writer.drain()
            finally:
                timer.cancel()

    async def _pause(self, seconds):
        """Wait before answering.  False if the client cancelled the request (ATTENTION)."""
        if seconds <= 0:
            return True
        reading = self._read_on()
        done, _ = await asyncio.wait((reading,), timeout=seconds)
        if not done:
            return True
        kind, _ = await self._next()
        if kind != tds.ATTENTION:
            raise ProtocolError(f"request type {kind:#04x} while a request is running")
        self.log("attention: request cancelled")
        await self._send(tds.done(tds.DONE_ATTN, version=self.version))
        return False

    async def _scenario(self, actions, serial=None, proc=None, args=None):
        if not self.server.scenarios.any(actions):
            return None
        row = await self.server.run_db(scenarios.take, actions, self.user, serial, proc, args)
        if row is not None:
            self.log("scenario %d fires: %s", row["id"], row["action"])
        return row

    # ------------------------------------------------------------ login

    async def _login(self):
        kind, payload = await self._read()
        if kind == tds.PRELOGIN:
            options = logins.parse_prelogin(payload)
            encryption = logins.client_encryption(options)
            answer = self._encryption(encryption)
            await self._send(logins.prelogin_reply(answer))
            if answer == logins.ENCRYPT_NOT_SUP and encryption in (logins.ENCRYPT_ON, logins.ENCRYPT_REQ):
                self.log("refused: the client requires encryption (PRELOGIN ENCRYPTION %#04x), "
                         "which this server does not offer", encryption)
                return False
            if answer != logins.ENCRYPT_NOT_SUP:
                kind, payload = await self._tls(answer == logins.ENCRYPT_OFF)
            else:
                kind, payload = await self._next()
        if kind != tds.LOGIN7:
            raise ProtocolError(f"expected LOGIN7, got request type {kind:#04x}")
        login = logins.parse_login7(payload)
        self.user, self.version = login.user, min(login.tds_version, TDS74)
        self.log("login user=%r database=%r app=%r host=%r tds=%#010x", login.user, login.database,
                 login.app, login.host, login.tds_version)
        if self.version < tds.TDS71:
            self.version = tds.TDS71
            return await self._refuse(f"TDS version {login.tds_version:#010x} is not supported; "
                                      "use 7.1 or later.")
        if self.over_limit:
            limit = self.config.max_connections
            return await self._refuse(
                f"Could not connect because the maximum number of '{limit}' user connections has "
                "already been reached. The system administrator can use sp_configure to increase "
                "the maximum value. The connection has been closed.", 17809,
                f"{limit} connections are open already", severity=20)
        if login.user.casefold() != self.config.user.casefold() or login.password != self.config.password:
            return await self._refuse(reason="wrong user name or password")
        if login.database and login.database.casefold() != self.config.database.casefold():
            # SQL Server names the database first (4060), then refuses the login (18456).
            return await self._refuse(reason=f"no database {login.database!r}",
                                      prefix=tds.error(4060, 11, engines.cut_message(
                                          f'Cannot open database "{login.database}" requested by '
                                          'the login. The login failed.'), 1, SERVER_NAME, "", 1,
                                          self.version))
        scenario = await self._scenario(scenarios.AT_LOGIN)
        if scenario is not None:
            if not await self._pause(scenario["delay"]):
                return False
            return await self._refuse(scenario["text"], scenario["code"] or 18456, "scenario")
        if self.config.login_delay:
            await asyncio.sleep(self.config.login_delay)
        packet_size = logins.negotiated_packet_size(login)
        await self._send(logins.login_accepted(self.config.database, self.server.collation,
                                               packet_size, self.version))
        self.packet_size = packet_size  # from the next reply on
        return True

    async def _refuse(self, message=None, number=18456, reason=None, severity=14, prefix=b""):
        self.log("login refused: %s", reason or message)
        await self._send(prefix + logins.login_failed(self.user, self.version, message, number,
                                                      severity))
        return False

    def _encryption(self, client):
        """The server's ENCRYPTION answer to the client's: TLS for the whole session when the
        client requires it; for the login alone when it offers it and --tls is "login"."""
        if self.server.tls is None or client == logins.ENCRYPT_NOT_SUP:
            return logins.ENCRYPT_NOT_SUP
        if client in (logins.ENCRYPT_ON, logins.ENCRYPT_REQ):
            return logins.ENCRYPT_ON
        return logins.ENCRYPT_OFF if self.config.tls == "login" else logins.ENCRYPT_NOT_SUP

    async def _tls(self, login_only):
        """The TLS handshake inside PRELOGIN packets; returns the LOGIN7 read through TLS."""
        tls = TlsStream(self.server.tls, self.reader)
        finished = False
        while not finished:
            kind, payload = await self._read()
            if kind != tds.PRELOGIN:
                raise ProtocolError(f"request type {kind:#04x} during the TLS handshake")
            out, finished = tls.handshake(payload)
            if out:
                self.writer.write(tds.frame(out, self.packet_size, self.spid, tds.PRELOGIN))
        self.stream = tls
        self.log("TLS %s (%s): %s", tls.tls.version(), tls.tls.cipher()[0],
                 "login only" if login_only else "whole session")
        if not login_only:
            self.writer = TlsWriter(self.writer, tls)  # whatever is written from now on
            return await self._next()
        message = await self._read()
        if not tls.drained:
            raise ProtocolError("data after the encrypted login")
        self.stream = self.reader  # back to plain TDS after the login packet
        return message

    async def _drop_after_login(self):
        """The drop_after_login scenario that fires at the first request after login, if any."""
        if self.settled:
            return None
        self.settled = True
        return await self._scenario(scenarios.AFTER_LOGIN)

    # ------------------------------------------------------------ requests

    def _engine(self):
        engine = self.__dict__.get("engine")
        if engine is None:
            engine = self.engine = engines.Engine(self)
        return engine

    async def _request(self):
        """Serve one request; False when the connection is to be closed."""
        kind, payload = await self._next()
        self.serving = True
        self.request = interrupt.Request(self.config.statement_timeout)
        try:
            if kind == tds.ATTENTION:  # nothing is running: just acknowledge
                await self._send(tds.done(tds.DONE_ATTN, version=self.version))
                return True
            engine = self._engine()
            self.drop_partial = self.answer_columns = self.batch_text = None
            try:
                if kind == tds.SQL_BATCH:
                    text = tds.decode_batch(payload, self.version)
                    self.batch_text = text  # what a recorder forwards as it came
                    served = await self._use_batch(text)
                    if served is not None:
                        return served
                    reply = await engine.batch(text)
                elif kind == tds.RPC:
                    reply = await engine.rpc(payload)
                elif kind == tds.TRANSACTION_MANAGER:
                    reply = await engine.transaction_request(payload)
                elif kind == tds.BULK_LOAD:
                    reply = await engine.bulk_load(payload)
                else:
                    raise ProtocolError(f"unsupported request type {kind:#04x}")
            except engines.Stop as stop:
                return stop.keep_open
            except (ProtocolError, ConnectionError, asyncio.CancelledError, ClientGone):
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
        finally:
            self.serving = False
            self.request = None
            if self.idle:  # no next request begun yet: idle from the answer on
                self._deadline(self.config.idle_timeout, "idle time-out")

    async def _use_batch(self, text):
        """The `use [db]` batch a client sends while connecting: None if text is another batch,
        else whether the connection stays open."""
        if len(text) > 300 or "use" not in text.casefold():
            return None
        try:
            statements = batches.parse_batch(text)
        except SqlError:
            return None
        if len(statements) != 1 or statements[0].kind != "use":
            return None
        database = statements[0].database
        self.log("batch=use database=%r", database)
        if database.casefold() != self.config.database.casefold():
            await self._send(self._error(911, f"Database '{database}' does not exist. "
                                              "Make sure that the name is entered correctly."))
            return True
        # A drop is decided before the answer so that the close follows it at once: the
        # client then sees the connection closed before it can send the station's batch.
        drop = await self._drop_after_login()
        if drop is not None:
            await self._pause(drop["delay"])
            self.log("dropped after login, with the answer to use")
        await self._send(tds.env_database(self.config.database, self.config.database)
                         + tds.done(tds.DONE_FINAL, version=self.version))
        return drop is None

    def log_call(self, proc, args):
        self.log("batch=%s params=%r", proc.name, args)

    def procedure_now(self, proc, args):
        """What procedure() answers, when that needs no waiting: a MES procedure that only
        reads, with no scenario to play, no recorder and no refusal.  None when the call must
        go through procedure(); nothing is done or logged then."""
        config = self.config
        if config.upstream is not None or config.deny_execute or proc.name in mes.WRITES:
            return None
        server = self.server
        if server.scenarios.any(scenarios.AT_BATCH) or not self.settled and \
                server.scenarios.any(scenarios.AFTER_LOGIN):
            return None
        db = server.read_db
        try:
            answer = mes.call(db, proc.name, args)
        except sqlite3.Error:
            if db.in_transaction:
                db.rollback()
            return None
        self.settled = True
        return answer

    async def procedure(self, proc, args, transaction):
        """Run a MES procedure for any request: (code, feedback).  Scenarios apply here."""
        self.log_call(proc, args)
        if self.config.upstream is not None:
            return await self._forward(proc, args)
        if self.config.deny_execute:
            err = SqlError(229, f"The EXECUTE permission was denied on the object "
                                        f"'{proc.name}', database '{self.config.database}', "
                                        "schema 'dbo'.", severity=14, state=5)
            err.procedure = proc.name
            raise err
        drop = await self._drop_after_login()  # when the client sent no use batch
        if drop is not None:
            await self._pause(drop["delay"])
            self.log("dropped after login, without an answer")
            raise engines.Stop(keep_open=False)
        scenario = await self._scenario(scenarios.AT_BATCH, args[0], proc.name,
                                        recorder.arguments_key(args))
        action = scenario["action"] if scenario else None
        if scenario is not None and not await self._pause(scenario["delay"]):
            raise engines.Stop(keep_open=True)
        if action == "error":
            err = SqlError(scenario["code"] or 50000, scenario["text"] or "",
                                   scenario["severity"], scenario["state"])
            err.procedure = proc.name
            raise err
        if action in (None, "delay"):
            try:
                return await self._mes_call(proc.name, args, transaction)
            except SqlError as err:  # a lock held too long (1222)
                self.log("MES database error: %s", err.text)
                err.procedure = proc.name
                raise
            except sqlite3.Error as exc:  # the file damaged, say
                self.log("MES database error: %s", exc)
                raise SqlError(50000, f"MES database error: {exc}") from None
        if action == "drop_mid_batch":
            self.drop_partial = scenario["partial"]
        self.answer_columns = scenario["columns"]
        return scenario["code"], scenario["text"]

    async def _forward(self, proc, args):
        """Recording: the call goes to the real MES, the MES's answer to the client, and the
        exchange into the scenarios table.  The station's batch goes as it came; a call made
        otherwise (RPC, EXEC) as the station's batch would have made it."""
        upstream, text = self.config.upstream, self.batch_text
        if text is not None and not batches.is_station_batch(text):
            text = None
        try:
            exchange = await self.loop.run_in_executor(None, upstream.call, proc.name, args, text)
        except recorder.Unreachable as exc:
            self.log("upstream %s unreachable, the client dropped: %s", upstream.address, exc)
            raise engines.Stop(keep_open=False)
        await self.server.database.run(recorder.record, self.server.db, proc.name, args,
                                       exchange)
        self.log("upstream %s: %s in %.3f s", proc.name, exchange.kind, exchange.seconds)
        if exchange.kind == "drop":
            raise engines.Stop(keep_open=False)
        if exchange.kind == "error":
            err = SqlError(exchange.code, exchange.text or "", exchange.severity,
                                   exchange.state)
            err.procedure = proc.name
            raise err
        return exchange.code, exchange.text

    async def _mes_call(self, name, args, transaction):
        """A MES procedure's SQLite work, never on the event loop's time: reads at once beside
        any writer; writes on the database thread, once no other client's transaction holds
        the write lock.  Inside a transaction, from its first write on, everything runs on the
        client's own connection (run_sql), which holds the lock until COMMIT or ROLLBACK."""
        server = self.server
        if transaction is None or not (name in mes.WRITES or transaction.locking):
            if name not in mes.WRITES:
                return await server.run_db(mes.call, name, args)
            wait = await server.lock(None, self._lock_wait())
            return await server.database.run(_call_waiting, self.db, wait, name, args,
                                             self.config.lock_timeout)
        return await self.run_sql(mes.call, name, args, write=name in mes.WRITES)

    async def run_sql(self, function, *args, write=False):
        """function(conn, *args): a client's work on the tables (a query, a write, a catalog
        read), on the client's own thread and SQLite connection (threads.SessionThread), so
        that it holds up neither the event loop nor the station's procedures.  It is bounded by
        the request's time (--statement-timeout: then SQL Server's query governor error 8649),
        and stopped by the client's ATTENTION (answered once it has stopped) or its close.

        write: function writes (and is all or nothing itself), so it first takes the write
        lock, waiting on the event loop as long as the session's lock time-out allows (then
        1222); inside a transaction, the transaction's lock, held until it ends."""
        server, transaction = self.server, self._engine().transaction
        if self.session is None:
            self.session = threads.SessionThread(self.config.db, mes.session)
        session, request = self.session, self.request
        if not write or (transaction is not None and transaction.locking):
            job = session.submit(request, function, *args)
        elif transaction is not None:
            wait = await server.lock(transaction, self._lock_wait())
            transaction.thread = session
            job = session.submit(request, _in_transaction, transaction, wait, function, args)

            def begun(_job):
                if transaction.conn is None:  # its BEGIN failed: the lock is not its own
                    server.release(transaction, "ROLLBACK")
            job.add_done_callback(begun)
        else:
            holder = _Write()
            wait = await server.lock(holder, self._lock_wait())
            job = session.submit(request, _writing, wait, function, args)
            job.add_done_callback(lambda _job: server.unlock(holder))
        failed, outcome = await self._attended(job)
        job = None
        if not failed:
            return outcome
        try:
            if not isinstance(outcome, interrupt.Interrupted):
                raise outcome
            raise self.timeout_error() from None
        finally:
            outcome = None

    def timeout_error(self):
        """SQL Server's query governor error, for a request that ran past --statement-timeout."""
        limit = self.config.statement_timeout
        self.log("statement time-out: the request ran past %g s", limit)
        return SqlError(
            8649, f"The query has been canceled because the estimated cost of this query "
                  f"({max(int(limit) + 1, 1)}) exceeds the configured threshold of "
                  f"{int(limit)}. Contact the system administrator.", 17)

    def watch_client(self):
        """For work that runs on the event loop itself (a WHILE): whether the client sent an
        ATTENTION or closed the connection since its request began; either stops the request.
        An ATTENTION stays read, to be acknowledged as the next message once the request's
        reply is sent; another request sent early is answered in turn."""
        reading = self._read_on()
        if not reading.done() or self.request is None:
            return
        message = reading.result()
        if message is None or isinstance(message, Exception):
            self.request.stop("closed")
        elif message[0] == tds.ATTENTION:
            self.request.stop("attention")

    async def _attended(self, job):
        """The outcome of a job of the session thread, watching the client meanwhile: its
        ATTENTION stops the request, which is answered (DONE with the attention bit) once the
        job has ended; its close stops it too."""
        if not job.done():
            reading = self._read_on()
            await asyncio.wait((job, reading), return_when=asyncio.FIRST_COMPLETED)
            if reading.done():
                message = reading.result()
                if message is not None and not isinstance(message, Exception) \
                        and message[0] != tds.ATTENTION:  # the next request, sent early
                    await asyncio.wait((job,))  # answered in turn (reading stays as it is)
                    return job.result()
                self.reading = None
                await self._interrupted(message, job)
        return job.result()

    async def _interrupted(self, message, job):
        """What came while a request runs: ATTENTION, the close, or broken framing."""
        request = self.request
        if message is None or isinstance(message, Exception):
            request.stop("closed")
            if message is None:
                self.log("closed by the client: its request stopped")
                raise ClientGone()
            raise message
        request.stop("attention")
        self.log("attention: request cancelled")
        await asyncio.wait((job,))
        await self._send(tds.done(tds.DONE_ATTN, version=self.version))
        raise engines.Stop(keep_open=True)

    def _lock_wait(self):
        """Seconds a write waits for a lock: SET LOCK_TIMEOUT's milliseconds, or --lock-timeout
        when it is not set or set to wait without end (-1)."""
        timeout = self.engine.lock_timeout
        return self.config.lock_timeout if timeout is None or timeout < 0 else timeout / 1000

    async def end_transaction(self, transaction, how):
        """COMMIT or ROLLBACK a transaction that has taken the write lock."""
        await self.server.release(transaction, how)

    def _error(self, number, text, severity=16, state=1, procedure=""):
        return (tds.error(number, severity, engines.cut_message(text), state, SERVER_NAME,
                          procedure, 1, self.version)
                + tds.done(tds.DONE_ERROR, version=self.version))
