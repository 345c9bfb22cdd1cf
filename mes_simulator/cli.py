"""Command line: python3 -m mes_simulator --port N --db FILE [options]."""

import argparse
import asyncio
import logging
import os
import signal
import sys
import time
import traceback

from . import server as servers
from .mes import recorder, site as site_settings
from .server import Config, Server
from .sql.collations import COLLATIONS


def parse_args(argv):
    p = argparse.ArgumentParser(prog="python3 -m mes_simulator",
                                description="MES database simulator speaking TDS (SQL Server).")
    p.add_argument("--host", default="127.0.0.1", help="address to listen on (127.0.0.1)")
    p.add_argument("--port", type=int, default=1433, help="TCP port; 0 picks a free one (1433)")
    p.add_argument("--db", required=True, help="SQLite file of the MES; created with demo data if missing")
    p.add_argument("--user", default="mes", help="login user name (mes)")
    p.add_argument("--password", default="mes", help="login password (mes)")
    p.add_argument("--database", default="MES", help="database name (MES)")
    p.add_argument("--codepage", default="gbk", choices=sorted(COLLATIONS),
                   help="code page of varchar data (gbk)")
    p.add_argument("--max-connections", type=int, default=64,
                   help="connections served at once; more are refused with error 17809 (64)")
    p.add_argument("--login-timeout", type=float, default=15,
                   help="seconds from connect to the end of the login (15)")
    p.add_argument("--idle-timeout", type=float, default=600,
                   help="seconds a logged-in client may stay silent (600)")
    p.add_argument("--read-timeout", type=float, default=30,
                   help="seconds a request may take to arrive, and a client to read its replies (30)")
    p.add_argument("--max-batch-size", type=int, default=65536,
                   help="bytes of one SQL batch or RPC request; longer ones get an error (65536)")
    p.add_argument("--lock-timeout", type=float, default=2,
                   help="seconds to wait for an SQLite lock held by another writer (2)")
    p.add_argument("--statement-timeout", type=float, default=60,
                   help="seconds a request's work on the tables may take; then error 8649 (60)")
    p.add_argument("--tls", choices=("client", "login", "off"), default="client",
                   help="client: TLS when the client requires it; login: also encrypt the login of "
                        "a client that merely offers TLS, as SQL Server does; off: no TLS (client)")
    p.add_argument("--log", help="append the log here instead of standard error")
    site = p.add_argument_group("a MES set up otherwise (to try the MES check against)")
    site.add_argument("--deny-execute", action="store_true",
                      help="the login may not run the two MES procedures (229)")
    site.add_argument("--login-delay", type=float, default=0, metavar="S",
                      help="seconds every login waits before it is answered (0)")
    site.add_argument("--parameter", action="append", default=[], metavar="PROC:N=DECL",
                      help="parameter N of a MES procedure declared otherwise, e.g. "
                           "uspSaveResult:3=@Employee nvarchar(50) (repeatable)")
    rec = p.add_argument_group(
        "recording a real MES: the station's two procedures go to it, its answers are kept")
    rec.add_argument("--upstream", metavar="HOST:PORT",
                     help="the real MES; each exchange is kept in --db as a scenario")
    rec.add_argument("--upstream-user", help="login there (default: --user)")
    rec.add_argument("--upstream-database", help="database there (default: --database)")
    rec.add_argument("--upstream-password",
                     help="password there (default: the environment's MES_UPSTREAM_PASSWORD, "
                          "which other users cannot read off the process list)")
    args = p.parse_args(argv)
    if args.upstream is not None:
        password = args.upstream_password
        if password is None:
            password = os.environ.get("MES_UPSTREAM_PASSWORD")
        if password is None:
            p.error("--upstream needs a password: MES_UPSTREAM_PASSWORD or --upstream-password")
        args.upstream = recorder.Upstream(args.upstream, args.upstream_user or args.user, password,
                                          args.upstream_database or args.database)
        args.upstream_password = None
    for spec in args.parameter:
        try:
            site_settings.change_parameter(spec)
        except ValueError as exc:
            p.error(f"--parameter: {exc}")
    return args


SWITCH_INTERVAL = 0.0005
MAX_LINE = 1000  # characters of one log line; the rest is cut


class _Format(logging.Formatter):
    """One line per record, cut to MAX_LINE characters; of a traceback, the exception and
    where it was raised."""

    def __init__(self):
        super().__init__("%(asctime)s %(message)s")

    def format(self, record):
        line = record.getMessage()
        if record.exc_info:
            exc = record.exc_info[1]
            where = traceback.extract_tb(exc.__traceback__)[-1:]
            at = f" at {os.path.basename(where[0].filename)}:{where[0].lineno}" if where else ""
            line += f" [{type(exc).__name__}: {exc}{at}]"
            record.exc_info = record.exc_text = None  # the cut text is what gets written
        if len(line) > MAX_LINE:
            line = f"{line[:MAX_LINE]}... ({len(line)} characters)"
        return f"{self.formatTime(record)} {line}".replace("\n", " ")


def setup_logging(target):
    # Where a record was made and which thread or process made it are never shown: not looked up.
    logging._srcfile = None
    logging.logThreads = logging.logProcesses = logging.logMultiprocessing = False
    logging.basicConfig(level=logging.INFO, **target)
    handler = logging.getLogger().handlers[0]
    handler.setFormatter(_Format())
    servers.write_log = _LineWriter(handler)


class _LineWriter:
    """The connection log's lines written straight to the log's stream, in the same format as
    the logging records, without their cost (a tenth of the server's time otherwise): each
    line one write to the file descriptor under the stream's lock, the stream's own buffer
    being empty there (the logging records flush it after each)."""

    def __init__(self, handler):
        self.handler, self.second, self.stamp = handler, None, ""
        stream = handler.stream
        try:
            self.fd = stream.fileno()
            self.encoding, self.errors = stream.encoding or "utf-8", stream.errors or "strict"
        except (AttributeError, OSError, ValueError):  # no file beneath it
            self.fd = None

    def __call__(self, line):
        now = time.time()
        second = int(now)
        if second != self.second:
            self.second, self.stamp = second, time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(second))
        if len(line) > MAX_LINE:
            line = f"{line[:MAX_LINE]}... ({len(line)} characters)"
        if "\n" in line:
            line = line.replace("\n", " ")
        line = f"{self.stamp},{int((now - second) * 1000):03d} {line}\n"
        with self.handler.lock:
            if self.fd is None:
                self.handler.stream.write(line)
                self.handler.stream.flush()
                return
            data = line.encode(self.encoding, self.errors)
            while data:
                data = data[os.write(self.fd, data):]


class _Quieter:
    """The event loop's own error reports (accept failing while descriptors run out, say),
    at most one a second, with a count of those left out."""

    def __init__(self):
        self.last, self.skipped = 0.0, 0

    def __call__(self, loop, context):
        now = loop.time()
        if now - self.last < 1.0:
            self.skipped += 1
            return
        skipped, self.last, self.skipped = self.skipped, now, 0
        exc = context.get("exception")
        logging.getLogger("mes_simulator").info(
            "event loop: %s%s%s", context.get("message"), f" ({exc!r})" if exc else "",
            f"; {skipped} more like it left out" if skipped else "")


async def serve(config):
    # A client's statement that runs Python on its own thread hands the interpreter back to the
    # event loop within this many seconds (Python's default: 0.005), so stations wait little.
    sys.setswitchinterval(SWITCH_INTERVAL)
    server = Server(config)
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    loop.set_exception_handler(_Quieter())
    for sig in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(sig, stop.set)
    host, port = await server.start()
    print(f"listening on {host}:{port}", flush=True)
    await stop.wait()
    logging.getLogger("mes_simulator").info("stopping")
    await server.stop()


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    target = {"filename": args.log, "encoding": "utf-8"} if args.log else {"stream": sys.stderr}
    setup_logging(target)
    config = Config(db=args.db, host=args.host, port=args.port, user=args.user,
                    password=args.password, database=args.database, codepage=args.codepage,
                    max_connections=max(1, args.max_connections),
                    login_timeout=args.login_timeout, idle_timeout=args.idle_timeout,
                    read_timeout=args.read_timeout, max_batch_size=max(512, args.max_batch_size),
                    lock_timeout=args.lock_timeout,
                    statement_timeout=args.statement_timeout, tls=args.tls,
                    deny_execute=args.deny_execute, login_delay=max(0.0, args.login_delay),
                    upstream=args.upstream)
    try:
        asyncio.run(serve(config))
    except KeyboardInterrupt:  # interrupted before the signal handlers were in place
        pass
    return 0
