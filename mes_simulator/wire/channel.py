"""A client connection's socket as the event loop's protocol: TDS messages framed from one
buffer as the bytes arrive (see Channel), and the connection's coroutine resumed right there
while all it waits for is those bytes (see Inline)."""

import asyncio
import logging
import socket

from . import tds


class Channel(asyncio.Protocol):
    """A client connection's socket, as the event loop's protocol: what arrives is kept in one
    buffer, from which take() frames whole TDS messages at once, without a read call for each
    header and packet; read() and readexactly() give the bytes themselves (TLS records).  The
    writing side is the Socket itself, with its drain().  Once more than HIGH bytes wait to be
    taken, the socket is not read until they are (the client is then held back)."""

    HIGH = 256 * 1024

    def __init__(self, loop):
        self._loop = loop
        self.buffer = bytearray()
        self.framer = tds.Framer()
        self.transport = self.waiter = self.error = None
        self.eof = self.held = False
        self.inline = None  # the Inline that runs the coroutine reading this channel, if any

    def connection_made(self, transport):
        self.transport = transport

    def connection_lost(self, exc):
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
            if self.inline is not None:
                self.inline.wake(waiter)

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


log = logging.getLogger("mes_simulator")

READ_SIZE = 256 * 1024  # bytes taken from the socket at once


class Socket:
    """An accepted client socket on the event loop, as the server uses it: what an asyncio
    transport and its StreamWriter give (write, drain, close, abort, the write buffer's size and
    limit, pause_reading and resume_reading, get_extra_info), over the loop's add_reader and
    add_writer alone.  The protocol (a Channel) is told of what arrives as a transport tells it:
    connection_made at once, data_received, eof_received (False: close), connection_lost soon
    after the end.  A write goes out at once when it can; the rest waits in a buffer, beyond
    whose limit drain() waits."""

    def __init__(self, loop, sock, protocol, peername):
        self.loop, self.sock, self.fd, self.protocol = loop, sock, sock.fileno(), protocol
        self.extra = {"peername": peername, "socket": sock}
        self.out = bytearray()  # what the socket would not take yet
        self.high = 64 * 1024
        self.closing = self.lost = self.reading = False
        self.full = False       # more than high bytes were waiting, and not yet a quarter of it
        self.drainers = []      # futures of drain() calls waiting for the buffer to empty
        try:
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        except OSError:  # not TCP
            pass
        protocol.connection_made(self)
        self.resume_reading()

    # --- what StreamWriter gives

    @property
    def transport(self):
        return self

    def get_extra_info(self, name, default=None):
        return self.extra.get(name, default)

    def write(self, data):
        if self.closing or not data:
            return
        if not self.out:
            try:
                sent = self.sock.send(data)
            except (BlockingIOError, InterruptedError):
                sent = 0
            except OSError as exc:
                self._fail(exc)
                return
            if sent == len(data):
                return
            data = memoryview(data)[sent:]
            self.loop.add_writer(self.fd, self._writable)
        self.out += data
        if len(self.out) > self.high:
            self.full = True

    async def drain(self):
        """Once more than the limit waited to be sent, wait until a quarter of it is left;
        ConnectionResetError once the connection is gone."""
        if self.lost:
            raise ConnectionResetError("Connection lost")
        if not self.full or self.closing:
            return
        waiter = self.loop.create_future()
        self.drainers.append(waiter)
        await waiter

    def close(self):
        """Close once what is written has gone out."""
        if self.closing:
            return
        self.closing = True
        self.pause_reading()
        if not self.out:
            self.loop.call_soon(self._lost, None)

    # --- what a transport gives

    def is_closing(self):
        return self.closing

    def abort(self):
        self._fail(None)

    def get_write_buffer_size(self):
        return len(self.out)

    def set_write_buffer_limits(self, high=None, low=None):
        self.high = 64 * 1024 if high is None else high

    def pause_reading(self):
        if self.reading:
            self.reading = False
            self.loop.remove_reader(self.fd)

    def resume_reading(self):
        if not self.reading and not self.closing:
            self.reading = True
            self.loop.add_reader(self.fd, self._readable)

    # --- the socket's events

    def _readable(self):
        try:
            data = self.sock.recv(READ_SIZE)
        except (BlockingIOError, InterruptedError):
            return
        except OSError as exc:
            self._fail(exc)
            return
        if data:
            try:
                self.protocol.data_received(data)
            except Exception as exc:  # a fault of the protocol: the connection is dropped
                log.error("connection %s: data_received failed", self.extra["peername"],
                          exc_info=exc)
                self._fail(exc)
        else:
            self.pause_reading()
            if not self.protocol.eof_received():
                self.close()

    def _writable(self):
        try:
            sent = self.sock.send(self.out)
        except (BlockingIOError, InterruptedError):
            return
        except OSError as exc:
            self._fail(exc)
            return
        del self.out[:sent]
        if self.full and len(self.out) <= self.high // 4:
            self.full = False
            self._drained(None)
        if not self.out:
            self.loop.remove_writer(self.fd)
            if self.closing:
                self._lost(None)

    def _fail(self, exc):
        """The connection is broken (exc), or abandoned (None): closed at once."""
        if self.lost:
            return
        if self.out:
            self.out.clear()
            self.loop.remove_writer(self.fd)
        if not self.closing:
            self.closing = True
            self.pause_reading()
        self.lost = True  # _lost, soon, tells the protocol
        self.loop.call_soon(self._lost, exc, True)

    def _lost(self, exc, failed=False):
        if self.sock is None or self.lost and not failed:
            return
        self.lost = True
        sock, self.sock = self.sock, None
        try:
            self._drained(ConnectionResetError("Connection lost"))
            self.protocol.connection_lost(exc)
        finally:
            sock.close()
            self.protocol = None

    def _drained(self, exc):
        drainers, self.drainers = self.drainers, []
        for waiter in drainers:
            if not waiter.done():
                if exc is None:
                    waiter.set_result(None)
                else:
                    waiter.set_exception(exc)


class Inline:
    """A connection's coroutine run without a task for as long as all it waits for is its
    channel's bytes (Channel.arrival): each arrival resumes it inside data_received, in the
    same turn of the event loop, where a task would be woken a turn later.  The first time it
    waits for anything else (the database thread, a timer, another task), the rest of it
    becomes an ordinary task, and stays one.  Either way it is one coroutine, so its messages
    are answered in order and its time limits, cancellation and clean-up stay its own.

        run = Inline(coroutine, channel, loop, ended)  # ended(run) once it has returned
        run.start()    # its first step, now
        run.cancel()   # CancelledError where it waits, as Task.cancel() would
    """

    def __init__(self, coro, channel, loop, ended=None):
        self.coro, self.channel, self.loop, self.ended = coro, channel, loop, ended
        self.task = None       # the task the rest runs in, once it waits for something else
        self.waiting = None    # the channel's waiter it is suspended on, while inline
        self.running = False
        channel.inline = self

    def start(self):
        self._step(None)

    def wake(self, waiter):
        """The channel's waiter got its result: go on at once if that is what it waits for."""
        if waiter is self.waiting:
            if self.running:  # woken from inside its own step: go on once that step is over
                self.loop.call_soon(self.wake, waiter)
                return
            self._step(None)

    def cancel(self):
        if self.task is not None:
            self.task.cancel()
        elif self.coro is not None and not self.running:
            self._step(asyncio.CancelledError())

    def _step(self, exc):
        coro, self.waiting, self.running = self.coro, None, True
        try:
            yielded = coro.send(None) if exc is None else coro.throw(exc)
        except BaseException as end:  # StopIteration, or what it let out
            self.running = False
            if not isinstance(end, (StopIteration, asyncio.CancelledError)):
                log.error("connection coroutine failed", exc_info=end)
            self._end()
            return
        self.running = False
        channel = self.channel
        if yielded is not None and yielded is channel.waiter:
            self.waiting = yielded
            return
        # Anything else is waited for as a task waits for it, and the rest runs as one.
        channel.inline = None
        self.task = self.loop.create_task(_rest(coro, yielded))
        self.task.add_done_callback(self._task_done)

    def _task_done(self, task):
        if not task.cancelled() and task.exception() is not None:
            log.error("connection task failed", exc_info=task.exception())
        self._end()

    def _end(self):
        self.coro = self.channel.inline = None
        if self.ended is not None:
            ended, self.ended = self.ended, None
            ended(self)


class _Resumed:
    """Awaiting it goes on with a coroutine that was started outside a task and is suspended
    on yielded: the task first waits for yielded, as the coroutine meant it to, then hands
    everything on to the coroutine (what the task sends or throws into it included)."""

    def __init__(self, coro, yielded):
        self.coro, self.yielded = coro, yielded

    def __await__(self):
        coro, yielded = self.coro, self.yielded
        self.coro = self.yielded = None
        while True:
            try:
                sent = yield yielded
            except BaseException as exc:  # a task's cancellation, say
                try:
                    yielded = coro.throw(exc)
                except StopIteration as end:
                    return end.value
            else:
                try:
                    yielded = coro.send(sent)
                except StopIteration as end:
                    return end.value


async def _rest(coro, yielded):
    return await _Resumed(coro, yielded)
