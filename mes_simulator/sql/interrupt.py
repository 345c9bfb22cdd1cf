"""Stopping a client's request: cancelled by an ATTENTION or by the client's close, or out of
its time.

The connection makes a Request for each request it answers; the thread that runs the request's
work on the tables makes it current (begin/end), and SQLite looks at it now and then through a
progress handler (progress()): once the request is stopped, the statement ends with SQLite's
"interrupted", which the session's thread turns into Interrupted, and the work unwinds as after
any error.
"""

import threading
import time

REASONS = ("attention", "closed", "time")
_local = threading.local()
# SQLite VM instructions between two looks at the request (a millisecond or so): each look
# takes the interpreter's lock, which the event loop then waits for.
PROGRESS_STEPS = 100000


class Interrupted(Exception):
    """The request was stopped; reason is one of REASONS."""

    def __init__(self, reason):
        super().__init__(reason)
        self.reason = reason


class Request:
    """One request's stop flag and deadline (seconds from now; None: none)."""

    __slots__ = ("stopped", "deadline")

    def __init__(self, seconds=None):
        self.stopped = None
        self.deadline = None if seconds is None else time.monotonic() + seconds

    def stop(self, reason):
        if self.stopped is None:
            self.stopped = reason

    def over(self):
        """Why the request must stop now, or None."""
        if self.stopped is None and self.deadline is not None \
                and time.monotonic() >= self.deadline:
            self.stopped = "time"
        return self.stopped


def begin(request):
    _local.request = request


def end():
    _local.request = None


def progress(conn):
    """Make SQLite stop conn's statement (OperationalError "interrupted") once the request
    current on the thread that steps it is stopped."""
    def check():
        request = getattr(_local, "request", None)
        return 1 if request is not None and request.over() is not None else 0
    conn.set_progress_handler(check, PROGRESS_STEPS)
