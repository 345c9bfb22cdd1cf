"""TLS as SQL Server speaks it, and the threads that run SQLite work off the event loop.

TLS in TDS 7.x: the ENCRYPTION option of PRELOGIN decides; the TLS handshake then travels inside
PRELOGIN packets (type 0x12), and afterwards TLS records go on the wire as they are, carrying the
TDS packets.  With login-only encryption the client sends its LOGIN7 through TLS and everything
after it in plain TDS again.  SSLObject over memory buffers lets the server do this itself.
"""

import asyncio
import ctypes
import gc
import logging
import os
import queue
import shutil
import sqlite3
import ssl
import subprocess
import tempfile
import threading
import time

from . import batch as batches
from . import tds
from .sql import interrupt

log = logging.getLogger("mes_simulator")


def make_tls_context():
    """A server context with a self-signed certificate made now (Debian's openssl command);
    None, with a log line, when no certificate can be made."""
    openssl = shutil.which("openssl")
    if openssl is None:
        log.info("no TLS: the openssl command is missing")
        return None
    folder = tempfile.mkdtemp(prefix="mes-sim-tls-")
    cert, key = os.path.join(folder, "cert.pem"), os.path.join(folder, "key.pem")
    try:
        made = subprocess.run(
            [openssl, "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
             "-nodes", "-days", "3650", "-subj", "/CN=localhost", "-keyout", key, "-out", cert],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=60)
        if made.returncode != 0:
            log.info("no TLS: openssl failed: %s", made.stderr.decode(errors="replace").strip())
            return None
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    # SQL Server speaks TLS 1.2 inside TDS 7.x.  No session tickets: a ticket sent after the
    # handshake would reach a login-only client after it has gone back to plain TDS.
    context.maximum_version = ssl.TLSVersion.TLSv1_2
    context.options |= ssl.OP_NO_TICKET
    context.set_ciphers("DEFAULT:@SECLEVEL=1")
    return context


class Channel(asyncio.streams.FlowControlMixin):
    """A client connection's socket, as the event loop's protocol: what arrives is kept in one
    buffer, from which take() frames whole TDS messages at once, without a read call for each
    header and packet; read() and readexactly() give the bytes themselves (TLS records).  The
    writing side is an asyncio StreamWriter over the same transport, with its drain().

    accept(channel, writer) runs as the connection's task.  Once more than HIGH bytes wait
    to be taken, the socket is not read until they are (the client is then held back)."""

    HIGH = 256 * 1024

    def __init__(self, accept, loop):
        super().__init__(loop)
        self.accept = accept
        self.buffer = bytearray()
        self.framer = tds.Framer()
        self.transport = self.waiter = self.error = None
        self.eof = self.held = False

    def connection_made(self, transport):
        self.transport = transport
        self._loop.create_task(self.accept(self, asyncio.StreamWriter(transport, self, None,
                                                                     self._loop)))

    def connection_lost(self, exc):
        super().connection_lost(exc)
        self.eof = True
        if exc is not None:
            self.error = exc
        self._wake()

    def data_received(self, data):
        self.buffer += data
        if self.waiter is not None:
            self._wake()
        if not self.held and len(self.buffer) > self.HIGH:
            self.held = True
            self.transport.pause_reading()

    def eof_received(self):
        self.eof = True
        self._wake()
        return True  # the replies may still go out

    def _wake(self):
        waiter, self.waiter = self.waiter, None
        if waiter is not None and not waiter.done():
            waiter.set_result(None)

    def _taken(self):
        if self.held and len(self.buffer) <= self.HIGH:
            self.held = False
            self.transport.resume_reading()

    def take(self, limit):
        """The next whole message, (type, payload), if it has arrived; else None."""
        if self.error is not None:
            raise self.error
        message = self.framer.take(self.buffer, limit)
        if self.held:
            self._taken()
        return message

    async def arrival(self):
        """Wait for more bytes; at the end of the stream, what StreamReader raises there."""
        if self.error is not None:
            raise self.error
        if self.eof:
            raise asyncio.IncompleteReadError(bytes(self.buffer), None)
        self.waiter = self._loop.create_future()
        try:
            await self.waiter
        finally:
            self.waiter = None

    async def readexactly(self, n):
        while len(self.buffer) < n:
            if self.eof and self.error is None:
                partial = bytes(self.buffer)
                self.buffer.clear()
                raise asyncio.IncompleteReadError(partial, n)
            await self.arrival()
        data = bytes(self.buffer[:n])
        del self.buffer[:n]
        self._taken()
        return data

    async def read(self, n):
        while not self.buffer and not self.eof:
            await self.arrival()
        if self.error is not None:
            raise self.error
        data = bytes(self.buffer[:n])
        del self.buffer[:n]
        self._taken()
        return data


class TlsStream:
    """The reading side of a TLS session over a Channel: readexactly() gives plaintext."""

    def __init__(self, context, reader):
        self.reader = reader
        self.incoming, self.outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
        self.tls = context.wrap_bio(self.incoming, self.outgoing, server_side=True)
        self.buffer = bytearray()

    def handshake(self, data):
        """Feed the client's handshake bytes; returns (bytes to send back, finished?)."""
        self.incoming.write(data)
        try:
            self.tls.do_handshake()
            finished = True
        except ssl.SSLWantReadError:
            finished = False
        return self.outgoing.read(), finished

    def encrypt(self, data):
        self.tls.write(data)
        return self.outgoing.read()

    @property
    def drained(self):
        """Nothing received that has not been read: the client may go back to plain TDS."""
        return not self.buffer and not self.incoming.pending and not self.tls.pending()

    async def readexactly(self, n):
        while len(self.buffer) < n:
            try:
                chunk = self.tls.read(65536)
            except ssl.SSLWantReadError:
                data = await self.reader.read(65536)
                if not data:
                    raise asyncio.IncompleteReadError(bytes(self.buffer), n) from None
                self.incoming.write(data)
                continue
            except ssl.SSLZeroReturnError:  # the client's close_notify
                chunk = b""
            if not chunk:
                raise asyncio.IncompleteReadError(bytes(self.buffer), n)
            self.buffer += chunk
        data = bytes(self.buffer[:n])
        del self.buffer[:n]
        return data


class TlsWriter:
    """A StreamWriter whose write() goes through the TLS session; the rest is the plain one's."""

    def __init__(self, writer, stream):
        self._writer, self._stream = writer, stream

    def write(self, data):
        self._writer.write(self._stream.encrypt(data))

    def __getattr__(self, name):
        return getattr(self._writer, name)


class DatabaseThread:
    """One thread that runs every SQLite call, so that a lock wait never stalls the event loop.

        result = await server.database.run(mes.call, server.db, name, args)

    A lock held by someone else for longer than the connection's busy time-out becomes SQL
    Server's lock time-out, an SqlError 1222.  Other exceptions pass through unchanged.
    """

    def __init__(self):
        self.jobs = queue.SimpleQueue()
        self.thread = threading.Thread(target=self._work, name="mes-sqlite", daemon=True)
        self.thread.start()

    def stop(self):
        self.jobs.put(None)
        self.thread.join(30)

    def submit(self, function, *args):
        """Queue function(*args); returns a future of its outcome.  Jobs run in the order they
        were queued."""
        loop = asyncio.get_running_loop()
        future = loop.create_future()
        self.jobs.put((loop, future, function, args))
        return future

    async def run(self, function, *args):
        return await self.submit(function, *args)

    def _work(self):
        while True:
            job = self.jobs.get()
            if job is None:
                return
            loop, future, function, args = job
            try:
                outcome, failed = function(*args), False
            except sqlite3.OperationalError as exc:
                outcome, failed = exc, True
                if "locked" in str(exc) or "busy" in str(exc):
                    outcome = lock_error()
            except Exception as exc:  # handed to the waiting request
                outcome, failed = exc, True
            try:
                loop.call_soon_threadsafe(_settle, future, outcome, failed)
            except RuntimeError:  # the loop has closed meanwhile
                pass
            job = outcome = future = None  # keep nothing of a finished job alive


def _settle(future, outcome, failed):
    if future.cancelled():
        return
    if failed:
        future.set_exception(outcome)
    else:
        future.set_result(outcome)


NICE = 10  # of a client's session thread (Linux: a thread has a priority of its own)
HEAVY_JOB = 0.5  # seconds of a job after which the thread's end gives memory back


def _trim():
    """Give the memory a finished thread's work freed back to the system: C's allocator keeps
    it for the thread's arena otherwise, and a big query leaves it behind."""
    gc.collect()  # what the work left in reference cycles first
    if _malloc_trim is not None:
        _malloc_trim(0)


try:
    _malloc_trim = ctypes.CDLL(None).malloc_trim
except (OSError, AttributeError):  # not glibc
    _malloc_trim = None


def lock_error():
    return batches.SqlError(1222, "Lock request time out period exceeded.", 16, 51)


class SessionThread:
    """A client connection's own thread and SQLite connection, for the client's work on the
    tables (its queries, writes and transaction), so that a long statement holds up neither the
    event loop nor anyone else's SQLite work.  Made at the first job; stop() ends it after the
    jobs queued, rolling back what is left open and closing the SQLite connection.

        failed, outcome = await thread.submit(request, function, *args)  # function(conn, *args)

    The job runs with request current (sql.interrupt): when the request is stopped, SQLite's
    progress handler and the Python checkpoints end it with Interrupted.  A lock held by
    someone else past the connection's busy time-out becomes SQL Server's 1222.  The future
    holds the exception a job failed with as its result, never as its exception: whoever
    raises it again then holds the only reference to it (and to the job's frames it points to,
    with their rows), which goes as soon as it is handled."""

    def __init__(self, path, connect):
        self.path, self.connect = path, connect
        self.jobs = queue.SimpleQueue()
        self.thread = None

    def submit(self, request, function, *args):
        loop = asyncio.get_running_loop()
        future = loop.create_future()
        if self.thread is None:
            self.thread = threading.Thread(target=self._work, name="mes-session", daemon=True)
            self.thread.start()
        self.jobs.put((loop, future, request, function, args))
        return future

    def stop(self):
        """Let the thread finish its jobs and end; nothing waits for it."""
        if self.thread is not None:
            self.jobs.put(None)

    def _work(self):
        conn, heavy = None, False  # heavy: a job ran long, and may have left much memory
        try:
            # Behind the event loop for the processor: the stations' round trips come first.
            os.setpriority(os.PRIO_PROCESS, threading.get_native_id(), NICE)
        except (AttributeError, OSError):  # not Linux, or not allowed
            pass
        try:
            while True:
                job = self.jobs.get()
                if job is None:
                    return
                loop, future, request, function, args = job
                interrupt.begin(request)
                started = time.monotonic()
                try:
                    if conn is None:
                        conn = self.connect(self.path)
                        interrupt.progress(conn)
                    outcome, failed = function(conn, *args), False
                except sqlite3.OperationalError as exc:
                    outcome, failed = exc, True
                    reason = request.over() if request is not None else None
                    if reason is not None and "interrupt" in str(exc):
                        outcome = interrupt.Interrupted(reason)
                    elif "locked" in str(exc) or "busy" in str(exc):
                        outcome = lock_error()
                except interrupt.Interrupted as exc:
                    outcome, failed = exc.with_traceback(None), True  # where it stopped: no matter
                except Exception as exc:  # handed to the waiting request
                    outcome, failed = exc, True
                finally:
                    interrupt.end()
                    heavy = heavy or time.monotonic() - started >= HEAVY_JOB
                try:
                    loop.call_soon_threadsafe(_settle, future, (failed, outcome), False)
                except RuntimeError:  # the loop has closed meanwhile
                    pass
                job = outcome = future = function = args = None
        finally:
            if conn is not None:
                try:
                    if conn.in_transaction:  # the client left without COMMIT
                        conn.execute("ROLLBACK")
                except sqlite3.Error as exc:  # closing it rolls back all the same
                    log.info("rollback at close: %s", exc)
                finally:
                    conn.close()
            if heavy:  # a full collection takes a while: only when there may be much to free
                _trim()
