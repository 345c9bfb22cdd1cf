"""PRELOGIN and LOGIN7: what the client sends, and the server's answers."""

import codecs
import functools
import struct
from dataclasses import dataclass

from ..errors import ProtocolError
from ..sql.collations import COLLATIONS
from . import tds

# PRELOGIN option tokens and ENCRYPTION values.
VERSION, ENCRYPTION, TERMINATOR = 0x00, 0x01, 0xFF
ENCRYPT_OFF, ENCRYPT_ON, ENCRYPT_NOT_SUP, ENCRYPT_REQ = 0x00, 0x01, 0x02, 0x03

SERVER_VERSION = bytes([15, 0, 0x07, 0xD0])  # reported as 15.0.2000
PROGRAM_NAME = "Microsoft SQL Server"
LANGUAGE = "us_english"

def collation_for(codepage):
    return COLLATIONS[codecs.lookup(codepage).name][1]


# A client sends the same PRELOGIN and LOGIN7 bytes on each of its connections: short ones
# are read once.
_CACHED_SIZE = 1024


def _read_once(parse):
    """parse(payload), kept for the next connection that sends the same small message (what
    it returns is shared then, and never changed)."""
    cached = functools.lru_cache(maxsize=64)(parse)

    @functools.wraps(parse)
    def read(payload):
        if type(payload) is bytes and len(payload) <= _CACHED_SIZE:
            return cached(payload)
        return parse(payload)
    return read


@_read_once
def parse_prelogin(payload):
    """Return {option token: data} of a PRELOGIN message."""
    options, pos = {}, 0
    while pos < len(payload) and payload[pos] != TERMINATOR:
        if pos + 5 > len(payload):
            raise ProtocolError("truncated PRELOGIN option list")
        token, offset, length = struct.unpack_from(">BHH", payload, pos)
        if offset + length > len(payload):
            raise ProtocolError("PRELOGIN option outside the message")
        options[token] = payload[offset:offset + length]
        pos += 5
    return options


def client_encryption(options):
    value = options.get(ENCRYPTION, b"")
    return value[0] if value else ENCRYPT_OFF


@functools.lru_cache(maxsize=None)  # four answers at most
def prelogin_reply(encryption=ENCRYPT_NOT_SUP):
    """VERSION and the server's ENCRYPTION answer."""
    values = [(VERSION, SERVER_VERSION + b"\x00\x00"), (ENCRYPTION, bytes([encryption]))]
    offset = 5 * len(values) + 1
    head, data = b"", b""
    for token, value in values:
        head += struct.pack(">BHH", token, offset + len(data), len(value))
        data += value
    return head + bytes([TERMINATOR]) + data


@dataclass(frozen=True)
class Login:
    tds_version: int
    packet_size: int
    host: str
    user: str
    password: str
    app: str
    server: str
    library: str
    language: str
    database: str


# The LOGIN7 scrambling undone, byte by byte: XOR with 0xA5, then the nibbles swapped.
_UNSCRAMBLE = bytes(((b ^ 0xA5) >> 4) | (((b ^ 0xA5) & 0x0F) << 4) for b in range(256))


def decode_password(data):
    """Undo the LOGIN7 scrambling of a password."""
    return data.translate(_UNSCRAMBLE).decode("utf-16-le", errors="replace")


# Order of the (offset, length) pairs that start at byte 36 of LOGIN7.
_FIELDS = ("host", "user", "password", "app", "server", None, "library", "language", "database")


_OFFSETS = struct.Struct("<" + "HH" * len(_FIELDS))


@_read_once
def parse_login7(payload):
    if len(payload) < 72:
        raise ProtocolError("LOGIN7 too short")
    _length, version, packet_size = struct.unpack_from("<III", payload, 0)
    places = _OFFSETS.unpack_from(payload, 36)
    values = {}
    for n, name in enumerate(_FIELDS):
        if name is None:
            continue
        offset, chars = places[2 * n], places[2 * n + 1]
        raw = payload[offset:offset + 2 * chars]
        if len(raw) != 2 * chars:
            raise ProtocolError(f"LOGIN7 field {name} outside the message")
        values[name] = decode_password(raw) if name == "password" else raw.decode(
            "utf-16-le", errors="replace")
    return Login(tds_version=version, packet_size=packet_size, **values)


def negotiated_packet_size(login):
    size = login.packet_size
    return size if tds.MIN_PACKET_SIZE <= size <= tds.MAX_PACKET_SIZE else tds.DEFAULT_PACKET_SIZE


def login_failed(user, version, message=None, number=18456, severity=14):
    """SQL Server's answer to a refused login."""
    text = message if message is not None else f"Login failed for user '{user}'."
    return (tds.error(number, severity, text, state=1, version=version)
            + tds.done(tds.DONE_ERROR, version=version))


@functools.lru_cache(maxsize=64)  # the same few for every client
def login_accepted(database, collation, packet_size, version):
    """SQL Server's answer to an accepted login, the same bytes for the same arguments."""
    return b"".join([
        tds.env_database(database, "master"),
        tds.env_collation(collation),
        tds.env_language(LANGUAGE, ""),
        tds.loginack(version, PROGRAM_NAME, SERVER_VERSION),
        tds.env_packet_size(packet_size, tds.DEFAULT_PACKET_SIZE),
        tds.done(tds.DONE_FINAL, version=version),
    ])
