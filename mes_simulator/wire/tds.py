"""TDS packet framing and the tokens of a server's reply stream."""

import struct

from ..errors import ProtocolError

# Packet types.
SQL_BATCH = 0x01
RPC = 0x03
REPLY = 0x04
ATTENTION = 0x06
LOGIN7 = 0x10
PRELOGIN = 0x12
TRANSACTION_MANAGER = 0x0E
BULK_LOAD = 0x07
# What a client may send: also RPC, bulk load, transaction manager, SSPI and TDS 4.2/5.0 login,
# which this server refuses when they come.
CLIENT_TYPES = {SQL_BATCH, 0x02, 0x03, ATTENTION, 0x07, 0x0E, LOGIN7, 0x11, PRELOGIN}

STATUS_EOM = 0x01  # last packet of a message
HEADER = struct.Struct(">BBHHBB")  # type, status, length, spid, packet id, window
HEADER_SIZE = HEADER.size

DEFAULT_PACKET_SIZE = 4096
MIN_PACKET_SIZE = 512
MAX_PACKET_SIZE = 32767
MAX_MESSAGE_SIZE = 1 << 20  # no request of the station comes near this
# The rows of one bulk-load batch may be longer than a batch (its rows are read one at a time
# as they are inserted); freebcp's -b cuts a larger file into batches.
MAX_BULK_LOAD_SIZE = 8 << 20

# TDS versions as LOGIN7 and LOGINACK carry them.
TDS71 = 0x71000001
TDS72 = 0x72090002
TDS73 = 0x730A0003  # the first with date, time, datetime2 and datetimeoffset

# DONE status bits and the command codes SQL Server puts in DONE tokens.
DONE_FINAL = 0x0000
DONE_MORE = 0x0001
DONE_ERROR = 0x0002
DONE_COUNT = 0x0010
DONE_ATTN = 0x0020
CMD_SELECT = 0xC1
CMD_EXECUTE = 0xE0

TOKEN_DONE = 0xFD
TOKEN_DONEPROC = 0xFE


class TooLarge(ProtocolError):
    """A message over the size limit, read to its end and thrown away."""

    def __init__(self, kind, size):
        super().__init__(f"{size} bytes of request type {kind:#04x}")
        self.kind, self.size = kind, size


async def read_message(reader, first=b"", limit=MAX_MESSAGE_SIZE):
    """Read one client message (one or more packets up to EOM): (type, payload).

    first: its first byte, when the caller has read it already.  A message longer than limit
    is read to its end without being kept, then TooLarge is raised (the framing stays intact);
    a bulk-load message may be MAX_BULK_LOAD_SIZE long whatever the limit.
    """
    kind, parts, size = None, [], 0
    while True:
        head = await reader.readexactly(HEADER_SIZE - len(first))
        if first:
            head, first = first + head, b""
        ptype, status, length, _spid, _pid, _window = HEADER.unpack(head)
        if ptype not in CLIENT_TYPES:
            raise ProtocolError(f"not a TDS request (packet type {ptype:#04x})")
        if length < HEADER_SIZE or length > MAX_PACKET_SIZE + 1:
            raise ProtocolError(f"bad packet length {length}")
        if kind is None:
            kind = ptype
            if kind == BULK_LOAD:
                limit = max(limit, MAX_BULK_LOAD_SIZE)
        elif ptype != kind:
            raise ProtocolError(f"packet type {ptype:#04x} inside a {kind:#04x} message")
        data = await reader.readexactly(length - HEADER_SIZE)
        size += length - HEADER_SIZE
        if size <= limit:
            parts.append(data)
        else:
            parts = None
        data = None
        if status & STATUS_EOM:
            if parts is None:
                raise TooLarge(kind, size)
            return kind, b"".join(parts)


class Framer:
    """Client messages taken from a buffer of received bytes, a packet at a time as each one
    is whole, with the rules of read_message: take() returns (type, payload) once the buffer
    holds the message's last packet, None until then.  A message longer than limit is taken
    to its end without being kept, then TooLarge is raised; broken framing raises
    ProtocolError."""

    def __init__(self):
        self.kind, self.parts, self.size = None, [], 0

    def take(self, buffer, limit):
        if self.kind is None and len(buffer) >= HEADER_SIZE and buffer[1] & STATUS_EOM:
            # a message of one packet, all there: the usual request
            length = buffer[2] << 8 | buffer[3]
            if HEADER_SIZE <= length <= len(buffer) and length - HEADER_SIZE <= limit \
                    and length <= MAX_PACKET_SIZE + 1 and buffer[0] in CLIENT_TYPES:
                kind, payload = buffer[0], bytes(buffer[HEADER_SIZE:length])
                del buffer[:length]
                return kind, payload
        while len(buffer) >= HEADER_SIZE:
            ptype, status, length = buffer[0], buffer[1], buffer[2] << 8 | buffer[3]
            if ptype not in CLIENT_TYPES:
                self.__init__()
                raise ProtocolError(f"not a TDS request (packet type {ptype:#04x})")
            if length < HEADER_SIZE or length > MAX_PACKET_SIZE + 1:
                self.__init__()
                raise ProtocolError(f"bad packet length {length}")
            kind = self.kind
            if kind is not None and ptype != kind:
                self.__init__()
                raise ProtocolError(f"packet type {ptype:#04x} inside a {kind:#04x} message")
            if len(buffer) < length:
                return None
            if kind is None:
                self.kind = kind = ptype
            if kind == BULK_LOAD:
                limit = max(limit, MAX_BULK_LOAD_SIZE)
            self.size += length - HEADER_SIZE
            if self.size > limit:
                self.parts = None
            elif status & STATUS_EOM and not self.parts:  # one packet: the usual request
                payload = bytes(buffer[HEADER_SIZE:length])
                del buffer[:length]
                self.kind, self.size = None, 0
                return kind, payload
            else:
                self.parts.append(bytes(buffer[HEADER_SIZE:length]))
            del buffer[:length]
            if status & STATUS_EOM:
                parts, size = self.parts, self.size
                self.__init__()
                if parts is None:
                    raise TooLarge(kind, size)
                return kind, b"".join(parts)
        return None


def frame(payload, packet_size, spid, ptype=REPLY):
    """Split a message into packets of at most packet_size bytes each."""
    room = packet_size - HEADER_SIZE
    if len(payload) <= room:  # one packet: most replies
        return HEADER.pack(ptype, STATUS_EOM, HEADER_SIZE + len(payload), spid, 1, 0) + payload
    chunks = [payload[i:i + room] for i in range(0, len(payload), room)] or [b""]
    out = []
    for n, chunk in enumerate(chunks):
        status = STATUS_EOM if n == len(chunks) - 1 else 0
        out.append(HEADER.pack(ptype, status, HEADER_SIZE + len(chunk), spid, (n + 1) & 0xFF, 0))
        out.append(chunk)
    return b"".join(out)


def ucs2(text):
    return text.encode("utf-16-le")


def b_varchar(text):
    data = ucs2(text)
    return bytes([len(data) // 2]) + data


def us_varchar(text):
    data = ucs2(text)
    return struct.pack("<H", len(data) // 2) + data


def _token(kind, body):
    return struct.pack("<BH", kind, len(body)) + body


def envchange(kind, new, old):
    return _token(0xE3, bytes([kind]) + new + old)


def env_database(new, old):
    return envchange(1, b_varchar(new), b_varchar(old))


def env_language(new, old):
    return envchange(2, b_varchar(new), b_varchar(old))


def env_packet_size(new, old):
    return envchange(4, b_varchar(str(new)), b_varchar(str(old)))


def env_collation(collation):
    return envchange(7, bytes([len(collation)]) + collation, b"\x00")


def loginack(version, program, program_version):
    body = b"\x01" + struct.pack(">I", version) + b_varchar(program) + bytes(program_version)
    return _token(0xAD, body)


def done(status, command=0, count=0, version=TDS72, token=TOKEN_DONE):
    wide = version >= TDS72
    return struct.pack("<BHH", token, status, command) + struct.pack("<Q" if wide else "<I", count)


def error(number, severity, text, state=1, server="", procedure="", line=1, version=TDS72):
    body = (struct.pack("<iBB", number, state, severity) + us_varchar(text) + b_varchar(server)
            + b_varchar(procedure) + struct.pack("<i" if version >= TDS72 else "<H", line))
    return _token(0xAA, body)


def return_status(value):
    return struct.pack("<Bi", 0x79, value)


def _cut_ucs2(data, size):
    """Cut UTF-16LE data to size bytes without splitting a surrogate pair."""
    if len(data) <= size:
        return data
    data = data[:size - size % 2]
    if data and 0xD8 <= data[-1] <= 0xDB:
        data = data[:-2]
    return data


def decode_batch(payload, version):
    """The batch text of an SQL batch message (after ALL_HEADERS from TDS 7.2 on)."""
    return decode_text(skip_all_headers(payload, version))


def skip_all_headers(payload, version):
    if version >= TDS72:
        if len(payload) < 4:
            raise ProtocolError("request without ALL_HEADERS")
        (total,) = struct.unpack_from("<I", payload)
        if not 4 <= total <= len(payload):
            raise ProtocolError("bad ALL_HEADERS length")
        payload = payload[total:]
    return payload


def decode_text(payload):
    try:
        return payload.decode("utf-16-le")
    except UnicodeDecodeError as exc:
        raise ProtocolError("SQL batch text is not UTF-16LE") from exc
