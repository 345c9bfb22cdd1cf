"""Command line: python3 -m mes_simulator --port N --db FILE [options]."""

import argparse
import asyncio
import logging
import signal
import sys

from . import login
from .server import Config, Server


def parse_args(argv):
    p = argparse.ArgumentParser(prog="python3 -m mes_simulator",
                                description="MES database simulator speaking TDS (SQL Server).")
    p.add_argument("--host", default="127.0.0.1", help="address to listen on (127.0.0.1)")
    p.add_argument("--port", type=int, default=1433, help="TCP port; 0 picks a free one (1433)")
    p.add_argument("--db", required=True, help="SQLite file of the MES; created with demo data if missing")
    p.add_argument("--user", default="mes", help="login user name (mes)")
    p.add_argument("--password", default="mes", help="login password (mes)")
    p.add_argument("--database", default="MES", help="database name (MES)")
    p.add_argument("--codepage", default="gbk", choices=sorted(login.COLLATIONS),
                   help="code page of varchar data (gbk)")
    p.add_argument("--max-connections", type=int, default=64,
                   help="connections served at once; more wait for a free slot (64)")
    p.add_argument("--log", help="append the log here instead of standard error")
    return p.parse_args(argv)


async def serve(config):
    server = Server(config)
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
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
    logging.basicConfig(level=logging.INFO, format="%(asctime)s %(message)s", **target)
    config = Config(db=args.db, host=args.host, port=args.port, user=args.user,
                    password=args.password, database=args.database, codepage=args.codepage,
                    max_connections=max(1, args.max_connections))
    try:
        asyncio.run(serve(config))
    except KeyboardInterrupt:  # interrupted before the signal handlers were in place
        pass
    return 0
