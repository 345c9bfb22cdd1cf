"""The server process: command line, signals, connection limit, and raw TDS the driver never sends."""

import os
import re
import signal
import socket
import struct
import subprocess
import sys
import time

import pytest

from simulator_support import ROOT, connect_in_fresh_process, query
from mes_simulator.mes import procedures as mes, seed
from mes_simulator.testing import Simulator


def packet(kind, payload, status=0x01):
    return struct.pack(">BBHHBB", kind, status, 8 + len(payload), 0, 1, 0) + payload


def receive(sock):
    """One server message (all its packets); b"" when the server closed the connection."""
    payload = b""
    while True:
        header = sock.recv(8, socket.MSG_WAITALL)
        if len(header) < 8:
            return b""
        _kind, status, length = struct.unpack(">BBH", header[:4])
        payload += sock.recv(length - 8, socket.MSG_WAITALL)
        if status & 0x01:
            return payload


def prelogin(encryption):
    return struct.pack(">BHHBHHB", 0x00, 11, 6, 0x01, 17, 1, 0xFF) + bytes(6) + bytes([encryption])


def login7(user, password, database, version=0x74000004):
    fields = ["host", user, password, "tests", "server", "", "lib", "", database]
    pairs, data = b"", b""
    for n, value in enumerate(fields):
        raw = value.encode("utf-16-le")
        if n == 2:
            raw = bytes((((b << 4) | (b >> 4)) & 0xFF) ^ 0xA5 for b in raw)
        pairs += struct.pack("<HH", 94 + len(data), len(raw) // 2)
        data += raw
    end = 94 + len(data)
    return (struct.pack("<IIIIII", end, version, 4096, 7, 0, 0) + bytes(4)
            + struct.pack("<iI", 0, 0x409) + pairs + bytes(6)
            + struct.pack("<HHHHHHI", end, 0, end, 0, end, 0, 0) + data)


def raw_connection(sim, version=0x74000004):
    sock = socket.create_connection((sim.host, sim.port), timeout=30)
    sock.sendall(packet(0x12, prelogin(0x02)))
    receive(sock)
    sock.sendall(packet(0x10, login7("mes", "mes", "MES", version)))
    assert 0xAD in receive(sock)  # LOGINACK
    return sock


def test_client_that_requires_encryption_is_refused_without_tls():
    with Simulator(args=["--tls", "off"]) as sim:
        with socket.create_connection((sim.host, sim.port), timeout=30) as sock:
            sock.sendall(packet(0x12, prelogin(0x03)))
            reply = receive(sock)
            assert reply[reply[6] * 256 + reply[7]] == 0x02  # ENCRYPTION: not supported
            assert receive(sock) == b""
        assert "the client requires encryption (PRELOGIN ENCRYPTION 0x03)" in sim.log_text()
    sim.cleanup()


def test_attention_when_idle_is_acknowledged(sim):
    with raw_connection(sim) as sock:
        sock.sendall(packet(0x06, b""))
        assert receive(sock) == struct.pack("<BHHQ", 0xFD, 0x0020, 0, 0)  # DONE with ATTN


USE_DONE = struct.pack("<BHHQ", 0xFD, 0, 0, 0)


def use_batch(packets=1):
    """The `use [MES]` batch, its text over this many packets."""
    text = "use [MES]".encode("utf-16-le")
    headers = struct.pack("<IIHQI", 22, 18, 2, 0, 1)  # ALL_HEADERS: transaction descriptor
    if packets == 1:
        return packet(0x01, headers + text)
    return packet(0x01, headers + text[:5], status=0) + packet(0x01, text[5:])


def send_byte_by_byte(sock, data):
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    for n in range(len(data)):
        sock.sendall(data[n:n + 1])
        if n % 7 == 0:
            time.sleep(0.002)  # let some of them arrive on their own


@pytest.mark.parametrize("how", ["over packets", "byte by byte", "two in one write",
                                 "two in one write, over packets, byte by byte"])
def test_requests_however_their_bytes_arrive(sim, how):
    packets = 2 if "over packets" in how else 1
    data = use_batch(packets) * (2 if "two" in how else 1)
    with raw_connection(sim) as sock:
        if "byte by byte" in how:
            send_byte_by_byte(sock, data)
        else:
            sock.sendall(data)
        for _ in range(2 if "two" in how else 1):
            assert receive(sock).endswith(USE_DONE)
        sock.sendall(use_batch())  # and the framing intact after them
        assert receive(sock).endswith(USE_DONE)


def test_login_byte_by_byte(sim):
    with socket.create_connection((sim.host, sim.port), timeout=30) as sock:
        send_byte_by_byte(sock, packet(0x12, prelogin(0x02)))
        receive(sock)
        send_byte_by_byte(sock, packet(0x10, login7("mes", "mes", "MES")))
        assert 0xAD in receive(sock)  # LOGINACK
        sock.sendall(use_batch())
        assert receive(sock).endswith(USE_DONE)


def test_broken_framing_closes_only_that_connection(sim, conn):
    with socket.create_connection((sim.host, sim.port), timeout=30) as sock:
        sock.sendall(b"GET / HTTP/1.0\r\n\r\n")
        assert receive(sock) == b""
    assert query(conn, "SN0002", "FT2")[1] == 0


def test_client_over_the_connection_limit_is_refused():
    with Simulator(args=["--max-connections", "1"]) as sim:
        first = sim.connect()
        number, text = connect_in_fresh_process(sim.server, "mes", "mes", "MES")
        assert number == "17809"
        assert "maximum number of '1' user connections has already been reached" in text
        assert query(first, "SN0001")[1] == 0
        first.close()
        assert connect_in_fresh_process(sim.server, "mes", "mes", "MES") == ["connected"]
    sim.cleanup()


def test_command_line_start_and_sigint(tmp_path):
    db = tmp_path / "demo.db"
    process = subprocess.Popen([sys.executable, "-m", "mes_simulator", "--port", "0", "--db", str(db)],
                               cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               universal_newlines=True)
    try:
        line = process.stdout.readline()
        assert line.startswith("listening on 127.0.0.1:") and int(line.rsplit(":", 1)[1]) > 0
        process.send_signal(signal.SIGINT)
        assert process.wait(30) == 0
    finally:
        if process.poll() is None:
            process.kill()
        process.communicate()
    with mes.connect(str(db)) as check:  # created and seeded
        assert check.execute("SELECT count(*) FROM units").fetchone()[0] == len(seed.UNITS)


def test_seed_module_creates_the_demo_database(tmp_path):
    db = str(tmp_path / "seeded.db")
    assert seed.main([db]) == 0
    assert seed.main([db]) == 1  # an existing database is left alone
    with Simulator(db=db) as sim:
        assert len(sim.results()) == len(seed.RESULTS)
        assert sim.unit("SN0005")["status"] == "HOLD"
    assert os.path.exists(db)
    sim.cleanup()


# The station's batches, as the driver writes them, are answered without running their three
# statements one by one; the reply and the session's state must be those the statements give.
# The same text with one more blank at its end is run statement by statement.

def station_batch(procedure, serial):
    from mes_simulator.sql.batch import SAVE_RESULT, UNIT_QUERY
    if procedure == "uspSaveResult":
        return SAVE_RESULT % ("N'%s'" % serial, "'FT1'", "N'张三'", "N'一线'", "N'PASS'", "0")
    return UNIT_QUERY % ("N'%s'" % serial, "'FT1'", "N'张三'", "N'一线'")


def batch_packet(text, headers=True):
    return packet(0x01, (struct.pack("<IIHQI", 22, 18, 2, 0, 1) if headers else b"")
                  + text.encode("utf-16-le"))


def raw_replies(sim, setting, text):
    """On a new connection, after the setting: the raw reply to the batch, then to a SELECT of
    @@ROWCOUNT, @@ERROR and @@TRANCOUNT as they are after it.  A transaction's descriptor,
    new in each, is left out."""
    replies, version = [], 0x74000004
    if setting.startswith("TDS 7.1"):
        setting, version = setting[len("TDS 7.1"):].strip(), 0x71000001
    with raw_connection(sim, version) as sock:
        headers = version >= 0x72000000  # ALL_HEADERS from TDS 7.2 on
        if setting:
            sock.sendall(batch_packet(setting, headers))
            receive(sock)
        for request in (text, "SELECT @@ROWCOUNT, @@ERROR, @@TRANCOUNT"):
            sock.sendall(batch_packet(request, headers))
            replies.append(re.sub(b"\xe3\x0b\x00\x08\x08.{8}\x00", b"", receive(sock),
                                  flags=re.S))
    return replies


@pytest.mark.parametrize("setting", ["", "SET NOCOUNT ON", "SET IMPLICIT_TRANSACTIONS ON",
                                     "SET FMTONLY ON", "TDS 7.1", "TDS 7.1 SET NOCOUNT ON"])
@pytest.mark.parametrize("serial", ["SN0001", "SN0003", "NO-SUCH-UNIT", "it''s", ""])
def test_station_batch_answered_as_its_statements_answer_it(sim, setting, serial):
    from mes_simulator.sql.batch import station_call
    text = station_batch("uspGetUnitInfo", serial)
    assert station_call(text) is not None  # what "fast" measures is the direct answer
    fast, slow = raw_replies(sim, setting, text), raw_replies(sim, setting, text + " ")
    assert fast == slow
    assert len(fast[0]) > 40 or setting == "SET FMTONLY ON"


def test_station_batch_plays_a_scenario_added_after_the_login(sim):
    with raw_connection(sim) as sock:
        sock.sendall(batch_packet(station_batch("uspGetUnitInfo", "SN0001")))
        assert "may be tested".encode("utf-16-le") in receive(sock)
        scenario = sim.add_scenario("answer", serial="SN0001", text="scripted", code=7)
        sock.sendall(batch_packet(station_batch("uspGetUnitInfo", "SN0001")))
        assert "scripted".encode("utf-16-le") in receive(sock)
        assert sim.scenario_hits(scenario) == 1


ATTENTION_DONE = struct.pack("<BHHQ", 0xFD, 0x0020, 0, 0)


@pytest.mark.parametrize("after", ["attention", "save", "save and attention"])
def test_requests_sent_together_are_answered_in_order(sim, after):
    """A station's batch with what follows it in the same segment: an ATTENTION (nothing
    runs any more: acknowledged), a write (waits for the database thread) and more."""
    first = station_batch("uspGetUnitInfo", "SN0002")
    data = batch_packet(first)
    if "save" in after:
        data += batch_packet(station_batch("uspSaveResult", "SN0006"))
        data += batch_packet(first)
    if "attention" in after:
        data += packet(0x06, b"")
    with raw_connection(sim) as sock:
        sock.sendall(data)
        assert "SN0002".encode("utf-16-le") in receive(sock)
        if "save" in after:
            assert "SN0006".encode("utf-16-le") in receive(sock)
            assert "SN0002".encode("utf-16-le") in receive(sock)
        if "attention" in after:
            assert receive(sock) == ATTENTION_DONE
        sock.sendall(use_batch())  # and the connection goes on
        assert receive(sock).endswith(USE_DONE)


def test_stop_with_connections_waiting_and_working():
    with Simulator() as sim:
        sim.add_scenario("delay", serial="SN0001", delay=30, once=0)
        idle = raw_connection(sim)  # waits for its next request
        busy = raw_connection(sim)  # its request waits for the scenario's delay
        busy.sendall(batch_packet(station_batch("uspGetUnitInfo", "SN0001")))
        time.sleep(0.3)
        started = time.monotonic()
        assert sim.stop() == 0
        assert time.monotonic() - started < 10
        for sock in (idle, busy):
            assert receive(sock) == b""
            sock.close()
    sim.cleanup()
