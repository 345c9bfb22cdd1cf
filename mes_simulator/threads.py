"""The threads that run SQLite work off the event loop: the one database thread of the MES
procedures' writes, and each client's own session thread for the rest of its work on the tables."""

import asyncio
import ctypes
import gc
import logging
import os
import queue
import sqlite3
import threading
import time

from .errors import SqlError
from .sql import interrupt

log = logging.getLogger("mes_simulator")


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
    return SqlError(1222, "Lock request time out period exceeded.", 16, 51)


class SessionThread:
    """A client connection's own thread and SQLite connection, for the client's work on the
    tables (its queries, writes and transaction), so that a long statement holds up neither the
    event loop nor anyone else's SQLite work.  Made at the first job; stop() ends it after the
    jobs queued, rolling back what is left open and closing the SQLite connection.

        failed, outcome = await thread.submit(request, function, *args)  # function(conn, *args)

    The job runs with request current (sql.interrupt): when the request is stopped, SQLite's
    progress handler ends it, and it fails with Interrupted.  A lock held by
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
