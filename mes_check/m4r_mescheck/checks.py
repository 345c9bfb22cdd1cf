"""The checks, in the order they run.  Each gives one or more `Line`s; nothing here writes to
the MES: the connection runs SELECTs and DECLAREs only, and the optional unit query is the
module's own GetUnitInfo."""

import io
import sys
import time

from . import expected

PASS, WARN, FAIL = "PASS", "WARN", "FAIL"
RANK = {PASS: 0, WARN: 1, FAIL: 2}

# A connect slower than these (seconds) is worth a warning: the module connects on every call.
SLOW_MEDIAN, SLOW_WORST = 0.5, 2.0


class Line(object):
    __slots__ = ("check", "status", "detail", "advice")

    def __init__(self, check, status, detail, advice=""):
        self.check, self.status, self.detail, self.advice = check, status, detail, advice

    def as_dict(self):
        return {"check": self.check, "status": self.status, "detail": self.detail,
                "advice": self.advice}


def _ms(seconds):
    return "%d ms" % round(seconds * 1000)


def _error_text(exc):
    """The server's error as "error N: text", without the lines FreeTDS appends."""
    args = exc.args[0] if len(exc.args) == 1 and isinstance(exc.args[0], tuple) else exc.args
    number = None
    if len(args) >= 2 and isinstance(args[0], int):
        number, text = args[0], args[1]
    else:
        text = args[0] if args else ""
    if isinstance(text, bytes):
        text = text.decode("utf-8", "replace")
    text = str(text).split("DB-Lib error message")[0].strip() or type(exc).__name__
    return text if number is None else "error %d: %s" % (number, text)


def _rows(conn, sql, params=None):
    conn.execute_query(sql, params)
    # The driver gives each row as a dict with the column numbers as keys (and the names of
    # named columns beside them).
    return [tuple(row[i] for i in sorted(k for k in row if isinstance(k, int))) for row in conn]


class Checker(object):
    """Runs the checks against one MES database with the station's connection parameters."""

    def __init__(self, driver, server, user, password, database, connects=20):
        self.driver = driver
        self.server, self.user, self.password, self.database = server, user, password, database
        self.connects = connects
        self.conn = None

    def connect(self):
        # Exactly as the module connects: these four keywords, nothing else.
        return self.driver.connect(server=self.server, user=self.user,
                                   password=self.password, database=self.database)

    def close(self):
        if self.conn is not None:
            try:
                self.conn.close()
            except Exception:
                pass
            self.conn = None

    # ------------------------------------------------------------------ login

    def login(self):
        times = []
        for attempt in range(self.connects):
            start = time.perf_counter()
            try:
                conn = self.connect()
            except Exception as exc:
                what = "login failed" if attempt == 0 else \
                    "connect %d of %d failed" % (attempt + 1, self.connects)
                return Line("login", FAIL, "%s: %s" % (what, _error_text(exc)),
                            "check the server address (host:port), the user, the password and "
                            "the database name the test program passes; that the server takes "
                            "SQL Server logins; that the station reaches its port")
            times.append(time.perf_counter() - start)
            if self.conn is None:  # the first stays open for the checks that follow
                self.conn = conn
            else:
                conn.close()
        times.sort()
        median = times[len(times) // 2] if len(times) % 2 else \
            (times[len(times) // 2 - 1] + times[len(times) // 2]) / 2
        worst = times[-1]
        detail = "%d connects: median %s, worst %s" % (len(times), _ms(median), _ms(worst))
        if median > SLOW_MEDIAN or worst > SLOW_WORST:
            return Line("login", WARN, detail,
                        "the module connects anew for every GetUnitInfo and SaveResult, so this "
                        "time is added to every unit: give the server as an IP address (no name "
                        "look-up), and ask the MES team about the network path and server load")
        return Line("login", PASS, detail)

    # ------------------------------------------------------------ the server

    def version(self):
        try:
            (product, banner), = _rows(self.conn, "SELECT CAST(SERVERPROPERTY('ProductVersion') "
                                                  "AS nvarchar(128)), @@VERSION")
        except Exception as exc:
            return Line("server", WARN, "could not read the version: %s" % _error_text(exc))
        first = (banner or "").splitlines()[0].strip() if banner else ""
        return Line("server", PASS, "%s (%s)" % (first, product))

    def code_page(self):
        try:
            (collation,), = _rows(self.conn, "SELECT CAST(DATABASEPROPERTYEX(DB_NAME(), "
                                             "'Collation') AS nvarchar(128))")
            (page,), = _rows(self.conn, "SELECT CAST(COLLATIONPROPERTY(%s, 'CodePage') AS int)",
                             (collation,))
        except Exception as exc:
            return Line("code page", WARN, "could not read the collation: %s" % _error_text(exc),
                        "ask the MES team for the database's collation; code page 936 is needed")
        detail = "collation %s, code page %s" % (collation, page)
        if page == expected.GBK_CODE_PAGE:
            return Line("code page", PASS, detail)
        return Line("code page", WARN, detail + " (%d expected)" % expected.GBK_CODE_PAGE,
                    "the module sends procedure, employee and line names as GBK: under this "
                    "code page Chinese names arrive garbled (ASCII names are fine); ask the MES "
                    "team whether the procedures' varchar parameters use a Chinese_PRC collation")

    def gbk_round_trip(self):
        sent = expected.SAMPLE_NAME
        try:
            (got, size), = _rows(self.conn, "DECLARE @name varchar(50); SET @name = %s; "
                                            "SELECT @name, DATALENGTH(@name)",
                                 (sent.encode("gbk"),))
        except Exception as exc:
            return Line("GBK round trip", FAIL, "the query failed: %s" % _error_text(exc))
        if got == sent:
            return Line("GBK round trip", PASS, "%s came back intact (%s bytes)" % (sent, size))
        return Line("GBK round trip", FAIL, "%s came back as %r" % (sent, got),
                    "Chinese employee and line names will be stored garbled: the database's "
                    "varchar text is not GBK")

    # -------------------------------------------------------- the procedures

    def parameters(self, name, wanted):
        check = name + " parameters"
        try:
            (found,), = _rows(self.conn, "SELECT OBJECT_ID(%s)", (name,))
            if found is None:
                return Line(check, FAIL, "not found",
                            "the procedure does not exist in this database, or this login "
                            "cannot see it: check the database name and ask the MES team")
            params = _rows(self.conn,
                           "SELECT p.name, TYPE_NAME(p.system_type_id), p.max_length, "
                           "p.is_output FROM sys.parameters p WHERE p.object_id = %s "
                           "ORDER BY p.parameter_id", (found,))
        except Exception as exc:
            return Line(check, WARN, "could not read the catalog: %s" % _error_text(exc))
        params = [p for p in params if p[0]]  # a function's return value has no name
        problems, notes = _compare(params, wanted)
        detail = ", ".join(_describe(p) for p in params) or "no parameters"
        if problems:
            return Line(check, FAIL, detail, "; ".join(problems))
        if notes:
            return Line(check, WARN, detail, "; ".join(notes))
        return Line(check, PASS, detail)

    def permission(self, name):
        check = name + " permission"
        try:
            (allowed,), = _rows(self.conn, "SELECT HAS_PERMS_BY_NAME(%s, 'OBJECT', 'EXECUTE')",
                                (name,))
        except Exception as exc:
            return Line(check, WARN, "could not ask the server: %s" % _error_text(exc))
        if allowed == 1:
            return Line(check, PASS, "%s may execute it" % self.user)
        return Line(check, FAIL, "%s may not execute it" % self.user,
                    "ask the MES team: GRANT EXECUTE ON %s TO the station's login" % name)

    # ------------------------------------------------------ the unit query

    def unit_query(self, module, serial, procedure, employee, line):
        check = "GetUnitInfo %s" % serial
        printed = io.StringIO()
        stdout, sys.stdout = sys.stdout, printed
        start = time.perf_counter()
        try:
            pair = module.GetUnitInfo(self.server, self.user, self.password, self.database,
                                      serial, procedure, employee, line)
        except Exception as exc:
            return Line(check, FAIL, "%s: %s" % (type(exc).__name__, exc),
                        "the station's own call failed: read the error above")
        finally:
            sys.stdout = stdout
            took = time.perf_counter() - start
        row = printed.getvalue().strip()
        return Line(check, PASS, "printed %s; returned %r in %s" % (row, pair, _ms(took)))


def _describe(param):
    name, kind, size, output = param
    if kind in ("nchar", "nvarchar") and size and size > 0:
        size //= 2
    text = "%s %s" % (name, kind)
    if kind in expected.TEXT:
        text += "(max)" if size == -1 else "(%s)" % size
    return text + (" OUTPUT" if output else "")


def _compare(params, wanted):
    """What stops the module's call (problems) and what may (notes)."""
    problems, notes = [], []
    if len(params) < len(wanted):
        problems.append("the module passes %d arguments, the procedure takes %d"
                        % (len(wanted), len(params)))
    elif len(params) > len(wanted):
        notes.append("the procedure takes %d parameters, the module passes %d: the others "
                     "need defaults" % (len(params), len(wanted)))
    for position, (want, got) in enumerate(zip(wanted, params), 1):
        name, kind, size, output = got
        where = "parameter %d (%s)" % (position, name)
        if name.lower() != want.name.lower():
            notes.append("parameter %d is %s, not %s: the module passes by position, so check "
                         "its meaning" % (position, name, want.name))
        if kind not in want.types:
            problems.append("%s is %s: %s" % (where, kind, want.why or
                                              "expected one of " + ", ".join(want.types)))
        if want.output and not output:
            problems.append("%s is not OUTPUT, the module passes %s OUT"
                            % (where, want.declared and want.name))
        elif output and not want.output:
            notes.append("%s is OUTPUT; the module passes a plain value" % where)
        if want.output and want.declared and want.declared[1] and kind in want.types:
            chars = size // 2 if kind in ("nchar", "nvarchar") and size > 0 else size
            if size == -1 or chars > want.declared[1]:
                notes.append("%s holds more than the module's %s(%d): longer answers are cut"
                             % (where, want.declared[0], want.declared[1]))
    return problems, notes
