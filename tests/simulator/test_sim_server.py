"""The server process: command line, signals, connection limit, and raw TDS the driver never sends."""

import os
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


def login7(user, password, database):
    fields = ["host", user, password, "tests", "server", "", "lib", "", database]
    pairs, data = b"", b""
    for n, value in enumerate(fields):
        raw = value.encode("utf-16-le")
        if n == 2:
            raw = bytes((((b << 4) | (b >> 4)) & 0xFF) ^ 0xA5 for b in raw)
        pairs += struct.pack("<HH", 94 + len(data), len(raw) // 2)
        data += raw
    end = 94 + len(data)
    return (struct.pack("<IIIIII", end, 0x74000004, 4096, 7, 0, 0) + bytes(4)
            + struct.pack("<iI", 0, 0x409) + pairs + bytes(6)
            + struct.pack("<HHHHHHI", end, 0, end, 0, end, 0, 0) + data)


def raw_connection(sim):
    sock = socket.create_connection((sim.host, sim.port), timeout=30)
    sock.sendall(packet(0x12, prelogin(0x02)))
    receive(sock)
    sock.sendall(packet(0x10, login7("mes", "mes", "MES")))
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
