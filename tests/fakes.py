"""A scripted stand-in for the database driver, bound on the module object
as `_sql` by the `driver` fixture. It records every call in `events` so
that tests can check what was called, with what, and in which order."""

import weakref


class FakeConnection:
    def __init__(self, driver):
        self.driver = driver
        self.closed = False

    def execute_row(self, *args, **kwargs):
        self.driver.events.append(("execute_row", args, kwargs))
        if self.driver.execute_error is not None:
            raise self.driver.execute_error
        return self.driver.row

    def close(self, *args, **kwargs):
        self.driver.events.append(("close", args, kwargs))
        self.closed = True
        if self.driver.close_error is not None:
            raise self.driver.close_error


class FakeDriver:
    """connect() gives a FakeConnection whose execute_row answers `row`, or
    raises `execute_error`; `connect_error` and `close_error` make those
    steps fail."""

    def __init__(self):
        self.events = []
        self.row = ("OK", 0)
        self.connect_error = None
        self.execute_error = None
        self.close_error = None
        self.connections = []  # weak references: whether a connection was released

    def connect(self, *args, **kwargs):
        self.events.append(("connect", args, kwargs))
        if self.connect_error is not None:
            raise self.connect_error
        conn = FakeConnection(self)
        self.connections.append(weakref.ref(conn))
        return conn

    def names(self):
        """The names of the calls made, in order."""
        return [event[0] for event in self.events]

    def executed(self):
        """The arguments of the one execute_row call."""
        calls = [event for event in self.events if event[0] == "execute_row"]
        assert len(calls) == 1, self.events
        return calls[0][1]


class DriverError(Exception):
    """What a failing driver raises in these tests."""
