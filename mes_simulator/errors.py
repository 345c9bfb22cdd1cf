"""The errors every layer raises, at the bottom of the package so that everything may import them.

SqlError is an error SQL Server would report to the client (an ERROR token, then DONE with the
error bit) and the connection goes on; ProtocolError means the peer broke the TDS framing and the
connection cannot go on.
"""


class SqlError(Exception):
    """An error SQL Server would report (ERROR token, then DONE with the error bit)."""

    def __init__(self, number, text, severity=16, state=1):
        super().__init__(text)
        self.number, self.text, self.severity, self.state = number, text, severity, state


class ProtocolError(Exception):
    """The peer broke the framing; the connection cannot go on."""
