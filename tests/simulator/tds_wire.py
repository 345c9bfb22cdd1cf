"""A bare TDS client for what no installed driver shows: the exact tokens of a reply (the
ordinal of each RETURNVALUE, the tokens after SET FMTONLY ON) and requests no driver here
sends as they are wanted.  It logs in without TLS, sends one message at a time and reads the
reply's tokens for the types the tests use."""

import socket
import struct

LOGIN7, PRELOGIN, SQL_BATCH, RPC, BULK_LOAD = 0x10, 0x12, 0x01, 0x03, 0x07
TDS74 = 0x74000004


def ucs2(text):
    return text.encode("utf-16-le")


def b_varchar(text):
    return bytes([len(text)]) + ucs2(text)


def all_headers():
    """The transaction descriptor header every batch and RPC carries from TDS 7.2 on."""
    return struct.pack("<IIHQI", 22, 18, 2, 0, 1)


class Client:
    def __init__(self, host, port, user="mes", password="mes", database="MES", version=TDS74):
        self.version = version
        self.sock = socket.create_connection((host, port), timeout=60)
        self.send(PRELOGIN, struct.pack(">BHHBHHB", 0, 11, 6, 1, 17, 1, 0xFF)
                  + bytes([15, 0, 0, 0, 0, 0]) + b"\x02")
        self.receive()
        self.send(LOGIN7, self._login7(user, password, database))
        self.tokens(self.receive())

    def _login7(self, user, password, database):
        scrambled = bytes((((b << 4) & 0xF0) | (b >> 4)) ^ 0xA5 for b in ucs2(password))
        fields = [ucs2("tests"), ucs2(user), scrambled, ucs2("tds_wire"), ucs2("127.0.0.1"),
                  b"", ucs2("tds_wire"), b"", ucs2(database)]
        offset, table, data = 94, b"", b""
        for value in fields:
            table += struct.pack("<HH", offset + len(data), len(value) // 2)
            data += value
        fixed = struct.pack("<IIIIIIBBBBiI", 0, self.version, 4096, 7, 0, 0, 0xE0, 0x03, 0, 0, 0, 0)
        tail = bytes(6) + struct.pack("<HHHHHHI", 94 + len(data), 0, 94 + len(data), 0,
                                      94 + len(data), 0, 0)
        body = fixed + table + tail + data
        return struct.pack("<I", len(body)) + body[4:]

    def send(self, kind, payload, packet_size=4096):
        room = packet_size - 8
        chunks = [payload[i:i + room] for i in range(0, len(payload), room)] or [b""]
        for n, chunk in enumerate(chunks):
            last = n == len(chunks) - 1
            self.sock.sendall(struct.pack(">BBHHBB", kind, 1 if last else 0, 8 + len(chunk), 0,
                                          (n + 1) & 0xFF, 0) + chunk)

    def receive(self):
        parts = []
        while True:
            head = self._exactly(8)
            _kind, status, length = struct.unpack(">BBH", head[:4])
            parts.append(self._exactly(length - 8))
            if status & 1:
                return b"".join(parts)

    def _exactly(self, n):
        out = b""
        while len(out) < n:
            chunk = self.sock.recv(n - len(out))
            if not chunk:
                raise ConnectionError("server closed the connection")
            out += chunk
        return out

    def batch(self, text):
        self.send(SQL_BATCH, all_headers() + ucs2(text))
        return self.tokens(self.receive())

    def rpc(self, name, params):
        """params: (name, output, type_info bytes, value bytes)."""
        body = all_headers() + struct.pack("<H", len(name)) + ucs2(name) + b"\x00\x00"
        for pname, output, type_info, value in params:
            body += b_varchar(pname) + bytes([1 if output else 0]) + type_info + value
        self.send(RPC, body)
        return self.tokens(self.receive())

    def close(self):
        self.sock.close()

    # -------------------------------------------------------------- the reply

    def tokens(self, data):
        """[(name, fields)]: ("done", (token, status, command, count)), ("error", (number,
        text)), ("info", (number, text)), ("status", value), ("return", (ordinal, name,
        value)), ("columns", [(name, type code)]), ("row", values), ("env", kind)."""
        out, pos, columns = [], 0, []
        while pos < len(data):
            token = data[pos]
            pos += 1
            if token in (0xFD, 0xFE, 0xFF):
                status, command, count = struct.unpack_from("<HHQ", data, pos)
                pos += 12
                out.append(("done", ({0xFD: "DONE", 0xFE: "DONEPROC", 0xFF: "DONEINPROC"}[token],
                                     status, command, count)))
            elif token in (0xAA, 0xAB):
                length = struct.unpack_from("<H", data, pos)[0]
                number = struct.unpack_from("<i", data, pos + 2)[0]
                chars = struct.unpack_from("<H", data, pos + 8)[0]
                text = data[pos + 10:pos + 10 + 2 * chars].decode("utf-16-le")
                out.append(("error" if token == 0xAA else "info", (number, text)))
                pos += 2 + length
            elif token in (0xE3, 0xAD):
                length = struct.unpack_from("<H", data, pos)[0]
                if token == 0xE3:
                    out.append(("env", data[pos + 2]))
                pos += 2 + length
            elif token == 0x79:
                out.append(("status", struct.unpack_from("<i", data, pos)[0]))
                pos += 4
            elif token == 0xAC:
                ordinal = struct.unpack_from("<H", data, pos)[0]
                n = data[pos + 2]
                name = data[pos + 3:pos + 3 + 2 * n].decode("utf-16-le")
                pos += 3 + 2 * n + 1 + 4 + 2
                kind, pos = _type_info(data, pos)
                value, pos = _value(data, pos, kind)
                out.append(("return", (ordinal, name, value)))
            elif token == 0x81:
                count = struct.unpack_from("<H", data, pos)[0]
                pos += 2
                columns = []
                for _ in range(count if count != 0xFFFF else 0):
                    pos += 6
                    kind, pos = _type_info(data, pos)
                    n = data[pos]
                    columns.append((data[pos + 1:pos + 1 + 2 * n].decode("utf-16-le"), kind))
                    pos += 1 + 2 * n
                out.append(("columns", [(name, kind[0]) for name, kind in columns]))
            elif token == 0xD1:
                values = []
                for _name, kind in columns:
                    value, pos = _value(data, pos, kind)
                    values.append(value)
                out.append(("row", tuple(values)))
            else:
                raise AssertionError("token %#04x not read by this client" % token)
        return out


def _type_info(data, pos):
    """((code, scale), position after the TYPE_INFO)."""
    code = data[pos]
    pos += 1
    if code in (0x26, 0x68, 0x6D, 0x6E, 0x6F, 0x24):
        return (code, data[pos]), pos + 1
    if code in (0xE7, 0xEF, 0xA7, 0xAF):
        return (code, 0), pos + 7
    if code in (0xA5, 0xAD):
        return (code, 0), pos + 2
    if code in (0x6A, 0x6C):
        return (code, data[pos + 2]), pos + 3
    if code == 0x28:
        return (code, 0), pos
    if code in (0x29, 0x2A, 0x2B):
        return (code, data[pos]), pos + 1
    raise AssertionError("type %#04x not read by this client" % code)


def _value(data, pos, kind):
    """(value as bytes, or an int for integer types; None for NULL), position after it."""
    code = kind[0]
    if code in (0xE7, 0xEF, 0xA7, 0xAF, 0xA5, 0xAD):
        n = struct.unpack_from("<H", data, pos)[0]
        if n == 0xFFFF:
            return None, pos + 2
        raw = data[pos + 2:pos + 2 + n]
        return (raw.decode("utf-16-le") if code in (0xE7, 0xEF) else raw), pos + 2 + n
    n = data[pos]
    raw = data[pos + 1:pos + 1 + n]
    if not n:
        return None, pos + 1
    if code in (0x26, 0x68):
        return int.from_bytes(raw, "little", signed=code == 0x26 and n > 1), pos + 1 + n
    return raw, pos + 1 + n
