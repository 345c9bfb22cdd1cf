"""A stand-in for the low-level SQL Server driver, for interpreters that do
not have the real one. It reaches no database: every connection attempt is
refused the way the real driver refuses an unreachable server. Tests that
need answers bind their own driver object on the module as `_sql`."""


class MSSQLException(Exception):
    pass


class MSSQLDriverException(MSSQLException):
    pass


class MSSQLDatabaseException(MSSQLException):
    def __init__(self, number, message):
        super().__init__(number, message)
        self.number = number
        self.message = message


def connect(server=".", user=None, password=None, database="", **options):
    raise MSSQLDatabaseException(
        20009, b"DB-Lib error message 20009, severity 9:\nUnable to connect: stand-in driver (%s)\n"
        % str(server).encode())
