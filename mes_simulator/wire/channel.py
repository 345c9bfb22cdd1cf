"""A client connection's socket as the event loop's protocol: TDS messages framed from one
buffer as the bytes arrive (see Channel)."""

import asyncio

from . import tds


class Channel(asyncio.streams.FlowControlMixin):
    """A client connection's socket, as the event loop's protocol: what arrives is kept in one
    buffer, from which take() frames whole TDS messages at once, without a read call for each
    header and packet; read() and readexactly() give the bytes themselves (TLS records).  The
    writing side is an asyncio StreamWriter over the same transport, with its drain().

    accept(channel, writer) runs as the connection's task, started at connection_made (or,
    accept None, by whoever makes the transport).  Once more than HIGH bytes wait
    to be taken, the socket is not read until they are (the client is then held back)."""

    HIGH = 256 * 1024

    def __init__(self, accept, loop):
        super().__init__(loop)
        self.accept = accept
        self.buffer = bytearray()
        self.framer = tds.Framer()
        self.transport = self.waiter = self.error = None
        self.eof = self.held = False

    def connection_made(self, transport):
        self.transport = transport
        if self.accept is not None:  # else its task is started by whoever made the transport
            self._loop.create_task(self.accept(self, asyncio.StreamWriter(transport, self, None,
                                                                         self._loop)))

    def connection_lost(self, exc):
        super().connection_lost(exc)
        self.eof = True
        if exc is not None:
            self.error = exc
        self._wake()

    def data_received(self, data):
        self.buffer += data
        if self.waiter is not None:
            self._wake()
        if not self.held and len(self.buffer) > self.HIGH:
            self.held = True
            self.transport.pause_reading()

    def eof_received(self):
        self.eof = True
        self._wake()
        return True  # the replies may still go out

    def _wake(self):
        waiter, self.waiter = self.waiter, None
        if waiter is not None and not waiter.done():
            waiter.set_result(None)

    def _taken(self):
        if self.held and len(self.buffer) <= self.HIGH:
            self.held = False
            self.transport.resume_reading()

    def take(self, limit):
        """The next whole message, (type, payload), if it has arrived; else None."""
        if self.error is not None:
            raise self.error
        message = self.framer.take(self.buffer, limit)
        if self.held:
            self._taken()
        return message

    async def arrival(self):
        """Wait for more bytes; at the end of the stream, what StreamReader raises there."""
        if self.error is not None:
            raise self.error
        if self.eof:
            raise asyncio.IncompleteReadError(bytes(self.buffer), None)
        self.waiter = self._loop.create_future()
        try:
            await self.waiter
        finally:
            self.waiter = None

    async def readexactly(self, n):
        while len(self.buffer) < n:
            if self.eof and self.error is None:
                partial = bytes(self.buffer)
                self.buffer.clear()
                raise asyncio.IncompleteReadError(partial, n)
            await self.arrival()
        data = bytes(self.buffer[:n])
        del self.buffer[:n]
        self._taken()
        return data

    async def read(self, n):
        while not self.buffer and not self.eof:
            await self.arrival()
        if self.error is not None:
            raise self.error
        data = bytes(self.buffer[:n])
        del self.buffer[:n]
        self._taken()
        return data
