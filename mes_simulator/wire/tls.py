"""TLS as SQL Server speaks it.

TLS in TDS 7.x: the ENCRYPTION option of PRELOGIN decides; the TLS handshake then travels inside
PRELOGIN packets (type 0x12), and afterwards TLS records go on the wire as they are, carrying the
TDS packets.  With login-only encryption the client sends its LOGIN7 through TLS and everything
after it in plain TDS again.  SSLObject over memory buffers lets the server do this itself.
"""

import asyncio
import logging
import os
import shutil
import ssl
import subprocess
import tempfile

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


class TlsStream:
    """The reading side of a TLS session over a StreamReader: readexactly() gives plaintext."""

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
