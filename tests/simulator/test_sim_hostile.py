"""Hostile clients: while and after each, a station is served at once, and after each the
server's memory is back."""

import os
import socket
import sqlite3
import struct
import threading
import time

import pytest
from pymssql import _mssql

from simulator_support import UNIT_QUERY, query, upload
from mes_simulator.testing import Simulator
from test_sim_server import packet, prelogin, raw_connection, receive

LIMIT = 8
STATEMENT_TIMEOUT = 5  # long enough for the station to be served first on a loaded machine
# Statements that run for ever over the catalog: no engine can narrow these joins down.
CROSS_JOIN = ("SELECT COUNT(*) FROM sys.types t0, sys.types t1, sys.types t2, sys.types t3, "
              "sys.types t4, sys.types t5 WHERE t0.name + t1.name + t2.name + t3.name + t4.name "
              "+ t5.name = 'none'")
SLOW_DELETE = ("DELETE FROM dbo.units WHERE EXISTS (SELECT 1 FROM sys.types t0, sys.types t1, "
               "sys.types t2, sys.types t3, sys.types t4, sys.types t5 WHERE t0.name + t1.name "
               "+ t2.name + t3.name + t4.name + t5.name = serial)")
HEADERS = struct.pack("<IIHQI", 22, 18, 2, 0, 1)  # ALL_HEADERS: transaction descriptor


def batch(text, size=4096):
    data = HEADERS + text.encode("utf-16-le")
    room = size - 8
    return b"".join(packet(0x01, data[i:i + room], int(i + room >= len(data)))
                    for i in range(0, len(data), room))


def until_closed(sock):
    try:
        while sock.recv(65536):
            pass
    except ConnectionResetError:
        pass


def idle_flood(sim):
    socks = [raw_connection(sim) for _ in range(3)]  # logged in, then silent
    socks += [socket.create_connection((sim.host, sim.port)) for _ in range(LIMIT + 3)]
    for sock in socks:  # the last ones are over the limit: closed as well, never left waiting
        until_closed(sock)
        sock.close()
    return ["idle time-out", "login time-out"]


def slow_sender(sim):
    with raw_connection(sim) as sock:
        try:
            for byte in batch("use [MES]"):
                sock.send(bytes([byte]))
                time.sleep(0.1)
        except OSError:  # cut off
            pass
        until_closed(sock)
    return ["read time-out: a request arrived too slowly"]


def oversized_batch(sim):
    with raw_connection(sim) as sock:
        sock.sendall(batch("SELECT '" + "x" * (1 << 20) + "'"))
        assert "larger than this server accepts (65536 bytes)".encode("utf-16-le") in receive(sock)
        sock.sendall(batch("use [MES]"))
        assert receive(sock).endswith(struct.pack("<BHHQ", 0xFD, 0, 0, 0))  # still usable
    return ["request too large: 20971"]


def unread_replies(sim):
    serial = sim.add_unit()
    sim.add_scenario("answer", serial=serial, text="长" * 4000, code=0, once=0)
    request = batch(UNIT_QUERY % (f"N'{serial}'", "'FT1'", "'E'", "'L'"))
    with raw_connection(sim) as sock:
        sock.settimeout(10)
        with pytest.raises(OSError):  # reset by the server once it gives up on this client
            for _ in range(100000):
                sock.sendall(request)
    return ["the client does not read its replies"]


def bad_packets(sim):
    for junk in (b"GET / HTTP/1.0\r\n\r\n", packet(0x01, b"x")[:5], packet(0x10, bytes(10)),
                 struct.pack(">BBHHBB", 0x12, 1, 4, 0, 1, 0),
                 packet(0x12, prelogin(0x01)) + packet(0x12, b"\x16\x03\x01\x00\x05hello")):
        with socket.create_connection((sim.host, sim.port)) as sock:
            sock.sendall(junk)
            sock.shutdown(socket.SHUT_WR)
            until_closed(sock)
    return ["not a TDS request", "bad packet length 4", "LOGIN7 too short", "SSL"]


def locked_database(sim):
    serial = sim.add_unit()
    locker = sqlite3.connect(sim.db, isolation_level=None, check_same_thread=False)
    locker.execute("BEGIN IMMEDIATE")
    conn = sim.connect()
    freed = threading.Timer(1.5, locker.close)
    try:
        for begin in (None, "BEGIN TRAN"):  # an upload of its own, a transaction's first one
            if begin:
                conn.execute_non_query(begin)
            with pytest.raises(_mssql.MSSQLDatabaseException) as caught:
                upload(conn, serial)
            assert caught.value.number == 1222
            assert "Lock request time out period exceeded." in str(caught.value)
        assert query(conn, serial)[1] == 0  # reading goes on meanwhile
        # The transaction goes on; it waits as long as the session says (past --lock-timeout).
        conn.execute_non_query("SET LOCK_TIMEOUT 10000")
        freed.start()
        assert upload(conn, serial)[1] == 0
    finally:
        freed.cancel()
        locker.close()
    conn.execute_non_query("COMMIT")
    conn.close()
    assert [r["verdict"] for r in sim.results(serial)] == ["PASS"]
    return ["MES database error: Lock request time out period exceeded."]


class Hostile(threading.Thread):
    """A statement run by a client of its own, in a thread: outcome is its rows or the
    exception it ended with."""

    def __init__(self, sim, statement):
        super().__init__(daemon=True)
        self.conn, self.statement = sim.connect(), statement
        self.outcome = None
        self.start()
        time.sleep(0.3)  # under way (if it is not yet, the station's calls below prove less)

    def run(self):
        try:
            self.conn.execute_query(self.statement)
            self.outcome = [tuple(row.values()) for row in self.conn]
        except Exception as exc:  # what the test looks at
            self.outcome = exc

    def ended(self):
        """The outcome, once the statement has ended (the server ends it)."""
        self.join(60)
        assert not self.is_alive(), "the hostile statement was never ended"
        return self.outcome


def station_served(sim, serial, upload_code=0):
    """The station's two procedures, answered while a hostile statement runs."""
    conn = sim.connect()
    try:
        assert query(conn, serial)[1] == 0
        if upload_code == 0:
            assert upload(conn, serial)[1] == 0
        else:
            with pytest.raises(_mssql.MSSQLDatabaseException) as caught:
                upload(conn, serial)
            assert caught.value.number == upload_code
    finally:
        conn.close()


def timed_out(outcome):
    assert isinstance(outcome, _mssql.MSSQLDatabaseException), outcome
    assert outcome.number == 8649
    assert f"exceeds the configured threshold of {STATEMENT_TIMEOUT}." in str(outcome)


def cross_join(sim):
    serial = sim.add_unit()
    hostile = Hostile(sim, CROSS_JOIN)
    station_served(sim, serial)
    assert hostile.is_alive()  # the station was served while it ran
    timed_out(hostile.ended())
    hostile.conn.close()
    return [f"statement time-out: the request ran past {STATEMENT_TIMEOUT} s", "error=8649"]


def huge_strings(sim):
    conn = sim.connect()
    row = conn.execute_row("SELECT LEN(REPLICATE('a', 2000000000)), DATALENGTH(SPACE(2000000000)),"
                           " LEN(REPLICATE(N'ab', 100000000)), CASE WHEN REPLICATE('a', 60) LIKE"
                           " '%a%a%a%a%a%a%a%b' THEN 1 ELSE 0 END")
    conn.close()
    assert [row[n] for n in range(4)] == [8000, 8000, 4000, 0]
    return []


def slow_delete(sim):
    serial = sim.add_unit()
    hostile = Hostile(sim, SLOW_DELETE)
    # Reading goes on; the upload waits for the DELETE's lock only --lock-timeout long.
    station_served(sim, serial, upload_code=1222)
    assert hostile.is_alive()
    timed_out(hostile.ended())
    hostile.conn.close()
    station_served(sim, serial)  # the lock is free again
    assert [r["verdict"] for r in sim.results(serial)] == ["PASS"]
    return [f"statement time-out: the request ran past {STATEMENT_TIMEOUT} s", "error=1222"]


def attention_mid_query(sim):
    serial = sim.add_unit()
    hostile = Hostile(sim, CROSS_JOIN)
    station_served(sim, serial)
    assert hostile.is_alive()
    hostile.conn.cancel()  # ATTENTION, as the driver sends it
    assert not isinstance(hostile.ended(), list)
    assert hostile.conn.execute_scalar("SELECT 1") == 1  # the connection goes on
    hostile.conn.close()
    return ["attention: request cancelled"]


def attention_mid_wait(sim):
    """An hour's WAITFOR holds up nobody, and ATTENTION ends it."""
    serial = sim.add_unit()
    hostile = Hostile(sim, "WAITFOR DELAY '01:00:00'")
    station_served(sim, serial)
    assert hostile.is_alive()
    hostile.conn.cancel()
    assert not isinstance(hostile.ended(), list)
    assert hostile.conn.execute_scalar("SELECT 1") == 1
    hostile.conn.close()
    return ["attention: the batch stops"]


def closed_mid_query(sim):
    serial = sim.add_unit()
    with raw_connection(sim) as sock:
        sock.sendall(batch(SLOW_DELETE))
        time.sleep(0.3)
        station_served(sim, serial, upload_code=1222)
    # Closing the connection ended the DELETE and freed its lock.
    waited = time.monotonic() + 10
    while True:
        try:
            station_served(sim, serial)
            break
        except AssertionError:
            if time.monotonic() > waited:
                raise
            time.sleep(0.2)
    return ["closed by the client: its request stopped"]


def big_result(sim):
    """A result of a few hundred kilobytes goes out while it is made, packet after packet."""
    some = "c.name IN ('int', 'bit', 'date', 'time')"
    conn = sim.connect()
    conn.execute_query("SELECT a.name, b.name, c.system_type_id FROM sys.types a CROSS JOIN "
                       "sys.types b CROSS JOIN (SELECT name, system_type_id FROM sys.types c "
                       f"WHERE {some}) c ORDER BY a.name, b.name, c.name")
    rows = [(row[0], row[1], row[2]) for row in conn]
    conn.execute_query("SELECT name, system_type_id FROM sys.types ORDER BY name")
    types = [(row[0], row[1]) for row in conn]
    conn.execute_query(f"SELECT c.system_type_id FROM sys.types c WHERE {some} ORDER BY c.name")
    chosen = [row[0] for row in conn]
    conn.close()
    assert len(chosen) == 4
    assert rows == [(a, b, c_id) for a, _ in types for b, _ in types for c_id in chosen]
    return []


# A result of 1 GiB: rows of 8000 bytes each, made as they are read.
HUGE_RESULT = ("WITH n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 131072) "
               "SELECT i, REPLICATE('x', 8000) AS s FROM n OPTION (MAXRECURSION 0)")


class Reader(Hostile):
    """A client that reads a result row by row, pausing now and then (within the server's
    read time-out), and stops reading after stop_after rows when told to: outcome is the
    number of rows it read, or (that number, the exception the result ended with)."""

    def __init__(self, sim, statement, stop_after=None):
        self.stop_after, self.read = stop_after, 0
        super().__init__(sim, statement)

    def run(self):
        try:
            self.conn.execute_query(self.statement)
            for _row in self.conn:
                self.read += 1
                if self.read % 2000 == 0:
                    time.sleep(0.02)
                if self.read == self.stop_after:
                    break
            self.outcome = self.read
        except Exception as exc:  # what the test looks at
            self.outcome = (self.read, exc)


def huge_result_read_slowly(sim):
    """A result far larger than the server's memory goes out while it is made: what the
    server holds of it stays small, and the station is answered meanwhile."""
    serial = sim.add_unit()
    with open(f"/proc/{sim.process.pid}/clear_refs", "w") as f:
        f.write("5")  # the peak below is this attack's
    before = status_kb(sim, "VmRSS")
    reader = Reader(sim, HUGE_RESULT)
    station_served(sim, serial)
    outcome = reader.ended()
    reader.conn.close()
    grown = status_kb(sim, "VmHWM") - before
    assert grown < 100 * 1024, "kB more at the peak"
    if outcome != 131072:  # the statement's time ran out on the way: rows first, then 8649
        read, exc = outcome
        assert read > 0, read
        timed_out(exc)
    assert [r["verdict"] for r in sim.results(serial)] == ["PASS"]
    return []


def attention_mid_stream(sim):
    # Few rows, so that even a loaded machine reads them well within the statement's time.
    reader = Reader(sim, HUGE_RESULT, stop_after=200)
    assert reader.ended() == 200
    reader.conn.cancel()  # ATTENTION with most of the result still to come
    assert reader.conn.execute_scalar("SELECT 1") == 1  # the connection goes on
    reader.conn.execute_query("SELECT TOP (3) i FROM (VALUES (1), (2), (3), (4)) v(i) ORDER BY i")
    assert [row[0] for row in reader.conn] == [1, 2, 3]
    reader.conn.close()
    return ["attention: "]


def status_kb(sim, field):
    with open(f"/proc/{sim.process.pid}/status") as f:
        return int(next(line for line in f if line.startswith(field + ":")).split()[1])


def rss_kb(sim):
    return status_kb(sim, "VmRSS")


@pytest.fixture(scope="module")
def limited():
    sim = Simulator(args=["--max-connections", str(LIMIT), "--login-timeout", "1", "--idle-timeout",
                          "1", "--read-timeout", "1", "--lock-timeout", "0.5",
                          "--statement-timeout", str(STATEMENT_TIMEOUT)])
    # The simulator is pure Python: a sanitizer's allocator (the whole run under one) would only
    # keep its freed memory in quarantine.
    preload = os.environ.pop("LD_PRELOAD", None)
    try:
        sim.start()
    finally:
        if preload is not None:
            os.environ["LD_PRELOAD"] = preload
    try:
        for _ in range(20):  # the baseline includes what every station call needs
            conn = sim.connect()
            query(conn, "SN0001")
            conn.close()
        sim.baseline = rss_kb(sim)
        yield sim
    finally:
        assert sim.stop() == 0
        sim.cleanup()


@pytest.mark.parametrize("attack", [idle_flood, slow_sender, oversized_batch, unread_replies,
                                    bad_packets, locked_database, cross_join, huge_strings,
                                    slow_delete, attention_mid_query, attention_mid_wait,
                                    closed_mid_query, big_result, huge_result_read_slowly,
                                    attention_mid_stream])
def test_server_survives(limited, attack):
    expected = attack(limited)
    limited.clear_scenarios()
    missing = lambda: [text for text in expected if text not in limited.log_text()]  # noqa: E731
    waited = time.monotonic() + 10  # for the server to log how it dealt with the attack
    while missing() and time.monotonic() < waited:
        time.sleep(0.05)
    assert missing() == []
    started = time.monotonic()
    conn = limited.connect()
    assert query(conn, "SN0001")[1] == 0
    conn.close()
    assert time.monotonic() - started < 1.0
    assert rss_kb(limited) - limited.baseline < 4096, "kB more than before"
